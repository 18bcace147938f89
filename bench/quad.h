// The viewer's vertex shader and quad, as the floors draw them. The quad: two triangles over clip space, each vertex x, y, z, then u, v
// equal to x, y, in a vertex array of its own, bound from then on.
#ifndef QUILLOMAR_BENCH_QUAD_H
#define QUILLOMAR_BENCH_QUAD_H

#include <glad/gl.h>

// The viewer's vertex shader, to the byte.
static const char *const vertexText = "#version 330 core\n"
                                      "layout (location = 0) in vec3 aPos;\n"
                                      "layout (location = 1) in vec2 UV;"
                                      "out vec2 coord;"
                                      "void main()\n"
                                      "{\n"
                                      "   gl_Position = vec4(aPos.x, aPos.y, aPos.z, 1.0);\n"
                                      "coord = UV;}";

static inline void quad()
{
    static const float vertices[] = {-1, -1, 0, -1, -1, 1, -1, 0, 1, -1, -1, 1, 0, -1, 1,
                                     1,  1,  0, 1,  1,  -1, 1, 0, -1, 1, 1, -1, 0, 1, -1};
    GLuint vao = 0, vbo = 0;
    glGenVertexArrays(1, &vao);
    glGenBuffers(1, &vbo);
    glBindVertexArray(vao);
    glBindBuffer(GL_ARRAY_BUFFER, vbo);
    glBufferData(GL_ARRAY_BUFFER, sizeof(vertices), vertices, GL_STATIC_DRAW);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 5 * sizeof(float), nullptr);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, 5 * sizeof(float), reinterpret_cast<void *>(3 * sizeof(float)));
    glEnableVertexAttribArray(1);
}

#endif
