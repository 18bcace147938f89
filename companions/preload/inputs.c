#include "inputs.h"

#include <math.h>
#include <time.h>

#include "dialects.h"
#include "passes.h"

#define AT(field) offsetof(struct frame, field)

/* The texture unit the previous frame is bound to: after the channels'. */
#define PREVIOUS_UNIT CHANNELS

#define MAIN (DIALECT_MAINIMAGE | DIALECT_CUBEMAP | DIALECT_SOUND)
#define BOOK DIALECT_BOOK
#define SANDBOX DIALECT_SANDBOX
#define ALL (MAIN | BOOK | SANDBOX)

const struct input INPUTS[] = {
    /* What every prelude uses itself. */
    {ALL, 1, "quillomar_viewport", GL_FLOAT_VEC2, 1, AT(viewport)},
    /* Shaders written as mainImage, as on Shadertoy. */
    {MAIN, 1, "iResolution", GL_FLOAT_VEC3, 1, AT(resolution)},
    {MAIN, 1, "iTime", GL_FLOAT, 1, VIEWER_SETS},
    {MAIN, 1, "iTimeDelta", GL_FLOAT, 1, AT(delta)},
    {MAIN, 1, "iFrameRate", GL_FLOAT, 1, AT(rate)},
    {MAIN, 1, "iFrame", GL_INT, 1, AT(number)},
    {MAIN, 1, "iMouse", GL_FLOAT_VEC4, 1, AT(mouse)},
    {MAIN, 1, "iDate", GL_FLOAT_VEC4, 1, AT(date)},
    {MAIN, 1, "iChannel0", GL_SAMPLER_2D, 1, AT(channel_unit[0])},
    {MAIN, 1, "iChannel1", GL_SAMPLER_2D, 1, AT(channel_unit[1])},
    {MAIN, 1, "iChannel2", GL_SAMPLER_2D, 1, AT(channel_unit[2])},
    {MAIN, 1, "iChannel3", GL_SAMPLER_2D, 1, AT(channel_unit[3])},
    {MAIN, 1, "iChannelResolution", GL_FLOAT_VEC3, CHANNELS, AT(channel_resolution)},
    {MAIN, 1, "iChannelTime", GL_FLOAT, CHANNELS, AT(channel_time)},
    {MAIN, 1, "iSampleRate", GL_FLOAT, 1, AT(sample_rate)},
    {DIALECT_CUBEMAP, 1, "quillomar_face", GL_INT, 1, AT(face)},
    {DIALECT_SOUND, 1, "quillomar_sample", GL_INT, 1, AT(sample)},
    {MAIN, 0, "iKeyboard", GL_SAMPLER_2D, 1, AT(keyboard_unit)},
    /* The Book of Shaders' style (glslCanvas, glslViewer): the shader declares what it uses. */
    {BOOK, 0, "u_time", GL_FLOAT, 1, AT(time)},
    {BOOK, 0, "u_delta", GL_FLOAT, 1, AT(delta)},
    {BOOK, 0, "u_date", GL_FLOAT_VEC4, 1, AT(date)},
    {BOOK, 0, "u_frame", GL_INT, 1, AT(number)},
    {BOOK, 0, "u_resolution", GL_FLOAT_VEC2, 1, AT(viewport)},
    {BOOK, 0, "u_mouse", GL_FLOAT_VEC2, 1, AT(pointer_pixels)},
    {BOOK, 0, "u_tex0", GL_SAMPLER_2D, 1, AT(channel_unit[0])},
    {BOOK, 0, "u_tex1", GL_SAMPLER_2D, 1, AT(channel_unit[1])},
    {BOOK, 0, "u_tex2", GL_SAMPLER_2D, 1, AT(channel_unit[2])},
    {BOOK, 0, "u_tex3", GL_SAMPLER_2D, 1, AT(channel_unit[3])},
    {BOOK, 0, "u_tex0Resolution", GL_FLOAT_VEC2, 1, AT(channel_resolution[0])},
    {BOOK, 0, "u_tex1Resolution", GL_FLOAT_VEC2, 1, AT(channel_resolution[1])},
    {BOOK, 0, "u_tex2Resolution", GL_FLOAT_VEC2, 1, AT(channel_resolution[2])},
    {BOOK, 0, "u_tex3Resolution", GL_FLOAT_VEC2, 1, AT(channel_resolution[3])},
    /* GLSL Sandbox: the shader declares what it uses. */
    {SANDBOX, 0, "time", GL_FLOAT, 1, AT(time)},
    {SANDBOX, 0, "resolution", GL_FLOAT_VEC2, 1, AT(viewport)},
    {SANDBOX, 0, "mouse", GL_FLOAT_VEC2, 1, AT(pointer)},
    {SANDBOX, 0, "surfaceSize", GL_FLOAT_VEC2, 1, AT(surface_size)},
    {SANDBOX, 0, "backbuffer", GL_SAMPLER_2D, 1, AT(previous_unit)},
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
    {GL_SAMPLER_CUBE, "samplerCube", 1, 1}, {GL_SAMPLER_3D, "sampler3D", 1, 1},
};

