"""A session that quillomar-live wrote (--session FILE), read for quillomar-record --replay: JSON lines, a
header {"quillomar-session": VERSION, "shader": NAME} and then an event a line, each with the frame, the
iTime and the session's clock it took effect at, each kind's fields as the libraries' table has them
(text/sessions.c, read through translate --describe: facts.py). Read whole and checked: a line that is
not an event is one message naming the file and the line; a session of a newer version is refused, naming
both versions; a last line cut short (the session ended while it was written) is left out, and said."""
import json
import math
import os
import re
from pathlib import Path

from quillomar import Failure, dialects, directives, facts, files, segments
from quillomar.lines import escaped

# The largest session read.
LARGEST = 256 << 20
# The browser's key codes a key event may have (as --key takes them).
KEY_CODES = range(256)
# The name an #iUniform line declares, as the libraries read it.
UNIFORM = re.compile(r"^[ \t]*#[ \t]*iUniform[ \t]+\w+[ \t]+(\w+)", re.M | re.A)

# What a field must be, by the type the libraries' table gives it: a number, a flag, a name, the files of a
# build, or a list of numbers (of the lengths the table allows).
NUMBER, FLAG, NAME, FILES = "a number", "true or false", "a text", "a list of {\"path\", \"text\"}"
WHAT = {"number": NUMBER, "flag": FLAG, "text": NAME, "files": FILES}


def what_of(field):
    """What a field (facts.Field) must be, as wrong() takes it."""
    return WHAT[field.type] if field.type in WHAT else tuple(range(field.least, field.most + 1))


def newest_version():
    """The version of the sessions live writes and this package reads; it reads each version before it too
    (version 1 had no "pass" events: its buffer passes' texts are not in the session)."""
    return facts.get().session.version


def events_checked():
    """{kind: [(field, what)]}: the fields every event of each kind must have, the common ones first (an
    optional field is checked where it is there, on its own)."""
    described = facts.get().session
    common = [(name, what_of(f)) for name, f in described.common.items()]
    return {kind: common + [(name, what_of(f)) for name, f in fields.items() if not f.optional]
            for kind, fields in described.events.items()}


class Session:
    """The session's events, each a dict as its line has it, in their order; what was said on the way (a
    last line cut short); and the session's length on its clock."""

    def __init__(self, events, said, name=""):
        self.events, self.said, self.name = events, said, name
        # Each file the replay writes or links (written): {its path: (the event's line, the path it had)}.
        self.origins = {}
        self.length = max((e["clock"] for e in events), default=0.0)

    def told(self, text):
        """text (a message) with the replay's files named as the session has them, and SESSION:LINE before
        it, of the event whose file it names first."""
        named = sorted((path for path in self.origins if path in text), key=len, reverse=True)
        if not named:
            return text
        first = min(named, key=text.index)
        for path in named:
            text = text.replace(path, self.origins[path][1])
        return "%s:%d: %s" % (self.name, self.origins[first][0], text)

    def builds(self):
        return [e for e in self.events if e["event"] == "build"]

    def keys(self):
        """Whether a key goes down or up in the session."""
        return any(e["event"] == "key" for e in self.events)

    def passes_of(self, n):
        """The buffer passes' builds shown with the Image pass's build n: of each pass's file, its first
        build (for the first build: a replay starts with it and takes each later one at its time), else the
        last built by then, else its first."""
        at = self.builds()[n]["clock"]
        shown = {}
        for e in self.events:
            if e["event"] == "pass" and (e["files"][0]["path"] not in shown or (n > 0 and e["clock"] <= at)):
                shown[e["files"][0]["path"]] = e
        return list(shown.values())


def is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def wrong(event, name, what):
    """What is wrong with event's field name, which should be what; None when it is right."""
    value = event.get(name)
    if what == NUMBER:
        ok = is_number(value)
    elif what == FLAG:
        ok = isinstance(value, bool)
    elif what == NAME:
        ok = isinstance(value, str) and value != ""
    elif what == FILES:
        # A path is a name the file system can have: no NUL in it.
        ok = isinstance(value, list) and value != [] and all(
            isinstance(f, dict) and isinstance(f.get("path"), str) and f["path"] != "" and
            "\0" not in f["path"] and isinstance(f.get("text"), str) for f in value)
    else:
        ok = isinstance(value, list) and len(value) in what and all(is_number(v) for v in value)
        what = "a list of %s numbers" % " or ".join(map(str, what))
    return None if ok else "%r is not %s" % (name, what)


