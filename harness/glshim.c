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
 *
 * One records the viewer's own calls, to hold them against what the preloaded libraries rely on
 * (docs/internals.md, "What we rely on in the viewer"):
 *   GLSHIM_CALLS=PATH, GLSHIM_CALLS_FRAMES="0 1 3 end"
 *                              PATH gets, for each frame named, a line "[frame N]" and then the calls the
 *                              program's own code made in it, one a line: its GLFW calls, its GL calls of
 *                              the entry points it draws with (not its error checks, glGetError), and its
 *                              reads of std::chrono::steady_clock.
 *                              Frame 0 is everything before the first glfwWindowShouldClose, frame N
 *                              begins at the Nth, and "end" (written at exit) is the last frame, from the
 *                              last glfwWindowShouldClose on; a frame is written once the next begins.
 *                              Only what does not depend on the driver is written: GL objects are numbered
 *                              per kind in the order the viewer made them ("shader 2", 0 stays 0), a
 *                              uniform location is named by the name it was looked up by, a shader text
 *                              by its first line (or as "test.glsl as it is"), and the loader's run of
 *                              entry point lookups is one line. A draw says which vertex array is bound
 *                              and which program is in use. Calls made from the viewer's callbacks, inside
 *                              GLFW's event processing, come when the window system says and are left
 *                              out. The shim goes after the companions' libraries in LD_PRELOAD (as the
 *                              commands put it), so that the clock reads they see are still the program's.
 */
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdarg.h>
#include <sys/stat.h>

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
    /* Those wrapped only to be recorded. */
    PFNGLSHADERSOURCEPROC shader_source;
    PFNGLCOMPILESHADERPROC compile_shader;
    PFNGLCREATEPROGRAMPROC create_program;
    PFNGLATTACHSHADERPROC attach_shader;
    PFNGLLINKPROGRAMPROC link_program;
    PFNGLGETPROGRAMIVPROC get_programiv;
    PFNGLDELETESHADERPROC delete_shader;
    PFNGLDELETEPROGRAMPROC delete_program;
    PFNGLGENVERTEXARRAYSPROC gen_vertex_arrays;
    PFNGLBINDVERTEXARRAYPROC bind_vertex_array;
    PFNGLDELETEVERTEXARRAYSPROC delete_vertex_arrays;
    PFNGLGENBUFFERSPROC gen_buffers;
    PFNGLBINDBUFFERPROC bind_buffer;
    PFNGLBUFFERDATAPROC buffer_data;
    PFNGLDELETEBUFFERSPROC delete_buffers;
    PFNGLVERTEXATTRIBPOINTERPROC attrib_pointer;
    PFNGLCLEARCOLORPROC clear_color;
    PFNGLCLEARPROC clear;
    PFNGLVIEWPORTPROC viewport;
    PFNGLBINDFRAMEBUFFERPROC bind_framebuffer;
    PFNGLGETUNIFORMLOCATIONPROC uniform_location;
    PFNGLUNIFORM1FPROC uniform1f;
    PFNGLGETINTEGERVPROC get_integerv;
} real;

static int switched_on(const char *name)
{
    const char *v = getenv(name);
    return v != NULL && strcmp(v, "1") == 0;
}

/* The record of the viewer's calls (GLSHIM_CALLS): where it goes (-1: nowhere), the frames written, the
 * frame being made and its calls so far, where its last line starts, and how deep the viewer is in GLFW's
 * own calls (what its callbacks do there is left out). */
static struct {
    int fd;
    char *frames;
    int frame;
    struct text now;
    size_t last;
    int inside;
} calls = {.fd = -1};

/* Whether the call that reached the function this is written in is the viewer's own, to be recorded. */
#define RECORDED() (calls.fd >= 0 && calls.inside == 0 && preload_from_program(__builtin_return_address(0)))

