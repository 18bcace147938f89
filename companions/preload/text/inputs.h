/*
 * The inputs shaders from the web expect besides the viewer's own uniforms: one table (inputs.c) names
 * each, with its type, its array length, the dialects that declare it and the field of struct frame it
 * is set from. The preludes' declarations are derived from it here; setting each input the program in
 * use has, every frame, is gl/uniforms.c's.
 */
#ifndef QUILLOMAR_INPUTS_H
#define QUILLOMAR_INPUTS_H

#include "text/source.h"
#include "base/settings.h"

/* iSampleRate: the samples per second of sound channels and of the Sound pass. */
#define SAMPLE_RATE 44100

/* The dialects (text/dialects.h), a bit each: which get an input. */
enum {
    DIALECT_MAINIMAGE = 1u << 0,
    DIALECT_BOOK = 1u << 1,
    DIALECT_SANDBOX = 1u << 2,
    DIALECT_CUBEMAP = 1u << 3,
    DIALECT_SOUND = 1u << 4,
};

/* What one frame hands the shader. The policy (live.c, record.c) fills the time, the frame, the mouse
 * and the pointer, and the sizes of the picture and of what is drawn into; the channels' fields, the
 * units and the rest are filled in as the passes are drawn (gl/channels.c, gl/uniforms.c). */
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

/* The types inputs have, and for each its GLSL name, how many numbers it holds and whether it is set as
 * integers. A sampler is declared as its channel's sampler type. */
enum input_type { INPUT_FLOAT, INPUT_VEC2, INPUT_VEC3, INPUT_VEC4, INPUT_INT, INPUT_SAMPLER };
extern const struct input_type_facts {
    const char *glsl;
    int components;
    int integer;
} INPUT_TYPES[INPUT_SAMPLER + 1];

/* An input fed from a setting its command writes (a recorder's option): the setting (a number for a float
 * or int, a point for a vec2), its value when the setting is not given (each component's), and its bounds,
 * as settings.h has them. The library reads it generically (inputs_take_settings) and sets the uniform
 * every frame; translate --describe lists it with the settings, for the command's option. */
struct fed {
    const char *setting;
    double initial;
    unsigned bounds;
    double least, most;
};

struct input {
    unsigned dialects;    /* the dialects whose shaders get it, a bit each */
    int declared;         /* whether the dialect's prelude declares it (else the shader does) */
    const char *name;
    enum input_type type;
    int count;            /* 1, or the length of an array */
    ptrdiff_t field;      /* offsetof(struct frame, ...), VIEWER_SETS, or FED (from fed's setting) */
    const struct fed *fed; /* NULL, or the setting that feeds it */
};
#define VIEWER_SETS ((ptrdiff_t)-1)
#define FED ((ptrdiff_t)-2)

extern const struct input INPUTS[];
extern const size_t INPUT_COUNT;
#define MOST_INPUTS 64

/* The declarations of the inputs dialect's prelude declares, one "uniform TYPE NAME[COUNT];" line each,
 * iChannelN's TYPE samplers[N]; the caller frees it. */
char *inputs_declarations(unsigned dialect, const enum sampler samplers[CHANNELS]);

/* The setting kind that feeds INPUTS[i] (a float or int a number, a vec2 a point), or -1 where none can. */
int input_fed_kind(size_t i);

/* Reads the setting of each input fed from one (those not given keep their initial values), for the
 * libraries whose command writes them. */
void inputs_take_settings(void);

/* The value of INPUTS[i] where it is fed from a setting: its components, as the setting gave them. */
const double *input_fed_value(size_t i);

/* Whether INPUTS[i] is the previous frame, which the program then reads. */
int input_is_previous(size_t i);

/* The date of a wall-clock time in seconds since the epoch, as iDate has it (local time). */
void frame_date(double seconds, double date[4]);

/* Fills the pointer's fields from where it is in pixels of what is drawn into (from the bottom left),
 * and the sizes that follow from the viewport. */
void frame_pointer(struct frame *frame, double x, double y);

#endif
