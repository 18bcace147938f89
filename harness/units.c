/*
 * The preloaded pieces' logic driven on its own, with no display and no GL context, for the fast tests
 * (tests/test_units.py): each subcommand hands a piece its input as the libraries would and prints what
 * the piece made of it, one fact a line.
 *
 *   units plan FILE                the plan as passes/plan.c reads it
 *   units settings [required]      the settings UNITS_INT, UNITS_NUMBER, UNITS_SIZE, UNITS_POINT and
 *                                  UNITS_TEXT as base/settings.c reads them (with "required", UNITS_INT must
 *                                  be set), and which of them are left in the environment
 *   units analysis RATE TIME...    mono 32-bit float samples on standard input analysed at each TIME
 *                                  (gl/analysis.c), in one analysis: per TIME a line "spectrum" and a line
 *                                  "wave", SOUND_WIDTH bytes each
 *   units keys EVENT...            the keys' state (gl/keyboard.c) after each EVENT: down:CODE, up:CODE, or
 *                                  frame (a frame drawn)
 *   units watch                    the watcher (base/watch.c), told on standard input, a line each:
 *                                  "files KEY PATH..." (tab-separated) and "look MS" (at MS milliseconds);
 *                                  each look prints "KEY changed" or "KEY gone" per key seen, then "."
 *   units tuned                    the table of #iUniform values (text/tuned.c), told on standard input, a
 *                                  line each: a directive's line (declared as a save's text declares it)
 *                                  or "set NAME NUMBER..."; after each, "heard NAME" if a set changed its
 *                                  value, "NAME VALUE..." per uniform, then "."
 */
#include "base/settings.h"
#include "base/watch.h"
#include "gl/analysis.h"
#include "gl/keyboard.h"
#include "passes/plan.h"
#include "text/tuned.h"

#include <errno.h>

static int plan(const char *path)
{
    struct plan p;
    plan_read(path, &p);
    for (int t = 0; t < p.textures; t++)
        printf("texture %d %s %s %s %g\n", t, p.texture[t].kind, p.texture[t].size, p.texture[t].path,
               p.texture[t].rate);
    if (p.sound != NULL)
        printf("sound %s\n", p.sound);
    for (int n = 0; n < p.count; n++) {
        printf("pass %d %s %s%s\n", n, PASS_WORDS[p.pass[n].kind], p.pass[n].path,
               p.pass[n].mipmapped ? " mipmapped" : "");
        for (int c = 0; c < CHANNELS; c++) {
            const struct binding *b = &p.pass[n].channels[c];
            if (b->kind != BINDING_NOTHING)
                printf("channel %d %d %s %d %s %s\n", n, c, BINDING_WORDS[b->kind], b->index,
                       FILTER_WORDS[b->filter], WRAP_WORDS[b->wrap]);
        }
    }
    plan_free(&p);
    return 0;
}

static int settings(int required)
{
    int whole = -1, size[2] = {0, 0};
    double number = 0, point[2] = {0, 0};
    char *text = NULL;
    int given[6] = {0}, bounded = 0;
    const struct setting table[] = {
        {"UNITS_INT", SETTING_INT, required, &whole, &given[0], 0, 0, 0},
        {"UNITS_NUMBER", SETTING_NUMBER, 0, &number, &given[1], 0, 0, 0},
        {"UNITS_SIZE", SETTING_SIZE, 0, size, &given[2], 0, 0, 0},
        {"UNITS_POINT", SETTING_POINT, 0, point, &given[3], 0, 0, 0},
        {"UNITS_TEXT", SETTING_TEXT, 0, &text, &given[4], 0, 0, 0},
        {"UNITS_BOUNDED", SETTING_INT, 0, &bounded, &given[5], BOUND_LEAST | BOUND_MOST, 1, 64},
    };
    settings_read(table, sizeof table / sizeof table[0]);
    if (given[0])
        printf("int %d\n", whole);
    if (given[1])
        printf("number %.17g\n", number);
    if (given[2])
        printf("size %d %d\n", size[0], size[1]);
    if (given[3])
        printf("point %.17g %.17g\n", point[0], point[1]);
    if (given[4])
        printf("text %s\n", text);
    if (given[5])
        printf("bounded %d\n", bounded);
    for (size_t i = 0; i < sizeof table / sizeof table[0]; i++)
        if (getenv(table[i].name) != NULL)
            printf("left %s\n", table[i].name);
    free(text);
    return 0;
}

static int analysis(int argc, char **argv)
{
    size_t count = 0, room = 1 << 16;
    float *samples = preload_alloc(room * sizeof *samples);
    size_t n;
    while ((n = fread(samples + count, sizeof *samples, room - count, stdin)) > 0)
        if ((count += n) == room) {
            samples = realloc(samples, (room *= 2) * sizeof *samples);
            if (samples == NULL)
                preload_fail("out of memory");
        }
    struct analysis *a = analysis_make(samples, count, atof(argv[0]));
    for (int i = 1; i < argc; i++) {
        unsigned char rows[2][SOUND_WIDTH];
        analysis_at(a, atof(argv[i]), rows);
        for (int r = 0; r < 2; r++) {
            fputs(r == 0 ? "spectrum" : "wave", stdout);
            for (int k = 0; k < SOUND_WIDTH; k++)
                printf(" %d", rows[r][k]);
            putchar('\n');
        }
    }
    return 0;
}

