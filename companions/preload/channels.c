#include "channels.h"

#include <errno.h>

#include "settings.h"

static struct channel {
    const struct kind *kind;
    int size[2];
    unsigned char *data;
    GLuint texture;
    GLenum target;
} channels[CHANNELS];

static struct {
    PFNGLGENTEXTURESPROC gen_textures;
    PFNGLBINDTEXTUREPROC bind_texture;
    PFNGLACTIVETEXTUREPROC active_texture;
    PFNGLTEXIMAGE2DPROC tex_image;
    PFNGLTEXPARAMETERIPROC tex_parameter;
    PFNGLGENERATEMIPMAPPROC generate_mipmap;
    PFNGLGETINTEGERVPROC get_integerv;
} gl;

/* An image: RGBA bytes, bottom row first, mipmapped, linearly filtered and repeating. */
static void image_decode(struct channel *c, const char *path, int n)
{
    size_t size = (size_t)c->size[0] * (size_t)c->size[1] * 4;
    FILE *f = fopen(path, "rb");
    if (f == NULL)
        preload_fail("channel %d (%s): %s", n, path, strerror(errno));
    c->data = preload_alloc(size);
    size_t got = fread(c->data, 1, size, f);
    fclose(f);
    if (got != size)
        preload_fail("channel %d (%s): short", n, path);
}

static void image_upload(struct channel *c, int n)
{
    GLint largest = 0;
    gl.get_integerv(GL_MAX_TEXTURE_SIZE, &largest);
    if (c->size[0] > largest || c->size[1] > largest)
        preload_fail("channel %d: its image is %dx%d, and the GL's textures are %d at most on a side", n, c->size[0],
                     c->size[1], (int)largest);
    c->target = GL_TEXTURE_2D;
    gl.tex_image(GL_TEXTURE_2D, 0, GL_RGBA8, c->size[0], c->size[1], 0, GL_RGBA, GL_UNSIGNED_BYTE, c->data);
    gl.generate_mipmap(GL_TEXTURE_2D);
    gl.tex_parameter(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    gl.tex_parameter(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    gl.tex_parameter(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    gl.tex_parameter(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
    free(c->data);
    c->data = NULL;
}

static const struct kind {
    const char *name;
    void (*decode)(struct channel *c, const char *path, int n);
    void (*upload)(struct channel *c, int n);
} KINDS[] = {
    {"image", image_decode, image_upload},
};

void channels_configure(void)
{
    for (int n = 0; n < CHANNELS; n++) {
        char kind_name[32], size_name[32], path_name[32];
        snprintf(kind_name, sizeof kind_name, "QUILLOMAR_CHANNEL%d_KIND", n);
        snprintf(size_name, sizeof size_name, "QUILLOMAR_CHANNEL%d_SIZE", n);
        snprintf(path_name, sizeof path_name, "QUILLOMAR_CHANNEL%d_PATH", n);
        char *kind = NULL, *path = NULL;
        int given = 0;
        const struct setting settings[] = {
            {kind_name, SETTING_TEXT, 0, &kind, &given},
            {size_name, SETTING_SIZE, 0, channels[n].size, NULL},
            {path_name, SETTING_TEXT, 0, &path, NULL},
        };
        settings_read(settings, sizeof settings / sizeof settings[0]);
        if (!given)
            continue;
        for (size_t k = 0; k < sizeof KINDS / sizeof KINDS[0]; k++)
            if (strcmp(kind, KINDS[k].name) == 0)
                channels[n].kind = &KINDS[k];
        if (channels[n].kind == NULL || path == NULL || channels[n].size[0] == 0)
            preload_fail("channel %d: %s, %s and %s are not set as the command sets them", n, kind_name, size_name,
                         path_name);
        channels[n].kind->decode(&channels[n], path, n);
        free(kind);
        free(path);
    }
}

/* What a channel given nothing shows. */
static void black_upload(struct channel *c)
{
    static const unsigned char BLACK[4] = {0, 0, 0, 255};
    c->target = GL_TEXTURE_2D;
    gl.tex_image(GL_TEXTURE_2D, 0, GL_RGBA8, 1, 1, 0, GL_RGBA, GL_UNSIGNED_BYTE, BLACK);
    gl.tex_parameter(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
}

void channels_apply(struct frame *frame)
{
    if (gl.gen_textures == NULL) {
        GL_ENTRY(glGenTextures, gl.gen_textures);
        GL_ENTRY(glBindTexture, gl.bind_texture);
        GL_ENTRY(glActiveTexture, gl.active_texture);
        GL_ENTRY(glTexImage2D, gl.tex_image);
        GL_ENTRY(glTexParameteri, gl.tex_parameter);
        GL_ENTRY(glGenerateMipmap, gl.generate_mipmap);
        GL_ENTRY(glGetIntegerv, gl.get_integerv);
        for (int n = 0; n < CHANNELS; n++) {
            gl.gen_textures(1, &channels[n].texture);
            gl.active_texture(GL_TEXTURE0 + (GLenum)n);
            gl.bind_texture(GL_TEXTURE_2D, channels[n].texture);
            if (channels[n].kind != NULL)
                channels[n].kind->upload(&channels[n], n);
            else
                black_upload(&channels[n]);
        }
        gl.active_texture(GL_TEXTURE0);
    }
    for (int n = 0; n < CHANNELS; n++) {
        frame->channel_unit[n] = n;
        frame->channel_time[n] = frame->time;
        frame->channel_resolution[n][0] = channels[n].kind != NULL ? channels[n].size[0] : 0;
        frame->channel_resolution[n][1] = channels[n].kind != NULL ? channels[n].size[1] : 0;
        frame->channel_resolution[n][2] = channels[n].kind != NULL ? 1 : 0;
    }
}
