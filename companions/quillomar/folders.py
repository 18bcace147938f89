"""A folder in the site's own layout read as one shader: Image.glsl, Common.glsl, Buffer A.glsl to Buffer
D.glsl, Cube A.glsl and Sound.glsl (with or without the space, in any case, or with _ or - for it). The
Image pass is the one drawn; Common's text comes first in every pass, as an #include would put it; the
channels still come from the directives in the files (directives.py), and the buffers are drawn A, B, C,
D, as the site draws them, unless Image.glsl says otherwise (#iPasses). Sound.glsl is the Sound pass
unless Image.glsl names one (#iSound).

Nothing is written into the user's folder: the plan names, for each pass of the folder, a text made in
the command's working folder that says the pass's dialect and includes Common.glsl and the pass's own
file, so that the files built, watched and named in messages are the user's own."""
import os
import re
from pathlib import Path

from quillomar import Failure, dialects, directives, facts
from quillomar.directives import real

# The site's names of a shader's files, each as it is written with its spaces and case taken out.
ROLES = {"image": "Image", "common": "Common", "buffera": "Buffer A", "bufferb": "Buffer B",
         "bufferc": "Buffer C", "bufferd": "Buffer D", "cubea": "Cube A", "sound": "Sound"}
BUFFERS = ("Buffer A", "Buffer B", "Buffer C", "Buffer D")
# The dialect each kind of pass of the site is in, whatever else its text holds (a Sound pass is
# recognised by its mainSound).
DIALECTS = {"image": dialects.MAIN_IMAGE, "buffer": dialects.MAIN_IMAGE, "cube": dialects.CUBEMAP}
# Where the texts made for the passes go, in the working folder.
MADE_FOLDER = "folder"
# The texts made, each with the user's file it was made for.
MADE = {}


def role(name):
    """The site's name of the file named name ("Buffer A" for "buffer_a.glsl"), or None."""
    stem, dot, suffix = str(name).rpartition(".")
    if not dot or suffix.lower() != "glsl":
        return None
    return ROLES.get(re.sub(r"[ _\-]", "", stem).lower())


def layout(folder):
    """{the site's name: the file} of the folder's files in the site's layout."""
    found = {}
    try:
        names = sorted(os.listdir(folder))
    except OSError as e:
        raise Failure("cannot read the folder %s: %s" % (folder, e.strerror or e))
    for name in names:
        site = role(name)
        if site is None or not (Path(folder) / name).is_file():
            continue
        if site in found:
            raise Failure("%s has both %s and %s for %s: keep one" % (folder, found[site].name, name, site))
        found[site] = Path(folder) / name
    return found


def unwired(found, ordered):
    """A line for each buffer or cube map file of the folder that no pass reads, with the directive that
    would read it: in the Image pass, else in a buffer or cube map pass, on a channel it leaves free (each
    channel offered once)."""
    read = {real(p.path) for p in ordered}
    free = [(p, n) for p in [ordered[-1]] + [p for p in ordered[:-1] if p.kind in ("buffer", "cube")]
            for n in range(facts.get().channels) if n not in p.channels]
    said = []
    for site in BUFFERS + ("Cube A",):
        path = found.get(site)
        if path is None or real(path) in read:
            continue
        if not free:
            said.append("%s is not read by any pass, and every channel of its passes is taken" % path.name)
            continue
        reader, n = free.pop(0)
        target = os.path.relpath(path, Path(reader.path).parent)
        said.append('%s is not read by any pass: to read it in %s, write #iChannel%d "file://%s" (a free channel)'
                    % (path.name, Path(reader.path).name, n, target))
    return said


