"""Sound: a sound channel shows the spectrum and the waveform of its audio at each frame's moment, as the
site computes them; recordings carry the sound, cut to the clip."""
import math
import os
import struct
import subprocess
import wave

import pytest
from PIL import Image
from Xlib import XK

from conftest import interrupt, start_live, until, without_display
from test_live import tap
from xsession import find_titled_window, grab, open_display

pytestmark = pytest.mark.packaging

RATE = 44100
# Shows the sound channel's two rows as they are: a picture of 512 x 2.
ROWS = ('#iChannel0 "file://s.wav"\n'
        "void mainImage(out vec4 c, in vec2 f) { c = vec4(vec3(texelFetch(iChannel0, ivec2(f), 0).r), 1.0); }\n")


def write_wav(path, samples, channels=1):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(b"".join(struct.pack("<h", max(-32767, min(32767, round(v * 32767)))) for v in samples))


def record(prefix, folder, shader, output, *options):
    done = subprocess.run([str(prefix / "bin" / "quillomar-record"), shader, output, *options], cwd=folder,
                          capture_output=True, text=True, timeout=120, env=without_display())
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    return done


def rows_at(prefix, folder, moment):
    record(prefix, folder, "rows.glsl", "rows.png", "--size", "512x2", "--from", repr(moment))
    picture = Image.open(folder / "rows.png").convert("L")
    return [[picture.getpixel((x, y)) for x in range(512)] for y in (1, 0)]  # row 0 is the bottom one


