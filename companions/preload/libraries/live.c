/*
 * Preloaded into the viewer by quillomar-live: keeps one viewer, one window and one clock for a whole
 * editing session, and shows each saved text of the shader file in it.
 *
 * Settings (docs/internals.md): QUILLOMAR_SHADER, the file (an absolute path), QUILLOMAR_INCLUDE,
 * QUILLOMAR_PLAN, QUILLOMAR_PLAN_FD and QUILLOMAR_SOUND_OUT.
 *
 * The file: its directory is watched with inotify from before the viewer reads its test.glsl (which
 * quillomar-live links to the file when it is a regular file). A file given as a symbolic link is watched
 * as a name (a save that replaces or re-points the link) and through its target (a save of the target).
 * A directory that goes away is watched again when it is back; when the kernel's queue of events
 * overflows, the file is read again. After each poll of the window's events, a text saved since
 * (written in place, renamed over the file, or deleted and created again) is built in the viewer's
 * context with the viewer's own vertex shader; when it links, the viewer's glUseProgram and glGetUniformLocation of its
 * own program use it from the next frame on, and the program before it is deleted. A text that does not
 * build leaves the last one that did drawing. Until a text has built (the viewer's own build failed, or
 * the file does not exist yet) a program that discards every fragment stands in, so the window shows the
 * clear colour and the viewer's frames raise no GL errors. Only a regular file of at most 16 MiB is read,
 * without waiting on it: anything else is reported as unreadable, with the reason, and the last picture
 * stays.
 *
 * A frame that has not ended after STALL_NS (a shader's loop that does not end) is reported as stalled by
 * a watchdog thread: the viewer's thread is inside the GL then, and cannot be interrupted. When such a
 * frame does end and it was drawn with the newest text, the program before it comes back.
 *
 * The clock: the program's own reads of the monotonic clock run on from its origin, except that Space
 * pauses and resumes them, Home sets iTime back to 0, and Left and Right move it by one second. Keys come
 * as events, so a tap shorter than a frame counts.
 *
 * The window's title names the file, and says when its text does not build, when it does not exist and
 * when time is paused. Standard error, where the viewer reports GL errors, gets in their midst, in the
 * order things happen, a "build" record per build, the viewer's own first, a "missing" record when the
 * file does not exist (at the start or some time after it went away), an "unreadable" one when it cannot
 * be read, and "stalled" and "reverted" ones for a frame that does not end (docs/internals.md).
 */
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <limits.h>
#include <math.h>
#include <pthread.h>
#include <stdatomic.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>

#include "base/settings.h"
#include "gl/keyboard.h"
#include "gl/uniforms.h"
#include "passes/passes.h"
#include "passes/sound.h"

/* How long a file that went away may take to come back before it is reported missing (an editor's save
 * can remove it for a moment), and how long a file being written without being closed is left alone. */
static const long long GONE_GRACE_NS = 250000000LL;
static const long long SETTLE_NS = 100000000LL;
static const long long SECOND_NS = 1000000000LL;
/* How long a frame may take before it is reported as stalled. */
static const long long STALL_NS = 3000000000LL;


static const uint32_t WATCHED =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_MODIFY | IN_ATTRIB | IN_DELETE | IN_MOVED_FROM;

/* The file as given (path, in folder under the name base) and, when it is a symbolic link, its target
 * (in target_folder, under target_base); the watches on both folders (-1: none). */
static int watch_fd = -1, folder_watch = -1, target_watch = -1;
static char *path, *folder, *target, *target_folder;
static const char *base, *target_base;
static long long rewatch_due;
/* The files of every pass but the file itself: each buffer pass's, and the files each pass's last text
 * included, by the watch on their folder, their name and their pass. */
static struct {
    int watch;
    char *name;
    int pass;
} included[MOST_SOURCES * MOST_PASSES];
static int included_count;
/* Each pass's files as its last build had them (its own first), and when a buffer pass is due to be built
 * again (0: not). */
