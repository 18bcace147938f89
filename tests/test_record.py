"""quillomar-record, installed: every format shows exactly FROM + k / FPS in frame k, on each kind of
display, and a GIF or WebP the colours of every frame, a still scene's too; a failure says why in one
message and leaves nothing behind; Ctrl-C ends it as interrupted. The proof of a finished clip, alone, on
files made here."""
import bisect
import glob
import os
import re
import shutil
import signal
import subprocess
import time

import pytest
from PIL import Image

from conftest import REPO, until, without_display
from quillomar import Failure, proof

pytestmark = pytest.mark.packaging


# iTime in milliseconds, as 20 stripes from the left (bit 0) to the right, coarse enough to come through
# lossy coding: red in the top half, blue in the bottom half, so that the picture's way up and its colour
# order show too.
TIMECODE = b"""#version 330 core
in vec2 coord;
out vec4 FragColor;
uniform float iTime;
void main()
{
    uint ms = uint(iTime * 1000.0 + 0.5);
    float bit = float((ms >> uint((coord.x * 0.5 + 0.5) * 20.0)) & 1u);
    FragColor = vec4(coord.y > 0.0 ? vec3(bit, 0.0, 0.0) : vec3(0.0, 0.0, bit), 1.0);
}
// With a version line of its own, a file goes to the GL as it is, whatever else it defines.
void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    fragColor = vec4(fragCoord, 0.0, 1.0);
}
"""


def timecodes(path, w, h):
    """For each frame of the picture or clip at path, the millisecond counts shown in red and in blue along
    a row of its top half, then of its bottom half; and the codec, with the frame rate of a clip."""
    if path.suffix == ".webp":  # ffmpeg reads no animated WebP; PIL does
        image = Image.open(path)
        frames = [image.seek(k) or image.convert("RGB").tobytes() for k in range(image.n_frames)]
        codec = "webp, loop %d, %d ms" % (image.info["loop"], image.info["duration"])
    else:
        raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                             capture_output=True, check=True, timeout=60).stdout
        frames = [raw[k:k + w * h * 3] for k in range(0, len(raw), w * h * 3)]
        entries = "stream=codec_name,pix_fmt" + ("" if path.suffix == ".png" else ",r_frame_rate")
        codec = subprocess.run(["ffprobe", "-v", "error", "-show_entries", entries, "-of", "csv=p=0", str(path)],
                               capture_output=True, text=True, check=True).stdout.strip()

    def count(frame, y, channel):
        return sum(1 << i for i in range(20) if frame[(y * w + int((i + 0.5) / 20 * w)) * 3 + channel] > 127)
    return [tuple(count(f, y, c) for y in (h // 4, 3 * h // 4) for c in (0, 2)) for f in frames], codec


RECORDINGS = {  # format: options, codec, frames as milliseconds
    "mp4 from an own X server": ("clip.mp4", ["--seconds", "1", "--fps", "6", "--from", "2.5"], "h264,yuv420p,6/1",
                                 [2500, 2667, 2833, 3000, 3167, 3333]),
    # The display at hand cannot give a GL context: only the private server that --headless starts can.
    "webm with --headless": ("clip.webm", ["--seconds", "0.5", "--fps", "8", "--from", "1", "--headless", "no-glx"],
                             "vp9,yuv420p,8/1", [1000, 1125, 1250, 1375]),
    "gif": ("clip.gif", ["--seconds", "0.4", "--fps", "10"], "gif,bgra,10/1", [0, 100, 200, 300]),
    # 2.5 frames: rounded half up.
    "animated webp": ("clip.webp", ["--seconds", "0.5", "--fps", "5", "--from", "4"], "webp, loop 0, 200 ms",
                      [4000, 4200, 4400]),
    "png still on the current display": ("still.png", ["--from", "7.25", "display"], "png,rgb24", [7250]),
    # A Wayland session with no DISPLAY: an X server of its own for the X11 GLFW, the session's compositor
    # for GLFW built for Wayland.
    "mp4 in a Wayland session": ("clip.mp4", ["--seconds", "0.5", "--fps", "6", "wayland"], "h264,yuv420p,6/1",
                                 [0, 167, 333]),
    "mp4 on GLFW for Wayland": ("clip.mp4", ["--seconds", "0.5", "--fps", "6", "--from", "1", "glfw-wayland"],
                                "h264,yuv420p,6/1", [1000, 1167, 1333]),
}


@pytest.mark.parametrize("name, options, codec, frames", RECORDINGS.values(), ids=RECORDINGS.keys())
def test_recording_shows_exactly_from_plus_k_over_fps_in_frame_k(request, prefix, tmp_path, name, options, codec,
                                                                   frames):
    (tmp_path / "shader.glsl").write_bytes(TIMECODE)
    servers = {"display": "xserver", "no-glx": "no_glx_xserver"}
    shown = [request.getfixturevalue(servers[o]) for o in options if o in servers]
    env = without_display(DISPLAY=shown[0]) if shown else without_display()
    if "wayland" in options:
        env.update(WAYLAND_DISPLAY=request.getfixturevalue("weston")[0],
                   XDG_RUNTIME_DIR=request.getfixturevalue("weston")[1])
    if "glfw-wayland" in options:
        env.update(request.getfixturevalue("on_wayland"))
    markers = set(servers) | {"wayland", "glfw-wayland"}
    done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "shader.glsl", name, "--size", "320x180",
                           *[o for o in options if o not in markers]], cwd=tmp_path, env=env, capture_output=True,
                          timeout=120)
    assert (done.returncode, done.stderr) == (0, b"")
    print("\n" + done.stdout.decode().strip())
    assert timecodes(tmp_path / name, 320, 180) == ([(ms, 0, 0, ms) for ms in frames], codec)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["shader.glsl", name])


