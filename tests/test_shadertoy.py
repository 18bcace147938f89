"""Shadertoy's JSON given straight to the commands, in the site's form and the API's: the Image pass with
Common before it and its image channels from a media folder; what is not drawn yet said in one message;
in live, a save of the JSON shown; and quillomar-import, whose files draw what the JSON draws."""
import json
import re
import subprocess
from pathlib import Path

import numpy as np

import pytest
from PIL import Image

from conftest import interrupt, start_live, until, without_display
from quillomar import Failure, importer, site_media
from quillomar.shadertoy import load, media_folders
from xsession import find_titled_window, grab, open_display, title

IMAGE = "void mainImage(out vec4 c, in vec2 p) { c = vec4(half_red(), texture(iChannel0, vec2(0.5)).g, 0.0, 1.0); }\n"


def site(image=IMAGE, extra=()):
    """A shader as the site's own JSON has it: Image reading a texture, and Common."""
    return {"ver": "0.1", "info": {"id": "test", "name": "test"}, "renderpass": [
        {"inputs": [{"id": "1", "filepath": "/media/a/green.png", "type": "texture", "channel": 0,
                     "sampler": {"filter": "mipmap", "wrap": "repeat", "vflip": "true"}}],
         "outputs": [{"id": "o", "channel": 0}], "code": image, "name": "Image", "type": "image"},
        {"inputs": [], "outputs": [], "code": "float half_red() { return 0.5; }\n", "name": "Common",
         "type": "common"}, *extra]}


def api(code):
    """A shader as the public API gives it."""
    return {"Shader": {"ver": "0.1", "info": {}, "renderpass": [
        {"inputs": [{"id": "9", "src": "/media/a/x.png", "ctype": "texture", "channel": 1}], "outputs": [],
         "code": code, "name": "Image", "type": "image"}]}}


@pytest.mark.fast
def test_both_forms_give_the_passes_and_their_inputs(tmp_path):
    (tmp_path / "site.json").write_text(json.dumps(site()))
    (tmp_path / "api.json").write_text(json.dumps(api("x")))
    image, common = load(tmp_path / "site.json")
    assert (image.kind, image.name, [i[:4] for i in image.inputs], image.outputs, common.kind, common.code) == (
        "image", "Image", [(0, "texture", "/media/a/green.png", "1")], ["o"], "common",
        "float half_red() { return 0.5; }\n")
    assert image.inputs[0].sampler["filter"] == "mipmap"
    assert load(tmp_path / "api.json") == [("image", "Image", "x", [(1, "texture", "/media/a/x.png", "9", {})], [])]
    (tmp_path / "not.json").write_text('{"info": {}}')
    with pytest.raises(Failure, match="has no renderpass"):
        load(tmp_path / "not.json")
    # A channel written as a string, as some exports have it.
    (tmp_path / "string.json").write_text(json.dumps(api("x")).replace('"channel": 1', '"channel": "1"'))
    assert load(tmp_path / "string.json")[0].inputs[0].channel == 1


@pytest.mark.fast
def test_media_folders_are_those_given_and_those_of_the_setting_that_are_there(tmp_path, monkeypatch):
    monkeypatch.setenv("QUILLOMAR_MEDIA", "%s:%s" % (tmp_path / "unmounted", tmp_path))
    assert media_folders([str(tmp_path)]) == [tmp_path, tmp_path]
    with pytest.raises(Failure, match="--media %s: no such folder" % (tmp_path / "mistyped")):
        media_folders([str(tmp_path / "mistyped")])


def record(prefix, tmp_path, data, *options, output="still.png"):
    (tmp_path / "shader.json").write_text(json.dumps(data))
    return subprocess.run([str(prefix / "bin" / "quillomar-record"), "shader.json", output, "--size", "64x36",
                           *options], cwd=tmp_path, capture_output=True, text=True, timeout=120,
                          env=without_display())


