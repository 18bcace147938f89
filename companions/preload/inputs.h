/*
 * The inputs shaders from the web expect besides the viewer's own uniforms: one table (inputs.c) names
 * each, with its GL type, its array length, the dialects that declare it and the field of struct frame it
 * is set from. The preludes' declarations are derived from it, and so is the setting, every frame, of
 * each input the program in use has.
 */
#ifndef QUILLOMAR_INPUTS_H
#define QUILLOMAR_INPUTS_H

#include "preload.h"

#define CHANNELS 4

/* What one frame hands the shader. The policy (live.c, record.c) fills the time, the frame and the mouse;
 * the picture's size comes from what is drawn into; the channels fill their own. */
struct frame {
    double time;      /* iTime, as the viewer sets it */
    double delta;     /* the previous frame's length */
    double rate;      /* frames per second */
    double number;    /* 0 on the first frame */
    double date[4];   /* year, month from 0, day, seconds since midnight */
    double mouse[4];  /* in pixels of the picture */
    double resolution[3];
    double channel_resolution[CHANNELS][3];
    double channel_time[CHANNELS];
    double channel_unit[CHANNELS];
    double sample_rate;
};

struct input {
    unsigned dialects; /* the dialects that declare it, a bit each (dialects.h) */
    const char *name;
    GLenum type;       /* as glGetActiveUniform gives it */
    int count;         /* 1, or the length of an array */
    ptrdiff_t field;   /* offsetof(struct frame, ...), or VIEWER_SETS */
};
#define VIEWER_SETS ((ptrdiff_t)-1)

extern const struct input INPUTS[];
extern const size_t INPUT_COUNT;

/* The declarations of dialect's inputs, one "uniform TYPE NAME[COUNT];" line each; the caller frees it. */
char *inputs_declarations(unsigned dialect);

/* Sets, on program (the current one), each input of frame that program has with the type the table gives
 * it, binds the channels (made on first use), and raises no GL error. */
void inputs_set(GLuint program, struct frame *frame);

/* Forgets what was found out about program, whose name the GL may give to another. */
void inputs_forget(GLuint program);

/* The date of a wall-clock time in seconds since the epoch, as iDate has it (local time). */
void frame_date(double seconds, double date[4]);

#endif
