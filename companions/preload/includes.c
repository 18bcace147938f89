#include "includes.h"

#include <sys/stat.h>

struct sources sources;
static char *origin, *folders;

void includes_configure(const char *path, const char *dirs)
{
    free(origin);
    free(folders);
    origin = path != NULL ? strdup(path) : NULL;
    folders = dirs != NULL ? strdup(dirs) : NULL;
}

static int is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

/* The file an include line names, into name (quoted: *quoted set), or 0 when line is no include. */
static int include_of(const char *line, char *name, size_t room, int *quoted)
{
    const char *p = line;
    while (is_blank(*p))
        p++;
    if (*p++ != '#')
        return 0;
    while (is_blank(*p))
        p++;
    if (strncmp(p, "pragma", 6) == 0 && is_blank(p[6])) {
        p += 6;
        while (is_blank(*p))
            p++;
    }
    if (strncmp(p, "include", 7) != 0)
        return 0;
    p += 7;
    while (is_blank(*p))
        p++;
    char close = *p == '"' ? '"' : *p == '<' ? '>' : '\0';
    if (close == '\0')
        return 0;
    const char *end = strchr(p + 1, close);
    const char *newline = strchr(p, '\n');
    if (end == NULL || (newline != NULL && newline < end) || (size_t)(end - p - 1) >= room || end == p + 1)
        return 0;
    snprintf(name, room, "%.*s", (int)(end - p - 1), p + 1);
    *quoted = close == '"';
    return 1;
}

/* Whether text says #pragma once. */
static int once(const char *text)
{
    for (const char *line = text; line != NULL; line = strchr(line, '\n') ? strchr(line, '\n') + 1 : NULL) {
        const char *p = line;
        while (is_blank(*p))
            p++;
        if (*p++ != '#')
            continue;
        while (is_blank(*p))
            p++;
        if (strncmp(p, "pragma", 6) == 0) {
            p += 6;
            while (is_blank(*p))
                p++;
            if (strncmp(p, "once", 4) == 0)
                return 1;
        }
    }
    return 0;
}

/* The path of name as an include of the file at from: beside it, then in the folders (quoted), or the
 * other way round; NULL when there is none. */
static char *find(const char *name, const char *from, int quoted)
{
    char here[4096];
    const char *slash = from != NULL ? strrchr(from, '/') : NULL;
    snprintf(here, sizeof here, "%.*s", slash != NULL ? (int)(slash - from) : 1, slash != NULL ? from : ".");
    char *candidates[66];
    int n = 0;
    char *list = folders != NULL ? strdup(folders) : NULL, *state = NULL;
    if (quoted || name[0] == '/')
        candidates[n++] = strdup(here);
    for (char *dir = list != NULL ? strtok_r(list, "\n", &state) : NULL; dir != NULL && n < 64;
         dir = strtok_r(NULL, "\n", &state))
        if (path_unescape(dir))
            candidates[n++] = strdup(dir);
    if (!quoted && name[0] != '/')
        candidates[n++] = strdup(here);
    free(list);
    char *found = NULL;
    for (int i = 0; i < n; i++) {
        if (found == NULL && candidates[i] != NULL) {
            char path[8192];
            snprintf(path, sizeof path, "%s%s%s", name[0] == '/' ? "" : candidates[i], name[0] == '/' ? "" : "/",
                     name);
            struct stat st;
            if (stat(path, &st) == 0)
                found = strdup(path);
        }
        free(candidates[i]);
    }
    return found;
}

static int source_number(const char *path)
{
    for (int i = 1; i < sources.count; i++)
        if (strcmp(sources.paths[i], path) == 0)
            return i;
    return -1;
}

/* Appends text, the source string number, with its includes in place, to out; depth counts the files
 * that include it. Returns whether it had any include. */
static int expand(struct text *out, const char *text, int number, int depth)
{
    int any = 0, line_number = 1;
    for (const char *line = text; *line != '\0'; line_number++) {
        const char *newline = strchr(line, '\n');
        size_t length = newline != NULL ? (size_t)(newline - line) + 1 : strlen(line);
        char name[4096];
        int quoted = 0;
        if (!include_of(line, name, sizeof name, &quoted)) {
            text_add(out, line, length);
            line += length;
            continue;
        }
        any = 1;
        line += length;
        char *path = find(name, sources.paths[number], quoted);
        int known = path != NULL ? source_number(path) : -1;
        /* Read without waiting: a FIFO or a device named by an include must not hold the build up. */
        const char *why = NULL;
        char *included = path != NULL && depth < 32 ? preload_read_text(path, &why) : NULL;
        if (path == NULL || included == NULL) {
            text_addf(out, "#error cannot include %c%s%c: %s\n", quoted ? '"' : '<', name, quoted ? '"' : '>',
                 path == NULL ? "no such file here or in the -I folders" : depth >= 32 ? "includes nested too deep"
                 : why != NULL ? why : "no such file");
        } else if (known >= 0 && once(included)) {
            text_add(out, "\n", 1); /* once is enough */
        } else if (known < 0 && sources.count == MOST_SOURCES) {
            text_addf(out, "#error cannot include \"%s\": more than %d files\n", name, MOST_SOURCES - 1);
        } else {
            int at = known >= 0 ? known : sources.count++;
            if (known < 0)
                sources.paths[at] = strdup(path);
            text_addf(out, "#line %d\n", at * LINES_APART + 1);
            expand(out, included, at, depth + 1);
            if (out->used > 0 && out->data[out->used - 1] != '\n')
                text_add(out, "\n", 1);
            text_addf(out, "#line %d\n", number * LINES_APART + line_number + 1);
        }
        free(included);
        free(path);
    }
    return any;
}

char *includes_files(void)
{
    struct text files = {0};
    text_add(&files, "", 0);
    for (int i = 0; i < sources.count; i++) {
        text_add(&files, "\n", i ? 1 : 0);
        path_escape(&files, sources.paths[i]);
    }
    return files.data;
}

char *includes_expand(const char *text)
{
    for (int i = 0; i < sources.count; i++)
        free(sources.paths[i]);
    sources.count = 1;
    sources.paths[0] = strdup(origin != NULL ? origin : "./shader");
    struct text out = {0};
    if (!expand(&out, text, 0, 0)) {
        free(out.data);
        return NULL;
    }
    return out.data;
}