def test_a_json_is_recorded_with_common_and_its_media(prefix, tmp_path):
    (tmp_path / "media").mkdir()
    Image.new("RGB", (4, 4), (0, 160, 0)).save(tmp_path / "media" / "green.png")
    done = record(prefix, tmp_path, site(), "--media", "media")
    assert (done.returncode, done.stderr) == (0, "")
    assert Image.open(tmp_path / "still.png").getpixel((5, 5)) == (128, 160, 0)
    done = record(prefix, tmp_path, api("void mainImage(out vec4 c, in vec2 p) { c = vec4(0.0, 0.0, 1.0, 1.0); }"),
                  "--media", "media", "--channel1", "media/green.png")
    assert (done.returncode, done.stderr) == (0, "")
    assert Image.open(tmp_path / "still.png").getpixel((5, 5)) == (0, 0, 255)


def test_a_video_channel_is_the_right_way_up_as_its_vflip_says(prefix, tmp_path):
    (tmp_path / "media").mkdir()
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=c=blue:s=32x32:d=0.2,drawbox=w=32:h=16:"
                    "c=red:t=fill", "-c:v", "libvpx", str(tmp_path / "media" / "clip.webm")], check=True)
    code = "void mainImage(out vec4 c, in vec2 f) { c = texture(iChannel0, f / iResolution.xy); }"
    for vflip, top in (("true", "red"), ("false", "blue")):
        data = {"ver": "0.1", "info": {}, "renderpass": [
            {"inputs": [{"id": "v", "filepath": "/media/a/clip.webm", "type": "video", "channel": 0,
                         "sampler": {"filter": "linear", "wrap": "clamp", "vflip": vflip}}], "outputs": [],
             "code": code, "name": "Image", "type": "image"}]}
        done = record(prefix, tmp_path, data, "--media", "media", "--size", "32x32")
        assert (done.returncode, done.stderr) == (0, "")
        still = Image.open(tmp_path / "still.png").convert("RGB")
        shown = ["red" if r > 200 > b else "blue" if b > 200 > r else (r, g, b)
                 for r, g, b in (still.getpixel((16, 4)), still.getpixel((16, 27)))]
        assert shown == [top, {"red": "blue", "blue": "red"}[top]], vflip


FAILURES = {
    "media not there, strictly": (site(), ["--strict-media"], "shader.json names media that are not here: green.png "
                                  "(--fetch gets the site's own files; --media FOLDER, or QUILLOMAR_MEDIA, names a "
                                  "folder that has them)"),
    "does not build": (site(IMAGE.replace("half_red()", "nothing")), ["--media", "."], "shader.json did not build:"),
    "a media folder mistyped": (site(), ["--media", ".", "--media", "nowhere"], "--media nowhere: no such folder\n"),
    "a media folder with a quote": (site(), ["--media", 'q"m'], '--media q"m: a folder with a " or a line break in '
                                    'its path cannot be read from\n'),
    "a channel of no number": (site(extra=[dict(site()["renderpass"][0], name="Buffer A", type="buffer", inputs=[
        dict(site()["renderpass"][0]["inputs"][0], channel=None)])]), ["--media", "."],
        "shader.json: an input of Buffer A is read by channel null; a channel is 0 to 3\n"),
    "a channel past 3": (site(extra=[dict(site()["renderpass"][0], name="Buffer A", type="buffer", inputs=[
        dict(site()["renderpass"][0]["inputs"][0], channel=7)])]), ["--media", "."],
        "shader.json: an input of Buffer A is read by channel 7; a channel is 0 to 3\n"),
}


def channel(n, name):
    m = next(m for m in site_media.TABLE if m.name == name)
    return {"id": str(n), "filepath": m.path, "type": m.kind, "channel": n,
            "sampler": {"filter": "nearest", "wrap": "repeat", "vflip": "true"}}