__attribute__((format(printf, 1, 2))) static void note(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    calls.last = calls.now.used;
    text_addf(&calls.now, "%s\n", line);
}

/* Whether the last call noted reads line. */
static int last_is(const char *line)
{
    size_t size = strlen(line);
    return calls.now.used - calls.last == size + 1 && memcmp(calls.now.data + calls.last, line, size) == 0;
}

/* Whether GLSHIM_CALLS_FRAMES names frame (a number, or "end"). */
static int frame_wanted(const char *frame)
{
    size_t size = strlen(frame);
    for (const char *p = calls.frames; *p != '\0'; p += strspn(p, " ")) {
        size_t word = strcspn(p, " ");
        if (word == size && strncmp(p, frame, size) == 0)
            return 1;
        p += word;
    }
    return 0;
}

/* Writes the calls of the frame being made, under name, when it is one of those wanted. */
static void write_frame(const char *name)
{
    if (!frame_wanted(name))
        return;
    char header[64];
    int size = snprintf(header, sizeof header, "[%s%s]\n", isdigit((unsigned char)name[0]) ? "frame " : "", name);
    preload_write_all(calls.fd, header, (size_t)size, "GLSHIM_CALLS");
    preload_write_all(calls.fd, calls.now.data != NULL ? calls.now.data : "", calls.now.used, "GLSHIM_CALLS");
}

/* The viewer's glfwWindowShouldClose: the frame before it is done. */
static void frame_begins(void)
{
    char number[32];
    snprintf(number, sizeof number, "%d", calls.frame++);
    write_frame(number);
    calls.now.used = calls.last = 0;
}

__attribute__((constructor)) static void start_calls(void)
{
    const char *path = getenv("GLSHIM_CALLS"), *frames = getenv("GLSHIM_CALLS_FRAMES");
    if (path == NULL)
        return;
    calls.frames = strdup(frames != NULL ? frames : "0 1 end");
    calls.fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (calls.fd < 0 || calls.frames == NULL)
        preload_fail("GLSHIM_CALLS=%s: %s", path, strerror(errno));
    text_add(&calls.now, "", 0);
    /* One process records: a child the viewer started would write over it. */
    unsetenv("GLSHIM_CALLS");
    unsetenv("GLSHIM_CALLS_FRAMES");
}

__attribute__((destructor)) static void end_calls(void)
{
    if (calls.fd < 0)
        return;
    char number[32];
    snprintf(number, sizeof number, "%d", calls.frame);
    write_frame(number);
    write_frame("end");
    close(calls.fd);
    calls.fd = -1;
}

/* The GL objects the viewer made, numbered per kind in the order it made them. */
enum kind { SHADER, PROGRAM, VERTEX_ARRAY, BUFFER, KINDS };
static GLuint made[KINDS][64];
static int made_count[KINDS];

static void made_one(enum kind kind, GLuint name)
{
    if (name != 0 && made_count[kind] < 64)
        made[kind][made_count[kind]++] = name;
}

/* "shader 2" for the viewer's second shader, "0" for none, "shader ?" for one it did not make; the text
 * lasts for the next three calls. */
static const char *object(enum kind kind, GLuint name)
{
    static const char *const KIND_NAMES[] = {"shader", "program", "vertex array", "buffer"};
    static char texts[4][32];
    static int next;
    char *text = texts[next++ % 4];
    int found = 0;
    while (found < made_count[kind] && made[kind][found] != name)
        found++;
    if (name == 0)
        snprintf(text, sizeof texts[0], "0");
    else if (found < made_count[kind])
        snprintf(text, sizeof texts[0], "%s %d", KIND_NAMES[kind], found + 1);
    else
        snprintf(text, sizeof texts[0], "%s ?", KIND_NAMES[kind]);
    return text;
}

