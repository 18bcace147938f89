"""What the commands and their libraries exchange, with no display: records read from a stream however it
is cut, settings written under the names and in the forms the libraries' settings tables read, channels
asked for in a shader's header, the dialect of a text as translate (the libraries' own table) tells it,
and the facts translate describes from the libraries' tables, as the commands follow them."""
import ast
import dataclasses
import math
import os
import re
from pathlib import Path

import pytest

from conftest import SOURCE
from quillomar import Failure, dialects, facts, files, paths, record, segments
from quillomar.channels import check_numbers, header_options
from quillomar.dialects import dialect, translated
from quillomar.messages import located
from quillomar.wire import Reader, Record, RecordError, dispatch, parse
from quillomar.settings import encode

# The source tree of the build under test, and its package.
TREE = SOURCE.resolve().parent
PACKAGE = Path(paths.__file__).resolve().parent

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


def settings_tables():
    """{library: {QUILLOMAR_NAME: (kind, required)}}: the rows of the libraries' one settings table, as
    translate --describe prints it."""
    tables = {}
    for name, row in facts.get().settings.items():
        for library in row.libraries:
            tables.setdefault(library, {})[name] = (row.kind.upper(), row.required)
    return tables


def settings_written(path):
    """The settings (QUILLOMAR_NAME) that the calls of encode in the Python file at path write: its keywords,
    the keys of dicts spread into it, and of the dicts named that are spread into it."""
    tree = ast.parse(path.read_text())
    spread, names = set(), set()
    for call in ast.walk(tree):
        if isinstance(call, ast.Call) and (getattr(call.func, "id", None) == "encode" or (
                getattr(call.func, "attr", None) == "encode" and getattr(call.func.value, "id", None) == "settings")):
            for keyword in call.keywords:
                if keyword.arg is not None:
                    names.add(keyword.arg)
                    continue
                for node in ast.walk(keyword.value):
                    if isinstance(node, ast.Dict):
                        names.update(k.value for k in node.keys if isinstance(k, ast.Constant))
                    elif isinstance(node, ast.Name):
                        spread.add(node.id)
    for node in ast.walk(tree):  # more = {"include": ...}; more["sound_out"] = ...
        if isinstance(node, ast.Assign) and any(getattr(t, "id", None) in spread for t in node.targets):
            names.update(k.value for d in ast.walk(node.value) if isinstance(d, ast.Dict)
                         for k in d.keys if isinstance(k, ast.Constant))
        if (isinstance(node, ast.Subscript) and isinstance(node.ctx, ast.Store)
                and getattr(node.value, "id", None) in spread and isinstance(node.slice, ast.Constant)):
            names.add(node.slice.value)
    return {"QUILLOMAR_" + name.upper() for name in names}


@pytest.mark.packaging  # reads the commands' sources and those of the tools, which a build of the viewer alone has not
def test_each_setting_written_is_one_a_library_reads_and_each_required_one_is_written():
    tables = settings_tables()
    read = {name for rows in tables.values() for name in rows}
    # Each command's libraries.
    libraries = {"live.py": ["live"], "record.py": ["record", "headless"]}
    assert set(tables) == {f for files in libraries.values() for f in files}, tables.keys()
    writers = sorted(PACKAGE.glob("*.py")) + [f for folder in ("tools", "bench") for f in sorted((TREE / folder).iterdir())
                                              if f.is_file() and f.read_bytes().startswith(b"#!/usr/bin/python3")]
    for path in writers:
        assert settings_written(path) <= read, "%s writes a setting no library reads" % path
    # Each command writes every setting its libraries require.
    for command, sources in libraries.items():
        required = {name for f in sources for name, (_, needed) in tables.get(f, {}).items() if needed}
        assert required <= settings_written(PACKAGE / command), command


# What each kind of setting is read as (settings.c): a whole number (0 or more), a decimal number, WxH
# (both at least 1), X,Y, or any text.
NUMBER = r"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?"
FORMS = {"INT": r"\d+", "NUMBER": NUMBER, "SIZE": r"[1-9]\d*x[1-9]\d*", "POINT": NUMBER + "," + NUMBER,
         "TEXT": r"[^\0]*"}
