/*
 * The recorder's reader of a session's events (QUILLOMAR_REPLAY, replay.c), as the command writes them
 * from the session it has read and checked: a line each, its kind and columns as text/sessions.h's
 * REPLAY_LINES has them.
 */
#ifndef QUILLOMAR_REPLAY_H
#define QUILLOMAR_REPLAY_H

#include "text/sessions.h"

struct replay_event {
    enum replay_kind kind;
    double clock;
    double numbers[4]; /* time: iTime, paused, speed; mouse: iMouse; key: code, down; uniform: its value */
    char *text;        /* build, pass: the file's path; uniform: its name */
    int pass;          /* pass: which of the passes (-1: none of them) */
    int count;         /* uniform: the numbers of its value */
    char *where;       /* uniform: the session's file and line, for a message */
};

/* The events of the file at path, in its order (the session's clock's), their count in *count; a file
 * that cannot be read, or a line the command does not write, is one message (preload_fail). */
struct replay_event *replay_read(const char *path, size_t *count);

#endif
