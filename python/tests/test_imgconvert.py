import os
import threading

import pytest

import imgconvert
from conftest import write_bmp


def test_version_and_formats():
    assert imgconvert.version() == "1.0.0"
    cat = imgconvert.formats()
    assert isinstance(cat, dict) and "png" in str(cat)


@pytest.mark.parametrize(
    "ext, options, size",
    [
        ("png", {}, (37, 21)),
        ("webp", {"quality": 80, "width": 20}, (20, 11)),
        ("jpg", {"height": 42, "keep_exif": True}, (74, 42)),
        ("gif", {"width": 10, "height": 10}, (10, 10)),
    ],
)
def test_convert_reports_its_output(bmp, tmp_path, ext, options, size):
    dst = tmp_path / f"out.{ext}"
    r = imgconvert.convert(bmp, dst, **options)
    assert r["out"] == str(dst)
    assert (r["width"], r["height"]) == size
    assert r["format"] == ext
    assert r["bytes"] == os.path.getsize(dst) > 0
    assert isinstance(r["ms"], float)
    p = imgconvert.probe(dst)
    assert (p["width"], p["height"], p["format"]) == (*size, ext)


def test_paths_as_bytes_and_pathlike(tmp_path):
    # A name that is not UTF-8 goes through byte for byte.
    src = write_bmp(tmp_path / "a.bmp", 8, 8)
    dst = os.fsencode(tmp_path) + b"/caf\xe9.png"
    imgconvert.convert(str(src), dst)
    assert os.path.exists(dst)
    assert imgconvert.probe(dst)["width"] == 8


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda d: imgconvert.convert(d / "missing.png", d / "x.png"), "missing.png"),
        (lambda d: imgconvert.convert(d / "a.bmp", d / "x.xyz"), "unsupported output format '.xyz'"),
        (lambda d: imgconvert.convert(d / "a.bmp", d / "x.jxl"), "unsupported output format '.jxl'"),
        (lambda d: imgconvert.convert(d / "a.bmp", d), "' is a directory"),
        (lambda d: imgconvert.convert(d / "a.bmp", d / "x"), "' has no extension"),
        (lambda d: imgconvert.convert(d / "a.bmp", d / "no" / "x.png"),
         "/x.png': No such file or directory"),
        (lambda d: imgconvert.convert("", d / "x.png"), "in/out must be non-empty"),
        (lambda d: imgconvert.probe(d / "missing.png"), "missing.png"),
        (lambda d: imgconvert.Batch(d, d / "o", "png", job=16).start(), "job_id out of range"),
    ],
)
def test_failures_carry_the_library_message(tmp_path, call, message):
    write_bmp(tmp_path / "a.bmp", 4, 4)
    with pytest.raises(imgconvert.ImgConvertError) as e:
        call(tmp_path)
    assert message in e.value.message
    assert str(e.value) == e.value.message


def test_batch_failures_carry_the_system_reason(tmp_path):
    write_bmp(tmp_path / "a.bmp", 4, 4)
    (tmp_path / "o" / "a.png").mkdir(parents=True)
    status = imgconvert.Batch(tmp_path, tmp_path / "o", "png", job=5).start().wait()
    assert [f["error"] for f in status["failed"] if f["file"].endswith("a.bmp")] == [
        f"cannot write output '{tmp_path / 'o' / 'a.png'}': Is a directory"]


@pytest.mark.parametrize("job", [0, 7])
def test_batch_with_progress(tmp_path, job):
    src = tmp_path / "in"
    src.mkdir()
    for i in range(5):
        write_bmp(src / f"p{i}.bmp", 9 + i, 5)
    (src / "broken.bmp").write_bytes(b"not an image")
    seen = []
    b = imgconvert.Batch(src, tmp_path / "out", "png", job=job, width=6)
    final = b.start().wait(progress=seen.append)
    assert final["state"] == "done"
    assert (final["done"], final["total"]) == (6, 6)
    assert [f["file"] for f in final["failed"]] == ["broken.bmp"]
    assert seen[-1] == final
    assert all(a["done"] <= b["done"] for a, b in zip(seen, seen[1:]))
    for i in range(5):
        assert imgconvert.probe(tmp_path / "out" / f"p{i}.png")["width"] == 6


