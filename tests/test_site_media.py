"""The site's media library with no display: the table against the facts measured of the site's files, the
procedural files made in kind (sizes, channels and formats as the readers read them, the same bytes every
time, the statistics of their kind), the cache they are kept in, and the placeholders for what is not
here."""
import hashlib
import wave
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from conftest import SHARED
from quillomar import Failure, generate, site_media, media

pytestmark = pytest.mark.fast

# The published 8x8 ordered-dither matrix, top row first.
BAYER = [[0, 32, 8, 40, 2, 34, 10, 42], [48, 16, 56, 24, 50, 18, 58, 26], [12, 44, 4, 36, 14, 46, 6, 38],
         [60, 28, 52, 20, 62, 30, 54, 22], [3, 35, 11, 43, 1, 33, 9, 41], [51, 19, 59, 27, 49, 17, 57, 25],
         [15, 47, 7, 39, 13, 45, 5, 37], [63, 31, 55, 23, 61, 29, 53, 21]]


def by_name(name):
    return next(m for m in site_media.TABLE if m.name == name)


def texels(path):
    """A made file as the readers the channels use read it: ((depth,) height, width, channels) bytes."""
    if str(path).endswith(".bin"):
        data, (w, h, d) = media.volume_texels(path, "test")
        return np.frombuffer(data, np.uint8).reshape(d, h, w, 4)[..., :Path(path).read_bytes()[16]]
    with Image.open(path) as image:
        return np.asarray(image).reshape(image.size[1], image.size[0], -1)


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """Every procedural file, made once into a cache of the module's: {name: path}."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("XDG_CACHE_HOME", str(tmp_path_factory.mktemp("made")))
        return {m.name: site_media.locate(m, []).path for m in site_media.TABLE if m.made}


@pytest.mark.shared
def test_the_table_has_the_sites_files_with_their_facts():
    """Each file the site's shaders name, once, of its kind, name, size and channels; made here where it is
    procedural (noise, the font, the volumes)."""
    rows = [line.split("\t") for line in (SHARED / "shadertoy-media.tsv").read_text().splitlines()
            if line.startswith("/media/")]
    assert sorted(r[0] for r in rows) == sorted(m.path for m in site_media.TABLE)
    per = {"3ch": 3, "RGB8": 3, "RGBA8": 4, "4ch": 4, "1ch(gray8)": 1, "1ch": 1}
    for path, kind, _, _, category, name, size in rows:
        m = site_media.named(path)
        assert m.kind == kind and bool(m.made) == (category in ("noise-texture", "font", "volume")), path
        if name != "-":
            assert m.name == name.replace(" (cubemap)", "").replace(" (volume)", ""), path
        sides = size.split()[0]
        if "x" in sides:
            assert "x".join(map(str, m.size)) == sides, path
        said = [per[w] for w in size.split() if w in per]
        if said and m.kind != "video":
            assert m.channels == said[0], path
    assert site_media.named("/media/a/" + by_name("London").file).called() == "London (8de3a3924cb9....jpg)"


def test_each_procedural_file_is_made_at_its_size_channels_and_format_the_same_every_time(made, tmp_path,
                                                                                          monkeypatch):
    for m in site_media.TABLE:
        if not m.made:
            continue
        found = texels(made[m.name])
        assert found.shape == tuple(reversed(m.size)) + (m.channels,), m.name
        if m.format == "png":
            with Image.open(made[m.name]) as image:
                assert (image.format, image.mode) == ("PNG", {1: "L", 4: "RGBA"}[m.channels]), m.name
        else:
            assert Path(made[m.name]).read_bytes()[:4] == b"BIN\0"
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    for m in site_media.TABLE:
        if m.made:
            again = site_media.locate(m, [])
            assert again.how == "made" and again.path.parent == tmp_path / "quillomar" / "media"
            assert hashlib.sha256(again.path.read_bytes()).digest() == \
                hashlib.sha256(Path(made[m.name]).read_bytes()).digest(), m.name


def test_white_noise_is_uniform_with_channels_unrelated_at_a_texel(made):
    for name in ("RGBA Noise Medium", "Gray Noise Medium", "Gray Noise Small", "RGBA Noise Small", "Grey Noise 3D",
                 "RGBA Noise 3D"):
        values = texels(made[name]).reshape(-1, by_name(name).channels).astype(float)
        error = 73.9 / np.sqrt(len(values))  # of the mean; uniform bytes spread 73.9
        assert np.all(abs(values.mean(axis=0) - 127.5) < 5 * error), name
        assert np.all(abs(values.std(axis=0) - 73.9) < 2.0), name
        if values.shape[1] == 4:
            related = np.corrcoef(values.T) - np.eye(4)
            assert abs(related).max() < 5 / np.sqrt(len(values)), name
    # In RGBA, green is red and alpha blue moved by (37, 17) as the GL reads the texture (bottom row
    # first): a shader reads red and green at p.xy + (37, 17) * p.z for a 3D noise.
    for name in ("RGBA Noise Medium", "RGBA Noise Small"):
        data, (w, h) = media.image_pixels(made[name], name)
        gl = np.frombuffer(data, np.uint8).reshape(h, w, 4)
        y, x = np.mgrid[0:h, 0:w]
        assert np.array_equal(gl[..., 1], gl[(y - 17) % h, (x - 37) % w, 0]), name
        assert np.array_equal(gl[..., 3], gl[(y - 17) % h, (x - 37) % w, 2]), name


def radial_power(field, below):
    """The mean power of field's frequencies below a radius (cycles per texel), its mean taken out."""
    power = abs(np.fft.fft2(field - field.mean())) ** 2
    fy, fx = np.meshgrid(np.fft.fftfreq(field.shape[0]), np.fft.fftfreq(field.shape[1]), indexing="ij")
    ring = (np.hypot(fx, fy) < below) & (np.hypot(fx, fy) > 0)
    return power[ring].mean()


