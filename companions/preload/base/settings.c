#include "base/settings.h"

#include <errno.h>
#include <float.h>
#include <limits.h>
#include <math.h>

const char *const SETTING_KIND_NAMES[SETTING_TEXT + 1] = {"int", "number", "size", "point", "text"};
const char *const LIBRARY_NAMES[LIBRARY_COUNT] = {"live", "record", "headless"};

#define LIVE LIBRARY_LIVE
#define RECORD LIBRARY_RECORD
#define HEADLESS LIBRARY_HEADLESS
#define ANY 0, 0.0, 0.0
#define FROM_TO(a, b) BOUND_LEAST | BOUND_MOST, (a), (b)

/* Every setting a command hands a library (docs/internals.md, "Settings"). */
const struct setting_row SETTINGS[] = {
    {"QUILLOMAR_SHADER", SETTING_TEXT, LIVE, 1, ANY},
    {"QUILLOMAR_INCLUDE", SETTING_TEXT, LIVE | RECORD, 0, ANY},
    {"QUILLOMAR_PLAN", SETTING_TEXT, LIVE | RECORD, 0, ANY},
    {"QUILLOMAR_PLAN_FD", SETTING_INT, LIVE, 0, ANY},
    {"QUILLOMAR_SOUND_OUT", SETTING_TEXT, LIVE | RECORD, 0, ANY},
    {"QUILLOMAR_STAND_INS", SETTING_TEXT, LIVE, 0, ANY},
    {"QUILLOMAR_SESSION", SETTING_TEXT, LIVE, 0, ANY},
    /* The most frames a recording has, and the latest iTime (the clock counts nanoseconds in 64 bits). */
    {"QUILLOMAR_FRAMES", SETTING_INT, RECORD, 1, FROM_TO(1, 10000000)},
    {"QUILLOMAR_FPS", SETTING_NUMBER, RECORD, 1, BOUND_ABOVE, 0.0, 0.0},
    {"QUILLOMAR_FROM", SETTING_NUMBER, RECORD, 1, FROM_TO(0, 1e9)},
    {"QUILLOMAR_SIZE", SETTING_SIZE, RECORD, 1, ANY},
    {"QUILLOMAR_START", SETTING_NUMBER, RECORD, 1, ANY},
    /* iMouse is a vec4 of 32-bit floats. */
    {"QUILLOMAR_MOUSE", SETTING_POINT, RECORD, 0, FROM_TO(-FLT_MAX, FLT_MAX)},
    {"QUILLOMAR_FRAME_FD", SETTING_INT, RECORD, 1, ANY},
    {"QUILLOMAR_STATUS_FD", SETTING_INT, RECORD, 1, ANY},
    {"QUILLOMAR_SOURCE", SETTING_TEXT, RECORD, 0, ANY},
    {"QUILLOMAR_KEYS", SETTING_TEXT, RECORD, 0, ANY},
    {"QUILLOMAR_SOUND_SECONDS", SETTING_NUMBER, RECORD, 0, BOUND_LEAST, 0.0, 0.0},
    {"QUILLOMAR_FIRST", SETTING_INT, RECORD, 0, ANY},
    {"QUILLOMAR_UNSEEN", SETTING_INT, RECORD, 0, ANY},
    {"QUILLOMAR_CLIP", SETTING_INT, RECORD, 0, ANY},
    {"QUILLOMAR_TILES", SETTING_INT, RECORD, 0, FROM_TO(1, 64)},
    {"QUILLOMAR_BLUR", SETTING_INT, RECORD, 0, FROM_TO(1, 64)},
    {"QUILLOMAR_SHUTTER", SETTING_NUMBER, RECORD, 0, BOUND_ABOVE | BOUND_MOST, 0.0, 1.0},
    {"QUILLOMAR_ALPHA", SETTING_INT, RECORD, 0, FROM_TO(0, 1)},
    {"QUILLOMAR_SET", SETTING_TEXT, RECORD, 0, ANY},
    {"QUILLOMAR_SCALE", SETTING_INT, RECORD, 0, FROM_TO(1, 64)},
    {"QUILLOMAR_REPLAY", SETTING_TEXT, RECORD, 0, ANY},
    {"QUILLOMAR_RENDERER", SETTING_TEXT, HEADLESS, 0, ANY},
    {"QUILLOMAR_REPORT_FD", SETTING_INT, HEADLESS, 0, ANY},
};
const size_t SETTING_COUNT = sizeof SETTINGS / sizeof SETTINGS[0];

