#include "gl/target.h"

static struct {
    PFNGLGENFRAMEBUFFERSPROC gen_framebuffers;
    PFNGLBINDFRAMEBUFFERPROC bind_framebuffer;
    PFNGLGENTEXTURESPROC gen_textures;
    PFNGLBINDTEXTUREPROC bind_texture;
    PFNGLTEXIMAGE2DPROC tex_image;
    PFNGLTEXPARAMETERIPROC tex_parameter;
    PFNGLFRAMEBUFFERTEXTURE2DPROC framebuffer_texture;
    PFNGLVIEWPORTPROC viewport;
    PFNGLPIXELSTOREIPROC pixel_storei;
    PFNGLREADPIXELSPROC read_pixels;
    PFNGLBLITFRAMEBUFFERPROC blit_framebuffer;
    PFNGLCLEARCOLORPROC clear_color;
    PFNGLCLEARPROC clear;
    PFNGLGETFLOATVPROC get_floatv;
    PFNGLGENBUFFERSPROC gen_buffers;
    PFNGLBINDBUFFERPROC bind_buffer;
    PFNGLBUFFERDATAPROC buffer_data;
    PFNGLMAPBUFFERRANGEPROC map_buffer_range;
    PFNGLUNMAPBUFFERPROC unmap_buffer;
    PFNGLGETINTEGERVPROC get_integerv;
    PFNGLDELETEFRAMEBUFFERSPROC delete_framebuffers;
    PFNGLDELETETEXTURESPROC delete_textures;
} gl;

static void load_gl(void)
{
    if (gl.gen_framebuffers != NULL)
        return;
    GL_ENTRY(glGenFramebuffers, gl.gen_framebuffers);
    GL_ENTRY(glBindFramebuffer, gl.bind_framebuffer);
    GL_ENTRY(glGenTextures, gl.gen_textures);
    GL_ENTRY(glBindTexture, gl.bind_texture);
    GL_ENTRY(glTexImage2D, gl.tex_image);
    GL_ENTRY(glTexParameteri, gl.tex_parameter);
    GL_ENTRY(glFramebufferTexture2D, gl.framebuffer_texture);
    GL_ENTRY(glViewport, gl.viewport);
    GL_ENTRY(glPixelStorei, gl.pixel_storei);
    GL_ENTRY(glReadPixels, gl.read_pixels);
    GL_ENTRY(glBlitFramebuffer, gl.blit_framebuffer);
    GL_ENTRY(glClearColor, gl.clear_color);
    GL_ENTRY(glClear, gl.clear);
    GL_ENTRY(glGetFloatv, gl.get_floatv);
    GL_ENTRY(glGenBuffers, gl.gen_buffers);
    GL_ENTRY(glBindBuffer, gl.bind_buffer);
    GL_ENTRY(glBufferData, gl.buffer_data);
    GL_ENTRY(glMapBufferRange, gl.map_buffer_range);
    GL_ENTRY(glUnmapBuffer, gl.unmap_buffer);
    GL_ENTRY(glGetIntegerv, gl.get_integerv);
    GL_ENTRY(glDeleteFramebuffers, gl.delete_framebuffers);
    GL_ENTRY(glDeleteTextures, gl.delete_textures);
}

