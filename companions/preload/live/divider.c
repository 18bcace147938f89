/*
 * live's divider (divider.h): the picture of a fraction of the window's size, drawn into and shown in
 * blocks; F2 (live.c) goes on to the next, and from 1/8 back to the whole window.
 */
#include "live/divider.h"

#define MOST_DIVIDER 8

/* The divider (1: the window's own size), whether the frame drawn now is divided, and the picture drawn
 * when it is. */
static int divider = 1, divided;
static struct target small;

int divider_now(void)
{
    return divider;
}

void divider_set(int d)
{
    divider = d >= 1 && d <= MOST_DIVIDER ? d : 1;
}

void divider_frame_begins(int width, int height)
{
    static PFNGLBINDFRAMEBUFFERPROC bind_framebuffer;
    static PFNGLVIEWPORTPROC viewport;
    if (divider > 1) {
        int w = (width + divider - 1) / divider, h = (height + divider - 1) / divider;
        if (small.width != w || small.height != h) {
            if (small.framebuffer != 0)
                target_free(&small);
            small = target_make(w > 0 ? w : 1, h > 0 ? h : 1, GL_RGBA8);
        }
        target_bind(&small);
        divided = 1;
    } else if (divided) {
        GL_ENTRY(glBindFramebuffer, bind_framebuffer);
        GL_ENTRY(glViewport, viewport);
        bind_framebuffer(GL_FRAMEBUFFER, 0);
        viewport(0, 0, width, height);
        divided = 0;
    }
}

int divider_picture(int *width, int *height)
{
    if (divided) {
        *width = small.width;
        *height = small.height;
    }
    return divided;
}

void divider_show(int width, int height)
{
    if (divided)
        target_show_blocks(&small, width, height);
}
