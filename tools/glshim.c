/*
 * Preloaded into the viewer by the tests and the benchmark. By default it only watches: it counts the
 * buffer swaps and notes the monotonic time of the first and the last one, of the last GL entry point
 * lookup (the loader is done) and of the first glCreateShader call (the shader file has been read and
 * echoed). When the process exits normally it writes "SWAPS FIRST_NS LAST_NS LOADED_NS SHADER_NS" to
 * the file named by GLSHIM_SWAP_LOG.
 *
 * Two switches make the GL look broken in ways a real driver rarely is:
 *   GLSHIM_NO_PROCS=1          every GL entry point lookup returns null (the loader must give up);
 *   GLSHIM_NO_FRAGMENT_SHADER=1  glCreateShader(GL_FRAGMENT_SHADER) returns 0, as when the GL refuses it.
 * One helps leak checkers:
 *   GLSHIM_KEEP_LIBRARIES=1    dlclose does nothing, so the driver libraries that GLFW unloads at exit
 *                              are still mapped when leaks are reported, and their allocations can be
 *                              told apart by library name.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef void (*glproc)(void);
typedef void (*swap_fn)(void *);
typedef glproc (*lookup_fn)(const char *);
typedef unsigned int (*create_shader_fn)(unsigned int);

#define FRAGMENT_SHADER_ENUM 0x8B30u

static unsigned long swaps;
static long long first_ns;
static long long last_ns;
static long long loaded_ns;
static long long shader_ns;
static create_shader_fn real_create_shader;

static void *next_symbol(const char *name)
{
    void *p = dlsym(RTLD_NEXT, name);
    if (p == NULL) {
        fprintf(stderr, "glshim: no %s to wrap\n", name);
        abort();
    }
    return p;
}

static int switched_on(const char *name)
{
    const char *v = getenv(name);
    return v != NULL && strcmp(v, "1") == 0;
}

static long long now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void glfwSwapBuffers(void *window)
{
    static swap_fn real;
    if (real == NULL) {
        void *p = next_symbol("glfwSwapBuffers");
        memcpy(&real, &p, sizeof p);
    }
    last_ns = now_ns();
    if (swaps++ == 0)
        first_ns = last_ns;
    real(window);
}

static unsigned int create_shader(unsigned int type)
{
    if (shader_ns == 0)
        shader_ns = now_ns();
    if (type == FRAGMENT_SHADER_ENUM && switched_on("GLSHIM_NO_FRAGMENT_SHADER"))
        return 0u;
    return real_create_shader(type);
}

glproc glfwGetProcAddress(const char *name)
{
    static lookup_fn real;
    if (real == NULL) {
        void *p = next_symbol("glfwGetProcAddress");
        memcpy(&real, &p, sizeof p);
    }
    loaded_ns = now_ns();
    if (switched_on("GLSHIM_NO_PROCS"))
        return NULL;
    glproc proc = real(name);
    if (strcmp(name, "glCreateShader") == 0 && proc != NULL) {
        real_create_shader = (create_shader_fn)proc;
        return (glproc)create_shader;
    }
    return proc;
}

int dlclose(void *handle)
{
    static int (*real)(void *);
    if (switched_on("GLSHIM_KEEP_LIBRARIES"))
        return 0;
    if (real == NULL) {
        void *p = next_symbol("dlclose");
        memcpy(&real, &p, sizeof p);
    }
    return real(handle);
}

__attribute__((destructor)) static void write_swap_log(void)
{
    const char *path = getenv("GLSHIM_SWAP_LOG");
    if (path == NULL)
        return;
    FILE *f = fopen(path, "w");
    if (f == NULL)
        return;
    fprintf(f, "%lu %lld %lld %lld %lld\n", swaps, first_ns, last_ns, loaded_ns, shader_ns);
    fclose(f);
}
