#include "passes/passes.h"

#include "gl/keyboard.h"
#include "gl/timing.h"
#include "gl/uniforms.h"

struct pass {
    enum pass_kind kind;
    char *path;
    struct binding channels[CHANNELS];
    GLuint program;         /* 0 until it builds; a buffer pass with none is not drawn */
    GLint time_location;    /* where its program has iTime, which the viewer sets only on its own */
    struct target front, back;
    struct target faces[2][6]; /* a cube map pass's: the faces read, and those drawn next */
    int mipmapped;          /* whether a reader reads its picture through mipmaps */
};

/* The passes, this piece's alone: the other pieces ask for what they need (passes.h). */
static struct passes {
    int count; /* the Image pass is the last */
    struct pass pass[MOST_PASSES];
    char *sound; /* the Sound pass's file (mainSound), or NULL */
} passes = {.count = 1, .pass = {{.kind = PASS_IMAGE}}};

int passes_count(void)
{
    return passes.count;
}

const char *passes_path(int p)
{
    return passes.pass[p].path;
}

const char *passes_sound_file(void)
{
    return passes.sound;
}

static struct {
    PFNGLGETINTEGERVPROC get_integerv;
    PFNGLUSEPROGRAMPROC use_program;
    PFNGLBINDFRAMEBUFFERPROC bind_framebuffer;
    PFNGLVIEWPORTPROC viewport;
    PFNGLGETUNIFORMLOCATIONPROC location;
    PFNGLUNIFORM1FPROC uniform1f;
    PFNGLDELETEPROGRAMPROC delete_program;
    PFNGLBINDTEXTUREPROC bind_texture;
    PFNGLGENERATEMIPMAPPROC generate_mipmap;
    PFNGLDELETEFRAMEBUFFERSPROC delete_framebuffers;
    PFNGLDELETETEXTURESPROC delete_textures;
} gl;

static void load_gl(void)
{
    if (gl.get_integerv != NULL)
        return;
    GL_ENTRY(glGetIntegerv, gl.get_integerv);
    GL_ENTRY(glUseProgram, gl.use_program);
    GL_ENTRY(glBindFramebuffer, gl.bind_framebuffer);
    GL_ENTRY(glViewport, gl.viewport);
    GL_ENTRY(glGetUniformLocation, gl.location);
    GL_ENTRY(glUniform1f, gl.uniform1f);
    GL_ENTRY(glDeleteProgram, gl.delete_program);
    GL_ENTRY(glBindTexture, gl.bind_texture);
    GL_ENTRY(glGenerateMipmap, gl.generate_mipmap);
    GL_ENTRY(glDeleteFramebuffers, gl.delete_framebuffers);
    GL_ENTRY(glDeleteTextures, gl.delete_textures);
}

void passes_configure(const char *path)
{
    if (path == NULL)
        return;
    struct plan plan;
    plan_read(path, &plan);
    for (int t = 0; t < plan.textures; t++) {
        char what[64];
        snprintf(what, sizeof what, "texture %d of the plan", t);
        channels_add(plan.texture[t].kind, plan.texture[t].size, plan.texture[t].path, plan.texture[t].rate, what);
    }
    passes.count = plan.count;
    for (int p = 0; p < plan.count; p++) {
        struct pass *pass = &passes.pass[p];
        pass->kind = plan.pass[p].kind;
        pass->path = strdup(plan.pass[p].path);
        memcpy(pass->channels, plan.pass[p].channels, sizeof pass->channels);
        pass->mipmapped = plan.pass[p].mipmapped;
    }
    passes.sound = plan.sound != NULL ? strdup(plan.sound) : NULL;
    plan_free(&plan);
}

struct source passes_source(int p, const char *text, const char *folders)
{
    const struct pass *pass = &passes.pass[p];
    struct source source = {.text = text, .path = pass->path, .folders = folders};
    for (int n = 0; n < CHANNELS; n++) {
        const struct binding *b = &pass->channels[n];
        source.samplers[n] = b->kind == BINDING_TEXTURE ? channels_sampler(b->index)
                             : b->kind == BINDING_PASS && b->index < passes.count &&
                                       passes.pass[b->index].kind == PASS_CUBE ? SAMPLER_CUBE
                                                                               : SAMPLER_2D;
    }
    return source;
}

struct source passes_sound_source(const char *text, const char *folders)
{
    struct source source = passes_source(passes.count - 1, text, folders);
    source.path = passes.sound;
    return source;
}

