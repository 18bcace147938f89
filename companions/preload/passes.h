/*
 * A shader's passes, as its command hands them over in a plan: buffer passes, drawn every frame in the
 * plan's order into pictures of their own that are kept from frame to frame, and the Image pass, last,
 * which is what the viewer draws (its own program). Each pass's channels show a texture, a buffer pass's
 * picture or the Image pass's previous frame.
 *
 * A cube map pass (mainCubemap) is drawn into the six faces of a cube map of CUBE_SIDE pixels a side, in
 * 16-bit floats, kept the same way. A buffer is two 32-bit float RGBA targets of the picture's size: the pass draws into one while its
 * readers read the other, and they swap when it is drawn. So a pass that reads itself or a pass after it
 * sees the previous frame, and a pass that reads one before it sees this frame. Buffers start at zero,
 * and keep what overlaps when the picture's size changes.
 *
 * The plan (QUILLOMAR_PLAN, a file), a line each, fields separated by tabs:
 *   texture KIND SIZE PATH [RATE]       a texture for channels (channels.c's kinds), numbered from 0; RATE
 *                                      is a video's frames per second
 *   pass buffer|cube|image PATH        a pass, in the order they are drawn; the Image pass last
 *   sound PATH                         the Sound pass (mainSound): not drawn in frames, but made into samples
 *   channel N texture|pass|self INDEX FILTER WRAP
 *                                      the last pass's iChannelN: texture INDEX, the picture of pass
 *                                      INDEX, or the Image pass's previous frame; FILTER nearest, linear
 *                                      or mipmap; WRAP clamp, repeat or mirror
 * No plan: the Image pass alone, its channels black.
 */
#ifndef QUILLOMAR_PASSES_H
#define QUILLOMAR_PASSES_H

#include "channels.h"
#include "program.h"
#include "target.h"

#define MOST_PASSES 16

enum pass_kind { PASS_BUFFER, PASS_IMAGE, PASS_CUBE };

/* The side of a cube map pass's faces. */
#define CUBE_SIDE 1024
enum binding_kind { BINDING_NOTHING, BINDING_TEXTURE, BINDING_PASS, BINDING_SELF };

struct binding {
    enum binding_kind kind;
    int index;
    enum filter filter;
    enum wrap wrap;
};

struct pass {
    enum pass_kind kind;
    char *path;
    struct binding channels[CHANNELS];
    GLuint program;         /* 0 until it builds; a buffer pass with none is not drawn */
    GLint time_location;    /* where its program has iTime, which the viewer sets only on its own */
    struct target front, back;
    struct target faces[2][6]; /* a cube map pass's: the faces read, and those drawn next */
    int mipmapped;          /* whether a reader reads its picture through mipmaps */
    int failed;             /* whether its newest text did not build */
};

extern struct passes {
    int count; /* the Image pass is the last */
    struct pass pass[MOST_PASSES];
    char *sound; /* the Sound pass's file (mainSound), or NULL */
} passes;

/* Reads the plan at path (NULL: none), and the textures it names. */
void passes_configure(const char *path);

/* Builds pass p (not the Image pass, which the viewer builds) from text, with its includes looked for
 * beside its file and in folders (colon-separated); a program that builds replaces the one before. */
struct build passes_build(int p, const char *text, const char *folders);

/* The GL sampler type of channel n of the pass being built (what the prelude declares iChannelN as). */
GLenum passes_sampler_type(int n);

/* Before the viewer's draw of a frame of frame->resolution: draws each buffer pass with draw (the GL's
 * glDrawArrays, with mode, first and count), then binds the Image pass's channels and sets the inputs
 * of the program in use. */
void passes_draw(struct frame *frame, PFNGLDRAWARRAYSPROC draw, GLenum mode, GLint first, GLsizei count);

/* After the viewer's draw: what the next frame needs of this one. */
void passes_drawn(const struct frame *frame);

/* Forgets the passes and their textures, and gives the GL back theirs (not the Image pass's program,
 * which is the viewer's): the plan can be read again. */
void passes_reset(void);

/* Sets every buffer back to zero. */
void passes_clear(void);

#endif
