/*
 * Preloaded into the viewer by quillomar-record: renders a fixed number of frames at a fixed time step,
 * whatever the render speed, and hands each one over before it is shown.
 *
 * Settings (docs/internals.md): QUILLOMAR_FRAMES, QUILLOMAR_FPS, QUILLOMAR_FROM, QUILLOMAR_SIZE,
 * QUILLOMAR_START, QUILLOMAR_MOUSE (optional), QUILLOMAR_FRAME_FD, QUILLOMAR_STATUS_FD, for the shader's
 * includes QUILLOMAR_SOURCE (its own path) and QUILLOMAR_INCLUDE, its passes QUILLOMAR_PLAN, the keys held
 * QUILLOMAR_KEYS, and its Sound pass QUILLOMAR_SOUND_OUT and QUILLOMAR_SOUND_SECONDS; for a part of a
 * clip, QUILLOMAR_FIRST, QUILLOMAR_UNSEEN and QUILLOMAR_CLIP (optional); tiles, sub-frames and the shutter
 * QUILLOMAR_TILES, QUILLOMAR_BLUR and QUILLOMAR_SHUTTER (optional), QUILLOMAR_ALPHA (1: alpha is kept); the #iUniform values QUILLOMAR_SET
 * (settings of tuned.h's uniforms), the divider of the picture QUILLOMAR_SCALE, and a session to replay
 * QUILLOMAR_REPLAY.
 *
 * Its policy for the viewer's events (viewer.h):
 * The clock: the program's reads of it (viewer.h's clock event) return the origin, then origin + FROM +
 * k / FPS for frame k, so frame k is drawn with iTime exactly FROM + k / FPS. A part of a clip hands over
 * FRAMES frames from the clip's frame FIRST, drawing the UNSEEN frames before it first without handing
 * them over (where its passes keep state from frame to frame).
 * The picture: as each frame begins the viewer's context gets a target of SIZE bound for drawing,
 * whatever size the window has or a window manager gives it. At each buffer swap the frame is read back
 * (RGBA, bottom row first) and written to FRAME_FD, then copied into the window so that the recording can
 * be watched. STATUS_FD gets a "frame" record per frame written, or "no-program" when the shader did not
 * build (nothing is recorded). After the last frame the window's close flag is set, so the viewer ends by
 * its normal path.
 * The inputs of shaders from the web are as exact: frame k has iFrame k, iTimeDelta 1 / FPS, iFrameRate
 * FPS, iDate the wall-clock time START plus iTime, and iMouse held at MOUSE, or 0 when none is given.
 * With SCALE D, each frame is drawn into a picture of SIZE / D (rounded up), which is iResolution, and
 * copied into SIZE, each pixel a block of D x D (those of the top row and right column cut by its edge),
 * before it is read back.
 * SET gives #iUniform values, a line each: NAME=VALUE or NAME=FROM:TO, each a number or one per
 * component, comma-separated; frame k of N gets FROM + (TO - FROM) x k / (N - 1), and with motion blur its
 * sub-frame s of BLUR FROM + (TO - FROM) x (k + SHUTTER x s / BLUR) / (N - 1). A name no pass declares,
 * or a value the uniform cannot take, is said in a "refused" record before any frame, and nothing is
 * recorded.
 * REPLAY names a session's events as the command writes them (docs/internals.md), each at a time of the
 * session's clock: FROM + k / FPS is that clock at frame k, and frame k shows every event up to it: the
 * Image pass's text that built then (in place of the viewer's program from that frame on), iTime as the
 * time keys left it (run on from the last, or paused), the keys the shader read, iMouse and the #iUniform
 * values; a uniform's value it cannot take (tuned_check) is said in a "refused" record naming the
 * session's line, and the recording ends there.
 */
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <sys/stat.h>

#include "base/settings.h"
#include "gl/keyboard.h"
#include "gl/uniforms.h"
#include "passes/passes.h"
#include "passes/sound.h"
#include "record/renders.h"
#include "record/replay.h"
#include "viewer/viewer.h"
#include "text/tuned.h"

static const long long ORIGIN_NS = 1000000000000LL;

