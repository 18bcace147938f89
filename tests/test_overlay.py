"""live's overlay (F1) in a window under Xvfb: shown over the picture and gone again, never in the
picture a pass reads back nor in a recording, and never the shader's key; its timeline's buttons and
sliders and an #iUniform's slider taking the mouse; the GPU's time of each pass and the colour under the
pointer before the window's 8 bits, said in the log when it is hidden; the timeline's step, on the
overlay and by a key, moving iFrame by one frame."""
import json
import re
import subprocess
import time

import pytest
from PIL import Image
from Xlib import X
from Xlib.ext import xtest

from conftest import interrupt, start_live, until
from xsession import find_titled_window, grab, open_display

pytestmark = pytest.mark.packaging

F1, CONTROL, SPACE, PERIOD, COMMA = 0xffbe, 0xffe3, 0x20, 0x2e, 0x2c
STRIP = 64
BACKGROUND = (51, 102, 153)
# The buffer pass is one colour; the Image pass shows it for three frames and then its own previous frame
# over most of the picture, so that anything drawn into the picture it reads back would stay there. The
# bottom left corner shows an #iUniform, level, in red; the rest of the bottom strip is a colour that 8
# bits do not hold; the right strip shows iFrame's low byte, in green whether the shader ever saw F1, and
# in blue whether it ever saw a press of the mouse, over iTime in milliseconds over red, green and blue
# bytes.
FILES = {
    "a.glsl": "void mainImage(out vec4 c, in vec2 f) { c = vec4(0.2, 0.4, 0.6, 1.0); }\n",
    "image.glsl": '#iChannel0 "file://a.glsl"\n#iChannel1 "self"\n#iKeyboard\n'
                  "#iUniform float level = 0.0 in {0.0, 1.0}\n"
                  "void mainImage(out vec4 c, in vec2 f) {\n"
                  "    if (f.x < 64.0 && f.y < 64.0) {\n"
                  "        c = vec4(level, 0.0, 0.0, 1.0);\n"
                  "        return;\n"
                  "    }\n"
                  "    if (f.x >= iResolution.x - 64.0 && f.y < iResolution.y - 64.0) {\n"
                  "        uint ms = uint(iTime * 1000.0 + 0.5);\n"
                  "        c = vec4(vec3((ms >> 16u) & 255u, (ms >> 8u) & 255u, ms & 255u) / 255.0, 1.0);\n"
                  "    } else if (f.x >= iResolution.x - 64.0) {\n"
                  "        c = vec4(float(iFrame & 255) / 255.0, isKeyDown(Key_F1) || isKeyToggled(Key_F1) ? 1.0 : 0.0,"
                  " iMouse.z != 0.0 ? 1.0 : 0.0, 1.0);\n"
                  "    } else if (f.y < 64.0) {\n"
                  "        c = vec4(0.3, 0.1234, 0.5678, 1.0);\n"
                  "    } else {\n"
                  "        c = iFrame < 3 ? texelFetch(iChannel0, ivec2(f), 0) : texelFetch(iChannel1, ivec2(f), 0);\n"
                  "    }\n}\n",
}


def press(x, *keys):
    """Holds keys down together, in order, then lets them go in the reverse order."""
    for key in keys:
        xtest.fake_input(x, X.KeyPress, x.keysym_to_keycode(key))
        x.sync()
        time.sleep(0.01)
    for key in reversed(keys):
        xtest.fake_input(x, X.KeyRelease, x.keysym_to_keycode(key))
        x.sync()
        time.sleep(0.01)


def changed(window, box):
    """How many pixels of box (left, top, width, height) are not the background."""
    return sum(1 for p in grab(window, box).getdata() if p[:3] != BACKGROUND)


