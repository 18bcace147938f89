/*
 * Preloaded into the viewer by quillomar-live: keeps one viewer, one window and one clock for a whole
 * editing session, and shows each saved text of the shader file in it.
 *
 *   QUILLOMAR_LIVE=PATH
 *
 * The file: PATH's directory is watched with inotify from before the viewer reads its test.glsl (which
 * quillomar-live links to PATH). After each poll of the window's events, a text saved since (written in
 * place, renamed over the file, or deleted and created again) is built in the viewer's context with the
 * viewer's own vertex shader; when it links, the viewer's glUseProgram and glGetUniformLocation of its
 * own program use it from the next frame on, and the program before it is deleted. A text that does not
 * build leaves the last one that did drawing. Until a text has built (the viewer's own build failed, or
 * the file does not exist yet) a program that discards every fragment stands in, so the window shows the
 * clear colour and the viewer's frames raise no GL errors.
 *
 * The clock: the program's own reads of the monotonic clock run on from its origin, except that Space
 * pauses and resumes them, Home sets iTime back to 0, and Left and Right move it by one second. Keys come
 * as events, so a tap shorter than a frame counts.
 *
 * The window's title names the file, and says when its text does not build, when it does not exist and
 * when time is paused. Standard error, where the viewer reports GL errors, gets in their midst, in the
 * order things happen, one record per build, the viewer's own first:
 *
 *   "\036build OUTCOME MILLISECONDS TEXT_BYTES LOG_BYTES\n" TEXT LOG
 *
 * with OUTCOME "built" or "failed", the GL's compile and link time, the text built and the GL's log (of
 * the fragment shader when it did not compile, else of the program), and "\036missing\n" when the file
 * does not exist, at the start or some time after it went away. (The viewer's lines never start with
 * the record separator, 036.)
 */
#include "mainimage.h"

#include <errno.h>
#include <math.h>
#include <sys/inotify.h>

/* How long a file that went away may take to come back before it is reported missing (an editor's save
 * can remove it for a moment), and how long a file being written without being closed is left alone. */
static const long long GONE_GRACE_NS = 250000000LL;
static const long long SETTLE_NS = 100000000LL;
static const long long SECOND_NS = 1000000000LL;

static int watch_fd = -1;
static char *path;
static const char *base;

static GLFWwindow *window;
static void (*set_title)(GLFWwindow *, const char *);

static struct {
    PFNGLCREATESHADERPROC create_shader;
    PFNGLSHADERSOURCEPROC shader_source;
    PFNGLCOMPILESHADERPROC compile_shader;
    PFNGLLINKPROGRAMPROC link_program;
    PFNGLUSEPROGRAMPROC use_program;
    PFNGLGETUNIFORMLOCATIONPROC uniform_location;
    PFNGLGETSHADERIVPROC get_shaderiv;
    PFNGLGETSHADERINFOLOGPROC shader_log;
    PFNGLGETPROGRAMIVPROC get_programiv;
    PFNGLGETPROGRAMINFOLOGPROC program_log;
    PFNGLCREATEPROGRAMPROC create_program;
    PFNGLATTACHSHADERPROC attach_shader;
    PFNGLDELETESHADERPROC delete_shader;
    PFNGLDELETEPROGRAMPROC delete_program;
    PFNGLDRAWARRAYSPROC draw_arrays;
} gl;

/* The viewer's own objects, and the program drawn in place of its program. */
static GLuint viewer_vertex, viewer_fragment, viewer_program;
static char *vertex_text, *viewer_text;
static long long compile_started;
static GLuint shown;

/* What the file's last text did, and what the window is told. */
static int failed, missing, paused;
static long long build_due, gone_since;

/* The program's clock: iTime is base_itime + (now - base_real), frozen at base_itime while paused;
 * last_itime is what the frame being drawn read. */
static int origin_read;
static long long origin, base_real, base_itime, last_itime;

