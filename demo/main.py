"""vesk main job: a tour of the compiled core on built-in data."""

from __future__ import annotations

import sys

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


def main() -> int:
    show_layout()
    show_poses()
    return 0


if __name__ == "__main__":
    sys.exit(main())
