"""Records a shader as the Quillomar viewer draws it, frame-exact: frame k shows iTime = FROM + k / FPS,
however fast the frames are drawn.

    quillomar-record SHADER OUTPUT [--seconds S] [--fps F] [--from T] [--size WxH] [--headless]
                     [--gpu | --software] [--encoder auto|software|nvenc|vaapi]
                     [--channel0 IMAGE ... --channel3 IMAGE] [--mouse X,Y] [--key KEY:FROM-TO]
                     [--no-audio] [--frame-limit SECONDS] [-I FOLDER] [--media FOLDER] [--fetch]
                     [--strict-media] [--frames A-B] [--tiles N] [--supersample K]
                     [--motion-blur N[:SHUTTER]] [--alpha] [--set NAME=VALUE | --set NAME=FROM:TO]...
                     [--scale D]
    quillomar-record --replay SESSION OUTPUT [the options above]

OUTPUT's extension picks the format: .mp4 (H.264, yuv420p), .webm (VP9), .mkv (FFV1, lossless), .mov
(ProRes 4444; with --alpha, these three and .png keep the shader's alpha), .gif (with one palette made from
the colours of all its frames), .webp (animated WebP, looping; a still picture where the clip never
changes), .png (one still at FROM) or .wav (the sound alone). The clip has S x F frames, rounded (half
up); --frames records frames A to B of it as a part for quillomar-join. --tiles, --supersample and
--motion-blur are for production renders.
The viewer runs on the current display, or, when there is none or with --headless, with no display
server at all: its context then comes from EGL, on the GPU where there is one (--gpu insists on it,
--software takes Mesa's software renderer). mp4 and webm are encoded on the GPU where ffmpeg's encoder
for it works (NVENC, VAAPI; tried on one frame first), else in software (--encoder chooses).

A mainImage shader (one with no #version line that defines mainImage) gets its usual inputs, as exact as
iTime: frame k has iFrame k, iTimeDelta 1 / FPS, and iDate the start of the recording plus iTime;
--channelN binds an image to iChannelN, and --mouse fixes iMouse (in pixels of the --size picture).
--set gives an #iUniform its value for the clip, or moves it from FROM at the first frame to TO at the last;
--scale D draws each frame at 1/D of --size (iResolution is that) and scales it up, a block per pixel.
--replay draws a session quillomar-live wrote (--session): frame k at the session's clock FROM + k / FPS,
with what the session showed then; --seconds is the session's length unless given.
"""
import contextlib
import dataclasses
import math
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from quillomar import (Failure, channels, cleanup, config, displays, encoding, facts, files, filters, folders, options,
                       paths, plans, proof, renders, segments, session, viewer, wire)
from quillomar.lines import escaped, unescaped
from quillomar.messages import Log, errors_first
from quillomar.settings import encode

# The largest picture on a side (what encoders and memory take in one frame). The most frames, the latest
# iTime, the largest iMouse and every other bound of what the library is handed are its settings table's
# (bound below).
LARGEST_SIDE = 8192


def bound(name):
    """The library's row of the setting QUILLOMAR_NAME (facts.Setting): its bounds are the options'."""
    return facts.get().settings["QUILLOMAR_" + name.upper()]

def positive(kind):
    def parse(text):
        value = kind(text)
        if not (math.isfinite(value) and value > 0):
            raise ValueError
        return value
    parse.__name__ = "positive number"
    return parse


def bounded(name, kind, words):
    """A value of the option that gives the library's setting QUILLOMAR_NAME, within that setting's bounds;
    words, argparse's name for it in a message."""
    def parse(text):
        value = kind(text)
        if not (math.isfinite(value) and bound(name).within(value)):
            raise ValueError
        return value
    parse.__name__ = words
    return parse


def size(text):
    w, h = (int(n) for n in text.lower().split("x"))
    if not (0 < w <= LARGEST_SIDE and 0 < h <= LARGEST_SIDE):
        raise ValueError
    return w, h


size.__name__ = "size (WxH)"


class Point(tuple):
    """X,Y: the numbers, and the text they were given as, for a message."""


def point(text):
    x, y = (float(n) for n in text.split(","))
    if not (math.isfinite(x) and math.isfinite(y)):
        raise ValueError
    given = Point((x, y))
    given.text = text
    return given


point.__name__ = "position (X,Y)"

def key_names():
    """{name: browser key code} of the keys --key takes by name (what the keyboard texture is indexed by):
    the names #iKeyboard gives shaders (Key_Space, Key_LeftArrow, ...) in any case, an arrow also without
    "arrow" (left)."""
    names = {}
    for name, code in facts.get().keys.items():
        names[name.lower()] = code
        if name.lower().endswith("arrow"):
            names[name.lower()[:-len("arrow")]] = code
    return names


