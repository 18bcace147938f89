/*
 * Preloaded into the viewer by the tests and the benchmark. By default it only watches: it counts the
 * buffer swaps, notes the monotonic time of the first and the last one, of the last GL entry point
 * lookup (the loader is done), of the first glCreateShader call (the shader file has been read and
 * echoed), of the last glEnableVertexAttribArray call before the first frame (the quad is set up) and
 * of the first glUseProgram call (the first frame has read its clock), and reads the current program's
 * iTime at the first swap. When the process exits normally it writes
 * "SWAPS FIRST_NS LAST_NS LOADED_NS SHADER_NS SETUP_NS FIRST_USE_NS ITIME" to the file named by
 * GLSHIM_SWAP_LOG (ITIME is nan when no program with an iTime was current).
 *
 * Switches that make the GL look broken in ways a real driver rarely is:
 *   GLSHIM_NO_PROCS=1          every GL entry point lookup returns null (the loader must give up);
 *   GLSHIM_NO_FRAGMENT_SHADER=1  glCreateShader(GL_FRAGMENT_SHADER) returns 0, as when the GL refuses it;
 *   GLSHIM_RAISE="glDrawArrays=1285,1280;glEnableVertexAttribArray=1281"
 *                              every call of a named function raises those errors, as a driver that keeps
 *                              one flag per kind of error would: glGetError hands out the raised codes in
 *                              the order they were raised, each kind once, then asks the real GL.
 * One helps leak checkers:
 *   GLSHIM_KEEP_LIBRARIES=1    dlclose does nothing, so the driver libraries that GLFW unloads at exit
 *                              are still mapped when leaks are reported, and their allocations can be
 *                              told apart by library name.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef void (*glproc)(void);
typedef void (*swap_fn)(void *);
typedef glproc (*lookup_fn)(const char *);
typedef unsigned int (*create_shader_fn)(unsigned int);
typedef unsigned int (*get_error_fn)(void);
typedef void (*uint_fn)(unsigned int);
typedef void (*draw_fn)(unsigned int, int, int);
typedef void (*get_int_fn)(unsigned int, int *);
typedef int (*location_fn)(unsigned int, const char *);
typedef void (*get_uniform_fn)(unsigned int, int, float *);

#define FRAGMENT_SHADER_ENUM 0x8B30u
#define CURRENT_PROGRAM_ENUM 0x8B8Du

static unsigned long swaps;
static long long first_ns, last_ns, loaded_ns, shader_ns, setup_ns, first_use_ns;
static double first_itime = NAN;

static lookup_fn real_lookup;
static create_shader_fn real_create_shader;
static get_error_fn real_get_error;
static uint_fn real_enable, real_use;
static draw_fn real_draw;

static void *next_symbol(const char *name)
{
    void *p = dlsym(RTLD_NEXT, name);
    if (p == NULL) {
        fprintf(stderr, "glshim: no %s to wrap\n", name);
        abort();
    }
    return p;
}

static glproc gl(const char *name)
{
    if (real_lookup == NULL) {
        void *p = next_symbol("glfwGetProcAddress");
        memcpy(&real_lookup, &p, sizeof p);
    }
    /* cppcheck-suppress CastIntegerToAddressAtReturn ; real_lookup returns a function pointer */
    return real_lookup(name);
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

/* The fake error flags: at most one of each kind, in the order they were raised. */
static unsigned int pending[16];
static int npending;

static void raise_for(const char *function)
{
    const char *raised = getenv("GLSHIM_RAISE");
    if (raised == NULL)
        return;
    char copy[256];
    snprintf(copy, sizeof copy, "%s", raised);
    char *entries = NULL;
    for (char *entry = strtok_r(copy, ";", &entries); entry != NULL; entry = strtok_r(NULL, ";", &entries)) {
        char *codes = strchr(entry, '=');
        if (codes == NULL)
            continue;
        *codes++ = '\0';
        if (strcmp(entry, function) != 0)
            continue;
        char *rest = NULL;
        for (char *c = strtok_r(codes, ",", &rest); c != NULL; c = strtok_r(NULL, ",", &rest)) {
            unsigned int code = (unsigned int)strtoul(c, NULL, 10);
            int seen = 0;
            for (int i = 0; i < npending; i++)
                seen |= pending[i] == code;
            if (!seen && npending < 16)
                pending[npending++] = code;
        }
    }
}

static unsigned int get_error(void)
{
    if (npending == 0)
        return real_get_error();
    unsigned int code = pending[0];
    memmove(pending, pending + 1, (size_t)--npending * sizeof pending[0]);
    return code;
}

static void enable_attrib(unsigned int index)
{
    if (first_use_ns == 0)
        setup_ns = now_ns();
    real_enable(index);
    raise_for("glEnableVertexAttribArray");
}

static void use_program(unsigned int program)
{
    if (first_use_ns == 0)
        first_use_ns = now_ns();
    real_use(program);
    raise_for("glUseProgram");
}

static void draw_arrays(unsigned int mode, int first, int count)
{
    real_draw(mode, first, count);
    raise_for("glDrawArrays");
}

static unsigned int create_shader(unsigned int type)
{
    if (shader_ns == 0)
        shader_ns = now_ns();
    if (type == FRAGMENT_SHADER_ENUM && switched_on("GLSHIM_NO_FRAGMENT_SHADER"))
        return 0u;
    return real_create_shader(type);
}

/* The value of iTime that the frame just drawn used, read without raising any GL error. */
static void note_first_itime(void)
{
    int program = 0;
    ((get_int_fn)gl("glGetIntegerv"))(CURRENT_PROGRAM_ENUM, &program);
    if (program == 0)
        return;
    int loc = ((location_fn)gl("glGetUniformLocation"))((unsigned int)program, "iTime");
    if (loc < 0)
        return;
    float value = 0.0f;
    ((get_uniform_fn)gl("glGetUniformfv"))((unsigned int)program, loc, &value);
    first_itime = value;
}

void glfwSwapBuffers(void *window)
{
    static swap_fn real;
    if (real == NULL) {
        void *p = next_symbol("glfwSwapBuffers");
        memcpy(&real, &p, sizeof p);
    }
    last_ns = now_ns();
    if (swaps++ == 0) {
        first_ns = last_ns;
        note_first_itime();
    }
    real(window);
}

#define WRAP(fn, real_ptr, wrapper)                      \
    if (strcmp(name, fn) == 0 && proc != NULL) {         \
        memcpy(&real_ptr, &proc, sizeof proc);           \
        return (glproc)wrapper;                          \
    }

glproc glfwGetProcAddress(const char *name)
{
    loaded_ns = now_ns();
    if (switched_on("GLSHIM_NO_PROCS"))
        return NULL;
    glproc proc = gl(name);
    WRAP("glCreateShader", real_create_shader, create_shader)
    WRAP("glGetError", real_get_error, get_error)
    WRAP("glEnableVertexAttribArray", real_enable, enable_attrib)
    WRAP("glUseProgram", real_use, use_program)
    WRAP("glDrawArrays", real_draw, draw_arrays)
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
    fprintf(f, "%lu %lld %lld %lld %lld %lld %lld %.9g\n", swaps, first_ns, last_ns, loaded_ns, shader_ns,
            setup_ns, first_use_ns, first_itime);
    fclose(f);
}
