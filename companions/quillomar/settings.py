"""The settings a command hands its preload library, one environment variable each, in the forms the
library's settings table (settings.h) reads: int, number, size (WxH), point (X,Y) and text (a path, a word
or lines)."""
from pathlib import Path


def encode(**named):
    """{QUILLOMAR_NAME: text} for each name=value: an int in decimal, a float as repr() writes it (exact
    when read back), a pair of ints as a size "WxH", a pair with a float in it as a point "X,Y", a path
    or a text as it is. encode(size=(64, 32)) is {"QUILLOMAR_SIZE": "64x32"}."""
    return {"QUILLOMAR_" + name.upper(): text(value, name) for name, value in named.items()}


def text(value, name="setting"):
    if isinstance(value, bool):
        raise TypeError("%s: a flag is no setting kind" % name)
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, tuple) and len(value) == 2 and all(isinstance(v, (int, float)) for v in value):
        if all(isinstance(v, int) for v in value):
            return "%dx%d" % value
        return "%r,%r" % tuple(float(v) for v in value)
    if isinstance(value, (str, Path)):
        return str(value)
    raise TypeError("%s: no setting kind for %r" % (name, value))
