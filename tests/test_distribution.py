"""What is shipped beside the program: the examples, the guide's mainImage prelude, the headless run, the
install tree with its manual, and the Debian package."""
import os
import re
import subprocess

import pytest
from PIL import Image, ImageStat

from conftest import BUILD, REPO, near, without_display
from quillomar.channels import header_options
from quillomar.dialects import dialect
from xsession import grab

pytestmark = pytest.mark.packaging


def lively(image):
    """True for a picture with real variation in it, not one flat or nearly flat colour."""
    small = image.convert("RGB").resize((192, 108))
    return sum(ImageStat.Stat(small).stddev) > 20 and len(small.getcolors(192 * 108)) > 100


@pytest.mark.parametrize("path", sorted((REPO / "examples").glob("*.glsl")), ids=lambda p: p.stem)
def test_example_renders_a_varied_picture_without_gl_errors(run_viewer, prefix, tmp_path, path):
    shader = path.read_bytes()
    assert shader.startswith((b"#version 330 core\n//", b"//")), "each example starts with a header comment"
    if dialect(shader) == "none":
        v = run_viewer(shader)
        v.find_window()
        v.wait_for(lambda: lively(grab(v.window)), what="a varied picture")
        assert v.hold_escape() == (0, shader + b"\n", b"")
        return
    # A mainImage example is for the companion commands, with the channels its header names.
    done = subprocess.run([str(prefix / "bin" / "quillomar-record"), str(path), "still.png", "--from", "2",
                           "--size", "960x540", *header_options(shader, REPO)],
                          cwd=tmp_path, env=without_display(), capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, "") and lively(Image.open(tmp_path / "still.png"))


def test_the_guides_prelude_maps_fragcoord_onto_the_window(run_viewer):
    blocks = re.findall(r"```glsl\n(.*?)```", (REPO / "docs" / "web-shaders.md").read_text(), re.S)
    prelude, = [b for b in blocks if "#define iResolution" in b]
    assert prelude.split("\n", 1)[1] in (REPO / "examples" / "julia.glsl").read_text()
    shader = (prelude + "void mainImage(out vec4 fragColor, in vec2 fragCoord)\n{\n    fragColor = vec4("
              "fragCoord / iResolution.xy, iTime > 0.0 ? 1.0 : 0.0, 1.0);\n}\n").encode()
    v = run_viewer(shader)
    v.find_window()
    points = [(0, 0), (1919, 0), (0, 1079), (1919, 1079), (960, 540)]
    expected = [(0, 255, 255), (255, 255, 255), (0, 0, 255), (255, 0, 255), (128, 127, 255)]
    v.wait_for(lambda: all(map(near, v.pixels(points), expected)), what="fragCoord mapped onto the window")
    assert v.hold_escape() == (0, shader + b"\n", b"")


def test_headless_run_command_saves_a_full_size_picture():
    done = subprocess.run([str(REPO / "tools" / "run")], env=without_display(), capture_output=True, timeout=300)
    assert done.returncode == 0, done.stderr.decode()
    out = done.stdout.decode()
    assert (REPO / "test.glsl").read_text() + "\n" in out, "the viewer's echo passes through"
    saved = re.search(r"^Saved a 1920x1080 picture of the viewer's frame at iTime 4 to (.+\.png)$", out, re.M)
    picture = Image.open(saved[1])
    assert picture.size == (1920, 1080) and lively(picture)


def test_installed_viewer_runs_and_the_manual_has_a_page_for_each_program(run_viewer, prefix):
    commands = ("quillomar-live", "quillomar-record", "quillomar-import", "quillomar-join")
    for name, says in [("quillomar", ["test.glsl", "iTime", "Escape", "255"]), ("quillomar-live", ["--session"]),
                       ("quillomar-record", ["--fps", "--replay"]), ("quillomar-import", ["--force"]),
                       ("quillomar-join", ["PART"])]:
        page = subprocess.run(["man", "-l", "man1/%s.1.gz" % name], cwd=prefix / "share" / "man", capture_output=True,
                              text=True, timeout=30, env=dict(os.environ, MANWIDTH="1000")).stdout
        words = " ".join(page.split())
        assert words.startswith("%s(1)" % name.upper()) and ("NAME %s - " % name) in words, name
        assert all(word in words for word in says), name
        others = [other for other in ("quillomar",) + commands if other != name]
        assert all("%s(1)" % other in words.partition("SEE ALSO")[2] for other in others), name
    shader = b"#version 330 core\nout vec4 c;\nvoid main() { c = vec4(0.0, 1.0, 0.0, 1.0); }\n"
    v = run_viewer(shader, binary=prefix / "bin" / "quillomar")
    v.find_window()
    v.wait_for(lambda: v.pixels([(100, 100)]) == [(0, 255, 0)], what="the green frame")
    assert v.hold_escape() == (0, shader + b"\n", b"")


