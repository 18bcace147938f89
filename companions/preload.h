/*
 * What the libraries preloaded into the viewer share: finding the real functions they wrap, looking up
 * GL entry points through GLFW, telling the program's own clock reads from its libraries', and the GL's
 * and GLFW's own names for types and constants (from the generated loader's header and GLFW's).
 *
 * A library is built with PRELOAD_NAME defined as the name its messages start with. A
 * wrapper of a GLFW function finds the real one with NEXT; GL entry points are handed out by a wrapper
 * of glfwGetProcAddress, which uses GL_WRAP to hand out its own functions for the ones it watches.
 */
#ifndef QUILLOMAR_PRELOAD_H
#define QUILLOMAR_PRELOAD_H

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <link.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <glad/gl.h>
#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

#ifndef PRELOAD_NAME
#error "build with PRELOAD_NAME defined as the library's name"
#endif

/* The next definition of a symbol after this library's own: the real function it wraps. A missing one
 * means the program is not the viewer this library was made for, and nothing sensible can go on. */
static inline void *preload_next(const char *name)
{
    void *p = dlsym(RTLD_NEXT, name);
    if (p == NULL) {
        fprintf(stderr, "%s: the viewer has no %s\n", PRELOAD_NAME, name);
        _exit(70);
    }
    return p;
}

/* Sets var, a pointer to a function of fn's type, to the real fn on first use. */
#define NEXT(fn, var)                                 \
    do {                                              \
        if ((var) == NULL) {                          \
            void *next_ = preload_next(#fn);          \
            memcpy(&(var), &next_, sizeof next_);     \
        }                                             \
    } while (0)

/* A GL entry point of the current context, from GLFW itself (not from any wrapper of the lookup). */
static inline GLFWglproc preload_gl_or_null(const char *name)
{
    static GLFWglproc (*lookup)(const char *);
    NEXT(glfwGetProcAddress, lookup);
    return lookup(name);
}

static inline GLFWglproc preload_gl(const char *name)
{
    GLFWglproc p = preload_gl_or_null(name);
    if (p == NULL) {
        fprintf(stderr, "%s: the GL has no %s\n", PRELOAD_NAME, name);
        _exit(70);
    }
    return p;
}

/* Sets var, of the loader's PFN type for fn, to the GL's own fn. */
#define GL_ENTRY(fn, var) ((var) = (__typeof__(var))preload_gl(#fn))

/* Inside a wrapper of glfwGetProcAddress(name) that has looked up proc: for the entry point fn, keeps
 * the GL's own in real_var and hands out wrapper instead. */
#define GL_WRAP(fn, real_var, wrapper)                        \
    if (proc != NULL && strcmp(name, #fn) == 0) {             \
        (real_var) = (__typeof__(real_var))proc;              \
        return (GLFWglproc)(wrapper);                         \
    }

static inline long long preload_now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

/* std::chrono::steady_clock::now(), whose time_point is one 64-bit count of nanoseconds. The viewer
 * reads it once for its time origin and once per frame. */
#define STEADY_CLOCK_NOW _ZNSt6chrono3_V212steady_clock3nowEv
long long STEADY_CLOCK_NOW(void);

/* Whether address lies in the program's own load segments: its clock reads, not the driver's or the
 * libraries'. Wrappers pass __builtin_return_address(0). */
static uintptr_t preload_program_start[8], preload_program_end[8];
static int preload_program_segments = -1;

static int preload_first_object(struct dl_phdr_info *info, size_t size, void *data)
{
    (void)size;
    (void)data;
    preload_program_segments = 0;
    for (int i = 0; i < info->dlpi_phnum && preload_program_segments < 8; i++) {
        if (info->dlpi_phdr[i].p_type != PT_LOAD)
            continue;
        uintptr_t segment = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
        preload_program_start[preload_program_segments] = segment;
        preload_program_end[preload_program_segments++] = segment + info->dlpi_phdr[i].p_memsz;
    }
    return 1;
}

static inline int preload_from_program(const void *address)
{
    if (preload_program_segments < 0)
        dl_iterate_phdr(preload_first_object, NULL);
    for (int i = 0; i < preload_program_segments; i++)
        if ((uintptr_t)address >= preload_program_start[i] && (uintptr_t)address < preload_program_end[i])
            return 1;
    return 0;
}

/* The real clock, for everyone but the program. */
static inline long long preload_real_now(void)
{
    static long long (*clock_now)(void);
    NEXT(_ZNSt6chrono3_V212steady_clock3nowEv, clock_now);
    return clock_now();
}

#endif
