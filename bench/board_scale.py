"""The board's scale from the robot's motion: how often a wrong print is flagged, and whether the sigma holds.

    .venv/bin/python bench/board_scale.py              # 100 series of 20 frames per row
    .venv/bin/python bench/board_scale.py --series 300 --frames 15

Each series is a synthetic eye-in-hand (or eye-to-hand) capture with robot pose noise (a random flange
motion per pose) and corner noise; the target poses come from solvePnP on the stated board, whose
squares are `error` larger than the printed ones. Prints, per row, how many series the data check
flags with board_scale_mismatch, the mean estimate, and the share whose error lies within 2 sigma
(about 95 % for an honest sigma). With --real, the value on the shared real dataset.
"""

from __future__ import annotations

import argparse
import pathlib

import cv2
import numpy as np

import _vesk
from _vesk import diagnostics
from vesk_testing import scene as S

REAL = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "data" / "eye_to_hand_charuco"


def series_poses(board, camera, seed, frames, error, eye_to_hand, robot_m, robot_deg, corner_px):
    make = S.eye_to_hand_series if eye_to_hand else S.hand_eye_series
    s = make(board, camera, frames, seed=1000 + seed)
    rng = np.random.default_rng(seed)
    robots = S.noisy_robot_poses(s.robot_T_tcp, rng, robot_m, robot_deg)
    printed = board.points.astype(np.float64)
    stated = printed * (1.0 + error)
    cams = []
    for V in s.camera_T_target:
        uv = camera.project(printed, V) + rng.normal(0.0, corner_px, (len(printed), 2))
        _, rvec, tvec = cv2.solvePnP(stated, uv, camera.K, camera.dist)
        cams.append(S.make_T(cv2.Rodrigues(rvec)[0], tvec.ravel()))
    return robots, cams


def row(args, error, eye_to_hand):
    board, camera = S.charuco(), S.make_camera(1280, 960)
    truth = 1.0 / (1.0 + error)
    flagged, values, sigmas, z = 0, [], [], []
    for seed in range(args.series):
        robots, cams = series_poses(board, camera, seed, args.frames, error, eye_to_hand, args.robot_mm * 1e-3,
                                    args.robot_deg, args.corner_px)
        found = [f.code for f in diagnostics.check_hand_eye_data(robots, cams, eye_to_hand)]
        flagged += "board_scale_mismatch" in found
        b = diagnostics.estimate_board_scale(robots, cams, eye_to_hand)
        values.append(b.value)
        sigmas.append(b.sigma)
        z.append((b.value - truth) / b.sigma)
    z = np.array(z)
    kind = "eye-to-hand" if eye_to_hand else "eye-in-hand"
    print(f"{kind:12s} {100 * error:+5.1f} %   flagged {flagged:3d}/{args.series}   "
          f"mean scale {np.mean(values):.5f} (truth {truth:.5f})   mean sigma {np.mean(sigmas):.5f}   "
          f"within 2 sigma {100 * np.mean(np.abs(z) < 2):.0f} %   RMS z {np.sqrt(np.mean(z ** 2)):.2f}")


def real():
    if not REAL.is_dir():
        print(f"real dataset absent ({REAL})")
        return
    images, poses = _vesk.io.load_hand_eye_dataset(REAL)
    target = _vesk.CharucoTarget(5, 7, 0.036195, 0.018256, "DICT_6X6_250")
    r = _vesk.EyeToHandCalibrator(target).calibrate(poses, images, "PARK")
    b = r.board_scale
    print(f"real dataset (eye-to-hand, own intrinsics): scale {b.value:.5f} +- {b.sigma:.5f}, "
          f"square {1000 * b.implied_square_m:.3f} mm against {1000 * b.stated_square_m:.3f} mm stated; "
          f"findings {[f.code for f in r.data_findings]}")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--series", type=int, default=100)
    p.add_argument("--frames", type=int, default=20)
    p.add_argument("--robot-mm", type=float, default=0.2)
    p.add_argument("--robot-deg", type=float, default=0.02)
    p.add_argument("--corner-px", type=float, default=0.2)
    p.add_argument("--real", action="store_true")
    args = p.parse_args()
    for eye_to_hand in (False, True):
        for error in (0.0, 0.01, -0.01):
            row(args, error, eye_to_hand)
    if args.real:
        real()


if __name__ == "__main__":
    main()