def test_a_json_of_the_sites_procedural_media_renders_them_made_here(prefix, tmp_path):
    """Also where the cache cannot be written (a file in its place, as root writes in any folder): made in
    a folder of the command's own, said once."""
    code = ("void mainImage(out vec4 c, in vec2 f) { ivec2 p = ivec2(f); c = vec4(texelFetch(iChannel0, p, 0).r, "
            "texelFetch(iChannel1, ivec3(p & 31, 5), 0).rg, 1.0) + texture(iChannel2, f) * 0.0; }")
    data = {"ver": "0.1", "info": {}, "renderpass": [
        {"inputs": [channel(0, "Gray Noise Medium"), channel(1, "RGBA Noise 3D"), channel(2, "London")],
         "outputs": [], "code": code, "name": "Image", "type": "image"}]}
    (tmp_path / "shader.json").write_text(json.dumps(data))
    (tmp_path / "unwritable").write_text("")
    # Mesa's own shader cache is kept out of it: it would say the cache too, and its writer thread, still
    # busy with a cold cache at exit, trips the leak checker of a sanitized build.
    for cache, said in ((tmp_path / "cache", ""), (tmp_path / "unwritable", (
            "quillomar-record: shader.json: cannot write in the cache %s (Not a directory): the media made or "
            "fetched are kept only until the command ends\n" % (tmp_path / "unwritable" / "quillomar" / "media")))):
        done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "shader.json", "still.png", "--size",
                               "64x36"], cwd=tmp_path, capture_output=True, text=True, timeout=120,
                              env=without_display(XDG_CACHE_HOME=str(cache), MESA_SHADER_CACHE_DISABLE="true"))
        assert (done.returncode, done.stderr) == (0, said)
        made = {m.name: tmp_path / "cache" / "quillomar" / "media" / m.file for m in site_media.TABLE}
        gray = np.asarray(Image.open(made["Gray Noise Medium"]))
        volume = np.frombuffer(made["RGBA Noise 3D"].read_bytes()[20:], np.uint8).reshape(32, 32, 32, 4)
        still = np.asarray(Image.open(tmp_path / "still.png").convert("RGB"))
        # The picture's row r is the GL's y = 35 - r; the image's, read upside down, its row 255 - y.
        y, x = np.mgrid[0:36, 0:64]
        y = 35 - y
        assert np.array_equal(still[..., 0], gray[255 - y, x])
        assert np.array_equal(still[..., 1:], volume[5, y & 31, x & 31, :2])
        (tmp_path / "still.png").unlink()


def test_the_sites_pictures_not_here_are_placeholders_said_once_or_refused_by_name(prefix, tmp_path):
    code = "void mainImage(out vec4 c, in vec2 f) { c = texture(iChannel0, f / iResolution.xy) + " \
           "texture(iChannel1, f / iResolution.xy) * 0.0; }"
    london, wood = channel(0, "London"), channel(1, "Wood")
    data = {"ver": "0.1", "info": {}, "renderpass": [
        {"inputs": [london, wood, channel(3, "Music 1")], "outputs": [], "code": code, "name": "Image",
         "type": "image"},
        {"inputs": [dict(london, channel=2)], "outputs": [], "code": code, "name": "Buffer A", "type": "buffer"}]}
    done = record(prefix, tmp_path, data, "--size", "64x64")
    # Said once, on the recorder's last line, when the picture is made.
    assert (done.returncode, done.stderr) == (0, "")
    assert re.fullmatch(
        r"still\.png: 1 frames in [0-9.]+ s \([0-9.]+ frames/s\)(, drawn by [^;\n]+)?; London \(8de3a3924cb9\.\.\.\.jpg\) "
        r"and Wood \(1f7dca9c22f3\.\.\.\.jpg\) shown as placeholders, Music 1 \(a6a1cf7a09ad\.\.\.\.mp3\) heard as "
        r"silence \(--fetch gets the site's own files; --strict-media refuses\)\n", done.stdout), done.stdout
    still = Image.open(tmp_path / "still.png").convert("RGB")
    assert {still.getpixel((x, y)) for x in (4, 12) for y in (4, 12)} == {(255, 0, 255), (0, 0, 0)}
    done = record(prefix, tmp_path, data, "--size", "64x64", "--strict-media", output="strict.png")
    assert (done.returncode, done.stderr) == (1, (
        "quillomar-record: shader.json names media that are not here: London (8de3a3924cb9....jpg), Music 1 "
        "(a6a1cf7a09ad....mp3) and Wood (1f7dca9c22f3....jpg) (--fetch gets the site's own files; --media FOLDER, or QUILLOMAR_MEDIA, names a "
        "folder that has them)\n"))
    assert not (tmp_path / "strict.png").exists()


