/*
 * The dialects shaders are shared in, as one table (dialects.c): how a text is recognised, and what the GL
 * gets for it: "#version 330 core" and the text's own #extension lines, a prelude (its head, the
 * declarations of its inputs from the inputs table, its tail), the text itself under "#line 1", so that
 * messages carry the file's own line numbers, and what comes after it (a main that calls the text's own).
 * A text no dialect recognises goes to the GL as it is. The prelude's own names start with "quillomar".
 */
#ifndef QUILLOMAR_DIALECTS_H
#define QUILLOMAR_DIALECTS_H

#include "text/inputs.h"
#include "text/tuned.h"

/* A Sound pass is drawn into blocks of SOUND_BLOCK x SOUND_BLOCK samples, a pixel each. */
#define SOUND_BLOCK 512

struct dialect {
    unsigned id; /* its bit (inputs.h) */
    const char *name;
    int (*recognise)(const char *text);
    const char *head;  /* before the declarations */
    const char *tail;  /* after them, before the text */
    const char *after; /* after the text */
    /* For a text in GLSL ES 1.00 (no #version, gl_FragColor, varying): the varyings the prelude gives a
     * value, each "NAME=EXPRESSION", and the extensions the desktop GL has in its core. */
    const char *const *varyings;
};

/* The directives of the commands' own that a text may hold (#iChannel0 "file://a.png", #iKeyboard, ...),
 * each a line the GL gets blank; and #iDialect "NAME", which says what a text is (a NAME no dialect has is
 * left to the GL). */
extern const char *const DIRECTIVES[];
extern const size_t DIRECTIVE_COUNT;
#define DIALECT_DIRECTIVE "iDialect"

/* The name of the dialect numbered i in the table (from 0); NULL past the last. */
const char *dialect_name(size_t i);

/* The dialect of text, or NULL when it goes to the GL as it is. */
const struct dialect *dialect_of(const char *text);

/* The text the GL gets for source in its dialect, with its includes in place (includes.h) and its
 * channels declared as their samplers (the caller frees it), or NULL for a text that goes as it is; files
 * gets the files it is made of either way (the caller gives them back with files_free). Each #iUniform
 * directive read is handed to declare (the caller's: tuned_declare puts it in the table of text/tuned.h;
 * NULL: none), which says -1 when there is no room for it: the GL gets an #error in its place then. */
char *dialect_text(const struct source *source, struct files *files,
                   int (*declare)(const struct tuned_uniform *u));

/* What was wrong with the directives of the text dialect_text last translated, as the GL's messages say it
 * ("0:LINE:COLUMN: error: ...", LINE numbered as the GL numbers the text's, COLUMN from 1 in the line as
 * written), for a build to fail with; NULL when nothing was. The GL gets an #error in the line's place. */
const char *dialect_error(void);

#endif
