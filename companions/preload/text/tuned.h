/*
 * Values a shader declares for tuning, one #iUniform directive each, in every dialect:
 *
 *   #iUniform float speed = 1.0 in {0.0, 5.0} step 0.2
 *   #iUniform color3 tint = color3(1.0, 0.5, 0.0)
 *
 * TYPE is float, int, vec2, vec3, vec4, color3 or color4 (a colour is a vec3 or vec4 whose numbers go from
 * 0 to 1); the value is one number (every component gets it) or TYPE(N, ...) with a number per component;
 * the range "in {MIN, MAX}" and the "step STEP" are optional. The GL gets "uniform GLSL NAME;" on the
 * directive's line (a blank line when the shader declares the uniform itself with that type; another type
 * is an error), and the value is set on
 * every program in use that has the uniform, every frame (gl/uniforms.c).
 *
 * The uniforms are kept in one table for the process, which every layer above may read and set: a text's
 * directives are declared in it (tuned_declare) by whoever translates the text, which hands dialect_text
 * (text/dialects.h) tuned_declare to call for each (programs/program.c, translate.c), and a directive declared
 * again as it was keeps the value it has been set to; a changed one (its type, value, range or step) starts
 * again from its value.
 */
#ifndef QUILLOMAR_TUNED_H
#define QUILLOMAR_TUNED_H

#include "base/base.h"

#define TUNED_DIRECTIVE "iUniform"
/* The most uniforms the table keeps, and the longest name. */
#define MOST_TUNED 32
#define TUNED_NAME 64

enum tuned_type { TUNED_FLOAT, TUNED_INT, TUNED_VEC2, TUNED_VEC3, TUNED_VEC4, TUNED_COLOR3, TUNED_COLOR4 };

struct tuned_uniform {
    char name[TUNED_NAME];
    enum tuned_type type;
    int components;     /* 1 to 4 */
    int integer;        /* whether it is an int (set as one; its value is whole) */
    double value[4];    /* what it is now (components of them) */
    double initial[4];  /* what the directive gives */
    int ranged;         /* whether the directive gives a range (a colour always has 0 to 1) */
    double min, max;    /* the range of every component, when ranged */
    double step;        /* 0: any value (an int: 1) */
};

/* The directive's words for the types, and the GLSL type each is declared as. */
const char *tuned_type_name(enum tuned_type type);
const char *tuned_glsl(enum tuned_type type);

/* Reads line (up to its newline) as an #iUniform directive into *u (its value its initial one). Says 1
 * when it is one, 0 when the line is no #iUniform directive, and -1 when it is one that is malformed: *why
 * then says what is wrong, and *column (from 1) where in the line. */
int tuned_parse(const char *line, struct tuned_uniform *u, int *column, const char **why);

/* The table: how many uniforms, the i-th (from 0; NULL past the last), the index of the one named name (-1:
 * none). */
size_t tuned_count(void);
const struct tuned_uniform *tuned_at(size_t i);
int tuned_find(const char *name);

/* What is wrong with value (u's components; an int's rounded) as a value of u: NULL when nothing, else
 * what, in words for a message ("not a finite number", "outside an int's range, {...}", "outside the
 * range of NAME, {MIN, MAX}"), the same words for the directive, --set, a session replayed and the
 * overlay. Each component goes to held (when not NULL) as u takes it: rounded for an int, held within
 * its type's numbers (an int's 32 bits, a float's) and u's range; a NaN leaves held's as it is. */
const char *tuned_check(const struct tuned_uniform *u, const double value[4], double held[4]);

/* Sets the i-th uniform to value (its components, as tuned_check holds them); says 0 for no such uniform.
 * Whoever listens (tuned_listen) hears of it when the value changes. */
int tuned_set(size_t i, const double value[4]);

/* changed(i) is called after a tuned_set that changed the i-th uniform's value (NULL: none). */
void tuned_listen(void (*changed)(size_t i));

/* Puts u in the table as a text's directive has it: a uniform of that name declared the same way keeps its
 * value; else it is added, or replaces the one of its name in place, at its initial value. Says its index,
 * or -1 when the table is full. */
int tuned_declare(const struct tuned_uniform *u);

#endif
