/*
 * What every piece that works in the viewer's process shares on top of base.h: the GL's and GLFW's own
 * names for types and constants (from the generated loader's header and GLFW's), finding the real
 * functions a library wraps, looking up GL entry points through GLFW, and telling the program's own
 * clock reads from its libraries'.
 *
 * Pieces are built with hidden visibility: only what is marked HOOK is seen by the viewer. A wrapper of
 * a GLFW function finds the real one with NEXT; GL entry points are handed out by a wrapper of
 * glfwGetProcAddress, which uses GL_WRAP to hand out its own functions for the ones it watches.
 */
#ifndef QUILLOMAR_GL_H
#define QUILLOMAR_GL_H

#include "base/base.h"

#include <dlfcn.h>

#include <glad/gl.h>
#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

/* A function the viewer's calls reach: the only symbols a library exports. */
#define HOOK __attribute__((visibility("default")))

/* The next definition of a symbol after this library's own: the real function it wraps. */
void *preload_next(const char *name);

/* Sets var, a pointer to a function of fn's type, to the real fn on first use. */
#define NEXT(fn, var)                                 \
    do {                                              \
        if ((var) == NULL) {                          \
            void *next_ = preload_next(#fn);          \
            memcpy(&(var), &next_, sizeof next_);     \
        }                                             \
    } while (0)

/* A GL entry point of the current context, from GLFW itself (not from any wrapper of the lookup): NULL
 * when the GL has none, or failing with a message. */
GLFWglproc preload_gl_or_null(const char *name);
GLFWglproc preload_gl(const char *name);

/* Sets var, of the loader's PFN type for fn, to the GL's own fn. */
#define GL_ENTRY(fn, var) ((var) = (__typeof__(var))preload_gl(#fn))

/* Inside a wrapper of glfwGetProcAddress(name) that has looked up proc: for the entry point fn, keeps
 * the GL's own in real_var and hands out wrapper instead. */
#define GL_WRAP(fn, real_var, wrapper)                        \
    if (proc != NULL && strcmp(name, #fn) == 0) {             \
        (real_var) = (__typeof__(real_var))proc;              \
        return (GLFWglproc)(wrapper);                         \
    }

/* std::chrono::steady_clock::now(), whose time_point is one 64-bit count of nanoseconds. The viewer
 * reads it once for its time origin and once per frame. */
#define STEADY_CLOCK_NOW _ZNSt6chrono3_V212steady_clock3nowEv
long long STEADY_CLOCK_NOW(void);

/* Whether address lies in the program's own load segments: its clock reads, not the driver's or the
 * libraries'. Wrappers of the clock pass __builtin_return_address(0). */
int preload_from_program(const void *address);

/* The real clock, for everyone but the program. */
long long preload_real_now(void);

#endif
