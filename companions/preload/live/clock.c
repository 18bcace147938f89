/*
 * live's clock (live.h): the program's own reads of the monotonic clock run on from its origin, except that
 * Space pauses and resumes them, Home sets iTime back to 0, Left and Right move it by one second, and
 * Comma and Period step one frame (STEP_NS) back and forth, paused. The overlay's timeline also sets iTime,
 * the speed it runs at and a range it loops over. A "clock" record says where it is at its start and after
 * each time key and each change of the timeline.
 */
#include "live/clock.h"
#include "live/session.h"

static const long long SECOND_NS = 1000000000LL;

/* iTime is base_itime + (now - base_real) x speed, frozen at base_itime while paused, and taken back into
 * [loop_from, loop_to) once it reaches loop_to when that range is set (the frame that reads it so runs on
 * from there: a jump, as a time key is); last_itime is what the frame being drawn read. steps: the frames stepped since the library last asked. */
static int origin_read, paused, steps;
static long long origin, base_real, base_itime, last_itime, loop_from, loop_to;
static double speed = 1.0;

/* iTime at now as the clock runs, before the loop takes it back. */
static long long running_at(long long now)
{
    return paused ? base_itime : base_itime + (long long)((double)(now - base_real) * speed);
}

static long long itime_at(long long now)
{
    long long t = running_at(now);
    if (loop_to > loop_from && t >= loop_to)
        t = loop_from + (t - loop_from) % (loop_to - loop_from);
    return t;
}

/* Says where the clock is: iTime, and whether it is paused. */
static void say_clock(void)
{
    char itime[32], still[8];
    snprintf(itime, sizeof itime, "%.6f", (double)itime_at(preload_real_now()) / 1e9);
    snprintf(still, sizeof still, "%d", paused);
    const struct field fields[] = {FIELD("itime", itime), FIELD("paused", still)};
    record_write(STDERR_FILENO, "clock", fields, 2);
}

long long clock_read(int origin_now)
{
    long long now = preload_real_now();
    if (origin_now) {
        origin_read = 1;
        origin = base_real = now;
        session_origin(now);
        say_clock();
    }
    long long run = running_at(now);
    last_itime = itime_at(now);
    if (run != last_itime) {
        /* The loop taken back: iTime runs on from there, and the session hears of the jump. */
        base_itime = last_itime;
        base_real = now;
        session_time(base_itime, paused, speed);
    }
    return origin + last_itime;
}

long long clock_now(void)
{
    return itime_at(preload_real_now());
}

long long clock_itime(void)
{
    return last_itime;
}

int clock_paused(void)
{
    return paused;
}

enum time_key clock_key(int key, int action)
{
    if (action == GLFW_RELEASE || !origin_read)
        return TIME_NONE;
    long long now = preload_real_now();
    long long t = itime_at(now);
    enum time_key which = TIME_MOVE;
    if (key == GLFW_KEY_SPACE && action == GLFW_PRESS) {
        paused = !paused;
        which = TIME_PAUSE;
    } else if (key == GLFW_KEY_HOME && action == GLFW_PRESS) {
        /* From the start: iTime 0 (and the library's iFrame 0 and buffers cleared). */
        t = 0;
        which = TIME_HOME;
    } else if (key == GLFW_KEY_LEFT) {
        t = t > SECOND_NS ? t - SECOND_NS : 0;
    } else if (key == GLFW_KEY_RIGHT) {
        t += SECOND_NS;
    } else if (key == GLFW_KEY_COMMA || key == GLFW_KEY_PERIOD) {
        clock_step(key == GLFW_KEY_PERIOD ? 1 : -1);
        return TIME_STEP;
    } else {
        return TIME_NONE;
    }
    base_itime = t;
    base_real = now;
    say_clock();
    session_time(t, paused, speed);
    return which;
}

/* The clock runs on from iTime t now. */
static void set_base(long long t)
{
    base_itime = t > 0 ? t : 0;
    base_real = preload_real_now();
}

void clock_set(long long itime)
{
    if (!origin_read)
        return;
    set_base(itime);
    say_clock();
    session_time(base_itime, paused, speed);
}

void clock_pause(int pause)
{
    if (!origin_read || pause == paused)
        return;
    set_base(itime_at(preload_real_now()));
    paused = pause;
    say_clock();
    session_time(base_itime, paused, speed);
}

void clock_step(int frames)
{
    if (!origin_read)
        return;
    long long t = itime_at(preload_real_now());
    paused = 1;
    set_base(t + frames * STEP_NS);
    steps += frames;
    say_clock();
    session_time(base_itime, paused, speed);
}

int clock_steps_taken(void)
{
    int taken = steps;
    steps = 0;
    return taken;
}

void clock_set_speed(double factor)
{
    set_base(itime_at(preload_real_now()));
    speed = factor > 0 ? factor : 0;
    if (origin_read)
        session_time(base_itime, paused, speed);
}

double clock_speed(void)
{
    return speed;
}

void clock_set_loop(long long from, long long to)
{
    set_base(itime_at(preload_real_now()));
    loop_from = from > 0 ? from : 0;
    loop_to = to;
}

int clock_loop(long long *from, long long *to)
{
    *from = loop_from;
    *to = loop_to;
    return loop_to > loop_from;
}
