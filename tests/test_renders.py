"""Production renders with quillomar-record, installed: a clip recorded in parts through GNU parallel and
joined by quillomar-join is the clip recorded whole, frame for frame, for a shader whose frames stand alone,
for one whose buffer feeds back and for one with a value moved over the clip; a missing, overlapping or foreign part, or one that does not start on a
key frame, is refused in one message. A tiled picture is the whole one byte for byte; a supersampled one is
a larger recording filtered down with Catmull-Rom, its hard edges smoothed, and a picture larger than the GL
or the memory takes is one message first; a motion-blurred frame is the average of its sub-frames; alpha is
kept where asked, as a decoder reads it back, and the output is opaque otherwise."""
import json
import os
import re
import subprocess

import pytest

from conftest import without_display

pytestmark = pytest.mark.packaging

SIZE = (64, 36)
# 12 frames at 10 per second, from iTime 1.
CLIP = ["--size", "%dx%d" % SIZE, "--seconds", "1.2", "--fps", "10", "--from", "1", "--headless"]

# Each frame its own: colours from iTime, fragCoord and iFrame.
STATELESS = {"wave.glsl": """
void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    vec2 uv = fragCoord / iResolution.xy;
    fragColor = vec4(0.5 + 0.5 * sin(iTime * 3.0 + uv.x * 6.0), uv.y, fract(float(iFrame) * 0.1), 1.0);
}
"""}
# A dot that moves with iFrame and leaves a fading trail in a buffer that reads itself: each frame is
# made of all the frames before it.
FEEDBACK = {"trail.glsl": """
#iChannel0 "file://trail-buffer.glsl"
void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    fragColor = texture(iChannel0, fragCoord / iResolution.xy);
}
""", "trail-buffer.glsl": """
#iChannel0 "self"
void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    vec2 dot = vec2(0.5 + 0.4 * sin(float(iFrame) * 0.7), 0.5 + 0.3 * cos(iTime)) * iResolution.xy;
    vec4 before = texture(iChannel0, fragCoord / iResolution.xy);
    fragColor = vec4(max(before.rgb * 0.85, vec3(step(length(fragCoord - dot), 4.0))), 1.0);
}
"""}
# A value tuned over the clip: each part takes it where the whole clip has it.
TUNED = {"tuned.glsl": """
#iUniform float level = 0.0 in {0.0, 1.0}
void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    fragColor = vec4(level, fragCoord.y / iResolution.y, fract(float(iFrame) * 0.1), 1.0);
}
"""}


def write(folder, texts):
    for name, text in texts.items():
        (folder / name).write_text(text)
    return folder / next(iter(texts))


def decoded(path):
    """The frames of the clip at path, decoded to RGB bytes, one after another."""
    return subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                          capture_output=True, check=True, timeout=60).stdout


def frames_of(data):
    size = SIZE[0] * SIZE[1] * 3
    return [data[k:k + size] for k in range(0, len(data), size)]


@pytest.mark.parametrize("texts, unseen, options", [(STATELESS, False, []), (FEEDBACK, True, []),
                                                     (TUNED, False, ["--set", "level=0:1"])],
                         ids=["stateless", "feedback", "tuned over the clip"])
def test_a_clip_recorded_in_parts_through_gnu_parallel_and_joined_is_the_clip_recorded_whole(prefix, tmp_path,
                                                                                             texts, unseen, options):
    shader = write(tmp_path, texts)
    record, join = str(prefix / "bin" / "quillomar-record"), str(prefix / "bin" / "quillomar-join")
    clip = CLIP + options
    whole = subprocess.run([record, str(shader), "whole.mkv", *clip], cwd=tmp_path, env=without_display(),
                           capture_output=True, text=True, timeout=120)
    assert (whole.returncode, whole.stderr) == (0, "")
    # As docs/renders.md shows it: one job a part, the parts named by their ranges.
    ranges = ["0-2", "3-5", "6-8", "9-11"]
    parts = subprocess.run(["parallel", "--will-cite", "-j", "2", "--keep-order", record, str(shader),
                            "part-{}.mkv", *clip, "--frames", "{}", ":::", *ranges], cwd=tmp_path,
                           env=without_display(), capture_output=True, text=True, timeout=300)
    assert (parts.returncode, parts.stderr) == (0, "")
    said = [line for line in parts.stdout.splitlines() if line.startswith("frames ")]
    if unseen:
        assert said == ["frames 0-2 of 12"] + [
            "frames %s of 12; its passes keep state from frame to frame, so the %d frames before it were drawn "
            "first, unseen" % (r, int(r.split("-")[0])) for r in ranges[1:]]
    else:
        assert said == ["frames %s of 12" % r for r in ranges]
    for r in ranges:  # each part holds its own frames alone
        assert len(frames_of(decoded(tmp_path / ("part-%s.mkv" % r)))) == 3
    # In any order, whatever their names hold.
    (tmp_path / "part-0-2.mkv").rename(tmp_path / "part 0-2, it's\nfirst.mkv")
    named = ["part-%s.mkv" % r for r in reversed(ranges[1:])] + ["part 0-2, it's\nfirst.mkv"]
    joined = subprocess.run([join, *named, "joined.mkv"], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert (joined.returncode, joined.stderr) == (0, "")
    assert joined.stdout.startswith("joined.mkv: 12 frames joined from 4 parts in ")
    made, wanted = frames_of(decoded(tmp_path / "joined.mkv")), frames_of(decoded(tmp_path / "whole.mkv"))
    assert len(wanted) == 12 and len(set(wanted)) == 12, "every frame of the clip differs from the others"
    assert [k for k in range(12) if made[k:k + 1] != wanted[k:k + 1]] == [] and len(made) == 12
    codec = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name,r_frame_rate", "-of", "csv=p=0",
                            str(tmp_path / "joined.mkv")], capture_output=True, text=True, check=True).stdout
    assert codec == "ffv1,10/1\n"


