/*
 * quillomar-live's session (--session FILE): everything that decides what the window shows, written to FILE
 * as it happens, so that quillomar-record --replay can draw the session again frame for frame. FILE is JSON
 * lines: a header {"quillomar-session": SESSION_VERSION, "shader": NAME}, then an event a line, each with the
 * frame it takes effect at ("frame", iFrame), the iTime then ("itime") and the session's clock ("clock",
 * seconds since the program's time origin): "build" (the Image pass's text that built, and every file it is
 * made of), "pass" (the same of a buffer pass: version 2 on), "key" (a key the shader reads, down or up), "time" (a time key, the timeline's speed set or its loop taken
 * back: iTime, whether it is paused after it and the speed it runs at), "mouse" (iMouse, and the picture's size it counts in) and "uniform" (an #iUniform set). The
 * format is docs/internals.md's.
 */
#ifndef QUILLOMAR_SESSION_H
#define QUILLOMAR_SESSION_H

#include "text/source.h"

#define SESSION_VERSION 2

/* Reads QUILLOMAR_SESSION (none: no session is written) and writes the header; base: the shader's name. */
void session_configure(const char *base);

/* The program's time origin (preload_real_now's), and the frame drawn last (iFrame). */
void session_origin(long long real_now);
void session_drawn(long frame);

/* The events, each written at once (itime: where the clock is now, in nanoseconds). */
/* A build that linked: event "build" for the Image pass, "pass" for a buffer pass. */
void session_build(const char *event, long long itime, const char *text, const struct files *files);
void session_key(long long itime, int code, int down);
void session_time(long long itime, int paused, double speed);
void session_mouse(long long itime, const double mouse[4], const double picture[2]);
void session_uniform(long long itime, size_t uniform);

#endif
