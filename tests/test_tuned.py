"""#iUniform directives: what each declares (read by translate and the table alone, with no X server), the
values quillomar-record's --set gives them and moves over a clip, and a malformed one said once, located,
by the recorder and in live's log. --scale: the picture drawn smaller, iResolution its size, and scaled up
in blocks."""
import os
import subprocess

import pytest
from PIL import Image

from conftest import BUILD, interrupt, start_live, until, without_display
from xsession import find_titled_window, grab, open_display

TRANSLATE = BUILD / "translate"


def uniforms(tmp_path, text):
    shader = tmp_path / "shader.glsl"
    shader.write_text(text)
    return subprocess.run([str(TRANSLATE), "--uniforms", str(shader)], capture_output=True, text=True, timeout=10)


MAIN = "\nvoid mainImage(out vec4 c, in vec2 f) { c = vec4(0.0); }\n"

# A directive, and the uniform the table holds for it: NAME TYPE VALUE... [in MIN MAX] step STEP.
DECLARED = [
    ("#iUniform float speed = 1.0 in {0.0, 5.0} step 0.2", "speed float 1 in 0 5 step 0.20000000000000001"),
    ("#iUniform float speed = 2.5", "speed float 2.5 step 0"),
    ("  #  iUniform int count = 3 in { -4 , 8 } // a comment", "count int 3 in -4 8 step 1"),
    ("#iUniform int count = -2 step 2", "count int -2 step 2"),
    ("#iUniform vec2 at = vec2(0.25, -1e1)", "at vec2 0.25 -10 step 0"),
    ("#iUniform vec3 dir = 0.5", "dir vec3 0.5 0.5 0.5 step 0"),
    ("#iUniform vec4 v = vec4(1, 2, 3, 4) in {0, 4} step 0.5", "v vec4 1 2 3 4 in 0 4 step 0.5"),
    ("#iUniform color3 tint = color3(1.0, 0.5, 0.0)", "tint color3 1 0.5 0 in 0 1 step 0"),
    ("#iUniform color4 tint = vec4(0.0, 0.25, 0.5, 1.0) step 0.25", "tint color4 0 0.25 0.5 1 in 0 1 step 0.25"),
]

# A malformed directive, the column said (from 1) and what is said of it.
MALFORMED = [
    ("#iUniform double speed = 1.0", 11, "expected a type: float, int, vec2, vec3, vec4, color3 or color4"),
    ("#iUniform float = 1.0", 17, "expected the uniform's name"),
    ("#iUniform float speed 1.0", 23, "expected '=' and the uniform's value"),
    ("#iUniform float speed = fast", 25, "expected a number, or the type's name and its numbers in ()"),
    ("#iUniform vec3 dir = vec3(1.0, 2.0)", 22, "expected 1 or 3 numbers"),
    ("#iUniform vec2 at = vec3(1.0, 2.0)", 21, "expected a number, or the type's name and its numbers in ()"),
    ("#iUniform int count = 1.5", 23, "an int's value is a whole number"),
    ("#iUniform float speed = 1.0 in 0.0, 5.0", 32, "expected '{' and the range: {MIN, MAX}"),
    ("#iUniform float speed = 1.0 in {5.0, 0.0}", 32, "the range's lowest number is above its highest"),
    ("#iUniform float speed = 6.0 in {0.0, 5.0}", 25, "the value is outside the range"),
    ("#iUniform float speed = -1.0 in {0.0, 5.0}", 25, "the value is outside the range"),
    ("#iUniform color3 tint = color3(1.0, 1.5, 0.0)", 25, "the value is outside the range"),
    ("#iUniform float speed = 1.0 in {0.0, 5.0} step 0", 48, "the step is above 0"),
    ("#iUniform float speed = 1.0 step -0.5", 34, "the step is above 0"),
    ("#iUniform int count = 1 step 0.5", 30, "an int's step is a whole number"),
    ("#iUniform float speed = 1.0 in {0.0, 5.0} stride 2", 43, "unexpected text after the directive"),
    # What the GL's types hold: an int's 32 bits, a float's largest.
    ("#iUniform int count = 3000000000", 23, "outside an int's range, {-2147483648, 2147483647}"),
    ("#iUniform int count = 1 in {-3e9, 8}", 28, "outside an int's range, {-2147483648, 2147483647}"),
    ("#iUniform vec2 at = vec2(1.0, -1e39)", 21, "outside a float's range, {-3.402823466e+38, 3.402823466e+38}"),
    # A uniform the shader declares itself, of another type: the directive's value would never reach it.
    ("#iUniform float speed = 0.75\nuniform vec2 speed;", 17,
     "the shader declares speed itself as a vec2, not a float"),
    ("#iUniform vec2 at = 1.0\nuniform lowp float a, at[2];", 16,
     "the shader declares at itself as a float[], not a vec2"),
]