def key(text):
    """KEY:FROM-TO: a key held from FROM to TO seconds of iTime. KEY is a letter, a digit, a name
    (space, left, f1, ...) or a browser key code (0 to 255)."""
    name, _, span = text.partition(":")
    down, _, up = span.partition("-")
    code = key_names().get(name.lower()) if not name.isdigit() or len(name) == 1 else int(name)
    down, up = float(down), float(up)
    if code not in session.KEY_CODES or not (math.isfinite(down) and math.isfinite(up) and 0 <= down < up):
        raise ValueError
    return "%d:%r-%r" % (code, down, up)


key.__name__ = "key (KEY:FROM-TO)"

def setting(text):
    """NAME=VALUE or NAME=FROM:TO: an #iUniform's value for the clip, or from the first frame to the last;
    each value a number, or one per component, comma-separated."""
    name, equals, values = text.partition("=")
    ends = values.split(":")
    # The library reads the settings a line each, and its numbers as C writes them (blanks around them are
    # taken): no line break, tab or other control character, and no digit grouping.
    if any(c == "_" or not c.isprintable() for c in values):
        raise ValueError
    if not (equals and name.isidentifier() and name.isascii() and 1 <= len(ends) <= 2):
        raise ValueError
    for end in ends:
        numbers = [float(n) for n in end.split(",")]
        if not (1 <= len(numbers) <= 4 and all(math.isfinite(n) for n in numbers)):
            raise ValueError
    return text


setting.__name__ = "setting (NAME=VALUE or NAME=FROM:TO)"


class Named:
    """An option's type whose name (argparse's word for a value it refuses) is made when it is first said:
    its bounds are the library's, read from translate."""

    def __init__(self, parse, name):
        self.parse, self.name = parse, name

    def __call__(self, text):
        return self.parse(text)

    @property
    def __name__(self):
        return self.name()


def divide(text):
    """D or 1/D: the picture drawn at 1/D of its size."""
    value = int(text[2:] if text.startswith("1/") else text)
    if not bound("scale").within(value):
        raise ValueError
    return value


divider = Named(divide, lambda: "divider (D or 1/D, %s)" % bound("scale").bounds())


# The recording's options, as one value: what to draw, how, and where to. Every field says whether it
# changes the picture (picture(...)): those are in the clip's digest (segments.inputs), or one of the
# part's own tag fields (TAG: segments.FIELDS), so that parts of two different clips are never joined.
# Each option of the parser whose dest is a field's name fills it; a field no option fills is made in
# job_of.
TAG = "tag"


def picture(changes, canonical=repr, default=dataclasses.MISSING):
    """A field of the job: changes (True: it changes the picture and is in the digest; TAG: it does and is
    a field of the part's tag; False: it does not), and how the digest writes its value."""
    return dataclasses.field(default=default, metadata={"picture": changes, "canonical": canonical})


def sorted_sets(sets):
    """--set's values, by name, each as its numbers (segments.valued)."""
    return repr([segments.valued(s) for s in sorted(sets, key=lambda s: s.partition("=")[0])])


@dataclasses.dataclass(frozen=True)
class What:
    """What is drawn."""
    shader: Path = picture(False)  # the file or folder given, or the session: its texts are in the digest
    session: object = picture(False)  # the session's path (its bytes are in the digest), or None
    replayed: object = picture(False)  # the session read (session.Session), or None
    replay: bool = picture(True)
    channels: dict = picture(False)  # {N: path} of --channelN: what they read is in the digest
    include: tuple = picture(False)  # -I: the files found in them are in the digest, not where they lie
    media: tuple = picture(False)
    fetch: bool = picture(False)
    strict_media: bool = picture(False)
    mouse: object = picture(True)  # a Point, or None
    keys: tuple = picture(True, lambda keys: ",".join(sorted(keys)))
    sets: tuple = picture(True, sorted_sets)
    fed: tuple = picture(True)  # ((setting's name, value), ...): the inputs the options feed (uniform_option)
    audio: bool = picture(False)


@dataclasses.dataclass(frozen=True)
class How:
    """How it is drawn."""
    fps: float = picture(TAG)
    start: float = picture(TAG)  # iTime of the first frame (--from)
    seconds: float = picture(TAG)
    size: tuple = picture(TAG)
    whole: int = picture(TAG)  # the clip's frames
    supersample: int = picture(True)
    motion_blur: tuple = picture(True)
    alpha: bool = picture(True)
    scale: int = picture(True)
    drawn_mouse: object = picture(False)  # iMouse in the pixels drawn: from mouse, supersample and scale
    tiles: int = picture(False)  # a picture drawn in tiles is the picture drawn whole, byte for byte
    span: object = picture(False)  # (A, B) of --frames: the part's own, in its tag
    frames: int = picture(False)  # the frames recorded (a part's)
    frame_limit: float = picture(False)
    headless: bool = picture(False)
    renderer: object = picture(False)  # the machine's: parts drawn on two machines are of one clip
    encoder: str = picture(False)  # the encoder that coded a part is in its tag


