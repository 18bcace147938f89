"""A shader's passes, from the files a person edits: the file given is the Image pass, and directives in
each file say what its channels show, in the syntax of the widely used editor extension for such shaders:

    #iChannel0 "file://bufferA.glsl"      another pass (a buffer: its picture, kept from frame to frame)
    #iChannel1 "self"                     this pass's own previous frame
    #iChannel2 "file://wood.png"          an image
    #iChannel3 "file://sky_{}.jpg"        with #iChannel3::Type "CubeMap": a cube map's six faces
    #iChannel0::MinFilter "Nearest"       filter: Nearest, Linear or a MipMap one (also ::MagFilter)
    #iChannel0::WrapMode "Repeat"         wrap: Clamp, Repeat or Mirror

A pass file of the mainCubemap dialect (as translate tells it) is a cube map pass (the site's Cube A): read
as a cube map.

#iKeyboard gives a pass isKeyDown(Key_A), isKeyPressed, isKeyToggled and isKeyReleased, and,
of Quillomar's own: "keyboard" for the keyboard texture, a ".bin" path for a volume,
#iChannel0::VFlip "false" for an image read upside down, and #iPasses "a.glsl" "b.glsl" in the Image
file for the order the buffers are drawn in (else each pass's inputs come before it: a chain is drawn
from its start), and
#iSound "sound.glsl" in the Image file for its Sound pass (vec2 mainSound(int samp, float time)). Paths are taken
from the folder of the file that names them. (#iDialect "mainImage" is the dialect table's, dialects.c.) The plan (passes.h) hands all of it to the library, with
every texture decoded."""
import os
import re
from pathlib import Path
from typing import NamedTuple

from quillomar import Failure, channels, dialects, facts, files
from quillomar.lines import escaped

DIRECTIVE = re.compile(r'^[ \t]*#[ \t]*iChannel(\d+)(?:::(\w+))?[ \t]+"([^"\n]*)"', re.M)
ORDER = re.compile(r'^[ \t]*#[ \t]*iPasses[ \t]+(.*)$', re.M)
SOUND = re.compile(r'^[ \t]*#[ \t]*iSound[ \t]+"(?:file://)?([^"\n]+)"', re.M)
KEYBOARD = re.compile(r'^[ \t]*#[ \t]*iKeyboard\b', re.M)
SHADERS = (".glsl", ".frag", ".fs", ".fsh", ".shader")
IMAGES = (".png", ".jpg", ".jpeg", ".bmp", ".gif", ".tga", ".tif", ".tiff", ".webp")
VIDEOS = (".mp4", ".webm", ".ogv", ".mkv", ".mov", ".avi", ".m4v")
SOUNDS = (".mp3", ".ogg", ".oga", ".wav", ".flac", ".m4a", ".opus", ".aac")
# Sounds as they are heard: the default capture device, and what the desktop plays (its sound server's
# names for them).
CAPTURES = {"mic": "@DEFAULT_SOURCE@", "desktop": "@DEFAULT_MONITOR@"}
# The faces of a cube map in the GL's order (+X, -X, +Y, -Y, +Z, -Z), as "{}" in its name may spell them.
FACE_NAMES = (("e", "w", "u", "d", "n", "s"), ("east", "west", "up", "down", "north", "south"),
              ("px", "nx", "py", "ny", "pz", "nz"), ("posx", "negx", "posy", "negy", "posz", "negz"),
              ("", "_1", "_2", "_3", "_4", "_5"))  # the site's own files: NAME.jpg, then NAME_1.jpg to NAME_5.jpg


class Channel(NamedTuple):
    kind: str  # pass (a buffer's picture), self (the pass's own), or a kind of texture (facts.get().kinds)
    path: Path = None
    filter: str = "mipmap"  # nearest, linear, mipmap
    wrap: str = "repeat"  # clamp, repeat, mirror
    vflip: bool = True


