"""Shows a shader in one Quillomar window for a whole editing session: every save is built and shown in
the same window, which keeps its size, its place and the clock, and leaves the focus where it is.

    quillomar-live [SHADER] [--echo] [--channel0 IMAGE ... --channel3 IMAGE] [--session FILE]

SHADER is test.glsl in the current directory by default, and need not exist yet; a folder in the site's
layout (Image.glsl, Common.glsl, Buffer A.glsl, ...) is one shader, Common in every pass. A text that does not
build leaves the last one that did on the screen; the title says so, and the log on standard output has
the GL's messages written as FILE:LINE:COLUMN: error: ..., with the line and a caret under the column.
In the window, Space pauses and resumes iTime, Home sets it back to 0, Left and Right move it by one
second, Period and Comma step one frame; F1 shows and hides an overlay (frame and GPU times, the
timeline, the tuned values, the colour under the pointer); F2 divides the picture (1/2, 1/4, 1/8, whole
again); Escape or the close button ends the session, as does Ctrl-C. --session FILE writes the session as
it goes (every build, key, mouse, time key and #iUniform set), for quillomar-record --replay.

A mainImage shader (one with no #version line that defines mainImage) gets its usual inputs: iMouse
follows the pointer while the left button is held, and --channelN binds an image to iChannelN.
"""
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from quillomar import (Failure, channels, cleanup, displays, facts, folders, media, options, paths, plans,
                       playback, shadertoy, viewer, wire)
from quillomar import config
from quillomar import session as sessions
from quillomar.lines import escaped, unescaped
from quillomar.messages import Log, located, printable, text_lines
from quillomar.settings import encode

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
        self.refresh = []  # called now and then: what follows a Shadertoy JSON, and the directives
        self.handlers = {"build": self.built, "missing": self.missing, "unreadable": self.unreadable,
                         "stalled": self.stalled, "reverted": self.reverted, "clock": self.clock, "sound": self.sound,
                         "overlay": self.overlay, "session-stopped": self.session_stopped}
        self.player, self.sound_path = playback.Player(self.head), None
        self.folder = args.shader if args.shader.is_dir() else None  # a folder in the site's layout

    def clock(self, record):
        self.player.clock(float(record.fields["itime"]), record.fields["paused"] == "1")

    def sound(self, record):
        self.player.load(self.sound_path)

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
            for refresh in self.refresh:
                refresh()
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


def following(json_path, folder, media, given, log, name, fetch=False, strict=False):
    """What keeps the file made of a Shadertoy JSON up to date when the JSON is saved: a function to call
    now and then. A save that cannot be read as a shader is said in the log."""
    seen = [None]

    def refresh():
        try:
            stamp = os.stat(json_path).st_mtime_ns
        except OSError:
            return
        if seen[0] is None or stamp == seen[0]:
            seen[0] = stamp
            return
        seen[0] = stamp
        try:
            shadertoy.write(json_path, folder, media, given, fetch, strict, Path(folder) / "media")
        except Failure as e:
            log.write(heading(name, e))
    return refresh


def saved(path):
    try:
        return os.stat(path).st_mtime_ns
    except (OSError, TypeError, ValueError):
        return None


def wiring(ordered):
    """What the passes are and read, with the times their textures were saved: when it changes, the
    library gets a new plan. (A save of a pass's text alone the library builds itself.)"""
    return [(str(p.path), p.kind, p.keyboard, p.first, sorted((n, c.kind, str(c.path), c.filter, c.wrap, c.vflip,
                                                      None if c.kind == "pass" else saved(c.path))
                                                     for n, c in p.channels.items()))
            for p in ordered]


def stamps(ordered):
    """When each file of the passes and each texture was saved, and a folder's (a file added or taken
    away): what is looked at now and then."""
    return ([saved(p.path) for p in ordered] + [saved(c.path) for p in ordered for c in p.channels.values()]
            + [saved(p.path.parent) for p in ordered if p.first is not None])


