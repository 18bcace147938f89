/*
 * Preloaded into the viewer by quillomar-record: renders a fixed number of frames at a fixed time step,
 * whatever the render speed, and hands each one over before it is shown.
 *
 *   QUILLOMAR_RECORD="FRAMES FPS FROM WIDTH HEIGHT FRAME_FD STATUS_FD"
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
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define GL_FRAMEBUFFER 0x8D40u
#define GL_READ_FRAMEBUFFER 0x8CA8u
#define GL_DRAW_FRAMEBUFFER 0x8CA9u
#define GL_RENDERBUFFER 0x8D41u
#define GL_RGBA8 0x8058u
#define GL_COLOR_ATTACHMENT0 0x8CE0u
#define GL_RGBA 0x1908u
#define GL_UNSIGNED_BYTE 0x1401u
#define GL_COLOR_BUFFER_BIT 0x4000u
#define GL_LINEAR 0x2601u
#define GL_CURRENT_PROGRAM 0x8B8Du
#define GL_PACK_ALIGNMENT 0x0D05u

typedef void (*glproc)(void);
static struct {
    void (*gen_framebuffers)(int, unsigned int *);
    void (*bind_framebuffer)(unsigned int, unsigned int);
    void (*gen_renderbuffers)(int, unsigned int *);
    void (*bind_renderbuffer)(unsigned int, unsigned int);
    void (*renderbuffer_storage)(unsigned int, unsigned int, int, int);
    void (*framebuffer_renderbuffer)(unsigned int, unsigned int, unsigned int, unsigned int);
    void (*viewport)(int, int, int, int);
    void (*pixel_storei)(unsigned int, int);
    void (*read_pixels)(int, int, int, int, unsigned int, unsigned int, void *);
    void (*blit_framebuffer)(int, int, int, int, int, int, int, int, unsigned int, unsigned int);
    void (*get_integerv)(unsigned int, int *);
} gl;

static long frames, done;
static double fps, from;
static int width, height, frame_fd = -1, status_fd = -1;
static unsigned int framebuffer;
static unsigned char *pixels;
static int origin_read;
static const long long ORIGIN_NS = 1000000000000LL;

static void *next(const char *name)
{
    void *p = dlsym(RTLD_NEXT, name);
    if (p == NULL) {
        fprintf(stderr, "quillomar-record: the viewer has no %s\n", name);
        _exit(70);
    }
    return p;
}

static void fail(const char *what)
{
    fprintf(stderr, "quillomar-record: %s: %s\n", what, strerror(errno));
    _exit(70);
}

__attribute__((constructor)) static void configure(void)
{
    const char *settings = getenv("QUILLOMAR_RECORD");
    if (settings == NULL || sscanf(settings, "%ld %lf %lf %d %d %d %d", &frames, &fps, &from, &width, &height, &frame_fd,
                               &status_fd) != 7) {
        fprintf(stderr, "quillomar-record: QUILLOMAR_RECORD is not set as the recorder sets it\n");
        _exit(70);
    }
    unsetenv("QUILLOMAR_RECORD");
    pixels = malloc((size_t)width * (size_t)height * 4);
    if (pixels == NULL)
        fail("frame buffer");
}

/* The load segments of the program itself, to tell its clock reads from everyone else's. */
static uintptr_t program_start[8], program_end[8];
static int program_segments = -1;

static int first_object(struct dl_phdr_info *info, size_t size, void *data)
{
    (void)size;
    (void)data;
    program_segments = 0;
    for (int i = 0; i < info->dlpi_phnum && program_segments < 8; i++) {
        if (info->dlpi_phdr[i].p_type != PT_LOAD)
            continue;
        program_start[program_segments] = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
        program_end[program_segments] = program_start[program_segments] + info->dlpi_phdr[i].p_memsz;
        program_segments++;
    }
    return 1;
}

static int from_program(const void *address)
{
    if (program_segments < 0)
        dl_iterate_phdr(first_object, NULL);
    for (int i = 0; i < program_segments; i++)
        if ((uintptr_t)address >= program_start[i] && (uintptr_t)address < program_end[i])
            return 1;
    return 0;
}

/* std::chrono::steady_clock::now(): its time_point is one 64-bit count of nanoseconds. */
long long _ZNSt6chrono3_V212steady_clock3nowEv(void)
{
    static long long (*real)(void);
    if (!from_program(__builtin_return_address(0))) {
        if (real == NULL)
            *(void **)&real = next("_ZNSt6chrono3_V212steady_clock3nowEv");
        return real();
    }
    if (!origin_read) {
        origin_read = 1;
        return ORIGIN_NS;
    }
    return ORIGIN_NS + llround(from * 1e9) + llround((double)done * 1e9 / fps);
}

static glproc lookup(const char *name)
{
    static glproc (*real)(const char *);
    if (real == NULL)
        *(void **)&real = next("glfwGetProcAddress");
    glproc p = real(name);
    if (p == NULL) {
        fprintf(stderr, "quillomar-record: the GL has no %s\n", name);
        _exit(70);
    }
    return p;
}

#define LOAD(field, name)                        \
    do {                                         \
        glproc p = lookup(name);                 \
        memcpy(&gl.field, &p, sizeof p);         \
    } while (0)

static void load_gl(void)
{
    LOAD(gen_framebuffers, "glGenFramebuffers");
    LOAD(bind_framebuffer, "glBindFramebuffer");
    LOAD(gen_renderbuffers, "glGenRenderbuffers");
    LOAD(bind_renderbuffer, "glBindRenderbuffer");
    LOAD(renderbuffer_storage, "glRenderbufferStorage");
    LOAD(framebuffer_renderbuffer, "glFramebufferRenderbuffer");
    LOAD(viewport, "glViewport");
    LOAD(pixel_storei, "glPixelStorei");
    LOAD(read_pixels, "glReadPixels");
    LOAD(blit_framebuffer, "glBlitFramebuffer");
    LOAD(get_integerv, "glGetIntegerv");
}

/* The top of every loop iteration: our framebuffer is bound and fills the viewport, also after a
 * resize callback has set the viewport to the window's size. */
int glfwWindowShouldClose(void *window)
{
    static int (*real)(void *);
    if (real == NULL) {
        *(void **)&real = next("glfwWindowShouldClose");
        load_gl();
        unsigned int colour = 0;
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

void glfwSwapBuffers(void *window)
{
    static void (*real)(void *);
    static void (*set_should_close)(void *, int);
    static void (*framebuffer_size)(void *, int *, int *);
    if (real == NULL) {
        *(void **)&real = next("glfwSwapBuffers");
        *(void **)&set_should_close = next("glfwSetWindowShouldClose");
        *(void **)&framebuffer_size = next("glfwGetFramebufferSize");
    }
    if (done >= frames) {
        real(window);
        return;
    }
    int program = 0;
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
