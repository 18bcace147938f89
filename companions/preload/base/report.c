/* Failing, writing whole buffers and records, allocating, and the clock (base.h). */
#include "base/base.h"

#include <errno.h>
#include <stdarg.h>
#include <time.h>

void preload_fail(const char *format, ...)
{
    char message[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    fprintf(stderr, "%s: %s\n", PRELOAD_NAME, message);
    _exit(70);
}

void preload_write_all(int fd, const void *data, size_t size, const char *what)
{
    const char *p = data;
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno != EINTR)
            preload_fail("%s: %s", what, strerror(errno));
        if (n > 0) {
            p += n;
            size -= (size_t)n;
        }
    }
}

void record_write(int fd, const char *kind, const struct field *fields, size_t count)
{
    char header[1024];
    size_t used = (size_t)snprintf(header, sizeof header, "\036%s", kind);
    for (size_t i = 0; i < count && used < sizeof header; i++) {
        if (fields[i].value != NULL)
            used += (size_t)snprintf(header + used, sizeof header - used, " %s=%s", fields[i].name, fields[i].value);
        else
            used += (size_t)snprintf(header + used, sizeof header - used, " %s:%zu", fields[i].name, fields[i].size);
    }
    if (used + 1 >= sizeof header)
        preload_fail("a %s record too long to write", kind);
    header[used++] = '\n';
    preload_write_all(fd, header, used, kind);
    for (size_t i = 0; i < count; i++)
        if (fields[i].value == NULL)
            preload_write_all(fd, fields[i].data, fields[i].size, kind);
}

void *preload_alloc(size_t size)
{
    void *p = malloc(size > 0 ? size : 1);
    if (p == NULL)
        preload_fail("out of memory (%zu bytes)", size);
    return p;
}

long long preload_now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}
