/*
 * What every piece preloaded into the viewer shares: finding the real functions it wraps, looking up GL
 * entry points through GLFW, telling the program's own clock reads from its libraries', failing with one
 * message, writing whole buffers and records, and the GL's and GLFW's own names for types and constants
 * (from the generated loader's header and GLFW's).
 *
 * Every piece is built with PRELOAD_NAME defined as the name of the library it goes into (its messages
 * start with it) and with hidden visibility: only what is marked HOOK is seen by the viewer. A wrapper of
 * a GLFW function finds the real one with NEXT; GL entry points are handed out by a wrapper of
 * glfwGetProcAddress, which uses GL_WRAP to hand out its own functions for the ones it watches.
 */
#ifndef QUILLOMAR_PRELOAD_H
#define QUILLOMAR_PRELOAD_H

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <glad/gl.h>
#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

#ifndef PRELOAD_NAME
#error "build with PRELOAD_NAME defined as the library's name"
#endif

/* A function the viewer's calls reach: the only symbols a library exports. */
#define HOOK __attribute__((visibility("default")))

/* Says "PRELOAD_NAME: " and the formatted message on standard error and ends the process with status 70,
 * for what nothing sensible can go on after. */
__attribute__((noreturn, format(printf, 1, 2))) void preload_fail(const char *format, ...);

/* Writes all of data to fd, whatever the pipe takes at a time; fails, naming what, on an error. */
void preload_write_all(int fd, const void *data, size_t size, const char *what);

/* One field of a record: NAME=VALUE when value is set, else a payload of size bytes at data. */
struct field {
    const char *name;
    const char *value;
    const void *data;
    size_t size;
};
#define FIELD(name, value) {(name), (value), NULL, 0}
#define PAYLOAD(name, data, size) {(name), NULL, (data), (size)}

/* Writes one record, "\036KIND NAME=VALUE ... NAME:BYTES ...\n" and then the payloads, to fd. */
void record_write(int fd, const char *kind, const struct field *fields, size_t count);

/* A text that grows as it is written, always NUL-terminated once written to; start from {0}. */
struct text {
    char *data;
    size_t used, room;
};
void text_add(struct text *t, const char *data, size_t size);
__attribute__((format(printf, 2, 3))) void text_addf(struct text *t, const char *format, ...);

/* A path as the line-based texts between a command and its library carry it (the plan, live's plan lines,
 * the files of a build record, the include folders): its bytes as they are, but a backslash, a line break
 * and a tab, written \\, \n and \t. path_escape appends path so written to t; path_unescape turns such
 * a text back into the path in place, and says 0 for an escape it does not write. */
void path_escape(struct text *t, const char *path);
int path_unescape(char *text);

/* Allocations that cannot fail: out of memory ends the process with one message. */
void *preload_alloc(size_t size);

/* The largest text the libraries read, in bytes. */
#define LARGEST_TEXT (16LL << 20)

/* A text file's whole text, NUL-terminated; or NULL, with *why saying why it cannot be read (NULL when it
 * does not exist). Only a regular file of at most LARGEST_TEXT bytes is read, and the open does not wait (on
 * a FIFO, say). */
char *preload_read_text(const char *path, const char **why);

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

/* CLOCK_MONOTONIC in nanoseconds. */
long long preload_now_ns(void);

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
