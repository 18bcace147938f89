"""End-to-end harness: one Xvfb for the session, the real viewer run in a fresh directory per test.

Every wait here is bounded; a viewer still running when its test ends is killed.
"""
import os
import re
import subprocess
import sys
import time
from pathlib import Path

import pytest
from Xlib import X
from Xlib.protocol import event

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tools"))
from xsession import (build_shim, find_window, grab, hold_escape, open_display, read_swap_log,  # noqa: E402
                      start_xvfb, stop)

SOURCE = REPO / "main.cpp"
BINARY = Path(os.environ.get("QUILLOMAR_BIN", REPO / "build" / "quillomar"))


@pytest.fixture(scope="session")
def xserver():
    proc, name = start_xvfb()
    yield name
    stop(proc)


@pytest.fixture(scope="session")
def shim(tmp_path_factory):
    return build_shim(tmp_path_factory.mktemp("shim") / "libglshim.so")


def checked_line(stmt):
    """The source line of the checked statement whose text is stmt."""
    lines = SOURCE.read_text().splitlines()
    found = [n for n, text in enumerate(lines, 1) if text.strip() == "GL_CHECK(%s);" % stmt]
    assert len(found) == 1, "expected one checked statement %r in %s" % (stmt, SOURCE)
    return found[0]


ERROR_LINE = re.compile(r"OpenGL error (\d+) in (.*) at (.+):(-?\d+)")


def parse_errors(stderr):
    """stderr as a list of (code, statement, line), checking every line's form and source location."""
    found = []
    for text in stderr.decode().splitlines():
        m = ERROR_LINE.fullmatch(text)
        assert m, "unexpected stderr line %r" % text
        code, stmt, fname, line = int(m[1]), m[2], m[3], int(m[4])
        assert Path(fname).resolve() == SOURCE.resolve(), text
        assert line == checked_line(stmt), text
        found.append((code, stmt, line))
    return found


class Viewer:
    """One run of the viewer in its own directory, watched and driven through the X server."""

    def __init__(self, xdisplay, shim, workdir, shader=None, env=None, binary=BINARY, prepare=None):
        self.dir = workdir
        if shader is not None:
            (workdir / "test.glsl").write_bytes(shader)
        if prepare is not None:
            prepare(workdir)
        self.shader = shader
        self.swap_log = workdir.parent / (workdir.name + ".swaps")
        full_env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "LD_PRELOAD")}
        full_env.update({"LD_PRELOAD": str(shim), "GLSHIM_SWAP_LOG": str(self.swap_log)})
        if xdisplay is not None:
            full_env["DISPLAY"] = xdisplay
        full_env.update(env or {})
        self.stdout_path = workdir.parent / (workdir.name + ".stdout")
        self.stderr_path = workdir.parent / (workdir.name + ".stderr")
        self.xdisplay = xdisplay
        self.x = None
        self.window = None
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen([str(binary)], cwd=workdir, env=full_env, stdout=out, stderr=err)

    # --- the window -------------------------------------------------------------------------------

    def find_window(self, timeout=20):
        """Waits until this process's window is mapped; returns it."""
        self.x = open_display(self.xdisplay)
        self.window = find_window(self.x, self.proc, timeout)
        return self.window

    def size(self):
        g = self.window.get_geometry()
        return g.width, g.height

    def pixels(self, points):
        """The (r, g, b) of each (x, y) point of the window, top-left origin."""
        return [grab(self.window, (x, y, 1, 1)).getpixel((0, 0)) for x, y in points]

    def wait_for(self, condition, timeout=20, what="the expected picture"):
        """Polls condition() until it returns a true value; returns that value."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            assert self.proc.poll() is None, "viewer exited early with %r" % self.proc.returncode
            value = condition()
            if value:
                return value
            time.sleep(0.05)
        raise AssertionError("%s did not appear within %ss" % (what, timeout))

    def screenshot(self):
        return grab(self.window)

    # --- what a user does -------------------------------------------------------------------------

    def hold_escape(self, timeout=20):
        """Holds Escape down until the viewer exits, then lets it go."""
        try:
            hold_escape(self.x, self.window, self.proc, timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("viewer did not exit within %ss of Escape" % timeout)
        return self.finish()

    def request_close(self, timeout=20):
        """Sends WM_DELETE_WINDOW, as a window manager's close button does, and waits for the exit."""
        protocols = self.x.intern_atom("WM_PROTOCOLS")
        delete = self.x.intern_atom("WM_DELETE_WINDOW")
        message = event.ClientMessage(window=self.window, client_type=protocols,
                                      data=(32, [delete, X.CurrentTime, 0, 0, 0]))
        self.window.send_event(message, event_mask=X.NoEventMask)
        self.x.sync()
        return self.finish(timeout)

    def resize(self, width, height):
        self.window.configure(width=width, height=height)
        self.x.sync()

    # --- the outcome ------------------------------------------------------------------------------

    def finish(self, timeout=20):
        """Waits for the exit; returns (status, stdout bytes, stderr bytes)."""
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("viewer did not exit within %ss" % timeout)
        return self.proc.returncode, self.stdout_path.read_bytes(), self.stderr_path.read_bytes()

    def swaps(self):
        return read_swap_log(self.swap_log)

    def close(self):
        stop(self.proc)
        if self.x is not None:
            self.x.close()


@pytest.fixture
def run_viewer(xserver, shim, tmp_path):
    """Starts the viewer: run_viewer(shader_bytes or None, xdisplay=..., env=..., binary=..., prepare=...);
    prepare(workdir), if given, runs before the viewer starts."""
    if not BINARY.is_file():
        pytest.fail("build the viewer first: %s is missing" % BINARY)
    viewers = []

    def start(shader, xdisplay=xserver, env=None, binary=BINARY, prepare=None):
        workdir = tmp_path / ("run%d" % len(viewers))
        workdir.mkdir()
        v = Viewer(xdisplay, shim, workdir, shader, env, binary, prepare)
        viewers.append(v)
        return v

    yield start
    for v in viewers:
        v.close()


def near(actual, expected, tolerance=1):
    return all(abs(a - e) <= tolerance for a, e in zip(actual, expected))
