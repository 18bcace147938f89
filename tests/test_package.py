"""What the commands and their libraries exchange, with no display: records read from a stream however it
is cut, settings written in the forms the libraries' reader of settings reads, numbers exactly, channels
asked for in a shader's header, the dialect of a text as translate (the libraries' own table) tells it,
and the facts translate describes, as translate itself reads texts and as the commands follow them."""
import dataclasses
import os
import re
import subprocess
from pathlib import Path

import pytest

from conftest import BUILD
from quillomar import Failure, dialects, facts, files, paths, record, segments, settings
from quillomar.channels import check_numbers, header_options
from quillomar.dialects import dialect, translated
from quillomar.messages import located
from quillomar.wire import Reader, Record, RecordError, dispatch, parse
from quillomar.settings import encode

pytestmark = pytest.mark.fast

STREAM = (b"OpenGL error 1282 in glUseProgram(p) at main.cpp:9\n\036build outcome=failed ms=2.5 text:6 log:4\n"
          b"a\n\036b\nclog!\036missing\n\036frame number=0\nno newline")
RECORDS = ["OpenGL error 1282 in glUseProgram(p) at main.cpp:9",
           Record("build", {"outcome": "failed", "ms": "2.5"}, {"text": b"a\n\036b\nc", "log": b"log!"}),
           Record("missing", {}, {}), Record("frame", {"number": "0"}, {})]


@pytest.mark.parametrize("size", [1, 7, len(STREAM)])
def test_records_and_lines_come_whole_however_the_stream_is_cut(size):
    reader = Reader()
    found = sum((reader.feed(STREAM[k:k + size]) for k in range(0, len(STREAM), size)), [])
    assert (found, reader.rest()) == (RECORDS, "no newline")


def test_records_go_to_their_kinds_handler_and_anything_else_is_an_error():
    assert dispatch(RECORDS[3], {"frame": lambda r: r.fields["number"]}) == "0"
    with pytest.raises(RecordError, match="unknown kind 'missing'"):
        dispatch(RECORDS[2], {"frame": print})
    for data in (b"\036swaps count=3 first_ns\n", b"4 1 2\n", b"\036info-log log:5\nabc"):
        with pytest.raises(RecordError):
            parse(data)
    assert parse(b"\036pixels swap=2 colours=1,2,3;4,5,6\n") == [Record("pixels", {"swap": "2",
                                                                                   "colours": "1,2,3;4,5,6"}, {})]


def read_back(**values):
    """What the libraries' reader of settings reads of values as the commands write them (settings.text, by
    their row's kind): units settings, whose table names UNITS_INT, UNITS_NUMBER, UNITS_SIZE, UNITS_POINT and
    UNITS_TEXT, one of each kind."""
    given = {name.upper(): settings.text(value, name, facts.Setting(name.split("_")[1], ("units",), False))
             for name, value in values.items()}
    done = subprocess.run([str(BUILD / "units"), "settings"], capture_output=True, timeout=10,
                          env=dict(os.environ, **given))
    assert (done.returncode, done.stderr) == (0, b""), (given, done.stderr)
    return [line.split(" ", 1) for line in done.stdout.decode().splitlines()]


def test_settings_are_written_in_the_form_the_libraries_read_and_numbers_exactly():
    assert read_back(units_int=7, units_number=0.25, units_size=(320, 180), units_point=(480.5, 270),
                     units_text=Path("/s/a b\t.glsl")) == [
        ["int", "7"], ["number", "0.25"], ["size", "320 180"], ["point", "480.5 270"], ["text", "/s/a b\t.glsl"]]
    for number in (1 / 3, 0.1 + 0.2, 1e-7, 2.0 ** 60 + 0.5, 1e9 - 1 / 30, -2.5e-300):
        (_, number_read), (_, point_read) = read_back(units_number=number, units_point=(number, 1))
        assert float(number_read) == number and [float(v) for v in point_read.split()] == [number, 1], number
    for wrong in (True, None, (1, 2, 3)):
        with pytest.raises(TypeError):
            encode(value=wrong)


