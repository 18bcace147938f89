/*
 * quillomar-live's saves (saves.c): the settings read, each pass's files watched and each save built,
 * reported and shown, the command's new plans taken, the Sound pass made, and the window's title. live.c
 * calls them at the viewer's events.
 */
#ifndef QUILLOMAR_SAVES_H
#define QUILLOMAR_SAVES_H

#include "live/clock.h"
#include "passes/passes.h"

/* Reads the settings, watches the file and reads the plan (when the library loads). */
void saves_configure(void);

/* The viewer's own fragment text as a source: the file's, with its includes and the Image pass's channels. */
struct source saves_viewer_source(void);

/* The viewer linked its own program (started at started): its build is reported as every later one, or
 * the file as not there or unreadable; every other pass is built. Says 0 when it was done before. */
int saves_viewer_built(GLuint program, long long started);

/* The program the viewer's use of program draws with: the newest that built in place of its own. */
GLuint saves_drawn(GLuint program);

/* After a frame: its program drawn in time, or too slow (the watchdog's). Then, after each poll of the
 * window's events: the command's new plans, and what the watcher saw. Both once the viewer has built. */
void saves_frame_ended(void);
void saves_poll(void);

/* Before a frame's draw (draw: the GL's glDrawArrays, and the viewer's arguments): the Sound pass made,
 * when it is due. */
void saves_sound(PFNGLDRAWARRAYSPROC draw, GLenum mode, GLint first, GLsizei count);

/* The window whose title says what is wrong (set_title: GLFW's glfwSetWindowTitle), and the title said
 * again (when the clock is paused or the divider changed: divider.h). */
void saves_window(GLFWwindow *window, void (*set_title)(GLFWwindow *, const char *));
void retitle(void);

#endif