def test_the_join_refuses_a_missing_overlapping_or_foreign_part_in_one_message(prefix, tmp_path):
    shader = write(tmp_path, STATELESS)
    record, join = str(prefix / "bin" / "quillomar-record"), str(prefix / "bin" / "quillomar-join")
    for name, span, more in [("a.mkv", "0-5", []), ("b.mkv", "6-11", []), ("c.mkv", "4-8", []),
                             ("d.mkv", "6-9", []), ("other.mkv", "6-11", ["--from", "2"]),
                             ("smooth.mkv", "6-11", ["--supersample", "2"]), ("halved.mkv", "6-11", ["--scale", "2"])]:
        done = subprocess.run([record, str(shader), name, *CLIP, "--frames", span, *more], cwd=tmp_path,
                              env=without_display(), capture_output=True, text=True, timeout=120)
        assert (done.returncode, done.stderr) == (0, "")
    (tmp_path / "plain.mkv").write_bytes((tmp_path / "a.mkv").read_bytes())
    whole = subprocess.run([record, str(shader), "plain.mkv", *CLIP], cwd=tmp_path, env=without_display(),
                           capture_output=True, text=True, timeout=120)
    assert whole.returncode == 0
    # A part as another machine's encoder would have coded it: its tag names that encoder.
    said = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format_tags=quillomar_segment", "-of",
                           "default=nw=1:nk=1", "b.mkv"], cwd=tmp_path, capture_output=True, text=True).stdout
    assert " encoder=ffv1 " in said, said
    subprocess.run(["ffmpeg", "-v", "error", "-i", "b.mkv", "-c", "copy", "-metadata", "quillomar_segment=" +
                    said.strip().replace("encoder=ffv1", "encoder=ffv1_gpu"), "recoded.mkv"], cwd=tmp_path, check=True)
    subprocess.run(["ffmpeg", "-v", "error", "-i", "b.mkv", "-c", "copy", "-metadata", "quillomar_segment=" +
                    said.strip().replace(" encoder=ffv1", ""), "older.mkv"], cwd=tmp_path, check=True)
    before = sorted(os.listdir(tmp_path))
    for parts, message in [
            (["a.mkv"], "frames 6-11 of the clip are in none of the parts"),
            (["b.mkv"], "frames 0-5 of the clip are in none of the parts"),
            (["a.mkv", "d.mkv"], "frames 10-11 of the clip are in none of the parts"),
            (["b.mkv", "c.mkv", "a.mkv"], "frames 4-5 are in two parts: a.mkv and c.mkv"),
            (["a.mkv", "c.mkv", "b.mkv"], "frames 4-5 are in two parts: a.mkv and c.mkv"),
            (["a.mkv", "b.mkv", "b.mkv"], "frames 6-11 are in two parts: b.mkv and b.mkv"),
            (["a.mkv", "other.mkv"], "other.mkv is not a part of the clip a.mkv is a part of (its from differs)"),
            (["a.mkv", "smooth.mkv"], "smooth.mkv is not a part of the clip a.mkv is a part of (its clip differs)"),
            (["a.mkv", "halved.mkv"], "halved.mkv is not a part of the clip a.mkv is a part of (its clip differs)"),
            (["a.mkv", "recoded.mkv"], "recoded.mkv is not a part of the clip a.mkv is a part of (its encoder "
                                       "differs)"),
            (["a.mkv", "plain.mkv"], "plain.mkv is no part of a clip (quillomar-record --frames A-B makes one)"),
            (["a.mkv", "older.mkv"], "older.mkv is a part recorded by another version of quillomar-record: record "
                                     "it again"),
            (["a.mkv", "gone.mkv"], "gone.mkv: no such file")]:
        done = subprocess.run([join, *parts, "out.mkv"], cwd=tmp_path, capture_output=True, text=True, timeout=60)
        assert (done.returncode, done.stdout, done.stderr) == (1, "", "quillomar-join: %s\n" % message), parts
        assert sorted(os.listdir(tmp_path)) == before, "nothing written or left behind"
    done = subprocess.run([join, "a.mkv", "b.mkv", "out.mp4"], cwd=tmp_path, capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stderr) == (1, "quillomar-join: a.mkv is not a .mp4 clip, as OUTPUT is\n")
    # OUTPUT the file of a part, however it is spelled: refused before the part is written over.
    kept = (tmp_path / "a.mkv").read_bytes()
    for output in ("a.mkv", str(tmp_path / "a.mkv")):
        done = subprocess.run([join, "./a.mkv", "b.mkv", output], cwd=tmp_path, capture_output=True, text=True,
                              timeout=60)
        assert (done.returncode, done.stdout, done.stderr) == (
            1, "", "quillomar-join: OUTPUT %s is the part a.mkv: the join would write over it\n" % output)
        assert sorted(os.listdir(tmp_path)) == before and (tmp_path / "a.mkv").read_bytes() == kept


