"""Start-up failures: one line on stdout, nothing on stderr, exit status 255 (main returns -1)."""
import pytest

CASES = {
    "no display at all": (None, {}, b"Failed to create GLFW window\n"),
    "x server without glx": ("no_glx_xserver", {}, b"Failed to create GLFW window\n"),
    "gl entry points unavailable": ("xserver", {"GLSHIM_NO_PROCS": "1"}, b"Failed to initialize GLAD\n"),
}


@pytest.mark.parametrize("server, env, message", CASES.values(), ids=CASES.keys())
def test_startup_failure_prints_one_line_and_returns_minus_one(request, run_viewer, server, env, message):
    v = run_viewer(b"#version 330 core\nout vec4 c;\nvoid main() { c = vec4(1.0); }\n", env=env,
                   xdisplay=server and request.getfixturevalue(server))
    assert v.finish(timeout=30) == (255, message, b"")
