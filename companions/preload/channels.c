#include "channels.h"

#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "sound.h"

#define MOST_TEXTURES 32
/* The texture unit textures are uploaded through, so that no channel's binding changes: after the
 * channels' and the previous frame's. */
#define UPLOAD_UNIT (CHANNELS + 1)
/* The unit #iKeyboard's texture is bound to. */
#define KEYBOARD_UNIT (CHANNELS + 2)

static struct texture {
    const struct kind *kind;
    int size[3];
    unsigned char *data;
    GLuint texture;
    char *what;
    double rate;       /* a video's frames per second */
    size_t mapped;     /* a video's frames, mapped: their size */
    long shown;        /* the video's frame in the texture (-1: none yet), or the keys' serial */
    double shown_time; /* a sound's moment in the texture */
    struct analysis *analysis;
    int fd, partial;   /* a captured sound's pipe, and the bytes of a sample read in part */
} textures[MOST_TEXTURES];
static int texture_count;

/* The keyboard: rows of down, pressed in this frame, toggled, released in this frame; a byte a key, 255
 * for yes. The site's texture has the first three rows. */
static unsigned char keys[4][256];
/* keys_serial counts the changes of the keys, so that each texture of them is set once per change. */
static long keys_serial = 1;
static int keyboard_read;

static struct {
    PFNGLGENTEXTURESPROC gen_textures;
    PFNGLBINDTEXTUREPROC bind_texture;
    PFNGLACTIVETEXTUREPROC active_texture;
    PFNGLTEXIMAGE2DPROC tex_image;
    PFNGLTEXIMAGE3DPROC tex_image_3d;
    PFNGLTEXSUBIMAGE2DPROC tex_sub_image;
    PFNGLTEXPARAMETERIPROC tex_parameter;
    PFNGLGENERATEMIPMAPPROC generate_mipmap;
    PFNGLGETINTEGERVPROC get_integerv;
    PFNGLGENSAMPLERSPROC gen_samplers;
    PFNGLSAMPLERPARAMETERIPROC sampler_parameter;
    PFNGLBINDSAMPLERPROC bind_sampler;
    PFNGLDELETETEXTURESPROC delete_textures;
    PFNGLENABLEPROC enable;
} gl;

static void load_gl(void)
{
    if (gl.gen_textures != NULL)
        return;
    GL_ENTRY(glGenTextures, gl.gen_textures);
    GL_ENTRY(glBindTexture, gl.bind_texture);
    GL_ENTRY(glActiveTexture, gl.active_texture);
    GL_ENTRY(glTexImage2D, gl.tex_image);
    GL_ENTRY(glTexImage3D, gl.tex_image_3d);
    GL_ENTRY(glTexSubImage2D, gl.tex_sub_image);
    GL_ENTRY(glTexParameteri, gl.tex_parameter);
    GL_ENTRY(glGenerateMipmap, gl.generate_mipmap);
    GL_ENTRY(glGetIntegerv, gl.get_integerv);
    GL_ENTRY(glGenSamplers, gl.gen_samplers);
    GL_ENTRY(glSamplerParameteri, gl.sampler_parameter);
    GL_ENTRY(glBindSampler, gl.bind_sampler);
    GL_ENTRY(glDeleteTextures, gl.delete_textures);
}

/* The data of t: its bytes_per_texel x texels, read whole from path. */
static void read_data(struct texture *t, const char *path, size_t size)
{
    FILE *f = fopen(path, "rb");
    if (f == NULL)
        preload_fail("%s (%s): %s", t->what, path, strerror(errno));
    t->data = preload_alloc(size);
    size_t got = fread(t->data, 1, size, f);
    fclose(f);
    if (got != size)
        preload_fail("%s (%s): short", t->what, path);
}

static void check_size(const struct texture *t, int side)
{
    GLint largest = 0;
    gl.get_integerv(side ? GL_MAX_3D_TEXTURE_SIZE : GL_MAX_TEXTURE_SIZE, &largest);
    for (int i = 0; i < (side ? 3 : 2); i++)
        if (t->size[i] > largest)
            preload_fail("%s is %dx%d%s, and the GL's %s textures are %d at most on a side", t->what, t->size[0],
                         t->size[1], side ? "x..." : "", side ? "3D" : "2D", (int)largest);
}

/* An image: RGBA bytes, bottom row first. */
static void image_decode(struct texture *t, const char *path)
{
    read_data(t, path, (size_t)t->size[0] * (size_t)t->size[1] * 4);
}

