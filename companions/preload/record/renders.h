/*
 * What a recording adds to the drawing of a frame for production renders: the picture's size held against
 * the GL's limits, the Image pass drawn in tiles, and sub-frames averaged into a motion-blurred frame.
 */
#ifndef QUILLOMAR_RENDERS_H
#define QUILLOMAR_RENDERS_H

#include "gl/gl.h"

/* The Image pass's draw (draw(mode, first, count)) made as tiles x tiles draws into the bound picture of
 * width x height, each cut out of the whole viewport by the scissor (so fragCoord and the viewer's
 * varyings are those of the whole picture) and finished before the next begins; returns the draws made. */
int renders_tiled(PFNGLDRAWARRAYSPROC draw, GLenum mode, GLint first, GLsizei count, int width, int height,
                   int tiles);

/* Motion blur: pixels (count bytes, RGBA), one of n sub-frames, added in floating point to the frame being
 * made; after the nth, the frame (their average, rounded to the nearest), else NULL. With alpha, the colours
 * are straight and averaged premultiplied: each weighted by its alpha, so that a sub-frame with none adds
 * none of its colour. */
const unsigned char *renders_blended(const unsigned char *pixels, size_t count, int n, int alpha);

/* The name of the first of the GL's limits that a picture of width x height exceeds (the largest texture,
 * renderbuffer, viewport), with the limit in *limit; NULL when it is within them all. */
const char *renders_too_large(int width, int height, int *limit);

#endif
