/*
 * A text to build, as one value: the text, where it comes from (its includes are looked for beside it),
 * the folders to look in after, and the sampler type each of its channels is declared with; and what a
 * text included, which every expansion and build hands back.
 */
#ifndef QUILLOMAR_SOURCE_H
#define QUILLOMAR_SOURCE_H

#include "base/base.h"

/* A pass's channels, iChannel0 to iChannel3. */
#define CHANNELS 4
/* The files one text may be made of: its own and those it includes. */
#define MOST_SOURCES 64

/* What a channel is read with in GLSL. */
enum sampler { SAMPLER_2D, SAMPLER_CUBE, SAMPLER_3D };
extern const char *const SAMPLER_NAMES[3]; /* "sampler2D", "samplerCube", "sampler3D" */

struct source {
    const char *text;
    const char *path;                /* its file (NULL: "./shader", the folder the process is in) */
    const char *folders;             /* one a line, each as path_escape writes it; NULL: none */
    enum sampler samplers[CHANNELS]; /* what iChannelN is declared as */
};

/* The files of a text: 0 is the text's own, then each file it included, in the order of their numbers as
 * source strings. */
struct files {
    int count;
    char *paths[MOST_SOURCES];
};

/* The files of a text that is its own file alone. */
struct files files_of(const char *path);

/* A copy of files, to be given back with files_free. */
struct files files_copy(const struct files *files);

void files_free(struct files *files);

/* The files one a line (each as path_escape writes it) in the order of their numbers; the caller frees it. */
char *files_text(const struct files *files);

#endif
