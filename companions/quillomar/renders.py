"""Production renders: what quillomar-record's --supersample adds to a recording (the size drawn, the
filter that takes it down to the size recorded, the memory it needs, checked first), --motion-blur's
reading, and the message for a picture larger than the GL draws."""
from quillomar import Failure

MOST_SUPERSAMPLING = 8
# The filter that takes a supersampled picture down: Catmull-Rom (a cubic with B = 0, C = 0.5), widened by
# the factor as swscale does when it shrinks, so each pixel is a weighted sum of the K x K pixels drawn for
# it and of their neighbours; computed with exact rounding.
FILTER = "flags=bicubic+accurate_rnd+full_chroma_int:param0=0:param1=0.5"


MOST_SUBFRAMES = 64


def motion_blur(text):
    """N[:SHUTTER]: N sub-frames a frame (1 to 64), over SHUTTER of the frame's time (more than 0, at most 1;
    0.5 by default, a film camera's half-turn shutter)."""
    count, colon, shutter = text.partition(":")
    count, shutter = int(count), float(shutter) if colon else 0.5
    if not (1 <= count <= MOST_SUBFRAMES and 0 < shutter <= 1):
        raise ValueError
    return count, shutter


motion_blur.__name__ = "motion blur (N[:SHUTTER], N 1 to 64, SHUTTER more than 0 and at most 1)"


def downscale(size, alpha=False):
    """ffmpeg's filter that takes a picture drawn larger down to size, with FILTER; with alpha, filtered
    premultiplied (a transparent pixel's colour weighs nothing) and made straight again, in 16 bits a
    channel throughout: in 8, a faint pixel's colour, divided by its small alpha, would carry the rounding
    of each step many times over. Each format is named, so that no step is negotiated down to 8 bits."""
    scale = "scale=%d:%d:%s" % (size[0], size[1], FILTER)
    return ("format=gbrap16le,premultiply=inplace=1,%s,format=gbrap16le,unpremultiply=inplace=1,format=rgba" % scale
            if alpha else scale)


def drawn(size, k):
    return size[0] * k, size[1] * k


def memory_needed(size, buffers):
    """Bytes of memory a picture of size needs drawn: the picture, the ring of pixel buffer objects it is
    read back through (3), the frame handed over, and each buffer pass's two RGBA 32-bit float pictures."""
    pixels = size[0] * size[1]
    return pixels * 4 * 5 + pixels * 16 * 2 * buffers


def available():
    """Bytes of memory available (the kernel's MemAvailable), or None where it does not say."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def check_memory(size, k, buffers):
    """One message (Failure) when the picture drawn at k x size needs more memory than is available."""
    needed, free = memory_needed(drawn(size, k), buffers), available()
    if free is not None and needed > free:
        raise Failure("--supersample %d draws %dx%d pictures, which need about %.1f GiB of memory%s, where "
                      "%.1f GiB are available" % (k, *drawn(size, k), needed / 2**30,
                                                  " with %d buffer passes" % buffers if buffers else "",
                                                  free / 2**30))


def too_large(size, k, limit, most):
    """The message for a picture drawn at k x size that is more than the GL's limit (its name) of most."""
    what = "%dx%d" % drawn(size, k) + (" (%dx%d at --supersample %d)" % (*size, k) if k > 1 else "")
    return "a picture of %s is more than this GL draws: its %s is %s" % (what, limit, most)
