"""What the commands and their libraries exchange, with no display: records read from a stream however it
is cut, settings written in the forms the libraries read, channels asked for in a shader's header, and
the dialect of a text as translate (the libraries' own table) tells it."""
from pathlib import Path

import pytest

from quillomar import Failure, paths
from quillomar.channels import check_numbers, header_options
from quillomar.dialects import dialect
from quillomar.records import Reader, Record, RecordError, dispatch, parse
from quillomar.settings import encode

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


def test_settings_are_written_as_the_libraries_read_them():
    assert encode(frames=150, fps=1 / 3, **{"from": 2.0}, size=(320, 180), mouse=(480.4, 270), status_fd=7,
                  shader=Path("/s/a.glsl"), channel2_kind="image") == {
        "QUILLOMAR_FRAMES": "150", "QUILLOMAR_FPS": "0.3333333333333333", "QUILLOMAR_FROM": "2.0",
        "QUILLOMAR_SIZE": "320x180", "QUILLOMAR_MOUSE": "480.4,270.0", "QUILLOMAR_STATUS_FD": "7",
        "QUILLOMAR_SHADER": "/s/a.glsl", "QUILLOMAR_CHANNEL2_KIND": "image"}
    for wrong in (True, None, (1, 2, 3)):
        with pytest.raises(TypeError):
            encode(value=wrong)


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
