"""Fetching the site's own media into the user's cache, from a server of the test's own (QUILLOMAR_MEDIA_URL)
serving media the test makes: once, checked for what the table says each file is, and a fault of the
network or of the server one message that leaves nothing in the cache; quillomar-import fetches only when
asked, by --fetch or the config file. No X server."""
import io
import json
import os
import re
import signal
import socket
import subprocess
import tempfile
import threading
import time
import wave
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest
from PIL import Image

from conftest import BUILD
from quillomar import Failure, config, site_media
from quillomar.fetch import fetch

pytestmark = pytest.mark.fast

LONDON = site_media.named("8de3a3924cb95bd0e95a443fff0326c869f9d4979cd1d5b6e94e2a01f5be53e9.jpg")  # 512x512, RGB
FOREST = site_media.named("0681c014f6c88c356cf9c0394ffe015acc94ec1474924855f45d22c3e70b5785.png")  # faces 64x64
NOISE_3D = site_media.named("27012b4eadd0c3ce12498b867058e4f717ce79e10a99568cca461682d84a4b04.bin")  # 32^3, 1
MUSIC = site_media.named("a6a1cf7a09adfed8c362492c88c30d74fb3d2f4f7ba180ba34b98556660fada1.mp3")
VIDEO = site_media.named("e81e818ac76a8983d746784b423178ee9f6cdcdf7f8e8d719341a6fe2d2ab303.webm")  # 512x396
OGG_VIDEO = site_media.named("c3a071ecf273428bc72fc72b2dd972671de8da420a2d4f917b75d20e1c24b34c.ogv")


def picture(size, mode="RGB", form="JPEG"):
    out = io.BytesIO()
    Image.new(mode, size, 90).save(out, form)
    return out.getvalue()


def volume(size, channels):
    w, h, d = size
    return (b"BIN\0" + b"".join(n.to_bytes(4, "little") for n in size) + bytes([channels, 0, 0, 0])
            + bytes(w * h * d * channels))


def sound():
    out = io.BytesIO()
    with wave.open(out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(8000)
        w.writeframes(bytes(1600))
    return out.getvalue()


def made(form, *options):
    """A file ffmpeg makes, written to a file (to a pipe it has no header stating its length)."""
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / ("made." + form)
        subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", *options, str(out)], capture_output=True, check=True)
        return out.read_bytes()


def video(size, seconds=0.2):
    return made("webm", "-i", "testsrc=s=%dx%d:d=%g" % (*size, seconds), "-c:v", "libvpx")


def music(seconds):
    return made("mp3", "-i", "sine=d=%g" % seconds, "-c:a", "libmp3lame")


def faces(medium):
    stem = medium.path[:-4]
    return {stem + suffix + ".png": picture(medium.size, form="PNG") for suffix in ("", "_1", "_2", "_3", "_4", "_5")}


class Site:
    """The site as far as fetching sees it: bodies by path (bytes, or a function answering the request
    itself); a path not there is a 404. Every request's path is kept."""

    def __init__(self):
        self.files, self.requests = {}, []
        site = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                site.requests.append(self.path)
                body = site.files.get(self.path)
                if body is None:
                    self.send_error(404)
                elif callable(body):
                    body(self)
                else:
                    self.send_response(200)
                    self.send_header("Content-Length", str(len(body)))
                    self.end_headers()
                    self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]


@pytest.fixture
def site(tmp_path, monkeypatch):
    served = Site()
    threading.Thread(target=served.server.serve_forever, daemon=True).start()
    monkeypatch.setenv("QUILLOMAR_MEDIA_URL", served.url)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))
    yield served
    served.server.shutdown()
    served.server.server_close()