# Green until iTime 1, red after: a colour that first shows in frame 10 at 10 frames per second.
LATE_RED = b"""#version 330 core
out vec4 FragColor;
uniform float iTime;
void main()
{
    FragColor = iTime < 1.0 ? vec4(0.0, 1.0, 0.0, 1.0) : vec4(1.0, 0.0, 0.0, 1.0);
}
"""
STILL = b"#version 330 core\nout vec4 FragColor;\nvoid main()\n{\n    FragColor = vec4(0.2, 0.4, 0.8, 1.0);\n}\n"
GREEN, RED, BLUE = (0, 255, 0), (255, 0, 0), (51, 102, 204)


def shown(path, fps, frames):
    """The colour at the centre of what a GIF or WebP shows halfway through each frame's time (k + 0.5) /
    fps, from the file's frames and their durations (a still shows all along)."""
    image, starts, colours, at = Image.open(path), [], [], 0
    for k in range(getattr(image, "n_frames", 1)):
        image.seek(k)
        picture = image.convert("RGB")
        starts.append(at)
        colours.append(picture.getpixel((picture.width // 2, picture.height // 2)))
        at += image.info.get("duration", 0)
    return [colours[bisect.bisect_right(starts, (k + 0.5) * 1000 / fps) - 1] for k in range(frames)]


COLOURS = {  # shader, output, options, the colour of each frame
    "gif, a colour first drawn late": (LATE_RED, "clip.gif", ["--seconds", "2", "--fps", "10"],
                                       [GREEN] * 10 + [RED] * 10),
    "webp, a colour first drawn late": (LATE_RED, "clip.webp", ["--seconds", "2", "--fps", "10"],
                                        [GREEN] * 10 + [RED] * 10),
    # libwebp writes a clip whose frames are all alike as one still picture.
    "webp of a still scene": (STILL, "clip.webp", ["--seconds", "1"], [BLUE] * 30),
    "gif of a still scene": (STILL, "clip.gif", ["--seconds", "1"], [BLUE] * 30),
}


@pytest.mark.parametrize("shader, name, options, colours", COLOURS.values(), ids=COLOURS.keys())
def test_gif_and_webp_show_every_frames_colours_a_still_scene_too(prefix, tmp_path, shader, name, options,
                                                                   colours):
    (tmp_path / "shader.glsl").write_bytes(shader)
    done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "shader.glsl", name, "--size", "64x64",
                           *options], cwd=tmp_path, env=without_display(), capture_output=True, text=True,
                          timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.startswith("%s: %d frames in " % (name, len(colours)))
    seen = shown(tmp_path / name, float(options[options.index("--fps") + 1]) if "--fps" in options else 30.0,
                 len(colours))
    # WebP's lossy coding moves a flat colour by a step or two.
    assert all(max(abs(a - b) for a, b in zip(s, c)) <= 4 for s, c in zip(seen, colours)), seen
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["shader.glsl", name])


@pytest.mark.fast
def test_the_proof_holds_a_gifs_frames_against_the_frames_drawn(tmp_path):
    """The proof alone, on GIFs made here: dithering and frames merged into a longer one are what was drawn;
    a frame in a colour that was not drawn is not, and says which."""
    drawn, size = [GREEN, RED, RED, BLUE], (64, 64)
    digest = proof.Digest(tmp_path / "digest", size)
    digest.path.write_bytes(b"".join(bytes(c) * (digest.frame_bytes // 3) for c in drawn))

    def gif(frames, durations):
        path = tmp_path / "clip.gif"
        frames[0].save(path, save_all=True, append_images=frames[1:], duration=durations, loop=0)
        return path

    def flat(colour):
        return Image.new("RGB", size, colour)
    # Red as dark red and orange, alternating pixels: their mean is red.
    dithered = Image.new("RGB", size, (205, 0, 0))
    dithered.putdata([(255, 60, 0) if (x + y) % 2 else (205, 0, 0) for y in range(64) for x in range(64)])
    wrong = gif([flat(GREEN), flat(RED), flat(GREEN), flat(BLUE)], [100] * 4)
    with pytest.raises(Failure) as said:
        proof.check(wrong, ".gif", 4, 10.0, digest=digest)
    assert str(said.value) == ("the encoder's output shows other colours than were drawn: frame 2 is off by 170 of "
                               "255 in part of the picture, where dithering moves no part by more than 48")
    proof.check(gif([flat(GREEN), dithered, flat(RED), flat(BLUE)], [100] * 4), ".gif", 4, 10.0, digest=digest)
    proof.check(gif([flat(GREEN), flat(RED), flat(BLUE)], [100, 200, 100]), ".gif", 4, 10.0, digest=digest)
    # Cut short, and a frame left out with the length kept: neither is the clip drawn.
    for frames, durations, message in [
            ([flat(GREEN), flat(RED)], [100, 100], "it lasts 0.20 s, where 4 frames at 10 per second were written"),
            ([flat(GREEN), flat(RED), flat(BLUE)], [100, 100, 200], "frame 2 is off by 170 of 255")]:
        with pytest.raises(Failure) as said:
            proof.check(gif(frames, durations), ".gif", 4, 10.0, digest=digest)
        assert message in str(said.value)


@pytest.mark.fast
def test_a_still_webp_is_a_whole_clip_and_one_cut_short_is_not(tmp_path):
    """libwebp writes a clip whose frames are all alike as a still: one picture, no frames of an animation."""
    still, animated = tmp_path / "still.webp", tmp_path / "animated.webp"
    Image.new("RGB", (64, 64), BLUE).save(still, quality=80)
    frames = [Image.new("RGB", (64, 64), c) for c in (GREEN, RED, BLUE)]
    frames[0].save(animated, save_all=True, append_images=frames[1:], duration=[100, 100, 100], loop=0)
    assert proof.webp_length(still.read_bytes()) == (1, None)
    proof.check(still, ".webp", 30, 30.0)
    proof.check(animated, ".webp", 3, 10.0)
    whole = still.read_bytes()
    header = whole[:12]
    picture = whole[12:]
    broken = {
        "cut short": (whole[:-10], "its RIFF length is not the file's"),
        "two pictures": (header[:4] + (len(whole) + len(picture) - 8).to_bytes(4, "little") + header[8:] + picture * 2,
                         "2 pictures in a still"),
        "its picture's header spoilt": (whole[:20] + bytes(len(whole) - 20), "Invalid start code"),
    }
    for name, (data, message) in broken.items():
        still.write_bytes(data)
        with pytest.raises(Failure) as said:
            proof.check(still, ".webp", 30, 30.0)
        assert message in str(said.value), name
    with pytest.raises(Failure) as said:
        proof.check(animated, ".webp", 6, 10.0)
    assert "(3 frames lasting 300 ms, where 6 frames of 100.0 ms were written)" in str(said.value)


FAILURES = {  # arguments, environment, first line of the message
    "no ffmpeg": (["clip.mp4"], {"PATH": "/nonexistent"}, "ffmpeg is not installed"),
    "shader does not build": (["clip.mp4", "bad"], {}, "shader.glsl did not build:"),
    "unknown extension": (["clip.avi"], {}, "unknown extension '.avi'"),
    "no frames per second": (["clip.mp4", "--fps", "0"], {}, "argument --fps: invalid positive number value: '0'"),
    "bad size": (["clip.mp4", "--size", "640x"], {}, "argument --size: invalid size (WxH) value: '640x'"),
    "odd size for mp4": (["clip.mp4", "--size", "321x180"], {}, "argument --size: .mp4 needs an even width"),
    "viewer ends early": (["clip.mp4", "no-glx"], {}, "the viewer ended after 0 of 150 frames (status 255):"),
    # A mainImage file's messages name its own lines: the error is on line 3.
    "mainImage does not build": (["clip.mp4", "bad-main-image"], {},
                                 "shader.glsl did not build:\nshader.glsl:3:14: error: `undeclared' undeclared\n"
                                 " 3 |     c = vec4(undeclared);\n   |              ^\n"),
    "channel out of range": (["clip.mp4", "--channel4", "x.png"], {}, "there is no channel 4: the channels are 0 to 3"),
    "image missing": (["clip.mp4", "--channel1", "missing.png"], {},
                      "cannot read the image for iChannel1, missing.png: No such file or directory"),
    "not an image": (["clip.mp4", "--channel0", "shader.glsl"], {},
                     "cannot read the image for iChannel0, shader.glsl: not an image"),
    "mouse not two numbers": (["clip.mp4", "--mouse", "12"], {}, "argument --mouse: invalid position (X,Y) value: '12'"),
    # iMouse is a 32-bit float, counted in the pixels drawn: 8 a pixel supersampled 8 times.
    "mouse past a float": (["clip.mp4", "--mouse", "1e308,5"], {},
                           "argument --mouse: invalid position (X,Y) value: '1e308,5' (see --help)\n"),
    "mouse past a float drawn": (["clip.mp4", "--mouse", "1e38,5", "--supersample", "8"], {},
                                 "argument --mouse: invalid position (X,Y) value: '1e38,5' (see --help)\n"),
}
SHADERS = {"bad": b"void main() { bad }",
           "bad-main-image": b"void mainImage(out vec4 c, in vec2 p)\n{\n    c = vec4(undeclared);\n}\n"}


@pytest.mark.parametrize("args, env, message", FAILURES.values(), ids=FAILURES.keys())
def test_recording_failure_says_why_and_leaves_no_output(request, prefix, tmp_path, args, env, message):
    (tmp_path / "shader.glsl").write_bytes(next((SHADERS[a] for a in args if a in SHADERS), TIMECODE))
    env = without_display(**env, **({"DISPLAY": request.getfixturevalue("no_glx_xserver")} if "no-glx" in args
                                    else {}))
    done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "shader.glsl",
                           *[a for a in args if a not in SHADERS and a != "no-glx"]], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode != 0 and done.stdout == ""
    assert done.stderr.startswith("quillomar-record: " + message), done.stderr
    assert [p.name for p in tmp_path.iterdir()] == ["shader.glsl"]


def test_a_build_that_fails_says_its_errors_first_in_the_file_they_are_in(prefix, tmp_path):
    """The GL's whole log, not the viewer's 512 bytes: forty warnings never hide the error after them, in
    the shader's own file, in a file it includes, or in a buffer pass's file."""
    unused = "".join("    float v%d; c.r += v%d;\n" % (i, i) for i in range(40))
    body = "void mainImage(out vec4 c, in vec2 p)\n{\n%s    c = vec4(%s);\n}\n"
    (tmp_path / "lib").mkdir()
    (tmp_path / "lib" / "tint.glsl").write_text("vec3 tint()\n{\n    return nowhere(2.0);\n}\n")
    cases = {
        "warned.glsl": (body % (unused, "nowhere(1.0)"), "warned.glsl", "warned.glsl:43:14: error: no function with "
                        "name 'nowhere'\n 43 |     c = vec4(nowhere(1.0));\n    |              ^\n"),
        "includes.glsl": ('#include "lib/tint.glsl"\n' + body % (unused, "tint(), 1.0"), "includes.glsl",
                          "%s:3:12: error: no function with name 'nowhere'\n 3 |     return nowhere(2.0);\n"
                          "   |            ^\n" % (tmp_path / "lib" / "tint.glsl")),
        "image.glsl": ('#iChannel0 "file://bufferA.glsl"\n' + body % ("", "1.0"), str(tmp_path / "bufferA.glsl"),
                       "%s:43:14: error: no function with name 'nowhere'\n" % (tmp_path / "bufferA.glsl")),
    }
    (tmp_path / "bufferA.glsl").write_text(body % (unused, "nowhere(1.0)"))
    for shader, (text, name, error) in cases.items():
        (tmp_path / shader).write_text(text)
        done = subprocess.run([str(prefix / "bin" / "quillomar-record"), shader, "still.png"], cwd=tmp_path,
                              capture_output=True, text=True, timeout=60, env=without_display())
        head = "quillomar-record: %s did not build:\n" % name
        assert done.returncode == 1 and done.stderr.startswith(head + error), done.stderr
        said = done.stderr.split("\n")
        assert said[-2] == "(and 37 more warnings)", done.stderr
        assert [line.split(": ")[1] for line in said if ": warning: " in line] == ["warning"] * 3, done.stderr
        assert not (tmp_path / "still.png").exists()


def test_ctrl_c_ends_a_recording_as_interrupted(prefix, tmp_path):
    (tmp_path / "shader.glsl").write_bytes(TIMECODE)
    recorder = subprocess.Popen([str(prefix / "bin" / "quillomar-record"), "shader.glsl", "clip.mp4", "--seconds",
                                 "600", "--size", "320x180"], cwd=tmp_path, start_new_session=True, env=without_display(),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    until(lambda: len(subprocess.run(["pgrep", "-P", str(recorder.pid)], capture_output=True).stdout.split()) == 2
          or "not yet", "two children")
    time.sleep(1)
    children = subprocess.run(["pgrep", "-P", str(recorder.pid)], capture_output=True, text=True).stdout
    # With no display there is no display server either: the viewer's context comes from EGL.
    names = sorted(open("/proc/%s/comm" % pid).read().strip() for pid in children.split())
    assert names == ["ffmpeg", "quillomar"], "the encoder and the viewer are running, and nothing else"
    children = children.split()
    os.killpg(recorder.pid, signal.SIGINT)  # as the terminal does: to the whole foreground group
    out, err = recorder.communicate(timeout=60)
    assert (recorder.returncode, out, err) == (130, "", "\nquillomar-record: interrupted; clip.mp4 was not written\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["shader.glsl"]
    assert not [pid for pid in children if os.path.exists("/proc/%s" % pid)], "no process left"


def test_headless_needs_no_x_server_and_draws_the_displays_frames(prefix, xserver, tmp_path):
    """Recorded on an X server's window, and with no display server at all (none on PATH either): the same
    frames, byte for byte."""
    tools = tmp_path / "tools"
    tools.mkdir()
    for name in ("ffmpeg", "ffprobe"):
        (tools / name).symlink_to(shutil.which(name))
    shader = REPO / "examples" / "sdf2d.glsl"
    args = [str(prefix / "bin" / "quillomar-record"), str(shader), "--size", "320x180", "--from", "2", "--seconds",
            "0.3", "--fps", "10"]
    shown = subprocess.run(args + ["shown.gif"], cwd=tmp_path, env=without_display(DISPLAY=xserver),
                           capture_output=True, text=True, timeout=120)
    alone = subprocess.run(args + ["alone.gif"], cwd=tmp_path, env=without_display(PATH=str(tools)),
                           capture_output=True, text=True, timeout=120)
    assert (shown.returncode, shown.stderr, alone.returncode, alone.stderr) == (0, "", 0, "")
    assert re.fullmatch(r"alone\.gif: 3 frames in .*, drawn by llvmpipe .*, EGL surfaceless\n", alone.stdout)

    def frames(name):
        return subprocess.run(["ffmpeg", "-v", "error", "-i", name, "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                              cwd=tmp_path, capture_output=True, check=True, timeout=60).stdout
    assert len(frames("alone.gif")) == 3 * 320 * 180 * 3 and frames("alone.gif") == frames("shown.gif")


@pytest.mark.fast
def test_an_encoder_that_does_not_work_here_is_said_before_anything(prefix, tmp_path):
    (tmp_path / "shader.glsl").write_bytes(TIMECODE)
    for encoder, message in [("nvenc", "quillomar-record: the nvenc encoder does not work here (ffmpeg said: "),
                              ("vaapi", "quillomar-record: no vaapi encoder for .gif"),
                              ("nvenc", "quillomar-record: no nvenc encoder for .webm here")]:
        output = "clip.gif" if "gif" in message else "clip.webm" if "webm" in message else "clip.mp4"
        done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "shader.glsl", output, "--encoder", encoder],
                              cwd=tmp_path, env=without_display(), capture_output=True, text=True, timeout=60)
        assert done.returncode == 1 and done.stderr.startswith(message), done.stderr
    assert [p.name for p in tmp_path.iterdir()] == ["shader.glsl"]


def test_a_gpu_asked_for_is_a_gpu_or_one_message(prefix, tmp_path):
    (tmp_path / "shader.glsl").write_bytes(TIMECODE)
    done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "shader.glsl", "still.png", "--gpu"],
                          cwd=tmp_path, env=without_display(), capture_output=True, text=True, timeout=60)
    if os.path.exists("/dev/nvidiactl") or glob.glob("/dev/dri/renderD*"):
        assert done.returncode == 0 and ", EGL device\n" in done.stdout, (done.stdout, done.stderr)
        return
    assert (done.returncode, done.stdout, done.stderr) == (1, "", "quillomar-record: the viewer ended after 0 of 1 "
                                                           "frames (status 255):\nFailed to create GLFW window; EGL "
                                                           "gives no OpenGL 3.3 core context here on a GPU\n")
    assert [p.name for p in tmp_path.iterdir()] == ["shader.glsl"]