static struct files pass_sources[MOST_PASSES];
static long long pass_due[MOST_PASSES];
static char *include_folders;
/* Where the command says that the passes' plan has changed: a line with the new plan's path (-1: never). */
static int plan_fd = -1;
/* The Sound pass: its files' slot among the passes' (free, as the command leaves room for it), where its
 * samples go, whether its newest text did not build, and when it is due to be made again (0: not). */
#define SOUND_SLOT (MOST_PASSES - 1)
#define SOUND_SECONDS 180
static char *sound_out;
static int sound_failed;
static long long sound_due;

/* Which folder is watched: one made again under the same name is another. */
static dev_t folder_device;
static ino_t folder_inode;

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
/* The program shown before the newest, kept until the newest has drawn a frame in time. */
static GLuint previous;

/* The watchdog: when the frame in progress began (the last poll of events), and whether it was reported. */
static _Atomic long long frame_began;
static atomic_int stall_reported;
/* Whether the program shown is known to be that slow, and nothing came back for it: said once. */
static atomic_int slow_known;
static pthread_t watchdog;
static long long compile_started;

/* What the file's last text did, and what the window is told. */
static int failed, missing, unreadable, paused;
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

/* Watches the folder the file is in (the same events on both folders: a folder watched twice is one
 * watch), and the folder of its target when it is a symbolic link, again whenever the link points
 * elsewhere; a folder that is not there is watched again later. */
static void watch(void)
{
    const uint32_t events = WATCHED | IN_DELETE_SELF | IN_MOVE_SELF;
    struct stat st;
    if (folder_watch < 0 && stat(folder, &st) == 0) {
        folder_watch = inotify_add_watch(watch_fd, folder, events);
        folder_device = st.st_dev;
        folder_inode = st.st_ino;
    }
    char *found = realpath(path, NULL);
    if (found != NULL && strcmp(found, path) == 0) {
        free(found);
        found = NULL;
    }
    if (found != NULL && target != NULL && strcmp(found, target) == 0) {
        free(found);
        return;
    }
    if (target_watch >= 0 && target_watch != folder_watch)
        inotify_rm_watch(watch_fd, target_watch);
    target_watch = -1;
    free(target);
    free(target_folder);
    target = found;
    target_folder = NULL;
    if (target == NULL)
        return;
    const char *slash = strrchr(target, '/');
    target_base = slash + 1;
    target_folder = slash == target ? strdup("/") : strndup(target, (size_t)(slash - target));
    if (target_folder != NULL)
        target_watch = inotify_add_watch(watch_fd, target_folder, events);
}

__attribute__((constructor)) static void configure(void)
{
    char *plan = NULL;
    int plan_fd_given = 0;
    const struct setting settings[] = {{"QUILLOMAR_SHADER", SETTING_TEXT, 1, &path, NULL},
                                       {"QUILLOMAR_INCLUDE", SETTING_TEXT, 0, &include_folders, NULL},
                                       {"QUILLOMAR_PLAN", SETTING_TEXT, 0, &plan, NULL},
                                       {"QUILLOMAR_PLAN_FD", SETTING_INT, 0, &plan_fd, &plan_fd_given},
                                       {"QUILLOMAR_SOUND_OUT", SETTING_TEXT, 0, &sound_out, NULL}};
    settings_read(settings, 5);
    if (!plan_fd_given)
        plan_fd = -1;
    else if (fcntl(plan_fd, F_SETFL, O_NONBLOCK) != 0 || fcntl(plan_fd, F_SETFD, FD_CLOEXEC) != 0)
        preload_fail("QUILLOMAR_PLAN_FD=%d: %s", plan_fd, strerror(errno));
    const char *slash = strrchr(path, '/');
    if (path[0] != '/' || slash == NULL || slash[1] == '\0')
        preload_fail("QUILLOMAR_SHADER=%s is not the absolute path of a file", path);
    base = slash + 1;
    folder = slash == path ? strdup("/") : strndup(path, (size_t)(slash - path));
    watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_fd < 0 || folder == NULL)
        preload_fail("inotify: %s", strerror(errno));
    watch();
    if (folder_watch < 0)
        preload_fail("%s: %s", folder, strerror(errno));
    passes_configure(plan);
    free(plan);
    for (int p = 0; p + 1 < passes.count; p++)
        pass_sources[p] = files_of(passes.pass[p].path);
}

