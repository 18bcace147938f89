/*
 * live's clock (live.h): the program's own reads of the monotonic clock run on from its origin, except that
 * Space pauses and resumes them, Home sets iTime back to 0, and Left and Right move it by one second. A
 * "clock" record says where it is at its start and after each time key.
 */
#include "libraries/live.h"
#include "libraries/session.h"

static const long long SECOND_NS = 1000000000LL;

/* iTime is base_itime + (now - base_real), frozen at base_itime while paused; last_itime is what the frame
 * being drawn read. */
static int origin_read, paused;
static long long origin, base_real, base_itime, last_itime;

static long long itime_at(long long now)
{
    return paused ? base_itime : base_itime + (now - base_real);
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
    last_itime = itime_at(now);
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
    } else {
        return TIME_NONE;
    }
    base_itime = t;
    base_real = now;
    say_clock();
    session_time(t, paused);
    return which;
}
