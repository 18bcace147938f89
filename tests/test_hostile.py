"""Whatever an editor leaves on disk: the echo stays byte-exact, the run goes on, Escape ends it with 0."""
import random

import pytest

from conftest import parse_errors

VALID = (b"#version 330 core\nout vec4 FragColor;\n"
         b"void main()\n{\n    FragColor = vec4(0.1, 0.6, 0.9, 1.0);\n}\n")
LONG_NAME = b"an_identifier_that_nobody_declared_" * 20

HOSTILE = {
    "random bytes": random.Random(20261206).randbytes(300 * 1024),
    "nul bytes only": b"\0" * 4096,
    "utf-8 byte-order mark": b"\xef\xbb\xbf" + VALID,
    "invalid utf-8": VALID.replace(b"void main", b"// \xff\xfe\xc3\x28 \xed\xa0\x80 \xf8\x88\x80\x80\x80\nvoid main"),
    # The error sits on the last line, which has no newline, and its log is longer than the 511
    # characters the viewer's buffer takes.
    "error on the last line with a long log": VALID[:-3] + b"\n    FragColor = vec4(" + LONG_NAME + b"); }",
}


def build_messages(rest):
    """Checks that what follows the echo is only build failure messages; returns the logs by stage."""
    logs = {}
    while rest:
        header, _, rest = rest.partition(b"\n")
        assert header.startswith(b"ERROR::SHADER::"), rest
        following = rest.find(b"ERROR::SHADER::")
        log, rest = (rest, b"") if following < 0 else (rest[:following], rest[following:])
        assert log.endswith(b"\n")
        logs[header.split(b"::")[2].decode()] = log[:-1]
    return logs


def run_hostile(run_viewer, content):
    v = run_viewer(content)
    v.find_window()
    v.wait_for(lambda: v.pixels([(10, 10)])[0] != (0, 0, 0), what="a frame")
    status, out, err = v.hold_escape()
    assert status == 0
    parse_errors(err)
    return out, v.swaps()


@pytest.mark.parametrize("content", HOSTILE.values(), ids=HOSTILE.keys())
def test_hostile_file_is_echoed_exactly_and_survived(run_viewer, content):
    out, _ = run_hostile(run_viewer, content)
    assert out.startswith(content + b"\n")
    logs = build_messages(out[len(content) + 1:])
    if content.endswith(LONG_NAME + b"); }"):
        assert len(logs["FRAGMENT"]) == 511
        assert logs["FRAGMENT"].startswith(b"0:6(")


def test_directory_named_test_glsl_reads_as_empty(run_viewer):
    v = run_viewer(None, prepare=lambda workdir: (workdir / "test.glsl").mkdir())
    v.find_window()
    v.wait_for(lambda: v.pixels([(10, 10)])[0] != (0, 0, 0), what="a frame")
    status, out, err = v.hold_escape()
    assert status == 0
    assert out.startswith(b"\n")
    assert "PROGRAM" in build_messages(out[1:])
    assert parse_errors(err)


def test_twenty_mib_file_echoes_exactly_and_reads_within_a_second(run_viewer):
    # A valid shader followed by 20 MiB of comment lines, so the GL too has to get through all of it.
    line = b"// " + b"0123456789abcdef" * 4 + b"\n"
    content = VALID + line * (20 * 1024 * 1024 // len(line))
    out, log = run_hostile(run_viewer, content)
    assert out == content + b"\n"
    # From the end of GL loading to the first shader object: reading the file and echoing it.
    print("\nread and echoed %d bytes in %.3f s" % (len(content), log.shader - log.loaded))
    assert log.shader - log.loaded < 1.0
