/*
 * The keys as shaders know them: a browser's key code (KeyboardEvent.keyCode, 0 to 255), which indexes
 * the keyboard texture, and the name #iKeyboard gives it (Key_NAME).
 */
#ifndef QUILLOMAR_KEYS_H
#define QUILLOMAR_KEYS_H

#include "base/base.h"

/* The keyboard texture's rows, as #iKeyboard reads them: down, pressed in this frame, toggled, released in
 * this frame (the site's texture has the first three). */
#define KEY_ROWS 4
#define KEY_CODES 256

/* The name of the key numbered i (from 0, in the order #iKeyboard declares them) into name, and its
 * code; -1 when there is no such key. */
int key_named(size_t i, char name[16]);

#endif
