/*
 * The dialects shaders are shared in, as one table (dialects.c): how a text is recognised, and what the GL
 * gets for it: "#version 330 core" and the text's own #extension lines, a prelude (its head, the
 * declarations of its inputs from the inputs table, its tail), the text itself under "#line 1", so that
 * messages carry the file's own line numbers, and what comes after it (a main that calls the text's own).
 * A text no dialect recognises goes to the GL as it is. The prelude's own names start with "quillomar".
 */
#ifndef QUILLOMAR_DIALECTS_H
#define QUILLOMAR_DIALECTS_H

#include "preload.h"

enum {
    DIALECT_MAINIMAGE = 1u << 0,
    DIALECT_BOOK = 1u << 1,
    DIALECT_SANDBOX = 1u << 2,
    DIALECT_CUBEMAP = 1u << 3,
    DIALECT_SOUND = 1u << 4,
};

struct dialect {
    unsigned id;
    const char *name;
    int (*recognise)(const char *text);
    const char *head;  /* before the declarations */
    const char *tail;  /* after them, before the text */
    const char *after; /* after the text */
    /* For a text in GLSL ES 1.00 (no #version, gl_FragColor, varying): the varyings the prelude gives a
     * value, each "NAME=EXPRESSION", and the extensions the desktop GL has in its core. */
    const char *const *varyings;
};

/* The name of the dialect numbered i in the table (from 0); NULL past the last. */
const char *dialect_name(size_t i);

/* The key numbered i (from 0) of those #iKeyboard names for shaders (Key_NAME): its browser key code, with
 * its NAME in name; -1 past the last. */
int dialect_key(size_t i, char name[16]);

/* The dialect of text, or NULL when it goes to the GL as it is. */
const struct dialect *dialect_of(const char *text);

/* The text the GL gets for text in its dialect, with its includes in place (includes.h) (the caller frees
 * it), or NULL for a text that goes as it is. */
char *dialect_text(const char *text);

/* Hands text to the GL for shader through source (the GL's glShaderSource), as its dialect has it. */
void dialect_source(PFNGLSHADERSOURCEPROC source, GLuint shader, const char *text);

#endif
