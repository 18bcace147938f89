"""What the user sees and does with the window: its title and frame, the quad's coordinate, the uniforms
and the clear colour read back from the screen; resizing, maximising and closing, through a window manager
and without one; iTime against the clock; the frame rate; Escape."""
import os
import random
import time

import pytest

from conftest import near

# Colours coord onto red and green, puts width (left half) or height (right half) into blue as
# value - 1800 or value - 1000, and discards a disc around coord (-0.5, 0.5) so the clear colour shows.
PROBE = b"""#version 330 core
in vec2 coord;
out vec4 FragColor;
uniform float width;
uniform float height;
void main()
{
    if (length(coord - vec2(-0.5, 0.5)) < 0.1)
        discard;
    float b = coord.x < 0.0 ? (width - 1800.0) / 255.0 : (height - 1000.0) / 255.0;
    FragColor = vec4(coord * 0.5 + 0.5, b, 1.0);
}
"""

# iTime in whole milliseconds, spread over red (high), green and blue (low) bytes.
CLOCK = b"""#version 330 core
out vec4 FragColor;
uniform float iTime;
void main()
{
    uint ms = uint(iTime * 1000.0);
    FragColor = vec4(float((ms >> 16u) & 255u), float((ms >> 8u) & 255u), float(ms & 255u), 255.0) / 255.0;
}
"""

CLEAR = (51, 77, 77)  # 0.2, 0.3, 0.3 as bytes


def expected_probe(x, y, w, h):
    """The probe's colour at pixel (x, y) of a w by h viewport; the clear colour inside the disc."""
    cx, cy = (x + 0.5) / w * 2 - 1, 1 - (y + 0.5) / h * 2
    if ((cx + 0.5) ** 2 + (cy - 0.5) ** 2) ** 0.5 < 0.1:
        return CLEAR
    return (round((cx * 0.5 + 0.5) * 255), round((cy * 0.5 + 0.5) * 255), 120 if cx < 0 else 80)


