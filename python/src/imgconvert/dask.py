"""Converting many files on a Dask cluster: each worker calls the library on its own threads.

    from imgconvert.dask import convert_many
    results = convert_many(paths, "out", "webp", quality=80)

Needs Dask's distributed scheduler (Debian: python3-dask, python3-distributed) and the
library on every worker; the rest of the package does not need Dask.
"""

from __future__ import annotations

import os
import shutil
import socket
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple, Union

from . import ImgConvertError, PathLike, _convert, _native, _options_json, _with_options

try:
    import dask
    from distributed import Client, LocalCluster, get_worker, progress as dask_progress
    from distributed.scheduler import KilledWorker
except ImportError as e:  # pragma: no cover - only without Dask
    raise ImportError(
        "imgconvert.dask needs Dask's distributed scheduler (Debian: python3-distributed)"
    ) from e

Record = Dict[str, Any]
# One output's files in input order: (index in the input, source, output).
Unit = List[Tuple[int, str, str]]

_STAGE = ".imgconvert-dask-"


def _worker_name() -> str:
    try:
        return get_worker().address
    except ValueError:
        return socket.gethostname()


def _failure(src: str, dst: str, error: str) -> Record:
    return {"ok": 0, "src": src, "out": dst, "error": error}


def _stage_dir(out_dir: str) -> str:
    # Each worker process writes into a folder named for its host and process, then renames
    # the whole file into place: a worker that dies leaves at most that folder, which the
    # sweep after the run removes.
    stage = os.path.join(out_dir, f"{_STAGE}{socket.gethostname()}-{os.getpid()}")
    os.makedirs(stage, exist_ok=True)
    return stage


def _convert_one(src: str, dst: str, options_json: bytes) -> Record:
    try:
        staged = os.path.join(_stage_dir(os.path.dirname(dst) or "."), os.path.basename(dst))
        r = _convert(src, staged, options_json)
        os.replace(staged, dst)
    except ImgConvertError as e:
        return _failure(src, dst, f"{e.message} (on worker {_worker_name()})")
    except OSError as e:
        where = _worker_name()
        return _failure(src, dst, f"cannot write '{dst}': {e.strerror} (on worker {where})")
    r.update(src=src, out=dst)
    return r


def _convert_units(
    units: Sequence[Unit], out_dir: str, options_json: bytes
) -> List[Tuple[int, Record]]:
    try:
        os.mkdir(out_dir)  # one level, as a batch job creates it
    except OSError:
        pass
    done = []
    for unit in units:
        # Files sharing an output: the first that is written claims it, as in a batch job.
        writer = None
        for index, src, dst in unit:
            if writer is not None:
                msg = f"output '{dst}' already written from '{writer}'"
                done.append((index, _failure(src, dst, msg)))
                continue
            rec = _convert_one(src, dst, options_json)
            if rec.get("ok"):
                writer = src
            done.append((index, rec))
    return done


def _library_check() -> Tuple[bool, str]:
    try:
        return True, _native.text(_native.lib().imgconvert_version()).decode("ascii")
    except Exception as e:  # noqa: BLE001 - reported for the worker it happened on
        return False, str(e)


def _sweep(out_dirs: Sequence[str]) -> None:
    # Staging folders of this host whose process is gone, and this process's own when idle.
    host = socket.gethostname()
    for d in out_dirs:
        try:
            names = os.listdir(d)
        except OSError:
            continue
        for n in names:
            if not n.startswith(f"{_STAGE}{host}-"):
                continue
            pid = n[len(_STAGE) + len(host) + 1 :]
            path = os.path.join(d, n)
            if not pid.isdigit():
                continue
            if int(pid) == os.getpid():
                try:
                    os.rmdir(path)  # only when empty: another call may be converting into it
                except OSError:
                    pass
            elif not _alive(int(pid)):
                shutil.rmtree(path, ignore_errors=True)


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True
    return True


def _plan(sources: Iterable[Union[PathLike, Tuple[PathLike, PathLike]]], out_dir: str, ext: str):
    """Outputs, refusals and groups of files sharing an output, decided once on the client."""
    dot_ext = "." + ext.lstrip(".").lower()
    items = []
    for s in sources:
        if isinstance(s, (tuple, list)):
            src, dst = os.fsdecode(s[0]), os.fsdecode(s[1])
        else:
            src = os.fsdecode(s)
            dst = os.path.join(out_dir, os.path.splitext(os.path.basename(src))[0] + dot_ext)
        items.append((src, dst))
    key = lambda p: os.path.normcase(os.path.abspath(p))  # noqa: E731
    inputs = {key(src): src for src, _ in items}
    results: List[Optional[Record]] = [None] * len(items)
    groups: Dict[str, Unit] = {}
    for i, (src, dst) in enumerate(items):
        if key(dst) in inputs:
            msg = f"output '{dst}' would overwrite input '{inputs[key(dst)]}'"
            results[i] = _failure(src, dst, msg)
        else:
            groups.setdefault(key(dst), []).append((i, src, dst))
    return items, results, list(groups.values())


