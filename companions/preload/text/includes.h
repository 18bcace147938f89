/*
 * #include in every dialect: a line `#include "FILE"`, `#include <FILE>`, `#pragma include "FILE"` or
 * `#pragma include <FILE>` is replaced by FILE's text between #line directives, so that the GL's messages
 * say in which file, and at which of its lines, they are: the lines of the Nth file included count from
 * N x 100000 + 1 (line 100003 is line 3 of the first file included).
 * "FILE" is looked for beside the file that includes it, then in the folders given (as a C compiler's
 * -I); <FILE> in those folders, then beside it. A file with `#pragma once` is taken once; include guards
 * work as the preprocessor has them. A file that cannot be read becomes an #error line at the #include.
 */
#ifndef QUILLOMAR_INCLUDES_H
#define QUILLOMAR_INCLUDES_H

#include "text/source.h"

/* The lines of the file numbered N are numbered from N x LINES_APART + 1: source string numbers would be
 * the GL's way, but Mesa does not give them in every message. */
#define LINES_APART 100000

/* source's text with its includes in place (the caller frees it), or NULL when it has none; files gets
 * the files it is made of either way (the caller gives them back with files_free). */
char *includes_expand(const struct source *source, struct files *files);

#endif
