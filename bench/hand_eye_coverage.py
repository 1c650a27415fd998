"""How often the hand-eye uncertainty covers the true error, over many synthetic series.

    .venv/bin/python bench/hand_eye_coverage.py               # target poses by PnP, 400 seeds per row
    .venv/bin/python bench/hand_eye_coverage.py --rendered 40 # also rendered views, own intrinsics

Each series has robot pose noise (a random flange motion per pose) and corner noise; the error of
tcp_T_camera against the truth, divided by the reported sigma, should lie within 2 about 95 % of the
time and have an RMS near 1.
"""

from __future__ import annotations

import argparse
import sys

import cv2
import numpy as np

import _vesk
from vesk_testing import scene as S

from common import quiet

ROWS = [("TSAI", 0.5e-3, 0.05, 0.3), ("PARK", 1e-3, 0.02, 0.1), ("HORAUD", 0.5e-3, 0.05, 0.3),
        ("ANDREFF", 0.5e-3, 0.05, 0.3), ("DANIILIDIS", 0.2e-3, 0.1, 0.3)]


def error_over_sigma(result, truth):
    r = cv2.Rodrigues(truth[:3, :3] @ result.tcp_T_camera[:3, :3].T)[0].ravel()
    err = np.concatenate([r, result.tcp_T_camera[:3, 3] - truth[:3, 3]])
    u = result.uncertainty
    return err / np.concatenate([np.radians(u.rotation_std_deg), u.translation_std_m])


def row(name, z):
    z = np.abs(np.asarray(z))
    print(f"{name:<44}{np.mean(z < 2):>10.3f}{np.sqrt(np.mean(z ** 2)):>10.3f}{len(z) // 6:>8}", flush=True)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seeds", type=int, default=400)
    ap.add_argument("--rendered", type=int, default=0, help="seeds of rendered 960x720 series (slow)")
    args = ap.parse_args(argv)
    board = S.charuco()
    target = _vesk.CharucoTarget(*board.target_args())
    print(f"{'series (method, robot mm / deg, corner px)':<44}{'in 2 sig':>10}{'rms z':>10}{'seeds':>8}")
    camera = S.make_camera(1280, 960)
    for method, robot_m, robot_deg, px in ROWS:
        z = []
        for seed in range(args.seeds):
            s = S.hand_eye_series(board, camera, 12 + seed % 14, seed=seed)
            robots, cams = S.noisy_poses(s, seed, robot_m=robot_m, robot_deg=robot_deg, corner_px=px)
            with quiet():
                r = _vesk.EyeInHandCalibrator(target).calibrate(robots, [], method, cams, camera.K, camera.dist)
            z += list(error_over_sigma(r, s.tcp_T_camera))
        row(f"{method}, {robot_m * 1000:g} / {robot_deg:g}, {px:g}", z)
    camera = S.make_camera(960, 720)
    for robot_m, robot_deg in ((0.5e-3, 0.05), (0.0, 0.0)):
        if not args.rendered:
            break
        z = []
        for seed in range(args.rendered):
            s = S.hand_eye_series(board, camera, 20, seed=seed)
            robots, _ = S.noisy_poses(s, seed, robot_m=robot_m, robot_deg=robot_deg, corner_px=0.0)
            images = [S.render(board, camera, V, noise_sigma=3.0, seed=100 * seed + k)
                      for k, V in enumerate(s.camera_T_target)]
            with quiet():
                r = _vesk.EyeInHandCalibrator(target).calibrate(robots, images, "TSAI")
            z += list(error_over_sigma(r, s.tcp_T_camera))
        row(f"rendered, TSAI, {robot_m * 1000:g} / {robot_deg:g}, noise 3", z)
    return 0


if __name__ == "__main__":
    sys.exit(main())