static void rebuild(void);
static void rebuild_pass(int p);
static void retitle(void);

/* A new plan from the command (the directives changed): the passes are made again from it, and every
 * one is built, the Image pass too, whose channels may be of other kinds now. */
static void replan(const char *plan)
{
    for (int p = 0; p < MOST_PASSES; p++) {
        files_free(&pass_sources[p]);
        pass_due[p] = 0;
    }
    passes_reset();
    passes_configure(plan);
    for (int p = 0; p + 1 < passes.count; p++) {
        pass_sources[p] = files_of(passes.pass[p].path);
        rebuild_pass(p);
    }
    rebuild();
    if (passes.sound != NULL)
        pass_sources[SOUND_SLOT] = files_of(passes.sound);
    sound_due = passes.sound != NULL ? preload_now_ns() : 0;
    retitle();
}

/* What the command says, a whole line at a time: the path of a new plan. */
static void read_plans(void)
{
    static char line[8192];
    static size_t used;
    ssize_t n;
    while (plan_fd >= 0 && (n = read(plan_fd, line + used, sizeof line - 1 - used)) > 0) {
        used += (size_t)n;
        char *end;
        while ((end = memchr(line, '\n', used)) != NULL) {
            *end = '\0';
            if (!path_unescape(line))
                preload_fail("QUILLOMAR_PLAN_FD: %s is not the path of a plan as the command writes it", line);
            replan(line);
            used -= (size_t)(end + 1 - line);
            memmove(line, end + 1, used);
        }
        if (used == sizeof line - 1)
            used = 0; /* no line is that long */
    }
}

/* name as a title shows it: in UTF-8, each byte that is no part of a character and each control
 * character written \xNN, as the log writes them. The caller frees it. */
static char *printable_name(const char *name)
{
    struct text out = {0};
    text_add(&out, "", 0);
    iconv_t same = iconv_open("UTF-8", "UTF-8");
    char *in = (char *)name;
    size_t left = strlen(name);
    while (left > 0) {
        char whole[256], *to = whole;
        size_t room = sizeof whole;
        int stuck = same == (iconv_t)-1 || (iconv(same, &in, &left, &to, &room) == (size_t)-1 && errno != E2BIG);
        for (const char *c = whole; c < to; c++) {
            if ((unsigned char)*c < 0x20 || *c == 0x7f) {
                text_addf(&out, "\\x%02x", (unsigned char)*c);
            } else if ((unsigned char)c[0] == 0xc2 && (unsigned char)c[1] < 0xa0) { /* C1, U+0080 to U+009F */
                text_addf(&out, "\\x%02x", (unsigned char)c[1]);
                c++;
            } else {
                text_add(&out, c, 1);
            }
        }
        if (stuck && left > 0) {
            text_addf(&out, "\\x%02x", (unsigned char)*in);
            in++;
            left--;
        }
    }
    if (same != (iconv_t)-1)
        iconv_close(same);
    return out.data;
}

