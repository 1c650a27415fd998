"""vesk main job: a complete robot-cell calibration.

With no arguments it builds a synthetic cell (a ChArUco board, an eye-in-hand
camera with a known tcp_T_camera, a rig of three synchronised cameras, robot
poses), saves the datasets, loads them back and calibrates everything, ending
with a table of recovered values against the ground truth. Given dataset
folders it calibrates those instead:

    python demo/main.py --out out
    python demo/main.py --out out --hand-eye-dir D1 --rig-dir D2 --cameras 3 \
        --charuco 7 5 0.04 0.03 DICT_4X4_1000
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time

import cv2
import numpy as np

import _vesk
from _vesk import diagnostics, io

ROOT = pathlib.Path(__file__).resolve().parent.parent


def rule(title: str) -> None:
    print("\n" + "#" * 70 + f"\n# {title}\n" + "#" * 70, flush=True)


def synthetic_cell(out: pathlib.Path, seed: int = 0):
    """Render the built-in cell and store it as the two dataset folders a user would have.

    A 12 x 9 ChArUco board (88 corners, 30 mm squares) seen by 960 x 720
    cameras: enough corners and tilted views spread over the image that every
    camera's focal length, principal point and distortion are pinned down by
    its own views, and the rig's stereo solves inherit well-conditioned
    intrinsics.
    """
    sys.path.insert(0, str(ROOT / "tests"))
    from synthetic import scene as S

    board = S.charuco(12, 9, 0.03, 0.022)
    camera = S.make_camera(960, 720)
    hand_eye = S.hand_eye_series(board, camera, 20, seed=7 + seed, max_tilt=40.0, max_shift=0.3)
    rig = S.rig(board, S.default_rig_cameras(960, 720), n_frames=30, seed=3 + seed, baselines=(0.0, 0.15, 0.35),
                max_tilt=40.0, max_shift=0.15, distance_scale=0.9)
    he_dir, rig_dir = out / "datasets" / "hand_eye", out / "datasets" / "rig"
    io.save_hand_eye_dataset(he_dir, hand_eye.images(), hand_eye.robot_T_tcp)
    for frames in zip(*rig.images()):
        io.save_multi_camera_capture(rig_dir, list(frames), io.next_multi_camera_capture_index(rig_dir, 3))
    truth = {"camera": hand_eye.camera, "tcp_T_camera": hand_eye.tcp_T_camera,
             "reference_T_camera": rig.reference_T_camera}
    return he_dir, rig_dir, _vesk.CharucoTarget(*board.target_args()), 3, truth


def converged_options() -> "_vesk.IntrinsicOptions":
    """Intrinsic options whose solve runs to convergence.

    The default epsilon (0.001) suits cornerSubPix but can stop the camera
    solve early: on 20 views of this cell it left cx 3.8 px off the truth with
    an RMS of 0.086 px against 0.047 px at convergence.
    """
    options = _vesk.IntrinsicOptions()
    options.criteria = _vesk.TermCriteria(_vesk.TERM_CRITERIA_COUNT + _vesk.TERM_CRITERIA_EPS, 100, 1e-9)
    return options


def pose_error(T, G):
    dt = float(np.linalg.norm(T[:3, 3] - G[:3, 3]))
    c = (np.trace(T[:3, :3] @ G[:3, :3].T) - 1) / 2
    return dt * 1000, float(np.degrees(np.arccos(np.clip(c, -1, 1))))


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", type=pathlib.Path, default=pathlib.Path("out"), help="output folder (default: out)")
    ap.add_argument("--hand-eye-dir", type=pathlib.Path, help="a hand-eye dataset folder (image_II.png + .npz)")
    ap.add_argument("--rig-dir", type=pathlib.Path, help="a multi-camera capture folder (cam_CC/...)")
    ap.add_argument("--cameras", type=int, default=3, help="number of rig cameras (default 3)")
    ap.add_argument("--seed", type=int, default=0, help="random seed of the built-in cell (default 0)")
    ap.add_argument("--charuco", nargs=5, metavar=("SX", "SY", "SQUARE", "MARKER", "DICT"),
                    help="the ChArUco board of your datasets")
    args = ap.parse_args(argv)
    out = args.out
    out.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()

    truth = None
    if args.hand_eye_dir or args.rig_dir:
        if not args.charuco:
            ap.error("--charuco is required with your own datasets")
        sx, sy, sq, mk, name = args.charuco
        target = _vesk.CharucoTarget(int(sx), int(sy), float(sq), float(mk), name)
        he_dir, rig_dir, n_cams = args.hand_eye_dir, args.rig_dir, args.cameras
    else:
        rule("synthetic robot cell: rendering and saving the datasets")
        he_dir, rig_dir, target, n_cams, truth = synthetic_cell(out, args.seed)
    print(f"target: {target!r}")

    he = rig = None
    if he_dir:
        rule("intrinsic calibration")
        images, poses = io.load_hand_eye_dataset(he_dir)
        options = converged_options()
        intrinsic = _vesk.IntrinsicCalibrator(target, options)
        r = intrinsic.calibrate(images)
        print(f"views used: {len(r.successful_indices)} of {len(images)}, reprojection error "
              f"{r.reprojection_error:.4f} px")
        print("K =\n", r.intrinsic_matrix, "\nd =", r.distortion_coefficients.ravel())
        cv2.imwrite(str(out / "intrinsic_view_00_annotated.png"), intrinsic.corner_images()[0])

        rule("eye-in-hand calibration")
        calibrator = _vesk.EyeInHandCalibrator(target, options)
        he = calibrator.calibrate(poses, images, "TSAI", output_path=out)
        for k, img in enumerate(calibrator.corner_images()[:3]):
            cv2.imwrite(str(out / f"hand_eye_view_{k:02d}_annotated.png"), img)

        rule("diagnostics: the five hand-eye solvers side by side")
        results = diagnostics.compare_hand_eye_methods(target, poses, images, [], r.intrinsic_matrix,
                                                       r.distortion_coefficients)
        print(diagnostics.format_method_comparison(results))

        rule("benchmark: cross-validation and hand-eye round trip")
        bench = _vesk.CalibrationBenchmark()
        result = bench.run(images, target, options, poses, options)
        print(_vesk.CalibrationBenchmark.format_results([result]))
        _vesk.CalibrationBenchmark.save_json([result], str(out / "benchmark.json"))

    if rig_dir:
        rule("multi-camera rig calibration")
        lists = io.load_multi_camera_dataset(rig_dir, n_cams)
        mc = _vesk.MultiCameraCalibrator(target, n_cams)
        rig = mc.calibrate(lists, output_path=out)
        ok, n = target.detect_and_annotate(lists[0][0])
        cv2.imwrite(str(out / "rig_cam_00_frame_00_annotated.png"), ok)

    if truth is not None:
        rule("recovered values against the ground truth")
        print(f"{'quantity':<34}{'recovered':>12}{'truth':>12}{'error':>12}")
        K, Kt = he.intrinsic_matrix, truth["camera"].K
        for name, (i, j) in {"fx": (0, 0), "fy": (1, 1), "cx": (0, 2), "cy": (1, 2)}.items():
            err = f"{100 * (K[i, j] / Kt[i, j] - 1):+.3f} %" if i == j else f"{K[i, j] - Kt[i, j]:+.3f} px"
            print(f"{'intrinsics ' + name:<34}{K[i, j]:>12.3f}{Kt[i, j]:>12.3f}{err:>12}")
        dt, dr = pose_error(he.tcp_T_camera, truth["tcp_T_camera"])
        print(f"{'tcp_T_camera':<34}{'':>24}{dt:>8.3f} mm {dr:.4f} deg")
        for c in range(1, n_cams):
            dt, dr = pose_error(rig.reference_T_camera_list[c], truth["reference_T_camera"][c])
            print(f"{f'reference_T_camera[{c}]':<34}{'':>24}{dt:>8.3f} mm {dr:.4f} deg")
    print(f"\noutputs in {out}: {', '.join(sorted(p.name for p in out.iterdir()))}")
    print(f"done in {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
