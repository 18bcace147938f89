"""Sound: a sound channel shows the spectrum and the waveform of its audio at each frame's moment, as the
site computes them; recordings carry the sound, cut to the clip."""
import math
import struct
import subprocess
import wave

from PIL import Image

from conftest import without_display

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
    assert max(range(512), key=spectrum.__getitem__) == 40 and spectrum[40] > 200, spectrum[:80]
    assert spectrum[200] < spectrum[40] // 2
    assert min(waveform) < 70 and max(waveform) > 185