/* The type a row is declared and set with: a channel's sampler is of its channel's kind. */
static GLenum type_of_row(size_t i)
{
    for (int n = 0; n < CHANNELS; n++)
        if (INPUTS[i].type == GL_SAMPLER_2D && INPUTS[i].field == (ptrdiff_t)AT(channel_unit[n]))
            return passes_sampler_type(n);
    return INPUTS[i].type;
}

static size_t type_of(GLenum type)
{
    size_t t = 0;
    while (TYPES[t].type != type && t + 1 < sizeof TYPES / sizeof TYPES[0])
        t++;
    return t;
}

const char *inputs_type_name(GLenum type)
{
    return TYPES[type_of(type)].type == type ? TYPES[type_of(type)].glsl : NULL;
}

char *inputs_declarations(unsigned dialect)
{
    size_t room = 1, used = 0;
    for (size_t i = 0; i < INPUT_COUNT; i++)
        room += strlen(INPUTS[i].name) + 40;
    char *text = preload_alloc(room);
    text[0] = '\0';
    for (size_t i = 0; i < INPUT_COUNT; i++) {
        if (!(INPUTS[i].dialects & dialect) || !INPUTS[i].declared)
            continue;
        char count[16] = "";
        if (INPUTS[i].count > 1)
            snprintf(count, sizeof count, "[%d]", INPUTS[i].count);
        used += (size_t)snprintf(text + used, room - used, "uniform %s %s%s;\n", TYPES[type_of(type_of_row(i))].glsl,
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

/* Where each program drawn with lately (a pass each) has each input (-1: not, or not with the table's
 * type), and how many of an array it uses; the one in use is *known. */
#define KNOWN 24
static struct known {
    GLuint program;
    long used; /* when it was last looked up, for the one to forget */
    GLint location[64], used_count[64];
} knowns[KNOWN], *known;
static long lookups;
_Static_assert(sizeof INPUTS / sizeof INPUTS[0] <= 64, "room for every input");

static int is_sampler(GLenum type)
{
    return type == GL_SAMPLER_2D || type == GL_SAMPLER_CUBE || type == GL_SAMPLER_3D;
}

/* Finds where program has each input, in the entry used longest ago. */
static void find_inputs(GLuint program)
{
    known = &knowns[0];
    for (int k = 1; k < KNOWN; k++)
        if (knowns[k].used < known->used)
            known = &knowns[k];
    known->program = program;
    GLint *location = known->location, *used_count = known->used_count;
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
            if (strcmp(name, INPUTS[i].name) == 0 && (type == INPUTS[i].type || (is_sampler(type) && is_sampler(INPUTS[i].type))) && INPUTS[i].field != VIEWER_SETS &&
                (INPUTS[i].count > 1) == array) {
                location[i] = gl.location(program, INPUTS[i].name);
                used_count[i] = size < INPUTS[i].count ? size : INPUTS[i].count;
            }
        }
    }
}

void inputs_forget(GLuint program)
{
    for (int k = 0; k < KNOWN; k++)
        if (knowns[k].program == program)
            knowns[k] = (struct known){0};
    known = NULL;
}

static void set_one(size_t i, const struct frame *frame)
{
    const double *value = (const double *)(const void *)((const char *)frame + INPUTS[i].field);
    size_t t = type_of(INPUTS[i].type);
    GLint location = known->location[i], used_count = known->used_count[i];
    int n = TYPES[t].components * used_count;
    if (TYPES[t].integer) {
        GLint numbers[16];
        for (int k = 0; k < n && k < 16; k++)
            numbers[k] = (GLint)value[k];
        gl.uniform1iv(location, used_count, numbers);
        return;
    }
    GLfloat numbers[16];
    for (int k = 0; k < n && k < 16; k++)
        numbers[k] = (GLfloat)value[k];
    PFNGLUNIFORM1FVPROC setter[] = {gl.uniform1fv, gl.uniform2fv, gl.uniform3fv, gl.uniform4fv};
    setter[TYPES[t].components - 1](location, used_count, numbers);
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
    frame->previous_unit = PREVIOUS_UNIT;
    if (program == 0)
        return;
    if (known == NULL || known->program != program) {
        known = NULL;
        for (int k = 0; k < KNOWN && known == NULL; k++)
            known = knowns[k].program == program ? &knowns[k] : NULL;
        if (known == NULL)
            find_inputs(program);
    }
    known->used = ++lookups;
    for (size_t i = 0; i < INPUT_COUNT; i++) {
        if (known->location[i] < 0)
            continue;
        set_one(i, frame);
        frame->wants_previous |= INPUTS[i].field == (ptrdiff_t)AT(previous_unit);
    }
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

static struct {
    PFNGLACTIVETEXTUREPROC active_texture;
    PFNGLGENTEXTURESPROC gen_textures;
    PFNGLBINDTEXTUREPROC bind_texture;
    PFNGLTEXIMAGE2DPROC tex_image;
    PFNGLTEXPARAMETERIPROC tex_parameter;
    PFNGLCOPYTEXSUBIMAGE2DPROC copy_tex_sub_image;
} feedback_gl;

static GLuint texture;

GLuint feedback_texture(void)
{
    return texture;
}

void feedback_keep(int width, int height)
{
    static int kept[2];
    if (feedback_gl.active_texture == NULL) {
        GL_ENTRY(glActiveTexture, feedback_gl.active_texture);
        GL_ENTRY(glGenTextures, feedback_gl.gen_textures);
        GL_ENTRY(glBindTexture, feedback_gl.bind_texture);
        GL_ENTRY(glTexImage2D, feedback_gl.tex_image);
        GL_ENTRY(glTexParameteri, feedback_gl.tex_parameter);
        GL_ENTRY(glCopyTexSubImage2D, feedback_gl.copy_tex_sub_image);
        feedback_gl.gen_textures(1, &texture);
    }
    feedback_gl.active_texture(GL_TEXTURE0 + PREVIOUS_UNIT);
    feedback_gl.bind_texture(GL_TEXTURE_2D, texture);
    if (kept[0] != width || kept[1] != height) {
        feedback_gl.tex_image(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, NULL);
        feedback_gl.tex_parameter(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        feedback_gl.tex_parameter(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        kept[0] = width;
        kept[1] = height;
    }
    feedback_gl.copy_tex_sub_image(GL_TEXTURE_2D, 0, 0, 0, 0, 0, width, height);
    feedback_gl.active_texture(GL_TEXTURE0);
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
