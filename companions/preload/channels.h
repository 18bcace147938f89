/*
 * The channels iChannel0 to iChannel3 as units, each of a kind (channels.c's table) that decodes what its
 * command hands over, uploads it and binds it. A channel given nothing is black and has size 0.
 *
 *   QUILLOMAR_CHANNEL<N>_KIND  the kind: "image"
 *   QUILLOMAR_CHANNEL<N>_SIZE  WxH
 *   QUILLOMAR_CHANNEL<N>_PATH  the data: for an image, WxH RGBA pixels, bottom row first
 */
#ifndef QUILLOMAR_CHANNELS_H
#define QUILLOMAR_CHANNELS_H

#include "inputs.h"

/* Reads every channel's settings and data, so that a missing or broken one is found before any window
 * opens. */
void channels_configure(void);

/* Uploads the channels on first use; binds channel N to texture unit N, and fills frame's channel fields. */
void channels_apply(struct frame *frame);

#endif