@pytest.mark.fast
def test_an_input_of_no_file_is_named_by_its_channel_and_fetch_not_hinted_once_given(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))
    data = site(extra=[dict(site()["renderpass"][0], name="Buffer A", type="buffer", inputs=[
        {"id": "2", "filepath": "", "type": "texture", "channel": 1}])])
    (tmp_path / "shader.json").write_text(json.dumps(data))
    for options, hint in (([], "--fetch gets the site's own files; "), (["--fetch"], "")):
        assert importer.main(["shader.json", "--force", *options]) == 0
        assert capsys.readouterr().err == (
            "quillomar-import: shader.json: green.png and iChannel1 of Buffer A are not here: shown as placeholders "
            "(%s--strict-media refuses)\n" % hint)
        assert importer.main(["shader.json", "--strict-media", *options]) == (
            "quillomar-import: shader.json names media that are not here: green.png and iChannel1 of Buffer A "
            "(%s--media FOLDER, or QUILLOMAR_MEDIA, names a folder that has them)" % hint)


def test_live_shows_placeholders_in_its_window_and_says_so_in_its_log_and_title(prefix, xserver, tmp_path):
    """Also a webcam channel: with no camera, a placeholder, said; a recording refuses it."""
    webcam = {"id": "w", "filepath": "", "type": "webcam", "channel": 1}
    data = {"ver": "0.1", "info": {}, "renderpass": [
        {"inputs": [channel(0, "London"), webcam], "outputs": [], "name": "Image", "type": "image",
         "code": "void mainImage(out vec4 c, in vec2 f) { c = texture(iChannel0, f / iResolution.xy) + "
                 "texture(iChannel1, f) * 0.0; }"}]}
    (tmp_path / "shader.json").write_text(json.dumps(data))
    x = open_display(xserver)
    live = start_live(prefix, xserver, tmp_path, "shader.json")
    try:
        window = find_titled_window(x, "shader.glsl ")
        assert title(x, window) == "shader.glsl [placeholders for media not here] — Quillomar"

        def colours():
            return {grab(window, (at, 5, 1, 1)).getpixel((0, 0)) for at in (5, 245)}
        until(lambda: colours() == {(255, 0, 255), (0, 0, 0)} or colours(), "the checkerboard")
    finally:
        said = interrupt(live)
        x.close()
    assert said.count("London (8de3a3924cb9....jpg) is not here: shown as a placeholder (--fetch gets the site's "
                      "own files; --strict-media refuses)") == 1, said
    if not Path("/dev/video0").exists():
        assert said.count("the image for iChannel1, /dev/video0: the camera cannot be read (there is no /dev/video0): "
                          "shown as a placeholder") == 1, said
    done = record(prefix, tmp_path, data)
    assert (done.returncode, done.stderr) == (1, "quillomar-record: the image for iChannel1, /dev/video0: a camera's "
                                                 "picture is not the same twice: record a file of it and name the "
                                                 "file\n")


@pytest.mark.parametrize("data, options, message", FAILURES.values(), ids=FAILURES.keys())
def test_what_is_not_drawn_yet_is_said(prefix, tmp_path, data, options, message):
    Image.new("RGB", (4, 4)).save(tmp_path / "green.png")
    (tmp_path / 'q"m').mkdir()
    Image.new("RGB", (4, 4)).save(tmp_path / 'q"m' / "green.png")
    done = record(prefix, tmp_path, data, *options)
    assert done.returncode == 1 and done.stderr.startswith("quillomar-record: " + message), done.stderr
    assert not (tmp_path / "still.png").exists()