def version_of(line):
    """The version a session's first line (bytes) gives; None when it is no session's first line."""
    try:
        value = json.loads(line.decode("utf-8", "surrogateescape"))
    except ValueError:
        return None
    version = value.get("quillomar-session") if isinstance(value, dict) else None
    return version if isinstance(version, int) and not isinstance(version, bool) and version >= 1 else None


def refused(path, shader, ordered, include=()):
    """Why live does not write its session to path, where it would write over what is not a session (None:
    it may): a file of the shader (shader, a pass's text, a file it includes, a file a channel reads), or a
    file there already that is not a session."""
    name = os.fsdecode(path)
    if "\0" in name:
        return "--session %r: a file's name has no NUL in it" % name
    texts = [t for p in ordered for t in [p.path, *(p.first or ())]]
    own = [shader, *texts] + [f for t in texts if os.path.isfile(t) for f in dialects.made_of(t, include)] + [
        f for p in ordered for c in p.channels.values() if c.kind != "pass" for f in segments.read_by(c)]
    try:
        found = os.stat(path)
    except FileNotFoundError:
        if os.path.abspath(path) in {os.path.abspath(f) for f in own}:
            return "--session %s: that is the shader's own file; a session is written to a file of its own" % name
        return None
    except OSError as e:
        return "--session %s: %s" % (name, e.strerror or e)

    def same(f):
        try:
            there = os.stat(f)
        except (OSError, ValueError):
            return False
        return (there.st_dev, there.st_ino) == (found.st_dev, found.st_ino)
    if any(same(f) for f in own):
        return "--session %s: that is a file of the shader; a session is written to a file of its own" % name
    if not os.path.isfile(path):
        return "--session %s: not a regular file; a session is written to a file of its own" % name
    try:
        with open(path, "rb") as f:
            first = f.readline(1 << 16)
    except OSError as e:
        return "--session %s: %s" % (name, e.strerror or e)
    if first and version_of(first.rstrip(b"\n")) is None:
        return "--session %s: not a Quillomar session, so it is left as it is" % name
    return None


def read(path, latest=math.inf):
    """The session in the file at path; latest: the latest iTime and clock an event may have."""
    name = os.fsdecode(path)
    if "\0" in name:
        raise Failure("%r: a file's name has no NUL in it" % name)
    data = files.read(path, LARGEST)
    lines = data.split(b"\n")
    cut = lines[-1] != b""
    lines = lines[:-1] if not cut else lines
    said, checked, newest = [], events_checked(), newest_version()
    if not lines or lines == [b""]:
        raise Failure("%s: an empty file, not a Quillomar session" % name)
    events = []
    for number, line in enumerate(lines, 1):
        try:
            value = json.loads(line.decode("utf-8", "surrogateescape"))
        except ValueError as e:
            if cut and number == len(lines) and number > 1:
                said.append("%s:%d: the last line is cut short (the session ended as it was written); the session "
                            "is replayed up to the line before it" % (name, number))
                break
            if number == 1:
                raise Failure("%s:1: not a Quillomar session (its first line is no {\"quillomar-session\": "
                              "VERSION, ...})" % name)
            raise Failure("%s:%d: not an event of a session: %s" % (name, number, e.msg))
        if number == 1:
            version = version_of(line)
            if version is None:
                raise Failure("%s:1: not a Quillomar session (its first line is no {\"quillomar-session\": "
                              "VERSION, ...})" % name)
            if version > newest:
                raise Failure("%s: a session of version %d, newer than this quillomar-record reads (version %d)"
                              % (name, version, newest))
            continue
        kind = value.get("event") if isinstance(value, dict) else None
        if kind not in checked:
            raise Failure("%s:%d: not an event of a session: %s" % (
                name, number, "no \"event\"" if kind is None else "unknown event %r" % (kind,)))
        problems = [wrong(value, field, what) for field, what in checked[kind]]
        if kind == "time" and "speed" in value and not (is_number(value["speed"]) and value["speed"] >= 0):
            problems.append("'speed' is not a number of 0 or more")
        for field in ("itime", "clock"):
            if is_number(value.get(field)) and not 0 <= value[field] <= latest:
                problems.append("%r is not a number of 0 to %g" % (field, latest))
        if kind == "key" and is_number(value.get("code")) and value["code"] not in KEY_CODES:
            problems.append("'code' is not a key code (0 to %d)" % KEY_CODES[-1])
        problems = [p for p in problems if p]
        if problems:
            raise Failure("%s:%d: %s event: %s" % (name, number, kind, problems[0]))
        if events and value["clock"] < events[-1]["clock"]:
            raise Failure("%s:%d: its clock goes back" % (name, number))
        # The event's line, and the session's FILE:LINE for a message about its value.
        value["line"], value["where"] = number, "%s:%d" % (name, number)
        events.append(value)
    session = Session(events, said, name)
    if not session.builds():
        raise Failure("%s: no build in the session: its shader never built" % name)
    # A uniform set that no text of the session declares sets nothing: said, and left out.
    declared = {u for e in events if e["event"] in ("build", "pass") for f in e["files"]
                for u in UNIFORM.findall(f["text"])}
    for e in [e for e in events if e["event"] == "uniform" and e["name"] not in declared]:
        said.append("%s:%d: no text of the session declares an #iUniform %r: the event is left out"
                    % (name, e["line"], e["name"]))
        events.remove(e)
    return session


