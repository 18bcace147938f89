"""Production renders: what quillomar-record's --supersample adds to a recording (the size drawn, the
memory it needs, checked first; the filter that takes it down is filters.py's), --motion-blur's reading,
and the message for a picture larger than the GL draws."""
from quillomar import Failure, facts

MOST_SUPERSAMPLING = 8


class MotionBlur:
    """N[:SHUTTER]: N sub-frames a frame, over SHUTTER of the frame's time (0.5 by default, a film camera's
    half-turn shutter); each within the bounds of the library's settings QUILLOMAR_BLUR and
    QUILLOMAR_SHUTTER (1 to 64; more than 0 and at most 1)."""

    @staticmethod
    def rows():
        return facts.get().settings["QUILLOMAR_BLUR"], facts.get().settings["QUILLOMAR_SHUTTER"]

    def __call__(self, text):
        count, colon, shutter = text.partition(":")
        count, shutter = int(count), float(shutter) if colon else 0.5
        blur, open_for = self.rows()
        if not (blur.within(count) and open_for.within(shutter)):
            raise ValueError
        return count, shutter

    @property
    def __name__(self):
        blur, open_for = self.rows()
        return "motion blur (N[:SHUTTER], N %s, SHUTTER %s)" % (blur.bounds(), open_for.bounds())


motion_blur = MotionBlur()


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
