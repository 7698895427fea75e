"""scripts/check-differential: its header parsing, its reading of pictures, and its flags."""
import importlib.machinery
import importlib.util
import os
import shutil
import struct
from pathlib import Path

import pytest
from PIL import Image

ROOT = Path(__file__).resolve().parents[2]
CLI = os.environ.get("IMGCONVERT_CLI", str(ROOT / "build" / "imgconvert"))

_loader = importlib.machinery.SourceFileLoader("check_differential",
                                               str(ROOT / "scripts" / "check-differential"))
_spec = importlib.util.spec_from_loader(_loader.name, _loader)
cd = importlib.util.module_from_spec(_spec)
_loader.exec_module(cd)


def ramp(mode, size=(32, 32)):
    w, h = size
    im = Image.new("RGB", size)
    im.putdata([(8 * x % 256, 8 * y % 256, 255 - 8 * x % 256) for y in range(h) for x in range(w)])
    if mode == "P":
        # Every palette index in use, so a transparent index survives the writers' pruning.
        im = Image.new("P", size)
        im.putpalette([v for k in range(256) for v in (k, 255 - k, k // 2)])
        im.putdata([(x + w * y) % 256 for y in range(h) for x in range(w)])
        return im
    out = im.convert("RGBA" if "A" in mode else "RGB" if mode == "I" else mode)
    if "A" in mode:
        out.putalpha(Image.linear_gradient("L").resize(size))
    return out.convert(mode)


def variant(tmp_path, name, im, **save):
    path = tmp_path / name
    im.save(path, **save)
    fmt = cd.FORMAT_OF_EXT[name.rsplit(".", 1)[1]]
    return cd.variant_of(str(path), fmt)


@pytest.mark.parametrize("name, mode, save, expected", [
    ("a.jpg", "RGB", {"subsampling": 2}, "baseline YCbCr 4:2:0"),
    ("a.jpg", "RGB", {"subsampling": 1}, "baseline YCbCr 4:2:2"),
    ("a.jpg", "RGB", {"subsampling": 0, "progressive": True}, "progressive YCbCr 4:4:4"),
    ("a.jpg", "L", {}, "baseline grey"),
    ("a.jpg", "CMYK", {}, "baseline CMYK"),
    ("a.png", "RGB", {}, "RGB 8-bit"),
    ("a.png", "LA", {}, "grey+alpha 8-bit"),
    ("a.png", "I", {}, "grey 16-bit"),
    ("a.png", "P", {"transparency": 0}, "palette 8-bit tRNS"),
    ("a.tif", "RGB", {"compression": "tiff_lzw"}, "LZW RGB 8-bit"),
    ("a.tif", "RGBA", {"compression": "tiff_adobe_deflate"}, "deflate RGB 8-bit +alpha"),
    ("a.tif", "CMYK", {"compression": "packbits"}, "PackBits CMYK 8-bit"),
    ("a.tif", "1", {"compression": "group4"}, "CCITT G4 min-is-black 1-bit"),
    ("a.tif", "F", {}, "raw min-is-black 32-bit float"),
    ("a.webp", "RGB", {"quality": 80}, "lossy"),
    ("a.webp", "RGBA", {"quality": 80}, "lossy+alpha"),
    ("a.webp", "RGBA", {"lossless": True}, "lossless+alpha"),
    ("a.gif", "P", {"transparency": 3, "interlace": False}, "GIF89a transparent"),
    ("a.gif", "P", {"interlace": True}, "GIF87a interlaced"),
    ("a.bmp", "RGB", {}, "v3 24-bit"),
    ("a.bmp", "P", {}, "v3 8-bit"),
    ("a.tga", "RGBA", {"compression": "tga_rle"}, "RLE truecolour 32-bit alpha 8"),
    ("a.ico", "RGBA", {"sizes": [(16, 16), (32, 32)]}, "PNG multi"),
    ("a.ico", "RGBA", {"sizes": [(32, 32)]}, "PNG"),
    ("a.pgm", "I", {}, "grey 16-bit"),
    ("a.ppm", "RGB", {}, "RGB"),
    ("a.pcx", "P", {}, "8-bit x1 planes"),
    ("a.sgi", "RGBA", {}, "8-bit 4 channels"),
])
def test_variants_from_headers(tmp_path, name, mode, save, expected):
    assert variant(tmp_path, name, ramp(mode), **save) == expected


def test_animated_variants(tmp_path):
    frames = [ramp("RGB"), ramp("RGB").rotate(180)]
    assert variant(tmp_path, "a.webp", frames[0], save_all=True, append_images=frames[1:]) \
        == "animated"
    assert variant(tmp_path, "a.png", frames[0], save_all=True, append_images=frames[1:]) \
        == "APNG RGB 8-bit"
    assert variant(tmp_path, "a.gif", frames[0], save_all=True, append_images=frames[1:]) \
        == "GIF87a animated"


def exr_header(flags, attrs):
    out = b"\x76\x2f\x31\x01" + struct.pack("<I", 2 | flags)
    for name, typ, val in attrs:
        out += name + b"\0" + typ + b"\0" + struct.pack("<I", len(val)) + val
    return out + b"\0"


def chlist(*chans):
    return b"".join(n + b"\0" + struct.pack("<IB3xII", t, 0, 1, 1) for n, t in chans) + b"\0"


@pytest.mark.parametrize("data, fmt, expected", [
    (exr_header(0, [(b"channels", b"chlist", chlist((b"B", 1), (b"G", 1), (b"R", 1))),
                    (b"compression", b"compression", b"\x04")]), "exr", "PIZ BGR half"),
    (exr_header(0x200, [(b"channels", b"chlist", chlist((b"Y", 2))),
                        (b"compression", b"compression", b"\x00")]), "exr", "raw Y float tiled"),
    (b"\0\0\0\x18ftypheic\0\0\0\0", "heif", "brand heic"),
    (b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 1 +X 1\n", "hdr", "32-bit_rle_rgbe"),
    # Truncated or foreign content never raises: it becomes its own variant.
    (b"\xff\xd8\xff\xc0\x00", "jpeg", "no frame header"),
    (b"\xff\xd8\xff\xe0\xff\xff\xff", "jpeg", "no frame header"),
    (b"II*\0\xff\xff\xff\x7f", "tiff", "unparsed"),
    (b"GIF89a", "gif", "GIF89a"),
    (b"GIF89a\1\0\1\0\0\0\0\x21\xf9\x04\x01", "gif", "GIF89a transparent"),
    (b"RIFF\0\0\0\0WEBP", "webp", "unparsed"),
    (b"hello", "png", "not PNG"),
])
def test_variants_of_hand_made_and_broken_headers(tmp_path, data, fmt, expected):
    path = tmp_path / "x"
    path.write_bytes(data)
    assert cd.variant_of(str(path), fmt) == expected


@pytest.mark.parametrize("im, pixel, transparent", [
    # 16-bit and float grey are scaled to 8 bits, not clipped at 255.
    (Image.new("I;16", (2, 2), 0x8080), (128, 128, 128), False),
    (Image.new("I", (2, 2), 65535), (255, 255, 255), False),
    (Image.new("F", (2, 2), 0.5), (127, 127, 127), False),
    (Image.new("F", (2, 2), 300.0), (255, 255, 255), False),
    (Image.new("LA", (2, 2), (200, 0)), (200, 200, 200, 0), True),
    # An alpha channel that is opaque everywhere is no transparency.
    (Image.new("RGBA", (2, 2), (1, 2, 3, 255)), (1, 2, 3, 255), False),
    (Image.new("CMYK", (2, 2), (0, 0, 0, 0)), (255, 255, 255), False),
])
def test_normalised(im, pixel, transparent):
    got, alpha = cd.normalised(im)
    assert (got.getpixel((0, 0)), alpha) == (pixel, transparent)


def test_dark_16_bit_png_is_scaled_all_the_same(tmp_path):
    Image.new("I", (2, 2), 200 * 257).save(tmp_path / "a.png")
    Image.new("I", (2, 2), 200).save(tmp_path / "b.png")
    pixels = [cd.read_png(str(tmp_path / n))[0].getpixel((0, 0)) for n in ("a.png", "b.png")]
    assert pixels == [(200, 200, 200), (1, 1, 1)]


def test_palette_transparency_becomes_alpha(tmp_path):
    im = Image.new("P", (2, 1))
    im.putpalette([10, 20, 30, 40, 50, 60])
    im.putpixel((1, 0), 1)
    im.save(tmp_path / "p.png", transparency=1)
    got, alpha = cd.read_png(str(tmp_path / "p.png"))
    assert alpha and list(got.getdata()) == [(10, 20, 30, 255), (40, 50, 60, 0)]


def test_colour_under_full_transparency_does_not_count():
    a = Image.new("RGBA", (4, 4), (255, 0, 0, 0))
    b = Image.new("RGBA", (4, 4), (0, 0, 255, 0))
    assert cd.mean_difference((a, True), (b, True))[:2] == (0, 0)
    # When only one side is transparent, colours are compared as they are.
    assert cd.mean_difference((a, True), (b.convert("RGB"), False))[0] == pytest.approx(170)
    assert cd.mean_difference((a, True), (Image.new("RGB", (4, 5)), False)) == (None,) * 3


@pytest.mark.parametrize("box, worst, mean", [
    ((5, 0, 6, 128), 200, 1.5625),       # a black column: the mean alone would pass it
    ((0, 7, 128, 8), 200, 1.5625),       # a black row
    ((5, 0, 6, 64), 100, 0.78125),       # half a column
    ((0, 0, 128, 128), 200, 200),
])
def test_a_black_column_or_row_shows_in_the_worst_line(box, worst, mean):
    grey = Image.new("RGB", (128, 128), (200, 200, 200))
    holed = grey.copy()
    holed.paste((0, 0, 0), box)
    got = cd.mean_difference((grey, False), (holed, False))
    assert got[:2] == (pytest.approx(mean), worst)


def result(fmt="jpeg", ours=True, pillow=True, vips=True, means=(0.0, 0.0), lines=(0, 0),
           alphas=(False, False, False)):
    r = {"fmt": fmt, "ours": ours, "pillow": pillow, "vips": vips,
         "ours_alpha": alphas[0] if ours else None}
    for k, p in enumerate(cd.PEERS):
        r[p + "_mean"] = means[k] if ours and r[p] else None
        r[p + "_line"] = lines[k] if ours and r[p] else None
        r[p + "_alpha"] = alphas[k + 1] if r[p] else None
    return r


@pytest.mark.parametrize("kwargs, flags", [
    ({}, []),
    ({"means": (3.0, 9.0)}, []),                      # one peer agrees: not ours to blame
    ({"means": (3.1, 9.0)}, ["silent wrong"]),
    ({"means": (None, 9.0)}, ["silent wrong"]),       # another size
    ({"lines": (49, 60)}, ["silent wrong"]),          # a black column in a large picture
    ({"lines": (48, 60)}, []),
    ({"means": (5.0, 0.0), "vips": False}, ["silent wrong"]),
    ({"alphas": (True, False, False)}, ["alpha wrong"]),
    ({"alphas": (True, True, False)}, []),
    ({"alphas": (False, True, True), "means": (8, 8)}, ["silent wrong", "alpha wrong"]),
    ({"ours": False}, ["refused"]),
    ({"ours": False, "vips": False}, []),             # vips reads jpeg elsewhere in the run
    ({"ours": True, "pillow": False, "vips": False}, []),
])
def test_flags(kwargs, flags):
    r = result(**kwargs)
    cd.judge([r, result()])
    assert r["flags"] == flags


def test_a_peer_shown_wrong_is_set_aside_for_that_file_only(monkeypatch):
    monkeypatch.setattr(cd, "PEER_FAULTS", {"odd.tif": ("vips", "why")})
    odd = dict(result("tiff", pillow=False, means=(None, 9.0)), rel="odd.tif")
    other = dict(result("tiff", pillow=False, means=(None, 9.0)), rel="other.tif")
    refused = dict(result("tiff", ours=False, pillow=False), rel="odd.tif")
    cd.judge([odd, other, refused])
    assert (odd["flags"], odd["skipped"]) == ([], False)
    assert other["flags"] == ["silent wrong"]
    assert refused["flags"] == [] and refused["skipped"]


def test_refusal_counts_only_peers_that_read_the_format():
    exr = [result("exr", ours=False, pillow=False), result("exr", pillow=False)]
    cd.judge(exr)
    assert exr[0]["flags"] == ["refused"] and not exr[0]["skipped"]
    nobody = [result("exr", ours=False, pillow=False, vips=False)]
    cd.judge(nobody)
    assert nobody[0]["skipped"] and nobody[0]["flags"] == []


@pytest.mark.skipif(not (os.access(CLI, os.X_OK) and shutil.which("vips")),
                    reason="needs the built command and vips")
def test_examine_agrees_on_a_plain_png(tmp_path):
    path = tmp_path / "ramp.png"
    ramp("RGBA").save(path)
    r = cd.examine(("x/ramp.png", str(path), "png", "RGBA 8-bit", CLI, str(tmp_path / "keep")))
    cd.judge([r])
    assert (r["ours"], r["pillow"], r["vips"], r["flags"]) == (True, True, True, [])
    assert r["pillow_mean"] < 1 and r["vips_mean"] < 1
    assert sorted(os.listdir(tmp_path / "keep")) == [
        "diff-pillow.png", "diff-vips.png", "ours.png", "pillow.png", "vips.png"]
