/*
 * The GPU's time for each pass of a frame: a GL_TIME_ELAPSED query around each pass's draw, read
 * TIMING_LAG frames later, when the GL has long finished it, so that asking never waits for the GL. Off
 * until a library turns it on: then begin and end cost one test each.
 */
#ifndef QUILLOMAR_TIMING_H
#define QUILLOMAR_TIMING_H

#include "gl/gl.h"
#include "text/kinds.h"

/* How many frames after its draw a pass's time is read. */
#define TIMING_LAG 2

/* Turns the queries on or off; off forgets every time read. */
void timing_enable(int on);
int timing_enabled(void);

/* Around the draws of pass slot (0 .. MOST_PASSES - 1) in the frame being drawn. */
void timing_begin(int slot);
void timing_end(void);

/* The frame's draws are over: the queries of the frame TIMING_LAG frames back are read, where the GL has
 * their results (one it has not is left out, never waited for). */
void timing_frame(void);

/* Pass slot's newest time read, in milliseconds; negative while there is none. */
double timing_ms(int slot);

#endif
