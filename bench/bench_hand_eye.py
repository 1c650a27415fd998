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

from common import POOL, TIMES, bench_main, quiet, ratios, three_way, timed

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
            "trans_err_mm": dt * 1000, "rot_err_deg": dr, "peer_diff_mm": peer * 1000,
            "refine_ratio": float("nan")}


def run_refined(repeats: int) -> dict:
    """The joint solve (refine=True) on 20 ChArUco views of 960x720 with robot noise of 0.5 mm / 0.05 deg:
    its time against the cv2 sequence and against the same call without it, and both errors."""
    cam = S.make_camera(960, 720)
    board = S.charuco(12, 9, 0.03, 0.022)
    s = S.hand_eye_series(board, cam, 20, seed=7, max_tilt=40.0, max_shift=0.3)
    robots = S.noisy_robot_poses(s.robot_T_tcp, np.random.default_rng(1), 0.5e-3, 0.05)
    images = s.images()
    target = _vesk.CharucoTarget(*board.target_args())

    def call(refine):
        return lambda: _vesk.EyeInHandCalibrator(target).calibrate(robots, images, "TSAI", refine=refine)

    with quiet():
        r = call(True)()
        direct(board, images, robots)
        times = three_way(call(True), lambda: direct(board, images, robots),
                          lambda: direct(board, images, robots, POOL), repeats)
        plain, joint = [], []
        for _ in range(repeats):  # alternately, so that the machine's load falls on both alike
            plain.append(timed(call(False))[0])
            joint.append(timed(call(True))[0])
    dt, dr = S.pose_error(r.tcp_T_camera, s.tcp_T_camera)
    ct, cr = S.pose_error(r.joint.closed_form, s.tcp_T_camera)
    return {"pipeline": "hand-eye/joint (refine)", **ratios(*times), "trans_err_mm": dt * 1000, "rot_err_deg": dr,
            "closed_trans_err_mm": ct * 1000, "closed_rot_err_deg": cr, "refine_ratio": min(joint) / min(plain),
            "peer_diff_mm": float("nan")}


def main(argv=None) -> int:
    return bench_main(lambda args: [run(args.repeats), run_refined(args.repeats)], TIMES + [("trans_err_mm", "err mm", 9, ".3f"), ("rot_err_deg", "err deg", 9, ".4f"), ("peer_diff_mm", "vs cv2 mm", 11, ".2e"), ("refine_ratio", "refine/plain", 14, ".2f")], argv, repeats=7)


if __name__ == "__main__":
    sys.exit(main())