def settings(tmp_path, text):
    (tmp_path / "config" / "quillomar").mkdir(parents=True, exist_ok=True)
    (tmp_path / "config" / "quillomar" / "config").write_text(text)


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_each_kind_is_fetched_into_the_cache_once_with_a_progress_line_on_a_terminal(site, monkeypatch):
    site.files.update({LONDON.path: picture((512, 512)), NOISE_3D.path: volume((32, 32, 32), 1),
                       MUSIC.path: sound(), VIDEO.path: video((512, 396)), **faces(FOREST),
                       OGG_VIDEO.path: made("ogv", "-i", "testsrc=s=64x64:d=0.2", "-c:v", "libtheora")})
    cache = site_media.cache_folder()
    terminal = Terminal()
    monkeypatch.setattr("sys.stderr", terminal)
    assert fetch(LONDON, cache) == cache / LONDON.file
    line = re.escape("\r\x1b[Kfetching London (8de3a3924cb9....jpg): ") + r"\d+ of %d KiB" % (
        len(site.files[LONDON.path]) >> 10)
    assert re.fullmatch("(%s)+%s" % (line, re.escape("\r\x1b[K")), terminal.getvalue()), terminal.getvalue()
    assert fetch(FOREST, cache) == cache / (FOREST.file[:-4] + "{}.png")
    for medium in (NOISE_3D, MUSIC, VIDEO, OGG_VIDEO):
        assert fetch(medium, cache) == cache / medium.file
    assert sorted(site.requests) == sorted(site.files)
    assert sorted(f.name for f in cache.iterdir()) == sorted(path.rsplit("/", 1)[1] for path in site.files)
    assert (cache / LONDON.file).read_bytes() == site.files[LONDON.path]
    monkeypatch.setattr("sys.stderr", io.StringIO())  # no terminal: no progress line
    for medium in (LONDON, FOREST, NOISE_3D, MUSIC, VIDEO, OGG_VIDEO):
        fetch(medium, cache)
    assert len(site.requests) == len(site.files)  # each once


def truncated(request):
    request.send_response(200)
    request.send_header("Content-Length", "5000")
    request.end_headers()
    request.wfile.write(picture((512, 512))[:100])
    request.close_connection = True


def slow(request):
    time.sleep(3)
    request.send_response(200)
    request.end_headers()
    request.wfile.write(picture((512, 512)))


def unmeasured(body):
    """A body sent without its length (Content-Length), the connection closed at its end."""
    def send(request):
        request.send_response(200)
        request.end_headers()
        request.wfile.write(body)
    return send


