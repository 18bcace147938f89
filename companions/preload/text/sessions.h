/*
 * The session's format, the one definition of it: live writes a session (live/session.c), the recorder's
 * command reads it (quillomar/session.py, which takes this table from translate --describe) and hands the
 * recording library its events as replay lines (record/replay.c), which this table also gives.
 *
 * A session is JSON lines: a header {"quillomar-session": SESSION_VERSION, "shader": NAME}, then an event a
 * line, {"event": NAME, ...}: the fields every event has (SESSION_COMMON), then its own (SESSION_EVENTS).
 * A replay line is the kind's word, then its columns separated by tabs (REPLAY_LINES): the clock first,
 * then as many paths in a line as the row says, then numbers.
 */
#ifndef QUILLOMAR_SESSIONS_H
#define QUILLOMAR_SESSIONS_H

#include "base/base.h"

/* The version of the sessions written; each reader reads every version up to it (version 1 had no "pass"
 * events). */
#define SESSION_VERSION 2

/* What a field holds: a number, true or false, a text (not empty), a list of {"path", "text"} (a build's
 * files), or a list of numbers (of least to most of them). */
enum session_type { SESSION_NUMBER, SESSION_FLAG, SESSION_TEXT, SESSION_FILES, SESSION_NUMBERS };

struct session_field {
    const char *name;
    enum session_type type;
    int least, most; /* SESSION_NUMBERS: how many numbers */
    int optional;    /* whether an event may leave it out (a session of an older version) */
};

#define MOST_SESSION_FIELDS 3
struct session_event {
    const char *name;
    struct session_field fields[MOST_SESSION_FIELDS]; /* up to the first with no name */
};

/* The fields of every event: "frame" (the iFrame it takes effect at), "itime" (iTime then, seconds) and
 * "clock" (the session's clock, seconds since the program's time origin). */
extern const struct session_field SESSION_COMMON[3];
/* The events, by kind, in SESSION_EVENTS's order. */
enum session_kind { EVENT_BUILD, EVENT_PASS, EVENT_KEY, EVENT_TIME, EVENT_MOUSE, EVENT_UNIFORM, EVENT_KINDS };
extern const struct session_event SESSION_EVENTS[EVENT_KINDS];

/* The words for the types, as translate --describe writes them. */
const char *session_type_name(enum session_type type);

/* The replay's lines, by kind, in REPLAY_LINES's order. */
enum replay_kind { REPLAY_BUILD, REPLAY_TIME, REPLAY_MOUSE, REPLAY_KEY, REPLAY_UNIFORM, REPLAY_PASS, REPLAY_KINDS };
#define MOST_REPLAY_COLUMNS 6
struct replay_line {
    const char *kind;
    int paths;      /* how many columns after the clock are paths in a line (base.h's path_escape) */
    int numbers;    /* how many numbers follow them; the last column's name ends in "..." where it is one
                       or more (of at most 4) */
    const char *columns[MOST_REPLAY_COLUMNS]; /* after the kind, the clock first; up to the first NULL */
};
extern const struct replay_line REPLAY_LINES[REPLAY_KINDS];

/* The kind whose word is word; REPLAY_KINDS for none. */
enum replay_kind replay_kind_named(const char *word);

#endif
