"""Passes as the site runs them, recorded with no display and read back exactly: buffers that read
themselves, a pass that reads a later one (the previous frame) and an earlier one (this frame), a chain
drawn each after what it reads, each sampler setting, the keyboard's rows, cube map faces, a volume, the picture's own size, and the
JSON and the files it is imported as giving the same picture."""
import json
import os
import re
import subprocess
import time

import pytest
from PIL import Image
from Xlib import XK, X
from Xlib.error import XError
from Xlib.ext import xtest

from conftest import interrupt, start_live, until, without_display
from quillomar import Failure, directives, facts, media
from test_live import tap
from xsession import find_titled_window, grab, open_display, title

pytestmark = pytest.mark.packaging

# Shows four whole numbers, one in each band from the top, bit 0 in the leftmost of 16 stripes.
SHOW = """
void show(out vec4 c, vec2 f, int a, int b, int d, int e)
{
    int bit = int(f.x / iResolution.x * 16.0), row = int((1.0 - f.y / iResolution.y) * 4.0);
    int v = row == 0 ? a : row == 1 ? b : row == 2 ? d : e;
    c = vec4(vec3(float((v >> bit) & 1)), 1.0);
}
"""


def shown(frame, w, h):
    frame = frame.convert("L")
    return [sum(1 << i for i in range(16) if frame.getpixel((int((i + 0.5) * w / 16), int((n + 0.5) * h / 4))) > 127)
            for n in range(4)]


def write(folder, files):
    for name, text in files.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_text(text)


def record(prefix, folder, shader, output, *options, check=True):
    done = subprocess.run([str(prefix / "bin" / "quillomar-record"), shader, output, *options], cwd=folder,
                          capture_output=True, text=True, timeout=120, env=without_display())
    if check:
        assert (done.returncode, done.stderr) == (0, ""), done.stderr
    return done


def clip_frames(path, w, h):
    clip = Image.open(path)
    return [shown((clip.seek(k), clip)[1], w, h) for k in range(clip.n_frames)]


# A reads B (a later pass: its previous frame) and itself; B reads A (an earlier pass: this frame) and
# shows iTime.
TOPOLOGY = {
    "a.glsl": '#iChannel0 "self"\n#iChannel1 "file://b.glsl"\n'
              "void mainImage(out vec4 c, in vec2 f) {\n"
              "    c = vec4(texelFetch(iChannel0, ivec2(f), 0).r + 1.0, texelFetch(iChannel1, ivec2(f), 0).r, 0, 1);\n"
              "}\n",
    "b.glsl": '#iChannel0 "file://a.glsl"\n'
              "void mainImage(out vec4 c, in vec2 f) {\n"
              "    c = vec4(floor(iTime * 100.0 + 0.5), texelFetch(iChannel0, ivec2(f), 0).r, 0, 1);\n}\n",
    "image.glsl": '#iChannel0 "file://a.glsl"\n#iChannel1 "file://b.glsl"\n#iPasses "a.glsl" "b.glsl"\n' + SHOW +
                  "void mainImage(out vec4 c, in vec2 f) {\n"
                  "    vec4 a = texelFetch(iChannel0, ivec2(f), 0), b = texelFetch(iChannel1, ivec2(f), 0);\n"
                  "    show(c, f, int(a.r), int(a.g), int(b.g), iFrame);\n}\n",
}


def test_buffers_read_themselves_later_passes_last_frame_and_earlier_ones_this_frame(prefix, tmp_path):
    write(tmp_path, TOPOLOGY)
    record(prefix, tmp_path, "image.glsl", "clip.gif", "--size", "128x64", "--fps", "10", "--seconds", "0.5")
    # Frame k: A has counted k + 1 frames; A read B's frame k - 1 (10 (k - 1), nothing before frame 0);
    # B read A's frame k.
    assert clip_frames(tmp_path / "clip.gif", 128, 64) == [
        [k + 1, 10 * (k - 1) if k else 0, k + 1, k] for k in range(5)]
    # The order is the plan's: with B first, B reads A's previous frame, and A reads B's of this frame.
    write(tmp_path, {"image.glsl": TOPOLOGY["image.glsl"].replace('"a.glsl" "b.glsl"', '"b.glsl" "a.glsl"')})
    record(prefix, tmp_path, "image.glsl", "clip.gif", "--size", "128x64", "--fps", "10", "--seconds", "0.3")
    assert clip_frames(tmp_path / "clip.gif", 128, 64) == [[k + 1, 10 * k, k, k] for k in range(3)]


