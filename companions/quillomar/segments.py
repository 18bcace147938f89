"""A clip recorded in parts (quillomar-record --frames A-B) and joined again (quillomar-join): the range a
part holds, whether its passes need the frames before it drawn first, and the tag each part carries in
its container, by which the join knows the parts of one clip and their order."""
import dataclasses
import hashlib
import os
import re
import subprocess
from pathlib import Path

from quillomar import Failure, dialects, directives, media

# The formats a part can be recorded in: those ffmpeg joins without coding the frames again.
JOINABLE = (".mkv", ".mp4", ".webm")
# The container's tag that holds what a part is.
TAG = "quillomar_segment"
# What a part says of its clip: the clip's digest (shader texts, channel files, inputs), its size, frame
# rate, first iTime and frames, the encoder that coded it (parts coded by two encoders, a GPU's on one
# machine and software on another, cannot share one stream), and the part's first and last frame.
FIELDS = ("clip", "size", "fps", "from", "frames", "encoder", "first", "last")
SAME = FIELDS[:-2]


def frame_range(text):
    """A-B: the clip's frames A to B, both included, counted from 0."""
    first, _, last = text.partition("-")
    first, last = int(first), int(last)
    if not 0 <= first <= last:
        raise ValueError
    return first, last


frame_range.__name__ = "frame range (A-B)"


def keeps_state(ordered, keys):
    """Whether a frame of the passes ordered (directives.Pass, in the order they are drawn) depends on the
    frames before it: a pass reads its own previous picture, or a picture of a pass drawn after it (the
    previous frame's); or keys are held for a pass that reads the keyboard (--key, or a replayed session's
    key events: a key's toggled state is its whole history, and a key pressed is pressed at its frame alone)."""
    drawn = [p for p in ordered if p.kind != "sound"]
    place = {Path(os.path.realpath(p.path)): i for i, p in enumerate(drawn)}
    for i, p in enumerate(drawn):
        for channel in p.channels.values():
            if channel.kind == "self":
                return True
            if channel.kind == "pass" and place.get(Path(os.path.realpath(channel.path)), -1) >= i:
                return True
            if channel.kind == "keyboard" and keys:
                return True
        if p.keyboard and keys:
            return True
    return False


def digest(ordered, inputs, include=(), more=()):
    """What makes one clip's frames, as a SHA-256 digest in hex: the text of each pass's file, of the files
    its text includes first (a folder's Common.glsl), of each file these #include (beside them, then in the
    folders include), with the files its channel directives name left out of the text; then for each
    channel what it is and the pass it shows (its place in ordered) or the bytes it reads (a cube map's six
    faces); the bytes of the files more (a session replayed), and the inputs given (text: inputs(job)). Where the files
    lie is not in it: parts recorded from other folders, or on machines with other homes, are parts of one
    clip when what they read is the same."""
    made = hashlib.sha256()
    place = {os.path.realpath(p.path): i for i, p in enumerate(ordered)}
    for p in ordered:
        texts = [f for t in [p.path, *(p.first or ())] for f in dialects.made_of(t, include)]
        for path in texts:
            made.update(b"\0")
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    made.update(NAMED.sub(unnamed, f.read()))
        for n, channel in sorted(p.channels.items()):
            made.update(b"\0%d %s %s %s %r" % (n, channel.kind.encode(), channel.filter.encode(),
                                                 channel.wrap.encode(), channel.vflip))
            if channel.kind == "pass":
                made.update(b" %d" % place.get(os.path.realpath(channel.path), -1))
                continue
            for path in read_by(channel):
                made.update(b"\0")
                with open(path, "rb") as f:
                    for block in iter(lambda: f.read(1 << 20), b""):
                        made.update(block)
    for path in more:
        made.update(b"\0")
        with open(path, "rb") as f:
            made.update(f.read())
    made.update(b"\0" + inputs.encode("utf-8", "surrogateescape"))
    return made.hexdigest()


def inputs(job):
    """The options of a job (quillomar-record's Job: groups of fields) that change the picture, as text for
    the digest: every field its group marks so (metadata "picture" True; those the part's tag holds, as
    its size, are marked "tag"), each as its "canonical" writes it, so that an option cannot be left out of
    the digest by forgetting to name it here."""
    said = []
    for group in dataclasses.fields(job):
        value = getattr(job, group.name)
        for f in dataclasses.fields(value):
            if f.metadata["picture"] is True:
                said.append("%s.%s=%s" % (group.name, f.name, f.metadata["canonical"](getattr(value, f.name))))
    return " ".join(said)


def valued(setting):
    """A --set NAME=VALUE or NAME=FROM:TO as its values, each number as repr() writes it, so that the digest
    holds values, not their spellings (speed=2 and speed=2.0 are one)."""
    name, _, values = setting.partition("=")
    return name + "=" + ":".join(",".join(repr(float(n)) for n in end.split(",")) for end in values.split(":"))


