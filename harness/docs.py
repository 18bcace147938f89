#!/usr/bin/python3
"""Holds the documents against the commands' parsers, so that neither says what the other does not:
README.md, docs/*.md and man/quillomar.1 may name only options that a command's parser has (or one of the
other programs' options listed below, each with the program it is of), each usage block they show
("    usage: quillomar-NAME ...") must be the usage the parser prints in 100 columns, and every command's
usage must be shown in the guide; each generated manual page (build/man/) must have an entry for every
option of its parser, and name no option no command has.

    harness/docs.py [BUILD]    says each disagreement and fails, or says nothing (BUILD: build/)
"""
import os
import re
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
WIDTH = "100"  # the columns the usage blocks are printed in

# Options the documents name that are other programs' (none is a command's).
OTHERS = {
    "--array": "sbatch", "--gres": "sbatch",
    "--cleanup": "GNU parallel", "--return": "GNU parallel", "--transferfile": "GNU parallel",
    "--check": "tools/deps", "--test": "tools/deps", "--anchors": "tools/mutants", "--fast": "tools/test",
    "--describe": "translate", "--dialect": "translate", "--files": "translate", "--uniforms": "translate",
    "--install": "cmake", "--prefix": "cmake", "--no-undefined": "the linker",
}
# An option as the documents write it: --name, or -I; --channelN stands for --channel0 to --channel3.
OPTION = re.compile(r"(?<![\w/.=-])(--[A-Za-z][\w-]*|-I)(?![\w-])")
USAGE = re.compile(r"^    usage: (quillomar-[a-z]+) .*(?:\n {8,}\S.*)*", re.M)


def parsers():
    """{command: [its parsers]}: record's twice, as it reads a shader and as it replays a session."""
    from quillomar import importer, join, live, record
    return {"quillomar-live": [live.command_parser()],
            "quillomar-record": [record.command_parser(), record.command_parser(replaying=True)],
            "quillomar-import": [importer.command_parser()], "quillomar-join": [join.command_parser()]}


def options_of(parser):
    return {s for action in parser._actions for s in action.option_strings}


def usage(parser):
    """The parser's usage as --help prints it in WIDTH columns."""
    os.environ["COLUMNS"] = WIDTH
    return parser.format_usage().rstrip("\n")


def plain(roff):
    """A manual page's words, less the escapes of its fonts and its minus signs."""
    return re.sub(r"\\f[BIRP]|\\&", "", roff).replace("\\-", "-")


def entries(roff):
    """The options a manual page has an entry for: those in the tags of its OPTIONS section."""
    section = roff.partition("\n.SH OPTIONS\n")[2].partition("\n.SH ")[0].split("\n")
    return {o for n, line in enumerate(section[1:], 1) if section[n - 1] == ".TP" for o in OPTION.findall(plain(line))}


def documents(root):
    return [root / "README.md", root / "man" / "quillomar.1"] + sorted((root / "docs").glob("*.md"))


def problems(root=REPO, pages=None, commands=None):
    """What the documents under root and the manual pages in the folder pages say that the parsers do
    not, each a line."""
    commands = commands or parsers()
    known = set().union(*(options_of(p) for ps in commands.values() for p in ps))
    found, shown = [], set()
    for path in documents(root):
        text = path.read_text()
        if path.suffix == ".1":
            text = plain(text)
        name = path.relative_to(root)
        for n, line in enumerate(text.split("\n"), 1):
            for m in OPTION.finditer(line):
                option = m[1]
                if option == "--channelN" and "--channel0" in known:
                    continue
                if option not in known and option not in OTHERS:
                    found.append("%s:%d: %s is no option of any command" % (name, n, option))
        for m in USAGE.finditer(text):
            block = "\n".join(line[4:] for line in m[0].split("\n"))
            wanted = [usage(p) for p in commands.get(m[1], [])]
            if block not in wanted:
                line = text[:m.start()].count("\n") + 1
                found.append("%s:%d: the usage of %s is not what its parser prints in %s columns:\n%s" % (
                    name, line, m[1], WIDTH, "\n".join(wanted) or "(no such command)"))
            shown.add(block)
    for command, ps in commands.items():
        for p in ps:
            if usage(p) not in shown:
                found.append("no document shows the usage of %s as its parser prints it:\n%s" % (command, usage(p)))
    if pages is not None:
        for command, ps in commands.items():
            roff = (Path(pages) / (command + ".1")).read_text()
            wanted = {o for o in set().union(*map(options_of, ps)) if OPTION.fullmatch(o)}
            for option in sorted(wanted - entries(roff)):
                found.append("%s.1 has no entry for %s" % (command, option))
            for option in sorted(set(OPTION.findall(plain(roff))) - known - set(OTHERS) - {"--channelN"}):
                found.append("%s.1 names %s, which is no option of any command" % (command, option))
    return found


def main(argv):
    build = Path(argv[0]) if argv else REPO / "build"
    sys.path.insert(0, str(build / "python"))
    found = problems(REPO, build / "man")
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