def test_batch_iterates_and_refuses_a_busy_slot(tmp_path):
    src = tmp_path / "in"
    src.mkdir()
    for i in range(20):
        write_bmp(src / f"p{i}.bmp", 64, 64)
    b = imgconvert.Batch(src, tmp_path / "out", "webp", job=3).start()
    with pytest.raises(imgconvert.ImgConvertError, match="job 3 already running"):
        imgconvert.Batch(src, tmp_path / "out2", "png", job=3).start()
    states = [s["state"] for s in b]
    assert states[-1] == "done" and b.status()["done"] == 20


def test_threads_each_get_their_own_result(tmp_path):
    # No lock anywhere: every thread must still see its own results and messages.
    sources = [write_bmp(tmp_path / f"s{t}.bmp", 10 + t, 6 + t) for t in range(8)]
    errors = []

    def work(t):
        try:
            for i in range(12):
                w = 5 + t * 3 + i
                dst = tmp_path / f"t{t}_{i}.png"
                r = imgconvert.convert(sources[t], dst, width=w)
                if r["out"] != str(dst) or r["width"] != w:
                    errors.append((t, i, r))
                p = imgconvert.probe(dst)
                if p["width"] != w:
                    errors.append((t, i, p))
                try:
                    imgconvert.convert(tmp_path / f"none{t}.png", dst)
                except imgconvert.ImgConvertError as e:
                    if f"none{t}.png" not in e.message:
                        errors.append((t, i, e.message))
        except Exception as e:  # noqa: BLE001 - any failure in a thread fails the test
            errors.append((t, repr(e)))

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []


def test_an_explicit_library_that_fails_is_not_replaced(tmp_path):
    # Another copy found silently would hide a wrong IMGCONVERT_LIBRARY.
    import subprocess
    import sys

    env = dict(os.environ, IMGCONVERT_LIBRARY=str(tmp_path / "nothing.so"))
    code = (
        "import imgconvert\ntry:\n imgconvert.version()\nexcept imgconvert.ImgConvertError as e:\n"
        " print(isinstance(e, imgconvert.LibraryNotFound), isinstance(e, OSError), e)"
    )
    r = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert r.stdout.startswith("True True ")
    assert "nothing.so" in r.stdout and "cannot be loaded" in r.stdout


def test_exit_during_a_batch_leaves_no_temporary_file(tmp_path):
    # The interpreter exits as soon as a worker's temporary file exists.
    import subprocess
    import sys

    src, dst = tmp_path / "in", tmp_path / "out"
    src.mkdir()
    first = write_bmp(src / "p0.bmp", 1000, 800)
    for i in range(1, 16):
        (src / f"p{i}.bmp").write_bytes(first.read_bytes())
    code = (
        "import os, sys, time, imgconvert\n"
        "src, dst = sys.argv[1], sys.argv[2]\n"
        "imgconvert.Batch(src, dst, 'png', job=9, threads=4).start()\n"
        "end = time.monotonic() + 60\n"
        "while time.monotonic() < end:\n"
        "    if os.path.isdir(dst) and any(n.endswith('.tmp') for n in os.listdir(dst)):\n"
        "        sys.exit(0)\n"
        "sys.exit(2)\n"
    )
    r = subprocess.run([sys.executable, "-c", code, str(src), str(dst)], capture_output=True)
    assert r.returncode == 0, r.stderr
    assert not [n for n in os.listdir(dst) if n.endswith(".tmp")]


@pytest.mark.parametrize(
    "options, error",
    [
        ({"quality": float("inf")}, ValueError),
        ({"quality": float("nan")}, ValueError),
        ({"width": 20.5}, ValueError),
        ({"qualty": 80}, TypeError),
        ({"colour_profile": "srgb"}, TypeError),
    ],
)
def test_options_the_library_would_ignore_are_refused(bmp, tmp_path, options, error):
    dst = tmp_path / "out.png"
    with pytest.raises(error):
        imgconvert.convert(bmp, dst, **options)
    with pytest.raises(error):
        imgconvert.Batch(tmp_path, tmp_path / "o", "png", **options)
    assert not dst.exists()


def test_whole_floats_and_booleans_pass(bmp, tmp_path):
    r = imgconvert.convert(bmp, tmp_path / "o.png", width=20.0, keep_exif=True)
    assert r["width"] == 20