def test_live_follows_a_save_of_the_json(prefix, xserver, tmp_path):
    (tmp_path / "green.png").write_bytes(b"")
    Image.new("RGB", (4, 4), (0, 160, 0)).save(tmp_path / "green.png")
    (tmp_path / "shader.json").write_text(json.dumps(site()))
    x = open_display(xserver)
    live = start_live(prefix, xserver, tmp_path, "shader.json", "--media", ".")
    try:
        window = find_titled_window(x, "shader.glsl ")

        def colour():
            return grab(window, (5, 5, 1, 1)).getpixel((0, 0))
        until(lambda: colour() == (128, 160, 0) or colour(), "the JSON's picture")
        (tmp_path / "shader.json").write_text(json.dumps(site(IMAGE.replace("half_red()", "1.0"))))
        until(lambda: colour() == (255, 160, 0) or colour(), "the saved JSON's picture")
    finally:
        interrupt(live)
        x.close()


# Buffer B comes before Buffer A in the JSON, and each reads the other: B, drawn first, reads A's previous
# frame, and A reads B's of this frame. The Image pass shows four numbers, a band each from the top, bit 0
# in the leftmost of 16 columns: [A's count, what A read of B, what B read of A, iFrame].
COMMON = """vec4 bits(vec2 f, ivec4 v)
{
    ivec2 at = ivec2(f / iResolution.xy * vec2(16.0, 4.0));
    return vec4(vec3(float((v[3 - at.y] >> at.x) & 1)), 1.0);
}
"""
CODE = {"Image": "void mainImage(out vec4 c, in vec2 f) {\n    vec4 a = texelFetch(iChannel0, ivec2(f), 0), "
                 "b = texelFetch(iChannel1, ivec2(f), 0);\n    c = bits(f, ivec4(a.rg, b.g, iFrame));\n}\n",
        "Buffer A": "void mainImage(out vec4 c, in vec2 f) {\n    c = vec4(texelFetch(iChannel0, ivec2(f), 0).r + 1.0, "
                    "texelFetch(iChannel1, ivec2(f), 0).r, 0, 1);\n}\n",
        "Buffer B": "void mainImage(out vec4 c, in vec2 f) {\n    c = vec4(float(iFrame) * 10.0, "
                    "texelFetch(iChannel0, ivec2(f), 0).r, 0, 1);\n}\n"}
IDS = {"Buffer A": "4dXGR8", "Buffer B": "XsXGR8"}


def reads(name, channel, **sampler):
    return {"id": IDS[name], "filepath": "/media/previz/buffer0%d.png" % "AB".index(name[-1]), "type": "buffer",
            "channel": channel, "sampler": sampler}


def multipass(api=False, extra=()):
    """The shader above as the site's JSON has it, or as the API gives it; the Image pass also has an image
    read with its first row at the bottom, and the keyboard."""
    def one(kind, name, code, *inputs):
        return {"inputs": list(inputs), "outputs": [{"id": IDS.get(name, "o"), "channel": 0}], "code": code,
                "name": name, "type": kind}
    data = {"ver": "0.1", "info": {"id": "t", "name": "t"}, "renderpass": [
        one("image", "Image", CODE["Image"], reads("Buffer A", 0), reads("Buffer B", 1),
            {"id": "w", "filepath": "/media/a/wood.png", "type": "texture", "channel": 2, "sampler": {"vflip": "false"}},
            {"id": "k", "filepath": "/presets/tex00.jpg", "type": "keyboard", "channel": 3}),
        one("buffer", "Buffer B", CODE["Buffer B"], reads("Buffer A", 0)),
        one("buffer", "Buffer A", CODE["Buffer A"], reads("Buffer A", 0), reads("Buffer B", 1, filter="nearest")),
        one("common", "Common", COMMON), *extra]}
    if api:
        for p in data["renderpass"]:
            p["inputs"] = [{{"filepath": "src", "type": "ctype"}.get(k, k): v for k, v in i.items()} for i in p["inputs"]]
        data = {"Shader": data}
    return json.dumps(data)


