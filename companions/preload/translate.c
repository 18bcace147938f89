/*
 * translate: what the GL gets for a shader file through the dialect table, for the commands, the tools
 * and the tests.
 *
 *   translate [-I FOLDER]... FILE  the text the GL gets for FILE (FILE itself when no dialect recognises it
 *                                 and it includes nothing), its includes looked for in the FOLDERs too
 *   translate --dialect FILE       the name of FILE's dialect, or "none"
 *   translate --uniforms [-I FOLDER]... FILE
 *                                 the #iUniform directives of FILE and the files it includes, a line each:
 *                                 NAME TYPE VALUE... [in MIN MAX] step STEP; or, for a malformed one, the
 *                                 GL's kind of message about it (LINE as the GL numbers it), status 1
 *   translate --files [-I FOLDER]... FILE
 *                                 the files FILE's text is made of, one a line (escaped as records escape
 *                                 a path): FILE, then each file it includes, in the order of their numbers
 *   translate --describe           the libraries' facts that the commands follow, as one JSON object: the
 *                                 channels, the most passes, the kinds of texture (each one's sampler
 *                                 type, the numbers of its size, whether it has mipmaps), the sizes of the
 *                                 sound's and the keyboard's textures, the sample rate, the lines apart of
 *                                 included files, the largest text read, the dialects' names, the
 *                                 directives, the keys' codes by the names #iKeyboard gives them, the
 *                                 settings between the commands and the libraries (each one's kind, the
 *                                 libraries that read it, whether it is required, its bounds, and for an
 *                                 input fed from one, the input and its initial value), and the session's
 *                                 format (text/sessions.h: its version, its events' fields, the replay's
 *                                 lines)
 *
 * Exit status 0, or 2 for a wrong call or a file that cannot be read.
 */
#include <errno.h>

#include "base/settings.h"
#include "text/dialects.h"
#include "text/includes.h"
#include "text/inputs.h"
#include "text/keys.h"
#include "text/kinds.h"
#include "text/sessions.h"
#include "text/tuned.h"

/* text as a JSON string. */
static void json_string(const char *text)
{
    putchar('"');
    for (const unsigned char *c = (const unsigned char *)text; *c != '\0'; c++) {
        if (*c == '"' || *c == '\\')
            printf("\\%c", *c);
        else if (*c < 0x20)
            printf("\\u%04x", *c);
        else
            putchar(*c);
    }
    putchar('"');
}

/* The fields (up to count, or the first with no name) as {NAME: {"type": ..., ...}, ...}. */
static void describe_fields(const struct session_field *fields, int count)
{
    for (int f = 0; f < count && fields[f].name != NULL; f++) {
        printf("%s", f > 0 ? ", " : "");
        json_string(fields[f].name);
        printf(": {\"type\": ");
        json_string(session_type_name(fields[f].type));
        if (fields[f].type == SESSION_NUMBERS)
            printf(", \"least\": %d, \"most\": %d", fields[f].least, fields[f].most);
        printf(", \"optional\": %s}", fields[f].optional ? "true" : "false");
    }
}

/* A setting's row as JSON: kind, libraries (a bit each), required, bounds. */
static void setting_json(const char *name, enum setting_kind kind, unsigned libraries, int required,
                         unsigned bounds, double least, double most)
{
    json_string(name);
    printf(": {\"kind\": \"%s\", \"libraries\": [", SETTING_KIND_NAMES[kind]);
    for (int l = 0, n = 0; l < LIBRARY_COUNT; l++)
        if (libraries & (1u << l))
            printf("%s\"%s\"", n++ ? ", " : "", LIBRARY_NAMES[l]);
    printf("], \"required\": %s", required ? "true" : "false");
    if (bounds & (BOUND_LEAST | BOUND_ABOVE))
        printf(", \"least\": %.17g, \"above\": %s", least, bounds & BOUND_ABOVE ? "true" : "false");
    if (bounds & BOUND_MOST)
        printf(", \"most\": %.17g", most);
}

