"""quillomar-live, installed, at a desktop: each kind of save shows in the one window, which keeps its
size, its place, the editor's focus and the clock; a text that does not build keeps the last picture and
is reported where it stands; the log stays short; the keys move time; Ctrl-C ends it all."""
import os
import re
import shutil
import signal
import subprocess
import time

import pytest
from Xlib import X, Xatom
from Xlib.ext import xtest

from conftest import BINARY, PATIENCE
from xsession import grab, open_display, windows

pytestmark = pytest.mark.packaging


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    prefix = tmp_path_factory.mktemp("prefix")
    subprocess.run(["cmake", "--install", str(BINARY.parent), "--prefix", str(prefix)], check=True,
                   capture_output=True, timeout=60)
    return prefix


# The left half shows iTime in milliseconds over red, green and blue bytes; the right half is MARK.
CLOCK = """#version 330 core
in vec2 coord;
out vec4 c;
uniform float iTime;
void main()
{
    uint ms = uint(iTime * 1000.0 + 0.5);
    vec3 clock = vec3(float((ms >> 16u) & 255u), float((ms >> 8u) & 255u), float(ms & 255u)) / 255.0;
    c = vec4(coord.x < 0.0 ? clock : MARK, 1.0);
}
"""


def clock(mark):
    return CLOCK.replace("MARK", mark).encode()


def title(x, window):
    prop = window.get_full_property(x.intern_atom("_NET_WM_NAME"), X.AnyPropertyType)
    return prop.value.decode() if prop else ""


def live_window(x, name):
    """The viewer's window, once it is up with its title naming the file."""
    deadline = time.monotonic() + PATIENCE
    while time.monotonic() < deadline:
        for w in windows(x):
            try:
                if title(x, w).startswith(name + " "):
                    return w
            except Exception:
                pass  # a window going away as we look
        time.sleep(0.05)
    raise AssertionError("expected a window titled %r... within %ss; observed titles %r" % (
        name, PATIENCE, [title(x, w) for w in windows(x)]))


def until(condition, what, timeout=PATIENCE):
    deadline = time.monotonic() + timeout
    seen = None
    while time.monotonic() < deadline:
        seen = condition()
        if seen is True:
            return time.monotonic()
        time.sleep(0.01)
    raise AssertionError("expected %s within %ss; observed %r" % (what, timeout, seen))


def start_live(prefix, xserver, workdir, shader, *args, stdout=subprocess.PIPE):
    env = {k: v for k, v in os.environ.items() if k not in ("WAYLAND_DISPLAY", "LD_PRELOAD")}
    return subprocess.Popen([str(prefix / "bin" / "quillomar-live"), shader, *args], cwd=workdir,
                            env=dict(env, DISPLAY=xserver), stdout=stdout, stderr=subprocess.STDOUT,
                            start_new_session=True)


def interrupt(live):
    """Ctrl-C in the terminal: SIGINT to the whole process group. Returns the output."""
    os.killpg(live.pid, signal.SIGINT)
    out = live.communicate(timeout=PATIENCE)[0]
    assert live.returncode in (0, 130)
    assert subprocess.run(["pgrep", "-g", str(live.pid)], capture_output=True).stdout == b"", "processes left"
    return out.decode() if out else ""


def tap(x, *keys):
    """Presses and releases each key at once, far quicker than a frame; a few milliseconds apart, as
    the X server stamps events to the millisecond and GLFW takes a second press of a key with the
    same stamp for a duplicate."""
    for key in keys:
        code = x.keysym_to_keycode(key)
        xtest.fake_input(x, X.KeyPress, code)
        xtest.fake_input(x, X.KeyRelease, code)
        x.sync()
        time.sleep(0.005)