# A chain with no #iPasses: A counts the frames, B is A plus one, C is B plus one. The Image pass names C
# first, so that only the chain itself says that A comes first.
CHAIN = {
    "bufferA.glsl": '#iChannel0 "self"\n'
                    "void mainImage(out vec4 c, in vec2 f) { c = vec4(texelFetch(iChannel0, ivec2(f), 0).r + 1.0); }\n",
    "bufferB.glsl": '#iChannel0 "file://bufferA.glsl"\n'
                    "void mainImage(out vec4 c, in vec2 f) { c = vec4(texelFetch(iChannel0, ivec2(f), 0).r + 1.0); }\n",
    "bufferC.glsl": '#iChannel0 "file://bufferB.glsl"\n'
                    "void mainImage(out vec4 c, in vec2 f) { c = vec4(texelFetch(iChannel0, ivec2(f), 0).r + 1.0); }\n",
    "image.glsl": '#iChannel0 "file://bufferC.glsl"\n#iChannel1 "file://bufferB.glsl"\n#iChannel2 "file://bufferA.glsl"\n'
                  + SHOW + "void mainImage(out vec4 c, in vec2 f) {\n"
                  "    show(c, f, int(texelFetch(iChannel2, ivec2(f), 0).r), int(texelFetch(iChannel1, ivec2(f), 0).r),\n"
                  "         int(texelFetch(iChannel0, ivec2(f), 0).r), iFrame);\n}\n",
}


def test_a_chain_of_buffers_is_drawn_each_after_what_it_reads(prefix, tmp_path):
    write(tmp_path, CHAIN)
    record(prefix, tmp_path, "image.glsl", "clip.gif", "--size", "128x64", "--fps", "10", "--seconds", "0.3")
    # Frame k: A k + 1, and each link this frame's value of the one before, plus one.
    assert clip_frames(tmp_path / "clip.gif", 128, 64) == [[k + 1, k + 2, k + 3, k] for k in range(3)]


def test_a_recording_with_buffers_is_the_same_from_any_start(prefix, tmp_path):
    """Frame k of a feedback shader does not depend on the render speed: two recordings agree."""
    write(tmp_path, TOPOLOGY)
    for name in ("one.gif", "two.gif"):
        record(prefix, tmp_path, "image.glsl", name, "--size", "96x48", "--fps", "25", "--seconds", "0.2")
    assert clip_frames(tmp_path / "one.gif", 96, 48) == clip_frames(tmp_path / "two.gif", 96, 48)


SAMPLING = """
void mainImage(out vec4 c, in vec2 f)
{
    int band = int(f.x / iResolution.x * 6.0);
    // Between the two texels, past the right edge, a mipmap level, the top row.
    float v = band == 0 ? texture(iChannel0, vec2(0.5, 0.5)).r
            : band == 1 ? texture(iChannel0, vec2(1.125, 0.5)).r
            : band == 2 ? textureLod(iChannel1, vec2(0.25), 1.0).r
            : band == 3 ? texture(iChannel2, vec2(0.5, 0.75)).r
            : band == 4 ? texture(iChannel3, vec2(-0.125, 0.5)).r
            : float(textureSize(iChannel1, 0).x) / 255.0;
    c = vec4(vec3(v), 1.0);
}
"""
SAMPLERS = {
    "the defaults": ("", [128, 64, 128, 255, 191, 2]),
    "nearest, clamp, no flip": ('#iChannel0::MinFilter "Nearest"\n#iChannel0::WrapMode "Clamp"\n'
                                '#iChannel1::MinFilter "Linear"\n#iChannel2::VFlip "false"\n'
                                '#iChannel3::MagFilter "Nearest"\n#iChannel3::WrapMode "Mirror"\n',
                                [255, 255, 255, 0, 0, 2]),
}