static void image_upload(struct texture *t)
{
    check_size(t, 0);
    gl.tex_image(GL_TEXTURE_2D, 0, GL_RGBA8, t->size[0], t->size[1], 0, GL_RGBA, GL_UNSIGNED_BYTE, t->data);
    gl.generate_mipmap(GL_TEXTURE_2D);
}

/* A cube map: six square faces of RGBA bytes, +X, -X, +Y, -Y, +Z, -Z, each bottom row first. */
static void cube_decode(struct texture *t, const char *path)
{
    read_data(t, path, (size_t)t->size[0] * (size_t)t->size[1] * 4 * 6);
}

static void cube_upload(struct texture *t)
{
    check_size(t, 0);
    size_t face = (size_t)t->size[0] * (size_t)t->size[1] * 4;
    for (int f = 0; f < 6; f++)
        gl.tex_image(GL_TEXTURE_CUBE_MAP_POSITIVE_X + (GLenum)f, 0, GL_RGBA8, t->size[0], t->size[1], 0, GL_RGBA,
                     GL_UNSIGNED_BYTE, t->data + face * (size_t)f);
    gl.generate_mipmap(GL_TEXTURE_CUBE_MAP);
}

/* A volume: WxHxD texels of RGBA bytes, x fastest. */
static void volume_decode(struct texture *t, const char *path)
{
    read_data(t, path, (size_t)t->size[0] * (size_t)t->size[1] * (size_t)t->size[2] * 4);
}

static void volume_upload(struct texture *t)
{
    check_size(t, 1);
    gl.tex_image_3d(GL_TEXTURE_3D, 0, GL_RGBA8, t->size[0], t->size[1], t->size[2], 0, GL_RGBA, GL_UNSIGNED_BYTE,
                    t->data);
    gl.generate_mipmap(GL_TEXTURE_3D);
}

/* Maps the file at path as t's data, of size bytes (0: the whole file). */
static void map_data(struct texture *t, const char *path, size_t size)
{
    FILE *f = fopen(path, "rb");
    struct stat st;
    if (f == NULL || fstat(fileno(f), &st) != 0)
        preload_fail("%s (%s): %s", t->what, path, strerror(errno));
    t->mapped = size != 0 ? size : (size_t)st.st_size;
    if ((size_t)st.st_size < t->mapped || t->mapped == 0)
        preload_fail("%s (%s): short", t->what, path);
    t->data = mmap(NULL, t->mapped, PROT_READ, MAP_PRIVATE, fileno(f), 0);
    fclose(f);
    if (t->data == MAP_FAILED)
        preload_fail("%s (%s): %s", t->what, path, strerror(errno));
}

/* A video: its frames, each WxH RGBA bytes, bottom row first, one after another; mapped, not read. */
static void video_decode(struct texture *t, const char *path)
{
    map_data(t, path, (size_t)t->size[0] * (size_t)t->size[1] * 4 * (size_t)t->size[2]);
    if (!(t->rate > 0))
        preload_fail("%s: a video needs its frames per second", t->what);
    t->shown = -1;
}

static void video_upload(struct texture *t)
{
    check_size(t, 0);
    gl.tex_image(GL_TEXTURE_2D, 0, GL_RGBA8, t->size[0], t->size[1], 0, GL_RGBA, GL_UNSIGNED_BYTE, t->data);
    gl.generate_mipmap(GL_TEXTURE_2D);
    t->shown = 0;
}

/* The video's frame at time, looping, in its texture (bound). */
static void video_show(struct texture *t, double time)
{
    long frame = (long)floor(time * t->rate) % t->size[2];
    frame = frame < 0 ? frame + t->size[2] : frame;
    if (frame == t->shown)
        return;
    size_t size = (size_t)t->size[0] * (size_t)t->size[1] * 4;
    gl.tex_sub_image(GL_TEXTURE_2D, 0, 0, 0, t->size[0], t->size[1], GL_RGBA, GL_UNSIGNED_BYTE,
                     t->data + size * (size_t)frame);
    gl.generate_mipmap(GL_TEXTURE_2D);
    t->shown = frame;
}

/* A sound: its audio, mono 32-bit float samples at its rate, mapped; shown as the spectrum and the
 * waveform at each moment (sound.h), 512x2 bytes. */
static void sound_decode(struct texture *t, const char *path)
{
    map_data(t, path, 0);
    if (!(t->rate > 0))
        preload_fail("%s: a sound needs its samples per second", t->what);
    t->analysis = analysis_make((const float *)(const void *)t->data, t->mapped / sizeof(float), t->rate);
    t->size[0] = SOUND_WIDTH;
    t->size[1] = 2;
    t->shown_time = NAN;
}