class Pass(NamedTuple):
    path: Path
    kind: str  # buffer, cube, image; or sound (made into samples, not drawn), first
    channels: dict  # {N: Channel}
    keyboard: bool = False  # whether it says #iKeyboard


def file_text(path):
    """The text of a shader file, for its directives; one message when it cannot be read. A byte that is no
    part of UTF-8 stays the byte it is (os.fsdecode's way), so that a directive names the file it names."""
    return files.read(path).decode(errors="surrogateescape")


def filter_of(word):
    word = word.lower()
    return "mipmap" if "mipmap" in word else word if word in ("nearest", "linear") else None


def read_plainly(kind):
    """Whether a channel of kind (a pass's picture, or a texture without mipmaps) is read linear and clamped
    unless its directives say otherwise; a texture with mipmaps is read through them, repeating."""
    if kind in ("pass", "self"):
        return True
    if kind not in facts.get().kinds:
        raise Failure("the libraries read no texture of the kind %s" % kind)
    return not facts.get().kinds[kind].mipmaps


def channels_of(path, text):
    """{N: Channel} that text's directives give, paths taken from beside path."""
    named, settings = {}, {}
    most = facts.get().channels
    for n, setting, value in DIRECTIVE.findall(text):
        n = int(n)
        if n >= most:
            raise Failure("%s: #iChannel%d: there is no channel %d: the channels are 0 to %d"
                          % (path, n, n, most - 1))
        if setting:
            settings.setdefault(n, {})[setting.lower()] = value
        else:
            named[n] = value
    found = {}
    for n, value in named.items():
        said = settings.get(n, {})
        target = value[len("file://"):] if value.startswith("file://") else value
        where = (Path(path).parent / target) if target else None
        kind = said.get("type", "").lower()
        if value == "self" or (where is not None and real(where) == real(path)):
            kind, where = "self", None
        elif value == "keyboard":
            kind, where = "keyboard", None
        elif value in CAPTURES:  # a sound as it is heard, in live
            kind, where = "capture", CAPTURES[value]
        elif target.lower().endswith(SHADERS):
            kind = "pass"
        elif kind == "cubemap":
            kind = "cube"
        elif kind == "volume" or target.lower().endswith(".bin"):
            kind = "volume"
        elif target.lower().endswith(VIDEOS):
            kind = "video"
        elif target.lower().endswith(SOUNDS) or kind == "sound":
            kind = "sound"
        elif value.startswith(("http://", "https://")):
            raise Failure('%s: #iChannel%d "%s": only files on this machine are read' % (path, n, value))
        else:
            kind = "image"
        for setting in said:
            if setting not in ("type", "minfilter", "magfilter", "wrapmode", "vflip"):
                raise Failure("%s: #iChannel%d::%s is not a setting known here" % (path, n, setting))
        plain = read_plainly(kind)
        filter_word = said.get("minfilter") or said.get("magfilter")
        filter_name = filter_of(filter_word) if filter_word else "linear" if plain else "mipmap"
        wrap = said.get("wrapmode", "clamp" if plain else "repeat").lower()
        if filter_name is None or wrap not in ("clamp", "repeat", "mirror"):
            raise Failure("%s: #iChannel%d: unknown filter or wrap mode %r" % (path, n, filter_word or wrap))
        found[n] = Channel(kind, where, filter_name, wrap, said.get("vflip", "true").lower() != "false")
    return found


def real(path):
    """A file's own path, links followed as far as they go (a loop is no error here)."""
    return os.path.realpath(path)


