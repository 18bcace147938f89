/*
 * The viewer as the libraries see it: viewer.c alone takes its calls (the hooks, docs/internals.md) and
 * knows their order and shape, and hands them on as events to the library's policy, live.c's or
 * record.c's, each of which defines viewer_events once. An event left NULL is not wanted: the call goes
 * straight to GLFW or the GL, and a GL entry point with no event is handed out as the GL's own.
 */
#ifndef QUILLOMAR_VIEWER_H
#define QUILLOMAR_VIEWER_H

#include "programs/program.h"

struct viewer_events {
    /* The viewer made its window (once, when it was made). */
    void (*window_made)(GLFWwindow *window);
    /* The source that the viewer's fragment text is built as (its path, include folders and channels'
     * samplers), asked when the viewer hands that text over; every policy gives it. */
    struct source (*viewer_source)(void);
    /* The viewer's fragment shader is about to be compiled (its first compile only). */
    void (*compiling)(void);
    /* The viewer linked its own program, of its own shaders (its first link only). */
    void (*linked)(GLuint program);
    /* The program the viewer puts in use, or looks its uniforms up in: the one to use in its place. */
    GLuint (*in_use)(GLuint program);
    /* A frame begins: the top of the viewer's loop, before it draws anything. */
    void (*frame_begins)(void);
    /* The frame's one draw, after the viewer's own uniforms: the library makes it, with draw (the GL's
     * glDrawArrays) and the viewer's mode, first and count, after whatever goes before it. */
    void (*draw)(PFNGLDRAWARRAYSPROC draw, GLenum mode, GLint first, GLsizei count);
    /* The frame is done, just before the viewer swaps it into the window. */
    void (*swapping)(GLFWwindow *window);
    /* The frame has ended, just before the viewer polls its window's events; and the poll is over (its
     * callbacks have run), before the next frame. */
    void (*polling)(void);
    void (*polled)(void);
    /* The program's own clock read: origin says whether it is the viewer's first, its time origin; every
     * later one is the time of the frame about to be drawn. Says what the viewer gets. Reads of the clock
     * by the driver and the libraries get the real clock. */
    long long (*clock)(int origin);
};

/* The library's policy, defined once by live.c and once by record.c. */
extern const struct viewer_events viewer_events;

#endif
