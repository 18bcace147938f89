"""The web's other dialects and #include: which dialect a text is, what the GL gets for it (no display
needed), and, recorded and in live, every input's exact value read back from the picture, the previous
frame, includes nested, guarded, missing, in -I folders and saved in live (watched as the shader is:
through a link, in a folder made again), and the prelude out of the way of the shader's own names."""
import os
import subprocess

import pytest
from PIL import Image

from conftest import live_window, near, until, without_display
from quillomar.dialects import dialect, translated
from xsession import title

ES_HEADER = b"#ifdef GL_ES\nprecision mediump float;\n#endif\n"
KINDS = {
    "Book of Shaders": (ES_HEADER + b"uniform vec2 u_resolution;\nvoid main() {\n"
                        b"    gl_FragColor = vec4(gl_FragCoord.xy / u_resolution, 0.0, 1.0);\n}\n", "Book of Shaders"),
    "GLSL Sandbox": (ES_HEADER + b"uniform float time;\nvoid main( void ) {\n    gl_FragColor = vec4(time);\n}\n",
                     "GLSL Sandbox"),
    "only a varying of the sandbox": (b"varying vec2 surfacePosition;\nvoid main() { gl_FragColor = vec4(1.0); }\n",
                                      "GLSL Sandbox"),
    "a sandbox port of a mainImage shader": (
        b"uniform float time;\nuniform vec2 resolution;\nvoid mainImage(out vec4 c, in vec2 p) { c = vec4(1.0); }\n"
        b"void main() { mainImage(gl_FragColor, gl_FragCoord.xy); }\n", "GLSL Sandbox"),
    "a u_ name that is no input": (b"uniform float u_times;\nvoid main() { gl_FragColor = vec4(u_times); }\n", "none"),
    "under #version": (b"#version 330 core\nuniform float time;\nout vec4 c;\nvoid main() { c = vec4(time); }\n",
                       "none"),
}


@pytest.mark.fast
@pytest.mark.parametrize("text, name", KINDS.values(), ids=KINDS.keys())
def test_a_text_is_of_the_dialect_its_inputs_and_main_say(text, name):
    assert dialect(text) == name


@pytest.mark.fast
def test_a_text_keeps_its_lines_and_lends_its_extensions_to_the_prelude(tmp_path):
    text = (ES_HEADER + b"#extension GL_OES_standard_derivatives : enable\n  #  extension GL_EXT_other : enable\n"
            b"uniform float u_time;\nvarying vec2 v_texcoord;\nvarying vec2 v_other;\n#ifdef SHOW\n#else SHOW\n"
            b"#endif SHOW\n#endif // as it was\nvoid main() {\n"
            b"    gl_FragColor = texture2D(u_tex0, v_texcoord) * u_time;\n}\n")
    (tmp_path / "s.frag").write_bytes(text)
    whole = translated(tmp_path / "s.frag").decode()
    before, body = whole.split("\n#line 1\n")
    assert before.startswith("#version 330 core\n  #  extension GL_EXT_other : enable\n")
    assert "GL_OES_standard_derivatives" not in whole, "in the desktop GL's core"
    given = text.decode().split("\n")
    expected = given[:3] + ["", "", given[5], "", given[7], given[8], "#else", "#endif"] + given[11:]
    assert body.split("\n")[:len(given)] == expected
    assert "v_texcoord = gl_FragCoord.xy / quillomar_viewport;" in body and "v_other =" not in body
    plain = b"#version 330 core\nout vec4 c;\nvoid main() { c = vec4(1.0); }\n"
    (tmp_path / "plain.glsl").write_bytes(plain)
    assert translated(tmp_path / "plain.glsl") == plain, "a text of no dialect goes as it is"


