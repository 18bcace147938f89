"""The suite itself, with no display: a test marked fast that asks for a display is refused before anything
runs, one that draws all the same fails, and every test a planted fault's row names is one the suite has."""
import importlib.machinery
import importlib.util
import os
import subprocess

import pytest

from conftest import BUILD, REPO

pytestmark = pytest.mark.fast

MARKED = '''import os
import subprocess

import pytest


@pytest.mark.fast
def test_drawing(tmp_path):
    assert "DISPLAY" not in os.environ and "WAYLAND_DISPLAY" not in os.environ
    (tmp_path / "s.glsl").write_text("void mainImage(out vec4 c, in vec2 f) { c = vec4(1.0); }\\n")
    done = subprocess.run([%r, "s.glsl", "s.png"], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr


def test_on_a_display(xserver):
    pass
'''


def run_marked(folder, text, *options):
    """pytest, with the suite's settings and conftest, on a file of text in folder."""
    (folder / "test_marked.py").write_text(text)
    return subprocess.run(["/usr/bin/python3", "-m", "pytest", "-q", "-p", "no:cacheprovider", "-c",
                           str(REPO / "pytest.ini"), "--rootdir", str(folder), "-p", "conftest", *options,
                           str(folder / "test_marked.py")], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, PYTHONPATH=str(REPO / "tests")))


def test_a_fast_test_asking_for_a_display_is_refused_and_one_that_draws_fails(tmp_path):
    text = MARKED % str(BUILD / "quillomar-record")
    wrong = run_marked(tmp_path, text.replace("def test_on_a_display(xserver)", "@pytest.mark.fast\n"
                                              "def test_on_a_display(xserver)"), "-m", "fast")
    assert wrong.returncode == 4 and "marked fast but asking for a display: test_marked.py::test_on_a_display " \
                                     "(xserver)" in wrong.stderr, (wrong.stdout, wrong.stderr)
    drawing = run_marked(tmp_path, text, "-m", "fast")
    assert drawing.returncode == 1 and "1 failed, 1 deselected" in drawing.stdout, drawing.stdout
    assert "EGL gives no OpenGL 3.3 core context here" in drawing.stdout, drawing.stdout


def test_every_test_a_planted_faults_row_names_is_in_the_suite():
    loader = importlib.machinery.SourceFileLoader("mutants", str(REPO / "tools" / "mutants"))
    mutants = importlib.util.module_from_spec(importlib.util.spec_from_loader("mutants", loader))
    loader.exec_module(mutants)
    ids = mutants.collected()
    assert mutants.not_collected(ids) == []
    path, edits, _ = next(iter(mutants.COMPANION_MUTANTS.values()))
    mutants.COMPANION_MUTANTS["a row naming what is not there"] = (path, edits, [
        "tests/test_units.py::test_no_such_test", "tests/test_nothing.py", mutants.UNIT_PLAN])
    assert mutants.not_collected(ids) == ["tests/test_units.py::test_no_such_test", "tests/test_nothing.py"]
    done = subprocess.run([str(REPO / "tools" / "mutants"), "--anchors"], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0 and done.stdout.startswith("every one of the "), done.stdout + done.stderr
