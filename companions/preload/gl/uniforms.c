/* The inputs of a frame set on a program, and the previous frame (uniforms.h). */
#include "gl/uniforms.h"

#include "gl/units.h"
#include "text/tuned.h"

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
    GLint location[MOST_INPUTS], used_count[MOST_INPUTS];
    GLint tuned[MOST_TUNED]; /* where it has each #iUniform of the table (-1: not, or not of its type) */
} knowns[KNOWN], *known;
static long lookups;

static int is_sampler(GLenum type)
{
    return type == GL_SAMPLER_2D || type == GL_SAMPLER_CUBE || type == GL_SAMPLER_3D;
}

/* Whether a uniform of the GL's type is one of the table's type. */
static int of_type(GLenum type, enum input_type input)
{
    static const GLenum GL_TYPES[] = {[INPUT_FLOAT] = GL_FLOAT, [INPUT_VEC2] = GL_FLOAT_VEC2,
                                      [INPUT_VEC3] = GL_FLOAT_VEC3, [INPUT_VEC4] = GL_FLOAT_VEC4,
                                      [INPUT_INT] = GL_INT};
    return input == INPUT_SAMPLER ? is_sampler(type) : type == GL_TYPES[input];
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
    for (size_t t = 0; t < MOST_TUNED; t++)
        known->tuned[t] = -1;
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
            if (strcmp(name, INPUTS[i].name) == 0 && of_type(type, INPUTS[i].type) && INPUTS[i].field != VIEWER_SETS &&
                (INPUTS[i].count > 1) == array) {
                location[i] = gl.location(program, INPUTS[i].name);
                used_count[i] = size < INPUTS[i].count ? size : INPUTS[i].count;
            }
        }
        for (size_t t = 0; t < tuned_count() && !array; t++) {
            const struct tuned_uniform *row = tuned_at(t);
            static const enum input_type AS[] = {INPUT_FLOAT, INPUT_VEC2, INPUT_VEC3, INPUT_VEC4};
            if (strcmp(name, row->name) == 0 && of_type(type, row->integer ? INPUT_INT : AS[row->components - 1]))
                known->tuned[t] = gl.location(program, row->name);
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
    const double *value = INPUTS[i].field == FED ? input_fed_value(i)
                          : (const double *)(const void *)((const char *)frame + INPUTS[i].field);
    const struct input_type_facts *t = &INPUT_TYPES[INPUTS[i].type];
    GLint location = known->location[i], used_count = known->used_count[i];
    int n = t->components * used_count;
    if (t->integer) {
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
    setter[t->components - 1](location, used_count, numbers);
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
    frame->sample_rate = SAMPLE_RATE;
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
        frame->wants_previous |= input_is_previous(i);
    }
    for (size_t t = 0; t < tuned_count(); t++) {
        const struct tuned_uniform *u = tuned_at(t);
        if (known->tuned[t] < 0)
            continue;
        if (u->integer) {
            gl.uniform1iv(known->tuned[t], 1, (const GLint[]){(GLint)u->value[0]});
            continue;
        }
        GLfloat numbers[4];
        for (int k = 0; k < 4; k++)
            numbers[k] = (GLfloat)u->value[k];
        PFNGLUNIFORM1FVPROC setter[] = {gl.uniform1fv, gl.uniform2fv, gl.uniform3fv, gl.uniform4fv};
        setter[u->components - 1](known->tuned[t], 1, numbers);
    }
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
