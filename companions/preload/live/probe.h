/*
 * live's pixel probe: the Image pass's colour at one pixel as the shader wrote it, before the window
 * keeps it in 8 bits. The pass is drawn a second time, after the viewer's own draw and with everything
 * the same, into a 32-bit float target of the picture's size, with a scissor of that one pixel; the pixel
 * is copied into a ring of pixel buffer objects and read PROBE_LAG frames later, so nothing waits for
 * the GL. Nothing of it reaches the window, the previous frame or a recording.
 */
#ifndef QUILLOMAR_PROBE_H
#define QUILLOMAR_PROBE_H

#include "gl/gl.h"

#define PROBE_LAG 2

/* Just after the viewer's draw of a picture of width x height, its program in use with its inputs set:
 * the pass drawn again at pixel (x, y) from the bottom left (outside the picture: nothing). */
void probe_draw(PFNGLDRAWARRAYSPROC draw, GLenum mode, GLint first, GLsizei count, int x, int y, int width,
                  int height);

/* The newest value read, and its pixel: 0 while there is none. */
int probe_value(float rgba[4], int *x, int *y);

/* Gives the GL back the target and the ring, and forgets the value. */
void probe_stop(void);

#endif
