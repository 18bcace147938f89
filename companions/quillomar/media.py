"""The media channels show, decoded into what the plan hands the library (plan.py): images as RGBA
bytes, cube maps' six faces (a folder of them, a name with "{}" where the face's name goes, or one image in
a cross), volumes in the site's binary format, and videos and sounds through ffmpeg."""
from pathlib import Path

from quillomar import Failure, channels, facts

IMAGES = (".png", ".jpg", ".jpeg", ".bmp", ".gif", ".tga", ".tif", ".tiff", ".webp")
# The faces of a cube map in the GL's order (+X, -X, +Y, -Y, +Z, -Z), as "{}" in its name may spell them.
FACE_NAMES = (("e", "w", "u", "d", "n", "s"), ("east", "west", "up", "down", "north", "south"),
              ("px", "nx", "py", "ny", "pz", "nz"), ("posx", "negx", "posy", "negy", "posz", "negz"),
              ("", "_1", "_2", "_3", "_4", "_5"))  # the site's own files: NAME.jpg, then NAME_1.jpg to NAME_5.jpg


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


def camera_still(device, out):
    """Writes one picture of the camera at device (a V4L2 device, through ffmpeg) to out as a PNG; returns
    "" when it did, else why not, in a few words."""
    import subprocess
    if not Path(device).exists():
        return "there is no %s" % device
    try:
        done = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-f", "v4l2", "-i", str(device), "-frames:v", "1",
                               "-y", "file:" + str(out)], capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired) as e:
        return "ffmpeg: %s" % e
    if done.returncode != 0 or not Path(out).is_file():
        return (done.stderr.strip().splitlines() or ["ffmpeg failed"])[-1]
    return ""
