/*
 * quillomar-live's saves (saves.h): each pass's files are watched (base/watch.h), and after each poll of the
 * window's events a pass whose files were saved since is built in the viewer's context with the viewer's
 * own vertex shader; a Sound pass is made into samples. When the Image pass's text links, the viewer's use
 * of its own program draws with it from the next frame on, and the program before it is deleted once the
 * new one has drawn a frame in time; a frame that the watchdog said stalled brings the one before back. A
 * text that does not build leaves the last one that did drawing. Until a text has built (the viewer's own
 * build failed, or the file does not exist yet) a program that discards every fragment stands in, so the
 * window shows the clear colour and the viewer's frames raise no GL errors. Only a regular file of at most
 * 16 MiB is read, without waiting on it: anything else is reported as unreadable, with the reason, and the
 * last picture stays.
 *
 * Standard error, where the viewer reports GL errors, gets in their midst, in the order things happen, a
 * "build" record per build, the viewer's own first, a "missing" record when the file does not exist (at
 * the start or some time after it went away), an "unreadable" one when it cannot be read, "sound" when the
 * Sound pass's samples are made again, "reverted" for a stalled frame's text undone, "following" once the
 * files the command names under a name are watched, and "followed" when a
 * file the command follows changed (the command names them, a list under a name of its, on the same pipe as
 * its plans, and the watcher watches them as it watches the passes' files); the window's
 * title names the file, and says when its text does not build, when it does not exist, when time is
 * paused and what stands in for media not here (docs/internals.md).
 */
#include "live/saves.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>

#include "base/settings.h"
#include "base/watch.h"
#include "gl/keyboard.h"
#include "gl/uniforms.h"
#include "live/divider.h"
#include "live/session.h"
#include "live/watchdog.h"
#include "passes/sound.h"

/* The watcher's keys: the Image pass, buffer pass p (IMAGE + 1 + p), the Sound pass, and the command's list
 * of files n (FOLLOWED + n). */
enum { IMAGE = 0, SOUND = MOST_PASSES + 1, FOLLOWED = SOUND + 1 };
/* The names of the command's lists of files followed, by their keys' order (NULL: none yet). */
#define MOST_FOLLOWED 8
static char *followed[MOST_FOLLOWED];
/* How many seconds of the Sound pass are made, from 0. */
#define SOUND_SECONDS 180

static char *path, *include_folders, *sound_out;
/* What the title says stands in for media not here (QUILLOMAR_STAND_INS), or NULL. */
static char *stand_ins;
static const char *base;
/* Where the command says that the passes' plan has changed: a line with the new plan's path (-1: never). */
static int plan_fd = -1;

static GLFWwindow *window;
static void (*set_title)(GLFWwindow *, const char *);
static PFNGLDELETEPROGRAMPROC delete_program;

/* The viewer's own program, the program drawn in its place, and the one shown before the newest, kept
 * until the newest has drawn a frame in time. */
static GLuint viewer_program, shown, previous;

/* What the passes' last texts did, and what the window is told; when the Sound pass is due to be made
 * again (0: not). */
static int failed, sound_failed, missing, unreadable;
/* Whether pass p's newest text did not build. */
static int pass_failed[MOST_PASSES];
static long long sound_due;

void saves_configure(void)
{
    char *plan = NULL;
    int plan_fd_given = 0;
    const struct setting_use settings[] = {{"QUILLOMAR_SHADER", &path, NULL},
                                       {"QUILLOMAR_INCLUDE", &include_folders, NULL},
                                       {"QUILLOMAR_PLAN", &plan, NULL},
                                       {"QUILLOMAR_PLAN_FD", &plan_fd, &plan_fd_given},
                                       {"QUILLOMAR_SOUND_OUT", &sound_out, NULL},
                                       {"QUILLOMAR_STAND_INS", &stand_ins, NULL}};
    settings_of(settings, sizeof settings / sizeof settings[0]);
    if (!plan_fd_given)
        plan_fd = -1;
    else if (fcntl(plan_fd, F_SETFL, O_NONBLOCK) != 0 || fcntl(plan_fd, F_SETFD, FD_CLOEXEC) != 0)
        preload_fail("QUILLOMAR_PLAN_FD=%d: %s", plan_fd, strerror(errno));
    const char *slash = strrchr(path, '/');
    if (path[0] != '/' || slash == NULL || slash[1] == '\0')
        preload_fail("QUILLOMAR_SHADER=%s is not the absolute path of a file", path);
    base = slash + 1;
    session_configure(base);
    watch_start();
    const char *own[] = {path};
    if (!watch_files(IMAGE, own, 1))
        preload_fail("%.*s: %s", slash == path ? 1 : (int)(slash - path), path, strerror(errno));
    passes_configure(plan);
    free(plan);
}

