"""What the preloaded libraries rely on in the viewer, held in one place: the viewer runs under the X
server with the shim recording its calls (GLSHIM_CALLS), and the start-up, a first and a later frame,
the end and the functions its binary imports are held against tests/viewer_calls.txt. A change to the
viewer that breaks an assumption fails here, naming it (docs/internals.md, "What we rely on in the
viewer")."""
import difflib
import re
import subprocess
import time
from pathlib import Path

import pytest

from conftest import BINARY, PATIENCE
from xsession import read_calls

CONTRACT = Path(__file__).resolve().parent / "viewer_calls.txt"

# A shader that has the three uniforms the viewer sets, all of them in use.
SHADER = b"""#version 330 core
in vec2 coord;
out vec4 FragColor;
uniform float width;
uniform float height;
uniform float iTime;
void main()
{
    FragColor = vec4(width / 4000.0, height / 4000.0, fract(iTime), coord.x * 0.5 + 0.5);
}
"""

# The frames recorded, and the part of the contract each is held against.
FRAMES = {"frame 0": "startup", "frame 1": "frame", "frame 3": "frame", "end": "end"}


def read_contract(path=CONTRACT):
    """{part: [(call, assumption), ...]} from the checked-in list."""
    parts, part, assumption = {}, None, None
    for line in path.read_text().splitlines():
        if not line or line.startswith("#"):
            continue
        if line.startswith("= "):
            part = parts.setdefault(line[2:], [])
        elif line.startswith("> "):
            assumption = line[2:]
        else:
            part.append((line, assumption))
    return parts


def imports(binary):
    """The GL, GLFW and clock functions the binary takes from shared libraries, sorted."""
    listed = subprocess.run(["nm", "-D", "--undefined-only", "-C", str(binary)], capture_output=True, text=True,
                            check=True, timeout=30).stdout
    names = (line.split(None, 1)[1].split("@")[0] for line in listed.splitlines() if line.strip())
    return sorted(n for n in names if n.startswith("gl") or re.search(r"clock|gettimeofday", n))


def call_name(line):
    return line.split(" ", 1)[0]


def assumption_of(extra, position, part, contract):
    """The assumption a call the contract does not have at position (in part) bears on: that of the same
    call nearest it in the same part, or of the same function there, or of the same call or function
    elsewhere; else that of the calls around it."""
    for same in (lambda line: line == extra, lambda line: call_name(line) == call_name(extra)):
        near = [(abs(i - position), a) for i, (line, a) in enumerate(contract[part]) if same(line)]
        if near:
            return min(near)[1]
        for lines in contract.values():
            for line, a in lines:
                if same(line):
                    return a
    around = contract[part][max(0, min(position, len(contract[part]) - 1))] if contract[part] else (None, None)
    return around[1]


def differences(part, recorded, contract):
    """[(assumption, what differs)] between the calls recorded and the contract's part."""
    expected = [line for line, _ in contract[part]]
    found = []
    for op, i1, i2, j1, j2 in difflib.SequenceMatcher(None, expected, recorded, autojunk=False).get_opcodes():
        if op == "equal":
            continue
        # What the viewer called in place of calls of the list bears on theirs; calls it added, on those
        # they are like.
        named = {a: None for _, a in contract[part][i1:i2]}
        for line in recorded[j1:j2] if op == "insert" else []:
            named.setdefault(assumption_of(line, i1, part, contract), None)
        after = " after %r" % recorded[j1 - 1] if j1 > 0 else " first"
        missing, extra = ", ".join(map(repr, expected[i1:i2])), ", ".join(map(repr, recorded[j1:j2]))
        what = ("called %s%s, where %s was expected" % (extra, after, missing) if op == "replace" else
                "called %s%s" % (extra, after) if op == "insert" else "did not call %s%s" % (missing, after))
        found += [(a, what) for a in named]
    return found


def judged(recorded, contract):
    """The message naming every assumption the recorded calls break, with the calls; None when they keep
    them all."""
    broken, diffs = {}, []
    for frame, part in [("the binary's imports", "imports")] + list(FRAMES.items()):
        calls = recorded.get(frame, [])
        for assumption, what in differences(part, calls, contract):
            broken.setdefault(assumption, {}).setdefault(what, []).append(frame)
        expected = [line for line, _ in contract[part]]
        diffs += difflib.unified_diff(expected, calls, "%s: %s" % (CONTRACT.name, part), frame, lineterm="")
    if not broken:
        return None
    return "the viewer no longer does what the preloaded libraries rely on (docs/internals.md, \"What we rely on " \
        "in the viewer\"):\n" + "".join(
            "- %s\n%s" % (a, "".join("    in %s, the viewer %s\n" % (" and ".join(frames), what)
                                     for what, frames in whats.items())) for a, whats in broken.items()) + \
        "\n".join(diffs)


def test_the_viewer_makes_the_calls_the_preloaded_libraries_rely_on(run_viewer, tmp_path):
    calls = tmp_path / "calls"
    v = run_viewer(SHADER, env={"GLSHIM_CALLS": calls, "GLSHIM_CALLS_FRAMES": " ".join(f.split()[-1] for f in FRAMES)})
    v.find_window()
    # Frame 3 is written once frame 4 begins; a viewer that never gets there is judged on what it did.
    deadline = time.monotonic() + PATIENCE
    while "frame 3" not in read_calls(calls) and time.monotonic() < deadline and v.proc.poll() is None:
        time.sleep(0.05)
    try:
        status = "exit status %d" % v.hold_escape()[0]
    except AssertionError as e:
        status = str(e)
    recorded = read_calls(calls)
    recorded.setdefault("end", []).append(status)
    recorded["the binary's imports"] = imports(BINARY)
    message = judged(recorded, read_contract())
    if message is not None:
        pytest.fail(message)
