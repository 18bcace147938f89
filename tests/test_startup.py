"""Start-up failures: one line on stdout, nothing on stderr, exit status 255 (main returns -1)."""
import pytest

from conftest import start_xvfb, stop

CASES = {
    "no display at all": ({"xdisplay": None}, b"Failed to create GLFW window\n"),
    "x server without glx": ({"xdisplay": "no-glx"}, b"Failed to create GLFW window\n"),
    "gl entry points unavailable": ({"env": {"GLSHIM_NO_PROCS": "1"}}, b"Failed to initialize GLAD\n"),
}


@pytest.mark.parametrize("how, message", CASES.values(), ids=CASES.keys())
def test_startup_failure_prints_one_line_and_returns_minus_one(run_viewer, how, message):
    server, how = None, dict(how)
    if how.get("xdisplay") == "no-glx":
        server, how["xdisplay"] = start_xvfb("-extension", "GLX")
    try:
        v = run_viewer(b"#version 330 core\nout vec4 c;\nvoid main() { c = vec4(1.0); }\n", **how)
        assert v.finish(timeout=30) == (255, message, b"")
    finally:
        if server is not None:
            stop(server)