static PFNGLGETINTEGERVPROC get_integerv;

/* The recording, as its settings give it (docs/internals.md, "Settings"); constant once configure has
 * read it, but frames, which becomes the clip's number of the frame after the last. */
static struct {
    int frames, size[2], frame_fd, status_fd, mouse_given;
    /* The clip's number of the first frame handed over, and how many frames before it are drawn unseen. */
    int first_frame, unseen;
    /* The frames of the whole clip (a part's too), over which --set moves a value. */
    int clip_frames;
    /* The Image pass drawn as tiles x tiles draws (renders.c). */
    int tiles;
    /* Motion blur: each frame the average of blur sub-frames, sub-frame s at iTime + shutter x s / blur
     * frames. Whether the picture's alpha is kept: then sub-frames are averaged premultiplied. */
    int blur, alpha;
    double shutter;
    double fps, from, start, mouse[2];
    /* The shader's own path, for its includes, and the folders to look in after; its passes' plan; the
     * keys held, as "CODE:FROM-TO" times, comma-separated. */
    char *source, *include, *plan, *keys;
    /* The #iUniform values set, as the setting has them, and the divider of the picture (1: none). */
    char *sets;
    int scale;
    /* Where the Sound pass's samples go (a file), and for how long from FROM; a session to replay. */
    char *sound_out;
    double sound_seconds;
    char *replay;
} job = {.tiles = 1, .blur = 1, .shutter = 1.0, .scale = 1};

/* The recording as it goes. */
static struct {
    /* done: the clip's frame being drawn (the clock's step); written: those handed over; sub, the
     * sub-frame being drawn. */
    int done, written, sub;
    /* Whether the buffer passes have built (-1: not yet tried). */
    int passes_built;
    /* The picture recorded, the one drawn (--scale's smaller one, else the picture), and the ring it is
     * read back through. */
    struct target picture, drawn;
    struct readback ring;
    /* The viewer's own build, once it has linked: the GL's whole log (the viewer prints only what fits
     * its buffer), for the message when it did not build. */
    char *viewer_log;
} run = {.passes_built = -1};

/* A session replayed: its events in the order of its clock, the next one not yet taken, the program the
 * viewer's is drawn as (0: its own) and its own. */
static struct replay_event *events;
static size_t event_count, next_event;
static GLuint replayed_program, viewer_program;
static double replayed_mouse[4];
static int replayed_mouse_given;
/* The file each pass's replayed text is in, taken before the passes were first built (NULL: its own). */
static const char *replayed_pass[MOST_PASSES];
static PFNGLDELETEPROGRAMPROC delete_program;
__attribute__((constructor)) static void configure(void)
{
    const struct setting_use settings[] = {
        {"QUILLOMAR_FRAMES", &job.frames, NULL},
        {"QUILLOMAR_FPS", &job.fps, NULL},
        {"QUILLOMAR_FROM", &job.from, NULL},
        {"QUILLOMAR_SIZE", job.size, NULL},
        {"QUILLOMAR_START", &job.start, NULL},
        {"QUILLOMAR_MOUSE", job.mouse, &job.mouse_given},
        {"QUILLOMAR_FRAME_FD", &job.frame_fd, NULL},
        {"QUILLOMAR_STATUS_FD", &job.status_fd, NULL},
        {"QUILLOMAR_SOURCE", &job.source, NULL},
        {"QUILLOMAR_INCLUDE", &job.include, NULL},
        {"QUILLOMAR_PLAN", &job.plan, NULL},
        {"QUILLOMAR_KEYS", &job.keys, NULL},
        {"QUILLOMAR_SOUND_OUT", &job.sound_out, NULL},
        {"QUILLOMAR_SOUND_SECONDS", &job.sound_seconds, NULL},
        {"QUILLOMAR_FIRST", &job.first_frame, NULL},
        {"QUILLOMAR_UNSEEN", &job.unseen, NULL},
        {"QUILLOMAR_CLIP", &job.clip_frames, NULL},
        {"QUILLOMAR_TILES", &job.tiles, NULL},
        {"QUILLOMAR_BLUR", &job.blur, NULL},
        {"QUILLOMAR_SHUTTER", &job.shutter, NULL},
        {"QUILLOMAR_ALPHA", &job.alpha, NULL},
        {"QUILLOMAR_SET", &job.sets, NULL},
        {"QUILLOMAR_SCALE", &job.scale, NULL},
        {"QUILLOMAR_REPLAY", &job.replay, NULL},
    };
    /* Each value within its row's bounds (settings.c); what is left to check is how they stand together. */
    settings_of(settings, sizeof settings / sizeof settings[0]);
    inputs_take_settings();
    if (job.unseen > job.first_frame)
        preload_fail("QUILLOMAR_UNSEEN must be at most QUILLOMAR_FIRST");
    if (job.clip_frames == 0) /* not given: the clip ends with the part */
        job.clip_frames = job.first_frame + job.frames;
    if (job.clip_frames < job.first_frame + job.frames)
        preload_fail("QUILLOMAR_CLIP must be at least QUILLOMAR_FIRST + QUILLOMAR_FRAMES");
    if (job.tiles > job.size[0] || job.tiles > job.size[1])
        preload_fail("QUILLOMAR_TILES must be at most the picture's width and height");
    /* done counts the clip's frames from the first drawn; frames becomes the number after the last. */
    run.done = job.first_frame - job.unseen;
    job.frames += job.first_frame;
    passes_configure(job.plan);
    if (job.replay != NULL)
        events = replay_read(job.replay, &event_count);
}