struct build passes_build_file(int p, const char *folders, char **text, const char **why)
{
    *why = NULL;
    *text = preload_read_text(passes.pass[p].path, why);
    return *text != NULL ? passes_build(p, *text, folders) : (struct build){0};
}

struct build passes_build(int p, const char *text, const char *folders)
{
    return passes_build_at(p, text, NULL, folders);
}

struct build passes_build_at(int p, const char *text, const char *path, const char *folders)
{
    struct pass *pass = &passes.pass[p];
    struct source source = passes_source(p, text, folders);
    if (path != NULL)
        source.path = path;
    struct build b = program_build(&source);
    if (b.linked) {
        load_gl();
        if (pass->program != 0) {
            inputs_forget(pass->program);
            gl.delete_program(pass->program);
        }
        pass->program = b.program;
        pass->time_location = gl.location(b.program, "iTime");
    }
    return b;
}

/* Gives pass a front and a back of width x height, keeping what overlaps of its front. */
static void size_buffer(struct pass *pass, int width, int height)
{
    if (pass->front.width == width && pass->front.height == height)
        return;
    struct target front = target_make(width, height, GL_RGBA32F);
    if (pass->front.framebuffer != 0) {
        target_copy(&pass->front, &front);
        target_free(&pass->front);
        target_free(&pass->back);
    }
    pass->front = front;
    pass->back = target_make(width, height, GL_RGBA32F);
}

/* Gives a cube map pass its faces, once. */
static void size_cube(struct pass *pass)
{
    if (pass->faces[0][0].framebuffer == 0) {
        target_make_cube(CUBE_SIDE, GL_RGBA16F, pass->faces[0]);
        target_make_cube(CUBE_SIDE, GL_RGBA16F, pass->faces[1]);
    }
}

/* Binds pass's channels, and fills frame's fields for them. */
static void bind_channels(const struct pass *pass, struct frame *frame)
{
    for (int n = 0; n < CHANNELS; n++) {
        const struct binding *b = &pass->channels[n];
        struct unit u = {0};
        if (b->kind == BINDING_TEXTURE) {
            u = channels_texture(b->index, b->filter, b->wrap, frame->time);
        } else if (b->kind == BINDING_PASS && passes.pass[b->index].kind == PASS_CUBE) {
            const struct target *t = &passes.pass[b->index].faces[0][0];
            u = (struct unit){GL_TEXTURE_CUBE_MAP, t->texture, {t->width, t->height, 1}, b->filter, b->wrap};
        } else if (b->kind == BINDING_PASS) {
            const struct target *t = &passes.pass[b->index].front;
            u = (struct unit){GL_TEXTURE_2D, t->texture, {t->width, t->height, 1}, b->filter, b->wrap};
        } else if (b->kind == BINDING_SELF) {
            u = (struct unit){GL_TEXTURE_2D, feedback_texture(), {(int)frame->resolution[0],
                              (int)frame->resolution[1], 1}, b->filter == FILTER_MIPMAP ? FILTER_LINEAR : b->filter,
                              b->wrap};
            frame->wants_previous = 1;
        }
        channels_bind(n, &u, frame);
    }
}

/* Draws a cube map pass into each face of its faces not read, which are read from then on. The pass's
 * picture is a face: its size is the face's. */
static void draw_cube(struct pass *pass, struct frame *frame, PFNGLDRAWARRAYSPROC draw, GLenum mode, GLint first,
                      GLsizei count)
{
    double resolution[3], viewport[2];
    memcpy(resolution, frame->resolution, sizeof resolution);
    memcpy(viewport, frame->viewport, sizeof viewport);
    frame->resolution[0] = frame->resolution[1] = frame->viewport[0] = frame->viewport[1] = CUBE_SIDE;
    gl.use_program(pass->program);
    bind_channels(pass, frame);
    for (int f = 0; f < 6; f++) {
        target_bind(&pass->faces[1][f]);
        frame->face = f;
        inputs_set(pass->program, frame);
        gl.uniform1f(pass->time_location, (GLfloat)frame->time);
        draw(mode, first, count);
    }
    struct target drawn[6];
    memcpy(drawn, pass->faces[1], sizeof drawn);
    memcpy(pass->faces[1], pass->faces[0], sizeof drawn);
    memcpy(pass->faces[0], drawn, sizeof drawn);
    if (pass->mipmapped) {
        gl.bind_texture(GL_TEXTURE_CUBE_MAP, drawn[0].texture);
        gl.generate_mipmap(GL_TEXTURE_CUBE_MAP);
        gl.bind_texture(GL_TEXTURE_CUBE_MAP, 0);
    }
    frame->face = 0;
    memcpy(frame->resolution, resolution, sizeof resolution);
    memcpy(frame->viewport, viewport, sizeof viewport);
}