def test_saves_keep_the_window_its_place_the_focus_and_the_clock(prefix, xserver, tmp_path):
    x = open_display(xserver)
    shader = tmp_path / "live.glsl"
    shader.write_bytes(clock("vec3(1.0, 0.0, 0.0)"))
    live = start_live(prefix, xserver, tmp_path, "live.glsl")
    editor = None
    try:
        viewer = live_window(x, "live.glsl")
        frame = viewer.query_tree().parent

        def marker():
            g = viewer.get_geometry()
            return grab(viewer, (g.width - 5, 5, 1, 1)).getpixel((0, 0))

        def shown_time():
            r, g, b = grab(viewer, (5, 5, 1, 1)).getpixel((0, 0))
            return ((r << 16) | (g << 8) | b) / 1000.0

        def place():
            g = viewer.get_geometry()
            at = viewer.translate_coords(x.screen().root, 0, 0)
            return -at.x, -at.y, g.width, g.height

        until(lambda: marker() == (255, 0, 0) or marker(), "the first picture")
        subprocess.run(["wmctrl", "-i", "-r", "%#x" % viewer.id, "-e", "0,900,300,800,450"], check=True,
                       env=dict(os.environ, DISPLAY=xserver), timeout=10)
        until(lambda: place()[2:] == (800, 450) or place(), "the viewer at 800x450")
        kept = place()
        editor = x.screen().root.create_window(50, 50, 400, 300, 0, x.screen().root_depth)
        editor.set_wm_name("editor")
        editor.map()
        x.sync()
        until(lambda: editor.get_attributes().map_state == X.IsViewable, "the editor window mapped")
        subprocess.run(["wmctrl", "-i", "-a", "%#x" % editor.id], check=True, env=dict(os.environ, DISPLAY=xserver),
                       timeout=10)
        until(lambda: x.get_input_focus().focus.id == editor.id or x.get_input_focus().focus, "the editor focused")

        def rename_save(text):
            (tmp_path / "live.glsl.new").write_bytes(text)
            os.replace(tmp_path / "live.glsl.new", shader)

        def in_place_save(text):
            with open(shader, "r+b") as f:
                f.truncate()
                f.write(text)

        def vim_save(text):
            (tmp_path / "typed").write_bytes(text)
            subprocess.run(["vim.tiny", "-u", "NONE", "-i", "NONE", "-N", "-n", "-es", "-c", "set backupskip=",
                            "-c", "silent %!cat typed", "-c", "wq", "live.glsl"], cwd=tmp_path, check=True, timeout=30)

        latencies = []
        for save, mark, rgb in [(rename_save, "vec3(0.0, 1.0, 0.0)", (0, 255, 0)),
                                (in_place_save, "vec3(0.0, 0.0, 1.0)", (0, 0, 255)),
                                (vim_save, "vec3(1.0, 1.0, 0.0)", (255, 255, 0))]:
            before, before_at = shown_time(), time.monotonic()
            save(clock(mark))
            latencies.append(until(lambda: marker() == rgb or marker(), "%s after the save" % (rgb,)) - before_at)
            assert (place(), viewer.query_tree().parent) == (kept, frame), "the same window at the same place"
            assert x.get_input_focus().focus.id == editor.id, "the editor keeps the focus"
            assert shown_time() >= before + (time.monotonic() - before_at) - 0.3, "iTime runs on"
        print("\nsave to picture (rename, in place, vim): %s s" % ", ".join("%.3f" % t for t in latencies))

        typo = clock("vec3(1.0, 1.0, 0.0)").replace(b"c = vec4(", b"c = vec4(undeclared_name + ")
        in_place_save(typo)
        until(lambda: title(x, viewer) == "live.glsl (does not build) — Quillomar" or title(x, viewer),
              "the title saying the text does not build")
        time.sleep(0.3)
        assert marker() == (255, 255, 0) and place() == kept, "the last picture stays"

        # Time, with the viewer focused: every tap counts, also one shorter than a frame.
        viewer.set_input_focus(X.RevertToPointerRoot, X.CurrentTime)
        tap(x, 0x20)  # Space
        until(lambda: "paused" in title(x, viewer) or title(x, viewer), "the title saying time is paused")
        tap(x, 0xff50)  # Home
        until(lambda: shown_time() == 0.0 or shown_time(), "iTime back at 0")
        tap(x, 0xff53, 0xff53, 0xff53, 0xff51)  # Right three times, Left once
        until(lambda: shown_time() == 2.0 or shown_time(), "iTime at exactly 2 s, paused")
        time.sleep(0.3)
        assert shown_time() == 2.0 and title(x, viewer) == "live.glsl (does not build, paused) — Quillomar"
        tap(x, 0x20)
        until(lambda: shown_time() > 2.1 or shown_time(), "iTime running again")
    finally:
        out = interrupt(live)
        if editor is not None:
            editor.destroy()
        x.close()

    heads = re.findall(r"^──── \d\d:\d\d:\d\d live\.glsl: (.*) ────$", out, re.M)
    assert [re.sub(r"[\d.]+ ms", "N ms", h) for h in heads] == ["built in N ms"] * 4 + ["does not build"], out
    builds, _, rest = out.partition(" live.glsl: does not build ────\n")
    assert all(line.startswith("──── ") for line in builds.splitlines()), "a text that builds adds nothing"
    line = typo.decode().splitlines()[8]
    column = line.index("undeclared_name") + 1
    assert rest.splitlines()[:3] == ["live.glsl:9:%d: error: `undeclared_name' undeclared" % column, " 9 | " + line,
                                     "   | " + " " * (column - 1) + "^"], rest