def test_a_part_is_of_another_clip_when_a_file_its_passes_include_changed_and_not_for_how_sets_are_given(
        prefix, tmp_path):
    # A folder's Image pass includes a file, and Common.glsl (which its text takes first) defines a value.
    folder = tmp_path / "folder"
    folder.mkdir()
    write(folder, {"Image.glsl": '#include "lib.glsl"\n#iUniform float a = 0.0\n#iUniform float b = 0.0\n'
                                 "void mainImage(out vec4 c, in vec2 p) { c = vec4(shade() * LEVEL, a, b, 1.0); }\n",
                   "lib.glsl": "float shade() { return 0.5; }\n", "Common.glsl": "#define LEVEL 1.0\n"})
    record, join = str(prefix / "bin" / "quillomar-record"), str(prefix / "bin" / "quillomar-join")
    clip = ["--size", "16x16", "--seconds", "0.2", "--fps", "10", "--headless"]

    def part(name, span, *more):
        done = subprocess.run([record, str(folder), name, *clip, "--frames", span, *more], cwd=tmp_path,
                              env=without_display(), capture_output=True, text=True, timeout=120)
        assert (done.returncode, done.stderr) == (0, "")

    keys = ["--key", "a:0-0.1", "--key", "b:0.1-0.2"]
    part("a.mkv", "0-0", "--set", "a=1", "--set", "b=0.5", *keys)
    # The same values and keys in another order, the values spelt otherwise.
    part("sets.mkv", "1-1", "--set", "b=5e-1", "--set", "a=1.0", *keys[2:], *keys[:2])
    (folder / "lib.glsl").write_text("float shade() { return 0.25; }\n")
    part("included.mkv", "1-1", "--set", "a=1", "--set", "b=0.5", *keys)
    (folder / "lib.glsl").write_text("float shade() { return 0.5; }\n")
    (folder / "Common.glsl").write_text("#define LEVEL 0.5\n")
    part("common.mkv", "1-1", "--set", "a=1", "--set", "b=0.5", *keys)
    for other in ("included.mkv", "common.mkv"):
        done = subprocess.run([join, "a.mkv", other, "out.mkv"], cwd=tmp_path, capture_output=True, text=True,
                              timeout=60)
        assert (done.returncode, done.stdout, done.stderr) == (
            1, "", "quillomar-join: %s is not a part of the clip a.mkv is a part of (its clip differs)\n" % other)
    done = subprocess.run([join, "a.mkv", "sets.mkv", "out.mkv"], cwd=tmp_path, capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stderr) == (0, "")


