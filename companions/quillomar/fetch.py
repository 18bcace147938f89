"""Fetching the site's own pictures and sounds (site_media.TABLE) into the user's cache, only when the user
asks (--fetch, or the config file's [media] fetch): from QUILLOMAR_MEDIA_URL (the site's address by default)
followed by the file's path, once, checked for what the table says it is before it goes into the cache,
and written whole or not at all."""
import json
import mmap
import os
import re
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
from http.client import HTTPException
from pathlib import Path

from quillomar import Failure, config, site_media, media

SITE = "https://www.shadertoy.com"
# The most bytes one file may have: the site's largest are videos of a few MiB.
LARGEST = 256 << 20
# A part file a fetch writes: .NAME.PID.part, NAME a file of the table.
PART = re.compile(r"\.(.+)\.(\d+)\.part")
# How far short of the length its header states a video or a sound may decode: a quarter of a second (an
# encoder's padding at the start and end), or a hundredth of the length.
SHORT_BY = 0.25
# The channels of an image by PIL's mode.
MODE_CHANNELS = {"1": 1, "L": 1, "I": 1, "I;16": 1, "F": 1, "LA": 2, "La": 2, "RGB": 3, "YCbCr": 3, "RGBA": 4,
                 "RGBa": 4, "CMYK": 4}


def base():
    """Where the site's files are fetched from: QUILLOMAR_MEDIA_URL, the site by default."""
    return (os.environ.get("QUILLOMAR_MEDIA_URL") or SITE).rstrip("/")


def files(medium):
    """The names of the files medium is made of: HASH.EXT, or a cube map's six faces, HASH.EXT, then
    HASH_1.EXT to HASH_5.EXT."""
    if medium.kind != "cubemap":
        return [medium.file]
    stem, ext = medium.file.rsplit(".", 1)
    return ["%s.%s" % (stem, ext)] + ["%s_%d.%s" % (stem, k, ext) for k in range(1, 6)]


def cached(medium, cache):
    """The path the media decoders read medium by (a cube map's with "{}" where its faces' names go), when
    the cache has all of its files; else None."""
    names = files(medium)
    if not all((Path(cache) / name).is_file() for name in names):
        return None
    if medium.kind == "cubemap":
        stem, ext = medium.file.rsplit(".", 1)
        return Path(cache) / ("%s{}.%s" % (stem, ext))
    return Path(cache) / names[0]


def fetch(medium, cache):
    """Fetches medium's files into the folder cache, those it does not have yet, and returns the path the
    media decoders read it by (cached()). Each file is checked for what medium claims to be before it is
    kept; a failure is one message and leaves nothing of the file that failed in the cache (a cube map's faces
    fetched whole before it stay there, so that the next fetch goes on from it)."""
    cache = Path(cache)
    names = files(medium)
    timeout = config.get("media", "fetch-timeout")
    sweep(cache)
    for n, name in enumerate(names):
        target = cache / name
        if target.is_file():
            continue
        what = medium.called() if len(names) == 1 else "%s, face %d of 6" % (medium.called(), n + 1)
        url = base() + medium.path.rsplit("/", 1)[0] + "/" + name
        try:
            cache.mkdir(parents=True, exist_ok=True)
        except OSError as e:
            raise Failure("cannot make the folder %s: %s" % (cache, e.strerror or e))
        part = cache / (".%s.%d.part" % (name, os.getpid()))
        try:
            with open(part, "wb") as out:
                download(url, out, what, timeout)
            check(medium, part, what, "cannot fetch %s from %s: " % (what, url))
            os.replace(part, target)
        except OSError as e:
            raise Failure("cannot write %s: %s" % (target, e.strerror or e))
        finally:
            part.unlink(missing_ok=True)
    return cached(medium, cache)


def sweep(cache):
    """Removes the part files in cache of fetches that were killed before they could remove them: those
    whose process is no longer running."""
    fetched = {name for m in site_media.TABLE if not m.made for name in files(m)}
    try:
        found = [(f, PART.fullmatch(f.name)) for f in Path(cache).iterdir()]
    except OSError:
        return
    for f, part in found:
        if part and part[1] in fetched and not running(int(part[2])):
            f.unlink(missing_ok=True)


def running(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OverflowError):
        return True
    return True


