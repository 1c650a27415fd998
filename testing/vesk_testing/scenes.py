"""The scenes shared by the tests, the demo and the benchmarks, each with its ground truth.

Builders render on every call; the test suite caches them per session
(tests/conftest.py) and the benchmarks build each once per run.
"""

from __future__ import annotations

import numpy as np

import _vesk

from . import scene as S

KINDS = ("chessboard", "charuco", "aruco")
METHODS = ["TSAI", "PARK", "HORAUD", "ANDREFF", "DANIILIDIS"]
TARGETS = {"chessboard": _vesk.ChessboardTarget, "charuco": _vesk.CharucoTarget, "aruco": _vesk.ArucoTarget}
BOARDS = {"chessboard": S.chessboard, "charuco": S.charuco, "aruco": S.aruco_grid}


def target_of(kind: str, board: S.Board):
    """The core's target object for a rendered board."""
    return TARGETS[kind](*board.target_args())


def hand_eye_series(kind: str, single_axis: bool = False):
    """(truth, images, target): 15 robot poses of an eye-in-hand camera looking at the board."""
    # ArUco corners come out of OpenCV's default detector ~0.5 px inside the border:
    # larger images keep that bias well below the bounds the tests check.
    camera = S.make_camera(1280, 960) if kind == "aruco" else S.make_camera()
    board = BOARDS[kind]()
    s = S.hand_eye_series(board, camera, 15, single_axis=single_axis)
    return s, s.images(), target_of(kind, board)


def eye_to_hand_series(kind: str, n: int = 15, size: tuple[int, int] = (640, 480), single_axis: bool = False):
    """(truth, images, target): n flange poses carrying the board before a fixed camera."""
    camera = S.make_camera(1280, 960) if kind == "aruco" else S.make_camera(*size)
    board = BOARDS[kind]()
    s = S.eye_to_hand_series(board, camera, n, single_axis=single_axis)
    return s, s.images(), target_of(kind, board)


def rig_scene(kind: str):
    """(truth, image lists, target): a 3-camera rig with known reference_T_camera."""
    # The ChArUco rig has enough corners and tilted frames that each camera's
    # own intrinsics are well determined: with 12 frames of a 7 x 5 board the
    # fitted k3 reached 6 and cx 1.4 px off, which the stereo solves inherit.
    if kind == "charuco":
        board = S.charuco(10, 7, 0.035, 0.026)
        r = S.rig(board, S.default_rig_cameras(960, 720), n_frames=20, baselines=(0.0, 0.15, 0.35), max_tilt=35.0)
    else:
        board = {"chessboard": lambda: S.chessboard(7, 5, 0.03), "aruco": S.aruco_grid}[kind]()
        r = S.rig(board, S.default_rig_cameras(960, 720), n_frames=12, baselines=(0.0, 0.15, 0.35))
    return r, r.images(), target_of(kind, board)


class IntrinsicScene:
    """Views of one board through the default camera at known poses."""

    def __init__(self, kind: str, n_views: int = 16):
        self.kind = kind
        self.camera = S.make_camera()
        self.board = BOARDS[kind]()
        self.poses = S.view_poses(self.board, self.camera, n_views, seed=100 + len(kind))
        self.images = [S.render(self.board, self.camera, T) for T in self.poses]

    def target(self):
        return target_of(self.kind, self.board)


def noisy_charuco_views(n: int = 12):
    """(images, target): ChArUco views with sensor noise of sigma 2 grey levels."""
    camera, board = S.make_camera(), S.charuco()
    images = [S.render(board, camera, T, noise_sigma=2.0, seed=k) for k, T in enumerate(S.view_poses(board, camera, n))]
    return images, _vesk.CharucoTarget(*board.target_args())


def random_images(n: int, seed: int = 0) -> list[np.ndarray]:
    """Small random BGR images for the file formats (no target in them)."""
    rng = np.random.default_rng(seed)
    return [rng.integers(0, 256, (24, 32, 3), dtype=np.uint8) for _ in range(n)]


def sample_poses(n: int) -> list[np.ndarray]:
    """n distinct robot poses for the file formats."""
    return [_vesk.tf.pose_to_transformation_matrix([0.1 * i, -0.2, 0.3 + i, 10.0 * i, -5.0, 3.0 * i]) for i in range(n)]
