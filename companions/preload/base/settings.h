/*
 * The settings a command hands its library: one environment variable each, named in the library's table,
 * read, checked and removed when the library loads, so that nothing of them reaches the viewer's own
 * children. A value that is not of its kind, or a required one missing, ends the process with a message
 * naming the setting: the command and its library do not agree.
 */
#ifndef QUILLOMAR_SETTINGS_H
#define QUILLOMAR_SETTINGS_H

#include "base/base.h"

enum setting_kind {
    SETTING_INT,    /* int: a whole number, 0 or more */
    SETTING_NUMBER, /* double: a finite decimal number */
    SETTING_SIZE,   /* int[2]: WxH, both at least 1 */
    SETTING_POINT,  /* double[2]: X,Y */
    SETTING_TEXT,   /* char *: any text, a path or a word (the library keeps it) */
};

struct setting {
    const char *name;
    enum setting_kind kind;
    int required;
    void *into;
    int *given; /* set to 1 when the setting is there; may be NULL */
};

void settings_read(const struct setting *table, size_t count);

#endif