@dataclasses.dataclass(frozen=True)
class Where:
    """Where it goes."""
    output: Path = picture(False)
    format: str = picture(False)  # OUTPUT's extension: the encoder is in the part's tag


@dataclasses.dataclass(frozen=True)
class Job:
    what: What
    how: How
    where: Where


for _group in (What, How, Where):
    for _f in dataclasses.fields(_group):
        assert "picture" in _f.metadata, "%s.%s: say whether it changes the picture" % (_group.__name__, _f.name)


def filled(group, args, **made):
    """group's value: each field from made, else the parsed option of its name."""
    return group(**{f.name: made[f.name] if f.name in made else getattr(args, f.name)
                    for f in dataclasses.fields(group)})


def uniform_option(parser, option, input_name, **options):
    """An option whose value feeds a shader input (a row of text/inputs.c that names its setting): the
    setting, its kind and bounds are the library's (translate --describe); its value goes into the job's
    fed inputs."""
    name, row = next((n, r) for n, r in facts.get().settings.items() if r.input == input_name)

    def parse(text):
        value = int(text) if row.kind == "int" else tuple(float(n) for n in text.split(",")) \
            if row.kind == "point" else float(text)
        if not all(math.isfinite(v) and row.within(v) for v in (value if row.kind == "point" else (value,))):
            raise ValueError
        return value

    parser.fed = getattr(parser, "fed", ()) + ((option, name),)
    parser.add_argument(option, type=Named(parse, lambda: "value (%s)" % (row.bounds() or row.kind)),
                        dest="fed " + option, **options)


def command_parser(replaying=False):
    """quillomar-record's parser, which its manual page is made from; replaying, its first argument is the
    session."""
    parser = options.Parser("quillomar-record", __doc__)
    parser.add_argument("shader", type=Path, metavar="SESSION" if replaying else None,
                        help="the shader file, or a folder in the site's layout: Image.glsl, Common.glsl, "
                             "Buffer A.glsl, ..." if not replaying else "the session quillomar-live wrote")
    parser.add_argument("output", type=Path, metavar="OUTPUT" if replaying else None)
    parser.add_argument("--replay", action="store_true",
                        help="SHADER is a session quillomar-live wrote (--session): draw it again")
    parser.add_argument("--seconds", type=positive(float), metavar="S",
                        help="length of the clip (5; a session's length)")
    parser.add_argument("--fps", type=bounded("fps", float, "positive number"), default=30.0, metavar="F",
                        help="frames per second (30)")
    parser.add_argument("--from", dest="start", type=float, default=0.0, metavar="T",
                        help="iTime of the first frame (0)")
    parser.add_argument("--size", type=size, default=(1920, 1080), metavar="WxH", help="picture size (1920x1080)")
    parser.add_argument("--headless", action="store_true", help="use no display: a context from EGL")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--gpu", dest="renderer", action="store_const", const="gpu",
                       help="headless: draw on a GPU, or fail")
    where.add_argument("--software", dest="renderer", action="store_const", const="software",
                       help="headless: draw with Mesa's software renderer")
    parser.add_argument("--encoder", choices=["auto", "software", "nvenc", "vaapi"], default="auto",
                        help="encoder of mp4 and webm (auto: a working GPU encoder, else software)")
    options.add_inputs(parser)
    parser.add_argument("--mouse", type=point, metavar="X,Y", help="iMouse: the pointer held down at X,Y")
    parser.add_argument("--key", dest="keys", type=key, action="append", default=[], metavar="KEY:FROM-TO",
                        help="a key held from FROM to TO seconds of iTime, for shaders that read the keyboard "
                             "(a letter, a digit, space, left, up, right, down, f1, ..., or a key code; again for "
                             "more)")
    parser.add_argument("--no-audio", dest="audio", action="store_false",
                        help="leave the sound (a Sound pass's, or a sound channel's) out of an mp4 or webm clip")
    parser.add_argument("--set", dest="sets", type=setting, action="append", default=[],
                        metavar="NAME=VALUE|NAME=FROM:TO",
                        help="an #iUniform's value (a number, or one per component, comma-separated), or FROM at the "
                             "first frame to TO at the last; again for more")
    parser.add_argument("--scale", type=divider, default=1, metavar="D",
                        help="draw at 1/D of --size (iResolution is that size) and scale up, each pixel a D x D "
                             "block (1)")
    parser.add_argument("--frame-limit", type=positive(float), default=60.0, metavar="SECONDS",
                        help="how long one frame may take before the recording gives up (60)")
    parser.add_argument("--frames", dest="span", type=segments.frame_range, metavar="A-B",
                        help="only the clip's frames A to B (from 0), as a part for quillomar-join")
    parser.add_argument("--supersample", type=int, default=1, metavar="K",
                        help="draw each frame at K times the size (1 to 8 a side) and filter it down")
    parser.add_argument("--motion-blur", type=renders.motion_blur, default=(1, 1.0), metavar="N[:SHUTTER]",
                        help="each frame the average of N sub-frames over SHUTTER of its time (0.5)")
    parser.add_argument("--alpha", action="store_true",
                        help="keep the shader's alpha (.png, .webm, .mov, .mkv); else the output is opaque")
    parser.add_argument("--tiles", type=int, default=1, metavar="N",
                        help="draw the Image pass as N x N tiles, each its own draw (1 to 64; buffers whole)")
    return parser


