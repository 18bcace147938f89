"""Sound: a sound channel shows the spectrum and the waveform of its audio at each frame's moment, as the
site computes them; recordings carry the sound, cut to the clip."""
import math
import os
import struct
import subprocess
import time
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


def test_live_plays_the_sound_pass_in_step_with_itime_and_pauses_with_it(prefix, xserver, sound_server, tmp_path):
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
    try:
        find_titled_window(x, "i.glsl ")
        time.sleep(2)
        tap(x, XK.XK_Home)
        time.sleep(1)
        tap(x, XK.XK_Right, XK.XK_Right, XK.XK_Right)
        time.sleep(1)
        tap(x, XK.XK_space)
        time.sleep(1)
        capture.terminate()
        capture.wait(timeout=10)
        quiet.terminate()
        quiet.wait(timeout=10)
        data = (tmp_path / "heard").read_bytes()
        heard = struct.unpack("<%df" % (len(data) // 8 * 2), data[:len(data) // 8 * 8])
        left, at = heard[0::2], [(v + 0.5) * 10 for v in heard[1::2]]
        # The samples played (silence is the quiet stream alone), and where the time jumps back (Home).
        played = [n for n in range(len(left)) if left[n] != 0 or heard[2 * n + 1] != 0]
        back = next(n for n, m in zip(played[1:], played) if at[n] < at[m] - 0.3)
        assert at[back] < 0.3, at[back]
        tone = left[back + RATE // 20:back + RATE // 20 + RATE // 2]
        assert abs(sum(1 for a, b in zip(tone, tone[1:]) if a < 0 <= b) - 220.5) < 6 and max(tone) > 0.45
        # Right three times (a key a frame, or three at once): 3 s on from where it was, within a fifth of a
        # second.
        before = next(m for n, m in zip(played[1:], played) if n > back and at[n] > at[m] + 0.5)
        later = before + RATE // 5
        assert abs(at[later] - at[before] - 3 - 0.2) < 0.15, (at[before], at[later])
        # Then paused: silence to the end.
        assert len(left) - played[-1] > RATE // 2 and played[-1] > later + RATE // 2
    finally:
        out = interrupt(live)
        x.close()
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
