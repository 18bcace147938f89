/*
 * The Sound pass (mainSound): its program drawn on the GL into samples, SOUND_BLOCK x SOUND_BLOCK of them
 * a block (text/dialects.h), at SAMPLE_RATE.
 */
#ifndef QUILLOMAR_SOUND_H
#define QUILLOMAR_SOUND_H

#include "gl/gl.h"
#include "text/dialects.h"

/* Draws the Sound pass program (the current GL context's, built from a mainSound text) for count stereo
 * samples from sample number first, in blocks, with draw (the GL's glDrawArrays, with mode, vertex first and
 * vertex count, on the viewer's quad), and writes them to fd as 32-bit floats, left then right. Leaves the
 * framebuffer, viewport and program as they were. */
void sound_render(GLuint program, long long first, long long count, int fd, PFNGLDRAWARRAYSPROC draw, GLenum mode,
                  GLint first_vertex, GLsizei vertices);

/* sound_render into the file at path, made anew; then gives program back to the GL. */
void sound_write(GLuint program, long long first, long long count, const char *path, PFNGLDRAWARRAYSPROC draw,
                 GLenum mode, GLint first_vertex, GLsizei vertices);

#endif
