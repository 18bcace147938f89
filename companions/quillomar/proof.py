"""Proving a finished clip before it replaces anything: ffmpeg can end with status 0 on a full disk, having
written a file that will not play, or one cut short. Each format is read back: the number of frames a
video or a still decodes to, and the length of an animation (GIF and animated WebP may merge frames that
are alike into one longer frame; libwebp writes a clip whose frames are all alike as a still WebP). A GIF's
frames are also held against a digest of the frames drawn: a palette that lacks colours of the clip makes
a file of the right length that shows the wrong pictures."""
import itertools
import struct
import subprocess
import tempfile
from pathlib import Path

from quillomar import Failure, filters


# The chunks that hold a picture's own data: a still WebP has one, an animated one has them inside ANMF.
WEBP_PICTURES = (b"VP8 ", b"VP8L")


def webp_length(data):
    """The frames and the length in milliseconds of an animated WebP file, or (1, None) for a still one;
    raises ValueError when its RIFF structure is not whole."""
    if len(data) < 12 or data[:4] != b"RIFF" or data[8:12] != b"WEBP":
        raise ValueError("not a WebP file")
    if struct.unpack_from("<I", data, 4)[0] + 8 != len(data):
        raise ValueError("its RIFF length is not the file's")
    at, frames, length, pictures = 12, 0, 0, 0
    while at < len(data):
        if at + 8 > len(data):
            raise ValueError("a chunk cut short")
        kind, size = data[at:at + 4], struct.unpack_from("<I", data, at + 4)[0]
        if at + 8 + size > len(data):
            raise ValueError("a chunk cut short")
        if kind == b"ANMF":
            frames += 1
            length += int.from_bytes(data[at + 20:at + 23], "little")
        pictures += kind in WEBP_PICTURES
        at += 8 + size + (size & 1)
    if pictures and frames:
        raise ValueError("a picture outside the animation's frames")
    if pictures > 1:
        raise ValueError("%d pictures in a still" % pictures)
    return (1, None) if pictures else (frames, length)


def probe(path, *entries):
    done = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                           ",".join(entries), "-of", "default=noprint_wrappers=1:nokey=1", "file:" + str(path)],
                          capture_output=True, text=True, timeout=600)
    if done.returncode != 0 or done.stderr.strip():
        raise ValueError(done.stderr.strip() or "ffprobe cannot read it")
    return done.stdout.split()


def check_sound(path, seconds, encoder_said=""):
    """Raises Failure unless path has a sound lasting seconds (to a hundredth, as encoders pad and trim in
    blocks)."""
    try:
        done = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                               "stream=duration:format=duration", "-of", "default=noprint_wrappers=1:nokey=1",
                               "file:" + str(path)], capture_output=True, text=True, timeout=600)
        # The stream's own length where the container keeps one (WebM keeps only the file's).
        known = [float(v) for v in done.stdout.split() if v != "N/A"] if done.returncode == 0 else []
        length = known[0] if len(done.stdout.split()) > 1 and known else None
        if length is None or abs(length - seconds) > 0.03:
            raise ValueError("its sound lasts %s s, where %.3f s were written" % (length, seconds))
    except (ValueError, OSError) as e:
        raise Failure("the encoder's output is not whole (%s)%s" % (e, ": " + encoder_said if encoder_said else ""))


# A digest's grid: at most this many cells a side, each of at least CELL pixels a side.
CELLS, CELL = 8, 8
# How far (of 255, the mean of a cell's three channels) a palette's dithering may move a cell's colour. The
# worst measured was 20, for a thousand frames of flat colours of every kind (more than one palette holds);
# a colour missing from a palette is off by far more.
DITHER = 48