@pytest.mark.parametrize("settings, expected", SAMPLERS.values(), ids=SAMPLERS.keys())
def test_each_sampler_setting(prefix, tmp_path, settings, expected):
    Image.frombytes("L", (2, 1), bytes([0, 255])).save(tmp_path / "pair.png")
    Image.frombytes("L", (2, 2), bytes([0, 255, 255, 0])).save(tmp_path / "checks.png")
    Image.frombytes("L", (1, 2), bytes([255, 0])).save(tmp_path / "top.png")
    write(tmp_path, {"s.glsl": '#iChannel0 "file://pair.png"\n#iChannel1 "file://checks.png"\n'
                               '#iChannel2 "file://top.png"\n#iChannel3 "file://pair.png"\n' + settings + SAMPLING})
    record(prefix, tmp_path, "s.glsl", "still.png", "--size", "120x10")
    still = Image.open(tmp_path / "still.png").convert("L")
    got = [still.getpixel((10 + 20 * band, 5)) for band in range(6)]
    # Linear between black and white is half way, 127 or 128 as the GL rounds.
    assert all(abs(g - e) <= 1 for g, e in zip(got, expected)), got


KEYBOARD = SHOW + """
void mainImage(out vec4 c, in vec2 f)
{
    int down = 0, pressed = 0, toggled = 0;
    for (int k = 0; k < 3; k++) {
        int code = k == 0 ? 32 : k == 1 ? 65 : 37;
        down |= int(texelFetch(iChannel1, ivec2(code, 0), 0).r > 0.5) << k;
        pressed |= int(texelFetch(iChannel1, ivec2(code, 1), 0).r > 0.5) << k;
        toggled |= int(texelFetch(iChannel1, ivec2(code, 2), 0).r > 0.5) << k;
    }
    show(c, f, down, pressed, toggled, textureSize(iChannel1, 0).x + textureSize(iChannel1, 0).y);
}
"""


def test_keyboard_rows_follow_keys_given_by_time(prefix, tmp_path):
    write(tmp_path, {"keys.glsl": '#iChannel1 "keyboard"\n' + KEYBOARD})
    record(prefix, tmp_path, "keys.glsl", "clip.gif", "--size", "128x64", "--fps", "10", "--seconds", "0.6",
           "--key", "space:0.1-0.3", "--key", "a:0.2-0.25", "--key", "left:0-0.1", "--key", "space:0.4-0.5")
    # Bits: space 1, A 2, Left 4. Space is down in frames 1, 2 and 4; A in frame 2; Left in frame 0.
    assert clip_frames(tmp_path / "clip.gif", 128, 64) == [
        [4, 4, 4, 259], [1, 1, 5, 259], [3, 2, 7, 259], [0, 0, 7, 259], [1, 1, 6, 259], [0, 0, 6, 259]]
    done = record(prefix, tmp_path, "keys.glsl", "x.png", "--key", "nokey:0-1", check=False)
    assert done.returncode == 2 and "argument --key: invalid key (KEY:FROM-TO) value: 'nokey:0-1'" in done.stderr


CUBE = """
void mainImage(out vec4 c, in vec2 f)
{
    int band = int(f.x / iResolution.x * 7.0);
    vec3 d = band == 0 ? vec3(1, 0.5, -0.5) : band == 1 ? vec3(-1, 0, 0) : band == 2 ? vec3(0, 1, 0)
           : band == 3 ? vec3(0, -1, 0) : band == 4 ? vec3(0, 0, 1) : band == 5 ? vec3(0, 0, -1) : vec3(1, -0.5, 0.5);
    c = vec4(texture(iChannel0, d).rgb, 1.0);
}
"""


def test_cube_map_faces_from_a_pattern_or_a_cross(prefix, tmp_path):
    colours = {"px": None, "nx": (0, 0, 255), "py": (0, 255, 0), "ny": (255, 255, 0), "pz": (0, 255, 255),
               "nz": (255, 0, 255)}
    for name, colour in colours.items():
        face = Image.new("RGB", (4, 4), colour or (0, 0, 0))
        if colour is None:  # +X in quarters: its top right red, its bottom left white
            face.paste((255, 0, 0), (2, 0, 4, 2))
            face.paste((255, 255, 255), (0, 2, 2, 4))
        face.save(tmp_path / ("sky_%s.png" % name))
    text = '#iChannel0 "file://sky_{}.png"\n#iChannel0::Type "CubeMap"\n#iChannel0::MinFilter "Nearest"\n' + CUBE
    write(tmp_path, {"cube.glsl": text})
    record(prefix, tmp_path, "cube.glsl", "still.png", "--size", "140x10")
    expected = [(255, 0, 0), (0, 0, 255), (0, 255, 0), (255, 255, 0), (0, 255, 255), (255, 0, 255), (255, 255, 255)]
    still = Image.open(tmp_path / "still.png").convert("RGB")
    assert [still.getpixel((10 + 20 * b, 5)) for b in range(7)] == expected
    # The same faces in one image, a horizontal cross.
    cross = Image.new("RGB", (16, 12))
    for name, (x, y) in {"nx": (0, 1), "pz": (1, 1), "px": (2, 1), "nz": (3, 1), "py": (1, 0), "ny": (1, 2)}.items():
        cross.paste(Image.open(tmp_path / ("sky_%s.png" % name)), (4 * x, 4 * y))
    cross.save(tmp_path / "cross.png")
    write(tmp_path, {"cube.glsl": text.replace("sky_{}.png", "cross.png")})
    record(prefix, tmp_path, "cube.glsl", "still.png", "--size", "140x10")
    still = Image.open(tmp_path / "still.png").convert("RGB")
    assert [still.getpixel((10 + 20 * b, 5)) for b in range(7)] == expected


