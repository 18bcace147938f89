#include "text/inputs.h"

#include <math.h>
#include <time.h>

#define AT(field) offsetof(struct frame, field)

#define MAIN (DIALECT_MAINIMAGE | DIALECT_CUBEMAP | DIALECT_SOUND)
#define BOOK DIALECT_BOOK
#define SANDBOX DIALECT_SANDBOX
#define ALL (MAIN | BOOK | SANDBOX)

const struct input INPUTS[] = {
    /* What every prelude uses itself. */
    {ALL, 1, "quillomar_viewport", INPUT_VEC2, 1, AT(viewport), NULL},
    /* Shaders written as mainImage, as on Shadertoy. */
    {MAIN, 1, "iResolution", INPUT_VEC3, 1, AT(resolution), NULL},
    {MAIN, 1, "iTime", INPUT_FLOAT, 1, VIEWER_SETS, NULL},
    {MAIN, 1, "iTimeDelta", INPUT_FLOAT, 1, AT(delta), NULL},
    {MAIN, 1, "iFrameRate", INPUT_FLOAT, 1, AT(rate), NULL},
    {MAIN, 1, "iFrame", INPUT_INT, 1, AT(number), NULL},
    {MAIN, 1, "iMouse", INPUT_VEC4, 1, AT(mouse), NULL},
    {MAIN, 1, "iDate", INPUT_VEC4, 1, AT(date), NULL},
    {MAIN, 1, "iChannel0", INPUT_SAMPLER, 1, AT(channel_unit[0]), NULL},
    {MAIN, 1, "iChannel1", INPUT_SAMPLER, 1, AT(channel_unit[1]), NULL},
    {MAIN, 1, "iChannel2", INPUT_SAMPLER, 1, AT(channel_unit[2]), NULL},
    {MAIN, 1, "iChannel3", INPUT_SAMPLER, 1, AT(channel_unit[3]), NULL},
    {MAIN, 1, "iChannelResolution", INPUT_VEC3, CHANNELS, AT(channel_resolution), NULL},
    {MAIN, 1, "iChannelTime", INPUT_FLOAT, CHANNELS, AT(channel_time), NULL},
    {MAIN, 1, "iSampleRate", INPUT_FLOAT, 1, AT(sample_rate), NULL},
    {DIALECT_CUBEMAP, 1, "quillomar_face", INPUT_INT, 1, AT(face), NULL},
    {DIALECT_SOUND, 1, "quillomar_sample", INPUT_INT, 1, AT(sample), NULL},
    {MAIN, 0, "iKeyboard", INPUT_SAMPLER, 1, AT(keyboard_unit), NULL},
    /* The Book of Shaders' style (glslCanvas, glslViewer): the shader declares what it uses. */
    {BOOK, 0, "u_time", INPUT_FLOAT, 1, AT(time), NULL},
    {BOOK, 0, "u_delta", INPUT_FLOAT, 1, AT(delta), NULL},
    {BOOK, 0, "u_date", INPUT_VEC4, 1, AT(date), NULL},
    {BOOK, 0, "u_frame", INPUT_INT, 1, AT(number), NULL},
    {BOOK, 0, "u_resolution", INPUT_VEC2, 1, AT(viewport), NULL},
    {BOOK, 0, "u_mouse", INPUT_VEC2, 1, AT(pointer_pixels), NULL},
    {BOOK, 0, "u_tex0", INPUT_SAMPLER, 1, AT(channel_unit[0]), NULL},
    {BOOK, 0, "u_tex1", INPUT_SAMPLER, 1, AT(channel_unit[1]), NULL},
    {BOOK, 0, "u_tex2", INPUT_SAMPLER, 1, AT(channel_unit[2]), NULL},
    {BOOK, 0, "u_tex3", INPUT_SAMPLER, 1, AT(channel_unit[3]), NULL},
    {BOOK, 0, "u_tex0Resolution", INPUT_VEC2, 1, AT(channel_resolution[0]), NULL},
    {BOOK, 0, "u_tex1Resolution", INPUT_VEC2, 1, AT(channel_resolution[1]), NULL},
    {BOOK, 0, "u_tex2Resolution", INPUT_VEC2, 1, AT(channel_resolution[2]), NULL},
    {BOOK, 0, "u_tex3Resolution", INPUT_VEC2, 1, AT(channel_resolution[3]), NULL},
    /* GLSL Sandbox: the shader declares what it uses. */
    {SANDBOX, 0, "time", INPUT_FLOAT, 1, AT(time), NULL},
    {SANDBOX, 0, "resolution", INPUT_VEC2, 1, AT(viewport), NULL},
    {SANDBOX, 0, "mouse", INPUT_VEC2, 1, AT(pointer), NULL},
    {SANDBOX, 0, "surfaceSize", INPUT_VEC2, 1, AT(surface_size), NULL},
    {SANDBOX, 0, "backbuffer", INPUT_SAMPLER, 1, AT(previous_unit), NULL},
};
const size_t INPUT_COUNT = sizeof INPUTS / sizeof INPUTS[0];
_Static_assert(sizeof INPUTS / sizeof INPUTS[0] <= MOST_INPUTS, "room for every input");