/* A sound as it is heard: mono 32-bit float samples that the command writes to a pipe ("fd:N") as they
 * come; shown as the spectrum and the waveform of the newest. */
static void capture_decode(struct texture *t, const char *path)
{
    int fd = -1;
    if (sscanf(path, "fd:%d", &fd) != 1 || fd < 0 || fcntl(fd, F_SETFL, O_NONBLOCK) != 0)
        preload_fail("%s: %s is not a pipe to read the sound from", t->what, path);
    t->fd = fd;
    t->data = preload_alloc(ANALYSIS * sizeof(float));
    memset(t->data, 0, ANALYSIS * sizeof(float));
    if (!(t->rate > 0))
        preload_fail("%s: a sound needs its samples per second", t->what);
    t->analysis = analysis_make((const float *)(const void *)t->data, ANALYSIS, t->rate);
    t->size[0] = SOUND_WIDTH;
    t->size[1] = 2;
    t->shown_time = NAN;
}

/* The newest samples, once a frame. */
static void capture_show(struct texture *t, double time)
{
    if (time == t->shown_time)
        return;
    float *window = (float *)(void *)t->data;
    unsigned char bytes[ANALYSIS * sizeof(float)];
    ssize_t n;
    while ((n = read(t->fd, bytes + t->partial, sizeof bytes - (size_t)t->partial)) > 0) {
        size_t whole = ((size_t)n + (size_t)t->partial) / sizeof(float);
        memmove(window, window + whole, (ANALYSIS - whole) * sizeof(float));
        memcpy(window + ANALYSIS - whole, bytes, whole * sizeof(float));
        t->partial = (int)(((size_t)n + (size_t)t->partial) % sizeof(float));
        memmove(bytes, bytes + whole * sizeof(float), (size_t)t->partial);
    }
    unsigned char rows[2][SOUND_WIDTH];
    analysis_at(t->analysis, ANALYSIS / t->rate, rows);
    gl.tex_sub_image(GL_TEXTURE_2D, 0, 0, 0, SOUND_WIDTH, 2, GL_RED, GL_UNSIGNED_BYTE, rows);
    t->shown_time = time;
}

static void sound_upload(struct texture *t)
{
    (void)t;
    gl.tex_image(GL_TEXTURE_2D, 0, GL_R8, SOUND_WIDTH, 2, 0, GL_RED, GL_UNSIGNED_BYTE, NULL);
}

/* The sound at time in its texture (bound), once for each moment. */
static void sound_show(struct texture *t, double time)
{
    if (time == t->shown_time)
        return;
    unsigned char rows[2][SOUND_WIDTH];
    analysis_at(t->analysis, time, rows);
    gl.tex_sub_image(GL_TEXTURE_2D, 0, 0, 0, SOUND_WIDTH, 2, GL_RED, GL_UNSIGNED_BYTE, rows);
    t->shown_time = time;
}

/* The keyboard: KEYBOARD_WIDTH x KEYBOARD_ROWS bytes, set every frame from the keys. */
static void keyboard_decode(struct texture *t, const char *path)
{
    (void)path;
    t->size[0] = KEYBOARD_WIDTH;
    t->size[1] = KEYBOARD_ROWS;
    keyboard_read = 1;
}

static void keyboard_upload(struct texture *t)
{
    gl.tex_image(GL_TEXTURE_2D, 0, GL_R8, KEYBOARD_WIDTH, KEYBOARD_ROWS, 0, GL_RED, GL_UNSIGNED_BYTE, keys);
    t->shown = keys_serial;
}

/* The keys, once for each change. */
static void keyboard_show(struct texture *t, double time)
{
    (void)time;
    if (t->shown != keys_serial) {
        gl.tex_sub_image(GL_TEXTURE_2D, 0, 0, 0, KEYBOARD_WIDTH, KEYBOARD_ROWS, GL_RED, GL_UNSIGNED_BYTE, keys);
        t->shown = keys_serial;
    }
}

