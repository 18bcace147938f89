"""The plan: a shader's passes (directives.py) handed to its library as a text file, a line each (the
lines are listed in docs/internals.md; passes.c reads them), with every texture its channels show decoded
into the command's working folder (media.py) and written in the form the libraries' table of kinds gives
it (facts.get().kinds: how many numbers its size has; the sound's and the keyboard's textures are of the
libraries' sizes)."""
import os
from pathlib import Path
from typing import NamedTuple

from quillomar import Failure, facts, folders, media
from quillomar.directives import CAMERA, Channel, real, image_passes
from quillomar.lines import escaped


class Texture(NamedTuple):
    """A texture decoded: its size (as many numbers as its kind has), and either its data, written into the
    working folder for the library, or where its data is already (a file, or "fd:N", a pipe), with its rate
    (a video's frames or a sound's samples per second)."""
    size: tuple
    data: bytes = None
    source: str = None
    rate: float = None


class Decoding(NamedTuple):
    """What a decoder has beside the channel: the working folder, the notes of what was given up, and
    live's function that gives the pipe a sound as it is heard is read from (None: refused)."""
    workdir: Path
    said: list
    capture: object


def image(channel, what, decoding):
    if str(channel.path) == CAMERA:
        return camera(channel, what, decoding)
    data, size = media.image_pixels(channel.path, what, channel.vflip)
    return Texture(size, data)


def camera(channel, what, decoding):
    """The camera's picture as the session starts, in live (which hands over capture); a placeholder, said,
    where there is no camera to read."""
    if decoding.capture is None:
        raise Failure("%s: a camera's picture is not the same twice: record a file of it and name the file" % what)
    still = Path(decoding.workdir) / "camera.png"
    said = media.camera_still(channel.path, still)
    if said:
        from quillomar import generate, site_media
        still = generate.placeholder("texture", (256, 256), site_media.cache_folder())
        if decoding.said is not None:
            decoding.said.append("%s: the camera cannot be read (%s): shown as a placeholder" % (what, said))
    data, size = media.image_pixels(still, what, channel.vflip)
    return Texture(size, data)


def cube(channel, what, decoding):
    data, size = media.cube_faces(channel.path, what)
    return Texture(size, data)


def volume(channel, what, decoding):
    data, size = media.volume_texels(channel.path, what)
    return Texture(size, data)


def keyboard(channel, what, decoding):
    return Texture(facts.get().keyboard_texture, b"")


def video(channel, what, decoding):
    raw, size, rate, given_up = media.video_frames(channel.path, what, channel.vflip, decoding.workdir)
    if given_up and decoding.said is not None:
        decoding.said.append("%s: %s, to fit in %d MiB" % (what, given_up, media.VIDEO_BYTES >> 20))
    return Texture(size, source=escaped(raw), rate=rate)


def sound(channel, what, decoding):
    raw = media.sound_samples(channel.path, what, decoding.workdir)
    return Texture(facts.get().sound_texture, source=escaped(raw), rate=facts.get().sample_rate)


def capture(channel, what, decoding):
    if decoding.capture is None:
        raise Failure('%s: a sound as it is heard is not the same twice: record a file of it and name the file'
                      % what)
    return Texture(facts.get().sound_texture, source="fd:%d" % decoding.capture(str(channel.path)),
                   rate=facts.get().sample_rate)


# Each kind of texture the libraries read (facts.get().kinds, the same names): what messages call it, and
# how it is decoded.
DECODERS = {
    "image": ("image", image),
    "cube": ("cube map", cube),
    "volume": ("volume", volume),
    "keyboard": ("keyboard", keyboard),
    "video": ("video", video),
    "sound": ("sound", sound),
    "capture": ("sound", capture),
}


