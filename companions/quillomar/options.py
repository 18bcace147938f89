"""The commands' parser and the options several commands share, each written once. Every command's
parser is an options.Parser, so that a usage error reads alike in all four; its manual page is made from
that same parser (manual.py), so that the page lists exactly the options the command takes."""
import argparse
from pathlib import Path

from quillomar import channels


class Parser(argparse.ArgumentParser):
    """A command's parser, made from the command's module docstring: its first paragraph is the summary
    --help and the manual page begin with; the paragraphs after the synopsis follow the options in --help.
    A usage error is one line, "quillomar-NAME: MESSAGE (see --help)", and exit status 2."""

    def __init__(self, prog, doc, **kwargs):
        self.doc = doc
        super().__init__(prog=prog, description=summary(doc), epilog="\n\n".join(prose(doc)) or None,
                         **kwargs)
        self.checks_channels = False

    def error(self, message):
        self.exit(2, "%s: %s (see --help)\n" % (self.prog, message))

    def parse_args(self, args=None, namespace=None):
        if self.checks_channels:
            out_of_range = channels.check_numbers(args or [])
            if out_of_range:
                self.error(out_of_range)
        return super().parse_args(args, namespace)


def paragraphs(doc):
    return [p.strip("\n") for p in doc.split("\n\n") if p.strip()]


def summary(doc):
    """The first paragraph of a command's docstring: what the command does."""
    return paragraphs(doc)[0]


def prose(doc):
    """The docstring's paragraphs after the summary, less the synopsis (an indented paragraph): the
    command's description, as --help ends with it and the manual page has it."""
    return [p for p in paragraphs(doc)[1:] if not p.startswith(" ")]


def add_media(parser):
    """--media, --fetch and --strict-media: where the files a Shadertoy JSON names are found, and what
    happens to those that are not."""
    parser.add_argument("--media", metavar="FOLDER", action="append", type=Path, default=[],
                        help="where the files a Shadertoy JSON names are, by name (again for more; also "
                             "QUILLOMAR_MEDIA)")
    parser.add_argument("--fetch", action="store_true",
                        help="fetch the site's own files a Shadertoy JSON names, those not found, into the cache")
    parser.add_argument("--strict-media", action="store_true",
                        help="refuse a Shadertoy JSON whose media are not here, rather than show placeholders")


def add_inputs(parser):
    """What a command that draws a shader takes beside the shader: the media of a Shadertoy JSON, the
    folders included files are looked for in (-I) and the images of --channel0 to --channel3."""
    add_media(parser)
    parser.add_argument("-I", dest="include", metavar="FOLDER", action="append", type=Path, default=[],
                        help="a folder to look for included files in, after the shader's own (again for more)")
    channels.add_options(parser)
    parser.checks_channels = True
