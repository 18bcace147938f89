"""End-to-end harness: one Xvfb with a window manager for the session, started when the first test that
needs it runs, the real viewer (QUILLOMAR_BIN, built from QUILLOMAR_SOURCE) run in a fresh directory per test.
The build tree is QUILLOMAR_BUILD (build/): the viewer and the commands' package come from there, and the
installed commands are installed from it. Every wait lasts at most QUILLOMAR_TEST_PATIENCE seconds (20); a
viewer still running when its test ends is killed.

A test marked fast needs no display and no GL: it is refused at collection when it asks for a display's
fixture, and it runs with no DISPLAY or WAYLAND_DISPLAY and no EGL driver to be found, so that a test that
draws all the same fails at once. A test marked root or shared fails, saying so, where it cannot have what it
needs."""
import contextlib
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from Xlib import X
from Xlib.error import XError
from Xlib.protocol import event

REPO = Path(__file__).resolve().parent.parent
BUILD = Path(os.environ.get("QUILLOMAR_BUILD", REPO / "build")).resolve()
sys.path[:0] = [str(BUILD / "python"), str(REPO / "harness")]
if not (BUILD / "python" / "quillomar").is_dir():
    raise pytest.UsageError("build first: the commands' package %s is missing" % (BUILD / "python" / "quillomar"))
from quillomar import displays, viewer  # noqa: E402
from quillomar.displays import stop  # noqa: E402
from xsession import (find_titled_window, find_window, grab, hold_escape, open_display,  # noqa: E402
                      read_info_logs, read_swap_log, shim, start_window_manager)

SOURCE = Path(os.environ.get("QUILLOMAR_SOURCE", REPO / "main.cpp"))
BINARY = Path(os.environ.get("QUILLOMAR_BIN", BUILD / "quillomar"))
PATIENCE = float(os.environ.get("QUILLOMAR_TEST_PATIENCE", "20"))
# Room for the 1920x1080 window and the manager's decorations.
SCREEN = (2560, 1440)
GLFW_WAYLAND = REPO / "build" / "glfw-wayland"
# The read-only folder beside the clone: public shaders and the site's media facts, for measuring.
SHARED = REPO.parent / "shared"
# The fixtures that give a display server, or the viewer on one.
DISPLAY_FIXTURES = {"xserver", "bare_xserver", "no_glx_xserver", "weston", "on_wayland", "run_viewer"}


def pytest_collection_modifyitems(config, items):
    wrong = ["%s (%s)" % (item.nodeid, ", ".join(sorted(DISPLAY_FIXTURES & set(item.fixturenames))))
             for item in items if item.get_closest_marker("fast") and DISPLAY_FIXTURES & set(item.fixturenames)]
    if wrong:
        raise pytest.UsageError("marked fast but asking for a display: " + "; ".join(wrong))


@pytest.fixture(autouse=True)
def needs(request, monkeypatch):
    """What a test's marks say it needs: for a fast one, no display and no GL to be had."""
    if request.node.get_closest_marker("root") and os.geteuid() != 0:
        pytest.fail("this test mounts a small file system, which takes root (-m 'not root' leaves it out)")
    if request.node.get_closest_marker("shared") and not SHARED.is_dir():
        pytest.fail("this test reads %s, the folder beside the clone (-m 'not shared' leaves it out)" % SHARED)
    if request.node.get_closest_marker("fast"):
        monkeypatch.delenv("DISPLAY", raising=False)
        monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
        monkeypatch.setenv("__EGL_VENDOR_LIBRARY_FILENAMES", str(REPO / "no-egl-driver-for-a-fast-test.json"))


@pytest.fixture(scope="session", autouse=True)
def media_cache(tmp_path_factory):
    """The cache the commands make and fetch media into: one of the session's, never the user's."""
    os.environ["XDG_CACHE_HOME"] = str(tmp_path_factory.mktemp("cache"))
    return Path(os.environ["XDG_CACHE_HOME"]) / "quillomar" / "media"


@pytest.fixture(scope="session")
def xserver():
    """The display, managed by openbox as a desktop's would be."""
    with displays.Xvfb(*SCREEN) as name:
        manager = start_window_manager(name)
        yield name
        stop(manager)


@pytest.fixture
def bare_xserver():
    """A display with no window manager at all."""
    with displays.Xvfb(*SCREEN) as name:
        yield name