/* The Image pass's text as a source: the file's (QUILLOMAR_SHADER), with the Image pass's channels. */
static struct source image_source(const char *text)
{
    struct source source = passes_source(passes_count() - 1, text, include_folders);
    source.path = path;
    return source;
}

struct source saves_viewer_source(void)
{
    return image_source(NULL);
}

void saves_window(GLFWwindow *the_window, void (*setter)(GLFWwindow *, const char *))
{
    window = the_window;
    set_title = setter;
    retitle();
}

/* The window's title: the file's name and what is wrong, if anything. */
void retitle(void)
{
    if (window == NULL)
        return;
    static char *name;
    if (name == NULL)
        name = printable_name(base);
    char title[2048], divided[32] = "";
    if (divider_now() > 1)
        snprintf(divided, sizeof divided, " [1/%d]", divider_now());
    snprintf(title, sizeof title, "%s%s%s%s%s%s%s%s%s%s — Quillomar", name,
             failed || missing || unreadable || clock_paused() ? " (" : "",
             missing ? "waiting for the file" : unreadable ? "cannot be read" : failed ? "does not build" : "",
             clock_paused() && (failed || missing || unreadable) ? ", " : "",
             clock_paused() ? "paused)" : failed || missing || unreadable ? ")" : "",
             stand_ins != NULL ? " [" : "", stand_ins != NULL ? stand_ins : "", stand_ins != NULL ? "]" : "",
             keyboard_read() ? " [keys to the shader; Ctrl+Space, Ctrl+Home, Ctrl+Left/Right for time]" : "",
             divided);
    set_title(window, title);
}

static void report_missing(void)
{
    missing = 1;
    failed = unreadable = 0;
    record_write(STDERR_FILENO, "missing", NULL, 0);
    retitle();
}

static void report_unreadable(const char *why)
{
    unreadable = 1;
    failed = missing = 0;
    const struct field fields[] = {PAYLOAD("why", why, strlen(why))};
    record_write(STDERR_FILENO, "unreadable", fields, 1);
    retitle();
}

/* Reports the build of text of the watcher's key, with the files it is made of, which are watched from
 * then on. */
static void report(int key, const char *text, const struct build *b)
{
    char ms[32];
    snprintf(ms, sizeof ms, "%.1f", b->ms);
    char *files = files_text(&b->files);
    watch_files(key, (const char *const *)b->files.paths, b->files.count);
    const struct field fields[] = {FIELD("outcome", b->linked ? "built" : "failed"), FIELD("ms", ms),
                                   PAYLOAD("text", text, strlen(text)), PAYLOAD("log", b->log, strlen(b->log)),
                                   PAYLOAD("files", files, strlen(files))};
    record_write(STDERR_FILENO, "build", fields, sizeof fields / sizeof fields[0]);
    free(files);
    if (key != SOUND && b->linked)
        session_build(key == IMAGE ? EVENT_BUILD : EVENT_PASS, clock_now(), text, &b->files);
    *(key == SOUND ? &sound_failed : &pass_failed[key == IMAGE ? passes_count() - 1 : key - 1]) = !b->linked;
    failed = sound_failed;
    for (int p = 0; p < passes_count(); p++)
        failed |= pass_failed[p];
    missing = unreadable = 0;
    retitle();
}

/* A build of file that could not be read, reported as one that failed. */
static void report_unread(int key, const char *file, const char *why)
{
    struct text log = {0};
    text_addf(&log, "%s: %s\n", file, why != NULL ? why : "no such file");
    struct build b = {.log = log.data, .files = files_of(file)};
    report(key, "", &b);
    build_free(&b);
}

static void drop(GLuint program)
{
    if (program != 0 && program != viewer_program) {
        inputs_forget(program);
        delete_program(program);
    }
}