def write_plan(ordered, workdir, said=None, capture=None, made_in=None):
    """Writes the plan for the passes ordered, with each texture decoded into workdir; returns its path.
    Its paths, whatever their names hold, are written as lines.escaped writes them. What had to be given up
    to fit (of a long video) is added to said. capture(source) gives the pipe a sound as it is heard is read
    from (live's); without it, such a channel is refused. The texts made for a folder's passes go into
    made_in (workdir by default: live keeps them in one place, for the library to see them made again)."""
    workdir = Path(workdir)
    kinds = facts.get().kinds
    decoding = Decoding(workdir, said, capture)
    # A pass is named in the plan by its place among the passes drawn (the Sound pass is not one).
    index = {real(p.path): i for i, p in enumerate(p for p in ordered if p.kind != "sound")}
    lines, textures = [], {}

    def texture(channel, n, p):
        key = (channel.kind, str(channel.path), channel.vflip)
        if key in textures:
            return textures[key]
        if channel.kind not in kinds or channel.kind not in DECODERS:
            raise Failure("iChannel%d: no texture of the kind %s is read here" % (n, channel.kind))
        word, decode = DECODERS[channel.kind]
        what = "the %s for iChannel%d%s, %s" % (word, n, "" if p.kind == "image" else " of " + str(p.path),
                                               channel.path)
        made = decode(channel, what, decoding)
        if len(made.size) != kinds[channel.kind].dimensions:
            raise Failure("%s: a size of %d numbers, where the libraries read %d for a %s" % (
                what, len(made.size), kinds[channel.kind].dimensions, channel.kind))
        size = "x".join("%d" % side for side in made.size)
        if made.data is None:
            lines.append("texture\t%s\t%s\t%s\t%r" % (channel.kind, size, made.source, made.rate))
        else:
            raw = workdir / ("texture%d.raw" % len(textures))
            try:
                raw.write_bytes(made.data)
            except OSError as e:
                raise Failure("cannot hand over %s: %s (%s)" % (what, e.strerror or e, workdir))
            lines.append("texture\t%s\t%s\t%s" % (channel.kind, size, escaped(raw)))
        textures[key] = len(textures)
        return textures[key]

    def source(p):  # a pass of a folder: the text made for it, which includes its file
        return (folders.made(p, made_in or workdir) if p.first is not None else p.path).absolute()

    body = []
    if any(p.keyboard for p in ordered):  # #iKeyboard: the keys, read through iKeyboard
        texture(Channel("keyboard"), 0, ordered[-1])
    for p in ordered:
        if p.kind == "sound":
            body.append("sound\t%s" % escaped(source(p)))
            continue
        body.append("pass\t%s\t%s" % (p.kind, escaped(source(p))))
        for n, c in sorted(p.channels.items()):
            if c.kind == "pass":
                what, ref = "pass", index[real(c.path)]
            elif c.kind == "self" and p.kind != "image":
                what, ref = "pass", index[real(p.path)]
            elif c.kind == "self":
                what, ref = "self", 0
            else:
                what, ref = "texture", texture(c, n, p)
            body.append("channel\t%d\t%s\t%d\t%s\t%s" % (n, what, ref, c.filter, c.wrap))
    plan = workdir / "plan"
    plan.write_bytes(os.fsencode("\n".join(lines + body) + "\n"))
    return plan


def passes_of(shader, given=None):
    """The passes of shader, a file or a folder in the site's layout (folders.py), in the order they are
    drawn, and what is to be said of them."""
    if Path(shader).is_dir():
        return folders.folder_passes(shader, given)
    return image_passes(shader, given), []


def prepare(shader, workdir, media_folders=(), given=None, capture=None, fetch=False, strict=False):
    """What a command draws of shader (a file, a folder in the site's layout, or Shadertoy's JSON, written
    into workdir as files first, its media fetched with fetch, and refused with strict where not here): (the
    Image pass's file, the plan's path, the passes in order, what to say of what is left out or stands in).
    A folder's Image pass's file is the text made for it in workdir."""
    notes = []
    shader = Path(shader)
    if shader.suffix.lower() == ".json" and not shader.is_dir():
        from quillomar import shadertoy
        shader, notes = shadertoy.write(shader, workdir, media_folders, given or {}, fetch, strict,
                                        Path(workdir) / "media")
    ordered, said = passes_of(shader, given)
    notes += said
    plan = write_plan(ordered, workdir, notes, capture)
    if ordered[-1].first is not None:
        shader = folders.made(ordered[-1], workdir)
    return shader, plan, ordered, notes
