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
from common import TIMES, print_table


def main(argv=None) -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeats", type=int, default=11)
    args = ap.parse_args(argv)
    rows = []
    # 20 views of 1280x960, then the small-image case: 15 views of 800x600
    for n, size in ((20, (1280, 960)), (15, (800, 600))):
        for kind in ("chessboard", "charuco", "aruco"):
            r = bench_intrinsic.run(kind, n, args.repeats, size)
            rows.append({**r, "error": "   " + f"fx {r['fx_err_pct']:.3f} %, cx {r['cx_err_px']:.2f} px"})
    r = bench_hand_eye.run(args.repeats)
    rows.append({**r, "error": "   " + f"{r['trans_err_mm']:.3f} mm, {r['rot_err_deg']:.4f} deg"})
    r = bench_hand_eye.run_refined(args.repeats)
    rows.append({**r, "error": "   " + f"{r['trans_err_mm']:.3f} mm, {r['rot_err_deg']:.4f} deg (closed form: "
                               f"{r['closed_trans_err_mm']:.3f} mm, {r['closed_rot_err_deg']:.4f} deg); "
                               f"{r['refine_ratio']:.2f}x the call without refine"})
    r = bench_multi_camera.run(args.repeats)
    rows.append({**r, "error": "   " + f"{r['trans_err_mm']:.3f} mm, {r['rot_err_deg']:.4f} deg"})
    r = bench_multi_camera.run_refined(args.repeats)
    rows.append({**r, "error": "   " + f"{r['trans_err_mm']:.3f} mm, {r['rot_err_deg']:.4f} deg "
                               f"(pairs: {r['pair_trans_err_mm']:.3f} mm, {r['pair_rot_err_deg']:.4f} deg)"})
    r = bench_benchmark.run(max(5, args.repeats // 2))
    rows.append({**r, "error": "   " + f"fx {r['fx_err_pct']:.3f} %, held-out {r['held_out_px']:.4f} px"})
    print_table(rows, [("pipeline", "pipeline", -30, "")] + TIMES + [("error", "   ground-truth error", -1, "")])
    return 0


if __name__ == "__main__":
    sys.exit(main())