static int whole(const char *text, const char *end_at, int *into)
{
    char *end = NULL;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (end == text || *end != *end_at || errno != 0 || value < 0 || value > INT_MAX || text[0] == '+' ||
        text[0] == ' ')
        return 0;
    *into = (int)value;
    return 1;
}

static int number(const char *text, char end_at, double *into)
{
    char *end = NULL;
    *into = strtod(text, &end);
    return end != text && *end == end_at && isfinite(*into);
}

/* Whether text is a value of kind, stored in into. */
static int parse(enum setting_kind kind, const char *text, void *into)
{
    const char *mid;
    switch (kind) {
    case SETTING_INT:
        return whole(text, "", into);
    case SETTING_NUMBER:
        return number(text, '\0', into);
    case SETTING_SIZE:
        mid = strchr(text, 'x');
        return mid != NULL && whole(text, "x", (int *)into) && whole(mid + 1, "", (int *)into + 1) &&
               ((int *)into)[0] > 0 && ((int *)into)[1] > 0;
    case SETTING_POINT:
        mid = strchr(text, ',');
        return mid != NULL && number(text, ',', (double *)into) && number(mid + 1, '\0', (double *)into + 1);
    case SETTING_TEXT:
        *(char **)into = strdup(text);
        return *(char **)into != NULL;
    }
    return 0;
}

/* Whether each number of a value read as row says is within its bounds. */
static int within(const struct setting *row)
{
    int count = row->kind == SETTING_TEXT ? 0 : row->kind == SETTING_SIZE || row->kind == SETTING_POINT ? 2 : 1;
    for (int i = 0; i < count; i++) {
        double v = row->kind == SETTING_INT || row->kind == SETTING_SIZE ? (double)((const int *)row->into)[i]
                                                                         : ((const double *)row->into)[i];
        if (((row->bounds & BOUND_LEAST) && v < row->least) || ((row->bounds & BOUND_ABOVE) && !(v > row->least)) ||
            ((row->bounds & BOUND_MOST) && v > row->most))
            return 0;
    }
    return 1;
}

void settings_read(const struct setting *table, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        const char *text = getenv(table[i].name);
        if (text == NULL) {
            if (table[i].required)
                preload_fail("%s is not set: the library is meant to be started by its command", table[i].name);
            continue;
        }
        if (!parse(table[i].kind, text, table[i].into))
            preload_fail("%s=%s is not a value the library takes", table[i].name, text);
        if (!within(&table[i]))
            preload_fail("%s=%s is outside the bounds the library takes", table[i].name, text);
        if (table[i].given != NULL)
            *table[i].given = 1;
        unsetenv(table[i].name);
    }
}

const struct setting_row *setting_named(const char *name)
{
    for (size_t i = 0; i < SETTING_COUNT; i++)
        if (strcmp(SETTINGS[i].name, name) == 0)
            return &SETTINGS[i];
    return NULL;
}

void settings_of(const struct setting_use *uses, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        const struct setting_row *row = setting_named(uses[i].name);
        if (row == NULL)
            preload_fail("%s is no setting of the table", uses[i].name);
        const struct setting one = {row->name, row->kind, row->required, uses[i].into, uses[i].given,
                                    row->bounds, row->least, row->most};
        settings_read(&one, 1);
    }
}
