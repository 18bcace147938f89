"""Sessions: quillomar-live --session writes every build (its texts, its includes too), key, mouse and time
key as they happen; quillomar-record --replay draws the session again, each still the same bytes as a
recording made directly of the texts shown then, at their iTime; and a session file cut short, edited by
hand or from a newer version is taken as it says."""
import json
import subprocess
import time

import pytest
from PIL import Image
from Xlib import X, XK
from Xlib.ext import xtest

from conftest import BUILD, interrupt, start_live, until, without_display
from quillomar import facts
from xsession import find_titled_window, grab, open_display, title

# Red iTime's fraction, green the #iUniform over 5 (its directive in an included file), blue where the
# pointer was held across the picture; alpha from a macro continued with a backslash, beside a "\n".
FIRST = b"""#include "common.glsl"
#define OPAQUE(x) ((x) \\
    * 0.5) // "\\n" stays two characters
void mainImage(out vec4 c, in vec2 f)
{
    c = vec4(fract(iTime * 0.37), speed / 5.0, iMouse.x / iResolution.x, OPAQUE(2.0));
}
"""
SECOND = FIRST.replace(b"vec4(fract(iTime * 0.37), speed / 5.0,", b"vec4(speed / 5.0, fract(iTime * 0.37),")
COMMON = b"#iUniform float speed = 2.0 in {0.0, 5.0}\n"


def tap(x, name):
    code = x.keysym_to_keycode(XK.string_to_keysym(name))
    xtest.fake_input(x, X.KeyPress, code)
    xtest.fake_input(x, X.KeyRelease, code)
    x.sync()


def still(prefix, folder, *args):
    done = subprocess.run([str(prefix / "bin" / "quillomar-record"), *map(str, args), "--size", "64x48",
                           "--software"], cwd=folder, capture_output=True, text=True, timeout=60,
                          env=without_display())
    return done


def pixels(path):
    return Image.open(path).convert("RGBA").tobytes()


