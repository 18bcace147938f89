"""The preloaded C in its layers, with no display: tools/layers passes the tree as it is and names each
upward include, GL header below the GL's layer and loop of pieces planted in a copy of it; translate, made
of the base and text layers alone, needs no GL, no FFTW and no dynamic lookup of functions."""
import os
import shutil
import subprocess
from pathlib import Path

import pytest

pytestmark = pytest.mark.fast

REPO = Path(__file__).resolve().parent.parent
BUILD = Path(os.environ.get("QUILLOMAR_BUILD", REPO / "build")).resolve()
PRELOAD = "companions/preload"


def layers(root):
    done = subprocess.run([str(REPO / "tools" / "layers"), str(root)], capture_output=True, text=True, timeout=60)
    return done.returncode, done.stdout.splitlines()


def plant(root, name, after, added):
    path = root / PRELOAD / name
    text = path.read_text()
    assert text.count(after) == 1
    path.write_text(text.replace(after, after + added))


def test_the_layers_check_passes_the_tree_and_names_each_call_upwards_and_each_loop(tmp_path):
    assert layers(REPO) == (0, [])
    shutil.copytree(REPO / PRELOAD, tmp_path / PRELOAD)
    assert layers(tmp_path) == (0, [])
    # The text layer asking the passes for its channels' samplers, as it once did.
    plant(tmp_path, "text/inputs.h", '#include "text/source.h"\n', '#include "passes/passes.h"\n')
    # The text layer with the GL's names, and a header written as no layer's.
    plant(tmp_path, "text/keys.h", '#include "base/base.h"\n', '#include <glad/gl.h>\n#include "kinds.h"\n')
    # Two pieces of one layer that include each other.
    plant(tmp_path, "gl/keyboard.c", '#include "gl/units.h"\n', '#include "gl/channels.h"\n')
    # The C++ piece, live's overlay, held to the same rules.
    plant(tmp_path, "live/overlay.cpp", '#include "live/overlay.h"\n', '#include "overlay.h"\n')
    status, said = layers(tmp_path)
    assert status == 1
    assert 'companions/preload/text/inputs.h:11: "passes/passes.h" is of the passes layer, above text' in said
    assert "companions/preload/text/keys.h:9: <glad/gl.h> in the text layer, which knows no GL" in said
    assert 'companions/preload/text/keys.h:10: "kinds.h" is not a header of a layer ("LAYER/NAME.h")' in said
    assert "pieces include each other in a loop: gl/channels -> gl/keyboard -> gl/channels" in said
    assert 'companions/preload/live/overlay.cpp:8: "overlay.h" is not a header of a layer ("LAYER/NAME.h")' \
        in said
    assert ("pieces include each other in a loop: passes/passes -> programs/program -> text/dialects -> "
            "text/inputs -> passes/passes") in said
    # One library's piece reaching into another's: the recorder asking live's clock.
    plant(tmp_path, "record/renders.c", '#include "record/renders.h"\n', '#include "live/clock.h"\n')
    status, said = layers(tmp_path)
    assert any(line.startswith("companions/preload/record/renders.c:") and
               line.endswith('"live/clock.h" is of the live library, not of record') for line in said)
    # A piece left beside the folders is in no layer.
    (tmp_path / PRELOAD / "stray.c").write_text('#include "base/base.h"\n')
    assert "companions/preload/stray.c: in no layer's folder (%s)" % ", ".join(
        ["base", "text", "gl", "programs", "passes", "viewer", "live", "record", "headless"]) in layers(tmp_path)[1]


def test_translate_links_no_gl_no_fftw_and_looks_no_function_up():
    needed = subprocess.run(["readelf", "-d", str(BUILD / "translate")], capture_output=True, text=True,
                            check=True).stdout
    libraries = sorted(line.split("[")[1].split("]")[0] for line in needed.splitlines() if "(NEEDED)" in line)
    assert libraries == ["libc.so.6", "libm.so.6"]
    symbols = subprocess.run(["nm", str(BUILD / "translate")], capture_output=True, text=True, check=True).stdout
    names = {line.split()[-1].split("@")[0] for line in symbols.splitlines() if line.strip()}
    assert {"dialect_text", "includes_expand", "inputs_declarations"} <= names
    assert not {n for n in names if n.startswith(("gl", "fftw", "dl", "preload_gl", "preload_next", "channels_",
                                                  "program_", "passes_"))}
