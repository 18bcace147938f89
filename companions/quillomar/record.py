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
changes) or .png (one still at FROM). The clip has S x F frames, rounded (half up); --frames records
frames A to B of it as a part for quillomar-join (segments.py). --tiles, --supersample and
--motion-blur are production renders' (renders.py, record/renders.c).
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

from quillomar import (Failure, channels, cleanup, config, displays, encoding, facts, files, folders, options, paths,
                       plans, proof, renders, segments, session, viewer, wire)
from quillomar.lines import escaped, unescaped
from quillomar.messages import Log, errors_first
from quillomar.settings import encode

# The largest picture on a side (what encoders and memory take in one frame), the most frames, and the
# latest iTime (the clock the viewer reads counts nanoseconds in 64 bits).
LARGEST_SIDE = 8192
MOST_FRAMES = 10_000_000
LATEST_TIME = 1e9
# The largest 32-bit float: iMouse is a vec4 of them.
LARGEST_FLOAT = 3.4028234663852886e38

def positive(kind):
    def parse(text):
        value = kind(text)
        if not (math.isfinite(value) and value > 0):
            raise ValueError
        return value
    parse.__name__ = "positive number"
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

# The most a picture is divided by.
MOST_SCALE = 64


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


def divider(text):
    """D or 1/D: the picture drawn at 1/D of its size."""
    value = int(text[2:] if text.startswith("1/") else text)
    if not 1 <= value <= MOST_SCALE:
        raise ValueError
    return value