def test_a_live_session_replays_into_the_same_stills(prefix, xserver, tmp_path):
    (tmp_path / "shader.glsl").write_bytes(FIRST)
    (tmp_path / "common.glsl").write_bytes(COMMON)
    # An older session in the file: written over.
    (tmp_path / "session.jsonl").write_text('{"quillomar-session": 1, "shader": "old.glsl"}\n{"event": "gone"}\n')
    live = start_live(prefix, xserver, tmp_path, "shader.glsl", "--session", "session.jsonl")
    x = open_display(xserver)
    try:
        window = find_titled_window(x, "shader.glsl ")
        origin = window.translate_coords(x.screen().root, 0, 0)
        g = window.get_geometry()
        # The pointer held at a quarter of the width: blue a quarter.
        xtest.fake_input(x, X.MotionNotify, x=g.width // 4 - origin.x, y=g.height // 2 - origin.y)
        xtest.fake_input(x, X.ButtonPress, 1)
        x.sync()
        until(lambda: abs(grab(window, (5, 5, 1, 1)).getpixel((0, 0))[2] - 64) <= 2 or
              grab(window, (5, 5, 1, 1)).getpixel((0, 0)), "iMouse at a quarter")
        xtest.fake_input(x, X.ButtonRelease, 1)
        tap(x, "space")
        until(lambda: "paused)" in title(x, window) or title(x, window), "paused")
        (tmp_path / "shader.glsl").write_bytes(SECOND)
        until(lambda: grab(window, (5, 5, 1, 1)).getpixel((0, 0))[0] == 102 or grab(window, (5, 5, 1, 1)).getpixel(
            (0, 0)), "the second text shown")
        tap(x, "Right")
        time.sleep(0.3)
    finally:
        interrupt(live)
        x.close()
    lines = (tmp_path / "session.jsonl").read_text().splitlines()
    described = facts.get().session
    assert json.loads(lines[0]) == {"quillomar-session": described.version, "shader": "shader.glsl"}
    assert described.version == 2
    events = [json.loads(line) for line in lines[1:]]
    # Each event live wrote has the fields the libraries' table gives its kind (translate --describe), of
    # their types, and no others.
    types = {"number": (int, float), "flag": bool, "files": list, "numbers": list, "text": str}
    for e in events:
        fields = {**described.common, **described.events[e["event"]]}
        assert set(e) == {"event", *fields}, e
        assert all(isinstance(e[name], types[f.type]) and (f.type != "numbers" or f.least <= len(e[name]) <= f.most)
                   for name, f in fields.items()), e
    kinds = [e["event"] for e in events]
    builds = [e for e in events if e["event"] == "build"]
    times = [e for e in events if e["event"] == "time"]
    assert [[(f["path"].rsplit("/", 1)[1], f["text"].encode()) for f in b["files"]] for b in builds] == [
        [("shader.glsl", FIRST), ("common.glsl", COMMON)], [("shader.glsl", SECOND), ("common.glsl", COMMON)]]
    assert [t["paused"] for t in times] == [True, True] and times[1]["itime"] == round(times[0]["itime"] + 1, 9)
    assert kinds.index("mouse") < kinds.index("time") < kinds.index("build", 1) < len(kinds) - 1 - kinds[::-1].index(
        "time"), kinds
    held = [e for e in events if e["event"] == "mouse" and e["mouse"][2] > 0][-1]
    # An #iUniform set, after the rest, as a slider would have.
    last = events[-1]["clock"]
    with open(tmp_path / "session.jsonl", "a") as f:
        f.write(json.dumps({"event": "uniform", "frame": events[-1]["frame"] + 5, "itime": times[1]["itime"],
                            "clock": last + 0.1, "name": "speed", "value": [4.0]}) + "\n")
    # Each still of the replay, at a time of the session's clock, against one recorded of the texts shown
    # then, at that iTime, with that mouse and uniform.
    direct = tmp_path / "direct"
    direct.mkdir()
    (direct / "common.glsl").write_bytes(COMMON)
    mouse = "%r,%r" % (held["mouse"][0] * 64 / held["picture"][0], held["mouse"][1] * 48 / held["picture"][1])
    at_second_build = [e for e in events if e["event"] == "build"][1]["clock"]
    for clock, text, itime, options in [
            ((times[0]["clock"] + at_second_build) / 2, FIRST, times[0]["itime"], []),
            # Just after the time key and the uniform's setting: the first frame after an event shows it.
            (last + 0.01, SECOND, times[1]["itime"], []),
            (last + 0.11, SECOND, times[1]["itime"], ["--set", "speed=4"])]:
        (direct / "shader.glsl").write_bytes(text)
        done = still(prefix, tmp_path, "--replay", "session.jsonl", "replayed.png", "--from", repr(clock))
        assert done.returncode == 0, done.stderr
        done = still(prefix, direct, "shader.glsl", "direct.png", "--from", repr(itime), "--mouse", mouse, *options)
        assert done.returncode == 0, done.stderr
        assert pixels(tmp_path / "replayed.png") == pixels(direct / "direct.png"), clock
    # A clip of the whole session at another size and rate: every frame drawn.
    done = still(prefix, tmp_path, "--replay", "session.jsonl", "clip.gif", "--fps", "10")
    assert done.returncode == 0, done.stderr
    assert Image.open(tmp_path / "clip.gif").n_frames == round((last + 0.1 + 1.0) * 10)


def test_a_session_cut_short_edited_by_hand_or_newer_is_taken_as_it_says(prefix, tmp_path):
    text = "void mainImage(out vec4 c, in vec2 f) { c = vec4(0.25, fract(iTime), 0.0, 1.0); }\n"
    build = {"event": "build", "frame": 0, "itime": 0, "clock": 0,
             "files": [{"path": str(tmp_path / "gone" / "shader.glsl"), "text": text}]}
    pause = {"event": "time", "frame": 3, "itime": 0.5, "clock": 0.1, "paused": True}
    header = json.dumps({"quillomar-session": 1, "shader": "shader.glsl"})

    def replay(lines, name="session.jsonl"):
        (tmp_path / name).write_text(lines)
        return still(prefix, tmp_path, "--replay", name, "still.png", "--from", "0.2")

    whole = "\n".join([header, json.dumps(build), json.dumps(pause)]) + "\n"
    done = replay(whole)
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    assert Image.open(tmp_path / "still.png").convert("RGB").getpixel((3, 3)) == (64, 128, 0)
    # The last line cut short: the session up to the line before it, and that said.
    done = replay(whole + json.dumps(pause)[:-9])
    assert (done.returncode, done.stderr) == (0, "quillomar-record: session.jsonl:4: the last line is cut short (the "
                                                 "session ended as it was written); the session is replayed up to the "
                                                 "line before it\n")
    # Lines edited by hand, each one message naming the line; a newer session refused, naming both versions.
    for lines, said in [
            ([header, json.dumps(build), "{\"event\": \"time\", \"frame\": 3}"],
             "session.jsonl:3: time event: 'itime' is not a number"),
            ([header, json.dumps(build), json.dumps(dict(pause, paused="yes"))],
             "session.jsonl:3: time event: 'paused' is not true or false"),
            ([header, json.dumps(build), json.dumps(dict(pause, event="jump"))],
             "session.jsonl:3: not an event of a session: unknown event 'jump'"),
            ([header, json.dumps(build), "{\"event\": \"time\", \"frame\": 3,,}", json.dumps(pause)],
             "session.jsonl:3: not an event of a session: Expecting property name enclosed in double quotes"),
            ([header, json.dumps(dict(pause, clock=1.0)), json.dumps(build)], "session.jsonl:3: its clock goes back"),
            ([header, json.dumps(pause)], "session.jsonl: no build in the session: its shader never built"),
            # Values the options refuse: a clock or iTime before 0 or past the latest, a key code no key has.
            ([header, json.dumps(dict(build, clock=-1))], "session.jsonl:2: build event: 'clock' is not a number of 0 "
                                                          "to 1e+09"),
            ([header, json.dumps(build), json.dumps(dict(pause, itime=2e9))],
             "session.jsonl:3: time event: 'itime' is not a number of 0 to 1e+09"),
            ([header, json.dumps(build), json.dumps({"event": "key", "frame": 3, "itime": 0, "clock": 0.1, "code": -5,
                                                     "down": True})],
             "session.jsonl:3: key event: 'code' is not a key code (0 to 255)"),
            ([header, json.dumps(build), json.dumps({"event": "key", "frame": 3, "itime": 0, "clock": 0.1,
                                                     "code": 1e300, "down": True})],
             "session.jsonl:3: key event: 'code' is not a key code (0 to 255)"),
            ([json.dumps(build)], "session.jsonl:1: not a Quillomar session (its first line is no "
                                  "{\"quillomar-session\": VERSION, ...})"),
            ([json.dumps({"quillomar-session": 3, "shader": "shader.glsl"}), json.dumps(build)],
             "session.jsonl: a session of version 3, newer than this quillomar-record reads (version 2)")]:
        done = replay("\n".join(lines) + "\n")
        assert (done.returncode, done.stdout, done.stderr) == (1, "", "quillomar-record: %s\n" % said), lines


def test_a_value_set_keeps_through_builds_that_leave_its_directive_alone(prefix, tmp_path):
    def text(directive, body):
        return "%s\nvoid mainImage(out vec4 c, in vec2 f) { c = vec4(speed / 5.0, %s, 0.0, 1.0); }\n" % (directive, body)
    same = "#iUniform float speed = 1.0 in {0.0, 5.0}"
    path = str(tmp_path / "gone" / "shader.glsl")
    events = [{"event": "build", "clock": 0, "files": [{"path": path, "text": text(same, "0.0")}]},
              {"event": "uniform", "clock": 0.1, "name": "speed", "value": [4.0]},
              {"event": "build", "clock": 0.2, "files": [{"path": path, "text": text(same, "1.0")}]},
              {"event": "build", "clock": 0.3, "files": [{"path": path, "text": text(same.replace("5.0", "2.0"), "1.0")}]}]
    (tmp_path / "session.jsonl").write_text("\n".join(
        [json.dumps({"quillomar-session": 1, "shader": "shader.glsl"})] +
        [json.dumps(dict(e, frame=n, itime=e["clock"])) for n, e in enumerate(events)]) + "\n")
    # The speed set, kept by the save that left its directive alone, and its value again after a new range.
    for clock, colour in [(0.05, (51, 0, 0)), (0.15, (204, 0, 0)), (0.25, (204, 255, 0)), (0.35, (51, 255, 0))]:
        done = still(prefix, tmp_path, "--replay", "session.jsonl", "still.png", "--from", repr(clock))
        assert done.returncode == 0, done.stderr
        assert Image.open(tmp_path / "still.png").convert("RGB").getpixel((3, 3)) == colour, clock
    # A value the uniform cannot take, edited in by hand: one message naming the line, nothing written.
    with open(tmp_path / "session.jsonl", "a") as f:
        f.write(json.dumps({"event": "uniform", "frame": 5, "itime": 0.4, "clock": 0.4, "name": "speed",
                            "value": [9.0]}) + "\n")
    done = still(prefix, tmp_path, "--replay", "session.jsonl", "refused.png", "--from", "0.45")
    assert (done.returncode, done.stderr) == (1, "quillomar-record: session.jsonl:6: uniform event: outside the "
                                                 "range of speed, {0, 2}\n")
    assert not (tmp_path / "refused.png").exists()


def test_a_session_of_a_shader_with_a_buffer_holds_its_texts_and_replays_without_them(prefix, xserver, tmp_path):
    # The picture's blue an image's, which a session does not hold: read from where the shader was.
    image = b'#iChannel0 "file://buffer.glsl"\n#iChannel1 "file://dot.png"\nvoid mainImage(out vec4 c, in vec2 f)\n' \
            b'{ c = vec4(texelFetch(iChannel0, ivec2(f), 0).rg, texelFetch(iChannel1, ivec2(0), 0).b, 1.0); }\n'
    Image.new("RGB", (1, 1), (0, 0, 191)).save(tmp_path / "dot.png")
    buffer = b'#include "tone.glsl"\nvoid mainImage(out vec4 c, in vec2 f) { c = vec4(TONE, 0.5, 0.0, 1.0); }\n'
    tone = b"#define TONE 0.25\n"
    texts = {"shader.glsl": image, "buffer.glsl": buffer, "tone.glsl": tone}
    for name, text in texts.items():
        (tmp_path / name).write_bytes(text)
    live = start_live(prefix, xserver, tmp_path, "shader.glsl", "--session", "session.jsonl")
    x = open_display(xserver)
    try:
        window = find_titled_window(x, "shader.glsl ")
        until(lambda: grab(window, (5, 5, 1, 1)).getpixel((0, 0))[:3] == (64, 128, 191) or
              grab(window, (5, 5, 1, 1)).getpixel((0, 0)), "the buffer's picture shown")
        # The buffer's include saved: the buffer alone built again.
        time.sleep(0.3)
        (tmp_path / "tone.glsl").write_bytes(b"#define TONE 1.0\n")
        until(lambda: grab(window, (5, 5, 1, 1)).getpixel((0, 0))[:3] == (255, 128, 191) or
              grab(window, (5, 5, 1, 1)).getpixel((0, 0)), "the buffer's new picture shown")
        time.sleep(0.3)
    finally:
        interrupt(live)
        x.close()
    events = [json.loads(line) for line in (tmp_path / "session.jsonl").read_text().splitlines()[1:]]
    saved = [e for e in events if e["event"] == "pass"]
    assert [[(f["path"].rsplit("/", 1)[1], f["text"].encode()) for f in e["files"]] for e in saved] == [
        [("buffer.glsl", buffer), ("tone.glsl", tone)], [("buffer.glsl", buffer), ("tone.glsl", b"#define TONE 1.0\n")]]
    # The session alone: its shader's files gone, the replay draws what a recording of them draws, before
    # the buffer's save and after it.
    direct = tmp_path / "direct"
    direct.mkdir()
    (direct / "dot.png").symlink_to(tmp_path / "dot.png")
    for name, text in texts.items():
        (direct / name).write_bytes(text)
        (tmp_path / name).unlink()
    for clock, red in [(saved[1]["clock"] - 0.2, 64), (saved[1]["clock"] + 0.01, 255)]:
        (direct / "tone.glsl").write_bytes(b"#define TONE %s\n" % (b"0.25" if red == 64 else b"1.0"))
        done = still(prefix, tmp_path, "--replay", "session.jsonl", "replayed.png", "--from", repr(clock))
        assert (done.returncode, done.stderr) == (0, ""), done.stderr
        done = still(prefix, direct, "shader.glsl", "direct.png")
        assert done.returncode == 0, done.stderr
        assert pixels(tmp_path / "replayed.png") == pixels(direct / "direct.png"), clock
        assert Image.open(direct / "direct.png").convert("RGB").getpixel((3, 3)) == (red, 128, 191)
    # A clip across the save: the buffer's new text from the frame after it on.
    done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "--replay", "session.jsonl", "clip.mkv",
                           "--size", "8x8", "--fps", "10", "--from", repr(saved[1]["clock"] - 0.15), "--seconds",
                           "0.3", "--software"], cwd=tmp_path, capture_output=True, timeout=60, env=without_display())
    assert done.returncode == 0, done.stderr
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", "clip.mkv", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                         cwd=tmp_path, capture_output=True, check=True).stdout
    assert [raw[k:k + 3] for k in range(0, len(raw), 8 * 8 * 3)] == [b"\x40\x80\xbf", b"\x40\x80\xbf",
                                                                    b"\xff\x80\xbf"]


