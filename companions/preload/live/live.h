/*
 * What quillomar-live's pieces share: live.c (its policy for the viewer's events, viewer.h: its window,
 * the ends of its frames, its own build, the program it uses, its draw), saves.c (each save built,
 * reported and shown; the window's title) and clock.c (the program's clock and the time keys, clock.h).
 */
#ifndef QUILLOMAR_LIVE_H
#define QUILLOMAR_LIVE_H

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
 * again. */
void saves_window(GLFWwindow *window, void (*set_title)(GLFWwindow *, const char *));
void retitle(void);

/* The divider of the picture (live.c): 1, or 2, 4 or 8, the picture drawn at that fraction of the window's
 * size and scaled up; set to anything else, it is 1 again. */
int live_divider(void);
void live_set_divider(int divider);

#endif
