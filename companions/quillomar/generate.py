"""The site's procedural media, made here: white noise, blue noise, the Bayer matrix and a font atlas,
each the same bytes every time, in the site's file formats (a PNG, gray for one channel and RGBA for
four; a volume in the binary form media.volume_texels reads); and the placeholders that stand in for a
picture, a cube map, a video or a sound that is not here. Each file is written whole or not at all: into
a part file beside it, then renamed over it."""
import io
import os
import struct
import tempfile
import unicodedata
import wave
from pathlib import Path

from quillomar import Failure

# The font the atlas is drawn from (Debian package fonts-dejavu-core).
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"
# The atlas: 16 x 16 cells, one per Latin-1 code, each CELL pixels on a side; the distance field's
# alpha covers SPREAD pixels either side of a glyph's edge.
CELL, SPREAD = 64, 16
# The offset at which the RGBA noise's green channel repeats its red one (and alpha its blue one), in
# texels of the texture as the GL reads it: a shader reads a 3D value noise from the 2D texture by
# reading red and green at p.xy + OFFSET * p.z.
OFFSET = (37, 17)
MAGENTA = (255, 0, 255)


def numpy():
    try:
        import numpy
    except ImportError:
        raise Failure("making the site's procedural media needs NumPy (Debian package python3-numpy)")
    return numpy


def seed(medium):
    """A fixed seed of a file's own: the first 64 bits of its hash."""
    return int(medium.file[:16], 16)


def white_noise(medium):
    """Uniform bytes, each channel its own, from PCG64 seeded by the file. In RGBA, green is red and alpha
    is blue, moved by OFFSET (as the GL reads the texture: x to the right, y up), which is the one relation
    between them; at any one texel the four are unrelated."""
    np = numpy()
    rng = np.random.Generator(np.random.PCG64(seed(medium)))
    shape = tuple(reversed(medium.size)) + (medium.channels,)  # (depth,) height, width, channels
    texels = rng.integers(0, 256, size=shape, dtype=np.uint8)
    if medium.channels == 4 and len(medium.size) == 2:
        # Row 0 of the file is the top row, the last the GL reads: moving up OFFSET[1] is a row nearer
        # the top of the file.
        for source, moved in ((0, 1), (2, 3)):
            texels[..., moved] = np.roll(texels[..., source], (-OFFSET[1], OFFSET[0]), axis=(0, 1))
    return texels


def blue_noise(medium, rounds=3):
    """Noise with no low frequencies and every value equally often, each channel its own field: white
    noise (PCG64, seeded by the file), then rounds of taking the low frequencies out (a Gaussian high-pass
    in the Fourier domain) and putting each value back in the order of its rank (a flat histogram)."""
    np = numpy()
    width, height = medium.size
    rng = np.random.Generator(np.random.PCG64(seed(medium)))
    field = rng.random((medium.channels, height, width), dtype=np.float32)
    fy, fx = np.fft.fftfreq(height)[:, None], np.fft.rfftfreq(width)[None, :]
    high_pass = 1.0 - np.exp(-(fx * fx + fy * fy) / (2 * 0.12 ** 2))
    count = width * height
    ranks = np.empty((medium.channels, count), dtype=np.int64)
    for _ in range(rounds):
        filtered = np.fft.irfft2(np.fft.rfft2(field, axes=(1, 2)) * high_pass, s=(height, width), axes=(1, 2))
        order = np.argsort(filtered.reshape(medium.channels, -1).astype(np.float32), axis=1, kind="stable")
        np.put_along_axis(ranks, order, np.arange(count)[None, :], axis=1)
        field = ((ranks + 0.5) / count).astype(np.float32).reshape(medium.channels, height, width)
    return np.moveaxis(np.floor(field * 256).astype(np.uint8), 0, -1)


def bayer_indices(side):
    """The ordered-dither matrix of side (a power of two): each cell's place in the order, 0 to side^2 - 1,
    top row first; made from the 2x2 one [[0, 2], [3, 1]] by putting 4M, 4M + 2, 4M + 3 and 4M + 1 in the
    quarters of the next."""
    np = numpy()
    m = np.zeros((1, 1), dtype=np.int64)
    while m.shape[0] < side:
        m = np.block([[4 * m, 4 * m + 2], [4 * m + 3, 4 * m + 1]])
    return m


def bayer(medium):
    """The Bayer matrix as gray: index i of n cells is round(i * 255 / (n - 1))."""
    np = numpy()
    side = medium.size[0]
    indices = bayer_indices(side)
    return np.rint(indices * 255 / (side * side - 1)).astype(np.uint8)[..., None]


