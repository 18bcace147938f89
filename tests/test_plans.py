"""A shader's passes and the plan its command hands the library, with no display: what each channel's
directives make of it (its kind, and a filter and wrap that default by whether the libraries' kind has
mipmaps), the passes and the order they are drawn in, the plan's lines for a few shaders with their
textures decoded, and the libraries' facts (translate --describe) followed wherever they are needed."""
import os
import struct
import wave

import pytest
from PIL import Image

from quillomar import Failure, facts, plans
from quillomar.directives import Channel, channels_of, image_passes
from quillomar.lines import escaped

pytestmark = pytest.mark.fast


def write(folder, files):
    for name, text in files.items():
        (folder / name).write_text(text)


MAIN = "void mainImage(out vec4 c, in vec2 f) { c = vec4(1.0); }\n"
CUBE = "void mainCubemap(out vec4 c, in vec2 f, in vec3 o, in vec3 d) { c = vec4(d, 1.0); }\n"

# Directives: the channels they give (paths from the shader's folder, "HERE").
DIRECTIVES = {
    "an image, a pass, itself, the keyboard": (
        '#iChannel0 "file://wood.png"\n#iChannel1 "file://b.glsl"\n#iChannel2 "self"\n# iChannel3 "keyboard"\n',
        {0: Channel("image", "wood.png", "mipmap", "repeat"), 1: Channel("pass", "b.glsl", "linear", "clamp"),
         2: Channel("self", None, "linear", "clamp"), 3: Channel("keyboard", None, "linear", "clamp")}),
    "a cube map, a volume, a video, a sound": (
        '#iChannel0 "file://sky_{}.jpg"\n#iChannel0::Type "CubeMap"\n#iChannel1 "v.bin"\n'
        '#iChannel2 "file://clip.webm"\n#iChannel3 "file://tune.ogg"\n',
        {0: Channel("cube", "sky_{}.jpg", "mipmap", "repeat"), 1: Channel("volume", "v.bin", "mipmap", "repeat"),
         2: Channel("video", "clip.webm", "mipmap", "repeat"), 3: Channel("sound", "tune.ogg", "linear", "clamp")}),
    "settings": (
        '#iChannel0 "file://a.png"\n#iChannel0::MinFilter "NearestMipMapNearest"\n#iChannel0::WrapMode "Mirror"\n'
        '#iChannel1 "file://stream"\n#iChannel1::Type "Sound"\n#iChannel1::MagFilter "Nearest"\n'
        '#iChannel2 "file://b.png"\n#iChannel2::VFlip "false"\n#iChannel2::WrapMode "Clamp"\n'
        '#iChannel3 "file://s.glsl"\n#iChannel3::MinFilter "Linear"\n#iChannel3::WrapMode "Repeat"\n',
        {0: Channel("image", "a.png", "mipmap", "mirror"), 1: Channel("sound", "stream", "nearest", "clamp"),
         2: Channel("image", "b.png", "mipmap", "clamp", False), 3: Channel("self", None, "linear", "repeat")}),
    "heard": ('#iChannel0 "mic"\n#iChannel1 "desktop"\n',
              {0: Channel("capture", "@DEFAULT_SOURCE@", "linear", "clamp"),
               1: Channel("capture", "@DEFAULT_MONITOR@", "linear", "clamp")}),
}


@pytest.mark.parametrize("text, expected", DIRECTIVES.values(), ids=DIRECTIVES.keys())
def test_directives_give_each_channel_its_kind_filter_and_wrap(tmp_path, text, expected):
    def here(c):  # a file's path is taken from the shader's folder
        return c._replace(path=tmp_path / c.path) if c.path and not c.path.startswith("@") else c
    assert channels_of(tmp_path / "s.glsl", text) == {n: here(c) for n, c in expected.items()}


