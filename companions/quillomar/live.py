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
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

from quillomar import Failure, channels, cleanup, displays, media, options, paths, plans, shadertoy, viewer
from quillomar import config
from quillomar import session as sessions
from quillomar.following import Follower, followed_files, following, replanning, state
from quillomar.hearing import Hearing
from quillomar.lines import escaped
from quillomar.messages import Log
from quillomar.settings import encode
from quillomar.viewer_log import ViewerLog, heading



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
            json_seen = state([json_path])  # as it is read: a save from now on is followed
            path, plan, ordered, left_out = plans.prepare(path, workdir, args.media, channels.given(args),
                                                          hearing.pipe, fetch, args.strict_media)
            plan_seen = state(followed_files(ordered))
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
            # The library's watcher follows the JSON and the passes' directives and textures for the command.
            follower = Follower(plan_write, session.followers, session.missed)
            if follow is not None:
                follower.follow("json", [json_path], follow, json_seen)
            replanning(whole, ordered, workdir, channels.given(args), log, str(args.shader), follower, hearing.pipe,
                       plan_seen)
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
