"""Shader and GL failures: reported with the GL's own words, and the run goes on until the user ends it."""
import time

from conftest import near, parse_errors

USE = "glUseProgram(shaderProgram)"
BIND = "glBindVertexArray(VAO)"
FIRST_CHECK = "glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, 5 * sizeof(float), (void*)(3 * sizeof(float)))"
CLEAR = (51, 77, 77)

FRAGMENT_FAILED = b"ERROR::SHADER::FRAGMENT::COMPILATION_FAILED\n"
PROGRAM_FAILED = b"ERROR::SHADER::PROGRAM::LINKING_FAILED\n"

DOES_NOT_COMPILE = b"""#version 330 core
out vec4 FragColor;
void main()
{
    FragColor = vec4(undeclared_name, 1.0);
}
"""

# Compiles on its own; the vertex shader's `coord` is a vec2, so the link fails.
DOES_NOT_LINK = b"""#version 330 core
in vec3 coord;
out vec4 FragColor;
void main()
{
    FragColor = vec4(coord, 1.0);
}
"""

# `width` is an int here, so the viewer's float setting is refused every frame; the frame still draws.
INT_UNIFORM = b"""#version 330 core
in vec2 coord;
out vec4 FragColor;
uniform int width;
void main()
{
    FragColor = vec4(float(width) + 0.25, 0.75, coord.x > 2.0 ? 0.0 : 1.0, 1.0);
}
"""

VALID = b"""#version 330 core
out vec4 FragColor;
void main()
{
    FragColor = vec4(0.0, 0.0, 1.0, 1.0);
}
"""


def run_on(run_viewer, shader, settle=1.5, probe=None, **kwargs):
    """Runs the viewer for a while, ends it with Escape; returns (stdout, error lines, frames)."""
    v = run_viewer(shader, **kwargs)
    v.find_window()
    if probe is not None:
        v.wait_for(lambda: near(v.pixels([(960, 540)])[0], probe), what="the frame %r" % (probe,))
    time.sleep(settle)
    assert v.proc.poll() is None, "the run must go on after a shader failure"
    status, out, err = v.hold_escape()
    assert status == 0
    frames = v.swaps().swaps
    assert frames >= 3
    return out, parse_errors(err), frames


def split_log(out, header, next_header=None):
    """out is header + log + newline, then next_header and the rest if given; returns (log, rest)."""
    assert out.startswith(header), out
    body = out[len(header):]
    cut = body.index(next_header) if next_header else len(body)
    assert body[:cut].endswith(b"\n"), out
    return body[:cut - 1], body[cut:]


def assert_every_frame(errors, frames, per_frame):
    """The error lines are per_frame, repeated once for every presented frame."""
    assert errors == per_frame * frames


def test_compile_failure_reports_fragment_then_program_and_use_fails_every_frame(run_viewer):
    out, errors, frames = run_on(run_viewer, DOES_NOT_COMPILE, probe=CLEAR)
    assert out.startswith(DOES_NOT_COMPILE + b"\n")
    log, rest = split_log(out[len(DOES_NOT_COMPILE) + 1:], FRAGMENT_FAILED, PROGRAM_FAILED)
    assert b"undeclared_name" in log
    link_log, _ = split_log(rest, PROGRAM_FAILED)
    assert link_log.strip() != b""
    # glGetUniformLocation on the unlinked program raises too; the bind's check reports that.
    assert_every_frame(errors, frames, [(1282, USE, errors[0][2]), (1282, BIND, errors[1][2])])


def test_link_failure_reports_only_program(run_viewer):
    out, errors, frames = run_on(run_viewer, DOES_NOT_LINK, probe=CLEAR)
    assert out.startswith(DOES_NOT_LINK + b"\n")
    log, _ = split_log(out[len(DOES_NOT_LINK) + 1:], PROGRAM_FAILED)
    assert b"coord" in log
    assert [e[:2] for e in errors[:2]] == [(1282, USE), (1282, BIND)]
    assert_every_frame(errors, frames, errors[:2])


def test_missing_shader_file_echoes_an_empty_line_and_runs_on(run_viewer):
    out, errors, frames = run_on(run_viewer, None, probe=CLEAR)
    assert out.startswith(b"\n")
    assert PROGRAM_FAILED in out
    assert out.count(b"ERROR::SHADER::") in (1, 2)
    assert [e[:2] for e in errors[:2]] == [(1282, USE), (1282, BIND)]
    assert_every_frame(errors, frames, errors[:2])


def test_uniform_of_the_wrong_type_is_reported_at_the_bind_every_frame(run_viewer):
    # The refused setting leaves width at 0, so red is 0.25 (64) where the shader draws.
    out, errors, frames = run_on(run_viewer, INT_UNIFORM, probe=(64, 191, 255))
    assert out == INT_UNIFORM + b"\n"
    assert errors[:1] and errors[0][:2] == (1282, BIND)
    assert_every_frame(errors, frames, errors[:1])


def test_fragment_shader_the_gl_refuses_to_create_is_reported_as_failed(run_viewer):
    # With no fragment shader object, the status query is rejected and must not read as a success
    # left over from the vertex shader; the log is empty, never stale or uninitialised.
    out, errors, _ = run_on(run_viewer, VALID, env={"GLSHIM_NO_FRAGMENT_SHADER": "1"})
    assert out.startswith(VALID + b"\n" + FRAGMENT_FAILED + b"\n")
    # The rejected calls' errors wait for the first check of the run and are reported under its text.
    assert errors[0][:2] == (1281, FIRST_CHECK)
