"""A shader's passes, from the directives of the files a person edits, and the order they are drawn in:
the file given is the Image pass, and directives in each file say what its channels show, in the syntax
of the widely used editor extension for such shaders:

    #iChannel0 "file://bufferA.glsl"      another pass (a buffer: its picture, kept from frame to frame)
    #iChannel1 "self"                     this pass's own previous frame
    #iChannel2 "file://wood.png"          an image
    #iChannel3 "file://sky_{}.jpg"        with #iChannel3::Type "CubeMap": a cube map's six faces
    #iChannel0::MinFilter "Nearest"       filter: Nearest, Linear or a MipMap one (also ::MagFilter)
    #iChannel0::WrapMode "Repeat"         wrap: Clamp, Repeat or Mirror

A pass file of the mainCubemap dialect (as translate tells it) is a cube map pass (the site's Cube A): read
as a cube map.

#iKeyboard gives a pass isKeyDown(Key_A), isKeyPressed, isKeyToggled and isKeyReleased, and,
of Quillomar's own: "keyboard" for the keyboard texture, "webcam" for a picture of the camera (live
only), a ".bin" path for a volume,
#iChannel0::VFlip "false" for an image read upside down, and #iPasses "a.glsl" "b.glsl" in the Image
file for the order the buffers are drawn in (else each pass's inputs come before it: a chain is drawn
from its start), and
#iSound "sound.glsl" in the Image file for its Sound pass (vec2 mainSound(int samp, float time)). Paths are taken
from the folder of the file that names them. (#iDialect "mainImage" is the dialect table's, dialects.c.)
plan.py hands the passes to the library, with every texture decoded (media.py)."""
import os
import re
from pathlib import Path
from typing import NamedTuple

from quillomar import Failure, dialects, facts, files

DIRECTIVE = re.compile(r'^[ \t]*#[ \t]*iChannel(\d+)(?:::(\w+))?[ \t]+"([^"\n]*)"', re.M)
ORDER = re.compile(r'^[ \t]*#[ \t]*iPasses[ \t]+(.*)$', re.M)
SOUND = re.compile(r'^[ \t]*#[ \t]*iSound[ \t]+"(?:file://)?([^"\n]+)"', re.M)
KEYBOARD = re.compile(r'^[ \t]*#[ \t]*iKeyboard\b', re.M)
# An #include line as the libraries read it: what comes before the name, and the name, quoted or in <>.
BLANK = r"[ \t\r\f\v]"
INCLUDE = re.compile(r'^(%s*#%s*(?:pragma%s+)?include%s*)(?:"([^"\n]+)"|<([^>\n]+)>)' % ((BLANK,) * 4), re.M)
SHADERS = (".glsl", ".frag", ".fs", ".fsh", ".shader")
VIDEOS = (".mp4", ".webm", ".ogv", ".mkv", ".mov", ".avi", ".m4v")
SOUNDS = (".mp3", ".ogg", ".oga", ".wav", ".flac", ".m4a", ".opus", ".aac")
# Sounds as they are heard: the default capture device, and what the desktop plays (its sound server's
# names for them).
CAPTURES = {"mic": "@DEFAULT_SOURCE@", "desktop": "@DEFAULT_MONITOR@"}
# The camera a "webcam" channel shows, in live (through ffmpeg's v4l2 input).
CAMERA = "/dev/video0"


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
    first: tuple = None  # a pass of a folder (folders.py): the files its text includes first; None: its file alone


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
        elif value == "webcam":  # the camera's picture, in live
            kind, where = "image", CAMERA
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


def image_passes(image, given=None):
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


