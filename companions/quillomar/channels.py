"""The channels iChannel0 to iChannel3 of web shaders: the --channelN options, images as 8-bit RGBA, and
the "// channelN: PATH" lines that say in a shader's header which image it wants. What each pass's
channels show is directives.py's."""
import re
from pathlib import Path

from quillomar import facts

# The largest image on a side: what a GL takes as a texture at the least, whatever it offers.
LARGEST_SIDE = 16384


def add_options(parser):
    """--channel0 FILE to --channel3 FILE: images for mainImage shaders' iChannel0 to iChannel3."""
    for n in range(facts.get().channels):
        parser.add_argument("--channel%d" % n, metavar="IMAGE", type=Path,
                            help="image for iChannel%d (PNG, JPEG, ...)" % n if n == 0 else "... iChannel%d" % n)


def check_numbers(argv):
    """The message for a --channelN beyond the last channel, which the parser would only call unknown."""
    most = facts.get().channels
    for arg in argv:
        m = re.fullmatch(r"--channel(\d+)(=.*)?", arg)
        if m and int(m[1]) >= most:
            return "there is no channel %s: the channels are 0 to %d" % (m[1], most - 1)
    return None


def given(args):
    """{N: path} of the images given by --channelN options."""
    return {n: getattr(args, "channel%d" % n) for n in range(facts.get().channels)
            if getattr(args, "channel%d" % n) is not None}


def rgba(image):
    """image as 8-bit RGBA. Images of 16 or 32 bits a sample (grey PNGs, say) are scaled down, not cut."""
    if image.mode in ("I", "I;16", "I;16L", "I;16B", "I;16N"):
        top = 65535 if image.mode.startswith("I;16") or image.getextrema()[1] <= 65535 else 2 ** 32 - 1
        image = image.convert("I").point(lambda v: v * (255 / top)).convert("L")
    return image.convert("RGBA")


def header_options(text, root=Path(".")):
    """The --channelN options that the "// channelN: PATH" lines of a shader (str or bytes) ask for, each
    PATH taken from root."""
    if isinstance(text, bytes):
        text = text.decode(errors="replace")
    return [word for n, path in re.findall(r"^// channel(\d): (.+)$", text, re.M)
            for word in ("--channel" + n, str(Path(root) / path))]