def resolve(image, given=None):
    """The passes of the shader whose Image pass is the file image, in the order they are drawn, the
    Image pass last; given ({N: path}, the --channelN options) wins over the Image file's directives."""
    image = Path(image)
    text = file_text(image) if image.is_file() else ""
    found = {}  # path -> Pass, in the order they are first named

    def visit(path, kind, text, chain):
        key = real(path)
        if key in found or key in chain:
            return
        chans = channels_of(path, text)
        if kind == "image":
            for n, where in (given or {}).items():
                chans[n] = Channel("image", Path(where))
        for n in sorted(chans):
            if chans[n].kind == "pass":
                other = chans[n].path
                if real(other) == real(image):
                    raise Failure("%s: #iChannel%d names the Image pass; only buffers are read as passes"
                                  % (path, n))
                other_text = file_text(other)
                cube = dialects.dialect(other_text.encode(errors="surrogateescape")) == dialects.CUBEMAP
                visit(other, "cube" if cube else "buffer", other_text, chain | {key})
        found[key] = Pass(path, kind, chans, bool(KEYBOARD.search(text)))

    visit(image, "image", text, frozenset())
    # The buffers, then the cube map passes, then the Image pass.
    ordered = sorted(found.values(), key=lambda p: ("buffer", "cube", "image").index(p.kind))
    wanted = ORDER.search(text)
    if wanted:
        names = [image.parent / w[len("file://"):] if w.startswith("file://") else image.parent / w
                 for w in re.findall(r'"([^"]+)"', wanted[1])]
        keys = [real(n) for n in names]
        rank = {k: i for i, k in enumerate(keys)}
        buffers = [p for p in ordered if p.kind == "buffer"]
        unnamed = [p.path for p in buffers if real(p.path) not in rank]
        if unnamed:
            raise Failure("%s: #iPasses leaves out %s" % (image, ", ".join(map(str, unnamed))))
        ordered = sorted(buffers, key=lambda p: rank[real(p.path)]) + [p for p in ordered if p.kind != "buffer"]
    sound = SOUND.search(text)
    if sound:
        ordered.insert(0, Pass(image.parent / sound[1], "sound", {}))
    most = facts.get().most_passes
    if len(ordered) > most:
        raise Failure("%s has %d passes; %d at most" % (image, len(ordered), most))
    return ordered


def image_pixels(path, what, vflip=True):
    """An image file as (RGBA bytes with the bottom row first, or the top row first with vflip off,
    (width, height))."""
    try:
        from PIL import Image, UnidentifiedImageError
    except ImportError:
        raise Failure("reading channel images needs Python's imaging library (Debian package python3-pil)")
    try:
        if Path(path).exists() and not Path(path).is_file():
            raise Failure("cannot read %s: it is not a regular file" % what)
        # The size is checked before the pixels are decoded: PIL's own limit would end in a traceback.
        Image.MAX_IMAGE_PIXELS = None
        with Image.open(path) as image:
            if max(image.size) > channels.LARGEST_SIDE:
                raise Failure("%s is %dx%d: larger than %d on a side" % (what, *image.size, channels.LARGEST_SIDE))
            pixels = channels.rgba(image)
            if vflip:
                pixels = pixels.transpose(Image.Transpose.FLIP_TOP_BOTTOM)
            return pixels.tobytes(), pixels.size
    except UnidentifiedImageError:
        raise Failure("cannot read %s: not an image in a format known here" % what)
    except OSError as e:
        raise Failure("cannot read %s: %s" % (what, e.strerror or e))


def face_files(pattern):
    """The six files of a cube map's faces, +X to -Z, that pattern names: a folder holding images named by
    one set of face names (px.png, ...), or a name with "{}" where the face's name goes, the first set
    whose six files are all there; None when there are none."""
    if Path(pattern).is_dir():
        found = {f.stem.lower(): f for f in sorted(Path(pattern).iterdir()) if f.suffix.lower() in IMAGES}
        return next(([found[n] for n in names] for names in FACE_NAMES if all(n in found for n in names)), None)
    return next(([pattern.replace("{}", n) for n in names] for names in FACE_NAMES
                 if all(Path(pattern.replace("{}", n)).is_file() for n in names)), None)


