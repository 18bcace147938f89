"""Turns a Shadertoy JSON into the files a person edits, once: one file per pass, with directives for
their channels, in a folder of their own.

    quillomar-import JSON [FOLDER] [--media FOLDER] [--fetch] [--strict-media] [--force]

FOLDER is a new folder named after the JSON in the current directory by default. The Image pass becomes
FOLDER/NAME.glsl (NAME the JSON's), Common common.glsl, each buffer bufferA.glsl, bufferB.glsl, ..., Cube A
cubeA.glsl and the Sound pass sound.glsl;
the media the JSON names (textures, cube maps, volumes) are looked for by file name in each --media
FOLDER, then in QUILLOMAR_MEDIA, then, for the site's own files, in the cache
(~/.cache/quillomar/media); --fetch (or "fetch = yes" in ~/.config/quillomar/config) fetches those from
the site into it. A file already there with other contents is left as it is, and
nothing is written, unless --force is given.
"""
import os
import shlex
import sys
import tempfile
from pathlib import Path

from quillomar import Failure, cleanup, config, options, shadertoy


def command_parser():
    """quillomar-import's parser, which its manual page is made from."""
    made = options.Parser("quillomar-import", __doc__)
    made.add_argument("json", type=Path, help="the shader's JSON (the site's own form, or the API's)")
    made.add_argument("folder", nargs="?", type=Path, help="where the files go (a new folder named after the JSON)")
    options.add_media(made)
    made.add_argument("--force", action="store_true", help="replace files there that differ")
    return made


def arguments(argv):
    return command_parser().parse_args(argv)


def contents(path):
    """A file's bytes, or None where there is no regular file to read."""
    try:
        return path.read_bytes() if path.is_file() else None
    except OSError as e:
        raise Failure("cannot read %s: %s" % (path, e.strerror or e))


def place(made, last, folder, force):
    """Puts the files made (a folder of them) into folder: [(name, whether it changed)], the file named
    last at the end. A file of folder with other contents is only replaced with force; without it nothing
    is written."""
    names = sorted((p.name for p in made.iterdir() if not p.name.startswith(".")), key=lambda n: (n == last, n))
    new = {name: (made / name).read_bytes() for name in names}
    old = {name: contents(folder / name) for name in names}
    clash = [name for name in names if (folder / name).exists() and old[name] != new[name]]
    if clash and not force:
        raise Failure("%s already has %s, with other contents; nothing was written (--force replaces them)" % (
            folder, ", ".join(clash)))
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise Failure("cannot make the folder %s: %s" % (folder, e.strerror or e))
    for name in names:
        if old[name] == new[name]:
            continue
        part = folder / ("." + name + ".quillomar-import")
        try:
            part.write_bytes(new[name])
            os.replace(part, folder / name)
        except OSError as e:
            raise Failure("cannot write %s: %s" % (folder / name, e.strerror or e))
    return [(name, old[name] != new[name]) for name in names]


def main(argv=None):
    args = arguments(sys.argv[1:] if argv is None else argv)
    folder = args.folder if args.folder is not None else Path(args.json.stem)
    if not args.json.is_file():
        return "quillomar-import: %s: %s" % (args.json, "not a file" if args.json.exists() else "no such file")
    if folder.exists() and not folder.is_dir():
        return "quillomar-import: %s is not a folder" % folder
    cleanup.end_on_signals()
    try:
        with cleanup.Leftovers() as leftovers:
            made = Path(leftovers.add(tempfile.mkdtemp(prefix="quillomar-import-")))
            image, said = shadertoy.write(args.json, made, args.media, fetch=config.fetching(args.fetch),
                                          strict=args.strict_media)
            placed = place(made, image.name, folder, args.force)
    except Failure as e:
        return "quillomar-import: %s" % e
    except OSError as e:
        return "quillomar-import: %s%s" % (e.strerror or e, ": %s" % e.filename if e.filename else "")
    except KeyboardInterrupt:
        return 130
    for name, changed in placed:
        print(folder / name if changed else "%s (already there)" % (folder / name))
    for what in said:
        sys.stderr.write("quillomar-import: %s: %s\n" % (args.json, what))
    shader = shlex.quote(str(folder / image.name))
    print("next:\n    quillomar-live %s\n    quillomar-record %s clip.mp4" % (shader, shader))
    return 0
