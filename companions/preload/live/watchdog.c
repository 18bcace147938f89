/* live's watchdog (watchdog.h). */
#include "live/watchdog.h"

#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <time.h>

/* When the frame in progress began, whether it was reported, and whether the program is known slow. */
static _Atomic long long frame_began;
static atomic_int stall_reported;
static atomic_int slow_known;

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
            snprintf(seconds, sizeof seconds, "%lld", STALL_NS / 1000000000LL);
            const struct field fields[] = {FIELD("seconds", seconds)};
            record_write(STDERR_FILENO, "stalled", fields, 1);
        }
    }
    return NULL;
}

void watchdog_start(void)
{
    pthread_t watchdog;
    if (pthread_create(&watchdog, NULL, watch_frames, NULL) != 0)
        preload_fail("the watchdog thread: %s", strerror(errno));
}

void watchdog_frame(long long began)
{
    atomic_store(&frame_began, began);
}

int watchdog_ended(void)
{
    return atomic_exchange(&stall_reported, 0);
}

void watchdog_slow(int known)
{
    atomic_store(&slow_known, known);
}