def font(medium):
    """A glyph atlas: 16 x 16 cells of CELL pixels, code c (Latin-1) in column c % 16 and row c // 16 from
    the top; red the glyph, antialiased; alpha its signed distance field, 0.5 at the edge, less inside
    and more outside, SPREAD pixels to 0 or 1; green and blue the field's gradient in x and y (y up, as
    the GL reads the texture), each -1..1 as 0..255. A code with no glyph (a control code) is an empty
    cell: no ink, alpha 1."""
    np = numpy()
    try:
        from PIL import Image, ImageDraw, ImageFont
        from scipy import ndimage
    except ImportError as e:
        raise Failure("making the site's font needs %s (Debian packages python3-pil and python3-scipy)" % e.name)
    try:
        face = ImageFont.truetype(FONT, int(CELL * 0.75))
    except OSError:
        raise Failure("making the site's font needs %s (Debian package fonts-dejavu-core)" % FONT)
    atlas = np.zeros((16 * CELL, 16 * CELL, 4), dtype=np.uint8)
    atlas[..., 1:3], atlas[..., 3] = 128, 255
    for code in range(256):
        char = chr(code)
        if unicodedata.category(char).startswith("C") or char.isspace():
            continue
        cell = Image.new("L", (CELL, CELL), 0)
        ImageDraw.Draw(cell).text((CELL / 2, CELL * 0.78), char, fill=255, font=face, anchor="ms")
        ink = np.asarray(cell)
        inside = ink >= 128
        if not inside.any():
            continue
        distance = ndimage.distance_transform_edt(~inside) - ndimage.distance_transform_edt(inside)
        # The edge lies between an inside pixel and an outside one: half a pixel from each.
        distance = np.where(inside, distance + 0.5, distance - 0.5)
        gy, gx = np.gradient(distance)
        gy = -gy  # rows run down; the GL's y runs up
        length = np.hypot(gx, gy)
        length[length == 0] = 1
        y, x = divmod(code, 16)
        block = atlas[y * CELL:(y + 1) * CELL, x * CELL:(x + 1) * CELL]
        block[..., 0] = ink
        block[..., 1] = np.rint((gx / length + 1) * 127.5)
        block[..., 2] = np.rint((gy / length + 1) * 127.5)
        block[..., 3] = np.rint(np.clip(0.5 + distance / (2 * SPREAD), 0, 1) * 255)
    return atlas


MAKERS = {"white-noise": white_noise, "blue-noise": blue_noise, "bayer": bayer, "font": font}


def encoded(medium, texels):
    """texels ((depth,) height, width, channels) as the bytes of the medium's file."""
    if medium.format == "bin":
        width, height, depth = medium.size
        header = b"BIN\0" + struct.pack("<IIIBBH", width, height, depth, medium.channels, 0, 0)
        return header + texels.tobytes()
    from PIL import Image
    mode = {1: "L", 4: "RGBA"}[medium.channels]
    out = io.BytesIO()
    Image.fromarray(texels[..., 0] if medium.channels == 1 else texels, mode).save(out, "PNG")
    return out.getvalue()


def write_whole(path, data):
    """Writes data at path whole or not at all: a part file beside it, renamed over it; makes its folder."""
    path = Path(path)
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        handle, part = tempfile.mkstemp(dir=path.parent, prefix="." + path.name + ".", suffix=".part")
    except OSError as e:
        raise Failure("cannot write in %s: %s" % (path.parent, e.strerror or e))
    try:
        with os.fdopen(handle, "wb") as out:
            out.write(data() if callable(data) else data)
        os.chmod(part, 0o644)
        os.replace(part, path)
    except OSError as e:
        os.unlink(part)
        raise Failure("cannot write %s: %s" % (path, e.strerror or e))
    except BaseException:
        os.unlink(part)
        raise
    return path


def make(medium, path):
    """Makes the procedural medium's file at path."""
    return write_whole(path, lambda: encoded(medium, MAKERS[medium.made](medium)))


def checkerboard(width, height):
    """The missing-texture picture: magenta and black squares, 8 across the longer side."""
    np = numpy()
    square = max(1, max(width, height) // 8)
    y, x = np.mgrid[0:height, 0:width]
    on = ((x // square + y // square) % 2 == 0)[..., None]
    return np.where(on, np.array(MAGENTA, dtype=np.uint8), np.uint8(0)).astype(np.uint8)


def png(texels):
    from PIL import Image
    out = io.BytesIO()
    Image.fromarray(texels, "RGB").save(out, "PNG")
    return out.getvalue()


def placeholder(kind, size, folder):
    """A placeholder of kind (texture, cubemap, volume, music) and size in folder, made if not there:
    returns what a directive names (a cube map's six faces as a name with "{}" where each face's ends)."""
    folder = Path(folder)
    if kind == "cubemap":
        side = size[0] if size else 256
        name = "placeholder-cube-%d" % side
        for end in ("",) + tuple("_%d" % k for k in range(1, 6)):
            if not (folder / (name + end + ".png")).is_file():
                write_whole(folder / (name + end + ".png"), lambda: png(checkerboard(side, side)))
        return folder / (name + "{}.png")
    if kind == "music":
        out = folder / "placeholder-silence.wav"
        if not out.is_file():
            write_whole(out, silence)
        return out
    if kind == "volume":
        side = 32
        out = folder / ("placeholder-%dx%dx%d.bin" % (side, side, side))
        if not out.is_file():
            np = numpy()
            z, y, x = np.mgrid[0:side, 0:side, 0:side] // 4
            on = ((x + y + z) % 2 == 0)[..., None]
            texels = np.where(on, np.array(MAGENTA + (255,), dtype=np.uint8), np.uint8(0)).astype(np.uint8)
            write_whole(out, b"BIN\0" + struct.pack("<IIIBBH", side, side, side, 4, 0, 0) + texels.tobytes())
        return out
    width, height = size[:2] if len(size) >= 2 else (256, 256)
    out = folder / ("placeholder-%dx%d.png" % (width, height))
    if not out.is_file():
        write_whole(out, lambda: png(checkerboard(width, height)))
    return out


def silence():
    """A second of silence, as a WAV file."""
    out = io.BytesIO()
    with wave.open(out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(44100)
        w.writeframes(bytes(2 * 44100))
    return out.getvalue()
