"""The viewer and quillomar-live natively on Wayland: weston's headless backend, and GLFW built for
Wayland. That compositor has no keyboard and no pointer, so Escape and the close button cannot be driven
here (the tests under X drive them); instead the test library sets the window's close flag after a few
seconds, which ends the viewer by the same path, and reads the picture back from the GL before each swap,
as there is no X server to read it from. (The recorder in a Wayland session is among the recordings.)"""
import subprocess
import time

import pytest

from conftest import PATIENCE, interrupt, near, start_live, until
from test_window import PROBE, expected_probe
from xsession import read_pixels as pixels, shim, watching

POINTS = [(0, 0), (1919, 0), (0, 1079), (1919, 1079), (960, 540), (480, 270), (487, 805)]


def test_viewer_draws_natively_and_ends_by_its_close_flag(run_viewer, on_wayland, tmp_path):
    # With no DISPLAY at all, only GLFW's Wayland platform can open the window.
    v = run_viewer(PROBE, xdisplay=None, env=dict(on_wayland, GLSHIM_CLOSE_AFTER=2.5,
                                                  **watching(tmp_path / "pixels", POINTS)))
    assert v.finish(timeout=PATIENCE + 5) == (0, PROBE + b"\n", b""), "the echo, no GL error, status 0"
    log = v.swaps()
    swaps, shown = pixels(tmp_path / "pixels")
    print("\n%d frames presented in %.2f s" % (log.swaps, log.last - log.first))
    assert swaps == log.swaps - 1 and log.swaps >= 10
    assert all(near(got, expected_probe(x, y, 1920, 1080)) for got, (x, y) in zip(shown, POINTS)), shown


def test_no_compositor_is_the_window_failure(run_viewer, on_wayland):
    v = run_viewer(PROBE, xdisplay=None, env=dict(on_wayland, WAYLAND_DISPLAY="quillomar-no-such-compositor"))
    assert v.finish(timeout=30) == (255, b"Failed to create GLFW window\n", b"")


def colour(rgb):
    return b"#version 330 core\nout vec4 c;\nvoid main()\n{\n    c = vec4(%s, 1.0);\n}\n" % ", ".join(
        "%d.0" % c for c in rgb).encode()


def children(proc):
    return subprocess.run(["pgrep", "-P", str(proc.pid)], capture_output=True, text=True).stdout.split()


@pytest.mark.packaging  # quillomar-live as installed
def test_live_shows_a_save_in_the_same_viewer(prefix, on_wayland, tmp_path):
    (tmp_path / "live.glsl").write_bytes(colour((1, 0, 0)))
    seen = tmp_path / "pixels"
    live = start_live(prefix, "", tmp_path, "live.glsl", env=dict(on_wayland, LD_PRELOAD=str(shim()),
                                                                  **watching(seen, POINTS)))
    try:
        until(lambda: pixels(seen)[1][:1] == [(255, 0, 0)] or pixels(seen), "the first picture")
        viewer, saved = children(live), time.monotonic()
        with open(tmp_path / "live.glsl", "r+b") as f:  # rewritten in place
            f.truncate()
            f.write(colour((0, 0, 1)))
        shown = until(lambda: pixels(seen)[1][:1] == [(0, 0, 255)] or pixels(seen), "the saved picture")
        print("\nsave to picture: %.3f s" % (shown - saved))
        assert len(viewer) == 1 and children(live) == viewer, "the same viewer, before the save and after"
    finally:
        out = interrupt(live)
    assert out.count(" live.glsl: built in ") == 2, out
