/*
 * What a companion library's hooks cost the viewer per frame, outside the GL's and GLFW's own work:
 * preloaded twice around the library, built once with OUTER (before it in LD_PRELOAD) and once without
 * (after it). The outer copy times the viewer's calls of glDrawArrays and glfwPollEvents, which go
 * through the library's hooks; the inner copy times the library's calls of the GL's glDrawArrays and of
 * GLFW's glfwPollEvents. The difference is what the library adds: for quillomar-live with buffer passes,
 * drawing them (their draws are the GL's, timed by the inner copy) and the rest of its frame. Times are
 * the CPU time of the calling thread: waits for the GL's rasteriser threads (a framebuffer or a texture
 * still being drawn) are not counted, only work, the GL's own inside the library's other calls included.
 *
 * The first FIRST frames (those before the FIRSTth glfwPollEvents, which both copies see) are counted
 * apart: they make the buffers. Each copy writes, when the process exits normally, one line to the file
 * HOOKTIME_LOG names (appended):
 *   outer|inner first_draw_ns=F draws=N draw_ns=T polls=P poll_ns=U
 * F is the CPU time in glDrawArrays in the first frames; N and P are the later calls of glDrawArrays and
 * glfwPollEvents (the outer copy counts the viewer's draws, one a frame; the inner copy each of the GL's
 * draws, buffer passes' included), T and U the thread's CPU nanoseconds spent in them.
 *
 * Built by bench/buffers with the system's C compiler; not part of the product.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef void (*proc_t)(void);
typedef void (*draw_t)(unsigned mode, int first, int count);

static draw_t next_draw;
static void (*next_poll)(void);
enum { FIRST = 2 };
static long long first_draw_ns, draw_ns, poll_ns;
static long draws, polls, frames;

static long long now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static void timed_draw(unsigned mode, int first, int count)
{
    long long began = now_ns();
    next_draw(mode, first, count);
    if (frames < FIRST) {
        first_draw_ns += now_ns() - began;
        return;
    }
    draw_ns += now_ns() - began;
    draws++;
}

__attribute__((visibility("default"))) proc_t glfwGetProcAddress(const char *name)
{
    static proc_t (*lookup)(const char *);
    if (lookup == NULL) {
        void *found = dlsym(RTLD_NEXT, "glfwGetProcAddress");
        memcpy(&lookup, &found, sizeof found);
    }
    proc_t proc = lookup(name);
    if (proc == NULL || strcmp(name, "glDrawArrays") != 0)
        return proc;
    memcpy(&next_draw, &proc, sizeof proc);
    void (*mine)(unsigned, int, int) = timed_draw;
    proc_t handed;
    memcpy(&handed, &mine, sizeof mine);
    return handed;
}

__attribute__((visibility("default"))) void glfwPollEvents(void)
{
    if (next_poll == NULL) {
        void *found = dlsym(RTLD_NEXT, "glfwPollEvents");
        memcpy(&next_poll, &found, sizeof found);
    }
    long long began = now_ns();
    next_poll();
    if (frames++ < FIRST)
        return;
    poll_ns += now_ns() - began;
    polls++;
}

__attribute__((destructor)) static void report(void)
{
    const char *path = getenv("HOOKTIME_LOG");
    FILE *f = path != NULL ? fopen(path, "a") : NULL;
    if (f == NULL)
        return;
#ifdef OUTER
    const char *which = "outer";
#else
    const char *which = "inner";
#endif
    fprintf(f, "%s first_draw_ns=%lld draws=%ld draw_ns=%lld polls=%ld poll_ns=%lld\n", which, first_draw_ns, draws,
            draw_ns, polls, poll_ns);
    fclose(f);
}
