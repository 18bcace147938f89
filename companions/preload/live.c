/*
 * Preloaded into the viewer by quillomar-live: keeps one viewer, one window and one clock for a whole
 * editing session, and shows each saved text of the shader file in it.
 *
 * Settings: QUILLOMAR_SHADER, the file (an absolute path), and the channels (channels.h).
 *
 * The file: its directory is watched with inotify from before the viewer reads its test.glsl (which
 * quillomar-live links to the file). After each poll of the window's events, a text saved since (written
 * in place, renamed over the file, or deleted and created again) is built in the viewer's context with
 * the viewer's own vertex shader; when it links, the viewer's glUseProgram and glGetUniformLocation of its
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
 * order things happen, a "build" record per build, the viewer's own first, and a "missing" record when the
 * file does not exist, at the start or some time after it went away (docs/internals.md).
 */
#include <errno.h>
#include <math.h>
#include <sys/inotify.h>
#include <time.h>

#include "channels.h"
#include "inputs.h"
#include "program.h"
#include "settings.h"

/* How long a file that went away may take to come back before it is reported missing (an editor's save
 * can remove it for a moment), and how long a file being written without being closed is left alone. */
static const long long GONE_GRACE_NS = 250000000LL;
static const long long SETTLE_NS = 100000000LL;
static const long long SECOND_NS = 1000000000LL;

/* The picture the viewer draws, whatever the window's size: fragCoord and iMouse are in its pixels. */
static const double PICTURE[2] = {1920.0, 1080.0};

static int watch_fd = -1;
static char *path;
static const char *base;

static GLFWwindow *window;
static void (*set_title)(GLFWwindow *, const char *);

static struct {
    PFNGLCOMPILESHADERPROC compile_shader;
    PFNGLLINKPROGRAMPROC link_program;
    PFNGLUSEPROGRAMPROC use_program;
    PFNGLGETUNIFORMLOCATIONPROC uniform_location;
    PFNGLDELETEPROGRAMPROC delete_program;
    PFNGLDRAWARRAYSPROC draw_arrays;
} gl;

/* The viewer's own program, and the program drawn in its place. */
static GLuint viewer_program, shown;
static long long compile_started;

/* What the file's last text did, and what the window is told. */
static int failed, missing, paused;
static long long build_due, gone_since;

/* The program's clock: iTime is base_itime + (now - base_real), frozen at base_itime while paused;
 * last_itime is what the frame being drawn read. */
static int origin_read;
static long long origin, base_real, base_itime, last_itime;

/* The inputs of the frame: the program in use, frames and their times, the mouse. */
static GLuint current;
static struct frame frame = {.number = -1};
static long long previous_itime, rate_since;
static long rate_frames;
static int mouse_held;

__attribute__((constructor)) static void configure(void)
{
    const struct setting settings[] = {{"QUILLOMAR_SHADER", SETTING_TEXT, 1, &path, NULL}};
    settings_read(settings, 1);
    char *slash = strrchr(path, '/');
    if (slash == NULL)
        preload_fail("QUILLOMAR_SHADER=%s is not an absolute path", path);
    base = slash + 1;
    *slash = '\0';
    const char *folder = slash == path ? "/" : path;
    watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_fd < 0 || inotify_add_watch(watch_fd, folder, IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_MODIFY |
                                                                IN_DELETE | IN_MOVED_FROM) < 0)
        preload_fail("%s: %s", folder, strerror(errno));
    *slash = '/';
    channels_configure();
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
    record_write(STDERR_FILENO, "missing", NULL, 0);
    retitle();
}

/* Reports a build of text. */
static void report(const char *text, const struct build *b)
{
    char ms[32];
    snprintf(ms, sizeof ms, "%.1f", b->ms);
    const struct field fields[] = {FIELD("outcome", b->linked ? "built" : "failed"), FIELD("ms", ms),
                                   PAYLOAD("text", text, strlen(text)), PAYLOAD("log", b->log, strlen(b->log))};
    record_write(STDERR_FILENO, "build", fields, sizeof fields / sizeof fields[0]);
    failed = !b->linked;
    missing = 0;
    retitle();
}

/* The file's text, NUL-terminated, or NULL when it cannot be read. */
static char *read_text(void)
{
    FILE *f = fopen(path, "rb");
    if (f == NULL)
        return NULL;
    size_t size = 0, room = 4096;
    char *text = preload_alloc(room);
    size_t n;
    while ((n = fread(text + size, 1, room - size - 1, f)) > 0) {
        size += n;
        if (room - size - 1 == 0) {
            char *grown = realloc(text, room *= 2);
            if (grown == NULL)
                preload_fail("out of memory reading %s", path);
            text = grown;
        }
    }
    fclose(f);
    text[size] = '\0';
    return text;
}

static void show(GLuint program)
{
    if (shown != viewer_program) {
        inputs_forget(shown);
        gl.delete_program(shown);
    }
    shown = program;
}

