#include "live/session.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "base/settings.h"
#include "gl/gl.h"
#include "text/tuned.h"

static FILE *out;
static char *where;
static long long origin;
static long drawn = -1;

/* text as a JSON string: its bytes as they are, but a quote, a backslash and a control character escaped. */
static void string(const char *text)
{
    fputc('"', out);
    for (const unsigned char *c = (const unsigned char *)text; *c != '\0'; c++) {
        if (*c == '"' || *c == '\\')
            fprintf(out, "\\%c", *c);
        else if (*c < 0x20 || *c == 0x7f)
            fprintf(out, "\\u%04x", *c);
        else
            fputc(*c, out);
    }
    fputc('"', out);
}

/* What a session's first line begins with. */
static const char HEADER[] = "{\"quillomar-session\": ";

/* What is written is on its way to the file; where it cannot be (a full disk), the session ends there, said
 * once ("session-stopped"), and the window goes on. */
static void written(void)
{
    int failed = fflush(out) != 0 ? errno : ferror(out) ? EIO : 0;
    if (failed == 0)
        return;
    const char *why = strerror(failed);
    const struct field fields[] = {PAYLOAD("why", why, strlen(why))};
    record_write(STDERR_FILENO, "session-stopped", fields, 1);
    fclose(out);
    out = NULL;
}

void session_configure(const char *base)
{
    const struct setting_use settings[] = {{"QUILLOMAR_SESSION", &where, NULL}};
    settings_of(settings, 1);
    if (where == NULL)
        return;
    /* Only a file that is empty or a session already is written over: the file is read before it is cut. */
    int fd = open(where, O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        preload_fail("%s: %s", where, strerror(errno));
    char first[sizeof HEADER - 1];
    if (!S_ISREG(st.st_mode) ||
        (st.st_size > 0 && (read(fd, first, sizeof first) != (ssize_t)sizeof first ||
                            memcmp(first, HEADER, sizeof first) != 0)))
        preload_fail("%s: not a Quillomar session, so it is left as it is", where);
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0 || (out = fdopen(fd, "we")) == NULL)
        preload_fail("%s: %s", where, strerror(errno));
    fprintf(out, "%s%d, \"shader\": ", HEADER, SESSION_VERSION);
    string(base);
    fputs("}\n", out);
    written();
}

void session_origin(long long real_now)
{
    origin = real_now;
}

void session_drawn(long frame)
{
    drawn = frame;
}

/* An event's first fields, as text/sessions.h names them: it takes effect at the next frame drawn, at iTime
 * itime (before the clock has started, at its start). */
static void begin(enum session_kind kind, long long itime)
{
    long long clock = origin != 0 ? preload_real_now() - origin : 0;
    fprintf(out, "{\"event\": \"%s\", \"%s\": %ld, \"%s\": %.17g, \"%s\": %.9f", SESSION_EVENTS[kind].name,
            SESSION_COMMON[0].name, drawn + 1, SESSION_COMMON[1].name, origin != 0 ? (double)itime / 1e9 : 0.0,
            SESSION_COMMON[2].name, (double)clock / 1e9);
}

/* The name of the kind's field n, as the next field: ", \"NAME\": ". */
static void field(enum session_kind kind, int n)
{
    fprintf(out, ", \"%s\": ", SESSION_EVENTS[kind].fields[n].name);
}

static void end(void)
{
    fputs("}\n", out);
    written();
}

void session_build(enum session_kind kind, long long itime, const char *text, const struct files *files)
{
    if (out == NULL)
        return;
    begin(kind, itime);
    field(kind, 0);
    fputc('[', out);
    for (int i = 0; i < files->count; i++) {
        const char *why = NULL;
        char *own = i == 0 ? NULL : preload_read_text(files->paths[i], &why);
        fputs(i > 0 ? ", {\"path\": " : "{\"path\": ", out);
        string(files->paths[i]);
        fputs(", \"text\": ", out);
        string(i == 0 ? text : own != NULL ? own : "");
        fputc('}', out);
        free(own);
    }
    fputc(']', out);
    end();
}

void session_key(long long itime, int code, int down)
{
    if (out == NULL)
        return;
    begin(EVENT_KEY, itime);
    field(EVENT_KEY, 0);
    fprintf(out, "%d", code);
    field(EVENT_KEY, 1);
    fputs(down ? "true" : "false", out);
    end();
}

void session_time(long long itime, int paused, double speed)
{
    if (out == NULL)
        return;
    begin(EVENT_TIME, itime);
    field(EVENT_TIME, 0);
    fputs(paused ? "true" : "false", out);
    field(EVENT_TIME, 1);
    fprintf(out, "%.17g", speed);
    end();
}

void session_mouse(long long itime, const double mouse[4], const double picture[2])
{
    if (out == NULL)
        return;
    begin(EVENT_MOUSE, itime);
    field(EVENT_MOUSE, 0);
    fprintf(out, "[%.17g, %.17g, %.17g, %.17g]", mouse[0], mouse[1], mouse[2], mouse[3]);
    field(EVENT_MOUSE, 1);
    fprintf(out, "[%.17g, %.17g]", picture[0], picture[1]);
    end();
}

void session_uniform(long long itime, size_t uniform)
{
    const struct tuned_uniform *u = tuned_at(uniform);
    if (out == NULL || u == NULL)
        return;
    begin(EVENT_UNIFORM, itime);
    field(EVENT_UNIFORM, 0);
    string(u->name);
    field(EVENT_UNIFORM, 1);
    fputc('[', out);
    for (int k = 0; k < u->components; k++)
        fprintf(out, "%s%.17g", k > 0 ? ", " : "", u->value[k]);
    fputc(']', out);
    end();
}