def test_a_cube_map_blends_across_the_edges_of_its_faces(prefix, tmp_path):
    """Read at the edge where +X (red) meets +Z (blue), a filtered cube map gives both, as one surface, not
    the one face's edge alone."""
    for name in ("px", "nx", "py", "ny", "pz", "nz"):
        Image.new("RGB", (4, 4), {"px": (255, 0, 0), "pz": (0, 0, 255)}.get(name, (0, 0, 0))).save(
            tmp_path / ("edge_%s.png" % name))
    write(tmp_path, {"edge.glsl": '#iChannel0 "file://edge_{}.png"\n#iChannel0::Type "CubeMap"\n'
                                  '#iChannel0::MinFilter "Linear"\n#iChannel0::MagFilter "Linear"\n'
                                  "void mainImage(out vec4 c, in vec2 f) {\n"
                                  "    c = vec4(texture(iChannel0, vec3(1.0, 0.0, 0.999)).rgb, 1.0);\n}\n"})
    record(prefix, tmp_path, "edge.glsl", "still.png", "--size", "8x8")
    r, g, b = Image.open(tmp_path / "still.png").convert("RGB").getpixel((4, 4))
    assert g == 0 and 96 < r < 160 and 96 < b < 160, (r, g, b)


def test_each_kind_is_read_by_the_sampler_translate_describes(prefix, tmp_path):
    """A shader reading an image, a cube map, a volume and the keyboard each with the sampler translate
    --describe gives its kind (the coordinates that sampler takes) builds, and finds each."""
    kinds = facts.get().kinds
    Image.new("RGB", (4, 4), (255, 0, 0)).save(tmp_path / "a.png")
    Image.new("RGB", (16, 12), (0, 255, 0)).save(tmp_path / "cross.png")
    (tmp_path / "v.bin").write_bytes(b"BIN\0" + (2).to_bytes(4, "little") * 3 + bytes([1, 0, 0, 0]) + bytes([255] * 8))
    coordinates = {"sampler2D": "vec2(0.5)", "samplerCube": "vec3(1.0, 0.0, 0.0)", "sampler3D": "vec3(0.5)"}
    reads = ["texture(iChannel%d, %s).%s" % (n, coordinates[kinds[kind].sampler], "rgba"[min(n, 2)])
             for n, kind in enumerate(("image", "cube", "volume", "keyboard"))]
    write(tmp_path, {"k.glsl": '#iChannel0 "file://a.png"\n#iChannel1 "file://cross.png"\n#iChannel1::Type "CubeMap"\n'
                               '#iChannel2 "file://v.bin"\n#iChannel3 "keyboard"\n'
                               "void mainImage(out vec4 c, in vec2 f) {\n"
                               "    c = vec4(%s, %s, %s, 1.0 - %s);\n}\n" % tuple(reads)})
    record(prefix, tmp_path, "k.glsl", "still.png", "--size", "4x4")
    assert Image.open(tmp_path / "still.png").convert("RGBA").getpixel((2, 2)) == (255, 255, 255, 255)


