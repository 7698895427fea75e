"""Finding and loading the shared library, and the signatures of its seven exports."""

import ctypes
import os
import sys
import sysconfig
import threading
from pathlib import Path
from typing import List, Optional

if sys.platform == "win32":
    SONAME = "tarnwick-imgconvert.dll"
    _BUILT = ("tarnwick-imgconvert.dll", "libtarnwick-imgconvert.dll")
elif sys.platform == "darwin":
    SONAME = "libtarnwick-imgconvert.1.dylib"
    _BUILT = (SONAME,)
else:
    SONAME = "libtarnwick-imgconvert.so.1"
    _BUILT = (SONAME,)


class ImgConvertError(Exception):
    """A failure the library reported; `message` is its last-error text."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


class LibraryNotFound(ImgConvertError, OSError):
    """No copy of the shared library could be loaded (also an OSError, as loading is)."""


def _installed_candidates() -> List[Path]:
    # `cmake --install` puts the library under /usr/local by default, where the system
    # loader finds it only once `ldconfig` has run: looked up there directly as well.
    if sys.platform == "win32":
        return []
    dirs = [Path("/usr/local/lib")]
    multiarch = sysconfig.get_config_var("MULTIARCH")
    if multiarch:
        dirs.append(Path("/usr/local/lib") / multiarch)
    return [d / SONAME for d in dirs if (d / SONAME).is_file()]


def _checkout_candidates() -> List[Path]:
    # Running from a checkout (python/src/imgconvert): the repository's build folders,
    # "build" first, then the others newest first.
    root = Path(__file__).resolve().parents[3]
    if not (root / "include" / "imgconvert.h").is_file():
        return []
    dirs = [d for d in root.glob("build*") if d.is_dir()]
    dirs.sort(key=lambda d: (d.name != "build", -d.stat().st_mtime))
    return [d / name for d in dirs for name in _BUILT if (d / name).is_file()]


def _load() -> ctypes.CDLL:
    tried = []
    explicit = os.environ.get("IMGCONVERT_LIBRARY")
    if explicit:
        # An explicit choice that fails is an error, never silently replaced by another copy.
        try:
            return ctypes.CDLL(explicit)
        except OSError as e:
            raise LibraryNotFound(f"IMGCONVERT_LIBRARY='{explicit}' cannot be loaded: {e}")
    try:
        return ctypes.CDLL(SONAME)
    except OSError as e:
        tried.append(f"{SONAME}: {e}")
    for path in _installed_candidates() + _checkout_candidates():
        try:
            return ctypes.CDLL(str(path))
        except OSError as e:
            tried.append(f"{path}: {e}")
    raise LibraryNotFound(
        "cannot load the imgconvert library; set IMGCONVERT_LIBRARY to its path ("
        + "; ".join(tried)
        + ")"
    )


_lib: Optional[ctypes.CDLL] = None
_load_lock = threading.Lock()


def lib() -> ctypes.CDLL:
    """The loaded library, loaded on first use so that importing never fails."""
    global _lib
    if _lib is None:
        with _load_lock:
            if _lib is None:
                _lib = _declare(_load())
    return _lib


def _declare(dll: ctypes.CDLL) -> ctypes.CDLL:
    c_str = ctypes.c_char_p
    out = ctypes.POINTER(ctypes.c_char_p)
    i32 = ctypes.c_int32
    sigs = {
        "imgconvert_version": (ctypes.c_void_p, []),
        "imgconvert_last_error": (ctypes.c_void_p, []),
        "imgconvert_file": (i32, [c_str, c_str, c_str, out]),
        "imgconvert_probe": (i32, [c_str, out]),
        "imgconvert_formats": (ctypes.c_void_p, []),
        "imgconvert_batch": (i32, [c_str, c_str, c_str, c_str, i32]),
        "imgconvert_batch_status": (i32, [i32, out]),
    }
    for name, (restype, argtypes) in sigs.items():
        fn = getattr(dll, name)
        fn.restype = restype
        fn.argtypes = argtypes
    return dll


def text(address: Optional[int]) -> bytes:
    """Copies a library-owned NUL-terminated text at `address` into bytes (b"" for NULL)."""
    return ctypes.string_at(address) if address else b""

