"""The shader text echoed byte for byte, and the two ways a user ends a run."""
import pytest

from conftest import near

BODY = (b"#version 330 core",
        b"out vec4 FragColor;",
        b"void main()",
        b"{",
        b"    FragColor = vec4(1.0, 0.5, 0.0, 1.0);",
        b"}")
ORANGE = (255, 128, 0)

VARIANTS = {
    "trailing newline": b"\n".join(BODY) + b"\n",
    "no trailing newline": b"\n".join(BODY),
    "crlf line endings": b"\r\n".join(BODY) + b"\r\n",
    # The GL reads the text up to the NUL; everything after it would not compile.
    "nul inside": b"\n".join(BODY) + b"\n\0 this is not GLSL {{{\n",
}


@pytest.mark.parametrize("shader", VARIANTS.values(), ids=VARIANTS.keys())
def test_echo_is_the_file_plus_one_newline_and_escape_ends_cleanly(run_viewer, shader):
    v = run_viewer(shader)
    v.find_window()
    v.wait_for(lambda: near(v.pixels([(960, 540)])[0], ORANGE), what="the orange frame")
    status, out, err = v.hold_escape()
    assert status == 0
    assert out == shader + b"\n"
    assert err == b""
    assert v.swaps().swaps >= 1


def test_close_button_ends_the_run_with_status_zero(run_viewer):
    shader = VARIANTS["trailing newline"]
    v = run_viewer(shader)
    v.find_window()
    v.wait_for(lambda: near(v.pixels([(0, 0)])[0], ORANGE), what="the orange frame")
    assert v.proc.poll() is None
    status, out, err = v.request_close()
    assert (status, out, err) == (0, shader + b"\n", b"")
