/* A sound channel's analysis (analysis.h). */
#include "gl/analysis.h"

#include <fftw3.h>
#include <math.h>

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
