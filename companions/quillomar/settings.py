"""The settings a command hands its preload library, one environment variable each, in the forms the
library's settings table (base/settings.c) reads: int, number, size (WxH), point (X,Y) and text (a path, a
word or lines). Each is written against that table, as translate --describe gives it: a name it has no row
for, a value not of its row's kind or outside its bounds is refused here, with one line."""
from pathlib import Path

from quillomar import Failure, facts


class SettingError(Failure, TypeError):
    """A setting the library would not take: the command and the library's table disagree."""


def encode(**named):
    """{QUILLOMAR_NAME: text} for each name=value, checked against the setting's row: an int in decimal, a
    float as repr() writes it (exact when read back), a pair of ints as a size "WxH", a pair of numbers as
    a point "X,Y", a path or a text as it is. encode(size=(64, 32)) is {"QUILLOMAR_SIZE": "64x32"}."""
    rows = facts.get().settings
    written = {}
    for name, value in named.items():
        key = "QUILLOMAR_" + name.upper()
        if key not in rows:
            raise SettingError("%s: no library has a setting of that name" % key)
        written[key] = text(value, key, rows[key])
    return written


# What a value of each kind is held as in Python.
KINDS = {"int": "a whole number, 0 or more", "number": "a finite number", "size": "a size (two whole numbers)",
         "point": "a point (two numbers)", "text": "a text or a path"}


def numbers(value, kind):
    """The numbers of value where it is of kind (None where it is not)."""
    pair = isinstance(value, tuple) and len(value) == 2
    if kind == "int" and isinstance(value, int) and not isinstance(value, bool) and value >= 0:
        return [value]
    if kind == "number" and isinstance(value, (int, float)) and not isinstance(value, bool) and value == value \
            and abs(value) != float("inf"):
        return [value]
    if kind == "size" and pair and all(isinstance(v, int) and not isinstance(v, bool) and v > 0 for v in value):
        return list(value)
    if kind == "point" and pair and all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in value):
        return list(value)
    return None


def text(value, name, row):
    if row.kind == "text":
        if not isinstance(value, (str, Path)):
            raise SettingError("%s=%r: not %s" % (name, value, KINDS[row.kind]))
        return str(value)
    found = numbers(value, row.kind)
    if found is None:
        raise SettingError("%s=%r: not %s" % (name, value, KINDS[row.kind]))
    if not all(row.within(v) for v in found):
        raise SettingError("%s=%r: outside its bounds, %s" % (name, value, row.bounds()))
    if row.kind == "int":
        return str(value)
    if row.kind == "number":
        return repr(float(value))
    if row.kind == "size":
        return "%dx%d" % value
    return "%r,%r" % tuple(float(v) for v in value)
