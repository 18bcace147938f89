"""The companion commands, installed, against careless users, busy machines and bad luck, grouped by what
a user would lose: a clip or a file (lost), processes and files (left running), a window that no longer
answers (frozen), or the one message that says what went wrong (message)."""
import glob
import os
import re
import signal
import subprocess
import time

import pytest
from PIL import Image

from conftest import PATIENCE, interrupt, start_live, until, without_display
from xsession import find_titled_window, grab, open_display, title

pytestmark = pytest.mark.packaging

# A different colour in every pixel of every frame: a clip of it does not fit in a small disk.
NOISE = b"""#version 330 core
in vec2 coord;
out vec4 c;
uniform float iTime;
void main()
{
    c = vec4(fract(sin(dot(coord + iTime, vec2(12.9898, 78.233))) * vec3(43758.5, 23421.6, 34363.2)), 1.0);
}
"""
FLAT = b"#version 330 core\nout vec4 c;\nvoid main()\n{\n    c = vec4(0.0, 1.0, 0.0, 1.0);\n}\n"
# A frame that does not end while anyone waits, at 1920x1080 (Mesa's software GL ends a loop after 65535
# rounds, nested or not).
ENDLESS = b"""#version 330 core
out vec4 c;
uniform float iTime;
void main()
{
    float x = 0.0;
    for (int i = 0; i < int(65000.0 + iTime); i++)
        x = sin(x + cos(x * float(i)));
    c = vec4(x, 0.0, 0.0, 1.0);
}
"""


def record(prefix, cwd, *args, env=None, **popen):
    return subprocess.run([str(prefix / "bin" / "quillomar-record"), *map(str, args)], cwd=cwd,
                          env=env or without_display(), capture_output=True, text=True, timeout=120, **popen)


def quillomar_processes():
    """The pids of every process running the viewer or a display server of ours."""
    found = subprocess.run(["pgrep", "-f", "bin/quillomar|Xvfb -displayfd|ffmpeg -hide_banner"],
                           capture_output=True, text=True).stdout.split()
    return set(found) - {str(os.getpid())}


@pytest.fixture(autouse=True)
def private_temporaries(tmp_path_factory, monkeypatch):
    """A temporary directory for the commands of each test alone, so that what they leave there is theirs."""
    monkeypatch.setenv("TMPDIR", str(tmp_path_factory.mktemp("temporaries")))


def temporaries():
    return set(glob.glob(os.path.join(os.environ["TMPDIR"], "*")))


def in_small_disk(prefix, tmp_path, script, size="100k", options=""):
    """Runs script under sh in a private mount namespace where $D is a tmpfs of size (nothing is mounted
    outside it); $REC is the recorder. Returns its output."""
    disk = tmp_path / "disk"
    disk.mkdir()
    done = subprocess.run(["unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
                           'exec 2>&1; mount -t tmpfs -o "size=$1$2" none "$D" && ' + script, "sh", size, options],
                          cwd=tmp_path, env=without_display(D=str(disk), REC=str(prefix / "bin" / "quillomar-record")),
                          capture_output=True, text=True, timeout=120)
    return done.stdout


# Lost -------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("form", ["mp4", "webm"])
def test_a_full_disk_keeps_the_old_clip_and_says_so(prefix, tmp_path, form):
    (tmp_path / "noise.glsl").write_bytes(NOISE)
    said = in_small_disk(prefix, tmp_path, 'printf "the old clip" > "$D/old.%s"; "$REC" noise.glsl "$D/old.%s" '
                         '--seconds 1 --size 320x180; echo "status $?"; ls -A "$D"; cat "$D/old.%s"; echo' % ((form,) * 3))
    lines = said.splitlines()
    assert lines[0].startswith("quillomar-record: the encoder's output is not whole (") or \
        lines[0].startswith("quillomar-record: ffmpeg failed"), said
    assert lines[-3:] == ["status 1", "old." + form, "the old clip"], said


# Left running -----------------------------------------------------------------------------------------