/* The GL's name of one of the constants the viewer passes, without GL_; else the number. */
static const char *constant(GLenum value)
{
    static const struct {
        GLenum value;
        const char *name;
    } NAMES[] = {
        {GL_VERTEX_SHADER, "VERTEX_SHADER"}, {GL_FRAGMENT_SHADER, "FRAGMENT_SHADER"},
        {GL_COMPILE_STATUS, "COMPILE_STATUS"}, {GL_LINK_STATUS, "LINK_STATUS"},
        {GL_INFO_LOG_LENGTH, "INFO_LOG_LENGTH"}, {GL_ARRAY_BUFFER, "ARRAY_BUFFER"},
        {GL_ELEMENT_ARRAY_BUFFER, "ELEMENT_ARRAY_BUFFER"}, {GL_STATIC_DRAW, "STATIC_DRAW"},
        {GL_DYNAMIC_DRAW, "DYNAMIC_DRAW"}, {GL_FLOAT, "FLOAT"}, {GL_TRIANGLES, "TRIANGLES"},
        {GL_TRIANGLE_STRIP, "TRIANGLE_STRIP"}, {GL_TRIANGLE_FAN, "TRIANGLE_FAN"},
        {GL_COLOR_BUFFER_BIT, "COLOR_BUFFER_BIT"}, {GL_FRAMEBUFFER, "FRAMEBUFFER"},
        {GL_DRAW_FRAMEBUFFER, "DRAW_FRAMEBUFFER"}, {GL_READ_FRAMEBUFFER, "READ_FRAMEBUFFER"},
    };
    static char number[16];
    for (size_t i = 0; i < sizeof NAMES / sizeof NAMES[0]; i++)
        if (NAMES[i].value == value)
            return NAMES[i].name;
    snprintf(number, sizeof number, "%#x", value);
    return number;
}

/* The uniform locations the viewer looked up, by the names it looked them up by. */
static struct {
    GLint location;
    char name[64];
} looked_up[16];
static int looked_up_count;

/* A shader text as the viewer hands it over: "test.glsl as it is" when it is the whole of the shader
 * file in the viewer's directory, byte for byte, else its first line. */
static void describe_text(char *out, size_t room, GLsizei count, const GLchar *const *strings, const GLint *lengths)
{
    struct text given = {0};
    text_add(&given, "", 0);
    for (GLsizei i = 0; i < count; i++)
        text_add(&given, strings[i], lengths != NULL && lengths[i] >= 0 ? (size_t)lengths[i] : strlen(strings[i]));
    const char *why = NULL;
    char *file = preload_read_text("test.glsl", &why);
    struct stat st;
    if (file != NULL && stat("test.glsl", &st) == 0 && (size_t)st.st_size == given.used &&
        memcmp(file, given.data, given.used) == 0)
        snprintf(out, room, "test.glsl as it is");
    else
        snprintf(out, room, "first line \"%.*s\"", (int)strcspn(given.data, "\n"), given.data);
    free(file);
    free(given.data);
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
    if (RECORDED())
        note("glEnableVertexAttribArray %u", index);
    if (first_use_ns == 0)
        setup_ns = preload_now_ns();
    real.enable(index);
    raise_for("glEnableVertexAttribArray");
}

static void use_program(GLuint program)
{
    if (RECORDED())
        note("glUseProgram %s", object(PROGRAM, program));
    use_ns = preload_now_ns();
    if (first_use_ns == 0)
        first_use_ns = use_ns;
    real.use(program);
    raise_for("glUseProgram");
}

static void draw_arrays(GLenum mode, GLint first, GLsizei count)
{
    if (RECORDED()) {
        GLint vertex_array = 0, program = 0;
        if (real.get_integerv == NULL)
            GL_ENTRY(glGetIntegerv, real.get_integerv);
        real.get_integerv(GL_VERTEX_ARRAY_BINDING, &vertex_array);
        real.get_integerv(GL_CURRENT_PROGRAM, &program);
        note("glDrawArrays %s %d %d, %s bound, %s in use", constant(mode), first, count,
             object(VERTEX_ARRAY, (GLuint)vertex_array), object(PROGRAM, (GLuint)program));
    }
    real.draw(mode, first, count);
    raise_for("glDrawArrays");
}

