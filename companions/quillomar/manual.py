"""The commands' manual pages, made from their parsers at build time: the synopsis and the options are
what the parser takes (so a page lists every option and no other), the description is the command's module
docstring, and the sections after it (examples, exit status, environment, files) are kept here, beside
the parsers they go with.

    python3 -m quillomar.manual FOLDER    writes FOLDER/quillomar-live.1 and the other three
"""
import argparse
import sys
from pathlib import Path

from quillomar import importer, join, live, options, record

VERSION = "0.1.0"

MEDIA_ENVIRONMENT = [
    ("QUILLOMAR_MEDIA", "folders, separated by colons, where the media a Shadertoy JSON names are looked "
                        "for after each --media FOLDER; a --media that is no folder is refused in one message, a "
                        "folder of QUILLOMAR_MEDIA that is not there is passed over."),
    ("QUILLOMAR_MEDIA_URL", "where --fetch fetches the site's media from, the file's path appended "
                            "(https://www.shadertoy.com by default)."),
    ("XDG_CACHE_HOME, XDG_CONFIG_HOME", "where the cache of the site's media (quillomar/media) and the "
                                        "config file (quillomar/config) are; ~/.cache and ~/.config by default."),
]
MEDIA_FILES = [
    ("~/.config/quillomar/config", "the commands' settings: a [media] section with fetch = yes (as --fetch) and "
                                   "fetch-timeout = SECONDS (30), how long to wait for each read from the site, "
                                   "a name = value line each, # or ; starting a comment."),
    ("~/.cache/quillomar/media/", "the site's media fetched, the user's to clear."),
]

# What each page has beyond the parser and the docstring: (command, module, [the parsers of its synopsis
# lines], {section: [paragraphs] or [(tag, text)]}).
PAGES = [
    ("quillomar-live", live, lambda: [live.command_parser()], {
        "EXAMPLES": ["quillomar-live my-shader.glsl",
                     "shows my-shader.glsl and every save of it in one window; the log on standard output has "
                     "a line for each save.",
                     "quillomar-live waves/ --session take1.session",
                     "shows a folder in the site's layout and writes the session, for quillomar-record --replay "
                     "take1.session take1.mp4."],
        "EXIT STATUS": ["0 after Escape or the close button; 1 without a display or OpenGL 3.3, or when "
                        "whoever reads the log goes away, with one message; 2 for a wrong option; 130 after "
                        "Ctrl-C."],
        "ENVIRONMENT": [("DISPLAY, WAYLAND_DISPLAY", "the display the window opens on (X11, or Wayland where "
                                                     "GLFW is built for it); without one it says so and ends.")]
                       + MEDIA_ENVIRONMENT + [
            ("PULSE_SERVER, PULSE_SINK", "as for any client of the sound server: where the sound is played "
                                         "(with pacat, from pulseaudio-utils).")],
        "FILES": [("./test.glsl", "the shader shown when none is named.")] + MEDIA_FILES,
    }),
    ("quillomar-record", record, lambda: [record.command_parser(), record.command_parser(replaying=True)], {
        "EXAMPLES": ["quillomar-record plasma.glsl plasma.mp4 --seconds 10",
                     "records ten seconds at 30 frames per second, 1920x1080, with no window where there is no "
                     "display.",
                     "quillomar-record plasma.glsl still.png --from 2 --size 960x540",
                     "saves the frame at iTime 2.",
                     "quillomar-record --replay take1.session take1.mp4 --size 3840x2160",
                     "draws a session quillomar-live wrote again, frame-exact, in 4K."],
        "EXIT STATUS": ["0 when OUTPUT is written and read back; 1 after a failure, with one message, OUTPUT left "
                        "as it was; 2 for a wrong option; 130 after Ctrl-C."],
        "ENVIRONMENT": [("DISPLAY, WAYLAND_DISPLAY", "the display the recording's window opens on; with "
                                                     "neither (or with --headless) no display server is used: "
                                                     "the context comes from EGL.")] + MEDIA_ENVIRONMENT,
        "FILES": MEDIA_FILES,
    }),
    ("quillomar-import", importer, lambda: [importer.command_parser()], {
        "EXAMPLES": ["quillomar-import waves.json",
                     "writes waves/waves.glsl, waves/common.glsl and a file for each buffer, then the commands "
                     "to go on with."],
        "EXIT STATUS": ["0 when the files are there; 1 after a failure, with one message; 2 for a wrong option."],
        "ENVIRONMENT": MEDIA_ENVIRONMENT,
        "FILES": MEDIA_FILES,
    }),
    ("quillomar-join", join, lambda: [join.command_parser()], {
        "EXAMPLES": ["parallel quillomar-record shader.glsl part-{}.mkv --frames {} ::: 0-149 150-299",
                     "quillomar-join part-0-149.mkv part-150-299.mkv clip.mkv",
                     "records a clip of 300 frames in two parts (on one machine or many) and joins them into the "
                     "clip one recording would have made."],
        "EXIT STATUS": ["0 when OUTPUT is written and read back; 1 after a failure, with one message; 2 for a "
                        "wrong option; 130 after Ctrl-C."],
    }),
]
SEE_ALSO = ["quillomar", "quillomar-live", "quillomar-record", "quillomar-import", "quillomar-join"]


