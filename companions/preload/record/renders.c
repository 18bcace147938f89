/*
 * What the GL does to a recording's frame (renders.h). --scale: the picture drawn into a target of 1/D of
 * the size and copied up in blocks (gl/target.c's target_blocks, GL_NEAREST). Tiles: the picture is cut into tiles x tiles
 * rectangles, the edges at width * i / tiles and height * j / tiles, so that they cover it exactly; the
 * viewport stays the whole picture's and the scissor lets one rectangle through per draw, so a fragment
 * is shaded with the very inputs it would have untiled. glFinish after each draw makes each tile a piece
 * of work of its own for the driver (a desktop driver's watchdog times a piece, not the frame).
 */
#include "record/renders.h"

#include <math.h>

struct target renders_divided(const struct target *picture, int scale)
{
    if (scale <= 1)
        return *picture;
    return target_make((picture->width + scale - 1) / scale, (picture->height + scale - 1) / scale, GL_RGBA8);
}

void renders_scaled_up(const struct target *drawn, const struct target *picture, int scale)
{
    if (scale > 1)
        target_blocks(drawn, picture, scale);
}

static PFNGLENABLEPROC enable;
static PFNGLDISABLEPROC disable;
static PFNGLSCISSORPROC scissor;
static PFNGLFINISHPROC finish;

const unsigned char *renders_blended(const unsigned char *pixels, size_t count, int n, int alpha)
{
    static float *sum;
    static unsigned char *frame;
    static int added;
    if (sum == NULL) {
        sum = preload_alloc(count * sizeof *sum);
        frame = preload_alloc(count);
        memset(sum, 0, count * sizeof *sum);
    }
    for (size_t i = 0; i < count; i++)
        sum[i] += (float)pixels[i] * (alpha && i % 4 != 3 ? (float)pixels[i | 3] / 255.0f : 1.0f);
    if (++added < n)
        return NULL;
    for (size_t i = 0; alpha && i < count; i++) { /* the colour's average, its weights the alphas' */
        float weights = sum[i | 3] / 255.0f;
        if (i % 4 != 3)
            sum[i] = weights > 0.0f ? fminf(sum[i] / weights, 255.0f) * (float)n : 0.0f;
    }
    for (size_t i = 0; i < count; i++) {
        frame[i] = (unsigned char)floorf(sum[i] / (float)n + 0.5f);
        sum[i] = 0.0f;
    }
    added = 0;
    return frame;
}

const char *renders_too_large(int width, int height, int *limit)
{
    static PFNGLGETINTEGERVPROC get_integerv;
    GL_ENTRY(glGetIntegerv, get_integerv);
    GLint most[2] = {0, 0};
    get_integerv(GL_MAX_TEXTURE_SIZE, most);
    if (width > most[0] || height > most[0])
        return *limit = most[0], "GL_MAX_TEXTURE_SIZE";
    get_integerv(GL_MAX_RENDERBUFFER_SIZE, most);
    if (width > most[0] || height > most[0])
        return *limit = most[0], "GL_MAX_RENDERBUFFER_SIZE";
    get_integerv(GL_MAX_VIEWPORT_DIMS, most);
    if (width > most[0] || height > most[1])
        return *limit = width > most[0] ? most[0] : most[1], "GL_MAX_VIEWPORT_DIMS";
    return NULL;
}

int renders_tiled(PFNGLDRAWARRAYSPROC draw, GLenum mode, GLint first, GLsizei count, int width, int height,
                  int tiles)
{
    int made = 0;
    if (scissor == NULL) {
        GL_ENTRY(glEnable, enable);
        GL_ENTRY(glDisable, disable);
        GL_ENTRY(glScissor, scissor);
        GL_ENTRY(glFinish, finish);
    }
    enable(GL_SCISSOR_TEST);
    for (int j = 0; j < tiles; j++) {
        int y0 = (int)((long long)height * j / tiles), y1 = (int)((long long)height * (j + 1) / tiles);
        for (int i = 0; i < tiles; i++) {
            int x0 = (int)((long long)width * i / tiles), x1 = (int)((long long)width * (i + 1) / tiles);
            scissor(x0, y0, x1 - x0, y1 - y0);
            draw(mode, first, count);
            finish();
            made++;
        }
    }
    disable(GL_SCISSOR_TEST);
    return made;
}
