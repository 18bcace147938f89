/*
 * translate: what the GL gets for a shader file through the dialect table, for the commands, the tools
 * and the tests.
 *
 *   translate [-I FOLDER]... FILE  the text the GL gets for FILE (FILE itself when no dialect recognises it
 *                                 and it includes nothing), its includes looked for in the FOLDERs too
 *   translate --dialect FILE       the name of FILE's dialect, or "none"
 *   translate --describe           the libraries' facts that the commands follow, as one JSON object: the
 *                                 channels, the most passes, the kinds of texture (each one's sampler
 *                                 type, the numbers of its size, whether it has mipmaps), the sizes of the
 *                                 sound's and the keyboard's textures, the sample rate, the lines apart of
 *                                 included files, the largest text read, the dialects' names and the keys'
 *                                 codes by the names #iKeyboard gives them
 *
 * Exit status 0, or 2 for a wrong call or a file that cannot be read.
 */
#include <errno.h>

#include "channels.h"
#include "dialects.h"
#include "includes.h"
#include "passes.h"
#include "sound.h"

static char *read_all(FILE *f)
{
    size_t size = 0, room = 4096;
    char *text = preload_alloc(room);
    size_t n;
    while ((n = fread(text + size, 1, room - size - 1, f)) > 0) {
        size += n;
        if (room - size - 1 == 0) {
            char *grown = realloc(text, room *= 2);
            if (grown == NULL)
                preload_fail("out of memory");
            text = grown;
        }
    }
    text[size] = '\0';
    return text;
}

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

static void describe(void)
{
    printf("{\"channels\": %d, \"most_passes\": %d, \"sample_rate\": %d, \"lines_apart\": %d, "
           "\"largest_text\": %lld,\n", CHANNELS, MOST_PASSES, SAMPLE_RATE, LINES_APART, LARGEST_TEXT);
    printf(" \"sound_texture\": [%d, 2], \"keyboard_texture\": [%d, %d],\n", SOUND_WIDTH, KEYBOARD_WIDTH,
           KEYBOARD_ROWS);
    printf(" \"kinds\": {");
    GLenum sampler_type;
    int dimensions, mipmaps;
    const char *kind;
    for (size_t k = 0; (kind = channels_kind(k, &sampler_type, &dimensions, &mipmaps)) != NULL; k++) {
        printf("%s\n  ", k > 0 ? "," : "");
        json_string(kind);
        printf(": {\"sampler\": ");
        json_string(inputs_type_name(sampler_type));
        printf(", \"dimensions\": %d, \"mipmaps\": %s}", dimensions, mipmaps ? "true" : "false");
    }
    printf("},\n \"dialects\": [");
    for (size_t i = 0; dialect_name(i) != NULL; i++) {
        printf("%s", i > 0 ? ", " : "");
        json_string(dialect_name(i));
    }
    printf("],\n \"keys\": {");
    char name[16];
    int code;
    for (size_t i = 0; (code = dialect_key(i, name)) >= 0; i++) {
        printf("%s", i == 0 ? "" : i % 8 == 0 ? ",\n  " : ", ");
        json_string(name);
        printf(": %d", code);
    }
    printf("}}\n");
}

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--describe") == 0) {
        describe();
        return ferror(stdout) || fflush(stdout) != 0 ? 2 : 0;
    }
    int dialect = argc == 3 && strcmp(argv[1], "--dialect") == 0;
    struct text folders = {0};
    int at = 1;
    while (!dialect && at + 1 < argc && strcmp(argv[at], "-I") == 0) {
        text_add(&folders, "\n", folders.used ? 1 : 0);
        path_escape(&folders, argv[at + 1]);
        at += 2;
    }
    if (dialect)
        at = 2;
    if (at != argc - 1 || argv[at][0] == '-') {
        fprintf(stderr, "usage: translate [-I FOLDER]... FILE | translate --dialect FILE | translate --describe\n");
        return 2;
    }
    FILE *f = fopen(argv[at], "rb");
    if (f == NULL) {
        fprintf(stderr, "translate: %s: %s\n", argv[at], strerror(errno));
        return 2;
    }
    char *text = read_all(f);
    fclose(f);
    includes_configure(argv[at], folders.data);
    free(folders.data);
    if (dialect) {
        const struct dialect *d = dialect_of(text);
        printf("%s\n", d != NULL ? d->name : "none");
    } else {
        char *whole = dialect_text(text);
        fputs(whole != NULL ? whole : text, stdout);
        free(whole);
    }
    free(text);
    return ferror(stdout) || fflush(stdout) != 0 ? 2 : 0;
}
