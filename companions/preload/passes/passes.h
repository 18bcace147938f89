/*
 * A shader's passes, as its command hands them over in a plan (plan.h): buffer passes, drawn every frame
 * in the plan's order into pictures of their own that are kept from frame to frame, and the Image pass,
 * last, which is what the viewer draws (its own program). Each pass's channels show a texture, a buffer
 * pass's picture or the Image pass's previous frame. No plan: the Image pass alone, its channels black.
 *
 * A cube map pass (mainCubemap) is drawn into the six faces of a cube map of CUBE_SIDE pixels a side, in
 * 16-bit floats, kept the same way. A buffer is two 32-bit float RGBA targets of the picture's size: the
 * pass draws into one while its readers read the other, and they swap when it is drawn. So a pass that
 * reads itself or a pass after it sees the previous frame, and a pass that reads one before it sees this
 * frame. Buffers start at zero, and keep what overlaps when the picture's size changes.
 */
#ifndef QUILLOMAR_PASSES_H
#define QUILLOMAR_PASSES_H

#include "gl/channels.h"
#include "gl/target.h"
#include "passes/plan.h"
#include "programs/program.h"

/* The side of a cube map pass's faces. */
#define CUBE_SIDE 1024

/* How many passes there are (the Image pass is the last, pass passes_count() - 1), pass p's file (the Image
 * pass's NULL before a plan names it), and the Sound pass's file (mainSound), or NULL. */
int passes_count(void);
const char *passes_path(int p);
const char *passes_sound_file(void);

/* Reads the plan at path (NULL: none), and the textures it names. */
void passes_configure(const char *path);

/* Pass p's text as a source to build: its file, the include folders (one a line, as path_escape writes
 * them), and its channels' sampler types. */
struct source passes_source(int p, const char *text, const char *folders);

/* The Sound pass's text as a source to build: its file, the include folders, and the Image pass's
 * channels' sampler types (it has no channels of its own). */
struct source passes_sound_source(const char *text, const char *folders);

/* Builds pass p (not the Image pass, which the viewer builds) from text, with its includes looked for
 * beside its file and in folders; a program that builds replaces the one before. */
struct build passes_build(int p, const char *text, const char *folders);
/* The same, with its includes looked for beside path rather than its file (NULL: its file). */
struct build passes_build_at(int p, const char *text, const char *path, const char *folders);

/* Builds pass p as passes_build does from its file, read as preload_read_text reads; *text gets what was
 * read, which the caller frees: NULL when it could not be read (nothing is built then), and *why says
 * why (NULL: there is no such file). */
struct build passes_build_file(int p, const char *folders, char **text, const char **why);

/* Before the viewer's draw of a frame of frame->resolution: draws each buffer pass with draw (the GL's
 * glDrawArrays, with mode, first and count), then binds the Image pass's channels and sets the inputs
 * of the program in use. */
void passes_draw(struct frame *frame, PFNGLDRAWARRAYSPROC draw, GLenum mode, GLint first, GLsizei count);

/* After the viewer's draw: what the next frame needs of this one. */
void passes_drawn(const struct frame *frame);

/* A whole frame where the viewer draws: passes_draw, the viewer's own draw (draw(mode, first, count)),
 * passes_drawn. */
void passes_frame(struct frame *frame, PFNGLDRAWARRAYSPROC draw, GLenum mode, GLint first, GLsizei count);

/* Forgets the passes and their textures, and gives the GL back theirs (not the Image pass's program,
 * which is the viewer's): the plan can be read again. */
void passes_reset(void);

/* Sets every buffer back to zero. */
void passes_clear(void);

#endif
