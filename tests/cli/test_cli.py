"""The imgconvert command, run as a user would: exit codes, messages, outputs."""
import json
import os
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
CLI = os.environ.get("IMGCONVERT_CLI", str(ROOT / "build" / "imgconvert"))


def run(*args, cwd=None):
    return subprocess.run([CLI, *map(str, args)], cwd=cwd, capture_output=True, text=True,
                          timeout=120)


def write_ppm(path, width, height):
    # A red-to-blue ramp: enough for every reader and writer to have real work.
    px = bytearray()
    for y in range(height):
        for x in range(width):
            r = 255 * x // max(width - 1, 1)
            px += bytes((r, 255 * y // max(height - 1, 1), 255 - r))
    Path(path).write_bytes(b"P6\n%d %d\n255\n" % (width, height) + bytes(px))
    return Path(path)


@pytest.fixture
def src(tmp_path):
    return write_ppm(tmp_path / "ramp.ppm", 40, 24)


@pytest.mark.parametrize(
    "args, message",
    [
        (["--width", "-5"], "--width must be 1..2147483647, got '-5'"),
        (["--height", "0"], "--height must be 1.."),
        (["--quality", "abc"], "--quality needs an integer, got 'abc'"),
        (["--quality", "150"], "--quality must be 1..100, got '150'"),
        (["--dpi", "x"], "--dpi needs an integer, got 'x'"),
        (["--dpi", "99999999999999999999"], "--dpi needs an integer"),
        (["--bogus"], "unknown option '--bogus' for convert"),
        (["--options", "[1]"], "--options must be a JSON object"),
        (["--options", "{bad"], "--options must be a JSON object"),
        (["--fit", "contain"], "--fit must be one of fill, inside, cover, got 'contain'"),
        (["--kernel", "nearest"], "--kernel must be one of"),
        (["--threads", "2"], "--threads goes with --to EXT"),
        (["--width=-5"], "--width must be 1..2147483647, got '-5'"),
        (["-q", "0"], "--quality must be 1..100, got '0'"),
        (["--quality"], "--quality needs a value"),
        (["--max-pixels", "9007199254740992"], "--max-pixels must be 1..9007199254740991"),
    ],
)
def test_bad_flags_are_usage_errors(src, tmp_path, args, message):
    r = run("convert", src, tmp_path / "x.png", *args)
    assert r.returncode == 2
    assert message in r.stderr
    assert not (tmp_path / "x.png").exists()


@pytest.mark.parametrize(
    "args, message",
    [
        (["batch", "d", "o", "png", "--job", "16"], "--job must be 0..15"),
        (["batch", "d", "o", "png", "--threads", "0"], "--threads must be 1..64"),
        (["batch", "d", "o"], "batch needs IN_DIR, OUT_DIR and EXT"),
        (["convert", "a.ppm"], "convert takes IN OUT"),
        (["convert", "a.ppm", "-o", "d"], "-o DIR goes with --to EXT"),
        (["nonsense"], "unknown command 'nonsense'"),
    ],
)
def test_usage_errors(tmp_path, args, message):
    r = run(*args, cwd=tmp_path)
    assert r.returncode == 2
    assert message in r.stderr


def test_flags_build_the_options(src, tmp_path):
    # A repeated flag replaces its value, and flags win over --options.
    r = run("convert", src, tmp_path / "x.png", "--width", "5", "--width", "7",
            "--options", '{"width":9,"height":3}')
    assert r.returncode == 0, r.stderr
    res = json.loads(r.stdout)
    assert (res["width"], res["height"]) == (7, 3)


def test_options_of_other_subsystems_pass_through(src, tmp_path):
    r = run("convert", src, tmp_path / "y.png", "--max-pixels", "100")
    assert r.returncode == 1 and "image too large" in r.stderr
    r = run("convert", src, tmp_path / "x.png", "--auto-orient", "--no-enlarge", "--fit",
            "fill", "--kernel", "bicubic", "--max-pixels", "3000000000", "--color-profile", "srgb")
    assert r.returncode == 0, r.stderr
    assert json.loads(r.stdout)["width"] == 40


@pytest.mark.parametrize(
    "in_dir, ext, message",
    [
        ("missing", "png", "imgconvert: 'missing' is not a directory"),
        ("ramp.ppm", "png", "imgconvert: 'ramp.ppm' is not a directory"),
        (".", "xyz", "imgconvert: no writer for '.xyz'"),
        (".", "jxl", "imgconvert: no writer for '.jxl'"),
    ],
)
def test_batch_checks_before_starting(src, tmp_path, in_dir, ext, message):
    r = run("batch", in_dir, "out", ext, cwd=tmp_path)
    assert r.returncode == 1
    assert r.stderr.strip() == message
    assert not (tmp_path / "out").exists()


def test_jpeg_to_webp_batch_prints_only_its_own_lines(src, tmp_path):
    (tmp_path / "in").mkdir()
    for i in range(3):
        assert run("convert", src, tmp_path / "in" / f"p{i}.jpg").returncode == 0
    r = run("batch", tmp_path / "in", tmp_path / "out", ".webp", "--job", "5")
    assert r.returncode == 0
    assert r.stderr == ""
    assert r.stdout.startswith("3 of 3 files converted, 0 failed")


def test_verbose_shows_the_libraries_warnings(src, tmp_path):
    # A TIFF cut short makes libtiff report why it cannot read the directory.
    assert run("convert", src, tmp_path / "p.tif").returncode == 0
    whole = (tmp_path / "p.tif").read_bytes()
    (tmp_path / "cut.tif").write_bytes(whole[: len(whole) * 3 // 4])
    quiet = run("convert", tmp_path / "cut.tif", tmp_path / "x.png")
    loud = run("--verbose", "convert", tmp_path / "cut.tif", tmp_path / "x.png")
    assert quiet.returncode == loud.returncode
    assert len(loud.stderr.splitlines()) > len(quiet.stderr.splitlines())


def test_many_files_to_a_directory(src, tmp_path):
    other = write_ppm(tmp_path / "b.ppm", 8, 8)
    (tmp_path / "bad.ppm").write_bytes(b"P6\n")
    r = run("convert", src, other, tmp_path / "bad.ppm", "--to", "webp", "-o",
            tmp_path / "o", "--width", "6")
    assert r.returncode == 1
    assert f"failed: {tmp_path / 'bad.ppm'}: " in r.stdout
    assert "2 of 3 files converted, 1 failed" in r.stdout
    assert sorted(p.name for p in (tmp_path / "o").iterdir()) == ["b.webp", "ramp.webp"]


def test_many_files_beside_their_inputs(src, tmp_path):
    (tmp_path / "sub").mkdir()
    write_ppm(tmp_path / "sub" / "c.ppm", 5, 5)
    r = run("convert", "ramp.ppm", "sub/c.ppm", "--to", ".PNG", cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr
    assert (tmp_path / "ramp.PNG").exists() and (tmp_path / "sub" / "c.PNG").exists()


def test_many_files_never_overwrite_an_input_or_an_output(src, tmp_path):
    write_ppm(tmp_path / "ramp.bmp", 4, 4)
    (tmp_path / "ramp.png").write_bytes(b"keep")
    r = run("convert", "ramp.ppm", "ramp.bmp", "ramp.png", "--to", "png", cwd=tmp_path)
    assert r.returncode == 1
    assert "failed: ramp.ppm: output 'ramp.png' would overwrite input 'ramp.png'" in r.stdout
    r = run("convert", "ramp.ppm", "ramp.bmp", "--to", "gif", cwd=tmp_path)
    assert "failed: ramp.bmp: output 'ramp.gif' already written from 'ramp.ppm'" in r.stdout
    assert run("probe", tmp_path / "ramp.gif").stdout.count('"width":40') == 1


@pytest.mark.parametrize("no_to", [["--to", "xyz"], ["--to", "jxl"]])
def test_many_files_check_the_writer_first(src, tmp_path, no_to):
    r = run("convert", src, *no_to, "-o", tmp_path / "o")
    assert r.returncode == 1 and "no writer for" in r.stderr
    assert not (tmp_path / "o").exists()


def test_errors_name_the_system_reason(src, tmp_path):
    r = run("convert", src, tmp_path / "nodir" / "x.png")
    assert r.returncode == 1
    assert r.stderr.strip() == (
        f"imgconvert: cannot open output '{tmp_path / 'nodir' / 'x.png'}': "
        "No such file or directory")
    r = run("convert", src, tmp_path / "x.xyz")
    assert r.stderr.strip() == "imgconvert: unsupported output format '.xyz'"


@pytest.mark.parametrize("name, text", [
    ("list.png", "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\nseg.ts\n#EXT-X-ENDLIST\n"),
    ("script.png", "ffconcat version 1.0\nfile a.png\n"),
])
def test_a_refused_script_gains_no_stale_reason(tmp_path, name, text):
    # No system call failed, so the message names no system reason.
    (tmp_path / name).write_text(text)
    r = run("convert", tmp_path / name, tmp_path / "out.png")
    assert r.returncode == 1
    assert r.stderr.strip().splitlines()[-1] == f"imgconvert: cannot open input '{tmp_path / name}'"


@pytest.mark.parametrize("cmd", ["convert", "batch", "probe", "formats", "version"])
@pytest.mark.parametrize("flag", ["--help", "-h"])
def test_every_command_has_its_own_help(tmp_path, cmd, flag):
    r = run(cmd, "x", flag, cwd=tmp_path)
    assert r.returncode == 0 and r.stderr == ""
    assert r.stdout.startswith(f"usage: imgconvert {cmd}")
    assert not list(tmp_path.iterdir())  # nothing opened or created


@pytest.mark.parametrize("spelling", [
    ["--width", "7", "--quality", "60"],
    ["--width=7", "--quality=60"],
    ["-w", "7", "-q", "60"],
    ["--options={\"width\":7,\"quality\":60}"],
])
def test_flag_spellings_agree(src, tmp_path, spelling):
    r = run("convert", src, tmp_path / "x.jpg", *spelling)
    assert r.returncode == 0, r.stderr
    assert json.loads(r.stdout)["width"] == 7
    assert run("convert", src, tmp_path / "y.jpg", "--width", "7", "--quality", "60").returncode == 0
    assert (tmp_path / "x.jpg").read_bytes() == (tmp_path / "y.jpg").read_bytes()


def test_double_dash_ends_the_options(src, tmp_path):
    (tmp_path / "-h.ppm").write_bytes(src.read_bytes())
    r = run("convert", "-w", "5", "--", "-h.ppm", "--width=3.png", cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "--width=3.png").exists() and json.loads(r.stdout)["width"] == 5
    r = run("probe", "--", "-h.ppm", cwd=tmp_path)
    assert r.returncode == 0 and json.loads(r.stdout)["file"] == "-h.ppm"


def test_probe_gives_one_line_per_file_in_order(src, tmp_path):
    (tmp_path / "bad.png").write_bytes(b"not a picture")
    files = [src, tmp_path / "missing.png", src, tmp_path / "bad.png"]
    r = run("probe", *files)
    assert r.returncode == 1
    lines = [json.loads(line) for line in r.stdout.splitlines()]
    assert [(d["file"], d["ok"]) for d in lines] == [(str(f), int(i % 2 == 0))
                                                      for i, f in enumerate(files)]
    assert lines[0]["width"] == 40 and "missing.png" in lines[1]["error"]
    pretty = run("probe", "--pretty", src)
    assert pretty.returncode == 0 and json.loads(pretty.stdout) == lines[0]
    assert len(pretty.stdout.splitlines()) > 3


@pytest.mark.parametrize("out, ok, message", [
    ("new/deeper", True, ""),
    ("afile", False, "imgconvert: 'afile' is not a directory"),
    ("afile/sub", False, "imgconvert: 'afile/sub' is not a directory"),
])
def test_batch_makes_or_refuses_out_dir_before_decoding(src, tmp_path, out, ok, message):
    (tmp_path / "in").mkdir()
    for i in range(3):
        (tmp_path / "in" / f"p{i}.ppm").write_bytes(src.read_bytes())
    (tmp_path / "afile").write_text("x")
    r = run("batch", "in", out, "PNG", "--job", "6", cwd=tmp_path)
    assert r.returncode == (0 if ok else 1), r.stderr
    if ok:
        assert sorted(p.name for p in (tmp_path / out).iterdir()) == ["p0.PNG", "p1.PNG", "p2.PNG"]
    else:
        assert r.stderr.strip() == message and r.stdout == ""


@pytest.mark.parametrize("count, threads", [(1, []), (5, ["--threads", "3"]), (4, [])])
def test_many_files_on_every_core(src, tmp_path, count, threads):
    names = []
    for i in range(count):
        write_ppm(tmp_path / f"p{i}.ppm", 30 + i, 20)
        names.append(f"p{i}.ppm")
    r = run("convert", *names, "--to", "png", "-o", "o", *threads, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    word = "file" if count == 1 else "files"
    assert r.stdout.startswith(f"{count} of {count} {word} converted, 0 failed")
    assert "batch" not in r.stdout + r.stderr
    for i in range(count):
        assert f'"width":{30 + i}' in run("probe", tmp_path / "o" / f"p{i}.png").stdout


# Three 4x4 frames (red, green, blue) with delays of 100, 200 and 300 ms, looping forever.
ANIMATED_GIF = bytes.fromhex(
    "47494638396104000400810000ff000000ff000000ffffffff21ff0b4e45545343415045322e3003010000"
    "0021f904000a0000002c000000000400040000020a040810204080000102050021f90400140000002c0000"
    "00000400040000020a4c983061c284091326050021f904001e0000002c000000000400040000020a942851"
    "a2448912254a05003b")


@pytest.mark.parametrize("ext", ["webp", "gif", "png"])
def test_animated_keeps_every_frame(tmp_path, ext):
    src = tmp_path / "a.gif"
    src.write_bytes(ANIMATED_GIF)
    r = run("convert", src, tmp_path / ("x." + ext), "--animated")
    assert r.returncode == 0, r.stderr
    assert json.loads(r.stdout)["frames"] == 3
    r = run("convert", src, tmp_path / ("y." + ext))
    assert r.returncode == 0 and "frames" not in json.loads(r.stdout)


@pytest.mark.parametrize("flags, ext, options, changes", [
    (["--lossless"], "webp", '{"lossless":1}', True),
    (["--progressive"], "jpg", '{"progressive":1}', True),
    (["--chroma", "444"], "jpg", '{"chroma":"444"}', True),
    (["--chroma=420"], "webp", '{"chroma":"420"}', True),
    (["--compression", "0"], "png", '{"compression":0}', True),
    (["--tiff-compression", "lzw"], "tif", '{"tiff_compression":"lzw"}', True),
    (["--background", "#ff8000"], "jpg", '{"background":"#ff8000"}', False),  # opaque source
])
def test_encoder_flags_are_their_options(src, tmp_path, flags, ext, options, changes):
    outs = []
    for i, args in enumerate([flags, ["--options", options], []]):
        out = tmp_path / f"o{i}.{ext}"
        r = run("convert", src, out, *args)
        assert r.returncode == 0, r.stderr
        outs.append(out.read_bytes())
    assert outs[0] == outs[1]
    assert (outs[0] != outs[2]) == changes


@pytest.mark.parametrize("args, code, message", [
    (["--chroma", "422"], 2, "--chroma must be one of 420, 444, got '422'"),
    (["--compression", "10"], 2, "--compression must be 0..9, got '10'"),
    (["--tiff-compression", "zip"], 2, "--tiff-compression must be one of none, lzw, deflate"),
    (["--background", "orange"], 1, "invalid option 'background': 'orange'"),
])
def test_encoder_flags_refuse_bad_values(src, tmp_path, args, code, message):
    r = run("convert", src, tmp_path / "x.jpg", *args)
    assert r.returncode == code and message in r.stderr
