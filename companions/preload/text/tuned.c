#include "text/tuned.h"

#include <float.h>
#include <math.h>
#include <stdint.h>

static const struct {
    const char *word, *glsl;
    int components, integer;
} TYPES[] = {
    [TUNED_FLOAT] = {"float", "float", 1, 0}, [TUNED_INT] = {"int", "int", 1, 1},
    [TUNED_VEC2] = {"vec2", "vec2", 2, 0},    [TUNED_VEC3] = {"vec3", "vec3", 3, 0},
    [TUNED_VEC4] = {"vec4", "vec4", 4, 0},    [TUNED_COLOR3] = {"color3", "vec3", 3, 0},
    [TUNED_COLOR4] = {"color4", "vec4", 4, 0},
};
#define TYPE_COUNT (sizeof TYPES / sizeof TYPES[0])

const char *tuned_type_name(enum tuned_type type)
{
    return TYPES[type].word;
}

const char *tuned_glsl(enum tuned_type type)
{
    return TYPES[type].glsl;
}

static int is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

static int is_word(char c)
{
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

/* Where the line is read, and where it started (for the column). */
struct reading {
    const char *at, *line;
};

static void skip(struct reading *r)
{
    while (is_blank(*r->at))
        r->at++;
}

/* The word at r (letters, digits, _), copied into word (of room bytes); its length, 0 for none. */
static size_t word_at(struct reading *r, char *word, size_t room)
{
    size_t n = 0;
    while (is_word(r->at[n]))
        n++;
    snprintf(word, room, "%.*s", (int)n, r->at);
    return n;
}

/* A decimal number at r ([+-]digits[.digits][e[+-]digits]), read past; says 0 when there is none. */
static int number_at(struct reading *r, double *value)
{
    char digits[64];
    size_t n = 0;
    while (n + 1 < sizeof digits && r->at[n] != '\0' && strchr("0123456789.eE+-", r->at[n]) != NULL)
        n++;
    memcpy(digits, r->at, n);
    digits[n] = '\0';
    char *end = NULL;
    *value = strtod(digits, &end);
    if (end == digits || !isfinite(*value) || is_word(r->at[end - digits]))
        return 0;
    r->at += end - digits;
    return 1;
}

const char *tuned_check(const struct tuned_uniform *u, const double value[4], double held[4])
{
    static char why[128];
    double lowest = u->integer ? (double)INT32_MIN : -FLT_MAX, highest = u->integer ? (double)INT32_MAX : FLT_MAX;
    const char *wrong = NULL;
    for (int k = 0; k < u->components; k++) {
        double v = u->integer ? floor(value[k] + 0.5) : value[k];
        if (isnan(v)) {
            wrong = "not a finite number";
            continue;
        }
        if (wrong == NULL && isinf(v))
            wrong = "not a finite number";
        if (wrong == NULL && (v < lowest || v > highest)) {
            snprintf(why, sizeof why, "outside %s range, {%.10g, %.10g}", u->integer ? "an int's" : "a float's",
                     lowest, highest);
            wrong = why;
        }
        v = v < lowest ? lowest : v > highest ? highest : v;
        if (wrong == NULL && u->ranged && (v < u->min || v > u->max)) {
            snprintf(why, sizeof why, "outside the range of %s, {%g, %g}", u->name, u->min, u->max);
            wrong = why;
        }
        if (u->ranged)
            v = v < u->min ? u->min : v > u->max ? u->max : v;
        if (held != NULL)
            held[k] = v;
    }
    return wrong;
}

#define FAIL(where, message)                                                                           \
    do {                                                                                                \
        *column = (int)((where) - r.line) + 1;                                                          \
        *why = (message);                                                                               \
        return -1;                                                                                      \
    } while (0)

int tuned_parse(const char *line, struct tuned_uniform *u, int *column, const char **why)
{
    struct reading r = {line, line};
    skip(&r);
    if (*r.at != '#')
        return 0;
    r.at++;
    skip(&r);
    if (strncmp(r.at, TUNED_DIRECTIVE, strlen(TUNED_DIRECTIVE)) != 0 || is_word(r.at[strlen(TUNED_DIRECTIVE)]))
        return 0;
    r.at += strlen(TUNED_DIRECTIVE);
    *u = (struct tuned_uniform){0};
    skip(&r);
    char word[TUNED_NAME + 1];
    size_t n = word_at(&r, word, sizeof word);
    size_t type = 0;
    while (type < TYPE_COUNT && (n == 0 || strcmp(word, TYPES[type].word) != 0))
        type++;
    if (type == TYPE_COUNT)
        FAIL(r.at, "expected a type: float, int, vec2, vec3, vec4, color3 or color4");
    u->type = (enum tuned_type)type;
    u->components = TYPES[type].components;
    u->integer = TYPES[type].integer;
    r.at += n;
    skip(&r);
    n = word_at(&r, word, sizeof word);
    if (n == 0 || (*r.at >= '0' && *r.at <= '9'))
        FAIL(r.at, "expected the uniform's name");
    if (n >= TUNED_NAME || strncmp(word, "gl_", 3) == 0)
        FAIL(r.at, "a name of at most 63 characters, not starting with gl_");
    memcpy(u->name, word, n + 1);
    r.at += n;
    skip(&r);
    if (*r.at != '=')
        FAIL(r.at, "expected '=' and the uniform's value");
    r.at++;
    skip(&r);
    /* The value: one number for every component, or TYPE(N, ...) with one for each. */
    const char *value_at = r.at;
    int count = 0;
    n = word_at(&r, word, sizeof word);
    if (n > 0 && !(*r.at >= '0' && *r.at <= '9')) {
        if (strcmp(word, TYPES[type].word) != 0 && strcmp(word, TYPES[type].glsl) != 0)
            FAIL(r.at, "expected a number, or the type's name and its numbers in ()");
        r.at += n;
        skip(&r);
        if (*r.at != '(')
            FAIL(r.at, "expected '('");
        r.at++;
        for (;;) {
            skip(&r);
            if (count == 4 || !number_at(&r, &u->initial[count]))
                FAIL(r.at, count == 4 ? "expected ')'" : "expected a number");
            count++;
            skip(&r);
            if (*r.at == ')')
                break;
            if (*r.at != ',')
                FAIL(r.at, "expected ',' or ')'");
            r.at++;
        }
        r.at++;
        if (count != 1 && count != u->components)
            FAIL(value_at, u->components == 2   ? "expected 1 or 2 numbers"
                           : u->components == 3 ? "expected 1 or 3 numbers"
                                                : "expected 1 or 4 numbers");
    } else {
        if (!number_at(&r, &u->initial[0]))
            FAIL(r.at, "expected a number, or the type's name and its numbers in ()");
        count = 1;
    }
    for (int k = count; k < u->components; k++)
        u->initial[k] = u->initial[0];
    for (int k = 0; k < u->components && u->integer; k++)
        if (u->initial[k] != floor(u->initial[k]))
            FAIL(value_at, "an int's value is a whole number");
    int colour = u->type == TUNED_COLOR3 || u->type == TUNED_COLOR4;
    u->ranged = colour;
    u->min = 0.0;
    u->max = 1.0;
    skip(&r);
    if (strncmp(r.at, "in", 2) == 0 && !is_word(r.at[2])) {
        r.at += 2;
        skip(&r);
        const char *range_at = r.at;
        if (*r.at != '{')
            FAIL(r.at, "expected '{' and the range: {MIN, MAX}");
        r.at++;
        skip(&r);
        if (!number_at(&r, &u->min))
            FAIL(r.at, "expected the range's lowest number");
        skip(&r);
        if (*r.at != ',')
            FAIL(r.at, "expected ',' and the range's highest number");
        r.at++;
        skip(&r);
        if (!number_at(&r, &u->max))
            FAIL(r.at, "expected the range's highest number");
        skip(&r);
        if (*r.at != '}')
            FAIL(r.at, "expected '}'");
        r.at++;
        if (u->min > u->max)
            FAIL(range_at, "the range's lowest number is above its highest");
        struct tuned_uniform ends = *u;
        ends.components = 2;
        ends.ranged = 0;
        const double bounds[4] = {u->min, u->max, 0, 0};
        const char *wrong = tuned_check(&ends, bounds, NULL);
        if (wrong != NULL)
            FAIL(range_at, wrong);
        u->ranged = 1;
    }
    for (int k = 0; k < u->components && u->ranged; k++)
        if (u->initial[k] < u->min || u->initial[k] > u->max)
            FAIL(value_at, "the value is outside the range");
    const char *wrong = tuned_check(u, u->initial, NULL);
    if (wrong != NULL)
        FAIL(value_at, wrong);
    skip(&r);
    if (strncmp(r.at, "step", 4) == 0 && !is_word(r.at[4])) {
        r.at += 4;
        skip(&r);
        const char *step_at = r.at;
        if (!number_at(&r, &u->step))
            FAIL(r.at, "expected the step, a number");
        if (u->step <= 0)
            FAIL(step_at, "the step is above 0");
        if (u->integer && u->step != floor(u->step))
            FAIL(step_at, "an int's step is a whole number");
    }
    if (u->integer && u->step == 0)
        u->step = 1;
    skip(&r);
    if (*r.at != '\n' && *r.at != '\0' && strncmp(r.at, "//", 2) != 0 && strncmp(r.at, "/*", 2) != 0)
        FAIL(r.at, "unexpected text after the directive");
    memcpy(u->value, u->initial, sizeof u->value);
    return 1;
}

static struct tuned_uniform table[MOST_TUNED];
static size_t rows;
static void (*listener)(size_t i);

size_t tuned_count(void)
{
    return rows;
}

const struct tuned_uniform *tuned_at(size_t i)
{
    return i < rows ? &table[i] : NULL;
}

int tuned_find(const char *name)
{
    for (size_t i = 0; i < rows; i++)
        if (strcmp(table[i].name, name) == 0)
            return (int)i;
    return -1;
}

int tuned_set(size_t i, const double value[4])
{
    if (i >= rows)
        return 0;
    struct tuned_uniform *u = &table[i];
    double held[4];
    memcpy(held, u->value, sizeof held);
    tuned_check(u, value, held);
    int changed = 0;
    for (int k = 0; k < u->components; k++)
        changed |= held[k] != u->value[k];
    memcpy(u->value, held, sizeof held);
    if (changed && listener != NULL)
        listener(i);
    return 1;
}

void tuned_listen(void (*changed)(size_t i))
{
    listener = changed;
}

/* Whether a and b are declared alike: their type, initial value, range and step. */
static int alike(const struct tuned_uniform *a, const struct tuned_uniform *b)
{
    return a->type == b->type && memcmp(a->initial, b->initial, sizeof a->initial) == 0 && a->ranged == b->ranged &&
           a->min == b->min && a->max == b->max && a->step == b->step;
}

int tuned_declare(const struct tuned_uniform *u)
{
    int i = tuned_find(u->name);
    if (i >= 0 && alike(&table[i], u))
        return i;
    if (i < 0 && rows == MOST_TUNED)
        return -1;
    if (i < 0)
        i = (int)rows++;
    table[i] = *u;
    memcpy(table[i].value, u->initial, sizeof table[i].value);
    return i;
}