def named_in(text):
    """The relative paths a file's text names for its channels and Sound pass."""
    named = [value for _, setting, value in directives.DIRECTIVE.findall(text) if not setting]
    names = [value[len("file://"):] if value.startswith("file://") else value
             for value in named + directives.SOUND.findall(text)]
    return [name for name in names if name != "" and not os.path.isabs(name)]


def linked(text, was, now):
    """Each file text's channels and Sound pass name (from the folder was) that is not in the folder now: a
    link there to the file in was, as it is now (images, videos, sounds and the Sound pass are not in a
    session)."""
    for name in named_in(text):
        if not (was / name).exists():
            continue
        place = now / name
        if not os.path.lexists(place):
            place.parent.mkdir(parents=True, exist_ok=True)
            place.symlink_to(os.path.abspath(was / name))


def included_here(text, path, copies, target):
    """text, of the file that was at path and is written at target, with each #include of a file the
    session holds that it found elsewhere (by an absolute path, as a folder's pass includes its files, or
    in a -I folder) naming that file's copy instead: the session's texts are built, not the files as they
    are now; one of a file the session does not hold fails as a file not found does (no other file is read).
    Each line stays a line."""
    def copy_of(m):
        name = m[2] or m[3]
        if not os.path.isabs(name) and os.path.normpath(os.path.join(os.path.dirname(path), name)) in copies:
            return m[0]  # beside, as the copies are
        whole = os.path.normpath(name)
        found = copies.get(whole) if os.path.isabs(name) else next(
            (copy for was, copy in copies.items() if was.endswith(os.sep + whole)), None)
        if found is None or '"' in str(found):
            return "#error cannot include %s: the session does not hold it" % (
                '"%s"' % name if m[2] else "<%s>" % name)
        return '%s"%s"' % (m[1], os.path.relpath(found, target.parent))
    return directives.INCLUDE.sub(copy_of, text)


def replay_line(kind, **columns):
    """A line of the replay (without its end): kind's word, then the columns (each a text, the last of a
    kind whose last column is one or more a list) in the order the recording library reads them."""
    order = facts.get().session.replay[kind].columns
    if set(columns) != {c.rstrip(".") for c in order}:
        raise Failure("the recording library reads a %s line as %s, not as this command writes it (%s)" % (
            kind, " ".join(order), " ".join(sorted(columns))))
    line = [kind]
    for column in order:
        value = columns[column.rstrip(".")]
        line.extend(value if column.endswith("...") else [value])
    return "\t".join(line)


