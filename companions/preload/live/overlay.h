/*
 * live's overlay (overlay.cpp, Dear ImGui): F1 shows and hides it over the picture in the window. It says
 * the frame rate and frame time with a graph of the last OVERLAY_FRAMES frames, the GPU's time for each
 * pass (gl/timing.h), the picture's size and the divider, iTime and iFrame with the timeline (pause, scrub, step, a loop
 * range, speed: live.h's clock), and the colour under the pointer as the shader wrote it (probe.h).
 *
 * It is drawn last, at the swap, on the window's own framebuffer, after everything a pass reads has been
 * drawn and kept: it never reaches the picture a pass sees, the previous frame or a recording. Hidden, it
 * makes no ImGui frame and no query. A "overlay" record says when it is shown and hidden, and at hiding
 * the GPU's times it read.
 */
#ifndef QUILLOMAR_OVERLAY_H
#define QUILLOMAR_OVERLAY_H

#include "gl/gl.h"

#ifdef __cplusplus
extern "C" {
#endif

#define OVERLAY_FRAMES 120

/* What the overlay says of the frame just drawn. */
struct overlay_view {
    double frame, itime;
    int width, height; /* the picture drawn */
    int divider;       /* the window's size over the picture's (F2) */
};

/* Shows or hides it (F1), over window. */
void overlay_toggle(GLFWwindow *window);
int overlay_shown(void);

/* The window's keys and mouse buttons, while it is shown; whether the pointer is over it, so that a
 * press there is not the shader's. */
void overlay_key(GLFWwindow *window, int key, int scancode, int action, int mods);
void overlay_button(GLFWwindow *window, int button, int action, int mods);
int overlay_wants_mouse(void);

/* At the swap: drawn onto the window's framebuffer, when shown. */
void overlay_draw(GLFWwindow *window, const struct overlay_view *view);

#ifdef __cplusplus
}
#endif

#endif
