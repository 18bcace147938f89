"""Starting the Quillomar viewer on a text, for the companion commands, the tests, the tools and the
benchmark: where the viewer and its preload libraries are, a private X server or Wayland compositor,
the one rule for the viewer's environment, and the images of mainImage shaders' channels.

Installed, this file is PREFIX/lib/quillomar/launch.py, with the libraries in preload/ beside it and the
viewer in PREFIX/bin; in the source tree it is companions/launch.py, with everything built in build/.
"""
import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
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
    """The preload library libNAME.so: in lib/quillomar/preload when installed, else in the build tree."""
    found = (HERE / "preload" if INSTALLED else BUILD) / ("lib%s.so" % name)
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


def start_weston(width=1920, height=1080, timeout=15):
    """A private Wayland compositor (weston's headless backend, no rendering of its own) at least width
    x height, in a runtime directory of its own; returns (process, (socket, runtime directory)). The
    caller stops the process and removes the directory (stop_weston)."""
    if shutil.which("weston") is None:
        raise Failure("no display, and weston is not installed (Debian package weston)")
    runtime = tempfile.mkdtemp(prefix="quillomar-wayland-")  # mode 0700, as Wayland wants it
    socket = "quillomar-%d" % os.getpid()
    proc = subprocess.Popen(["weston", "--backend=headless-backend.so", "--socket=" + socket, "--idle-time=0",
                             "--width=%d" % max(width, 1920), "--height=%d" % max(height, 1080)],
                            env=dict(os.environ, XDG_RUNTIME_DIR=runtime), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    deadline = time.monotonic() + timeout
    while not os.path.exists(os.path.join(runtime, socket)):
        if proc.poll() is not None or time.monotonic() > deadline:
            stop_weston(proc, (socket, runtime))
            raise Failure("the private Wayland compositor did not start")
        time.sleep(0.02)
    return proc, (socket, runtime)


def stop_weston(proc, wayland):
    stop(proc)
    shutil.rmtree(wayland[1], ignore_errors=True)


def glfw_for_wayland(binary=None):
    """Whether the viewer runs on the GLFW built for Wayland (Debian's libglfw3-wayland), which knows no
    X server, rather than the one for X11."""
    found = subprocess.run(["ldd", str(binary or viewer())], capture_output=True, text=True).stdout
    return "libwayland-client.so" in found


def environment(display=None, preload=(), wayland=None, **settings):
    """The viewer's environment. Given a display of ours, the viewer uses it and nothing else: an X
    server's name as display sets DISPLAY and drops WAYLAND_DISPLAY; a compositor's (socket, runtime
    directory) as wayland sets WAYLAND_DISPLAY and XDG_RUNTIME_DIR and drops DISPLAY; display "" leaves
    it no display at all. Else the display is the caller's. Our preload libraries come first in
    LD_PRELOAD, then any other the caller had. settings are added as they are."""
    env = dict(os.environ)
    if display is not None or wayland is not None:
        env.pop("WAYLAND_DISPLAY", None)
        env.pop("DISPLAY", None)
        if display:
            env["DISPLAY"] = display
        if wayland:
            env["WAYLAND_DISPLAY"], env["XDG_RUNTIME_DIR"] = wayland
    libraries = [str(p) for p in preload] + env.get("LD_PRELOAD", "").split()
    env["LD_PRELOAD"] = " ".join(p for n, p in enumerate(libraries) if p not in libraries[:n])
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


CHANNELS = 4


def add_channel_options(parser):
    """--channel0 FILE to --channel3 FILE: images for mainImage shaders' iChannel0 to iChannel3."""
    for n in range(CHANNELS):
        parser.add_argument("--channel%d" % n, metavar="IMAGE", type=Path,
                            help="image for iChannel%d (PNG, JPEG, ...)" % n if n == 0 else "... iChannel%d" % n)


def check_channel_numbers(argv):
    """The message for a --channelN beyond the last channel, which the parser would only call unknown."""
    for arg in argv:
        m = re.fullmatch(r"--channel(\d+)(=.*)?", arg)
        if m and int(m[1]) >= CHANNELS:
            return "there is no channel %s: the channels are 0 to %d" % (m[1], CHANNELS - 1)
    return None


def channel_settings(args, workdir):
    """Decodes the images given for the channels into workdir for the preload libraries; returns the
    settings that hand them over. The first row of an image is its top, as mainImage shaders expect."""
    settings = {}
    for n in range(CHANNELS):
        path = getattr(args, "channel%d" % n)
        if path is None:
            continue
        try:
            from PIL import Image, UnidentifiedImageError
        except ImportError:
            raise Failure("reading channel images needs Python's imaging library (Debian package python3-pil)")
        try:
            with Image.open(path) as image:
                pixels = image.convert("RGBA").transpose(Image.Transpose.FLIP_TOP_BOTTOM)
        except UnidentifiedImageError:
            raise Failure("cannot read the image for iChannel%d, %s: not an image in a format known here" % (n, path))
        except OSError as e:
            raise Failure("cannot read the image for iChannel%d, %s: %s" % (n, path, e.strerror or e))
        raw = Path(workdir) / ("channel%d.rgba" % n)
        raw.write_bytes(pixels.tobytes())
        settings["QUILLOMAR_CHANNEL%d" % n] = "%d %d %s" % (pixels.width, pixels.height, raw)
    return settings


def stop(proc, timeout=5):
    """Ends a child process: SIGTERM, then SIGKILL if it lingers."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout)
