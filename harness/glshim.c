/*
 * Preloaded into the viewer by the tests and the benchmark. By default it only watches: it counts the
 * buffer swaps, notes the monotonic time of the first and the last one, of the last GL entry point
 * lookup (the loader is done), of the first glCreateShader call (the shader file has been read and
 * echoed), of the last glEnableVertexAttribArray call before the first frame (the quad is set up) and
 * of the glUseProgram call of the first and of the last frame (each frame reads its clock just before
 * it), and reads the current program's iTime at the first and at the last swap. When the process exits
 * normally it writes "SWAPS FIRST_NS LAST_NS LOADED_NS SHADER_NS SETUP_NS FIRST_USE_NS ITIME
 * LAST_USE_NS LAST_ITIME" to the file named by GLSHIM_SWAP_LOG (an ITIME is nan when no program with an
 * iTime was current).
 *
 * With GLSHIM_INFO_LOGS set to a path, each glGetShaderInfoLog and glGetProgramInfoLog call first
 * appends to that file the object's whole log as the GL holds it, however long: a line "shader N" or
 * "program N", N its length, then its N bytes; N is -1 when the name is no such object.
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
typedef void (*get_object_int_fn)(unsigned int, unsigned int, int *);
typedef void (*get_log_fn)(unsigned int, int, int *, char *);
typedef unsigned char (*is_object_fn)(unsigned int);

#define FRAGMENT_SHADER_ENUM 0x8B30u
#define CURRENT_PROGRAM_ENUM 0x8B8Du
#define INFO_LOG_LENGTH_ENUM 0x8B84u

static unsigned long swaps;
static long long first_ns, last_ns, loaded_ns, shader_ns, setup_ns, first_use_ns, use_ns, last_use_ns;
static double first_itime = NAN, last_itime = NAN;

static lookup_fn real_lookup;
static create_shader_fn real_create_shader;
static get_error_fn real_get_error;
static uint_fn real_enable, real_use;
static draw_fn real_draw;
static get_log_fn real_shader_log, real_program_log;

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
    use_ns = now_ns();
    if (first_use_ns == 0)
        first_use_ns = use_ns;
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

/* Appends the whole log the GL holds for object to the GLSHIM_INFO_LOGS file, using only queries that
   raise no GL error, so that the viewer's own error reports are left as they would be. */
static void capture_log(const char *kind, unsigned int object, const char *is_object, const char *get_int,
                        get_log_fn get_log)
{
    const char *path = getenv("GLSHIM_INFO_LOGS");
    if (path == NULL)
        return;
    int length = -1;
    char *text = NULL;
    if (((is_object_fn)gl(is_object))(object)) {
        int size = 0;
        ((get_object_int_fn)gl(get_int))(object, INFO_LOG_LENGTH_ENUM, &size);
        text = calloc((size_t)size + 1, 1);
        length = 0;
        if (text != NULL && size > 0)
            get_log(object, size, &length, text);
    }
    FILE *f = fopen(path, "ab");
    if (f != NULL) {
        fprintf(f, "%s %d\n", kind, length);
        if (length > 0)
            fwrite(text, 1, (size_t)length, f);
        fclose(f);
    }
    free(text);
}

static void shader_log(unsigned int shader, int size, int *length, char *log)
{
    capture_log("shader", shader, "glIsShader", "glGetShaderiv", real_shader_log);
    real_shader_log(shader, size, length, log);
}

static void program_log(unsigned int program, int size, int *length, char *log)
{
    capture_log("program", program, "glIsProgram", "glGetProgramiv", real_program_log);
    real_program_log(program, size, length, log);
}

/* The value of iTime that the frame just drawn used, read without raising any GL error; nan without one. */
static double current_itime(void)
{
    static int program_seen, loc;
    int program = 0;
    ((get_int_fn)gl("glGetIntegerv"))(CURRENT_PROGRAM_ENUM, &program);
    if (program == 0)
        return NAN;
    if (program != program_seen) {
        loc = ((location_fn)gl("glGetUniformLocation"))((unsigned int)program, "iTime");
        program_seen = program;
    }
    if (loc < 0)
        return NAN;
    float value = 0.0f;
    ((get_uniform_fn)gl("glGetUniformfv"))((unsigned int)program, loc, &value);
    return value;
}

void glfwSwapBuffers(void *window)
{
    static swap_fn real;
    if (real == NULL) {
        void *p = next_symbol("glfwSwapBuffers");
        memcpy(&real, &p, sizeof p);
    }
    last_ns = now_ns();
    last_use_ns = use_ns;
    last_itime = current_itime();
    if (swaps++ == 0) {
        first_ns = last_ns;
        first_itime = last_itime;
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
    WRAP("glGetShaderInfoLog", real_shader_log, shader_log)
    WRAP("glGetProgramInfoLog", real_program_log, program_log)
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
    fprintf(f, "%lu %lld %lld %lld %lld %lld %lld %.9g %lld %.9g\n", swaps, first_ns, last_ns, loaded_ns,
            shader_ns, setup_ns, first_use_ns, first_itime, last_use_ns, last_itime);
    fclose(f);
}
