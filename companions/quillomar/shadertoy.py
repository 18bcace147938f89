"""Shadertoy's JSON for one shader, in both forms people have it: the site's own (ver, info, renderpass;
inputs with id, filepath, type, channel, sampler), as the page loads it and as archives keep it, and the
public API's (wrapped in Shader; inputs with id, src, ctype, channel, sampler). It becomes the files a
person edits: one file per pass, Common included at the top of each, the channels named by directives
(directives.py), the media the site names found where site_media.locate finds them (a media folder, the
cache, made there, fetched) or a placeholder."""
import json
import os
import re
from pathlib import Path
from typing import NamedTuple

from quillomar import Failure, dialects, directives, site_media

# The site's paths of its buffers' and its cube map pass's pictures, as inputs name them.
BUFFER_PATH = re.compile(r"/media/previz/buffer0(\d)\.png$")
# The site's ids of the pictures of Buffer A, B, C and D, as their outputs and the inputs that read them
# have them.
BUFFER_IDS = ("4dXGR8", "XsXGR8", "4sXGR8", "XdfGR8")
CUBE_PATH = "/media/previz/cubemap00.png"
# The site's kinds of channel that the commands read, as the kinds of texture the libraries read
# (facts.get().kinds), or a pass's picture.
SITE_KINDS = {"texture": "image", "cubemap": "cube", "volume": "volume", "video": "video", "music": "sound",
              "musicstream": "sound", "keyboard": "keyboard", "mic": "capture", "webcam": "image",
              "buffer": "pass"}
# How the line that says what stands in for media not here ends (without --fetch, and with it).
STOOD_IN = "(--fetch gets the site's own files; --strict-media refuses)"
STOOD_IN_FETCHED = "(--strict-media refuses)"
# Those read from a file in a media folder.
MEDIA_KINDS = ("texture", "cubemap", "volume", "video", "music", "musicstream")


class Input(NamedTuple):
    channel: int
    kind: str  # texture, buffer, keyboard, cubemap, volume, video, music, ...
    path: str  # the site's path of the file, e.g. /media/a/NAME.png
    id: str
    sampler: dict


class Pass(NamedTuple):
    kind: str  # image, buffer, common, cubemap, sound
    name: str
    code: str
    inputs: list
    outputs: list  # the ids of what it draws


def load(path):
    """The passes of the shader in the JSON file at path, in the JSON's order."""
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
        if not isinstance(p, dict):
            raise Failure("%s is not a shader's JSON: a pass is not an object" % path)
        inputs = [Input(channel_of(i, path, p), str(i.get("type", i.get("ctype", ""))),
                        str(i.get("filepath", i.get("src", ""))), str(i.get("id", "")),
                        i.get("sampler") if isinstance(i.get("sampler"), dict) else {})
                  for i in p.get("inputs") or [] if isinstance(i, dict)]
        outputs = [str(o.get("id", "")) for o in p.get("outputs") or [] if isinstance(o, dict)]
        found.append(Pass(str(p.get("type", "")), str(p.get("name", "")), str(p.get("code", "")), inputs, outputs))
    return found


def channel_of(i, path, p):
    """The channel an input of pass p is read by, 0 to 3."""
    channel = i.get("channel", 0)
    if isinstance(channel, str) and channel in ("0", "1", "2", "3"):  # as some exports write it
        channel = int(channel)
    if type(channel) is not int or not 0 <= channel <= 3:
        raise Failure("%s: an input of %s is read by channel %s; a channel is 0 to 3" % (
            path, p.get("name") or p.get("type") or "a pass", json.dumps(channel)))
    return channel


def media_folders(given):
    """The folders media is looked for in: given (--media), then QUILLOMAR_MEDIA (colon-separated). A
    --media that is no folder is a message (mistyped, it would only show as placeholders); one of
    QUILLOMAR_MEDIA, a setting kept for every run, is passed over, as PATH's are."""
    folders = [(Path(f), "--media") for f in given] + [
        (Path(f), "QUILLOMAR_MEDIA") for f in os.environ.get("QUILLOMAR_MEDIA", "").split(":")
        if f and Path(f).is_dir()]
    for folder, named_by in folders:
        if not folder.is_dir():
            raise Failure("%s %s: no such folder" % (named_by, folder))
        if '"' in os.path.abspath(folder) or "\n" in os.path.abspath(folder):
            raise Failure('%s %s: a folder with a " or a line break in its path cannot be read from' % (
                named_by, folder))
    return [folder for folder, _ in folders]


def file_name(p, taken):
    """A file name for pass p: Buffer A is bufferA.glsl, Cube A cubeA.glsl, the rest by their kind."""
    words = re.findall(r"[A-Za-z0-9]+", p.name) or [p.kind or "pass"]
    name = words[0].lower() + "".join(w[:1].upper() + w[1:] for w in words[1:])
    stem, n = name, 1
    while name + ".glsl" in taken:
        n += 1
        name = "%s%d" % (stem, n)
    return name + ".glsl"