@pytest.mark.fast
def test_a_named_dialect_line_is_blank_for_the_gl_and_one_of_no_dialect_stays(tmp_path):
    text = b'uniform float time;\n  #  iDialect "mainImage"\nvoid mainImage(out vec4 c, in vec2 p) { c = vec4(time); }\n'
    (tmp_path / "s.glsl").write_bytes(text)
    body = translated(tmp_path / "s.glsl").decode().split("\n#line 1\n")[1]
    assert body.split("\n")[:3] == ["uniform float time;", "", text.decode().split("\n")[2]]
    (tmp_path / "s.glsl").write_bytes(text.replace(b"mainImage\"", b"nothing\""))
    body = translated(tmp_path / "s.glsl").decode().split("\n#line 1\n")[1]
    assert body.split("\n")[1] == '  #  iDialect "nothing"', "left for the GL to refuse at its line"


@pytest.mark.fast
def test_includes_nested_guarded_in_folders_and_missing(tmp_path):
    for name, text in {"lib/half.glsl": "#pragma once\nfloat half_of(float x) { return x * 0.5; }\n",
                       "lib/quarter.glsl": '#include "half.glsl"\n#pragma include "half.glsl"\n'
                                           "float quarter(float x) { return half_of(half_of(x)); }\n",
                       "more/tint.glsl": "vec3 tint() { return vec3(1.0); }\n",
                       "tint.glsl": "vec3 not_this_one;\n",  # <tint.glsl>: the -I folders first
                       "guard.glsl": "#ifndef GUARD\n#define GUARD\nfloat g;\n#endif",  # no last line break
                       "s.glsl": '#version 330 core\n#include "lib/quarter.glsl"\n#include <tint.glsl>\n'
                                 '  #  include "nowhere.glsl"\n#include "guard.glsl"\n#include "guard.glsl"\n'
                                 'out vec4 c;\n'}.items():
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_text(text)
    guarded = ["#line 400001", "#ifndef GUARD", "#define GUARD", "float g;", "#endif"]  # numbered as before
    assert translated(tmp_path / "s.glsl", [tmp_path / "more"]).decode().split("\n") == [
        "#version 330 core",
        "#line 100001", "#line 200001", "#pragma once", "float half_of(float x) { return x * 0.5; }",
        "#line 100002", "", "float quarter(float x) { return half_of(half_of(x)); }", "#line 3",
        "#line 300001", "vec3 tint() { return vec3(1.0); }", "#line 4",
        '#error cannot include "nowhere.glsl": no such file here or in the -I folders',
        *guarded, "#line 6", *guarded, "#line 7", "out vec4 c;", ""]


def test_an_include_of_no_regular_file_is_one_message_at_once(prefix, xserver, tmp_path):
    """A FIFO, a device or a folder named by #include: translate returns at once, quillomar-record says
    which include in one message, and live says so while its window keeps answering."""
    os.mkfifo(tmp_path / "pipe.glsl")
    (tmp_path / "folder.glsl").mkdir()
    main = "void mainImage(out vec4 c, in vec2 p) { c = vec4(1.0, 0.0, 0.0, 1.0); }\n"
    for name, why in [("pipe.glsl", "it is not a regular file"), ("/dev/zero", "it is not a regular file"),
                      ("folder.glsl", "it is a directory")]:
        (tmp_path / "s.glsl").write_text('#include "%s"\n' % name + main)
        done = subprocess.run([str(prefix / "lib" / "quillomar" / "translate"), "s.glsl"], cwd=tmp_path,
                              capture_output=True, text=True, timeout=10)
        assert '#line 1\n#error cannot include "%s": %s\n' % (name, why) in done.stdout
        done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "s.glsl", "still.png"], cwd=tmp_path,
                              capture_output=True, text=True, timeout=60, env=without_display())
        assert (done.returncode, done.stderr) == (1, (
            'quillomar-record: s.glsl did not build:\ns.glsl:1:1: error: (preprocessor) #error cannot include '
            '"%s": %s\n 1 | #include "%s"\n   | ^\n' % (name, why, name))), done.stderr
    (tmp_path / "s.glsl").write_text('#include "pipe.glsl"\n' + main)
    said = []
    with live_window(prefix, xserver, tmp_path, "s.glsl", said) as (x, window, colour):
        until(lambda: "does not build" in title(x, window) or title(x, window), "the title saying so")
        (tmp_path / "s.glsl").write_text(main)
        until(lambda: colour() == (255, 0, 0), "the saved file's red")
    assert '#error cannot include "pipe.glsl": it is not a regular file' in said[0], said[0]


