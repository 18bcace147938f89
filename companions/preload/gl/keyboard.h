/*
 * The keyboard as shaders read it: each key's state (down, pressed in this frame, toggled, released in this
 * frame), changed by key events and by the end of a frame, and bound as #iKeyboard's texture; and a GLFW
 * key's browser code, by which the keys are indexed.
 */
#ifndef QUILLOMAR_KEYBOARD_H
#define QUILLOMAR_KEYBOARD_H

#include "gl/gl.h"
#include "text/inputs.h"
#include "text/keys.h"

/* The keys' rows (a byte a key, 255 for yes), and a count of their changes: what shows them is set again
 * when it differs from the one it was set at. */
struct keys {
    unsigned char rows[KEY_ROWS][KEY_CODES];
    long serial;
};
extern struct keys keyboard;

/* Key (a browser's key code, 0 to 255; any other is ignored) is down or up from this frame on. */
void keyboard_key(int key, int down);

/* A frame has been drawn: no key has been pressed or released in the next one yet. */
void keyboard_frame_done(void);

/* Whether some pass reads the keyboard (a channel of the keyboard kind): its keys go to the shader. */
void keyboard_wanted(int wanted);
int keyboard_read(void);

/* Binds the keys, as #iKeyboard reads them (every row), to a unit of their own when some pass reads the
 * keyboard; fills frame's field for it. */
void keyboard_bind(struct frame *frame);

/* The browser's code (KeyboardEvent.keyCode) of a GLFW key, as the keyboard texture is indexed by it; -1
 * for none. */
int keyboard_code(int glfw_key);

#endif
