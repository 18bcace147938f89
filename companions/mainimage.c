#include "mainimage.h"

#include <errno.h>
#include <math.h>

static const char PRELUDE[] =
    "#version 330 core\n"
    "in vec2 coord;\n"
    "out vec4 quillomarColour;\n"
    "uniform vec3 iResolution;\n"
    "uniform float iTime;\n"
    "uniform float iTimeDelta;\n"
    "uniform float iFrameRate;\n"
    "uniform int iFrame;\n"
    "uniform vec4 iMouse;\n"
    "uniform vec4 iDate;\n"
    "uniform sampler2D iChannel0;\n"
    "uniform sampler2D iChannel1;\n"
    "uniform sampler2D iChannel2;\n"
    "uniform sampler2D iChannel3;\n"
    "uniform vec3 iChannelResolution[4];\n"
    "uniform float iChannelTime[4];\n"
    "uniform float iSampleRate;\n"
    "#define iGlobalTime iTime\n"
    "#define texture2D texture\n"
    "void mainImage(out vec4 fragColor, in vec2 fragCoord);\n"
    "void main()\n"
    "{\n"
    "    mainImage(quillomarColour, (coord * 0.5 + 0.5) * vec2(1920.0, 1080.0));\n"
    "}\n"
    "#line 1\n";

static int is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

