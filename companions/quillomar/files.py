"""Reading the files a user names (shaders, included files, pass files, JSON): only a regular file, opened
without waiting, so that a FIFO or a device named by mistake is one message rather than a command that
hangs, and no larger than a bound."""
import os
import stat

from quillomar import Failure, facts


def read(path, largest=None):
    """The bytes of the regular file at path, of at most largest bytes (the largest text the libraries read,
    by default); Failure saying why otherwise."""
    largest = facts.get().largest_text if largest is None else largest
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        raise Failure("cannot read %s: %s" % (path, e.strerror or e))
    try:
        found = os.fstat(fd)
        if stat.S_ISDIR(found.st_mode):
            raise Failure("%s is a directory" % path)
        if not stat.S_ISREG(found.st_mode):
            raise Failure("%s is not a regular file" % path)
        if found.st_size > largest:
            raise Failure("%s is larger than %d MiB" % (path, largest >> 20))
        with os.fdopen(os.dup(fd), "rb") as f:
            data = f.read(largest + 1)
        if len(data) > largest:
            raise Failure("%s is larger than %d MiB" % (path, largest >> 20))
        return data
    except OSError as e:
        raise Failure("cannot read %s: %s" % (path, e.strerror or e))
    finally:
        os.close(fd)
