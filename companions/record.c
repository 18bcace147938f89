/*
 * Preloaded into the viewer by quillomar-record: renders a fixed number of frames at a fixed time step,
 * whatever the render speed, and hands each one over before it is shown.
 *
 *   QUILLOMAR_RECORD="FRAMES FPS FROM WIDTH HEIGHT FRAME_FD STATUS_FD START [MOUSE_X MOUSE_Y]"
 *
 * The clock: the viewer reads std::chrono::steady_clock::now once for its time origin and once per frame.
 * Those reads (and only those made from the program's own code, not the driver's or the libraries')
 * return the origin, then origin + FROM + k / FPS for frame k, so frame k is drawn with iTime exactly
 * FROM + k / FPS.
 * The picture: before the first frame the viewer's context gets a WIDTH x HEIGHT framebuffer of ours
 * bound for drawing, with the viewport on all of it, whatever size the window has or a window manager
 * gives it. At each buffer swap the frame is read back (RGBA, bottom row first) and written to
 * FRAME_FD, then copied into the window so that the recording can be watched.
 * STATUS_FD gets one line per frame written ("frame K"), or "no program" when the shader did not build
 * (nothing is recorded). After the last frame the window's close flag is set, so the viewer ends by its
 * normal path.
 * The inputs of mainImage shaders are as exact: frame k has iFrame k, iTimeDelta 1 / FPS, iFrameRate FPS,
 * iDate the wall-clock time START (seconds since the epoch) plus iTime, and iMouse (MOUSE_X, MOUSE_Y)
 * pressed there and held, or 0 when no position is given.
 */
#include "mainimage.h"

#include <errno.h>
#include <math.h>

static struct {
    PFNGLGENFRAMEBUFFERSPROC gen_framebuffers;
    PFNGLBINDFRAMEBUFFERPROC bind_framebuffer;
    PFNGLGENRENDERBUFFERSPROC gen_renderbuffers;
    PFNGLBINDRENDERBUFFERPROC bind_renderbuffer;
    PFNGLRENDERBUFFERSTORAGEPROC renderbuffer_storage;
    PFNGLFRAMEBUFFERRENDERBUFFERPROC framebuffer_renderbuffer;
    PFNGLVIEWPORTPROC viewport;
    PFNGLPIXELSTOREIPROC pixel_storei;
    PFNGLREADPIXELSPROC read_pixels;
    PFNGLBLITFRAMEBUFFERPROC blit_framebuffer;
    PFNGLGETINTEGERVPROC get_integerv;
    PFNGLCREATESHADERPROC create_shader;
    PFNGLSHADERSOURCEPROC shader_source;
    PFNGLDRAWARRAYSPROC draw_arrays;
} gl;

static long frames, done;
static double fps, from, start, mouse[2];
static int mouse_given;
static GLuint fragment_shader;
static int width, height, frame_fd = -1, status_fd = -1;
static GLuint framebuffer;
static unsigned char *pixels;
static int origin_read;
static const long long ORIGIN_NS = 1000000000000LL;

__attribute__((noreturn)) static void fail(const char *what)
{
    fprintf(stderr, "quillomar-record: %s: %s\n", what, strerror(errno));
    _exit(70);
}

__attribute__((constructor)) static void configure(void)
{
    const char *settings = getenv("QUILLOMAR_RECORD");
    int given = settings == NULL ? 0 : sscanf(settings, "%ld %lf %lf %d %d %d %d %lf %lf %lf", &frames, &fps, &from,
                                                &width, &height, &frame_fd, &status_fd, &start, &mouse[0], &mouse[1]);
    if (given != 8 && given != 10) {
        fprintf(stderr, "quillomar-record: QUILLOMAR_RECORD is not set as the recorder sets it\n");
        _exit(70);
    }
    mouse_given = given == 10;
    unsetenv("QUILLOMAR_RECORD");
    mainimage_configure();
    pixels = malloc((size_t)width * (size_t)height * 4);
    if (pixels == NULL)
        fail("frame buffer");
}

/* The program's clock reads: the origin, then the time of the frame being drawn. */
long long STEADY_CLOCK_NOW(void)
{
    if (!preload_from_program(__builtin_return_address(0)))
        return preload_real_now();
    if (!origin_read) {
        origin_read = 1;
        return ORIGIN_NS;
    }
    return ORIGIN_NS + llround(from * 1e9) + llround((double)done * 1e9 / fps);
}

static void load_gl(void)
{
    GL_ENTRY(glGenFramebuffers, gl.gen_framebuffers);
    GL_ENTRY(glBindFramebuffer, gl.bind_framebuffer);
    GL_ENTRY(glGenRenderbuffers, gl.gen_renderbuffers);
    GL_ENTRY(glBindRenderbuffer, gl.bind_renderbuffer);
    GL_ENTRY(glRenderbufferStorage, gl.renderbuffer_storage);
    GL_ENTRY(glFramebufferRenderbuffer, gl.framebuffer_renderbuffer);
    GL_ENTRY(glViewport, gl.viewport);
    GL_ENTRY(glPixelStorei, gl.pixel_storei);
    GL_ENTRY(glReadPixels, gl.read_pixels);
    GL_ENTRY(glBlitFramebuffer, gl.blit_framebuffer);
    GL_ENTRY(glGetIntegerv, gl.get_integerv);
}

