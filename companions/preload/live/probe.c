#include "live/probe.h"

#include "gl/target.h"

static struct {
    PFNGLGETINTEGERVPROC get_integerv;
    PFNGLISENABLEDPROC is_enabled;
    PFNGLENABLEPROC enable;
    PFNGLDISABLEPROC disable;
    PFNGLSCISSORPROC scissor;
    PFNGLVIEWPORTPROC viewport;
    PFNGLBINDFRAMEBUFFERPROC bind_framebuffer;
    PFNGLGENBUFFERSPROC gen_buffers;
    PFNGLDELETEBUFFERSPROC delete_buffers;
    PFNGLBINDBUFFERPROC bind_buffer;
    PFNGLBUFFERDATAPROC buffer_data;
    PFNGLGETBUFFERSUBDATAPROC buffer_sub_data;
    PFNGLREADPIXELSPROC read_pixels;
    PFNGLPIXELSTOREIPROC pixel_storei;
} gl;

#define PROBE_RING (PROBE_LAG + 1)
static struct target picture;
static GLuint ring[PROBE_RING];
/* asked[i]: whether ring[i] holds a pixel copied, and which (pixel[i]); value: the newest read, of at. */
static int asked[PROBE_RING], pixel[PROBE_RING][2], now, have, at[2];
static float value[4];

static void load_gl(void)
{
    if (gl.get_integerv != NULL)
        return;
    GL_ENTRY(glGetIntegerv, gl.get_integerv);
    GL_ENTRY(glIsEnabled, gl.is_enabled);
    GL_ENTRY(glEnable, gl.enable);
    GL_ENTRY(glDisable, gl.disable);
    GL_ENTRY(glScissor, gl.scissor);
    GL_ENTRY(glViewport, gl.viewport);
    GL_ENTRY(glBindFramebuffer, gl.bind_framebuffer);
    GL_ENTRY(glGenBuffers, gl.gen_buffers);
    GL_ENTRY(glDeleteBuffers, gl.delete_buffers);
    GL_ENTRY(glBindBuffer, gl.bind_buffer);
    GL_ENTRY(glBufferData, gl.buffer_data);
    GL_ENTRY(glGetBufferSubData, gl.buffer_sub_data);
    GL_ENTRY(glReadPixels, gl.read_pixels);
    GL_ENTRY(glPixelStorei, gl.pixel_storei);
}

void probe_draw(PFNGLDRAWARRAYSPROC draw, GLenum mode, GLint first, GLsizei count, int x, int y, int width,
                  int height)
{
    load_gl();
    if (ring[0] == 0) {
        gl.gen_buffers(PROBE_RING, ring);
        for (int i = 0; i < PROBE_RING; i++) {
            gl.bind_buffer(GL_PIXEL_PACK_BUFFER, ring[i]);
            gl.buffer_data(GL_PIXEL_PACK_BUFFER, 4 * sizeof(float), NULL, GL_STREAM_READ);
        }
        gl.bind_buffer(GL_PIXEL_PACK_BUFFER, 0);
    }
    /* The oldest copy in the ring, made PROBE_LAG frames ago, is read; its place takes this frame's. */
    now = (now + 1) % PROBE_RING;
    if (asked[now]) {
        gl.bind_buffer(GL_PIXEL_PACK_BUFFER, ring[now]);
        gl.buffer_sub_data(GL_PIXEL_PACK_BUFFER, 0, sizeof value, value);
        gl.bind_buffer(GL_PIXEL_PACK_BUFFER, 0);
        memcpy(at, pixel[now], sizeof at);
        have = 1;
    }
    asked[now] = 0;
    if (x < 0 || y < 0 || x >= width || y >= height)
        return;
    if (picture.framebuffer == 0 || picture.width != width || picture.height != height) {
        if (picture.framebuffer != 0)
            target_free(&picture);
        picture = target_make(width, height, GL_RGBA32F);
    }
    GLint draw_fb = 0, read_fb = 0, viewport[4], box[4], pack = 4;
    gl.get_integerv(GL_DRAW_FRAMEBUFFER_BINDING, &draw_fb);
    gl.get_integerv(GL_READ_FRAMEBUFFER_BINDING, &read_fb);
    gl.get_integerv(GL_VIEWPORT, viewport);
    gl.get_integerv(GL_SCISSOR_BOX, box);
    gl.get_integerv(GL_PACK_ALIGNMENT, &pack);
    GLboolean scissored = gl.is_enabled(GL_SCISSOR_TEST);
    target_bind(&picture);
    gl.enable(GL_SCISSOR_TEST);
    gl.scissor(x, y, 1, 1);
    draw(mode, first, count);
    gl.pixel_storei(GL_PACK_ALIGNMENT, 4);
    gl.bind_buffer(GL_PIXEL_PACK_BUFFER, ring[now]);
    gl.read_pixels(x, y, 1, 1, GL_RGBA, GL_FLOAT, NULL);
    gl.bind_buffer(GL_PIXEL_PACK_BUFFER, 0);
    asked[now] = 1;
    pixel[now][0] = x;
    pixel[now][1] = y;
    if (!scissored)
        gl.disable(GL_SCISSOR_TEST);
    gl.scissor(box[0], box[1], box[2], box[3]);
    gl.pixel_storei(GL_PACK_ALIGNMENT, pack);
    gl.bind_framebuffer(GL_DRAW_FRAMEBUFFER, (GLuint)draw_fb);
    gl.bind_framebuffer(GL_READ_FRAMEBUFFER, (GLuint)read_fb);
    gl.viewport(viewport[0], viewport[1], viewport[2], viewport[3]);
}

int probe_value(float rgba[4], int *x, int *y)
{
    memcpy(rgba, value, sizeof value);
    *x = at[0];
    *y = at[1];
    return have;
}

void probe_stop(void)
{
    if (picture.framebuffer != 0)
        target_free(&picture);
    picture = (struct target){0};
    if (ring[0] != 0)
        gl.delete_buffers(PROBE_RING, ring);
    memset(ring, 0, sizeof ring);
    memset(asked, 0, sizeof asked);
    have = 0;
}
