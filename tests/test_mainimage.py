"""mainImage shaders, as shared on the web, through the companion commands: every input they expect
read back from the picture with the value it must have, the channel images the right way up, messages
at the file's own lines, and any other file passed to the viewer as it is."""
import datetime
import os
import re
import subprocess
import time

import pytest
from PIL import Image
from Xlib import X
from Xlib.error import XError
from Xlib.ext import xtest

from conftest import interrupt, start_live, until
from xsession import find_titled_window, grab, open_display, read_pixels, shim, title, watching

pytestmark = pytest.mark.packaging

# Twenty-one bands from the top, each a number shown in 20 black or white stripes from bit 0 at the left.
INPUTS = """// Every input a mainImage shader gets, as numbers in bands of black and white stripes.
uint band(int n)
{
    if (n == 0) return uint(iFrame);
    if (n == 1) return uint(iTimeDelta * 65536.0 + 0.5);
    if (n == 2) return uint(iFrameRate + 0.5);
    if (n == 3) return uint(iGlobalTime * 1000.0 + 0.5);
    if (n == 4) return uint(iResolution.x) + (uint(iResolution.z) << 16u);
    if (n == 5) return uint(iResolution.y);
    if (n == 6) return uint(iMouse.x + 0.5);
    if (n == 7) return uint(iMouse.y + 0.5);
    if (n == 8) return uint(iMouse.z + 0.5);
    if (n == 9) return uint(iMouse.w + 0.5);
    if (n == 10) return uint(iDate.x);
    if (n == 11) return uint(iDate.y);
    if (n == 12) return uint(iDate.z);
    if (n == 13) return uint(iDate.w);
    if (n == 14) return uint(iChannelResolution[0].x) + (uint(iChannelResolution[1].x) << 10u);
    if (n == 15) return uint(iChannelResolution[0].y) + (uint(iChannelResolution[0].z) << 10u);
    if (n == 16) return uint(iSampleRate);
    if (n == 17) return uint(iChannelTime[0] * 1000.0 + 0.5);
    if (n == 18) return uint(texture2D(iChannel0, vec2(0.25, 0.75)).r * 255.0 + 0.5);
    if (n == 19) return uint(texture(iChannel1, vec2(0.5)).g * 255.0 + 0.5) + (uint(iChannelResolution[1].y) << 8u);
    return uint(fract(iDate.w) * 1000.0 + 0.5);
}

void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    vec2 uv = fragCoord / iResolution.xy;
    uint bit = uint(uv.x * 20.0);
    fragColor = vec4(vec3(float((band(int((1.0 - uv.y) * 21.0)) >> bit) & 1u)), 1.0);
}
"""