/* The viewer's clock at frame k, in nanoseconds from its origin: what iTime is made of. In a replay, iTime
 * at the session's clock then, as the last time event before it left it: from there at its speed. */
static long long frame_ns(int k)
{
    if (job.replay == NULL)
        return llround(job.from * 1e9) + llround((double)k * 1e9 / job.fps);
    double clock = job.from + (double)k / job.fps;
    const struct replay_event *time = NULL;
    for (size_t e = 0; e < event_count && events[e].clock <= clock; e++)
        time = events[e].kind == REPLAY_TIME ? &events[e] : time;
    if (time == NULL)
        return llround(clock * 1e9);
    return llround(time->numbers[0] * 1e9) +
           (time->numbers[1] != 0 ? 0 : llround((clock - time->clock) * time->numbers[2] * 1e9));
}

/* The viewer's clock at the sub-frame being drawn of frame k, from its origin. */
static long long drawn_ns(int k)
{
    return frame_ns(k) + llround(job.shutter * run.sub * 1e9 / ((double)job.blur * job.fps));
}

/* The keys down at time t, as the keyboard has them: a key given more than once is down in any of its
 * spans. */
static void hold_keys(double t)
{
    int down[KEY_CODES];
    memset(down, -1, sizeof down);
    for (const char *p = job.keys; p != NULL && *p != '\0';) {
        int code = 0;
        double from_t = 0, to_t = 0;
        if (sscanf(p, "%d:%lf-%lf", &code, &from_t, &to_t) == 3 && code >= 0 && code < KEY_CODES)
            down[code] = (down[code] > 0) || (t >= from_t && t < to_t);
        p = strchr(p, ',');
        p = p != NULL ? p + 1 : NULL;
    }
    for (int code = 0; code < KEY_CODES; code++)
        if (down[code] >= 0)
            keyboard_key(code, down[code]);
}

/* Says that the pass in file did not build (log), or could not be read (text NULL, why); files: the file
 * and those it included (NULL: none known). */
static void say_failed(const char *file, const char *text, const char *log, const struct files *files)
{
    char *listed = files != NULL ? files_text(files) : NULL;
    const char *named = listed != NULL ? listed : "";
    const struct field fields[] = {PAYLOAD("file", file, strlen(file)), PAYLOAD("log", log, strlen(log)),
                                   PAYLOAD("text", text != NULL ? text : "", text != NULL ? strlen(text) : 0),
                                   PAYLOAD("files", named, strlen(named))};
    record_write(job.status_fd, "no-program", fields, 4);
    free(listed);
}

