"""Files of any name a file system allows, through the installed commands: a name that is not UTF-8 (Latin-1,
as old disks and archives have them) and one that holds a line break, for the shader, its folder, the
buffer pass and the file it includes, and an -I folder (with a colon in its name, too); recorded, shown in
live with their saves followed, and said in messages as the file system has them; and a Shadertoy JSON
imported into files of such names."""
import json
import os
import re
import subprocess

import pytest
from PIL import Image

from conftest import interrupt, start_live, until, without_display
from test_shadertoy import site
from xsession import find_titled_window, grab, open_display, title

pytestmark = pytest.mark.packaging

# Each case's names (bytes): the folder, the Image pass in it, the buffer pass and the included file beside
# it (named by the Image pass's directives, which hold no line break: a backslash and a tab instead, what
# the plan's escapes and fields are made of) and the -I folder; and how the window's title and the log
# show the Image pass, the folder and the included file (a control character as \xNN in both, a byte that
# is no part of UTF-8 as \xNN in the title, as it is in the log).
CASES = {
    "latin-1": {"folder": b"f\xe9lder", "image": b"sh\xe9der.glsl", "buffer": b"buf\xe9.glsl",
                "include": b"inc\xe9.glsl", "folders": b"lib:\xe9", "title": "sh\\xe9der.glsl",
                "logged": [os.fsdecode(b"f\xe9lder"), os.fsdecode(b"sh\xe9der.glsl"), os.fsdecode(b"inc\xe9.glsl")]},
    "line break": {"folder": b"f\nlder", "image": b"sh\nder.glsl", "buffer": b"b\\n\t.glsl",
                   "include": b"inc\\\t.glsl", "folders": b"lib:\n", "title": "sh\\x0ader.glsl",
                   "logged": ["f\\x0alder", "sh\\x0ader.glsl", "inc\\\t.glsl"]},
}
# Each of red, green and blue from another file: the buffer pass, the included file, the one in the -I folder.
IMAGE = (b'#iChannel0 "file://%s"\n#include "%s"\n#include <lib.glsl>\n'
         b"void mainImage(out vec4 c, in vec2 f)\n{\n    c = vec4(texelFetch(iChannel0, ivec2(f), 0).r, green(), blue(), 1.0);\n}\n")
BUFFER = b"void mainImage(out vec4 c, in vec2 f) { c = vec4(1.0, 0.0, 0.0, 1.0); }\n"


def write_shader(tmp_path, case):
    """Writes the case's files; returns the folder."""
    folder, folders = tmp_path / os.fsdecode(case["folder"]), tmp_path / os.fsdecode(case["folders"])
    folder.mkdir()
    folders.mkdir()
    (folder / os.fsdecode(case["image"])).write_bytes(IMAGE % (case["buffer"], case["include"]))
    (folder / os.fsdecode(case["buffer"])).write_bytes(BUFFER)
    (folder / os.fsdecode(case["include"])).write_bytes(b"float green()\n{\n    return 1.0;\n}\n")
    (folders / "lib.glsl").write_bytes(b"float blue() { return 1.0; }\n")
    return folder


def run(prefix, command, *args, cwd):
    return subprocess.run([str(prefix / "bin" / command), *args], cwd=cwd, capture_output=True, timeout=120,
                          env=without_display())


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_a_shader_of_any_name_records_and_is_named_as_it_is(prefix, tmp_path, case):
    folder = write_shader(tmp_path, case)
    shader = case["folder"] + b"/" + case["image"]
    done = run(prefix, "quillomar-record", shader, "still.png", "--size", "64x36", "-I", case["folders"], cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, b"")
    assert Image.open(tmp_path / "still.png").getpixel((5, 5)) == (255, 255, 255)
    (folder / os.fsdecode(case["buffer"])).write_bytes(b"void mainImage(out vec4 c, in vec2 f) { c = nothing; }\n")
    done = run(prefix, "quillomar-record", shader, "still.png", "-I", case["folders"], cwd=tmp_path)
    assert done.returncode == 1 and done.stderr.startswith(b"quillomar-record: %s did not build:\n" % os.fsencode(
        tmp_path.resolve() / os.fsdecode(case["folder"] + b"/" + case["buffer"]))), done.stderr
    done = run(prefix, "quillomar-record", b"no" + case["image"], "still.png", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (1, b"quillomar-record: no%s: no such file\n" % case["image"])


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_live_shows_a_shader_of_any_name_and_follows_its_saves(prefix, xserver, tmp_path, case):
    folder = write_shader(tmp_path, case)
    image, included = folder / os.fsdecode(case["image"]), folder / os.fsdecode(case["include"])
    x = open_display(xserver)
    live = start_live(prefix, xserver, tmp_path, os.fsdecode(case["folder"] + b"/" + case["image"]), "-I",
                      os.fsdecode(case["folders"]))
    try:
        window = find_titled_window(x, case["title"] + " — Quillomar")

        def colour():
            return grab(window, (5, 5, 1, 1)).getpixel((0, 0))
        until(lambda: colour() == (255, 255, 255) or colour(), "the buffer's red, the included green and blue")
        (folder / "new").write_bytes(IMAGE.replace(b"vec4(texelFetch", b"vec4(0.0 * texelFetch") % (
            case["buffer"], case["include"]))
        os.replace(folder / "new", image)
        until(lambda: colour() == (0, 255, 255) or colour(), "the saved shader's picture")
        included.write_bytes(b"float green()\n{\n    return 0.0;\n}\n")
        until(lambda: colour() == (0, 0, 255) or colour(), "the saved included file's picture")
        included.write_bytes(b"float green()\n{\n    return nothing;\n}\n")
        until(lambda: "does not build" in title(x, window) or title(x, window), "the title saying so")
    finally:
        out = interrupt(live)
        x.close()
    shown_folder, shown_image, shown_include = case["logged"]
    assert re.search(r"^──── \d\d:\d\d:\d\d %s/%s: built in" % (re.escape(shown_folder), re.escape(shown_image)), out,
                     re.M), out
    assert "\n%s/%s/%s:3:12: error: `nothing' undeclared\n 3 |     return nothing;\n" % (
        tmp_path.resolve(), shown_folder, shown_include) in out, out


def test_a_json_of_any_name_imports_into_a_folder_of_any_name(prefix, tmp_path):
    media = tmp_path / os.fsdecode(b"m\xe9dia")
    media.mkdir()
    Image.new("RGB", (4, 4), (0, 160, 0)).save(media / "green.png")
    (tmp_path / os.fsdecode(b"sh\xe9.json")).write_text(json.dumps(site()))
    done = run(prefix, "quillomar-import", b"sh\xe9.json", b"o\nut", "--media", b"m\xe9dia", cwd=tmp_path)
    assert (done.returncode, done.stderr, done.stdout) == (0, b"", b"o\nut/common.glsl\no\nut/sh\xe9.glsl\nnext:\n"
                                                           b"    quillomar-live 'o\nut/sh\xe9.glsl'\n"
                                                           b"    quillomar-record 'o\nut/sh\xe9.glsl' clip.mp4\n")
    done = run(prefix, "quillomar-record", b"o\nut/sh\xe9.glsl", "still.png", "--size", "64x36", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, b"")
    assert Image.open(tmp_path / "still.png").getpixel((5, 5)) == (128, 160, 0)
