"""quillomar-live's log of what the viewer and its preload library tell: the viewer's GL error lines on
standard error and, in their midst, the library's records (each build, the file missing or unreadable, a
frame stalled, the clock, the sound made, the overlay, the session stopped, and a file the command follows
changed), each kind handled here."""
import os
import select
import time
from pathlib import Path

from quillomar import cleanup, folders, playback, wire
from quillomar.lines import unescaped
from quillomar.messages import located, printable, text_lines

RULE = "────"


def stamp():
    return time.strftime("%H:%M:%S")


def heading(name, said):
    """A line of the log's own about the file name: a control character in the name (a line break, say) is
    written \\xNN, as in the GL's messages; its other bytes are written as they are."""
    return "%s %s %s: %s %s" % (RULE, stamp(), printable(str(name)), said, RULE)


class ViewerLog:
    """What the viewer and its preload library tell, turned into the log. Standard error holds the
    viewer's GL error lines and, in their midst, the library's records of each build."""

    def __init__(self, args, log, path=None):
        self.args, self.log, self.name, self.path = args, log, str(args.shader), str(path)
        self.builds, self.out_tail, self.reader, self.streams = 0, b"", None, []
        # What is done when a file the command follows changed (following.py): {its list's name: a function}.
        self.followers = {}
        # Whether a file of a list changed between the command naming it and the library watching it: {its
        # list's name: a function}.
        self.missed = {}
        self.handlers = {"build": self.built, "missing": self.missing, "unreadable": self.unreadable,
                         "stalled": self.stalled, "reverted": self.reverted, "clock": self.clock, "sound": self.sound,
                         "overlay": self.overlay, "session-stopped": self.session_stopped,
                         "following": self.following, "followed": self.followed}
        self.player, self.sound_path = playback.Player(self.head), None
        self.folder = args.shader if args.shader.is_dir() else None  # a folder in the site's layout

    def clock(self, record):
        self.player.clock(float(record.fields["itime"]), record.fields["paused"] == "1")

    def sound(self, record):
        self.player.load(self.sound_path)

    def following(self, record):
        """The library watches a list the command follows: a change made before that is seen here."""
        name = record.fields["name"]
        if name in self.followers and name in self.missed and self.missed[name]():
            self.followers[name]()

    def followed(self, record):
        """A file of a list the command follows changed or went away (the library's watcher says so)."""
        follower = self.followers.get(record.fields["name"])
        if follower is not None:
            follower()

    def overlay(self, record):
        """F1: the overlay shown; hidden, with what it measured last."""
        if record.fields["shown"] == "1":
            self.head("overlay shown (F1 hides it)")
            return
        if record.fields["shown"] == "none":
            self.head("the overlay cannot be drawn: Dear ImGui's OpenGL loader found no libGL.so.1")
            return
        times = []
        for line in record.payloads.get("gpu", b"").split(b"\n"):
            ms, _, path = line.partition(b"\t")
            if ms:
                times.append("%s %s" % (self.name_of(unescaped(path)),
                                        "-" if ms == b"-" else "%s ms" % ms.decode()))
        said = "overlay hidden: GPU time per pass: %s; %s ms a frame" % (", ".join(times), record.fields["frame_ms"])
        if record.fields["pixel"] != "-":
            said += "; pixel %s is %s" % (record.fields["pixel"], record.fields["colour"].replace(",", " "))
        self.head(said)

    def session_stopped(self, record):
        """The session's file could not take more (a full disk): the session ends there, the window goes on."""
        self.head("the session is no longer written to %s: %s" % (
            printable(str(self.args.session)), record.payloads["why"].decode(errors="replace")))

    def head(self, said, name=None):
        self.log.write(heading(name or self.name, said))

    def name_of(self, file):
        """How the log names a file of the shader: the one given as given, another pass as it is found
        from there; a folder's by the user's files in it."""
        if self.folder is not None:
            return folders.shown(file, self.folder) if file else self.name
        if not file or file == self.path:
            return self.name
        if self.name.lower().endswith(".json"):
            return "%s, %s" % (self.name, Path(file).name)
        return str(Path(self.name).parent / os.path.relpath(file, Path(self.path).parent))

    def missing(self, record):
        self.head("does not exist; waiting for it" if not self.builds else
                  "is gone; the last picture stays until it is back")

    def unreadable(self, record):
        self.head("cannot be read: %s" % record.payloads["why"].decode(errors="replace"))

    def stalled(self, record):
        self.head("a frame has not ended in %s s (a loop that does not end?); the window takes no keys until "
                  "it does, Ctrl-C here ends the session" % record.fields["seconds"])

    def reverted(self, record):
        self.head("that frame has ended; the text before the last one is back")

    def built(self, record):
        self.builds += 1
        ms = float(record.fields["ms"])
        files = [unescaped(line) for line in record.payloads.get("files", b"").split(b"\n")]
        name = self.name_of(files[0])
        self.head("built in %.1f ms" % ms if record.fields["outcome"] == "built" else "does not build", name)
        text = record.payloads["text"].decode(errors="replace")
        if self.args.echo:
            self.log.write_all(text_lines(text))
        included = [folders.shown(f, self.folder) for f in files[1:]] if self.folder is not None else files[1:]
        self.log.write_all(located(record.payloads["log"].decode(errors="replace"), text, name, included))

    def take(self, items):
        for item in items:
            if isinstance(item, wire.Record):
                wire.dispatch(item, self.handlers)
            else:
                self.log.frame_line(item)

    def run(self, proc, patience=None):
        """Logs what the viewer says until it ends; with patience, for at most that many seconds (what it
        had said when it was interrupted, say)."""
        out, err = proc.stdout.fileno(), proc.stderr.fileno()
        if self.reader is None:
            self.reader, self.streams = wire.Reader(), [out, err]
        reader, streams = self.reader, self.streams
        deadline = None if patience is None else time.monotonic() + patience
        while streams and (deadline is None or time.monotonic() < deadline):
            ready, _, _ = select.select(streams, [], [], 0.2)
            self.log.tick()
            for fd in ready:
                with cleanup.held():  # what is read is logged whole, even when Ctrl-C comes in its midst
                    chunk = os.read(fd, 1 << 16)
                    if not chunk:
                        streams.remove(fd)
                    elif fd == out:
                        self.out_tail = (self.out_tail + chunk)[-4096:]
                    else:
                        self.take(reader.feed(chunk))
        rest = reader.rest()
        if rest:
            self.log.frame_line(rest)
        return proc.wait() if not streams else None
