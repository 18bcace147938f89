/*
 * live's clock (clock.c): the program's own reads of the clock, the time keys and the overlay's timeline.
 */
#ifndef QUILLOMAR_CLOCK_H
#define QUILLOMAR_CLOCK_H

#include "gl/gl.h"

/* The program's read of the clock (origin_now: its time origin), as viewer.h's clock event: the origin is
 * the real time then, and every later read runs on from it by iTime. */
long long clock_read(int origin_now);

/* What the frame being drawn read of the clock, as iTime in nanoseconds, and whether time is paused. */
long long clock_itime(void);
/* Where iTime is now, in nanoseconds, between frames. */
long long clock_now(void);
int clock_paused(void);

/* A key of the window (GLFW's key and action) as a time key, once the clock has started: Space pauses and
 * resumes, Home sets iTime back to 0, Left and Right move it by one second, Comma and Period step one frame
 * back and forth (clock_step). Says which it was. */
enum time_key { TIME_NONE, TIME_PAUSE, TIME_HOME, TIME_MOVE, TIME_STEP };
enum time_key clock_key(int key, int action);

/* The timeline, once the clock has started: iTime set (from 0 up), paused or resumed. */
void clock_set(long long itime);
void clock_pause(int pause);

/* One frame is STEP_NS of iTime: frames steps paused, iTime moved by that many frames (from 0 up) and
 * iFrame by that many; clock_steps_taken says how many frames were stepped since it was last asked. */
#define STEP_NS (1000000000LL / 60)
void clock_step(int frames);
int clock_steps_taken(void);

/* How fast iTime runs (1: as the real clock; 0 up), and the range [from, to) it loops over once it
 * reaches to (none while to <= from), in nanoseconds of iTime. */
void clock_set_speed(double factor);
double clock_speed(void);
void clock_set_loop(long long from, long long to);
int clock_loop(long long *from, long long *to);

#endif
