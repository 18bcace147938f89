/*
 * The inputs of a frame (text/inputs.h) set on the program in use: each input the program has, with the
 * type the table gives it; and the previous frame, kept for a program that reads it.
 */
#ifndef QUILLOMAR_UNIFORMS_H
#define QUILLOMAR_UNIFORMS_H

#include "gl/gl.h"
#include "text/inputs.h"

/* Sets, on program (the current one), each input of frame that program has with the type the table gives
 * it (the channels' fields as channels_bind filled them), and raises no GL error. */
void inputs_set(GLuint program, struct frame *frame);

/* Forgets what was found out about program, whose name the GL may give to another. */
void inputs_forget(GLuint program);

/* After a draw into a picture of width x height whose program reads the previous frame: keeps the
 * picture as that frame for the next draw. */
void feedback_keep(int width, int height);

/* The previous frame's texture, as feedback_keep keeps it (0 before the first). */
GLuint feedback_texture(void);

#endif
