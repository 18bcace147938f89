/*
 * What a pass's channels iChannel0 to iChannel3 show: the textures the command hands over, each of a kind
 * (text/kinds.h says what each is; channels.c's table decodes its data and uploads it);
 * and binding a channel to its texture unit with its filter and wrap. A channel given nothing is black
 * and has size 0.
 */
#ifndef QUILLOMAR_CHANNELS_H
#define QUILLOMAR_CHANNELS_H

#include "gl/gl.h"
#include "text/inputs.h"
#include "text/kinds.h"

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

/* Forgets every texture, and gives the GL back theirs. */
void channels_reset(void);

/* The sampler type texture number t is read with. */
enum sampler channels_sampler(int t);

/* Texture number t as a unit to bind (uploaded on first use), read with filter and wrap, as it is at
 * time (a video's picture then, looping). */
struct unit channels_texture(int t, enum filter filter, enum wrap wrap, double time);

/* Binds unit to texture unit n, and fills frame's fields of channel n. */
void channels_bind(int n, const struct unit *unit, struct frame *frame);

#endif
