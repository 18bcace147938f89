"""The channels iChannel0 to iChannel3 of web shaders: the --channelN options, the images decoded into
the settings that hand them to a preload library, and the "// channelN: PATH" lines that say in a
shader's header which image it wants."""
import re
from pathlib import Path

from quillomar import Failure
from quillomar.settings import encode

CHANNELS = 4


def add_options(parser):
    """--channel0 FILE to --channel3 FILE: images for mainImage shaders' iChannel0 to iChannel3."""
    for n in range(CHANNELS):
        parser.add_argument("--channel%d" % n, metavar="IMAGE", type=Path,
                            help="image for iChannel%d (PNG, JPEG, ...)" % n if n == 0 else "... iChannel%d" % n)


def check_numbers(argv):
    """The message for a --channelN beyond the last channel, which the parser would only call unknown."""
    for arg in argv:
        m = re.fullmatch(r"--channel(\d+)(=.*)?", arg)
        if m and int(m[1]) >= CHANNELS:
            return "there is no channel %s: the channels are 0 to %d" % (m[1], CHANNELS - 1)
    return None


def settings(args, workdir):
    """Decodes the images given for the channels into workdir for the preload libraries; returns the
    settings that hand them over. The first row of an image is its top, as mainImage shaders expect;
    the library takes the bottom row first, as the GL does."""
    found = {}
    for n in range(CHANNELS):
        path = getattr(args, "channel%d" % n)
        if path is None:
            continue
        try:
            from PIL import Image, UnidentifiedImageError
        except ImportError:
            raise Failure("reading channel images needs Python's imaging library (Debian package python3-pil)")
        try:
            with Image.open(path) as image:
                pixels = image.convert("RGBA").transpose(Image.Transpose.FLIP_TOP_BOTTOM)
        except UnidentifiedImageError:
            raise Failure("cannot read the image for iChannel%d, %s: not an image in a format known here" % (n, path))
        except OSError as e:
            raise Failure("cannot read the image for iChannel%d, %s: %s" % (n, path, e.strerror or e))
        raw = Path(workdir) / ("channel%d.rgba" % n)
        raw.write_bytes(pixels.tobytes())
        found.update(encode(**{"channel%d_kind" % n: "image", "channel%d_size" % n: pixels.size,
                               "channel%d_path" % n: raw}))
    return found


def header_options(text, root=Path(".")):
    """The --channelN options that the "// channelN: PATH" lines of a shader (str or bytes) ask for, each
    PATH taken from root."""
    if isinstance(text, bytes):
        text = text.decode(errors="replace")
    return [word for n, path in re.findall(r"^// channel(\d): (.+)$", text, re.M)
            for word in ("--channel" + n, str(Path(root) / path))]
