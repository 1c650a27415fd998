"""Accuracy and coverage of the joint hand-eye solve against the five closed forms, over a noise grid.

    .venv/bin/python bench/hand_eye_joint.py                 # corner-noise series, 60 seeds a row
    .venv/bin/python bench/hand_eye_joint.py --rendered 20   # also rendered series, own intrinsics
    .venv/bin/python bench/hand_eye_joint.py --eye-to-hand   # the fixed-camera series instead

Each series has 12-20 frames. Corner-noise series project every board corner with the true camera and
add Gaussian noise; their robot poses are off by a random flange motion. The joint solve starts from
TSAI with the intrinsics held. Columns: mean translation and rotation error of the best closed form
(the method with the lowest mean over the row) and of the joint solve, their ratio, the estimated
noise levels over the injected ones (mean ratio), and the joint sigma's coverage: the share of
components within 2 sigma and the RMS of error / sigma.
"""

from __future__ import annotations

import argparse
import sys

import cv2
import numpy as np

import _vesk
from vesk_testing import scene as S

from hand_eye_coverage import quiet

GRID = [(0.5e-3, 0.05, 0.3), (0.0, 0.0, 0.3), (0.2e-3, 0.02, 0.5), (1e-3, 0.1, 0.1)]
METHODS = ["TSAI", "PARK", "HORAUD", "ANDREFF", "DANIILIDIS"]


def errors(T, truth):
    """(translation mm, rotation deg) of T against the truth, and the six components (rad, m)."""
    r = cv2.Rodrigues(T[:3, :3] @ truth[:3, :3].T)[0].ravel()
    t = T[:3, 3] - truth[:3, 3]
    return np.linalg.norm(t) * 1000, np.degrees(np.linalg.norm(r)), np.concatenate([r, t])


def z_scores(components, u):
    return components / np.concatenate([np.radians(u.rotation_std_deg), u.translation_std_m])


def series(seed, eye_to_hand, board, camera):
    n = 12 + seed % 9
    if eye_to_hand:
        s = S.eye_to_hand_series(board, camera, n, seed=seed)
        return s, s.robot_T_camera
    s = S.hand_eye_series(board, camera, n, seed=seed)
    return s, s.tcp_T_camera


def closed_forms(target, robots, pixels, objects, camera, eye_to_hand):
    cams = []
    for uv, obj in zip(pixels, objects):
        _, rvec, tvec = cv2.solvePnP(obj, uv, camera.K, camera.dist)
        cams.append(S.make_T(cv2.Rodrigues(rvec)[0], tvec.ravel()))
    cls = _vesk.EyeToHandCalibrator if eye_to_hand else _vesk.EyeInHandCalibrator
    out = {}
    for m in METHODS:
        r = cls(target).calibrate(robots, [], m, cams, camera.K, camera.dist)
        out[m] = (r.robot_T_camera if eye_to_hand else r.tcp_T_camera) if r.ok else None
    return out


def run_row(robot_m, robot_deg, px, seeds, eye_to_hand):
    board = S.charuco()
    target = _vesk.CharucoTarget(*board.target_args())
    camera = S.make_camera(1280, 960)
    closed = {m: [] for m in METHODS}
    joint, z, noise = [], [], []
    for seed in range(seeds):
        s, truth = series(seed, eye_to_hand, board, camera)
        robots, pixels, objects = S.noisy_corners(s, 1000 + seed, robot_m=robot_m, robot_deg=robot_deg, corner_px=px)
        with quiet():
            for m, T in closed_forms(target, robots, pixels, objects, camera, eye_to_hand).items():
                closed[m].append(errors(T, truth)[:2] if T is not None else (np.inf, np.inf))
            j = _vesk.diagnostics.refine_hand_eye(robots, pixels, objects, camera.K, camera.dist, "TSAI",
                                                  eye_to_hand=eye_to_hand)
        if not j.ok:
            joint.append((np.inf, np.inf))
            continue
        et, er, comp = errors(j.hand_eye, truth)
        joint.append((et, er))
        z += list(z_scores(comp, j.uncertainty))
        noise.append((j.noise.pixel_px, j.noise.robot_translation_m, j.noise.robot_rotation_deg))
    best = min(METHODS, key=lambda m: np.mean([e[0] for e in closed[m]]))
    bt, br = np.mean(closed[best], axis=0)
    jt, jr = np.mean(joint, axis=0)
    z = np.abs(np.array(z))
    levels = np.mean(noise, axis=0) / np.array([px, robot_m or np.nan, robot_deg or np.nan])
    return dict(best=best, bt=bt, br=br, jt=jt, jr=jr, levels=levels, in2=np.mean(z < 2),
                rmsz=np.sqrt(np.mean(z ** 2)), n=seeds)


