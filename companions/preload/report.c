/* Failing, writing and the small services every preloaded piece uses (preload.h). */
#include "preload.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <link.h>
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

/* A missing one means the program is not the viewer this library was made for. */
void *preload_next(const char *name)
{
    void *p = dlsym(RTLD_NEXT, name);
    if (p == NULL)
        preload_fail("the viewer has no %s", name);
    return p;
}

GLFWglproc preload_gl_or_null(const char *name)
{
    static GLFWglproc (*lookup)(const char *);
    NEXT(glfwGetProcAddress, lookup);
    return lookup(name);
}

GLFWglproc preload_gl(const char *name)
{
    GLFWglproc p = preload_gl_or_null(name);
    if (p == NULL)
        preload_fail("the GL has no %s", name);
    return p;
}

long long preload_now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static uintptr_t program_start[8], program_end[8];
static int program_segments = -1;

static int first_object(struct dl_phdr_info *info, size_t size, void *data)
{
    (void)size;
    (void)data;
    program_segments = 0;
    for (int i = 0; i < info->dlpi_phnum && program_segments < 8; i++) {
        if (info->dlpi_phdr[i].p_type != PT_LOAD)
            continue;
        uintptr_t segment = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
        program_start[program_segments] = segment;
        program_end[program_segments++] = segment + info->dlpi_phdr[i].p_memsz;
    }
    return 1;
}

int preload_from_program(const void *address)
{
    if (program_segments < 0)
        dl_iterate_phdr(first_object, NULL);
    for (int i = 0; i < program_segments; i++)
        if ((uintptr_t)address >= program_start[i] && (uintptr_t)address < program_end[i])
            return 1;
    return 0;
}

long long preload_real_now(void)
{
    static long long (*clock_now)(void);
    NEXT(_ZNSt6chrono3_V212steady_clock3nowEv, clock_now);
    return clock_now();
}

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
        if (S_ISREG(st.st_mode))
            snprintf(reason, sizeof reason, "it is larger than %lld MiB", LARGEST_TEXT >> 20);
        else
            snprintf(reason, sizeof reason, S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file");
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
            snprintf(reason, sizeof reason, "it is larger than %lld MiB", LARGEST_TEXT >> 20);
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