/* The Sound pass, made into the samples of FROM to FROM + sound_seconds, written to sound_out. */
static int draw_sound_pass(PFNGLDRAWARRAYSPROC draw, GLenum mode, GLint first, GLsizei count)
{
    const char *why = NULL;
    char *text = preload_read_text(passes_sound_file(), &why);
    if (text == NULL) {
        say_failed(passes_sound_file(), NULL, why != NULL ? why : "no such file", NULL);
        return 0;
    }
    struct source sound = passes_sound_source(text, job.include);
    struct build b = program_build(&sound);
    if (!b.linked) {
        say_failed(passes_sound_file(), text, b.log, &b.files);
        build_free(&b);
        free(text);
        return 0;
    }
    long long from_sample = llround(job.from * SAMPLE_RATE), samples = llround(job.sound_seconds * SAMPLE_RATE);
    sound_write(b.program, from_sample, samples, job.sound_out, draw, mode, first, count);
    build_free(&b);
    free(text);
    return 1;
}


/* Whether a build linked; else (or when its text could not be read) it is said as the viewer's own failure
 * is, why: the text's path, the text, the GL's log. The build and the text are freed either way. */
static int linked_or_said(const char *path, char *text, const char *why, struct build *b)
{
    int built = text != NULL && b->linked;
    if (!built)
        say_failed(path, text, text == NULL ? (why != NULL ? why : "no such file") : b->log,
                   text == NULL ? NULL : &b->files);
    build_free(b);
    free(text);
    return built;
}
/* The buffer passes, built once the viewer has built its own program; one that does not build ends the
 * recording as the viewer's own does, with the file and the GL's log. */
static int build_passes(void)
{
    for (int p = 0; p + 1 < passes_count(); p++) {
        char *text;
        const char *why = NULL, *path = replayed_pass[p] != NULL ? replayed_pass[p] : passes_path(p);
        struct build b = replayed_pass[p] == NULL ? passes_build_file(p, job.include, &text, &why)
                         : (text = preload_read_text(path, &why)) != NULL ? passes_build_at(p, text, path, job.include)
                                                                           : (struct build){0};
        if (!linked_or_said(path, text, why, &b))
            return 0;
    }
    return 1;
}

static void say(const char *kind, const struct field *fields, size_t count)
{
    record_write(job.status_fd, kind, fields, count);
}

/* The numbers of a value "N,N,..." (at most 4, each with blanks around it or not) into value; how many,
 * or 0 when it is not such a value. */
static int numbers_of(const char *text, size_t length, double value[4])
{
    int count = 0;
    for (const char *p = text, *end = text + length; p < end && count < 5; count++) {
        char *after = NULL;
        double v = strtod(p, &after);
        while (after != p && after < end && (*after == ' ' || *after == '\t'))
            after++;
        if (after == p || after > end || !isfinite(v) || (after < end && *after != ','))
            return 0;
        if (count < 4)
            value[count] = v;
        p = after + 1;
    }
    return count <= 4 ? count : 0;
}

/* A value of count numbers as u's: one number is every component's. NULL, or why it cannot be u's value
 * (count is neither one nor u's components). */
static const char *spread(const struct tuned_uniform *u, int count, double value[4])
{
    if (count != 1 && count != u->components) {
        static char why[160];
        snprintf(why, sizeof why, "%s %s takes %d number%s", tuned_type_name(u->type), u->name, u->components,
                 u->components == 1 ? "" : "s (or one for all)");
        return why;
    }
    for (int k = count; k < u->components; k++)
        value[k] = value[0];
    return NULL;
}

/* A setting's line, read: the uniform it names (-1: none), and its value at FROM and at TO (TO is FROM
 * when the line moves it nowhere). Says 0, with why, for what the uniform cannot take. */
