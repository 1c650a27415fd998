"""The hand-eye re-check (diagnostics.verify_hand_eye) on the rendered cell: how often it calls an
unchanged cell "changed", how often it catches a camera moved on its mount, and how long one check takes.

    .venv/bin/python bench/hand_eye_verify.py [--trials 100] [--views 3] [--calibrations 4] [--eye-to-hand]
    .venv/bin/python bench/hand_eye_verify.py --real      # the shared real dataset (skipped when absent)

The cell is the main job's: a 12 x 9 ChArUco board (30 mm squares) and a 960 x 720 camera. Each calibration
renders 20 views, disturbs the robot poses by 0.2 mm / 0.02 deg per axis and calibrates with refine=True (its
record then holds the noise estimate and the uncertainty), writes the result file and loads it back. Each trial
renders `--views` new views at new poses; the robot poses handed to the check carry fresh noise of the same
size. "moved" trials render the views with the camera moved on its mount by 1 mm along a random direction and
0.1 deg about a random axis (the check still gets the stored calibration and the poses the robot reports).
The time of a check is printed beside the time of the same views' cv2 ChArUco detection and solvePnP.
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import tempfile
import time

import cv2
import numpy as np

import _vesk
from _vesk import diagnostics, io
from vesk_testing import scene as S

from common import quiet

ROBOT_M, ROBOT_DEG = 0.2e-3, 0.02
REAL = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / "eye_to_hand_charuco"


def random_move(rng, mm=1.0, deg=0.1):
    axis = rng.normal(size=3)
    axis /= np.linalg.norm(axis)
    direction = rng.normal(size=3)
    direction /= np.linalg.norm(direction)
    return S.make_T(cv2.Rodrigues(axis * np.radians(deg))[0], direction * mm / 1000)


def calibrate(board, camera, seed, eye_to_hand, out):
    make = S.eye_to_hand_series if eye_to_hand else S.hand_eye_series
    s = make(board, camera, 20, seed=100 + seed, max_tilt=40.0, max_shift=0.3)
    robots = S.noisy_robot_poses(s.robot_T_tcp, np.random.default_rng(seed), ROBOT_M, ROBOT_DEG)
    cls = _vesk.EyeToHandCalibrator if eye_to_hand else _vesk.EyeInHandCalibrator
    target = _vesk.CharucoTarget(*board.target_args())
    with quiet():
        r = cls(target).calibrate(robots, s.images(), "TSAI", output_path=out, refine=True)
    assert r.ok, "the calibration failed"
    load = io.load_eye_to_hand_result if eye_to_hand else io.load_hand_eye_result
    return s, load(out)


def new_views(board, camera, s, seed, n, eye_to_hand, move=None):
    """Images of n new poses (the camera moved by `move` on its mount, or in the cell) and the robot poses
    as the robot reports them."""
    make = S.eye_to_hand_series if eye_to_hand else S.hand_eye_series
    if eye_to_hand:
        fresh = make(board, camera, n, seed=seed, robot_T_camera=s.robot_T_camera, tcp_T_target=s.tcp_T_target)
        C = fresh.robot_T_camera if move is None else fresh.robot_T_camera @ move
        views = [S.inv_T(C) @ R @ fresh.tcp_T_target for R in fresh.robot_T_tcp]
    else:
        fresh = make(board, camera, n, seed=seed, tcp_T_camera=s.tcp_T_camera, robot_T_target=s.robot_T_target)
        X = fresh.tcp_T_camera if move is None else fresh.tcp_T_camera @ move
        views = [S.inv_T(X) @ S.inv_T(R) @ fresh.robot_T_target for R in fresh.robot_T_tcp]
    images = [S.render(board, camera, V) for V in views]
    robots = S.noisy_robot_poses(fresh.robot_T_tcp, np.random.default_rng(seed + 1), ROBOT_M, ROBOT_DEG)
    return robots, images


def cv2_baseline(board, camera, images):
    """cv2's ChArUco detection and solvePnP of the same views: the floor a check's time stands on."""
    b = cv2.aruco.CharucoBoard((board.params["squares_x"], board.params["squares_y"]), board.params["square"],
                               board.params["marker"], cv2.aruco.getPredefinedDictionary(board.params["dict_id"]))
    detector = cv2.aruco.CharucoDetector(b)
    for img in images:
        corners, ids, _, _ = detector.detectBoard(cv2.cvtColor(img, cv2.COLOR_BGR2GRAY))
        obj, pts = b.matchImagePoints(corners, ids)
        cv2.solvePnP(obj, pts, camera.K, camera.dist)


def run(args):
    board = S.charuco(12, 9, 0.03, 0.022)
    camera = S.make_camera(960, 720)
    counts = {"unchanged": {}, "moved": {}}
    times, base_times, moved_found = [], [], 0
    per_cal = max(1, args.trials // args.calibrations)
    tmp = pathlib.Path(tempfile.mkdtemp())
    trial = 0
    for c in range(args.calibrations):
        s, record = calibrate(board, camera, c, args.eye_to_hand, tmp / f"cal{c}")
        for k in range(per_cal if c < args.calibrations - 1 else args.trials - trial):
            seed = 1000 * (c + 1) + k
            for case in ("unchanged", "moved"):
                move = random_move(np.random.default_rng(seed)) if case == "moved" else None
                robots, images = new_views(board, camera, s, seed, args.views, args.eye_to_hand, move)
                t0 = time.perf_counter()
                v = diagnostics.verify_hand_eye(record, robots, images)
                times.append(time.perf_counter() - t0)
                t0 = time.perf_counter()
                cv2_baseline(board, camera, images)
                base_times.append(time.perf_counter() - t0)
                counts[case][v.verdict] = counts[case].get(v.verdict, 0) + 1
                moved_found += case == "moved" and v.moved == "camera"
                if trial == 0 and case == "moved":
                    print(v.format())
            trial += 1
    print(f"{trial} trials, {args.views} new views each, {args.calibrations} calibrations, robot noise "
          f"{ROBOT_M * 1000:g} mm / {ROBOT_DEG:g} deg, {'eye-to-hand' if args.eye_to_hand else 'eye-in-hand'}")
    for case, c in counts.items():
        print(f"  {case:<10} " + ", ".join(f"{k} {n}" for k, n in sorted(c.items())))
    print(f"  moved trials that name the camera as the part that moved: {moved_found}")
    t, b = np.array(times), np.array(base_times)
    print(f"  time per check: median {np.median(t):.3f} s, max {t.max():.3f} s; cv2 detection + solvePnP of the "
          f"same views {np.median(b):.3f} s (ratio {np.median(t) / np.median(b):.2f})")


def real(args):
    """Calibrate from the first 12 usable images, re-check with the rest unchanged and with the stored
    transform moved by 1 mm / 0.1 deg (and 5 mm / 0.5 deg)."""
    if not REAL.is_dir():
        print(f"real dataset not found at {REAL}: skipped")
        return
    images, poses = io.load_hand_eye_dataset(REAL)
    target = _vesk.CharucoTarget(5, 7, 0.036195, 0.018256, "DICT_6X6_250")
    tmp = pathlib.Path(tempfile.mkdtemp())
    with quiet():
        r = _vesk.EyeToHandCalibrator(target).calibrate(poses[:12], images[:12], "PARK", output_path=tmp,
                                                        refine=True)
    assert r.ok
    record = io.load_eye_to_hand_result(tmp)
    rest = list(range(12, len(images)))
    groups = [rest[k:k + 3] for k in range(0, len(rest), 3)] + [rest]
    rng = np.random.default_rng(1)
    for label, move in [("unchanged", None), ("moved 1 mm / 0.1 deg", (1.0, 0.1)), ("moved 5 mm / 0.5 deg", (5.0, 0.5))]:
        stored = record
        if move is not None:
            stored = io.load_eye_to_hand_result(tmp)
            stored.robot_T_camera = stored.robot_T_camera @ random_move(rng, *move)
        for g in groups[:args.real_groups]:
            g = g[:5]
            t0 = time.perf_counter()
            v = diagnostics.verify_hand_eye(stored, [poses[i] for i in g], [images[i] for i in g])
            dt = time.perf_counter() - t0
            rms = ", ".join(f"{x:.2f}" for x in v.rms_px)
            print(f"  {label:<22} images {g}: {v.verdict:<12} moved '{v.moved}', statistic {v.statistic:.1f} / "
                  f"{v.threshold:.1f}, RMS px [{rms}], camera change {v.camera_change_mm:.2f} mm "
                  f"{v.camera_change_deg:.3f} deg, {dt:.2f} s")
    print(v.format())


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--trials", type=int, default=100)
    ap.add_argument("--views", type=int, default=3)
    ap.add_argument("--calibrations", type=int, default=4)
    ap.add_argument("--eye-to-hand", action="store_true")
    ap.add_argument("--real", action="store_true", help="the shared real dataset instead")
    ap.add_argument("--real-groups", type=int, default=3)
    args = ap.parse_args(argv)
    real(args) if args.real else run(args)


if __name__ == "__main__":
    sys.exit(main())
