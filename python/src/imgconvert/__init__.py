"""Image conversion through the tarnwick-imgconvert shared library.

    import imgconvert
    imgconvert.convert("photo.jpg", "photo.webp", quality=80, width=800)

Every function raises ImgConvertError with the library's message when the library fails,
and LibraryNotFound (an ImgConvertError and an OSError) when the library cannot be loaded.
All calls are safe from several threads at once and take no lock: conversions on several
threads run in parallel.
"""

from __future__ import annotations

import ctypes
import json
import math
import os
import time
from typing import Any, Callable, Dict, Iterator, Optional, Union

from . import _native
from ._native import ImgConvertError, LibraryNotFound

__version__ = "1.0.0"

__all__ = [
    "Batch",
    "ImgConvertError",
    "LibraryNotFound",
    "__version__",
    "convert",
    "formats",
    "probe",
    "version",
]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Status = Dict[str, Any]


def __getattr__(name: str) -> Any:
    # imgconvert.dask is imported on first use only: the package never needs Dask otherwise.
    if name == "dask":
        import importlib

        return importlib.import_module(".dask", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class _JobOutOfRange(ImgConvertError, ValueError):
    """A job id the library has no slot for: a ValueError, raised before any call, with the
    library's own message."""


def _path(p: PathLike) -> bytes:
    # bytes go through unchanged; str is encoded the way the OS would encode a file name.
    p = os.fspath(p)
    return p if isinstance(p, bytes) else os.fsencode(p)


# The option keys the library reads. It ignores any other key, and the whole text when a
# number in it is not JSON (inf, nan), so both are refused here instead of passing silently.
OPTION_KEYS = frozenset((
    "quality", "resize", "width", "height", "keep_exif", "dpi", "max_pixels", "threads",
    "auto_orient", "enlarge", "fit", "kernel", "gif_palette", "color_profile", "animated",
    "lossless", "progressive", "chroma", "compression", "tiff_compression", "background",
))

_OPTIONS_DOC = """
    Options (keyword arguments; None leaves one out, True/False mean 1/0):
        quality        1..100, default 85: JPEG, WebP, HEIC/HEIF and AVIF quality
        width, height  pixels; one alone keeps the aspect ratio, both stretch (see fit)
        resize         1/0; switched on by a positive width or height
        fit            "fill" (default), "inside" or "cover", with width and height
        enlarge        default True; False never makes an image larger than its source
        kernel         "bicubic" (default), "bilinear", "lanczos" or "area"
        auto_orient    turn a JPEG upright as its EXIF orientation says
        keep_exif      carry a JPEG's EXIF block into the output
        dpi            resolution written into PNG and TIFF output
        color_profile  "keep", "display_p3" or "srgb"
        gif_palette    "fast" (default) or "quality"
        animated       keep every frame of a GIF, WebP or APNG animation written as
                       .webp, .gif or .png (default False: the first frame)
        lossless       WebP, HEIC and AVIF lossless (WebP: quality is then the effort)
        progressive    a progressive JPEG
        chroma         "420" or "444": JPEG, WebP, HEIC and AVIF chroma subsampling
        compression    PNG zlib level 0..9 (default: the encoder's)
        tiff_compression  "none", "lzw" or "deflate" (default: PackBits)
        background     "#rrggbb": flatten transparency onto it where alpha is lost
        max_pixels     refuse inputs (or resizes) of more pixels; default 178956970
        threads        batch jobs only: files converted at the same time, 1..64

    Raises:
        TypeError        an unknown option key
        ValueError       an option number that is not finite or not whole
        ImgConvertError  the library's failure, with its message
        LibraryNotFound  the library cannot be loaded
"""

# Job ids the library has slots for.
BATCH_JOBS = 16


def _with_options(fn: Callable) -> Callable:
    fn.__doc__ = (fn.__doc__ or "") + _OPTIONS_DOC
    return fn


def _options_json(options: Dict[str, Any]) -> bytes:
    # The library reads whole numbers only, so True/False become 1/0 and 80.0 becomes 80;
    # None leaves a key out.
    clean = {}
    for key, value in options.items():
        if key not in OPTION_KEYS:
            raise TypeError(f"unknown option '{key}'")
        if value is None:
            continue
        if isinstance(value, bool):
            value = int(value)
        elif key == "chroma" and isinstance(value, int):
            value = str(value)  # chroma=444 as well as chroma="444"
        elif isinstance(value, float):
            if not math.isfinite(value) or not value.is_integer():
                raise ValueError(f"option '{key}' must be a whole number, not {value!r}")
            value = int(value)
        clean[key] = value
    return json.dumps(clean).encode("utf-8")


def _last_error(lib: ctypes.CDLL, fallback: str) -> str:
    # The last-error text is kept per thread, so it is read right after the call that set it.
    msg = _native.text(lib.imgconvert_last_error()).decode("utf-8", "replace")
    return msg or fallback


def _call_json(fn: Callable, args: tuple, fallback: str) -> Optional[bytes]:
    # The result text is the calling thread's own: no lock, so calls on several threads run
    # in parallel (ctypes releases the interpreter lock for the call).
    lib = _native.lib()
    result = ctypes.c_char_p()
    ok = fn(*args, ctypes.byref(result))
    if not ok:
        raise ImgConvertError(_last_error(lib, fallback))
    return result.value


def version() -> str:
    """The library's version text, e.g. "1.0.0".

    Raises LibraryNotFound when the library cannot be loaded.
    """
    return _native.text(_native.lib().imgconvert_version()).decode("ascii")


def formats() -> Dict[str, Any]:
    """The catalogue of readable and writable formats and engine versions, as a dict.

    Raises LibraryNotFound when the library cannot be loaded.
    """
    return json.loads(_native.text(_native.lib().imgconvert_formats()))


@_with_options
def convert(src: PathLike, dst: PathLike, **options: Any) -> Dict[str, Any]:
    """Converts the file `src` into `dst`, whose extension (any case) chooses the format.

    Returns the result as a dict: "out", "bytes", "width", "height", "format", "ms" (and
    "exif_kept" with keep_exif, "frames" with animated). Paths may be str, bytes (passed
    unchanged) or path-like.
    """
    return _convert(src, dst, _options_json(options))


def _convert(src: PathLike, dst: PathLike, options_json: bytes) -> Dict[str, Any]:
    lib = _native.lib()
    args = (_path(src), _path(dst), options_json)
    raw = _call_json(lib.imgconvert_file, args, "conversion failed")
    if raw is None:
        # Converted, but the library could not write its result text.
        return {"ok": 1, "out": os.fsdecode(_path(dst))}
    return json.loads(raw)


def probe(path: PathLike) -> Dict[str, Any]:
    """Describes one image file as a dict: format, width, height, channels, bit_depth,
    exif_present, color_profile, size_bytes, engine, make, model.

    Raises ImgConvertError when the file cannot be read or is no image the library knows,
    and LibraryNotFound when the library cannot be loaded.
    """
    lib = _native.lib()
    raw = _call_json(lib.imgconvert_probe, (_path(path),), "probe failed")
    return json.loads(raw)


def _job_status(job: int) -> Status:
    lib = _native.lib()
    raw = _call_json(lib.imgconvert_batch_status, (job,), "batch status failed")
    return json.loads(raw)


def _ext_bytes(ext: Union[str, bytes]) -> bytes:
    # Lower-cased as convert() treats an output's extension; the library's job would hand
    # "PNG" to the writer unchanged and fail every file.
    return (ext.encode("utf-8") if isinstance(ext, str) else bytes(ext)).lower()


def _check_source_dir(src: bytes) -> None:
    # The library would start a job that ends as "done 0/0" after creating the output
    # folder: a missing or unreadable folder is told before anything is made.
    shown = os.fsdecode(src)
    if not os.path.isdir(src):
        raise ImgConvertError(f"'{shown}' is not a directory")
    try:
        with os.scandir(src):
            pass
    except OSError as e:
        raise ImgConvertError(f"cannot read directory '{shown}': {e.strerror}") from e


@_with_options
class Batch:
    """A background job converting every file of `src_dir` into `dst_dir` as `ext`.

        job = imgconvert.Batch("in", "out", "webp", quality=80).start()
        final = job.wait(progress=lambda s: print(s["done"], s["total"]))

    Up to 16 jobs run at once, each on a thread inside the library. `job` (0..15) picks the
    slot; without it, start() takes the first slot whose job is not running, and `job`
    then names it. Iterating over a job starts it if needed and yields each changed status
    until the final one ("state" == "done"). A status has "done", "total", "state",
    "bytes_out" and "failed" (a list of {"file", "error"}).

    start() raises ImgConvertError when `src_dir` is missing or unreadable (nothing is
    created then), when the chosen slot is busy or every slot is, and when the library
    refuses the job; status() raises ImgConvertError before start(). A job id outside
    0..15 raises ValueError (also an ImgConvertError) at once.

    A job still running when the interpreter exits is abandoned: the library removes the
    temporary files of the conversions cut short, and outputs already written stay.
    """

    def __init__(
        self,
        src_dir: PathLike,
        dst_dir: PathLike,
        ext: Union[str, bytes],
        job: Optional[int] = None,
        **options: Any,
    ) -> None:
        self.src_dir = src_dir
        self.dst_dir = dst_dir
        self.ext = ext
        self.job: Optional[int] = None if job is None else int(job)
        # Checked before any call: the library takes the id as a 32-bit integer, so an id
        # such as 2**32 would wrap into another slot.
        if self.job is not None and not 0 <= self.job < BATCH_JOBS:
            raise _JobOutOfRange(f"job_id out of range 0..{BATCH_JOBS - 1}")
        _options_json(options)
        self.options = options
        self._started = False

    def start(self) -> "Batch":
        """Starts the job and returns it; see the class for what raises."""
        lib = _native.lib()
        src = _path(self.src_dir)
        _check_source_dir(src)
        args = (src, _path(self.dst_dir), _ext_bytes(self.ext), _options_json(self.options))
        if self.job is not None:
            msg = self._start_in(lib, args, self.job)
            if msg:
                raise ImgConvertError(msg)
        else:
            self.job = self._start_in_free_slot(lib, args)
        self._started = True
        return self

    @staticmethod
    def _start_in(lib: ctypes.CDLL, args: tuple, job: int) -> str:
        got = lib.imgconvert_batch(*args, job)
        # A start of job 0 also returns 0: only an empty last-error text tells it started.
        msg = _last_error(lib, "")
        return msg or ("" if got == job else "batch start failed")

    def _start_in_free_slot(self, lib: ctypes.CDLL, args: tuple) -> int:
        for job in range(BATCH_JOBS):
            if _job_status(job).get("state") == "running":
                continue
            msg = self._start_in(lib, args, job)
            if not msg:
                return job
            # Another thread or host took the slot since its status was read.
            if "already running" not in msg:
                raise ImgConvertError(msg)
        raise ImgConvertError(f"all {BATCH_JOBS} batch jobs are running")

    def status(self) -> Status:
        """The job's current status: done, total, state, bytes_out, failed.

        Raises ImgConvertError before start().
        """
        if not self._started or self.job is None:
            raise ImgConvertError("the batch job has not been started; call start() first")
        return _job_status(self.job)

    def __iter__(self) -> Iterator[Status]:
        return self._follow(0.05)

    def _follow(self, interval: float) -> Iterator[Status]:
        if not self._started:
            self.start()
        last = None
        while True:
            s = self.status()
            key = (s.get("done"), s.get("total"), s.get("state"), len(s.get("failed", ())))
            if key != last:
                last = key
                yield s
            if s.get("state") == "done":
                return
            time.sleep(interval)

    def wait(
        self, progress: Optional[Callable[[Status], Any]] = None, interval: float = 0.05
    ) -> Status:
        """Follows the job (starting it if needed) until it ends; calls progress(status) on
        each change and returns the final status. Raises as start() does."""
        final: Status = {}
        for s in self._follow(interval):
            if progress is not None:
                progress(s)
            final = s
        return final
