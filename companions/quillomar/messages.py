"""The live log: the GL's messages written the way compilers write them (FILE:LINE:COLUMN: error: ...,
with the line and a caret under the column), and standard output as a log in which repeated lines are
folded into a count."""
import re
import time

from quillomar import Failure, facts, files

# Control characters but the tab, also the C1 ones: a shader's text could move the cursor or recolour
# the terminal with them.
CONTROL = re.compile("[\x00-\x08\x0a-\x1f\x7f-\x9f]")


def printable(line):
    """line with its control characters written out as \\xNN; a tab stays, for the caret lines."""
    return CONTROL.sub(lambda m: "\\x%02x" % ord(m[0]), line)


def text_lines(text):
    """The lines of a text, each printable, with the carriage return of a CRLF line end dropped."""
    return [printable(line[:-1] if line.endswith("\r") else line) for line in text.split("\n")]


def caret_column(line, column):
    """Where, in line as written, Mesa's column falls: Mesa counts columns in the preprocessed text, in
    which every run of spaces, tabs and comments is one space. Returns a 0-based index."""
    n, i = 1, 0
    while i < len(line):
        run = re.match(r"(?:[ \t\f\v]|/\*.*?(?:\*/|$)|//.*)+", line[i:])
        if n >= column:
            return i
        i += run.end() if run else 1
        n += 1
    return len(line)


# (pattern, whose format): string, line, column (or None; "=N": the Nth character of the line as written), kind,
# message.
FORMATS = {
    "Mesa": (re.compile(r"(\d+):(\d+)\((\d+)\): (?:(preprocessor) )?(error|warning): ?(.*)"),
             lambda m: (m[1], m[2], m[3], m[5], ("(preprocessor) " if m[4] else "") + m[6])),
    "NVIDIA": (re.compile(r"(\d+)\((\d+)\) : (error|warning) (\w+): ?(.*)"),
               lambda m: (m[1], m[2], None, m[3], "%s: %s" % (m[4], m[5]))),
    "AMD": (re.compile(r"(ERROR|WARNING): (\d+):(\d+): ?(.*)"),
            lambda m: (m[2], m[3], None, m[1].lower(), m[4])),
    # The libraries' own, for a malformed directive: its column counts the line's characters as written.
    "directive": (re.compile(r"(\d+):(\d+):(\d+): (error): (.*)"),
                  lambda m: (m[1], m[2], "=" + m[3], m[4], m[5])),
}


def included_text(path):
    """The text of an included file as it is now, or "" when it cannot be read."""
    try:
        return files.read(path).decode(errors="replace")
    except Failure:
        return ""


def messages(log, text, name, included=()):
    """The GL's log as messages, each (its kind: "error", "warning", or None for a line of no known form,
    its lines): a message about the file's own text (source string 0), or about a file it included (lines
    from N x lines apart + 1, as the libraries number them: included[N - 1], a path), is written the way compilers write them, followed
    by that line of the file and a caret under the column. Other lines pass unchanged."""
    texts = {"0": (name, text.split("\n"))}
    apart = facts.get().lines_apart
    out = []
    for message in log.splitlines():
        for pattern, parts in FORMATS.values():
            m = pattern.fullmatch(message)
            if m:
                string, number, column, kind, what = parts(m)
                if string == "0" and int(number) > apart:
                    string, number = str(int(number) // apart), str(int(number) % apart)
                break
        if m and string not in texts and 1 <= int(string) <= len(included):
            path = included[int(string) - 1]
            texts[string] = (path, included_text(path).split("\n"))
        if not m or string not in texts:
            out.append((kind if m else None, [printable(message)]))
            continue
        file_name, lines = texts[string]
        number = int(number)
        source = lines[number - 1].removesuffix("\r") if 1 <= number <= len(lines) else None
        where = "%s:%d" % (file_name, number)
        if column is not None and source is not None:
            at = int(column[1:]) - 1 if column.startswith("=") else caret_column(source, int(column))
            where += ":%d" % (at + 1)
        lines = [printable("%s: %s: %s" % (where, kind, what))]
        if source is not None:
            gutter = " %d | " % number
            lines.append(gutter + printable(source))
            if column is not None:
                lines.append(" " * (len(gutter) - 2) + "| " + re.sub(r"[^\t]", " ", printable(source[:at])) + "^")
        out.append((kind, lines))
    return out


def located(log, text, name, included=()):
    """The lines of the GL's log, located as messages() has them, in the log's order."""
    return [line for _, lines in messages(log, text, name, included) for line in lines]


# How many warnings a build that failed shows after its errors.
WARNINGS_SHOWN = 3


def errors_first(log, text, name, included=()):
    """The lines of the GL's log of a build that failed, located: the errors (and any line of no known
    form) first, then the first few warnings and how many more there are, so that a long run of warnings
    never hides the error."""
    found = messages(log, text, name, included)
    errors = [line for kind, lines in found if kind != "warning" for line in lines if line.strip()]
    warnings = [lines for kind, lines in found if kind == "warning"]
    out = errors + [line for lines in warnings[:WARNINGS_SHOWN] for line in lines]
    if len(warnings) > WARNINGS_SHOWN:
        more = len(warnings) - WARNINGS_SHOWN
        out.append("(and %d more warning%s)" % (more, "" if more == 1 else "s"))
    return out


class Log:
    """Standard output as a log. Lines the viewer prints every frame are folded: a line, or a block of
    lines, that repeats what came just before is shown once, then counted; on a terminal the count is
    kept up to date in place, elsewhere it is written as one line when the repetition ends."""

    def __init__(self, stream):
        self.stream = stream
        self.tty = stream.isatty()
        self.recent, self.cycle, self.held, self.count = [], None, [], 0
        self.shown_count, self.shown_at = 0, 0.0

    def write(self, line):
        """A line of the log's own, which ends any repetition."""
        self.settle()
        self.stream.write(line + "\n")
        self.stream.flush()

    def write_all(self, lines):
        for line in lines:
            self.write(line)

    def counted(self):
        block = len(self.cycle)
        return "    (%s repeated %d time%s)" % ("the line above" if block == 1 else "the %d lines above" % block,
                                              self.count, "" if self.count == 1 else "s")

    def settle(self):
        """Ends a repetition: its count is written, and the lines of a repeat it did not finish."""
        if self.cycle is None:
            return
        if self.count:
            self.show_count(final=True)
        held, self.cycle, self.held, self.count, self.recent = self.held, None, [], 0, []
        for line in held:
            self.frame_line(line)

    def show_count(self, final=False):
        if self.tty:
            self.stream.write("\r\033[K" + self.counted() + ("\n" if final else ""))
        elif final:
            self.stream.write(self.counted() + "\n")
        self.shown_count, self.shown_at = self.count, time.monotonic()
        self.stream.flush()

    def frame_line(self, line):
        """A line the viewer printed, which may repeat the ones before it."""
        if self.cycle is not None:
            if line == self.cycle[len(self.held)]:
                self.held.append(line)
                if len(self.held) == len(self.cycle):
                    self.held, self.count = [], self.count + 1
                    self.tick()
                return
            self.settle()
        if line in self.recent:
            self.cycle = self.recent[len(self.recent) - 1 - self.recent[::-1].index(line):]
            self.held = []
            self.frame_line(line)
            return
        self.stream.write(line + "\n")
        self.stream.flush()
        self.recent = (self.recent + [line])[-16:]

    def tick(self):
        """On a terminal, brings the count up to date, at most five times a second."""
        if self.tty and self.count and self.count != self.shown_count and time.monotonic() - self.shown_at > 0.2:
            self.show_count()

    def close(self):
        self.settle()