def roff(text):
    """Text as roff reads it as plain words: backslashes and minus signs escaped, no request at a line's
    start."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def styled(words):
    """An option's invocation as the page shows it: the options bold, their arguments italic."""
    return ", ".join(" ".join("\\fB%s\\fR" % roff(w) if w.startswith("-") else "\\fI%s\\fR" % roff(w)
                              for w in each.split()) for each in words.split(", "))


def joined(paragraph):
    return " ".join(paragraph.split())


def synopsis(parser):
    """The parser's usage as one filled line: the command bold, each bracketed group a word of its own."""
    formatter = argparse.HelpFormatter(parser.prog, width=100000)
    formatter.add_usage(parser.usage, parser._actions, parser._mutually_exclusive_groups, prefix="")
    usage = formatter.format_help().strip()
    assert usage.startswith(parser.prog + " ")
    groups, depth, word = [], 0, ""
    for c in usage[len(parser.prog) + 1:] + " ":
        if c == " " and depth == 0:
            if word:
                groups.append(word)
            word = ""
            continue
        depth += (c == "[") - (c == "]")
        word += c
    shown = []
    for group in groups:
        inner = group.strip("[]")
        mark = group[:len(group) - len(group.lstrip("["))], group[len(group.rstrip("]")):]
        shown.append(mark[0] + " | ".join(styled(part) for part in inner.split(" | ")) + mark[1])
    return ".B %s\n%s" % (parser.prog, " ".join(shown))


def option_list(parser):
    formatter = argparse.HelpFormatter(parser.prog, width=100000)
    lines = []
    for action in parser._actions:
        invocation = formatter._format_action_invocation(action)
        lines += [".TP", styled(invocation) if action.option_strings else "\\fI%s\\fR" % roff(invocation),
                  roff(joined(formatter._expand_help(action))) if action.help else ""]
    return lines


def page(name, module, parsers, sections):
    parser = parsers[0]
    what = options.summary(module.__doc__)
    first = joined(what).split(": ")[0].split(", ")[0].rstrip(".")
    lines = ['.TH %s 1 "" "Quillomar %s" "User Commands"' % (name.upper(), VERSION), ".SH NAME",
             "%s \\- %s" % (name, roff(first[0].lower() + first[1:])), ".SH SYNOPSIS"]
    lines += [("\n.br\n" if n else "") + synopsis(p) for n, p in enumerate(parsers)]
    lines += [".SH DESCRIPTION"]
    for n, paragraph in enumerate([what] + options.prose(module.__doc__)):
        lines += ([".PP"] if n else []) + [roff(joined(paragraph))]
    lines += [".SH OPTIONS"] + option_list(parser)
    for section in ("EXAMPLES", "EXIT STATUS", "ENVIRONMENT", "FILES"):
        said = sections.get(section)
        if not said:
            continue
        lines.append(".SH " + section)
        for n, item in enumerate(said):
            if isinstance(item, tuple):
                lines += [".TP", "\\fB%s\\fR" % roff(item[0]), roff(joined(item[1]))]
            elif section == "EXAMPLES" and item.startswith(("quillomar", "parallel")):
                lines += [".PP" if n else "", ".nf", ".RS", roff(item), ".RE", ".fi"]
            else:
                lines += [".PP", roff(joined(item))]
    lines += [".SH SEE ALSO", ",\n".join(".BR %s (1)" % other for other in SEE_ALSO if other != name)]
    return "\n".join(line for line in lines if line != "") + "\n"


def pages():
    """{file name: the page's roff text}."""
    return {name + ".1": page(name, module, parsers(), sections) for name, module, parsers, sections in PAGES}


def main(argv):
    folder = Path(argv[0])
    folder.mkdir(parents=True, exist_ok=True)
    for name, text in pages().items():
        (folder / name).write_text(text)


if __name__ == "__main__":
    main(sys.argv[1:])
