/*
 * quillomar-live's session (--session FILE): everything that decides what the window shows, written to FILE
 * as it happens, so that quillomar-record --replay can draw the session again frame for frame. FILE is JSON
 * lines: a header {"quillomar-session": SESSION_VERSION, "shader": NAME}, then an event a line, each with the
 * frame it takes effect at ("frame", iFrame), the iTime then ("itime") and the session's clock ("clock",
 * seconds since the program's time origin), its kind and fields as text/sessions.h's table has them.
 */
#ifndef QUILLOMAR_SESSION_H
#define QUILLOMAR_SESSION_H

#include "text/sessions.h"
#include "text/source.h"

/* Reads QUILLOMAR_SESSION (none: no session is written) and writes the header; base: the shader's name. */
void session_configure(const char *base);

/* The program's time origin (preload_real_now's), and the frame drawn last (iFrame). */
void session_origin(long long real_now);
void session_drawn(long frame);

/* The events, each written at once (itime: where the clock is now, in nanoseconds). */
/* A build that linked: EVENT_BUILD for the Image pass, EVENT_PASS for a buffer pass. */
void session_build(enum session_kind kind, long long itime, const char *text, const struct files *files);
void session_key(long long itime, int code, int down);
void session_time(long long itime, int paused, double speed);
void session_mouse(long long itime, const double mouse[4], const double picture[2]);
void session_uniform(long long itime, size_t uniform);

#endif
