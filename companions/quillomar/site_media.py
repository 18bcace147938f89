"""The site's own media library: every file Shadertoy's JSON can name by its path (/media/a/HASH.EXT), with
what is known of it (its name, kind, size, channels and format), and where a copy of it is found: the
user's --media folders and QUILLOMAR_MEDIA, then the user's cache ($XDG_CACHE_HOME/quillomar/media), where
the files the commands make (the procedural ones) and fetch are kept."""
import os
import tempfile
from pathlib import Path
from typing import NamedTuple


class Medium(NamedTuple):
    path: str  # the site's path, as the JSON names it
    name: str  # as the site's media picker names it
    kind: str  # the site's kind: texture, cubemap, volume, video, music
    size: tuple  # (width, height), (width, height, depth) of a volume, () where not known (a sound)
    channels: int  # per texel; 0 for a video or a sound
    format: str  # png, jpg, bin, webm, ogv, mp3
    made: str = ""  # how it is made here when it is procedural; "" when it is the site's own picture or sound

    @property
    def file(self):
        """The file's name, HASH.EXT."""
        return self.path.rsplit("/", 1)[-1]

    def called(self):
        """The file as messages name it: its name, then its file's first 12 characters of hash (a file not
        in the table: its name alone)."""
        if self.name in (self.file, self.path):
            return self.name
        return "%s (%s...%s)" % (self.name, self.file[:12], Path(self.file).suffix)


def _m(hash_ext, name, kind, size, channels, made=""):
    return Medium("/media/a/" + hash_ext, name, kind, size, channels, hash_ext.rsplit(".", 1)[-1], made)


