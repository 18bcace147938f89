/*
 * Off-screen pictures: a target is a framebuffer with one colour texture of any size and format (8-bit
 * RGBA, or floating point for passes that keep values between frames), drawn into in place of the window,
 * read back, and copied to the window so that what is drawn can be watched.
 */
#ifndef QUILLOMAR_TARGET_H
#define QUILLOMAR_TARGET_H

#include "gl/gl.h"

struct target {
    GLuint framebuffer, texture;
    int width, height;
};

/* A target of width x height pixels in internal_format (GL_RGBA8, GL_RGBA32F, ...), cleared to zero. */
struct target target_make(int width, int height, GLenum internal_format);

/* A cube map of side x side pixels a face in internal_format, cleared to zero: one target per face, in the
 * GL's order (+X, -X, +Y, -Y, +Z, -Z), all of the one texture. */
void target_make_cube(int side, GLenum internal_format, struct target faces[6]);

/* Sets every pixel of target to zero. */
void target_clear(const struct target *target);

/* Copies what overlaps of from's picture into to's, pixel for pixel from the bottom left. */
void target_copy(const struct target *from, const struct target *to);

/* Copies target onto the window's framebuffer of width x height, each pixel a block, and draws into target
 * again. */
void target_show_blocks(const struct target *target, int width, int height);

/* Copies from's picture onto to's, each pixel a block of side x side pixels from the bottom left; the
 * blocks of the last column and row are cut by to's edge (from is to's size over side, rounded up). */
void target_blocks(const struct target *from, const struct target *to, int side);

/* Gives target's framebuffer and texture back to the GL. */
void target_free(struct target *target);

/* Draws into target from now on, on all of it. */
void target_bind(const struct target *target);

/* Copies target, scaled, onto the window's framebuffer of width x height, and draws into target again. */
void target_show(const struct target *target, int width, int height);

/* Reading a target's frames back without waiting for each: a ring of pixel buffer objects, so that the
 * GL copies frame k while frame k + 1 is drawn, and frame k is taken from the GL RING - 1 frames later. */
#define RING 3
struct readback {
    GLuint buffers[RING];
    size_t size;
    long started, taken;
};

/* A ring for target's frames. */
struct readback readback_make(const struct target *target);

/* Starts the copy of target's picture as it is now; when the ring is full, first hands the oldest frame to
 * take (its RGBA bytes, bottom row first). */
void readback_start(struct readback *ring, const struct target *target,
                    void (*take)(const unsigned char *pixels, size_t size));

/* Hands every frame still in the ring to take, in order. */
void readback_finish(struct readback *ring, void (*take)(const unsigned char *pixels, size_t size));

/* The RGBA bytes of a box of the framebuffer being read, bottom row first. */
void read_pixels(int x, int y, int width, int height, unsigned char *pixels);

#endif
