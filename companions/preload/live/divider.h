/*
 * live's divider (F2): the frame drawn at 1/2, 1/4 or 1/8 of the window's size into a picture of that size
 * (iResolution, fragCoord and iMouse count in its pixels), scaled up to the window a block per pixel at
 * the swap (divider.c).
 */
#ifndef QUILLOMAR_DIVIDER_H
#define QUILLOMAR_DIVIDER_H

#include "gl/target.h"

/* The divider of the picture: 1, or 2, 4 or 8. */
int divider_now(void);

/* Sets it; set to anything else, it is 1 again. */
void divider_set(int divider);

/* As a frame begins, with the window's framebuffer of width x height: with a divider, the picture of the
 * divided size is bound to be drawn into; back to the window (and its viewport) once there is none. */
void divider_frame_begins(int width, int height);

/* Whether the frame is drawn into the divided picture, and then its size in *width and *height. */
int divider_picture(int *width, int *height);

/* The frame done: a divided picture scaled up into the window's framebuffer of width x height. */
void divider_show(int width, int height);

#endif
