"""The preloaded C in its layers, with no display: tools/layers passes the tree as it is and names each
upward include, GL header below the GL's layer and loop of pieces planted in a copy of it, and each loop
of calls, call past a header, function declared in another piece's header and write to another piece's
variable; translate, made
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


def test_the_layers_check_follows_the_calls_between_pieces(tmp_path):
    shutil.copytree(REPO / PRELOAD, tmp_path / PRELOAD)
    # The divider saying the title again itself: live's saves and its divider calling each other, which
    # no include shows the other way.
    plant(tmp_path, "live/divider.c", '#include "live/divider.h"\n', "\nvoid retitle(void);\n")
    plant(tmp_path, "live/divider.c", "    divider = d >= 1 && d <= MOST_DIVIDER ? d : 1;\n", "    retitle();\n")
    status, said = layers(tmp_path)
    assert status == 1
    assert said == ["companions/preload/live/divider.c:24: calls retitle of live/saves without its header "
                    "(live/saves.h)", "pieces call each other in a loop: live/divider -> live/saves -> live/divider"]
    # With the header, the includes show the loop as well.
    plant(tmp_path, "live/divider.c", '#include "live/divider.h"\n', '#include "live/saves.h"\n')
    assert layers(tmp_path)[1] == [
        "pieces include each other in a loop: live/divider -> live/saves -> live/divider",
        "pieces call each other in a loop: live/divider -> live/saves -> live/divider"]
    # A longer loop, through the clock: the divider asks whether time is paused.
    shutil.rmtree(tmp_path / PRELOAD)
    shutil.copytree(REPO / PRELOAD, tmp_path / PRELOAD)
    plant(tmp_path, "live/divider.h", '#include "gl/target.h"\n', '#include "live/clock.h"\n')
    plant(tmp_path, "live/divider.c", "    divider = d >= 1 && d <= MOST_DIVIDER ? d : 1;\n",
          "    if (clock_paused())\n        return;\n")
    plant(tmp_path, "live/clock.c", '#include "live/session.h"\n', '#include "live/divider.h"\n')
    plant(tmp_path, "live/clock.c", "long long clock_now(void)\n{\n", "    divider_set(1);\n")
    assert "pieces call each other in a loop: live/clock -> live/divider -> live/clock" in layers(tmp_path)[1]
    # The recorder calling live's clock with a declaration of its own, past every header.
    plant(tmp_path, "record/renders.c", '#include <math.h>\n', "long long clock_now(void);\n")
    plant(tmp_path, "record/renders.c", '#include <math.h>\n',
          "static long long later(void)\n{\n    return clock_now();\n}\n")
    said = layers(tmp_path)[1]
    assert any(line.startswith("companions/preload/record/renders.c:") and
               line.endswith(": calls clock_now of live/clock without its header (live/clock.h)") for line in said)
    # A function of the divider's declared in the saves' header, as live.h once held the divider's.
    plant(tmp_path, "live/saves.h", '#include "passes/passes.h"\n', "\nint divider_twice(void);\n")
    plant(tmp_path, "live/divider.c", '#define MOST_DIVIDER 8\n',
          "\nint divider_twice(void)\n{\n    return 2;\n}\n")
    assert ("companions/preload/live/divider.c: divider_twice is declared in live/saves.h, not in its own "
            "piece's header (live/divider.h)") in layers(tmp_path)[1]
    # live's policy setting a key down in the keyboard's own state.
    plant(tmp_path, "live/live.c", "static void polled(void)\n{\n", "    keyboard.serial++;\n")
    assert any(line.startswith("companions/preload/live/live.c:") and
               line.endswith(": writes keyboard, which is gl/keyboard's (gl/keyboard.h)")
               for line in layers(tmp_path)[1])


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


def needed(path):
    dynamic = subprocess.run(["readelf", "-d", str(path)], capture_output=True, text=True, check=True).stdout
    return {line.split("[")[1].split("]")[0].split(".so")[0] for line in dynamic.splitlines() if "(NEEDED)" in line}


def left_over(library):
    """The symbols library uses that neither it nor a library it names has, as ldd -r finds them."""
    done = subprocess.run(["ldd", "-r", str(library)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return [line.split()[2] for line in (done.stdout + done.stderr).splitlines() if "undefined symbol:" in line]


def test_every_library_has_each_symbol_it_uses_and_looks_up_the_gl_and_glfw(tmp_path):
    # What the check sees: a library linked with a symbol left over (as one is, where undefined symbols
    # are allowed, that calls a piece only another library has).
    (tmp_path / "short.c").write_text("long long clock_now(void);\nlong long later(void) { return clock_now(); }\n")
    subprocess.run(["cc", "-shared", "-fPIC", "-o", str(tmp_path / "libshort.so"), str(tmp_path / "short.c")],
                   check=True, timeout=60)
    assert left_over(tmp_path / "libshort.so") == ["clock_now"]
    # Each preloaded library, as the dynamic linker would load it alone with the libraries it names: no
    # symbol left over for the viewer to have (a piece of live's called from the recorder, say), which
    # would only show once preloaded.
    for name in ("quillomar-live", "quillomar-record", "quillomar-headless", "glshim"):
        library = BUILD / ("lib%s.so" % name)
        assert left_over(library) == [], name
        # The GL's and GLFW's functions the hooks wrap are looked up, never linked: only the overlay's
        # GLFW backend, in live, names GLFW; none names the GL.
        libraries = needed(library)
        assert ("libglfw" in libraries) == (name == "quillomar-live"), (name, libraries)
        assert not {n for n in libraries if n.startswith(("libGL", "libOpenGL"))}, (name, libraries)
    assert "libEGL" in needed(BUILD / "libquillomar-headless.so")
