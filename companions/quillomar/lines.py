"""Paths in the line-based texts between a command and its library (the plan, live's plan lines, the
files of a build record, the include folders): a path is its bytes as the file system has them, but a
backslash, a line break and a tab are written \\\\, \\n and \\t, so that any name fits in a line and in a
tab-separated field. The library's path_escape and path_unescape (report.c) are the same in C.

Paths are str here as os.fsdecode gives them: a byte that is no part of UTF-8 is a lone surrogate, which
os.fsencode turns back into that byte."""
import os
import re

ESCAPES = {"\\": "\\\\", "\n": "\\n", "\t": "\\t"}
UNESCAPES = {v: k for k, v in ESCAPES.items()}


def escaped(path):
    """path (a str, bytes or a Path) as a line carries it: a str, to be written with os.fsencode."""
    return re.sub(r"[\\\n\t]", lambda m: ESCAPES[m[0]], os.fsdecode(path))


def unescaped(text):
    """The path a line carries (text, a str as os.fsdecode gives it, or bytes), as a str."""
    text = os.fsdecode(text)
    return re.sub(r"\\.", lambda m: UNESCAPES.get(m[0], m[0]), text, flags=re.S)
