#include "text/sessions.h"

const struct session_field SESSION_COMMON[3] = {
    {"frame", SESSION_NUMBER, 0, 0, 0}, {"itime", SESSION_NUMBER, 0, 0, 0}, {"clock", SESSION_NUMBER, 0, 0, 0}};

/* Each event's own fields: "build" (the Image pass's text that built, and every file it is made of), "pass"
 * (the same of a buffer pass), "key" (a key the shader reads, by its browser code, down or up), "time" (a
 * time key, the timeline's speed set or its loop taken back: whether it is paused after it and the speed it
 * runs at), "mouse" (iMouse, and the picture's size it counts in) and "uniform" (an #iUniform set). */
const struct session_event SESSION_EVENTS[EVENT_KINDS] = {
    [EVENT_BUILD] = {"build", {{"files", SESSION_FILES, 0, 0, 0}}},
    [EVENT_PASS] = {"pass", {{"files", SESSION_FILES, 0, 0, 0}}},
    [EVENT_KEY] = {"key", {{"code", SESSION_NUMBER, 0, 0, 0}, {"down", SESSION_FLAG, 0, 0, 0}}},
    [EVENT_TIME] = {"time", {{"paused", SESSION_FLAG, 0, 0, 0}, {"speed", SESSION_NUMBER, 0, 0, 1}}},
    [EVENT_MOUSE] = {"mouse", {{"mouse", SESSION_NUMBERS, 4, 4, 0}, {"picture", SESSION_NUMBERS, 2, 2, 0}}},
    [EVENT_UNIFORM] = {"uniform", {{"name", SESSION_TEXT, 0, 0, 0}, {"value", SESSION_NUMBERS, 1, 4, 0}}},
};

const char *session_type_name(enum session_type type)
{
    static const char *const NAMES[] = {"number", "flag", "text", "files", "numbers"};
    return NAMES[type];
}

/* build: the Image pass's text from PATH on (the session's first build is the viewer's own text); pass:
 * buffer or cube map pass FILE drawn with the text from PATH on; time: iTime is ITIME then, running on at
 * SPEED x the clock (PAUSED 0) or held (1); mouse: iMouse, in the pixels of the picture drawn; key: a key by
 * its browser code, down (1) or up (0); uniform: an #iUniform's value (WHERE the session's FILE:LINE, for
 * the message when the uniform cannot take it). */
const struct replay_line REPLAY_LINES[REPLAY_KINDS] = {
    [REPLAY_BUILD] = {"build", 1, 0, {"clock", "path"}},
    [REPLAY_TIME] = {"time", 0, 3, {"clock", "itime", "paused", "speed"}},
    [REPLAY_MOUSE] = {"mouse", 0, 4, {"clock", "x", "y", "z", "w"}},
    [REPLAY_KEY] = {"key", 0, 2, {"clock", "code", "down"}},
    [REPLAY_UNIFORM] = {"uniform", 2, 1, {"clock", "where", "name", "value..."}},
    [REPLAY_PASS] = {"pass", 2, 0, {"clock", "file", "path"}},
};

enum replay_kind replay_kind_named(const char *word)
{
    int kind = 0;
    while (kind < REPLAY_KINDS && strcmp(word, REPLAY_LINES[kind].kind) != 0)
        kind++;
    return (enum replay_kind)kind;
}
