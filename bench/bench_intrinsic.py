"""Intrinsic calibration: the core against the same OpenCV calls made from Python.

For each target kind, 20 synthetic 1280x960 views are calibrated by
IntrinsicCalibrator.calibrate and by the equivalent cv2 sequence (detection,
refinement, calibrateCamera), alternately; the ratio of the best wall times
is printed, with the peak memory the core adds beyond the input images.

    .venv/bin/python bench/bench_intrinsic.py [--repeats N] [--views N]
"""

from __future__ import annotations

import json
import sys

import numpy as np

from common import POOL, TIMES, bench_main, peak_rss_mb, ratios, reset_peak_rss, rss_mb, three_way

import _vesk
from vesk_testing import reference
from vesk_testing import scene as S
from vesk_testing.scenes import BOARDS, KINDS, TARGETS, target_of


def scene(kind: str, n: int, size=(1280, 960)):
    cam = S.make_camera(*size)
    board = BOARDS[kind]()
    poses = S.view_poses(board, cam, n, seed=42)
    images = [S.render(board, cam, T) for T in poses]
    return cam, board, images


def run(kind: str, n: int, repeats: int, size=(1280, 960)) -> dict:
    cam, board, images = scene(kind, n, size)
    target = target_of(kind, board)
    r = _vesk.IntrinsicCalibrator(target).calibrate(images)  # warm-up and ground truth
    K = r.intrinsic_matrix
    times = three_way(lambda: _vesk.IntrinsicCalibrator(target).calibrate(images),
                      lambda: reference.calibrate(kind, board, images),
                      lambda: reference.calibrate(kind, board, images, pool=POOL), repeats)
    mem = memory(kind, board, images)
    return {
        **mem,
        "pipeline": f"intrinsic/{kind}" + ("" if size == (1280, 960) else f" {size[0]}x{size[1]}"),
        **ratios(*times),
        "views": len(r.successful_indices),
        "fx_err_pct": 100 * abs(K[0, 0] / cam.K[0, 0] - 1), "cx_err_px": abs(K[0, 2] - cam.K[0, 2]),
    }


def memory_child(images_path: str, kind: str, target_args: str) -> None:
    """In a fresh interpreter: the peak RSS one calibrate adds, and the views it used."""
    images = list(np.load(images_path))
    target = TARGETS[kind](*json.loads(target_args))
    reset_peak_rss()
    before = rss_mb()
    r = _vesk.IntrinsicCalibrator(target).calibrate(images)
    print(peak_rss_mb() - before, len(r.successful_indices))


def memory(kind: str, board, images) -> dict:
    """Peak RSS that one calibrate adds, measured in a fresh interpreter."""
    import os
    import subprocess
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "images.npy")
        np.save(path, np.stack(images))
        args = json.dumps(list(board.target_args()))
        out = subprocess.run([sys.executable, __file__, "--memory-child", path, kind, args], capture_output=True,
                             text=True, check=True)
    added, views = out.stdout.split()
    image_mb = images[0].nbytes / 2**20
    return {"peak_added_mb": float(added), "input_mb": image_mb * len(images), "annotated_mb": image_mb * int(views)}


COLUMNS = TIMES + [("views", "views", 7, ""), ("fx_err_pct", "fx err %", 10, ".4f"), ("cx_err_px", "cx err px", 11, ".3f"),
                   ("peak_added_mb", "peak+ MB", 10, ".1f"), ("input_mb", "input MB", 10, ".1f"),
                   ("annotated_mb", "annot. MB", 10, ".1f")]


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--memory-child"]:
        memory_child(*argv[1:])
        return 0
    return bench_main(lambda args: [run(k, args.views, args.repeats) for k in KINDS], COLUMNS, argv, repeats=7,
                      views=20)


if __name__ == "__main__":
    sys.exit(main())