static int set_line(const char *line, size_t length, int *uniform, double from_value[4], double to_value[4],
                    char *why, size_t room)
{
    const char *equals = memchr(line, '=', length);
    size_t name_length = equals != NULL ? (size_t)(equals - line) : length;
    char name[TUNED_NAME + 1];
    snprintf(name, sizeof name, "%.*s", (int)(name_length < TUNED_NAME ? name_length : TUNED_NAME), line);
    *uniform = tuned_find(name);
    if (*uniform < 0 || equals == NULL) {
        snprintf(why, room, "--set %.*s: no pass has an #iUniform of that name", (int)name_length, line);
        return 0;
    }
    const struct tuned_uniform *u = tuned_at((size_t)*uniform);
    const char *value = equals + 1, *end = line + length, *colon = memchr(value, ':', (size_t)(end - value));
    int counts[2] = {numbers_of(value, (size_t)((colon != NULL ? colon : end) - value), from_value), 0};
    counts[1] = colon != NULL ? numbers_of(colon + 1, (size_t)(end - colon - 1), to_value) : counts[0];
    if (colon == NULL)
        memcpy(to_value, from_value, 4 * sizeof *to_value);
    for (int e = 0; e < 2; e++) {
        double *v = e == 0 ? from_value : to_value;
        const char *wrong = spread(u, counts[e], v);
        if (wrong == NULL)
            wrong = tuned_check(u, v, NULL);
        if (wrong != NULL) {
            snprintf(why, room, "--set %.*s: %s", (int)length, line, wrong);
            return 0;
        }
    }
    return 1;
}

/* Whether every uniform SET names is declared and can take its values; else it is said ("refused"). */
static int sets_known(void)
{
    for (const char *line = job.sets; line != NULL && *line != '\0';) {
        size_t length = strcspn(line, "\n");
        int uniform;
        double a[4], b[4];
        char why[512];
        if (!set_line(line, length, &uniform, a, b, why, sizeof why)) {
            const struct field fields[] = {PAYLOAD("why", why, strlen(why))};
            record_write(job.status_fd, "refused", fields, 1);
            return 0;
        }
        line += length + (line[length] == '\n');
    }
    return 1;
}

/* The uniforms SET names, at their values for the clip's position k (a frame, or between frames for a
 * sub-frame). */
static void set_uniforms(double k)
{
    double t = job.clip_frames > 1 ? k / (double)(job.clip_frames - 1) : 0.0;
    for (const char *line = job.sets; line != NULL && *line != '\0';) {
        size_t length = strcspn(line, "\n");
        int uniform;
        double a[4], b[4];
        char why[512];
        if (set_line(line, length, &uniform, a, b, why, sizeof why)) {
            double value[4] = {0};
            for (int c = 0; c < 4; c++)
                value[c] = a[c] + (b[c] - a[c]) * t;
            tuned_set((size_t)uniform, value);
        }
        line += length + (line[length] == '\n');
    }
}

/* The session's events up to frame k's clock, taken in their order: one that does not build ends the
 * recording as the viewer's own does. */
static int take_events(int k)
{
    double clock = job.from + (double)k / job.fps;
    for (; next_event < event_count && events[next_event].clock <= clock; next_event++) {
        const struct replay_event *e = &events[next_event];
        if (e->kind == REPLAY_BUILD) {
            const char *why = NULL;
            char *text = preload_read_text(e->text, &why);
            struct source as = passes_source(passes_count() - 1, text, job.include);
            as.path = e->text;
            struct build b = text != NULL ? program_build(&as) : (struct build){0};
            GLuint program = b.program;
            if (!linked_or_said(e->text, text, why, &b))
                return 0;
            GL_ENTRY(glDeleteProgram, delete_program);
            if (replayed_program != 0) {
                inputs_forget(replayed_program);
                delete_program(replayed_program);
            }
            replayed_program = program;
        } else if (e->kind == REPLAY_PASS && e->pass >= 0 && run.passes_built < 0) {
            replayed_pass[e->pass] = e->text;
        } else if (e->kind == REPLAY_PASS && e->pass >= 0) {
            const char *why = NULL;
            char *text = preload_read_text(e->text, &why);
            struct build b = text != NULL ? passes_build_at(e->pass, text, e->text, job.include) : (struct build){0};
            if (!linked_or_said(e->text, text, why, &b))
                return 0;
        } else if (e->kind == REPLAY_MOUSE) {
            replayed_mouse_given = 1;
            memcpy(replayed_mouse, e->numbers, sizeof replayed_mouse);
        } else if (e->kind == REPLAY_KEY && e->numbers[0] >= 0 && e->numbers[0] < KEY_CODES) {
            keyboard_key((int)e->numbers[0], e->numbers[1] != 0);
        } else if (e->kind == REPLAY_UNIFORM && tuned_find(e->text) >= 0) {
            /* Taken as --set takes a value. */
            const struct tuned_uniform *u = tuned_at((size_t)tuned_find(e->text));
            double value[4];
            memcpy(value, e->numbers, sizeof value);
            const char *wrong = spread(u, e->count, value);
            if (wrong == NULL)
                wrong = tuned_check(u, value, NULL);
            if (wrong != NULL) {
                char why[512];
                snprintf(why, sizeof why, "%s: uniform event: %s", e->where, wrong);
                const struct field fields[] = {PAYLOAD("why", why, strlen(why))};
                record_write(job.status_fd, "refused", fields, 1);
                return 0;
            }
            tuned_set((size_t)tuned_find(e->text), value);
        }
    }
    return 1;
}