def test_a_broken_shader_keeps_the_log_short_and_its_message_on_the_screen(prefix, xserver, tmp_path):
    """The last shader that built raises a GL error every frame: a terminal (a tmux pane) and a log
    file both show it once, with a count, so the message about the typo after it stays in sight."""
    flooding = clock("vec3(float(width), 0.0, 1.0)").replace(b"uniform float iTime;", b"uniform float iTime;\n"
                                                                                        b"uniform int width;")
    broken = flooding.replace(b"c = vec4(", b"c = vec4(undeclared_name + ")
    (tmp_path / "flood.glsl").write_bytes(flooding)
    tmux = ["tmux", "-L", "quillomar-test-%d" % os.getpid(), "-f", "/dev/null"]
    subprocess.run(tmux + ["new-session", "-d", "-x", "150", "-y", "40", "-c", str(tmp_path),
                           "env DISPLAY=%s %s flood.glsl; sleep 60" % (xserver, prefix / "bin" / "quillomar-live")],
                   check=True, timeout=10)
    with open(tmp_path / "log", "wb") as log:
        live = start_live(prefix, xserver, tmp_path, "flood.glsl", stdout=log)
    try:
        time.sleep(2.5)
        (tmp_path / "flood.glsl").write_bytes(broken)
        time.sleep(3)
        screen = subprocess.run(tmux + ["capture-pane", "-p"], capture_output=True, text=True, check=True).stdout
    finally:
        interrupt(live)
        subprocess.run(tmux + ["kill-server"], timeout=10)
    lines = (tmp_path / "log").read_text().splitlines()
    print("\nlog of 5.5 s, %d lines:\n%s\nterminal:\n%s" % (len(lines), "\n".join(lines), screen.rstrip()))
    error = re.compile(r"OpenGL error 1282 in glBindVertexArray\(VAO\) at .*main\.cpp:\d+$")
    repeated = re.compile(r"    \(the line above repeated (\d+) times?\)$")
    typo = 1 + next(n for n, line in enumerate(broken.decode().splitlines()) if "undeclared_name" in line)
    located = re.compile(r"flood\.glsl:%d:\d+: error: | *%d \| | +\| +\^$" % (typo, typo))
    assert located.match(lines[4]) and "undeclared_name" in lines[4]
    others = [line for line in lines if not located.match(line)]
    assert len(others) == 6, "a log of 5.5 s is the two builds, the error line once after each and its count"
    assert re.fullmatch(r"──── .* flood\.glsl: built in [\d.]+ ms ────", others[0]) and error.match(others[1])
    assert repeated.match(others[2]) and int(repeated.match(others[2])[1]) >= 10
    assert re.fullmatch(r"──── .* flood\.glsl: does not build ────", others[3])
    assert error.match(others[4]) and repeated.match(others[5])
    shown = screen.rstrip().splitlines()
    assert lines[4] in shown and repeated.match(shown[-1]), "the message and a live count on the screen"