def test_a_part_of_a_replay_with_keys_shows_the_frames_the_whole_clip_does(prefix, tmp_path):
    # Red while A is pressed (its first frame down), green while released (its first frame up), blue toggled.
    text = ("#iKeyboard\nvoid mainImage(out vec4 c, in vec2 f)\n{ c = vec4(isKeyPressed(Key_A) ? 1.0 : 0.0, "
            "isKeyReleased(Key_A) ? 1.0 : 0.0, isKeyToggled(Key_A) ? 1.0 : 0.0, 1.0); }\n")
    events = [{"event": "build", "clock": 0, "files": [{"path": str(tmp_path / "gone" / "shader.glsl"), "text": text}]},
              {"event": "key", "clock": 0.1, "code": 65, "down": True},
              {"event": "key", "clock": 0.2, "code": 65, "down": False}]
    (tmp_path / "session.jsonl").write_text("\n".join(
        [json.dumps({"quillomar-session": 1, "shader": "shader.glsl"})] +
        [json.dumps(dict(e, frame=n, itime=e["clock"])) for n, e in enumerate(events)]) + "\n")

    def frames(name, *more):
        done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "--replay", "session.jsonl", name,
                               "--size", "8x8", "--fps", "10", "--seconds", "0.6", "--software", *more],
                              cwd=tmp_path, capture_output=True, timeout=60, env=without_display())
        assert done.returncode == 0, done.stderr
        raw = subprocess.run(["ffmpeg", "-v", "error", "-i", name, "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                             cwd=tmp_path, capture_output=True, check=True).stdout
        return [raw[k:k + 8 * 8 * 3] for k in range(0, len(raw), 8 * 8 * 3)]

    whole = frames("whole.mkv")
    assert [f[:3] for f in whole] == [b"\0\0\0", b"\xff\0\xff", b"\0\xff\xff", b"\0\0\xff", b"\0\0\xff",
                                      b"\0\0\xff"]
    # A part from frame 2, and from frame 3: the key's events at their own frames, drawn unseen before it.
    assert frames("part.mkv", "--frames", "2-3") == whole[2:4]
    assert frames("part.mkv", "--frames", "3-3") == whole[3:4]


def test_imouse_given_or_replayed_counts_in_the_picture_drawn_divided_or_supersampled(prefix, tmp_path):
    text = "void mainImage(out vec4 c, in vec2 f) { c = vec4(iMouse.xy / iResolution.xy, iMouse.z / 64.0, 1.0); }\n"
    (tmp_path / "shader.glsl").write_text(text)
    events = [{"event": "build", "clock": 0, "files": [{"path": str(tmp_path / "gone" / "shader.glsl"), "text": text}]},
              {"event": "mouse", "clock": 0, "mouse": [16, 9, 16, 9], "picture": [32, 18]}]
    (tmp_path / "session.jsonl").write_text("\n".join(
        [json.dumps({"quillomar-session": 2, "shader": "shader.glsl"})] +
        [json.dumps(dict(e, frame=0, itime=0)) for e in events]) + "\n")
    # The pointer at the middle of a 64x36 picture, however it is drawn: iMouse.xy / iResolution.xy a half.
    for given, options in [(["shader.glsl", "--mouse", "32,18"], []),
                           (["shader.glsl", "--mouse", "32,18"], ["--scale", "2"]),
                           (["shader.glsl", "--mouse", "32,18"], ["--supersample", "2"]),
                           (["--replay", "session.jsonl"], []),
                           (["--replay", "session.jsonl"], ["--scale", "2"]),
                           (["--replay", "session.jsonl"], ["--scale", "4"]),
                           (["--replay", "session.jsonl"], ["--supersample", "2"])]:
        done = subprocess.run([str(prefix / "bin" / "quillomar-record"), *given, "still.png", "--size", "64x36",
                               "--software", *options], cwd=tmp_path, capture_output=True, timeout=60,
                              env=without_display())
        assert done.returncode == 0, done.stderr
        assert Image.open(tmp_path / "still.png").convert("RGB").getpixel((3, 3))[:2] == (128, 128), (given, options)


def test_a_replay_follows_the_timelines_speed_and_its_loop_taken_back(prefix, tmp_path):
    text = "void mainImage(out vec4 c, in vec2 f) { c = vec4(fract(iTime * 0.37), fract(iTime * 0.11), 0.0, 1.0); }\n"
    (tmp_path / "shader.glsl").write_text(text)
    # At 0.5 s the speed set to 2, at 1.0 s the loop over [0.2, 1.5) taken back from 1.5 (0.5 + 2 x 0.5) to 0.2.
    events = [{"event": "build", "clock": 0, "itime": 0,
               "files": [{"path": str(tmp_path / "gone" / "shader.glsl"), "text": text}]},
              {"event": "time", "clock": 0.5, "itime": 0.5, "paused": False, "speed": 2.0},
              {"event": "time", "clock": 1.0, "itime": 0.2, "paused": False, "speed": 2.0}]
    (tmp_path / "session.jsonl").write_text("\n".join(
        [json.dumps({"quillomar-session": 2, "shader": "shader.glsl"})] +
        [json.dumps(dict(e, frame=n)) for n, e in enumerate(events)]) + "\n")
    for clock, itime in [(0.25, 0.25), (0.75, 1.0), (1.25, 0.7)]:
        done = still(prefix, tmp_path, "--replay", "session.jsonl", "replayed.png", "--from", repr(clock))
        assert (done.returncode, done.stderr) == (0, ""), done.stderr
        done = still(prefix, tmp_path, "shader.glsl", "direct.png", "--from", repr(itime))
        assert done.returncode == 0, done.stderr
        assert pixels(tmp_path / "replayed.png") == pixels(tmp_path / "direct.png"), clock
    # A speed that is no number of 0 or more: one message naming its line.
    (tmp_path / "session.jsonl").write_text("\n".join(
        [json.dumps({"quillomar-session": 2, "shader": "shader.glsl"}), json.dumps(dict(events[0], frame=0)),
         json.dumps(dict(events[1], frame=1, speed=-1))]) + "\n")
    done = still(prefix, tmp_path, "--replay", "session.jsonl", "replayed.png")
    assert (done.returncode, done.stderr) == (1, "quillomar-record: session.jsonl:3: time event: 'speed' is not a "
                                                 "number of 0 or more\n")


def test_a_replay_reads_the_files_of_its_own_sessions_folder_however_far_up_they_are(prefix, tmp_path):
    text = ('#iChannel0 "file://../../../assets/a.png"\nvoid mainImage(out vec4 c, in vec2 f) '
            "{ c = texelFetch(iChannel0, ivec2(0), 0); }\n")
    (tmp_path / "tmp").mkdir()
    for home, colour in [("home1", (255, 0, 0)), ("home2", (0, 0, 255))]:
        shader = tmp_path / home / "a" / "b" / "c" / "shader.glsl"
        shader.parent.mkdir(parents=True)
        (tmp_path / home / "assets").mkdir()
        Image.new("RGB", (1, 1), colour).save(tmp_path / home / "assets" / "a.png")
        build = {"event": "build", "clock": 0, "frame": 0, "itime": 0, "files": [{"path": str(shader), "text": text}]}
        (tmp_path / home / "s.jsonl").write_text(json.dumps({"quillomar-session": 2, "shader": "shader.glsl"}) + "\n"
                                                 + json.dumps(build) + "\n")
        done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "--replay", "s.jsonl", "still.png", "--size",
                               "8x8", "--software"], cwd=tmp_path / home, capture_output=True, text=True, timeout=60,
                              env=without_display(TMPDIR=str(tmp_path / "tmp")))
        assert (done.returncode, done.stderr) == (0, "")
        assert Image.open(tmp_path / home / "still.png").convert("RGB").getpixel((0, 0)) == colour, home
        assert list((tmp_path / "tmp").iterdir()) == [], "nothing left outside the replay's own folder"