def test_blue_noise_has_every_value_equally_often_and_no_low_frequencies(made):
    blue = texels(made["Blue Noise"]).astype(float)
    white = np.random.Generator(np.random.PCG64(5)).integers(0, 256, blue.shape[:2]).astype(float)
    for c in range(4):
        assert np.array_equal(np.bincount(blue[..., c].astype(int).ravel(), minlength=256),
                              np.full(256, blue[..., c].size // 256)), c
        assert radial_power(blue[..., c], 0.05) < 0.02 * radial_power(white, 0.05), c
    related = np.corrcoef(blue.reshape(-1, 4).T) - np.eye(4)
    assert abs(related).max() < 0.01


def test_bayer_is_the_ordered_dither_matrix_as_gray(made):
    assert texels(made["Bayer"])[..., 0].tolist() == [[round(i * 255 / 63) for i in row] for row in BAYER]


def test_the_font_has_a_glyph_per_code_with_its_distance_field(made):
    atlas = texels(made["Font 1"]).astype(int)

    def cell(char):  # code c at column c % 16, row c // 16 from the top of the file
        y, x = divmod(ord(char), 16)
        return atlas[y * 64:(y + 1) * 64, x * 64:(x + 1) * 64]
    a, space = cell("A"), cell(" ")
    assert (a[..., 0] > 128).sum() > 100 and space[..., 0].max() == 0 and cell("\x07")[..., 0].max() == 0
    assert (space[..., 3] > 128).all()
    assert a[..., 3][a[..., 0] == 255].max() < 128  # inside the glyph, below the edge's 0.5
    assert a[0, 0, 3] == 255 and a[..., 3][a[..., 0] == 0].min() < a[0, 0, 3]  # rising away from it
    # The field's gradient points away from the glyph: left of the I's stem to the left (green low),
    # above the hyphen upwards (blue high, y up).
    i, hyphen = cell("I"), cell("-")
    assert i[32, 4, 1] < 64 and hyphen[4, 32, 2] > 192


def test_made_files_are_kept_in_the_cache_and_a_media_folder_comes_first(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    cache = tmp_path / "cache" / "quillomar" / "media"
    bayer = by_name("Bayer")
    first = site_media.locate(bayer, [])
    assert (first.how, first.path) == ("made", cache / bayer.file)
    stamp = first.path.stat()
    again = site_media.locate("/media/a/" + bayer.file, [])
    assert (again.how, again.path) == ("cache", first.path)
    assert (again.path.stat().st_ino, again.path.stat().st_mtime_ns) == (stamp.st_ino, stamp.st_mtime_ns)
    (tmp_path / "mine").mkdir()
    Image.new("L", (8, 8)).save(tmp_path / "mine" / bayer.file)
    assert site_media.locate(bayer, [tmp_path / "mine"]) == (tmp_path / "mine" / bayer.file, "folder", "texture")
    assert sorted(p.name for p in cache.iterdir()) == [bayer.file]

    def failing():
        raise Failure("no room")
    with pytest.raises(Failure, match="no room"):
        generate.write_whole(cache / "half.png", failing)
    assert sorted(p.name for p in cache.iterdir()) == [bayer.file]


def test_what_is_not_here_is_a_placeholder_of_its_kind_and_size(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    london = site_media.locate(by_name("London"), [])
    assert london.how == "placeholder" and london.kind == "texture"
    with Image.open(london.path) as image:
        picture = image.convert("RGB")
    assert picture.size == (512, 512) and set(picture.getdata()) == {(255, 0, 255), (0, 0, 0)}
    assert picture.getpixel((0, 0)) != picture.getpixel((64, 0)) == picture.getpixel((0, 64))
    cube = site_media.locate(by_name("Forest"), [])
    faces, size = media.cube_faces(cube.path, "Forest")
    assert (cube.how, cube.kind, size, len(faces)) == ("placeholder", "cubemap", (256, 256), 6 * 256 * 256 * 4)
    video = site_media.locate(by_name("Video 1"), [])
    assert (video.kind, media.image_pixels(video.path, "video")[1]) == ("texture", (512, 396))
    assert media.image_pixels(site_media.locate(by_name("Video 2"), []).path, "video")[1] == (256, 256)
    for music in (by_name("Music 1"), site_media.unknown("https://example.com/tracks/1", "musicstream")):
        sound = site_media.locate(music, [])
        assert sound.kind == "music"
        with wave.open(str(sound.path)) as w:
            assert w.getnframes() > 0 and set(w.readframes(w.getnframes())) == {0}
    assert site_media.locate(by_name("London"), [], strict=True) is None
    assert site_media.locate(by_name("Gray Noise Small"), [], strict=True).how == "made"