/* The inputs of mainImage shaders: the program in use, frames and their times, the mouse. */
static GLuint current;
static struct mainimage_frame frame = {.frame = -1};
static long long previous_itime, rate_since;
static long rate_frames;
static int mouse_held;

__attribute__((noreturn)) static void fail(const char *what)
{
    fprintf(stderr, "quillomar-live: %s: %s\n", what, strerror(errno));
    _exit(70);
}

static void send(const void *data, size_t size)
{
    const char *p = data;
    while (size > 0) {
        ssize_t n = write(STDERR_FILENO, p, size);
        if (n < 0 && errno != EINTR)
            fail("standard error");
        if (n > 0) {
            p += n;
            size -= (size_t)n;
        }
    }
}

__attribute__((constructor)) static void configure(void)
{
    const char *settings = getenv("QUILLOMAR_LIVE");
    if (settings == NULL || settings[0] != '/') {
        fprintf(stderr, "quillomar-live: QUILLOMAR_LIVE is not set as quillomar-live sets it\n");
        _exit(70);
    }
    path = strdup(settings);
    unsetenv("QUILLOMAR_LIVE");
    char *slash = strrchr(path, '/');
    base = slash + 1;
    *slash = '\0';
    watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_fd < 0 || inotify_add_watch(watch_fd, slash == path ? "/" : path,
                                          IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_MODIFY | IN_DELETE |
                                              IN_MOVED_FROM) < 0)
        fail(slash == path ? "/" : path);
    *slash = '/';
    mainimage_configure();
}

/* The window's title: the file's name and what is wrong, if anything. */
static void retitle(void)
{
    if (window == NULL)
        return;
    char title[512];
    snprintf(title, sizeof title, "%s%s%s%s%s — Quillomar", base, failed || missing || paused ? " (" : "",
             missing ? "waiting for the file" : failed ? "does not build" : "",
             paused && (failed || missing) ? ", " : "", paused ? "paused)" : failed || missing ? ")" : "");
    set_title(window, title);
}

static void report_missing(void)
{
    missing = 1;
    failed = 0;
    send("\036missing\n", 9);
    retitle();
}

/* The GL's log of a shader or a program (with the getters for one or the other), whole; the caller
 * frees it. */
static char *gl_log(GLuint object, PFNGLGETSHADERIVPROC get, PFNGLGETSHADERINFOLOGPROC get_log)
{
    GLint size = 0;
    get(object, GL_INFO_LOG_LENGTH, &size);
    char *log = calloc((size_t)size + 1, 1);
    if (log != NULL && size > 0)
        get_log(object, size, NULL, log);
    return log;
}

/* Reports a build of text by fragment into program; returns whether the program linked. */
static int report_build(const char *text, GLuint fragment, GLuint program, long long started)
{
    GLint compiled = 0, linked = 0;
    gl.get_shaderiv(fragment, GL_COMPILE_STATUS, &compiled);
    gl.get_programiv(program, GL_LINK_STATUS, &linked);
    double ms = (double)(preload_now_ns() - started) / 1e6;
    char *log = compiled ? gl_log(program, gl.get_programiv, gl.program_log)
                         : gl_log(fragment, gl.get_shaderiv, gl.shader_log);
    if (compiled && linked) {
        free(log);
        log = gl_log(fragment, gl.get_shaderiv, gl.shader_log); /* a text that builds may have warnings */
    }
    if (log == NULL)
        fail("log");
    char header[128];
    int n = snprintf(header, sizeof header, "\036build %s %.1f %zu %zu\n", linked ? "built" : "failed", ms,
                     strlen(text), strlen(log));
    send(header, (size_t)n);
    send(text, strlen(text));
    send(log, strlen(log));
    free(log);
    failed = !linked;
    missing = 0;
    retitle();
    return linked;
}

static GLuint compile(GLenum type, const char *text)
{
    GLuint shader = gl.create_shader(type);
    mainimage_source(gl.shader_source, shader, text);
    gl.compile_shader(shader);
    return shader;
}