def test_a_replay_builds_the_included_texts_the_session_holds_not_the_files_as_they_are_now(prefix, tmp_path):
    red = "void mainImage(out vec4 c, in vec2 f) { c = vec4(1.0, 0.0, 0.0, 1.0); }\n"
    lib = tmp_path / "lib" / "lib.glsl"
    made = tmp_path / "made" / "shader"
    for name, files in [
            # A folder's pass, as live's session has it: a text that includes the user's file by its path.
            ("folder", [(made, '#include "%s"\n' % (tmp_path / "Image.glsl")), (tmp_path / "Image.glsl", red)]),
            # A file found in a -I folder.
            ("include", [(tmp_path / "s.glsl", '#include "lib.glsl"\nvoid mainImage(out vec4 c, in vec2 f) '
                          "{ c = colour(); }\n"), (lib, "vec4 colour() { return vec4(1.0, 0.0, 0.0, 1.0); }\n")])]:
        lib.parent.mkdir(exist_ok=True)
        lib.write_text("vec4 colour() { return vec4(0.0, 1.0, 0.0, 1.0); }\n")  # as they are now: green
        (tmp_path / "Image.glsl").write_text(red.replace("1.0, 0.0, 0.0", "0.0, 1.0, 0.0"))
        build = {"event": "build", "clock": 0, "frame": 0, "itime": 0,
                 "files": [{"path": str(path), "text": text} for path, text in files]}
        (tmp_path / "s.jsonl").write_text(json.dumps({"quillomar-session": 2, "shader": "shader.glsl"}) + "\n" +
                                          json.dumps(build) + "\n")
        done = still(prefix, tmp_path, "--replay", "s.jsonl", "still.png")
        assert (done.returncode, done.stderr) == (0, ""), name
        assert Image.open(tmp_path / "still.png").convert("RGB").getpixel((0, 0)) == (255, 0, 0), name


