"""Shadertoy's JSON given straight to the commands, in the site's form and the API's: the Image pass with
Common before it and its image channels from a media folder; what is not drawn yet said in one message;
and in live, a save of the JSON shown."""
import json
import subprocess

import pytest
from PIL import Image

from conftest import interrupt, start_live, until, without_display
from quillomar import Failure
from quillomar.shadertoy import load
from xsession import find_titled_window, grab, open_display

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


def record(prefix, tmp_path, data, *options):
    (tmp_path / "shader.json").write_text(json.dumps(data))
    return subprocess.run([str(prefix / "bin" / "quillomar-record"), "shader.json", "still.png", "--size", "64x36",
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


FAILURES = {
    "media not there": (site(), [], "shader.json names media not found in any folder (--media FOLDER, or "
                                     "QUILLOMAR_MEDIA): green.png"),
    "a video": (site(extra=[{"inputs": [{"id": "v", "filepath": "/media/a/v.ogv", "type": "video", "channel": 2}],
                             "outputs": [], "code": "", "name": "Buffer A", "type": "buffer"}]),
                ["--media", "."], "shader.json: iChannel2 of Buffer A is a video channel, not read yet"),
    "does not build": (site(IMAGE.replace("half_red()", "nothing")), ["--media", "."], "shader.json did not build:"),
}


@pytest.mark.parametrize("data, options, message", FAILURES.values(), ids=FAILURES.keys())
def test_what_is_not_drawn_yet_is_said(prefix, tmp_path, data, options, message):
    Image.new("RGB", (4, 4)).save(tmp_path / "green.png")
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