def folder_passes(folder, given=None):
    """The passes of the shader in folder, in the order they are drawn (as directives.image_passes has them),
    each file of the folder with Common.glsl to include first; and what is to be said of its files that
    no pass reads. given ({N: path}, the --channelN options) wins over Image.glsl's directives."""
    folder = Path(folder)
    found = layout(folder)
    if "Image" not in found:
        raise Failure("%s has no Image.glsl: a folder in the site's layout has Image.glsl (the pass drawn), and "
                      "Common.glsl, Buffer A.glsl to Buffer D.glsl, Cube A.glsl and Sound.glsl as it needs them"
                      % folder)
    image = found["Image"]
    ordered = directives.image_passes(image, given)
    text = directives.file_text(image)
    sound = [p for p in ordered if p.kind == "sound"]
    if not sound and "Sound" in found:
        sound = [directives.Pass(found["Sound"], "sound", {})]
    if not directives.ORDER.search(text):  # the site's order: A, B, C, D, then any other buffer
        rank = {real(found[b]): n for n, b in enumerate(BUFFERS) if b in found}
        buffers = sorted((p for p in ordered if p.kind == "buffer"), key=lambda p: rank.get(real(p.path), len(rank)))
        ordered = buffers + [p for p in ordered if p.kind not in ("buffer", "sound")]
    ordered = sound + [p for p in ordered if p.kind != "sound"]
    most = facts.get().most_passes
    if len(ordered) > most:
        raise Failure("%s has %d passes; %d at most" % (folder, len(ordered), most))
    common = (found["Common"],) if "Common" in found else ()
    ordered = [p._replace(first=() if common and includes(p.path, common[0]) else common)
               if real(Path(p.path).parent) == real(folder) else p for p in ordered]
    return ordered, unwired(found, ordered)


# The preprocessor's lines that open and close a conditional block.
OPENS = re.compile(r"\s*#\s*if(n?def)?\b")
CLOSES = re.compile(r"\s*#\s*endif\b")


def includes(path, common):
    """Whether the text at path includes the file common itself, outside any #if block, as a file written to
    be built alone does: then Common.glsl is not put before it a second time. (One included only where a
    macro says so, #ifdef STANDALONE, say, is left to that macro.)"""
    depth = 0
    for line in directives.file_text(path).splitlines():
        if OPENS.match(line):
            depth += 1
        elif CLOSES.match(line):
            depth = max(depth - 1, 0)
        elif depth == 0:
            included = directives.INCLUDE.match(line)
            name = included and (included[2] or included[3])
            if name and real(Path(path).parent / name) == real(Path(common)):
                return True
    return False


def made(p, workdir):
    """The text made in workdir for pass p of a folder (p.first not None): its dialect, then each of p.first
    and p's own file included, in that order. Returns its path: the Image pass's is named after the folder
    (as the window's title names it), another's after its file. Made again (Common.glsl added, say), it
    replaces the one before, which the library watches."""
    folder = Path(workdir) / MADE_FOLDER
    whole = Path(os.path.abspath(p.path))
    if p.kind == "image":
        folder = folder / "image"
        out = folder / (whole.parent.name or "shader")
    else:
        out = folder / whole.name
    lines = ['#iDialect "%s"' % DIALECTS[p.kind]] if p.kind in DIALECTS else []
    for included in list(p.first) + [whole]:
        included = os.path.abspath(included)
        if '"' in included or "\n" in included:
            raise Failure('%s: a path with a " or a line break in it cannot be included' % included)
        lines.append('#include "%s"' % included)
    text = os.fsencode("\n".join(lines) + "\n")
    try:
        folder.mkdir(parents=True, exist_ok=True)
        if not out.is_file() or out.read_bytes() != text:  # made again: replaced whole, as a save
            new = out.with_name("." + out.name + ".new")
            new.write_bytes(text)
            os.replace(new, out)
    except OSError as e:
        raise Failure("cannot write %s: %s" % (out, e.strerror or e))
    MADE[str(out)] = whole
    return out


def shown(path, given):
    """How messages name path, a file of the shader in the folder given (as the user gave it): a text made
    for a pass, or a file of the folder, by the user's file in given; another as it is."""
    path = MADE.get(str(path), Path(path))
    if real(Path(path).parent) == real(given):
        return str(Path(given) / Path(path).name)
    return str(path)
