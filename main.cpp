// Quillomar: draws the fragment shader in ./test.glsl over the whole window, every frame.
#include <glad/gl.h>
#include <GLFW/glfw3.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>

const std::uint32_t SCR_WIDTH = 1920;
const std::uint32_t SCR_HEIGHT = 1080;

const char *vertexShaderSource = "#version 330 core\n"
                                 "layout (location = 0) in vec3 aPos;\n"
                                 "layout (location = 1) in vec2 UV;"
                                 "out vec2 coord;"
                                 "void main()\n"
                                 "{\n"
                                 "   gl_Position = vec4(aPos.x, aPos.y, aPos.z, 1.0);\n"
                                 "coord = UV;}";

const char *fragmentShaderSource = nullptr;

// Reports, one line each, every GL error pending after a statement.
void checkOpenGLError(const char *stmt, const char *fname, int line)
{
    GLenum err = glGetError();
    while (err != GL_NO_ERROR) {
        std::cerr << "OpenGL error " << err << " in " << stmt << " at " << fname << ":" << line << std::endl;
        err = glGetError();
    }
}

// Runs a GL statement, then reports the errors pending after it under the statement's own text.
#define GL_CHECK(stmt)                                   \
    do {                                                 \
        stmt;                                            \
        checkOpenGLError(#stmt, __FILE__, __LINE__);     \
    } while (0)

void processInput(GLFWwindow *window)
{
    if (glfwGetKey(window, GLFW_KEY_ESCAPE) == GLFW_PRESS) {
        glfwSetWindowShouldClose(window, GLFW_TRUE);
    }
}

void framebuffer_size_callback(GLFWwindow *window, int width, int height)
{
    (void)window;
    glViewport(0, 0, width, height);
}

// The location is looked up on every call; a name the program lacks gives -1, which the GL ignores.
// cppcheck-suppress passedByValue ; the name is taken by value, as the interface has it
void setUniform(std::string name, float value, GLuint program)
{
    GLint loc = glGetUniformLocation(program, name.c_str());
    glUniform1f(loc, value);
}

int main()
{
    glfwInit();
    glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
    glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 3);
    glfwWindowHint(GLFW_OPENGL_PROFILE, GLFW_OPENGL_CORE_PROFILE);

    GLFWwindow *window =
        glfwCreateWindow(static_cast<int>(SCR_WIDTH), static_cast<int>(SCR_HEIGHT), "Quillomar", nullptr, nullptr);
    if (window == nullptr) {
        std::cout << "Failed to create GLFW window" << std::endl;
        glfwTerminate();
        return -1;
    }
    glfwMakeContextCurrent(window);
    glfwSetFramebufferSizeCallback(window, framebuffer_size_callback);

    if (!gladLoadGL(glfwGetProcAddress)) {
        std::cout << "Failed to initialize GLAD" << std::endl;
        return -1;
    }

    // The shader file goes to the GL byte for byte, exactly as it is on disk.
    std::ifstream file("test.glsl", std::ios::in);
    std::string s;
    char c = 0;
    while (file.get(c)) {
        s += c;
    }
    std::cout << s + "\n";
    fragmentShaderSource = s.c_str();
    file.close();

    // A status or log query the GL rejects leaves its output untouched, so both are reset before every
    // query: a stage that could not even be queried reads as failed, never as the previous stage's result.
    int success = 0;
    char infoLog[512] = {};

    GLuint vertexShader = glCreateShader(GL_VERTEX_SHADER);
    glShaderSource(vertexShader, 1, &vertexShaderSource, nullptr);
    glCompileShader(vertexShader);
    success = 0;
    glGetShaderiv(vertexShader, GL_COMPILE_STATUS, &success);
    if (!success) {
        infoLog[0] = '\0';
        glGetShaderInfoLog(vertexShader, 512, nullptr, infoLog);
        std::cout << "ERROR::SHADER::VERTEX::COMPILATION_FAILED\n" << infoLog << std::endl;
    }

    GLuint fragmentShader = glCreateShader(GL_FRAGMENT_SHADER);
    glShaderSource(fragmentShader, 1, &fragmentShaderSource, nullptr);
    glCompileShader(fragmentShader);
    success = 0;
    glGetShaderiv(fragmentShader, GL_COMPILE_STATUS, &success);
    if (!success) {
        infoLog[0] = '\0';
        glGetShaderInfoLog(fragmentShader, 512, nullptr, infoLog);
        std::cout << "ERROR::SHADER::FRAGMENT::COMPILATION_FAILED\n" << infoLog << std::endl;
    }

    GLuint shaderProgram = glCreateProgram();
    glAttachShader(shaderProgram, vertexShader);
    glAttachShader(shaderProgram, fragmentShader);
    glLinkProgram(shaderProgram);
    success = 0;
    glGetProgramiv(shaderProgram, GL_LINK_STATUS, &success);
    if (!success) {
        infoLog[0] = '\0';
        glGetProgramInfoLog(shaderProgram, 512, nullptr, infoLog);
        std::cout << "ERROR::SHADER::PROGRAM::LINKING_FAILED\n" << infoLog << std::endl;
    }
    glDeleteShader(vertexShader);
    glDeleteShader(fragmentShader);

    // Two triangles covering clip space; each vertex is x, y, z, then u, v equal to x, y.
    float vertices[] = {
        -1.0f, -1.0f, 0.0f, -1.0f, -1.0f,
        1.0f,  -1.0f, 0.0f, 1.0f,  -1.0f,
        -1.0f, 1.0f,  0.0f, -1.0f, 1.0f,
        1.0f,  1.0f,  0.0f, 1.0f,  1.0f,
        -1.0f, 1.0f,  0.0f, -1.0f, 1.0f,
        1.0f,  -1.0f, 0.0f, 1.0f,  -1.0f,
    };
    GLuint VAO = 0;
    GLuint VBO = 0;
    glGenVertexArrays(1, &VAO);
    glGenBuffers(1, &VBO);
    glBindVertexArray(VAO);
    glBindBuffer(GL_ARRAY_BUFFER, VBO);
    glBufferData(GL_ARRAY_BUFFER, sizeof(vertices), vertices, GL_STATIC_DRAW);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 5 * sizeof(float), nullptr);
    glEnableVertexAttribArray(0);
    // The GL takes a buffer offset as a pointer; the statement is reported exactly as written here.
    // cppcheck-suppress cstyleCast
    GL_CHECK(glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, 5 * sizeof(float), (void*)(3 * sizeof(float))));
    GL_CHECK(glEnableVertexAttribArray(1));
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glBindVertexArray(0);

    const auto start = std::chrono::steady_clock::now();

    while (!glfwWindowShouldClose(window)) {
        processInput(window);

        glClearColor(0.2f, 0.3f, 0.3f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT);

        const std::int64_t ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
        const double t = static_cast<double>(ns) / 1e9;

        GL_CHECK(glUseProgram(shaderProgram));
        setUniform("width", static_cast<float>(SCR_WIDTH), shaderProgram);
        setUniform("height", static_cast<float>(SCR_HEIGHT), shaderProgram);
        setUniform("iTime", static_cast<float>(t), shaderProgram);
        GL_CHECK(glBindVertexArray(VAO));
        GL_CHECK(glDrawArrays(GL_TRIANGLES, 0, 6));

        glfwSwapBuffers(window);
        glfwPollEvents();
    }

    glDeleteVertexArrays(1, &VAO);
    glDeleteBuffers(1, &VBO);
    glDeleteProgram(shaderProgram);
    glfwTerminate();
    return 0;
}