@pytest.mark.parametrize("job", [-1, 16, 2**32, 2**32 + 3])
def test_job_ids_outside_the_slots_are_refused_before_starting(tmp_path, job):
    with pytest.raises(ValueError):
        imgconvert.Batch(tmp_path, tmp_path / "o", "png", job=job)
    # Nothing started: slot 0 (where 2**32 would wrap) is idle.
    assert imgconvert._job_status(0)["state"] == "done"
    assert not (tmp_path / "o").exists()


def _folder(path, count, size=(9, 5)):
    path.mkdir()
    for i in range(count):
        write_bmp(path / f"p{i}.bmp", *size)
    return path


def test_batch_without_job_takes_the_first_slot_not_running(tmp_path):
    big = _folder(tmp_path / "big", 24, (400, 300))
    busy = imgconvert.Batch(big, tmp_path / "o0", "webp", job=0, threads=1).start()
    free = imgconvert.Batch(_folder(tmp_path / "small", 3), tmp_path / "o1", "png")
    assert free.job is None
    free.start()
    if busy.status()["state"] == "running":  # so it was running when the free slot was sought
        assert free.job == 1
    assert free.wait()["done"] == 3 and len(os.listdir(tmp_path / "o1")) == 3
    busy.wait()


@pytest.mark.parametrize("kind", ["missing", "file", "unreadable"])
def test_a_source_folder_that_cannot_be_listed_is_refused_before_anything_is_made(tmp_path, kind):
    src = tmp_path / "src"
    if kind == "file":
        src.write_bytes(b"x")
    elif kind == "unreadable":
        if os.geteuid() == 0:
            pytest.skip("root reads every folder")
        _folder(src, 1).chmod(0)
    b = imgconvert.Batch(src, tmp_path / "out", "png", job=2)
    with pytest.raises(imgconvert.ImgConvertError, match="src"):
        b.start()
    with pytest.raises(imgconvert.ImgConvertError, match="not been started"):
        b.status()  # before a successful start()
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("ext, suffix", [("PNG", ".png"), (".WebP", ".webp"), (b"JPG", ".jpg")])
def test_batch_extension_in_any_case(tmp_path, ext, suffix):
    final = imgconvert.Batch(_folder(tmp_path / "in", 2), tmp_path / "out", ext, job=4).wait()
    assert (final["done"], final["failed"]) == (2, [])
    assert sorted(os.listdir(tmp_path / "out")) == ["p0" + suffix, "p1" + suffix]


def test_package_metadata_types_and_help():
    from importlib import metadata
    from pathlib import Path

    assert imgconvert.__version__ == imgconvert.version()
    try:  # installed, as scripts/check-python does; from a checkout there is no metadata
        assert metadata.version("imgconvert") == imgconvert.__version__
    except metadata.PackageNotFoundError:
        pass
    assert (Path(imgconvert.__file__).parent / "py.typed").is_file()
    for fn in (imgconvert.convert, imgconvert.Batch):
        for key in imgconvert.OPTION_KEYS:
            assert key in fn.__doc__, (fn, key)
        assert "ImgConvertError" in fn.__doc__ and "LibraryNotFound" in fn.__doc__


def test_the_readme_example_runs_as_written(tmp_path):
    import subprocess
    import sys
    from pathlib import Path

    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text()
    start = readme.index("PYTHONPATH=python/src python3 - <<'EOF'\n")
    code = readme[readme.index("\n", start) + 1 : readme.index("\nEOF\n", start)]
    (tmp_path / "out").mkdir()
    imgconvert.convert(write_bmp(tmp_path / "s.bmp", 1200, 700), tmp_path / "out" / "sample.png")
    r = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert "'width': 800" in r.stdout and "'state': 'done'" in r.stdout


QUIET_HOST = r"""
import sys, imgconvert
src, d = sys.argv[1], sys.argv[2]
made = [imgconvert.convert(src, f"{d}/a.{ext}")["out"]
        for ext in ("jpg", "png", "tif", "webp", "gif", "heic", "avif")]
with open(f"{d}/a.dng", "wb") as f:  # a RAW extension, for LibRaw to refuse
    f.write(b"II*\0" + bytes(300))
made.append(f"{d}/a.dng")
for path in made:
    data = open(path, "rb").read()
    cut = path.replace("/a.", "/cut.")
    with open(cut, "wb") as f:
        f.write(data[: len(data) // 2])
    for p in (path, cut):
        for out in ("png", "jpg"):
            try:
                imgconvert.convert(p, f"{d}/b.{out}", width=20)
            except imgconvert.ImgConvertError:
                pass
        try:
            imgconvert.probe(p)
        except imgconvert.ImgConvertError:
            pass
imgconvert.Batch(d, d + "/batch", "webp", job=3).start().wait()
"""


