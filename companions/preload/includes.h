/*
 * #include in every dialect: a line `#include "FILE"`, `#include <FILE>`, `#pragma include "FILE"` or
 * `#pragma include <FILE>` is replaced by FILE's text between #line directives, so that the GL's messages
 * say in which file, and at which of its lines, they are: the lines of the Nth file included count from
 * N x LINES_APART + 1 (line 100003 is line 3 of the first file included).
 * "FILE" is looked for beside the file that includes it, then in the folders given (as a C compiler's
 * -I); <FILE> in those folders, then beside it. A file with `#pragma once` is taken once; include guards
 * work as the preprocessor has them. A file that cannot be read becomes an #error line at the #include.
 */
#ifndef QUILLOMAR_INCLUDES_H
#define QUILLOMAR_INCLUDES_H

#include "preload.h"

#define MOST_SOURCES 64
/* The lines of the file numbered N are numbered from N x LINES_APART + 1: source string numbers would be
 * the GL's way, but Mesa does not give them in every message. */
#define LINES_APART 100000

/* The files of the text last expanded: 0 is the text's own, then each file it included, in the order
 * of their numbers as source strings. */
struct sources {
    int count;
    char *paths[MOST_SOURCES];
};
extern struct sources sources;

/* Where the text comes from (its includes are looked for beside it), and the folders to look in after,
 * one a line, each as path_escape writes it. */
void includes_configure(const char *origin, const char *folders);

/* text with its includes in place (the caller frees it), or NULL when it has none; sources lists the
 * files either way. */
char *includes_expand(const char *text);

/* The files of the text last expanded, one a line (escaped as paths in lines are) in the order of their
 * numbers; the caller frees it. */
char *includes_files(void);

#endif