@pytest.mark.fast
def test_each_directive_declares_its_uniform_and_a_malformed_one_is_said_where(tmp_path):
    for directive, table in DECLARED:
        done = uniforms(tmp_path, "// tuned\n" + directive + MAIN)
        assert (done.returncode, done.stdout) == (0, table + "\n"), directive
    for directive, column, why in MALFORMED:
        done = uniforms(tmp_path, "// tuned\n" + directive + MAIN)
        assert (done.returncode, done.stdout) == (1, "0:2:%d: error: #iUniform: %s\n" % (column, why)), directive
    # In an included file, the line is numbered as the GL numbers that file's lines.
    (tmp_path / "common.glsl").write_text("\n\n#iUniform float speed = 1.0 in {2.0, 1.0}\n")
    done = uniforms(tmp_path, '#include "common.glsl"' + MAIN)
    assert (done.returncode, done.stdout) == (1, "0:100003:32: error: #iUniform: the range's lowest number is above "
                                                 "its highest\n")


@pytest.mark.parametrize("text", [
    "#iUniform vec3 tint = 0.5\nvoid mainImage(out vec4 c, in vec2 f) { c = vec4(tint, 1.0); }\n",
    "#iUniform vec3 tint = 0.5\nuniform vec2 u_resolution;\nvoid main() { gl_FragColor = vec4(tint, 1.0); }\n",
    "#iUniform vec3 tint = 0.5\nuniform float time;\nvoid main() { gl_FragColor = vec4(tint, 1.0); }\n",
], ids=["mainImage", "Book of Shaders", "GLSL Sandbox"])
@pytest.mark.fast
def test_every_dialect_declares_the_uniform_on_the_directives_line(tmp_path, text):
    shader = tmp_path / "shader.glsl"
    shader.write_text(text)
    gl = subprocess.run([str(TRANSLATE), str(shader)], capture_output=True, text=True, check=True).stdout
    body = gl.split("#line 1\n", 1)[1].split("\n")
    assert body[:2] == ["uniform vec3 tint;", text.split("\n")[1]]
    # A shader that declares the uniform itself keeps its own declaration alone.
    shader.write_text(text.replace("\n", "\nuniform vec3 tint;\n", 1))
    gl = subprocess.run([str(TRANSLATE), str(shader)], capture_output=True, text=True, check=True).stdout
    assert gl.split("#line 1\n", 1)[1].split("\n")[:2] == ["", "uniform vec3 tint;"]


@pytest.mark.fast
def test_a_text_with_its_own_version_line_declares_the_uniform_on_the_directives_line(tmp_path):
    text = "#version 330 core\n#iUniform vec3 tint = 0.5\nout vec4 c;\nvoid main() { c = vec4(tint, 1.0); }\n"
    shader = tmp_path / "shader.glsl"
    shader.write_text(text)
    gl = subprocess.run([str(TRANSLATE), str(shader)], capture_output=True, text=True, check=True).stdout
    assert gl == text.replace("#iUniform vec3 tint = 0.5", "uniform vec3 tint;")
    assert uniforms(tmp_path, text).stdout == "tint vec3 0.5 0.5 0.5 step 0\n"
    done = uniforms(tmp_path, text.replace("0.5", "vec3(1.0, 2.0)"))
    assert (done.returncode, done.stdout) == (1, "0:2:23: error: #iUniform: expected 1 or 3 numbers\n")


