"""Playing a shader's sound through the desktop's sound server (PulseAudio, or PipeWire's PulseAudio
service), in step with live's iTime. The samples (32-bit float stereo at the libraries' sample rate, from
iTime 0) go to one stream for the whole session, a few milliseconds at a time: each piece is the one that
iTime will be at when it is heard, so a change of the clock (Home, Left, Right) is heard at once, and while
time is paused the stream plays silence. pacat (Debian package pulseaudio-utils) does the playing."""
import fcntl
import shutil
import subprocess
import threading
import time

from quillomar import displays, facts

FRAME = 8  # bytes of a stereo sample
PIECE = 512  # samples written at a time
# How long a piece takes from here to the speaker (the pipe's page, the stream's latency), and how far the
# stream may run from the clock before it is set to it again.
AHEAD = 0.05
SLACK = 0.05
F_SETPIPE_SZ = 1031


class Player:
    def __init__(self, say):
        self.say, self.path, self.itime, self.since, self.paused = say, None, 0.0, None, False
        self.proc, self.feeder, self.said_why, self.lock = None, None, False, threading.Lock()
        self.loads = 0  # samples made again are read again, from the same file
        self.rate = facts.get().sample_rate

    def load(self, path):
        """Plays the samples in the file at path from now on."""
        with self.lock:
            self.path, self.loads = path, self.loads + 1
        self.start()

    def clock(self, itime, paused):
        """iTime is itime now, paused or running."""
        with self.lock:
            self.itime, self.paused, self.since = itime, paused, time.monotonic()
        self.start()

    def now(self):
        with self.lock:
            return self.itime if self.paused or self.since is None else self.itime + time.monotonic() - self.since

    def start(self):
        """The stream, once there are samples and a clock."""
        if self.proc is not None or self.path is None or self.since is None or self.said_why:
            return
        if shutil.which("pacat") is None:
            return self.cannot("pacat is not installed (Debian package pulseaudio-utils)")
        try:
            self.proc = displays.child(["pacat", "--playback", "--raw", "--format=float32le", "--rate=%d" % self.rate,
                                        "--channels=2", "--latency-msec=30", "--client-name=quillomar-live",
                                        "--stream-name=shader"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.PIPE)
        except OSError as e:
            return self.cannot("pacat: %s" % (e.strerror or e))
        try:
            fcntl.fcntl(self.proc.stdin.fileno(), F_SETPIPE_SZ, 4096)  # a page: little written ahead
        except OSError:
            pass
        self.feeder = threading.Thread(target=self.feed, args=(self.proc,), daemon=True)
        self.feeder.start()

    def feed(self, proc):
        silence, at, source, opened = bytes(PIECE * FRAME), None, None, 0
        try:
            while proc.poll() is None:
                with self.lock:
                    path, paused, loads = self.path, self.paused, self.loads
                if paused or path is None:
                    proc.stdin.write(silence)
                    at = None
                    continue
                if loads != opened:
                    if source is not None:
                        source.close()
                    source, opened, at = open(path, "rb"), loads, None
                wanted = int((self.now() + AHEAD) * self.rate)
                if at is None or abs(at - wanted) > SLACK * self.rate:
                    at = wanted
                    source.seek(at * FRAME)
                piece = source.read(PIECE * FRAME)
                proc.stdin.write(piece + silence[len(piece):])
                at += PIECE
        except (OSError, ValueError):
            pass
        finally:
            if source is not None:
                source.close()
        if proc.wait() not in (0, -15, -9) and proc.stderr is not None:
            said = proc.stderr.read().decode(errors="replace").strip().splitlines()
            self.cannot("pacat: %s" % (said[-1] if said else "status %d" % proc.returncode))

    def cannot(self, why):
        if not self.said_why:
            self.said_why = True
            self.say("the sound is not played: %s" % why)

    def stop(self):
        proc, self.proc = self.proc, None
        if proc is not None:
            displays.stop(proc, timeout=2)
        if self.feeder is not None and self.feeder is not threading.current_thread():
            self.feeder.join(timeout=2)
        self.feeder = None
