"""CalibrationBenchmark.run: the core against the same OpenCV call sequence from Python.

20 synthetic 1280x960 ChArUco views, 5 folds: one calibration on all views, five
on the training folds, and detection + solvePnP + projectPoints on every held-out
view, made directly through cv2 and by the core, alternately.

    .venv/bin/python bench/bench_benchmark.py [--repeats N]
"""

from __future__ import annotations

import sys

import cv2
import numpy as np

from common import POOL, TIMES, bench_main, quiet, ratios, three_way

import _vesk
from vesk_testing import reference
from vesk_testing import scene as S


def held_out_error(det, corners, image, K, D):
    cc, ci, _, _ = det.detectBoard(cv2.cvtColor(image, cv2.COLOR_BGR2GRAY))
    if ci is None or len(ci) < 4:
        return None
    obj = corners[ci.ravel()]
    ok, rvec, tvec = cv2.solvePnP(obj, cc, K, D)
    proj, _ = cv2.projectPoints(obj, rvec, tvec, K, D)
    return np.linalg.norm(cc.reshape(-1, 2) - proj.reshape(-1, 2)) / len(obj)


def direct(board, images, n_splits=5, seed=0, pool=None):
    reference.calibrate("charuco", board, images, pool=pool)
    sx, sy, sq, ml, did = board.params["args"]
    b = cv2.aruco.CharucoBoard((sx, sy), sq, ml, cv2.aruco.getPredefinedDictionary(did))
    det = cv2.aruco.CharucoDetector(b, cv2.aruco.CharucoParameters(), cv2.aruco.DetectorParameters(),
                                    cv2.aruco.RefineParameters(10.0, 3.0, True))
    corners = np.asarray(b.getChessboardCorners(), np.float32)
    order = np.random.default_rng(seed).permutation(len(images))
    fold = max(1, len(images) // n_splits)
    def fold_errors(f):
        held = set(order[f * fold:(f + 1) * fold])
        train = [images[i] for i in order if i not in held]
        (_, K, D, *_), _ = reference.calibrate("charuco", board, train)
        return [e for i in held if (e := held_out_error(det, corners, images[i], K, D)) is not None]

    # on a pool: one fold per thread, as the core does it
    errs = [e for errors in (pool.map if pool is not None else map)(fold_errors, range(n_splits)) for e in errors]
    return float(np.mean(errs))


def run(repeats: int) -> dict:
    cam, board = S.make_camera(1280, 960), S.charuco()
    images = [S.render(board, cam, T, noise_sigma=1.0, seed=k) for k, T in enumerate(S.view_poses(board, cam, 20))]
    target = _vesk.CharucoTarget(*board.target_args())
    bench = _vesk.CalibrationBenchmark()
    opts = _vesk.IntrinsicOptions()
    with quiet():
        r = bench.run(images, target, opts)
        theirs = direct(board, images)
        times = three_way(lambda: bench.run(images, target, opts), lambda: direct(board, images),
                          lambda: direct(board, images, pool=POOL), repeats)
    return {"pipeline": "benchmark/charuco", **ratios(*times),
            "held_out_px": r.held_out_reprojection_error, "cv2_held_out_px": theirs,
            "fx_err_pct": 100 * abs(r.camera_matrix[0, 0] / cam.K[0, 0] - 1)}


def main(argv=None) -> int:
    return bench_main(lambda args: [run(args.repeats)], TIMES + [("held_out_px", "held-out", 10, ".4f"), ("cv2_held_out_px", "cv2 held", 10, ".4f"), ("fx_err_pct", "fx err %", 10, ".4f")], argv, repeats=5)


if __name__ == "__main__":
    sys.exit(main())