def arguments(argv):
    """The job the command line gives (Job), each option checked; a wrong one is the parser's message."""
    # With --replay (or a prefix of it) before the arguments end, the first argument is the session.
    ended = argv.index("--") if "--" in argv else len(argv)
    parser = command_parser(any(len(a) > 2 and "--replay".startswith(a) for a in argv[:ended]))
    return job_of(parser.parse_args(argv), parser)


def job_of(args, parser):
    """The job of the options parsed (args, left as they are), each checked against the others and against
    the library's bounds; the parser says what is wrong."""
    set_by = {}
    for line in args.sets:
        name = line.partition("=")[0]
        if name in set_by:
            parser.error("--set %s and --set %s both give %s: give one" % (set_by[name], line, name))
        set_by[name] = line
    latest, most_frames = bound("from").most, int(bound("frames").most)
    replayed, seconds = None, args.seconds
    if args.replay:
        try:
            replayed = session.read(args.shader, latest)
        except Failure as e:
            parser.exit(1, "quillomar-record: %s\n" % e)
        if seconds is None:
            seconds = max(replayed.length - args.start, 0.0) + 1.0
    seconds = 5.0 if seconds is None else seconds
    if not math.isfinite(args.start) or args.start < bound("from").least:
        parser.error("argument --from: must be 0 or more")
    if seconds * args.fps > most_frames:
        parser.error("--seconds x --fps is more than %d frames" % most_frames)
    if args.start + seconds > latest:
        parser.error("--from and --seconds go past iTime %g s" % latest)
    form = args.output.suffix.lower()
    if form not in encoding.ENCODERS:
        parser.error("unknown extension %r for OUTPUT: use .mp4, .webm, .mkv, .mov, .gif, .webp, .png or .wav"
                     % args.output.suffix)
    if args.output.is_dir():
        parser.error("OUTPUT %s is a directory" % args.output)
    if args.alpha and form not in encoding.ALPHA:
        parser.error("argument --alpha: %s keeps no alpha; use %s" % (form, ", ".join(encoding.ALPHA)))
    if args.alpha and args.encoder not in ("auto", "software"):
        parser.error("argument --alpha: the shader's alpha is encoded in software")
    if not 1 <= args.supersample <= renders.MOST_SUPERSAMPLING:
        parser.error("argument --supersample: 1 to %d" % renders.MOST_SUPERSAMPLING)
    if args.supersample > 1 and args.scale > 1:  # one draws larger to filter down, the other smaller in blocks
        parser.error("--scale and --supersample work against each other: give one")
    # iMouse counts in the pixels drawn: a pixel of the picture is K x K of them supersampled, 1/D of one in
    # a block of --scale D.
    drawn_mouse = args.mouse and tuple(v * args.supersample / args.scale for v in args.mouse)
    if args.mouse and not all(bound("mouse").within(v) for v in drawn_mouse):
        parser.error("argument --mouse: invalid %s value: %r" % (point.__name__, args.mouse.text))
    # Tiles cut the picture drawn, --size over --scale (rounded up); a sound alone draws no picture of its
    # own, so there they mean nothing, as --size does.
    drawn = tuple(-(-s // args.scale) for s in args.size)
    least, most = int(bound("tiles").least), int(bound("tiles").most)
    most = most if form == ".wav" else min(most, *drawn)
    pictured = "" if form == ".wav" else " for a picture of %dx%d" % drawn + (
        " (%dx%d at --scale 1/%d)" % (*args.size, args.scale) if args.scale > 1 else "")
    if not least <= args.tiles <= most:
        parser.error("argument --tiles: %d to %d%s" % (least, most, pictured))
    if form in (".mp4", ".webm") and (args.size[0] % 2 or args.size[1] % 2):
        parser.error("argument --size: %s needs an even width and height" % form)
    # Half a frame rounds up, as people count: 0.5 s at 5 frames per second is 3 frames.
    frames = 1 if form in (".png", ".wav") else math.floor(seconds * args.fps + 0.5)
    if frames < 1:
        parser.error("--seconds x --fps is less than one frame")
    whole = frames
    if args.span:
        if form not in segments.JOINABLE:
            parser.error("argument --frames: a part of a clip is recorded as %s" % ", ".join(segments.JOINABLE))
        if args.span[1] >= frames:
            parser.error("argument --frames: the clip's frames are 0-%d" % (frames - 1))
        frames = args.span[1] - args.span[0] + 1
    fed = tuple((name, getattr(args, "fed " + option)) for option, name in getattr(parser, "fed", ())
                if getattr(args, "fed " + option) is not None)
    return Job(filled(What, args, session=args.shader if args.replay else None, replayed=replayed,
                      channels=channels.given(args), include=tuple(args.include), media=tuple(args.media),
                      keys=tuple(args.keys), sets=tuple(args.sets), fed=fed),
               filled(How, args, seconds=seconds, whole=whole, drawn_mouse=drawn_mouse, frames=frames),
               filled(Where, args, format=form))


def progress(done, total, started):
    elapsed = time.monotonic() - started
    rate = done / elapsed if elapsed > 0 else 0.0
    left = (total - done) / rate if rate > 0 else 0.0
    sys.stderr.write("\rrecording: frame %d of %d, %.1f frames/s, %.0f s left " % (done, total, rate, left))
    sys.stderr.flush()


class Status:
    """What the library reports on the status descriptor: the frames handed over, or that the shader did
    not build."""

    def __init__(self, start=0):
        # start: the clip's frame drawn first (a part's first, or frame 0 where its passes keep state).
        self.start, self.done, self.built, self.renderer, self.failed = start, 0, True, None, None
        self.unseen, self.too_large, self.tiles, self.refused = 0, None, None, None
        self.handlers = {"frame": self.frame, "no-program": self.no_program, "renderer": self.drawn_by,
                         "unseen": self.drawn_unseen, "tiles": lambda r: setattr(self, "tiles", r.fields["draws"]),
                         "too-large": lambda r: setattr(self, "too_large", (r.fields["limit"], r.fields["most"])),
                         "refused": self.refuse}

    def refuse(self, record):
        """A --set the shader cannot take: why."""
        self.built = False
        self.refused = os.fsdecode(record.payloads["why"])

    def drawn_by(self, record):
        self.renderer = "%s, EGL %s" % (record.payloads["name"].decode(errors="replace"), record.fields["platform"])

    def frame(self, record):
        self.done += 1

    def drawn_unseen(self, record):
        self.unseen += 1

    def no_program(self, record):
        """A pass did not build: its file, the GL's whole log, its text and the files it included."""
        self.built = False
        if "file" in record.payloads:
            listed = [unescaped(line) for line in record.payloads["files"].split(b"\n")][1:]
            self.failed = (os.fsdecode(record.payloads["file"]), record.payloads["log"].decode(errors="replace"),
                           record.payloads["text"].decode(errors="replace"), listed)

    def read(self, fd, total, show, limit):
        """Reads the records until the library is done; gives up on a frame that takes over limit s."""
        reader, started = wire.Reader(), time.monotonic()
        while True:
            if not select.select([fd], [], [], limit)[0]:
                raise Failure("frame %d has not ended in %g s: a loop in the shader that does not end? (--frame-limit "
                              "sets how long a frame may take)" % (self.start + self.unseen + self.done, limit))
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            for item in reader.feed(chunk):
                if not isinstance(item, wire.Record):
                    raise Failure("the recording library wrote %r" % item)
                wire.dispatch(item, self.handlers)
            if show:
                progress(self.done, total, started)
        if show:
            sys.stderr.write("\n")


def told(job, message):
    """message, of a replay in the session's words: its files as the session has them, at SESSION:LINE."""
    return job.what.replayed.told(message) if job.what.session is not None else message


def display_for(job):
    """The display the viewer uses: the caller's (DISPLAY, or WAYLAND_DISPLAY for GLFW built for Wayland),
    or none at all (None), headless, with a context from EGL."""
    wayland, x = os.environ.get("WAYLAND_DISPLAY"), os.environ.get("DISPLAY")
    if job.how.headless or job.how.renderer or not (wayland or x):
        return None
    return (wayland if viewer.glfw_for_wayland(paths.viewer()) else x) or None


@dataclasses.dataclass(frozen=True)
class Ready:
    """What a job draws, made ready (prepare): the passes and their media, the sound, the picture."""
    given: Path  # the shader as the user knows it (a replay's first build's file)
    shader: Path  # the Image pass's file drawn (a folder's or a JSON's, the text made for it)
    plan: Path
    ordered: list  # the passes, in the order they are drawn (directives.Pass)
    stood_in: list  # what stands in for the site's media, said on the last line
    replay: object  # the session's events as the library reads them, or None
    text: bytes  # the Image pass's text
    heard: object  # the first sound channel's file (the Image pass's first), or None
    with_sound: bool  # whether the output has sound
    sound_left_out: bool  # a part's sound, left out and said
    sound_out: object  # where the library writes the Sound pass's samples, or None
    size: tuple  # the picture recorded (a sound alone: a small one, thrown away)
    tiles: int


def prepare(job, workdir):
    """The passes of the job's shader (or session) and their media, made ready in workdir (Ready)."""
    what, how, form = job.what, job.how, job.where.format
    replay, given = None, what.shader
    # A replayed iMouse counts in the pixels drawn, as --mouse does: --size times --supersample, over --scale.
    seen = tuple(s * how.supersample / how.scale for s in how.size)
    if what.session is not None:
        for line in what.replayed.said:
            sys.stderr.write("quillomar-record: %s\n" % line)
        given, replay = session.written(what.replayed, workdir / "session", seen)
    shader, plan, ordered, left_out = plans.prepare(given, workdir, list(what.media), what.channels,
                                                    fetch=config.fetching(what.fetch), strict=what.strict_media)
    # The media standing in for the site's files are said on the last line, once the recording is made.
    stood_in = [left.briefly for left in left_out if getattr(left, "briefly", "")]
    for left in left_out:
        if not getattr(left, "briefly", ""):
            sys.stderr.write("quillomar-record: %s\n" % told(job, "%s: %s" % (given, left)))
    text = files.read(shader)
    # The sound: the Sound pass's, made by the library, else the first sound channel's (the Image pass's
    # first), cut to the clip.
    sound = next((p.path for p in ordered if p.kind == "sound"), None)
    heard = next((c.path for p in reversed(ordered) for _, c in sorted(p.channels.items()) if c.kind == "sound"), None)
    with_sound = form == ".wav" or (what.audio and form in encoding.AUDIO and not how.span)
    # A part is joined without coding it again, so its sound would be cut at each join: it has none, and
    # says so whatever its format.
    sound_left_out = bool(how.span and what.audio and (sound or heard))
    if form == ".wav" and not (sound or heard):
        raise Failure("%s makes no sound: it has no Sound pass (#iSound) and no sound channel" % given)
    size, tiles = ((16, 16), 1) if form == ".wav" else (how.size, how.tiles)
    sound_out = workdir / "sound.raw" if sound and with_sound else None
    return Ready(given, shader, plan, ordered, stood_in, replay, text, heard, with_sound, sound_left_out,
                 sound_out, size, tiles)


@dataclasses.dataclass(frozen=True)
class Part:
    """A part of a clip (--frames): its first frame, the frames before it drawn unseen, and its tag."""
    first: int = 0
    unseen: int = 0
    tags: tuple = ()


def part_of(job, ready, encoder):
    """A part is tagged with what clip it is of, and drawn after the frames before it where its passes keep
    state; a whole clip is Part()."""
    what, how = job.what, job.how
    if not how.span:
        return Part()
    first = how.span[0]
    # A session's key events are keys held, as --key is: each at its own frame.
    held = what.keys or (what.session is not None and what.replayed.keys())
    unseen = first if segments.keeps_state(ready.ordered, held) else 0
    # The options that change the picture, as the job marks them (the -I folders are not among them: the
    # files found in them are).
    clip = segments.digest(ready.ordered, segments.inputs(job), what.include,
                           [what.session] if what.session is not None else [])
    coded_by = encoder[2][encoder[2].index("-c:v") + 1]
    return Part(first, unseen, segments.metadata(job.where.format, segments.tag(
        clip, ready.size, how.fps, how.start, how.whole, coded_by, first, how.span[1])))


def library_settings(job, ready, part, drawn, frame_fd, status_fd, display):
    """The settings the library is handed (settings.encode, against its table), and the viewer's
    environment with it preloaded."""
    what, how, form = job.what, job.how, job.where.format
    preload = paths.library("quillomar-record")
    settings = encode(frames=how.frames, fps=how.fps, start=time.time(), size=drawn,
                      frame_fd=frame_fd, status_fd=status_fd, source=ready.shader.absolute(), plan=ready.plan,
                      **({"first": part.first, "unseen": part.unseen, "clip": how.whole} if how.span else {}),
                      **({"tiles": ready.tiles} if ready.tiles > 1 else {}),
                      **({"blur": how.motion_blur[0], "shutter": how.motion_blur[1]}
                         if how.motion_blur[0] > 1 else {}),
                      **({"alpha": 1} if how.alpha else {}),
                      **{"from": how.start}, **({"mouse": how.drawn_mouse} if what.mouse else {}),
                      **({"keys": ",".join(what.keys)} if what.keys else {}),
                      **({"set": "\n".join(what.sets)} if what.sets else {}),
                      **({"scale": how.scale} if how.scale > 1 else {}),
                      **({"replay": ready.replay} if ready.replay else {}),
                      **({"include": "\n".join(escaped(d.resolve()) for d in what.include)} if what.include
                         else {}),
                      **({"sound_out": ready.sound_out, "sound_seconds": how.seconds if form == ".wav" else
                          how.frames / how.fps} if ready.sound_out else {}),
                      **{name[len("QUILLOMAR_"):].lower(): value for name, value in what.fed})
    if display is None:
        # No display server: the viewer's window is a context from EGL.
        settings.update(encode(renderer=how.renderer or "auto", report_fd=status_fd))
        if how.renderer == "software":
            settings["LIBGL_ALWAYS_SOFTWARE"] = "1"
        return viewer.environment("", [preload, paths.library("quillomar-headless")], **settings)
    return viewer.environment(None, [preload], **settings)


@dataclasses.dataclass(frozen=True)
class Drawn:
    """What the drawing left: the library's records, how the viewer and ffmpeg ended, what they said."""
    status: Status
    started: float
    viewer_status: int
    ffmpeg_status: int
    said: str  # the viewer's own output, its echo of the text left out
    encoder_said: str
    display: object


def draw(job, ready, part, encoder, digest, workdir, partfile):
    """The viewer started with the library, and ffmpeg encoding what it hands over into partfile."""
    how = job.how
    # Supersampled: drawn at k times the size, buffers too, and filtered down by the encoder.
    k = how.supersample
    drawn = renders.drawn(ready.size, k)
    if k > 1:
        renders.check_memory(ready.size, k, sum(p.kind != "sound" for p in ready.ordered) - 1)
    with contextlib.ExitStack() as running:
        display = display_for(job)
        frames_read, frames_write = os.pipe()
        status_read, status_write = os.pipe()
        # What ffmpeg does to the picture, as the job says (filters.py).
        steps = filters.picture(how, ready.size, drawn if k > 1 else None)
        ffmpeg = encoding.start_encoder(job.where.format, drawn, how.fps, frames_read, partfile, encoder, digest,
                                        workdir / "ffmpeg.log", part.tags, steps)
        running.callback(displays.stop, ffmpeg)
        env = library_settings(job, ready, part, drawn, frames_write, status_write, display)
        # Its own session, as ffmpeg's and the X server's: Ctrl-C in the terminal is for the recorder alone.
        proc = viewer.start(workdir, env, text=ready.text, binary=paths.viewer(), pass_fds=(frames_write, status_write),
                            stdin=subprocess.DEVNULL, stdout=open(workdir / "stdout", "wb"),
                            stderr=open(workdir / "stderr", "wb"), start_new_session=True)
        running.callback(displays.stop, proc)
        for fd in (frames_read, frames_write, status_write):
            os.close(fd)

        started, status = time.monotonic(), Status(part.first - part.unseen)
        try:
            status.read(status_read, how.frames, sys.stderr.isatty(), how.frame_limit)
        finally:
            os.close(status_read)
        viewer_status = proc.wait()
        ffmpeg_status = ffmpeg.wait()
    out = (workdir / "stdout").read_bytes()
    echo = ready.text + b"\n"
    said = ((out[len(echo):] if out.startswith(echo) else out) + (workdir / "stderr").read_bytes()).decode(
        errors="replace").strip()
    encoder_said = (workdir / "ffmpeg.log").read_text(errors="replace").strip()
    return Drawn(status, started, viewer_status, ffmpeg_status, said, encoder_said, display)


def judge(job, ready, drawn, workdir):
    """One message (Failure) for the first thing that went wrong in the drawing, if one did."""
    status, done, given = drawn.status, drawn.status.done, ready.given
    if status.failed:
        file, log, pass_text, included = status.failed
        # A pass by the name the user knows it by: the file given, a pass's own file, or for a file made of
        # a JSON, the JSON and the file's name (as quillomar-import would write it).
        made = Path(file).parent == workdir
        name = Path(file).name if made else given if Path(file) == ready.shader.absolute() else file
        if given.is_dir():  # a folder's: by the user's files in it
            name, included = folders.shown(file, given), [folders.shown(f, given) for f in included]
        raise Failure("%s did not build:\n%s" % (given if made else name,
                                                  "\n".join(errors_first(log, pass_text, name, included))))
    if status.refused:
        raise Failure(status.refused)
    said = drawn.said
    if not status.built:
        raise Failure("%s did not build:\n%s" % (given, said))
    if status.too_large:
        raise Failure(renders.too_large(ready.size, job.how.supersample, *status.too_large))
    # A viewer that could not hand a frame over died of SIGPIPE: the encoder went first.
    frames, ffmpeg_status, encoder_said = job.how.frames, drawn.ffmpeg_status, drawn.encoder_said
    if drawn.viewer_status == -signal.SIGPIPE or (ffmpeg_status != 0 and done == frames):
        raise Failure("ffmpeg failed (status %d)%s" % (ffmpeg_status, ":\n" + encoder_said if encoder_said else ""))
    if done < frames or drawn.viewer_status != 0:
        if said == "Failed to create GLFW window" and drawn.display is not None:
            said += ("; the display %s gives no window with an OpenGL 3.3 core context, and --headless records with "
                     "no display" % viewer.display_name())
        elif said == "Failed to create GLFW window":
            said += "; EGL gives no OpenGL 3.3 core context here%s" % (" on a GPU" if job.how.renderer == "gpu" else "")
        raise Failure("the viewer ended after %d of %d frames (status %d)%s" % (
            done, frames, drawn.viewer_status, ":\n" + said if said else ""))


def finish(job, ready, drawn, digest, partfile, leftovers):
    """The clip proven (and its sound added) before it replaces OUTPUT; then what the viewer said."""
    how, form = job.how, job.where.format
    # The clip replaces OUTPUT only once it is proven whole: ffmpeg can end with status 0 on a full disk.
    if form != ".wav":
        proof.check(partfile, form, how.frames, how.fps, drawn.encoder_said, digest)
    if ready.with_sound and (ready.sound_out or ready.heard):
        partfile = encoding.with_audio(partfile, form, how.frames, how.fps, how.start,
                                       how.seconds if form == ".wav" else how.frames / how.fps,
                                       ready.sound_out, ready.heard, leftovers)
    try:
        os.replace(partfile, job.where.output)
    except OSError as e:
        raise Failure("cannot write %s: %s" % (job.where.output, e.strerror or e))
    if drawn.said:
        log = Log(sys.stderr)
        for line in drawn.said.split("\n"):
            log.frame_line(line)
        log.close()


@dataclasses.dataclass(frozen=True)
class Outcome:
    """A recording made: the frames handed over, in how long, drawn by what, and what to say of it."""
    frames: int
    seconds: float
    renderer: object
    tiles_drawn: object
    unseen: int
    stood_in: list
    sound_left_out: bool


def record(job, workdir, leftovers):
    """The job recorded, by its stages: the passes and media made ready, the part it is, the library's
    settings and the drawing, the failures judged, the clip proven and put in place."""
    ready = prepare(job, workdir)
    form = job.where.format
    partfile = leftovers.part_beside(job.where.output, ".quillomar-record-")
    encoder = ([], "", encoding.ALPHA[form]) if job.how.alpha else encoding.encoder_for(form, job.how.encoder)
    # A GIF's palette can lack colours that the clip shows: ffmpeg keeps a digest of each frame it is
    # handed, for the proof to hold the GIF's frames against.
    digest = proof.Digest(workdir / "digest", ready.size) if form == ".gif" else None
    part = part_of(job, ready, encoder)
    drawn = draw(job, ready, part, encoder, digest, workdir, partfile)
    judge(job, ready, drawn, workdir)
    finish(job, ready, drawn, digest, partfile, leftovers)
    return Outcome(drawn.status.done, time.monotonic() - drawn.started, drawn.status.renderer, drawn.status.tiles,
                   part.unseen, ready.stood_in, ready.sound_left_out)


def main(argv=None):
    job = arguments(sys.argv[1:] if argv is None else argv)
    what, how, where = job.what, job.how, job.where
    if shutil.which("ffmpeg") is None:
        return "quillomar-record: ffmpeg is not installed (Debian package ffmpeg)"
    if not os.path.lexists(what.shader):
        return "quillomar-record: %s: no such file" % what.shader
    if not where.output.parent.is_dir():
        return "quillomar-record: %s: no such directory" % where.output.parent
    cleanup.end_on_signals()
    try:
        with cleanup.Leftovers() as leftovers:
            workdir = Path(leftovers.add(tempfile.mkdtemp(prefix="quillomar-record-")))
            made = record(job, workdir, leftovers)
        if where.format == ".wav":
            lines = ["%s: %.3f s of sound from %g s" % (where.output, how.seconds, how.start)]
        else:
            lines = ["%s: %d frames in %.1f s (%.1f frames/s)%s" % (
                where.output, made.frames, made.seconds, made.frames / made.seconds,
                ", drawn by " + made.renderer if made.renderer else "")]
        if made.tiles_drawn:
            lines.append("the Image pass drawn in %s tiles a frame" % made.tiles_drawn)
        if how.span:
            lines.append("frames %d-%d of %d%s" % (*how.span, how.whole, "; its passes keep state from frame to "
                                                   "frame, so the %d frames before it were drawn first, unseen"
                                                   % made.unseen if made.unseen else "")
                         + ("; its sound is not in parts: record the sound whole with OUTPUT.wav"
                            if made.sound_left_out else ""))
        print("\n".join(lines[:-1] + ["; ".join(lines[-1:] + made.stood_in)]))
        return 0
    except Failure as e:
        return "quillomar-record: %s" % told(job, str(e))
    except OSError as e:
        return "quillomar-record: %s" % told(job, "%s%s" % (e.strerror or e, ": %s" % e.filename if e.filename
                                                              else ""))
    except KeyboardInterrupt:
        sys.stderr.write("\nquillomar-record: interrupted; %s was not written\n" % where.output)
        return 130
