"""Image conversion through the tarnwick-imgconvert shared library.

    import imgconvert
    imgconvert.convert("photo.jpg", "photo.webp", quality=80, width=800)

Every function raises ImgConvertError with the library's message when the library fails.
All calls are safe from several threads at once.
"""

import ctypes
import json
import math
import os
import time

from . import _native
from ._native import LibraryNotFound

__all__ = [
    "Batch",
    "ImgConvertError",
    "LibraryNotFound",
    "convert",
    "formats",
    "probe",
    "version",
]


class ImgConvertError(Exception):
    """A failure the library reported; `message` is its last-error text."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


class _JobOutOfRange(ImgConvertError, ValueError):
    """A job id the library has no slot for: a ValueError, raised before any call, with the
    library's own message."""


def _path(p):
    # bytes go through unchanged; str is encoded the way the OS would encode a file name.
    p = os.fspath(p)
    return p if isinstance(p, bytes) else os.fsencode(p)


# The option keys the library reads. It ignores any other key, and the whole text when a
# number in it is not JSON (inf, nan), so both are refused here instead of passing silently.
OPTION_KEYS = frozenset((
    "quality", "resize", "width", "height", "keep_exif", "dpi", "max_pixels", "threads",
    "auto_orient", "enlarge", "fit", "kernel", "gif_palette", "color_profile",
    "lossless", "progressive", "chroma", "compression", "tiff_compression", "background",
))

# Job ids the library has slots for.
BATCH_JOBS = 16


def _options_json(options):
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


def _last_error(lib, fallback):
    # The last-error text is kept per thread, so it is read right after the call that set it.
    msg = _native.text(lib.imgconvert_last_error()).decode("utf-8", "replace")
    return msg or fallback


def _call_json(lock, fn, args, fallback):
    lib = _native.lib()
    result = ctypes.c_char_p()
    with lock:
        ok = fn(*args, ctypes.byref(result))
        raw = result.value  # copied while the lock still guards the buffer
    if not ok:
        raise ImgConvertError(_last_error(lib, fallback))
    return raw


def version():
    """The library's version text, e.g. "1.0.0"."""
    return _native.text(_native.lib().imgconvert_version()).decode("ascii")


def formats():
    """The catalogue of readable and writable formats and engine versions, as a dict."""
    lib = _native.lib()
    with _native.formats_lock:
        raw = _native.text(lib.imgconvert_formats())
    return json.loads(raw)


def convert(src, dst, **options):
    """Converts the file `src` into `dst`, whose extension chooses the format.

    Options are the library's option keys as keyword arguments, e.g. quality=80,
    width=800, keep_exif=True. Returns the result as a dict ("out", "bytes", "width",
    "height", "format", "ms").
    """
    lib = _native.lib()
    args = (_path(src), _path(dst), _options_json(options))
    raw = _call_json(_native.file_lock, lib.imgconvert_file, args, "conversion failed")
    if raw is None:
        # Converted, but the library could not write its result text.
        return {"ok": 1, "out": os.fsdecode(_path(dst))}
    return json.loads(raw)


def probe(path):
    """Describes one image file as a dict (format, width, height, channels, ...)."""
    lib = _native.lib()
    raw = _call_json(_native.probe_lock, lib.imgconvert_probe, (_path(path),), "probe failed")
    return json.loads(raw)


class Batch:
    """A background job converting every file of `src_dir` into `dst_dir` as `ext`.

        job = imgconvert.Batch("in", "out", "webp", quality=80).start()
        final = job.wait(progress=lambda s: print(s["done"], s["total"]))

    Up to 16 jobs (job=0..15) run at once, each on a thread inside the library.
    Iterating over a job starts it if needed and yields each changed status until the
    final one ("state" == "done").

    A job still running when the interpreter exits is abandoned: the library removes the
    temporary files of the conversions cut short, and outputs already written stay.
    """

    def __init__(self, src_dir, dst_dir, ext, job=0, **options):
        self.src_dir = src_dir
        self.dst_dir = dst_dir
        self.ext = ext
        self.job = int(job)
        # Checked before any call: the library takes the id as a 32-bit integer, so an id
        # such as 2**32 would wrap into another slot.
        if not 0 <= self.job < BATCH_JOBS:
            raise _JobOutOfRange(f"job_id out of range 0..{BATCH_JOBS - 1}")
        _options_json(options)
        self.options = options
        self._started = False

    def start(self):
        """Starts the job; raises ImgConvertError when the library refuses it."""
        lib = _native.lib()
        ext = self.ext.encode("utf-8") if isinstance(self.ext, str) else bytes(self.ext)
        got = lib.imgconvert_batch(
            _path(self.src_dir), _path(self.dst_dir), ext, _options_json(self.options), self.job
        )
        # A start of job 0 also returns 0: only an empty last-error text tells it started.
        msg = _last_error(lib, "")
        if msg or got != self.job:
            raise ImgConvertError(msg or "batch start failed")
        self._started = True
        return self

    def status(self):
        """The job's current status: done, total, state, bytes_out, failed."""
        lib = _native.lib()
        raw = _call_json(
            _native.status_lock, lib.imgconvert_batch_status, (self.job,), "batch status failed"
        )
        return json.loads(raw)

    def __iter__(self):
        return self._follow(0.05)

    def _follow(self, interval):
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

    def wait(self, progress=None, interval=0.05):
        """Follows the job until it ends; calls progress(status) on each change and returns
        the final status."""
        final = None
        for s in self._follow(interval):
            if progress is not None:
                progress(s)
            final = s
        return final