def _chunks(units: List[Unit], size: int) -> List[List[Unit]]:
    out, cur, n = [], [], 0
    for u in units:
        cur.append(u)
        n += len(u)
        if n >= size:
            out.append(cur)
            cur, n = [], 0
    if cur:
        out.append(cur)
    return out


def _check_workers(client: Client) -> None:
    try:
        answers = client.run(_library_check)
    except Exception as e:  # noqa: BLE001 - a dead scheduler or comm failure
        raise ImgConvertError(f"cannot reach the Dask scheduler: {e}") from e
    if not answers:
        raise ImgConvertError("the Dask cluster has no workers")
    missing = [f"{addr}: {msg}" for addr, (ok, msg) in sorted(answers.items()) if not ok]
    if missing:
        raise ImgConvertError(
            "the imgconvert library cannot be loaded on worker " + "; ".join(missing)
        )


@_with_options
def convert_many(
    sources: Iterable[Union[PathLike, Tuple[PathLike, PathLike]]],
    out_dir: PathLike,
    ext: str,
    *,
    client: Optional[Client] = None,
    chunk: int = 16,
    progress: bool = False,
    **options: Any,
) -> List[Record]:
    """Converts many files on a Dask cluster's workers and returns one record per file, in
    input order: convert()'s result plus "src" for a file written, or {"ok": 0, "src",
    "out", "error"} with the library's message and the worker's address for one that failed.
    A failure never stops the others.

    `sources` holds paths (the output is `out_dir`/stem.`ext`) or (src, dst) pairs; the paths
    must exist on the workers. Files that map to one output are decided as in a batch job,
    once, before work is sent: the first in input order that is written claims the output,
    later ones fail with "already written from"; an output that is one of the inputs is
    refused. Files go to the workers `chunk` at a time. The files of a chunk whose worker
    dies are retried once each, alone and one at a time, and a file whose retry kills its
    worker too is reported as failed (with a cluster of your own, the scheduler's
    "distributed.scheduler.allowed-failures" retries come first).

    Without `client`, a LocalCluster of one worker process per core runs for the call and is
    closed. `progress=True` shows Dask's progress bar. Every worker is first checked to load
    the library; ImgConvertError names a worker that cannot, or a scheduler that is gone.
    """
    if chunk < 1:
        raise ValueError("chunk must be at least 1")
    options_json = _options_json(options)
    out_dir = os.fsdecode(os.fspath(out_dir))
    ext = ext if isinstance(ext, str) else os.fsdecode(ext)
    items, results, units = _plan(sources, out_dir, ext)
    cluster = None
    if client is None:
        # No scheduler retries of its own: the one retry below is the whole rule.
        with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
            cluster = LocalCluster(
                n_workers=os.cpu_count() or 1, threads_per_worker=1, processes=True,
                dashboard_address=":0",
            )
        client = Client(cluster)
    try:
        _check_workers(client)
        out_dirs = sorted({os.path.dirname(dst) or "." for _, dst in items})
        try:
            _run(client, units, out_dir, options_json, chunk, progress, results)
        finally:
            try:
                client.run(_sweep, out_dirs)
            except Exception:  # noqa: BLE001 - the run's own error says more
                pass
    finally:
        if cluster is not None:
            client.close()
            cluster.close()
    return results  # type: ignore[return-value]


def _run(client, units, out_dir, options_json, chunk, progress, results) -> None:
    batches = _chunks(units, chunk)
    futures = [client.submit(_convert_units, b, out_dir, options_json, pure=False) for b in batches]
    if progress:
        dask_progress(futures)
    retry: List[Unit] = []
    for batch, fut in zip(batches, futures):
        try:
            for index, rec in fut.result():
                results[index] = rec
        except KilledWorker:
            retry.extend(batch)
        except Exception as e:  # noqa: BLE001 - a lost scheduler or connection
            raise ImgConvertError(f"the Dask cluster failed during the run: {e!r}") from e
    # Each file of a lost chunk once more, alone and one at a time: a worker's death is then
    # blamed on the file it was converting, never on files merely queued beside it.
    for unit in retry:
        try:
            fut = client.submit(_convert_units, [unit], out_dir, options_json, pure=False)
            for index, rec in fut.result():
                results[index] = rec
        except KilledWorker:
            for index, src, dst in unit:
                msg = "a worker died while converting it (retried once)"
                results[index] = _failure(src, dst, msg)
        except Exception as e:  # noqa: BLE001
            raise ImgConvertError(f"the Dask cluster failed during the run: {e!r}") from e
