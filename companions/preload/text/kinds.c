/* The words of the plan, and the kinds of channel (kinds.h). */
#include "text/kinds.h"

#include "text/keys.h"

const struct channel_kind CHANNEL_KINDS[] = {
    {"image", SAMPLER_2D, 2, 0, 0, 1},
    {"cube", SAMPLER_CUBE, 2, 0, 0, 1},
    {"volume", SAMPLER_3D, 3, 0, 0, 1},
    {"keyboard", SAMPLER_2D, 2, KEY_CODES, 3, 0},
    {"video", SAMPLER_2D, 3, 0, 0, 1},
    {"sound", SAMPLER_2D, 2, SOUND_WIDTH, 2, 0},
    {"capture", SAMPLER_2D, 2, SOUND_WIDTH, 2, 0},
};
const size_t CHANNEL_KIND_COUNT = sizeof CHANNEL_KINDS / sizeof CHANNEL_KINDS[0];

const struct channel_kind *channel_kind_named(const char *name)
{
    for (size_t k = 0; k < CHANNEL_KIND_COUNT; k++)
        if (strcmp(name, CHANNEL_KINDS[k].name) == 0)
            return &CHANNEL_KINDS[k];
    return NULL;
}

const char *const FILTER_WORDS[3] = {"nearest", "linear", "mipmap"};
const char *const WRAP_WORDS[3] = {"clamp", "repeat", "mirror"};
const char *const PASS_WORDS[3] = {"buffer", "image", "cube"};
const char *const BINDING_WORDS[4] = {"nothing", "texture", "pass", "self"};