def test_a_tone_peaks_in_its_bin_and_a_click_shows_in_the_waveform_at_its_moment(prefix, tmp_path):
    # Silence with a click at 0.5 s, then from 1 s a tone at the frequency of bin 40 (40 x 44100 / 2048 Hz).
    samples = [0.0] * RATE + [0.5 * math.sin(2 * math.pi * 40 * n / 2048) for n in range(RATE)]
    samples[RATE // 2] = 1.0
    write_wav(tmp_path / "s.wav", samples)
    (tmp_path / "rows.glsl").write_text(ROWS)
    spectrum, waveform = rows_at(prefix, tmp_path, (RATE // 2 + 100) / RATE)
    # The waveform is the 512 samples before the moment: the click 100 before its end.
    assert waveform == [128] * 412 + [255] + [128] * 99
    spectrum, waveform = rows_at(prefix, tmp_path, 0.9)
    assert spectrum == [0] * 512 and waveform == [128] * 512, "silence"
    spectrum, waveform = rows_at(prefix, tmp_path, 1.5)
    # Bin 40's magnitude through Blackman's window is 0.5 x 0.42 / 2, smoothed from silence to a fifth of
    # that: -33.6 dB, which is 242 of 255 between -100 and -30 dB.
    assert max(range(512), key=spectrum.__getitem__) == 40 and spectrum[40] in (241, 242), spectrum[:80]
    assert spectrum[200] < spectrum[40] // 2
    assert min(waveform) < 70 and max(waveform) > 185


SOUND_PASS = """
vec2 mainSound(int samp, float time)
{
    // Left: 441 Hz, a hundred samples a period; right: the sample's number, as a ramp every 1000.
    return vec2(0.5 * sin(6.283185307 * float(samp % 100) / 100.0), float(samp % 1000) / 1000.0 - 0.5);
}
"""


def wav_samples(path):
    with wave.open(str(path)) as w:
        assert (w.getnchannels(), w.getframerate(), w.getsampwidth()) == (2, RATE, 2)
        data = w.readframes(w.getnframes())
    return [v / 32767 for v in struct.unpack("<%dh" % (len(data) // 2), data)]


def test_a_sound_pass_is_made_into_the_samples_of_the_clips_time(prefix, tmp_path):
    (tmp_path / "sound.glsl").write_text(SOUND_PASS)
    (tmp_path / "b.glsl").write_text("void mainImage(out vec4 c, in vec2 f) { c = vec4(1); }\n")
    (tmp_path / "i.glsl").write_text('#iSound "sound.glsl"\n#iChannel0 "file://b.glsl"\n'
                                     "void mainImage(out vec4 c, in vec2 f) { c = texelFetch(iChannel0, ivec2(f), 0); }\n")
    done = record(prefix, tmp_path, "i.glsl", "s.wav", "--seconds", "0.5", "--from", "2")
    assert done.stdout == "s.wav: 0.500 s of sound from 2 s\n"
    got = wav_samples(tmp_path / "s.wav")
    assert len(got) == 2 * RATE // 2
    first = 2 * RATE  # the samples from 2 s on
    for n in (0, 1, 37, 999, 1000, 22049):
        left = 0.5 * math.sin(2 * math.pi * ((first + n) % 100) / 100)
        right = ((first + n) % 1000) / 1000 - 0.5
        assert abs(got[2 * n] - left) < 2e-3 and abs(got[2 * n + 1] - right) < 2e-3, (n, got[2 * n:2 * n + 2])
    # In a clip: its time, with the picture; or left out.
    record(prefix, tmp_path, "i.glsl", "c.mp4", "--seconds", "0.4", "--fps", "10", "--size", "64x36")
    assert streams(tmp_path / "c.mp4") == [("video", 4), ("audio", 0.4)]
    record(prefix, tmp_path, "i.glsl", "c.mp4", "--seconds", "0.4", "--fps", "10", "--size", "64x36", "--no-audio")
    assert streams(tmp_path / "c.mp4") == [("video", 4)]


def streams(path):
    """(kind, frames) of each video stream and (kind, seconds to a tenth) of each audio stream of a clip."""
    done = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries",
                           "stream=codec_type,nb_read_frames:format=duration", "-of", "json", str(path)],
                          capture_output=True, text=True, timeout=60, check=True)
    import json
    found = json.loads(done.stdout)
    length = round(float(found["format"]["duration"]), 1)
    return [(s["codec_type"], int(s["nb_read_frames"]) if s["codec_type"] == "video" else length)
            for s in found["streams"]]


def test_a_sound_channels_audio_goes_into_the_clip_from_its_start(prefix, tmp_path):
    write_wav(tmp_path / "s.wav", [0.25] * RATE * 2)
    (tmp_path / "rows.glsl").write_text(ROWS)
    record(prefix, tmp_path, "rows.glsl", "c.webm", "--seconds", "0.6", "--fps", "10", "--size", "64x36", "--from", "1")
    assert streams(tmp_path / "c.webm") == [("video", 6), ("audio", 0.6)]
    record(prefix, tmp_path, "rows.glsl", "only.wav", "--seconds", "0.5", "--from", "1.75")
    got = wav_samples(tmp_path / "only.wav")
    # A quarter of a second of the sound, then silence to the end.
    assert len(got) == RATE and all(abs(v - 0.25) < 1e-3 for v in got[:RATE // 2 - 200])
    assert all(v == 0 for v in got[RATE // 2 + 200:])
    (tmp_path / "quiet.glsl").write_text("void mainImage(out vec4 c, in vec2 f) { c = vec4(1); }\n")
    done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "quiet.glsl", "x.wav"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=60, env=without_display())
    assert (done.returncode, done.stderr) == (1, "quillomar-record: quiet.glsl makes no sound: it has no Sound pass "
                                                 "(#iSound) and no sound channel\n")


@pytest.fixture
def sound_server(tmp_path_factory):
    """A PulseAudio server of the test's own, whose only sink is a null one named "capture": the
    environment that reaches it."""
    run = tmp_path_factory.mktemp("pulse")
    run.chmod(0o700)
    socket = run / "native"
    server = subprocess.Popen(["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disable-shm=yes",
                               "--use-pid-file=no", "--load=module-null-sink sink_name=capture rate=44100",
                               "--load=module-native-protocol-unix auth-anonymous=1 socket=%s" % socket],
                              env=dict(os.environ, HOME=str(run), XDG_RUNTIME_DIR=str(run)),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    env = {"PULSE_SERVER": "unix:%s" % socket, "PULSE_SINK": "capture"}
    try:
        until(lambda: subprocess.run(["pactl", "info"], env=dict(os.environ, **env), capture_output=True,
                                     timeout=10).returncode == 0, "the sound server")
        yield env
    finally:
        server.terminate()
        server.wait(timeout=10)


class Heard:
    """What the sound server played, captured from its sink's monitor: a sample a tick of the server's own
    clock, whatever the load on the machine. The Sound pass below plays a tone on the left and its time on
    the right, so each sample played says which moment of the sound it is."""

    def __init__(self, path):
        data = path.read_bytes()
        values = struct.unpack("<%df" % (len(data) // 8 * 2), data[:len(data) // 8 * 8])
        self.left, right = values[0::2], values[1::2]
        # Silence is the quiet stream alone.
        self.played = [n for n in range(len(self.left)) if self.left[n] != 0 or right[n] != 0]
        self.at = {n: (right[n] + 0.5) * 10 for n in self.played}

    def ahead(self, n):
        """How far the moment heard at tick n is ahead of the server's clock: the same all along while the
        sound is in step with a clock that runs."""
        return self.at[n] - n / RATE

    def jump_back(self):
        """The first tick at which the moment heard goes back (Home), or None."""
        return next((n for n, m in zip(self.played[1:], self.played) if self.at[n] < self.at[m] - 0.3), None)

    def since_home(self):
        """How many ticks of sound have been played since Home was heard."""
        back = self.jump_back()
        return 0 if back is None else len(self.played) - self.played.index(back)

    def silent_tail(self):
        """How long the capture has been silent, in ticks."""
        return len(self.left) - (self.played[-1] + 1 if self.played else 0)


def test_live_plays_the_sound_pass_in_step_with_itime_and_pauses_with_it(prefix, xserver, sound_server, tmp_path):
    """Judged in the sound server's clock, by what the design promises (each moment heard when iTime is at
    it, within 0.1 s), with waits for what is heard rather than sleeps, so that a busy machine that plays
    late or drops a piece cannot fail it."""
    # Left: a tone of 100 samples a period; right: the time, a tenth of it, from -0.5.
    (tmp_path / "sound.glsl").write_text("vec2 mainSound(int samp, float time) {\n"
                                         "    return vec2(0.5 * sin(6.283185307 * float(samp % 100) / 100.0),"
                                         " time / 10.0 - 0.5);\n}\n")
    (tmp_path / "i.glsl").write_text('#iSound "sound.glsl"\nvoid mainImage(out vec4 c, in vec2 f) { c = vec4(1); }\n')
    # What the sound server plays, all along: with silence played beside, so that the sink never rests,
    # the samples follow the time the server keeps.
    quiet = subprocess.Popen(["pacat", "--raw", "--format=float32le", "--rate=%d" % RATE, "--channels=2"],
                             stdin=open("/dev/zero", "rb"), env=dict(os.environ, **sound_server))
    capture = subprocess.Popen(["parec", "-d", "capture.monitor", "--raw", "--format=float32le", "--rate=%d" % RATE,
                                "--channels=2", "--latency-msec=20"], stdout=open(tmp_path / "heard", "wb"),
                               env=dict(os.environ, **sound_server))
    x = open_display(xserver)
    live = start_live(prefix, xserver, tmp_path, "i.glsl", env=sound_server)

    def heard():
        return Heard(tmp_path / "heard")
    try:
        find_titled_window(x, "i.glsl ")
        until(lambda: len(heard().played) > RATE // 2 or len(heard().played), "half a second of the sound")
        tap(x, XK.XK_Home)
        until(lambda: heard().since_home() > RATE or heard().since_home(), "a second of the sound after Home")
        tap(x, XK.XK_Right, XK.XK_Right, XK.XK_Right)
        back = heard().jump_back()
        start = heard().ahead(back)
        until(lambda: (lambda h: h.ahead(h.played[-1]) - start > 2.5 and
                       sum(1 for n in h.played if h.ahead(n) - start > 2.5) > RATE // 2)(heard()),
              "half a second of the sound 3 s on")
        tap(x, XK.XK_space)
        until(lambda: heard().silent_tail() > RATE // 2 or heard().silent_tail(), "half a second of silence")
    finally:
        capture.terminate()
        capture.wait(timeout=10)
        quiet.terminate()
        quiet.wait(timeout=10)
        out = interrupt(live)
        x.close()
    h = heard()
    # Home: the sound from iTime 0 on, heard at once.
    back = h.jump_back()
    assert h.at[back] < 0.3, h.at[back]
    after = [n for n in h.played if n >= back]
    # The tone is the Sound pass's: a period of 100 samples between the rises through zero of a run.
    rises = [n for n, m in zip(after[1:], after) if n == m + 1 and h.left[m] < 0 <= h.left[n]]
    periods = sorted(n - m for n, m in zip(rises[1:], rises) if n - m < 200)
    assert periods[len(periods) // 2] == 100 and max(h.left[n] for n in after) > 0.45, periods[:20]
    # In step: each moment is heard when iTime is at it, within 0.1 s, before the Right keys and after
    # them (each a second on, a key a frame or three at once), but for a piece that came late now and then.
    offsets = [h.ahead(n) - h.ahead(back) for n in after]
    steps = [min(abs(d - k) for k in range(4)) for d in offsets]
    assert sum(1 for s in steps if s < 0.1) > 0.95 * len(steps), sorted(steps)[-len(steps) // 20:][:10]
    first = next(i for i, d in enumerate(offsets) if d > 0.5)
    assert first > RATE // 2, "the Right keys heard before they were pressed"
    end = sorted(offsets[-RATE // 4:])
    assert abs(end[len(end) // 2] - 3) < 0.1, end[len(end) // 2]
    # Then paused: nothing after the pause but silence.
    assert h.silent_tail() > RATE // 2
    assert "sound.glsl: built in" in out, out


def test_live_hears_what_the_desktop_plays(prefix, xserver, sound_server, tmp_path):
    (tmp_path / "ear.glsl").write_text('#iChannel0 "desktop"\nvoid mainImage(out vec4 c, in vec2 f) {\n'
                                       "    float bin40 = texelFetch(iChannel0, ivec2(40, 0), 0).r;\n"
                                       "    c = bin40 > 0.5 ? vec4(1, 0, 0, 1) : vec4(0, 1, 0, 1);\n}\n")
    tone = struct.pack("<%df" % (RATE * 10), *(0.5 * math.sin(2 * math.pi * 40 * n / 2048) for n in range(RATE * 10)))
    x = open_display(xserver)
    live = start_live(prefix, xserver, tmp_path, "ear.glsl", env=sound_server)
    player = None
    try:
        window = find_titled_window(x, "ear.glsl ")

        def colour():
            return grab(window, (20, 20, 1, 1)).getpixel((0, 0))
        until(lambda: colour() == (0, 255, 0) or colour(), "silence")
        player = subprocess.Popen(["pacat", "--raw", "--format=float32le", "--rate=%d" % RATE, "--channels=1"],
                                  stdin=subprocess.PIPE, env=dict(os.environ, **sound_server))
        player.stdin.write(tone)
        player.stdin.flush()
        until(lambda: colour() == (255, 0, 0) or colour(), "the tone, heard")
        player.kill()
        until(lambda: colour() == (0, 255, 0) or colour(), "silence again")
    finally:
        if player is not None:
            player.kill()
        interrupt(live)
        x.close()
    done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "ear.glsl", "x.png"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=60, env=without_display())
    assert (done.returncode, done.stderr) == (1, "quillomar-record: the sound for iChannel0, @DEFAULT_MONITOR@: a sound "
                                                 "as it is heard is not the same twice: record a file of it and name "
                                                 "the file\n")


def test_a_sound_pass_is_one_whatever_its_common_defines(prefix, tmp_path):
    (tmp_path / "common.glsl").write_text("#define MAIN void mainImage(out vec4 c, in vec2 f)\n")
    (tmp_path / "sound.glsl").write_text('#include "common.glsl"\n' + SOUND_PASS)
    (tmp_path / "i.glsl").write_text('#include "common.glsl"\n#iSound "sound.glsl"\nMAIN { c = vec4(1); }\n')
    record(prefix, tmp_path, "i.glsl", "s.wav", "--seconds", "0.1")
    assert abs(wav_samples(tmp_path / "s.wav")[2 * 25] - 0.5) < 2e-3