/* The program's clock reads: the origin, then the time of the frame being drawn. */
static long long frame_clock(int origin)
{
    return origin ? ORIGIN_NS : ORIGIN_NS + drawn_ns(run.done);
}

/* As each frame begins: the target is bound and fills the viewport, also after a resize callback has set
 * the viewport to the window's size. */
static void frame_begins(void)
{
    static int made;
    if (!made) {
        made = 1;
        GL_ENTRY(glGetIntegerv, get_integerv);
        int limit = 0;
        const char *exceeded = renders_too_large(job.size[0], job.size[1], &limit);
        if (exceeded != NULL) {
            char most[32];
            snprintf(most, sizeof most, "%d", limit);
            const struct field fields[] = {FIELD("limit", exceeded), FIELD("most", most)};
            say("too-large", fields, 2);
            preload_fail("a picture of %dx%d is more than this GL draws (%s %d)", job.size[0], job.size[1], exceeded, limit);
        }
        run.picture = target_make(job.size[0], job.size[1], GL_RGBA8);
        run.ring = readback_make(&run.picture);
        run.drawn = renders_divided(&run.picture, job.scale);
    }
    if (job.replay != NULL && run.done < job.frames && run.passes_built != 0 && !take_events(run.done))
        run.passes_built = 0;
    target_bind(&run.drawn);
}


/* A frame read back (with motion blur, a sub-frame): to the encoder, and said on the status descriptor. */
static void hand_over(const unsigned char *pixels, size_t count)
{
    if (job.blur > 1 && (pixels = renders_blended(pixels, count, job.blur, job.alpha)) == NULL)
        return;
    preload_write_all(job.frame_fd, pixels, count, "frames");
    char number[32];
    snprintf(number, sizeof number, "%d", ++run.written);
    const struct field fields[] = {FIELD("number", number)};
    say("frame", fields, 1);
}

/* The frame done, before the viewer swaps it into the window. */
static void swapping(GLFWwindow *window)
{
    static __typeof__(glfwSetWindowShouldClose) *set_should_close;
    static __typeof__(glfwGetFramebufferSize) *framebuffer_size;
    NEXT(glfwSetWindowShouldClose, set_should_close);
    NEXT(glfwGetFramebufferSize, framebuffer_size);
    if (run.done >= job.frames)
        return;
    GLint program = 0;
    get_integerv(GL_CURRENT_PROGRAM, &program);
    if (program == 0 || !run.passes_built) {
        if (program == 0)
            say_failed(job.source != NULL ? job.source : "test.glsl", viewer.fragment_text,
                       run.viewer_log != NULL ? run.viewer_log : "", run.viewer_log != NULL ? &viewer.files : NULL);
        run.done = job.frames;
        set_should_close(window, 1);
        return;
    }
    renders_scaled_up(&run.drawn, &run.picture, job.scale);
    if (run.done < job.first_frame) {
        /* Drawn for the state it leaves in the passes, not handed over; said once a frame, as the frames
         * handed over are. */
        if (run.sub + 1 == job.blur) {
            char number[32];
            snprintf(number, sizeof number, "%d", run.done);
            const struct field fields[] = {FIELD("number", number)};
            say("unseen", fields, 1);
        }
    } else {
        readback_start(&run.ring, &run.picture, hand_over);
    }
    if (++run.sub < job.blur)
        return;
    run.sub = 0;
    run.done++;
    if (run.done == job.frames)
        readback_finish(&run.ring, hand_over);

    int w = 0, h = 0;
    framebuffer_size(window, &w, &h);
    if (w > 0 && h > 0) /* a window to show it in */
        target_show(&run.picture, w, h);
    if (run.done == job.frames) {
        close(job.frame_fd);
        set_should_close(window, 1);
    }
}

