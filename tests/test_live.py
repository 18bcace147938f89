"""quillomar-live, installed, at a desktop: each kind of save shows in the one window, which keeps its
size, its place, the editor's focus and the clock; a text that does not build keeps the last picture and
is reported where it stands; the log stays short; the keys move time; Ctrl-C ends it all."""
import os
import re
import subprocess
import time

import pytest
from Xlib import X
from Xlib.ext import xtest

from conftest import interrupt, near, start_live, until
from xsession import find_titled_window, grab, open_display, shim, title

pytestmark = pytest.mark.packaging


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
        viewer = find_titled_window(x, "live.glsl ")
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
    """The file does not exist yet; then the shader saved raises a GL error every frame: a terminal (a tmux
    pane) and a log file both show it once, with a count, so the message about the typo after it stays in
    sight."""
    flooding = clock("vec3(float(width), 0.0, 1.0)").replace(b"uniform float iTime;", b"uniform float iTime;\n"
                                                                                        b"uniform int width;")
    broken = flooding.replace(b"c = vec4(", b"c = vec4(undeclared_name + ")
    tmux = ["tmux", "-L", "quillomar-test-%d" % os.getpid(), "-f", "/dev/null"]
    subprocess.run(tmux + ["new-session", "-d", "-x", "150", "-y", "40", "-c", str(tmp_path),
                           "env DISPLAY=%s %s flood.glsl; sleep 60" % (xserver, prefix / "bin" / "quillomar-live")],
                   check=True, timeout=10)
    with open(tmp_path / "log", "wb") as log:
        live = start_live(prefix, xserver, tmp_path, "flood.glsl", stdout=log)
    try:
        # Saved once the session has said that the file is not there (and not while it starts: an empty
        # file then is a text that does not build).
        until(lambda: b"waiting for it" in (tmp_path / "log").read_bytes(), "the wait for the file")
        (tmp_path / "flood.glsl").write_bytes(flooding)
        time.sleep(2.5)
        (tmp_path / "flood.glsl").write_bytes(broken)
        time.sleep(3)
        screen = subprocess.run(tmux + ["capture-pane", "-p"], capture_output=True, text=True, check=True).stdout
    finally:
        interrupt(live)
        subprocess.run(tmux + ["kill-server"], timeout=10)
    lines = (tmp_path / "log").read_text().splitlines()
    print("\nlog of 6.5 s, %d lines:\n%s\nterminal:\n%s" % (len(lines), "\n".join(lines), screen.rstrip()))
    error = re.compile(r"OpenGL error 1282 in glBindVertexArray\(VAO\) at .*main\.cpp:\d+$")
    repeated = re.compile(r"    \(the line above repeated (\d+) times?\)$")
    typo = 1 + next(n for n, line in enumerate(broken.decode().splitlines()) if "undeclared_name" in line)
    located = re.compile(r"flood\.glsl:%d:\d+: error: | *%d \| | +\| +\^$" % (typo, typo))
    assert located.match(lines[5]) and "undeclared_name" in lines[5]
    others = [line for line in lines if not located.match(line)]
    assert len(others) == 7, "the wait, the two builds, the error line once after each and its count"
    assert re.fullmatch(r"──── .* flood\.glsl: does not exist; waiting for it ────", others[0])
    assert re.fullmatch(r"──── .* flood\.glsl: built in [\d.]+ ms ────", others[1]) and error.match(others[2])
    assert repeated.match(others[3]) and int(repeated.match(others[3])[1]) >= 10
    assert re.fullmatch(r"──── .* flood\.glsl: does not build ────", others[4])
    assert error.match(others[5]) and repeated.match(others[6])
    shown = screen.rstrip().splitlines()
    assert lines[5] in shown and repeated.match(shown[-1]), "the message and a live count on the screen"


DRIVERS = {  # what each driver writes: Mesa, NVIDIA, AMD (an error, then a warning) and a line of none
    "0:4(11): error: `nothing' undeclared": ["live.glsl:4:14: error: `nothing' undeclared",
                                             " 4 |     c = vec4(nothing);", "   |              ^"],
    '0(4) : error C1008: undefined variable "other"': ['live.glsl:4: error: C1008: undefined variable "other"',
                                                       " 4 |     c = vec4(nothing);"],
    "ERROR: 0:2: 'third' : undeclared identifier": ["live.glsl:2: error: 'third' : undeclared identifier",
                                                    " 2 | out vec4 c;"],
    "WARNING: 0:3: 'x' : unused": ["live.glsl:3: warning: 'x' : unused", " 3 | void main() {"],
    "ERROR: 3 compilation errors.  No code generated.": ["ERROR: 3 compilation errors.  No code generated."],
}


def test_each_drivers_messages_are_located_and_a_file_that_goes_away_is_waited_for(prefix, xserver, tmp_path):
    """The viewer's own first build, with a log as each driver words it (handed out by the test
    library); then the file goes away and comes back."""
    x = open_display(xserver)
    shader = tmp_path / "live.glsl"
    shader.write_bytes(b"#version 330 core\nout vec4 c;\nvoid main() {\n    c = vec4(nothing);\n}\n")
    live = start_live(prefix, xserver, tmp_path, "live.glsl", env={
        "LD_PRELOAD": str(shim()), "GLSHIM_SHADER_LOG": "\n".join(DRIVERS) + "\n"})
    try:
        viewer = find_titled_window(x, "live.glsl ")
        until(lambda: title(x, viewer) == "live.glsl (does not build) — Quillomar" or title(x, viewer), "the title")
        until(lambda: near(grab(viewer, (5, 5, 1, 1)).getpixel((0, 0)), (51, 77, 77)) or "another colour",
              "the clear colour: no picture yet")
        shader.unlink()
        until(lambda: title(x, viewer) == "live.glsl (waiting for the file) — Quillomar" or title(x, viewer),
              "the title saying the file is awaited")
        shader.write_bytes(clock("vec3(0.0, 1.0, 0.0)"))
        until(lambda: grab(viewer, (1900, 5, 1, 1)).getpixel((0, 0)) == (0, 255, 0), "the picture of the new file")
        assert title(x, viewer) == "live.glsl — Quillomar"
    finally:
        out = interrupt(live)
        x.close()
    lines = out.splitlines()
    assert re.fullmatch(r"──── \d\d:\d\d:\d\d live\.glsl: does not build ────", lines[0])
    assert lines[1:] == sum(DRIVERS.values(), []) + [lines[-2], lines[-1]], out
    assert re.fullmatch(r"──── .* live\.glsl: is gone; the last picture stays until it is back ────", lines[-2])
    assert re.fullmatch(r"──── .* live\.glsl: built in [\d.]+ ms ────", lines[-1])
