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

/* What one frame hands the shader. The policy (live.c, record.c) fills the time, the frame, the mouse
 * and the pointer, and the sizes of the picture and of what is drawn into; the channels, the previous
 * frame and the rest are filled in by inputs_set. */
struct frame {
    double time;           /* iTime, as the viewer sets it */
    double delta;          /* the previous frame's length */
    double rate;           /* frames per second */
    double number;         /* 0 on the first frame */
    double date[4];        /* year, month from 0, day, seconds since midnight */
    double mouse[4];       /* in pixels of the picture: where pressed and held, negated once released */
    double resolution[3];  /* the picture's size in the pixels of fragCoord, and 1 */
    double viewport[2];    /* the size drawn into, in pixels of gl_FragCoord */
    double pointer[2];     /* where the pointer is, 0 to 1 across what is drawn into, from the bottom left */
    double pointer_pixels[2];
    double surface_size[2];
    double channel_resolution[CHANNELS][3];
    double channel_time[CHANNELS];
    double channel_unit[CHANNELS];
    double previous_unit;  /* the texture unit of the previous frame */
    double sample_rate;
    double face;           /* the face of a cube map being drawn, 0 to 5: +X, -X, +Y, -Y, +Z, -Z */
    double keyboard_unit;  /* the texture unit of the keys, as #iKeyboard reads them */
    double sample;         /* the first sample of a block of a Sound pass being drawn */
    int wants_previous;    /* whether the program reads the previous frame (feedback_keep after the draw) */
};

struct input {
    unsigned dialects; /* the dialects whose shaders get it, a bit each (dialects.h) */
    int declared;      /* whether the dialect's prelude declares it (else the shader does) */
    const char *name;
    GLenum type;       /* as glGetActiveUniform gives it */
    int count;         /* 1, or the length of an array */
    ptrdiff_t field;   /* offsetof(struct frame, ...), or VIEWER_SETS */
};
#define VIEWER_SETS ((ptrdiff_t)-1)

extern const struct input INPUTS[];
extern const size_t INPUT_COUNT;

/* The GLSL name of a GL type inputs have ("sampler2D" for GL_SAMPLER_2D), or NULL for one of no input. */
const char *inputs_type_name(GLenum type);

/* The declarations of the inputs dialect's prelude declares, one "uniform TYPE NAME[COUNT];" line each;
 * the caller frees it. */
char *inputs_declarations(unsigned dialect);

/* Sets, on program (the current one), each input of frame that program has with the type the table gives
 * it, binds the channels (made on first use), and raises no GL error. */
void inputs_set(GLuint program, struct frame *frame);

/* Forgets what was found out about program, whose name the GL may give to another. */
void inputs_forget(GLuint program);

/* The date of a wall-clock time in seconds since the epoch, as iDate has it (local time). */
void frame_date(double seconds, double date[4]);

/* Fills the pointer's fields from where it is in pixels of what is drawn into (from the bottom left),
 * and the sizes that follow from the viewport. */
void frame_pointer(struct frame *frame, double x, double y);

/* After a draw into a picture of width x height whose program reads the previous frame: keeps the
 * picture as that frame for the next draw. */
void feedback_keep(int width, int height);

/* The previous frame's texture, as feedback_keep keeps it (0 before the first). */
GLuint feedback_texture(void);

#endif