static int keys(int argc, char **argv)
{
    static const char *const ROWS[KEY_ROWS] = {"down", "pressed", "toggled", "released"};
    for (int i = 0; i < argc; i++) {
        long before = keyboard.serial;
        int code = 0;
        if (strcmp(argv[i], "frame") == 0)
            keyboard_frame_done();
        else if (sscanf(argv[i], "down:%d", &code) == 1)
            keyboard_key(code, 1);
        else if (sscanf(argv[i], "up:%d", &code) == 1)
            keyboard_key(code, 0);
        else
            preload_fail("no such event: %s", argv[i]);
        printf("%s%s:", argv[i], keyboard.serial != before ? " changed" : "");
        for (int k = 0; k < KEY_CODES; k++) {
            int any = 0;
            for (int r = 0; r < KEY_ROWS; r++) {
                if (keyboard.rows[r][k] != 0 && keyboard.rows[r][k] != 255)
                    preload_fail("key %d's row %s is %d", k, ROWS[r], keyboard.rows[r][k]);
                if (keyboard.rows[r][k] != 0 && any++)
                    printf(",%s", ROWS[r]);
                else if (keyboard.rows[r][k] != 0)
                    printf(" %d=%s", k, ROWS[r]);
            }
        }
        putchar('\n');
    }
    return 0;
}

static void seen(int key, enum seen what)
{
    printf("%d %s\n", key, what == SEEN_GONE ? "gone" : "changed");
}

static int watch(void)
{
    watch_start();
    char *line = NULL;
    size_t room = 0;
    ssize_t length;
    while ((length = getline(&line, &room, stdin)) > 0) {
        line[strcspn(line, "\n")] = '\0';
        char *state = NULL, *word = strtok_r(line, "\t", &state);
        if (word != NULL && strcmp(word, "files") == 0) {
            const char *paths[64];
            int key = atoi(strtok_r(NULL, "\t", &state)), n = 0;
            for (char *p = strtok_r(NULL, "\t", &state); p != NULL && n < 64; p = strtok_r(NULL, "\t", &state))
                paths[n++] = p;
            errno = 0;
            printf("watched %d\n", watch_files(key, paths, n));
        } else if (word != NULL && strcmp(word, "look") == 0) {
            watch_look(atoll(strtok_r(NULL, "\t", &state)) * 1000000LL, seen);
            puts(".");
        } else {
            preload_fail("no such line: %s", line);
        }
        fflush(stdout);
    }
    free(line);
    return 0;
}

static void heard(size_t i)
{
    printf("heard %s\n", tuned_at(i)->name);
}

static int tuned(void)
{
    tuned_listen(heard);
    char line[1024];
    while (fgets(line, sizeof line, stdin) != NULL) {
        struct tuned_uniform u;
        int column = 0;
        const char *why = NULL;
        char name[TUNED_NAME];
        double v[4] = {0};
        if (sscanf(line, "set %63s %lf %lf %lf %lf", name, &v[0], &v[1], &v[2], &v[3]) >= 2) {
            if (tuned_find(name) < 0 || !tuned_set((size_t)tuned_find(name), v))
                puts("no such uniform");
        } else if (tuned_parse(line, &u, &column, &why) > 0) {
            tuned_declare(&u);
        } else {
            printf("error at %d: %s\n", column, why != NULL ? why : "no directive");
        }
        for (size_t i = 0; tuned_at(i) != NULL; i++) {
            printf("%s", tuned_at(i)->name);
            for (int k = 0; k < tuned_at(i)->components; k++)
                printf(" %.17g", tuned_at(i)->value[k]);
            putchar('\n');
        }
        puts(".");
    }
    return 0;
}

int main(int argc, char **argv)
{
    const char *what = argc >= 2 ? argv[1] : "";
    if (strcmp(what, "plan") == 0 && argc == 3)
        return plan(argv[2]);
    if (strcmp(what, "settings") == 0 && (argc == 2 || (argc == 3 && strcmp(argv[2], "required") == 0)))
        return settings(argc == 3);
    if (strcmp(what, "analysis") == 0 && argc >= 3)
        return analysis(argc - 2, argv + 2);
    if (strcmp(what, "keys") == 0)
        return keys(argc - 2, argv + 2);
    if (strcmp(what, "watch") == 0 && argc == 2)
        return watch();
    if (strcmp(what, "tuned") == 0 && argc == 2)
        return tuned();
    fprintf(stderr, "usage: units plan FILE | settings [required] | analysis RATE TIME... | keys EVENT... | "
                    "watch | tuned\n");
    return 2;
}
