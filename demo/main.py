"""vesk main job: a tour of the compiled core on built-in data."""

from __future__ import annotations

import argparse
import pathlib
import sys

import cv2
import numpy as np

import _vesk
from _vesk import tf


def rule(title: str) -> None:
    print("=" * 60)
    print(title.upper())
    print("=" * 60)


def show_layout() -> None:
    rule("module layout")
    print(f"{_vesk.__name__}: {_vesk.__doc__}")
    for name in sorted(n for n in dir(_vesk) if not n.startswith("__")):
        obj = getattr(_vesk, name)
        kind = "submodule" if type(obj) is type(_vesk) else type(obj).__name__
        print(f"  {name:<40} {kind}")
        if kind == "submodule":
            for sub in sorted(n for n in dir(obj) if not n.startswith("__")):
                print(f"    {name}.{sub}")


def show_poses() -> None:
    rule("pose conversions")
    np.set_printoptions(precision=6, suppress=True)
    pose = [0.4, -0.1, 0.25, 15.0, -30.0, 100.0]
    T = tf.pose_to_transformation_matrix(pose)
    print(f"pose [x, y, z, rx, ry, rz] = {pose}")
    print("robot_T_tcp =")
    print(T)
    print(f"back to a pose: {[round(v, 9) for v in tf.transformation_matrix_to_pose(T)]}")
    jitter = [T @ tf.pose_to_transformation_matrix([0.001 * k, 0, 0, 0, 0, 0.5 * k]) for k in (-2, -1, 0, 1, 2)]
    print("average of five poses jittered about it:")
    print(tf.average_pose(jitter))


def show_intrinsics(out_dir: pathlib.Path) -> None:
    rule("intrinsic calibration (synthetic ChArUco views)")
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
    from synthetic import scene as S

    camera = S.make_camera(1280, 960)
    board = S.charuco(7, 5, 0.04, 0.03)
    images = [S.render(board, camera, T) for T in S.view_poses(board, camera, 15, seed=8)]
    target = _vesk.CharucoTarget(7, 5, 0.04, 0.03, "DICT_4X4_1000")
    calibrator = _vesk.IntrinsicCalibrator(target)
    result = calibrator.calibrate(images)
    print(f"target: {target!r}")
    print(f"views used: {len(result.successful_indices)} of {len(images)}, "
          f"mean reprojection error {result.reprojection_error:.4f} px")
    K, Kt = result.intrinsic_matrix, camera.K
    print(f"{'':<4}{'recovered':>14}{'truth':>14}{'error':>12}")
    for name, (i, j) in {"fx": (0, 0), "fy": (1, 1), "cx": (0, 2), "cy": (1, 2)}.items():
        print(f"{name:<4}{K[i, j]:>14.3f}{Kt[i, j]:>14.3f}{K[i, j] - Kt[i, j]:>+12.3f}")
    print(f"distortion: {np.array2string(result.distortion_coefficients.ravel(), precision=5)}")
    print(f"truth:      {np.array2string(camera.dist.ravel(), precision=5)}")
    out_dir.mkdir(parents=True, exist_ok=True)
    path = out_dir / "intrinsic_view_00_annotated.png"
    cv2.imwrite(str(path), calibrator.corner_images()[0])
    print(f"annotated view written to {path}")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--out", type=pathlib.Path, default=pathlib.Path("out"), help="output folder (default: out)")
    args = ap.parse_args(argv)
    show_layout()
    show_poses()
    show_intrinsics(args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
