// The least work that gives the viewer's picture: the same window, context, quad and shader, with the
// uniforms located and the constant ones set once, the program and vertex array bound once, and no
// error checks. Built with SWAP_ONLY, it only clears and swaps: the cost of presenting a frame at all.
#include <glad/gl.h>
#include <GLFW/glfw3.h>

#include "quad.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>

#ifndef SWAP_ONLY
static GLuint compile(GLenum stage, const char *text)
{
    GLuint shader = glCreateShader(stage);
    glShaderSource(shader, 1, &text, nullptr);
    glCompileShader(shader);
    return shader;
}
#endif

int main()
{
    glfwInit();
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    GLFWwindow *window = glfwCreateWindow(1920, 1080, "Quillomar floor", nullptr, nullptr);
    if (window == nullptr || (glfwMakeContextCurrent(window), !gladLoadGL(glfwGetProcAddress)))
        return 1;

#ifndef SWAP_ONLY
    std::ifstream file("test.glsl");
    const std::string fragmentText((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    GLuint vertexShader = compile(GL_VERTEX_SHADER, vertexText);
    GLuint fragmentShader = compile(GL_FRAGMENT_SHADER, fragmentText.c_str());
    GLuint program = glCreateProgram();
    glAttachShader(program, vertexShader);
    glAttachShader(program, fragmentShader);
    glLinkProgram(program);
    glDeleteShader(vertexShader);
    glDeleteShader(fragmentShader);

    quad(); // bound from here on

    glUseProgram(program);
    glUniform1f(glGetUniformLocation(program, "width"), 1920.0f);
    glUniform1f(glGetUniformLocation(program, "height"), 1080.0f);
    const GLint timeAt = glGetUniformLocation(program, "iTime");
    const auto start = std::chrono::steady_clock::now();
#endif
    glClearColor(0.2f, 0.3f, 0.3f, 1.0f);

    while (!glfwWindowShouldClose(window)) {
        if (glfwGetKey(window, GLFW_KEY_ESCAPE) == GLFW_PRESS)
            glfwSetWindowShouldClose(window, true);
        glClear(GL_COLOR_BUFFER_BIT);
#ifndef SWAP_ONLY
        const std::chrono::duration<double> t = std::chrono::steady_clock::now() - start;
        glUniform1f(timeAt, static_cast<float>(t.count()));
        glDrawArrays(GL_TRIANGLES, 0, 6);
#endif
        glfwSwapBuffers(window);
        glfwPollEvents();
    }
    glfwTerminate();
    return 0;
}
