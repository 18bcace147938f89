/*
 * Shaders written as mainImage(out vec4 fragColor, in vec2 fragCoord), as they are shared on the web,
 * for the preload libraries: the text the GL gets for them, and the inputs such shaders expect.
 */
#ifndef QUILLOMAR_MAINIMAGE_H
#define QUILLOMAR_MAINIMAGE_H

#include "preload.h"

/* A file with no #version directive that defines mainImage is such a shader: returns the text the GL
 * gets for it (a prelude, then the file under #line 1, so that messages carry the file's own line
 * numbers), which the caller frees; NULL for any other text, which goes to the GL as it is. */
char *mainimage_text(const char *text);

/* Hands text to the GL for shader through source (the GL's glShaderSource): behind the prelude when it
 * is a mainImage shader, else as it is. */
void mainimage_source(PFNGLSHADERSOURCEPROC source, GLuint shader, const char *text);

/* What one frame hands the shader besides the viewer's own uniforms. */
struct mainimage_frame {
    double time;      /* iTime, as the viewer sets it */
    double delta;     /* iTimeDelta: the previous frame's length */
    double rate;      /* iFrameRate */
    long frame;       /* iFrame: 0 on the first frame */
    double date[4];   /* iDate: year, month from 0, day, seconds since midnight */
    double mouse[4];  /* iMouse, in fragCoord pixels */
};

/* Reads the channel images that quillomar-live and quillomar-record hand over, from
 * QUILLOMAR_CHANNEL0 to QUILLOMAR_CHANNEL3 ("WIDTH HEIGHT PATH": PATH holds WIDTH x HEIGHT RGBA pixels,
 * bottom row first), so that a missing or broken one is found before any window opens. */
void mainimage_configure(void);

/* Sets, on program (the current one), each input of frame that program uses with the type such shaders
 * give it, binds the channels' textures (made on first use), and raises no GL error. */
void mainimage_set(GLuint program, const struct mainimage_frame *frame);

/* Forgets what was found out about program, whose name the GL may give to another. */
void mainimage_forget(GLuint program);

/* The date of a wall-clock time in seconds since the epoch, as iDate has it (local time). */
void mainimage_date(double seconds, double date[4]);

#endif
