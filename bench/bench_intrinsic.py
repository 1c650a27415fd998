"""Intrinsic calibration: the core against the same OpenCV calls made from Python.

For each target kind, 20 synthetic 1280x960 views are calibrated by
IntrinsicCalibrator.calibrate and by the equivalent cv2 sequence (detection,
refinement, calibrateCamera), alternately; the ratio of the best wall times
is printed, with the peak memory the core adds beyond the input images.

    .venv/bin/python bench/bench_intrinsic.py [--repeats N] [--views N]
"""

from __future__ import annotations

import argparse
import json
import sys

import cv2
import numpy as np

from common import ROOT, side_by_side

import _vesk
from synthetic import scene as S

CRITERIA = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 30, 0.001)


def scene(kind: str, n: int):
    cam = S.make_camera(1280, 960)
    board = {"chessboard": S.chessboard, "charuco": S.charuco, "aruco": S.aruco_grid}[kind]()
    poses = S.view_poses(board, cam, n, seed=42)
    images = [S.render(board, cam, T) for T in poses]
    return cam, board, images


def target_of(kind, board):
    cls = {"chessboard": _vesk.ChessboardTarget, "charuco": _vesk.CharucoTarget, "aruco": _vesk.ArucoTarget}[kind]
    return cls(*board.target_args())


def direct(kind, board, images):
    """The same pipeline through cv2, keeping the same outputs (annotated views included)."""
    img_pts, obj_pts, annotated = [], [], []
    if kind == "chessboard":
        size, sq = board.params["args"]
        pts = np.zeros((size[0] * size[1], 3), np.float32)
        pts[:, :2] = np.mgrid[0:size[0], 0:size[1]].T.reshape(-1, 2) * sq
        for img in images:
            gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
            ok, c = cv2.findChessboardCorners(gray, size, flags=0)
            if ok:
                c = cv2.cornerSubPix(gray, c, (11, 11), (-1, -1), CRITERIA)
                img_pts.append(c), obj_pts.append(pts.copy())
                annotated.append(cv2.drawChessboardCorners(img.copy(), size, c, True))
    elif kind == "charuco":
        sx, sy, sq, ml, did = board.params["args"]
        b = cv2.aruco.CharucoBoard((sx, sy), sq, ml, cv2.aruco.getPredefinedDictionary(did))
        det = cv2.aruco.CharucoDetector(b, cv2.aruco.CharucoParameters(), cv2.aruco.DetectorParameters(),
                                        cv2.aruco.RefineParameters(10.0, 3.0, True))
        corners = np.asarray(b.getChessboardCorners(), np.float32)
        for img in images:
            cc, ci, mc, mi = det.detectBoard(cv2.cvtColor(img, cv2.COLOR_BGR2GRAY))
            if ci is not None and len(ci) >= 4:
                img_pts.append(cc), obj_pts.append(corners[ci.ravel()])
                copy = img.copy()
                cv2.aruco.drawDetectedMarkers(copy, mc, mi, (0, 255, 0))
                cv2.aruco.drawDetectedCornersCharuco(copy, cc, ci, (255, 0, 0))
                annotated.append(copy)
    else:
        size, ml, sep, did = board.params["args"]
        d = cv2.aruco.getPredefinedDictionary(did)
        b = cv2.aruco.GridBoard(size, ml, sep, d)
        det = cv2.aruco.ArucoDetector(d, cv2.aruco.DetectorParameters(), cv2.aruco.RefineParameters(10.0, 3.0, True))
        objs = [np.asarray(o, np.float32).reshape(4, 3) for o in b.getObjPoints()]
        for img in images:
            gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
            mc, mi, rej = det.detectMarkers(gray)
            if mi is not None and len(mi) >= 4:
                mc, mi, rej, _ = det.refineDetectedMarkers(gray, b, mc, mi, rej)
                img_pts.append(np.concatenate([c.reshape(4, 1, 2) for c in mc]))
                obj_pts.append(np.concatenate([objs[k] for k in mi.ravel()]))
                annotated.append(cv2.aruco.drawDetectedMarkers(img.copy(), mc, mi, (0, 255, 0)))
    result = cv2.calibrateCameraExtended(obj_pts, img_pts, images[0].shape[1::-1], None, None, flags=0,
                                         criteria=CRITERIA)
    return result, annotated


def run(kind: str, n: int, repeats: int) -> dict:
    cam, board, images = scene(kind, n)
    target = target_of(kind, board)
    r = _vesk.IntrinsicCalibrator(target).calibrate(images)  # warm-up and ground truth
    K = r.intrinsic_matrix
    t_ours, t_cv = side_by_side(lambda: _vesk.IntrinsicCalibrator(target).calibrate(images),
                                lambda: direct(kind, board, images), repeats)
    mem = memory(kind, board, images)
    return {
        **mem,
        "pipeline": f"intrinsic/{kind}",
        "ours_s": t_ours, "opencv_s": t_cv, "ratio": t_ours / t_cv,
        "views": len(r.successful_indices),
        "fx_err_pct": 100 * abs(K[0, 0] / cam.K[0, 0] - 1), "cx_err_px": abs(K[0, 2] - cam.K[0, 2]),
    }


MEMORY_CHILD = """
import sys, numpy as np, _vesk
sys.path.insert(0, 'bench')
from common import peak_rss_mb, reset_peak_rss, rss_mb
images = list(np.load(sys.argv[1]))
args = eval(sys.argv[2])
target = getattr(_vesk, sys.argv[3])(*args)
reset_peak_rss()
before = rss_mb()
r = _vesk.IntrinsicCalibrator(target).calibrate(images)
print(peak_rss_mb() - before, len(r.successful_indices))
"""


def memory(kind: str, board, images) -> dict:
    """Peak RSS that one calibrate adds, measured in a fresh interpreter."""
    import os
    import subprocess
    import tempfile

    cls = {"chessboard": "ChessboardTarget", "charuco": "CharucoTarget", "aruco": "ArucoTarget"}[kind]
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "images.npy")
        np.save(path, np.stack(images))
        args = repr(tuple(board.target_args()))
        out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, path, args, cls], capture_output=True,
                             text=True, check=True, cwd=str(ROOT))
    added, views = out.stdout.split()
    image_mb = images[0].nbytes / 2**20
    return {"peak_added_mb": float(added), "input_mb": image_mb * len(images), "annotated_mb": image_mb * int(views)}


def main(argv=None) -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeats", type=int, default=7)
    ap.add_argument("--views", type=int, default=20)
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args(argv)
    rows = [run(k, args.views, args.repeats) for k in ("chessboard", "charuco", "aruco")]
    if args.json:
        print(json.dumps(rows))
        return 0
    print(f"{'pipeline':<22}{'ours [s]':>10}{'opencv [s]':>12}{'ratio':>8}{'views':>7}{'fx err %':>10}"
          f"{'cx err px':>11}{'peak+ MB':>10}{'input MB':>10}{'annot. MB':>10}")
    for row in rows:
        print(f"{row['pipeline']:<22}{row['ours_s']:>10.3f}{row['opencv_s']:>12.3f}{row['ratio']:>8.3f}"
              f"{row['views']:>7}{row['fx_err_pct']:>10.4f}{row['cx_err_px']:>11.3f}"
              f"{row['peak_added_mb']:>10.1f}{row['input_mb']:>10.1f}{row['annotated_mb']:>10.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