/* The window's title: the file's name and what is wrong, if anything. */
static void retitle(void)
{
    if (window == NULL)
        return;
    static char *name;
    if (name == NULL)
        name = printable_name(base);
    char title[2048];
    snprintf(title, sizeof title, "%s%s%s%s%s%s — Quillomar", name,
             failed || missing || unreadable || paused ? " (" : "",
             missing ? "waiting for the file" : unreadable ? "cannot be read" : failed ? "does not build" : "",
             paused && (failed || missing || unreadable) ? ", " : "",
             paused ? "paused)" : failed || missing || unreadable ? ")" : "",
             keyboard_read() ? " [keys to the shader; Ctrl+Space, Ctrl+Home, Ctrl+Left/Right for time]" : "");
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

/* Watches the folders of every pass's files but the file itself, for saves of those files. */
static void watch_included(void)
{
    for (int i = 0; i < included_count; i++)
        free(included[i].name);
    included_count = 0;
    int image = passes.count - 1;
    for (int p = 0; p < MOST_PASSES; p++) {
        if (p >= passes.count && !(p == SOUND_SLOT && passes.sound != NULL))
            continue;
        for (int i = p == image ? 1 : 0; i < pass_sources[p].count; i++) {
            const char *file = pass_sources[p].paths[i];
            const char *slash = strrchr(file, '/');
            char *folder_of = slash == NULL ? strdup(".") : strndup(file, (size_t)(slash - file));
            int w = folder_of != NULL
                        ? inotify_add_watch(watch_fd, folder_of[0] ? folder_of : "/", WATCHED | IN_MASK_ADD)
                        : -1;
            free(folder_of);
            if (w >= 0) {
                included[included_count].watch = w;
                included[included_count].pass = p;
                included[included_count++].name = strdup(slash != NULL ? slash + 1 : file);
            }
        }
    }
}


/* Whether any pass's newest text did not build. */
static int any_failed(void)
{
    int found = sound_failed;
    for (int p = 0; p < passes.count; p++)
        found |= passes.pass[p].failed;
    return found;
}

/* Reports a build of text, with the files it is made of, which are watched from then on. */
static void report(int pass, const char *text, const struct build *b)
{
    char ms[32];
    snprintf(ms, sizeof ms, "%.1f", b->ms);
    char *files = files_text(&b->files);
    files_free(&pass_sources[pass]);
    pass_sources[pass] = files_copy(&b->files);
    watch_included();
    const struct field fields[] = {FIELD("outcome", b->linked ? "built" : "failed"), FIELD("ms", ms),
                                   PAYLOAD("text", text, strlen(text)), PAYLOAD("log", b->log, strlen(b->log)),
                                   PAYLOAD("files", files, strlen(files))};
    record_write(STDERR_FILENO, "build", fields, sizeof fields / sizeof fields[0]);
    free(files);
    *(pass == SOUND_SLOT ? &sound_failed : &passes.pass[pass].failed) = !b->linked;
    failed = any_failed();
    missing = unreadable = 0;
    retitle();
}

static void drop(GLuint program)
{
    if (program != 0 && program != viewer_program) {
        inputs_forget(program);
        gl.delete_program(program);
    }
}

/* Shows program from the next frame on; the one before is kept until program has drawn a frame in time. */
static void show(GLuint program)
{
    drop(previous);
    previous = shown;
    shown = program;
    atomic_store(&slow_known, 0);
}

static void rebuild(void)
{
    const char *why = NULL;
    char *text = preload_read_text(path, &why);
    if (text == NULL && why != NULL) {
        gone_since = 0;
        report_unreadable(why);
        return;
    }
    if (text == NULL) {
        gone_since = gone_since ? gone_since : preload_now_ns();
        return;
    }
    gone_since = 0;
    struct source source = passes_source(passes.count - 1, text, include_folders);
    source.path = path;
    struct build b = program_build(&source);
    report(passes.count - 1, text, &b);
    if (b.linked)
        show(b.program);
    build_free(&b);
    free(text);
}

/* Builds buffer pass p from its file; one that cannot be read is reported as a build that failed. */
static void rebuild_pass(int p)
{
    const char *why = NULL, *file = passes.pass[p].path;
    char *text = preload_read_text(file, &why);
    if (text == NULL) {
        struct text log = {0};
        text_addf(&log, "%s: %s\n", file, why != NULL ? why : "no such file");
        struct build b = {.log = log.data, .files = files_of(file)};
        report(p, "", &b);
        build_free(&b);
        return;
    }
    struct build b = passes_build(p, text, include_folders);
    report(p, text, &b);
    build_free(&b);
    free(text);
}

/* Makes the Sound pass into SOUND_SECONDS of samples in sound_out, made whole beside it and renamed over
 * it, and says so ("sound"); the last samples made stay when it does not build. */
static void make_sound(GLenum mode, GLint first, GLsizei count)
{
    const char *why = NULL;
    char *text = preload_read_text(passes.sound, &why);
    struct build b = {0};
    if (text != NULL) {
        /* The Sound pass has no channels of its own: they are declared as the Image pass's. */
        struct source source = passes_source(passes.count - 1, text, include_folders);
        source.path = passes.sound;
        b = program_build(&source);
    } else {
        struct text log = {0};
        text_addf(&log, "%s: %s\n", passes.sound, why != NULL ? why : "no such file");
        b.log = log.data;
        b.files = files_of(passes.sound);
    }
    report(SOUND_SLOT, text != NULL ? text : "", &b);
    build_free(&b);
    free(text);
    if (!b.linked || sound_out == NULL)
        return;
    char made[PATH_MAX];
    snprintf(made, sizeof made, "%s.new", sound_out);
    int fd = open(made, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        preload_fail("%s: %s", made, strerror(errno));
    sound_render(b.program, 0, (long long)SOUND_SECONDS * SAMPLE_RATE, fd, gl.draw_arrays, mode, first, count);
    close(fd);
    inputs_forget(b.program);
    gl.delete_program(b.program);
    if (rename(made, sound_out) != 0)
        preload_fail("%s: %s", sound_out, strerror(errno));
    record_write(STDERR_FILENO, "sound", NULL, 0);
}

static long long itime_at(long long now);

/* Says where the clock is: iTime, and whether it is paused. */
static void say_clock(void)
{
    char itime[32], still[8];
    snprintf(itime, sizeof itime, "%.6f", (double)itime_at(preload_real_now()) / 1e9);
    snprintf(still, sizeof still, "%d", paused);
    const struct field fields[] = {FIELD("itime", itime), FIELD("paused", still)};
    record_write(STDERR_FILENO, "clock", fields, 2);
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
            if (e->mask & IN_Q_OVERFLOW) {
                build_due = now;
                watch();
                continue;
            }
            if (e->wd == folder_watch && (e->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF))) {
                if (e->mask & IN_MOVE_SELF)
                    inotify_rm_watch(watch_fd, folder_watch);
                folder_watch = -1;
                gone_since = gone_since ? gone_since : now;
                continue;
            }
            int as_given = e->wd == folder_watch && e->len > 0 && strcmp(e->name, base) == 0;
            int as_target = target_watch >= 0 && e->wd == target_watch && e->len > 0 && target_base != NULL &&
                            strcmp(e->name, target_base) == 0;
            int as_included = 0;
            for (int i = 0; i < included_count && e->len > 0; i++) {
                if (e->wd != included[i].watch || strcmp(e->name, included[i].name) != 0 ||
                    !(e->mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_MODIFY | IN_DELETE)))
                    continue;
                as_included = 1;
                /* The pass's file is read again, with what it includes. */
                if (included[i].pass == SOUND_SLOT && passes.sound != NULL)
                    sound_due = now + SETTLE_NS;
                else if (included[i].pass == passes.count - 1)
                    build_due = now + SETTLE_NS;
                else
                    pass_due[included[i].pass] = now + SETTLE_NS;
            }
            if (as_included)
                continue;
            if (!as_given && !as_target)
                continue;
            if (as_given)
                watch();
            if (e->mask & (IN_CLOSE_WRITE | IN_MOVED_TO))
                build_due = now;
            else if (e->mask & (IN_CREATE | IN_MODIFY))
                build_due = now + SETTLE_NS;
            else if ((e->mask & IN_ATTRIB) && build_due == 0 && (access(path, R_OK) != 0) != unreadable)
                build_due = now + SETTLE_NS; /* it can no longer be read, or can again */
            else if (e->mask & (IN_DELETE | IN_MOVED_FROM)) {
                build_due = 0;
                gone_since = now;
            }
        }
    }
    /* A folder removed while something (a shell, say) is still in it tells nothing: while the file is
     * not there, whether the folder at its name is the one watched is looked at now and then. */
    if ((folder_watch < 0 || missing || gone_since != 0) && now >= rewatch_due) {
        struct stat st;
        if (folder_watch < 0 || stat(folder, &st) != 0 || st.st_dev != folder_device || st.st_ino != folder_inode) {
            if (folder_watch >= 0)
                inotify_rm_watch(watch_fd, folder_watch);
            folder_watch = -1;
            watch();
            if (folder_watch >= 0 && access(path, F_OK) == 0)
                build_due = now + SETTLE_NS; /* it may be being written */
        }
        rewatch_due = now + GONE_GRACE_NS;
    }
    if (build_due != 0 && now >= build_due) {
        build_due = 0;
        rebuild();
    }
    for (int p = 0; p + 1 < passes.count; p++) {
        if (pass_due[p] != 0 && now >= pass_due[p]) {
            pass_due[p] = 0;
            rebuild_pass(p);
        }
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
        say_clock();
    }
    last_itime = itime_at(now);
    return origin + last_itime;
}

