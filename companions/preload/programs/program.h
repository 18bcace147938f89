/*
 * Programs in the viewer's own context: the viewer's shaders as it makes them (its vertex shader's text,
 * its fragment shader object and the text it hands the GL for it, which goes through the dialects), and
 * building any fragment text with the viewer's vertex shader, with the GL's whole log.
 */
#ifndef QUILLOMAR_PROGRAM_H
#define QUILLOMAR_PROGRAM_H

#include "gl/gl.h"
#include "text/source.h"

/* The viewer's own vertex and fragment shaders (as the adapter, viewer/viewer.c, recognises them), their
 * texts once it has handed them over, and the files its fragment text is made of. */
struct viewer_shaders {
    GLuint vertex, fragment;
    char *vertex_text, *fragment_text;
    struct files files;
    char *directive_error; /* what was wrong with its text's directives (text/dialects.h), or NULL */
};
extern struct viewer_shaders viewer; /* program.c's: the other pieces read it */

/* A shader the viewer made (type: GL_VERTEX_SHADER or GL_FRAGMENT_SHADER): its first of each type is its own. */
void program_viewer_shader(GLenum type, GLuint shader);

/* The viewer's vertex text (count strings), kept for every program built. */
void program_viewer_vertex(GLsizei count, const GLchar *const *strings);

/* The viewer's fragment text (count strings), kept, and handed to the GL for viewer.fragment as its
 * dialect has it, read as as says (its path, folders and samplers; its text is the viewer's). */
void program_viewer_fragment(GLsizei count, const GLchar *const *strings, const struct source *as);

/* What a build gave: the program (0 when it did not link, and then it is deleted), the GL's whole log (of
 * the fragment shader when it did not compile, else of the program, or the fragment shader's warnings
 * when it linked), the time the GL took, and the files the text is made of. build_free gives back the log
 * and the files (not the program). */
struct build {
    GLuint program;
    int compiled, linked;
    double ms;
    char *log;
    struct files files;
};
void build_free(struct build *b);

/* Builds source, through its dialect, with the viewer's vertex shader. */
struct build program_build(const struct source *source);

/* What the build of fragment into program, started at started (preload_now_ns), gave; deletes neither.
 * Its files are those of the viewer's own text, and for the viewer's own, a malformed directive is its log. */
struct build program_outcome(GLuint fragment, GLuint program, long long started);

/* The GL's whole log of a shader or a program, however long; the caller frees it. */
char *gl_log(GLuint object, int is_program);

#endif