def package_of(soname):
    found = subprocess.run(["dpkg", "-S", "*/x86_64-linux-gnu/" + soname], capture_output=True, text=True).stdout
    return {line.split(":")[0] for line in found.splitlines()}


def test_deb_holds_the_commands_names_what_they_need_and_passes_lintian(tmp_path):
    def cpack(**maintainer):
        return subprocess.run(["cpack", "-G", "DEB", "--config", str(BUILD / "CPackConfig.cmake"), "-B",
                               str(tmp_path)], capture_output=True, text=True, timeout=120, env=dict(
            {k: v for k, v in os.environ.items() if k not in ("DEBFULLNAME", "DEBEMAIL", "NAME", "EMAIL")},
            **maintainer))

    # The Maintainer is whoever builds the package, as Debian's tools take it; nobody is made up.
    refused = cpack()
    assert refused.returncode != 0 and "set DEBFULLNAME to your name and DEBEMAIL" in " ".join(refused.stderr.split())
    assert cpack(DEBFULLNAME="Ada Tester", DEBEMAIL="ada@example.org").returncode == 0
    deb, = tmp_path.glob("quillomar_*.deb")
    contents = subprocess.run(["dpkg-deb", "-c", str(deb)], capture_output=True, text=True, check=True).stdout
    for path in ("bin/quillomar", "bin/quillomar-live", "bin/quillomar-record", "bin/quillomar-import",
                 "bin/quillomar-join", "lib/quillomar/translate", "share/man/man1/quillomar-import.1.gz",
                 "share/man/man1/quillomar-join.1.gz",
                 "lib/quillomar/python/quillomar/paths.py", "lib/quillomar/python/quillomar/live.py",
                 "lib/quillomar/preload/libquillomar-live.so", "lib/quillomar/preload/libquillomar-record.so",
                 "lib/quillomar/preload/libquillomar-headless.so",
                 "share/man/man1/quillomar.1.gz", "share/doc/quillomar/copyright", "share/doc/quillomar/changelog.gz"):
        assert " ./usr/%s" % path in contents
    fields = {f: subprocess.run(["dpkg-deb", "-f", str(deb), f], capture_output=True, text=True).stdout.strip()
              for f in ("Depends", "Recommends", "Maintainer")}
    assert fields["Maintainer"] == "Ada Tester <ada@example.org>"
    dynamic = subprocess.run(["readelf", "-d", str(BUILD / "quillomar"), str(BUILD / "libquillomar-record.so"),
                              str(BUILD / "libquillomar-headless.so"), str(BUILD / "libquillomar-live.so")],
                             capture_output=True, text=True).stdout
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic))
    assert "libglfw.so.3" in needed
    # Either GLFW will do, the one for X11 or the one for Wayland; everything else as dpkg-shlibdeps has it.
    depends = [d.strip() for d in fields["Depends"].split(",")]
    assert "libglfw3 (>= 3.3) | libglfw3-wayland (>= 3.3)" in depends
    assert {d.split()[0] for d in depends} == {"python3", "python3-numpy"}.union(*map(package_of, needed))
    assert {d.strip() for d in fields["Recommends"].split(",")} == {"ffmpeg", "python3-pil", "python3-scipy",
                                                                    "fonts-dejavu-core"}
    checked = subprocess.run(["lintian", "--fail-on", "error,warning", "--tag-display-limit", "0", str(deb)],
                             capture_output=True, text=True, timeout=300)
    assert checked.returncode == 0 and not re.search(r"^[EW]: ", checked.stdout, re.M), checked.stdout
