"""The preloaded pieces' logic on its own, with no X server and no GL context: build/units (harness/units.c)
hands each piece its input as the libraries do and prints what it made of it, and each test holds that
against what is worked out here from the rule the piece keeps (docs/internals.md)."""
import cmath
import math
import os
import struct
import subprocess
import time

import pytest

from conftest import BUILD

pytestmark = pytest.mark.fast

UNITS = BUILD / "units"


def units(*args, stdin=b"", env=None, timeout=10):
    return subprocess.run([str(UNITS), *map(str, args)], input=stdin, capture_output=True, env=env,
                          timeout=timeout)


def failed(done, message):
    """done ended as a library ends on what it cannot go on after: one message, status 70."""
    assert (done.returncode, done.stdout, done.stderr) == (70, b"", b"units: " + message + b"\n")


# The plan.

def test_the_plan_is_read_as_its_command_writes_it(tmp_path):
    odd = "/media/a\tb\\c\nd.rgba"  # a tab, a backslash and a line break in a name
    escaped = odd.replace("\\", "\\\\").replace("\n", "\\n").replace("\t", "\\t")
    lines = [
        ("texture", "image", "4x2", escaped),
        ("texture", "sound", "512x2", "/media/s.f32", "44100"),
        ("texture", "video", "8x8x30", "/media/v.rgba", "29.97"),
        ("sound", "/shader/sound.glsl"),
        ("pass", "buffer", "/shader/a.glsl"),
        ("channel", "0", "texture", "1", "nearest", "clamp"),
        ("channel", "3", "pass", "1", "mipmap", "repeat"),
        ("pass", "cube", "/shader/cube.glsl"),
        ("channel", "1", "texture", "0", "linear", "mirror"),
        ("pass", "image", "/shader/image.glsl"),
        ("channel", "0", "pass", "0", "linear", "clamp"),
        ("channel", "2", "self", "0", "nearest", "repeat"),
        ("channel", "3", "texture", "2", "mipmap", "clamp"),
    ]
    plan = tmp_path / "plan"
    plan.write_bytes(b"".join("\t".join(line).encode() + b"\n" for line in lines))
    done = units("plan", plan)
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode() == "\n".join([
        "texture 0 image 4x2 %s 0" % odd,
        "texture 1 sound 512x2 /media/s.f32 44100",
        "texture 2 video 8x8x30 /media/v.rgba 29.97",
        "sound /shader/sound.glsl",
        "pass 0 buffer /shader/a.glsl",
        "channel 0 0 texture 1 nearest clamp",
        "channel 0 3 pass 1 mipmap repeat",
        "pass 1 cube /shader/cube.glsl mipmapped",  # a channel reads it through mipmaps
        "channel 1 1 texture 0 linear mirror",
        "pass 2 image /shader/image.glsl",
        "channel 2 0 pass 0 linear clamp",
        "channel 2 2 self 0 nearest repeat",
        "channel 2 3 texture 2 mipmap clamp",
    ]) + "\n"


