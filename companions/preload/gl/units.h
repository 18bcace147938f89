/*
 * The texture units the libraries bind to: each channel's own (0 to CHANNELS - 1, which the inputs table's
 * iChannelN are set to), then the Image pass's previous frame, then the one textures are uploaded through
 * (so that no channel's binding changes), then #iKeyboard's keys.
 */
#ifndef QUILLOMAR_UNITS_H
#define QUILLOMAR_UNITS_H

#include "text/source.h"

#define PREVIOUS_UNIT CHANNELS
#define UPLOAD_UNIT (CHANNELS + 1)
#define KEYBOARD_UNIT (CHANNELS + 2)

#endif
