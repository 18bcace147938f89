"""A folder in the site's layout given where a shader file goes: its files recognised in any spelling,
Common in every pass, the buffers drawn A, B, C, D, a buffer no pass reads said with the directive that
would read it, Common's errors located in Common.glsl, and in live a save of Common.glsl, a buffer added
and Common made anew shown."""
import subprocess

import pytest
from PIL import Image

from conftest import live_window, until, without_display
from quillomar import Failure, folders

COMMON = "const float LEVEL = 0.5;\nvec4 level(float r)\n{\n    return vec4(r, LEVEL, 0.0, 1.0);\n}\n"
# Buffer A reads Buffer B, which the site draws after it: at the first frame, B's picture is still black.
# The Image pass reads A through channel 1, leaving channel 0 free; Buffer C is read by no pass.
FOLDER = {
    "Common.glsl": COMMON,
    "buffer a.glsl": '#iChannel0 "file://BufferB.glsl"\nvoid mainImage(out vec4 c, in vec2 f)\n'
                     "{\n    c = level(0.25) + vec4(0.0, 0.0, texelFetch(iChannel0, ivec2(f), 0).r, 0.0);\n}\n",
    "BufferB.glsl": "void mainImage(out vec4 c, in vec2 f) { c = vec4(1.0); }\n",
    "Buffer_C.glsl": "void mainImage(out vec4 c, in vec2 f) { c = vec4(1.0); }\n",
    "IMAGE.GLSL": '#iChannel1 "file://buffer a.glsl"\nvoid mainImage(out vec4 c, in vec2 f)\n'
                  "{\n    vec4 a = texelFetch(iChannel1, ivec2(f), 0);\n    c = vec4(a.r, LEVEL, a.b, 1.0);\n}\n",
}


def write(folder, files):
    folder.mkdir(exist_ok=True)
    for name, text in files.items():
        (folder / name).write_text(text)


def record(prefix, cwd, *args):
    return subprocess.run([str(prefix / "bin" / "quillomar-record"), *args], cwd=cwd, capture_output=True,
                          text=True, timeout=120, env=without_display())


@pytest.mark.fast
def test_the_sites_file_names_in_any_spelling(tmp_path):
    spellings = {"Image.glsl": "Image", "image.glsl": "Image", "IMAGE.GLSL": "Image", "Common.glsl": "Common",
                 "Buffer A.glsl": "Buffer A", "BufferA.glsl": "Buffer A", "buffer a.glsl": "Buffer A",
                 "Buffer_B.glsl": "Buffer B", "buffer-d.glsl": "Buffer D", "Cube A.glsl": "Cube A",
                 "cubea.glsl": "Cube A", "Sound.glsl": "Sound",
                 "Buffer E.glsl": None, "Image.frag": None, "Imagery.glsl": None, "Image": None, "image.glsl.bak": None}
    assert {name: folders.role(name) for name in spellings} == spellings
    write(tmp_path / "two", {"Buffer A.glsl": "", "buffera.glsl": "", "Image.glsl": ""})
    with pytest.raises(Failure, match="has both Buffer A.glsl and buffera.glsl for Buffer A: keep one"):
        folders.folder_passes(tmp_path / "two")
    write(tmp_path / "none", {"Common.glsl": ""})
    with pytest.raises(Failure, match="has no Image.glsl"):
        folders.folder_passes(tmp_path / "none")


@pytest.mark.fast
def test_a_folders_passes_in_the_sites_order_each_with_common_first(tmp_path):
    folder = tmp_path / "shader"
    write(folder, dict(FOLDER, **{"Sound.glsl": "vec2 mainSound(int s, float t) { return vec2(0.0); }\n",
                                  "notes.glsl": ""}))
    ordered, said = folders.folder_passes(folder)
    assert [(p.path.name, p.kind, p.first) for p in ordered] == [
        ("Sound.glsl", "sound", (folder / "Common.glsl",)), ("buffer a.glsl", "buffer", (folder / "Common.glsl",)),
        ("BufferB.glsl", "buffer", (folder / "Common.glsl",)), ("IMAGE.GLSL", "image", (folder / "Common.glsl",))]
    assert said == ['Buffer_C.glsl is not read by any pass: to read it in IMAGE.GLSL, write #iChannel0 '
                    '"file://Buffer_C.glsl" (a free channel)']
    # Image.glsl's own order wins; with every channel of the Image pass taken, a buffer with a free one
    # is named.
    reads = ["buffer a.glsl", "BufferB.glsl", "buffer a.glsl", "BufferB.glsl"]
    write(folder, {"IMAGE.GLSL": "".join('#iChannel%d "file://%s"\n' % (n, f) for n, f in enumerate(reads))
                   + '#iPasses "BufferB.glsl" "buffer a.glsl"\n'})
    ordered, said = folders.folder_passes(folder)
    assert [p.path.name for p in ordered] == ["Sound.glsl", "BufferB.glsl", "buffer a.glsl", "IMAGE.GLSL"]
    assert said == ['Buffer_C.glsl is not read by any pass: to read it in BufferB.glsl, write #iChannel0 '
                    '"file://Buffer_C.glsl" (a free channel)']
    # Two buffers that no pass reads are offered two channels.
    write(folder, {"IMAGE.GLSL": '#iChannel3 "file://buffer a.glsl"\n', "Buffer D.glsl": ""})
    assert folders.folder_passes(folder)[1] == [
        'Buffer_C.glsl is not read by any pass: to read it in IMAGE.GLSL, write #iChannel0 "file://Buffer_C.glsl" '
        '(a free channel)',
        'Buffer D.glsl is not read by any pass: to read it in IMAGE.GLSL, write #iChannel1 "file://Buffer D.glsl" '
        '(a free channel)']


