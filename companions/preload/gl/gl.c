/* Reaching the real functions the libraries wrap, the GL's entry points, and the program's clock (gl.h). */
#include "gl/gl.h"

#include <link.h>

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