# A value of each kind as the commands hold it.
VALUES = {"INT": 7, "NUMBER": 1 / 3, "SIZE": (320, 180), "POINT": (480.4, 270.0), "TEXT": Path("/s/a b\n.glsl")}


def within(row, value):
    """value, or the nearest number within row's bounds (its most, or just above its least)."""
    if row.most is not None and value > row.most:
        return type(value)(row.most)
    if row.least is not None and value < row.least:
        return type(value)(row.least)
    return value


def test_settings_are_written_in_the_form_their_row_reads_and_numbers_exactly():
    for name, row in facts.get().settings.items():
        kind = row.kind.upper()
        value = within(row, VALUES[kind]) if kind in ("INT", "NUMBER") else VALUES[kind]
        written = encode(**{name[len("QUILLOMAR_"):].lower(): value})
        assert list(written) == [name] and re.fullmatch(FORMS[kind], written[name]), (name, written)
    for number in (1 / 3, 0.1 + 0.2, 1e-7, 2.0 ** 60 + 0.5, 1e9 - 1 / 30):
        text = encode(fps=number)["QUILLOMAR_FPS"]
        assert math.isfinite(float(text)) and float(text) == number
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


def defines(tree):
    """{NAME: text} of the #define lines in the libraries' sources."""
    return dict(re.findall(r"^#define (\w+) (.+)$", "\n".join(f.read_text() for f in sorted(
        (tree / "companions" / "preload").rglob("*.[ch]"))), re.M))


@pytest.mark.packaging  # reads the libraries' sources, which a build of the viewer alone has not
def test_the_description_is_the_libraries_own_tables():
    """translate --describe against the defines, the table of kinds, the GLSL names of the GL's types and
    the table of dialects in the libraries' sources."""
    described, found = facts.get(), defines(TREE)
    sources = "\n".join(f.read_text() for f in sorted((TREE / "companions" / "preload").rglob("*.c")))
    number = {name: eval(re.sub(r"(\d)LL\b", r"\1", found[name])) for name in (
        "CHANNELS", "MOST_PASSES", "SAMPLE_RATE", "LINES_APART", "LARGEST_TEXT", "SOUND_WIDTH", "KEY_CODES")}
    samplers = re.search(r"enum sampler \{([^}]*)\}", sources + "\n" + "\n".join(
        f.read_text() for f in (TREE / "companions" / "preload").rglob("*.h"))).group(1).replace(" ", "").split(",")
    glsl = dict(zip(samplers, re.search(r"SAMPLER_NAMES\[\d\] = \{([^}]*)\}", sources).group(1)
                    .replace('"', "").replace(" ", "").split(",")))
    kinds = re.findall(r'^\s*\{"(\w+)", (SAMPLER_\w+), (\d), (\w+), (\w+), ([01])\}', sources, re.M)
    keyboard = next((int(eval(w, {}, number)), int(eval(h, {}, number))) for name, _, _, w, h, _ in kinds
                    if name == "keyboard")
    assert (described.channels, described.most_passes, described.sample_rate, described.lines_apart,
            described.largest_text, described.sound_texture, described.keyboard_texture) == (
        number["CHANNELS"], number["MOST_PASSES"], number["SAMPLE_RATE"], number["LINES_APART"],
        number["LARGEST_TEXT"], (number["SOUND_WIDTH"], 2), keyboard)
    assert kinds and [(name, k.sampler, k.dimensions, k.mipmaps) for name, k in described.kinds.items()] == [
        (name, glsl[sampler], int(sides), mipmaps == "1") for name, sampler, sides, _, _, mipmaps in kinds]
    assert list(described.dialects) == re.findall(r'^\s*\{DIALECT_\w+, "([^"]+)"', sources, re.M)
    assert {dialects.MAIN_IMAGE, dialects.CUBEMAP} <= set(described.dialects)


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