@pytest.mark.fast
def test_a_value_set_is_kept_while_its_directive_is_declared_again_unchanged():
    steps = [
        ("#iUniform float speed = 1.0 in {0.0, 5.0} step 0.2", "speed 1"),
        ("set speed 3.5", "heard speed\nspeed 3.5"),
        ("set speed 3.5", "speed 3.5"),  # no change, not heard (a slider held still)
        ("#iUniform float speed = 1.0 in {0.0, 5.0} step 0.2", "speed 3.5"),  # a save that left it as it was
        ("#iUniform float speed = 1.0 in {0.0, 5.0} step 0.25", "speed 1"),  # a new step: from its value again
        ("set speed 9", "heard speed\nspeed 5"),  # held within the range
        ("set speed -1", "heard speed\nspeed 0"),
        ("#iUniform float speed = 2.0 in {0.0, 5.0} step 0.25", "speed 2"),  # a new value
        ("set speed 4", "heard speed\nspeed 4"),
        ("#iUniform float speed = 2.0 in {0.0, 6.0} step 0.25", "speed 2"),  # a new range
        ("#iUniform int count = 2", "speed 2\ncount 2"),
        ("set count 2.6", "heard count\nspeed 2\ncount 3"),  # an int is whole
        ("set count 3e9", "heard count\nspeed 2\ncount 2147483647"),  # and within 32 bits
        ("set count nan", "speed 2\ncount 2147483647"),  # no number: as it was
        ("#iUniform vec2 count = 2", "speed 2\ncount 2 2"),  # a new type, in the same place
        ("set count 7 -3", "heard count\nspeed 2\ncount 7 -3"),
        ("set count 7 -inf", "heard count\nspeed 2\ncount 7 -3.4028234663852886e+38"),  # within a float's
        ("set nothing 1", "no such uniform\nspeed 2\ncount 7 -3.4028234663852886e+38"),
    ]
    done = subprocess.run([str(BUILD / "units"), "tuned"], input="".join(line + "\n" for line, _ in steps),
                          capture_output=True, text=True, timeout=10)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "".join(table + "\n.\n" for _, table in steps)


# Red the speed over 5, green and blue the tint, 8 x 8.
TUNED = b"""#iUniform float speed = 1.0 in {0.0, 5.0} step 0.2
#iUniform color3 tint = color3(0.0, 0.5, 1.0)
void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    fragColor = vec4(speed / 5.0, tint.gb, 1.0);
}
"""


def record(prefix, tmp_path, output, *args):
    return subprocess.run([str(prefix / "bin" / "quillomar-record"), "shader.glsl", output, "--size", "8x8",
                           "--software", *args], cwd=tmp_path, capture_output=True, text=True, timeout=60,
                          env=without_display())


def test_set_gives_a_recording_its_values_and_moves_them_over_the_clip(prefix, tmp_path):
    (tmp_path / "shader.glsl").write_bytes(TUNED)
    for options, colour in [((), (51, 128, 255)), (("--set", "speed=4", "--set", "tint=1,0.25,0"), (204, 64, 0)),
                            (("--set", "tint=0.5",), (51, 128, 128)),
                            (("--set", "speed=4 ", "--set", "tint= 1, 0.25 ,0"), (204, 64, 0))]:
        done = record(prefix, tmp_path, "still.png", *options)
        assert done.returncode == 0, done.stderr
        assert Image.open(tmp_path / "still.png").convert("RGB").getpixel((3, 3)) == colour, options
    # From FROM at the first frame to TO at the last: frame k of 5 at FROM + (TO - FROM) x k / 4.
    done = record(prefix, tmp_path, "clip.gif", "--fps", "5", "--seconds", "1", "--set", "speed=0:5",
                  "--set", "tint=0,1,0:1,0,0")
    assert done.returncode == 0, done.stderr
    clip = Image.open(tmp_path / "clip.gif")
    seen = [clip.seek(k) or clip.convert("RGB").getpixel((3, 3)) for k in range(clip.n_frames)]
    expected = [(round(255 * k / 4), round(255 * (1 - k / 4)), 0) for k in range(5)]
    assert all(abs(a - b) <= 1 for s, e in zip(seen, expected) for a, b in zip(s, e)) and len(seen) == 5, seen
    # What the shader cannot take is one message, and nothing is written.
    for options, said in [
        (("--set", "sped=1"), "quillomar-record: --set sped: no pass has an #iUniform of that name\n"),
        (("--set", "speed=6"), "quillomar-record: --set speed=6: outside the range of speed, {0, 5}\n"),
        (("--set", "speed=1:-1"), "quillomar-record: --set speed=1:-1: outside the range of speed, {0, 5}\n"),
        (("--set", "tint=1,1"), "quillomar-record: --set tint=1,1: color3 tint takes 3 numbers (or one for all)\n"),
        (("--set", "speed=1e39"), "quillomar-record: --set speed=1e39: outside a float's range, {-3.402823466e+38, "
                                  "3.402823466e+38}\n"),
        (("--set", "speed=1", "--set", "tint=0", "--set", "speed=5"),
         "quillomar-record: --set speed=1 and --set speed=5 both give speed: give one (see --help)\n"),
        (("--set", "speed=fast"), "quillomar-record: argument --set: invalid setting (NAME=VALUE or NAME=FROM:TO) "
                                  "value: 'speed=fast' (see --help)\n"),
        # A setting is a line to the library: a line break in it is no number's.
        (("--set", "speed=1\n", "--set", "tint=0"), "quillomar-record: argument --set: invalid setting (NAME=VALUE or "
                                                  "NAME=FROM:TO) value: 'speed=1\\n' (see --help)\n"),
    ]:
        done = record(prefix, tmp_path, "refused.png", *options)
        assert (done.returncode, done.stdout, done.stderr) == (2 if "--help" in said else 1, "", said), options
        assert not (tmp_path / "refused.png").exists()


