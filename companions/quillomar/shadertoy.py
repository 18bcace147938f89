"""Shadertoy's JSON for one shader, in both forms people have it: the site's own (ver, info, renderpass;
inputs with id, filepath, type, channel, sampler), as the page loads it and as archives keep it, and the
public API's (wrapped in Shader; inputs with id, src, ctype, channel, sampler). What the commands draw of
it so far: the Image pass with the Common pass before it, and image channels, from a media folder that
holds the site's files by name."""
import json
import os
from pathlib import Path
from typing import NamedTuple

from quillomar import Failure


class Input(NamedTuple):
    channel: int
    kind: str  # texture, buffer, keyboard, cubemap, volume, video, music, ...
    path: str  # the site's path of the file, e.g. /media/a/NAME.png


class Pass(NamedTuple):
    kind: str  # image, buffer, common, cubemap, sound
    name: str
    code: str
    inputs: list


def load(path):
    """The passes of the shader in the JSON file at path."""
    try:
        data = json.loads(Path(path).read_bytes()[:64 << 20])
    except (OSError, ValueError) as e:
        raise Failure("cannot read %s as a shader's JSON: %s" % (path, getattr(e, "strerror", None) or e))
    if isinstance(data, dict) and isinstance(data.get("Shader"), dict):
        data = data["Shader"]
    if isinstance(data, list) and data and isinstance(data[0], dict):
        data = data[0]  # an export of one shader as a list
    passes = data.get("renderpass") if isinstance(data, dict) else None
    if not isinstance(passes, list):
        raise Failure("%s is not a shader's JSON: it has no renderpass" % path)
    found = []
    for p in passes:
        inputs = [Input(int(i.get("channel", 0)), str(i.get("type", i.get("ctype", ""))),
                        str(i.get("filepath", i.get("src", "")))) for i in p.get("inputs") or []]
        found.append(Pass(str(p.get("type", "")), str(p.get("name", "")), str(p.get("code", "")), inputs))
    return found


def media_folders(given):
    """The folders media is looked for in: given (--media), then QUILLOMAR_MEDIA (colon-separated)."""
    return [Path(f) for f in given] + [Path(f) for f in os.environ.get("QUILLOMAR_MEDIA", "").split(":") if f]


def write(path, workdir, media=(), given=()):
    """Writes what the commands draw of the shader's JSON at path into workdir: NAME.glsl (NAME the
    JSON's), the Image pass with the Common pass included from common.glsl and its image channels named
    by directives (found by their file name in the media folders), but for the channels given (by the
command's options, which win). Returns its path. A pass or a channel not drawn yet, or a
    file not in the media folders, is said in one message."""
    passes = load(path)
    kinds = [p.kind for p in passes]
    if kinds.count("image") != 1:
        raise Failure("%s has %d Image passes; a shader has one" % (path, kinds.count("image")))
    others = sorted({"%s (%s)" % (p.name or p.kind, p.kind) for p in passes if p.kind not in ("image", "common")})
    if others:
        raise Failure("%s has passes not drawn yet: %s" % (path, ", ".join(others)))
    image = passes[kinds.index("image")]
    head = []
    common = [p for p in passes if p.kind == "common"]
    if common:
        (Path(workdir) / "common.glsl").write_text(common[0].code)
        head.append('#include "common.glsl"')
    missing, folders = [], media_folders(media)
    for i in image.inputs:
        if i.channel in given:
            continue
        if i.kind != "texture":
            raise Failure("%s: iChannel%d is a %s channel, not read yet" % (path, i.channel, i.kind or "?"))
        name = Path(i.path).name
        found = next((f / name for f in folders if (f / name).is_file()), None)
        if found is None:
            missing.append(name)
        else:
            head.append('#iChannel%d "file://%s"' % (i.channel, found.resolve()))
    if missing:
        raise Failure("%s names media not found in %s: %s" % (
            path, " or ".join(map(str, folders)) or "any folder (--media FOLDER, or QUILLOMAR_MEDIA)",
            ", ".join(missing)))
    text = "\n".join(head + [image.code])
    out = Path(workdir) / (Path(path).stem + ".glsl")
    new = out.with_suffix(".new")
    new.write_text(text)
    os.replace(new, out)
    return out