/* Shows program from the next frame on; the one before is kept until program has drawn a frame in time. */
static void show(GLuint program)
{
    drop(previous);
    previous = shown;
    shown = program;
    watchdog_slow(0);
}

static void rebuild(void)
{
    const char *why = NULL;
    char *text = preload_read_text(path, &why);
    if (text == NULL) {
        if (why != NULL)
            report_unreadable(why);
        return; /* not there: the watcher says when it has gone */
    }
    struct source source = image_source(text);
    struct build b = program_build(&source);
    report(IMAGE, text, &b);
    if (b.linked)
        show(b.program);
    build_free(&b);
    free(text);
}

/* Builds buffer pass p from its file; one that cannot be read is reported as a build that failed. */
static void rebuild_pass(int p)
{
    char *text;
    const char *why;
    struct build b = passes_build_file(p, include_folders, &text, &why);
    if (text == NULL) {
        report_unread(IMAGE + 1 + p, passes_path(p), why);
        return;
    }
    report(IMAGE + 1 + p, text, &b);
    build_free(&b);
    free(text);
}

/* Makes the Sound pass into SOUND_SECONDS of samples in sound_out, made whole beside it and renamed over
 * it, and says so ("sound"); the last samples made stay when it does not build. */
static void show_sound_pass(PFNGLDRAWARRAYSPROC draw, GLenum mode, GLint first, GLsizei count)
{
    const char *why = NULL;
    char *text = preload_read_text(passes_sound_file(), &why);
    if (text == NULL) {
        report_unread(SOUND, passes_sound_file(), why);
        return;
    }
    struct source source = passes_sound_source(text, include_folders);
    struct build b = program_build(&source);
    report(SOUND, text, &b);
    free(text);
    if (b.linked && sound_out != NULL) {
        char made[PATH_MAX];
        snprintf(made, sizeof made, "%s.new", sound_out);
        sound_write(b.program, 0, (long long)SOUND_SECONDS * SAMPLE_RATE, made, draw, mode, first, count);
        if (rename(made, sound_out) != 0)
            preload_fail("%s: %s", sound_out, strerror(errno));
        record_write(STDERR_FILENO, "sound", NULL, 0);
    } else if (b.linked) {
        drop(b.program);
    }
    build_free(&b);
}

/* Every pass but the Image pass built from its file, and the Sound pass made at the next frame. */
static void build_the_passes(void)
{
    for (int p = 0; p + 1 < passes_count(); p++)
        rebuild_pass(p);
    sound_due = passes_sound_file() != NULL ? preload_now_ns() : 0;
}

/* A new plan from the command (the directives changed): the passes are made again from it, and every
 * one is built, the Image pass too, whose channels may be of other kinds now. */
static void replan(const char *plan)
{
    for (int key = IMAGE + 1; key <= SOUND; key++)
        watch_files(key, NULL, 0);
    passes_reset();
    memset(pass_failed, 0, sizeof pass_failed);
    passes_configure(plan);
    build_the_passes();
    rebuild();
    retitle();
}

/* The command's list of files under name, tab-separated paths in a line (as path_escape writes them): they
 * are watched in place of those the name had. */
static void follow(const char *name, char *paths)
{
    int n = 0;
    while (n < MOST_FOLLOWED && followed[n] != NULL && strcmp(followed[n], name) != 0)
        n++;
    if (n == MOST_FOLLOWED)
        preload_fail("QUILLOMAR_PLAN_FD: more than %d lists of files to follow", MOST_FOLLOWED);
    if (followed[n] == NULL && (followed[n] = strdup(name)) == NULL)
        preload_fail("out of memory");
    const char *each[256];
    int count = 0;
    for (char *p = paths; p != NULL && *p != '\0' && count < 256; count++) {
        each[count] = p;
        p = strchr(p, '\t');
        if (p != NULL)
            *p++ = '\0';
        if (!path_unescape((char *)each[count]))
            preload_fail("QUILLOMAR_PLAN_FD: %s is not a path as the command writes it", each[count]);
    }
    watch_files(FOLLOWED + n, each, count); /* a folder not there: its files are said gone */
    /* Watched from now on: what changed before is the command's to see ("following"). */
    const struct field fields[] = {FIELD("name", followed[n])};
    record_write(STDERR_FILENO, "following", fields, 1);
}