class Digest:
    """What each frame handed to the encoder looked like, kept small: the frame averaged over a grid of cells
    (ffmpeg's filter below), as RGB bytes a frame, written by ffmpeg to path beside the clip. The clip is
    read back through the same filter and held against it."""

    def __init__(self, path, size):
        self.path = Path(path)
        self.grid = tuple(max(1, min(CELLS, side // CELL)) for side in size)
        self.filter = filters.digest(self.grid)
        self.frame_bytes = self.grid[0] * self.grid[1] * 3

    def check(self, path, frames, fps):
        """Raises Failure unless each frame of the clip at path, decoded at fps, shows the colours drawn."""
        with tempfile.TemporaryFile() as said, open(self.path, "rb") as drawn:
            decoder = subprocess.Popen(["ffmpeg", "-v", "error", "-nostdin", "-i", "file:" + str(path), "-vf",
                                        "fps=%r,%s" % (fps, self.filter), "-f", "rawvideo", "-"],
                                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=said)
            with decoder:
                size = self.frame_bytes
                found = unlike(iter(lambda: drawn.read(size), b""),
                               (f for f in iter(lambda: decoder.stdout.read(size), b"") if len(f) == size))
                if found and found[0] == "colours":
                    decoder.kill()
            said.seek(0)
            error = said.read().decode(errors="replace").strip()
        if found and found[0] == "colours":
            raise Failure("the encoder's output shows other colours than were drawn: frame %d is off by %d of 255 "
                          "in part of the picture, where dithering moves no part by more than %d" % (
                              found[1], found[2], DITHER))
        if decoder.returncode != 0 or error:
            raise Failure("the encoder's output is not whole (%s)" % (error or "ffmpeg cannot decode it"))
        if found:
            raise Failure("the encoder's output is not whole (it decodes to %d frames at %g per second, where %d "
                          "were written)" % (found[2], fps, found[1]))


def unlike(drawn, shown):
    """How two digests (iterables of bytes, a frame's RGB cells each) differ, frame by frame: None when they
    hold as many frames, each cell within DITHER of the other's (the mean of its three channels' differences);
    ("colours", frame, how far off) for the first frame with a cell further off; ("frames", the number
    drawn, the number shown) when one holds more."""
    drawn_count = shown_count = 0
    for want, got in itertools.zip_longest(drawn, shown):
        drawn_count += want is not None
        shown_count += got is not None
        if want is None or got is None:
            continue
        off = max(abs(want[c] - got[c]) + abs(want[c + 1] - got[c + 1]) + abs(want[c + 2] - got[c + 2])
                  for c in range(0, len(want), 3)) / 3
        if off > DITHER:
            return "colours", shown_count - 1, round(off)
    return None if drawn_count == shown_count else ("frames", drawn_count, shown_count)


def check(path, form, frames, fps, encoder_said="", digest=None):
    """Raises Failure unless path is a whole clip of form (".mp4", ...) with frames frames at fps, and, given
    the Digest of the frames drawn, showing them."""
    try:
        if form == ".webp":
            found, ms = webp_length(open(path, "rb").read())
            wanted = frames * 1000 / fps
            if ms is None:
                # A still: the encoder found every frame alike. It holds its one picture, whole.
                if probe(path, "stream=nb_read_frames") != ["1"]:
                    raise ValueError("a still that does not decode")
            elif found < 1 or abs(ms - wanted) > frames + 1:
                raise ValueError("%d frames lasting %d ms, where %d frames of %.1f ms were written" % (
                    found, ms, frames, 1000 / fps))
        elif form == ".gif":
            length = float(probe(path, "format=duration")[0])
            if abs(length - frames / fps) > 0.01 * frames + 0.02:
                raise ValueError("it lasts %.2f s, where %d frames at %g per second were written" % (
                    length, frames, fps))
        else:
            found = int(probe(path, "stream=nb_read_frames")[0])
            if found != frames:
                raise ValueError("it holds %d frames, where %d were written" % (found, frames))
    except (ValueError, IndexError, OSError) as e:
        raise Failure("the encoder's output is not whole (%s)%s" % (e, ": " + encoder_said if encoder_said else ""))
    if digest is not None:
        digest.check(path, frames, fps)