static GLuint create_shader(GLenum type)
{
    int recorded = RECORDED();
    if (shader_ns == 0)
        shader_ns = preload_now_ns();
    GLuint shader = 0;
    if (type != GL_FRAGMENT_SHADER || !switched_on("GLSHIM_NO_FRAGMENT_SHADER"))
        shader = real.create_shader(type);
    if (recorded) {
        made_one(SHADER, shader);
        note("glCreateShader %s -> %s", constant(type), object(SHADER, shader));
    }
    return shader;
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
    if (RECORDED())
        note("glGetShaderInfoLog %s", object(SHADER, shader));
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
    if (RECORDED())
        note("glGetShaderiv %s %s", object(SHADER, shader), constant(what));
    real.get_shaderiv(shader, what, value);
    const char *fake = what == GL_INFO_LOG_LENGTH ? fake_log(shader) : NULL;
    if (fake != NULL)
        *value = (GLint)strlen(fake) + 1;
}

static void program_log(GLuint program, GLsizei size, GLsizei *length, GLchar *log)
{
    if (RECORDED())
        note("glGetProgramInfoLog %s", object(PROGRAM, program));
    PFNGLISPROGRAMPROC is_program;
    GL_ENTRY(glIsProgram, is_program);
    capture_log(1, program, is_program);
    real.program_log(program, size, length, log);
}

/* The entry points wrapped only while the viewer's calls are recorded: each notes the call, when it is
 * the viewer's own, and makes it. */

static void shader_source(GLuint shader, GLsizei count, const GLchar *const *strings, const GLint *lengths)
{
    if (RECORDED()) {
        char text[160];
        describe_text(text, sizeof text, count, strings, lengths);
        note("glShaderSource %s, %d string%s, lengths %s: %s", object(SHADER, shader), count, count == 1 ? "" : "s",
             lengths == NULL ? "NULL" : "given", text);
    }
    real.shader_source(shader, count, strings, lengths);
}

static void compile_shader(GLuint shader)
{
    if (RECORDED())
        note("glCompileShader %s", object(SHADER, shader));
    real.compile_shader(shader);
}

static GLuint create_program(void)
{
    int recorded = RECORDED();
    GLuint program = real.create_program();
    if (recorded) {
        made_one(PROGRAM, program);
        note("glCreateProgram -> %s", object(PROGRAM, program));
    }
    return program;
}

static void attach_shader(GLuint program, GLuint shader)
{
    if (RECORDED())
        note("glAttachShader %s, %s", object(PROGRAM, program), object(SHADER, shader));
    real.attach_shader(program, shader);
}

static void link_program(GLuint program)
{
    if (RECORDED())
        note("glLinkProgram %s", object(PROGRAM, program));
    real.link_program(program);
}

static void get_programiv(GLuint program, GLenum what, GLint *value)
{
    if (RECORDED())
        note("glGetProgramiv %s %s", object(PROGRAM, program), constant(what));
    real.get_programiv(program, what, value);
}

static void delete_shader(GLuint shader)
{
    if (RECORDED())
        note("glDeleteShader %s", object(SHADER, shader));
    real.delete_shader(shader);
}

static void delete_program(GLuint program)
{
    if (RECORDED())
        note("glDeleteProgram %s", object(PROGRAM, program));
    real.delete_program(program);
}

/* "glGenBuffers 1 -> buffer 1, ..." and the like. */
static void note_names(const char *call, enum kind kind, GLsizei n, const GLuint *names, int made_now)
{
    struct text list = {0};
    text_add(&list, "", 0);
    for (GLsizei i = 0; i < n && i < 8; i++) {
        if (made_now)
            made_one(kind, names[i]);
        text_addf(&list, "%s%s", i > 0 ? ", " : "", object(kind, names[i]));
    }
    if (made_now)
        note("%s %d -> %s", call, n, list.data);
    else
        note("%s %s", call, list.data);
    free(list.data);
}

