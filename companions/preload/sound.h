/*
 * Sound for shaders: what a sound channel shows (the spectrum and the waveform of its audio at a moment,
 * computed as the site's audio analyser computes them), and a Sound pass (mainSound) rendered on the GL
 * into samples.
 */
#ifndef QUILLOMAR_SOUND_H
#define QUILLOMAR_SOUND_H

#include "preload.h"
#include "inputs.h"

/* The analysis: a window of ANALYSIS samples, of which the first SOUND_WIDTH frequency bins are shown. */
#define ANALYSIS 2048
#define SOUND_WIDTH 512

struct analysis;

/* An analysis of mono audio: count samples at rate per second, from the start. */
struct analysis *analysis_make(const float *samples, size_t count, double rate);

/* What the channel shows at time (seconds of the audio): row 0 the spectrum of the ANALYSIS samples before
 * time (a Blackman window, magnitudes smoothed with the analysis before by 0.8, -100 dB to -30 dB as 0 to
 * 255), row 1 the SOUND_WIDTH samples before time (-1 to 1 as 0 to 255). Outside the audio is silence. */
void analysis_at(struct analysis *a, double time, unsigned char rows[2][SOUND_WIDTH]);


/* The Sound pass: a block of samples is SOUND_BLOCK x SOUND_BLOCK pixels, a sample each, at SAMPLE_RATE. */
#define SOUND_BLOCK 512
#define SAMPLE_RATE 44100

/* Draws the Sound pass program (the current GL context's, built from a mainSound text) for count stereo
 * samples from sample number first, in blocks, with draw (the GL's glDrawArrays, with mode, vertex first and
 * vertex count, on the viewer's quad), and writes them to fd as 32-bit floats, left then right. Leaves the
 * framebuffer, viewport and program as they were. */
void sound_render(GLuint program, long long first, long long count, int fd, PFNGLDRAWARRAYSPROC draw, GLenum mode,
                  GLint first_vertex, GLsizei vertices);

#endif