def test_a_part_drawn_with_any_option_that_changes_the_picture_otherwise_is_of_another_clip(prefix, tmp_path):
    (tmp_path / "s.glsl").write_text("#iUniform float a = 0.0\n"
                                     "void mainImage(out vec4 c, in vec2 p) { c = vec4(p / iResolution.xy, a, 1.0); }\n")
    record, join = str(prefix / "bin" / "quillomar-record"), str(prefix / "bin" / "quillomar-join")
    clip = ["s.glsl", "--size", "16x16", "--seconds", "0.2", "--fps", "10", "--headless"]

    def part(name, span, *more):
        done = subprocess.run([record, *clip[:1], name, *clip[1:], "--frames", span, *more], cwd=tmp_path,
                              env=without_display(), capture_output=True, text=True, timeout=120)
        assert (done.returncode, done.stderr) == (0, ""), more

    part("a.mkv", "0-0")
    part("b.mkv", "1-1", "--tiles", "2")  # tiles draw the picture drawn whole, byte for byte: one clip
    done = subprocess.run([join, "a.mkv", "b.mkv", "out.mkv"], cwd=tmp_path, capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    for n, more in enumerate([["--mouse", "1,2"], ["--supersample", "2"], ["--motion-blur", "2"], ["--scale", "2"],
                              ["--alpha"], ["--set", "a=0.25"], ["--key", "a:0-1"]]):
        part("%d.mkv" % n, "1-1", *more)
        done = subprocess.run([join, "a.mkv", "%d.mkv" % n, "out.mkv"], cwd=tmp_path, capture_output=True,
                              text=True, timeout=60)
        assert (done.returncode, done.stdout, done.stderr) == (
            1, "", "quillomar-join: %d.mkv is not a part of the clip a.mkv is a part of (its clip differs)\n" % n), more


CUBES = """#include "lib.glsl"
#iChannel0 "file://sky_{}.png"
#iChannel0::Type "CubeMap"
#iChannel1 "file://box"
#iChannel1::Type "CubeMap"
void mainImage(out vec4 c, in vec2 f)
{
    c = vec4(texture(iChannel0, vec3(1, 0, 0)).rg, texture(iChannel1, vec3(0, 1, 0)).g, LEVEL);
}
"""


def faces(folder, pattern, colour, names=("px", "nx", "py", "ny", "pz", "nz")):
    from PIL import Image
    for name in names:
        Image.new("RGB", (2, 2), colour).save(folder / pattern.format(name))


def two_parts(prefix, tmp_path, extension):
    """A stateless clip recorded in two parts, a and b, of six frames each; the join command."""
    shader = write(tmp_path, STATELESS)
    for name, span in [("a" + extension, "0-5"), ("b" + extension, "6-11")]:
        done = subprocess.run([str(prefix / "bin" / "quillomar-record"), str(shader), name, *CLIP, "--frames",
                               span], cwd=tmp_path, env=without_display(), capture_output=True, text=True, timeout=120)
        assert (done.returncode, done.stderr) == (0, "")
    return str(prefix / "bin" / "quillomar-join")


@pytest.mark.root  # a full disk is a small tmpfs, which only root mounts
def test_the_join_names_a_part_cut_short_and_says_a_full_disk_in_one_line(prefix, tmp_path):
    join = two_parts(prefix, tmp_path, ".mkv")
    whole = (tmp_path / "b.mkv").read_bytes()
    # Cut in its last frame, in its first, and in its header.
    for cut, message in [(len(whole) - 5, "is cut short or damaged: it does not hold its 6 frames (6-11) whole; "
                                          "record it again"),
                         (len(whole) // 3, "is cut short or damaged: it does not hold its 6 frames (6-11) whole; "
                                           "record it again"),
                         (100, "cannot be read as a clip: it is cut short, or no video")]:
        (tmp_path / "cut.mkv").write_bytes(whole[:cut])
        done = subprocess.run([join, "a.mkv", "cut.mkv", "out.mkv"], cwd=tmp_path, capture_output=True, text=True,
                              timeout=60)
        assert (done.returncode, done.stdout, done.stderr) == (1, "", "quillomar-join: cut.mkv %s\n" % message), cut
    disk = tmp_path / "disk"
    disk.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=200k", "tmpfs", str(disk)], check=True, timeout=60)
    try:
        # Room for less than the clip.
        (disk / "filler").write_bytes(bytes(200 * 1024 - len(whole)))
        done = subprocess.run([join, "a.mkv", "b.mkv", "disk/out.mkv"], cwd=tmp_path, capture_output=True, text=True,
                              timeout=60)
        assert (done.returncode, done.stdout, done.stderr) == (
            1, "", "quillomar-join: cannot write disk/out.mkv: No space left on device\n")
        assert os.listdir(disk) == ["filler"]
    finally:
        subprocess.run(["umount", str(disk)], check=True, timeout=60)


def test_a_part_is_of_the_same_clip_wherever_its_files_lie_and_of_another_when_a_cube_maps_faces_changed(
        prefix, tmp_path):
    record, join = str(prefix / "bin" / "quillomar-record"), str(prefix / "bin" / "quillomar-join")
    clip = ["--size", "8x8", "--seconds", "0.2", "--fps", "10", "--headless"]

    def part(folder, name, span, *more, **env):
        done = subprocess.run([record, *more, name, *clip, "--frames", span], cwd=folder,
                              env=without_display(**env), capture_output=True, text=True, timeout=120)
        assert (done.returncode, done.stderr) == (0, ""), name

    def joined(*parts):
        return subprocess.run([join, *parts, str(tmp_path / "out.mkv")], cwd=tmp_path, capture_output=True,
                              text=True, timeout=60)

    # A cube map named by a pattern and one given as a folder; a file included from a folder given by -I.
    here, there = tmp_path / "here", tmp_path / "there"
    for folder in (here, there):
        (folder / "box").mkdir(parents=True)
        (folder / "inc").mkdir()
        write(folder, {"i.glsl": CUBES})
        write(folder / "inc", {"lib.glsl": "#define LEVEL 1.0\n"})
        faces(folder, "sky_{}.png", (255, 0, 0))
        faces(folder / "box", "{}.png", (255, 0, 0))
    part(here, "../a.mkv", "0-0", "i.glsl", "-I", "inc")
    part(there, "../b.mkv", "1-1", str(there / "i.glsl"), "-I", str(there / "inc"))
    done = joined("a.mkv", "b.mkv")
    assert (done.returncode, done.stderr) == (0, "")
    for pattern, folder in (("sky_{}.png", there), ("{}.png", there / "box")):
        faces(folder, pattern, (0, 255, 0))
        part(there, "../changed.mkv", "1-1", "i.glsl", "-I", "inc")
        faces(folder, pattern, (255, 0, 0))
        done = joined("a.mkv", "changed.mkv")
        assert (done.returncode, done.stdout, done.stderr) == (1, "", "quillomar-join: changed.mkv is not a part of "
                                                               "the clip a.mkv is a part of (its clip differs)\n")
    # A JSON's media found in another folder, with another cache, as on another machine.
    data = {"ver": "0.1", "info": {"id": "t", "name": "t"}, "renderpass": [
        {"inputs": [{"id": "1", "filepath": "/media/a/bark.png", "type": "texture", "channel": 0,
                     "sampler": {"filter": "nearest", "wrap": "clamp", "vflip": "true"}}],
         "outputs": [{"id": "o", "channel": 0}], "name": "Image", "type": "image",
         "code": "void mainImage(out vec4 c, in vec2 p) { c = texture(iChannel0, p / iResolution.xy); }\n"}]}
    (tmp_path / "shader.json").write_text(json.dumps(data))
    for folder in (here, there):
        faces(folder, "bark{}.png", (0, 0, 255), [""])
    part(tmp_path, "j0.mkv", "0-0", "shader.json", "--media", "here", XDG_CACHE_HOME=str(here / "cache"))
    part(tmp_path, "j1.mkv", "1-1", "shader.json", "--media", str(there), XDG_CACHE_HOME=str(there / "cache"))
    done = joined("j0.mkv", "j1.mkv")
    assert (done.returncode, done.stderr) == (0, "")
    faces(there, "bark{}.png", (0, 0, 128), [""])
    part(tmp_path, "j1.mkv", "1-1", "shader.json", "--media", str(there), XDG_CACHE_HOME=str(there / "cache"))
    done = joined("j0.mkv", "j1.mkv")
    assert (done.returncode, done.stdout, done.stderr) == (
        1, "", "quillomar-join: j1.mkv is not a part of the clip j0.mkv is a part of (its clip differs)\n")


def test_a_part_of_a_shader_with_sound_says_its_sound_is_left_out_and_the_join_says_what_it_takes(prefix,
                                                                                                tmp_path):
    write(tmp_path, {"i.glsl": '#iSound "sound.glsl"\nvoid mainImage(out vec4 c, in vec2 f) { c = vec4(1); }\n',
                     "sound.glsl": "vec2 mainSound(int samp, float time) { return vec2(sin(time * 600.0)); }\n"})
    record, join = str(prefix / "bin" / "quillomar-record"), str(prefix / "bin" / "quillomar-join")
    for output, more, said in [
            ("part.mp4", [], "frames 0-0 of 2; its sound is not in parts: record the sound whole with OUTPUT.wav"),
            ("quiet.mp4", ["--no-audio"], "frames 0-0 of 2"),
            ("part.mkv", [], "frames 0-0 of 2; its sound is not in parts: record the sound whole with OUTPUT.wav")]:
        done = subprocess.run([record, "i.glsl", output, "--size", "16x16", "--seconds", "0.2", "--fps", "10",
                               "--headless", "--frames", "0-0", *more], cwd=tmp_path, env=without_display(),
                              capture_output=True, text=True, timeout=120)
        assert (done.returncode, done.stderr, done.stdout.splitlines()[-1]) == (0, "", said), output
    done = subprocess.run([join, "--help"], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, COLUMNS="200"))
    helped = " ".join(done.stdout.split())
    assert done.returncode == 0
    assert ("PART a part of one clip (quillomar-record --frames A-B), in any order; all of them together hold each "
            "of the clip's frames once OUTPUT the clip joined: .mkv, .mp4 or .webm, as the parts are") in helped


