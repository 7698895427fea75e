import os

import pytest

from conftest import write_bmp

distributed = pytest.importorskip("distributed")
import dask  # noqa: E402

import imgconvert  # noqa: E402
from imgconvert.dask import convert_many  # noqa: E402


class _CrashOn(distributed.WorkerPlugin):
    """Makes a worker process die the moment it starts converting a file named crash*."""

    def setup(self, worker):
        import imgconvert.dask as d

        plain = d._convert_one

        def dying(src, dst, options_json):
            if os.path.basename(src).startswith("crash"):
                os._exit(3)
            return plain(src, dst, options_json)

        self.plain = plain
        d._convert_one = dying

    def teardown(self, worker):
        import imgconvert.dask as d

        d._convert_one = self.plain


def _set_library(path):
    # Run on a worker: the next call there loads the library from `path` (None: as usual).
    import imgconvert._native as n

    if path is None:
        os.environ.pop("IMGCONVERT_LIBRARY", None)
    else:
        os.environ["IMGCONVERT_LIBRARY"] = path
    n._lib = None


@pytest.fixture(scope="module")
def client():
    # Two worker processes; the scheduler itself does not retry, so the package's one retry
    # is the whole rule.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        cluster = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
        )
    c = distributed.Client(cluster)
    yield c
    c.close()
    cluster.close()


def test_results_in_order_failures_and_collisions(client, tmp_path):
    src = tmp_path / "in"
    (src / "sub").mkdir(parents=True)
    p = [write_bmp(src / f"p{i}.bmp", 10 + i, 6) for i in range(12)]
    (src / "bad.png").write_bytes(b"not an image")
    sources = [
        p[0],
        p[1],
        src / "bad.png",  # fails, so the next file to out/bad.webp still gets its turn
        write_bmp(src / "bad.bmp", 9, 6),
        write_bmp(src / "sub" / "p0.bmp", 9, 6),  # out/p0.webp is already written from p0
        tmp_path / "only-on-the-client.bmp",
        (p[2], p[0]),  # would overwrite an input
    ] + p[4:]
    out = tmp_path / "out"
    res = convert_many(sources, out, "WEBP", client=client, chunk=3, width=8)
    assert [r["src"] for r in res] == [os.fsdecode(s[0] if isinstance(s, tuple) else s) for s in sources]
    assert [r["ok"] for r in res] == [1, 1, 0, 1, 0, 0, 0] + [1] * 8
    assert "bad.png" in res[2]["error"] and "(on worker tcp://" in res[2]["error"]
    assert res[4]["error"] == f"output '{out / 'p0.webp'}' already written from '{p[0]}'"
    assert "only-on-the-client.bmp" in res[5]["error"]
    assert res[6]["error"] == f"output '{p[0]}' would overwrite input '{p[0]}'"
    assert all(r["width"] == 8 and os.path.getsize(r["out"]) == r["bytes"] for r in res if r["ok"])
    assert res[-1]["out"] == str(out / "p11.webp")
    assert set(os.listdir(out)) == {"bad.webp"} | {f"p{i}.webp" for i in [0, 1, *range(4, 12)]}


def test_a_worker_without_the_library_is_named_before_any_work(client, tmp_path):
    worker = sorted(client.scheduler_info()["workers"])[0]
    before = client.run(lambda: os.environ.get("IMGCONVERT_LIBRARY"), workers=[worker])[worker]
    client.run(_set_library, "/nonexistent/libtarnwick-imgconvert.so.1", workers=[worker])
    try:
        with pytest.raises(imgconvert.ImgConvertError, match=f"cannot be loaded on worker {worker}"):
            convert_many([write_bmp(tmp_path / "a.bmp", 4, 4)], tmp_path / "out", "png", client=client)
    finally:
        client.run(_set_library, before, workers=[worker])
    assert not (tmp_path / "out").exists()


def test_a_file_that_kills_its_worker_is_retried_once_then_reported(client, tmp_path):
    client.register_worker_plugin(_CrashOn(), name="crash-on")
    try:
        src = tmp_path / "in"
        src.mkdir()
        sources = [write_bmp(src / n, 9, 7) for n in ("a.bmp", "crash.bmp", "b.bmp", "c.bmp")]
        res = convert_many(sources, tmp_path / "out", "png", client=client, chunk=4)
    finally:
        client.unregister_worker_plugin("crash-on")
    assert [r["ok"] for r in res] == [1, 0, 1, 1]
    assert "worker died" in res[1]["error"] and "retried once" in res[1]["error"]
    # Nothing half-written stays behind, the dead worker's staging folder included.
    assert sorted(os.listdir(tmp_path / "out")) == ["a.png", "b.png", "c.png"]


def test_without_a_client_a_local_cluster_runs_for_the_call(tmp_path):
    src = write_bmp(tmp_path / "a.bmp", 12, 8)
    (r,) = convert_many([src], tmp_path / "out", "png")
    assert r["ok"] == 1 and r["out"] == str(tmp_path / "out" / "a.png")
    assert os.listdir(tmp_path / "out") == ["a.png"]


def test_package_imports_dask_only_when_asked():
    import subprocess
    import sys

    code = (
        "import sys, imgconvert\nimgconvert.version()\nprint('dask' in sys.modules)\n"
        "imgconvert.dask\nprint('distributed' in sys.modules)"
    )
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert r.stdout.split() == ["False", "True"], r.stderr
