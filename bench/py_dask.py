"""Converts the same files through imgconvert.dask on a local cluster of one worker process
and of two, PAIRS times each, and prints the median seconds of each and the median of the
pairwise ratios (two / one), timing only convert_many (the clusters are started before).

    py_dask.py PAIRS OUT_DIR WIDTH SRC...
"""

import statistics
import sys
import time

import dask
from distributed import Client, LocalCluster

from imgconvert.dask import convert_many


def main():
    pairs, out_dir, width = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
    jobs = [(s, f"{out_dir}/{i}.webp") for i, s in enumerate(sys.argv[4:])]
    dask.config.set({"distributed.worker.daemon": True})
    times = {}
    for n in (1, 2):
        with LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                          dashboard_address=":0") as cluster, Client(cluster) as client:
            convert_many(jobs[:2], out_dir, "webp", client=client, width=width)  # warm-up
            times[n] = []
            for _ in range(pairs):
                t0 = time.perf_counter()
                res = convert_many(jobs, out_dir, "webp", client=client, width=width)
                times[n].append(time.perf_counter() - t0)
                if not all(r["ok"] for r in res):
                    return 1
    ratios = [b / a for a, b in zip(times[1], times[2])]
    print(f"{statistics.median(times[1]):.3f} {statistics.median(times[2]):.3f} "
          f"{statistics.median(ratios):.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
