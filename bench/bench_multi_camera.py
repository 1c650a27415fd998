"""Multi-camera rig calibration: the core against the same OpenCV calls from Python.

A synthetic 3-camera rig (960x720, 12 synchronised ChArUco frames) is calibrated
by MultiCameraCalibrator.calibrate and by the equivalent cv2 sequence (per-camera
detection and calibrateCamera, id-matched pairs, stereoCalibrate, the frame-0
triangulation), alternately; the ratio of the best wall times and the
extrinsic errors against the known rig are printed.

    .venv/bin/python bench/bench_multi_camera.py [--repeats N]
"""

from __future__ import annotations

import sys

import cv2
import numpy as np

from common import POOL, TIMES, bench_main, quiet, ratios, three_way

import _vesk
from vesk_testing import reference, scene as S

CRITERIA = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 30, 1e-6)


def detect(det, image, annotate=False):
    cc, ci, mc, mi = det.detectBoard(cv2.cvtColor(image, cv2.COLOR_BGR2GRAY))
    if ci is None or len(ci) < 4:
        return None, None
    if annotate:  # the core keeps an annotated copy of every detected view
        copy = image.copy()
        cv2.aruco.drawDetectedMarkers(copy, mc, mi, (0, 255, 0))
        cv2.aruco.drawDetectedCornersCharuco(copy, cc, ci, (255, 0, 0))
    return cc, ci.ravel()


def direct(board, lists, pool=None):
    sx, sy, sq, ml, did = board.params["args"]
    b = cv2.aruco.CharucoBoard((sx, sy), sq, ml, cv2.aruco.getPredefinedDictionary(did))
    det = cv2.aruco.CharucoDetector(b, cv2.aruco.CharucoParameters(), cv2.aruco.DetectorParameters(),
                                    cv2.aruco.RefineParameters(10.0, 3.0, True))
    corners = np.asarray(b.getChessboardCorners(), np.float32)
    def camera(images):
        views = [detect(det, im, annotate=True) for im in images]
        obj = [corners[ids] for c, ids in views if c is not None]
        img = [c for c, ids in views if c is not None]
        rms, K, D, *_ = cv2.calibrateCameraExtended(obj, img, images[0].shape[1::-1], None, None,
                                                    criteria=reference.SOLVE_CRITERIA)
        return K, D, views

    # on a pool: one camera per thread, as the core does it
    cams = list((pool.map if pool is not None else map)(camera, lists))
    out = []
    K0, D0, v0 = cams[0]
    for K, D, v in cams[1:]:
        obj, p0, p1 = [], [], []
        for (c0, i0), (c1, i1) in zip(v0, v):
            if c0 is None or c1 is None:
                continue
            shared, a, b2 = np.intersect1d(i0, i1, return_indices=True)
            if len(shared) >= 15:
                obj.append(corners[shared]), p0.append(c0[a]), p1.append(c1[b2])
        out.append(cv2.stereoCalibrate(obj, p0, p1, K0, D0, K, D, lists[0][0].shape[1::-1],
                                       flags=cv2.CALIB_FIX_INTRINSIC, criteria=CRITERIA))
    # frame-0 validation: detect in every camera and triangulate the shared corners
    frame0 = [detect(det, lst[0]) for lst in lists]
    P = [cams[0][0] @ np.eye(3, 4)] + [K @ np.hstack([r[5], r[6]]) for (K, _, _), r in zip(cams[1:], out)]
    (ca, ia), (cb, ib) = frame0[0], frame0[1]
    shared, a, b2 = np.intersect1d(ia, ib, return_indices=True)
    ua = cv2.undistortPoints(ca[a], cams[0][0], cams[0][1], P=cams[0][0])
    ub = cv2.undistortPoints(cb[b2], cams[1][0], cams[1][1], P=cams[1][0])
    cv2.triangulatePoints(P[0], P[1], ua.reshape(-1, 2).T, ub.reshape(-1, 2).T)
    return out


def run(repeats: int) -> dict:
    # enough corners and tilted frames for well-determined per-camera intrinsics (as in the tests)
    board = S.charuco(10, 7, 0.035, 0.026)
    rig = S.rig(board, S.default_rig_cameras(960, 720), n_frames=20, baselines=(0.0, 0.15, 0.35), max_tilt=35.0)
    lists = rig.images()
    target = _vesk.CharucoTarget(*board.target_args())
    with quiet():
        r = _vesk.MultiCameraCalibrator(target, 3).calibrate(lists)
        direct(board, lists)
        times = three_way(lambda: _vesk.MultiCameraCalibrator(target, 3).calibrate(lists),
                          lambda: direct(board, lists), lambda: direct(board, lists, POOL), repeats)
    errs = [S.pose_error(T, G) for T, G in zip(r.reference_T_camera_list[1:], rig.reference_T_camera[1:])]
    return {"pipeline": "multi-camera/charuco", **ratios(*times),
            "trans_err_mm": max(e[0] for e in errs) * 1000, "rot_err_deg": max(e[1] for e in errs)}


def run_refined(repeats: int) -> dict:
    """The joint solve on a weak rig (12 frames of a 7 x 5 board, 800x600), timed against the same
    cv2 pair sequence; its ground-truth error next to the pair solves'."""
    board = S.charuco(7, 5, 0.04, 0.03)
    rig = S.rig(board, S.default_rig_cameras(800, 600), n_frames=12, seed=1)
    lists = rig.images()
    target = _vesk.CharucoTarget(*board.target_args())
    with quiet():
        pairwise = _vesk.MultiCameraCalibrator(target, 3).calibrate(lists)
        joint = _vesk.MultiCameraCalibrator(target, 3).calibrate(lists, refine=True)
        direct(board, lists)
        times = three_way(lambda: _vesk.MultiCameraCalibrator(target, 3).calibrate(lists, refine=True),
                          lambda: direct(board, lists), lambda: direct(board, lists, POOL), repeats)

    def worst(r):
        errs = [S.pose_error(T, G) for T, G in zip(r.reference_T_camera_list[1:], rig.reference_T_camera[1:])]
        return max(e[0] for e in errs) * 1000, max(e[1] for e in errs)

    (jt, jr), (pt, pr) = worst(joint), worst(pairwise)
    return {"pipeline": "multi-camera/joint (weak rig)", **ratios(*times), "trans_err_mm": jt, "rot_err_deg": jr,
            "pair_trans_err_mm": pt, "pair_rot_err_deg": pr}


def main(argv=None) -> int:
    return bench_main(lambda args: [run(args.repeats), run_refined(args.repeats)], TIMES + [("trans_err_mm", "err mm", 9, ".3f"), ("rot_err_deg", "err deg", 9, ".4f")], argv, repeats=7)


if __name__ == "__main__":
    sys.exit(main())