def test_library_calls_leave_the_hosts_stderr_alone(tmp_path):
    # Whole and cut files of every kind, in a fresh interpreter whose stderr is the test's:
    # not one line unless IMGCONVERT_LOG asks, and then the broken files are heard.
    import subprocess
    import sys

    write_bmp(tmp_path / "src.bmp", 301, 203)
    work = tmp_path / "w"
    work.mkdir()
    env = {k: v for k, v in os.environ.items() if k != "IMGCONVERT_LOG"}
    argv = [sys.executable, "-c", QUIET_HOST, str(tmp_path / "src.bmp"), str(work)]
    quiet = subprocess.run(argv, env=env, capture_output=True, text=True)
    assert quiet.returncode == 0 and quiet.stderr == "", quiet.stderr
    loud = subprocess.run(argv, env=dict(env, IMGCONVERT_LOG="1"), capture_output=True, text=True)
    assert loud.returncode == 0
    assert "ffmpeg: " in loud.stderr and "libjpeg: " in loud.stderr, loud.stderr


# Three 4x4 frames (red, green, blue) with delays of 100, 200 and 300 ms, looping forever.
ANIMATED_GIF = bytes.fromhex(
    "47494638396104000400810000ff000000ff000000ffffffff21ff0b4e45545343415045322e3003010000"
    "0021f904000a0000002c000000000400040000020a040810204080000102050021f90400140000002c0000"
    "00000400040000020a4c983061c284091326050021f904001e0000002c000000000400040000020a942851"
    "a2448912254a05003b")


def test_animated_keeps_every_frame_in_convert_and_batch(tmp_path):
    src = tmp_path / "in"
    src.mkdir()
    (src / "a.gif").write_bytes(ANIMATED_GIF)
    res = imgconvert.convert(src / "a.gif", tmp_path / "a.webp", animated=True)
    assert res["frames"] == 3
    assert (tmp_path / "a.webp").read_bytes().count(b"ANMF") == 3
    final = imgconvert.Batch(src, tmp_path / "out", "webp", animated=True).start().wait()
    assert final["done"] == 1 and not final["failed"]
    assert (tmp_path / "out" / "a.webp").read_bytes().count(b"ANMF") == 3


def _photo(path, alpha=False):
    """A 48 x 32 picture with detail in every channel; with alpha, its left half is clear."""
    Image = pytest.importorskip("PIL.Image")
    im = Image.new("RGBA" if alpha else "RGB", (48, 32))
    im.putdata([((x * 37 + y * 11) % 256, (x * 5 + y * 23) % 256, (x * y * 7) % 256)
                + ((0 if x < 24 else 255,) if alpha else ()) for y in range(32) for x in range(48)])
    im.save(path)
    return im.convert("RGB")


def _sampling(im):
    # Every component sampled alike is 4:4:4 (FFmpeg's writer says 1x2 for each); luma at
    # twice the chroma both ways is 4:2:0.
    factors = [layer[1:3] for layer in im.layer]
    if len(set(factors)) == 1:
        return "444"
    return "420" if factors == [(2, 2), (1, 1), (1, 1)] else str(factors)


def _same_pixels(im, src):
    return im.convert("RGB").tobytes() == src.tobytes()