/* A program of the viewer's vertex shader and fragment_text; its fragment shader is left in *fragment
 * (and must be deleted) so that its log can be read. */
static GLuint build(const char *fragment_text, GLuint *fragment)
{
    GLuint vertex = compile(GL_VERTEX_SHADER, vertex_text);
    *fragment = compile(GL_FRAGMENT_SHADER, fragment_text);
    GLuint program = gl.create_program();
    gl.attach_shader(program, vertex);
    gl.attach_shader(program, *fragment);
    gl.link_program(program);
    gl.delete_shader(vertex);
    return program;
}

static void load_gl(void)
{
    GL_ENTRY(glGetShaderiv, gl.get_shaderiv);
    GL_ENTRY(glGetShaderInfoLog, gl.shader_log);
    GL_ENTRY(glGetProgramiv, gl.get_programiv);
    GL_ENTRY(glGetProgramInfoLog, gl.program_log);
    GL_ENTRY(glCreateProgram, gl.create_program);
    GL_ENTRY(glAttachShader, gl.attach_shader);
    GL_ENTRY(glDeleteShader, gl.delete_shader);
    GL_ENTRY(glDeleteProgram, gl.delete_program);
}

/* The file's text, NUL-terminated, or NULL when it cannot be read. */
static char *read_text(void)
{
    FILE *f = fopen(path, "rb");
    if (f == NULL)
        return NULL;
    size_t size = 0, room = 4096;
    char *text = malloc(room);
    size_t n;
    while (text != NULL && (n = fread(text + size, 1, room - size - 1, f)) > 0) {
        size += n;
        if (room - size - 1 == 0) {
            char *grown = realloc(text, room *= 2);
            if (grown == NULL)
                free(text);
            text = grown;
        }
    }
    fclose(f);
    if (text == NULL)
        fail("reading the shader");
    text[size] = '\0';
    return text;
}

static void rebuild(void)
{
    char *text = read_text();
    if (text == NULL) {
        gone_since = gone_since ? gone_since : preload_now_ns();
        return;
    }
    gone_since = 0;
    long long started = preload_now_ns();
    GLuint fragment = 0;
    GLuint program = build(text, &fragment);
    if (report_build(text, fragment, program, started)) {
        if (shown != viewer_program) {
            mainimage_forget(shown);
            gl.delete_program(shown);
        }
        shown = program;
    } else {
        gl.delete_program(program);
    }
    gl.delete_shader(fragment);
    free(text);
}

/* What happened to the file since the last look: a save is built at once; a write that has not been
 * closed yet, once the file has been quiet for a moment; a file that went away is reported once it has
 * stayed away for a moment. */
static void look_at_the_file(void)
{
    char events[8192] __attribute__((aligned(__alignof__(struct inotify_event))));
    long long now = preload_now_ns();
    ssize_t n;
    while ((n = read(watch_fd, events, sizeof events)) > 0) {
        for (char *p = events; p < events + n;) {
            const struct inotify_event *e = (const struct inotify_event *)(void *)p;
            p += sizeof *e + e->len;
            if (e->len == 0 || strcmp(e->name, base) != 0)
                continue;
            if (e->mask & (IN_CLOSE_WRITE | IN_MOVED_TO))
                build_due = now;
            else if (e->mask & (IN_CREATE | IN_MODIFY))
                build_due = now + SETTLE_NS;
            else if (e->mask & (IN_DELETE | IN_MOVED_FROM)) {
                build_due = 0;
                gone_since = now;
            }
        }
    }
    if (build_due != 0 && now >= build_due) {
        build_due = 0;
        rebuild();
    }
    if (gone_since != 0 && !missing && now - gone_since >= GONE_GRACE_NS && access(path, F_OK) != 0) {
        gone_since = 0;
        report_missing();
    }
}