def record(tmp_path, prefix, shader, output, *options):
    (tmp_path / "shader.glsl").write_bytes(shader)
    done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "shader.glsl", output, *options],
                          cwd=tmp_path, capture_output=True, text=True, timeout=120,
                          env={k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")})
    return done


def bands(frame, w, h):
    """The twenty-one numbers a frame of INPUTS shows."""
    return [sum(1 << i for i in range(20) if frame.getpixel((int((i + 0.5) * w / 20), int((n + 0.5) * h / 21))) > 127)
            for n in range(21)]


def quadrants(w, h, colours):
    """An image whose four quadrants, from the top left, have colours."""
    image = Image.new("RGB", (w, h))
    for n, colour in enumerate(colours):
        image.paste(colour, (n % 2 * w // 2, n // 2 * h // 2, (n % 2 + 1) * w // 2, (n // 2 + 1) * h // 2))
    return image


def test_a_recording_gives_every_input_its_exact_value(prefix, tmp_path):
    quadrants(64, 32, [(200, 0, 0), (0, 0, 0), (0, 0, 0), (0, 0, 0)]).save(tmp_path / "red.png")
    Image.new("RGB", (3, 7), (0, 90, 0)).save(tmp_path / "green.jpg", quality=100)
    before = datetime.datetime.now()
    done = record(tmp_path, prefix, INPUTS.encode(), "clip.gif", "--size", "400x200", "--fps", "8", "--seconds",
                  "0.5", "--from", "2", "--mouse", "480.4,270", "--channel0", "red.png", "--channel1", "green.jpg")
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    clip = Image.open(tmp_path / "clip.gif")
    frames = [bands((clip.seek(k), clip.convert("L"))[1], 400, 200) for k in range(clip.n_frames)]
    assert len(frames) == 4
    midnight = before.replace(hour=0, minute=0, second=0, microsecond=0)
    for k, got in enumerate(frames):
        # iResolution is the recording's picture, 400x200; iMouse is given in its pixels.
        expected = [k, 8192, 8, 2000 + 125 * k, 400 + (1 << 16), 200, 480, 270, 480, 270, before.year,
                    before.month - 1, before.day, got[13], 64 + (3 << 10), 32 + (1 << 10), 44100, 2000 + 125 * k,
                    200, 90 + (7 << 8), got[20]]
        assert got == expected, "frame %d: %r" % (k, list(zip(got, expected)))
        seconds = (before - midnight).total_seconds() + 2 + k / 8
        assert abs(got[13] - seconds) < 10, "iDate: the start of the recording plus iTime"
        # Its milliseconds, to a float's precision: 1/8 s more in each frame.
        assert abs((got[20] - frames[0][20]) % 1000 - 125 * k) <= 12, "iDate's milliseconds: %r" % frames


def test_channel_images_come_the_right_way_up_mipmapped_and_repeating(prefix, tmp_path):
    corners = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255)]
    quadrants(64, 64, corners).save(tmp_path / "corners.png")
    checks = Image.new("L", (256, 256))
    checks.putdata([255 * ((i + i // 256) % 2) for i in range(256 * 256)])
    checks.save(tmp_path / "checks.png")
    # The left half shows the image twice over across (it repeats), the right half the checks from afar.
    shader = (b"void mainImage(out vec4 c, in vec2 p)\n{\n    vec2 uv = p / iResolution.xy;\n"
              b"    c = uv.x < 0.5 ? texture(iChannel0, uv * vec2(4.0, 1.0)) : texture(iChannel2, uv * 20.0);\n}\n")
    done = record(tmp_path, prefix, shader, "still.png", "--size", "800x400", "--channel0", "corners.png",
                  "--channel2", "checks.png")
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    still = Image.open(tmp_path / "still.png")
    points = [(50, 100), (150, 100), (50, 300), (150, 300), (250, 100), (350, 300)]
    assert [still.getpixel(p) for p in points] == corners + corners[::3]
    grey = still.crop((450, 50, 750, 350)).convert("L").getextrema()
    assert 110 <= grey[0] <= grey[1] <= 145, "the checks, averaged by the mipmaps: %r" % (grey,)


MOUSE = """// iMouse, in bands of stripes: x, y, z and w, each plus 4096 so that a negated one shows too.
void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    vec2 uv = fragCoord / iResolution.xy;
    uint value = uint(iMouse[int((1.0 - uv.y) * 4.0)] + 4096.5);
    fragColor = vec4(vec3(float((value >> uint(uv.x * 20.0)) & 1u)), 1.0);
}
"""


def test_live_mouse_and_messages_at_the_files_own_lines(prefix, xserver, tmp_path):
    (tmp_path / "mouse.glsl").write_text(MOUSE)
    x = open_display(xserver)
    live = start_live(prefix, xserver, tmp_path, "mouse.glsl")
    try:
        window = find_titled_window(x, "mouse.glsl ")

        def picture():
            return [sum(1 << i for i in range(20) if grab(window, (int((i + 0.5) * 96), int((n + 0.5) * 270), 1, 1))
                        .getpixel((0, 0))[0] > 127) - 4096 for n in range(4)]

        until(lambda: picture() == [0, 0, 0, 0] or picture(), "iMouse 0 before any press")
        origin = window.translate_coords(x.screen().root, 0, 0)
        for event, (wx, wy), expected in [(X.MotionNotify, (480, 270), [0, 0, 0, 0]),
                                          (X.ButtonPress, (480, 270), [480, 810, 480, 810]),
                                          (X.MotionNotify, (960, 540), [960, 540, 480, 810]),
                                          (X.ButtonRelease, (960, 540), [960, 540, -480, -810])]:
            if event == X.MotionNotify:
                xtest.fake_input(x, X.MotionNotify, x=wx - origin.x, y=wy - origin.y)
            else:
                xtest.fake_input(x, event, 1)
            x.sync()
            until(lambda: picture() == expected or picture(), "iMouse %r" % expected)
        (tmp_path / "mouse.glsl").write_text(MOUSE.replace("uint value", "uint value = nothing;\n    uint valu"))
        time.sleep(1)
    finally:
        out = interrupt(live)
        x.close()
    assert "\nmouse.glsl:5:18: error: " in out and "\n 5 |     uint value = nothing;\n" in out, out


FRAMES = """// iFrame, as red, green and blue bytes.
void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    fragColor = vec4(vec3(iFrame & 255, iFrame >> 8 & 255, iFrame >> 16 & 255) / 255.0, 1.0);
}
"""


def test_live_frames_count_from_0_and_a_text_that_does_not_link_says_so(prefix, xserver, tmp_path):
    """iFrame against the test library's count of the frames shown before; then a text that compiles but
    does not link (it calls a function it only declares): the title says so, and the picture stays."""
    (tmp_path / "frames.glsl").write_text(FRAMES)
    (tmp_path / "shim").mkdir()
    x = open_display(xserver)
    live = start_live(prefix, xserver, tmp_path, "frames.glsl", env={
        "LD_PRELOAD": str(shim()), **watching(tmp_path / "shim" / "pixels", [(5, 5)])})

    def frame_and_iframe():
        swap, colours = read_pixels(tmp_path / "shim" / "pixels")
        return swap, colours and colours[0][0] + (colours[0][1] << 8) + (colours[0][2] << 16)

    try:
        window = find_titled_window(x, "frames.glsl ")
        until(lambda: frame_and_iframe()[0] >= 3 or frame_and_iframe(), "three frames shown")
        shown = frame_and_iframe()
        assert shown[1] == shown[0], "frame %d shows iFrame %r" % shown
        unlinked = FRAMES.replace("void mainImage", "vec4 nowhere();\nvoid mainImage")
        (tmp_path / "frames.glsl").write_text(unlinked.replace("= vec4(vec3", "= nowhere() + vec4(vec3"))
        until(lambda: title(x, window) == "frames.glsl (does not build) — Quillomar" or title(x, window),
              "the title saying the text does not build")
        shown = frame_and_iframe()
        assert shown[1] == shown[0], "the last picture stays: frame %d shows iFrame %r" % shown
    finally:
        out = interrupt(live)
        x.close()
    assert re.search(r"^──── .* frames\.glsl: does not build ────$", out, re.M), out


RESOLUTION = """// iResolution's width in the top half, its height in the bottom half, in stripes from bit 0 at the left.
void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    vec2 uv = fragCoord / iResolution.xy;
    uint value = uint(uv.y > 0.5 ? iResolution.x : iResolution.y);
    fragColor = vec4(vec3(float((value >> uint(uv.x * 20.0)) & 1u)), 1.0);
}
"""


def test_live_picture_is_the_window_however_it_is_resized(prefix, xserver, tmp_path):
    (tmp_path / "size.glsl").write_text(RESOLUTION)
    x = open_display(xserver)
    live = start_live(prefix, xserver, tmp_path, "size.glsl")
    try:
        window = find_titled_window(x, "size.glsl ")

        def shown():
            try:
                g = window.get_geometry()
                return [sum(1 << i for i in range(20) if grab(window, (int((i + 0.5) * g.width / 20), y, 1, 1))
                            .getpixel((0, 0))[0] > 127) for y in (g.height // 4, 3 * g.height // 4)]
            except XError as e:  # the window manager is resizing the window as we look
                return repr(e)
        until(lambda: shown() == [1920, 1080] or shown(), "the picture at the window's 1920x1080")
        subprocess.run(["wmctrl", "-i", "-r", "%#x" % window.id, "-e", "0,100,100,600,600"], check=True,
                       env=dict(os.environ, DISPLAY=xserver), timeout=10)
        until(lambda: shown() == [600, 600] or shown(), "iResolution following the window, square")
    finally:
        interrupt(live)
        x.close()