static void key_callback(GLFWwindow *w, int key, int scancode, int action, int mods)
{
    (void)w;
    (void)scancode;
    /* While a pass reads the keyboard, its keys are the shader's, and the time keys are taken with Ctrl. */
    if (keyboard_read()) {
        if (action != GLFW_REPEAT)
            keyboard_key(keyboard_code(key), action == GLFW_PRESS);
        if (!(mods & GLFW_MOD_CONTROL))
            return;
    }
    if (action == GLFW_RELEASE || !origin_read)
        return;
    long long now = preload_real_now();
    long long t = itime_at(now);
    if (key == GLFW_KEY_SPACE && action == GLFW_PRESS) {
        paused = !paused;
        retitle();
    } else if (key == GLFW_KEY_HOME && action == GLFW_PRESS) {
        /* From the start: iTime and iFrame 0, every buffer cleared. */
        t = 0;
        frame.number = -1;
        passes_clear();
    } else if (key == GLFW_KEY_LEFT) {
        t = t > SECOND_NS ? t - SECOND_NS : 0;
    } else if (key == GLFW_KEY_RIGHT) {
        t += SECOND_NS;
    } else {
        return;
    }
    base_itime = t;
    base_real = now;
    say_clock();
}

/* The pointer in pixels of the window's framebuffer (the picture: fragCoord and iMouse count in them),
 * from the bottom left; the framebuffer's size goes to *width and *height. */