static long long itime_at(long long now)
{
    return paused ? base_itime : base_itime + (now - base_real);
}

long long STEADY_CLOCK_NOW(void)
{
    long long now = preload_real_now();
    if (!preload_from_program(__builtin_return_address(0)))
        return now;
    if (!origin_read) {
        origin_read = 1;
        origin = base_real = now;
    }
    last_itime = itime_at(now);
    return origin + last_itime;
}

static void key(GLFWwindow *w, int k, int scancode, int action, int mods)
{
    (void)w;
    (void)scancode;
    (void)mods;
    if (action == GLFW_RELEASE || !origin_read)
        return;
    long long now = preload_real_now();
    long long t = itime_at(now);
    if (k == GLFW_KEY_SPACE && action == GLFW_PRESS) {
        paused = !paused;
        retitle();
    } else if (k == GLFW_KEY_HOME && action == GLFW_PRESS) {
        t = 0;
    } else if (k == GLFW_KEY_LEFT) {
        t = t > SECOND_NS ? t - SECOND_NS : 0;
    } else if (k == GLFW_KEY_RIGHT) {
        t += SECOND_NS;
    } else {
        return;
    }
    base_itime = t;
    base_real = now;
}

static void button(GLFWwindow *w, int which, int action, int mods);

GLFWwindow *glfwCreateWindow(int width, int height, const char *title, GLFWmonitor *monitor, GLFWwindow *share)
{
    static __typeof__(glfwCreateWindow) *real;
    static __typeof__(glfwSetKeyCallback) *set_key_callback;
    static __typeof__(glfwSetMouseButtonCallback) *set_button_callback;
    NEXT(glfwCreateWindow, real);
    NEXT(glfwSetKeyCallback, set_key_callback);
    NEXT(glfwSetMouseButtonCallback, set_button_callback);
    NEXT(glfwSetWindowTitle, set_title);
    window = real(width, height, title, monitor, share);
    if (window != NULL) {
        set_key_callback(window, key);
        set_button_callback(window, button);
        retitle();
    }
    return window;
}

void glfwPollEvents(void)
{
    static __typeof__(glfwPollEvents) *real;
    NEXT(glfwPollEvents, real);
    real();
    if (viewer_program != 0)
        look_at_the_file();
}

static GLuint create_shader(GLenum type)
{
    GLuint shader = gl.create_shader(type);
    if (type == GL_VERTEX_SHADER && viewer_vertex == 0)
        viewer_vertex = shader;
    else if (type == GL_FRAGMENT_SHADER && viewer_fragment == 0)
        viewer_fragment = shader;
    return shader;
}

static char *joined(GLsizei count, const GLchar *const *strings)
{
    size_t size = 1;
    for (GLsizei i = 0; i < count; i++)
        size += strlen(strings[i]);
    char *text = calloc(size, 1);
    if (text == NULL)
        fail("shader text");
    for (GLsizei i = 0; i < count; i++)
        strcat(text, strings[i]);
    return text;
}

static void shader_source(GLuint shader, GLsizei count, const GLchar *const *strings, const GLint *lengths)
{
    if (shader != 0 && shader == viewer_vertex && vertex_text == NULL && lengths == NULL)
        vertex_text = joined(count, strings);
    else if (shader != 0 && shader == viewer_fragment && viewer_text == NULL && lengths == NULL) {
        viewer_text = joined(count, strings);
        mainimage_source(gl.shader_source, shader, viewer_text);
        return;
    }
    gl.shader_source(shader, count, strings, lengths);
}

static void compile_shader(GLuint shader)
{
    if (shader == viewer_fragment && compile_started == 0)
        compile_started = preload_now_ns();
    gl.compile_shader(shader);
}