def cube_faces(pattern, what):
    """The six faces of a cube map named by pattern: a folder of them, a name with "{}" in it (face_files),
    or one image in a horizontal cross (4 x 3 faces). Returns (the faces' RGBA bytes, +X to -Z, each top
    row first as the GL's cube faces have them, (side, side))."""
    pattern = str(pattern)
    if "{}" in pattern or Path(pattern).is_dir():
        files = face_files(pattern)
        if files is not None:
            faces = [image_pixels(f, "%s (%s)" % (what, f), vflip=False) for f in files]
            if len({size for _, size in faces}) != 1 or faces[0][1][0] != faces[0][1][1]:
                raise Failure("%s: the six faces are not squares of one size" % what)
            return b"".join(data for data, _ in faces), faces[0][1]
        raise Failure("%s: no set of six faces in %s (%s)" % (
            what, pattern, "; ".join(",".join(n) for n in FACE_NAMES)))
    data, (w, h) = image_pixels(pattern, what, vflip=False)
    side = w // 4
    if w != 4 * side or h != 3 * side or side == 0:
        raise Failure("%s is %dx%d: a cube map in one image is a cross of 4 x 3 squares" % (what, w, h))
    # The horizontal cross: +Y above, then -X, +Z, +X, -Z across, -Y below.
    where = {0: (2, 1), 1: (0, 1), 2: (1, 0), 3: (1, 2), 4: (1, 1), 5: (3, 1)}
    row = w * 4
    faces = []
    for f in range(6):
        cx, cy = where[f]
        faces.append(b"".join(data[(cy * side + y) * row + cx * side * 4:(cy * side + y) * row + (cx + 1) * side * 4]
                              for y in range(side)))
    return b"".join(faces), (side, side)


def volume_texels(path, what):
    """A volume in the site's binary format: a 20-byte header (a signature, then the width, height and
    depth as 32-bit little-endian numbers, the channels per texel, a layout byte and a 16-bit format, 0
    for bytes), then the texels, x fastest. Returns (RGBA bytes, (w, h, d))."""
    try:
        data = Path(path).read_bytes()
    except OSError as e:
        raise Failure("cannot read %s: %s" % (what, e.strerror or e))
    if len(data) < 20:
        raise Failure("%s is not a volume: shorter than its header" % what)
    w, h, d = (int.from_bytes(data[i:i + 4], "little") for i in (4, 8, 12))
    per, form = data[16], int.from_bytes(data[18:20], "little")
    if form != 0 or per not in (1, 2, 3, 4) or not (0 < w <= 2048 and 0 < h <= 2048 and 0 < d <= 2048):
        raise Failure("%s: a volume of %dx%dx%d, %d channels, format %d, is not one read here" % (
            what, w, h, d, per, form))
    body = data[20:20 + w * h * d * per]
    if len(body) != w * h * d * per:
        raise Failure("%s is short: %dx%dx%d texels of %d bytes need %d" % (what, w, h, d, per, w * h * d * per))
    if per == 4:
        return body, (w, h, d)
    pad = {1: lambda t: t * 3 + b"\xff", 2: lambda t: t + b"\x00\xff", 3: lambda t: t + b"\xff"}[per]
    return b"".join(pad(body[i:i + per]) for i in range(0, len(body), per)), (w, h, d)


# The most bytes a video's decoded frames take; a larger video is made smaller, then shorter.
VIDEO_BYTES = 512 << 20