def test_passes_in_the_order_they_are_drawn(tmp_path):
    # Image reads a (which reads b), a cube map pass, and makes sound; #iPasses puts b after a.
    write(tmp_path, {"image.glsl": '#iChannel0 "file://a.glsl"\n#iChannel1 "file://cube.glsl"\n#iSound "s.glsl"\n'
                                   + MAIN,
                     "a.glsl": '#iChannel0 "file://b.glsl"\n' + MAIN, "b.glsl": MAIN, "cube.glsl": CUBE,
                     "s.glsl": "vec2 mainSound(int s, float t) { return vec2(0.0); }\n"})
    drawn = [(p.path.name, p.kind) for p in image_passes(tmp_path / "image.glsl")]
    assert drawn == [("s.glsl", "sound"), ("b.glsl", "buffer"), ("a.glsl", "buffer"), ("cube.glsl", "cube"),
                     ("image.glsl", "image")]
    (tmp_path / "image.glsl").write_text('#iChannel0 "file://a.glsl"\n#iPasses "a.glsl" "b.glsl"\n' + MAIN)
    assert [p.path.name for p in image_passes(tmp_path / "image.glsl")] == ["a.glsl", "b.glsl", "image.glsl"]
    # A cube map pass is one of the mainCubemap dialect as the libraries have it: under #version it is not.
    (tmp_path / "cube.glsl").write_text("#version 330 core\nout vec4 o;\n" + CUBE + "void main() {}\n")
    (tmp_path / "image.glsl").write_text('#iChannel0 "file://cube.glsl"\n' + MAIN)
    assert [p.kind for p in image_passes(tmp_path / "image.glsl")] == ["buffer", "image"]


def test_as_many_passes_as_the_libraries_draw_and_no_more(tmp_path):
    most = facts.get().most_passes
    assert most == 16
    # A chain: each buffer reads the next.
    for n in range(most):
        (tmp_path / ("p%d.glsl" % n)).write_text('#iChannel0 "file://p%d.glsl"\n' % (n + 1) + MAIN)
    (tmp_path / ("p%d.glsl" % most)).write_text(MAIN)
    with pytest.raises(Failure, match="has 17 passes; 16 at most"):
        image_passes(tmp_path / "p0.glsl")
    (tmp_path / ("p%d.glsl" % (most - 1))).write_text(MAIN)
    assert len(image_passes(tmp_path / "p0.glsl")) == most


def sound_file(path, seconds, rate=22050):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(struct.pack("<%dh" % int(seconds * rate), *([8000] * int(seconds * rate))))


def plan_lines(plan, workdir):
    """The plan's lines, with workdir and the shader's folder as WORK and HERE."""
    return os.fsdecode(plan.read_bytes()).replace(escaped(workdir), "WORK").split("\n")


