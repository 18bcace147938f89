"""quillomar-live's log, with no display: each driver's messages located under the line they name, with
Mesa's columns mapped back through tabs and comments; control characters of the text shown as escapes;
a repeated line or block of lines folded into a count, on a terminal and in a file."""
import io

import pytest

from quillomar.messages import Log, caret_column, located

pytestmark = pytest.mark.fast

TEXT = "#version 330 core\nout vec4 c; // \x1b[2J\nvoid main() {\n\t\tc = /* x */ vec4(nothing);\n/* \x07 */ bad;\n}\n"
LINE4 = " 4 | \t\tc = /* x */ vec4(nothing);"

LOGS = {  # the GL's log line: what the log shows for it
    "Mesa, through tabs and a comment": ("0:4(11): error: `nothing' undeclared", [
        "live.glsl:4:20: error: `nothing' undeclared", LINE4, "   | \t\t" + " " * 17 + "^"]),
    "Mesa, after a control character": ("0:5(2): error: syntax error", [
        "live.glsl:5:9: error: syntax error", " 5 | /* \\x07 */ bad;", "   | " + " " * 11 + "^"]),
    "Mesa, preprocessor": ("0:3(1): preprocessor error: oops", ["live.glsl:3:1: error: (preprocessor) oops",
                                                                 " 3 | void main() {", "   | ^"]),
    "NVIDIA": ('0(4) : error C1008: undefined variable "nothing"', [
        'live.glsl:4: error: C1008: undefined variable "nothing"', LINE4]),
    "AMD": ("WARNING: 0:2: 'c' : unused", ["live.glsl:2: warning: 'c' : unused", " 2 | out vec4 c; // \\x1b[2J"]),
    "a line past the end": ("ERROR: 0:40: 'x' : undeclared", ["live.glsl:40: error: 'x' : undeclared"]),
    "another source string": ("1:4(2): error: in the prelude", ["1:4(2): error: in the prelude"]),
    "no driver's format": ("ERROR: 3 compilation errors.  No code generated.",
                           ["ERROR: 3 compilation errors.  No code generated."]),
}


@pytest.mark.parametrize("log, shown", LOGS.values(), ids=LOGS.keys())
def test_each_drivers_message_is_located(log, shown):
    assert located(log, TEXT, "live.glsl") == shown


@pytest.mark.parametrize("line, column, index", [("a  b", 3, 3), ("\t\t\tx", 2, 3), ("a/* c\t*/b", 3, 8),
                                                 ("a /* x */ /* y */\tb", 3, 18), ("a // b", 3, 6)])
def test_mesa_columns_count_a_run_of_blanks_and_comments_as_one(line, column, index):
    assert caret_column(line, column) == index


class Terminal(io.StringIO):
    def isatty(self):
        return True


def folded(stream, lines):
    log = Log(stream)
    for line in lines:
        log.frame_line(line)
    log.write("end")
    return stream.getvalue()


def test_a_repeated_line_is_folded_into_a_count():
    assert folded(io.StringIO(), ["x"] + ["E"] * 5) == "x\nE\n    (the line above repeated 4 times)\nend\n"
    shown = folded(Terminal(), ["E"] * 5)
    assert shown.startswith("E\n\r\033[K    (the line above repeated 1 time)")
    assert shown.endswith("\r\033[K    (the line above repeated 4 times)\nend\n")


def test_a_repeated_block_is_folded_and_an_unfinished_repeat_shown():
    lines = ["A", "B", "C"] * 3 + ["A", "B"]
    assert folded(io.StringIO(), lines) == "A\nB\nC\n    (the 3 lines above repeated 2 times)\nA\nB\nend\n"
    assert folded(Terminal(), lines).endswith("\r\033[K    (the 3 lines above repeated 2 times)\nA\nB\nend\n")
