#include "inputs.h"

#include <math.h>
#include <time.h>

#include "channels.h"
#include "dialects.h"

#define AT(field) offsetof(struct frame, field)

const struct input INPUTS[] = {
    {DIALECT_MAINIMAGE, "iResolution", GL_FLOAT_VEC3, 1, AT(resolution)},
    {DIALECT_MAINIMAGE, "iTime", GL_FLOAT, 1, VIEWER_SETS},
    {DIALECT_MAINIMAGE, "iTimeDelta", GL_FLOAT, 1, AT(delta)},
    {DIALECT_MAINIMAGE, "iFrameRate", GL_FLOAT, 1, AT(rate)},
    {DIALECT_MAINIMAGE, "iFrame", GL_INT, 1, AT(number)},
    {DIALECT_MAINIMAGE, "iMouse", GL_FLOAT_VEC4, 1, AT(mouse)},
    {DIALECT_MAINIMAGE, "iDate", GL_FLOAT_VEC4, 1, AT(date)},
    {DIALECT_MAINIMAGE, "iChannel0", GL_SAMPLER_2D, 1, AT(channel_unit[0])},
    {DIALECT_MAINIMAGE, "iChannel1", GL_SAMPLER_2D, 1, AT(channel_unit[1])},
    {DIALECT_MAINIMAGE, "iChannel2", GL_SAMPLER_2D, 1, AT(channel_unit[2])},
    {DIALECT_MAINIMAGE, "iChannel3", GL_SAMPLER_2D, 1, AT(channel_unit[3])},
    {DIALECT_MAINIMAGE, "iChannelResolution", GL_FLOAT_VEC3, CHANNELS, AT(channel_resolution)},
    {DIALECT_MAINIMAGE, "iChannelTime", GL_FLOAT, CHANNELS, AT(channel_time)},
    {DIALECT_MAINIMAGE, "iSampleRate", GL_FLOAT, 1, AT(sample_rate)},
};
const size_t INPUT_COUNT = sizeof INPUTS / sizeof INPUTS[0];

/* The GL types inputs have: their GLSL names, how many numbers each holds, and whether they are set as
 * integers. */
static const struct {
    GLenum type;
    const char *glsl;
    int components;
    int integer;
} TYPES[] = {
    {GL_FLOAT, "float", 1, 0},     {GL_FLOAT_VEC2, "vec2", 2, 0}, {GL_FLOAT_VEC3, "vec3", 3, 0},
    {GL_FLOAT_VEC4, "vec4", 4, 0}, {GL_INT, "int", 1, 1},         {GL_SAMPLER_2D, "sampler2D", 1, 1},
};

static size_t type_of(GLenum type)
{
    size_t t = 0;
    while (TYPES[t].type != type && t + 1 < sizeof TYPES / sizeof TYPES[0])
        t++;
    return t;
}

char *inputs_declarations(unsigned dialect)
{
    size_t room = 1, used = 0;
    for (size_t i = 0; i < INPUT_COUNT; i++)
        room += strlen(INPUTS[i].name) + 40;
    char *text = preload_alloc(room);
    text[0] = '\0';
    for (size_t i = 0; i < INPUT_COUNT; i++) {
        if (!(INPUTS[i].dialects & dialect))
            continue;
        char count[16] = "";
        if (INPUTS[i].count > 1)
            snprintf(count, sizeof count, "[%d]", INPUTS[i].count);
        used += (size_t)snprintf(text + used, room - used, "uniform %s %s%s;\n", TYPES[type_of(INPUTS[i].type)].glsl,
                                 INPUTS[i].name, count);
    }
    return text;
}

static struct {
    PFNGLGETPROGRAMIVPROC get_programiv;
    PFNGLGETACTIVEUNIFORMPROC active_uniform;
    PFNGLGETUNIFORMLOCATIONPROC location;
    PFNGLUNIFORM1FVPROC uniform1fv;
    PFNGLUNIFORM2FVPROC uniform2fv;
    PFNGLUNIFORM3FVPROC uniform3fv;
    PFNGLUNIFORM4FVPROC uniform4fv;
    PFNGLUNIFORM1IVPROC uniform1iv;
} gl;

/* Where the program in use has each input (-1: not, or not with the table's type), and how many of an
 * array it uses. */
static GLuint known_program;
static GLint location[64], used_count[64];
_Static_assert(sizeof INPUTS / sizeof INPUTS[0] <= 64, "room for every input");

static void find_inputs(GLuint program)
{
    for (size_t i = 0; i < INPUT_COUNT; i++)
        location[i] = -1;
    GLint active = 0;
    gl.get_programiv(program, GL_ACTIVE_UNIFORMS, &active);
    for (GLint u = 0; u < active; u++) {
        char name[128];
        GLint size = 0;
        GLenum type = 0;
        gl.active_uniform(program, (GLuint)u, sizeof name, NULL, &size, &type, name);
        char *bracket = strchr(name, '[');
        int array = bracket != NULL && strcmp(bracket, "[0]") == 0;
        if (array)
            *bracket = '\0';
        for (size_t i = 0; i < INPUT_COUNT; i++) {
            if (strcmp(name, INPUTS[i].name) == 0 && type == INPUTS[i].type && INPUTS[i].field != VIEWER_SETS &&
                (INPUTS[i].count > 1) == array) {
                location[i] = gl.location(program, INPUTS[i].name);
                used_count[i] = size < INPUTS[i].count ? size : INPUTS[i].count;
            }
        }
    }
    known_program = program;
}

void inputs_forget(GLuint program)
{
    if (program == known_program)
        known_program = 0;
}

static void set_one(size_t i, const struct frame *frame)
{
    const double *value = (const double *)(const void *)((const char *)frame + INPUTS[i].field);
    size_t t = type_of(INPUTS[i].type);
    int n = TYPES[t].components * used_count[i];
    if (TYPES[t].integer) {
        GLint numbers[16];
        for (int k = 0; k < n && k < 16; k++)
            numbers[k] = (GLint)value[k];
        gl.uniform1iv(location[i], used_count[i], numbers);
        return;
    }
    GLfloat numbers[16];
    for (int k = 0; k < n && k < 16; k++)
        numbers[k] = (GLfloat)value[k];
    PFNGLUNIFORM1FVPROC setter[] = {gl.uniform1fv, gl.uniform2fv, gl.uniform3fv, gl.uniform4fv};
    setter[TYPES[t].components - 1](location[i], used_count[i], numbers);
}

void inputs_set(GLuint program, struct frame *frame)
{
    if (gl.get_programiv == NULL) {
        GL_ENTRY(glGetProgramiv, gl.get_programiv);
        GL_ENTRY(glGetActiveUniform, gl.active_uniform);
        GL_ENTRY(glGetUniformLocation, gl.location);
        GL_ENTRY(glUniform1fv, gl.uniform1fv);
        GL_ENTRY(glUniform2fv, gl.uniform2fv);
        GL_ENTRY(glUniform3fv, gl.uniform3fv);
        GL_ENTRY(glUniform4fv, gl.uniform4fv);
        GL_ENTRY(glUniform1iv, gl.uniform1iv);
    }
    frame->sample_rate = 44100.0;
    channels_apply(frame);
    if (program == 0)
        return;
    if (program != known_program)
        find_inputs(program);
    for (size_t i = 0; i < INPUT_COUNT; i++)
        if (location[i] >= 0)
            set_one(i, frame);
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