# A channel's directive as digest reads a text: the file it names is left out (its bytes are the channel's).
NAMED = re.compile(directives.DIRECTIVE.pattern.encode(), re.M)
WORDS = {w.encode() for w in ("self", "keyboard", "webcam", *directives.CAPTURES)}


def unnamed(m):
    if m[2] is not None or m[3] in WORDS:
        return m[0]
    return m[0][:m.start(3) - m.start(0)] + b'"'


def read_by(channel):
    """The files a channel reads: a cube map named by a "{}" pattern or a folder, its six faces as the
    decoder finds them; else its file, where it is one."""
    path = channel.path
    if path is None:
        return []
    if channel.kind == "cube" and ("{}" in str(path) or os.path.isdir(path)):
        return media.face_files(str(path)) or []
    return [path] if os.path.isfile(path) else []


def tag(clip, size, fps, start, frames, encoder, first, last):
    """The tag's text for a part of a clip."""
    return " ".join("%s=%s" % (k, v) for k, v in zip(
        FIELDS, (clip, "%dx%d" % size, repr(float(fps)), repr(float(start)), frames, encoder, first, last)))


def metadata(form, text):
    """ffmpeg's options that write text as the part's tag in a container of form."""
    return ["-metadata", "%s=%s" % (TAG, text)] + (["-movflags", "+faststart+use_metadata_tags"]
                                                    if form == ".mp4" else [])


def probe(path, entries, *more):
    done = subprocess.run(["ffprobe", "-v", "error", *more, "-show_entries", entries, "-of",
                           "default=noprint_wrappers=1:nokey=1", "file:" + str(Path(path).absolute())],
                          capture_output=True, text=True, timeout=120)
    if done.returncode != 0:
        raise Failure("%s cannot be read as a clip: it is cut short, or no video" % path)
    return done.stdout.strip()


def read(path):
    """{field: text} of the part at path; one message when it is none."""
    text = probe(path, "format_tags=" + TAG)
    found = dict(f.partition("=")[::2] for f in text.split())
    if not re.fullmatch(r"[0-9a-f]{64}", found.get("clip", "")):
        raise Failure("%s is no part of a clip (quillomar-record --frames A-B makes one)" % path)
    if set(found) != set(FIELDS):
        raise Failure("%s is a part recorded by another version of quillomar-record: record it again" % path)
    try:
        found["first"], found["last"], found["frames"] = int(found["first"]), int(found["last"]), int(found["frames"])
    except ValueError:
        raise Failure("%s is no part of a clip (quillomar-record --frames A-B makes one)" % path)
    return found


def check_whole(path, fields):
    """Raises Failure unless the part at path holds each of its frames whole (a copy or a write cut short,
    on a full disk or a transfer broken off, loses the last), read without decoding them."""
    done = subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-select_streams", "v:0", "-show_entries",
                           "stream=nb_read_packets", "-of", "default=noprint_wrappers=1:nokey=1",
                           "file:" + str(Path(path).absolute())], capture_output=True, text=True, timeout=600)
    frames = fields["last"] - fields["first"] + 1
    if done.returncode != 0 or done.stderr.strip() or done.stdout.strip() != str(frames):
        raise Failure("%s is cut short or damaged: it does not hold its %d frames (%d-%d) whole; record it again"
                      % (path, frames, fields["first"], fields["last"]))


def starts_on_key_frame(path):
    """Whether the first packet of path's picture is a key frame."""
    return probe(path, "packet=flags", "-select_streams", "v:0", "-read_intervals", "%+#1").startswith("K")


def order(parts):
    """The parts [(path, fields)] in the clip's order, checked to be of one clip and to hold each of its
    frames once; one message (Failure) for the first thing wrong."""
    if not parts:
        raise Failure("no parts to join")
    _, one = parts[0]
    for path, fields in parts[1:]:
        differs = [k for k in SAME if fields[k] != one[k]]
        if differs:
            raise Failure("%s is not a part of the clip %s is a part of (its %s differs)" % (
                path, parts[0][0], " and ".join(differs)))
    parts = sorted(parts, key=lambda p: (p[1]["first"], p[1]["last"]))
    wanted = 0
    for (path, fields), before in zip(parts, [None] + parts[:-1]):
        if fields["first"] > wanted:
            raise Failure("frames %d-%d of the clip are in none of the parts" % (wanted, fields["first"] - 1))
        if fields["first"] < wanted:
            raise Failure("frames %d-%d are in two parts: %s and %s" % (
                fields["first"], min(wanted, fields["last"] + 1) - 1, before[0], path))
        wanted = fields["last"] + 1
    if wanted != one["frames"]:
        raise Failure("frames %d-%d of the clip are in none of the parts" % (wanted, one["frames"] - 1))
    return parts
