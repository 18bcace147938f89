"""A recording's clip made by ffmpeg: the encoder of each format (on the GPU where ffmpeg's encoder for it
works there, tried on one frame first), the command that encodes the frames the library hands over, and
the clip's sound added after."""
import glob
import os
import subprocess
import tempfile
from pathlib import Path

from quillomar import Failure, displays, facts, filters, proof

ENCODERS = {
    ".mp4": ["-c:v", "libx264", "-pix_fmt", "yuv420p", "-crf", "18", "-preset", "veryfast", "-movflags", "+faststart", "-f", "mp4"],
    ".webm": ["-c:v", "libvpx-vp9", "-pix_fmt", "yuv420p", "-crf", "32", "-b:v", "0", "-row-mt", "1", "-f", "webm"],
    # Its palette made from every frame's colours (filters.py).
    ".gif": ["-map", "[gif]", "-loop", "0", "-f", "gif"],
    ".webp": ["-c:v", "libwebp_anim", "-pix_fmt", "yuv420p", "-quality", "80", "-loop", "0", "-f", "webp"],
    # Lossless (FFV1 in RGB planes): the very bytes drawn, for a clip to be made in parts and joined.
    ".mkv": ["-c:v", "ffv1", "-level", "3", "-pix_fmt", "gbrp", "-f", "matroska"],
    ".png": ["-frames:v", "1", "-c:v", "png", "-pix_fmt", "rgb24", "-f", "image2", "-update", "1"],
    # ProRes 4444, 10 bits a channel, for editing.
    ".mov": ["-c:v", "prores_ks", "-profile:v", "4444", "-pix_fmt", "yuv444p10le", "-f", "mov"],
    # Only the sound: the one frame drawn to make it is thrown away.
    ".wav": ["-f", "null"],
}
# With --alpha: the formats that keep the shader's alpha, and how (straight, not premultiplied), all in
# software. VP9 keeps it beside the colour, which only libvpx's decoder reads back.
ALPHA = {
    ".png": ["-frames:v", "1", "-c:v", "png", "-pix_fmt", "rgba", "-f", "image2", "-update", "1"],
    ".webm": ["-c:v", "libvpx-vp9", "-pix_fmt", "yuva420p", "-crf", "32", "-b:v", "0", "-row-mt", "1", "-f", "webm"],
    ".mov": ["-c:v", "prores_ks", "-profile:v", "4444", "-pix_fmt", "yuva444p10le", "-f", "mov"],
    ".mkv": ["-c:v", "ffv1", "-level", "3", "-pix_fmt", "gbrap", "-f", "matroska"],
}
# The sound of a clip, by its container.
AUDIO = {
    ".mp4": ["-c:a", "aac", "-b:a", "192k"],
    ".webm": ["-c:a", "libopus", "-b:a", "160k"],
    ".wav": ["-c:a", "pcm_s16le"],
}

# Encoders of mp4 and webm on a GPU: (the options before ffmpeg's input, the filter's steps of their own
# after the picture's (filters.py), the encoder's options).
RENDER_NODE = "/dev/dri/renderD128"
GPU_ENCODERS = {
    (".mp4", "nvenc"): ([], "", ["-c:v", "h264_nvenc", "-pix_fmt", "yuv420p", "-preset", "p5", "-cq", "19",
                                 "-movflags", "+faststart", "-f", "mp4"]),
    (".mp4", "vaapi"): (["-vaapi_device", RENDER_NODE], ",format=nv12,hwupload",
                        ["-c:v", "h264_vaapi", "-qp", "20", "-movflags", "+faststart", "-f", "mp4"]),
    (".webm", "vaapi"): (["-vaapi_device", RENDER_NODE], ",format=nv12,hwupload",
                         ["-c:v", "vp9_vaapi", "-global_quality", "60", "-f", "webm"]),
}


def encoder_works(form, name):
    """ffmpeg's word on encoding one frame with the GPU encoder name for form: "" when it works."""
    before, after, options = GPU_ENCODERS[form, name]
    done = subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", *before, "-f", "lavfi", "-i",
                           "color=c=black:s=256x256:d=0.04", *filters.video(form, filters.picture(), after),
                           *options[:-2], "-frames:v", "1",
                           "-f", "null", "-"], capture_output=True, text=True, timeout=60)
    return "" if done.returncode == 0 else (done.stderr.strip().splitlines() or ["status %d" % done.returncode])[-1]