divider.__name__ = "divider (D or 1/D, 1 to %d)" % MOST_SCALE


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
    parser.add_argument("--fps", type=positive(float), default=30.0, metavar="F", help="frames per second (30)")
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
    # With --replay (or a prefix of it) before the arguments end, the first argument is the session.
    ended = argv.index("--") if "--" in argv else len(argv)
    parser = command_parser(any(len(a) > 2 and "--replay".startswith(a) for a in argv[:ended]))
    args = parser.parse_args(argv)
    set_by = {}
    for line in args.sets:
        name = line.partition("=")[0]
        if name in set_by:
            parser.error("--set %s and --set %s both give %s: give one" % (set_by[name], line, name))
        set_by[name] = line
    args.session = None
    if args.replay:
        args.session = args.shader
        try:
            args.replayed = session.read(args.session, LATEST_TIME)
        except Failure as e:
            parser.exit(1, "quillomar-record: %s\n" % e)
        if args.seconds is None:
            args.seconds = max(args.replayed.length - args.start, 0.0) + 1.0
    args.seconds = 5.0 if args.seconds is None else args.seconds
    if not math.isfinite(args.start) or args.start < 0:
        parser.error("argument --from: must be 0 or more")
    if args.seconds * args.fps > MOST_FRAMES:
        parser.error("--seconds x --fps is more than %d frames" % MOST_FRAMES)
    if args.start + args.seconds > LATEST_TIME:
        parser.error("--from and --seconds go past iTime %g s" % LATEST_TIME)
    args.format = args.output.suffix.lower()
    if args.format not in encoding.ENCODERS:
        parser.error("unknown extension %r for OUTPUT: use .mp4, .webm, .mkv, .mov, .gif, .webp, .png or .wav"
                     % args.output.suffix)
    if args.output.is_dir():
        parser.error("OUTPUT %s is a directory" % args.output)
    if args.alpha and args.format not in encoding.ALPHA:
        parser.error("argument --alpha: %s keeps no alpha; use %s" % (args.format, ", ".join(encoding.ALPHA)))
    if args.alpha and args.encoder not in ("auto", "software"):
        parser.error("argument --alpha: the shader's alpha is encoded in software")
    if not 1 <= args.supersample <= renders.MOST_SUPERSAMPLING:
        parser.error("argument --supersample: 1 to %d" % renders.MOST_SUPERSAMPLING)
    if args.supersample > 1 and args.scale > 1:  # one draws larger to filter down, the other smaller in blocks
        parser.error("--scale and --supersample work against each other: give one")
    # iMouse counts in the pixels drawn: a pixel of the picture is K x K of them supersampled, 1/D of one in
    # a block of --scale D.
    args.drawn_mouse = args.mouse and tuple(v * args.supersample / args.scale for v in args.mouse)
    if args.mouse and not all(abs(v) <= LARGEST_FLOAT for v in args.drawn_mouse):
        parser.error("argument --mouse: invalid %s value: %r" % (point.__name__, args.mouse.text))
    # Tiles cut the picture drawn, --size over --scale (rounded up); a sound alone draws no picture of its
    # own, so there they mean nothing, as --size does.
    drawn = tuple(-(-s // args.scale) for s in args.size)
    most = 64 if args.format == ".wav" else min(64, *drawn)
    picture = "" if args.format == ".wav" else " for a picture of %dx%d" % drawn + (
        " (%dx%d at --scale 1/%d)" % (*args.size, args.scale) if args.scale > 1 else "")
    if not 1 <= args.tiles <= most:
        parser.error("argument --tiles: 1 to %d%s" % (most, picture))
    if args.format in (".mp4", ".webm") and (args.size[0] % 2 or args.size[1] % 2):
        parser.error("argument --size: %s needs an even width and height" % args.format)
    # Half a frame rounds up, as people count: 0.5 s at 5 frames per second is 3 frames.
    args.frames = 1 if args.format in (".png", ".wav") else math.floor(args.seconds * args.fps + 0.5)
    if args.frames < 1:
        parser.error("--seconds x --fps is less than one frame")
    args.whole = args.frames
    if args.span:
        if args.format not in segments.JOINABLE:
            parser.error("argument --frames: a part of a clip is recorded as %s" % ", ".join(segments.JOINABLE))
        if args.span[1] >= args.frames:
            parser.error("argument --frames: the clip's frames are 0-%d" % (args.frames - 1))
        args.frames = args.span[1] - args.span[0] + 1
    return args


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


def told(args, message):
    """message, of a replay in the session's words: its files as the session has them, at SESSION:LINE."""
    return args.replayed.told(message) if args.session is not None else message


def display_for(args):
    """The display the viewer uses: the caller's (DISPLAY, or WAYLAND_DISPLAY for GLFW built for Wayland),
    or none at all (None), headless, with a context from EGL."""
    wayland, x = os.environ.get("WAYLAND_DISPLAY"), os.environ.get("DISPLAY")
    if args.headless or args.renderer or not (wayland or x):
        return None
    return (wayland if viewer.glfw_for_wayland(paths.viewer()) else x) or None


def record(args, workdir, leftovers):
    replay = None
    # A replayed iMouse counts in the pixels drawn, as --mouse does: --size times --supersample, over --scale.
    seen = tuple(s * args.supersample / args.scale for s in args.size)
    if args.session is not None:
        for line in args.replayed.said:
            sys.stderr.write("quillomar-record: %s\n" % line)
        args.shader, replay = session.written(args.replayed, workdir / "session", seen)
    given = args.shader
    args.shader, plan, ordered, left_out = plans.prepare(given, workdir, args.media, channels.given(args),
                                                      fetch=config.fetching(args.fetch), strict=args.strict_media)
    # The media standing in for the site's files are said on the last line, once the recording is made.
    args.stood_in = [what.briefly for what in left_out if getattr(what, "briefly", "")]
    for what in left_out:
        if not getattr(what, "briefly", ""):
            sys.stderr.write("quillomar-record: %s\n" % told(args, "%s: %s" % (given, what)))
    text = files.read(args.shader)
    # The sound: the Sound pass's, made by the library, else the first sound channel's (the Image pass's
    # first), cut to the clip.
    sound = next((p.path for p in ordered if p.kind == "sound"), None)
    heard = next((c.path for p in reversed(ordered) for _, c in sorted(p.channels.items()) if c.kind == "sound"), None)
    with_sound = args.format == ".wav" or (args.audio and args.format in encoding.AUDIO and not args.span)
    # A part is joined without coding it again, so its sound would be cut at each join: it has none, and
    # says so whatever its format.
    args.sound_left_out = bool(args.span and args.audio and (sound or heard))
    if args.format == ".wav" and not (sound or heard):
        raise Failure("%s makes no sound: it has no Sound pass (#iSound) and no sound channel" % given)
    if args.format == ".wav":
        args.size, args.tiles = (16, 16), 1
    sound_out = workdir / "sound.raw" if sound and with_sound else None
    binary, preload = paths.viewer(), paths.library("quillomar-record")
    part = leftovers.part_beside(args.output, ".quillomar-record-")
    encoder = ([], "", encoding.ALPHA[args.format]) if args.alpha else encoding.encoder_for(args.format, args.encoder)
    # A GIF's palette can lack colours that the clip shows: ffmpeg keeps a digest of each frame it is
    # handed, for the proof to hold the GIF's frames against.
    digest = proof.Digest(workdir / "digest", args.size) if args.format == ".gif" else None
    # A part of a clip: tagged with what clip it is of, and drawn after the frames before it where its
    # passes keep state.
    first, unseen, tags = 0, 0, ()
    if args.span:
        first = args.span[0]
        # A session's key events are keys held, as --key is: each at its own frame.
        held = args.keys or (args.session is not None and args.replayed.keys())
        unseen = first if segments.keeps_state(ordered, held) else 0
        # The -I folders are not in it as named: the files found in them are.
        inputs = "mouse=%r keys=%s supersample=%d motion-blur=%r alpha=%r set=%r scale=%d replay=%r" % (
            args.mouse, ",".join(sorted(args.keys)), args.supersample, args.motion_blur, args.alpha,
            [segments.valued(s) for s in sorted(args.sets, key=lambda s: s.partition("=")[0])], args.scale, args.replay)
        clip = segments.digest(ordered, inputs, args.include, [args.session] if args.session is not None else [])
        coded_by = encoder[2][encoder[2].index("-c:v") + 1]
        tags = segments.metadata(args.format, segments.tag(clip, args.size, args.fps, args.start, args.whole,
                                                           coded_by, first, args.span[1]))
    args.unseen = unseen
    # Supersampled: drawn at k times the size, buffers too, and filtered down by the encoder.
    k = args.supersample
    drawn = renders.drawn(args.size, k)
    if k > 1:
        renders.check_memory(args.size, k, sum(p.kind != "sound" for p in ordered) - 1)
    with contextlib.ExitStack() as running:
        display = display_for(args)
        frames_read, frames_write = os.pipe()
        status_read, status_write = os.pipe()
        ffmpeg = encoding.start_encoder(args.format, args.size, args.fps, frames_read, part, encoder, digest,
                                        workdir / "ffmpeg.log", tags, drawn if k > 1 else None,
                                        renders.downscale(args.size, args.alpha))
        running.callback(displays.stop, ffmpeg)
        settings = encode(frames=args.frames, fps=args.fps, start=time.time(), size=drawn,
                          frame_fd=frames_write, status_fd=status_write, source=args.shader.absolute(), plan=plan,
                          **({"first": first, "unseen": unseen, "clip": args.whole} if args.span else {}),
                          **({"tiles": args.tiles} if args.tiles > 1 else {}),
                          **({"blur": args.motion_blur[0], "shutter": args.motion_blur[1]}
                             if args.motion_blur[0] > 1 else {}),
                          **({"alpha": 1} if args.alpha else {}),
                          **{"from": args.start}, **({"mouse": args.drawn_mouse} if args.mouse else {}),
                          **({"keys": ",".join(args.keys)} if args.keys else {}),
                          **({"set": "\n".join(args.sets)} if args.sets else {}),
                          **({"scale": args.scale} if args.scale > 1 else {}),
                          **({"replay": replay} if replay else {}),
                          **({"include": "\n".join(escaped(d.resolve()) for d in args.include)} if args.include
                             else {}),
                          **({"sound_out": sound_out, "sound_seconds": args.seconds if args.format == ".wav" else
                              args.frames / args.fps} if sound_out else {}))
        if display is None:
            # No display server: the viewer's window is a context from EGL.
            preload = [preload, paths.library("quillomar-headless")]
            settings.update(encode(renderer=args.renderer or "auto", report_fd=status_write))
            if args.renderer == "software":
                settings["LIBGL_ALWAYS_SOFTWARE"] = "1"
            env = viewer.environment("", preload, **settings)
        else:
            env = viewer.environment(None, [preload], **settings)
        # Its own session, as ffmpeg's and the X server's: Ctrl-C in the terminal is for the recorder alone.
        proc = viewer.start(workdir, env, text=text, binary=binary, pass_fds=(frames_write, status_write),
                            stdin=subprocess.DEVNULL, stdout=open(workdir / "stdout", "wb"),
                            stderr=open(workdir / "stderr", "wb"), start_new_session=True)
        running.callback(displays.stop, proc)
        for fd in (frames_read, frames_write, status_write):
            os.close(fd)

        started, status = time.monotonic(), Status(first - unseen)
        try:
            status.read(status_read, args.frames, sys.stderr.isatty(), args.frame_limit)
        finally:
            os.close(status_read)
        done = status.done
        viewer_status = proc.wait()
        ffmpeg_status = ffmpeg.wait()
    out = (workdir / "stdout").read_bytes()
    echo = text + b"\n"
    said = ((out[len(echo):] if out.startswith(echo) else out) + (workdir / "stderr").read_bytes()).decode(
        errors="replace").strip()
    encoder_said = (workdir / "ffmpeg.log").read_text(errors="replace").strip()
    if status.failed:
        file, log, pass_text, included = status.failed
        # A pass by the name the user knows it by: the file given, a pass's own file, or for a file made of
        # a JSON, the JSON and the file's name (as quillomar-import would write it).
        made = Path(file).parent == workdir
        name = Path(file).name if made else given if Path(file) == args.shader.absolute() else file
        if given.is_dir():  # a folder's: by the user's files in it
            name, included = folders.shown(file, given), [folders.shown(f, given) for f in included]
        raise Failure("%s did not build:\n%s" % (given if made else name,
                                                  "\n".join(errors_first(log, pass_text, name, included))))
    if status.refused:
        raise Failure(status.refused)
    if not status.built:
        raise Failure("%s did not build:\n%s" % (given, said))
    if status.too_large:
        raise Failure(renders.too_large(args.size, k, *status.too_large))
    # A viewer that could not hand a frame over died of SIGPIPE: the encoder went first.
    if viewer_status == -signal.SIGPIPE or (ffmpeg_status != 0 and done == args.frames):
        raise Failure("ffmpeg failed (status %d)%s" % (ffmpeg_status, ":\n" + encoder_said if encoder_said else ""))
    if done < args.frames or viewer_status != 0:
        if said == "Failed to create GLFW window" and display is not None:
            said += ("; the display %s gives no window with an OpenGL 3.3 core context, and --headless records with "
                     "no display" % viewer.display_name())
        elif said == "Failed to create GLFW window":
            said += "; EGL gives no OpenGL 3.3 core context here%s" % (" on a GPU" if args.renderer == "gpu" else "")
        raise Failure("the viewer ended after %d of %d frames (status %d)%s" % (
            done, args.frames, viewer_status, ":\n" + said if said else ""))
    # The clip replaces OUTPUT only once it is proven whole: ffmpeg can end with status 0 on a full disk.
    if args.format != ".wav":
        proof.check(part, args.format, args.frames, args.fps, encoder_said, digest)
    if with_sound and (sound_out or heard):
        part = encoding.with_audio(part, args.format, args.frames, args.fps, args.start,
                                   args.seconds if args.format == ".wav" else args.frames / args.fps,
                                   sound_out, heard, leftovers)
    try:
        os.replace(part, args.output)
    except OSError as e:
        raise Failure("cannot write %s: %s" % (args.output, e.strerror or e))
    if said:
        log = Log(sys.stderr)
        for line in said.split("\n"):
            log.frame_line(line)
        log.close()
    args.tiles_drawn = status.tiles
    return done, time.monotonic() - started, status.renderer


def main(argv=None):
    args = arguments(sys.argv[1:] if argv is None else argv)
    if shutil.which("ffmpeg") is None:
        return "quillomar-record: ffmpeg is not installed (Debian package ffmpeg)"
    if not os.path.lexists(args.shader):
        return "quillomar-record: %s: no such file" % args.shader
    if not args.output.parent.is_dir():
        return "quillomar-record: %s: no such directory" % args.output.parent
    cleanup.end_on_signals()
    try:
        with cleanup.Leftovers() as leftovers:
            workdir = Path(leftovers.add(tempfile.mkdtemp(prefix="quillomar-record-")))
            frames, seconds, renderer = record(args, workdir, leftovers)
        if args.format == ".wav":
            lines = ["%s: %.3f s of sound from %g s" % (args.output, args.seconds, args.start)]
        else:
            lines = ["%s: %d frames in %.1f s (%.1f frames/s)%s" % (args.output, frames, seconds, frames / seconds,
                                                                    ", drawn by " + renderer if renderer else "")]
        if args.tiles_drawn:
            lines.append("the Image pass drawn in %s tiles a frame" % args.tiles_drawn)
        if args.span:
            lines.append("frames %d-%d of %d%s" % (*args.span, args.whole, "; its passes keep state from frame to "
                                                   "frame, so the %d frames before it were drawn first, unseen"
                                                   % args.unseen if args.unseen else "")
                         + ("; its sound is not in parts: record the sound whole with OUTPUT.wav"
                            if args.sound_left_out else ""))
        print("\n".join(lines[:-1] + ["; ".join(lines[-1:] + args.stood_in)]))
        return 0
    except Failure as e:
        return "quillomar-record: %s" % told(args, str(e))
    except OSError as e:
        return "quillomar-record: %s" % told(args, "%s%s" % (e.strerror or e, ": %s" % e.filename if e.filename
                                                               else ""))
    except KeyboardInterrupt:
        sys.stderr.write("\nquillomar-record: interrupted; %s was not written\n" % args.output)
        return 130