def rendered_row(robot_m, robot_deg, seeds, eye_to_hand):
    """Rendered 960x720 series, the camera calibrated from the same images; the joint solve frees it."""
    board = S.charuco()
    target = _vesk.CharucoTarget(*board.target_args())
    camera = S.make_camera(960, 720)
    cls = _vesk.EyeToHandCalibrator if eye_to_hand else _vesk.EyeInHandCalibrator
    z, closed, joint = [], [], []
    for seed in range(seeds):
        s, truth = series(seed, eye_to_hand, board, camera)
        robots = S.noisy_robot_poses(s.robot_T_tcp, np.random.default_rng(seed), robot_m, robot_deg)
        images = [S.render(board, camera, V, noise_sigma=3.0, seed=100 * seed + k)
                  for k, V in enumerate(s.camera_T_target)]
        with quiet():
            r = cls(target).calibrate(robots, images, "PARK", refine=True)
        if not r.ok:
            continue
        T = r.robot_T_camera if eye_to_hand else r.tcp_T_camera
        closed.append(errors(r.joint.closed_form, truth)[:2])
        et, er, comp = errors(T, truth)
        joint.append((et, er))
        z += list(z_scores(comp, r.uncertainty))
    z = np.abs(np.array(z))
    return np.mean(closed, axis=0), np.mean(joint, axis=0), np.mean(z < 2), np.sqrt(np.mean(z ** 2)), len(joint)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seeds", type=int, default=60)
    ap.add_argument("--rendered", type=int, default=0, help="seeds of rendered series per row (slow)")
    ap.add_argument("--eye-to-hand", action="store_true")
    args = ap.parse_args(argv)
    kind = "eye-to-hand" if args.eye_to_hand else "eye-in-hand"
    print(f"Joint solve against the best closed form, {kind}, corner-noise series ({args.seeds} seeds a row)")
    print(f"{'robot mm / deg, px':<20}{'best':>11}{'closed mm / deg':>18}{'joint mm / deg':>18}{'ratio t / r':>14}"
          f"{'levels px / m / deg':>22}{'in 2 sig':>10}{'rms z':>8}")
    for robot_m, robot_deg, px in GRID:
        r = run_row(robot_m, robot_deg, px, args.seeds, args.eye_to_hand)
        lv = " / ".join("-" if not np.isfinite(v) else f"{v:.2f}" for v in r["levels"])
        print(f"{f'{robot_m * 1000:g} / {robot_deg:g}, {px:g}':<20}{r['best']:>11}"
              f"{r['bt']:>10.3f} / {r['br']:.3f}{r['jt']:>10.3f} / {r['jr']:.3f}"
              f"{r['jt'] / r['bt']:>8.2f} / {r['jr'] / r['br']:.2f}{lv:>22}{r['in2']:>10.3f}{r['rmsz']:>8.2f}",
              flush=True)
    if args.rendered:
        print(f"\nRendered series, intrinsics calibrated from the images and freed in the joint solve "
              f"({args.rendered} seeds a row)")
        for robot_m, robot_deg in ((0.5e-3, 0.05), (0.2e-3, 0.02)):
            c, j, in2, rmsz, n = rendered_row(robot_m, robot_deg, args.rendered, args.eye_to_hand)
            print(f"{f'{robot_m * 1000:g} / {robot_deg:g}':<20}{'PARK':>11}{c[0]:>10.3f} / {c[1]:.3f}"
                  f"{j[0]:>10.3f} / {j[1]:.3f}{j[0] / c[0]:>8.2f} / {j[1] / c[1]:.2f}{'':>22}{in2:>10.3f}{rmsz:>8.2f}"
                  f"  ({n} ok)", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
