/*
 * translate: what the GL gets for a shader file through the dialect table, for the commands, the tools
 * and the tests.
 *
 *   translate [-I FOLDER]... FILE  the text the GL gets for FILE (FILE itself when no dialect recognises it
 *                                 and it includes nothing), its includes looked for in the FOLDERs too
 *   translate --dialect FILE       the name of FILE's dialect, or "none"
 *
 * Exit status 0, or 2 for a wrong call or a file that cannot be read.
 */
#include <errno.h>

#include "text/dialects.h"

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

int main(int argc, char **argv)
{
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
        fprintf(stderr, "usage: translate [-I FOLDER]... FILE | translate --dialect FILE\n");
        return 2;
    }
    FILE *f = fopen(argv[at], "rb");
    if (f == NULL) {
        fprintf(stderr, "translate: %s: %s\n", argv[at], strerror(errno));
        return 2;
    }
    char *text = read_all(f);
    fclose(f);
    if (dialect) {
        const struct dialect *d = dialect_of(text);
        printf("%s\n", d != NULL ? d->name : "none");
    } else {
        const struct source source = {.text = text, .path = argv[at], .folders = folders.data};
        struct files files;
        char *whole = dialect_text(&source, &files);
        fputs(whole != NULL ? whole : text, stdout);
        free(whole);
        files_free(&files);
    }
    free(folders.data);
    free(text);
    return ferror(stdout) || fflush(stdout) != 0 ? 2 : 0;
}
