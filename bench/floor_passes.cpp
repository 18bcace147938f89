// The least work that gives the picture of a shader with buffer passes: the viewer's window, context and
// quad, each buffer pass drawn every frame into two 32-bit float RGBA textures of the window's size that
// swap after each draw (so a pass that reads itself, or a pass after it, sees the previous frame), and
// the Image pass drawn last into the window. Programs, uniform locations, the samplers' units, the
// resolution, the sampler object and the vertex array are set up once; per frame each pass only binds
// its framebuffer, its program and the textures it reads, sets iTime and iFrame, and draws.
//
//     quillomar-floor-passes PASS... (the Image pass last)
//
// Each PASS is FILE:CHANNELS: FILE holds the text the GL gets for the pass (the dialect's translation,
// as bench/buffers makes it with translate), and CHANNELS is four characters, one per iChannel0 to
// iChannel3: '-' for none, or a hexadecimal digit, the number of the buffer pass whose newest picture it
// reads. Channels are read with linear filtering, clamped at the edges, as the companions read a buffer.
#include <glad/gl.h>
#include <GLFW/glfw3.h>

#include "quad.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const int WIDTH = 1920;
const int HEIGHT = 1080;
const int CHANNELS = 4;

struct Pass {
    GLuint program = 0;
    GLint time = -1, frame = -1;
    int reads[CHANNELS] = {-1, -1, -1, -1};
    GLuint texture[2] = {0, 0}, framebuffer[2] = {0, 0};
    int front = 0; // the newest picture; the pass draws into the other
};

GLuint compile(GLenum stage, const char *text)
{
    GLuint shader = glCreateShader(stage);
    glShaderSource(shader, 1, &text, nullptr);
    glCompileShader(shader);
    GLint ok = 0;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (!ok) {
        char log[2048] = "";
        glGetShaderInfoLog(shader, sizeof log, nullptr, log);
        std::fprintf(stderr, "quillomar-floor-passes: a pass does not compile:\n%s\n", log);
    }
    return shader;
}