def fills(v, size=None):
    """True when the probe picture fills the window at its current size (or at size, once it has it)."""
    w, h = v.size()
    if size is not None and (w, h) != size:
        return False
    points = [(0, 0), (w - 1, 0), (0, h - 1), (w - 1, h - 1), (w // 2, h // 2), (w // 4, h // 4),
              (w // 4 + 7, 3 * h // 4 - 5)]
    return all(near(g, expected_probe(x, y, w, h)) for (x, y), g in zip(points, v.pixels(points)))


def test_titled_framed_picture_on_a_33_only_gl_follows_the_window_manager_and_its_close_ends_the_run(run_viewer):
    # A driver that offers exactly OpenGL 3.3 core, no more, is enough.
    v = run_viewer(PROBE, env={"MESA_GL_VERSION_OVERRIDE": "3.3", "MESA_GLSL_VERSION_OVERRIDE": "330"})
    v.find_window()
    assert v.size() == (1920, 1080)
    title = v.window.get_full_property(v.x.intern_atom("_NET_WM_NAME"), v.x.intern_atom("UTF8_STRING"))
    assert (v.window.get_wm_name(), title and title.value) == ("Quillomar", b"Quillomar")
    # GLFW's default decorations: the window manager frames the window with a title bar above it.
    frame = v.wait_for(lambda: v.window.get_full_property(v.x.intern_atom("_NET_FRAME_EXTENTS"), 0),
                       what="the window manager's _NET_FRAME_EXTENTS on the window")
    assert frame.value[2] > 0, "expected a title bar; the frame (left, right, top, bottom) is %r" % (frame.value,)
    v.wait_for(lambda: fills(v), what="the probe picture")
    corners = v.pixels([(0, 0), (1919, 0), (0, 1079), (1919, 1079), (480, 270)])
    # coord is (-1, 1) at the top left and (1, -1) at the bottom right; width 1920 on the left, height
    # 1080 on the right; the discarded disc shows the clear colour.
    assert corners[:4] == [(0, 255, 120), (255, 255, 80), (0, 0, 120), (255, 0, 80)] and near(corners[4], CLEAR)

    v.wm("-r", "-e", "0,10,10,640,360")
    v.wait_for(lambda: fills(v, (640, 360)), what="the picture filling 640x360")
    v.wm("-r", "-b", "add,maximized_vert,maximized_horz")
    v.wait_for(lambda: v.size()[0] > 1920 and fills(v), what="the picture filling the maximised window")
    v.wm("-c")
    assert v.finish() == (0, PROBE + b"\n", b"")


def test_without_a_window_manager_resizes_and_close_still_work(bare_xserver, run_viewer):
    v = run_viewer(PROBE, xdisplay=bare_xserver)
    v.find_window()
    v.wait_for(lambda: fills(v, (1920, 1080)), what="the first picture")
    # A storm of sizes, down to a single pixel, with a few frames let through on the way.
    sizes = random.Random(7).choices([(1, 1), (1, 1080), (1920, 1), (37, 501), (640, 360), (1919, 1079)], k=299)
    for n, (w, h) in enumerate(sizes + [(1000, 150)]):
        v.window.configure(width=w, height=h)
        v.x.sync()
        if n % 20 == 0:
            time.sleep(0.05)
    v.wait_for(lambda: fills(v, (1000, 150)), what="the picture filling 1000x150")
    v.send_delete()
    assert v.finish() == (0, PROBE + b"\n", b"")


def read_clock(v):
    """(iTime shown, monotonic time before the read, after it)."""
    before = time.monotonic()
    r, g, b = v.pixels([(5, 5)])[0]
    return ((r << 16) | (g << 8) | b) / 1000.0, before, time.monotonic()


def test_itime_follows_the_clock_at_full_frame_rate_and_escape_ends_after_one_frame(run_viewer):
    v = run_viewer(CLOCK)
    v.find_window()
    v.wait_for(lambda: read_clock(v)[0] > 0, what="a frame with iTime above 0")
    time.sleep(2.6)  # past 2^31 nanoseconds
    shown, before, after = read_clock(v)
    pressed = time.monotonic()
    assert v.hold_escape() == (0, CLOCK + b"\n", b"")
    log = v.swaps()

    # The origin is read after the quad's set-up, and the first frame reads the clock before it uses the
    # program: its iTime is above 0 and no more than that interval, whatever the start-up took.
    assert 0 < log.itime <= log.first_use - log.setup + 1e-4, (log.itime, log.first_use - log.setup)
    # From the first frame to the last, iTime grew as the monotonic clock did (read by the preload as each
    # frame uses the program, right after the viewer's own reading), within 0.5%.
    elapsed = log.last_use - log.first_use
    assert elapsed > 2.6 and abs((log.last_itime - log.itime) / elapsed - 1) < 0.005, (
        "expected iTime to grow by %.4f s as the clock did; it grew by %.4f s, from %.6f" % (
            elapsed, log.last_itime - log.itime, log.itime))
    # The picture shows that iTime: the frame on screen as we read it was drawn shortly before.
    origin = log.first_use - log.itime
    assert before - origin - 0.25 < shown <= after - origin + 1e-3, (before - origin, shown, after - origin)
    # Frames follow each other as fast as the swap allows, not at an event loop's leisurely pace.
    rate = (log.swaps - 1) / (log.last - log.first)
    assert rate > 25, "expected more than 25 frames/s of a trivial shader; observed %.1f" % rate
    # Held over many frames, Escape ends the run after the frame that sees it.
    assert log.last - pressed < 2 / rate + 0.1


@pytest.mark.soak
def test_minutes_at_full_frame_rate_keep_memory_flat_and_time_moving(run_viewer):
    v = run_viewer(CLOCK)
    v.find_window()
    v.wait_for(lambda: read_clock(v)[0] > 0, what="a frame with iTime")
    started, rss = time.monotonic(), []
    while time.monotonic() - started < float(os.environ.get("SOAK_SECONDS", "300")):
        with open("/proc/%d/status" % v.proc.pid) as status:
            rss.append(next(int(line.split()[1]) for line in status if line.startswith("VmRSS:")))
        time.sleep(5)
    (shown, _, at), _, (later, _, later_at) = read_clock(v), time.sleep(1), read_clock(v)
    assert v.hold_escape() == (0, CLOCK + b"\n", b"")
    print("\n%d frames; RSS (KiB) every 5 s: %s; iTime %.3f, then %.3f" % (v.swaps().swaps, rss, shown, later))
    assert max(rss[6:]) - min(rss[6:]) <= 256, "flat after a 30 s warm-up"
    assert 0.8 < later - shown < 1.3 and abs((later - shown) - (later_at - at)) < 0.25