# Each encoder option read back by a second reader (Pillow; HEIC and AVIF through libheif,
# which the writer does not share code with), beside the same file without it.
@pytest.mark.parametrize("ext, options, check", [
    ("jpg", {}, lambda im, src: not im.info.get("progressive") and _sampling(im) == "420"),
    ("jpg", {"progressive": True}, lambda im, src: im.info.get("progressive") == 1),
    ("jpg", {"chroma": 444}, lambda im, src: _sampling(im) == "444"),
    ("jpg", {"chroma": "420", "progressive": 1}, lambda im, src: _sampling(im) == "420"),
    ("webp", {}, lambda im, src: not _same_pixels(im, src)),
    ("webp", {"lossless": 1}, _same_pixels),
    ("webp", {"lossless": 1, "chroma": "444", "quality": 10}, _same_pixels),
    ("png", {"compression": 0}, _same_pixels),
    ("png", {"compression": 9}, _same_pixels),
    ("tif", {"tiff_compression": "lzw"}, lambda im, src: im.info["compression"] == "tiff_lzw"),
    ("tif", {"tiff_compression": "deflate"},
     lambda im, src: im.info["compression"] in ("tiff_deflate", "tiff_adobe_deflate")),
    ("tif", {"tiff_compression": "none"}, lambda im, src: im.info["compression"] == "raw"),
    ("heic", {"lossless": 1}, _same_pixels),
    ("avif", {"lossless": 1}, _same_pixels),
    ("heic", {"chroma": "444"}, lambda im, src: not _same_pixels(im, src)),
])
def test_encoder_options_read_back(tmp_path, ext, options, check):
    from PIL import Image
    src = _photo(tmp_path / "src.png")
    out = tmp_path / f"out.{ext}"
    imgconvert.convert(tmp_path / "src.png", out, **options)
    if ext in ("heic", "avif"):  # Pillow has no HEIF reader here
        imgconvert.convert(out, tmp_path / "back.png")
        out = tmp_path / "back.png"
    with Image.open(out) as im:
        assert check(im, src)


def test_png_level_and_webp_chroma_change_the_file(tmp_path):
    write_bmp(tmp_path / "src.png.bmp", 64, 48)  # smooth: zlib's level shows
    imgconvert.convert(tmp_path / "src.png.bmp", tmp_path / "src.png")
    size = {}
    for name, ext, options in [("plain", "png", {}), ("fast", "png", {"compression": 0}),
                               ("best", "png", {"compression": 9}), ("lossy", "webp", {}),
                               ("sharp", "webp", {"chroma": "420"})]:
        size[name] = imgconvert.convert(tmp_path / "src.png", tmp_path / f"{name}.{ext}",
                                        **options)["bytes"]
    assert size["fast"] > 64 * 48 * 3 > size["plain"] >= size["best"]
    assert (tmp_path / "lossy.webp").read_bytes() != (tmp_path / "sharp.webp").read_bytes()


@pytest.mark.parametrize("ext, background, want", [
    ("jpg", "#ff0000", (255, 0, 0)),
    ("bmp", "#00FF80", (0, 255, 128)),
    ("jpeg", None, None),
    ("png", "#ff0000", None),  # PNG keeps its alpha
])
def test_background_under_transparency(tmp_path, ext, background, want):
    from PIL import Image
    _photo(tmp_path / "src.png", alpha=True)
    imgconvert.convert(tmp_path / "src.png", tmp_path / f"o.{ext}", background=background)
    with Image.open(tmp_path / f"o.{ext}") as im:
        clear = im.convert("RGBA").getpixel((4, 16))
        opaque_before = _photo(tmp_path / "ref.png").getpixel((40, 16))
        if want:
            assert im.mode == "RGB"
            assert max(abs(a - b) for a, b in zip(clear[:3], want)) <= 3
            assert max(abs(a - b) for a, b in zip(im.getpixel((40, 16)), opaque_before)) <= 40
        elif ext == "png":
            assert clear[3] == 0
        else:
            assert max(abs(a - b) for a, b in zip(clear[:3], (255, 0, 0))) > 30


@pytest.mark.parametrize("ext, options, message", [
    ("jpg", {"chroma": "422"}, "invalid option 'chroma': '422'"),
    ("jpg", {"background": "red"}, "invalid option 'background': 'red'"),
    ("jpg", {"background": "#12345"}, "invalid option 'background': '#12345'"),
    ("tif", {"tiff_compression": "zip"}, "invalid option 'tiff_compression': 'zip'"),
    ("webp", {"chroma": "444"}, "chroma '444' for WebP needs \"lossless\":1"),
])
def test_encoder_options_refused(tmp_path, ext, options, message):
    write_bmp(tmp_path / "a.bmp", 8, 8)
    with pytest.raises(imgconvert.ImgConvertError) as e:
        imgconvert.convert(tmp_path / "a.bmp", tmp_path / f"o.{ext}", **options)
    assert message in e.value.message
    assert not (tmp_path / f"o.{ext}").exists()