def record(prefix, tmp_path, text, output, *options):
    (tmp_path / "shader.frag").write_bytes(text)
    done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "shader.frag", output, *options], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120, env=without_display())
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    return done


def bands(frame, w, h, count):
    """The numbers a frame shows: count bands from the top, each in 20 stripes from bit 0 at the left."""
    return [sum(1 << i for i in range(20) if frame.getpixel((int((i + 0.5) * w / 20),
                                                              int((n + 0.5) * h / count))) > 127)
            for n in range(count)]


def frames_of(path, w, h, count):
    clip = Image.open(path)
    return [bands((clip.seek(k), clip.convert("L"))[1], w, h, count) for k in range(clip.n_frames)]


SHOW = b"""
void main()
{
    uint bit = uint(gl_FragCoord.x / RESOLUTION.x * 20.0);
    int n = int((1.0 - gl_FragCoord.y / RESOLUTION.y) * BANDS);
    gl_FragColor = vec4(vec3(float((band(n) >> bit) & 1u)), 1.0);
}
"""
BOOK = ES_HEADER + b"""uniform float u_time;
uniform float u_delta;
uniform vec4 u_date;
uniform int u_frame;
uniform vec2 u_resolution;
uniform vec2 u_mouse;
uniform sampler2D u_tex0;
uniform vec2 u_tex0Resolution;

uint band(int n)
{
    if (n == 0) return uint(u_time * 1000.0 + 0.5);
    if (n == 1) return uint(u_delta * 65536.0 + 0.5);
    if (n == 2) return uint(u_frame);
    if (n == 3) return uint(u_resolution.x) + (uint(u_resolution.y) << 10u);
    if (n == 4) return uint(u_mouse.x + 0.5) + (uint(u_mouse.y + 0.5) << 10u);
    if (n == 5) return uint(u_date.x);
    if (n == 6) return uint(u_tex0Resolution.x) + (uint(u_tex0Resolution.y) << 10u);
    return uint(texture2D(u_tex0, vec2(0.25, 0.75)).r * 255.0 + 0.5);
}
""" + SHOW.replace(b"RESOLUTION", b"u_resolution").replace(b"BANDS", b"8.0")

SANDBOX = ES_HEADER + b"""uniform float time;
uniform vec2 resolution;
uniform vec2 mouse;
uniform vec2 surfaceSize;
uniform sampler2D backbuffer;

uint band(int n)
{
    if (n == 0) return uint(time * 1000.0 + 0.5);
    if (n == 1) return uint(resolution.x) + (uint(resolution.y) << 10u);
    if (n == 2) return uint(mouse.x * 1000.0 + 0.5) + (uint(mouse.y * 1000.0 + 0.5) << 10u);
    if (n == 3) return uint(surfaceSize.x * 1000.0 + 0.5) + (uint(surfaceSize.y * 1000.0 + 0.5) << 10u);
    return uint(texture2D(backbuffer, vec2(0.5) / resolution).r * 255.0 + 0.5);
}
""" + SHOW.replace(b"RESOLUTION", b"resolution").replace(b"BANDS", b"5.0").replace(
    b"    gl_FragColor = vec4(vec3(float((band(n) >> bit) & 1u)), 1.0);\n",
    b"    gl_FragColor = vec4(vec3(float((band(n) >> bit) & 1u)), 1.0);\n"
    b"    if (gl_FragCoord.x < 1.0 && gl_FragCoord.y < 1.0)  // the frames so far, kept in the corner\n"
    b"        gl_FragColor = vec4(texture2D(backbuffer, vec2(0.5) / resolution).r + 1.0 / 255.0);\n")


