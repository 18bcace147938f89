"""quillomar-live's sounds as they are heard: each source a channel names ("mic", "desktop") captured into a
pipe the viewer reads."""
import os
import shutil
import subprocess

from quillomar import Failure, displays, facts


class Hearing:
    """Sounds as they are heard (a channel "mic" or "desktop"): each source captured by parec (Debian package
    pulseaudio-utils) into a pipe that the viewer reads, mono 32-bit float samples as they come. The pipes
    are the viewer's from its start: a source first named later is refused."""

    def __init__(self):
        self.pipes, self.children, self.running = {}, [], False

    def pipe(self, source):
        """The viewer's end of source's pipe."""
        if source in self.pipes:
            return self.pipes[source]
        if self.running:
            raise Failure("a sound as it is heard is heard from the start of the session: start quillomar-live "
                          "again to hear %s" % source)
        if shutil.which("parec") is None:
            raise Failure("hearing %s needs parec (Debian package pulseaudio-utils)" % source)
        read_end, write_end = os.pipe()
        self.children.append(displays.child(["parec", "-d", source, "--raw", "--format=float32le", "--channels=1",
                                             "--rate=%d" % facts.get().sample_rate, "--latency-msec=20"],
                                            stdout=write_end, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL))
        os.close(write_end)
        self.pipes[source] = read_end
        return read_end

    def started(self):
        """The viewer has its ends."""
        self.running = True

    def stop(self):
        for child in self.children:
            displays.stop(child)
        for fd in self.pipes.values():
            os.close(fd)
