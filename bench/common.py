"""Shared helpers for the benchmarks: side-by-side timing, peak memory, one runner and one table."""

from __future__ import annotations

import argparse
import concurrent.futures
import gc
import json
import os
import pathlib
import resource
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent


def timed(fn, *args):
    gc.collect()
    t0 = time.perf_counter()
    out = fn(*args)
    return time.perf_counter() - t0, out


def side_by_side(ours, theirs, repeats: int = 3):
    """Best wall times of two callables, run alternately so drift hits both.

    Other load on the machine only ever adds time, so the minimum over the
    repeats is the steadiest estimate of what each call itself costs.
    """
    a, b = [], []
    for k in range(repeats):
        pair = [(ours, a), (theirs, b)] if k % 2 == 0 else [(theirs, b), (ours, a)]
        for fn, sink in pair:
            dt, _ = timed(fn)
            sink.append(dt)
    return min(a), min(b)


# The cv2 sequence on a thread pool across views, as a user could also write it: one worker per core
# the process may use.
POOL = concurrent.futures.ThreadPoolExecutor(max_workers=len(os.sched_getaffinity(0)))


def one_cv2_thread(fn):
    """fn with cv2's own parallel loops at one thread: the cv2 sequence on exactly one thread."""
    def call():
        import cv2
        saved = cv2.getNumThreads()
        cv2.setNumThreads(1)
        try:
            return fn()
        finally:
            cv2.setNumThreads(saved)
    return call


def three_way(ours, theirs, pooled, repeats: int = 3):
    """Best wall times of the core, the cv2 sequence (cv2 at its default threads, and at one thread) and the
    cv2 sequence on POOL, run in turn."""
    calls = (ours, theirs, pooled, one_cv2_thread(theirs))
    times = tuple([] for _ in calls)
    for k in range(repeats):
        for j in range(len(calls)):
            m = (j + k) % len(calls)
            dt, _ = timed(calls[m])
            times[m].append(dt)
    return tuple(min(t) for t in times)


def ratios(t_ours, t_cv, t_pool, t_one) -> dict:
    return {"ours_s": t_ours, "opencv_s": t_cv, "ratio": t_ours / t_cv, "pool_s": t_pool, "ratio_pool": t_ours / t_pool,
            "one_s": t_one, "ratio_one": t_ours / t_one}


def reset_peak_rss() -> None:
    """Restart the peak-RSS count (ru_maxrss would carry a forking parent's peak)."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def peak_rss_mb() -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def rss_mb() -> float:
    with open(f"/proc/{os.getpid()}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


class quiet:
    """Send fds 1 and 2 to /dev/null: reports and log lines are not what is being timed."""

    def __enter__(self):
        sys.stdout.flush()
        sys.stderr.flush()
        self.saved = [os.dup(1), os.dup(2)]
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.dup2(null, 2)
        os.close(null)
        return self

    def __exit__(self, *exc):
        sys.stdout.flush()
        sys.stderr.flush()
        for fd, saved in zip((1, 2), self.saved):
            os.dup2(saved, fd)
            os.close(saved)
        return False


def print_table(rows, columns) -> None:
    """Rows (dicts) under a header; columns are (key, header, width, format), a negative width left-aligns."""
    def cell(value, width, fmt):
        return f"{value:<{-width}{fmt}}" if width < 0 else f"{value:>{width}{fmt}}"

    print("".join(cell(h, w, "") for _, h, w, _ in columns))
    for row in rows:
        print("".join(cell(row[k], w, f) for k, _, w, f in columns))


def bench_main(rows, columns, argv=None, repeats: int = 7, views: int | None = None) -> int:
    """Command line of a benchmark: `--repeats N`, `--json` (and `--views N` where the benchmark has it).

    `rows(args)` returns the table's rows; the pipeline name comes first in every table.
    """
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeats", type=int, default=repeats)
    if views is not None:
        ap.add_argument("--views", type=int, default=views)
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args(argv)
    table = rows(args)
    if args.json:
        print(json.dumps(table))
        return 0
    print_table(table, [("pipeline", "pipeline", -22, "")] + list(columns))
    return 0


TIMES = [("ours_s", "ours [s]", 10, ".3f"), ("opencv_s", "opencv [s]", 12, ".3f"), ("ratio", "ratio", 8, ".3f"),
         ("one_s", "cv2 1 thr [s]", 15, ".3f"), ("ratio_one", "vs 1 thr", 10, ".3f"),
         ("pool_s", "cv2 pool [s]", 14, ".3f"), ("ratio_pool", "vs pool", 9, ".3f")]