def session_of(folder, *events, name="session.jsonl"):
    (folder / name).write_text("\n".join([json.dumps({"quillomar-session": 2, "shader": "shader.glsl"})] + [
        json.dumps(dict({"frame": n, "itime": e["clock"]}, **e)) for n, e in enumerate(events)]) + "\n")


def test_a_replay_takes_only_the_sessions_texts_and_says_its_faults_in_the_sessions_words(prefix, tmp_path):
    shader = str(tmp_path / "gone" / "shader.glsl")
    text = ("#iUniform float speed = 1.0 in {0.0, 5.0}\nvoid mainImage(out vec4 c, in vec2 f) "
            "{ c = vec4(speed / 5.0, 0.0, 0.0, 1.0); }\n")
    (tmp_path / "other.glsl").write_text("void mainImage(out vec4 c, in vec2 f) { c = vec4(0.0, 1.0, 0.0, 1.0); }\n")
    build = {"event": "build", "clock": 0, "files": [{"path": shader, "text": text}]}
    # A name no text declares, whatever it holds, sets nothing and puts nothing else into the replay.
    session_of(tmp_path, build, *[{"event": "uniform", "clock": 0.1, "name": name, "value": [2.0]} for name in [
        "speed\nbuild\t0.0\t%s" % (tmp_path / "other.glsl"), "speed\tjunk", "speed\0"]],
        {"event": "uniform", "clock": 0.2, "name": "speed", "value": [4.0]})
    done = still(prefix, tmp_path, "--replay", "session.jsonl", "still.png", "--from", "0.3")
    assert done.returncode == 0, done.stderr
    assert done.stderr == "".join("quillomar-record: session.jsonl:%d: no text of the session declares an #iUniform "
                                  "%s: the event is left out\n" % (n, name) for n, name in [
                                      (3, repr("speed\nbuild\t0.0\t%s" % (tmp_path / "other.glsl"))),
                                      (4, repr("speed\tjunk")), (5, repr("speed\0"))])
    assert Image.open(tmp_path / "still.png").convert("RGB").getpixel((3, 3)) == (204, 0, 0)
    # An include of a file the session does not hold reads nothing from the disk, however it is written.
    for name in ['"%s"' % (tmp_path / "other.glsl"), '"../other.glsl"', "<../other.glsl>"]:
        session_of(tmp_path, dict(build, files=[{"path": shader, "text": "#\v include %s\n%s" % (name, text)}]))
        done = still(prefix, tmp_path, "--replay", "session.jsonl", "still.png")
        assert done.returncode == 1 and done.stderr.startswith(
            "quillomar-record: session.jsonl:2: %s did not build:\n%s:1:1: error: (preprocessor) #error cannot "
            "include %s: the session does not hold it\n" % (shader, shader, name)), done.stderr
    # What does not build or cannot be read, named as the session has it, at its line.
    wrong = {"event": "build", "clock": 0.1, "files": [{"path": shader, "text": text.replace("speed / 5.0", "nope")}]}
    session_of(tmp_path, build, wrong)
    done = still(prefix, tmp_path, "--replay", "session.jsonl", "still.png", "--from", "0.2")
    assert done.returncode == 1 and done.stderr.startswith(
        "quillomar-record: session.jsonl:3: %s did not build:\n%s:2:" % (shader, shader)), done.stderr
    pictured = {"event": "build", "clock": 0, "files": [{"path": shader, "text": '#iChannel0 "file://a.png"\n' + text}]}
    session_of(tmp_path, pictured)
    done = still(prefix, tmp_path, "--replay", "session.jsonl", "still.png")
    assert (done.returncode, done.stderr) == (1, "quillomar-record: session.jsonl:2: cannot read the image for "
                                                 "iChannel0, %s: No such file or directory\n"
                                              % (tmp_path / "gone" / "a.png"))
    session_of(tmp_path, build)
    done = still(prefix, tmp_path, "--replay", "session.jsonl", "sound.wav")
    assert (done.returncode, done.stderr) == (1, "quillomar-record: session.jsonl:2: %s makes no sound: it has no "
                                                 "Sound pass (#iSound) and no sound channel\n" % shader)


