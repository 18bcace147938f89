/*
 * Preloaded into the viewer by the tests and the benchmark. By default it only watches: it counts the
 * buffer swaps, notes the monotonic time of the first and the last one, of the last GL entry point
 * lookup (the loader is done), of the first glCreateShader call (the shader file has been read and
 * echoed), of the last glEnableVertexAttribArray call before the first frame (the quad is set up) and
 * of the glUseProgram call of the first and of the last frame (each frame reads its clock just before
 * it), and reads the current program's iTime at the first and at the last swap. When the process exits
 * normally it writes them as a "swaps" record (docs/internals.md) to the file named by GLSHIM_SWAP_LOG
 * (an iTime is nan when no program with an iTime was current).
 *
 * Where no X server is there to read the window from or to close it (a Wayland compositor):
 *   GLSHIM_PIXELS_PATH=PATH, GLSHIM_PIXELS_AT="X,Y X,Y ..."
 *                              at each swap, the colours of those pixels of the frame (X, Y from the
 *                              top left) replace PATH's "pixels" record;
 *   GLSHIM_CLOSE_AFTER=SECONDS  the window's close flag is set at the first swap that many seconds after
 *                              the first, so that the viewer ends by its normal path.
 *
 * With GLSHIM_INFO_LOGS set to a path, each glGetShaderInfoLog and glGetProgramInfoLog call first
 * appends to that file an "info-log" record with the object's whole log as the GL holds it, however
 * long, or exists=0 when the name is no such object.
 *
 * Switches that make the GL look broken in ways a real driver rarely is:
 *   GLSHIM_NO_PROCS=1          every GL entry point lookup returns null (the loader must give up);
 *   GLSHIM_NO_FRAGMENT_SHADER=1  glCreateShader(GL_FRAGMENT_SHADER) returns 0, as when the GL refuses it;
 *   GLSHIM_RAISE="glDrawArrays=1285,1280;glEnableVertexAttribArray=1281"
 *                              every call of a named function raises those errors, as a driver that keeps
 *                              one flag per kind of error would: glGetError hands out the raised codes in
 *                              the order they were raised, each kind once, then asks the real GL;
 *   GLSHIM_SHADER_LOG=TEXT     the log of every shader that did not compile is TEXT, as another driver
 *                              would word it.
 * One helps leak checkers:
 *   GLSHIM_KEEP_LIBRARIES=1    dlclose does nothing, so the driver libraries that GLFW unloads at exit
 *                              are still mapped when leaks are reported, and their allocations can be
 *                              told apart by library name.
 */
#include <fcntl.h>
#include <math.h>

#include "gl/gl.h"
#include "gl/target.h"
#include "programs/program.h"

static unsigned long swaps;
static long long first_ns, last_ns, loaded_ns, shader_ns, setup_ns, first_use_ns, use_ns, last_use_ns;
static double first_itime = NAN, last_itime = NAN;

static struct {
    PFNGLCREATESHADERPROC create_shader;
    PFNGLGETERRORPROC get_error;
    PFNGLENABLEVERTEXATTRIBARRAYPROC enable;
    PFNGLUSEPROGRAMPROC use;
    PFNGLDRAWARRAYSPROC draw;
    PFNGLGETSHADERINFOLOGPROC shader_log;
    PFNGLGETPROGRAMINFOLOGPROC program_log;
    PFNGLGETSHADERIVPROC get_shaderiv;
} real;

static int switched_on(const char *name)
{
    const char *v = getenv(name);
    return v != NULL && strcmp(v, "1") == 0;
}

/* The fake error flags: at most one of each kind, in the order they were raised. */
static GLenum pending[16];
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
            GLenum code = (GLenum)strtoul(c, NULL, 10);
            int seen = 0;
            for (int i = 0; i < npending; i++)
                seen |= pending[i] == code;
            if (!seen && npending < 16)
                pending[npending++] = code;
        }
    }
}

static GLenum get_error(void)
{
    if (npending == 0)
        return real.get_error();
    GLenum code = pending[0];
    memmove(pending, pending + 1, (size_t)--npending * sizeof pending[0]);
    return code;
}

static void enable_attrib(GLuint index)
{
    if (first_use_ns == 0)
        setup_ns = preload_now_ns();
    real.enable(index);
    raise_for("glEnableVertexAttribArray");
}