/* In a replay, the viewer's program is drawn as the session's text that built last. */
static GLuint in_use(GLuint program)
{
    return program != 0 && program == viewer_program && replayed_program != 0 ? replayed_program : program;
}

/* The viewer's own link: what it gave is kept for the message should it have failed. */
static void linked(GLuint program)
{
    viewer_program = program;
    struct build b = program_outcome(viewer.fragment, program, preload_now_ns());
    run.viewer_log = b.log;
    files_free(&b.files);
}

/* Just before the viewer's draw, after its own uniforms: the inputs of frame `done`. */
static void draw(PFNGLDRAWARRAYSPROC draw_arrays, GLenum mode, GLint first, GLsizei count)
{
    if (run.passes_built < 0) {
        GLint program = 0;
        get_integerv(GL_CURRENT_PROGRAM, &program);
        run.passes_built = program == 0 || (build_passes() && (passes_sound_file() == NULL || job.sound_out == NULL ||
                                                            draw_sound_pass(draw_arrays, mode, first, count)));
        if (run.passes_built && program != 0 && !sets_known())
            run.passes_built = 0;
    }
    set_uniforms(run.done + (job.blur > 1 ? job.shutter * run.sub / job.blur : 0.0));
    struct frame frame = {.number = run.done, .delta = 1.0 / job.fps, .rate = job.fps};
    frame.time = (double)drawn_ns(run.done) / 1e9;
    if (job.blur > 1) { /* iFrame counts the sub-frames, each a step of the buffers' state */
        frame.number = run.done * job.blur + run.sub;
        frame.delta = job.shutter / (job.blur * job.fps);
    }
    hold_keys(frame.time);
    frame_date(job.start + frame.time, frame.date);
    for (int i = 0; i < 4 && job.mouse_given; i++)
        frame.mouse[i] = job.mouse[i % 2];
    if (replayed_mouse_given)
        memcpy(frame.mouse, replayed_mouse, sizeof frame.mouse);
    /* The picture is the recording's: fragCoord and iMouse count in its pixels. */
    frame.resolution[0] = run.drawn.width;
    frame.resolution[1] = run.drawn.height;
    frame.resolution[2] = 1.0;
    frame.viewport[0] = run.drawn.width;
    frame.viewport[1] = run.drawn.height;
    frame_pointer(&frame, replayed_mouse_given ? fabs(replayed_mouse[0]) : job.mouse[0],
                  replayed_mouse_given ? fabs(replayed_mouse[1]) : job.mouse[1]);
    if (job.tiles > 1) { /* the buffer passes whole, the Image pass in tiles */
        passes_draw(&frame, draw_arrays, mode, first, count);
        int made = renders_tiled(draw_arrays, mode, first, count, run.drawn.width, run.drawn.height, job.tiles);
        static int said;
        if (!said) { /* the draws an Image pass took, said once */
            said = 1;
            char number[32];
            snprintf(number, sizeof number, "%d", made);
            const struct field fields[] = {FIELD("draws", number)};
            say("tiles", fields, 1);
        }
        passes_drawn(&frame);
    } else {
        passes_frame(&frame, draw_arrays, mode, first, count);
    }
}

/* The viewer's fragment text is the shader's, with its includes and the Image pass's channels. */
static struct source viewer_source(void)
{
    struct source as = passes_source(passes_count() - 1, NULL, job.include);
    as.path = job.source;
    return as;
}

const struct viewer_events viewer_events = {
    .viewer_source = viewer_source,
    .linked = linked,
    .in_use = in_use,
    .frame_begins = frame_begins,
    .draw = draw,
    .swapping = swapping,
    .clock = frame_clock,
};
