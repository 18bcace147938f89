/* Texts that grow, and paths in lines (base.h). */
#include "base/base.h"

#include <errno.h>
#include <iconv.h>
#include <stdarg.h>

void text_add(struct text *t, const char *data, size_t size)
{
    if (t->used + size + 1 > t->room) {
        t->room = (t->used + size + 1) * 2;
        char *grown = realloc(t->data, t->room);
        if (grown == NULL)
            preload_fail("out of memory (%zu bytes)", t->room);
        t->data = grown;
    }
    memcpy(t->data + t->used, data, size);
    t->used += size;
    t->data[t->used] = '\0';
}

void text_addf(struct text *t, const char *format, ...)
{
    char line[4200];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    text_add(t, line, n < 0 ? 0 : (size_t)n < sizeof line ? (size_t)n : sizeof line - 1);
}

/* The escapes of a path in a line: the character, and the letter after the backslash. */
static const char ESCAPES[][2] = {{'\\', '\\'}, {'\n', 'n'}, {'\t', 't'}};

void path_escape(struct text *t, const char *path)
{
    text_add(t, "", 0);
    for (const char *p = path; *p != '\0';) {
        size_t plain = strcspn(p, "\\\n\t");
        text_add(t, p, plain);
        p += plain;
        for (size_t i = 0; *p != '\0' && i < sizeof ESCAPES / sizeof ESCAPES[0]; i++)
            if (*p == ESCAPES[i][0]) {
                char pair[2] = {'\\', ESCAPES[i][1]};
                text_add(t, pair, 2);
                p++;
                break;
            }
    }
}

int path_unescape(char *text)
{
    char *to = text;
    for (const char *from = text; *from != '\0'; from++) {
        if (*from != '\\') {
            *to++ = *from;
            continue;
        }
        from++;
        size_t i = 0;
        while (i < sizeof ESCAPES / sizeof ESCAPES[0] && *from != ESCAPES[i][1])
            i++;
        if (i == sizeof ESCAPES / sizeof ESCAPES[0])
            return 0;
        *to++ = ESCAPES[i][0];
    }
    *to = '\0';
    return 1;
}

char *printable_name(const char *name)
{
    struct text out = {0};
    text_add(&out, "", 0);
    iconv_t same = iconv_open("UTF-8", "UTF-8");
    char *in = (char *)name;
    size_t left = strlen(name);
    while (left > 0) {
        char whole[256], *to = whole;
        size_t room = sizeof whole;
        int stuck = same == (iconv_t)-1 || (iconv(same, &in, &left, &to, &room) == (size_t)-1 && errno != E2BIG);
        for (const char *c = whole; c < to; c++) {
            if ((unsigned char)*c < 0x20 || *c == 0x7f) {
                text_addf(&out, "\\x%02x", (unsigned char)*c);
            } else if ((unsigned char)c[0] == 0xc2 && (unsigned char)c[1] < 0xa0) { /* C1, U+0080 to U+009F */
                text_addf(&out, "\\x%02x", (unsigned char)c[1]);
                c++;
            } else {
                text_add(&out, c, 1);
            }
        }
        if (stuck && left > 0) {
            text_addf(&out, "\\x%02x", (unsigned char)*in);
            in++;
            left--;
        }
    }
    if (same != (iconv_t)-1)
        iconv_close(same);
    return out.data;
}
