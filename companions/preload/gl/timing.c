#include "gl/timing.h"

static struct {
    PFNGLGENQUERIESPROC gen_queries;
    PFNGLBEGINQUERYPROC begin_query;
    PFNGLENDQUERYPROC end_query;
    PFNGLGETQUERYOBJECTIVPROC query_objectiv;
    PFNGLGETQUERYOBJECTUI64VPROC query_objectui64v;
} gl;

/* A ring of TIMING_LAG + 1 frames of queries, one per pass: the frame being drawn is at ring[now]. */
#define TIMING_RING (TIMING_LAG + 1)
static GLuint queries[TIMING_RING][MOST_PASSES];
static int asked[TIMING_RING][MOST_PASSES];
static int enabled, now, open_slot = -1;
static double times[MOST_PASSES];

void timing_enable(int on)
{
    if (on && gl.gen_queries == NULL) {
        GL_ENTRY(glGenQueries, gl.gen_queries);
        GL_ENTRY(glBeginQuery, gl.begin_query);
        GL_ENTRY(glEndQuery, gl.end_query);
        GL_ENTRY(glGetQueryObjectiv, gl.query_objectiv);
        GL_ENTRY(glGetQueryObjectui64v, gl.query_objectui64v);
        gl.gen_queries(TIMING_RING * MOST_PASSES, &queries[0][0]);
    }
    if (open_slot >= 0)
        timing_end();
    enabled = on;
    memset(asked, 0, sizeof asked);
    for (int slot = 0; slot < MOST_PASSES; slot++)
        times[slot] = -1.0;
}

int timing_enabled(void)
{
    return enabled;
}

void timing_begin(int slot)
{
    if (!enabled || slot < 0 || slot >= MOST_PASSES || open_slot >= 0)
        return;
    gl.begin_query(GL_TIME_ELAPSED, queries[now][slot]);
    asked[now][slot] = 1;
    open_slot = slot;
}

void timing_end(void)
{
    if (open_slot < 0)
        return;
    gl.end_query(GL_TIME_ELAPSED);
    open_slot = -1;
}

void timing_frame(void)
{
    if (!enabled)
        return;
    timing_end();
    /* The oldest frame in the ring, drawn TIMING_LAG frames ago, is read and its place taken by the next. */
    now = (now + 1) % TIMING_RING;
    for (int slot = 0; slot < MOST_PASSES; slot++) {
        if (!asked[now][slot])
            continue;
        asked[now][slot] = 0;
        GLint ready = 0;
        gl.query_objectiv(queries[now][slot], GL_QUERY_RESULT_AVAILABLE, &ready);
        if (!ready)
            continue;
        GLuint64 ns = 0;
        gl.query_objectui64v(queries[now][slot], GL_QUERY_RESULT, &ns);
        times[slot] = (double)ns / 1e6;
    }
}

double timing_ms(int slot)
{
    return slot >= 0 && slot < MOST_PASSES ? times[slot] : -1.0;
}
