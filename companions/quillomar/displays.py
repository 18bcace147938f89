"""Private display servers for the viewer: a virtual X server (Xvfb) and a Wayland compositor (weston's
headless backend), each at least 1920x1080, as context managers; and the one way to end a child process.

Every process started here gets SIGKILL when the process that started it dies, so that nothing is left
running after a command that was killed outright."""
import ctypes
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time

from quillomar import Failure

_PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


def dies_with_parent():
    """What a child is to run before it execs (Popen's preexec_fn): it is killed when its parent dies.
    A child whose parent died before this ran would never be told, so it ends at once."""
    parent = os.getpid()

    def arrange():
        _libc.prctl(_PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0)
        if os.getppid() != parent:
            os._exit(1)
    return arrange


def child(command, **popen):
    """subprocess.Popen(command, **popen), for a child that dies with this process."""
    return subprocess.Popen(command, preexec_fn=dies_with_parent(), **popen)


def stop(proc, timeout=5):
    """Ends a child process: SIGTERM, then SIGKILL if it lingers."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout)


def screen(width, height):
    return max(width, 1920), max(height, 1080)


class Xvfb:
    """A private Xvfb at least width x height on a free display number, chosen by the server itself
    (-displayfd). `with Xvfb(w, h, *extra) as name` gives its name, ":N"; extra goes to its command line."""

    def __init__(self, width=1920, height=1080, *extra, timeout=15):
        self.size, self.extra, self.timeout, self.proc = screen(width, height), extra, timeout, None

    def start(self):
        if shutil.which("Xvfb") is None:
            raise Failure("no display, and Xvfb is not installed (Debian package xvfb)")
        read_end, write_end = os.pipe()
        self.proc = child(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % self.size,
                           "-nolisten", "tcp", "-noreset", *self.extra], pass_fds=(write_end,),
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + self.timeout
        try:
            while not number.endswith(b"\n"):
                ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
                chunk = os.read(read_end, 16) if ready else b""
                if not chunk:
                    self.stop()
                    raise Failure("the virtual X server did not start")
                number += chunk
        finally:
            os.close(read_end)
        self.name = ":" + number.decode().strip()
        return self.name

    def stop(self):
        if self.proc is not None:
            stop(self.proc)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exception):
        self.stop()


class Weston:
    """A private Wayland compositor (weston's headless backend, which renders nothing of its own) at least
    width x height, in a runtime directory of its own. `with Weston(w, h) as (socket, runtime)` gives what
    a client needs in WAYLAND_DISPLAY and XDG_RUNTIME_DIR; the directory goes when it stops."""

    def __init__(self, width=1920, height=1080, timeout=15):
        self.size, self.timeout, self.proc, self.runtime = screen(width, height), timeout, None, None

    def start(self):
        if shutil.which("weston") is None:
            raise Failure("no display, and weston is not installed (Debian package weston)")
        self.runtime = tempfile.mkdtemp(prefix="quillomar-wayland-")  # mode 0700, as Wayland wants it
        socket = "quillomar-%d" % os.getpid()
        self.proc = child(["weston", "--backend=headless-backend.so", "--socket=" + socket, "--idle-time=0",
                           "--width=%d" % self.size[0], "--height=%d" % self.size[1]],
                          env=dict(os.environ, XDG_RUNTIME_DIR=self.runtime), stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, start_new_session=True)
        deadline = time.monotonic() + self.timeout
        while not os.path.exists(os.path.join(self.runtime, socket)):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise Failure("the private Wayland compositor did not start")
            time.sleep(0.02)
        self.wayland = socket, self.runtime
        return self.wayland

    def stop(self):
        if self.proc is not None:
            stop(self.proc)
        if self.runtime is not None:
            shutil.rmtree(self.runtime, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exception):
        self.stop()
