"""Ending a command cleanly however it ends: the signals that end it, and the files and folders it leaves
behind, which go on the way out and, when it is killed outright (SIGKILL), through a small process that
outlives it and removes what is still there. (Its child processes die with it: displays.child.)"""
import os
import shutil
import signal
import subprocess
import sys

# Run as its own process: reads the NUL-separated paths it is given until its input ends (the command
# is gone, however it went), then removes those still there.
REMOVER = """
import os, shutil, signal, sys
for name in ("SIGINT", "SIGHUP", "SIGTERM"):
    signal.signal(getattr(signal, name), signal.SIG_IGN)
if os.fork():
    os._exit(0)
for path in sys.stdin.buffer.read().split(b"\\0"):
    if path and os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    elif path:
        try:
            os.unlink(path)
        except OSError:
            pass
"""


def remove(path):
    """Removes a file or a folder and all it holds; whatever of it cannot be removed is left."""
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        try:
            os.unlink(path)
        except OSError:
            pass


class Leftovers:
    """`with Leftovers() as leftovers:` ... `leftovers.add(path)`: each path added is removed when the block
    ends, each one whatever became of the others; and by the remover if the command is killed first."""

    def __init__(self):
        self.paths, self.remover = [], None

    def __enter__(self):
        # The remover forks and its first process ends at once: what stays is no child of the command's,
        # in a session of its own, out of reach of the terminal's signals.
        self.remover = subprocess.Popen([sys.executable, "-I", "-c", REMOVER], stdin=subprocess.PIPE,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        start_new_session=True)
        self.remover.wait()
        return self

    def add(self, path):
        self.paths.append(path)
        try:
            self.remover.stdin.write(os.fsencode(path) + b"\0")
            self.remover.stdin.flush()
        except OSError:
            pass  # the remover is gone; what is added is still removed on the way out
        return path

    def part_beside(self, output, prefix):
        """A new empty file in output's folder, named prefix...part, to be renamed over output once it is
        whole, made as a file the user writes would be (mkstemp makes it private); it goes with the rest."""
        import tempfile
        from quillomar import Failure
        folder = output.parent
        try:
            handle, part = tempfile.mkstemp(dir=folder, prefix=prefix, suffix=".part")
        except OSError as e:
            raise Failure("cannot write in %s: %s" % (folder, e.strerror or e))
        os.close(handle)
        self.add(part)
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(part, 0o666 & ~mask)
        return part

    def __exit__(self, *exception):
        for path in reversed(self.paths):
            remove(path)
        try:
            self.remover.stdin.close()
        except OSError:
            pass


_holding, _held = 0, []


def _end(signum):
    if signum == signal.SIGINT:
        raise KeyboardInterrupt
    sys.exit(128 + signum)


class held:
    """`with held():` a signal that ends the command waits until the block is done (a record half
    written to the log, say), then ends it as it would have."""

    def __enter__(self):
        global _holding
        _holding += 1

    def __exit__(self, *exception):
        global _holding
        _holding -= 1
        if _holding == 0 and _held and exception[0] is None:
            _end(_held.pop())


def end_on_signals():
    """Ctrl-C raises KeyboardInterrupt, and SIGTERM and SIGHUP (the terminal closed) end the command with
    128 + the signal, each through the command's own way out; once one has come, the others are ignored,
    so that a second Ctrl-C cannot cut the cleaning up short."""
    def ending(signum, frame):
        for name in ("SIGINT", "SIGTERM", "SIGHUP"):
            signal.signal(getattr(signal, name), signal.SIG_IGN)
        if _holding:
            _held.append(signum)
            return
        _end(signum)
    for name in ("SIGINT", "SIGTERM", "SIGHUP"):
        signal.signal(getattr(signal, name), ending)
