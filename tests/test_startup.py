"""Start-up failures: one line on stdout, nothing on stderr, exit status 255 (main returns -1)."""
import pytest

from conftest import start_xvfb, stop

SHADER = b"#version 330 core\nout vec4 FragColor;\nvoid main() { FragColor = vec4(1.0); }\n"


def run_to_exit(run_viewer, **kwargs):
    v = run_viewer(SHADER, **kwargs)
    return v.finish(timeout=30)


def test_no_display_at_all(run_viewer):
    assert run_to_exit(run_viewer, xdisplay=None) == (255, b"Failed to create GLFW window\n", b"")


@pytest.fixture
def server_without_glx():
    proc, name = start_xvfb("-extension", "GLX")
    yield name
    stop(proc)


def test_x_server_without_glx(run_viewer, server_without_glx):
    assert run_to_exit(run_viewer, xdisplay=server_without_glx) == (255, b"Failed to create GLFW window\n", b"")


def test_gl_entry_points_unavailable(run_viewer):
    status, out, err = run_to_exit(run_viewer, env={"GLSHIM_NO_PROCS": "1"})
    assert (status, out, err) == (255, b"Failed to initialize GLAD\n", b"")