bool parse(const char *argument, std::string &file, int reads[CHANNELS])
{
    const char *colon = std::strrchr(argument, ':');
    if (colon == nullptr || std::strlen(colon + 1) != CHANNELS)
        return false;
    file.assign(argument, colon);
    for (int n = 0; n < CHANNELS; n++) {
        const char c = colon[1 + n];
        if (c == '-')
            reads[n] = -1;
        else if (c >= '0' && c <= '9')
            reads[n] = c - '0';
        else if (c >= 'a' && c <= 'f')
            reads[n] = c - 'a' + 10;
        else
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<Pass> passes(static_cast<size_t>(argc > 1 ? argc - 1 : 0));
    std::vector<std::string> files(passes.size());
    for (size_t p = 0; p < passes.size(); p++) {
        if (!parse(argv[p + 1], files[p], passes[p].reads)) {
            std::fprintf(stderr, "usage: quillomar-floor-passes FILE:CHANNELS... (the Image pass last)\n");
            return 2;
        }
        for (int n = 0; n < CHANNELS; n++)
            if (passes[p].reads[n] >= static_cast<int>(passes.size()) - 1) {
                std::fprintf(stderr, "quillomar-floor-passes: %s reads a pass that is no buffer\n", argv[p + 1]);
                return 2;
            }
    }
    if (passes.empty()) {
        std::fprintf(stderr, "usage: quillomar-floor-passes FILE:CHANNELS... (the Image pass last)\n");
        return 2;
    }

    glfwInit();
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);
    GLFWwindow *window = glfwCreateWindow(WIDTH, HEIGHT, "Quillomar floor (passes)", nullptr, nullptr);
    if (window == nullptr || (glfwMakeContextCurrent(window), !gladLoadGL(glfwGetProcAddress)))
        return 1;

    const GLuint vertexShader = compile(GL_VERTEX_SHADER, vertexText);
    for (size_t p = 0; p < passes.size(); p++) {
        std::ifstream file(files[p]);
        if (!file) {
            std::fprintf(stderr, "quillomar-floor-passes: cannot read %s\n", files[p].c_str());
            return 2;
        }
        const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const GLuint fragmentShader = compile(GL_FRAGMENT_SHADER, text.c_str());
        Pass &pass = passes[p];
        pass.program = glCreateProgram();
        glAttachShader(pass.program, vertexShader);
        glAttachShader(pass.program, fragmentShader);
        glLinkProgram(pass.program);
        glDeleteShader(fragmentShader);
        glUseProgram(pass.program);
        glUniform3f(glGetUniformLocation(pass.program, "iResolution"), WIDTH, HEIGHT, 1.0f);
        char name[] = "iChannel0";
        for (int n = 0; n < CHANNELS; n++) {
            name[8] = static_cast<char>('0' + n);
            glUniform1i(glGetUniformLocation(pass.program, name), n);
        }
        pass.time = glGetUniformLocation(pass.program, "iTime");
        pass.frame = glGetUniformLocation(pass.program, "iFrame");
        if (p + 1 == passes.size())
            break;
        glGenTextures(2, pass.texture);
        glGenFramebuffers(2, pass.framebuffer);
        for (int i = 0; i < 2; i++) {
            glBindTexture(GL_TEXTURE_2D, pass.texture[i]);
            glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA32F, WIDTH, HEIGHT, 0, GL_RGBA, GL_FLOAT, nullptr);
            glBindFramebuffer(GL_FRAMEBUFFER, pass.framebuffer[i]);
            glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, pass.texture[i], 0);
            glClearColor(0.0f, 0.0f, 0.0f, 0.0f);
            glClear(GL_COLOR_BUFFER_BIT);
        }
    }
    glDeleteShader(vertexShader);
    glBindFramebuffer(GL_FRAMEBUFFER, 0);

    // One sampler object for every unit: linear, clamped, as a buffer is read.
    GLuint sampler = 0;
    glGenSamplers(1, &sampler);
    glSamplerParameteri(sampler, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glSamplerParameteri(sampler, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glSamplerParameteri(sampler, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glSamplerParameteri(sampler, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    for (int n = 0; n < CHANNELS; n++)
        glBindSampler(static_cast<GLuint>(n), sampler);

    quad(); // bound from here on
    glClearColor(0.2f, 0.3f, 0.3f, 1.0f);

    const auto start = std::chrono::steady_clock::now();
    int frame = 0;
    while (!glfwWindowShouldClose(window)) {
        if (glfwGetKey(window, GLFW_KEY_ESCAPE) == GLFW_PRESS)
            glfwSetWindowShouldClose(window, true);
        const std::chrono::duration<double> t = std::chrono::steady_clock::now() - start;
        for (size_t p = 0; p < passes.size(); p++) {
            Pass &pass = passes[p];
            const bool image = p + 1 == passes.size();
            glBindFramebuffer(GL_FRAMEBUFFER, image ? 0 : pass.framebuffer[1 - pass.front]);
            if (image)
                glClear(GL_COLOR_BUFFER_BIT);
            glUseProgram(pass.program);
            for (int n = 0; n < CHANNELS; n++) {
                if (pass.reads[n] < 0)
                    continue;
                const Pass &read = passes[static_cast<size_t>(pass.reads[n])];
                glActiveTexture(GL_TEXTURE0 + static_cast<GLenum>(n));
                glBindTexture(GL_TEXTURE_2D, read.texture[read.front]);
            }
            glUniform1f(pass.time, static_cast<float>(t.count()));
            glUniform1i(pass.frame, frame);
            glDrawArrays(GL_TRIANGLES, 0, 6);
            pass.front = 1 - pass.front;
        }
        frame++;
        glfwSwapBuffers(window);
        glfwPollEvents();
    }
    glfwTerminate();
    return 0;
}
