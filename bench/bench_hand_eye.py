"""Eye-in-hand calibration (own intrinsics): the core against the same OpenCV calls from Python.

15 synthetic 1280x960 ChArUco views from a flange camera are calibrated by
EyeInHandCalibrator.calibrate and by the equivalent cv2 sequence (detection,
calibrateCamera, per-view filter, re-detection, solvePnP, calibrateHandEye),
alternately; the ratio of the best wall times and the error against the
known tcp_T_camera are printed.

    .venv/bin/python bench/bench_hand_eye.py [--repeats N]
"""

from __future__ import annotations

import sys

import cv2
import numpy as np

from common import POOL, TIMES, bench_main, quiet, ratios, three_way

import _vesk
from vesk_testing import reference
from vesk_testing import scene as S


def direct(board, images, robots, pool=None):
    (rms, K, D, rvecs, tvecs, _, _, per_view), _ = reference.calibrate("charuco", board, images, pool=pool)
    keep = [i for i, e in enumerate(per_view.ravel()) if e < 1.0] or list(range(len(images)))
    sx, sy, sq, ml, did = board.params["args"]
    b = cv2.aruco.CharucoBoard((sx, sy), sq, ml, cv2.aruco.getPredefinedDictionary(did))
    det = cv2.aruco.CharucoDetector(b, cv2.aruco.CharucoParameters(), cv2.aruco.DetectorParameters(),
                                    cv2.aruco.RefineParameters(10.0, 3.0, True))
    corners = np.asarray(b.getChessboardCorners(), np.float32)
    def pose(i):
        cc, ci, _, _ = det.detectBoard(cv2.cvtColor(images[i], cv2.COLOR_BGR2GRAY))
        return cv2.solvePnP(corners[ci.ravel()], cc, K, D)

    Rg, tg, Rt, tt = [], [], [], []
    for i, (ok, rvec, tvec) in zip(keep, (pool.map if pool is not None else map)(pose, keep)):
        Rg.append(robots[i][:3, :3]), tg.append(robots[i][:3, 3])
        Rt.append(cv2.Rodrigues(rvec)[0]), tt.append(tvec)
    return cv2.calibrateHandEye(Rg, tg, Rt, tt, method=cv2.CALIB_HAND_EYE_TSAI)


def run(repeats: int) -> dict:
    cam = S.make_camera(1280, 960)
    board = S.charuco()
    s = S.hand_eye_series(board, cam, 15)
    images = s.images()
    target = _vesk.CharucoTarget(*board.target_args())
    with quiet():
        r = _vesk.EyeInHandCalibrator(target).calibrate(s.robot_T_tcp, images)
        R, t = direct(board, images, s.robot_T_tcp)
        times = three_way(lambda: _vesk.EyeInHandCalibrator(target).calibrate(s.robot_T_tcp, images),
                          lambda: direct(board, images, s.robot_T_tcp),
                          lambda: direct(board, images, s.robot_T_tcp, POOL), repeats)
    dt, dr = S.pose_error(r.tcp_T_camera, s.tcp_T_camera)
    peer = float(np.abs(r.tcp_T_camera[:3, 3] - t.ravel()).max())
    return {"pipeline": "hand-eye/charuco", **ratios(*times),
            "trans_err_mm": dt * 1000, "rot_err_deg": dr, "peer_diff_mm": peer * 1000}


def main(argv=None) -> int:
    return bench_main(lambda args: [run(args.repeats)], TIMES + [("trans_err_mm", "err mm", 9, ".3f"), ("rot_err_deg", "err deg", 9, ".4f"), ("peer_diff_mm", "vs cv2 mm", 11, ".2e")], argv, repeats=7)


if __name__ == "__main__":
    sys.exit(main())
