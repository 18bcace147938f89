"""The ffmpeg filter chain of a recording, the one place it is built: what ffmpeg does to the frames the
library hands over before they are encoded (flipped, for they come bottom row first; a supersampled
picture taken down; a GPU encoder's upload), a GIF's palette made from every frame's colours, and the
digest of each frame that the proof holds a GIF's frames against. A picture option that ffmpeg carries
out is a step of `picture` here; what the GL does to a frame is the library's (record/renders.c)."""

# The filter that takes a supersampled picture down: Catmull-Rom (a cubic with B = 0, C = 0.5), widened by
# the factor as swscale does when it shrinks, so each pixel is a weighted sum of the K x K pixels drawn for
# it and of their neighbours; computed with exact rounding.
FILTER = "flags=bicubic+accurate_rnd+full_chroma_int:param0=0:param1=0.5"

# A GIF: one palette made from every frame's colours; only what changes from a frame to the next is written.
# (A palette a frame, stats_mode=single with new=1, follows colours that sweep the clip more closely, but
# ffmpeg then writes each frame whole: files 2 to 30 times larger.)
GIF = ("[0:v]%s,format=rgb24,split[a][b];[a]palettegen=stats_mode=full[p];"
       "[b][p]paletteuse=dither=bayer:bayer_scale=4:diff_mode=rectangle[gif]")


def downscale(size, alpha=False):
    """ffmpeg's filter that takes a picture drawn larger down to size, with FILTER; with alpha, filtered
    premultiplied (a transparent pixel's colour weighs nothing) and made straight again, in 16 bits a
    channel throughout: in 8, a faint pixel's colour, divided by its small alpha, would carry the rounding
    of each step many times over. Each format is named, so that no step is negotiated down to 8 bits."""
    scale = "scale=%d:%d:%s" % (size[0], size[1], FILTER)
    return ("format=gbrap16le,premultiply=inplace=1,%s,format=gbrap16le,unpremultiply=inplace=1,format=rgba" % scale
            if alpha else scale)


def picture(how=None, size=None, drawn=None):
    """What is done to each frame handed over, as the job's options say how (quillomar-record's How; None:
    only flipped): of size, or drawn larger (drawn, its size) and taken down to size, its alpha kept where
    how keeps it. The steps every output of it shares."""
    return "vflip" + ("," + downscale(size, how.alpha) if drawn else "")


def video(form, steps, after=""):
    """ffmpeg's options that filter the frames for the format form (".mp4", ...): steps (picture's), then
    after (an encoder's own, such as a GPU's upload); a GIF's palette made from them."""
    if form == ".gif":
        return ["-filter_complex", GIF % steps]
    return ["-vf", steps + after]


def digest(grid):
    """The digest of a frame: averaged over a grid of cells (proof.Digest), as RGB bytes."""
    return "format=rgb24,scale=%d:%d:flags=area,format=rgb24" % grid


def digested(steps, grid):
    """The frames handed over as the clip shows them (steps), then as their digest."""
    return steps + "," + digest(grid)