def test_f1_shows_the_overlay_over_the_picture_only_and_hides_it_with_what_it_measured(prefix, xserver,
                                                                                        tmp_path):
    for name, text in FILES.items():
        (tmp_path / name).write_text(text)
    x = open_display(xserver)
    live = start_live(prefix, xserver, tmp_path, "image.glsl", "--session", "session.jsonl")
    try:
        window = find_titled_window(x, "image.glsl ")
        g = window.get_geometry()
        box = (0, 0, 420, 420)
        strip = lambda: grab(window, (g.width - 10, 10, 1, 1)).getpixel((0, 0))  # noqa: E731

        def itime():
            r, gr, b = grab(window, (g.width - 10, 100, 1, 1)).getpixel((0, 0))[:3]
            return ((r << 16) | (gr << 8) | b) / 1000.0

        until(lambda: changed(window, box) == 0 or changed(window, box), "the picture, all one colour")
        window.set_input_focus(X.RevertToPointerRoot, X.CurrentTime)
        x.sync()
        origin = window.translate_coords(x.screen().root, 0, 0)
        xtest.fake_input(x, X.MotionNotify, x=-origin.x + 300, y=-origin.y + g.height - 20)
        x.sync()

        press(x, F1)
        until(lambda: changed(window, box) > 2000 or changed(window, box), "the overlay over the picture")
        assert strip()[1] == 0, "the shader does not get F1"

        # The overlay's own buttons, clicked (the window at its place, 10, 10; ImGui's layout as Debian's
        # 1.86 makes it): ">" pauses and steps one frame, "<" steps one back, "Play" goes on.
        def click(left, top):
            xtest.fake_input(x, X.MotionNotify, x=-origin.x + left, y=-origin.y + top)
            x.sync()
            time.sleep(0.3)
            for event in (X.ButtonPress, X.ButtonRelease):
                xtest.fake_input(x, event, 1)
                x.sync()
                time.sleep(0.05)

        def settled():
            before = strip()[0]
            time.sleep(0.3)
            return strip()[0] == before or (before, strip()[0])

        click(105, 211)
        until(settled, "iFrame paused by the overlay's step")
        held = strip()[0]
        click(105, 211)
        until(lambda: strip()[0] == (held + 1) % 256 or strip()[0], "the overlay's step: iFrame one frame on")
        click(83, 211)
        until(lambda: strip()[0] == held or strip()[0], "the overlay's step back: iFrame one frame back")
        click(42, 211)
        until(lambda: strip()[0] not in (held, (held + 1) % 256) or strip()[0], "iFrame running again")
        assert strip()[2] == 0, "the presses on the overlay are not the shader's"
        # The speed slider clicked at its left end: iTime stands still while iFrame runs on; the iTime
        # slider clicked halfway: iTime about 30 s of its 60; the loop over its first 10 s turned on: iTime
        # taken back into them.
        click(19, 256)
        time.sleep(0.3)
        still, frame = itime(), strip()[0]
        time.sleep(0.5)
        assert itime() == still and strip()[0] != frame, "speed 0: iTime still, iFrame running"
        click(122, 234)
        until(lambda: 25.0 < itime() < 35.0 or itime(), "iTime scrubbed to about 30 s")
        scrubbed = itime()
        time.sleep(0.3)
        assert itime() == scrubbed
        click(26, 279)
        until(lambda: itime() < 10.0 or itime(), "iTime looped back into its first 10 s")
        # The #iUniform's slider clicked at its right end: the shader's value at the top of its range.
        level = lambda: grab(window, (10, g.height - 10, 1, 1)).getpixel((0, 0))[0]  # noqa: E731
        assert level() == 0
        click(223, 323)
        until(lambda: level() >= 250 or level(), "level moved by its slider to 1")
        xtest.fake_input(x, X.MotionNotify, x=-origin.x + 300, y=-origin.y + g.height - 20)
        x.sync()
        shown_at = strip()[0]
        until(lambda: (strip()[0] - shown_at) % 256 >= 6 or strip(),
              "frames enough for the GPU's times and the pixel to be read")
        press(x, F1)
        until(lambda: changed(window, box) == 0 or changed(window, box), "the overlay gone, and nowhere kept")
        assert strip()[1] == 0, "the shader does not get F1"

        # The timeline, paused (the shader reads the keyboard, so the time keys take Ctrl): iFrame stands
        # still, and a step forwards or backwards moves it by one frame.
        press(x, CONTROL, SPACE)
        time.sleep(0.3)
        held = strip()[0]
        time.sleep(0.3)
        assert strip()[0] == held, "iFrame stands still while paused"
        press(x, CONTROL, PERIOD)
        until(lambda: strip()[0] == (held + 1) % 256 or strip()[0], "iFrame one frame on")
        press(x, CONTROL, PERIOD)
        until(lambda: strip()[0] == (held + 2) % 256 or strip()[0], "iFrame two frames on")
        press(x, CONTROL, COMMA)
        until(lambda: strip()[0] == (held + 1) % 256 or strip()[0], "iFrame one frame back")
        time.sleep(0.3)
        assert strip()[0] == (held + 1) % 256
    finally:
        out = interrupt(live)
        x.close()

    said = re.findall(r"^──── \d\d:\d\d:\d\d image\.glsl: (overlay .*) ────$", out, re.M)
    assert len(said) == 2 and said[0] == "overlay shown (F1 hides it)", out
    hidden = re.fullmatch(r"overlay hidden: GPU time per pass: a\.glsl ([\d.]+) ms, image\.glsl ([\d.]+) ms; "
                          r"([\d.]+) ms a frame; pixel (\d+),(\d+) is ([\d. ]+)", said[1])
    assert hidden, said[1]
    assert all(float(t) > 0 for t in hidden.group(1, 2, 3)), said[1]
    assert (int(hidden.group(4)), int(hidden.group(5))) == (300, 19), said[1]
    assert hidden.group(6) == "0.3000 0.1234 0.5678 1.0000", "the colour before 8 bits: %s" % said[1]
    # The session has the speed set (0) and the loop's taking iTime back from the scrubbed 30 s as time events.
    times = [e for e in map(json.loads, (tmp_path / "session.jsonl").read_text().splitlines()[1:])
             if e["event"] == "time"]
    scrubbed = next(n for n, t in enumerate(times) if t["itime"] > 25.0)
    assert any(t["speed"] == 0 for t in times[:scrubbed]), times
    assert any(t["itime"] < 10.0 and t["speed"] == 0 and not t["paused"] for t in times[scrubbed:]), times

    # A recording of the same shader: the picture alone.
    subprocess.run([str(prefix / "bin" / "quillomar-record"), "image.glsl", "still.png", "--size", "640x360",
                    "--from", "1"], cwd=tmp_path, check=True, capture_output=True, timeout=120)
    still = Image.open(tmp_path / "still.png").convert("RGB")
    assert sum(1 for p in still.crop((0, 0, 420, 290)).getdata() if p != BACKGROUND) == 0
