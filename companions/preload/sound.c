#include "sound.h"

#include <fftw3.h>
#include <math.h>

#include "target.h"

struct analysis {
    const float *samples;
    size_t count;
    double rate;
    float *window, *input;
    fftwf_complex *output;
    fftwf_plan plan;
    double smoothed[SOUND_WIDTH];
};

struct analysis *analysis_make(const float *samples, size_t count, double rate)
{
    struct analysis *a = preload_alloc(sizeof *a);
    memset(a, 0, sizeof *a);
    a->samples = samples;
    a->count = count;
    a->rate = rate;
    a->window = preload_alloc(ANALYSIS * sizeof *a->window);
    a->input = fftwf_alloc_real(ANALYSIS);
    a->output = fftwf_alloc_complex(ANALYSIS / 2 + 1);
    if (a->input == NULL || a->output == NULL)
        preload_fail("out of memory for a sound's analysis");
    a->plan = fftwf_plan_dft_r2c_1d(ANALYSIS, a->input, a->output, FFTW_ESTIMATE);
    /* Blackman's window, as the analyser has it (alpha 0.16). */
    for (int i = 0; i < ANALYSIS; i++) {
        double x = 2.0 * M_PI * i / ANALYSIS;
        a->window[i] = (float)(0.42 - 0.5 * cos(x) + 0.08 * cos(2.0 * x));
    }
    return a;
}

/* Sample number n of the audio, silence outside it. */
static float sample(const struct analysis *a, long long n)
{
    return n >= 0 && (size_t)n < a->count ? a->samples[n] : 0.0f;
}

static unsigned char byte(double v)
{
    return (unsigned char)(v <= 0.0 ? 0 : v >= 255.0 ? 255 : floor(v));
}

void analysis_at(struct analysis *a, double time, unsigned char rows[2][SOUND_WIDTH])
{
    long long end = llround(time * a->rate);
    for (int i = 0; i < ANALYSIS; i++)
        a->input[i] = sample(a, end - ANALYSIS + i) * a->window[i];
    fftwf_execute(a->plan);
    for (int k = 0; k < SOUND_WIDTH; k++) {
        double magnitude = hypot(a->output[k][0], a->output[k][1]) / ANALYSIS;
        a->smoothed[k] = 0.8 * a->smoothed[k] + 0.2 * magnitude;
        double db = a->smoothed[k] > 0 ? 20.0 * log10(a->smoothed[k]) : -1000.0;
        rows[0][k] = byte(255.0 * (db + 100.0) / 70.0);
    }
    for (int i = 0; i < SOUND_WIDTH; i++)
        rows[1][i] = byte(128.0 * (1.0 + sample(a, end - SOUND_WIDTH + i)));
}

void sound_render(GLuint program, long long first, long long count, int fd, PFNGLDRAWARRAYSPROC draw, GLenum mode,
                  GLint first_vertex, GLsizei vertices)
{
    static struct {
        PFNGLGETINTEGERVPROC get_integerv;
        PFNGLUSEPROGRAMPROC use_program;
        PFNGLBINDFRAMEBUFFERPROC bind_framebuffer;
        PFNGLVIEWPORTPROC viewport;
        PFNGLREADPIXELSPROC read_pixels;
        PFNGLPIXELSTOREIPROC pixel_storei;
    } gl;
    if (gl.get_integerv == NULL) {
        GL_ENTRY(glGetIntegerv, gl.get_integerv);
        GL_ENTRY(glUseProgram, gl.use_program);
        GL_ENTRY(glBindFramebuffer, gl.bind_framebuffer);
        GL_ENTRY(glViewport, gl.viewport);
        GL_ENTRY(glReadPixels, gl.read_pixels);
        GL_ENTRY(glPixelStorei, gl.pixel_storei);
    }
    GLint was_program = 0, framebuffer = 0, viewport[4] = {0};
    gl.get_integerv(GL_CURRENT_PROGRAM, &was_program);
    gl.get_integerv(GL_DRAW_FRAMEBUFFER_BINDING, &framebuffer);
    gl.get_integerv(GL_VIEWPORT, viewport);
    struct target block = target_make(SOUND_BLOCK, SOUND_BLOCK, GL_RGBA32F);
    const long long per_block = (long long)SOUND_BLOCK * SOUND_BLOCK;
    float *samples = preload_alloc((size_t)per_block * 2 * sizeof *samples);
    gl.use_program(program);
    for (long long done = 0; done < count; done += per_block) {
        long long n = count - done < per_block ? count - done : per_block;
        struct frame frame = {.sample = (double)(first + done)};
        target_bind(&block);
        inputs_set(program, &frame);
        draw(mode, first_vertex, vertices);
        gl.bind_framebuffer(GL_READ_FRAMEBUFFER, block.framebuffer);
        gl.pixel_storei(GL_PACK_ALIGNMENT, 4);
        gl.read_pixels(0, 0, SOUND_BLOCK, (GLsizei)((n + SOUND_BLOCK - 1) / SOUND_BLOCK), GL_RG, GL_FLOAT, samples);
        preload_write_all(fd, samples, (size_t)n * 2 * sizeof *samples, "the sound");
    }
    free(samples);
    target_free(&block);
    gl.use_program((GLuint)was_program);
    gl.bind_framebuffer(GL_FRAMEBUFFER, (GLuint)framebuffer);
    gl.viewport(viewport[0], viewport[1], viewport[2], viewport[3]);
}