def half(body):
    return unmeasured(body[:len(body) // 2])


def round_in_a_loop(request):
    request.send_response(302)
    request.send_header("Location", request.path)
    request.send_header("Content-Length", "0")
    request.end_headers()


CUT_SHORT = r"it ends after (0\.[5-9]\d|1\.[0-4]\d) s of the 2\.0\d s it says it lasts"
FAULTS = {
    "not there": (LONDON, None, "the site has no such file (HTTP 404 Not Found)"),
    "truncated": (LONDON, truncated, "the site sent 100 of its 5000 bytes"),
    "slow": (LONDON, slow, "no answer in 0.5 s (fetch-timeout in {config})"),
    "no image": (LONDON, b"<html>a page</html>", "it is not an image"),
    "wrong size": (LONDON, picture((100, 100)), "it is 100x100, where London is 512x512"),
    "wrong channels": (LONDON, picture((512, 512), "L"), "it has 1 channel, where London has 3"),
    "wrong face": (FOREST, picture((64, 32), form="PNG"), "it is 64x32, where Forest Blurred is 64x64"),
    "wrong volume": (NOISE_3D, volume((32, 32, 16), 1), "it is 32x32x16, where Grey Noise 3D is 32x32x32"),
    "no sound": (MUSIC, b"ID3 but nothing else", "it is not a sound ffmpeg can decode"),
    "refused": (LONDON, "refused", "connection refused"),
    "redirect loop": (LONDON, round_in_a_loop, "the site's redirects go round in a loop (HTTP 302 Found)"),
    "padded picture": (LONDON, unmeasured(picture((512, 512)) + bytes(1000)),
                       "it has 1000 bytes after the end of its picture"),
    "padded face": (FOREST, picture((64, 64), form="PNG") + b"more", "it has 4 bytes after the end of its picture"),
    "padded volume": (NOISE_3D, volume((32, 32, 32), 1) + bytes(7), "it has 7 bytes after the end of its texels"),
    "sound cut short": (MUSIC, half(music(2)), re.compile(CUT_SHORT)),
    "video cut short": (VIDEO, half(video((512, 396), 2)), re.compile(CUT_SHORT)),
    # An Ogg file's length is stated nowhere: cut between pages, it decodes to its end as a shorter file.
    "Ogg video cut short": (OGG_VIDEO, unmeasured(made("ogv", "-i", "testsrc=s=64x64:d=2", "-c:v",
                                                        "libtheora")[:20000]), "its Ogg stream has no end"),
}


@pytest.mark.parametrize("fault", FAULTS)
def test_a_fault_is_one_message_and_leaves_nothing_in_the_cache(site, tmp_path, monkeypatch, fault):
    medium, body, said = FAULTS[fault]
    settings(tmp_path, "[media]\nfetch-timeout = 0.5\n")
    if medium is FOREST:  # the first face is good, the second is not
        site.files.update(faces(FOREST))
        site.files[FOREST.path[:-4] + "_1.png"] = body
    elif body == "refused":
        with socket.socket() as closed:
            closed.bind(("127.0.0.1", 0))
            monkeypatch.setenv("QUILLOMAR_MEDIA_URL", "http://127.0.0.1:%d" % closed.getsockname()[1])
    elif body is not None:
        site.files[medium.path] = body
    base = os.environ["QUILLOMAR_MEDIA_URL"]
    what = medium.called() + (", face 2 of 6" if medium is FOREST else "")
    path = medium.path.replace(".png", "_1.png") if medium is FOREST else medium.path
    cache = site_media.cache_folder()
    started = time.monotonic()
    with pytest.raises(Failure) as failed:
        fetch(medium, cache)
    said = said if isinstance(said, re.Pattern) else re.compile(re.escape(said.format(config=config.path())))
    assert re.fullmatch(re.escape("cannot fetch %s from %s%s: " % (what, base, path)) + said.pattern,
                        str(failed.value)), str(failed.value)
    assert time.monotonic() - started < 2.5
    kept = sorted(f.name for f in cache.iterdir()) if cache.exists() else []
    assert kept == ([FOREST.file] if medium is FOREST else [])  # the good face, and nothing half-written


def test_the_config_file_says_what_is_wrong_in_it(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path))
    assert config.path() == tmp_path / "quillomar" / "config"
    assert (config.get("media", "fetch"), config.get("media", "fetch-timeout")) == (False, 30.0)
    for text, said in (("[media]\nfetch = yes  # as --fetch\nfetch-timeout = 2.5\n", None),
                       ("[media]\nfetch = sometimes\n", "[media] fetch is 'sometimes': yes or no"),
                       ("[media]\nfetch-timeout = 0\n", "[media] fetch-timeout is '0': a number of seconds above 0"),
                       ("[media]\nfetched = yes\n", "[media] fetched is not a setting ([media] fetch, "
                                                    "[media] fetch-timeout)"),
                       ("fetch = yes\n", "File contains no section headers.")):
        (tmp_path / "quillomar").mkdir(exist_ok=True)
        (tmp_path / "quillomar" / "config").write_text(text)
        if said is None:
            assert (config.fetching(False), config.get("media", "fetch-timeout")) == (True, 2.5)
            continue
        with pytest.raises(Failure) as failed:
            config.fetching(True)
        assert str(failed.value) == "%s: %s" % (config.path(), said)


def test_import_fetches_only_when_asked_by_fetch_or_the_config_file(site, tmp_path):
    site.files.update({LONDON.path: picture((512, 512)), **faces(FOREST)})
    image = "void mainImage(out vec4 c, in vec2 p) { c = texture(iChannel0, p) + texture(iChannel1, vec3(1)); }\n"
    (tmp_path / "shader.json").write_text(json.dumps({"ver": "0.1", "info": {}, "renderpass": [
        {"inputs": [{"id": "1", "filepath": LONDON.path, "type": "texture", "channel": 0},
                    {"id": "2", "filepath": FOREST.path, "type": "cubemap", "channel": 1}],
         "outputs": [], "code": image, "name": "Image", "type": "image"}]}))

    def run(*options):
        return subprocess.run([str(BUILD / "quillomar-import"), "shader.json", *options], cwd=tmp_path,
                              capture_output=True, text=True, timeout=60)
    done = run("--strict-media")
    assert (done.returncode, done.stderr) == (1, (
        "quillomar-import: shader.json names media that are not here: Forest Blurred (0681c014f6c8....png) and "
        "London (8de3a3924cb9....jpg) (--fetch gets the site's own files; --media FOLDER, or QUILLOMAR_MEDIA, "
        "names a folder that has them)\n"))
    done = run("shader-with-placeholders")
    assert (done.returncode, done.stderr) == (0, (
        "quillomar-import: shader.json: Forest Blurred (0681c014f6c8....png) and London (8de3a3924cb9....jpg) "
        "are not here: shown as placeholders (--fetch gets the site's own files; --strict-media refuses)\n"))
    assert site.requests == []
    done = run("--fetch")
    assert (done.returncode, done.stderr, len(site.requests)) == (0, "", 7)
    cache = site_media.cache_folder()
    assert (tmp_path / "shader" / "shader.glsl").read_text() == (
        '#iDialect "mainImage"\n#iChannel0 "file://%s"\n#iChannel1 "file://%s"\n#iChannel1::Type "CubeMap"\n%s'
        % (cache / LONDON.file, cache / (FOREST.file[:-4] + "{}.png"), image))
    settings(tmp_path, "[media]\nfetch = yes\n")
    (cache / LONDON.file).unlink()
    done = run("--force")
    assert (done.returncode, done.stderr, site.requests[7:]) == (0, "", [LONDON.path])


def stalled_fetch(site, tmp_path, stderr, length=None):
    """quillomar-import --fetch of a JSON naming London, once the site has sent the first 1000 bytes of its
    body (of length, where the site says one) and stalls."""
    started = threading.Event()

    def stalled(request):
        request.send_response(200)
        if length is not None:
            request.send_header("Content-Length", str(length))
        request.end_headers()
        request.wfile.write(bytes(1000))
        request.wfile.flush()
        started.set()
        time.sleep(5)
    site.files[LONDON.path] = stalled
    (tmp_path / "shader.json").write_text(json.dumps({"renderpass": [
        {"inputs": [{"filepath": LONDON.path, "type": "texture", "channel": 0}], "outputs": [],
         "code": "void mainImage(out vec4 c, in vec2 p) { c = texture(iChannel0, p); }\n", "type": "image"}]}))
    command = subprocess.Popen([str(BUILD / "quillomar-import"), "shader.json", "--fetch"], cwd=tmp_path,
                               stderr=stderr, text=True)
    assert started.wait(30)
    time.sleep(0.2)
    return command


def test_a_fetch_interrupted_leaves_nothing_in_the_cache(site, tmp_path):
    command = stalled_fetch(site, tmp_path, subprocess.PIPE, length=50000)
    command.send_signal(signal.SIGINT)
    assert (command.wait(30), command.stderr.read()) == (130, "")
    assert list(site_media.cache_folder().iterdir()) == []


def test_a_part_left_by_a_fetch_killed_goes_at_the_next_fetch(site, tmp_path):
    command = stalled_fetch(site, tmp_path, subprocess.DEVNULL)
    command.kill()
    command.wait(30)
    cache = site_media.cache_folder()
    assert [f.name for f in cache.iterdir()] == [".%s.%d.part" % (LONDON.file, command.pid)]
    with subprocess.Popen(["sleep", "30"]) as running:  # a fetch still going on: its part stays
        (cache / (".%s.%d.part" % (VIDEO.file, running.pid))).write_bytes(b"half")
        site.files[LONDON.path] = picture((512, 512))
        fetch(LONDON, cache)
        running.kill()
    assert sorted(f.name for f in cache.iterdir()) == sorted([LONDON.file, ".%s.%d.part" % (VIDEO.file, running.pid)])