def test_a_malformed_directive_is_one_located_message_in_the_recorder_and_in_live(prefix, xserver, tmp_path):
    shader = tmp_path / "shader.glsl"
    shader.write_bytes(TUNED.replace(b"in {0.0, 5.0}", b"in {0.0, 0.5}"))
    located = ["shader.glsl:1:25: error: #iUniform: the value is outside the range",
               " 1 | #iUniform float speed = 1.0 in {0.0, 0.5} step 0.2",
               "   |                         ^"]
    done = record(prefix, tmp_path, "still.png")
    assert (done.returncode, done.stderr) == (1, "quillomar-record: shader.glsl did not build:\n%s\n"
                                              % "\n".join(located))
    live = start_live(prefix, xserver, tmp_path, "shader.glsl")
    x = open_display(xserver)
    try:
        window = find_titled_window(x, "shader.glsl (does not build)")
        # Put right, it draws with the directive's values.
        shader.write_bytes(TUNED)
        until(lambda: grab(window, (5, 5, 1, 1)).getpixel((0, 0))[:3] == (51, 128, 255) or
              grab(window, (5, 5, 1, 1)).getpixel((0, 0)), "the uniforms' values drawn")
    finally:
        said = interrupt(live)
        x.close()
    lines = said.splitlines()
    assert sum(1 for line in lines if "error" in line) == 1, said
    start = lines.index(located[0])
    assert lines[start:start + 3] == located, said


def test_scale_draws_a_smaller_picture_in_blocks(prefix, tmp_path):
    # Each pixel drawn its own colour: its column and row, and iResolution.x.
    (tmp_path / "shader.glsl").write_bytes(b"void mainImage(out vec4 c, in vec2 f) { c = vec4((f - 0.5) / 255.0, "
                                           b"iResolution.x / 255.0, 1.0); }\n")
    (tmp_path / "mouse.glsl").write_bytes(b"void mainImage(out vec4 c, in vec2 f) "
                                          b"{ c = vec4(vec3(floor(f) == floor(iMouse.xy)), 1.0); }\n")

    def drawn(shader, size, scale, *more):
        done = subprocess.run([str(prefix / "bin" / "quillomar-record"), shader, "still.png", "--size", size,
                               "--software", "--scale", scale, *more], cwd=tmp_path, capture_output=True,
                              timeout=60, env=without_display())
        assert done.returncode == 0, done.stderr
        return Image.open(tmp_path / "still.png").convert("RGB")

    # Sides that D does not divide too: every block exactly D pixels a side from the bottom left, the
    # top row's and the right column's cut by the picture's edge; iResolution the picture drawn.
    for scale, (w, h) in [("1/4", (64, 64)), ("2", (64, 64)), ("1", (64, 64)), ("3", (160, 90)), ("4", (50, 35))]:
        d = int(scale.rpartition("/")[2])
        picture = drawn("shader.glsl", "%dx%d" % (w, h), scale)
        assert [(x, y) for y in range(h) for x in range(w)
                if picture.getpixel((x, y)) != (x // d, (h - 1 - y) // d, -(-w // d))] == [], scale
    # iMouse in the pixels drawn: the pointer at (32, 18) of the picture is in the block of drawn pixel (6, 3).
    picture = drawn("mouse.glsl", "64x36", "5", "--mouse", "32,18")
    assert {(x, 35 - y) for y in range(36) for x in range(64) if picture.getpixel((x, y)) == (255, 255, 255)} == {
        (x, y) for x in range(30, 35) for y in range(15, 20)}
    # The divider's bounds are the library's (its QUILLOMAR_SCALE row): 1 to 64.
    for wrong in ("3/4", "65", "1/65", "0"):
        done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "shader.glsl", "still.png", "--scale", wrong],
                              cwd=tmp_path, capture_output=True, text=True, timeout=60)
        assert (done.returncode, done.stderr) == (2, "quillomar-record: argument --scale: invalid divider (D or 1/D, 1 "
                                                     "to 64) value: '%s' (see --help)\n" % wrong)