def test_a_session_larger_than_a_text_replays_and_the_usage_names_it(prefix, tmp_path):
    text = "void mainImage(out vec4 c, in vec2 f) { c = vec4(iMouse.xy / iResolution.xy, 0.0, 1.0); }\n"
    build = {"event": "build", "clock": 0, "frame": 0, "itime": 0,
             "files": [{"path": str(tmp_path / "gone" / "shader.glsl"), "text": text}]}
    with open(tmp_path / "session.jsonl", "w") as f:
        f.write(json.dumps({"quillomar-session": 2, "shader": "shader.glsl"}) + "\n" + json.dumps(build) + "\n")
        for n in range(1, 200001):  # the pointer moving about, more than 16 MiB of it; last at the middle
            x, y = (32.0, 18.0) if n == 200000 else ((n % 97 + 1) / 3e7, (n % 89 + 1) / 7e7)
            f.write('{"event": "mouse", "frame": %d, "itime": %r, "clock": %r, "mouse": [%r, %r, %r, %r], '
                    '"picture": [64, 36]}\n' % (n, n / 7e5, n / 7e5, x, y, x, y))
    assert (tmp_path / "session.jsonl").stat().st_size > 24 << 20
    done = still(prefix, tmp_path, "--replay", "session.jsonl", "still.png", "--from", "0.3")
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    assert Image.open(tmp_path / "still.png").convert("RGB").getpixel((3, 3))[:2] == (128, 128)
    done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "--replay"], capture_output=True, text=True)
    assert (done.returncode, done.stderr) == (2, "quillomar-record: the following arguments are required: SESSION, "
                                                 "OUTPUT (see --help)\n")