class Hearing:
    """Sounds as they are heard (a channel "mic" or "desktop"): each source captured by parec (Debian package
    pulseaudio-utils) into a pipe that the viewer reads, mono 32-bit float samples as they come. The pipes
    are the viewer's from its start: a source first named later is refused."""

    def __init__(self):
        self.pipes, self.children, self.running = {}, [], False

    def pipe(self, source):
        """The viewer's end of source's pipe."""
        if source in self.pipes:
            return self.pipes[source]
        if self.running:
            raise Failure("a sound as it is heard is heard from the start of the session: start quillomar-live "
                          "again to hear %s" % source)
        if shutil.which("parec") is None:
            raise Failure("hearing %s needs parec (Debian package pulseaudio-utils)" % source)
        read_end, write_end = os.pipe()
        self.children.append(displays.child(["parec", "-d", source, "--raw", "--format=float32le", "--channels=1",
                                             "--rate=%d" % facts.get().sample_rate, "--latency-msec=20"],
                                            stdout=write_end, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL))
        os.close(write_end)
        self.pipes[source] = read_end
        return read_end

    def started(self):
        """The viewer has its ends."""
        self.running = True

    def stop(self):
        for child in self.children:
            displays.stop(child)
        for fd in self.pipes.values():
            os.close(fd)


def replanning(image, ordered, workdir, given, log, name, plan_fd, capture=None):
    """What hands the library a new plan when a save changes the directives or a texture: a function to
    call now and then. A save whose directives cannot be followed is said in the log; the passes stay."""
    state = {"wiring": wiring(ordered), "ordered": ordered, "stamps": stamps(ordered), "plans": 0}

    def refresh():
        if stamps(state["ordered"]) == state["stamps"]:
            return
        try:
            ordered, notes = plans.passes_of(image, given)
            state["stamps"] = stamps(state["ordered"])
            now = wiring(ordered)
            if now == state["wiring"]:
                state["ordered"], state["stamps"] = ordered, stamps(ordered)
                return
            state["plans"] += 1
            folder = Path(workdir) / ("plan%d" % state["plans"])
            folder.mkdir()
            plan = plans.write_plan(ordered, folder, notes, capture, made_in=workdir)
        except Failure as e:
            state["stamps"] = stamps(state["ordered"])
            log.write(heading(name, "%s; the passes stay as they were" % e))
            return
        state["wiring"], state["ordered"], state["stamps"] = now, ordered, stamps(ordered)
        for note in notes:
            log.write(heading(name, note))
        try:
            os.write(plan_fd, os.fsencode(escaped(plan) + "\n"))
        except OSError:  # the viewer has ended: the session is ending too
            pass
    return refresh


def command_parser():
    """quillomar-live's parser, which its manual page is made from."""
    made = options.Parser("quillomar-live", __doc__)
    made.add_argument("shader", nargs="?", default="test.glsl", type=Path,
                      help="the shader file, or a folder in the site's layout: Image.glsl, Common.glsl, "
                           "Buffer A.glsl, ... (test.glsl)")
    made.add_argument("--echo", action="store_true", help="print each text built, as the viewer echoes it")
    made.add_argument("--session", type=Path, metavar="FILE",
                      help="write the session to FILE as it goes, for quillomar-record --replay")
    options.add_inputs(made)
    return made


def arguments(argv):
    return command_parser().parse_args(argv)