static void use_program(GLuint program)
{
    use_ns = preload_now_ns();
    if (first_use_ns == 0)
        first_use_ns = use_ns;
    real.use(program);
    raise_for("glUseProgram");
}

static void draw_arrays(GLenum mode, GLint first, GLsizei count)
{
    real.draw(mode, first, count);
    raise_for("glDrawArrays");
}

static GLuint create_shader(GLenum type)
{
    if (shader_ns == 0)
        shader_ns = preload_now_ns();
    if (type == GL_FRAGMENT_SHADER && switched_on("GLSHIM_NO_FRAGMENT_SHADER"))
        return 0u;
    return real.create_shader(type);
}

/* Appends to the GLSHIM_INFO_LOGS file the whole log the GL holds for object, using only queries that
   raise no GL error, so that the viewer's own error reports are left as they would be. */
static void capture_log(int is_program, GLuint object, PFNGLISSHADERPROC is_object)
{
    const char *path = getenv("GLSHIM_INFO_LOGS");
    if (path == NULL)
        return;
    int exists = is_object(object) == GL_TRUE;
    char *log = exists ? gl_log(object, is_program) : NULL;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        const struct field fields[] = {FIELD("object", is_program ? "program" : "shader"),
                                       FIELD("exists", exists ? "1" : "0"),
                                       PAYLOAD("log", log, log != NULL ? strlen(log) : 0)};
        record_write(fd, "info-log", fields, 3);
        close(fd);
    }
    free(log);
}

/* The log GLSHIM_SHADER_LOG hands out for shader, or NULL for the GL's own. */
static const char *fake_log(GLuint shader)
{
    const char *fake = getenv("GLSHIM_SHADER_LOG");
    GLint compiled = 1;
    if (fake != NULL)
        real.get_shaderiv(shader, GL_COMPILE_STATUS, &compiled);
    return compiled ? NULL : fake;
}

static void shader_log(GLuint shader, GLsizei size, GLsizei *length, GLchar *log)
{
    PFNGLISSHADERPROC is_shader;
    GL_ENTRY(glIsShader, is_shader);
    capture_log(0, shader, is_shader);
    const char *fake = fake_log(shader);
    if (fake != NULL && size > 0) {
        GLsizei n = (GLsizei)strlen(fake) < size - 1 ? (GLsizei)strlen(fake) : size - 1;
        memcpy(log, fake, (size_t)n);
        log[n] = '\0';
        if (length != NULL)
            *length = n;
        return;
    }
    real.shader_log(shader, size, length, log);
}

static void get_shaderiv(GLuint shader, GLenum what, GLint *value)
{
    real.get_shaderiv(shader, what, value);
    const char *fake = what == GL_INFO_LOG_LENGTH ? fake_log(shader) : NULL;
    if (fake != NULL)
        *value = (GLint)strlen(fake) + 1;
}

static void program_log(GLuint program, GLsizei size, GLsizei *length, GLchar *log)
{
    PFNGLISPROGRAMPROC is_program;
    GL_ENTRY(glIsProgram, is_program);
    capture_log(1, program, is_program);
    real.program_log(program, size, length, log);
}

/* The value of iTime that the frame just drawn used, read without raising any GL error; nan without one. */
static double current_itime(void)
{
    static GLint program_seen, loc;
    static PFNGLGETINTEGERVPROC get_integerv;
    static PFNGLGETUNIFORMLOCATIONPROC location;
    static PFNGLGETUNIFORMFVPROC get_uniform;
    if (get_integerv == NULL) {
        GL_ENTRY(glGetIntegerv, get_integerv);
        GL_ENTRY(glGetUniformLocation, location);
        GL_ENTRY(glGetUniformfv, get_uniform);
    }
    GLint program = 0;
    get_integerv(GL_CURRENT_PROGRAM, &program);
    if (program == 0)
        return NAN;
    if (program != program_seen) {
        loc = location((GLuint)program, "iTime");
        program_seen = program;
    }
    if (loc < 0)
        return NAN;
    GLfloat value = 0.0f;
    get_uniform((GLuint)program, loc, &value);
    return value;
}

/* Replaces the GLSHIM_PIXELS_PATH file with the colours of the GLSHIM_PIXELS_AT points of the frame about
 * to be shown. */
