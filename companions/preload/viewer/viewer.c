/*
 * The viewer's calls, taken (viewer.h): the one place that knows what main.cpp calls, in what order and
 * with what (docs/internals.md, "What we rely on in the viewer"). Its GLFW calls and its clock come here
 * through the dynamic linker, its GL calls through the entry points handed out by glfwGetProcAddress; each
 * is recognised as what it is in the viewer's frame and handed to the library's policy as an event.
 */
#include "viewer/viewer.h"

static struct {
    PFNGLCREATESHADERPROC create_shader;
    PFNGLSHADERSOURCEPROC shader_source;
    PFNGLCOMPILESHADERPROC compile_shader;
    PFNGLLINKPROGRAMPROC link_program;
    PFNGLUSEPROGRAMPROC use_program;
    PFNGLGETUNIFORMLOCATIONPROC uniform_location;
    PFNGLDRAWARRAYSPROC draw_arrays;
} gl;

/* Whether the viewer's fragment shader has been compiled, its own program linked, and its clock read for
 * its time origin: each is told once. */
static int compiled, linked, origin_read;

/* The program's own reads of the clock: its first is its time origin, each later one a frame's time. */
HOOK long long STEADY_CLOCK_NOW(void)
{
    if (viewer_events.clock == NULL || !preload_from_program(__builtin_return_address(0)))
        return preload_real_now();
    int origin = !origin_read;
    origin_read = 1;
    return viewer_events.clock(origin);
}

HOOK GLFWwindow *glfwCreateWindow(int width, int height, const char *title, GLFWmonitor *monitor,
                                  GLFWwindow *share)
{
    static __typeof__(glfwCreateWindow) *real;
    NEXT(glfwCreateWindow, real);
    GLFWwindow *window = real(width, height, title, monitor, share);
    if (window != NULL && viewer_events.window_made != NULL)
        viewer_events.window_made(window);
    return window;
}

/* The top of the viewer's loop: a frame begins (or the loop ends). */
HOOK int glfwWindowShouldClose(GLFWwindow *window)
{
    static __typeof__(glfwWindowShouldClose) *real;
    NEXT(glfwWindowShouldClose, real);
    if (viewer_events.frame_begins != NULL)
        viewer_events.frame_begins();
    return real(window);
}

/* The frame drawn, shown: the swap, then the poll, end each frame. */
HOOK void glfwSwapBuffers(GLFWwindow *window)
{
    static __typeof__(glfwSwapBuffers) *real;
    NEXT(glfwSwapBuffers, real);
    if (viewer_events.swapping != NULL)
        viewer_events.swapping(window);
    real(window);
}

HOOK void glfwPollEvents(void)
{
    static __typeof__(glfwPollEvents) *real;
    NEXT(glfwPollEvents, real);
    if (viewer_events.polling != NULL)
        viewer_events.polling();
    real();
    if (viewer_events.polled != NULL)
        viewer_events.polled();
}

/* The viewer's first vertex and fragment shaders are its own. */
static GLuint create_shader(GLenum type)
{
    GLuint shader = gl.create_shader(type);
    program_viewer_shader(type, shader);
    return shader;
}

/* The viewer's texts, each handed over once as one or more strings ending in NUL (lengths NULL): the
 * vertex one kept, the fragment one through its dialect, built as its source. */
static void shader_source(GLuint shader, GLsizei count, const GLchar *const *strings, const GLint *lengths)
{
    int own = shader != 0 && lengths == NULL;
    if (own && shader == viewer.vertex && viewer.vertex_text == NULL) {
        program_viewer_vertex(count, strings);
    } else if (own && shader == viewer.fragment && viewer.fragment_text == NULL) {
        struct source as = viewer_events.viewer_source();
        program_viewer_fragment(count, strings, &as);
        return;
    }
    gl.shader_source(shader, count, strings, lengths);
}

static void compile_shader(GLuint shader)
{
    if (shader != 0 && shader == viewer.fragment && !compiled) {
        compiled = 1;
        viewer_events.compiling();
    }
    gl.compile_shader(shader);
}

/* The viewer's one link, once both its texts have been handed over: its own program. */
static void link_program(GLuint program)
{
    gl.link_program(program);
    if (linked || viewer.vertex_text == NULL || viewer.fragment == 0)
        return;
    linked = 1;
    viewer_events.linked(program);
}

static void use_program(GLuint program)
{
    gl.use_program(viewer_events.in_use(program));
}

static GLint uniform_location(GLuint program, const GLchar *name)
{
    return gl.uniform_location(viewer_events.in_use(program), name);
}

/* The frame's one draw, of the viewer's quad with its program in use, after its uniforms. */
static void draw_arrays(GLenum mode, GLint first, GLsizei count)
{
    viewer_events.draw(gl.draw_arrays, mode, first, count);
}

HOOK GLFWglproc glfwGetProcAddress(const char *name)
{
    GLFWglproc proc = preload_gl_or_null(name);
    GL_WRAP(glCreateShader, gl.create_shader, create_shader)
    GL_WRAP(glShaderSource, gl.shader_source, shader_source)
    if (viewer_events.compiling != NULL)
        GL_WRAP(glCompileShader, gl.compile_shader, compile_shader)
    if (viewer_events.linked != NULL)
        GL_WRAP(glLinkProgram, gl.link_program, link_program)
    if (viewer_events.in_use != NULL) {
        GL_WRAP(glUseProgram, gl.use_program, use_program)
        GL_WRAP(glGetUniformLocation, gl.uniform_location, uniform_location)
    }
    if (viewer_events.draw != NULL)
        GL_WRAP(glDrawArrays, gl.draw_arrays, draw_arrays)
    return proc;
}