def main(argv=None):
    args = arguments(sys.argv[1:] if argv is None else argv)
    try:
        # The folder is resolved, the name is kept: a symbolic link is watched as a name, and through its
        # target.
        path = args.shader.parent.resolve() / args.shader.name
    except (OSError, RuntimeError) as e:
        return "quillomar-live: %s: %s" % (args.shader.parent, getattr(e, "strerror", None) or e)
    if not path.parent.is_dir():
        return "quillomar-live: %s: no such directory" % args.shader.parent
    if not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
        return "quillomar-live: no display to open a window on (DISPLAY is not set)"
    cleanup.end_on_signals()
    log, proc, session, hearing = Log(sys.stdout), None, None, None
    try:
        with cleanup.Leftovers() as leftovers:
            workdir = leftovers.add(tempfile.mkdtemp(prefix="quillomar-live-"))
            follow, json_path = None, path
            hearing = Hearing()
            fetch = config.fetching(args.fetch)
            path, plan, ordered, left_out = plans.prepare(path, workdir, args.media, channels.given(args),
                                                          hearing.pipe, fetch, args.strict_media)
            # Shadertoy's JSON: its passes as files, which follow its saves.
            if json_path != path and not json_path.is_dir():
                follow = following(json_path, path.parent, args.media, channels.given(args), log, str(args.shader),
                                   fetch, args.strict_media)
            for what in left_out:
                log.write(heading(args.shader, what))
            more = {"include": "\n".join(escaped(d.resolve()) for d in args.include)} if args.include else {}
            if args.session is not None:
                refused = sessions.refused(args.session, json_path, ordered, args.include)
                if refused:
                    raise Failure(refused)
                more["session"] = args.session.absolute()
            if any(isinstance(what, shadertoy.StoodIn) for what in left_out):
                more["stand_ins"] = "placeholders for media not here"
            # The sound played: the Sound pass's, made by the library, else the first sound channel's.
            sound = next((p for p in ordered if p.kind == "sound"), None)
            heard = next((c.path for p in reversed(ordered) for _, c in sorted(p.channels.items())
                          if c.kind == "sound"), None)
            more["sound_out"] = Path(workdir) / "sound.raw"  # also for a Sound pass named by a later save
            plan_read, plan_write = os.pipe()
            env = viewer.environment(preload=[paths.library("quillomar-live")],
                                     **encode(shader=path, plan=plan, plan_fd=plan_read, **more))
            # Only a regular file is linked for the viewer to read: it would wait for ever on a FIFO.
            proc = viewer.start(workdir, env, link=path if path.is_file() else None, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                pass_fds=(plan_read, *hearing.pipes.values()))
            os.close(plan_read)
            hearing.started()
            session = ViewerLog(args, log, path)
            session.sound_path = more["sound_out"]
            if sound is None and heard is not None:
                session.player.load(media.sound_samples(heard, "the sound of %s" % heard, workdir, channels=2))
            # What is resolved again after a save: a folder's passes from the folder, else from the Image file.
            whole = json_path if json_path.is_dir() else path
            session.refresh = [f for f in (follow, replanning(whole, ordered, workdir, channels.given(args), log,
                                                             str(args.shader), plan_write, hearing.pipe))
                               if f is not None]
            status = session.run(proc)
            log.close()
            if status == -signal.SIGINT:
                return 130
            if status != 0:
                said = session.out_tail.decode(errors="replace").strip().splitlines()
                said = said[-1] if said and not session.builds else ""
                if said == "Failed to create GLFW window":
                    return ("quillomar-live: cannot open a window with an OpenGL 3.3 core context on the display %s "
                            "(the viewer said: %s)" % (viewer.display_name(), said))
                return "quillomar-live: the viewer ended with status %d%s" % (status, ": " + said if said else "")
            return 0
    except Failure as e:
        return "quillomar-live: %s" % e
    except BrokenPipeError:
        # Whoever read the log has gone: the session ends, and nothing more is written there.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return "quillomar-live: the log's reader has gone (standard output was closed); the session ended"
    except KeyboardInterrupt:
        # Ctrl-C reached the viewer too: what it had said before it ended is still logged.
        if session is not None:
            try:
                session.run(proc, patience=2)
            except (OSError, ValueError):
                pass
        log.close()
        return 130
    finally:
        if hearing is not None:
            hearing.stop()
        if session is not None:
            session.player.stop()
        if proc is not None:
            displays.stop(proc)
