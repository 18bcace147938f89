/*
 * The settings a command hands its library: one environment variable each, read, checked and removed
 * when the library loads, so that nothing of them reaches the viewer's own children. Every setting is a
 * row of one table, SETTINGS (settings.c): its name, kind, the libraries that read it, whether they
 * require it, and its bounds. translate --describe prints the table, and the commands write each setting
 * against it (settings.py), their options bounded by it: a bound is written here once. A library names
 * the rows it reads and where each goes (settings_of). A value that is not of its kind or outside its
 * bounds, or a required one missing, ends the process with a message naming the setting: the command
 * and its library do not agree.
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

/* The kinds' names, as translate --describe prints them. */
extern const char *const SETTING_KIND_NAMES[SETTING_TEXT + 1];

/* The bounds of a value (each number of a size or a point): none, at least least, at most most, and
 * above least (least itself left out). */
enum { BOUND_LEAST = 1u << 0, BOUND_MOST = 1u << 1, BOUND_ABOVE = 1u << 2 };

/* One setting read into one place: a row of a library's own, or made from a row of SETTINGS. */
struct setting {
    const char *name;
    enum setting_kind kind;
    int required;
    void *into;
    int *given; /* set to 1 when the setting is there; may be NULL */
    unsigned bounds;
    double least, most;
};

void settings_read(const struct setting *table, size_t count);

/* The libraries, a bit each: which read a row of SETTINGS. */
enum { LIBRARY_LIVE = 1u << 0, LIBRARY_RECORD = 1u << 1, LIBRARY_HEADLESS = 1u << 2 };
#define LIBRARY_COUNT 3
extern const char *const LIBRARY_NAMES[LIBRARY_COUNT];

/* A row of the table of every setting between a command and its library. */
struct setting_row {
    const char *name;
    enum setting_kind kind;
    unsigned libraries; /* the libraries that read it, a bit each */
    int required;       /* whether each of them requires it */
    unsigned bounds;
    double least, most;
};
extern const struct setting_row SETTINGS[];
extern const size_t SETTING_COUNT;

/* The row of SETTINGS named name, or NULL. */
const struct setting_row *setting_named(const char *name);

/* What a library reads of a row of SETTINGS: where it goes, and whether it was there (may be NULL). */
struct setting_use {
    const char *name;
    void *into;
    int *given;
};

/* Reads the rows of SETTINGS that uses name, each as its row says (its kind, bounds and whether it is
 * required); a name the table has no row for ends the process (the library and its table disagree). */
void settings_of(const struct setting_use *uses, size_t count);

#endif
