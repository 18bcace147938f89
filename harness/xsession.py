"""Driving the viewer through an X server: the window manager, the viewer's window, its pixels and keys,
a run of a given length ended with Escape, and what the test library preloaded into it (glshim.c) logs.
Starting X servers and viewers is the quillomar package's (displays, viewer).

Used by the tests, the tools and the benchmark. Every wait is bounded.
"""
import collections
import os
import subprocess
import time
from pathlib import Path

from Xlib import X, XK, display
from Xlib.error import XError

from quillomar import displays, paths, wire, viewer
from quillomar.displays import stop


def shim():
    """The test library preloaded into the viewer (harness/glshim.c, built by CMake into the build tree)."""
    return paths.library("glshim")


def start_window_manager(name, timeout=15):
    """Starts openbox on display name and waits until it manages the screen; returns the process."""
    proc = displays.child(["openbox", "--sm-disable"], env=dict(os.environ, DISPLAY=name),
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    x = display.Display(name)
    check = x.intern_atom("_NET_SUPPORTING_WM_CHECK")
    deadline = time.monotonic() + timeout
    try:
        while x.screen().root.get_full_property(check, X.AnyPropertyType) is None:
            if proc.poll() is not None or time.monotonic() > deadline:
                stop(proc)
                raise RuntimeError("the window manager did not start")
            time.sleep(0.05)
    finally:
        x.close()
    return proc


def find_window(x, proc, timeout=20):
    """Waits until the window of process proc is mapped on display x; returns it. A window manager may
    have put it inside a frame of its own, one level down."""
    pid_atom = x.intern_atom("_NET_WM_PID")
    deadline = time.monotonic() + timeout
    seen = set()
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("expected a window of process %d; it exited with status %r" % (
                proc.pid, proc.returncode))
        for w in windows(x):
            try:
                prop = w.get_full_property(pid_atom, X.AnyPropertyType)
                mapped = w.get_attributes().map_state == X.IsViewable
                if prop and prop.value[0] == proc.pid and mapped:
                    return w
                seen.add((prop.value[0] if prop else None, mapped))
            except XError:
                pass  # the window went away while we looked
        time.sleep(0.05)
    raise RuntimeError("expected a mapped window of process %d within %ss; observed windows (pid, mapped): %s" % (
        proc.pid, timeout, sorted(seen, key=str)))


def find_titled_window(x, prefix, timeout=20):
    """Waits until a window whose title starts with prefix is up on display x; returns it."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for w in windows(x):
            try:
                if title(x, w).startswith(prefix):
                    return w
            except XError:
                pass  # the window went away while we looked
        time.sleep(0.05)
    raise RuntimeError("expected a window titled %r... within %ss; observed titles %r" % (
        prefix, timeout, [title(x, w) for w in windows(x)]))


def title(x, window):
    """The window's title, as a window manager shows it (_NET_WM_NAME, in UTF-8)."""
    prop = window.get_full_property(x.intern_atom("_NET_WM_NAME"), X.AnyPropertyType)
    return prop.value.decode() if prop else ""


def windows(x):
    """The top-level windows of display x and, one level down, what a window manager's frames hold."""
    found = []
    for top in x.screen().root.query_tree().children:
        found.append(top)
        try:
            found += top.query_tree().children
        except XError:
            pass  # the window went away while we looked
    return found


def grab(window, box=None):
    """The window's pixels as an RGB PIL image; box is (x, y, width, height), the whole window by default."""
    from PIL import Image
    if box is None:
        g = window.get_geometry()
        box = (0, 0, g.width, g.height)
    x, y, w, h = box
    raw = window.get_image(x, y, w, h, X.ZPixmap, 0xFFFFFFFF).data
    return Image.frombytes("RGB", (w, h), raw, "raw", "BGRX")


def hold_escape(x, window, proc, timeout=20):
    """Holds Escape down until proc exits (the viewer reads the key once a frame), then lets it go.
    Returns the exit status; raises if the process outlives the timeout."""
    from Xlib.ext import xtest
    code = x.keysym_to_keycode(XK.string_to_keysym("Escape"))
    window.set_input_focus(X.RevertToPointerRoot, X.CurrentTime)
    xtest.fake_input(x, X.KeyPress, code)
    x.sync()
    try:
        return proc.wait(timeout)
    finally:
        xtest.fake_input(x, X.KeyRelease, code)
        x.sync()


def open_display(name):
    return display.Display(name)


class NoWindow(RuntimeError):
    """The viewer showed no window; status is how it ended."""

    def __init__(self, message, status):
        super().__init__(message)
        self.status = status


def run_for(seconds, name, workdir, env, watch=None, every=None, timeout=60, **start):
    """Runs the viewer (viewer.start(workdir, env, **start): text, binary, a prefix such as valgrind, ...)
    on X display name for `seconds` once its window is up, then holds Escape until it exits. watch(proc,
    window), if given, is called every `every` seconds while it runs, and in any case once just before
    Escape. Returns the exit status and what the calls of watch returned; raises NoWindow when no window
    came within timeout seconds. The viewer is ended whatever happens."""
    proc, x = viewer.start(workdir, env, **start), None
    try:
        x = open_display(name)
        try:
            window = find_window(x, proc, timeout)
        except RuntimeError as e:
            stop(proc)
            raise NoWindow(str(e), proc.returncode)
        watched, end = [], time.monotonic() + seconds
        while every and time.monotonic() + every < end:
            watched.append(watch(proc, window))
            time.sleep(every)
        time.sleep(max(0.0, end - time.monotonic()))
        if watch:
            watched.append(watch(proc, window))
        return hold_escape(x, window, proc, timeout), watched
    finally:
        if x is not None:
            x.close()
        stop(proc)


SwapLog = collections.namedtuple("SwapLog", "swaps first last loaded shader setup first_use itime last_use last_itime")


def read_swap_log(path):
    """What glshim logs at exit (a swaps record): the number of swaps; monotonic seconds of the first and
    the last swap, of the end of GL loading, of the first shader creation, of the end of the quad's set-up
    and of the first glUseProgram; the iTime that the first presented frame was drawn with; and the time
    of the last presented frame's glUseProgram and its iTime."""
    found, = wire.parse(Path(path).read_bytes())
    f = found.fields
    seconds = [int(f[name + "_ns"]) / 1e9 for name in ("first", "last", "loaded", "shader", "setup", "first_use")]
    return SwapLog(int(f["count"]), *seconds, float(f["itime"]), int(f["last_use_ns"]) / 1e9, float(f["last_itime"]))


def read_info_logs(path):
    """What glshim captured at each info log query, in order: [(object kind, the GL's whole log, or None
    where there was no such object)]."""
    found = wire.parse(path.read_bytes()) if path.exists() else []
    return [(r.fields["object"], r.payloads["log"] if r.fields["exists"] == "1" else None) for r in found]


def read_pixels(path):
    """(swaps so far, [(r, g, b) of each point]) from glshim's GLSHIM_PIXELS_PATH file; (0, []) before the
    first swap."""
    if not path.exists():
        return 0, []
    found, = wire.parse(path.read_bytes())
    colours = found.fields["colours"]
    return int(found.fields["swap"]), [tuple(map(int, c.split(","))) for c in colours.split(";")] if colours else []


def read_calls(path):
    """What glshim recorded of the viewer's calls (GLSHIM_CALLS): {frame: [call, ...]}, the frames named
    as the file names them ("frame 0", ..., "end"); {} when nothing was written."""
    found, frame = {}, None
    for line in (path.read_text().splitlines() if path.exists() else []):
        if line.startswith("[") and line.endswith("]"):
            frame = found.setdefault(line[1:-1], [])
        elif frame is not None:
            frame.append(line)
    return found


def watching(path, points):
    """glshim's settings that have it write the colours of points (x, y from the top left) to path."""
    return {"GLSHIM_PIXELS_PATH": path, "GLSHIM_PIXELS_AT": " ".join("%d,%d" % p for p in points)}