@pytest.fixture(scope="session")
def no_glx_xserver():
    """A display that cannot give any GL context."""
    with displays.Xvfb(1920, 1080, "-extension", "GLX") as name:
        yield name


@pytest.fixture(scope="session")
def weston():
    """A Wayland compositor with no screen, keyboard or pointer (weston's headless backend): (socket,
    runtime directory)."""
    with displays.Weston(*SCREEN) as wayland:
        yield wayland


@pytest.fixture
def on_wayland(weston):
    """The settings that run the viewer natively on the compositor, on GLFW built for Wayland (which
    tools/deps --test unpacks into build/glfw-wayland, as it cannot be installed beside the X11 one)."""
    if not (GLFW_WAYLAND / "libglfw.so.3").exists():
        pytest.fail("GLFW for Wayland is missing: run tools/deps --test")
    return {"WAYLAND_DISPLAY": weston[0], "XDG_RUNTIME_DIR": weston[1], "LD_LIBRARY_PATH": str(GLFW_WAYLAND)}


@pytest.fixture(scope="session")
def prefix(tmp_path_factory):
    """The build installed in a prefix of its own, as a user installs it."""
    prefix = tmp_path_factory.mktemp("prefix")
    subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(prefix)], check=True,
                   capture_output=True, timeout=60)
    return prefix


def checked_line(stmt):
    """The source line of the checked statement whose text is stmt."""
    lines = SOURCE.read_text().splitlines()
    found = [n for n, text in enumerate(lines, 1) if text.strip() == "GL_CHECK(%s);" % stmt]
    assert len(found) == 1, "expected one checked statement %r in %s, found it on lines %s" % (stmt, SOURCE, found)
    return found[0]


def parse_errors(stderr):
    """stderr as a list of (code, statement), checking every line's form and source location."""
    found = []
    for text in stderr.decode().splitlines():
        m = re.fullmatch(r"OpenGL error (\d+) in (.*) at (.+):(-?\d+)", text)
        assert m, "unexpected stderr line %r" % text
        assert Path(m[3]).resolve() == SOURCE.resolve() and int(m[4]) == checked_line(m[2]), text
        found.append((int(m[1]), m[2]))
    return found


def near(actual, expected, tolerance=1):
    return all(abs(a - e) <= tolerance for a, e in zip(actual, expected))