static const struct kind {
    const char *name;
    GLenum target, sampler_type;
    int dimensions;
    void (*decode)(struct texture *t, const char *path);
    void (*upload)(struct texture *t);
    void (*show)(struct texture *t, double time); /* what changes from frame to frame, into the texture bound */
} KINDS[] = {
    {"image", GL_TEXTURE_2D, GL_SAMPLER_2D, 2, image_decode, image_upload, NULL},
    {"cube", GL_TEXTURE_CUBE_MAP, GL_SAMPLER_CUBE, 2, cube_decode, cube_upload, NULL},
    {"volume", GL_TEXTURE_3D, GL_SAMPLER_3D, 3, volume_decode, volume_upload, NULL},
    {"keyboard", GL_TEXTURE_2D, GL_SAMPLER_2D, 2, keyboard_decode, keyboard_upload, keyboard_show},
    {"video", GL_TEXTURE_2D, GL_SAMPLER_2D, 3, video_decode, video_upload, video_show},
    {"sound", GL_TEXTURE_2D, GL_SAMPLER_2D, 2, sound_decode, sound_upload, sound_show},
    {"capture", GL_TEXTURE_2D, GL_SAMPLER_2D, 2, capture_decode, sound_upload, capture_show},
};

/* Whether textures of kind have mipmaps, and so are read through them. */
static int mipmapped(const struct kind *kind)
{
    return kind->upload != keyboard_upload && kind->upload != sound_upload;
}

const char *channels_kind(size_t k, GLenum *sampler_type, int *dimensions, int *has_mipmaps)
{
    if (k >= sizeof KINDS / sizeof KINDS[0])
        return NULL;
    *sampler_type = KINDS[k].sampler_type;
    *dimensions = KINDS[k].dimensions;
    *has_mipmaps = mipmapped(&KINDS[k]);
    return KINDS[k].name;
}

int channels_add(const char *kind, const char *size, const char *path, double rate, const char *what)
{
    if (texture_count == MOST_TEXTURES)
        preload_fail("more than %d textures", MOST_TEXTURES);
    struct texture *t = &textures[texture_count];
    for (size_t k = 0; k < sizeof KINDS / sizeof KINDS[0]; k++)
        if (strcmp(kind, KINDS[k].name) == 0)
            t->kind = &KINDS[k];
    if (t->kind == NULL)
        preload_fail("%s: no texture of the kind \"%s\"", what, kind);
    t->what = strdup(what);
    t->rate = rate;
    t->size[2] = 1;
    int sides = t->kind->dimensions, got = sides == 3 ? sscanf(size, "%dx%dx%d", &t->size[0], &t->size[1], &t->size[2])
                                                   : sscanf(size, "%dx%d", &t->size[0], &t->size[1]);
    if (got != sides || t->size[0] < 0 || t->size[1] < 0 || t->size[2] < 1 || t->size[0] * t->size[1] == 0)
        preload_fail("%s: the size \"%s\" is not that of a %s", what, size, kind);
    t->kind->decode(t, path);
    return texture_count++;
}

void channels_reset(void)
{
    for (int t = 0; t < texture_count; t++) {
        struct texture *texture = &textures[t];
        if (texture->texture != 0)
            gl.delete_textures(1, &texture->texture);
        if (texture->mapped != 0)
            munmap(texture->data, texture->mapped);
        else
            free(texture->data);
        free(texture->what);
        *texture = (struct texture){0};
    }
    texture_count = 0;
    keyboard_read = 0;
}

GLenum channels_sampler_type(int t)
{
    return textures[t].kind->sampler_type;
}

struct unit channels_texture(int t, enum filter filter, enum wrap wrap, double time)
{
    struct texture *texture = &textures[t];
    load_gl();
    gl.active_texture(GL_TEXTURE0 + UPLOAD_UNIT);
    if (texture->texture == 0) {
        gl.gen_textures(1, &texture->texture);
        gl.bind_texture(texture->kind->target, texture->texture);
        texture->kind->upload(texture);
        if (texture->mapped == 0 && texture->kind->show == NULL) { /* what is shown again stays */
            free(texture->data);
            texture->data = NULL;
        }
    }
    if (texture->kind->show != NULL) {
        gl.bind_texture(texture->kind->target, texture->texture);
        texture->kind->show(texture, time);
    }
    gl.active_texture(GL_TEXTURE0);
    /* Only what has mipmaps is read through them. */
    if (filter == FILTER_MIPMAP && !mipmapped(texture->kind))
        filter = FILTER_LINEAR;
    struct unit u = {texture->kind->target, texture->texture, {texture->size[0], texture->size[1],
                     texture->kind->dimensions == 3 && texture->mapped == 0 ? texture->size[2] : 1}, filter, wrap};
    return u;
}