def with_media(tmp_path, api=False, extra=()):
    (tmp_path / "media").mkdir()
    Image.new("RGB", (2, 2), (90, 60, 30)).save(tmp_path / "media" / "wood.png")
    (tmp_path / "shader.json").write_text(multipass(api, extra))


@pytest.mark.fast
@pytest.mark.parametrize("api", [False, True], ids=["site", "api"])
def test_import_writes_a_file_per_pass_with_its_channels(tmp_path, monkeypatch, capsys, api):
    monkeypatch.chdir(tmp_path)
    with_media(tmp_path, api, [{"inputs": [], "outputs": [], "code": "", "name": "Sound", "type": "sound"}])
    assert importer.main(["shader.json", "--media", "media"]) == 0
    assert {f.name: f.read_text() for f in (tmp_path / "shader").iterdir()} == {
        "common.glsl": COMMON,
        "sound.glsl": '#include "common.glsl"\n',
        "bufferB.glsl": '#include "common.glsl"\n#iDialect "mainImage"\n#iChannel0 "file://bufferA.glsl"\n'
                        + CODE["Buffer B"],
        "bufferA.glsl": '#include "common.glsl"\n#iDialect "mainImage"\n#iChannel0 "self"\n'
                        '#iChannel1 "file://bufferB.glsl"\n#iChannel1::MinFilter "Nearest"\n' + CODE["Buffer A"],
        "shader.glsl": '#include "common.glsl"\n#iDialect "mainImage"\n#iChannel0 "file://bufferA.glsl"\n'
                       '#iChannel1 "file://bufferB.glsl"\n#iChannel2 "file://%s"\n#iChannel2::VFlip "false"\n'
                       '#iChannel3 "keyboard"\n#iSound "sound.glsl"\n#iPasses "bufferB.glsl" "bufferA.glsl"\n'
                       % (tmp_path / "media" / "wood.png") + CODE["Image"]}
    assert capsys.readouterr().out == (
        "shader/bufferA.glsl\nshader/bufferB.glsl\nshader/common.glsl\nshader/sound.glsl\nshader/shader.glsl\n"
        "next:\n    quillomar-live shader/shader.glsl\n    quillomar-record shader/shader.glsl clip.mp4\n")