/* What the command says, a whole line at a time: the path of a new plan, or "follow NAME PATH..." (tabs
 * between), the files it follows under NAME. */
static void read_plans(void)
{
    static char line[1 << 16];
    static size_t used;
    ssize_t n;
    while (plan_fd >= 0 && (n = read(plan_fd, line + used, sizeof line - 1 - used)) > 0) {
        used += (size_t)n;
        char *end;
        while ((end = memchr(line, '\n', used)) != NULL) {
            *end = '\0';
            char *name = strncmp(line, "follow\t", 7) == 0 ? line + 7 : NULL, *paths = name;
            if (paths != NULL && (paths = strchr(name, '\t')) != NULL)
                *paths++ = '\0';
            if (name != NULL)
                follow(name, paths);
            else if (!path_unescape(line))
                preload_fail("QUILLOMAR_PLAN_FD: %s is not the path of a plan as the command writes it", line);
            else
                replan(line);
            used -= (size_t)(end + 1 - line);
            memmove(line, end + 1, used);
        }
        if (used == sizeof line - 1)
            used = 0; /* no line is that long */
    }
}

/* What the watcher saw: a pass whose files changed is built again; the file gone is reported missing; a
 * change of the command's files is the command's to follow. */
static void seen(int key, enum seen what)
{
    if (key >= FOLLOWED) {
        const struct field fields[] = {FIELD("name", followed[key - FOLLOWED]),
                                       FIELD("what", what == SEEN_GONE ? "gone" : "changed")};
        record_write(STDERR_FILENO, "followed", fields, 2);
    } else if (key == IMAGE && what == SEEN_GONE)
        report_missing();
    else if (key == IMAGE)
        rebuild();
    else if (key == SOUND && passes_sound_file() != NULL)
        sound_due = preload_now_ns();
    else if (key < passes_count())
        rebuild_pass(key - 1);
}

/* The viewer's own build: reported like every later one, or as a file not there yet. */
int saves_viewer_built(GLuint program, long long started)
{
    if (viewer_program != 0)
        return 0;
    viewer_program = shown = program;
    GL_ENTRY(glDeleteProgram, delete_program);
    const char *text = viewer.fragment_text != NULL ? viewer.fragment_text : "", *why = NULL;
    char *read = text[0] == '\0' ? preload_read_text(path, &why) : NULL;
    free(read);
    if (text[0] == '\0' && read == NULL && why == NULL) {
        report_missing();
        shown = 0;
    } else if (text[0] == '\0' && read == NULL) {
        report_unreadable(why);
        shown = 0;
    } else {
        struct build b = program_outcome(viewer.fragment, program, started);
        report(IMAGE, text, &b);
        if (!b.linked)
            shown = 0;
        build_free(&b);
    }
    if (shown == 0) {
        const struct source nothing = {.text = "#version 330 core\nvoid main()\n{\n    discard;\n}\n", .path = path};
        struct build b = program_build(&nothing);
        shown = b.program;
        build_free(&b);
    }
    build_the_passes();
    return 1;
}

GLuint saves_drawn(GLuint program)
{
    return program != 0 && program == viewer_program ? shown : program;
}

/* A frame has ended: when it was reported as stalled and the newest text drew it, the text before comes
 * back; when it ended in time, the text before is no longer needed. */
void saves_frame_ended(void)
{
    int stalled = watchdog_ended();
    if (stalled && previous != 0 && shown != previous) {
        drop(shown);
        shown = previous;
        previous = 0;
        failed = 1;
        retitle();
        record_write(STDERR_FILENO, "reverted", NULL, 0);
    } else if (stalled) {
        watchdog_slow(1);
    } else if (previous != 0) {
        drop(previous);
        previous = 0;
    }
}

void saves_poll(void)
{
    read_plans();
    watch_look(preload_now_ns(), seen);
}

void saves_sound(PFNGLDRAWARRAYSPROC draw, GLenum mode, GLint first, GLsizei count)
{
    if (sound_due != 0 && preload_now_ns() >= sound_due) {
        /* Making the sound is no frame that does not end: the watchdog waits. */
        sound_due = 0;
        watchdog_frame(0);
        show_sound_pass(draw, mode, first, count);
        watchdog_frame(preload_now_ns());
    }
}
