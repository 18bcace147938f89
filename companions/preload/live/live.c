/*
 * Preloaded into the viewer by quillomar-live: keeps one viewer, one window and one clock for a whole
 * editing session, and shows each saved text of the shader file in it.
 *
 * Settings (docs/internals.md): QUILLOMAR_SHADER, the file (an absolute path), QUILLOMAR_INCLUDE,
 * QUILLOMAR_PLAN, QUILLOMAR_PLAN_FD, QUILLOMAR_SOUND_OUT and QUILLOMAR_STAND_INS.
 *
 * Its policy for the viewer's events (viewer.h): its window (its keys and its mouse), the ends of its
 * frames at its polls of events, its own build, its use of its own program, and its draw, with the inputs
 * of the frame. What is done with the saves is saves.c's (saves.h), the clock clock.c's (clock.h), the
 * divided picture divider.c's (divider.h), and the watch on frames watchdog.c's (watchdog.h).
 *
 * Keys come as events, so a tap shorter than a frame counts. While a pass reads the keyboard, the keys are
 * the shader's, and the time keys are taken with Ctrl: neither key of such a chord is the shader's. F1 is
 * never the shader's: it shows and hides the overlay (overlay.h), drawn at the swap after all else; while it
 * is shown, the keys and buttons are its too, and a press over it is not the shader's.
 *
 * While time is paused iFrame stands still too, but for the frames stepped (clock_step).
 *
 * The divider (F2, never the shader's): the frame is drawn at 1/2, 1/4 or 1/8 of the window's size into a
 * picture of that size (iResolution, fragCoord and iMouse count in its pixels), scaled up to the window
 * pixel for block at the swap; F2 again goes on to the next, and from 1/8 back to the whole window.
 */
#include <math.h>
#include <time.h>

#include "gl/keyboard.h"
#include "gl/timing.h"
#include "live/divider.h"
#include "live/probe.h"
#include "live/overlay.h"
#include "live/saves.h"
#include "live/session.h"
#include "viewer/viewer.h"
#include "live/watchdog.h"
#include "text/tuned.h"

static const long long SECOND_NS = 1000000000LL;

static GLFWwindow *window;

/* Whether the viewer's own program has been built, and when its fragment shader's compile began. */
static int built;
static long long compile_started;

/* The inputs of the frame: frames and their times, the mouse. */
static struct frame frame = {.number = -1};
static long long previous_itime, rate_since;
static long rate_frames;
static int mouse_held;

/* An #iUniform set (by whatever sets it): the session says so. */
static void uniform_set(size_t i)
{
    session_uniform(clock_now(), i);
}

__attribute__((constructor)) static void configure(void)
{
    saves_configure();
    tuned_listen(uniform_set);
}

/* While a pass reads the keyboard: the Ctrl key pressed and not yet handed to the shader (0: none), and
 * since when; the keys a time key's chord took, the Ctrl among them, until each is released. */
static const long long CHORD_NS = 300000000LL;
static int withheld;
static long long withheld_since;
static unsigned char taken[GLFW_KEY_LAST + 1];

/* A key the shader reads, down or up: its keyboard and the session hear of it. */
static void shader_key(int key, int down)
{
    keyboard_key(keyboard_code(key), down);
    session_key(clock_now(), keyboard_code(key), down);
}

/* The Ctrl withheld is the shader's after all. */
static void give_withheld(void)
{
    if (withheld != 0)
        shader_key(withheld, 1);
    withheld = 0;
}

static void key_callback(GLFWwindow *w, int key, int scancode, int action, int mods)
{
    if (key == GLFW_KEY_F1) {
        if (action == GLFW_PRESS)
            overlay_toggle(w);
        return;
    }
    if (key == GLFW_KEY_F2) {
        if (action == GLFW_PRESS) {
            divider_set(divider_now() * 2);
            retitle();
        }
        return;
    }
    overlay_key(w, key, scancode, action, mods);
    int known = key >= 0 && key <= GLFW_KEY_LAST, control = key == GLFW_KEY_LEFT_CONTROL ||
                                                           key == GLFW_KEY_RIGHT_CONTROL;
    /* While a pass reads the keyboard, its keys are the shader's, and the time keys are taken with Ctrl:
     * such a chord is the timeline's, its Ctrl too, so a Ctrl goes to the shader only once it is not
     * the start of one (another key, its release, or held alone for CHORD_NS). */
    enum time_key which = TIME_NONE;
    if (!keyboard_read()) {
        which = clock_key(key, action);
    } else if (control && action == GLFW_PRESS) {
        give_withheld();
        withheld = key;
        withheld_since = preload_now_ns();
        return;
    } else if (control && action == GLFW_REPEAT) {
        return;
    } else if (known && taken[key]) {
        if (action == GLFW_RELEASE)
            taken[key] = 0;
        else if (!control)
            which = clock_key(key, action); /* a time key held moves on */
    } else if ((mods & GLFW_MOD_CONTROL) && !control && action != GLFW_RELEASE &&
               (which = clock_key(key, action)) != TIME_NONE) {
        if (known)
            taken[key] = 1;
        if (withheld != 0)
            taken[withheld] = 1;
        withheld = 0;
    } else {
        give_withheld();
        if (action != GLFW_REPEAT)
            shader_key(key, action == GLFW_PRESS);
    }
    if (which == TIME_PAUSE) {
        retitle();
    } else if (which == TIME_HOME) {
        /* From the start: iFrame 0, every buffer cleared. */
        frame.number = -1;
        passes_clear();
    }
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
    *x = cx / (w > 0 ? w : 1) * fw / divider_now();
    *y = (1.0 - cy / (h > 0 ? h : 1)) * fh / divider_now();
    if (width != NULL && height != NULL) {
        *width = fw;
        *height = fh;
    }
}

