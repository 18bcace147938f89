/*
 * What every preloaded piece and translate share, with no GL in it: failing with one message, writing
 * whole buffers and records, texts that grow, paths in lines and names as a title shows them, the one
 * reader of the files the libraries read, and the monotonic clock.
 *
 * Every piece is built with PRELOAD_NAME defined as the name of the library (or program) it goes into:
 * its messages start with it.
 */
#ifndef QUILLOMAR_BASE_H
#define QUILLOMAR_BASE_H

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#ifndef PRELOAD_NAME
#error "build with PRELOAD_NAME defined as the library's name"
#endif

/* Says "PRELOAD_NAME: " and the formatted message on standard error and ends the process with status 70,
 * for what nothing sensible can go on after. */
__attribute__((noreturn, format(printf, 1, 2))) void preload_fail(const char *format, ...);

/* Writes all of data to fd, whatever the pipe takes at a time; fails, naming what, on an error. */
void preload_write_all(int fd, const void *data, size_t size, const char *what);

/* One field of a record: NAME=VALUE when value is set, else a payload of size bytes at data. */
struct field {
    const char *name;
    const char *value;
    const void *data;
    size_t size;
};
#define FIELD(name, value) {(name), (value), NULL, 0}
#define PAYLOAD(name, data, size) {(name), NULL, (data), (size)}

/* Writes one record, "\036KIND NAME=VALUE ... NAME:BYTES ...\n" and then the payloads, to fd. */
void record_write(int fd, const char *kind, const struct field *fields, size_t count);

/* Allocations that cannot fail: out of memory ends the process with one message. */
void *preload_alloc(size_t size);

/* CLOCK_MONOTONIC in nanoseconds. */
long long preload_now_ns(void);

/* A text that grows as it is written, always NUL-terminated once written to; start from {0}. */
struct text {
    char *data;
    size_t used, room;
};
void text_add(struct text *t, const char *data, size_t size);
__attribute__((format(printf, 2, 3))) void text_addf(struct text *t, const char *format, ...);

/* A path as the line-based texts between a command and its library carry it (the plan, live's plan lines,
 * the files of a build record, the include folders): its bytes as they are, but a backslash, a line break
 * and a tab, written \\, \n and \t. path_escape appends path so written to t; path_unescape turns such
 * a text back into the path in place, and says 0 for an escape it does not write. */
void path_escape(struct text *t, const char *path);
int path_unescape(char *text);

/* name as a title shows it: in UTF-8, each byte that is no part of a character and each control character
 * written \xNN, as the live log writes them. The caller frees it. */
char *printable_name(const char *name);

/* The largest file read. */
#define LARGEST_TEXT (16LL << 20)

/* A text file's whole text, NUL-terminated; or NULL, with *why saying why it cannot be read (NULL when it
 * does not exist). Only a regular file of at most LARGEST_TEXT bytes (16 MiB) is read, and the open does
 * not wait (on a FIFO, say). */
char *preload_read_text(const char *path, const char **why);

#endif
