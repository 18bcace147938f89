/*
 * What the GL does to a recording's frame beyond the viewer's own draw, the one place for it: the
 * picture's size held against the GL's limits, the picture divided (--scale: drawn smaller, scaled up in
 * blocks), the Image pass drawn in tiles, and sub-frames averaged into a motion-blurred frame.
 */
#ifndef QUILLOMAR_RENDERS_H
#define QUILLOMAR_RENDERS_H

#include "gl/gl.h"
#include "gl/target.h"

/* --scale D: the picture drawn, of 1/D of picture's size (rounded up), which is iResolution; at D = 1 the
 * picture itself. */
struct target renders_divided(const struct target *picture, int scale);

/* The picture drawn (renders_divided's) made the whole picture, each of its pixels a block of D x D from the
 * bottom left, those of the top row and right column cut by its edge; nothing at D = 1. */
void renders_scaled_up(const struct target *drawn, const struct target *picture, int scale);

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