static void rebuild(void)
{
    char *text = read_text();
    if (text == NULL) {
        gone_since = gone_since ? gone_since : preload_now_ns();
        return;
    }
    gone_since = 0;
    struct build b = program_build(text);
    report(text, &b);
    if (b.linked)
        show(b.program);
    free(b.log);
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

HOOK long long STEADY_CLOCK_NOW(void)
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

static void key_callback(GLFWwindow *w, int key, int scancode, int action, int mods)
{
    (void)w;
    (void)scancode;
    (void)mods;
    if (action == GLFW_RELEASE || !origin_read)
        return;
    long long now = preload_real_now();
    long long t = itime_at(now);
    if (key == GLFW_KEY_SPACE && action == GLFW_PRESS) {
        paused = !paused;
        retitle();
    } else if (key == GLFW_KEY_HOME && action == GLFW_PRESS) {
        t = 0;
    } else if (key == GLFW_KEY_LEFT) {
        t = t > SECOND_NS ? t - SECOND_NS : 0;
    } else if (key == GLFW_KEY_RIGHT) {
        t += SECOND_NS;
    } else {
        return;
    }
    base_itime = t;
    base_real = now;
}

/* The pointer in pixels of the picture, bottom row first, whatever the window's size. */
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
    *x = cx / (w > 0 ? w : 1) * PICTURE[0];
    *y = (1.0 - cy / (h > 0 ? h : 1)) * PICTURE[1];
}

static void button_callback(GLFWwindow *w, int which, int action, int mods)
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

HOOK GLFWwindow *glfwCreateWindow(int width, int height, const char *title, GLFWmonitor *monitor,
                                  GLFWwindow *share)
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
        set_key_callback(window, key_callback);
        set_button_callback(window, button_callback);
        retitle();
    }
    return window;
}

HOOK void glfwPollEvents(void)
{
    static __typeof__(glfwPollEvents) *real;
    NEXT(glfwPollEvents, real);
    real();
    if (viewer_program != 0)
        look_at_the_file();
}

static void compile_shader(GLuint shader)
{
    if (shader == viewer.fragment && compile_started == 0)
        compile_started = preload_now_ns();
    gl.compile_shader(shader);
}

/* The viewer's own build: reported like every later one, or as a file not there yet. */
static void link_program(GLuint program)
{
    gl.link_program(program);
    if (viewer_program != 0 || viewer.vertex_text == NULL)
        return;
    viewer_program = shown = program;
    GL_ENTRY(glDeleteProgram, gl.delete_program);
    const char *text = viewer.fragment_text != NULL ? viewer.fragment_text : "";
    if (text[0] == '\0' && access(path, F_OK) != 0) {
        report_missing();
        shown = 0;
    } else {
        struct build b = program_outcome(viewer.fragment, program, compile_started ? compile_started
                                                                                   : preload_now_ns());
        report(text, &b);
        if (!b.linked)
            shown = 0;
        free(b.log);
    }
    if (shown == 0) {
        struct build b = program_build("#version 330 core\nvoid main()\n{\n    discard;\n}\n");
        shown = b.program;
        free(b.log);
    }
}

static void use_program(GLuint program)
{
    current = program != 0 && program == viewer_program ? shown : program;
    gl.use_program(current);
}

static GLint uniform_location(GLuint program, const GLchar *name)
{
    return gl.uniform_location(program != 0 && program == viewer_program ? shown : program, name);
}

/* Just before the viewer's draw, after its own uniforms: the inputs of the frame. */
static void draw_arrays(GLenum mode, GLint first, GLsizei count)
{
    long long now = preload_real_now();
    frame.number++;
    frame.time = (double)last_itime / 1e9;
    frame.delta = frame.number == 0 || last_itime < previous_itime ? 0.0
                                                                   : (double)(last_itime - previous_itime) / 1e9;
    previous_itime = last_itime;
    if (frame.number == 0)
        rate_since = now;
    if (++rate_frames >= 10 && now - rate_since >= SECOND_NS / 2) {
        frame.rate = (double)rate_frames * 1e9 / (double)(now - rate_since);
        rate_frames = 0;
        rate_since = now;
    }
    struct timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    frame_date((double)wall.tv_sec + (double)wall.tv_nsec / 1e9, frame.date);
    if (mouse_held)
        pointer(&frame.mouse[0], &frame.mouse[1]);
    frame.resolution[0] = PICTURE[0];
    frame.resolution[1] = PICTURE[1];
    frame.resolution[2] = 1.0;
    inputs_set(current, &frame);
    gl.draw_arrays(mode, first, count);
}

HOOK GLFWglproc glfwGetProcAddress(const char *name)
{
    GLFWglproc proc = preload_gl_or_null(name);
    GL_WRAP(glCreateShader, real_create_shader, program_create_shader)
    GL_WRAP(glShaderSource, real_shader_source, program_shader_source)
    GL_WRAP(glCompileShader, gl.compile_shader, compile_shader)
    GL_WRAP(glLinkProgram, gl.link_program, link_program)
    GL_WRAP(glUseProgram, gl.use_program, use_program)
    GL_WRAP(glGetUniformLocation, gl.uniform_location, uniform_location)
    GL_WRAP(glDrawArrays, gl.draw_arrays, draw_arrays)
    return proc;
}