def test_a_volume_in_the_sites_format(prefix, tmp_path):
    texels = bytes(range(10, 90, 10))  # 2x2x2, one channel, x fastest
    header = b"BIN\0" + (2).to_bytes(4, "little") * 3 + bytes([1, 0, 0, 0])
    (tmp_path / "v.bin").write_bytes(header + texels)
    write(tmp_path, {"v.glsl": '#iChannel0 "file://v.bin"\n'
                               "void mainImage(out vec4 c, in vec2 f) {\n"
                               "    ivec3 at = ivec3(int(f.x) % 2, int(f.x) / 2 % 2, int(f.x) / 4 % 2);\n"
                               "    c = vec4(texelFetch(iChannel0, at, 0).rgb, 1.0);\n}\n"})
    record(prefix, tmp_path, "v.glsl", "still.png", "--size", "8x2")
    still = Image.open(tmp_path / "still.png").convert("RGB")
    assert [still.getpixel((x, 0)) for x in range(8)] == [(v, v, v) for v in texels]
    (tmp_path / "v.bin").write_bytes(header[:16] + bytes([1, 0, 1, 0]) + texels)
    done = record(prefix, tmp_path, "v.glsl", "still.png", check=False)
    assert (done.returncode, done.stderr) == (1, "quillomar-record: the volume for iChannel0, v.bin: a volume of "
                                                 "2x2x2, 1 channels, format 1, is not one read here\n")


RESOLUTION = SHOW + """
void mainImage(out vec4 c, in vec2 f)
{
    vec4 b = texelFetch(iChannel0, ivec2(0), 0);
    show(c, f, int(iResolution.x), int(iResolution.y), int(b.r), int(b.g));
}
"""


@pytest.mark.parametrize("size", [(96, 96), (64, 112)])
def test_passes_follow_the_pictures_own_size(prefix, tmp_path, size):
    write(tmp_path, {"r.glsl": '#iChannel0 "file://buf.glsl"\n' + RESOLUTION,
                     "buf.glsl": "void mainImage(out vec4 c, in vec2 f) { c = vec4(iResolution.xy, 0, 1); }\n"})
    record(prefix, tmp_path, "r.glsl", "still.png", "--size", "%dx%d" % size)
    assert shown(Image.open(tmp_path / "still.png"), *size) == [*size, *size]


@pytest.mark.fast
def test_what_the_directives_say_is_checked(tmp_path):
    cases = {'#iChannel4 "self"\n': "#iChannel4: there is no channel 4",
             '#iChannel0 "file://x.png"\n#iChannel0::Speed "2"\n': "#iChannel0::speed is not a setting known here",
             '#iChannel0 "file://x.png"\n#iChannel0::WrapMode "Wobble"\n': "unknown filter or wrap mode 'wobble'",
             '#iChannel0 "https://example.com/a.png"\n': 'only files on this machine are read',
             '#iChannel0 "file://s.glsl"\n': None}
    for text, message in cases.items():
        write(tmp_path, {"s.glsl": text})
        if message is None:  # the file itself: its previous frame
            assert directives.image_passes(tmp_path / "s.glsl")[0].channels[0].kind == "self"
            continue
        with pytest.raises(Failure, match=message.replace("(", r"\(")):
            directives.image_passes(tmp_path / "s.glsl")
    write(tmp_path, {"s.glsl": '#iChannel0 "file://a.glsl"\n#iPasses "a.glsl"\n', "a.glsl": '#iChannel0 "file://b.glsl"\n',
                     "b.glsl": ""})
    with pytest.raises(Failure, match="#iPasses leaves out .*b.glsl"):
        directives.image_passes(tmp_path / "s.glsl")


