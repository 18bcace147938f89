"""What the user sees: the quad's coordinate, the uniforms and the clear colour, read back from the window."""
import time

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
    """The probe's colour at pixel (x, y) of a w by h viewport; None inside the discarded disc."""
    cx = (x + 0.5) / w * 2 - 1
    cy = 1 - (y + 0.5) / h * 2
    if ((cx + 0.5) ** 2 + (cy - 0.5) ** 2) ** 0.5 < 0.1:
        return None
    blue = 1920 - 1800 if cx < 0 else 1080 - 1000
    return (round((cx * 0.5 + 0.5) * 255), round((cy * 0.5 + 0.5) * 255), blue)


def corners_and_centre(w, h):
    return [(0, 0), (w - 1, 0), (0, h - 1), (w - 1, h - 1), (w // 2, h // 2), (w // 4 + 7, 3 * h // 4 - 5)]


def probe_matches(viewer, w, h):
    points = corners_and_centre(w, h)
    got = viewer.pixels(points)
    return all(near(g, expected_probe(x, y, w, h)) for (x, y), g in zip(points, got))


def test_coord_uniforms_and_clear_colour_on_screen(run_viewer):
    v = run_viewer(PROBE)
    v.find_window()
    assert v.size() == (1920, 1080)
    v.wait_for(lambda: probe_matches(v, 1920, 1080), what="the probe picture")
    points = corners_and_centre(1920, 1080)
    got = dict(zip(points, v.pixels(points)))
    assert got[(0, 0)] == (0, 255, 120)        # top left: coord (-1, 1), width 1920
    assert got[(1919, 0)] == (255, 255, 80)    # top right: coord (1, 1), height 1080
    assert got[(0, 1079)] == (0, 0, 120)       # bottom left: coord (-1, -1)
    assert got[(1919, 1079)] == (255, 0, 80)   # bottom right: coord (1, -1)
    assert near(got[(960, 540)], (128, 127, 80))
    # The discarded disc around coord (-0.5, 0.5) shows the clear colour.
    assert near(v.pixels([(480, 270)])[0], CLEAR)

    status, out, err = v.request_close()
    assert (status, out, err) == (0, PROBE + b"\n", b"")


def test_drawing_follows_a_resize_and_uniforms_stay(run_viewer):
    v = run_viewer(PROBE)
    v.find_window()
    v.wait_for(lambda: probe_matches(v, 1920, 1080), what="the first picture")
    for w, h in [(640, 360), (1000, 150)]:
        v.resize(w, h)
        v.wait_for(lambda: v.size() == (w, h), what="the %dx%d window" % (w, h))
        v.wait_for(lambda: probe_matches(v, w, h), what="the picture filling %dx%d" % (w, h))
    # width and height are still 1920 and 1080 at the new size.
    assert [blue for _, _, blue in v.pixels([(0, 0), (999, 149)])] == [120, 80]
    status, out, err = v.hold_escape()
    assert (status, out, err) == (0, PROBE + b"\n", b"")


def read_clock(v):
    """(iTime shown, monotonic time of the read): the read's midpoint."""
    before = time.monotonic()
    r, g, b = v.pixels([(5, 5)])[0]
    after = time.monotonic()
    return ((r << 16) | (g << 8) | b) / 1000.0, (before + after) / 2


def test_itime_starts_near_zero_and_follows_the_wall_clock(run_viewer):
    launched = time.monotonic()
    v = run_viewer(CLOCK)
    v.find_window()
    v.wait_for(lambda: read_clock(v)[0] > 0, what="a frame with iTime")
    first_shown, first_at = read_clock(v)
    time.sleep(2.0)
    second_shown, second_at = read_clock(v)
    status, out, err = v.hold_escape()
    assert (status, out, err) == (0, CLOCK + b"\n", b"")
    first_swap = v.swaps().first

    # The frame on screen was drawn before it was read, so read time - iTime bounds the origin from
    # above; the origin lies after the launch and before the first presented frame.
    origin = first_at - first_shown
    assert launched < origin < first_swap + 0.5
    # Between the two reads iTime grew at the wall clock's rate, up to a frame or two.
    assert abs((second_shown - first_shown) - (second_at - first_at)) < 0.25
    assert second_shown > first_shown + 1.5