@pytest.mark.fast
def test_live_writes_a_session_only_where_no_other_file_is(prefix, tmp_path):
    files = {"shader.glsl": b'#include "common.glsl"\n#iChannel0 "file://dot.png"\nvoid mainImage(out vec4 c, in vec2 f)'
                            b' { c = texture(iChannel0, f) * speed; }\n',
             "common.glsl": COMMON, "notes.txt": b"not a session\n", "test.glsl": FIRST}
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    Image.new("RGB", (1, 1), (0, 0, 191)).save(tmp_path / "dot.png")
    files["dot.png"] = (tmp_path / "dot.png").read_bytes()
    own = "that is a file of the shader; a session is written to a file of its own"
    for args, said in [(["--session", "notes.txt"], "notes.txt: not a Quillomar session, so it is left as it is"),
                       (["--session", "shader.glsl"], "shader.glsl: not a Quillomar session, so it is left as it is"),
                       (["shader.glsl", "--session", "shader.glsl"], "shader.glsl: " + own),
                       (["shader.glsl", "--session", "common.glsl"], "common.glsl: " + own),
                       (["shader.glsl", "--session", "dot.png"], "dot.png: " + own),
                       (["made.glsl", "--session", "made.glsl"], "made.glsl: that is the shader's own file; a "
                                                                  "session is written to a file of its own")]:
        done = subprocess.run([str(prefix / "bin" / "quillomar-live"), *args], cwd=tmp_path, capture_output=True,
                              text=True, timeout=60, env=dict(without_display(), DISPLAY=":99"))
        assert (done.returncode, done.stdout, done.stderr) == (1, "", "quillomar-live: --session %s\n" % said), args
        assert {name: (tmp_path / name).read_bytes() for name in files} == files, args
        assert not (tmp_path / "made.glsl").exists()
    # A NUL in a name (as a program hands the command its arguments) is one message, as is one in a session's.
    for module, args in [("live", ["shader.glsl", "--session", "a\0b"]), ("record", ["--replay", "a\0b", "o.png"])]:
        done = subprocess.run(["/usr/bin/python3", "-c", "import sys; sys.path.insert(0, %r); from quillomar.%s "
                               "import main; sys.exit(main(%r))" % (str(BUILD / "python"), module, args)],
                              cwd=tmp_path, capture_output=True, text=True, timeout=60,
                              env=dict(without_display(), DISPLAY=":99"))
        assert (done.returncode, done.stderr) == (1, "quillomar-%s: %s'a\\x00b': a file's name has no NUL in it\n" % (
            module, "--session " if module == "live" else "")), done.stderr