static void gen_vertex_arrays(GLsizei n, GLuint *names)
{
    int recorded = RECORDED();
    real.gen_vertex_arrays(n, names);
    if (recorded)
        note_names("glGenVertexArrays", VERTEX_ARRAY, n, names, 1);
}

static void bind_vertex_array(GLuint vertex_array)
{
    if (RECORDED())
        note("glBindVertexArray %s", object(VERTEX_ARRAY, vertex_array));
    real.bind_vertex_array(vertex_array);
}

static void delete_vertex_arrays(GLsizei n, const GLuint *names)
{
    if (RECORDED())
        note_names("glDeleteVertexArrays", VERTEX_ARRAY, n, names, 0);
    real.delete_vertex_arrays(n, names);
}

static void gen_buffers(GLsizei n, GLuint *names)
{
    int recorded = RECORDED();
    real.gen_buffers(n, names);
    if (recorded)
        note_names("glGenBuffers", BUFFER, n, names, 1);
}

static void bind_buffer(GLenum target, GLuint buffer)
{
    if (RECORDED())
        note("glBindBuffer %s %s", constant(target), object(BUFFER, buffer));
    real.bind_buffer(target, buffer);
}

static void buffer_data(GLenum target, GLsizeiptr size, const void *data, GLenum usage)
{
    if (RECORDED())
        note("glBufferData %s %ld bytes %s", constant(target), (long)size, constant(usage));
    real.buffer_data(target, size, data, usage);
}

static void delete_buffers(GLsizei n, const GLuint *names)
{
    if (RECORDED())
        note_names("glDeleteBuffers", BUFFER, n, names, 0);
    real.delete_buffers(n, names);
}

/* With a buffer bound, as the core profile has it, the pointer is an offset into the buffer. */
static void attrib_pointer(GLuint index, GLint size, GLenum type, GLboolean normalized, GLsizei stride,
                           const void *pointer)
{
    if (RECORDED())
        note("glVertexAttribPointer %u: %d %s%s, stride %d, offset %lu", index, size, constant(type),
             normalized ? " normalized" : "", stride, (unsigned long)(uintptr_t)pointer);
    real.attrib_pointer(index, size, type, normalized, stride, pointer);
}

static void clear_color(GLfloat r, GLfloat g, GLfloat b, GLfloat a)
{
    if (RECORDED())
        note("glClearColor");
    real.clear_color(r, g, b, a);
}

static void clear(GLbitfield mask)
{
    if (RECORDED())
        note("glClear %s", constant(mask));
    real.clear(mask);
}

static void viewport(GLint x, GLint y, GLsizei width, GLsizei height)
{
    if (RECORDED())
        note("glViewport %d %d %d %d", x, y, width, height);
    real.viewport(x, y, width, height);
}

static void bind_framebuffer(GLenum target, GLuint framebuffer)
{
    if (RECORDED())
        note("glBindFramebuffer %s %u", constant(target), framebuffer);
    real.bind_framebuffer(target, framebuffer);
}

static GLint uniform_location(GLuint program, const GLchar *name)
{
    int recorded = RECORDED();
    GLint location = real.uniform_location(program, name);
    if (recorded) {
        note("glGetUniformLocation %s \"%s\"", object(PROGRAM, program), name);
        int i = 0;
        while (i < looked_up_count && looked_up[i].location != location)
            i++;
        if (i == looked_up_count && looked_up_count < 16)
            looked_up_count++;
        if (i < looked_up_count) {
            looked_up[i].location = location;
            snprintf(looked_up[i].name, sizeof looked_up[i].name, "%s", name);
        }
    }
    return location;
}

