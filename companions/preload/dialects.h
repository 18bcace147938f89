/*
 * The dialects shaders are shared in, as one table (dialects.c): how a text is recognised, and what the GL
 * gets for it, a prelude (its head, the declarations of its inputs from the inputs table, its tail) and
 * then the text itself under "#line 1", so that messages carry the file's own line numbers. A text no
 * dialect recognises goes to the GL as it is.
 */
#ifndef QUILLOMAR_DIALECTS_H
#define QUILLOMAR_DIALECTS_H

#include "preload.h"

enum { DIALECT_MAINIMAGE = 1u << 0 };

struct dialect {
    unsigned id;
    const char *name;
    int (*recognise)(const char *text);
    const char *head; /* before the declarations */
    const char *tail; /* after them, ending in "#line 1\n" */
};

/* The dialect of text, or NULL when it goes to the GL as it is. */
const struct dialect *dialect_of(const char *text);

/* The text the GL gets for text in its dialect (the caller frees it), or NULL for a text that goes as it is. */
char *dialect_text(const char *text);

/* Hands text to the GL for shader through source (the GL's glShaderSource), as its dialect has it. */
void dialect_source(PFNGLSHADERSOURCEPROC source, GLuint shader, const char *text);

#endif
