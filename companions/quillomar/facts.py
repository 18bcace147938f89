"""The libraries' facts that the commands follow, read from the libraries' own tables: what
`translate --describe` prints (the channels, the most passes, the kinds of texture, the sample rate, the
sizes of the sound's and the keyboard's textures, the lines apart of included files, the largest text read,
the dialects' names, the keys' codes by name, the settings between the commands and the libraries, and the
session's format: its events' fields and the replay's lines, text/sessions.c's table). Read once per process,
so that each fact is written once, in C, and the commands cannot drift from it."""
import functools
import json
import subprocess
from typing import NamedTuple

from quillomar import Failure, paths


class Kind(NamedTuple):
    """A kind of texture a channel shows (channels.c's table of kinds)."""
    sampler: str  # the GLSL sampler type shaders read it with
    dimensions: int  # how many numbers its size has in the plan: 2 (WxH) or 3 (WxHxD)
    mipmaps: bool  # whether it has mipmaps (and is read through them)


class Field(NamedTuple):
    """A field of a session's event (text/sessions.h)."""
    type: str  # "number", "flag", "text", "files" (a list of {"path", "text"}) or "numbers"
    least: int  # "numbers": how many, from least to most
    most: int
    optional: bool  # whether an event may leave it out (a session of an older version)


class Replay(NamedTuple):
    """A kind of the replay's lines (text/sessions.h's REPLAY_LINES)."""
    paths: int  # how many columns after the clock are paths in a line
    numbers: int  # how many numbers follow
    columns: tuple  # the columns' names, the clock first; the last ends in "..." where it is one or more


class SessionFormat(NamedTuple):
    version: int  # of the sessions live writes; each version up to it is read
    common: dict  # {field: Field} of every event
    events: dict  # {kind: {field: Field}}, each event's own
    replay: dict  # {kind: Replay}


class Setting(NamedTuple):
    """A setting a command hands a library (base/settings.c's table, or an input row that names it)."""
    kind: str  # int, number, size, point or text
    libraries: tuple  # the libraries that read it: live, record, headless
    required: bool
    least: float = None  # None: no bound below
    above: bool = False  # least itself left out
    most: float = None  # None: no bound above
    input: str = None  # the shader input it feeds, if it feeds one
    initial: float = None  # that input's value when the setting is not given

    def within(self, value):
        """Whether the number value is within the bounds."""
        return not ((self.least is not None and (value <= self.least if self.above else value < self.least))
                    or (self.most is not None and value > self.most))

    def bounds(self):
        """The bounds in words: "1 to 64", "more than 0 and at most 1", "" where there are none."""
        low = None if self.least is None else ("more than %g" if self.above else "%g") % self.least
        if low and self.most is not None:
            return "%s to %g" % (low, self.most) if not self.above else "%s and at most %g" % (low, self.most)
        return low or ("at most %g" % self.most if self.most is not None else "")


class Facts(NamedTuple):
    channels: int  # iChannel0 to iChannel(channels - 1)
    most_passes: int  # the Image pass included
    sample_rate: int  # of the sounds analysed and made, samples per second
    lines_apart: int  # the lines of the Nth file a text includes count from N x lines_apart + 1
    largest_text: int  # bytes
    sound_texture: tuple  # (width, height) of a sound channel's texture
    keyboard_texture: tuple  # (width, height) of the keyboard's
    kinds: dict  # {name: Kind}, in the table's order
    dialects: tuple  # the dialects' names, as #iDialect names them
    keys: dict  # {name: browser key code}, as #iKeyboard names the keys for shaders (Key_NAME)
    settings: dict  # {QUILLOMAR_NAME: Setting}, in the table's order, the inputs fed from settings last
    session: SessionFormat


def session_format(said):
    def fields(described):
        return {str(name): Field(str(f["type"]), int(f.get("least", 0)), int(f.get("most", 0)), bool(f["optional"]))
                for name, f in described.items()}
    return SessionFormat(int(said["version"]), fields(said["common"]),
                         {str(kind): fields(f) for kind, f in said["events"].items()},
                         {str(kind): Replay(int(r["paths"]), int(r["numbers"]), tuple(map(str, r["columns"])))
                          for kind, r in said["replay"].items()})


@functools.lru_cache(maxsize=None)
def get():
    """The facts, as translate describes them."""
    try:
        done = subprocess.run([str(paths.translate()), "--describe"], capture_output=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as e:
        raise Failure("cannot run translate --describe: %s" % e)
    if done.returncode != 0:
        raise Failure("translate --describe failed: %s" % (done.stderr.decode(errors="replace").strip()
                                                           or "status %d" % done.returncode))
    try:
        said = json.loads(done.stdout)
        return Facts(int(said["channels"]), int(said["most_passes"]), int(said["sample_rate"]),
                     int(said["lines_apart"]), int(said["largest_text"]), tuple(said["sound_texture"]),
                     tuple(said["keyboard_texture"]),
                     {name: Kind(str(k["sampler"]), int(k["dimensions"]), bool(k["mipmaps"]))
                      for name, k in said["kinds"].items()},
                     tuple(said["dialects"]), {str(name): int(code) for name, code in said["keys"].items()},
                     {str(name): Setting(str(s["kind"]), tuple(s["libraries"]), bool(s["required"]), s.get("least"),
                                         bool(s.get("above", False)), s.get("most"), s.get("input"), s.get("initial"))
                      for name, s in said["settings"].items()},
                     session_format(said["session"]))
    except (ValueError, KeyError, TypeError, AttributeError) as e:
        raise Failure("translate --describe said what is not understood here (%s: %s)" % (type(e).__name__, e))
