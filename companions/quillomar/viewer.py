"""The viewer's environment and its start."""
import os
import subprocess
from pathlib import Path

from quillomar import displays, paths


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


def start(workdir, env, text=None, link=None, binary=None, prefix=(), **popen):
    """Starts the viewer in workdir, whose test.glsl is made to hold text (bytes) or to be a symbolic
    link to the file link; prefix is a command put before the viewer's (valgrind, say). Returns the
    process, which dies with this one."""
    shader = Path(workdir) / "test.glsl"
    if text is not None:
        shader.write_bytes(text)
    elif link is not None:
        shader.symlink_to(Path(link).resolve())
    return displays.child([*map(str, prefix), str(binary or paths.viewer())], cwd=workdir, env=env, **popen)


def display_name():
    """The caller's display, as its variable sets it, for messages."""
    found = [name + "=" + os.environ[name] for name in ("WAYLAND_DISPLAY", "DISPLAY") if os.environ.get(name)]
    return " and ".join(found) or "(none set)"


def glfw_for_wayland(binary=None):
    """Whether the viewer runs on the GLFW built for Wayland (Debian's libglfw3-wayland), which knows no
    X server, rather than the one for X11."""
    found = subprocess.run(["ldd", str(binary or paths.viewer())], capture_output=True, text=True).stdout
    return "libwayland-client.so" in found