@pytest.mark.root
def test_a_full_disk_ends_the_session_not_the_window(prefix, xserver, tmp_path):
    small = tmp_path / "small"
    small.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(small)], check=True)
    try:
        # A text larger than the file system takes: the session stops at its build.
        red = b"// %s\nvoid mainImage(out vec4 c, in vec2 f) { c = vec4(1.0, 0.0, 0.0, 1.0); }\n" % (b"x" * 100000)
        (tmp_path / "shader.glsl").write_bytes(red)
        live = start_live(prefix, xserver, tmp_path, "shader.glsl", "--session", str(small / "session.jsonl"))
        x = open_display(xserver)
        try:
            window = find_titled_window(x, "shader.glsl ")
            until(lambda: grab(window, (5, 5, 1, 1)).getpixel((0, 0))[:3] == (255, 0, 0) or
                  grab(window, (5, 5, 1, 1)).getpixel((0, 0)), "the text shown")
            (tmp_path / "shader.glsl").write_bytes(red.replace(b"1.0, 0.0, 0.0", b"0.0, 1.0, 0.0"))
            until(lambda: grab(window, (5, 5, 1, 1)).getpixel((0, 0))[:3] == (0, 255, 0) or
                  grab(window, (5, 5, 1, 1)).getpixel((0, 0)), "the save shown")
        finally:
            out = interrupt(live)
            x.close()
        said = [line for line in out.splitlines() if "session" in line]
        assert len(said) == 1 and said[0].endswith(": the session is no longer written to %s: No space left on "
                                                   "device ────" % (small / "session.jsonl")), out
    finally:
        subprocess.run(["umount", str(small)], check=True)