@pytest.mark.parametrize("text, message", [
    ("", "has no Image pass last"),
    ("pass\tbuffer\t/a\n", "has no Image pass last"),
    ("pass\timage\t/i\npass\tbuffer\t/a\n", ", line 2, is not one the command writes"),
    ("channel\t0\ttexture\t0\tlinear\tclamp\npass\timage\t/i\n", ", line 1, is not one the command writes"),
    ("pass\timage\t/i\nchannel\t4\tself\t0\tlinear\tclamp\n", ", line 2, is not one the command writes"),
    ("pass\timage\t/i\nchannel\t0\tself\t0\tblurry\tclamp\n", ", line 2, is not one the command writes"),
    ("pass\timage\t/i\nchannel\t0\tself\t0\tlinear\tbounce\n", ", line 2, is not one the command writes"),
    ("pass\tfloating\t/i\n", ", line 1, is not one the command writes"),
    ("pass\timage\t/i\\q\n", ", line 1, is not one the command writes"),
    ("pass\timage\t/i\n\n", ", line 2, is not one the command writes"),
    ("pass\timage\t/i\nchannel\t0\ttexture\t0\tlinear\tclamp\n", ", line 2: no such texture or pass"),
    ("pass\timage\t/i\nchannel\t1\tpass\t0\tlinear\tclamp\n", ": pass 0's channel 1 reads pass 0, which is no buffer"),
    ("pass\tbuffer\t/a\nchannel\t0\tpass\t2\tlinear\tclamp\npass\timage\t/i\n",
     ": pass 0's channel 0 reads pass 2, which is no buffer"),
])
def test_a_plan_the_command_does_not_write_is_one_message(tmp_path, text, message):
    plan = tmp_path / "plan"
    plan.write_text(text)
    sep = b"" if message.startswith((",", ":")) else b" "
    failed(units("plan", plan), b"the plan " + bytes(plan) + sep + message.encode())


