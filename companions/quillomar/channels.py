"""The channels iChannel0 to iChannel3 of web shaders: the --channelN options, the images decoded into
the settings that hand them to a preload library, and the "// channelN: PATH" lines that say in a
shader's header which image it wants."""
import re
from pathlib import Path

from quillomar import Failure
from quillomar.settings import encode

CHANNELS = 4
# The largest image on a side: what a GL takes as a texture at the least, whatever it offers.
LARGEST_SIDE = 16384


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


# The directive an editor extension for such shaders reads: #iChannel0 "file://picture.png".
DIRECTIVE = re.compile(r'^[ \t]*#[ \t]*iChannel(\d)[ \t]+"(?:file://)?([^"]+)"', re.M)
IMAGES = (".png", ".jpg", ".jpeg", ".bmp", ".gif", ".tga", ".tif", ".tiff", ".webp")


def directives(text, folder):
    """{N: path} of the images a shader's text (bytes) names with #iChannelN "FILE" lines, each FILE taken
    from folder; a channel named as anything else (another pass, "self") is refused in one message."""
    found = {}
    for n, name in DIRECTIVE.findall(text.decode(errors="replace")):
        if int(n) >= CHANNELS:
            raise Failure("#iChannel%s: there is no channel %s: the channels are 0 to %d" % (n, n, CHANNELS - 1))
        if not name.lower().endswith(IMAGES):
            raise Failure('#iChannel%s "%s": only images are read as channels yet' % (n, name))
        found[int(n)] = Path(folder) / name
    return found


def given(args):
    """The channels given by --channelN options."""
    return {n for n in range(CHANNELS) if getattr(args, "channel%d" % n) is not None}


def settings(args, workdir, shader=None):
    """Decodes the images given for the channels (--channelN, else the shader file's #iChannelN
    directives) into workdir for the preload libraries; returns the settings that hand them over. The
    first row of an image is its top, as mainImage shaders expect; the library takes the bottom row
    first, as the GL does."""
    found = {}
    named = {}
    if shader is not None and Path(shader).is_file():
        named = directives(Path(shader).read_bytes()[:16 << 20], Path(shader).parent)
    for n in range(CHANNELS):
        path = getattr(args, "channel%d" % n) or named.get(n)
        if path is None:
            continue
        try:
            from PIL import Image, UnidentifiedImageError
        except ImportError:
            raise Failure("reading channel images needs Python's imaging library (Debian package python3-pil)")
        name = "the image for iChannel%d, %s" % (n, path)
        try:
            if Path(path).exists() and not Path(path).is_file():
                raise Failure("cannot read %s: it is not a regular file" % name)
            # The size is checked before the pixels are decoded: PIL's own limit would end in a traceback.
            Image.MAX_IMAGE_PIXELS = None
            with Image.open(path) as image:
                if max(image.size) > LARGEST_SIDE:
                    raise Failure("%s is %dx%d: larger than %d on a side" % (name, *image.size, LARGEST_SIDE))
                pixels = rgba(image).transpose(Image.Transpose.FLIP_TOP_BOTTOM)
        except UnidentifiedImageError:
            raise Failure("cannot read %s: not an image in a format known here" % name)
        except OSError as e:
            raise Failure("cannot read %s: %s" % (name, e.strerror or e))
        raw = Path(workdir) / ("channel%d.rgba" % n)
        try:
            raw.write_bytes(pixels.tobytes())
        except OSError as e:
            raise Failure("cannot hand over %s: %s (%s)" % (name, e.strerror or e, workdir))
        found.update(encode(**{"channel%d_kind" % n: "image", "channel%d_size" % n: pixels.size,
                               "channel%d_path" % n: raw}))
    return found


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