def encoder_for(form, wanted):
    """(options before the input, the filter after the flip, the encoder's options) for the format form
    (".mp4", ...), with the encoder wanted: auto (a working GPU encoder, else software), software, nvenc or
    vaapi."""
    software = [], "", ENCODERS[form]
    if wanted == "software" or (wanted == "auto" and form not in (".mp4", ".webm")):
        return software
    if wanted != "auto":
        if (form, wanted) not in GPU_ENCODERS:
            raise Failure("no %s encoder for %s here; --encoder software or auto" % (wanted, form))
        said = encoder_works(form, wanted)
        if said:
            raise Failure("the %s encoder does not work here (ffmpeg said: %s)" % (wanted, said))
        return GPU_ENCODERS[form, wanted]
    # Only where there is a GPU to ask: trying costs a start of ffmpeg each.
    if os.path.exists("/dev/nvidiactl") or glob.glob("/dev/dri/renderD*"):
        for name in ("nvenc", "vaapi"):
            if (form, name) in GPU_ENCODERS and not encoder_works(form, name):
                return GPU_ENCODERS[form, name]
    return software


def ffmpeg_name(path):
    """How ffmpeg is to take a path as a file, whatever it holds (a colon would make it a protocol)."""
    return "file:" + str(Path(path).absolute())


def start_encoder(form, size, fps, frames_fd, part, encoder, digest, log, tags=(), steps="vflip"):
    """ffmpeg started on the frames the library writes to frames_fd (raw RGBA of size, bottom row first,
    fps a second), filtered by steps (filters.picture's), encoding them as form into the file part with
    encoder (encoder_for's); with digest (proof.Digest, for a GIF), also the digest of each frame it is
    handed. Its messages go to the file log; tags, ffmpeg's options that write the clip's tags. Its own
    session: Ctrl-C in the terminal is for the recorder alone."""
    before, after, options = encoder
    return displays.child(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y", *before,
                           "-f", "rawvideo", "-pix_fmt", "rgba", "-s", "%dx%d" % size,
                           "-framerate", repr(fps), "-i", "pipe:%d" % frames_fd]
                          + filters.video(form, steps, after) + options + list(tags)
                          + [ffmpeg_name(part)]
                          + ([] if digest is None else ["-map", "0:v", "-vf", filters.digested(steps, digest.grid),
                                                        "-f", "rawvideo", ffmpeg_name(digest.path)]),
                          pass_fds=(frames_fd,), stdin=subprocess.DEVNULL, stderr=open(log, "wb"),
                          start_new_session=True)


def with_audio(video, form, frames, fps, start, length, made, heard, leftovers):
    """The clip video (a part file of form, frames at fps) with its sound: the samples made (32-bit float
    stereo at the libraries' sample rate, from start), or the file heard from start; lasting length
    seconds, silence after the sound's end. For .wav, the sound alone. Returns the new part file beside
    video, proven."""
    handle, part = tempfile.mkstemp(dir=Path(video).parent, prefix=".quillomar-record-", suffix=".part")
    os.close(handle)
    leftovers.add(part)
    os.chmod(part, os.stat(video).st_mode & 0o777)
    sound = (["-f", "f32le", "-ar", str(facts.get().sample_rate), "-ac", "2", "-i", ffmpeg_name(made)] if made else
             ["-ss", repr(start), "-t", repr(length), "-i", ffmpeg_name(heard)])
    picture = [] if form == ".wav" else ["-i", ffmpeg_name(video)]
    # Always stereo; a mono sound at its own level on both sides (ffmpeg's own upmix lowers it by 3 dB).
    layout = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries", "stream=channels",
                             "-of", "default=noprint_wrappers=1:nokey=1", ffmpeg_name(heard)], capture_output=True,
                            text=True, timeout=60).stdout.split() if heard and not made else ["2"]
    stereo = "pan=stereo|c0=c0|c1=c0," if layout == ["1"] else ""
    maps = ["-map", "0:v:0", "-map", "1:a:0", "-c:v", "copy"] if picture else ["-map", "0:a:0"]
    done = subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y", *picture, *sound, *maps,
                           "-af", "%sapad=whole_dur=%r" % (stereo, length), "-t", repr(length), "-ac", "2",
                           *AUDIO[form],
                           "-f", {".mp4": "mp4", ".webm": "webm", ".wav": "wav"}[form], ffmpeg_name(part)],
                          capture_output=True, text=True, timeout=3600)
    said = done.stderr.strip()
    if done.returncode != 0:
        raise Failure("ffmpeg could not add the sound (status %d)%s" % (done.returncode, ":\n" + said if said else ""))
    proof.check_sound(part, length, said)
    if form != ".wav":
        proof.check(part, form, frames, fps, said)
    os.remove(video)
    return part
