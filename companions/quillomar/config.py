"""The user's settings for the commands, kept in $XDG_CONFIG_HOME/quillomar/config (~/.config/quillomar/config
by default): sections in brackets, a "name = value" line each, comments after # or ;. A missing file is all
defaults; a setting not known here, or a value not of its kind, is one message naming the file.

    [media]
    # fetch the site's own media a Shadertoy JSON names when no folder and not the cache has them (--fetch)
    fetch = yes
    # how many seconds a fetch waits for the site to answer each read before it gives up
    fetch-timeout = 30
"""
import configparser
import math
import os
from pathlib import Path

from quillomar import Failure

# Every setting read: (section, name): (kind, default). A flag is yes/no, true/false, on/off or 1/0; seconds
# a positive number.
SETTINGS = {
    ("media", "fetch"): ("flag", False),
    ("media", "fetch-timeout"): ("seconds", 30.0),
}


def path():
    """The config file's path, whether or not there is one."""
    base = os.environ.get("XDG_CONFIG_HOME") or ""
    if not os.path.isabs(base):  # a relative base is to be ignored, as for the cache
        base = os.path.join(os.path.expanduser("~"), ".config")
    return Path(base) / "quillomar" / "config"


def read():
    """The settings of the config file, {(section, name): value}, each known one there with its default."""
    parser = configparser.ConfigParser(interpolation=None, inline_comment_prefixes=("#", ";"))
    where = path()
    try:
        with open(where, encoding="utf-8") as f:
            parser.read_file(f)
    except FileNotFoundError:
        pass
    except (OSError, UnicodeDecodeError) as e:
        raise Failure("cannot read %s: %s" % (where, getattr(e, "strerror", None) or e))
    except configparser.Error as e:
        raise Failure("%s: %s" % (where, str(e).splitlines()[0]))
    values = {key: default for key, (_, default) in SETTINGS.items()}
    for section in parser.sections():
        for name, text in parser.items(section):
            kind = SETTINGS.get((section, name), (None,))[0]
            if kind is None:
                known = ", ".join("[%s] %s" % key for key in SETTINGS)
                raise Failure("%s: [%s] %s is not a setting (%s)" % (where, section, name, known))
            values[section, name] = value(kind, text, "%s: [%s] %s" % (where, section, name))
    return values


def value(kind, text, what):
    text = text.strip()
    if kind == "flag":
        states = configparser.ConfigParser.BOOLEAN_STATES
        if text.lower() not in states:
            raise Failure("%s is %r: yes or no" % (what, text))
        return states[text.lower()]
    try:
        number = float(text)
    except ValueError:
        number = math.nan
    if not (0 < number < math.inf):
        raise Failure("%s is %r: a number of seconds above 0" % (what, text))
    return number


def get(section, name):
    return read()[section, name]


def fetching(asked):
    """Whether the site's media are fetched: asked on the command line (--fetch), or the config file's
    [media] fetch. The file is read either way: a mistake in it is said at once."""
    configured = get("media", "fetch")
    return bool(asked) or configured
