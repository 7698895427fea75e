"""Converts the same files through the Python package from one thread and from two, PAIRS
times in turn, and prints the median seconds of each and the median of the pairwise ratios
(two threads / one), timing only the conversions.

    py_convert.py PAIRS OUT_DIR WIDTH SRC...
"""

import os
import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import imgconvert


def timed(threads, jobs, width):
    t0 = time.perf_counter()
    with ThreadPoolExecutor(max_workers=threads) as pool:
        list(pool.map(lambda j: imgconvert.convert(j[0], j[1], width=width), jobs))
    return time.perf_counter() - t0


def main():
    pairs, out_dir, width = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
    os.makedirs(out_dir, exist_ok=True)
    jobs = [(s, os.path.join(out_dir, f"{i}.webp")) for i, s in enumerate(sys.argv[4:])]
    one, two = [], []
    for _ in range(pairs):
        one.append(timed(1, jobs, width))
        two.append(timed(2, jobs, width))
    ratios = [b / a for a, b in zip(one, two)]
    print(f"{statistics.median(one):.3f} {statistics.median(two):.3f} "
          f"{statistics.median(ratios):.3f}")


if __name__ == "__main__":
    sys.exit(main())