@pytest.mark.fast
def test_scale_and_supersample_together_are_refused_in_one_message(prefix, tmp_path):
    (tmp_path / "shader.glsl").write_bytes(b"void mainImage(out vec4 c, in vec2 f) { c = vec4(1.0); }\n")
    for more in (["--scale", "2", "--supersample", "2"], ["--supersample", "3", "--scale", "1/4"]):
        done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "shader.glsl", "still.png", *more],
                              cwd=tmp_path, capture_output=True, text=True, timeout=60)
        assert (done.returncode, done.stdout, done.stderr) == (
            2, "", "quillomar-record: --scale and --supersample work against each other: give one (see --help)\n")
        assert sorted(os.listdir(tmp_path)) == ["shader.glsl"], "nothing written"


def tap(x, key):
    from Xlib import X
    from Xlib.ext import xtest
    code = x.keysym_to_keycode(key)
    xtest.fake_input(x, X.KeyPress, code)
    xtest.fake_input(x, X.KeyRelease, code)
    x.sync()


# Red which of 16 columns a pixel is in, blue iResolution's width in 4096ths; green at the top right when
# the shader was told of F2 (toggled by it).
DIVIDED = b"""#iKeyboard
void mainImage(out vec4 c, in vec2 f)
{
    c = vec4((mod(floor(f.x), 16.0) + 0.5) / 16.0, 0.0, iResolution.x / 4096.0, 1.0);
    if (isKeyToggled(Key_F2) && f.x > iResolution.x - 2.0 && f.y > iResolution.y - 2.0)
        c = vec4(0.0, 1.0, 0.0, 1.0);
}
"""


def test_f2_divides_the_picture_in_live_and_the_shader_never_gets_it(prefix, xserver, tmp_path):
    from Xlib import XK
    (tmp_path / "shader.glsl").write_bytes(DIVIDED)
    live = start_live(prefix, xserver, tmp_path, "shader.glsl")
    x = open_display(xserver)
    try:
        window = find_titled_window(x, "shader.glsl ")
        g = window.get_geometry()

        def blocks(divider):
            """Whether the window shows pixels of divider x divider blocks of a picture that size, and the
            top right corner as the shader drew it."""
            box = grab(window, (0, g.height - 64, 64, 64))
            bottom = [box.getpixel((i, 63)) for i in range(64)]
            width = -(-g.width // divider)
            wanted = [((i // divider % 16 + 0.5) / 16 * 255, width / 4096 * 255) for i in range(64)]
            right = grab(window, (g.width - 1, 0, 1, 1)).getpixel((0, 0))
            return (all(abs(p[0] - w[0]) <= 1 and abs(p[2] - w[1]) <= 1 for p, w in zip(bottom, wanted)) and
                    right[1] != 255) or (bottom[:9], right)

        until(lambda: blocks(1), "the whole window drawn")
        for divider in (2, 4, 8):
            tap(x, XK.string_to_keysym("F2"))
            until(lambda: blocks(divider), "the picture drawn at 1/%d" % divider)
            assert title_of(x, window).endswith("[1/%d] — Quillomar" % divider)
        tap(x, XK.string_to_keysym("F2"))
        until(lambda: blocks(1), "the whole window again")
    finally:
        interrupt(live)
        x.close()


def title_of(x, window):
    from xsession import title
    return title(x, window)
