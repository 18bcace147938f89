"""The records a preload library writes to its command (and the test library to its files): a header line

    \\036KIND NAME=VALUE ... NAME:BYTES ...\\n

then, in the order of its NAME:BYTES fields, payloads of those many bytes. Records may share a stream
with lines of other text, which never start with the record separator \\036."""
from typing import NamedTuple

SEPARATOR = b"\036"


class RecordError(Exception):
    """A record that is not written as records are, or of a kind nobody handles."""


class Record(NamedTuple):
    kind: str
    fields: dict  # NAME: VALUE, as text
    payloads: dict  # NAME: bytes


def header(line):
    """(kind, fields, [(payload name, size)]) of a header line, without its separator and newline."""
    words = line.decode(errors="replace").split()
    if not words:
        raise RecordError("a record with no kind")
    fields, sizes = {}, []
    for word in words[1:]:
        name, equals, value = word.partition("=")
        if equals:
            fields[name] = value
            continue
        name, colon, size = word.partition(":")
        if not (colon and size.isdigit()):
            raise RecordError("%s record: %r is neither NAME=VALUE nor NAME:BYTES" % (words[0], word))
        sizes.append((name, int(size)))
    return words[0], fields, sizes


class Reader:
    """Takes a stream a chunk at a time; hands out what it holds as soon as it is whole: each line of
    other text as a str (without its newline), each record as a Record once all its payloads are in.
    Its time is linear in the stream's length, however large a record's payloads."""

    def __init__(self):
        self.pending = bytearray()
        self.start = 0  # what of pending has been handed out
        self.needed = 0  # the length pending must reach before a record waiting for its payloads is whole

    def feed(self, chunk):
        """The lines and records that chunk completes, in order."""
        self.pending += chunk
        found = []
        if len(self.pending) < self.needed:
            return found
        self.needed = 0
        while True:
            end = self.pending.find(b"\n", self.start)
            if end < 0:
                break
            line = bytes(self.pending[self.start:end])
            if not line.startswith(SEPARATOR):
                found.append(line.decode(errors="replace"))
                self.start = end + 1
                continue
            kind, fields, sizes = header(line[1:])
            at = end + 1
            if len(self.pending) < at + sum(size for _, size in sizes):
                self.needed = at + sum(size for _, size in sizes)
                break
            payloads = {}
            for name, size in sizes:
                payloads[name] = bytes(self.pending[at:at + size])
                at += size
            found.append(Record(kind, fields, payloads))
            self.start = at
        if self.start:
            self.needed -= self.start if self.needed else 0
            del self.pending[:self.start]
            self.start = 0
        return found

    def rest(self):
        """What is left at the end of the stream, a line with no newline or a record cut short, as text."""
        left = bytes(self.pending[self.start:])
        self.pending, self.start, self.needed = bytearray(), 0, 0
        return left.decode(errors="replace")


def parse(data):
    """The records of a whole file (bytes); other lines or a record cut short are an error."""
    reader = Reader()
    found = reader.feed(data)
    others = [item for item in found if not isinstance(item, Record)]
    if others or reader.pending:
        raise RecordError("not a file of records: %r" % (others[:1] or [reader.rest()[:80]])[0])
    return found


def dispatch(record, table):
    """Hands record to the handler its kind has in table; returns what it returns."""
    handler = table.get(record.kind)
    if handler is None:
        raise RecordError("a record of unknown kind %r (known: %s)" % (record.kind, ", ".join(sorted(table))))
    return handler(record)