def test_live_builds_a_saved_pass_locates_its_errors_and_keeps_buffers_through_a_resize(prefix, xserver, tmp_path):
    # The buffer keeps the colour of its first frame (a time), so a buffer made again would show another.
    write(tmp_path, {"image.glsl": '#iChannel0 "file://keep.glsl"\n#iChannel1 "file://tint.glsl"\n'
                                   "void mainImage(out vec4 c, in vec2 f) {\n"
                                   "    c = f.x < iResolution.x * 0.5 ? texelFetch(iChannel0, ivec2(f), 0)\n"
                                   "                                  : texelFetch(iChannel1, ivec2(f), 0);\n}\n",
                     "keep.glsl": '#iChannel0 "self"\nvoid mainImage(out vec4 c, in vec2 f) {\n'
                                  "    vec4 was = texelFetch(iChannel0, ivec2(f), 0);\n"
                                  "    c = was.a > 0.0 ? was : vec4(fract(iTime * 0.37 + 0.1), 0.5, 0.25, 1.0);\n}\n",
                     "tint.glsl": "void mainImage(out vec4 c, in vec2 f) { c = vec4(1, 0, 0, 1); }\n"})
    x = open_display(xserver)
    live = start_live(prefix, xserver, tmp_path, "image.glsl")
    try:
        window = find_titled_window(x, "image.glsl ")

        def at(px, py):
            try:
                g = window.get_geometry()
                return grab(window, (px if px >= 0 else g.width + px, g.height - 1 - py, 1, 1)).getpixel((0, 0))
            except XError as e:  # the window manager is resizing the window as we look
                return repr(e)
        until(lambda: at(-10, 10) == (255, 0, 0) or at(-10, 10), "the tint pass")
        kept = at(10, 10)
        assert kept[1:] == (128, 64), kept
        (tmp_path / "tint.glsl").write_text("void mainImage(out vec4 c, in vec2 f) { c = vec4(0, 0, 1, 1); }\n")
        until(lambda: at(-10, 10) == (0, 0, 255) or at(-10, 10), "the saved tint pass")
        (tmp_path / "tint.glsl").write_text("void mainImage(out vec4 c, in vec2 f)\n{\n    c = nothing;\n}\n")
        subprocess.run(["wmctrl", "-i", "-r", "%#x" % window.id, "-e", "0,100,100,600,400"], check=True,
                       env=dict(os.environ, DISPLAY=xserver), timeout=10)
        until(lambda: window.get_geometry().width == 600 or window.get_geometry().width, "the smaller window")
        time.sleep(0.5)
        assert at(10, 10) == kept and at(-10, 10) == (0, 0, 255), "what overlaps is kept; the last pass that built"
    finally:
        out = interrupt(live)
        x.close()
    assert re.search(r"image.glsl: built in .* ms", out) and re.search(r"tint.glsl: does not build", out), out
    assert re.search(r"^tint.glsl:3:\d+: error: .*nothing", out, re.M), out


KEYED = """
void mainImage(out vec4 c, in vec2 f)
{
    // Green while the buffer has counted as many frames as iFrame says; blue while A is down, and once Ctrl
    // or Space has been pressed (toggled).
    float counted = texelFetch(iChannel0, ivec2(0), 0).r;
    bool a = texelFetch(iChannel1, ivec2(65, 0), 0).r > 0.5 || texelFetch(iChannel1, ivec2(17, 2), 0).r > 0.5 ||
             texelFetch(iChannel1, ivec2(32, 2), 0).r > 0.5;
    c = vec4(counted == float(iFrame + 1) && iTime < 1.5 ? 0.0 : 1.0, counted == float(iFrame + 1) ? 1.0 : 0.0,
             a ? 1.0 : 0.0, 1.0);
}
"""


def test_live_keys_go_to_a_shader_that_reads_them_and_home_clears_the_buffers(prefix, xserver, tmp_path):
    # A time key's chord is the timeline's, its Ctrl too: the shader and the session get neither key.
    write(tmp_path, {"k.glsl": '#iChannel0 "file://count.glsl"\n#iChannel1 "keyboard"\n' + KEYED,
                     "count.glsl": '#iChannel0 "self"\nvoid mainImage(out vec4 c, in vec2 f) {\n'
                                   "    c = vec4(texelFetch(iChannel0, ivec2(f), 0).r + 1.0, 0, 0, 1);\n}\n"})
    x = open_display(xserver)
    live = start_live(prefix, xserver, tmp_path, "k.glsl", "--session", "s.jsonl")
    try:
        window = find_titled_window(x, "k.glsl ")
        assert "[keys to the shader; Ctrl+Space, Ctrl+Home, Ctrl+Left/Right for time]" in title(x, window)

        def colour():
            return grab(window, (20, 20, 1, 1)).getpixel((0, 0))
        until(lambda: colour() == (0, 255, 0) or colour(), "the count, at the start")
        until(lambda: colour() == (255, 255, 0) or colour(), "iTime past 1.5 s")
        code = x.keysym_to_keycode(XK.string_to_keysym("a"))
        xtest.fake_input(x, X.KeyPress, code)
        x.sync()
        until(lambda: colour() == (255, 255, 255) or colour(), "A down, in the shader")
        xtest.fake_input(x, X.KeyRelease, code)
        x.sync()
        until(lambda: colour() == (255, 255, 0) or colour(), "A up")
        tap(x, XK.XK_Home)
        time.sleep(0.3)
        assert colour() == (255, 255, 0), "Home alone is the shader's"
        control = x.keysym_to_keycode(XK.XK_Control_L)
        xtest.fake_input(x, X.KeyPress, control)
        tap(x, XK.XK_Home)
        xtest.fake_input(x, X.KeyRelease, control)
        x.sync()
        until(lambda: colour() == (0, 255, 0) or colour(), "time and frames from 0, the buffer cleared")
        xtest.fake_input(x, X.KeyPress, control)
        tap(x, XK.XK_space)
        xtest.fake_input(x, X.KeyRelease, control)
        x.sync()
        until(lambda: "paused)" in title(x, window) or title(x, window), "paused by Ctrl+Space")
        time.sleep(0.3)
        assert colour()[2] == 0, "neither Ctrl nor Space reached the shader"
        tap(x, XK.XK_Control_L)
        until(lambda: colour()[2] == 255 or colour(), "Ctrl alone, the shader's")
    finally:
        interrupt(live)
        x.close()
    keys = [(e["code"], e["down"]) for e in map(json.loads, (tmp_path / "s.jsonl").read_text().splitlines()[1:])
            if e["event"] == "key"]
    assert keys == [(65, True), (65, False), (36, True), (36, False), (17, True), (17, False)], keys