def video_frames(path, what, vflip, workdir):
    """Decodes a video with ffmpeg into workdir as RGBA frames (bottom row first with vflip), at its own
    frame rate, within VIDEO_BYTES. Returns (the file, (width, height, frames), frames per second, what was
    given up to fit, or "")."""
    import json
    import subprocess
    try:
        probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
                                "stream=width,height,avg_frame_rate,r_frame_rate,nb_read_packets", "-of", "json", "file:" +
                                str(Path(path).absolute())], capture_output=True, text=True, timeout=120)
    except (OSError, subprocess.TimeoutExpired) as e:
        raise Failure("cannot read %s: ffprobe: %s" % (what, e))
    streams = json.loads(probe.stdout or "{}").get("streams") or [{}]
    w, h, count = (int(streams[0].get(k) or 0) for k in ("width", "height", "nb_read_packets"))
    rate = 0.0
    for field in ("avg_frame_rate", "r_frame_rate"):  # Ogg's Theora has no average, only its own rate
        num, _, den = str(streams[0].get(field, "0/1")).partition("/")
        rate = rate or (float(num) / float(den or 1) if float(den or 1) else 0.0)
    if probe.returncode != 0 or not (w and h and count and rate > 0):
        said = (probe.stderr.strip().splitlines() or ["not a video in a format known here"])[-1]
        raise Failure("cannot read %s: %s" % (what, said))
    scale, given_up = 1.0, ""
    if w * h * 4 * count > VIDEO_BYTES:
        scale = max((VIDEO_BYTES / (w * h * 4 * count)) ** 0.5, 160 / max(w, h), 0.0)
        given_up = "made %dx%d" % (max(2, int(w * scale) // 2 * 2), max(2, int(h * scale) // 2 * 2))
    if scale < 1.0:
        w, h = max(2, int(w * scale) // 2 * 2), max(2, int(h * scale) // 2 * 2)
    count = min(count, max(1, VIDEO_BYTES // (w * h * 4)))
    raw = Path(workdir) / ("video%d.raw" % len(list(Path(workdir).glob("video*.raw"))))
    filters = "scale=%d:%d%s" % (w, h, ",vflip" if vflip else "")
    done = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", "file:" + str(Path(path).absolute()), "-vf",
                           filters, "-frames:v", str(count), "-f", "rawvideo", "-pix_fmt", "rgba", "-y",
                           "file:" + str(raw)], capture_output=True, text=True, timeout=600)
    got = raw.stat().st_size // (w * h * 4) if raw.exists() else 0
    if done.returncode != 0 or got == 0:
        raise Failure("cannot decode %s: %s" % (what, (done.stderr.strip().splitlines() or ["ffmpeg failed"])[-1]))
    if got < count and not given_up:
        given_up = "%d of its %d frames" % (got, count)
    return raw, (w, h, got), rate, given_up


def sound_samples(path, what, workdir, channels=1):
    """Decodes a sound with ffmpeg into workdir as 32-bit float samples at the libraries' sample rate, mono
    (or interleaved channels); returns the file."""
    import subprocess
    raw = Path(workdir) / ("sound%d.raw" % len(list(Path(workdir).glob("sound*.raw"))))
    try:
        done = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", "file:" + str(Path(path).absolute()), "-vn",
                               "-ac", str(channels), "-ar", str(facts.get().sample_rate), "-f", "f32le", "-y", "file:" + str(raw)],
                              capture_output=True, text=True, timeout=600)
    except (OSError, subprocess.TimeoutExpired) as e:
        raise Failure("cannot read %s: ffmpeg: %s" % (what, e))
    if done.returncode != 0 or not raw.exists() or raw.stat().st_size == 0:
        said = (done.stderr.strip().splitlines() or ["no sound in it"])[-1]
        raise Failure("cannot read %s: %s" % (what, said))
    return raw


def write_plan(ordered, workdir, said=None, capture=None):
    """Writes the plan for the passes ordered, with each texture decoded into workdir; returns its path.
    Its paths, whatever their names hold, are written as lines.escaped writes them. What had to be given up to fit (of a long video) is added to said. capture(source) gives the pipe a
    sound as it is heard is read from (live's); without it, such a channel is refused."""
    workdir = Path(workdir)
    # A pass is named in the plan by its place among the passes drawn (the Sound pass is not one).
    index = {real(p.path): i for i, p in enumerate(p for p in ordered if p.kind != "sound")}
    lines, textures = [], {}

    def texture(channel, n, p):
        key = (channel.kind, str(channel.path), channel.vflip)
        if key in textures:
            return textures[key]
        what = "the %s for iChannel%d%s, %s" % ({"cube": "cube map", "volume": "volume", "video": "video",
                                                 "sound": "sound", "capture": "sound"}.get(channel.kind, "image"), n,
                                               "" if p.kind == "image" else " of " + str(p.path), channel.path)
        if channel.kind == "image":
            data, size = image_pixels(channel.path, what, channel.vflip)
            size = "%dx%d" % size
        elif channel.kind == "cube":
            data, size = cube_faces(channel.path, what)
            size = "%dx%d" % size
        elif channel.kind == "volume":
            data, size = volume_texels(channel.path, what)
            size = "%dx%dx%d" % size
        elif channel.kind == "capture":
            if capture is None:
                raise Failure('%s: a sound as it is heard is not the same twice: record a file of it and name the '
                              'file' % what)
            lines.append("texture\tcapture\t%dx%d\tfd:%d\t%d" % (*facts.get().sound_texture, capture(str(channel.path)),
                                                               facts.get().sample_rate))
            textures[key] = len(textures)
            return textures[key]
        elif channel.kind == "sound":
            raw = sound_samples(channel.path, what, workdir)
            lines.append("texture\tsound\t%dx%d\t%s\t%d" % (*facts.get().sound_texture, escaped(raw),
                                                             facts.get().sample_rate))
            textures[key] = len(textures)
            return textures[key]
        elif channel.kind == "video":
            raw, size, rate, given_up = video_frames(channel.path, what, channel.vflip, workdir)
            if given_up and said is not None:
                said.append("%s: %s, to fit in %d MiB" % (what, given_up, VIDEO_BYTES >> 20))
            lines.append("texture\tvideo\t%dx%dx%d\t%s\t%r" % (*size, escaped(raw), rate))
            textures[key] = len(textures)
            return textures[key]
        else:
            data, size = b"", "%dx%d" % facts.get().keyboard_texture
        raw = workdir / ("texture%d.raw" % len(textures))
        try:
            raw.write_bytes(data)
        except OSError as e:
            raise Failure("cannot hand over %s: %s (%s)" % (what, e.strerror or e, workdir))
        lines.append("texture\t%s\t%s\t%s" % (channel.kind, size, escaped(raw)))
        textures[key] = len(textures)
        return textures[key]

    body = []
    if any(p.keyboard for p in ordered):  # #iKeyboard: the keys, read through iKeyboard
        texture(Channel("keyboard"), 0, ordered[-1])
    for p in ordered:
        if p.kind == "sound":
            body.append("sound\t%s" % escaped(p.path.absolute()))
            continue
        body.append("pass\t%s\t%s" % (p.kind, escaped(p.path.absolute())))
        for n, c in sorted(p.channels.items()):
            if c.kind == "pass":
                what, ref = "pass", index[real(c.path)]
            elif c.kind == "self" and p.kind != "image":
                what, ref = "pass", index[real(p.path)]
            elif c.kind == "self":
                what, ref = "self", 0
            else:
                what, ref = "texture", texture(c, n, p)
            body.append("channel\t%d\t%s\t%d\t%s\t%s" % (n, what, ref, c.filter, c.wrap))
    plan = workdir / "plan"
    plan.write_bytes(os.fsencode("\n".join(lines + body) + "\n"))
    return plan


def prepare(shader, workdir, media=(), given=None, capture=None):
    """What a command draws of shader (a file, or Shadertoy's JSON, written into workdir as files first):
    (the Image pass's file, the plan's path, the passes in order, what to say of what is left out)."""
    notes = []
    shader = Path(shader)
    if shader.suffix.lower() == ".json":
        from quillomar import shadertoy
        shader, notes = shadertoy.write(shader, workdir, media, given or {})
    ordered = resolve(shader, given)
    plan = write_plan(ordered, workdir, notes, capture)
    return shader, plan, ordered, notes