void passes_draw(struct frame *frame, PFNGLDRAWARRAYSPROC draw, GLenum mode, GLint first, GLsizei count)
{
    load_gl();
    int width = (int)frame->resolution[0], height = (int)frame->resolution[1];
    GLint program = 0, framebuffer = 0, viewport[4] = {0};
    if (passes.count > 1) {
        gl.get_integerv(GL_CURRENT_PROGRAM, &program);
        gl.get_integerv(GL_DRAW_FRAMEBUFFER_BINDING, &framebuffer);
        gl.get_integerv(GL_VIEWPORT, viewport);
    }
    keyboard_bind(frame);
    for (int p = 0; p + 1 < passes.count; p++) {
        struct pass *pass = &passes.pass[p];
        if (pass->kind == PASS_CUBE) {
            size_cube(pass);
            if (pass->program != 0) {
                timing_begin(p);
                draw_cube(pass, frame, draw, mode, first, count);
                timing_end();
            }
            continue;
        }
        size_buffer(pass, width, height);
        if (pass->program == 0)
            continue;
        target_bind(&pass->back);
        gl.use_program(pass->program);
        bind_channels(pass, frame);
        inputs_set(pass->program, frame);
        gl.uniform1f(pass->time_location, (GLfloat)frame->time);
        timing_begin(p);
        draw(mode, first, count);
        timing_end();
        struct target drawn = pass->back;
        pass->back = pass->front;
        pass->front = drawn;
        if (pass->mipmapped) {
            gl.bind_texture(GL_TEXTURE_2D, drawn.texture);
            gl.generate_mipmap(GL_TEXTURE_2D);
            gl.bind_texture(GL_TEXTURE_2D, 0);
        }
    }
    if (passes.count > 1) {
        gl.bind_framebuffer(GL_FRAMEBUFFER, (GLuint)framebuffer);
        gl.viewport(viewport[0], viewport[1], viewport[2], viewport[3]);
        gl.use_program((GLuint)program);
    }
    frame->wants_previous = 0;
    bind_channels(&passes.pass[passes.count - 1], frame);
    GLint current = 0;
    gl.get_integerv(GL_CURRENT_PROGRAM, &current);
    inputs_set((GLuint)current, frame);
}

void passes_drawn(const struct frame *frame)
{
    if (frame->wants_previous)
        feedback_keep((int)frame->viewport[0], (int)frame->viewport[1]);
    keyboard_frame_done();
}

void passes_frame(struct frame *frame, PFNGLDRAWARRAYSPROC draw, GLenum mode, GLint first, GLsizei count)
{
    passes_draw(frame, draw, mode, first, count);
    draw(mode, first, count);
    passes_drawn(frame);
}

void passes_reset(void)
{
    load_gl();
    for (int p = 0; p < passes.count; p++) {
        struct pass *pass = &passes.pass[p];
        if (pass->kind != PASS_IMAGE && pass->program != 0) {
            inputs_forget(pass->program);
            gl.delete_program(pass->program);
        }
        if (pass->front.framebuffer != 0) {
            target_free(&pass->front);
            target_free(&pass->back);
        }
        for (int f = 0; f < 6 && pass->faces[0][0].framebuffer != 0; f++) {
            gl.delete_framebuffers(1, &pass->faces[0][f].framebuffer);
            gl.delete_framebuffers(1, &pass->faces[1][f].framebuffer);
        }
        if (pass->faces[0][0].texture != 0) {
            gl.delete_textures(1, &pass->faces[0][0].texture);
            gl.delete_textures(1, &pass->faces[1][0].texture);
        }
        free(pass->path);
        *pass = (struct pass){0};
    }
    passes.count = 1;
    passes.pass[0].kind = PASS_IMAGE;
    free(passes.sound);
    passes.sound = NULL;
    channels_reset();
}

void passes_clear(void)
{
    for (int p = 0; p + 1 < passes.count; p++) {
        if (passes.pass[p].front.framebuffer != 0) {
            target_clear(&passes.pass[p].front);
            target_clear(&passes.pass[p].back);
        }
        for (int f = 0; f < 6 && passes.pass[p].faces[0][0].framebuffer != 0; f++) {
            target_clear(&passes.pass[p].faces[0][f]);
            target_clear(&passes.pass[p].faces[1][f]);
        }
    }
}