def test_a_setting_the_table_has_no_row_for_not_of_its_kind_or_outside_its_bounds_is_refused_in_one_line():
    rows = facts.get().settings
    refused = {"tile": 2, "tiles": 65, "scale": 0, "blur": 65, "shutter": 0.0, "fps": 0.0, "alpha": 2,
               "frames": rows["QUILLOMAR_FRAMES"].most + 1, "mouse": (0.0, 1e39), "frames_fd": 3}
    for name, value in refused.items():
        with pytest.raises(Failure) as said:
            encode(**{name: value})
        assert "\n" not in str(said.value) and "QUILLOMAR_" + name.upper() in str(said.value), said.value
    for name, wrong in {"tiles": 2.0, "fps": "30", "size": (0, 4), "mouse": (1, "2"), "plan": 3, "shutter": True}.items():
        with pytest.raises(Failure, match="QUILLOMAR_%s=.*: not " % name.upper()):
            encode(**{name: wrong})
    # Each bound is the table's, taken on both sides of it.
    assert encode(tiles=64, scale=1, shutter=1.0, alpha=1)["QUILLOMAR_TILES"] == "64"
    assert rows["QUILLOMAR_SCALE"].bounds() == "1 to 64"
    assert rows["QUILLOMAR_SHUTTER"].bounds() == "more than 0 and at most 1"


def test_every_field_of_a_recording_says_whether_it_changes_the_picture_and_those_that_do_are_in_its_digest():
    job = record.arguments(["a.glsl", "out.mkv", "--frames", "0-1", "--mouse", "1,2", "--set", "a=1"])
    said = segments.inputs(job)
    marked = {}
    for group in dataclasses.fields(job):
        for f in dataclasses.fields(getattr(job, group.name)):
            marked[f.name] = f.metadata["picture"]
            assert (("%s.%s=" % (group.name, f.name)) in said) == (f.metadata["picture"] is True), f.name
    # Those a part's tag holds are its own fields there.
    assert {name for name, m in marked.items() if m == record.TAG} == {"fps", "start", "seconds", "size", "whole"}
    assert {"size", "fps", "from", "frames"} <= set(segments.FIELDS)
    for changed in (["--mouse", "1,3"], ["--set", "a=2"], ["--supersample", "2"], ["--alpha"], ["--motion-blur", "3"]):
        given = {"--mouse": "1,2", "--set": "a=1"}
        given.update(dict(zip(changed[::2], changed[1::2])) if len(changed) == 2 else {changed[0]: None})
        other = record.arguments(["a.glsl", "out.mkv", "--frames", "0-1"]
                                 + [w for k, v in given.items() for w in ([k] if v is None else [k, v])])
        assert segments.inputs(other) != said, changed
    # A job is one value: nothing is set on it once made.
    with pytest.raises(dataclasses.FrozenInstanceError):
        job.how.fps = 1.0


def test_channels_named_in_a_header_and_beyond_the_last():
    text = b"// channel0: docs/a.png\n//channel1: no\nvoid main() {} // channel2: no\n// channel3: b c.jpg\n"
    assert header_options(text, Path("/r")) == ["--channel0", "/r/docs/a.png", "--channel3", "/r/b c.jpg"]
    assert check_numbers(["--channel3", "x", "--channel4=y"]) == "there is no channel 4: the channels are 0 to 3"


# A text of the site's that keeps a GLSL Sandbox main aside: only where it came from says which it is.
SANDBOX_ASIDE = (b"uniform float time;\n#ifdef GLSLSANDBOX\nvoid main() { gl_FragColor = vec4(time); }\n#endif\n"
                 b"void mainImage(out vec4 c, in vec2 p) { c = vec4(time); }\n")
