"""Converts files to WebP through the Python package from N threads; the timing is the
caller's (bench_peers runs it once per thread count).

    py_convert.py THREADS OUT_DIR WIDTH SRC...
"""

import os
import sys
from concurrent.futures import ThreadPoolExecutor

import imgconvert


def main():
    threads, out_dir, width = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
    sources = sys.argv[4:]
    os.makedirs(out_dir, exist_ok=True)
    jobs = [(s, os.path.join(out_dir, f"{i}.webp")) for i, s in enumerate(sources)]
    with ThreadPoolExecutor(max_workers=threads) as pool:
        done = list(pool.map(lambda j: imgconvert.convert(j[0], j[1], width=width), jobs))
    return 0 if len(done) == len(sources) else 1


if __name__ == "__main__":
    sys.exit(main())
