/*
 * The words of the plan, and what each kind of channel is, as facts without the GL: the kinds of texture a
 * channel shows (the name the plan gives it, the sampler type shaders read it with, how many numbers its
 * size has, a size of its own, whether it has mipmaps), the filters and wraps a channel is read with, the
 * kinds of pass, and how many of each there may be. gl/channels.c decodes and uploads each kind; the
 * plan's reader (passes/plan.c) takes its words from here.
 */
#ifndef QUILLOMAR_KINDS_H
#define QUILLOMAR_KINDS_H

#include "text/source.h"

/* How many passes a shader may have, the Image pass included, and how many textures its plan may name. */
#define MOST_PASSES 16
#define MOST_TEXTURES 32

/* A sound channel's picture: the spectrum and the waveform, SOUND_WIDTH values each. */
#define SOUND_WIDTH 512

struct channel_kind {
    const char *name;
    enum sampler sampler;
    int sides;       /* the numbers of its size in the plan: 2 (WxH), or 3 (WxHxD: a volume's depth, a
                        video's frames) */
    int width, height; /* its own size, whatever the plan says; 0: the plan's */
    int mipmaps;     /* whether it can be read through mipmaps */
};
extern const struct channel_kind CHANNEL_KINDS[];
extern const size_t CHANNEL_KIND_COUNT;

/* The kind named name, or NULL. */
const struct channel_kind *channel_kind_named(const char *name);

enum filter { FILTER_NEAREST, FILTER_LINEAR, FILTER_MIPMAP };
enum wrap { WRAP_CLAMP, WRAP_REPEAT, WRAP_MIRROR };
enum pass_kind { PASS_BUFFER, PASS_IMAGE, PASS_CUBE };
/* What a channel of a pass reads: nothing (black), a texture, a pass's picture, the Image pass's previous
 * frame. */
enum binding_kind { BINDING_NOTHING, BINDING_TEXTURE, BINDING_PASS, BINDING_SELF };

/* The plan's words for each, in the order of the enums. */
extern const char *const FILTER_WORDS[3];
extern const char *const WRAP_WORDS[3];
extern const char *const PASS_WORDS[3];
extern const char *const BINDING_WORDS[4];

#endif
