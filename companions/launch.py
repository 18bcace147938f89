"""Starting the Quillomar viewer on a text, for the companion commands, the tests, the tools and the
benchmark: where the viewer and its preload libraries are, a private virtual X server, and the one rule
for the viewer's environment.

Installed, this file is PREFIX/lib/quillomar/launch.py beside the libraries, with the viewer in
PREFIX/bin; in the source tree it is companions/launch.py, with everything built in build/.
"""
import os
import select
import shutil
import signal
import subprocess
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
INSTALLED = HERE.parent.name == "lib" and (HERE.parent.parent / "bin" / "quillomar").exists()
BUILD = HERE.parent / "build"


class Failure(Exception):
    """Something the user has to know about, in one message."""


def viewer():
    """The viewer: bin/quillomar beside an installed command, else the build tree's."""
    found = HERE.parent.parent / "bin" / "quillomar" if INSTALLED else BUILD / "quillomar"
    if not found.is_file():
        raise Failure("cannot find the quillomar viewer (looked for %s)" % found)
    return found


def library(name):
    """The preload library libNAME.so: in lib/quillomar when installed, else in the build tree."""
    found = (HERE if INSTALLED else BUILD) / ("lib%s.so" % name)
    if not found.is_file():
        raise Failure("cannot find %s" % found)
    return found


def start_xvfb(width=1920, height=1080, *extra, timeout=15):
    """A private Xvfb at least width x height on a free display number; returns (process, ":N")."""
    if shutil.which("Xvfb") is None:
        raise Failure("no display, and Xvfb is not installed (Debian package xvfb)")
    read_end, write_end = os.pipe()
    proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                             "%dx%dx24" % (max(width, 1920), max(height, 1080)), "-nolisten", "tcp", "-noreset",
                             *extra], pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    os.close(write_end)
    number = b""
    deadline = time.monotonic() + timeout
    try:
        while not number.endswith(b"\n"):
            ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(read_end, 16) if ready else b""
            if not chunk:
                stop(proc)
                raise Failure("the virtual X server did not start")
            number += chunk
    finally:
        os.close(read_end)
    return proc, ":" + number.decode().strip()


def environment(display=None, preload=(), **settings):
    """The viewer's environment. Given display (an X server of ours), the viewer uses it and nothing
    else: DISPLAY is set and WAYLAND_DISPLAY dropped; else the display is the caller's. Our preload
    libraries come first in LD_PRELOAD, then any the caller had. settings are added as they are."""
    env = dict(os.environ)
    if display is not None:
        env["DISPLAY"] = display
        env.pop("WAYLAND_DISPLAY", None)
    env["LD_PRELOAD"] = " ".join([str(p) for p in preload] + env.get("LD_PRELOAD", "").split())
    if not env["LD_PRELOAD"]:
        del env["LD_PRELOAD"]
    env.update({k: str(v) for k, v in settings.items()})
    return env


def start(workdir, env, text=None, link=None, binary=None, **popen):
    """Starts the viewer in workdir, whose test.glsl is made to hold text (bytes) or to be a symbolic
    link to the file link; returns the process."""
    shader = Path(workdir) / "test.glsl"
    if text is not None:
        shader.write_bytes(text)
    elif link is not None:
        shader.symlink_to(Path(link).resolve())
    return subprocess.Popen([str(binary or viewer())], cwd=workdir, env=env, **popen)


def stop(proc, timeout=5):
    """Ends a child process: SIGTERM, then SIGKILL if it lingers."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout)