# Every file of the site's library, by its path. Sizes and channels are the files' own; a video's size is
# that of its frames; a cube map's is that of each of its six faces (NAME.EXT, NAME_1.EXT ... NAME_5.EXT).
TABLE = (
    # The procedural ones, made here.
    _m("f735bee5b64ef98879dc618b016ecf7939a5756040c2cde21ccb15e69a6e1cfb.png", "RGBA Noise Medium", "texture",
       (256, 256), 4, "white-noise"),
    _m("0c7bf5fe9462d5bffbd11126e82908e39be3ce56220d900f633d58fb432e56f5.png", "Gray Noise Medium", "texture",
       (256, 256), 1, "white-noise"),
    _m("cb49c003b454385aa9975733aff4571c62182ccdda480aaba9a8d250014f00ec.png", "Blue Noise", "texture",
       (1024, 1024), 4, "blue-noise"),
    _m("0a40562379b63dfb89227e6d172f39fdce9022cba76623f1054a2c83d6c0ba5d.png", "Gray Noise Small", "texture",
       (64, 64), 1, "white-noise"),
    _m("3083c722c0c738cad0f468383167a0d246f91af2bfa373e9c5c094fb8c8413e0.png", "RGBA Noise Small", "texture",
       (64, 64), 4, "white-noise"),
    _m("85a6d68622b36995ccb98a89bbb119edf167c914660e4450d313de049320005c.png", "Bayer", "texture",
       (8, 8), 1, "bayer"),
    _m("27012b4eadd0c3ce12498b867058e4f717ce79e10a99568cca461682d84a4b04.bin", "Grey Noise 3D", "volume",
       (32, 32, 32), 1, "white-noise"),
    _m("aea6b99da1d53055107966b59ac5444fc8bc7b3ce2d0bbb6a4a3cbae1d97f3aa.bin", "RGBA Noise 3D", "volume",
       (32, 32, 32), 4, "white-noise"),
    _m("08b42b43ae9d3c0605da11d0eac86618ea888e62cdd9518ee8b9097488b31560.png", "Font 1", "texture",
       (1024, 1024), 4, "font"),
    # The site's own pictures.
    _m("8de3a3924cb95bd0e95a443fff0326c869f9d4979cd1d5b6e94e2a01f5be53e9.jpg", "London", "texture", (512, 512), 3),
    _m("52d2a8f514c4fd2d9866587f4d7b2a5bfa1a11a0e772077d7682deb8b3b517e5.jpg", "Abstract 1", "texture",
       (1024, 1024), 3),
    _m("bd6464771e47eed832c5eb2cd85cdc0bfc697786b903bfd30f890f9d4fc36657.jpg", "Abstract 2", "texture", (512, 512), 3),
    _m("8979352a182bde7c3c651ba2b2f4e0615de819585cc37b7175bcefbca15a6683.jpg", "Abstract 3", "texture",
       (1024, 1024), 3),
    _m("10eb4fe0ac8a7dc348a2cc282ca5df1759ab8bf680117e4047728100969e7b43.jpg", "Rock Tiles", "texture", (512, 512), 3),
    _m("ad56fba948dfba9ae698198c109e71f118a54d209c0ea50d77ea546abad89c57.png", "Pebbles", "texture", (512, 512), 1),
    _m("95b90082f799f48677b4f206d856ad572f1d178c676269eac6347631d4447258.jpg", "Rusty Metal", "texture", (512, 512), 3),
    _m("1f7dca9c22f324751f2a5a59c9b181dfe3b5564a04b724c657732d0bf09c99db.jpg", "Wood", "texture", (1024, 1024), 3),
    _m("e6e5631ce1237ae4c05b3563eda686400a401df4548d0f9fad40ecac1659c46c.jpg", "Stars", "texture", (512, 512), 3),
    _m("fb918796edc3d2221218db0811e240e72e340350008338b0c07a52bd353666a6.jpg", "Lichen", "texture", (1024, 1024), 3),
    _m("cd4c518bc6ef165c39d4405b347b51ba40f8d7a065ab0e8d2e4f422cbc1e8a43.jpg", "Organic 1", "texture",
       (1024, 1024), 3),
    _m("92d7758c402f0927011ca8d0a7e40251439fba3a1dac26f5b8b62026323501aa.jpg", "Organic 2", "texture",
       (1024, 1024), 3),
    _m("79520a3d3a0f4d3caa440802ef4362e99d54e12b1392973e4ea321840970a88a.jpg", "Organic 3", "texture",
       (1024, 1024), 3),
    _m("3871e838723dd6b166e490664eead8ec60aedd6b8d95bc8e2fe3f882f0fd90f0.jpg", "Organic 4", "texture",
       (1024, 1024), 3),
    _m("cbcbb5a6cfb55c36f8f021fbb0e3f69ac96339a39fa85cd96f2017a2192821b5.png", "Nyancat", "texture", (256, 32), 4),
    # Cube maps: the size of a face.
    _m("585f9546c092f53ded45332b343144396c0b2d70d9965f585ebc172080d8aa58.jpg", "Uffizi Gallery", "cubemap",
       (512, 512), 3),
    _m("793a105653fbdadabdc1325ca08675e1ce48ae5f12e37973829c87bea4be3232.png", "Uffizi Gallery Blurred", "cubemap",
       (64, 64), 3),
    _m("94284d43be78f00eb6b298e6d78656a1b34e2b91b34940d02f1ca8b22310e8a0.png", "Forest", "cubemap", (256, 256), 3),
    _m("0681c014f6c88c356cf9c0394ffe015acc94ec1474924855f45d22c3e70b5785.png", "Forest Blurred", "cubemap",
       (64, 64), 3),
    _m("488bd40303a2e2b9a71987e48c66ef41f5e937174bf316d3ed0e86410784b919.jpg", "St. Peter's Basilica", "cubemap",
       (256, 256), 3),
    _m("550a8cce1bf403869fde66dddf6028dd171f1852f4a704a465e1b80d23955663.png", "St. Peter's Basilica Blurred",
       "cubemap", (64, 64), 3),
    # Videos and music, named here by how many shaders use them (no public table names them): the sizes
    # of their frames where known.
    _m("e81e818ac76a8983d746784b423178ee9f6cdcdf7f8e8d719341a6fe2d2ab303.webm", "Video 1", "video",
       (512, 396), 0),
    _m("35c87bcb8d7af24c54d41122dadb619dd920646a0bd0e477e7bdc6d12876df17.webm", "Video 2", "video", (), 0),
    _m("c3a071ecf273428bc72fc72b2dd972671de8da420a2d4f917b75d20e1c24b34c.ogv", "Video 3", "video", (), 0),
    _m("3405e48f74815c7baa49133bdc835142948381fbe003ad2f12f5087715731153.ogv", "Video 4", "video", (), 0),
    _m("a6a1cf7a09adfed8c362492c88c30d74fb3d2f4f7ba180ba34b98556660fada1.mp3", "Music 1", "music", (), 0),
    _m("48e2d9ef22ca6673330b8c38a260c87694d2bbc94c19fec9dfa4a1222c364a99.mp3", "Music 2", "music", (), 0),
    _m("3c33c415862bb7964d256f4749408247da6596f2167dca2c86cc38f83c244aa6.mp3", "Music 3", "music", (), 0),
    _m("ec8a6ea755d34600547a5353f21f0a453f9f55ff95514383b2d80b8d71283eda.mp3", "Music 4", "music", (), 0),
    _m("894a09f482fb9b2822c093630fc37f0ce6cfec02b652e4e341323e4b6e4a4543.mp3", "Music 5", "music", (), 0),
    _m("29de534ed5e4a6a224d2dfffab240f2e19a9d95f5e39de8898e850efdb2a99de.mp3", "Music 6", "music", (), 0),
    _m("d96b229eeb7a08d53adfcf1ff89e54c9ffeebed193d317d1a01cc8125c0f5cca.mp3", "Music 7", "music", (), 0),
)
BY_FILE = {m.file: m for m in TABLE}