static void uniform1f(GLint location, GLfloat value)
{
    if (RECORDED()) {
        int i = 0;
        while (i < looked_up_count && looked_up[i].location != location)
            i++;
        if (location == -1)
            note("glUniform1f -1");
        else if (i < looked_up_count)
            note("glUniform1f the location of \"%s\"", looked_up[i].name);
        else
            note("glUniform1f a location never looked up");
    }
    real.uniform1f(location, value);
}

/* The viewer's GLFW calls, noted when recorded; while GLFW is at work, what the viewer's callbacks do is
 * not. */
#define GLFW_CALL(call)    \
    do {                   \
        calls.inside++;    \
        call;              \
        calls.inside--;    \
    } while (0)

HOOK int glfwInit(void)
{
    static __typeof__(glfwInit) *next;
    NEXT(glfwInit, next);
    if (RECORDED())
        note("glfwInit");
    int done = 0;
    GLFW_CALL(done = next());
    return done;
}

HOOK void glfwWindowHint(int hint, int value)
{
    static __typeof__(glfwWindowHint) *next;
    NEXT(glfwWindowHint, next);
    if (RECORDED()) {
        const char *name = hint == GLFW_CONTEXT_VERSION_MAJOR ? "CONTEXT_VERSION_MAJOR"
                           : hint == GLFW_CONTEXT_VERSION_MINOR ? "CONTEXT_VERSION_MINOR"
                           : hint == GLFW_OPENGL_PROFILE        ? "OPENGL_PROFILE"
                                                                : NULL;
        if (name == NULL)
            note("glfwWindowHint %#x %d", hint, value);
        else if (hint == GLFW_OPENGL_PROFILE && value == GLFW_OPENGL_CORE_PROFILE)
            note("glfwWindowHint %s OPENGL_CORE_PROFILE", name);
        else
            note("glfwWindowHint %s %d", name, value);
    }
    GLFW_CALL(next(hint, value));
}

HOOK GLFWwindow *glfwCreateWindow(int width, int height, const char *title, GLFWmonitor *monitor,
                                  GLFWwindow *share)
{
    static __typeof__(glfwCreateWindow) *next;
    NEXT(glfwCreateWindow, next);
    int recorded = RECORDED();
    GLFWwindow *window = NULL;
    GLFW_CALL(window = next(width, height, title, monitor, share));
    if (recorded)
        note("glfwCreateWindow %dx%d \"%s\"%s%s -> %s", width, height, title, monitor != NULL ? ", full screen" : "",
             share != NULL ? ", sharing" : "", window != NULL ? "the window" : "none");
    return window;
}

HOOK void glfwMakeContextCurrent(GLFWwindow *window)
{
    static __typeof__(glfwMakeContextCurrent) *next;
    NEXT(glfwMakeContextCurrent, next);
    if (RECORDED())
        note("glfwMakeContextCurrent %s", window != NULL ? "the window" : "none");
    GLFW_CALL(next(window));
}

HOOK GLFWframebuffersizefun glfwSetFramebufferSizeCallback(GLFWwindow *window, GLFWframebuffersizefun callback)
{
    static __typeof__(glfwSetFramebufferSizeCallback) *next;
    NEXT(glfwSetFramebufferSizeCallback, next);
    if (RECORDED())
        note("glfwSetFramebufferSizeCallback %s", callback != NULL ? "a callback" : "none");
    GLFWframebuffersizefun before = NULL;
    GLFW_CALL(before = next(window, callback));
    return before;
}

/* The top of the viewer's loop: the frame before it is done. */
HOOK int glfwWindowShouldClose(GLFWwindow *window)
{
    static __typeof__(glfwWindowShouldClose) *next;
    NEXT(glfwWindowShouldClose, next);
    int recorded = RECORDED();
    if (recorded)
        frame_begins();
    int closing = 0;
    GLFW_CALL(closing = next(window));
    if (recorded)
        note("glfwWindowShouldClose -> %d", closing);
    return closing;
}

