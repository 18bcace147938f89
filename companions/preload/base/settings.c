#include "base/settings.h"

#include <errno.h>
#include <limits.h>
#include <math.h>

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
        if (table[i].given != NULL)
            *table[i].given = 1;
        unsetenv(table[i].name);
    }
}