static void describe(void)
{
    const struct channel_kind *keyboard = channel_kind_named("keyboard");
    printf("{\"channels\": %d, \"most_passes\": %d, \"sample_rate\": %d, \"lines_apart\": %d, "
           "\"largest_text\": %lld,\n", CHANNELS, MOST_PASSES, SAMPLE_RATE, LINES_APART, LARGEST_TEXT);
    printf(" \"sound_texture\": [%d, 2], \"keyboard_texture\": [%d, %d],\n", SOUND_WIDTH, keyboard->width,
           keyboard->height);
    printf(" \"kinds\": {");
    for (size_t k = 0; k < CHANNEL_KIND_COUNT; k++) {
        printf("%s\n  ", k > 0 ? "," : "");
        json_string(CHANNEL_KINDS[k].name);
        printf(": {\"sampler\": ");
        json_string(SAMPLER_NAMES[CHANNEL_KINDS[k].sampler]);
        printf(", \"dimensions\": %d, \"mipmaps\": %s}", CHANNEL_KINDS[k].sides,
               CHANNEL_KINDS[k].mipmaps ? "true" : "false");
    }
    printf("},\n \"dialects\": [");
    for (size_t i = 0; dialect_name(i) != NULL; i++) {
        printf("%s", i > 0 ? ", " : "");
        json_string(dialect_name(i));
    }
    printf("],\n \"directives\": [");
    for (size_t i = 0; i < DIRECTIVE_COUNT; i++) {
        printf("%s", i > 0 ? ", " : "");
        json_string(DIRECTIVES[i]);
    }
    printf("],\n \"keys\": {");
    char name[16];
    int code;
    for (size_t i = 0; (code = key_named(i, name)) >= 0; i++) {
        printf("%s", i == 0 ? "" : i % 8 == 0 ? ",\n  " : ", ");
        json_string(name);
        printf(": %d", code);
    }
    printf("},\n \"settings\": {");
    for (size_t i = 0; i < SETTING_COUNT; i++) {
        const struct setting_row *s = &SETTINGS[i];
        printf("%s\n  ", i > 0 ? "," : "");
        setting_json(s->name, s->kind, s->libraries, s->required, s->bounds, s->least, s->most);
        printf("}");
    }
    for (size_t i = 0; i < INPUT_COUNT; i++) {
        const struct fed *fed = INPUTS[i].fed;
        if (fed == NULL || input_fed_kind(i) < 0)
            continue;
        printf(",\n  ");
        setting_json(fed->setting, (enum setting_kind)input_fed_kind(i), LIBRARY_RECORD, 0, fed->bounds, fed->least,
                     fed->most);
        printf(", \"input\": ");
        json_string(INPUTS[i].name);
        printf(", \"initial\": %.17g}", fed->initial);
    }
    printf("},\n \"session\": {\"version\": %d,\n  \"common\": {", SESSION_VERSION);
    describe_fields(SESSION_COMMON, 3);
    printf("},\n  \"events\": {");
    for (int e = 0; e < EVENT_KINDS; e++) {
        printf("%s\n   ", e > 0 ? "," : "");
        json_string(SESSION_EVENTS[e].name);
        printf(": {");
        describe_fields(SESSION_EVENTS[e].fields, MOST_SESSION_FIELDS);
        printf("}");
    }
    printf("},\n  \"replay\": {");
    for (int k = 0; k < REPLAY_KINDS; k++) {
        printf("%s\n   ", k > 0 ? "," : "");
        json_string(REPLAY_LINES[k].kind);
        printf(": {\"paths\": %d, \"numbers\": %d, \"columns\": [", REPLAY_LINES[k].paths,
               REPLAY_LINES[k].numbers);
        for (int c = 0; c < MOST_REPLAY_COLUMNS && REPLAY_LINES[k].columns[c] != NULL; c++) {
            printf("%s", c > 0 ? ", " : "");
            json_string(REPLAY_LINES[k].columns[c]);
        }
        printf("]}");
    }
    printf("}}}\n");
}

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--describe") == 0) {
        describe();
        return ferror(stdout) || fflush(stdout) != 0 ? 2 : 0;
    }
    int dialect = argc == 3 && strcmp(argv[1], "--dialect") == 0;
    int uniforms = argc >= 3 && strcmp(argv[1], "--uniforms") == 0;
    int listed = argc >= 3 && strcmp(argv[1], "--files") == 0;
    struct text folders = {0};
    int at = 1 + uniforms + listed;
    while (!dialect && at + 1 < argc && strcmp(argv[at], "-I") == 0) {
        text_add(&folders, "\n", folders.used ? 1 : 0);
        path_escape(&folders, argv[at + 1]);
        at += 2;
    }
    if (dialect)
        at = 2;
    if (at != argc - 1 || argv[at][0] == '-') {
        fprintf(stderr, "usage: translate [-I FOLDER]... FILE | translate --dialect FILE | translate --uniforms "
                        "[-I FOLDER]... FILE | translate --files [-I FOLDER]... FILE | translate --describe\n");
        return 2;
    }
    /* Read without waiting: a FIFO or a device named by mistake is one message, not a wait. */
    const char *why = NULL;
    char *text = preload_read_text(argv[at], &why);
    if (text == NULL) {
        fprintf(stderr, "translate: %s: %s\n", argv[at], why != NULL ? why : strerror(ENOENT));
        return 2;
    }
    int status = 0;
    if (dialect) {
        const struct dialect *d = dialect_of(text);
        printf("%s\n", d != NULL ? d->name : "none");
    } else if (listed) {
        const struct source source = {.text = text, .path = argv[at], .folders = folders.data};
        struct files files;
        free(dialect_text(&source, &files, NULL));
        char *lines = files_text(&files);
        if (lines != NULL)
            printf("%s\n", lines);
        free(lines);
        files_free(&files);
    } else if (uniforms) {
        const struct source source = {.text = text, .path = argv[at], .folders = folders.data};
        struct files files;
        free(dialect_text(&source, &files, tuned_declare));
        files_free(&files);
        for (size_t i = 0; dialect_error() == NULL && tuned_at(i) != NULL; i++) {
            const struct tuned_uniform *u = tuned_at(i);
            printf("%s %s", u->name, tuned_type_name(u->type));
            for (int k = 0; k < u->components; k++)
                printf(" %.17g", u->value[k]);
            if (u->ranged)
                printf(" in %.17g %.17g", u->min, u->max);
            printf(" step %.17g\n", u->step);
        }
        if (dialect_error() != NULL) {
            fputs(dialect_error(), stdout);
            status = 1;
        }
    } else {
        const struct source source = {.text = text, .path = argv[at], .folders = folders.data};
        struct files files;
        char *whole = dialect_text(&source, &files, tuned_declare);
        fputs(whole != NULL ? whole : text, stdout);
        free(whole);
        files_free(&files);
    }
    free(folders.data);
    free(text);
    return ferror(stdout) || fflush(stdout) != 0 ? 2 : status;
}