def test_a_folder_is_recorded_as_one_shader_with_common_in_every_pass(prefix, tmp_path):
    write(tmp_path / "shader", FOLDER)
    done = record(prefix, tmp_path, "shader", "still.png", "--size", "64x36")
    assert done.returncode == 0, done.stderr
    # Common's LEVEL in the Image pass and, through level(), in Buffer A, which drew before Buffer B.
    assert Image.open(tmp_path / "still.png").convert("RGB").getpixel((5, 5)) == (64, 128, 0)
    assert done.stderr == ('quillomar-record: shader: Buffer_C.glsl is not read by any pass: to read it in '
                           'IMAGE.GLSL, write #iChannel0 "file://Buffer_C.glsl" (a free channel)\n')
    # Nothing was written into the folder.
    assert sorted(p.name for p in (tmp_path / "shader").iterdir()) == sorted(FOLDER)
    # A pass that includes Common.glsl itself, as one written to be built alone does (either form), has it
    # once; one that includes it only where a macro says so has it put first.
    for first in ('#include "Common.glsl"\n', '#include <Common.glsl>\n',
                  '#ifdef STANDALONE\n#include "Common.glsl"\n#endif\n'):
        write(tmp_path / "shader", {"buffer a.glsl": first + FOLDER["buffer a.glsl"]})
        done = record(prefix, tmp_path, "shader", "again.png", "--size", "64x36")
        assert done.returncode == 0, done.stderr
        assert Image.open(tmp_path / "again.png").convert("RGB").getpixel((5, 5)) == (64, 128, 0)


def test_an_error_in_common_is_located_in_common(prefix, tmp_path):
    write(tmp_path / "shader", dict(FOLDER, **{"Common.glsl": COMMON.replace("LEVEL, 0.0", "LEVL, 0.0")}))
    done = record(prefix, tmp_path, "shader", "still.png", "--size", "64x36")
    assert done.returncode == 1 and not (tmp_path / "still.png").exists()
    located = [line for line in done.stderr.split("\n") if "error:" in line]
    assert located and located[0].startswith("shader/Common.glsl:4:20: error: `LEVL' undeclared"), done.stderr


def test_live_shows_a_save_of_common(prefix, xserver, tmp_path):
    write(tmp_path / "shader", FOLDER)
    said = []
    with live_window(prefix, xserver, tmp_path, "shader", said) as (x, window, colour):
        until(lambda: colour() == (64, 128, 255) or colour(), "the folder's picture")
        (tmp_path / "shader" / "Common.glsl").write_text(COMMON.replace("0.5", "1.0"))
        until(lambda: colour() == (64, 255, 255) or colour(), "the picture of the saved Common")
        # A buffer added to the folder is drawn once a save of the Image pass reads it.
        write(tmp_path / "shader", {"Buffer D.glsl": "void mainImage(out vec4 c, in vec2 f) { c = level(1.0); }\n"})
        write(tmp_path / "shader", {"IMAGE.GLSL": '#iChannel0 "file://Buffer D.glsl"\n' + FOLDER["IMAGE.GLSL"].replace(
            "vec4(a.r,", "vec4(texelFetch(iChannel0, ivec2(f), 0).r - a.r,")})
        until(lambda: colour() == (191, 255, 255) or colour(), "the picture with the buffer added")
        # Common taken away and written again under another spelling: every pass includes the new file.
        (tmp_path / "shader" / "Common.glsl").unlink()
        write(tmp_path / "shader", {"common.glsl": COMMON})
        until(lambda: colour() == (191, 128, 255) or colour(), "the picture of the new common.glsl")
    assert "shader/buffer a.glsl: built in" in said[0], said[0]
    assert "shader/Buffer D.glsl: built in" in said[0], said[0]