/* One sampler object per filter and wrap, made on first use. */
static GLuint sampler(enum filter filter, enum wrap wrap)
{
    static GLuint made[3][3];
    if (made[filter][wrap] == 0) {
        static const GLint MIN[] = {GL_NEAREST, GL_LINEAR, GL_LINEAR_MIPMAP_LINEAR};
        static const GLint WRAP[] = {GL_CLAMP_TO_EDGE, GL_REPEAT, GL_MIRRORED_REPEAT};
        GLuint s = 0;
        gl.gen_samplers(1, &s);
        gl.sampler_parameter(s, GL_TEXTURE_MIN_FILTER, MIN[filter]);
        gl.sampler_parameter(s, GL_TEXTURE_MAG_FILTER, filter == FILTER_NEAREST ? GL_NEAREST : GL_LINEAR);
        gl.sampler_parameter(s, GL_TEXTURE_WRAP_S, WRAP[wrap]);
        gl.sampler_parameter(s, GL_TEXTURE_WRAP_T, WRAP[wrap]);
        gl.sampler_parameter(s, GL_TEXTURE_WRAP_R, WRAP[wrap]);
        made[filter][wrap] = s;
    }
    return made[filter][wrap];
}

/* What a channel given nothing shows. */
static GLuint black(void)
{
    static GLuint texture;
    if (texture == 0) {
        static const unsigned char BLACK[4] = {0, 0, 0, 255};
        gl.active_texture(GL_TEXTURE0 + UPLOAD_UNIT);
        gl.gen_textures(1, &texture);
        gl.bind_texture(GL_TEXTURE_2D, texture);
        gl.tex_image(GL_TEXTURE_2D, 0, GL_RGBA8, 1, 1, 0, GL_RGBA, GL_UNSIGNED_BYTE, BLACK);
    }
    return texture;
}

void channels_bind(int n, const struct unit *unit, struct frame *frame)
{
    load_gl();
    int given = unit != NULL && unit->texture != 0;
    GLuint texture = given ? unit->texture : black();
    static int seamless;
    if (given && unit->target == GL_TEXTURE_CUBE_MAP && !seamless) {
        /* A cube map filtered across its faces' edges, as one surface, as browsers always have it: a core
         * context filters each face alone until this is on. */
        GL_ENTRY(glEnable, gl.enable);
        gl.enable(GL_TEXTURE_CUBE_MAP_SEAMLESS);
        seamless = 1;
    }
    gl.active_texture(GL_TEXTURE0 + (GLenum)n);
    gl.bind_texture(given ? unit->target : GL_TEXTURE_2D, texture);
    gl.bind_sampler((GLuint)n, given ? sampler(unit->filter, unit->wrap) : sampler(FILTER_NEAREST, WRAP_CLAMP));
    gl.active_texture(GL_TEXTURE0);
    frame->channel_unit[n] = n;
    frame->channel_time[n] = frame->time;
    for (int i = 0; i < 3; i++)
        frame->channel_resolution[n][i] = given ? unit->size[i] : 0;
}

void keyboard_key(int key, int down)
{
    if (key < 0 || key > 255 || (keys[0][key] != 0) == (down != 0))
        return;
    keys[0][key] = down ? 255 : 0;
    if (down) {
        keys[1][key] = 255;
        keys[2][key] = keys[2][key] ? 0 : 255;
    } else {
        keys[3][key] = 255;
    }
    keys_serial++;
}

void keyboard_frame_done(void)
{
    for (int k = 0; k < 256; k++) {
        keys_serial += keys[1][k] != 0 || keys[3][k] != 0;
        keys[1][k] = keys[3][k] = 0;
    }
}

void channels_bind_keyboard(struct frame *frame)
{
    static GLuint texture;
    static long uploaded = -1;
    frame->keyboard_unit = KEYBOARD_UNIT;
    if (!keyboard_read)
        return;
    load_gl();
    gl.active_texture(GL_TEXTURE0 + KEYBOARD_UNIT);
    if (texture == 0) {
        gl.gen_textures(1, &texture);
        gl.bind_texture(GL_TEXTURE_2D, texture);
        gl.tex_image(GL_TEXTURE_2D, 0, GL_R8, 256, 4, 0, GL_RED, GL_UNSIGNED_BYTE, keys);
        gl.tex_parameter(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        gl.tex_parameter(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    }
    gl.bind_texture(GL_TEXTURE_2D, texture);
    /* Once a frame: what the keys are in this frame. */
    if (uploaded != keys_serial) {
        gl.tex_sub_image(GL_TEXTURE_2D, 0, 0, 0, 256, 4, GL_RED, GL_UNSIGNED_BYTE, keys);
        uploaded = keys_serial;
    }
    gl.active_texture(GL_TEXTURE0);
}

int channels_keyboard_read(void)
{
    return keyboard_read;
}
