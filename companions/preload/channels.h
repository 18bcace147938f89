/*
 * What a pass's channels iChannel0 to iChannel3 show: the textures the command hands over, each of a kind
 * (channels.c's table) that decodes its data, uploads it and says what sampler type shaders read it with;
 * and binding a channel to its texture unit with its filter and wrap. A channel given nothing is black
 * and has size 0.
 */
#ifndef QUILLOMAR_CHANNELS_H
#define QUILLOMAR_CHANNELS_H

#include "inputs.h"

/* The keyboard's texture, as the site has it: a texel a key (a browser's key code), rows down, pressed and
 * toggled. */
#define KEYBOARD_WIDTH 256
#define KEYBOARD_ROWS 3

enum filter { FILTER_NEAREST, FILTER_LINEAR, FILTER_MIPMAP };
enum wrap { WRAP_CLAMP, WRAP_REPEAT, WRAP_MIRROR };

/* What a channel is bound to: a GL texture of a target (0: nothing, black), its size, and how it is read. */
struct unit {
    GLenum target;
    GLuint texture;
    int size[3];
    enum filter filter;
    enum wrap wrap;
};

/* Reads a texture of kind ("image", "keyboard", ...) of size (WxH, or WxHxD: a volume's depth, a video's
 * frames) from the file at path, so that a missing or broken one is found before any window opens; rate
 * is a video's frames per second. Returns its number. what names it in messages. */
int channels_add(const char *kind, const char *size, const char *path, double rate, const char *what);

/* The kind numbered k of the table of kinds (from 0): its name, the GL sampler type shaders read it with,
 * how many numbers its size has (WxH, or WxHxD) and whether it has mipmaps (and is read through them);
 * NULL past the last. */
const char *channels_kind(size_t k, GLenum *sampler_type, int *dimensions, int *has_mipmaps);

/* Forgets every texture, and gives the GL back theirs. */
void channels_reset(void);

/* The GL sampler type texture number t is read with (GL_SAMPLER_2D, GL_SAMPLER_CUBE, GL_SAMPLER_3D). */
GLenum channels_sampler_type(int t);

/* Texture number t as a unit to bind (uploaded on first use), read with filter and wrap, as it is at
 * time (a video's picture then, looping). */
struct unit channels_texture(int t, enum filter filter, enum wrap wrap, double time);

/* Binds unit to texture unit n, and fills frame's fields of channel n. */
void channels_bind(int n, const struct unit *unit, struct frame *frame);

/* The keyboard's state, as shaders read it: key (a browser's key code, 0 to 255) is down or up from this
 * frame on. */
void keyboard_key(int key, int down);

/* A frame has been drawn: no key has been pressed in the next one yet. */
void keyboard_frame_done(void);

/* Binds the keys, as #iKeyboard reads them (rows down, pressed, toggled and released), to a unit of their
 * own; fills frame's field for it. */
void channels_bind_keyboard(struct frame *frame);

/* Whether some pass reads the keyboard. */
int channels_keyboard_read(void);

#endif