def letter(p):
    """Which buffer pass p is, 0 to 3 for Buffer A to D: by its picture's id, else by the letter its name
    ends in; None when neither says."""
    known = [BUFFER_IDS.index(o) for o in p.outputs if o in BUFFER_IDS]
    named = re.fullmatch(r".*\b([A-D])", p.name.strip())
    return known[0] if known else "ABCD".index(named[1]) if named else None


def sampler_lines(n, kind, sampler):
    """The directives of a channel's sampler (kind: the site's) that differ from what its kind has by
    default."""
    plain = directives.read_plainly(SITE_KINDS[kind])
    filter_default = "linear" if plain else "mipmap"
    wrap_default = "clamp" if plain else "repeat"
    lines = []
    filt = str(sampler.get("filter", filter_default)).lower()
    if filt != filter_default and filt in ("nearest", "linear", "mipmap"):
        word = {"nearest": "Nearest", "linear": "Linear", "mipmap": "LinearMipMapLinear"}[filt]
        lines.append('#iChannel%d::MinFilter "%s"' % (n, word))
    wrap = str(sampler.get("wrap", wrap_default)).lower()
    if wrap != wrap_default and wrap in ("clamp", "repeat", "mirror"):
        lines.append('#iChannel%d::WrapMode "%s"' % (n, wrap.capitalize()))
    if kind in ("texture", "volume", "video") and str(sampler.get("vflip", "true")).lower() == "false":
        lines.append('#iChannel%d::VFlip "false"' % n)
    return lines


class StoodIn(str):
    """The note of the media shown or heard in place of the site's files, as a command says it on a line
    of its own; .briefly, as a clause of the line that ends a recording."""
    briefly = ""


def listed(names):
    """Names as a sentence lists them: "A", "A and B", "A, B and C"."""
    return names[0] if len(names) == 1 else "%s and %s" % (", ".join(names[:-1]), names[-1])


