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
    {ALL, 1, "quillomar_viewport", INPUT_VEC2, 1, AT(viewport)},
    /* Shaders written as mainImage, as on Shadertoy. */
    {MAIN, 1, "iResolution", INPUT_VEC3, 1, AT(resolution)},
    {MAIN, 1, "iTime", INPUT_FLOAT, 1, VIEWER_SETS},
    {MAIN, 1, "iTimeDelta", INPUT_FLOAT, 1, AT(delta)},
    {MAIN, 1, "iFrameRate", INPUT_FLOAT, 1, AT(rate)},
    {MAIN, 1, "iFrame", INPUT_INT, 1, AT(number)},
    {MAIN, 1, "iMouse", INPUT_VEC4, 1, AT(mouse)},
    {MAIN, 1, "iDate", INPUT_VEC4, 1, AT(date)},
    {MAIN, 1, "iChannel0", INPUT_SAMPLER, 1, AT(channel_unit[0])},
    {MAIN, 1, "iChannel1", INPUT_SAMPLER, 1, AT(channel_unit[1])},
    {MAIN, 1, "iChannel2", INPUT_SAMPLER, 1, AT(channel_unit[2])},
    {MAIN, 1, "iChannel3", INPUT_SAMPLER, 1, AT(channel_unit[3])},
    {MAIN, 1, "iChannelResolution", INPUT_VEC3, CHANNELS, AT(channel_resolution)},
    {MAIN, 1, "iChannelTime", INPUT_FLOAT, CHANNELS, AT(channel_time)},
    {MAIN, 1, "iSampleRate", INPUT_FLOAT, 1, AT(sample_rate)},
    {DIALECT_CUBEMAP, 1, "quillomar_face", INPUT_INT, 1, AT(face)},
    {DIALECT_SOUND, 1, "quillomar_sample", INPUT_INT, 1, AT(sample)},
    {MAIN, 0, "iKeyboard", INPUT_SAMPLER, 1, AT(keyboard_unit)},
    /* The Book of Shaders' style (glslCanvas, glslViewer): the shader declares what it uses. */
    {BOOK, 0, "u_time", INPUT_FLOAT, 1, AT(time)},
    {BOOK, 0, "u_delta", INPUT_FLOAT, 1, AT(delta)},
    {BOOK, 0, "u_date", INPUT_VEC4, 1, AT(date)},
    {BOOK, 0, "u_frame", INPUT_INT, 1, AT(number)},
    {BOOK, 0, "u_resolution", INPUT_VEC2, 1, AT(viewport)},
    {BOOK, 0, "u_mouse", INPUT_VEC2, 1, AT(pointer_pixels)},
    {BOOK, 0, "u_tex0", INPUT_SAMPLER, 1, AT(channel_unit[0])},
    {BOOK, 0, "u_tex1", INPUT_SAMPLER, 1, AT(channel_unit[1])},
    {BOOK, 0, "u_tex2", INPUT_SAMPLER, 1, AT(channel_unit[2])},
    {BOOK, 0, "u_tex3", INPUT_SAMPLER, 1, AT(channel_unit[3])},
    {BOOK, 0, "u_tex0Resolution", INPUT_VEC2, 1, AT(channel_resolution[0])},
    {BOOK, 0, "u_tex1Resolution", INPUT_VEC2, 1, AT(channel_resolution[1])},
    {BOOK, 0, "u_tex2Resolution", INPUT_VEC2, 1, AT(channel_resolution[2])},
    {BOOK, 0, "u_tex3Resolution", INPUT_VEC2, 1, AT(channel_resolution[3])},
    /* GLSL Sandbox: the shader declares what it uses. */
    {SANDBOX, 0, "time", INPUT_FLOAT, 1, AT(time)},
    {SANDBOX, 0, "resolution", INPUT_VEC2, 1, AT(viewport)},
    {SANDBOX, 0, "mouse", INPUT_VEC2, 1, AT(pointer)},
    {SANDBOX, 0, "surfaceSize", INPUT_VEC2, 1, AT(surface_size)},
    {SANDBOX, 0, "backbuffer", INPUT_SAMPLER, 1, AT(previous_unit)},
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