def test_the_plan_of_a_shader_with_buffers_and_textures_of_each_kind(tmp_path):
    here, work = tmp_path / "here", tmp_path / "work"
    here.mkdir()
    work.mkdir()
    Image.new("RGB", (3, 2), (10, 20, 30)).save(here / "wood.png")
    Image.new("RGB", (8, 6), (1, 2, 3)).save(here / "cross.png")
    (here / "v.bin").write_bytes(b"BIN\0" + (2).to_bytes(4, "little") * 3 + bytes([1, 0, 0, 0]) + bytes(8))
    sound_file(here / "tune.wav", 0.5)
    write(here, {"image.glsl": '#iKeyboard\n#iChannel0 "file://b.glsl"\n#iChannel1 "file://wood.png"\n'
                               '#iChannel2 "self"\n#iChannel3 "file://tune.wav"\n' + MAIN,
                 "b.glsl": '#iChannel0 "self"\n#iChannel1 "file://cross.png"\n#iChannel1::Type "CubeMap"\n'
                           '#iChannel2 "file://v.bin"\n#iChannel2::MinFilter "Nearest"\n'
                           '#iChannel3 "file://wood.png"\n' + MAIN})
    image, plan, ordered, said = plans.prepare(here / "image.glsl", work)
    assert (image, [p.kind for p in ordered], said) == (here / "image.glsl", ["buffer", "image"], [])
    b, i = escaped(here / "b.glsl"), escaped(here / "image.glsl")
    assert plan_lines(plan, work) == [
        "texture\tkeyboard\t256x3\tWORK/texture0.raw",
        "texture\tcube\t2x2\tWORK/texture1.raw",
        "texture\tvolume\t2x2x2\tWORK/texture2.raw",
        "texture\timage\t3x2\tWORK/texture3.raw",
        "texture\tsound\t512x2\tWORK/sound0.raw\t44100",
        "pass\tbuffer\t" + b,
        "channel\t0\tpass\t0\tlinear\tclamp",
        "channel\t1\ttexture\t1\tmipmap\trepeat",
        "channel\t2\ttexture\t2\tnearest\trepeat",
        "channel\t3\ttexture\t3\tmipmap\trepeat",
        "pass\timage\t" + i,
        "channel\t0\tpass\t0\tlinear\tclamp",
        "channel\t1\ttexture\t3\tmipmap\trepeat",
        "channel\t2\tself\t0\tlinear\tclamp",
        "channel\t3\ttexture\t4\tlinear\tclamp",
        ""]
    # Each texture's data as the library reads it: the sound at the libraries' rate, mono 32-bit floats.
    assert (work / "texture0.raw").read_bytes() == b""
    assert len((work / "texture1.raw").read_bytes()) == 2 * 2 * 4 * 6
    assert (work / "texture2.raw").read_bytes() == b"\0\0\0\xff" * 8
    assert (work / "texture3.raw").read_bytes() == bytes([10, 20, 30, 255]) * 6
    assert abs(len((work / "sound0.raw").read_bytes()) - 4 * 44100 // 2) <= 4 * 64


def test_a_sound_as_it_is_heard_is_a_pipe_in_live_and_refused_in_a_recording(tmp_path):
    write(tmp_path, {"image.glsl": '#iChannel1 "mic"\n' + MAIN})
    ordered = image_passes(tmp_path / "image.glsl")
    asked = []
    plan = plans.write_plan(ordered, tmp_path, capture=lambda source: asked.append(source) or 9)
    assert (asked, plan_lines(plan, tmp_path)[0]) == (["@DEFAULT_SOURCE@"], "texture\tcapture\t512x2\tfd:9\t44100")
    with pytest.raises(Failure, match="the sound for iChannel1, @DEFAULT_SOURCE@: a sound as it is heard is not "
                                      "the same twice"):
        plans.write_plan(ordered, tmp_path)


def test_every_kind_the_libraries_read_is_decoded_here():
    assert list(plans.DECODERS) == list(facts.get().kinds)


def test_the_directives_and_the_plan_follow_the_libraries_facts(tmp_path, monkeypatch):
    """What translate describes is what is followed: another rate, other sizes, fewer passes, a kind
    without mipmaps, another number of sides."""
    real = facts.get()
    kinds = dict(real.kinds, image=real.kinds["image"]._replace(mipmaps=False))
    monkeypatch.setattr(facts, "get", lambda: real._replace(sample_rate=8000, sound_texture=(64, 2),
                                                            keyboard_texture=(128, 4), most_passes=2, channels=2,
                                                            kinds=kinds))
    sound_file(tmp_path / "tune.wav", 0.5)
    Image.new("RGB", (1, 1)).save(tmp_path / "a.png")
    write(tmp_path, {"image.glsl": '#iKeyboard\n#iChannel0 "file://tune.wav"\n#iChannel1 "file://a.png"\n' + MAIN,
                     "b.glsl": MAIN, "c.glsl": '#iChannel0 "file://b.glsl"\n' + MAIN})
    plan = plans.write_plan(image_passes(tmp_path / "image.glsl"), tmp_path)
    assert plan_lines(plan, tmp_path)[:3] == ["texture\tkeyboard\t128x4\tWORK/texture0.raw",
                                              "texture\tsound\t64x2\tWORK/sound0.raw\t8000",
                                              "texture\timage\t1x1\tWORK/texture2.raw"]
    assert plan_lines(plan, tmp_path)[-2:] == ["channel\t1\ttexture\t2\tlinear\tclamp", ""]
    assert abs(len((tmp_path / "sound0.raw").read_bytes()) - 4 * 8000 // 2) <= 4 * 64
    (tmp_path / "image.glsl").write_text('#iChannel0 "file://c.glsl"\n' + MAIN)
    with pytest.raises(Failure, match="has 3 passes; 2 at most"):
        image_passes(tmp_path / "image.glsl")
    with pytest.raises(Failure, match="there is no channel 2: the channels are 0 to 1"):
        channels_of(tmp_path / "image.glsl", '#iChannel2 "self"\n')
    monkeypatch.setattr(facts, "get", lambda: real._replace(kinds=dict(
        real.kinds, volume=real.kinds["volume"]._replace(dimensions=2))))
    (tmp_path / "v.bin").write_bytes(b"BIN\0" + (1).to_bytes(4, "little") * 3 + bytes([4, 0, 0, 0]) + bytes(4))
    write(tmp_path, {"image.glsl": '#iChannel0 "file://v.bin"\n' + MAIN})
    with pytest.raises(Failure, match="a size of 3 numbers, where the libraries read 2 for a volume"):
        plans.write_plan(image_passes(tmp_path / "image.glsl"), tmp_path)
