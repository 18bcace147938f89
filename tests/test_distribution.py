"""What a newcomer gets: the examples, the mainImage prelude from README, the headless run, install and .deb."""
import os
import re
import subprocess

import pytest
from PIL import ImageStat

from conftest import BINARY, REPO, near

pytestmark = pytest.mark.packaging

EXAMPLES = sorted((REPO / "examples").glob("*.glsl"))
BUILD = BINARY.parent


def lively(image):
    """True for a picture with real variation in it, not one flat or nearly flat colour."""
    small = image.resize((192, 108))
    return sum(ImageStat.Stat(small).stddev) > 20 and len(small.getcolors(192 * 108)) > 100


@pytest.mark.parametrize("path", EXAMPLES, ids=[p.stem for p in EXAMPLES])
def test_example_builds_and_renders_without_gl_errors(run_viewer, path):
    shader = path.read_bytes()
    assert shader.startswith(b"#version 330 core\n//"), "each example starts with a header comment"
    v = run_viewer(shader)
    v.find_window()
    v.wait_for(lambda: lively(v.screenshot()), what="a varied picture")
    assert v.hold_escape() == (0, shader + b"\n", b"")


def readme_prelude():
    readme = (REPO / "README.md").read_text()
    blocks = re.findall(r"```glsl\n(.*?)```", readme, re.S)
    found = [b for b in blocks if "#define iResolution" in b]
    assert len(found) == 1, "README shows the mainImage prelude once"
    return found[0]


# Red and green are fragCoord / iResolution.xy, blue is 1 once iTime has moved on from 0.
MAIN_IMAGE = """
void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    fragColor = vec4(fragCoord / iResolution.xy, iTime > 0.0 ? 1.0 : 0.0, 1.0);
}
"""


def test_readme_prelude_runs_a_mainimage_shader(run_viewer):
    shader = (readme_prelude() + MAIN_IMAGE).encode()
    v = run_viewer(shader)
    v.find_window()
    points = [(0, 0), (1919, 0), (0, 1079), (1919, 1079), (960, 540)]
    expected = [(0, 255, 255), (255, 255, 255), (0, 0, 255), (255, 0, 255), (128, 127, 255)]
    v.wait_for(lambda: all(near(g, e) for g, e in zip(v.pixels(points), expected)),
               what="fragCoord mapped onto the window")
    assert v.hold_escape() == (0, shader + b"\n", b"")
    # The example written in that style carries the same prelude below its version line and header.
    body = readme_prelude().split("\n", 1)[1]
    assert body in (REPO / "examples" / "julia.glsl").read_text()


def test_headless_run_command_saves_a_full_size_picture():
    from PIL import Image
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    done = subprocess.run([str(REPO / "tools" / "run")], env=env, capture_output=True, timeout=300)
    assert done.returncode == 0, done.stderr.decode()
    out = done.stdout.decode()
    assert (REPO / "test.glsl").read_text() + "\n" in out, "the viewer's echo passes through"
    saved = re.search(r"^Saved a 1920x1080 picture of the viewer's window to (.+\.png)$", out, re.M)
    assert saved, out
    picture = Image.open(saved[1])
    assert picture.size == (1920, 1080)
    assert lively(picture.convert("RGB"))


def test_install_to_a_prefix_runs_from_there(run_viewer, tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(prefix)], check=True,
                   capture_output=True, timeout=60)
    assert (prefix / "share" / "man" / "man1" / "quillomar.1").is_file()
    page = subprocess.run(["man", "-l", str(prefix / "share" / "man" / "man1" / "quillomar.1")],
                          capture_output=True, timeout=30, env=dict(os.environ, MANWIDTH="80"))
    assert b"test.glsl" in page.stdout
    installed = prefix / "bin" / "quillomar"
    shader = b"#version 330 core\nout vec4 c;\nvoid main() { c = vec4(0.0, 1.0, 0.0, 1.0); }\n"
    v = run_viewer(shader, binary=installed)
    v.find_window()
    v.wait_for(lambda: v.pixels([(100, 100)]) == [(0, 255, 0)], what="the green frame")
    assert v.hold_escape() == (0, shader + b"\n", b"")


def package_of(soname):
    """The Debian package that holds the native library of that soname."""
    triplet = subprocess.run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"], capture_output=True, text=True,
                             check=True).stdout.strip()
    found = subprocess.run(["dpkg", "-S", "*/%s/%s" % (triplet, soname)], capture_output=True, text=True,
                           timeout=30)
    return {line.split(":")[0] for line in found.stdout.splitlines()}


def test_deb_depends_on_the_packages_of_the_linked_libraries(tmp_path):
    subprocess.run(["cpack", "-G", "DEB", "--config", str(BUILD / "CPackConfig.cmake"), "-B", str(tmp_path)],
                   check=True, capture_output=True, timeout=120)
    deb, = tmp_path.glob("quillomar_*.deb")
    contents = subprocess.run(["dpkg-deb", "-c", str(deb)], capture_output=True, text=True, check=True).stdout
    assert "./usr/bin/quillomar\n" in contents
    assert "./usr/share/man/man1/quillomar.1\n" in contents
    depends = subprocess.run(["dpkg-deb", "-f", str(deb), "Depends"], capture_output=True, text=True,
                             check=True).stdout
    depends = {d.split()[0] for d in depends.split(",")}

    dynamic = subprocess.run(["readelf", "-d", str(BINARY)], capture_output=True, text=True, check=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic)
    assert "libglfw.so.3" in needed
    wanted = set()
    for soname in needed:
        wanted |= package_of(soname)
    assert depends == wanted