# A #version shader's varying and a mainImage shader's fragCoord, each with detail in every pixel, so that a
# tile out of place, cut short or drawn twice shows.
VARYING = """#version 330 core
in vec2 coord;
out vec4 FragColor;
uniform float iTime;
void main()
{
    FragColor = vec4(fract(coord * 9.7 + iTime), fract((coord.x + 1.0) * (coord.y + 1.0) * 31.0), 1.0);
}
"""


@pytest.mark.parametrize("texts, output, options", [
    ({"varying.glsl": VARYING}, "still.png", ["--size", "67x37", "--from", "1.5"]),
    (STATELESS, "still.png", ["--size", "67x37", "--from", "1.5"]),
    # The buffer passes drawn whole, each frame, and the Image pass in tiles after them.
    (FEEDBACK, "clip.mkv", CLIP[:-1] + ["--seconds", "0.5"])], ids=["varying", "fragcoord", "feedback clip"])
def test_a_picture_drawn_in_tiles_is_the_picture_drawn_whole_byte_for_byte(prefix, tmp_path, texts, output, options):
    shader = write(tmp_path, texts)
    record = str(prefix / "bin" / "quillomar-record")
    made = {}
    for tiles in ("1", "3", "8"):
        name = "%s-%s" % (tiles, output)
        done = subprocess.run([record, str(shader), name, *options, "--headless", "--tiles", tiles], cwd=tmp_path,
                              env=without_display(), capture_output=True, text=True, timeout=120)
        assert (done.returncode, done.stderr) == (0, "")
        drawn = [line for line in done.stdout.splitlines() if "tiles" in line]
        assert drawn == ([] if tiles == "1" else ["the Image pass drawn in %d tiles a frame" % int(tiles) ** 2])
        made[tiles] = decoded(tmp_path / name)
    assert len(made["1"]) in (67 * 37 * 3, 5 * SIZE[0] * SIZE[1] * 3)
    assert made["3"] == made["1"] and made["8"] == made["1"]


@pytest.mark.fast
def test_tiles_are_at_most_the_pictures_smaller_side_and_64(prefix, tmp_path):
    shader = write(tmp_path, STATELESS)
    for tiles, size, more, picture in [("0", "64x36", [], "64x36"), ("37", "64x36", [], "64x36"),
                                       ("65", "640x360", [], "640x360"),
                                       # The picture drawn: 1/3 of 10x10, rounded up.
                                       ("5", "10x10", ["--scale", "1/3"], "4x4 (10x10 at --scale 1/3)")]:
        done = subprocess.run([str(prefix / "bin" / "quillomar-record"), str(shader), "x.png", "--size", size,
                               "--tiles", tiles, *more], cwd=tmp_path, capture_output=True, text=True, timeout=60)
        limit = min(64, *map(int, picture.split(" ")[0].split("x")))
        assert (done.returncode, done.stderr) == (2, "quillomar-record: argument --tiles: 1 to %d for a picture of %s "
                                                     "(see --help)\n" % (limit, picture))


def test_tiles_mean_nothing_for_a_sound_alone(prefix, tmp_path):
    # A .wav draws no picture of --size: its tiles are only held to 1 to 64.
    write(tmp_path, {"i.glsl": '#iSound "sound.glsl"\nvoid mainImage(out vec4 c, in vec2 f) { c = vec4(1); }\n',
                     "sound.glsl": "vec2 mainSound(int samp, float time) { return vec2(sin(time * 600.0)); }\n"})
    record = str(prefix / "bin" / "quillomar-record")
    for size in ([], ["--size", "8x8"]):
        (tmp_path / "o.wav").unlink(missing_ok=True)
        done = subprocess.run([record, "i.glsl", "o.wav", "--seconds", "0.2", "--headless", "--tiles", "20", *size],
                              cwd=tmp_path, env=without_display(), capture_output=True, text=True, timeout=120)
        assert (done.returncode, done.stdout, done.stderr) == (0, "o.wav: 0.200 s of sound from 0 s\n", ""), size
        assert (tmp_path / "o.wav").stat().st_size > 44
    done = subprocess.run([record, "i.glsl", "o.wav", "--tiles", "65"], cwd=tmp_path, capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stderr) == (2, "quillomar-record: argument --tiles: 1 to 64 (see --help)\n")


