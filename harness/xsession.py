"""Driving the viewer through an X server: a private Xvfb, the viewer's window, its pixels and keys.

Used by the headless run, the gallery renderer and the tests. Every wait is bounded.
"""
import collections
import os
import select
import signal
import subprocess
import time

from Xlib import X, XK, display
from Xlib.error import XError

SCREEN = (1920, 1080)


def start_xvfb(*extra, screen=SCREEN):
    """Starts Xvfb on a free display number; returns (process, ":N")."""
    read_end, write_end = os.pipe()
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % screen,
         "-nolisten", "tcp", "-noreset", *extra],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    deadline = time.monotonic() + 15
    try:
        while not number.endswith(b"\n"):
            ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(read_end, 16) if ready else b""
            if not chunk:
                proc.kill()
                proc.wait()
                raise RuntimeError("Xvfb did not start")
            number += chunk
    finally:
        os.close(read_end)
    return proc, ":" + number.decode().strip()


def start_window_manager(name, timeout=15):
    """Starts openbox on display name and waits until it manages the screen; returns the process."""
    proc = subprocess.Popen(["openbox", "--sm-disable"], env=dict(os.environ, DISPLAY=name),
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


def stop(proc, timeout=5):
    """Ends a child process: SIGTERM, then SIGKILL if it lingers."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout)


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


def build_shim(out):
    """Compiles glshim.c (frame counting, GL fault switches) into the preload library out."""
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "glshim.c")
    subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-Wall", "-Wextra", "-Wpedantic", "-Werror",
                    source, "-o", str(out), "-ldl"], check=True, timeout=60)
    return out


SwapLog = collections.namedtuple("SwapLog", "swaps first last loaded shader setup first_use itime last_use last_itime")


def read_swap_log(path):
    """What glshim logs at exit: the number of swaps; monotonic seconds of the first and the last swap,
    of the end of GL loading, of the first shader creation, of the end of the quad's set-up and of the
    first glUseProgram; the iTime that the first presented frame was drawn with; and the time of the last
    presented frame's glUseProgram and its iTime."""
    with open(path) as f:
        fields = f.read().split()
    return SwapLog(int(fields[0]), *(int(t) / 1e9 for t in fields[1:7]), float(fields[7]), int(fields[8]) / 1e9,
                   float(fields[9]))


def read_info_logs(path):
    """What glshim captured at each info log query, in order: [(kind, the GL's whole log or None)]."""
    data, found = path.read_bytes() if path.exists() else b"", []
    while data:
        head, _, data = data.partition(b"\n")
        kind, length = head.split()
        n = max(int(length), 0)
        found.append((kind.decode(), data[:n] if int(length) >= 0 else None))
        data = data[n:]
    return found