def test_the_book_of_shaders_inputs_have_their_exact_values(prefix, tmp_path):
    Image.new("RGB", (30, 10), (77, 0, 0)).save(tmp_path / "tex.png")
    record(prefix, tmp_path, BOOK, "clip.gif", "--size", "400x200", "--fps", "8", "--seconds", "0.375", "--from", "2",
           "--mouse", "100,50", "--channel0", "tex.png")
    frames = frames_of(tmp_path / "clip.gif", 400, 200, 8)
    assert len(frames) == 3
    year = frames[0][5]
    for k, got in enumerate(frames):
        # u_mouse in pixels of what is drawn, as --mouse gives it.
        assert got == [2000 + 125 * k, 8192, k, 400 + (200 << 10), 100 + (50 << 10), year, 30 + (10 << 10), 77]
        assert 2020 <= year <= 2100


def test_glsl_sandbox_inputs_and_its_backbuffer(prefix, tmp_path):
    record(prefix, tmp_path, SANDBOX, "clip.gif", "--size", "400x200", "--fps", "10", "--seconds", "0.4", "--from",
           "1", "--mouse", "100,50")
    frames = frames_of(tmp_path / "clip.gif", 400, 200, 5)
    # mouse from 0 to 1; surfaceSize as wide as the aspect, one high; the previous frame's corner counts.
    assert frames == [[1000 + 100 * k, 400 + (200 << 10), 250 + (250 << 10), 2000 + (1000 << 10), k]
                      for k in range(4)]


VARYINGS = {  # the varying as red and green, from 0 at the bottom left to 1 at the top right
    "v_texcoord": ES_HEADER + b"uniform vec2 u_resolution;\nvarying vec2 v_texcoord;\n"
                              b"void main() { gl_FragColor = vec4(v_texcoord, 0.0, 1.0); }\n",
    "surfacePosition": ES_HEADER + b"uniform float time;\nvarying vec2 surfacePosition;\nvoid main() {\n"
                                   b"    gl_FragColor = vec4(surfacePosition * vec2(0.5, 1.0) + 0.5, 0.0, 1.0);\n}\n",
}


@pytest.mark.parametrize("text", VARYINGS.values(), ids=VARYINGS.keys())
def test_the_varyings_the_prelude_knows(prefix, tmp_path, text):
    record(prefix, tmp_path, text, "still.png", "--size", "200x100")
    still = Image.open(tmp_path / "still.png")
    for x, y in [(0, 0), (199, 99), (50, 80)]:
        expected = ((x + 0.5) / 200 * 255, (1 - (y + 0.5) / 100) * 255, 0)
        assert near(still.getpixel((x, y)), expected, 1.5), (x, y, still.getpixel((x, y)))


PRELUDE_CASES = {
    "a function of its own named coord": b"float coord(float x) { return x * 0.5; }\n"
                                         b"void mainImage(out vec4 c, in vec2 p) { c = vec4(coord(2.0), 0.0, 0.0, 1.0); }\n",
    "an #extension line": b"#extension GL_OES_standard_derivatives : enable\n"
                          b"void mainImage(out vec4 c, in vec2 p) { c = vec4(1.0 + dFdx(p.x) - 1.0, 0.0, 0.0, 1.0); }\n",
    "a sandbox port with main, mainImage and its own iResolution": (
        b"uniform float time;\nuniform vec2 resolution;\n#define iResolution vec3(resolution, 1.0)\n"
        b"void mainImage(out vec4 c, in vec2 p) { c = vec4(p.x < iResolution.x ? 1.0 : 0.0, 0.0, 0.0, 1.0); }\n"
        b"void main(void) { mainImage(gl_FragColor, gl_FragCoord.xy); }\n"),
}


@pytest.mark.parametrize("text", PRELUDE_CASES.values(), ids=PRELUDE_CASES.keys())
def test_the_prelude_stays_out_of_the_way(prefix, tmp_path, text):
    record(prefix, tmp_path, text, "still.png", "--size", "64x36")
    assert Image.open(tmp_path / "still.png").getpixel((10, 10)) == (255, 0, 0)