@pytest.mark.fast
def test_import_replaces_nothing_that_differs_without_force(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    with_media(tmp_path)
    assert importer.main(["shader.json", "out", "--media", "media"]) == 0
    (tmp_path / "out" / "common.glsl").write_text("// mine\n")
    (tmp_path / "out" / "bufferA.glsl").unlink()
    assert importer.main(["shader.json", "out", "--media", "media"]) == (
        "quillomar-import: out already has common.glsl, with other contents; nothing was written (--force "
        "replaces them)")
    assert (tmp_path / "out" / "common.glsl").read_text() == "// mine\n"
    assert not (tmp_path / "out" / "bufferA.glsl").exists()
    capsys.readouterr()
    assert importer.main(["shader.json", "out", "--media", "media", "--force"]) == 0
    assert capsys.readouterr().out.split("\n")[:4] == [
        "out/bufferA.glsl", "out/bufferB.glsl (already there)", "out/common.glsl", "out/shader.glsl (already there)"]
    assert (tmp_path / "out" / "common.glsl").read_text() == COMMON
    assert importer.main(["shader.json", "elsewhere", "--strict-media"]).startswith(
        "quillomar-import: shader.json names media that are not here: wood.png")
    assert importer.main(["none.json"]) == "quillomar-import: none.json: no such file"
    assert not (tmp_path / "elsewhere").exists() and not (tmp_path / "none").exists()
    # A JSON whose name starts with a dot: its Image pass is a file one sees.
    (tmp_path / ".wave.json").write_bytes((tmp_path / "shader.json").read_bytes())
    capsys.readouterr()
    assert importer.main([".wave.json", "--media", "media"]) == 0
    assert "quillomar-live .wave/wave.glsl" in capsys.readouterr().out
    assert (tmp_path / ".wave" / "wave.glsl").is_file()


def test_the_json_and_its_imported_files_record_the_same_frames(prefix, tmp_path):
    with_media(tmp_path)
    run = [str(prefix / "bin" / "quillomar-import"), "shader.json", "--media", "media"]
    done = subprocess.run(run, cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    clips = {}
    for shader, options in (("shader.json", ["--media", "media"]), ("shader/shader.glsl", [])):
        done = subprocess.run([str(prefix / "bin" / "quillomar-record"), shader, "clip.gif", "--size", "128x64",
                               "--fps", "10", "--seconds", "0.3", *options], cwd=tmp_path, capture_output=True,
                              text=True, timeout=120, env=without_display())
        assert (done.returncode, done.stderr) == (0, "")
        with Image.open(tmp_path / "clip.gif") as clip:
            clips[shader] = [(clip.seek(k), clip.convert("RGB"))[1] for k in range(clip.n_frames)]
    json_frames, file_frames = clips.values()
    assert [f.tobytes() for f in json_frames] == [f.tobytes() for f in file_frames]
    shown = [[sum(1 << i for i in range(16) if frame.getpixel((8 * i + 4, 16 * n + 8))[0] > 127) for n in range(4)]
             for frame in json_frames]
    assert shown == [[k + 1, 10 * k, k, k] for k in range(3)]


# The site's ids of Buffer A to D's pictures.
BUFFER_IDS = {"Buffer A": "4dXGR8", "Buffer B": "XsXGR8", "Buffer C": "4sXGR8", "Buffer D": "XdfGR8"}
# A chain: A counts the frames, B is A plus one, C is B plus one; the Image pass shows [A, B, C, iFrame].
PLUS_ONE = "void mainImage(out vec4 c, in vec2 f) {\n    c = vec4(texelFetch(iChannel0, ivec2(f), 0).r + 1.0);\n}\n"
SHOW_CHAIN = ("void mainImage(out vec4 c, in vec2 f) {\n    c = bits(f, ivec4(texelFetch(iChannel2, ivec2(f), 0).r, "
              "texelFetch(iChannel1, ivec2(f), 0).r, texelFetch(iChannel0, ivec2(f), 0).r, iFrame));\n}\n")


def buffer_input(name, channel):
    return {"id": BUFFER_IDS[name], "filepath": "/media/previz/buffer0%d.png" % "ABCD".index(name[-1]),
            "type": "buffer", "channel": channel, "sampler": {"filter": "linear", "wrap": "clamp"}}


def site_pass(kind, name, code, *inputs, output=None):
    return {"inputs": list(inputs), "outputs": [{"id": output or BUFFER_IDS.get(name, "o"), "channel": 0}],
            "code": code, "name": name, "type": kind}


def shown_numbers(path):
    """The numbers each frame of a 128x64 clip shows, a band each from the top (COMMON's bits)."""
    with Image.open(path) as clip:
        return [[sum(1 << i for i in range(16) if frame.getpixel((8 * i + 4, 16 * n + 8))[0] > 127) for n in range(4)]
                for frame in [(clip.seek(k), clip.convert("RGB"))[1] for k in range(clip.n_frames)]]


def test_a_jsons_buffers_are_drawn_in_the_order_it_lists_them(prefix, tmp_path):
    chain = [site_pass("buffer", "Buffer A", PLUS_ONE, buffer_input("Buffer A", 0)),
             site_pass("buffer", "Buffer B", PLUS_ONE, buffer_input("Buffer A", 0)),
             site_pass("buffer", "Buffer C", PLUS_ONE, buffer_input("Buffer B", 0))]
    image = site_pass("image", "Image", SHOW_CHAIN, buffer_input("Buffer C", 0), buffer_input("Buffer B", 1),
                      buffer_input("Buffer A", 2))
    common = site_pass("common", "Common", COMMON, output="")
    # Listed from its start, the chain is drawn so: each link reads this frame's value of the one before.
    # Listed backwards, each link reads the previous frame's.
    for listed, shown in [(chain, [[k + 1, k + 2, k + 3, k] for k in range(3)]),
                          (chain[::-1], [[k + 1, k + 1, k + 1, k] for k in range(3)])]:
        data = {"ver": "0.1", "info": {"id": "t", "name": "t"}, "renderpass": [image] + listed + [common]}
        done = record(prefix, tmp_path, data, "--size", "128x64", "--fps", "10", "--seconds", "0.3",
                      output="clip.gif")
        assert (done.returncode, done.stderr) == (0, "")
        assert shown_numbers(tmp_path / "clip.gif") == shown


# A pass of the site's whose text also keeps a GLSL Sandbox main aside, and declares the sandbox's inputs.
ASIDE = "uniform float time;\nuniform vec2 resolution;\n#ifdef GLSLSANDBOX\nvoid main() { gl_FragColor = vec4(time); }\n#endif\n"


def test_a_jsons_passes_are_mainimage_whatever_else_their_text_holds(prefix, tmp_path, monkeypatch):
    data = {"ver": "0.1", "info": {"id": "t", "name": "t"}, "renderpass": [
        site_pass("image", "Image", ASIDE + "void mainImage(out vec4 c, in vec2 f) {\n"
                  "    c = vec4(texelFetch(iChannel0, ivec2(f), 0).rg, 1.0, 1.0);\n}\n", buffer_input("Buffer A", 0)),
        site_pass("buffer", "Buffer A", ASIDE + "void mainImage(out vec4 c, in vec2 f) { c = vec4(0.25, 0.5, 0, 1); }\n")]}
    done = record(prefix, tmp_path, data)
    assert (done.returncode, done.stderr) == (0, "")
    assert Image.open(tmp_path / "still.png").getpixel((5, 5)) == (64, 128, 255)
    # The files it is imported as are still the site's passes, wherever they go.
    monkeypatch.chdir(tmp_path)
    assert importer.main(["shader.json", "elsewhere/imported"]) == 0
    done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "elsewhere/imported/shader.glsl", "files.png",
                           "--size", "64x36"], cwd=tmp_path, capture_output=True, text=True, timeout=120,
                          env=without_display())
    assert (done.returncode, done.stderr) == (0, "")
    assert Image.open(tmp_path / "files.png").getpixel((5, 5)) == (64, 128, 255)


def test_a_channel_naming_a_buffer_the_json_does_not_have_is_black_and_said(prefix, tmp_path, monkeypatch, capsys):
    data = {"ver": "0.1", "info": {"id": "t", "name": "t"}, "renderpass": [
        site_pass("image", "Image", "void mainImage(out vec4 c, in vec2 f) {\n"
                  "    c = vec4(texture(iChannel0, vec2(0.5)).rg, 1.0, 1.0);\n}\n", buffer_input("Buffer B", 0))]}
    said = "shader.json: iChannel0 of Image names a buffer the JSON does not have: it is black\n"
    done = record(prefix, tmp_path, data)
    assert (done.returncode, done.stderr) == (0, "quillomar-record: " + said)
    assert Image.open(tmp_path / "still.png").getpixel((5, 5)) == (0, 0, 255)
    monkeypatch.chdir(tmp_path)
    assert importer.main(["shader.json"]) == 0
    assert capsys.readouterr().err == "quillomar-import: " + said
    assert "#iChannel0" not in (tmp_path / "shader" / "shader.glsl").read_text()
