"""The dialect of a shader's text, as the preload libraries will take it: asked of translate, which
runs their own table of dialects, so that no rule of it is written twice."""
import os
import subprocess
import tempfile

from quillomar import Failure, paths
from quillomar.lines import unescaped

# The names of the dialects the commands name themselves (#iDialect lines, and a pass's kind), as the
# table has them (facts.get().dialects lists them all).
MAIN_IMAGE = "mainImage"
CUBEMAP = "mainCubemap"


def dialect(text):
    """The name of the dialect of text (bytes): one of the table's (facts.get().dialects: "mainImage",
    "mainCubemap", "Book of Shaders", ...) for a text that gets a prelude, "none" for a text the GL gets as
    it is."""
    with tempfile.NamedTemporaryFile(prefix="quillomar-", suffix=".glsl") as f:
        f.write(text)
        f.flush()
        done = subprocess.run([str(paths.translate()), "--dialect", f.name], capture_output=True, text=True)
    if done.returncode != 0:
        raise Failure("translate could not tell the dialect: %s" % (done.stderr.strip() or done.returncode))
    return done.stdout.strip()


def translated(path, include=()):
    """The text the GL gets for the shader file at path, its includes looked for beside it and then in
    the folders include."""
    command = [str(paths.translate())] + [word for folder in include for word in ("-I", str(folder))] + [str(path)]
    done = subprocess.run(command, capture_output=True)
    if done.returncode != 0:
        raise Failure("translate failed: %s" % (done.stderr.decode(errors="replace").strip() or done.returncode))
    return done.stdout


def made_of(path, include=()):
    """The files the text of the shader file at path is made of: path, then each file it includes (beside
    it, then in the folders include), as the libraries find them."""
    command = [str(paths.translate()), "--files"] + [w for folder in include for w in ("-I", str(folder))] + [str(path)]
    done = subprocess.run(command, capture_output=True)
    if done.returncode != 0:
        raise Failure("translate failed: %s" % (done.stderr.decode(errors="replace").strip() or done.returncode))
    return [os.fsdecode(unescaped(line)) for line in done.stdout.split(b"\n") if line]