# Hard edges: a disc that moves with iTime and one held at iMouse, in pixels of the picture drawn.
EDGES = {"edges.glsl": """
void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    vec2 uv = (2.0 * fragCoord - iResolution.xy) / iResolution.y;
    float disc = step(length(uv - vec2(0.4 * sin(iTime), 0.1)), 0.5);
    float held = step(length(fragCoord - iMouse.xy), 0.15 * iResolution.y);
    fragColor = vec4(held, disc, step(0.3, fract(uv.x * 2.0)), 1.0);
}
"""}
# Catmull-Rom, widened by the factor as it shrinks, exactly rounded: what --supersample filters down with.
CATMULL_ROM = "flags=bicubic+accurate_rnd+full_chroma_int:param0=0:param1=0.5"


@pytest.mark.parametrize("texts, mouse", [(EDGES, (20.0, 12.0)), (FEEDBACK, None)], ids=["edges", "feedback"])
def test_supersampling_smooths_hard_edges_as_a_larger_recording_filtered_down_would(prefix, tmp_path, texts, mouse):
    shader = write(tmp_path, texts)
    record = str(prefix / "bin" / "quillomar-record")
    clip = ["--seconds", "0.3", "--fps", "10", "--from", "0.5", "--headless"]

    def made(name, size, k, at):
        done = subprocess.run([record, str(shader), name, "--size", "%dx%d" % size, "--supersample", str(k), *clip,
                               *(["--mouse", "%g,%g" % at] if at else [])], cwd=tmp_path, env=without_display(),
                              capture_output=True, text=True, timeout=120)
        assert (done.returncode, done.stderr) == (0, "")
    made("plain.mkv", SIZE, 1, mouse)
    made("twice.mkv", SIZE, 2, mouse)
    made("large.mkv", (SIZE[0] * 2, SIZE[1] * 2), 1, mouse and (mouse[0] * 2, mouse[1] * 2))
    plain, twice = decoded(tmp_path / "plain.mkv"), decoded(tmp_path / "twice.mkv")
    large = subprocess.run(["ffmpeg", "-v", "error", "-i", str(tmp_path / "large.mkv"), "-vf",
                            "scale=%d:%d:%s" % (*SIZE, CATMULL_ROM), "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                           capture_output=True, check=True, timeout=60).stdout
    assert len(twice) == len(plain) == 3 * SIZE[0] * SIZE[1] * 3
    # Within rounding of the larger recording filtered down alike.
    assert len(large) == len(twice) and max(abs(a - b) for a, b in zip(large, twice)) <= 1
    if texts is EDGES:
        between = [sum(1 for v in picture[c::3] if 8 < v < 247) for picture in (plain, twice) for c in range(3)]
        assert between[:3] == [0, 0, 0], "a hard edge drawn once a pixel has no values between"
        assert min(between[3:]) > 30, "each channel's edges are smoothed"


def test_a_picture_larger_than_the_gl_or_the_memory_takes_is_one_message_first(prefix, tmp_path):
    shader = write(tmp_path, EDGES)
    record = str(prefix / "bin" / "quillomar-record")
    done = subprocess.run([record, str(shader), "x.png", "--size", "4000x3000", "--supersample", "8", "--headless"],
                          cwd=tmp_path, env=without_display(), capture_output=True, text=True, timeout=120)
    limit = re.fullmatch(r"quillomar-record: a picture of 32000x24000 \(4000x3000 at --supersample 8\) is more than "
                         r"this GL draws: its (GL_MAX_TEXTURE_SIZE|GL_MAX_RENDERBUFFER_SIZE|GL_MAX_VIEWPORT_DIMS) is "
                         r"(\d+)\n", done.stderr)
    assert done.returncode == 1 and limit and int(limit[2]) < 32000, done.stderr
    assert os.listdir(tmp_path) == ["edges.glsl"]
    # 65536 x 65536 pictures with a buffer pass: more memory than a machine of today has free.
    shader = write(tmp_path, FEEDBACK)
    done = subprocess.run([record, str(shader), "x.png", "--size", "8192x8192", "--supersample", "8", "--headless"],
                          cwd=tmp_path, env=without_display(), capture_output=True, text=True, timeout=120)
    assert done.returncode == 1 and re.fullmatch(
        r"quillomar-record: --supersample 8 draws 65536x65536 pictures, which need about 208\.0 GiB of memory with 1 "
        r"buffer passes, where \d+\.\d GiB are available\n", done.stderr), done.stderr
    for k in ("0", "9"):
        done = subprocess.run([record, str(shader), "x.png", "--supersample", k], cwd=tmp_path, capture_output=True,
                              text=True, timeout=60)
        assert (done.returncode, done.stderr) == (2, "quillomar-record: argument --supersample: 1 to 8 (see --help)\n")


# A dot that moves 40 pixels a second, by iTime alone.
MOVING_DOT = {"dot.glsl": """
void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    float dot = step(length(fragCoord - vec2(8.0 + 40.0 * iTime, 18.0)), 5.0);
    fragColor = vec4(dot, dot * 0.5, 1.0 - dot, 1.0);
}
"""}


@pytest.mark.parametrize("texts, blur, every", [(MOVING_DOT, "4:1", 1), (MOVING_DOT, "3:0.5", 2), (MOVING_DOT, "2", 2),
                                                (FEEDBACK, "4:1", 1)],
                         ids=["dot, whole shutter", "dot, half shutter", "dot, shutter by default", "feedback"])
def test_a_motion_blurred_frame_is_the_average_of_its_sub_frames(prefix, tmp_path, texts, blur, every):
    """Frame k of a clip at F frames a second with N sub-frames over SHUTTER is the average of the frames
    drawn at k / F + SHUTTER x s / (N x F), s from 0 to N - 1: those of a clip at N x F / SHUTTER frames a
    second, N of each N / SHUTTER (iFrame counting sub-frames, the buffers stepped at each)."""
    shader = write(tmp_path, texts)
    record = str(prefix / "bin" / "quillomar-record")
    n = int(blur.partition(":")[0])
    clip = ["--size", "%dx%d" % SIZE, "--seconds", "0.4", "--from", "0.1", "--headless"]
    for name, more in [("blurred.mkv", ["--fps", "10", "--motion-blur", blur]),
                       ("sub.mkv", ["--fps", str(10 * n * every)])]:
        done = subprocess.run([record, str(shader), name, *clip, *more], cwd=tmp_path, env=without_display(),
                              capture_output=True, text=True, timeout=120)
        assert (done.returncode, done.stderr) == (0, "")
    blurred, subs = frames_of(decoded(tmp_path / "blurred.mkv")), frames_of(decoded(tmp_path / "sub.mkv"))
    assert len(blurred) == 4 and len(subs) == 4 * n * every
    for k, frame in enumerate(blurred):
        drawn = subs[k * n * every:k * n * every + n]
        average = bytes((2 * sum(values) + n) // (2 * n) for values in zip(*drawn))
        assert frame == average, "frame %d is the average of its sub-frames, rounded" % k
        if texts is MOVING_DOT:
            assert len(set(frame[1::3])) > 2, "the dot's path is smeared"


def test_a_value_moved_over_the_clip_moves_within_a_motion_blurred_frame_as_itime_does(prefix, tmp_path):
    # Over 2 frames level goes 0 to 1: the sub-frames of frame 0 are at 0 and 0.5 of it, frame 1's at 1
    # and 1.5 (the picture keeps 1).
    shader = write(tmp_path, TUNED)
    done = subprocess.run([str(prefix / "bin" / "quillomar-record"), str(shader), "moved.mkv", "--size", "8x4",
                           "--seconds", "0.2", "--fps", "10", "--headless", "--motion-blur", "2:1", "--set",
                           "level=0:1"], cwd=tmp_path, env=without_display(), capture_output=True, text=True,
                          timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
    made = decoded(tmp_path / "moved.mkv")
    assert [set(made[k * 96:(k + 1) * 96:3]) for k in range(2)] == [{64}, {255}] and len(made) == 2 * 96


@pytest.mark.fast
def test_motion_blur_takes_1_to_64_sub_frames_over_a_shutter_of_at_most_the_frame(prefix, tmp_path):
    shader = write(tmp_path, MOVING_DOT)
    for given in ("0", "65", "4:0", "4:1.5", "4:", "x"):
        done = subprocess.run([str(prefix / "bin" / "quillomar-record"), str(shader), "x.png", "--motion-blur", given],
                              cwd=tmp_path, capture_output=True, text=True, timeout=60)
        assert (done.returncode, done.stderr) == (2, "quillomar-record: argument --motion-blur: invalid motion blur "
                                                     "(N[:SHUTTER], N 1 to 64, SHUTTER more than 0 and at most 1) "
                                                     "value: '%s' (see --help)\n" % given), given


# Alpha from 0 at the left edge to 1 at the right, over a colour of its own (straight, not premultiplied).
ALPHA = {"alpha.glsl": """
void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    fragColor = vec4(0.2, 0.6, 1.0, fragCoord.x / iResolution.x);
}
"""}


@pytest.mark.parametrize("output, decoder, pix_fmt, off", [
    ("still.png", [], "rgba", 1), ("clip.mkv", [], "bgra", 1), ("clip.mov", [], "yuva444p12le", 2),
    # VP9's alpha is coded beside the colour, lossy, and only libvpx's decoder reads it.
    ("clip.webm", ["-c:v", "libvpx-vp9"], "yuv420p", 6)])
def test_alpha_is_kept_where_asked_and_a_decoder_reads_it_back(prefix, tmp_path, output, decoder, pix_fmt, off):
    shader = write(tmp_path, ALPHA)
    record = str(prefix / "bin" / "quillomar-record")
    for name, more in [("alpha-" + output, ["--alpha"]), ("opaque-" + output, [])]:
        done = subprocess.run([record, str(shader), name, "--size", "%dx%d" % SIZE, "--seconds", "0.2", "--fps", "10",
                               "--headless", *more], cwd=tmp_path, env=without_display(), capture_output=True,
                              text=True, timeout=120)
        assert (done.returncode, done.stderr) == (0, "")
    probed = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=pix_fmt", "-of", "csv=p=0",
                             str(tmp_path / ("alpha-" + output))], capture_output=True, text=True, check=True).stdout
    assert probed == pix_fmt + "\n"

    def rgba(name):
        return subprocess.run(["ffmpeg", "-v", "error", *decoder, "-i", str(tmp_path / name), "-frames:v", "1", "-f",
                               "rawvideo", "-pix_fmt", "rgba", "-"], capture_output=True, check=True, timeout=60).stdout
    kept, opaque = rgba("alpha-" + output), rgba("opaque-" + output)
    w, h = SIZE
    assert len(kept) == len(opaque) == w * h * 4
    wanted = [round((x + 0.5) / w * 255) for x in range(w)]
    for y in (0, h // 2, h - 1):
        row = kept[y * w * 4:(y + 1) * w * 4]
        assert max(abs(row[x * 4 + 3] - wanted[x]) for x in range(w)) <= off, "alpha across row %d" % y
        assert max(abs(a - b) for x in range(w) for a, b in zip(row[x * 4:x * 4 + 3], (51, 153, 255))) <= off + 3
    assert set(opaque[3::4]) == {255}, "without --alpha the picture is opaque"


# Opaque red on every other sub-frame (iFrame counts them), and in a picture drawn 64 or more wide in every
# other column; nothing at all else.
HALF_THERE = {"half.glsl": """
void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    bool there = iFrame % 2 == 0 && (iResolution.x < 64.0 || mod(floor(fragCoord.x), 2.0) < 1.0);
    fragColor = there ? vec4(1.0, 0.0, 0.0, 1.0) : vec4(0.0);
}
"""}
# Opaque red on one sub-frame in eight, and in a picture drawn 24 or more wide left of x 12: a picture 8
# wide drawn three times over has a faint pixel at the edge, one blurred 8:1 is faint all over.
FAINT = {"faint.glsl": """
void mainImage(out vec4 fragColor, in vec2 fragCoord)
{
    bool there = iFrame % 8 == 0 && (iResolution.x < 24.0 || fragCoord.x < 12.0);
    fragColor = there ? vec4(1.0, 0.0, 0.0, 1.0) : vec4(0.0);
}
"""}


@pytest.mark.parametrize("more", [["--motion-blur", "2:1"], ["--supersample", "2"]], ids=["blur", "supersample"])
def test_a_blurred_or_supersampled_picture_with_alpha_keeps_the_colour_of_what_is_there(prefix, tmp_path, more):
    # Half the samples of each pixel are red and opaque, half have nothing: the pixel is red, half there.
    shader = write(tmp_path, HALF_THERE)
    size = (8, 4) if more[0] == "--motion-blur" else (48, 4)
    done = subprocess.run([str(prefix / "bin" / "quillomar-record"), str(shader), "half.png", "--alpha", "--size",
                           "%dx%d" % size, "--headless", *more], cwd=tmp_path, env=without_display(),
                          capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
    picture = subprocess.run(["ffmpeg", "-v", "error", "-i", str(tmp_path / "half.png"), "-f", "rawvideo", "-pix_fmt",
                              "rgba", "-"], capture_output=True, check=True, timeout=60).stdout
    pixels = {tuple(picture[i:i + 4]) for i in range(0, len(picture), 4)}
    if more[0] == "--motion-blur":
        assert pixels == {(255, 0, 0, 128)}
    else:  # filtered down: each inner pixel half red; the filter's reach past the picture's sides aside
        inner = {tuple(picture[(y * size[0] + x) * 4:(y * size[0] + x) * 4 + 4]) for y in range(4)
                 for x in range(2, size[0] - 2)}
        assert all(r >= 250 and g <= 2 and b <= 2 and abs(a - 128) <= 2 for r, g, b, a in inner), sorted(pixels)
    # A faint pixel keeps its colour too: its colour is not what rounding leaves, divided by its small alpha.
    write(tmp_path, FAINT)
    faint = ["--motion-blur", "8:1"] if more[0] == "--motion-blur" else ["--supersample", "3"]
    done = subprocess.run([str(prefix / "bin" / "quillomar-record"), "faint.glsl", "faint.png", "--alpha", "--size",
                           "8x2", "--headless", *faint], cwd=tmp_path, env=without_display(), capture_output=True,
                          text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
    picture = subprocess.run(["ffmpeg", "-v", "error", "-i", str(tmp_path / "faint.png"), "-f", "rawvideo", "-pix_fmt",
                              "rgba", "-"], capture_output=True, check=True, timeout=60).stdout
    there = {tuple(picture[i:i + 4]) for i in range(0, len(picture), 4) if picture[i + 3]}
    assert any(a <= 32 for *_, a in there), sorted(there)
    assert all(r >= 254 and g <= 1 and b <= 1 for r, g, b, _ in there), sorted(there)


@pytest.mark.fast
def test_alpha_is_refused_for_a_format_that_has_none_and_for_a_gpu_encoder(prefix, tmp_path):
    shader = write(tmp_path, ALPHA)
    for output, more, message in [
            ("x.mp4", [], ".mp4 keeps no alpha; use .png, .webm, .mov, .mkv"),
            ("x.gif", [], ".gif keeps no alpha; use .png, .webm, .mov, .mkv"),
            ("x.webm", ["--encoder", "vaapi"], "the shader's alpha is encoded in software")]:
        done = subprocess.run([str(prefix / "bin" / "quillomar-record"), str(shader), output, "--alpha", *more],
                              cwd=tmp_path, capture_output=True, text=True, timeout=60)
        assert (done.returncode, done.stderr) == (2, "quillomar-record: argument --alpha: %s (see --help)\n" % message)


def test_the_join_refuses_a_part_that_does_not_start_on_a_key_frame(prefix, tmp_path):
    join = two_parts(prefix, tmp_path, ".mp4")
    # b's first packet (its key frame) dropped, its tag kept: it starts inside a group of pictures.
    subprocess.run(["ffmpeg", "-v", "quiet", "-i", "b.mp4", "-c", "copy", "-map_metadata", "0", "-movflags",
                    "+use_metadata_tags", "-bsf:v", r"noise=drop=eq(n\,0)", "cut.mp4"], cwd=tmp_path, check=True,
                   timeout=60)
    done = subprocess.run([join, "a.mp4", "cut.mp4", "out.mp4"], cwd=tmp_path, capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (
        1, "", "quillomar-join: cut.mp4 does not start on a key frame: it cannot be joined without coding it again\n")
    done = subprocess.run([join, "b.mp4", "a.mp4", "out.mp4"], cwd=tmp_path, capture_output=True, text=True,
                          timeout=60)
    assert (done.returncode, done.stderr) == (0, "") and done.stdout.startswith("out.mp4: 12 frames joined from 2 ")
