"""Every benchmark in one table: each pipeline's wall time as a ratio to the same
OpenCV calls made directly from Python in the same run, and its ground-truth error.

    .venv/bin/python bench/run_all.py [--repeats N]
"""

from __future__ import annotations

import argparse
import sys

import bench_benchmark
import bench_hand_eye
import bench_intrinsic
import bench_multi_camera


def main(argv=None) -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeats", type=int, default=11)
    args = ap.parse_args(argv)
    rows = []
    for kind in ("chessboard", "charuco", "aruco"):
        r = bench_intrinsic.run(kind, 20, args.repeats)
        rows.append((r["pipeline"], r["ours_s"], r["opencv_s"], r["ratio"],
                     f"fx {r['fx_err_pct']:.3f} %, cx {r['cx_err_px']:.2f} px"))
    r = bench_hand_eye.run(args.repeats)
    rows.append((r["pipeline"], r["ours_s"], r["opencv_s"], r["ratio"],
                 f"{r['trans_err_mm']:.3f} mm, {r['rot_err_deg']:.4f} deg"))
    r = bench_multi_camera.run(args.repeats)
    rows.append((r["pipeline"], r["ours_s"], r["opencv_s"], r["ratio"],
                 f"{r['trans_err_mm']:.3f} mm, {r['rot_err_deg']:.4f} deg"))
    r = bench_benchmark.run(max(5, args.repeats // 2))
    rows.append((r["pipeline"], r["ours_s"], r["opencv_s"], r["ratio"],
                 f"fx {r['fx_err_pct']:.3f} %, held-out {r['held_out_px']:.4f} px"))
    print(f"{'pipeline':<24}{'ours [s]':>10}{'opencv [s]':>12}{'ratio':>8}   ground-truth error")
    print("-" * 80)
    for name, ours, theirs, ratio, err in rows:
        print(f"{name:<24}{ours:>10.3f}{theirs:>12.3f}{ratio:>8.3f}   {err}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
