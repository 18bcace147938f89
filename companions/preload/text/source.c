/* What a text to build is, and the files it is made of (source.h). */
#include "text/source.h"

const char *const SAMPLER_NAMES[3] = {"sampler2D", "samplerCube", "sampler3D"};

static char *copy(const char *text)
{
    size_t size = strlen(text) + 1;
    return memcpy(preload_alloc(size), text, size);
}

struct files files_of(const char *path)
{
    struct files files = {.count = 1};
    files.paths[0] = copy(path);
    return files;
}

struct files files_copy(const struct files *files)
{
    struct files copied = {.count = files->count};
    for (int i = 0; i < files->count; i++)
        copied.paths[i] = copy(files->paths[i]);
    return copied;
}

void files_free(struct files *files)
{
    for (int i = 0; i < files->count; i++)
        free(files->paths[i]);
    files->count = 0;
}

char *files_text(const struct files *files)
{
    struct text text = {0};
    text_add(&text, "", 0);
    for (int i = 0; i < files->count; i++) {
        text_add(&text, "\n", i ? 1 : 0);
        path_escape(&text, files->paths[i]);
    }
    return text.data;
}