DIALECTS = {
    "mainImage, no #version": (b"void mainImage(out vec4 c, in vec2 p)\n{\n    c = vec4(1.0);\n}\n", "mainImage"),
    "mainImage under #version": (b"#version 330 core\nout vec4 o;\nvoid mainImage(out vec4 c, in vec2 p) {}\n"
                                 b"void main() { o = vec4(1.0); }\n", "none"),
    "mainImage alone under #version": (b"  #  version 330 core\nvoid mainImage(out vec4 c, in vec2 p) {}\n", "none"),
    "a comment names it": (b"// as mainImage(c, p) would, but plain\nout vec4 c;\nvoid main() { c = vec4(1.0); }\n",
                           "none"),
    "split over lines": (b"void\nmainImage\n(out vec4 c, in vec2 p)\n{\n    c = vec4(1.0);\n}\n", "mainImage"),
    "another name": (b"void mainImages(out vec4 c, in vec2 p) {}\n", "none"),
    "a loose file with a sandbox main aside": (SANDBOX_ASIDE, "GLSL Sandbox"),
    "the same, a pass of the site's": (b'#iDialect "mainImage"\n' + SANDBOX_ASIDE, "mainImage"),
    "the same, a dialect of no name known": (b'#iDialect "nothing"\n' + SANDBOX_ASIDE, "GLSL Sandbox"),
}


@pytest.mark.parametrize("text, expected", DIALECTS.values(), ids=DIALECTS.keys())
def test_the_dialect_is_the_libraries_own(text, expected):
    try:
        paths.translate()
    except Failure as e:
        pytest.fail("build first: %s" % e)
    assert dialect(text) == expected


def test_the_dialects_and_channels_described_are_those_translate_reads(tmp_path):
    """Each dialect translate --describe names is one an #iDialect line asks for by that name, and a name it
    does not give is none; the channels it counts are those a translated text is given."""
    described = facts.get()
    assert {dialects.MAIN_IMAGE, dialects.CUBEMAP} <= set(described.dialects)
    for name in list(described.dialects) + ["Main Image", "mainimage"]:
        asked = b'#iDialect "%s"\n' % name.encode() + SANDBOX_ASIDE
        assert dialect(asked) == (name if name in described.dialects else "GLSL Sandbox"), name
    (tmp_path / "c.glsl").write_bytes(DIALECTS["mainImage, no #version"][0])
    given = re.findall(r"^uniform sampler2D iChannel(\d+);$", translated(tmp_path / "c.glsl").decode(), re.M)
    assert given == [str(n) for n in range(described.channels)] and described.channels == 4


def test_key_names_hold_the_keys_shaders_read_by_those_names(tmp_path):
    (tmp_path / "k.glsl").write_text("#iKeyboard\nvoid mainImage(out vec4 c, in vec2 f) { c = vec4(0.0); }\n")
    constants = re.findall(r"^const int Key_(\w+) = (\d+);$", translated(tmp_path / "k.glsl").decode(), re.M)
    assert len(constants) == len(facts.get().keys) > 60
    for name, code in constants:
        for given in {name, name.lower(), name.upper(), re.sub("(?i)arrow$", "", name)}:
            assert record.key("%s:1-2.5" % given) == "%s:1.0-2.5" % code, given
    assert [record.key(k) for k in ("a:0-1", "7:0-1", "32:0-1", "Space:0-1", "left:0-1", "f12:0-1")] == [
        "65:0.0-1.0", "55:0.0-1.0", "32:0.0-1.0", "32:0.0-1.0", "37:0.0-1.0", "123:0.0-1.0"]
    for wrong in ("nothing:0-1", "256:0-1", "arrow:0-1", "a:1-1", "a:-1-2"):
        with pytest.raises(ValueError):
            record.key(wrong)


def test_the_commands_and_the_libraries_refuse_the_same_largest_text(tmp_path):
    largest = facts.get().largest_text
    assert largest == 16 << 20
    for size, refused in ((largest, False), (largest + 1, True)):
        with open(tmp_path / "big.glsl", "wb") as f:
            f.seek(size - 1)
            f.write(b"\n")
        (tmp_path / "main.glsl").write_text('#include "big.glsl"\nvoid main() {}\n')
        said = translated(tmp_path / "main.glsl")[:200].decode(errors="replace")
        assert said.startswith("#error cannot include") == refused, said
        if refused:
            assert "larger than 16 MiB" in said
            with pytest.raises(Failure, match="is larger than 16 MiB"):
                files.read(tmp_path / "big.glsl")
        else:
            assert len(files.read(tmp_path / "big.glsl")) == size