const struct input_type_facts INPUT_TYPES[INPUT_SAMPLER + 1] = {
    [INPUT_FLOAT] = {"float", 1, 0}, [INPUT_VEC2] = {"vec2", 2, 0}, [INPUT_VEC3] = {"vec3", 3, 0},
    [INPUT_VEC4] = {"vec4", 4, 0},   [INPUT_INT] = {"int", 1, 1},   [INPUT_SAMPLER] = {"sampler2D", 1, 1},
};

/* The GLSL type a row is declared with: a channel's sampler is of its channel's kind. */
static const char *declared_type(size_t i, const enum sampler samplers[CHANNELS])
{
    for (int n = 0; n < CHANNELS; n++)
        if (INPUTS[i].type == INPUT_SAMPLER && INPUTS[i].field == (ptrdiff_t)AT(channel_unit[n]))
            return SAMPLER_NAMES[samplers[n]];
    return INPUT_TYPES[INPUTS[i].type].glsl;
}

char *inputs_declarations(unsigned dialect, const enum sampler samplers[CHANNELS])
{
    struct text text = {0};
    text_add(&text, "", 0);
    for (size_t i = 0; i < INPUT_COUNT; i++) {
        if (!(INPUTS[i].dialects & dialect) || !INPUTS[i].declared)
            continue;
        char count[16] = "";
        if (INPUTS[i].count > 1)
            snprintf(count, sizeof count, "[%d]", INPUTS[i].count);
        text_addf(&text, "uniform %s %s%s;\n", declared_type(i, samplers), INPUTS[i].name, count);
    }
    return text.data;
}

int input_fed_kind(size_t i)
{
    return INPUTS[i].type == INPUT_FLOAT ? SETTING_NUMBER
           : INPUTS[i].type == INPUT_INT ? SETTING_INT
           : INPUTS[i].type == INPUT_VEC2 ? SETTING_POINT : -1;
}

/* The values of the inputs fed from settings, once read (the rest keep their initial values). */
static double fed_values[MOST_INPUTS][4];
static int fed_read[MOST_INPUTS];

void inputs_take_settings(void)
{
    for (size_t i = 0; i < INPUT_COUNT; i++) {
        const struct fed *fed = INPUTS[i].fed;
        if (fed == NULL)
            continue;
        if (input_fed_kind(i) < 0 || INPUTS[i].count != 1)
            preload_fail("%s: an input of its type is fed from no setting", INPUTS[i].name);
        int whole[2] = {0, 0};
        double *value = fed_values[i];
        for (int c = 0; c < 4; c++)
            value[c] = fed->initial;
        enum setting_kind kind = (enum setting_kind)input_fed_kind(i);
        int given = 0;
        const struct setting read = {fed->setting, kind, 0, kind == SETTING_INT ? (void *)whole : (void *)value,
                                     &given, fed->bounds, fed->least, fed->most};
        settings_read(&read, 1);
        if (given && kind == SETTING_INT)
            value[0] = whole[0];
        fed_read[i] = 1;
    }
}

const double *input_fed_value(size_t i)
{
    if (!fed_read[i])
        for (int c = 0; c < 4; c++)
            fed_values[i][c] = INPUTS[i].fed != NULL ? INPUTS[i].fed->initial : 0.0;
    return fed_values[i];
}

int input_is_previous(size_t i)
{
    return INPUTS[i].field == (ptrdiff_t)AT(previous_unit);
}

void frame_pointer(struct frame *frame, double x, double y)
{
    double w = frame->viewport[0] > 0 ? frame->viewport[0] : 1, h = frame->viewport[1] > 0 ? frame->viewport[1] : 1;
    frame->pointer_pixels[0] = x;
    frame->pointer_pixels[1] = y;
    frame->pointer[0] = x / w;
    frame->pointer[1] = y / h;
    /* GLSL Sandbox's surface: one unit high, as wide as the picture's aspect, centred on 0. */
    frame->surface_size[0] = w / h;
    frame->surface_size[1] = 1.0;
}

void frame_date(double seconds, double date[4])
{
    time_t whole = (time_t)floor(seconds);
    struct tm local;
    localtime_r(&whole, &local);
    date[0] = local.tm_year + 1900;
    date[1] = local.tm_mon;
    date[2] = local.tm_mday;
    date[3] = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + (seconds - (double)whole);
}