def download(url, out, what, timeout):
    """Writes the body at url into out, saying how far it is on a terminal."""
    failed = "cannot fetch %s from %s: " % (what, url)
    show = Progress(what)
    got = 0
    try:
        request = urllib.request.Request(url, headers={"User-Agent": "quillomar"})
        with urllib.request.urlopen(request, timeout=timeout) as answer:
            length = answer.headers.get("Content-Length", "")
            total = int(length) if length.strip().isdigit() else None
            if (total or 0) > LARGEST:
                raise Failure(failed + "it is %d MiB, more than the %d MiB a file may have" % (
                    total >> 20, LARGEST >> 20))
            while True:
                chunk = answer.read(64 << 10)
                if not chunk:
                    break
                out.write(chunk)
                got += len(chunk)
                if got > LARGEST:
                    raise Failure(failed + "it is more than the %d MiB a file may have" % (LARGEST >> 20))
                show(got, total)
    except urllib.error.HTTPError as e:
        if e.code == 404:
            raise Failure(failed + "the site has no such file (HTTP 404 %s)" % e.reason)
        if 300 <= e.code < 400:  # urllib's own words over three lines, the last the status's
            raise Failure(failed + "the site's redirects go round in a loop (HTTP %d %s)" % (
                e.code, (str(e.reason).splitlines() or [""])[-1]))
        raise Failure(failed + "the site answered HTTP %d %s" % (e.code, e.reason))
    except urllib.error.URLError as e:
        raise Failure(failed + why(e.reason, timeout))
    except (OSError, HTTPException) as e:
        raise Failure(failed + why(e, timeout))
    finally:
        show.clear()
    if total is not None and got < total:
        raise Failure(failed + "the site sent %d of its %d bytes" % (got, total))


def why(reason, timeout):
    """What a network error says to a user."""
    if isinstance(reason, (socket.timeout, TimeoutError)):
        return "no answer in %g s (fetch-timeout in %s)" % (timeout, config.path())
    if isinstance(reason, ConnectionRefusedError):
        return "connection refused"
    if isinstance(reason, socket.gaierror):
        return "no such host, or no network (%s)" % (reason.strerror or reason)
    if isinstance(reason, HTTPException):
        return "the site's answer broke off (%s)" % (type(reason).__name__)
    return str(getattr(reason, "strerror", None) or reason)


class Progress:
    """The line that says how far a fetch is, on a terminal: written over in place, at most ten times a
    second, and cleared when done. Nothing when stderr is no terminal."""

    def __init__(self, what):
        self.what, self.shown, self.last = what, False, 0.0
        self.on = sys.stderr.isatty()

    def __call__(self, got, total):
        now = time.monotonic()
        if not self.on or now - self.last < 0.1:
            return
        self.last = now
        of = " of %d KiB" % (total >> 10) if total else " KiB"
        sys.stderr.write("\r\x1b[Kfetching %s: %d%s" % (self.what, got >> 10, of))
        sys.stderr.flush()
        self.shown = True

    def clear(self):
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


def check(medium, path, what, failed):
    """Refuses the file at path unless it is what medium claims: an image of its size and channels, a
    volume of its size and channels, a video or a sound that ffmpeg decodes (a video of its size where it
    is known)."""
    if medium.kind in ("texture", "cubemap"):
        try:
            from PIL import Image, UnidentifiedImageError
        except ImportError:
            raise Failure("checking a fetched image needs Python's imaging library (Debian package python3-pil)")
        try:
            with Image.open(path) as image:
                size, mode, form = image.size, image.mode, image.format
                channels = MODE_CHANNELS.get(mode) or (4 if "transparency" in image.info else 3)
                image.load()
        except UnidentifiedImageError:
            raise Failure(failed + "it is not an image")
        except Exception as e:  # PIL says a broken file in many ways
            raise Failure(failed + "it is a broken image (%s)" % (str(e).splitlines() or [type(e).__name__])[0])
        shape(medium, size, channels, failed)
        ends = {"PNG": png_end, "JPEG": jpeg_end}.get(form)
        if ends is not None:
            whole(path, ends, "picture", failed)
    elif medium.kind == "volume":
        try:
            _, size = media.volume_texels(path, "it")
        except Failure as e:
            raise Failure(failed + str(e))
        per = Path(path).read_bytes()[16]
        shape(medium, size, per, failed)
        whole(path, lambda data: 20 + size[0] * size[1] * size[2] * per, "texels", failed)
    else:
        stream = "v" if medium.kind == "video" else "a"
        size = decodable(path, stream, failed)
        shape(medium, size if medium.size else (), medium.channels, failed)
        with open(path, "rb") as f:
            ogg = f.read(4) == b"OggS"
        if ogg:  # its length is where its pages end, which a body cut short between pages hides from ffmpeg
            whole(path, ogg_end, "Ogg stream", failed)


def whole(path, ends, what, failed):
    """Refuses the file at path where its own data, which ends(its bytes) says the end of (None where it
    finds none), does not end where the file does."""
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as data:
        end, size = ends(data), len(data)
    if end is None or end > size:
        raise Failure(failed + "its %s has no end" % what)
    if end < size:
        raise Failure(failed + "it has %d bytes after the end of its %s" % (size - end, what))