def named(path):
    """The site's file that a JSON's path (or a bare file name) names, or None when it is none of them."""
    return BY_FILE.get(str(path).rsplit("/", 1)[-1])


def cache_folder():
    """Where the files made and fetched are kept: $XDG_CACHE_HOME/quillomar/media, ~/.cache's by default."""
    base = os.environ.get("XDG_CACHE_HOME") or ""
    if not os.path.isabs(base):  # XDG's base directories: a relative path is to be ignored
        base = os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "quillomar" / "media"


def unwritable(folder):
    """Why nothing can be written in folder (made first where it is not there), or "" when it can."""
    try:
        Path(folder).mkdir(parents=True, exist_ok=True)
        tempfile.TemporaryFile(dir=folder).close()
    except OSError as e:
        return e.strerror or str(e)
    return ""


def unknown(path, kind):
    """A file the JSON names by a path (or a stream by its address) that is none of the table's: known by
    its file name alone, and read as the JSON's kind says."""
    name = str(path).rsplit("/", 1)[-1] or str(path)
    return Medium(str(path), str(path) if kind == "musicstream" else name, kind, (), 0,
                  Path(name).suffix[1:].lower())


def faces(name):
    """A cube map's six files, as the site names them: NAME.EXT, then NAME_1.EXT to NAME_5.EXT."""
    stem, suffix = Path(name).stem, Path(name).suffix
    return [name] + ["%s_%d%s" % (stem, k, suffix) for k in range(1, 6)]


def found_in(folder, medium):
    """Where folder has the medium (a cube map: its six faces, named by a pattern with "{}"), or None."""
    if medium.kind == "cubemap":
        if all((folder / face).is_file() for face in faces(medium.file)):
            return (folder / (Path(medium.file).stem + "{}" + Path(medium.file).suffix)).resolve()
        return None
    return (folder / medium.file).resolve() if (folder / medium.file).is_file() else None


class Located(NamedTuple):
    path: Path  # the file, or a cube map's six as a name with "{}" where each face's name ends
    how: str  # folder, cache, made, fetched, or placeholder
    kind: str  # the site's kind it is read as: a video's placeholder is a still (texture), a sound's silence


def placeholder_kind(medium):
    return {"video": "texture", "musicstream": "music"}.get(medium.kind, medium.kind)


def locate(medium, folders, fetch=False, strict=False, spare=None):
    """Where the medium (a Medium, or the JSON's path of one of the table's) is: in the first of folders
    (--media, QUILLOMAR_MEDIA) that has it, by its file name; else in the cache, made there first if it is
    procedural, or fetched there (only with fetch); else a placeholder of its kind and size (a magenta and
    black checkerboard, the sound silence), made in the cache. With strict, None instead of a placeholder.
    Where the cache cannot be written, what is made or fetched goes into the folder spare instead, when
    one is given."""
    if not isinstance(medium, Medium):
        medium = named(medium) or unknown(medium, "texture")
    for folder in folders:
        where = found_in(Path(folder), medium)
        if where is not None:
            return Located(where, "folder", medium.kind)
    cache = cache_folder()
    where = found_in(cache, medium) if medium.kind != "musicstream" else None
    if where is not None:
        return Located(where, "cache", medium.kind)
    into = Path(spare) if spare is not None and unwritable(cache) else cache
    if medium.made:
        from quillomar import generate
        return Located(generate.make(medium, into / medium.file).resolve(), "made", medium.kind)
    if fetch and named(medium.path) is not None:
        from quillomar import fetch as fetching
        got = fetching.fetch(medium, into)
        where = found_in(into, medium) or (Path(got).resolve() if got else None)
        if where is not None:
            return Located(where, "fetched", medium.kind)
    if strict:
        return None
    from quillomar import generate
    kind = placeholder_kind(medium)
    return Located(generate.placeholder(kind, medium.size, into).resolve(), "placeholder", kind)
