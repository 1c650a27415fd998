"""Memory and time at scale: 100 ChArUco views of 4000x3000, and a 4-camera rig of 50 frames at 2448x2048.

The views are rendered once and cached as PNG files (default ~/.cache/vesk/bench-scale). Each case runs in a
fresh child process that loads its images, then calibrates; it reports the peak RSS beyond what the process held
once the images were loaded, against what the design allows: one deep copy of the input at the boundary and one
annotated copy per view, plus at most 0.2 x the input for OpenCV's working buffers. Time per view is measured
at 20, 40, 60, 80 and 100 views and must stay flat; the 100 views run once more on one thread, and the
time per view on every core is printed as a ratio to that. Each extra thread may hold one more view's working
set (allowed: one input view per extra thread). Each case also runs its calibration a second time in the same
process ("again"): the first call pays for the first touch of the memory it allocates, which in a virtual
machine can cost more than the calibration itself, and does not shrink with threads.

    .venv/bin/python bench/bench_scale.py [--views 100] [--rig-frames 50] [--cache DIR]
"""

from __future__ import annotations

import argparse
import json
import pathlib
import subprocess
import sys
import time

import cv2

from common import peak_rss_mb, quiet, reset_peak_rss, rss_mb

import _vesk
from vesk_testing import scene as S

BOARD = (12, 9, 0.03, 0.022)


def _render_cached(folder: pathlib.Path, renders) -> list[pathlib.Path]:
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for k, make in enumerate(renders):
        path = folder / f"{k:03d}.png"
        if not path.exists():
            tmp = path.with_suffix(".tmp.png")
            cv2.imwrite(str(tmp), make())
            tmp.replace(path)
        paths.append(path)
    return paths


def intrinsic_views(cache: pathlib.Path, n: int) -> list[pathlib.Path]:
    board, camera = S.charuco(*BOARD), S.make_camera(4000, 3000)
    poses = S.view_poses(board, camera, n, seed=5)
    return _render_cached(cache / f"intrinsic_4000x3000_{n}",
                          [lambda T=T: S.render(board, camera, T, supersample=1) for T in poses])


def rig_views(cache: pathlib.Path, frames: int) -> list[list[pathlib.Path]]:
    board = S.charuco(*BOARD)
    cams = S.default_rig_cameras(2448, 2048)
    cams.append(S.make_camera(2448, 2048, fx=1.0 * 2448, cx=2448 / 2 + 3.0, cy=2048 / 2 - 5.0))
    rig = S.rig(board, cams, n_frames=frames, baselines=(0.0, 0.12, 0.24, 0.36), max_tilt=30.0)
    return [_render_cached(cache / f"rig_2448x2048_{frames}" / f"cam_{c}",
                           [lambda c=c, f=f: S.render(board, cams[c], rig.camera_T_target(c, f), supersample=1)
                            for f in range(frames)]) for c in range(len(cams))]


def child(kind: str, paths_json: str, threads: str) -> None:
    """Runs in a fresh process: load, then calibrate, and print the measurements as JSON."""
    paths = json.loads(paths_json)
    _vesk.set_num_threads(int(threads))
    target = _vesk.CharucoTarget(*BOARD)
    if kind == "intrinsic":
        images = [cv2.imread(p) for p in paths]
        input_bytes = sum(im.nbytes for im in images)
    else:
        images = [[cv2.imread(p) for p in cam] for cam in paths]
        input_bytes = sum(im.nbytes for cam in images for im in cam)
    base = rss_mb()
    reset_peak_rss()
    t0 = time.perf_counter()
    with quiet():
        if kind == "intrinsic":
            r = _vesk.IntrinsicCalibrator(target).calibrate(images)
            views, ok = len(r.successful_indices), r.ok
        else:
            r = _vesk.MultiCameraCalibrator(target, len(images)).calibrate(images)
            views, ok = sum(len(cam) for cam in images), r.ok
    wall = time.perf_counter() - t0
    peak = peak_rss_mb() - base
    # once more in the same process: the memory the first call touched is the process's now; in a virtual
    # machine the first touch of fresh memory can cost more than the calibration itself
    t0 = time.perf_counter()
    with quiet():
        if kind == "intrinsic":
            _vesk.IntrinsicCalibrator(target).calibrate(images)
        else:
            _vesk.MultiCameraCalibrator(target, len(images)).calibrate(images)
    warm = time.perf_counter() - t0
    view_bytes = (images[0] if kind == "intrinsic" else images[0][0]).nbytes
    print(json.dumps({"input_mb": input_bytes / 2**20, "beyond_mb": peak, "wall_s": wall, "warm_s": warm,
                      "views": views, "ok": ok, "threads": _vesk.get_num_threads(), "view_mb": view_bytes / 2**20}))


def measure(kind: str, paths, threads: int = -1) -> dict:
    proc = subprocess.run([sys.executable, __file__, "--child", kind, json.dumps(paths, default=str), str(threads)],
                          capture_output=True, text=True, check=True)
    row = json.loads(proc.stdout.strip().splitlines()[-1])
    # one deep copy at the boundary and one annotated copy per detected view, plus 0.2 x input of buffers,
    # plus one view's working set per extra thread
    row["allowed_mb"] = 2.2 * row["input_mb"] + (row["threads"] - 1) * row["view_mb"]
    row["per_view_s"] = row["wall_s"] / max(row["views"], 1)
    row["warm_per_view_s"] = row["warm_s"] / max(row["views"], 1)
    return row


def main(argv=None) -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--views", type=int, default=100)
    ap.add_argument("--rig-frames", type=int, default=50)
    ap.add_argument("--cache", type=pathlib.Path, default=pathlib.Path.home() / ".cache" / "vesk" / "bench-scale")
    ap.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        child(*args.child)
        return 0
    views = intrinsic_views(args.cache, args.views)
    rows = []
    for n in range(20, args.views + 1, 20):
        rows.append((f"intrinsic 4000x3000, {n} views", measure("intrinsic", [str(p) for p in views[:n]])))
    one = measure("intrinsic", [str(p) for p in views], threads=1)
    rows.append((f"intrinsic 4000x3000, {args.views} views, 1 thread", one))
    rig = rig_views(args.cache, args.rig_frames)
    rows.append((f"rig 4 x 2448x2048, {args.rig_frames} frames",
                 measure("rig", [[str(p) for p in cam] for cam in rig])))
    print(f"{'case':<46}{'threads':>8}{'input [MB]':>11}{'beyond [MB]':>12}{'allowed':>9}{'s/view':>8}"
          f"{'again':>8}  ok")
    for name, r in rows:
        print(f"{name:<46}{r['threads']:>8}{r['input_mb']:>11.0f}{r['beyond_mb']:>12.0f}{r['allowed_mb']:>9.0f}"
              f"{r['per_view_s']:>8.3f}{r['warm_per_view_s']:>8.3f}  {r['ok']}")
    per_view = [r["per_view_s"] for name, r in rows if name.startswith("intrinsic") and "1 thread" not in name]
    print(f"time per view, 20 to {args.views} views: max/min = {max(per_view) / min(per_view):.3f}")
    every = [r for name, r in rows if name == f"intrinsic 4000x3000, {args.views} views"][0]
    print(f"time per view at {args.views} views on {every['threads']} threads / on 1 thread = "
          f"{every['per_view_s'] / one['per_view_s']:.3f} (first call), "
          f"{every['warm_per_view_s'] / one['warm_per_view_s']:.3f} (the same call again)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
