#include "record/replay.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>

#include "passes/passes.h"

/* Which buffer or cube map pass has the file at path (-1: none). */
static int pass_named(const char *path)
{
    char *wanted = realpath(path, NULL);
    int found = -1;
    for (int p = 0; wanted != NULL && p < passes_count() - 1 && found < 0; p++) {
        char *own = realpath(passes_path(p), NULL);
        if (own != NULL && strcmp(own, wanted) == 0)
            found = p;
        free(own);
    }
    free(wanted);
    return found;
}

/* Reads the session's events: a line each, fields separated by tabs, "KIND CLOCK ...", each kind's columns
 * as REPLAY_LINES has them: build PATH (a path in a line), pass FILE PATH (pass FILE's text from PATH), time
 * ITIME PAUSED SPEED, mouse X Y Z W, key CODE DOWN, uniform WHERE NAME N... (WHERE the session's FILE:LINE,
 * and NAME, each escaped as a path in a line is). Read a line at a time, whatever its length: the command
 * bounds the session it is written from. */
struct replay_event *replay_read(const char *path, size_t *count)
{
    struct replay_event *events = NULL;
    size_t event_count = 0;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        preload_fail("QUILLOMAR_REPLAY=%s: %s", path, fd < 0 ? strerror(errno) : "it is not a regular file");
    FILE *in = fdopen(fd, "re");
    if (in == NULL)
        preload_fail("QUILLOMAR_REPLAY=%s: %s", path, strerror(errno));
    size_t room = 0, line_room = 0;
    char *line = NULL;
    for (ssize_t length; (length = getline(&line, &line_room, in)) > 0;) {
        if (line[length - 1] != '\n' || strlen(line) != (size_t)length)
            preload_fail("QUILLOMAR_REPLAY: a line without its end");
        line[length - 1] = '\0';
        char *fields[8] = {0};
        int n = 0;
        for (char *f = line; f != NULL && n < 8; n++) {
            fields[n] = f;
            f = strchr(f, '\t');
            if (f != NULL)
                *f++ = '\0';
        }
        if (event_count == room) {
            room = room ? room * 2 : 64;
            struct replay_event *more = preload_alloc(room * sizeof *more);
            if (events != NULL)
                memcpy(more, events, event_count * sizeof *more);
            free(events);
            events = more;
        }
        events[event_count] = (struct replay_event){0};
        struct replay_event *e = &events[event_count];
        enum replay_kind kind = replay_kind_named(fields[0]);
        /* The kind's word and the clock, then its paths, then its numbers. */
        int paths = kind < REPLAY_KINDS ? REPLAY_LINES[kind].paths : 0, numbers_from = 2 + paths;
        if (kind == REPLAY_KINDS || n < numbers_from || (paths > 0 && !path_unescape(fields[2])) ||
            (paths > 1 && !path_unescape(fields[3])))
            preload_fail("QUILLOMAR_REPLAY: %s is not a line of a session as the command writes it", line);
        e->kind = kind;
        e->clock = strtod(fields[1], NULL);
        if (paths > 0)
            e->text = strdup(fields[numbers_from - 1]);
        if (kind == REPLAY_PASS)
            e->pass = pass_named(fields[2]);
        if (kind == REPLAY_UNIFORM)
            e->where = strdup(fields[2]);
        e->count = n - numbers_from;
        if (kind == REPLAY_TIME)
            e->numbers[2] = 1.0;
        for (int k = numbers_from; k < n && k - numbers_from < 4; k++)
            e->numbers[k - numbers_from] = strtod(fields[k], NULL);
        event_count++;
    }
    if (ferror(in))
        preload_fail("QUILLOMAR_REPLAY=%s: %s", path, strerror(errno));
    free(line);
    fclose(in);
    *count = event_count;
    return events;
}

