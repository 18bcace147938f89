/* The one reader of the files the libraries read (base.h). */
#include "base/base.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

char *preload_read_text(const char *path, const char **why)
{
    static char reason[128];
    *why = reason;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        *why = errno == ENOENT || errno == ENOTDIR ? NULL : strerror(errno);
        if (fd >= 0)
            close(fd);
        return NULL;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > LARGEST_TEXT) {
        snprintf(reason, sizeof reason, S_ISDIR(st.st_mode) ? "it is a directory" : S_ISREG(st.st_mode) ?
                 "it is larger than 16 MiB" : "it is not a regular file");
        close(fd);
        return NULL;
    }
    size_t size = 0, room = (size_t)st.st_size + 4096;
    char *text = preload_alloc(room);
    for (;;) {
        ssize_t n = read(fd, text + size, room - size - 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            snprintf(reason, sizeof reason, "%s", strerror(errno));
            free(text);
            close(fd);
            return NULL;
        }
        if (n == 0)
            break;
        size += (size_t)n;
        if (size > (size_t)LARGEST_TEXT) {
            snprintf(reason, sizeof reason, "it is larger than 16 MiB");
            free(text);
            close(fd);
            return NULL;
        }
        if (room - size - 1 == 0) {
            char *grown = realloc(text, room *= 2);
            if (grown == NULL)
                preload_fail("out of memory reading %s", path);
            text = grown;
        }
    }
    close(fd);
    text[size] = '\0';
    return text;
}