class Viewer:
    """One run of the viewer in its own directory, watched and driven through the X server."""

    def __init__(self, xdisplay, workdir, shader, env, binary):
        self.swap_log, self.info_log = workdir / "swaps", workdir / "info-logs"
        full_env = viewer.environment(xdisplay or "", [shim()], GLSHIM_SWAP_LOG=self.swap_log,
                                      GLSHIM_INFO_LOGS=self.info_log, **(env or {}))
        self.out, self.err, self.xdisplay, self.x = workdir / "stdout", workdir / "stderr", xdisplay, None
        self.seen = {}  # what the last looks at the window found, for the message of a wait that fails
        with open(self.out, "wb") as out, open(self.err, "wb") as err:
            self.proc = viewer.start(workdir, full_env, text=shader, binary=binary, stdout=out, stderr=err)

    def find_window(self, timeout=PATIENCE):
        self.x = open_display(self.xdisplay)
        self.window = find_window(self.x, self.proc, timeout)

    def size(self):
        g = self.window.get_geometry()
        self.seen["size"] = g.width, g.height
        return g.width, g.height

    def pixels(self, points):
        """The (r, g, b) of each (x, y) point of the window, top-left origin."""
        found = [grab(self.window, (x, y, 1, 1)).getpixel((0, 0)) for x, y in points]
        self.seen.update(zip(points, found))
        return found

    def wait_for(self, condition, timeout=PATIENCE, what="the expected picture"):
        """Polls condition() until it returns a true value; returns that value. On a timeout, says what
        it waited for and what the window last showed."""
        deadline, self.seen = time.monotonic() + timeout, {}
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise AssertionError("expected %s; the viewer exited with %r instead, stdout ending %r" % (
                    what, self.proc.returncode, self.out.read_bytes()[-300:]))
            try:
                value = condition()
            except XError:
                value = None  # the window manager is moving or resizing the window as we look
            if value:
                return value
            time.sleep(0.05)
        raise AssertionError("expected %s within %ss; observed %s" % (
            what, timeout, ", ".join("%s: %s" % kv for kv in self.seen.items()) or "nothing"))

    def wm(self, *args):
        """Asks the window manager, through wmctrl, to act on this window."""
        subprocess.run(["wmctrl", "-i", *args[:1], "%#x" % self.window.id, *args[1:]], check=True, timeout=10,
                       env=dict(os.environ, DISPLAY=self.xdisplay))

    def hold_escape(self, timeout=PATIENCE):
        """Holds Escape down until the viewer exits, then lets it go."""
        try:
            hold_escape(self.x, self.window, self.proc, timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("viewer did not exit within %ss of Escape" % timeout)
        return self.finish()

    def send_delete(self):
        """Sends WM_DELETE_WINDOW itself, as a window manager's close does."""
        protocols = self.x.intern_atom("WM_PROTOCOLS")
        message = event.ClientMessage(window=self.window, client_type=protocols,
                                      data=(32, [self.x.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0]))
        self.window.send_event(message, event_mask=X.NoEventMask)
        self.x.sync()

    def finish(self, timeout=PATIENCE):
        """Waits for the exit; returns (status, stdout bytes, stderr bytes)."""
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("expected the viewer to exit within %ss; it is still running, stdout ending %r" % (
                timeout, self.out.read_bytes()[-300:]))
        return self.proc.returncode, self.out.read_bytes(), self.err.read_bytes()

    def swaps(self):
        return read_swap_log(self.swap_log)

    def info_logs(self):
        return read_info_logs(self.info_log)

    def close(self):
        stop(self.proc)
        if self.x is not None:
            self.x.close()


@pytest.fixture
def run_viewer(xserver, tmp_path):
    """Starts the viewer: run_viewer(shader bytes or None, xdisplay=..., env=..., binary=...)."""
    if not BINARY.is_file():
        pytest.fail("build the viewer first: %s is missing" % BINARY)
    viewers = []

    def start(shader, xdisplay=xserver, env=None, binary=BINARY):
        workdir = tmp_path / ("run%d" % len(viewers))
        workdir.mkdir()
        viewers.append(Viewer(xdisplay, workdir, shader, env, binary))
        return viewers[-1]

    yield start
    for v in viewers:
        v.close()


def until(condition, what, timeout=PATIENCE):
    """Polls condition() until it returns True; returns the time it did. Else fails, saying what
    condition() returned last (what it observed)."""
    deadline, seen = time.monotonic() + timeout, None
    while time.monotonic() < deadline:
        seen = condition()
        if seen is True:
            return time.monotonic()
        time.sleep(0.01)
    raise AssertionError("expected %s within %ss; observed %r" % (what, timeout, seen))


def start_live(prefix, xdisplay, workdir, shader, *args, stdout=subprocess.PIPE, env=None):
    """quillomar-live, installed, on shader in workdir, in a process group of its own as in a terminal."""
    return subprocess.Popen([str(prefix / "bin" / "quillomar-live"), shader, *args], cwd=workdir,
                            env=viewer.environment(xdisplay, **(env or {})), stdout=stdout, stderr=subprocess.STDOUT,
                            start_new_session=True)


def interrupt(live):
    """Ctrl-C in the terminal: SIGINT to the whole process group. Returns the output, a byte that is no part
    of UTF-8 (of a file's name) as os.fsdecode has it."""
    os.killpg(live.pid, signal.SIGINT)
    out = live.communicate(timeout=PATIENCE)[0]
    assert live.returncode in (0, 130)
    assert subprocess.run(["pgrep", "-g", str(live.pid)], capture_output=True).stdout == b"", "processes left"
    return out.decode(errors="surrogateescape") if out else ""


@contextlib.contextmanager
def live_window(prefix, xdisplay, workdir, shader, said):
    """quillomar-live on shader, its window found by its title: yields the display, the window and colour(),
    the pixel at (5, 5); on the way out Ctrl-C ends it and its output is appended to said."""
    x = open_display(xdisplay)
    live = start_live(prefix, xdisplay, workdir, shader)
    try:
        window = find_titled_window(x, shader + " ")
        yield x, window, lambda: grab(window, (5, 5, 1, 1)).getpixel((0, 0))
    finally:
        said.append(interrupt(live))
        x.close()


def without_display(**extra):
    return dict({k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}, **extra)