def test_a_message_about_an_included_file_is_located_in_it(tmp_path):
    """The lines the libraries number an included file's lines by, read back by the live log."""
    (tmp_path / "inc.glsl").write_text("float a;\nfloat b;\nfloat broken = nothing;\n")
    (tmp_path / "main.glsl").write_text('#version 330 core\n#include "inc.glsl"\nout vec4 c;\nvoid main() {}\n')
    text = translated(tmp_path / "main.glsl").decode().split("\n")
    # The number the GL gives a line: the last #line's, counted on from there.
    at = next(i for i, line in enumerate(text) if "broken" in line)
    directive = next(i for i in range(at, -1, -1) if text[i].startswith("#line "))
    number = int(text[directive].split()[1]) + at - directive - 1
    shown = located("0:%d(16): error: `nothing' undeclared" % number, "", "main.glsl", [str(tmp_path / "inc.glsl")])
    assert shown[:2] == ["%s:3:16: error: `nothing' undeclared" % (tmp_path / "inc.glsl"),
                         " 3 | float broken = nothing;"], shown


def test_the_files_a_text_is_made_of_are_found_as_the_libraries_find_its_includes(tmp_path):
    (tmp_path / "inc").mkdir()
    (tmp_path / "a.glsl").write_text('#include "b.glsl"\n#include <c.glsl>\nvoid main() {}\n')
    (tmp_path / "b.glsl").write_text('#pragma once\n#include "b.glsl"\nfloat b;\n')
    (tmp_path / "inc" / "c.glsl").write_text("float c;\n")
    (tmp_path / "plain.glsl").write_text("void main() {}\n")
    made = dialects.made_of(tmp_path / "a.glsl", [tmp_path / "inc"])
    assert [os.path.realpath(f) for f in made] == [str((tmp_path / n).resolve()) for n in
                                                  ("a.glsl", "b.glsl", "inc/c.glsl")]
    assert dialects.made_of(tmp_path / "plain.glsl") == [str(tmp_path / "plain.glsl")]


def test_a_clips_digest_is_what_its_channels_read_wherever_it_lies_and_which_pass_each_channel_shows(tmp_path):
    from quillomar import directives, segments

    def digest(folder, first, second):
        folder.mkdir(exist_ok=True)
        (folder / "i.glsl").write_text('#iPasses "a.glsl" "b.glsl"\n#iChannel0 "file://%s"\n#iChannel1 "file://%s"\n'
                                       '#iChannel2 "%s"\nvoid mainImage(out vec4 c, in vec2 f) { c = vec4(1); }\n'
                                       % (first, second, folder / "wood.png"))
        for name, value in (("a.glsl", "0.25"), ("b.glsl", "0.5")):
            (folder / name).write_text("void mainImage(out vec4 c, in vec2 f) { c = vec4(%s); }\n" % value)
        (folder / "wood.png").write_bytes(b"wood")
        return segments.digest(directives.image_passes(folder / "i.glsl"), "")

    here = digest(tmp_path / "here", "a.glsl", "b.glsl")
    assert digest(tmp_path / "there", "a.glsl", "b.glsl") == here, "the image named by another path"
    assert digest(tmp_path / "swapped", "b.glsl", "a.glsl") != here, "the other pass shown, drawn as before"


def test_a_followed_file_saved_before_the_library_watches_it_is_seen_when_it_does(tmp_path):
    from quillomar.following import Follower, state
    shader, folder = tmp_path / "shader.json", tmp_path / "passes"
    shader.write_text("{}")
    folder.mkdir()
    read, write = os.pipe()
    handlers, missed = {}, {}
    try:
        seen = state([shader, folder])  # as the command read them
        Follower(write, handlers, missed).follow("json", [shader, folder], lambda: None, seen)
        assert os.read(read, 4096).decode() == "follow\tjson\t%s\t%s/\n" % (shader, folder)
        assert not missed["json"]()
        shader.write_text('{"saved": 1}')  # before the library says "following"
        assert missed["json"]()
        Follower(write, handlers, missed).follow("json", [shader, folder])  # named again, as it is now
        assert not missed["json"]()
        (folder / "Buffer A.glsl").write_text("")  # an entry of the folder added
        assert missed["json"]()
    finally:
        os.close(read)
        os.close(write)