static void pointer(double *x, double *y, int *width, int *height)
{
    static __typeof__(glfwGetCursorPos) *cursor;
    static __typeof__(glfwGetWindowSize) *window_size;
    static __typeof__(glfwGetFramebufferSize) *framebuffer_size;
    NEXT(glfwGetCursorPos, cursor);
    NEXT(glfwGetWindowSize, window_size);
    NEXT(glfwGetFramebufferSize, framebuffer_size);
    double cx = 0, cy = 0;
    int w = 1, h = 1, fw = 1, fh = 1;
    cursor(window, &cx, &cy);
    window_size(window, &w, &h);
    framebuffer_size(window, &fw, &fh);
    *x = cx / (w > 0 ? w : 1) * fw;
    *y = (1.0 - cy / (h > 0 ? h : 1)) * fh;
    if (width != NULL && height != NULL) {
        *width = fw;
        *height = fh;
    }
}

static void button_callback(GLFWwindow *w, int which, int action, int mods)
{
    (void)w;
    (void)mods;
    if (which != GLFW_MOUSE_BUTTON_LEFT)
        return;
    mouse_held = action == GLFW_PRESS;
    if (mouse_held) {
        pointer(&frame.mouse[0], &frame.mouse[1], NULL, NULL);
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

/* Every STALL_NS / 6, whether the frame in progress has taken longer than STALL_NS. */
static void *watch_frames(void *unused)
{
    (void)unused;
    const struct timespec pause = {0, (long)(STALL_NS / 6)};
    for (;;) {
        nanosleep(&pause, NULL);
        long long began = atomic_load(&frame_began);
        if (began != 0 && !atomic_load(&stall_reported) && !atomic_load(&slow_known) &&
            preload_now_ns() - began > STALL_NS) {
            atomic_store(&stall_reported, 1);
            char seconds[32];
            snprintf(seconds, sizeof seconds, "%lld", STALL_NS / SECOND_NS);
            const struct field fields[] = {FIELD("seconds", seconds)};
            record_write(STDERR_FILENO, "stalled", fields, 1);
        }
    }
    return NULL;
}

/* A frame has ended: when it was reported as stalled and the newest text drew it, the text before comes
 * back; when it ended in time, the text before is no longer needed. */
static void frame_ended(void)
{
    if (atomic_load(&stall_reported) && previous != 0 && shown != previous) {
        drop(shown);
        shown = previous;
        previous = 0;
        failed = 1;
        retitle();
        record_write(STDERR_FILENO, "reverted", NULL, 0);
    } else if (atomic_load(&stall_reported)) {
        atomic_store(&slow_known, 1);
    } else if (previous != 0) {
        drop(previous);
        previous = 0;
    }
    atomic_store(&stall_reported, 0);
}

HOOK void glfwPollEvents(void)
{
    static __typeof__(glfwPollEvents) *real;
    NEXT(glfwPollEvents, real);
    if (viewer_program != 0)
        frame_ended();
    atomic_store(&frame_began, 0);
    real();
    if (viewer_program != 0) {
        read_plans();
        look_at_the_file();
    }
    atomic_store(&frame_began, preload_now_ns());
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
        struct build b = program_outcome(viewer.fragment, program, compile_started ? compile_started
                                                                                   : preload_now_ns());
        report(passes.count - 1, text, &b);
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
    for (int p = 0; p + 1 < passes.count; p++)
        rebuild_pass(p);
    if (passes.sound != NULL) {
        pass_sources[SOUND_SLOT] = files_of(passes.sound);
        sound_due = preload_now_ns();
    }
    if (pthread_create(&watchdog, NULL, watch_frames, NULL) != 0)
        preload_fail("the watchdog thread: %s", strerror(errno));
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
    if (sound_due != 0 && preload_now_ns() >= sound_due) {
        /* Making the sound is no frame that does not end: the watchdog waits. */
        sound_due = 0;
        atomic_store(&frame_began, 0);
        make_sound(mode, first, count);
        atomic_store(&frame_began, preload_now_ns());
    }
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
    double px = 0, py = 0;
    int width = 1, height = 1;
    pointer(&px, &py, &width, &height);
    if (mouse_held) {
        frame.mouse[0] = px;
        frame.mouse[1] = py;
    }
    /* The picture is the window's framebuffer, whatever size the user gives it. */
    frame.resolution[0] = width;
    frame.resolution[1] = height;
    frame.resolution[2] = 1.0;
    frame.viewport[0] = width;
    frame.viewport[1] = height;
    frame_pointer(&frame, px, py);
    passes_draw(&frame, gl.draw_arrays, mode, first, count);
    gl.draw_arrays(mode, first, count);
    passes_drawn(&frame);
}

/* The viewer's texts: its fragment text is the file's, with its includes and the Image pass's channels. */
static void shader_source(GLuint shader, GLsizei count, const GLchar *const *strings, const GLint *lengths)
{
    struct source as = passes_source(passes.count - 1, NULL, include_folders);
    as.path = path;
    program_shader_source(shader, count, strings, lengths, &as);
}

HOOK GLFWglproc glfwGetProcAddress(const char *name)
{
    GLFWglproc proc = preload_gl_or_null(name);
    GL_WRAP(glCreateShader, real_create_shader, program_create_shader)
    GL_WRAP(glShaderSource, real_shader_source, shader_source)
    GL_WRAP(glCompileShader, gl.compile_shader, compile_shader)
    GL_WRAP(glLinkProgram, gl.link_program, link_program)
    GL_WRAP(glUseProgram, gl.use_program, use_program)
    GL_WRAP(glGetUniformLocation, gl.uniform_location, uniform_location)
    GL_WRAP(glDrawArrays, gl.draw_arrays, draw_arrays)
    return proc;
}