def written(session, folder, size):
    """Writes each build's files, and those of the buffer passes shown with it (their channels' files), and
    each later build of a buffer pass (swapped in at its time), into a folder of its own in folder, in the same places relative to its pass's file (a file from a folder above
    it, as deep as it is above); and the replay's events as the recording library reads them
    (QUILLOMAR_REPLAY), iMouse counted in the pixels of a picture of size. Returns the first build's pass
    file, and the events' file."""
    def put(every, own, name):
        """every (a list of {"path", "text"}) written in folder/name where they stand to the file own; the
        folder that stands for own's."""
        places = [Path(os.path.normpath(os.path.relpath(f["path"], own.parent))) for f in every]
        # As deep as the files, and the files their channels name, are above own's folder: the links to
        # those stay inside the replay's folder.
        reached = places + [Path(os.path.normpath(place.parent / name)) for place, f in zip(places, every)
                            for name in named_in(f["text"])]
        depth = max(sum(1 for _ in part.parts if _ == "..") for part in reached)
        root = Path(folder) / name / Path(*(["up"] * depth or ["."]))
        copies = {os.path.normpath(f["path"]): root / place for place, f in zip(places, every)}
        for place, f in zip(places, every):
            at = (root / place).absolute()
            session.origins[str(at)] = (line_of[id(f)], f["path"])
            for named in named_in(f["text"]):
                origin = (line_of[id(f)], os.path.normpath(Path(f["path"]).parent / named))
                session.origins[str(at.parent / named)] = session.origins[os.path.normpath(at.parent / named)] = origin
        for place, f in reversed(list(zip(places, every))):
            target = root / place
            target.parent.mkdir(parents=True, exist_ok=True)
            text = included_here(f["text"], f["path"], copies, target)
            target.write_bytes(text.encode("utf-8", "surrogateescape"))
        for place, f in zip(places, every):
            linked(f["text"], Path(f["path"]).parent, (root / place).parent)
        return root

    line_of = {id(f): e["line"] for e in session.events if "files" in e for f in e["files"]}
    passes, first = [], Path(session.builds()[0]["files"][0]["path"])
    for n, build in enumerate(session.builds()):
        own = Path(build["files"][0]["path"])
        passes.append(put(build["files"] + [f for e in session.passes_of(n) for f in e["files"]], own,
                          "build%d" % n) / own.name)
    started = {id(e) for e in session.passes_of(0)}
    lines, n, k = [], 0, 0
    for e in session.events:
        when = repr(float(e["clock"]))
        if e["event"] == "build":
            lines.append(replay_line("build", clock=when, path=escaped(passes[n].absolute())) if n > 0 else None)
            n += 1
        elif e["event"] == "pass" and id(e) not in started:
            # The pass's file as the first build's passes have it, and its text from then on.
            own = Path(e["files"][0]["path"])
            at = passes[0].parent / os.path.normpath(os.path.relpath(own, first.parent))
            lines.append(replay_line("pass", clock=when, file=escaped(at.absolute()),
                                     path=escaped((put(e["files"], own, "pass%d" % k) / own.name).absolute())))
            k += 1
        elif e["event"] == "time":
            lines.append(replay_line("time", clock=when, itime=repr(float(e["itime"])),
                                     paused="1" if e["paused"] else "0", speed=repr(float(e.get("speed", 1.0)))))
        elif e["event"] == "key":
            lines.append(replay_line("key", clock=when, code=str(int(e["code"])), down="1" if e["down"] else "0"))
        elif e["event"] == "mouse":
            scale = [size[k % 2] / e["picture"][k % 2] if e["picture"][k % 2] > 0 else 1.0 for k in range(4)]
            x, y, z, w = [repr(float(v) * s) for v, s in zip(e["mouse"], scale)]
            lines.append(replay_line("mouse", clock=when, x=x, y=y, z=z, w=w))
        elif e["event"] == "uniform":
            lines.append(replay_line("uniform", clock=when, where=escaped(e["where"]), name=escaped(e["name"]),
                                     value=[repr(float(v)) for v in e["value"]]))
    plan = Path(folder) / "replay"
    plan.write_bytes("".join(line + "\n" for line in lines if line).encode("utf-8", "surrogateescape"))
    return passes[0], plan
