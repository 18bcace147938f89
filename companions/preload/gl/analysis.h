/*
 * What a sound channel shows: the spectrum and the waveform of its audio at a moment, computed as the
 * site's audio analyser computes them (with FFTW).
 */
#ifndef QUILLOMAR_ANALYSIS_H
#define QUILLOMAR_ANALYSIS_H

#include "base/base.h"
#include "text/kinds.h"

/* The analysis: a window of ANALYSIS samples, of which the first SOUND_WIDTH frequency bins are shown. */
#define ANALYSIS 2048

struct analysis;

/* An analysis of mono audio: count samples at rate per second, from the start. */
struct analysis *analysis_make(const float *samples, size_t count, double rate);

/* What the channel shows at time (seconds of the audio): row 0 the spectrum of the ANALYSIS samples before
 * time (a Blackman window, magnitudes smoothed with the analysis before by 0.8, -100 dB to -30 dB as 0 to
 * 255), row 1 the SOUND_WIDTH samples before time (-1 to 1 as 0 to 255). Outside the audio is silence. */
void analysis_at(struct analysis *a, double time, unsigned char rows[2][SOUND_WIDTH]);

#endif
