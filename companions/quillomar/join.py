"""Joins the parts of a clip that quillomar-record recorded with --frames A-B (on one machine or many)
into the clip one recording would have made, without coding its frames again.

    quillomar-join PART... OUTPUT

Each part carries in its container what clip it is a part of (a digest of the shader's files, the files
they include, its channels' files and the inputs given, the size, frame rate, first iTime and number of
frames, and the encoder that coded it) and which frames it holds. The parts, in any order, must all be of
one clip and hold each of its frames exactly once, each starting on a key frame; OUTPUT has their extension
(.mkv, .mp4 or .webm) and is none of them. The joined clip is read back before it replaces OUTPUT.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from quillomar import Failure, cleanup, options, proof, segments
from quillomar.encoding import ffmpeg_name


def command_parser():
    """quillomar-join's parser, which its manual page is made from."""
    made = options.Parser("quillomar-join", __doc__)
    made.add_argument("parts", type=Path, nargs="+", metavar="PART",
                      help="a part of one clip (quillomar-record --frames A-B), in any order; all of them together "
                           "hold each of the clip's frames once")
    made.add_argument("output", type=Path, metavar="OUTPUT",
                      help="the clip joined: .mkv, .mp4 or .webm, as the parts are")
    return made


def arguments(argv):
    made = command_parser()
    args = made.parse_args(argv)
    args.format = args.output.suffix.lower()
    if args.format not in segments.JOINABLE:
        made.error("unknown extension %r for OUTPUT: use %s" % (args.output.suffix, ", ".join(segments.JOINABLE)))
    if args.output.is_dir():
        made.error("OUTPUT %s is a directory" % args.output)
    return args


def listed_as(path, n, workdir):
    """A line of ffmpeg's concat list for the part at path, the n-th: named by a link in workdir beside the
    list, as a name with a line break in it cannot be written in the list."""
    link = workdir / ("part%d%s" % (n, path.suffix.lower()))
    link.symlink_to(Path(path).absolute())
    return "file '%s'\n" % link.name


def join(args, workdir, leftovers):
    parts = []
    for path in args.parts:
        if not path.is_file():
            raise Failure("%s: no such file" % path if not os.path.lexists(path) else "%s is not a file" % path)
        if args.output.exists() and os.path.samefile(path, args.output):
            raise Failure("OUTPUT %s is the part %s: the join would write over it" % (args.output, path))
        if path.suffix.lower() != args.format:
            raise Failure("%s is not a %s clip, as OUTPUT is" % (path, args.format))
        parts.append((path, segments.read(path)))
    parts = segments.order(parts)
    for path, fields in parts:
        if not segments.starts_on_key_frame(path):
            raise Failure("%s does not start on a key frame: it cannot be joined without coding it again" % path)
        segments.check_whole(path, fields)
    clip = parts[0][1]
    frames, fps = clip["frames"], float(clip["fps"])
    listed = workdir / "parts.txt"
    listed.write_text("ffconcat version 1.0\n" + "".join(listed_as(p, n, workdir) for n, (p, _) in enumerate(parts)))
    part = leftovers.part_beside(args.output, ".quillomar-join-")
    done = subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-f", "concat", "-safe",
                           "0", "-i", ffmpeg_name(listed), "-map", "0", "-c", "copy", "-map_metadata", "-1",
                           *(["-movflags", "+faststart"] if args.format == ".mp4" else []),
                           "-f", {".mkv": "matroska", ".mp4": "mp4", ".webm": "webm"}[args.format],
                           ffmpeg_name(part)], capture_output=True, text=True, timeout=24 * 3600)
    said = done.stderr.strip()
    # A write that failed (a full disk) is said by ffmpeg on a line naming the file, its reason last; ffmpeg
    # can end with status 0 after it.
    name = os.path.basename(part)
    failed = [line.rpartition(name)[2].lstrip(": ") for line in said.splitlines() if name in line]
    if failed:
        raise Failure("cannot write %s: %s" % (args.output, failed[-1] or "ffmpeg failed"))
    if done.returncode != 0:
        raise Failure("ffmpeg could not join the parts (status %d)%s" % (done.returncode, ":\n" + said if said else ""))
    proof.check(part, args.format, frames, fps, said)
    try:
        os.replace(part, args.output)
    except OSError as e:
        raise Failure("cannot write %s: %s" % (args.output, e.strerror or e))
    return frames, len(parts)


def main(argv=None):
    args = arguments(sys.argv[1:] if argv is None else argv)
    if shutil.which("ffmpeg") is None:
        return "quillomar-join: ffmpeg is not installed (Debian package ffmpeg)"
    if not args.output.parent.is_dir():
        return "quillomar-join: %s: no such directory" % args.output.parent
    cleanup.end_on_signals()
    started = time.monotonic()
    try:
        with cleanup.Leftovers() as leftovers:
            workdir = Path(leftovers.add(tempfile.mkdtemp(prefix="quillomar-join-")))
            frames, count = join(args, workdir, leftovers)
        print("%s: %d frames joined from %d parts in %.1f s" % (args.output, frames, count,
                                                               time.monotonic() - started))
        return 0
    except Failure as e:
        return "quillomar-join: %s" % e
    except OSError as e:
        return "quillomar-join: %s%s" % (e.strerror or e, ": %s" % e.filename if e.filename else "")
    except KeyboardInterrupt:
        sys.stderr.write("\nquillomar-join: interrupted; %s was not written\n" % args.output)
        return 130