def test_a_plan_that_is_no_regular_file_is_refused_at_once(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    started = time.monotonic()
    failed(units("plan", fifo, timeout=5), b"the plan %s: it is not a regular file" % bytes(fifo))
    assert time.monotonic() - started < 3
    failed(units("plan", tmp_path), b"the plan %s: it is a directory" % bytes(tmp_path))
    failed(units("plan", tmp_path / "none"), b"the plan %s: No such file or directory" % bytes(tmp_path / "none"))


# Settings.

NAMES = ["UNITS_INT", "UNITS_NUMBER", "UNITS_SIZE", "UNITS_POINT", "UNITS_TEXT", "UNITS_BOUNDED"]


def settings(values, *args):
    env = {k: v for k, v in os.environ.items() if k not in NAMES}
    env.update(values)
    return units("settings", *args, env=env)


def test_each_kind_of_setting_is_read_and_taken_out_of_the_environment():
    done = settings({"UNITS_INT": "2147483647", "UNITS_NUMBER": "-1.25e3", "UNITS_SIZE": "640x1",
                     "UNITS_POINT": "0.5,-7", "UNITS_TEXT": "a b\tc\\d"})
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout == b"int 2147483647\nnumber -1250\nsize 640 1\npoint 0.5 -7\ntext a b\tc\\d\n"
    # None is required unless the table says so; a value may be empty text.
    assert settings({"UNITS_INT": "0", "UNITS_TEXT": ""}).stdout == b"int 0\ntext \n"
    assert settings({}).stdout == b""


@pytest.mark.parametrize("name, value", [
    ("UNITS_INT", "-1"), ("UNITS_INT", "+1"), ("UNITS_INT", " 1"), ("UNITS_INT", "1.0"), ("UNITS_INT", ""),
    ("UNITS_INT", "2147483648"), ("UNITS_INT", "7x"),
    ("UNITS_NUMBER", "inf"), ("UNITS_NUMBER", "nan"), ("UNITS_NUMBER", "1,5"), ("UNITS_NUMBER", ""),
    ("UNITS_SIZE", "0x10"), ("UNITS_SIZE", "10x0"), ("UNITS_SIZE", "10"), ("UNITS_SIZE", "10x"),
    ("UNITS_SIZE", "x10"), ("UNITS_SIZE", "1x2x3"), ("UNITS_SIZE", "-1x2"),
    ("UNITS_POINT", "1"), ("UNITS_POINT", "1,"), ("UNITS_POINT", ",1"), ("UNITS_POINT", "1,2,3"),
    ("UNITS_POINT", "1,inf"),
])
def test_a_setting_not_of_its_kind_is_one_message(name, value):
    failed(settings({name: value}), b"%s=%s is not a value the library takes" % (name.encode(), value.encode()))


def test_a_setting_outside_its_rows_bounds_is_one_message_and_its_bounds_are_taken():
    # UNITS_BOUNDED's row: 1 to 64.
    for value in ("0", "65", "1000"):
        failed(settings({"UNITS_BOUNDED": value}),
               b"UNITS_BOUNDED=%s is outside the bounds the library takes" % value.encode())
    for value in ("1", "64"):
        assert settings({"UNITS_BOUNDED": value}).stdout == b"bounded %s\n" % value.encode()


def test_a_required_setting_missing_is_one_message():
    failed(settings({"UNITS_TEXT": "x"}, "required"),
           b"UNITS_INT is not set: the library is meant to be started by its command")
    assert settings({"UNITS_INT": "3"}, "required").stdout == b"int 3\n"


# A sound channel's analysis.

RATE = 44100
N = 2048  # the analyser's window
WIDTH = 512


def as_float32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def byte(v):
    return 0 if v <= 0 else 255 if v >= 255 else math.floor(v)


def expected_bins(samples, ends, bins):
    """Each bin's byte at each end, by the analyser's rule worked out directly: the N samples before end
    under a Blackman window, |DFT| / N, smoothed with the value before by 0.8, -100 dB to -30 dB as 0 to
    255."""
    window = [0.42 - 0.5 * math.cos(2 * math.pi * i / N) + 0.08 * math.cos(4 * math.pi * i / N) for i in range(N)]
    smoothed = {k: 0.0 for k in bins}
    out = []
    for end in ends:
        part = [(samples[n] if 0 <= n < len(samples) else 0.0) * window[i] for i, n in enumerate(range(end - N, end))]
        row = {}
        for k in bins:
            magnitude = abs(sum(x * cmath.exp(-2j * math.pi * k * i / N) for i, x in enumerate(part))) / N
            smoothed[k] = 0.8 * smoothed[k] + 0.2 * magnitude
            db = 20 * math.log10(smoothed[k]) if smoothed[k] > 1e-12 else -1000
            row[k] = byte(255 * (db + 100) / 70)
        out.append(row)
    return out


def analyse(samples, ends):
    done = units("analysis", RATE, *(repr(end / RATE) for end in ends),
                 stdin=struct.pack("<%df" % len(samples), *samples))
    assert done.returncode == 0, done.stderr
    lines = done.stdout.decode().splitlines()
    assert len(lines) == 2 * len(ends)
    return [[int(v) for v in line.split()[1:]] for line in lines[0::2]], \
        [[int(v) for v in line.split()[1:]] for line in lines[1::2]]


def test_a_pure_tone_peaks_in_its_bin_smoothed_from_one_moment_to_the_next():
    k0, start = 40, 3 * N  # a tone of exactly bin 40's frequency (861 Hz), from sample 6144 on
    samples = [as_float32(0.02 * math.sin(2 * math.pi * k0 * n / N)) if n >= start else 0.0
               for n in range(6 * N)]
    ends = [start, start + N, start + 2 * N, start + 3 * N]
    spectra, _ = analyse(samples, ends)
    bins = [0, 1, k0 - 3, k0 - 2, k0 - 1, k0, k0 + 1, k0 + 2, k0 + 3, 200, WIDTH - 1]
    wanted = expected_bins(samples, ends, bins)
    assert spectra[0] == [0] * WIDTH  # silence before the tone
    for spectrum, row in zip(spectra[1:], wanted[1:]):
        assert max(range(WIDTH), key=spectrum.__getitem__) == k0
        for k in bins:
            assert abs(spectrum[k] - row[k]) <= 1, (k, spectrum[k], row[k])
        # Outside the window's main lobe the tone leaves nothing.
        assert all(v == 0 for k, v in enumerate(spectrum) if abs(k - k0) > 2)
    # The same tone each time, yet it rises as the smoothing lets it in.
    peaks = [spectrum[k0] for spectrum in spectra]
    assert peaks[1] < peaks[2] < peaks[3] and 150 < peaks[3] < 200


def test_the_waveform_is_the_samples_just_before_the_moment():
    ramp = [as_float32(-1.25 + 2.5 * n / (4 * WIDTH)) for n in range(4 * WIDTH)]
    _, waves = analyse(ramp, [WIDTH, 4 * WIDTH, 4 * WIDTH + WIDTH // 2])
    assert waves[0] == [byte(128 * (1 + x)) for x in ramp[:WIDTH]]
    assert waves[1] == [byte(128 * (1 + x)) for x in ramp[3 * WIDTH:]]
    assert waves[0][0] == 0 and waves[1][-1] == 255  # past -1 and 1: the ends
    # Past the end of the audio: silence, half way up.
    assert waves[2] == [byte(128 * (1 + x)) for x in ramp[3 * WIDTH + WIDTH // 2:]] + [128] * (WIDTH // 2)


# The keys.

def test_the_keys_are_down_pressed_toggled_and_released_frame_by_frame():
    steps = [
        # event, whether what shows the keys changes, the keys then (code=rows)
        ("down:65", True, "65=down,pressed,toggled"),
        ("frame", True, "65=down,toggled"),
        ("down:65", False, "65=down,toggled"),  # a key held repeats; nothing new
        ("up:65", True, "65=toggled,released"),
        ("frame", True, "65=toggled"),
        ("frame", False, "65=toggled"),
        ("down:32", True, "32=down,pressed,toggled 65=toggled"),
        ("down:65", True, "32=down,pressed,toggled 65=down,pressed"),  # pressed again: no longer toggled
        ("up:65", True, "32=down,pressed,toggled 65=pressed,released"),  # both within one frame
        ("frame", True, "32=down,toggled"),
        ("down:256", False, "32=down,toggled"),  # no such code
        ("up:-1", False, "32=down,toggled"),
        ("up:32", True, "32=toggled,released"),
        ("down:255", True, "32=toggled,released 255=down,pressed,toggled"),
    ]
    done = units("keys", *(event for event, _, _ in steps))
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode() == "".join(
        "%s%s:%s\n" % (event, " changed" if changed else "", " " + keys if keys else "")
        for event, changed, keys in steps)


# The watcher.

class Watcher:
    """build/units watch, told the files of each key and asked what changed at a time of the test's."""

    def __init__(self):
        self.process = subprocess.Popen([str(UNITS), "watch"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.now = 1000

    def files(self, key, *paths):
        self.process.stdin.write(b"\t".join([b"files", b"%d" % key, *map(bytes, paths)]) + b"\n")
        self.process.stdin.flush()
        return self.process.stdout.readline() == b"watched 1\n"

    def look(self, after_ms=1):
        """What the watcher says after_ms later: a set of "KEY changed" and "KEY gone"."""
        self.now += after_ms
        self.process.stdin.write(b"look\t%d\n" % self.now)
        self.process.stdin.flush()
        said = []
        while (line := self.process.stdout.readline()) != b".\n":
            assert line, self.process.stderr.read()
            said.append(line.decode().strip())
        return said

    def close(self):
        self.process.stdin.close()
        assert self.process.wait(timeout=5) == 0


@pytest.fixture
def watcher():
    w = Watcher()
    yield w
    w.close()


def save(path, text="saved"):
    with open(path, "w") as f:
        f.write(text)


def test_the_watcher_takes_a_save_a_rename_and_a_links_target_at_once(tmp_path, watcher):
    shader, included, elsewhere = tmp_path / "shader.glsl", tmp_path / "lib" / "inc.glsl", tmp_path / "real"
    included.parent.mkdir()
    elsewhere.mkdir()
    save(shader)
    save(included)
    save(elsewhere / "target.glsl")
    link = tmp_path / "linked.glsl"
    link.symlink_to(elsewhere / "target.glsl")
    assert watcher.files(1, shader, included)
    assert watcher.files(2, link)
    assert watcher.look() == []
    save(shader)  # a save in place
    assert watcher.look() == ["1 changed"]
    assert watcher.look() == []
    save(tmp_path / "lib" / ".inc.glsl.new")  # an editor's save: a new file renamed over it
    os.rename(tmp_path / "lib" / ".inc.glsl.new", included)
    assert watcher.look() == ["1 changed"]  # an included file as the shader itself
    save(elsewhere / "target.glsl")  # the link's target saved where it is
    assert watcher.look() == ["2 changed"]
    save(elsewhere / "other.glsl")
    (tmp_path / "new-link").symlink_to(elsewhere / "other.glsl")
    os.rename(tmp_path / "new-link", link)  # the link pointed elsewhere
    assert watcher.look() == ["2 changed"]
    save(elsewhere / "other.glsl")  # its new target watched from then on
    assert watcher.look() == ["2 changed"]
    save(elsewhere / "target.glsl")  # not the old one
    assert watcher.look() == []
    save(tmp_path / "unwatched.glsl")
    assert watcher.look() == []


def test_the_watcher_waits_for_a_write_to_settle_and_a_file_to_stay_away(tmp_path, watcher):
    shader, included = tmp_path / "shader.glsl", tmp_path / "inc.glsl"
    save(shader)
    save(included)
    assert watcher.files(1, shader, included)
    with open(shader, "a") as f:  # written and not yet closed
        f.write("a")
        f.flush()
        assert watcher.look() == []
        assert watcher.look(99) == []
        f.write("b")
        f.flush()
        assert watcher.look(50) == []  # quiet again from here
        assert watcher.look(99) == []
        assert watcher.look(1) == ["1 changed"]  # 100 ms of quiet
    assert watcher.look() == ["1 changed"]  # closed: at once
    shader.unlink()  # gone for a moment, as some editors save
    assert watcher.look() == []
    save(shader)
    assert watcher.look() == ["1 changed"]  # back, and never said gone
    assert watcher.look(300) == []
    shader.unlink()
    assert watcher.look() == []
    assert watcher.look(249) == []
    assert watcher.look(1) == ["1 gone"]  # away for 250 ms
    assert watcher.look(1000) == []  # said once
    included.unlink()
    assert watcher.look() == []
    assert watcher.look(250) == ["1 changed"]  # an included file gone changes its key
    save(shader)
    assert watcher.look() == ["1 changed"]


def test_the_watcher_watches_a_folder_removed_and_made_again(tmp_path, watcher):
    folder = tmp_path / "work"
    folder.mkdir()
    shader = folder / "shader.glsl"
    save(shader)
    assert watcher.files(1, shader)
    assert not watcher.files(2, tmp_path / "none" / "x.glsl")  # a folder that is not there
    shader.unlink()
    folder.rmdir()
    assert watcher.look() == []
    assert watcher.look(300) == ["1 gone"]
    folder.mkdir()
    save(shader)
    assert watcher.look(300) == []  # found, and left to settle
    assert watcher.look(100) == ["1 changed"]
    save(shader)  # watched again: a save is seen at once
    assert watcher.look() == ["1 changed"]


def test_the_watcher_takes_a_folder_given_with_a_slash_as_its_entries(tmp_path, watcher):
    folder = tmp_path / "shader"
    folder.mkdir()
    save(folder / "Image.glsl")
    assert watcher.files(1, bytes(folder) + b"/", folder / "Image.glsl")
    assert watcher.look() == []
    save(folder / "Buffer A.glsl")  # a file made in it
    assert watcher.look() == ["1 changed"]
    assert watcher.look(200) == []
    save(folder / "Buffer A.glsl")  # a save of a file of it that the key does not name: no entry changes
    assert watcher.look(200) == []
    os.rename(folder / "Buffer A.glsl", folder / "Buffer B.glsl")  # renamed
    assert watcher.look() == ["1 changed"]
    (folder / "Buffer B.glsl").unlink()  # taken away
    assert watcher.look() == ["1 changed"]
    save(tmp_path / "beside.glsl")  # in the folder above: none of its entries
    assert watcher.look(200) == []