def test_a_cube_map_pass_draws_each_face_where_a_read_of_its_direction_finds_it(prefix, tmp_path):
    # Each face shows the direction it was drawn for; reading it back along that direction gives it.
    write(tmp_path, {"cube.glsl": "void mainCubemap(out vec4 c, in vec2 f, in vec3 o, in vec3 d) {\n"
                                  "    c = vec4(d * 0.5 + 0.5, iResolution.x == 1024.0 && f.x < 1024.0 ? 1.0 : 0.0);\n}\n",
                     "i.glsl": '#iChannel0 "file://cube.glsl"\n' + CUBE.replace(
                         "c = vec4(texture(iChannel0, d).rgb, 1.0);",
                         "vec4 got = texture(iChannel0, d);\n"
                         "    c = vec4(vec3(all(lessThan(abs(got.rgb - (normalize(d) * 0.5 + 0.5)), vec3(0.01))) &&"
                         " got.a == (iChannelResolution[0].x == 1024.0 ? 1.0 : 0.0)), 1.0);")})
    record(prefix, tmp_path, "i.glsl", "still.png", "--size", "140x10")
    still = Image.open(tmp_path / "still.png").convert("RGBA")
    # The direction read back on every face, of 1024 x 1024 pixels.
    assert [still.getpixel((10 + 20 * b, 5))[:3] for b in range(7)] == [(255, 255, 255)] * 7


