"""Proving a finished clip before it replaces anything: ffmpeg can end with status 0 on a full disk, having
written a file that will not play, or one cut short. Each format is read back: the number of frames a
video or a still decodes to, and the length of an animation (GIF and animated WebP may merge frames that
are alike into one longer frame)."""
import struct
import subprocess

from quillomar import Failure


def webp_length(data):
    """The frames and the length in milliseconds of an animated WebP file; raises ValueError when its RIFF
    structure is not whole."""
    if len(data) < 12 or data[:4] != b"RIFF" or data[8:12] != b"WEBP":
        raise ValueError("not a WebP file")
    if struct.unpack_from("<I", data, 4)[0] + 8 != len(data):
        raise ValueError("its RIFF length is not the file's")
    at, frames, length = 12, 0, 0
    while at < len(data):
        if at + 8 > len(data):
            raise ValueError("a chunk cut short")
        kind, size = data[at:at + 4], struct.unpack_from("<I", data, at + 4)[0]
        if at + 8 + size > len(data):
            raise ValueError("a chunk cut short")
        if kind == b"ANMF":
            frames += 1
            length += int.from_bytes(data[at + 20:at + 23], "little")
        at += 8 + size + (size & 1)
    return frames, length


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


def check(path, form, frames, fps, encoder_said=""):
    """Raises Failure unless path is a whole clip of form (".mp4", ...) with frames frames at fps."""
    try:
        if form == ".webp":
            found, ms = webp_length(open(path, "rb").read())
            wanted = frames * 1000 / fps
            if found < 1 or abs(ms - wanted) > frames + 1:
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
