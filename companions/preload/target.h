/*
 * Off-screen pictures: a target is a framebuffer with one colour texture of any size and format (8-bit
 * RGBA, or floating point for passes that keep values between frames), drawn into in place of the window,
 * read back, and copied to the window so that what is drawn can be watched.
 */
#ifndef QUILLOMAR_TARGET_H
#define QUILLOMAR_TARGET_H

#include "preload.h"

struct target {
    GLuint framebuffer, texture;
    int width, height;
};

/* A target of width x height pixels in internal_format (GL_RGBA8, GL_RGBA32F, ...), cleared to zero. */
struct target target_make(int width, int height, GLenum internal_format);

/* Draws into target from now on, on all of it. */
void target_bind(const struct target *target);

/* target's pixels as RGBA bytes, bottom row first, into pixels (width x height x 4 bytes). */
void target_read(const struct target *target, unsigned char *pixels);

/* Copies target, scaled, onto the window's framebuffer of width x height, and draws into target again. */
void target_show(const struct target *target, int width, int height);

/* The RGBA bytes of a box of the framebuffer being read, bottom row first. */
void read_pixels(int x, int y, int width, int height, unsigned char *pixels);

#endif
