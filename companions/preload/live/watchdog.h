/*
 * live's watchdog: a thread that looks, every STALL_NS / 6, at whether the frame in progress has taken
 * longer than STALL_NS (a shader's loop that does not end), and then writes a "stalled" record. The
 * viewer's thread is inside the GL then, and cannot be interrupted; what to do when the frame ends is the
 * library's.
 */
#ifndef QUILLOMAR_WATCHDOG_H
#define QUILLOMAR_WATCHDOG_H

#include "base/base.h"

/* How long a frame may take before it is reported as stalled. */
#define STALL_NS 3000000000LL

/* Starts the thread; fails with a message when it cannot. */
void watchdog_start(void);

/* A frame began at began (preload_now_ns); 0: none is in progress (the viewer is polling its events, or
 * the library is at work that is no frame). */
void watchdog_frame(long long began);

/* The frame in progress has ended: whether it was reported as stalled. */
int watchdog_ended(void);

/* Whether the program shown is known to be that slow, and nothing came back for it: its frames are
 * reported no more, until it is said not to be. */
void watchdog_slow(int known);

#endif