def write(path, folder, media=(), given=(), fetch=False, strict=False, spare=None):
    """Writes the shader's JSON at path into folder as files: common.glsl, one file per buffer pass, and
    the Image pass as NAME.glsl (NAME the JSON's), each with its channels as directives, and marked as the
    site's passes (#iDialect), whatever else their text holds; the channels in given (the command's
    --channelN options, which win) are left out of the Image pass's. The buffers are drawn in the order
    the JSON lists them, as the site draws them (#iPasses). Returns the Image file's path, and
    what is to be said of what is not drawn (a pass of a kind not drawn, a channel that names a buffer the
    JSON does not have, which is black; the media shown as placeholders or heard as silence, in one line).
    The media are found by site_media.locate: in the media folders, the cache, made, fetched (with fetch), or
    a placeholder; with strict, media not here are refused in one message, as is a channel of a kind not
    read. Where the cache cannot be written, those made or fetched go into the folder spare, said once."""
    passes = load(path)
    kinds = [p.kind for p in passes]
    if kinds.count("image") != 1:
        raise Failure("%s has %d Image passes; a shader has one" % (path, kinds.count("image")))
    folder = Path(folder)
    image = passes[kinds.index("image")]
    buffers = [p for p in passes if p.kind == "buffer"]
    cubes = [p for p in passes if p.kind == "cubemap"][:1]
    sounds = [p for p in passes if p.kind == "sound"][:1]
    names = {}
    # The Image pass is named after the JSON, but never as Common's file nor as a hidden one.
    stem = Path(path).stem.lstrip(".")
    image_name = stem + ".glsl" if stem and stem.lower() != "common" else "image.glsl"
    taken = {"common.glsl", image_name}
    for p in buffers + cubes + sounds:
        names[id(p)] = file_name(p, taken)
        taken.add(names[id(p)])
    names[id(image)] = image_name
    by_output = {o: p for p in buffers for o in p.outputs if o}
    by_letter = {letter(p): p for p in buffers if letter(p) is not None}
    common = [p for p in passes if p.kind == "common"]
    said = ["%s (%s) is not drawn" % (p.name or p.kind, p.kind) for p in passes
            if p.kind not in ("image", "buffer", "common") and p not in cubes + sounds]
    missing, shown, heard, folders = [], [], [], media_folders(media)
    spared = False
    texts = {}
    for p in buffers + cubes + sounds + [image]:
        head = ['#include "common.glsl"'] if common else []
        if p in buffers + [image]:  # the site's passes, though their text may look like another dialect's
            head.append('#iDialect "%s"' % dialects.MAIN_IMAGE)
        elif p in cubes:
            head.append('#iDialect "%s"' % dialects.CUBEMAP)
        for i in sorted(p.inputs, key=lambda i: i.channel):
            if p is image and i.channel in given:
                continue
            if i.kind == "buffer":
                source = by_output.get(i.id)
                m = BUFFER_PATH.search(i.path)
                if source is None and m:
                    source = by_letter.get(int(m[1]))
                if source is None:  # as on the site: the channel is black
                    said.append("iChannel%d of %s names a buffer the JSON does not have: it is black" % (
                        i.channel, p.name or p.kind))
                    continue
                head.append('#iChannel%d "%s"' % (i.channel, "self" if source is p else
                                                 "file://" + names[id(source)]))
            elif i.kind == "keyboard":
                head.append('#iChannel%d "keyboard"' % i.channel)
            elif i.kind == "mic":
                head.append('#iChannel%d "mic"' % i.channel)
            elif i.kind == "webcam":
                head.append('#iChannel%d "webcam"' % i.channel)
            elif i.kind == "cubemap" and (i.path.endswith(CUBE_PATH) or any(i.id in c.outputs for c in cubes)):
                if not cubes:
                    raise Failure("%s: iChannel%d of %s reads a Cube A pass the JSON does not have" % (
                        path, i.channel, p.name))
                head.append('#iChannel%d "%s"' % (i.channel, "self" if cubes[0] is p else
                                                 "file://" + names[id(cubes[0])]))
            elif i.kind in MEDIA_KINDS:
                medium = site_media.named(i.path) or site_media.unknown(i.path, i.kind)
                called = medium.called() or "iChannel%d of %s" % (i.channel, p.name or p.kind)  # no file named
                found = site_media.locate(medium, folders, fetch, strict, spare)
                spared = spared or (found is not None and spare is not None
                                    and Path(spare).resolve() in found.path.parents)
                if found is None:
                    missing.append(called)
                    continue
                if found.how == "placeholder":
                    (heard if found.kind == "music" else shown).append(called)
                if '"' in str(found.path) or "\n" in str(found.path):
                    raise Failure('%s: a path with a " or a line break in it cannot be read as a channel' % found.path)
                head.append('#iChannel%d "file://%s"' % (i.channel, found.path))
                if found.kind == "cubemap":
                    head.append('#iChannel%d::Type "CubeMap"' % i.channel)
                elif found.kind == "music":  # a stream's file name says nothing of what it is
                    head.append('#iChannel%d::Type "Sound"' % i.channel)
            else:
                raise Failure("%s: iChannel%d of %s is a %s channel, not read yet" % (
                    path, i.channel, p.name or p.kind, i.kind or "?"))
            reads_pass = i.kind == "buffer" or head[-1].endswith(('"self"', '.glsl"'))
            read_as = found.kind if i.kind in MEDIA_KINDS else i.kind  # a video's placeholder is a still
            head += sampler_lines(i.channel, "buffer" if reads_pass else read_as, i.sampler)
        if p is image and sounds:
            head.append('#iSound "%s"' % names[id(sounds[0])])
        if p is image and len(buffers) > 1:
            head.append("#iPasses %s" % " ".join('"%s"' % names[id(b)] for b in buffers))
        texts[names[id(p)]] = "\n".join(head + [p.code]).rstrip("\n") + "\n"
    if spared:
        cache = site_media.cache_folder()
        said.append("cannot write in the cache %s (%s): the media made or fetched are kept only until the "
                    "command ends" % (cache, site_media.unwritable(cache)))
    if missing:
        raise Failure("%s names media that are not here: %s (%s--media FOLDER, or QUILLOMAR_MEDIA, names a folder "
                      "that has them)" % (path, listed(sorted(set(missing))),
                                          "" if fetch else "--fetch gets the site's own files; "))
    if shown or heard:
        stood_in = [(listed(names), len(names), what) for names, what in (
            (sorted(set(shown)), "shown as a placeholder" if len(set(shown)) == 1 else "shown as placeholders"),
            (sorted(set(heard)), "heard as silence")) if names]
        hint = STOOD_IN_FETCHED if fetch else STOOD_IN
        note = StoodIn("%s %s" % ("; ".join("%s %s not here: %s" % (names, "is" if n == 1 else "are", what)
                                            for names, n, what in stood_in), hint))
        note.briefly = "%s %s" % (", ".join("%s %s" % (names, what) for names, _, what in stood_in), hint)
        said.append(note)
    if common:
        texts["common.glsl"] = common[0].code.rstrip("\n") + "\n"
    for name, text in texts.items():
        out = folder / name
        new = out.with_name("." + name + ".new")
        try:
            new.write_bytes(text.encode(errors="surrogateescape"))  # a media folder's name as it is
            os.replace(new, out)
        except OSError as e:
            raise Failure("cannot write %s: %s" % (out, e.strerror or e))
    return folder / names[id(image)], said