/* The top of every loop iteration: our framebuffer is bound and fills the viewport, also after a
 * resize callback has set the viewport to the window's size. */
int glfwWindowShouldClose(GLFWwindow *window)
{
    static __typeof__(glfwWindowShouldClose) *real;
    if (real == NULL) {
        NEXT(glfwWindowShouldClose, real);
        load_gl();
        GLuint colour = 0;
        gl.gen_framebuffers(1, &framebuffer);
        gl.gen_renderbuffers(1, &colour);
        gl.bind_renderbuffer(GL_RENDERBUFFER, colour);
        gl.renderbuffer_storage(GL_RENDERBUFFER, GL_RGBA8, width, height);
        gl.bind_framebuffer(GL_FRAMEBUFFER, framebuffer);
        gl.framebuffer_renderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, colour);
        gl.pixel_storei(GL_PACK_ALIGNMENT, 1);
    }
    gl.bind_framebuffer(GL_FRAMEBUFFER, framebuffer);
    gl.viewport(0, 0, width, height);
    return real(window);
}

static void say(const char *text)
{
    if (write(status_fd, text, strlen(text)) < 0)
        fail("status");
}

void glfwSwapBuffers(GLFWwindow *window)
{
    static __typeof__(glfwSwapBuffers) *real;
    static __typeof__(glfwSetWindowShouldClose) *set_should_close;
    static __typeof__(glfwGetFramebufferSize) *framebuffer_size;
    NEXT(glfwSwapBuffers, real);
    NEXT(glfwSetWindowShouldClose, set_should_close);
    NEXT(glfwGetFramebufferSize, framebuffer_size);
    if (done >= frames) {
        real(window);
        return;
    }
    GLint program = 0;
    gl.get_integerv(GL_CURRENT_PROGRAM, &program);
    if (program == 0) {
        say("no program\n");
        done = frames;
        set_should_close(window, 1);
        real(window);
        return;
    }
    gl.read_pixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
    size_t size = (size_t)width * (size_t)height * 4;
    for (size_t sent = 0; sent < size;) {
        ssize_t n = write(frame_fd, pixels + sent, size - sent);
        if (n < 0 && errno != EINTR)
            fail("frames");
        sent += n > 0 ? (size_t)n : 0;
    }
    char line[32];
    snprintf(line, sizeof line, "frame %ld\n", ++done);
    say(line);

    int w = 0, h = 0;
    framebuffer_size(window, &w, &h);
    gl.bind_framebuffer(GL_DRAW_FRAMEBUFFER, 0);
    gl.blit_framebuffer(0, 0, width, height, 0, 0, w, h, GL_COLOR_BUFFER_BIT, GL_LINEAR);
    gl.bind_framebuffer(GL_FRAMEBUFFER, framebuffer);
    if (done == frames) {
        close(frame_fd);
        set_should_close(window, 1);
    }
    real(window);
}

static GLuint create_shader(GLenum type)
{
    GLuint shader = gl.create_shader(type);
    if (type == GL_FRAGMENT_SHADER && fragment_shader == 0)
        fragment_shader = shader;
    return shader;
}

/* A mainImage shader goes to the GL with its prelude. */
static void shader_source(GLuint shader, GLsizei count, const GLchar *const *strings, const GLint *lengths)
{
    if (shader != 0 && shader == fragment_shader && count == 1 && lengths == NULL)
        mainimage_source(gl.shader_source, shader, strings[0]);
    else
        gl.shader_source(shader, count, strings, lengths);
}

/* Just before the viewer's draw, after its own uniforms: the inputs of frame `done`. */
static void draw_arrays(GLenum mode, GLint first, GLsizei count)
{
    struct mainimage_frame frame = {.frame = done, .delta = 1.0 / fps, .rate = fps};
    frame.time = from + (double)done / fps;
    mainimage_date(start + frame.time, frame.date);
    for (int i = 0; i < 4 && mouse_given; i++)
        frame.mouse[i] = mouse[i % 2];
    GLint program = 0;
    gl.get_integerv(GL_CURRENT_PROGRAM, &program);
    mainimage_set((GLuint)program, &frame);
    gl.draw_arrays(mode, first, count);
}

GLFWglproc glfwGetProcAddress(const char *name)
{
    GLFWglproc proc = preload_gl_or_null(name);
    GL_WRAP(glCreateShader, gl.create_shader, create_shader)
    GL_WRAP(glShaderSource, gl.shader_source, shader_source)
    GL_WRAP(glDrawArrays, gl.draw_arrays, draw_arrays)
    return proc;
}