HOOK int glfwGetKey(GLFWwindow *window, int key)
{
    static __typeof__(glfwGetKey) *next;
    NEXT(glfwGetKey, next);
    if (RECORDED()) {
        if (key == GLFW_KEY_ESCAPE)
            note("glfwGetKey ESCAPE");
        else
            note("glfwGetKey %d", key);
    }
    int state = 0;
    GLFW_CALL(state = next(window, key));
    return state;
}

HOOK void glfwSetWindowShouldClose(GLFWwindow *window, int value)
{
    static __typeof__(glfwSetWindowShouldClose) *next;
    NEXT(glfwSetWindowShouldClose, next);
    if (RECORDED())
        note("glfwSetWindowShouldClose %d", value);
    GLFW_CALL(next(window, value));
}

HOOK void glfwPollEvents(void)
{
    static __typeof__(glfwPollEvents) *next;
    NEXT(glfwPollEvents, next);
    if (RECORDED())
        note("glfwPollEvents");
    GLFW_CALL(next());
}

HOOK void glfwTerminate(void)
{
    static __typeof__(glfwTerminate) *next;
    NEXT(glfwTerminate, next);
    if (RECORDED())
        note("glfwTerminate");
    GLFW_CALL(next());
}

/* The program's own reads of the clock: it reads it for its time origin and for each frame's time. */
HOOK long long STEADY_CLOCK_NOW(void)
{
    if (RECORDED())
        note("steady_clock::now");
    return preload_real_now();
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
    if (RECORDED())
        note("glfwSwapBuffers");
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
    GLFW_CALL(next(window));
}

HOOK GLFWglproc glfwGetProcAddress(const char *name)
{
    /* The loader looks up hundreds, as many as the GL it finds has: one line for a run of them. */
    if (RECORDED() && !last_is("glfwGetProcAddress ..."))
        note("glfwGetProcAddress ...");
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
    if (calls.fd < 0)
        return proc;
    GL_WRAP(glShaderSource, real.shader_source, shader_source)
    GL_WRAP(glCompileShader, real.compile_shader, compile_shader)
    GL_WRAP(glCreateProgram, real.create_program, create_program)
    GL_WRAP(glAttachShader, real.attach_shader, attach_shader)
    GL_WRAP(glLinkProgram, real.link_program, link_program)
    GL_WRAP(glGetProgramiv, real.get_programiv, get_programiv)
    GL_WRAP(glDeleteShader, real.delete_shader, delete_shader)
    GL_WRAP(glDeleteProgram, real.delete_program, delete_program)
    GL_WRAP(glGenVertexArrays, real.gen_vertex_arrays, gen_vertex_arrays)
    GL_WRAP(glBindVertexArray, real.bind_vertex_array, bind_vertex_array)
    GL_WRAP(glDeleteVertexArrays, real.delete_vertex_arrays, delete_vertex_arrays)
    GL_WRAP(glGenBuffers, real.gen_buffers, gen_buffers)
    GL_WRAP(glBindBuffer, real.bind_buffer, bind_buffer)
    GL_WRAP(glBufferData, real.buffer_data, buffer_data)
    GL_WRAP(glDeleteBuffers, real.delete_buffers, delete_buffers)
    GL_WRAP(glVertexAttribPointer, real.attrib_pointer, attrib_pointer)
    GL_WRAP(glClearColor, real.clear_color, clear_color)
    GL_WRAP(glClear, real.clear, clear)
    GL_WRAP(glViewport, real.viewport, viewport)
    GL_WRAP(glBindFramebuffer, real.bind_framebuffer, bind_framebuffer)
    GL_WRAP(glGetUniformLocation, real.uniform_location, uniform_location)
    GL_WRAP(glUniform1f, real.uniform1f, uniform1f)
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