static int is_name(char c)
{
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

static int has_version(const char *text)
{
    for (const char *line = text; line != NULL; line = strchr(line, '\n') ? strchr(line, '\n') + 1 : NULL) {
        const char *p = line;
        while (is_space(*p))
            p++;
        if (*p++ != '#')
            continue;
        while (is_space(*p))
            p++;
        if (strncmp(p, "version", 7) == 0 && !is_name(p[7]))
            return 1;
    }
    return 0;
}

/* Whether text has "void mainImage (" with the words standing alone. */
static int defines_main_image(const char *text)
{
    for (const char *p = strstr(text, "mainImage"); p != NULL; p = strstr(p + 9, "mainImage")) {
        const char *after = p + 9, *before = p;
        while (is_space(*after) || *after == '\n')
            after++;
        while (before > text && (is_space(before[-1]) || before[-1] == '\n'))
            before--;
        if (*after == '(' && before != p && before - text >= 4 && strncmp(before - 4, "void", 4) == 0 &&
            (before - 4 == text || !is_name(before[-5])))
            return 1;
    }
    return 0;
}

char *mainimage_text(const char *text)
{
    if (has_version(text) || !defines_main_image(text))
        return NULL;
    size_t size = sizeof PRELUDE + strlen(text);
    char *whole = malloc(size);
    if (whole == NULL) {
        fprintf(stderr, "%s: out of memory\n", PRELOAD_NAME);
        _exit(70);
    }
    snprintf(whole, size, "%s%s", PRELUDE, text);
    return whole;
}

void mainimage_source(PFNGLSHADERSOURCEPROC source, GLuint shader, const char *text)
{
    char *whole = mainimage_text(text);
    const GLchar *given = whole != NULL ? whole : text;
    source(shader, 1, &given, NULL);
    free(whole);
}

static struct {
    int width, height;
    unsigned char *pixels;
} channels[4];
static GLfloat channel_sizes[4][3];

void mainimage_configure(void)
{
    for (int i = 0; i < 4; i++) {
        char name[32];
        snprintf(name, sizeof name, "QUILLOMAR_CHANNEL%d", i);
        const char *setting = getenv(name);
        if (setting == NULL)
            continue;
        int used = 0;
        if (sscanf(setting, "%d %d %n", &channels[i].width, &channels[i].height, &used) != 2 || used == 0 ||
            channels[i].width <= 0 || channels[i].height <= 0) {
            fprintf(stderr, "%s: %s is not set as the command sets it\n", PRELOAD_NAME, name);
            _exit(70);
        }
        size_t size = (size_t)channels[i].width * (size_t)channels[i].height * 4;
        FILE *f = fopen(setting + used, "rb");
        channels[i].pixels = malloc(size);
        if (f == NULL || channels[i].pixels == NULL || fread(channels[i].pixels, 1, size, f) != size) {
            fprintf(stderr, "%s: channel %d (%s): %s\n", PRELOAD_NAME, i, setting + used,
                    f == NULL ? strerror(errno) : "short");
            _exit(70);
        }
        fclose(f);
        unsetenv(name);
        channel_sizes[i][0] = (GLfloat)channels[i].width;
        channel_sizes[i][1] = (GLfloat)channels[i].height;
        channel_sizes[i][2] = 1.0f;
    }
}

static struct {
    PFNGLGETPROGRAMIVPROC get_programiv;
    PFNGLGETACTIVEUNIFORMPROC active_uniform;
    PFNGLGETUNIFORMLOCATIONPROC location;
    PFNGLUNIFORM1FPROC uniform1f;
    PFNGLUNIFORM1IPROC uniform1i;
    PFNGLUNIFORM3FVPROC uniform3fv;
    PFNGLUNIFORM4FVPROC uniform4fv;
    PFNGLUNIFORM1FVPROC uniform1fv;
    PFNGLGENTEXTURESPROC gen_textures;
    PFNGLBINDTEXTUREPROC bind_texture;
    PFNGLACTIVETEXTUREPROC active_texture;
    PFNGLTEXIMAGE2DPROC tex_image;
    PFNGLTEXPARAMETERIPROC tex_parameter;
    PFNGLGENERATEMIPMAPPROC generate_mipmap;
} gl;

/* The inputs a program uses, by the type they are set with: -1 where it has none such. */
enum { RESOLUTION, TIME_DELTA, FRAME_RATE, FRAME, MOUSE, DATE, CHANNEL0, CHANNEL3 = CHANNEL0 + 3,
       CHANNEL_RESOLUTION, CHANNEL_TIME, SAMPLE_RATE, INPUTS };
static const struct {
    const char *name;
    GLenum type;
} INPUT[INPUTS] = {
    [RESOLUTION] = {"iResolution", GL_FLOAT_VEC3},        [TIME_DELTA] = {"iTimeDelta", GL_FLOAT},
    [FRAME_RATE] = {"iFrameRate", GL_FLOAT},              [FRAME] = {"iFrame", GL_INT},
    [MOUSE] = {"iMouse", GL_FLOAT_VEC4},                  [DATE] = {"iDate", GL_FLOAT_VEC4},
    [CHANNEL0] = {"iChannel0", GL_SAMPLER_2D},            [CHANNEL0 + 1] = {"iChannel1", GL_SAMPLER_2D},
    [CHANNEL0 + 2] = {"iChannel2", GL_SAMPLER_2D},        [CHANNEL3] = {"iChannel3", GL_SAMPLER_2D},
    [CHANNEL_RESOLUTION] = {"iChannelResolution[0]", GL_FLOAT_VEC3},
    [CHANNEL_TIME] = {"iChannelTime[0]", GL_FLOAT},       [SAMPLE_RATE] = {"iSampleRate", GL_FLOAT},
};
static GLuint known_program;
static GLint location[INPUTS], count[INPUTS];

static void find_inputs(GLuint program)
{
    for (int i = 0; i < INPUTS; i++)
        location[i] = -1;
    GLint active = 0;
    gl.get_programiv(program, GL_ACTIVE_UNIFORMS, &active);
    for (GLint u = 0; u < active; u++) {
        char name[64];
        GLint size = 0;
        GLenum type = 0;
        gl.active_uniform(program, (GLuint)u, sizeof name, NULL, &size, &type, name);
        for (int i = 0; i < INPUTS; i++) {
            if (strcmp(name, INPUT[i].name) == 0 && type == INPUT[i].type) {
                location[i] = gl.location(program, name);
                count[i] = size < 4 ? size : 4;
            }
        }
    }
    known_program = program;
}

static void make_textures(void)
{
    static const unsigned char BLACK[4] = {0, 0, 0, 255};
    GLuint textures[4];
    gl.gen_textures(4, textures);
    for (int i = 0; i < 4; i++) {
        gl.active_texture(GL_TEXTURE0 + (GLenum)i);
        gl.bind_texture(GL_TEXTURE_2D, textures[i]);
        int image = channels[i].pixels != NULL;
        gl.tex_image(GL_TEXTURE_2D, 0, GL_RGBA8, image ? channels[i].width : 1, image ? channels[i].height : 1, 0,
                     GL_RGBA, GL_UNSIGNED_BYTE, image ? channels[i].pixels : BLACK);
        gl.generate_mipmap(GL_TEXTURE_2D);
        gl.tex_parameter(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
        gl.tex_parameter(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        gl.tex_parameter(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
        gl.tex_parameter(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
        free(channels[i].pixels);
        channels[i].pixels = NULL;
    }
    gl.active_texture(GL_TEXTURE0);
}

void mainimage_forget(GLuint program)
{
    if (program == known_program)
        known_program = 0;
}

void mainimage_set(GLuint program, const struct mainimage_frame *frame)
{
    static int ready;
    if (!ready) {
        ready = 1;
        GL_ENTRY(glGetProgramiv, gl.get_programiv);
        GL_ENTRY(glGetActiveUniform, gl.active_uniform);
        GL_ENTRY(glGetUniformLocation, gl.location);
        GL_ENTRY(glUniform1f, gl.uniform1f);
        GL_ENTRY(glUniform1i, gl.uniform1i);
        GL_ENTRY(glUniform3fv, gl.uniform3fv);
        GL_ENTRY(glUniform4fv, gl.uniform4fv);
        GL_ENTRY(glUniform1fv, gl.uniform1fv);
        GL_ENTRY(glGenTextures, gl.gen_textures);
        GL_ENTRY(glBindTexture, gl.bind_texture);
        GL_ENTRY(glActiveTexture, gl.active_texture);
        GL_ENTRY(glTexImage2D, gl.tex_image);
        GL_ENTRY(glTexParameteri, gl.tex_parameter);
        GL_ENTRY(glGenerateMipmap, gl.generate_mipmap);
        make_textures();
    }
    if (program == 0)
        return;
    if (program != known_program)
        find_inputs(program);
    GLfloat times[4];
    static const GLfloat RESOLUTION_VALUE[3] = {1920.0f, 1080.0f, 1.0f};
    GLfloat mouse[4], date[4];
    for (int i = 0; i < 4; i++) {
        mouse[i] = (GLfloat)frame->mouse[i];
        date[i] = (GLfloat)frame->date[i];
        times[i] = (GLfloat)frame->time;
    }
    if (location[RESOLUTION] >= 0)
        gl.uniform3fv(location[RESOLUTION], 1, RESOLUTION_VALUE);
    if (location[TIME_DELTA] >= 0)
        gl.uniform1f(location[TIME_DELTA], (GLfloat)frame->delta);
    if (location[FRAME_RATE] >= 0)
        gl.uniform1f(location[FRAME_RATE], (GLfloat)frame->rate);
    if (location[FRAME] >= 0)
        gl.uniform1i(location[FRAME], (GLint)frame->frame);
    if (location[MOUSE] >= 0)
        gl.uniform4fv(location[MOUSE], 1, mouse);
    if (location[DATE] >= 0)
        gl.uniform4fv(location[DATE], 1, date);
    for (int i = 0; i < 4; i++)
        if (location[CHANNEL0 + i] >= 0)
            gl.uniform1i(location[CHANNEL0 + i], i);
    if (location[CHANNEL_RESOLUTION] >= 0)
        gl.uniform3fv(location[CHANNEL_RESOLUTION], count[CHANNEL_RESOLUTION], channel_sizes[0]);
    if (location[CHANNEL_TIME] >= 0)
        gl.uniform1fv(location[CHANNEL_TIME], count[CHANNEL_TIME], times);
    if (location[SAMPLE_RATE] >= 0)
        gl.uniform1f(location[SAMPLE_RATE], 44100.0f);
}

void mainimage_date(double seconds, double date[4])
{
    time_t whole = (time_t)floor(seconds);
    struct tm local;
    localtime_r(&whole, &local);
    date[0] = local.tm_year + 1900;
    date[1] = local.tm_mon;
    date[2] = local.tm_mday;
    date[3] = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + (seconds - (double)whole);
}