def test_live_shows_a_save_of_an_included_file_and_locates_its_messages(prefix, xserver, tmp_path):
    (tmp_path / "lib").mkdir()
    (tmp_path / "lib" / "colour.glsl").write_text("vec3 colour()\n{\n    return vec3(1.0, 0.0, 0.0);\n}\n")
    (tmp_path / "s.glsl").write_text('#include "lib/colour.glsl"\nvoid mainImage(out vec4 c, in vec2 p)\n'
                                     '{\n    c = vec4(colour(), 1.0);\n}\n')
    said = []
    with live_window(prefix, xserver, tmp_path, "s.glsl", said) as (x, window, colour):
        until(lambda: colour() == (255, 0, 0) or colour(), "the included file's red")
        (tmp_path / "lib" / "colour.glsl").write_text("vec3 colour()\n{\n    return vec3(0.0, 0.0, 1.0);\n}\n")
        until(lambda: colour() == (0, 0, 255) or colour(), "the saved included file's blue")
        (tmp_path / "lib" / "colour.glsl").write_text("vec3 colour()\n{\n\treturn vec3(nothing);\n}\n")
        until(lambda: "does not build" in title(x, window) or title(x, window), "the title saying so")
    path = str(tmp_path / "lib" / "colour.glsl")
    assert "\n%s:3:14: error: `nothing' undeclared\n 3 | \treturn vec3(nothing);\n   | \t            ^\n" % path in said[0], said[0]



def test_live_watches_an_included_file_as_it_watches_the_shader(prefix, xserver, tmp_path):
    """One rule for every file live watches: an included file that is a symbolic link is watched through
    its target too, and one whose folder is moved away and made again is watched in the new folder."""
    for folder in ("lib", "elsewhere", "common"):
        (tmp_path / folder).mkdir()
    (tmp_path / "elsewhere" / "colour.glsl").write_text("vec3 colour() { return vec3(1.0, 0.0, 0.0); }\n")
    (tmp_path / "lib" / "colour.glsl").symlink_to("../elsewhere/colour.glsl")
    (tmp_path / "common" / "extra.glsl").write_text("vec3 extra() { return vec3(0.0); }\n")
    (tmp_path / "s.glsl").write_text('#include "lib/colour.glsl"\n#include "common/extra.glsl"\n'
                                     "void mainImage(out vec4 c, in vec2 p) { c = vec4(colour() + extra(), 1.0); }\n")
    with live_window(prefix, xserver, tmp_path, "s.glsl", []) as (x, window, colour):
        until(lambda: colour() == (255, 0, 0) or colour(), "the included file's red")
        (tmp_path / "elsewhere" / "colour.glsl").write_text("vec3 colour() { return vec3(0.0, 0.0, 1.0); }\n")
        until(lambda: colour() == (0, 0, 255) or colour(), "the blue saved in the link's target")
        os.rename(tmp_path / "common", tmp_path / "moved")
        (tmp_path / "common").mkdir()
        (tmp_path / "common" / "extra.glsl").write_text("vec3 extra() { return vec3(0.0, 1.0, 0.0); }\n")
        until(lambda: colour() == (0, 255, 255) or colour(), "the green added in the folder made again")


def test_a_shader_names_its_own_images_and_an_option_wins(prefix, tmp_path):
    Image.new("RGB", (4, 4), (0, 200, 0)).save(tmp_path / "named.png")
    Image.new("RGB", (4, 4), (0, 0, 200)).save(tmp_path / "given.png")
    text = (b'#iChannel0 "file://named.png"\n#iChannel0::MinFilter "Nearest"\n'
            b"void mainImage(out vec4 c, in vec2 p) { c = vec4(texture(iChannel0, vec2(0.5)).rgb, 1.0); }\n")
    for options, rgb in [((), (0, 200, 0)), (("--channel0", "given.png"), (0, 0, 200))]:
        record(prefix, tmp_path, text, "still.png", "--size", "64x36", *options)
        assert Image.open(tmp_path / "still.png").getpixel((10, 10)) == rgb
    (tmp_path / "shader.frag").write_bytes(b'#iChannel1 "file://bufferA.glsl"\n' + text)
    done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "shader.frag", "still.png"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=60, env=without_display())
    assert (done.returncode, done.stderr) == (
        1, "quillomar-record: cannot read bufferA.glsl: No such file or directory\n")