struct target target_make(int width, int height, GLenum internal_format)
{
    load_gl();
    struct target t = {.width = width, .height = height};
    gl.gen_textures(1, &t.texture);
    gl.bind_texture(GL_TEXTURE_2D, t.texture);
    int floating = internal_format == GL_RGBA32F || internal_format == GL_RGBA16F;
    gl.tex_image(GL_TEXTURE_2D, 0, (GLint)internal_format, width, height, 0, GL_RGBA,
                 floating ? GL_FLOAT : GL_UNSIGNED_BYTE, NULL);
    gl.tex_parameter(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    gl.tex_parameter(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    gl.bind_texture(GL_TEXTURE_2D, 0);
    GLint bound = 0;
    gl.get_integerv(GL_DRAW_FRAMEBUFFER_BINDING, &bound);
    gl.gen_framebuffers(1, &t.framebuffer);
    gl.bind_framebuffer(GL_DRAW_FRAMEBUFFER, t.framebuffer);
    gl.framebuffer_texture(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, t.texture, 0);
    target_clear(&t);
    gl.bind_framebuffer(GL_DRAW_FRAMEBUFFER, (GLuint)bound);
    return t;
}

void target_make_cube(int side, GLenum internal_format, struct target faces[6])
{
    load_gl();
    GLuint texture = 0;
    GLint bound = 0;
    gl.gen_textures(1, &texture);
    gl.bind_texture(GL_TEXTURE_CUBE_MAP, texture);
    for (int f = 0; f < 6; f++)
        gl.tex_image(GL_TEXTURE_CUBE_MAP_POSITIVE_X + (GLenum)f, 0, (GLint)internal_format, side, side, 0, GL_RGBA,
                     GL_FLOAT, NULL);
    gl.tex_parameter(GL_TEXTURE_CUBE_MAP, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    gl.tex_parameter(GL_TEXTURE_CUBE_MAP, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    gl.bind_texture(GL_TEXTURE_CUBE_MAP, 0);
    gl.get_integerv(GL_DRAW_FRAMEBUFFER_BINDING, &bound);
    for (int f = 0; f < 6; f++) {
        faces[f] = (struct target){.texture = texture, .width = side, .height = side};
        gl.gen_framebuffers(1, &faces[f].framebuffer);
        gl.bind_framebuffer(GL_DRAW_FRAMEBUFFER, faces[f].framebuffer);
        gl.framebuffer_texture(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_CUBE_MAP_POSITIVE_X + (GLenum)f,
                               texture, 0);
        target_clear(&faces[f]);
    }
    gl.bind_framebuffer(GL_DRAW_FRAMEBUFFER, (GLuint)bound);
}

void target_clear(const struct target *target)
{
    GLfloat clear[4];
    GLint bound = 0;
    gl.get_integerv(GL_DRAW_FRAMEBUFFER_BINDING, &bound);
    gl.get_floatv(GL_COLOR_CLEAR_VALUE, clear);
    gl.bind_framebuffer(GL_DRAW_FRAMEBUFFER, target->framebuffer);
    gl.clear_color(0.0f, 0.0f, 0.0f, 0.0f);
    gl.clear(GL_COLOR_BUFFER_BIT);
    gl.clear_color(clear[0], clear[1], clear[2], clear[3]);
    gl.bind_framebuffer(GL_DRAW_FRAMEBUFFER, (GLuint)bound);
}

void target_copy(const struct target *from, const struct target *to)
{
    GLint read = 0, draw = 0;
    gl.get_integerv(GL_READ_FRAMEBUFFER_BINDING, &read);
    gl.get_integerv(GL_DRAW_FRAMEBUFFER_BINDING, &draw);
    int w = from->width < to->width ? from->width : to->width, h = from->height < to->height ? from->height : to->height;
    gl.bind_framebuffer(GL_READ_FRAMEBUFFER, from->framebuffer);
    gl.bind_framebuffer(GL_DRAW_FRAMEBUFFER, to->framebuffer);
    gl.blit_framebuffer(0, 0, w, h, 0, 0, w, h, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    gl.bind_framebuffer(GL_READ_FRAMEBUFFER, (GLuint)read);
    gl.bind_framebuffer(GL_DRAW_FRAMEBUFFER, (GLuint)draw);
}

void target_blocks(const struct target *from, const struct target *to, int side)
{
    GLint read = 0, draw = 0;
    gl.get_integerv(GL_READ_FRAMEBUFFER_BINDING, &read);
    gl.get_integerv(GL_DRAW_FRAMEBUFFER_BINDING, &draw);
    gl.bind_framebuffer(GL_READ_FRAMEBUFFER, from->framebuffer);
    gl.bind_framebuffer(GL_DRAW_FRAMEBUFFER, to->framebuffer);
    /* The whole blocks in one copy at a whole factor, then the last column and row (cut by to's edge) each
     * from its one pixel, so that no copy is scaled by a fraction, which would stretch the blocks. */
    int whole[2] = {to->width / side, to->height / side}, drawn[2] = {from->width, from->height};
    for (int j = 0; j < 2; j++) {
        int y0 = j ? whole[1] : 0, y1 = j ? drawn[1] : whole[1];
        for (int i = 0; i < 2; i++) {
            int x0 = i ? whole[0] : 0, x1 = i ? drawn[0] : whole[0];
            int right = x1 * side < to->width ? x1 * side : to->width;
            int top = y1 * side < to->height ? y1 * side : to->height;
            if (x1 > x0 && y1 > y0)
                gl.blit_framebuffer(x0, y0, x1, y1, x0 * side, y0 * side, right, top, GL_COLOR_BUFFER_BIT, GL_NEAREST);
        }
    }
    gl.bind_framebuffer(GL_READ_FRAMEBUFFER, (GLuint)read);
    gl.bind_framebuffer(GL_DRAW_FRAMEBUFFER, (GLuint)draw);
}

void target_free(struct target *target)
{
    gl.delete_framebuffers(1, &target->framebuffer);
    gl.delete_textures(1, &target->texture);
    *target = (struct target){0};
}

void target_bind(const struct target *target)
{
    gl.bind_framebuffer(GL_FRAMEBUFFER, target->framebuffer);
    gl.viewport(0, 0, target->width, target->height);
}

void read_pixels(int x, int y, int width, int height, unsigned char *pixels)
{
    load_gl();
    gl.pixel_storei(GL_PACK_ALIGNMENT, 1);
    gl.read_pixels(x, y, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels);
}

void target_show(const struct target *target, int width, int height)
{
    gl.bind_framebuffer(GL_READ_FRAMEBUFFER, target->framebuffer);
    gl.bind_framebuffer(GL_DRAW_FRAMEBUFFER, 0);
    gl.blit_framebuffer(0, 0, target->width, target->height, 0, 0, width, height, GL_COLOR_BUFFER_BIT, GL_LINEAR);
    gl.bind_framebuffer(GL_FRAMEBUFFER, target->framebuffer);
}

void target_show_blocks(const struct target *target, int width, int height)
{
    gl.bind_framebuffer(GL_READ_FRAMEBUFFER, target->framebuffer);
    gl.bind_framebuffer(GL_DRAW_FRAMEBUFFER, 0);
    gl.blit_framebuffer(0, 0, target->width, target->height, 0, 0, width, height, GL_COLOR_BUFFER_BIT, GL_NEAREST);
    gl.bind_framebuffer(GL_FRAMEBUFFER, target->framebuffer);
}

struct readback readback_make(const struct target *target)
{
    load_gl();
    struct readback ring = {.size = (size_t)target->width * (size_t)target->height * 4};
    gl.gen_buffers(RING, ring.buffers);
    for (int i = 0; i < RING; i++) {
        gl.bind_buffer(GL_PIXEL_PACK_BUFFER, ring.buffers[i]);
        gl.buffer_data(GL_PIXEL_PACK_BUFFER, (GLsizeiptr)ring.size, NULL, GL_STREAM_READ);
    }
    gl.bind_buffer(GL_PIXEL_PACK_BUFFER, 0);
    return ring;
}

/* Hands the oldest frame of the ring to take. */
static void take_oldest(struct readback *ring, void (*take)(const unsigned char *pixels, size_t size))
{
    gl.bind_buffer(GL_PIXEL_PACK_BUFFER, ring->buffers[ring->taken % RING]);
    const unsigned char *pixels = gl.map_buffer_range(GL_PIXEL_PACK_BUFFER, 0, (GLsizeiptr)ring->size, GL_MAP_READ_BIT);
    if (pixels == NULL)
        preload_fail("a frame cannot be read back from the GL");
    take(pixels, ring->size);
    gl.unmap_buffer(GL_PIXEL_PACK_BUFFER);
    gl.bind_buffer(GL_PIXEL_PACK_BUFFER, 0);
    ring->taken++;
}

void readback_start(struct readback *ring, const struct target *target,
                    void (*take)(const unsigned char *pixels, size_t size))
{
    if (ring->started - ring->taken == RING)
        take_oldest(ring, take);
    gl.bind_framebuffer(GL_READ_FRAMEBUFFER, target->framebuffer);
    gl.bind_buffer(GL_PIXEL_PACK_BUFFER, ring->buffers[ring->started % RING]);
    gl.pixel_storei(GL_PACK_ALIGNMENT, 1);
    gl.read_pixels(0, 0, target->width, target->height, GL_RGBA, GL_UNSIGNED_BYTE, NULL);
    gl.bind_buffer(GL_PIXEL_PACK_BUFFER, 0);
    ring->started++;
}

void readback_finish(struct readback *ring, void (*take)(const unsigned char *pixels, size_t size))
{
    while (ring->taken < ring->started)
        take_oldest(ring, take);
}
