"""What quillomar-live follows besides the passes' texts, which the library builds itself: a Shadertoy JSON,
written again as its files when it is saved, and the passes' directives and textures, from which a new plan
is handed to the library when a save changes them. The files are watched by the library's watcher, by the
one rule it watches the passes' files by (base/watch.h): the command names them on the pipe it hands its
plans on ("follow NAME PATH..."), and the library says "followed" (with NAME) when one of them changed."""
import os
from pathlib import Path

from quillomar import Failure, plans, shadertoy
from quillomar.lines import escaped
from quillomar.viewer_log import heading


class Follower:
    """The lists of files the library watches for the command, each under a name, and what is done when a
    file of one changes (handlers: ViewerLog.followers)."""

    def __init__(self, plan_fd, handlers, missed):
        self.plan_fd, self.handlers, self.missed = plan_fd, handlers, missed

    def follow(self, name, paths, then=None, seen=None):
        """The library watches paths (a folder: its entries) under name, in place of what name had; then
        (when given) is what is done when one of them changes. A change between what the command saw of
        them (seen, from state(); else as they are now) and the library's watch (its "following") counts
        too."""
        if then is not None:
            self.handlers[name] = then
        paths = [os.path.abspath(p) for p in paths]
        seen = state(paths) if seen is None else seen
        self.missed[name] = lambda: state(paths) != seen
        named = [escaped(p + ("/" if os.path.isdir(p) else "")) for p in paths]
        self.say("\t".join(["follow", name] + named))

    def say(self, line):
        """A line to the library; once the viewer has ended, the session is ending too."""
        try:
            os.write(self.plan_fd, os.fsencode(line + "\n"))
        except OSError:
            pass


def state(paths):
    """What a save changes of each path: a file's identity, size and times; a folder's entries."""
    def one(path):
        try:
            if os.path.isdir(path):
                return sorted(os.listdir(path))
            s = os.stat(path)
            return (s.st_ino, s.st_size, s.st_mtime_ns, s.st_ctime_ns)
        except OSError:
            return None
    return [one(os.path.abspath(p)) for p in paths]


def following(json_path, folder, media, given, log, name, fetch=False, strict=False):
    """What keeps the files made of a Shadertoy JSON up to date when the JSON is saved: the function to call
    then. A save that cannot be read as a shader is said in the log."""
    def saved():
        if not os.path.isfile(json_path):
            return  # gone for a moment, as an editor's save may leave it
        try:
            shadertoy.write(json_path, folder, media, given, fetch, strict, Path(folder) / "media")
        except Failure as e:
            log.write(heading(name, e))
    return saved


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


def followed_files(ordered):
    """The files of the passes whose saves may change the plan: each pass's file, each file a channel reads,
    and a folder's (a file added or taken away)."""
    return ([p.path for p in ordered] +
            [c.path for p in ordered for c in p.channels.values() if c.path is not None and os.path.isabs(c.path)]
            + [p.path.parent for p in ordered if p.first is not None])


def replanning(image, ordered, workdir, given, log, name, follower, capture=None, seen=None):
    """Follows the passes' files (follower: a Follower): when a save changes the directives or a texture,
    the library is handed a new plan. A save whose directives cannot be followed is said in the log; the
    passes stay. seen: what the command saw of the files when it planned them (state())."""
    state = {"wiring": wiring(ordered), "ordered": ordered, "plans": 0}

    def changed():
        try:
            ordered, notes = plans.passes_of(image, given)
            now = wiring(ordered)
            if now != state["wiring"]:
                state["plans"] += 1
                folder = Path(workdir) / ("plan%d" % state["plans"])
                folder.mkdir()
                plan = plans.write_plan(ordered, folder, notes, capture, made_in=workdir)
        except Failure as e:
            log.write(heading(name, "%s; the passes stay as they were" % e))
            follower.follow("plan", followed_files(state["ordered"]))
            return
        state["ordered"] = ordered
        follower.follow("plan", followed_files(ordered))
        if now == state["wiring"]:
            return
        state["wiring"] = now
        for note in notes:
            log.write(heading(name, note))
        follower.say(escaped(plan))
    follower.follow("plan", followed_files(ordered), changed, seen)