def test_a_video_shows_the_frame_of_each_moment_looping(prefix, tmp_path):
    # Five frames at 10 per second, frame k all grey 40 k, kept exactly (FFV1, lossless).
    frames = b"".join(bytes([40 * k]) * (8 * 8 * 3) for k in range(5))
    subprocess.run(["ffmpeg", "-v", "error", "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", "8x8", "-r", "10", "-i", "-",
                    "-c:v", "ffv1", "-pix_fmt", "bgr0", "v.mkv"], input=frames, cwd=tmp_path, check=True, timeout=60)
    write(tmp_path, {"v.glsl": '#iChannel0 "file://v.mkv"\n' + SHOW +
                               "void mainImage(out vec4 c, in vec2 f) {\n"
                               "    show(c, f, int(texture(iChannel0, vec2(0.5)).r * 255.0 + 0.5),"
                               " int(iChannelResolution[0].x), int(iChannelResolution[0].y), iFrame);\n}\n"})
    record(prefix, tmp_path, "v.glsl", "clip.gif", "--size", "128x64", "--fps", "20", "--seconds", "0.6", "--from", "0.2")
    # Frame i is at 0.2 + i / 20 s: the video's frame 2 + i // 2, from 0 again after frame 4.
    assert clip_frames(tmp_path / "clip.gif", 128, 64) == [[40 * ((2 + i // 2) % 5), 8, 8, i] for i in range(12)]


def test_live_follows_a_save_that_changes_the_directives(prefix, xserver, tmp_path):
    write(tmp_path, {"w.glsl": "void mainImage(out vec4 c, in vec2 f) { c = vec4(1, 0, 0, 1); }\n",
                     "green.glsl": "void mainImage(out vec4 c, in vec2 f) { c = vec4(0, 1, 0, 1); }\n"})
    Image.new("RGB", (2, 2), (0, 0, 255)).save(tmp_path / "blue.png")
    x = open_display(xserver)
    live = start_live(prefix, xserver, tmp_path, "w.glsl")
    try:
        window = find_titled_window(x, "w.glsl ")

        def colour():
            return grab(window, (20, 20, 1, 1)).getpixel((0, 0))
        until(lambda: colour() == (255, 0, 0) or colour(), "the shader alone")
        write(tmp_path, {"w.glsl": '#iChannel0 "file://green.glsl"\n#iChannel1 "file://blue.png"\n'
                                   "void mainImage(out vec4 c, in vec2 f) {\n"
                                   "    c = texture(iChannel0, vec2(0.5)) + texture(iChannel1, vec2(0.5));\n}\n"})
        until(lambda: colour() == (0, 255, 255) or colour(), "a pass and an image named by a save")
        Image.new("RGB", (2, 2), (255, 0, 0)).save(tmp_path / "blue.png")
        until(lambda: colour() == (255, 255, 0) or colour(), "the image saved")
        write(tmp_path, {"w.glsl": '#iChannel2 "file://nothere.glsl"\n' + (tmp_path / "w.glsl").read_text()})
        time.sleep(1)
        assert colour() == (255, 255, 0), "the passes stay"
    finally:
        out = interrupt(live)
        x.close()
    assert "w.glsl: cannot read %s: No such file or directory; the passes stay as they were" % (
        tmp_path / "nothere.glsl") in out, out


def test_ikeyboard_gives_the_extensions_functions(prefix, tmp_path):
    write(tmp_path, {"k.glsl": "#iKeyboard\n" + SHOW + """
void mainImage(out vec4 c, in vec2 f)
{
    show(c, f, int(isKeyDown(Key_A)) + 2 * int(isKeyPressed(Key_A)) + 4 * int(isKeyToggled(Key_A)),
         int(isKeyReleased(Key_A)), int(isKeyDown(Key_LeftArrow)), Key_F1 + Key_Numpad0);
}
"""})
    record(prefix, tmp_path, "k.glsl", "clip.gif", "--size", "128x64", "--fps", "10", "--seconds", "0.4",
           "--key", "a:0.1-0.2", "--key", "left:0.3-1")
    assert clip_frames(tmp_path / "clip.gif", 128, 64) == [[0, 0, 0, 208], [7, 0, 0, 208], [4, 1, 0, 208],
                                                           [4, 0, 1, 208]]


def test_common_counts_in_deciding_that_a_pass_is_a_mainimage_shader(prefix, tmp_path):
    write(tmp_path, {"common.glsl": "#define MAIN void mainImage(out vec4 c, in vec2 f)\n",
                     "m.glsl": '#include "common.glsl"\n#iChannel0 "file://b.glsl"\n'
                               "MAIN { c = texelFetch(iChannel0, ivec2(f), 0); }\n",
                     "b.glsl": '#include "common.glsl"\nMAIN { c = vec4(0.0, 1.0, 0.0, 1.0); }\n'})
    record(prefix, tmp_path, "m.glsl", "still.png", "--size", "8x8")
    assert Image.open(tmp_path / "still.png").convert("RGB").getpixel((4, 4)) == (0, 255, 0)


@pytest.mark.fast
def test_a_cube_maps_faces_from_a_folder_are_those_of_a_pattern(tmp_path):
    (tmp_path / "sky").mkdir()
    for k, name in enumerate(("posx", "negx", "posy", "negy", "posz", "negz")):
        Image.new("RGB", (2, 2), (40 * k, 255 - 40 * k, 7)).save(tmp_path / "sky" / ("%s.png" % name))
    (tmp_path / "sky" / "notes.txt").write_text("not a face\n")
    folder = media.cube_faces(tmp_path / "sky", "sky")
    assert folder == media.cube_faces(str(tmp_path / "sky" / "{}.png"), "sky")
    assert folder[1] == (2, 2) and folder[0][16 * 5:16 * 5 + 4] == bytes([200, 55, 7, 255])
    (tmp_path / "sky" / "negz.png").unlink()
    with pytest.raises(Failure, match="no set of six faces in"):
        media.cube_faces(tmp_path / "sky", "sky")