static void write_pixels(GLFWwindow *window)
{
    static __typeof__(glfwGetFramebufferSize) *framebuffer_size;
    const char *path = getenv("GLSHIM_PIXELS_PATH"), *at = getenv("GLSHIM_PIXELS_AT");
    if (path == NULL || at == NULL)
        return;
    NEXT(glfwGetFramebufferSize, framebuffer_size);
    int w = 0, h = 0;
    framebuffer_size(window, &w, &h);
    char colours[4096] = "", swap[32], temporary[4200];
    size_t used = 0;
    int x = 0, y = 0, n = 0;
    for (const char *p = at; sscanf(p, "%d,%d%n", &x, &y, &n) == 2 && used < sizeof colours - 16; p += n) {
        unsigned char rgba[4] = {0, 0, 0, 0};
        read_pixels(x, h - 1 - y, 1, 1, rgba);
        used += (size_t)snprintf(colours + used, sizeof colours - used, "%s%d,%d,%d", used ? ";" : "", rgba[0],
                                 rgba[1], rgba[2]);
    }
    snprintf(swap, sizeof swap, "%lu", swaps);
    snprintf(temporary, sizeof temporary, "%s.part", path);
    int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const struct field fields[] = {FIELD("swap", swap), FIELD("colours", colours)};
    record_write(fd, "pixels", fields, 2);
    close(fd);
    rename(temporary, path);
}

HOOK void glfwSwapBuffers(GLFWwindow *window)
{
    static __typeof__(glfwSwapBuffers) *next;
    static __typeof__(glfwSetWindowShouldClose) *set_should_close;
    NEXT(glfwSwapBuffers, next);
    NEXT(glfwSetWindowShouldClose, set_should_close);
    write_pixels(window);
    last_ns = preload_now_ns();
    last_use_ns = use_ns;
    last_itime = current_itime();
    if (swaps++ == 0) {
        first_ns = last_ns;
        first_itime = last_itime;
    }
    const char *close_after = getenv("GLSHIM_CLOSE_AFTER");
    if (close_after != NULL && (double)(last_ns - first_ns) / 1e9 >= atof(close_after))
        set_should_close(window, GLFW_TRUE);
    next(window);
}

HOOK GLFWglproc glfwGetProcAddress(const char *name)
{
    loaded_ns = preload_now_ns();
    if (switched_on("GLSHIM_NO_PROCS"))
        return NULL;
    GLFWglproc proc = preload_gl_or_null(name);
    GL_WRAP(glCreateShader, real.create_shader, create_shader)
    GL_WRAP(glGetError, real.get_error, get_error)
    GL_WRAP(glEnableVertexAttribArray, real.enable, enable_attrib)
    GL_WRAP(glUseProgram, real.use, use_program)
    GL_WRAP(glDrawArrays, real.draw, draw_arrays)
    GL_WRAP(glGetShaderInfoLog, real.shader_log, shader_log)
    GL_WRAP(glGetShaderiv, real.get_shaderiv, get_shaderiv)
    GL_WRAP(glGetProgramInfoLog, real.program_log, program_log)
    return proc;
}

HOOK int dlclose(void *handle)
{
    static int (*next)(void *);
    if (switched_on("GLSHIM_KEEP_LIBRARIES"))
        return 0;
    NEXT(dlclose, next);
    return next(handle);
}

__attribute__((destructor)) static void write_swap_log(void)
{
    const char *path = getenv("GLSHIM_SWAP_LOG");
    if (path == NULL)
        return;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const char *names[] = {"count", "first_ns", "last_ns", "loaded_ns", "shader_ns", "setup_ns", "first_use_ns",
                           "itime", "last_use_ns", "last_itime"};
    char values[10][40];
    long long times[] = {(long long)swaps, first_ns, last_ns, loaded_ns, shader_ns, setup_ns, first_use_ns, 0,
                         last_use_ns, 0};
    struct field fields[10];
    for (int i = 0; i < 10; i++) {
        if (i == 7 || i == 9)
            snprintf(values[i], sizeof values[i], "%.9g", i == 7 ? first_itime : last_itime);
        else
            snprintf(values[i], sizeof values[i], "%lld", times[i]);
        fields[i] = (struct field)FIELD(names[i], values[i]);
    }
    record_write(fd, "swaps", fields, 10);
    close(fd);
}
