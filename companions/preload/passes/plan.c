/* Reading the plan (plan.h). */
#include "passes/plan.h"

#include <errno.h>

static int word_is(const char *word, const char *const *words, int count)
{
    for (int i = 0; i < count; i++)
        if (strcmp(word, words[i]) == 0)
            return i;
    return -1;
}

static char *copy(const char *text)
{
    size_t size = strlen(text) + 1;
    return memcpy(preload_alloc(size), text, size);
}

void plan_read(const char *path, struct plan *plan)
{
    *plan = (struct plan){0};
    const char *why = NULL;
    char *text = preload_read_text(path, &why);
    if (text == NULL)
        preload_fail("the plan %s: %s", path, why != NULL ? why : strerror(ENOENT));
    int number = 0, image = 0;
    for (char *line = text, *next; *line != '\0'; line = next) {
        number++;
        next = line + strcspn(line, "\n");
        if (*next != '\0')
            *next++ = '\0';
        char *field[8] = {0}, *state = NULL;
        int n = 0;
        for (char *w = strtok_r(line, "\t", &state); w != NULL && n < 8; w = strtok_r(NULL, "\t", &state))
            field[n++] = w;
        /* The path of a texture, pass or sound line, written as the plan writes paths. */
        char *escaped = n >= 4 && strcmp(field[0], "texture") == 0 ? field[3]
                        : n >= 3 && strcmp(field[0], "pass") == 0  ? field[2]
                        : n >= 2 && strcmp(field[0], "sound") == 0 ? field[1]
                                                                   : NULL;
        if (escaped != NULL && !path_unescape(escaped))
            preload_fail("the plan %s, line %d, is not one the command writes", path, number);
        int last = plan->count - 1;
        if ((n == 4 || n == 5) && strcmp(field[0], "texture") == 0) {
            if (plan->textures == MOST_TEXTURES)
                preload_fail("more than %d textures", MOST_TEXTURES);
            plan->texture[plan->textures].kind = copy(field[1]);
            plan->texture[plan->textures].size = copy(field[2]);
            plan->texture[plan->textures].path = copy(field[3]);
            plan->texture[plan->textures++].rate = n == 5 ? atof(field[4]) : 0.0;
        } else if (n == 3 && strcmp(field[0], "pass") == 0 && plan->count < MOST_PASSES && !image &&
                   word_is(field[1], PASS_WORDS, 3) >= 0) {
            plan->pass[plan->count].kind = (enum pass_kind)word_is(field[1], PASS_WORDS, 3);
            plan->pass[plan->count].path = copy(field[2]);
            image = plan->pass[plan->count++].kind == PASS_IMAGE;
        } else if (n == 2 && strcmp(field[0], "sound") == 0 && plan->sound == NULL) {
            plan->sound = copy(field[1]);
        } else if (n == 6 && strcmp(field[0], "channel") == 0 && last >= 0 && field[1][0] >= '0' &&
                   field[1][0] < '0' + CHANNELS && field[1][1] == '\0' && word_is(field[2], BINDING_WORDS, 4) >= 0 &&
                   word_is(field[4], FILTER_WORDS, 3) >= 0 && word_is(field[5], WRAP_WORDS, 3) >= 0) {
            struct binding *b = &plan->pass[last].channels[field[1][0] - '0'];
            b->kind = (enum binding_kind)word_is(field[2], BINDING_WORDS, 4);
            b->index = atoi(field[3]);
            b->filter = (enum filter)word_is(field[4], FILTER_WORDS, 3);
            b->wrap = (enum wrap)word_is(field[5], WRAP_WORDS, 3);
            if ((b->kind == BINDING_TEXTURE && (b->index < 0 || b->index >= plan->textures)) ||
                (b->kind == BINDING_PASS && (b->index < 0 || b->index >= MOST_PASSES)))
                preload_fail("the plan %s, line %d: no such texture or pass", path, number);
        } else {
            preload_fail("the plan %s, line %d, is not one the command writes", path, number);
        }
    }
    free(text);
    if (!image)
        preload_fail("the plan %s has no Image pass last", path);
    for (int p = 0; p < plan->count; p++)
        for (int n = 0; n < CHANNELS; n++) {
            const struct binding *b = &plan->pass[p].channels[n];
            if (b->kind == BINDING_PASS && (b->index >= plan->count || plan->pass[b->index].kind == PASS_IMAGE))
                preload_fail("the plan %s: pass %d's channel %d reads pass %d, which is no buffer", path, p, n,
                             b->index);
            if (b->kind == BINDING_PASS && b->filter == FILTER_MIPMAP)
                plan->pass[b->index].mipmapped = 1;
        }
}

void plan_free(struct plan *plan)
{
    for (int t = 0; t < plan->textures; t++) {
        free(plan->texture[t].kind);
        free(plan->texture[t].size);
        free(plan->texture[t].path);
    }
    for (int p = 0; p < plan->count; p++)
        free(plan->pass[p].path);
    free(plan->sound);
    *plan = (struct plan){0};
}
