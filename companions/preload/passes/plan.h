/*
 * The plan: the passes of a shader and what their channels show, as its command writes them in a file
 * (QUILLOMAR_PLAN), a line each; docs/internals.md ("The plan") gives its lines. Reading it needs no GL:
 * the textures it names are given to gl/channels.c by passes.c.
 */
#ifndef QUILLOMAR_PLAN_H
#define QUILLOMAR_PLAN_H

#include "text/kinds.h"

/* What a pass's channel reads. */
struct binding {
    enum binding_kind kind;
    int index; /* the texture's or the pass's number */
    enum filter filter;
    enum wrap wrap;
};

struct plan {
    int textures;
    struct {
        char *kind, *size, *path;
        double rate; /* a video's frames or a sound's samples per second; 0 when not given */
    } texture[MOST_TEXTURES];
    int count; /* the passes, the Image pass last */
    struct {
        enum pass_kind kind;
        char *path;
        struct binding channels[CHANNELS];
        int mipmapped; /* whether a reader reads its picture through mipmaps */
    } pass[MOST_PASSES];
    char *sound; /* the Sound pass's file (mainSound), or NULL */
};

/* Reads the plan at path into plan. A plan that cannot be read or is not one the command writes ends the
 * process with a message: the command and its library do not agree. */
void plan_read(const char *path, struct plan *plan);

/* Gives back what plan_read gave plan. */
void plan_free(struct plan *plan);

#endif
