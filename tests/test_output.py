"""What the viewer writes: the shader text echoed byte for byte, the GL's build logs, one error line per
pending GL error under the statement that found it (every frame, where the fault is in every frame), and
status 0 when the user ends the run with Escape, whatever the file held."""
import random
import time

import pytest

from conftest import near, parse_errors

FIRST_CHECK = "glVertexAttribPointer(1, 2, GL_FLOAT, GL_FALSE, 5 * sizeof(float), (void*)(3 * sizeof(float)))"
ENABLE = "glEnableVertexAttribArray(1)"
USE, BIND, DRAW = "glUseProgram(shaderProgram)", "glBindVertexArray(VAO)", "glDrawArrays(GL_TRIANGLES, 0, 6)"
CLEAR = (51, 77, 77)


def shader(*body, head=b"out vec4 FragColor;\n"):
    return b"#version 330 core\n" + head + b"void main()\n{\n" + b"".join(body) + b"}\n"


ORANGE = shader(b"    FragColor = vec4(1.0, 0.5, 0.0, 1.0);\n")
LONG_NAME = b"an_identifier_that_nobody_declared_" * 20

# The text exactly as an editor may leave it: none of these may change the echo or end the run.
ECHOES = {
    "trailing newline": ORANGE,
    "no trailing newline": ORANGE[:-1],
    "crlf line endings": ORANGE.replace(b"\n", b"\r\n"),
    # The GL reads the text up to the NUL; what follows would not compile.
    "nul inside": ORANGE + b"\0 this is not GLSL {{{\n",
    "utf-8 byte-order mark": b"\xef\xbb\xbf" + ORANGE,
    "invalid utf-8": ORANGE.replace(b"void", b"// \xff\xfe\xc3\x28 \xed\xa0\x80 \xf8\x88\x80\x80\x80\nvoid"),
    "random bytes": random.Random(20261206).randbytes(300 * 1024),
    "nul bytes only": b"\0" * 4096,
    # A valid shader and 20 MiB of comment lines, so the GL too has to get through all of it.
    "twenty mib": ORANGE + (b"// " + b"0123456789abcdef" * 4 + b"\n") * (20 * 1024 * 1024 // 68),
}


def stages(rest):
    """What follows the echo, checked to be only build failure messages; returns {stage: log}."""
    logs = {}
    while rest:
        header, _, rest = rest.partition(b"\n")
        assert header.startswith(b"ERROR::SHADER::") and header.count(b"::") == 3, header
        following = rest.find(b"ERROR::SHADER::")
        log, rest = (rest, b"") if following < 0 else (rest[:following], rest[following:])
        assert log.endswith(b"\n")
        logs[header[len(b"ERROR::SHADER::"):].decode()] = log[:-1]
    return logs


def run_until_escape(run_viewer, content, probe=None, settle=0.0, **kwargs):
    """Runs the viewer until a frame (with probe at the centre) is up, then holds Escape; returns what
    stdout has after the echo, the error lines and the viewer."""
    v = run_viewer(content, **kwargs)
    v.find_window()
    v.wait_for(lambda: near(v.pixels([(960, 540)])[0], probe) if probe else v.pixels([(0, 0)])[0] != (0, 0, 0),
               what="a frame, %r at the centre" % (probe,) if probe else "a frame, not black at the top left")
    time.sleep(settle)
    status, out, err = v.hold_escape()
    assert status == 0
    echo = (content or b"") + b"\n"
    assert out.startswith(echo), "the echo is not the file's bytes and one newline: %r" % out[:200]
    return out[len(echo):], parse_errors(err), v


@pytest.mark.parametrize("content", ECHOES.values(), ids=ECHOES.keys())
def test_any_file_is_echoed_exactly_and_the_run_goes_on(run_viewer, content):
    built = content.startswith(b"#version")
    rest, errors, v = run_until_escape(run_viewer, content, probe=(255, 128, 0) if built else None)
    if built:  # (no == on what may be long: pytest would take minutes to explain the difference)
        assert rest == b"" and not errors, "a shader that builds adds nothing: %r %r" % (rest[:200], errors[:4])
    else:
        assert "PROGRAM::LINKING_FAILED" in stages(rest)
    if len(content) > 1 << 20:
        log = v.swaps()
        print("\nread and echoed %d bytes in %.3f s" % (len(content), log.shader - log.loaded))
        assert log.shader - log.loaded < 1.0, "from the end of GL loading to the first shader object"


COMPILE = "FRAGMENT::COMPILATION_FAILED"
LINK = "PROGRAM::LINKING_FAILED"
SAMPLERS = (b"    FragColor = texture(image, coord) + texture(sky, vec3(coord, 1.0));\n",)

# Two errors a line: the GL's log runs well past the 511 characters that are printed of it.
MANY_ERRORS = shader(*(b"    FragColor += vec4(undeclared_%02d);\n" % n for n in range(12)))

# content, preload switches, {message: text the GL's log holds, b"" for an empty one, None for any}, first
# errors, errors of every frame, probe
FAILURES = {
    "does not compile": (MANY_ERRORS, {}, {COMPILE: b"undeclared_11", LINK: None}, [], [(1282, USE), (1282, BIND)],
                         CLEAR),
    # The vertex shader's coord is a vec2.
    "does not link": (shader(b"    FragColor = vec4(coord, 1.0);\n", head=b"in vec3 coord;\nout vec4 FragColor;\n"),
                      {}, {LINK: b"coord"}, [], [(1282, USE), (1282, BIND)], CLEAR),
    "missing file": (None, {}, {COMPILE: None, LINK: None}, [], [(1282, USE), (1282, BIND)], CLEAR),
    # The viewer's float setting of an int is refused; the GL leaves width at 0, so red is 0.25.
    "int uniform": (shader(b"    FragColor = vec4(float(width) + 0.25, 0.75, 1.0, 1.0);\n",
                           head=b"out vec4 FragColor;\nuniform int width;\n"),
                    {}, {}, [], [(1282, BIND)], (64, 191, 255)),
    # Two samplers of different types on texture unit 0, as a pasted multi-channel shader leaves them:
    # the draw itself fails.
    "samplers on one unit": (shader(*SAMPLERS, head=b"in vec2 coord;\nout vec4 FragColor;\n"
                                    b"uniform sampler2D image;\nuniform samplerCube sky;\n"),
                             {}, {}, [], [(1282, DRAW)], CLEAR),
    # Without a fragment shader object the status query fails; it must not read as the vertex stage's
    # success. The rejected calls' error waits for the first check of the run.
    "fragment shader refused": (ORANGE, {"GLSHIM_NO_FRAGMENT_SHADER": "1"}, {COMPILE: b""},
                                [(1281, FIRST_CHECK)], None, None),
    # A driver that keeps several flags: all pending errors come out, in the GL's order, under the
    # statement whose check found them. Attribute 0's enable is not checked; the next check reports it.
    "several pending errors": (ORANGE, {"GLSHIM_RAISE": "glEnableVertexAttribArray=1281,1280;"
                                                        "glDrawArrays=1285,1282"}, {},
                               [(1281, FIRST_CHECK), (1280, FIRST_CHECK), (1281, ENABLE), (1280, ENABLE)],
                               [(1285, DRAW), (1282, DRAW)], (255, 128, 0)),
}


@pytest.mark.parametrize("content, env, messages, first, per_frame, probe", FAILURES.values(), ids=FAILURES.keys())
def test_failures_are_reported_in_the_gls_words_and_the_run_goes_on(run_viewer, content, env, messages, first,
                                                                    per_frame, probe):
    rest, errors, v = run_until_escape(run_viewer, content, probe, settle=0.3, env=env)
    logs, log = stages(rest), v.swaps()
    assert list(logs) == list(messages)
    # Each message carries the log the GL holds for that stage (read whole by the preload), cut only where
    # it is longer than 511 characters.
    whole = [text or b"" for _, text in v.info_logs()]
    assert len(whole) == len(logs), "one log query per message"
    for (message, text), printed, held in zip(messages.items(), logs.values(), whole):
        assert text is None or (text in held if text else held == b""), (message, held[-300:])
        assert printed == held[:511], "%s: printed %d characters %r, the GL holds %d: %r" % (
            message, len(printed), printed[-80:], len(held), held[:511][-80:])
    assert errors[:len(first)] == first
    if per_frame is not None:
        lines = errors[len(first):]
        same = lines == per_frame * log.swaps
        assert log.swaps >= 3 and same, "not %r for each of %d frames: %d lines, from %r" % (
            per_frame, log.swaps, len(lines), lines[:4])
