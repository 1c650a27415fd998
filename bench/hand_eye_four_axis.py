"""Four-axis (SCARA) series against six-axis series of the same size and noise.

    .venv/bin/python bench/hand_eye_four_axis.py              # 100 series each, eye-in-hand and eye-to-hand
    .venv/bin/python bench/hand_eye_four_axis.py --series 20

Corner-noise series of 15 frames (robot 0.2 mm / 0.02 deg, corners 0.2 px, true intrinsics). Each
four-axis series is calibrated without a constraint (it must be refused with four_axis_motions)
and with the camera's true offset along the axis given. The six-axis series are solved by PARK.
Columns: refused share; mean rotation error (deg) about the axis and across it; mean translation
error across the axis (mm); error along the axis (mm, zero by construction); error / sigma RMS of
the observable components; the largest off-axis rotation of any four-axis series (deg) and the
smallest of any six-axis series.
"""

from __future__ import annotations

import argparse

import cv2
import numpy as np

import _vesk
from vesk_testing import scene as S

from hand_eye_coverage import quiet

NOISE = dict(robot_m=0.2e-3, robot_deg=0.02, corner_px=0.2)


def split_errors(T, truth, axis):
    """Rotation error about / across the axis (deg), translation error across / along it (mm)."""
    r = cv2.Rodrigues(T[:3, :3] @ truth[:3, :3].T)[0].ravel()
    t = T[:3, 3] - truth[:3, 3]
    r_along, t_along = r @ axis, t @ axis
    return (abs(np.degrees(r_along)), np.degrees(np.linalg.norm(r - r_along * axis)),
            np.linalg.norm(t - t_along * axis) * 1000, abs(t_along) * 1000)


def run(eye_to_hand: bool, series: int, board, camera):
    target = _vesk.CharucoTarget(*board.target_args())
    calibrator = _vesk.EyeToHandCalibrator if eye_to_hand else _vesk.EyeInHandCalibrator
    refused, four, six, z, off_four, off_six = 0, [], [], [], 0.0, np.inf
    for seed in range(series):
        s = S.four_axis_series(board, camera, 15, seed=seed, eye_to_hand=eye_to_hand)
        robots, cams = S.noisy_poses(s, seed, **NOISE)
        truth = s.robot_T_camera if eye_to_hand else s.tcp_T_camera
        # the axis points up in the base; in the flange's frame for a camera on the flange
        axis = np.array([0.0, 0.0, 1.0]) if eye_to_hand else s.robot_T_tcp[0][:3, :3].T @ [0.0, 0.0, 1.0]
        with quiet():
            r = calibrator(target).calibrate(robots, [], "PARK", cams, camera.K, camera.dist)
        refused += (not r.ok and r.data_findings[0].code == "four_axis_motions"
                    and "rotations about one axis only, as a four-axis robot makes" in r.data_findings[0].message.lower())
        with quiet():
            r = calibrator(target).calibrate(robots, [], "PARK", cams, camera.K, camera.dist,
                                             known_axis_offset_m=float(truth[:3, 3] @ axis), known_tolerance_m=0.0)
        T = r.robot_T_camera if eye_to_hand else r.tcp_T_camera
        four.append(split_errors(T, truth, axis))
        off_four = max(off_four, r.four_axis.off_axis_deg)
        e = np.concatenate([cv2.Rodrigues(T[:3, :3] @ truth[:3, :3].T)[0].ravel(), T[:3, 3] - truth[:3, 3]])
        sig = np.concatenate([np.radians(r.uncertainty.rotation_std_deg), r.uncertainty.translation_std_m])
        z.extend(list((e / sig)[:3]))

        s6 = (S.eye_to_hand_series if eye_to_hand else S.hand_eye_series)(board, camera, 15, seed=1000 + seed)
        robots6, cams6 = S.noisy_poses(s6, seed, **NOISE)
        truth6 = s6.robot_T_camera if eye_to_hand else s6.tcp_T_camera
        with quiet():
            r6 = calibrator(target).calibrate(robots6, [], "PARK", cams6, camera.K, camera.dist)
        T6 = r6.robot_T_camera if eye_to_hand else r6.tcp_T_camera
        six.append(split_errors(T6, truth6, axis))
        rel = [cv2.Rodrigues(robots6[0][:3, :3].T @ R[:3, :3])[0].ravel() for R in robots6[1:]]
        u = np.linalg.svd(np.array(rel))[2][0]
        off_six = min(off_six, max(np.degrees(np.linalg.norm(v - (v @ u) * u)) for v in rel))
    four, six = np.mean(four, axis=0), np.mean(six, axis=0)
    name = "eye-to-hand" if eye_to_hand else "eye-in-hand"
    print(f"{name:<12}{'refused':>8}{'rot about':>10}{'rot across':>11}{'t across':>10}{'t along':>9}"
          f"{'rms z':>7}{'max off-axis':>13}")
    print(f"{'four-axis':<12}{refused / series:>8.2f}{four[0]:>10.4f}{four[1]:>11.4f}{four[2]:>10.3f}{four[3]:>9.3f}"
          f"{np.sqrt(np.mean(np.square(z))):>7.2f}{off_four:>13.3f}")
    print(f"{'six-axis':<12}{'':>8}{six[0]:>10.4f}{six[1]:>11.4f}{six[2]:>10.3f}{six[3]:>9.3f}{'':>7}"
          f"{off_six:>13.3f}  (smallest)")
    print(f"{'ratio':<12}{'':>8}{four[0] / six[0]:>10.2f}{four[1] / six[1]:>11.2f}{four[2] / six[2]:>10.2f}", flush=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--series", type=int, default=100)
    args = ap.parse_args()
    board, camera = S.charuco(), S.make_camera(1280, 960)
    for eye_to_hand in (False, True):
        run(eye_to_hand, args.series, board, camera)


if __name__ == "__main__":
    main()