def recording(prefix, tmp_path, *options):
    (tmp_path / "noise.glsl").write_bytes(NOISE)
    before = temporaries()
    recorder = subprocess.Popen([str(prefix / "bin" / "quillomar-record"), "noise.glsl", "clip.mp4", "--seconds",
                                 "60", "--size", "320x180", *options], cwd=tmp_path, start_new_session=True,
                                env=without_display(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    until(lambda: len(subprocess.run(["pgrep", "-P", str(recorder.pid)], capture_output=True).stdout.split()) == 2
          or "children not yet running", "the encoder and the viewer running (no display server)")
    children = subprocess.run(["pgrep", "-P", str(recorder.pid)], capture_output=True, text=True).stdout.split()
    return recorder, children, before


def nothing_left(tmp_path, children, before, shader="noise.glsl"):
    until(lambda: not [pid for pid in children if os.path.exists("/proc/%s" % pid)] or children, "no process left",
          timeout=10)
    until(lambda: temporaries() <= before or temporaries() - before, "no temporary folder left", timeout=10)
    assert sorted(p.name for p in tmp_path.iterdir()) == [shader]


@pytest.mark.parametrize("how", ["SIGKILL", "SIGHUP", "Ctrl-C twice"])
def test_a_recording_ended_any_way_leaves_nothing_behind(prefix, tmp_path, how):
    recorder, children, before = recording(prefix, tmp_path)
    if how == "Ctrl-C twice":
        os.killpg(recorder.pid, signal.SIGINT)
        time.sleep(0.05)
        os.killpg(recorder.pid, signal.SIGINT)
    else:
        recorder.send_signal(getattr(signal, how))
    out, err = recorder.communicate(timeout=60)
    expected = {"SIGKILL": -9, "SIGHUP": 129, "Ctrl-C twice": 130}[how]
    assert recorder.returncode == expected and out == "", err
    if how == "Ctrl-C twice":
        assert err == "\nquillomar-record: interrupted; clip.mp4 was not written\n"
    nothing_left(tmp_path, children, before)


def test_a_read_only_folder_and_a_long_name(prefix, tmp_path):
    (tmp_path / "flat.glsl").write_bytes(FLAT)
    said = in_small_disk(prefix, tmp_path, '"$REC" flat.glsl "$D/still.png"; echo "status $?"', options=",ro")
    assert said.splitlines() == ["quillomar-record: cannot write in %s: Read-only file system" % (tmp_path / "disk"),
                                 "status 1"], said
    long_name = "a" * 251 + ".png"  # 255 bytes, as long as a name may be
    done = record(prefix, tmp_path, "flat.glsl", long_name, "--size", "64x36")
    assert done.returncode == 0, done.stderr
    assert Image.open(tmp_path / long_name).getpixel((5, 5)) == (0, 255, 0)


def test_live_ended_by_its_terminal_or_killed_leaves_nothing_behind(prefix, xserver, tmp_path):
    (tmp_path / "flat.glsl").write_bytes(FLAT)
    x = open_display(xserver)
    try:
        for how in (signal.SIGHUP, signal.SIGKILL):
            before = temporaries()
            live = start_live(prefix, xserver, tmp_path, "flat.glsl")
            find_titled_window(x, "flat.glsl ")
            viewer = subprocess.run(["pgrep", "-P", str(live.pid)], capture_output=True, text=True).stdout.split()
            live.send_signal(how)
            live.communicate(timeout=PATIENCE)
            assert live.returncode == (129 if how == signal.SIGHUP else -9)
            nothing_left(tmp_path, viewer, before, shader="flat.glsl")
    finally:
        x.close()


# Frozen -----------------------------------------------------------------------------------------------

def test_live_takes_no_fifo_device_or_folder_and_follows_folders_and_links(prefix, xserver, tmp_path):
    """It starts on a FIFO; the name then becomes a link to /dev/zero, a link to a shader, is re-pointed
    at another; its folder is deleted and made again: the window answers all along, and says what it can
    not read."""
    folder = tmp_path / "work"
    folder.mkdir()
    shader = folder / "s.glsl"
    os.mkfifo(shader)
    x = open_display(xserver)
    live = start_live(prefix, xserver, folder, "s.glsl")
    try:
        window = find_titled_window(x, "s.glsl ")
        until(lambda: title(x, window) == "s.glsl (cannot be read) — Quillomar" or title(x, window), "a FIFO refused")

        def replace(make):
            make(folder / "new")
            os.replace(folder / "new", shader)

        def colour():
            return grab(window, (5, 5, 1, 1)).getpixel((0, 0))

        replace(lambda p: p.symlink_to("/dev/zero"))
        time.sleep(1)
        assert title(x, window) == "s.glsl (cannot be read) — Quillomar"
        for name, rgb in (("red", (255, 0, 0)), ("blue", (0, 0, 255))):
            (tmp_path / (name + ".glsl")).write_bytes(FLAT.replace(b"0.0, 1.0, 0.0", b"%d.0, 0.0, %d.0" % (
                rgb[0] // 255, rgb[2] // 255)))
            replace(lambda p: p.symlink_to(tmp_path / (name + ".glsl")))
            until(lambda: colour() == rgb or colour(), "the picture of the link to %s" % name)
        (tmp_path / "blue.glsl").write_bytes(FLAT)  # a save of the link's target
        until(lambda: colour() == (0, 255, 0) or colour(), "the picture of the target's save")
        subprocess.run(["rm", "-rf", str(folder)], check=True)
        until(lambda: "waiting for the file" in title(x, window) or title(x, window), "the file awaited")
        folder.mkdir()
        shader.write_bytes(FLAT.replace(b"0.0, 1.0, 0.0", b"1.0, 1.0, 0.0"))
        until(lambda: colour() == (255, 255, 0) or colour(), "the picture from the folder made again")
        assert title(x, window) == "s.glsl — Quillomar"
    finally:
        out = interrupt(live)
        x.close()
    heads = [line.split(" s.glsl: ", 1)[1] for line in out.splitlines() if line.startswith("──── ")]
    assert heads[:2] == ["cannot be read: it is not a regular file ────"] * 2, out


def test_a_frame_that_never_ends(prefix, xserver, tmp_path):
    """The recorder gives up on it with a message; live says so and still ends on Ctrl-C."""
    (tmp_path / "endless.glsl").write_bytes(ENDLESS)
    before = temporaries()
    done = record(prefix, tmp_path, "endless.glsl", "still.png", "--frame-limit", "2")
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr.startswith("quillomar-record: frame 0 has not ended in 2 s: a loop in the shader"), done.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["endless.glsl"] and temporaries() <= before
    # A part of a clip whose passes keep state draws the frames before it first: the frame named is the
    # clip's, its sub-frames (two a frame, each an iFrame) not counted as frames. A frame from iFrame 2 on,
    # frame 1, takes long.
    (tmp_path / "late.glsl").write_text('#iChannel0 "self"\nvoid mainImage(out vec4 c, in vec2 f)\n{\n'
                                        "    float x = texelFetch(iChannel0, ivec2(f), 0).r;\n"
                                        "    for (int i = 0; i < (iFrame >= 2 ? 65000 : 1); i++)\n"
                                        "        x = sin(x + cos(x * float(i)));\n    c = vec4(x);\n}\n")
    done = record(prefix, tmp_path, "late.glsl", "part.mkv", "--frames", "3-3", "--size", "1280x720", "--fps", "10",
                  "--seconds", "1", "--motion-blur", "2", "--frame-limit", "1")
    assert done.stderr.startswith("quillomar-record: frame 1 has not ended in 1 s"), done.stderr
    (tmp_path / "live.glsl").write_bytes(FLAT)
    x = open_display(xserver)
    live = start_live(prefix, xserver, tmp_path, "live.glsl")
    try:
        find_titled_window(x, "live.glsl ")
        time.sleep(0.5)
        (tmp_path / "live.glsl").write_bytes(ENDLESS)
        time.sleep(5)
    finally:
        out = interrupt(live)
        x.close()
    assert "live.glsl: a frame has not ended in 3 s (a loop that does not end?)" in out, out


# Message ----------------------------------------------------------------------------------------------

@pytest.mark.fast
def test_what_cannot_be_a_shader_image_or_option_gets_one_message(prefix, tmp_path):
    (tmp_path / "flat.glsl").write_bytes(FLAT)
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "folder").mkdir()
    (tmp_path / "loop").symlink_to("loop")
    Image.new("1", (16385, 1)).save(tmp_path / "wide.png")
    cases = {  # arguments: status, message
        ("missing.glsl", "a.png"): (1, "missing.glsl: no such file"),
        ("folder", "a.png"): (1, "folder has no Image.glsl: a folder in the site's layout has Image.glsl"),
        ("fifo", "a.png"): (1, "fifo is not a regular file"),
        ("/dev/zero", "a.png"): (1, "/dev/zero is not a regular file"),
        ("loop", "a.png"): (1, "cannot read loop: Too many levels of symbolic links"),
        ("flat.glsl", "a.png", "--channel0", "fifo"): (
            1, "cannot read the image for iChannel0, fifo: it is not a regular file"),
        ("flat.glsl", "a.png", "--channel0", "wide.png"): (
            1, "the image for iChannel0, wide.png is 16385x1: larger than 16384 on a side"),
        ("flat.glsl", "folder"): (2, "unknown extension ''"),
        ("flat.glsl", "folder.png/"): (2, "OUTPUT folder.png is a directory"),
        ("flat.glsl", "a.mp4", "--seconds", "1e300", "--fps", "1e300"): (2, "--seconds x --fps is more than 10000000"),
        ("flat.glsl", "a.png", "--from", "9.3e9"): (2, "--from and --seconds go past iTime 1e+09 s"),
        ("flat.glsl", "a.png", "--size", "16384x16384"): (2, "argument --size: invalid size (WxH) value"),
    }
    (tmp_path / "folder.png").mkdir()
    for args, (status, message) in cases.items():
        done = record(prefix, tmp_path, *args)
        assert (done.returncode, done.stdout) == (status, ""), (args, done.stderr)
        assert done.stderr.startswith("quillomar-record: " + message) and done.stderr.count("\n") == 1, (
            args, done.stderr)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fifo", "flat.glsl", "folder", "folder.png", "loop",
                                                          "wide.png"]


def test_a_mark_a_colon_sixteen_bits_and_an_error_every_frame(prefix, tmp_path):
    """A mainImage file that starts with a byte order mark, an OUTPUT whose name has a colon and a 16-bit
    grey channel image give the still they say; a GL error every frame is told once, with its count."""
    grey = Image.new("I;16", (4, 4))
    grey.putdata([32896] * 16)  # 128.5 of 255
    grey.save(tmp_path / "grey.png")
    (tmp_path / "bom.glsl").write_bytes(b"\xef\xbb\xbfvoid mainImage(out vec4 c, in vec2 p)\n"
                                        b"{\n    c = vec4(texture(iChannel0, vec2(0.5)).rgb, 1.0);\n}\n")
    done = record(prefix, tmp_path, "bom.glsl", "still-12:30.png", "--size", "64x36", "--channel0", "grey.png")
    assert (done.returncode, done.stderr) == (0, "")
    assert Image.open(tmp_path / "still-12:30.png").getpixel((10, 10)) == (128, 128, 128)
    (tmp_path / "flood.glsl").write_bytes(FLAT.replace(b"out vec4 c;", b"out vec4 c;\nuniform int width;").replace(
        b"c = vec4(0.0,", b"c = vec4(float(width),"))
    done = record(prefix, tmp_path, "flood.glsl", "clip.gif", "--size", "64x36", "--seconds", "0.5", "--fps", "10")
    assert done.returncode == 0
    assert re.fullmatch(r"OpenGL error 1282 in glBindVertexArray\(VAO\) at \S+main\.cpp:\d+\n"
                        r"    \(the line above repeated 4 times\)\n", done.stderr), done.stderr


def test_a_display_that_is_not_there_and_an_encoder_that_ends_early(prefix, tmp_path):
    (tmp_path / "flat.glsl").write_bytes(FLAT)
    done = record(prefix, tmp_path, "flat.glsl", "a.png", env=without_display(DISPLAY=":1999"))
    assert done.returncode == 1
    assert done.stderr == ("quillomar-record: the viewer ended after 0 of 1 frames (status 255):\nFailed to create "
                           "GLFW window; the display DISPLAY=:1999 gives no window with an OpenGL 3.3 core context, "
                           "and --headless records with no display\n")
    fake = tmp_path / "bin"
    fake.mkdir()
    (fake / "ffmpeg").write_text("#!/bin/sh\nexit 0\n")
    (fake / "ffmpeg").chmod(0o755)
    done = record(prefix, tmp_path, "flat.glsl", "a.mp4", "--size", "64x36",
                  env=without_display(PATH="%s:%s" % (fake, os.environ["PATH"])))
    assert (done.returncode, done.stderr) == (1, "quillomar-record: ffmpeg failed (status 0)\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bin", "flat.glsl"]


def test_live_whose_reader_goes_away_ends_with_a_message(prefix, xserver, tmp_path):
    (tmp_path / "flat.glsl").write_bytes(FLAT)
    x = open_display(xserver)
    reader = subprocess.Popen(["head", "-c", "1"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    live = subprocess.Popen([str(prefix / "bin" / "quillomar-live"), "flat.glsl"], cwd=tmp_path,
                            env=without_display(DISPLAY=xserver), stdout=reader.stdin, stderr=subprocess.PIPE,
                            start_new_session=True)
    reader.stdin.close()
    try:
        find_titled_window(x, "flat.glsl ")
        reader.wait(PATIENCE)
        (tmp_path / "flat.glsl").write_bytes(FLAT.replace(b"1.0, 0.0", b"1.0, 1.0"))
        said = live.communicate(timeout=PATIENCE)[1].decode()
    finally:
        x.close()
    assert live.returncode == 1 and said == ("quillomar-live: the log's reader has gone (standard output was "
                                             "closed); the session ended\n"), said
    assert subprocess.run(["pgrep", "-g", str(live.pid)], capture_output=True).stdout == b"", "processes left"