/* The viewer's own build: reported like every later one, or as a file not there yet. */
static void link_program(GLuint program)
{
    gl.link_program(program);
    if (viewer_program != 0 || vertex_text == NULL)
        return;
    viewer_program = shown = program;
    load_gl();
    if (viewer_text == NULL)
        viewer_text = joined(0, NULL);
    if (viewer_text[0] == '\0' && access(path, F_OK) != 0) {
        report_missing();
        shown = 0;
    } else if (!report_build(viewer_text, viewer_fragment, program, compile_started ? compile_started
                                                                                    : preload_now_ns())) {
        shown = 0;
    }
    if (shown == 0) {
        GLuint fragment = 0;
        shown = build("#version 330 core\nvoid main()\n{\n    discard;\n}\n", &fragment);
        gl.delete_shader(fragment);
    }
}

static void use_program(GLuint program)
{
    current = program != 0 && program == viewer_program ? shown : program;
    gl.use_program(current);
}

/* The pointer in fragCoord pixels: the window's area is the 1920x1080 picture, bottom row first. */
static void pointer(double *x, double *y)
{
    static __typeof__(glfwGetCursorPos) *cursor;
    static __typeof__(glfwGetWindowSize) *window_size;
    NEXT(glfwGetCursorPos, cursor);
    NEXT(glfwGetWindowSize, window_size);
    double cx = 0, cy = 0;
    int w = 1, h = 1;
    cursor(window, &cx, &cy);
    window_size(window, &w, &h);
    *x = cx / (w > 0 ? w : 1) * 1920.0;
    *y = (1.0 - cy / (h > 0 ? h : 1)) * 1080.0;
}

static void button(GLFWwindow *w, int which, int action, int mods)
{
    (void)w;
    (void)mods;
    if (which != GLFW_MOUSE_BUTTON_LEFT)
        return;
    mouse_held = action == GLFW_PRESS;
    if (mouse_held) {
        pointer(&frame.mouse[0], &frame.mouse[1]);
        frame.mouse[2] = frame.mouse[0];
        frame.mouse[3] = frame.mouse[1];
    } else {
        frame.mouse[2] = -fabs(frame.mouse[2]);
        frame.mouse[3] = -fabs(frame.mouse[3]);
    }
}

/* Just before the viewer's draw, after its own uniforms: the inputs of mainImage shaders. */
static void draw_arrays(GLenum mode, GLint first, GLsizei count)
{
    long long now = preload_real_now();
    frame.frame++;
    frame.time = (double)last_itime / 1e9;
    frame.delta = frame.frame == 0 || last_itime < previous_itime ? 0.0 : (double)(last_itime - previous_itime) / 1e9;
    previous_itime = last_itime;
    if (frame.frame == 0)
        rate_since = now;
    if (++rate_frames >= 10 && now - rate_since >= SECOND_NS / 2) {
        frame.rate = (double)rate_frames * 1e9 / (double)(now - rate_since);
        rate_frames = 0;
        rate_since = now;
    }
    struct timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    mainimage_date((double)wall.tv_sec + (double)wall.tv_nsec / 1e9, frame.date);
    if (mouse_held)
        pointer(&frame.mouse[0], &frame.mouse[1]);
    mainimage_set(current, &frame);
    gl.draw_arrays(mode, first, count);
}

static GLint uniform_location(GLuint program, const GLchar *name)
{
    return gl.uniform_location(program != 0 && program == viewer_program ? shown : program, name);
}

GLFWglproc glfwGetProcAddress(const char *name)
{
    GLFWglproc proc = preload_gl_or_null(name);
    GL_WRAP(glCreateShader, gl.create_shader, create_shader)
    GL_WRAP(glShaderSource, gl.shader_source, shader_source)
    GL_WRAP(glCompileShader, gl.compile_shader, compile_shader)
    GL_WRAP(glLinkProgram, gl.link_program, link_program)
    GL_WRAP(glUseProgram, gl.use_program, use_program)
    GL_WRAP(glGetUniformLocation, gl.uniform_location, uniform_location)
    GL_WRAP(glDrawArrays, gl.draw_arrays, draw_arrays)
    return proc;
}
