/* The Sound pass, drawn into samples (sound.h). */
#include "passes/sound.h"

#include <errno.h>
#include <fcntl.h>

#include "gl/target.h"
#include "gl/uniforms.h"

void sound_render(GLuint program, long long first, long long count, int fd, PFNGLDRAWARRAYSPROC draw, GLenum mode,
                  GLint first_vertex, GLsizei vertices)
{
    static struct {
        PFNGLGETINTEGERVPROC get_integerv;
        PFNGLUSEPROGRAMPROC use_program;
        PFNGLBINDFRAMEBUFFERPROC bind_framebuffer;
        PFNGLVIEWPORTPROC viewport;
        PFNGLREADPIXELSPROC read_pixels;
        PFNGLPIXELSTOREIPROC pixel_storei;
    } gl;
    if (gl.get_integerv == NULL) {
        GL_ENTRY(glGetIntegerv, gl.get_integerv);
        GL_ENTRY(glUseProgram, gl.use_program);
        GL_ENTRY(glBindFramebuffer, gl.bind_framebuffer);
        GL_ENTRY(glViewport, gl.viewport);
        GL_ENTRY(glReadPixels, gl.read_pixels);
        GL_ENTRY(glPixelStorei, gl.pixel_storei);
    }
    GLint was_program = 0, framebuffer = 0, viewport[4] = {0};
    gl.get_integerv(GL_CURRENT_PROGRAM, &was_program);
    gl.get_integerv(GL_DRAW_FRAMEBUFFER_BINDING, &framebuffer);
    gl.get_integerv(GL_VIEWPORT, viewport);
    struct target block = target_make(SOUND_BLOCK, SOUND_BLOCK, GL_RGBA32F);
    const long long per_block = (long long)SOUND_BLOCK * SOUND_BLOCK;
    float *samples = preload_alloc((size_t)per_block * 2 * sizeof *samples);
    gl.use_program(program);
    for (long long done = 0; done < count; done += per_block) {
        long long n = count - done < per_block ? count - done : per_block;
        struct frame frame = {.sample = (double)(first + done)};
        target_bind(&block);
        inputs_set(program, &frame);
        draw(mode, first_vertex, vertices);
        gl.bind_framebuffer(GL_READ_FRAMEBUFFER, block.framebuffer);
        gl.pixel_storei(GL_PACK_ALIGNMENT, 4);
        gl.read_pixels(0, 0, SOUND_BLOCK, (GLsizei)((n + SOUND_BLOCK - 1) / SOUND_BLOCK), GL_RG, GL_FLOAT, samples);
        preload_write_all(fd, samples, (size_t)n * 2 * sizeof *samples, "the sound");
    }
    free(samples);
    target_free(&block);
    gl.use_program((GLuint)was_program);
    gl.bind_framebuffer(GL_FRAMEBUFFER, (GLuint)framebuffer);
    gl.viewport(viewport[0], viewport[1], viewport[2], viewport[3]);
}

void sound_write(GLuint program, long long first, long long count, const char *path, PFNGLDRAWARRAYSPROC draw,
                 GLenum mode, GLint first_vertex, GLsizei vertices)
{
    static PFNGLDELETEPROGRAMPROC delete_program;
    if (delete_program == NULL)
        GL_ENTRY(glDeleteProgram, delete_program);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        preload_fail("%s: %s", path, strerror(errno));
    sound_render(program, first, count, fd, draw, mode, first_vertex, vertices);
    close(fd);
    inputs_forget(program);
    delete_program(program);
}