def png_end(data):
    """Where a PNG ends: after its IEND chunk, each chunk being its length, its type, its data and a CRC."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        return None
    at = 8
    while at + 12 <= len(data):
        length, kind = int.from_bytes(data[at:at + 4], "big"), data[at + 4:at + 8]
        at += 12 + length
        if kind == b"IEND":
            return at
    return None


def jpeg_end(data):
    """Where a JPEG ends: after the EOI marker, found by walking its segments (a marker, then its length),
    each scan's entropy-coded data running to the next marker that is no stuffed byte (FF 00) nor a
    restart (FF D0 to D7)."""
    if data[:2] != b"\xff\xd8":
        return None
    at = 2
    while at < len(data) and data[at] == 0xFF:
        while at < len(data) and data[at] == 0xFF:  # fill bytes before a marker
            at += 1
        if at == len(data):
            return None
        marker = data[at]
        at += 1
        if marker == 0xD9:
            return at
        if 0xD0 <= marker <= 0xD8 or marker == 0x01:  # markers with no segment
            continue
        at += int.from_bytes(data[at:at + 2], "big")
        if marker == 0xDA:
            while True:
                at = data.find(b"\xff", at)
                if at < 0 or at + 1 >= len(data):
                    return None
                if data[at + 1] == 0 or 0xD0 <= data[at + 1] <= 0xD7:
                    at += 2
                elif data[at + 1] == 0xFF:
                    at += 1
                else:
                    break
    return None


def ogg_end(data):
    """Where an Ogg file ends: after the page that ends the last of its streams (a page being its header,
    its table of segment lengths and the segments; a stream begun by a page marked first and ended by one
    marked last), where no further stream begins."""
    at, open_streams, end = 0, set(), None
    while at + 27 <= len(data) and data[at:at + 4] == b"OggS":
        flags, serial, count = data[at + 5], data[at + 14:at + 18], data[at + 26]
        if at + 27 + count > len(data):
            return None
        if flags & 2:
            open_streams.add(serial)
        elif serial not in open_streams:
            return None
        at += 27 + count + sum(data[at + 27:at + 27 + count])
        if flags & 4:
            open_streams.discard(serial)
            if not open_streams:
                end = at
        if open_streams and at > len(data):
            return None
    return end if not open_streams else None


def shape(medium, size, channels, failed):
    if medium.size and tuple(size) != tuple(medium.size):
        raise Failure(failed + "it is %s, where %s is %s" % (
            "x".join(map(str, size)), medium.name, "x".join(map(str, medium.size))))
    if medium.channels and channels != medium.channels:
        raise Failure(failed + "it has %d channel%s, where %s has %d" % (
            channels, "s"[:channels != 1], medium.name, medium.channels))


def decodable(path, stream, failed):
    """Decodes the file at path, which has a video (stream "v") or a sound ("a"), to its end with ffmpeg,
    every video and sound in it, and refuses it where what decodes is shorter than the length its
    header states (a body cut short); its frames' size, () for a sound."""
    kind = {"v": "a video", "a": "a sound"}[stream]
    source = "file:" + str(Path(path).absolute())
    try:
        probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", stream + ":0", "-show_entries",
                                "stream=width,height:format=duration", "-of", "json", source],
                               capture_output=True, text=True, timeout=120)
        said = json.loads(probe.stdout or "{}")
        found = said.get("streams") or []
        decoded = None
        if probe.returncode == 0 and found:
            decoded = subprocess.run(["ffmpeg", "-v", "error", "-xerror", "-nostdin", "-i", source, "-map",
                                      "0:v?", "-map", "0:a?", "-f", "null", "-progress", "pipe:1", "-nostats",
                                      "-"], capture_output=True, text=True, timeout=300)
    except FileNotFoundError:
        raise Failure("checking a fetched video or sound needs ffmpeg (Debian package ffmpeg)")
    except (OSError, subprocess.TimeoutExpired, ValueError) as e:
        raise Failure(failed + "ffmpeg: %s" % e)
    if decoded is None or decoded.returncode != 0:
        raise Failure(failed + "it is not %s ffmpeg can decode" % kind)
    stated = str((said.get("format") or {}).get("duration", ""))
    lasted = re.findall(r"^out_time_us=(\d+)$", decoded.stdout, re.M)
    if re.fullmatch(r"[0-9.]+", stated) and lasted:
        stated, lasted = float(stated), int(lasted[-1]) / 1e6
        if stated - lasted > max(SHORT_BY, stated / 100):
            raise Failure(failed + "it ends after %.2f s of the %.2f s it says it lasts" % (lasted, stated))
    if stream == "a":
        return ()
    return (int(found[0].get("width") or 0), int(found[0].get("height") or 0))