static void button_callback(GLFWwindow *w, int which, int action, int mods)
{
    overlay_button(w, which, action, mods);
    if (action == GLFW_PRESS && overlay_wants_mouse())
        return;
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

/* The viewer's window: its keys, its mouse, its title. */
static void window_made(GLFWwindow *made)
{
    static __typeof__(glfwSetKeyCallback) *set_key_callback;
    static __typeof__(glfwSetMouseButtonCallback) *set_button_callback;
    static __typeof__(glfwSetWindowTitle) *set_title;
    NEXT(glfwSetKeyCallback, set_key_callback);
    NEXT(glfwSetMouseButtonCallback, set_button_callback);
    NEXT(glfwSetWindowTitle, set_title);
    window = made;
    set_key_callback(window, key_callback);
    set_button_callback(window, button_callback);
    saves_window(window, set_title);
}

static void framebuffer_size(int *width, int *height)
{
    static __typeof__(glfwGetFramebufferSize) *size;
    NEXT(glfwGetFramebufferSize, size);
    size(window, width, height);
}

/* As a frame begins: with a divider, the picture of the divided size is drawn into; back to the window
 * (and its viewport, which the viewer sets only when the window's size changes) once there is none. */
static void frame_begins(void)
{
    int width = 1, height = 1;
    framebuffer_size(&width, &height);
    divider_frame_begins(width, height);
}

/* The frame done: a divided picture is scaled up into the window, a block per pixel. */
static void swapping(GLFWwindow *w)
{
    int width = 1, height = 1;
    if (divider_picture(&width, &height)) {
        framebuffer_size(&width, &height);
        divider_show(width, height);
    }
    /* The overlay over it all, last, on the window's framebuffer. */
    struct overlay_view view = {frame.number, frame.time, (int)frame.resolution[0], (int)frame.resolution[1],
                                divider_now()};
    overlay_draw(w, &view);
}

/* A frame ends at the poll of the window's events, and the next begins after it. */
static void polling(void)
{
    if (built)
        saves_frame_ended();
    watchdog_frame(0);
}

static void polled(void)
{
    if (withheld != 0 && preload_now_ns() - withheld_since >= CHORD_NS)
        give_withheld(); /* held alone: the shader's */
    if (built)
        saves_poll();
    watchdog_frame(preload_now_ns());
}

static void compiling(void)
{
    compile_started = preload_now_ns();
}

/* The viewer's own build: what is done with it is saves.c's. */
static void linked(GLuint program)
{
    built = saves_viewer_built(program, compile_started ? compile_started : preload_now_ns());
    watchdog_start();
}

/* Just before the viewer's draw, after its own uniforms: the inputs of the frame. */
static void draw(PFNGLDRAWARRAYSPROC draw_arrays, GLenum mode, GLint first, GLsizei count)
{
    saves_sound(draw_arrays, mode, first, count);
    long long now = preload_real_now(), last_itime = clock_itime();
    int steps = clock_steps_taken();
    if (frame.number < 0 || !clock_paused())
        frame.number++;
    else
        frame.number = frame.number + steps > 0 ? frame.number + steps : 0;
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
    /* The picture is the window's framebuffer, whatever size the user gives it, or what the divider makes
     * of it. */
    divider_picture(&width, &height);
    frame.resolution[0] = width;
    frame.resolution[1] = height;
    frame.resolution[2] = 1.0;
    frame.viewport[0] = width;
    frame.viewport[1] = height;
    frame_pointer(&frame, px, py);
    /* The session hears of iMouse, and of the picture's size it counts in, when either changes. */
    static double said[6];
    double mouse_now[6] = {frame.mouse[0], frame.mouse[1], frame.mouse[2], frame.mouse[3], width, height};
    if (memcmp(said, mouse_now, sizeof said) != 0) {
        memcpy(said, mouse_now, sizeof said);
        session_mouse(last_itime, frame.mouse, frame.resolution);
    }
    session_drawn((long)frame.number);
    /* passes_frame, with the Image pass timed, and drawn again for the overlay's pixel probe before the
     * frame is kept as the previous one. */
    passes_draw(&frame, draw_arrays, mode, first, count);
    timing_begin(passes_count() - 1);
    draw_arrays(mode, first, count);
    timing_end();
    if (overlay_shown())
        probe_draw(draw_arrays, mode, first, count, (int)floor(px), (int)ceil(py) - 1, width, height);
    passes_drawn(&frame);
}

/* The viewer's fragment text is the file's, with its includes and the Image pass's channels; the program
 * it uses is the newest that built in place of its own. */
const struct viewer_events viewer_events = {
    .window_made = window_made,
    .viewer_source = saves_viewer_source,
    .compiling = compiling,
    .linked = linked,
    .in_use = saves_drawn,
    .draw = draw,
    .frame_begins = frame_begins,
    .swapping = swapping,
    .polling = polling,
    .polled = polled,
    .clock = clock_read,
};
