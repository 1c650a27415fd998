"""Synthetic scenes with ground truth: boards rendered through a known camera.

Every image is rendered by inverse mapping: each (supersampled) output pixel is
undistorted once per camera into a normalised ray, the ray is intersected with
the board plane through the homography of the pose, and the board texture is
sampled there. Supersampling followed by an area downscale approximates the
pixel integration of a real sensor, so corner detectors find the true
projections to a few hundredths of a pixel on noise-free renders.

Board frames follow OpenCV's board conventions: x to the right and y downwards
on the printed face, z into the board, lengths in metres.
"""

from __future__ import annotations

import dataclasses
import functools
from typing import Sequence

import cv2
import numpy as np

# --------------------------------------------------------------------------
# rigid transforms


def rot_x(deg: float) -> np.ndarray:
    a = np.deg2rad(deg)
    c, s = np.cos(a), np.sin(a)
    return np.array([[1, 0, 0], [0, c, -s], [0, s, c]], dtype=np.float64)


def rot_y(deg: float) -> np.ndarray:
    a = np.deg2rad(deg)
    c, s = np.cos(a), np.sin(a)
    return np.array([[c, 0, s], [0, 1, 0], [-s, 0, c]], dtype=np.float64)


def rot_z(deg: float) -> np.ndarray:
    a = np.deg2rad(deg)
    c, s = np.cos(a), np.sin(a)
    return np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]], dtype=np.float64)


def make_T(R: np.ndarray, t: Sequence[float]) -> np.ndarray:
    T = np.eye(4)
    T[:3, :3] = R
    T[:3, 3] = np.asarray(t, dtype=np.float64)
    return T


def inv_T(T: np.ndarray) -> np.ndarray:
    R, t = T[:3, :3], T[:3, 3]
    return make_T(R.T, -R.T @ t)


def rotation_angle_deg(R: np.ndarray) -> float:
    c = (np.trace(R) - 1.0) / 2.0
    return float(np.degrees(np.arccos(np.clip(c, -1.0, 1.0))))


def pose_error(T_est: np.ndarray, T_true: np.ndarray) -> tuple[float, float]:
    """(translation error in metres, rotation error in degrees)."""
    dt = float(np.linalg.norm(T_est[:3, 3] - T_true[:3, 3]))
    dR = T_est[:3, :3] @ T_true[:3, :3].T
    return dt, rotation_angle_deg(dR)


def look_at(cam_pos: np.ndarray, target: np.ndarray, roll_deg: float = 0.0,
            down: Sequence[float] = (0.0, 1.0, 0.0)) -> np.ndarray:
    """frame_T_camera for a camera at cam_pos looking at target.

    The camera's y axis follows `down` as closely as possible (image rows run
    along it), then the camera is rolled about its optical axis.
    """
    z = np.asarray(target, float) - np.asarray(cam_pos, float)
    z /= np.linalg.norm(z)
    x = np.cross(np.asarray(down, float), z)
    x /= np.linalg.norm(x)
    y = np.cross(z, x)
    R = np.column_stack([x, y, z]) @ rot_z(roll_deg)
    return make_T(R, cam_pos)


# --------------------------------------------------------------------------
# cameras


@dataclasses.dataclass(frozen=True)
class Camera:
    K: np.ndarray
    dist: np.ndarray
    width: int
    height: int

    @property
    def size(self) -> tuple[int, int]:
        return (self.width, self.height)

    def project(self, points: np.ndarray, camera_T_points: np.ndarray) -> np.ndarray:
        """Project (N, 3) points given in a frame whose pose in the camera is camera_T_points."""
        rvec, _ = cv2.Rodrigues(camera_T_points[:3, :3])
        img, _ = cv2.projectPoints(np.asarray(points, np.float64).reshape(-1, 1, 3), rvec,
                                   camera_T_points[:3, 3].copy(), self.K, self.dist)
        return img.reshape(-1, 2)

    def depths(self, points: np.ndarray, camera_T_points: np.ndarray) -> np.ndarray:
        p = np.asarray(points, np.float64).reshape(-1, 3)
        return (p @ camera_T_points[:3, :3].T + camera_T_points[:3, 3])[:, 2]

    def sees_all(self, points: np.ndarray, camera_T_points: np.ndarray, margin: float = 15.0) -> bool:
        if np.any(self.depths(points, camera_T_points) <= 0.05):
            return False
        uv = self.project(points, camera_T_points)
        return bool(np.all((uv[:, 0] >= margin) & (uv[:, 0] <= self.width - 1 - margin)
                           & (uv[:, 1] >= margin) & (uv[:, 1] <= self.height - 1 - margin)))


def sees_none(camera: Camera, points: np.ndarray, camera_T_points: np.ndarray, slack: float = 1.3) -> bool:
    """No point lies in front of the camera within `slack` times its half field of view."""
    p = np.asarray(points, np.float64).reshape(-1, 3) @ camera_T_points[:3, :3].T + camera_T_points[:3, 3]
    front = p[:, 2] > 1e-6
    if not np.any(front):
        return True
    x = np.abs(p[front, 0] / p[front, 2]) * camera.K[0, 0] / (camera.width / 2.0)
    y = np.abs(p[front, 1] / p[front, 2]) * camera.K[1, 1] / (camera.height / 2.0)
    return bool(np.all((x > slack) | (y > slack)))


def make_camera(width: int = 640, height: int = 480, fx: float | None = None, fy: float | None = None,
                cx: float | None = None, cy: float | None = None,
                dist: Sequence[float] = (-0.12, 0.06, 0.0008, -0.0005, -0.01)) -> Camera:
    fx = 0.95 * width if fx is None else fx
    fy = fx * 1.002 if fy is None else fy
    cx = width / 2.0 + 3.5 if cx is None else cx
    cy = height / 2.0 - 2.5 if cy is None else cy
    K = np.array([[fx, 0, cx], [0, fy, cy], [0, 0, 1]], dtype=np.float64)
    return Camera(K, np.asarray(dist, np.float64).reshape(1, -1), width, height)


@functools.lru_cache(maxsize=8)
def _normalised_grid(K_bytes: bytes, dist_bytes: bytes, width: int, height: int, ss: int):
    """Undistorted normalised coordinates of every supersampled pixel centre."""
    K = np.frombuffer(K_bytes, dtype=np.float64).reshape(3, 3)
    dist = np.frombuffer(dist_bytes, dtype=np.float64).reshape(1, -1)
    us = (np.arange(width * ss, dtype=np.float64) + 0.5) / ss - 0.5
    vs = (np.arange(height * ss, dtype=np.float64) + 0.5) / ss - 0.5
    uu, vv = np.meshgrid(us, vs)
    pts = np.stack([uu.ravel(), vv.ravel()], axis=1).reshape(-1, 1, 2)
    crit = (cv2.TERM_CRITERIA_COUNT | cv2.TERM_CRITERIA_EPS, 100, 1e-12)
    und = cv2.undistortPointsIter(pts, K, dist, None, None, crit).reshape(height * ss, width * ss, 2)
    return und[..., 0].copy(), und[..., 1].copy()


# --------------------------------------------------------------------------
# boards


@dataclasses.dataclass
class Board:
    """A printed target: its texture, where the board frame lies in it, and its ground-truth points."""

    kind: str  # "chessboard" | "charuco" | "aruco"
    texture: np.ndarray  # uint8, single channel
    offset: float  # texel coordinate (continuous, pixel edges at integers) of board x = 0, y = 0
    ppm: float  # texels per metre
    points: np.ndarray  # (N, 3) float64 ground-truth feature points in the board frame
    ids: np.ndarray | None = None  # ChArUco corner ids / ArUco marker ids per point group
    params: dict = dataclasses.field(default_factory=dict)

    def target_args(self) -> tuple:
        return self.params["args"]


def chessboard(cols: int = 9, rows: int = 6, square: float = 0.025, texels: int = 100) -> Board:
    """cols x rows inner corners; corner (i, j) at (j * square, i * square, 0)."""
    margin = texels
    nx, ny = cols + 1, rows + 1
    tex = np.full((ny * texels + 2 * margin, nx * texels + 2 * margin), 255, np.uint8)
    for y in range(ny):
        for x in range(nx):
            if (x + y) % 2 == 0:
                tex[margin + y * texels: margin + (y + 1) * texels, margin + x * texels: margin + (x + 1) * texels] = 0
    jj, ii = np.meshgrid(np.arange(cols), np.arange(rows))
    pts = np.stack([jj.ravel() * square, ii.ravel() * square, np.zeros(cols * rows)], axis=1)
    ppm = texels / square
    # board origin (first inner corner) sits one square inside the printed grid
    return Board("chessboard", tex, margin + texels, ppm, pts,
                 params={"args": ((cols, rows), square), "cols": cols, "rows": rows, "square": square})


def _paint_markers(tex: np.ndarray, dictionary, ids, obj_points, offset: float, ppm: float, marker_texels: int):
    for mid, corners in zip(ids, obj_points):
        x0 = int(round(offset + corners[0][0] * ppm))
        y0 = int(round(offset + corners[0][1] * ppm))
        img = cv2.aruco.generateImageMarker(dictionary, int(mid), marker_texels, borderBits=1)
        tex[y0:y0 + marker_texels, x0:x0 + marker_texels] = img


def charuco(squares_x: int = 7, squares_y: int = 5, square: float = 0.04, marker: float = 0.03,
            dict_id: int = cv2.aruco.DICT_4X4_1000, texels: int = 120) -> Board:
    d = cv2.aruco.getPredefinedDictionary(dict_id)
    board = cv2.aruco.CharucoBoard((squares_x, squares_y), square, marker, d)
    bits = d.markerSize + 2
    marker_texels = int(round(texels * marker / square))
    # exact cell edges: marker side a multiple of its cell count, centred in the square
    marker_texels -= marker_texels % bits
    if (texels - marker_texels) % 2:
        marker_texels -= bits
    ppm = texels / square
    margin = texels // 2
    tex = np.full((squares_y * texels + 2 * margin, squares_x * texels + 2 * margin), 255, np.uint8)
    for y in range(squares_y):
        for x in range(squares_x):
            if x % 2 == y % 2:
                tex[margin + y * texels: margin + (y + 1) * texels, margin + x * texels: margin + (x + 1) * texels] = 0
    real_marker = marker_texels / ppm
    board_draw = cv2.aruco.CharucoBoard((squares_x, squares_y), square, real_marker, d)
    _paint_markers(tex, d, board_draw.getIds().ravel(), board_draw.getObjPoints(), margin, ppm, marker_texels)
    pts = np.asarray(board.getChessboardCorners(), np.float64).reshape(-1, 3)
    return Board("charuco", tex, margin, ppm, pts, ids=np.arange(len(pts), dtype=np.int32),
                 params={"args": (squares_x, squares_y, square, marker, dict_id),
                         "squares_x": squares_x, "squares_y": squares_y, "square": square,
                         "marker": marker, "dict_id": dict_id})


def aruco_grid(markers_x: int = 5, markers_y: int = 4, marker: float = 0.04, separation: float = 0.01,
               dict_id: int = cv2.aruco.DICT_4X4_1000, texels_per_cell: int = 16) -> Board:
    """Ground-truth points are the four corners of every marker, in id order."""
    d = cv2.aruco.getPredefinedDictionary(dict_id)
    bits = d.markerSize + 2
    marker_texels = bits * texels_per_cell
    ppm = marker_texels / marker
    sep_texels = separation * ppm
    if abs(sep_texels - round(sep_texels)) > 1e-9:
        raise ValueError("separation must be a whole number of texels")
    board = cv2.aruco.GridBoard((markers_x, markers_y), marker, separation, d)
    margin = marker_texels // 2
    w = int(round(markers_x * marker_texels + (markers_x - 1) * sep_texels)) + 2 * margin
    h = int(round(markers_y * marker_texels + (markers_y - 1) * sep_texels)) + 2 * margin
    tex = np.full((h, w), 255, np.uint8)
    obj = board.getObjPoints()
    _paint_markers(tex, d, board.getIds().ravel(), obj, margin, ppm, marker_texels)
    pts = np.concatenate([np.asarray(c, np.float64).reshape(4, 3) for c in obj], axis=0)
    return Board("aruco", tex, margin, ppm, pts, ids=board.getIds().ravel().astype(np.int32),
                 params={"args": ((markers_x, markers_y), marker, separation, dict_id),
                         "markers_x": markers_x, "markers_y": markers_y, "marker": marker,
                         "separation": separation, "dict_id": dict_id})


# --------------------------------------------------------------------------
# rendering


def render(board: Board, camera: Camera, camera_T_target: np.ndarray, *, supersample: int = 3,
           blur_sigma: float = 0.0, noise_sigma: float = 0.0, seed: int = 0,
           background: int = 110, psf_sigma: float = 0.5) -> np.ndarray:
    """BGR uint8 image of the board seen by `camera` at `camera_T_target`."""
    ss = int(supersample)
    xs, ys = _normalised_grid(camera.K.tobytes(), np.ascontiguousarray(camera.dist).tobytes(),
                              camera.width, camera.height, ss)
    R, t = camera_T_target[:3, :3], camera_T_target[:3, 3]
    # normalised image point ~ [r1 r2 t] [X Y 1]^T for board points (X, Y, 0)
    H = np.column_stack([R[:, 0], R[:, 1], t])
    # texel coordinates in remap's convention: texel centres at integers
    A = np.array([[board.ppm, 0, board.offset - 0.5], [0, board.ppm, board.offset - 0.5], [0, 0, 1]])
    M = A @ np.linalg.inv(H)
    u = M[0, 0] * xs + M[0, 1] * ys + M[0, 2]
    v = M[1, 0] * xs + M[1, 1] * ys + M[1, 2]
    w = M[2, 0] * xs + M[2, 1] * ys + M[2, 2]
    # rays meeting the plane behind the camera see only background
    sgn = np.sign(np.linalg.det(np.linalg.inv(H)))
    behind = (w * sgn) <= 0
    with np.errstate(divide="ignore", invalid="ignore"):
        mapx = np.where(behind, -1e6, u / w).astype(np.float32)
        mapy = np.where(behind, -1e6, v / w).astype(np.float32)
    big = cv2.remap(board.texture.astype(np.float32), mapx, mapy, cv2.INTER_LINEAR,
                    borderMode=cv2.BORDER_CONSTANT, borderValue=float(background))
    if psf_sigma > 0:
        # a lens point-spread function, applied before pixel integration
        big = cv2.GaussianBlur(big, (0, 0), psf_sigma * ss)
    img = cv2.resize(big, (camera.width, camera.height), interpolation=cv2.INTER_AREA) if ss > 1 else big
    img = img.astype(np.float64)
    if blur_sigma > 0:
        img = cv2.GaussianBlur(img, (0, 0), blur_sigma)
    if noise_sigma > 0:
        img = img + np.random.default_rng(seed).normal(0.0, noise_sigma, img.shape)
    img = np.clip(np.rint(img), 0, 255).astype(np.uint8)
    return cv2.cvtColor(img, cv2.COLOR_GRAY2BGR)


# --------------------------------------------------------------------------
# pose series


def board_center(board: Board) -> np.ndarray:
    p = board.points
    return (p.min(axis=0) + p.max(axis=0)) / 2.0


def view_poses(board: Board, camera: Camera, n: int, *, seed: int = 1, distance: tuple[float, float] | None = None,
               max_tilt: float = 35.0, max_roll: float = 25.0, max_shift: float = 0.25,
               margin: float = 15.0) -> list[np.ndarray]:
    """n varied camera_T_target poses from which the whole board is visible."""
    rng = np.random.default_rng(seed)
    c = board_center(board)
    extent = float(np.max(board.points.max(axis=0) - board.points.min(axis=0)))
    if distance is None:
        f = camera.K[0, 0]
        d0 = 1.25 * extent * f / min(camera.width, camera.height) * 1.3
        distance = (0.8 * d0, 1.25 * d0)
    poses: list[np.ndarray] = []
    tries = 0
    while len(poses) < n:
        tries += 1
        if tries > 2000 * max(n, 1):
            raise RuntimeError("could not place enough views; loosen the pose ranges")
        ax, ay = rng.uniform(-max_tilt, max_tilt, 2)
        roll = rng.uniform(-max_roll, max_roll)
        d = rng.uniform(*distance)
        look = c + np.array([*rng.uniform(-max_shift, max_shift, 2) * extent, 0.0])
        direction = rot_y(ay) @ rot_x(ax) @ np.array([0.0, 0.0, 1.0])
        target_T_camera = look_at(look - d * direction, look, roll)
        camera_T_target = inv_T(target_T_camera)
        if camera.sees_all(board.points, camera_T_target, margin):
            poses.append(camera_T_target)
    return poses


@dataclasses.dataclass
class HandEyeSeries:
    camera: Camera
    board: Board
    tcp_T_camera: np.ndarray
    robot_T_target: np.ndarray
    robot_T_tcp: list[np.ndarray]
    camera_T_target: list[np.ndarray]

    def images(self, **render_kw) -> list[np.ndarray]:
        return [render(self.board, self.camera, T, **render_kw) for T in self.camera_T_target]


def _series_views(board: Board, camera: Camera, n: int, seed: int, single_axis: bool, view_kw) -> list[np.ndarray]:
    """The camera_T_target of a hand-eye series: varied, or rolling about the optical axis only."""
    if single_axis:
        base = view_poses(board, camera, 1, seed=seed, max_tilt=0.0, max_roll=0.0, max_shift=0.0)[0]
        return [make_T(rot_z(roll), [0, 0, 0]) @ base for roll in np.linspace(-40.0, 40.0, n)]
    view_kw.setdefault("max_tilt", 30.0)
    view_kw.setdefault("max_roll", 35.0)
    return view_poses(board, camera, n, seed=seed, **view_kw)


def default_tcp_T_camera() -> np.ndarray:
    return make_T(rot_z(90.0) @ rot_x(4.0) @ rot_y(-3.0), [0.032, -0.047, 0.081])


def hand_eye_series(board: Board, camera: Camera, n: int = 15, *, seed: int = 7,
                    tcp_T_camera: np.ndarray | None = None, robot_T_target: np.ndarray | None = None,
                    single_axis: bool = False, **view_kw) -> HandEyeSeries:
    """Eye-in-hand series: fixed board in the robot base, camera on the flange.

    With single_axis the camera only rolls about its optical axis (poor rotation variety).
    """
    X = default_tcp_T_camera() if tcp_T_camera is None else tcp_T_camera
    B = make_T(rot_x(180.0) @ rot_z(20.0), [0.6, 0.1, 0.02]) if robot_T_target is None else robot_T_target
    views = _series_views(board, camera, n, seed, single_axis, view_kw)
    # robot_T_tcp = robot_T_target * target_T_camera * camera_T_tcp
    robot_T_tcp = [B @ inv_T(V) @ inv_T(X) for V in views]
    return HandEyeSeries(camera, board, X, B, robot_T_tcp, views)


def noisy_poses(s: HandEyeSeries, seed: int, *, robot_m: float = 0.5e-3, robot_deg: float = 0.05,
                corner_px: float = 0.3) -> tuple[list[np.ndarray], list[np.ndarray]]:
    """(robot_T_tcp, camera_T_target) of a series as a real cell gives them, without rendering.

    Each robot pose is off by a random flange motion (robot_m per axis, robot_deg about each
    axis), and each target pose is solvePnP's from the board's corners projected with corner_px
    of noise, with the true intrinsics.
    """
    rng = np.random.default_rng(seed)
    robots = []
    for T in s.robot_T_tcp:
        R = cv2.Rodrigues(rng.normal(0.0, np.deg2rad(robot_deg), 3))[0]
        robots.append(T @ make_T(R, rng.normal(0.0, robot_m, 3)))
    cams = []
    points = s.board.points.astype(np.float64)
    for V in s.camera_T_target:
        uv = s.camera.project(points, V) + rng.normal(0.0, corner_px, (len(points), 2))
        _, rvec, tvec = cv2.solvePnP(points, uv, s.camera.K, s.camera.dist)
        cams.append(make_T(cv2.Rodrigues(rvec)[0], tvec.ravel()))
    return robots, cams


def noisy_robot_poses(robot_T_tcp: list[np.ndarray], rng: np.random.Generator, robot_m: float,
                      robot_deg: float) -> list[np.ndarray]:
    """Each pose off by a random flange motion: robot_m along and robot_deg about each flange axis."""
    out = []
    for T in robot_T_tcp:
        R = cv2.Rodrigues(rng.normal(0.0, np.deg2rad(robot_deg), 3))[0]
        out.append(T @ make_T(R, rng.normal(0.0, robot_m, 3)))
    return out


def noisy_corners(s, seed: int, *, robot_m: float = 0.5e-3, robot_deg: float = 0.05,
                  corner_px: float = 0.3) -> tuple[list[np.ndarray], list[np.ndarray], list[np.ndarray]]:
    """(robot_T_tcp, image_points, object_points) of a hand-eye or eye-to-hand series, without rendering.

    The robot poses are off as in noisy_poses; every board corner is projected with the true
    camera and corner_px of Gaussian noise per image coordinate.
    """
    rng = np.random.default_rng(seed)
    robots = noisy_robot_poses(s.robot_T_tcp, rng, robot_m, robot_deg)
    points = s.board.points.astype(np.float64)
    pixels = [s.camera.project(points, V) + rng.normal(0.0, corner_px, (len(points), 2)) for V in s.camera_T_target]
    return robots, pixels, [points] * len(pixels)


@dataclasses.dataclass
class EyeToHandSeries:
    """A camera fixed in the robot base and the board on the flange."""
    camera: Camera
    board: Board
    robot_T_camera: np.ndarray
    tcp_T_target: np.ndarray
    robot_T_tcp: list[np.ndarray]
    camera_T_target: list[np.ndarray]

    def images(self, **render_kw) -> list[np.ndarray]:
        return [render(self.board, self.camera, T, **render_kw) for T in self.camera_T_target]


def default_robot_T_camera() -> np.ndarray:
    # above the cell, looking down and back towards the robot
    return make_T(rot_z(160.0) @ rot_x(-150.0), [0.55, -0.35, 0.9])


def default_tcp_T_target() -> np.ndarray:
    return make_T(rot_z(-35.0) @ rot_y(8.0), [0.012, -0.04, 0.065])


def eye_to_hand_series(board: Board, camera: Camera, n: int = 15, *, seed: int = 11,
                       robot_T_camera: np.ndarray | None = None, tcp_T_target: np.ndarray | None = None,
                       single_axis: bool = False, **view_kw) -> EyeToHandSeries:
    """Eye-to-hand series: random flange poses that keep the whole board in the fixed camera's view.

    With single_axis the board only turns about the camera's optical axis (poor rotation variety).
    """
    C = default_robot_T_camera() if robot_T_camera is None else robot_T_camera
    Y = default_tcp_T_target() if tcp_T_target is None else tcp_T_target
    views = _series_views(board, camera, n, seed, single_axis, view_kw)
    # robot_T_tcp * tcp_T_target = robot_T_camera * camera_T_target
    robot_T_tcp = [C @ V @ inv_T(Y) for V in views]
    return EyeToHandSeries(camera, board, C, Y, robot_T_tcp, views)


def default_four_axis_tcp_T_camera() -> np.ndarray:
    # looking down past the flange, tilted so that the views differ as the flange turns
    return make_T(rot_z(90.0) @ rot_x(14.0) @ rot_y(-9.0), [0.045, -0.03, 0.07])


def default_four_axis_robot_T_camera() -> np.ndarray:
    # below the gripper, looking up at the flange, tilted a little
    return make_T(rot_x(8.0) @ rot_y(-6.0) @ rot_z(25.0), [0.42, 0.08, 0.05])


def default_four_axis_tcp_T_target() -> np.ndarray:
    # under the flange, face down towards a camera below
    return make_T(rot_x(180.0) @ rot_z(-35.0) @ rot_y(4.0), [0.012, -0.03, 0.05])


def four_axis_series(board: Board, camera: Camera, n: int = 15, *, seed: int = 5, eye_to_hand: bool = False,
                     turn_deg: float = 170.0, height: tuple[float, float] = (0.85, 1.25),
                     spread: float = 1.0, fixed: np.ndarray | None = None, hand_eye: np.ndarray | None = None,
                     margin: float = 15.0) -> HandEyeSeries | EyeToHandSeries:
    """A four-axis (SCARA) robot: the flange points down and turns about the base's z by up to
    +-turn_deg; it moves in x, y and z. Eye-in-hand, the board lies face up on the table;
    eye-to-hand, it hangs under the flange above a camera looking up. `height` scales the
    camera-to-board distance by the default viewing distance of the board, and the board's
    centre moves about the view's centre (where the optical axis meets the board's plane) by up to
    +-spread times its extent: the angle about the axis is found only from how far the board lies
    across the axis from the camera, so the views use the whole image.
    """
    rng = np.random.default_rng(seed)
    c = board_center(board)
    extent = float(np.max(board.points.max(axis=0) - board.points.min(axis=0)))
    d0 = 1.25 * extent * camera.K[0, 0] / min(camera.width, camera.height) * 1.3
    down = rot_x(180.0)  # the flange's z points down
    robots, views = [], []
    if eye_to_hand:
        C = default_four_axis_robot_T_camera() if hand_eye is None else hand_eye
        Y = default_four_axis_tcp_T_target() if fixed is None else fixed
    else:
        X = default_four_axis_tcp_T_camera() if hand_eye is None else hand_eye
        B = make_T(rot_x(180.0) @ rot_z(20.0), [0.5, 0.05, 0.0]) if fixed is None else fixed
        board_centre = (B @ np.array([*c, 1.0]))[:3]
    tries = 0
    while len(robots) < n:
        tries += 1
        if tries > 4000 * max(n, 1):
            raise RuntimeError("could not place enough four-axis views; loosen the ranges")
        theta = rng.uniform(-turn_deg, turn_deg)
        d = rng.uniform(*height) * d0
        shift = rng.uniform(-spread, spread, 2) * extent
        R = rot_z(theta) @ down
        if eye_to_hand:
            # the board's centre above the camera
            cam_centre = C[:3, 3]
            centre_in_tcp = (Y @ np.array([*c, 1.0]))[:3]
            look = C[:3, 2]
            aim = d * look[:2] / look[2]
            p = cam_centre + np.array([shift[0] + aim[0], shift[1] + aim[1], d]) - R @ centre_in_tcp
            T = make_T(R, p)
            V = inv_T(C) @ T @ Y
        else:
            # the camera above the board's centre, back by where its tilted optical axis meets the table
            look = R @ X[:3, 2]
            aim = d * look[:2] / -look[2]
            p = board_centre + np.array([shift[0] - aim[0], shift[1] - aim[1], d]) - R @ X[:3, 3]
            T = make_T(R, p)
            V = inv_T(T @ X) @ B
        if camera.sees_all(board.points, V, margin):
            robots.append(T)
            views.append(V)
    if eye_to_hand:
        return EyeToHandSeries(camera, board, C, Y, robots, views)
    return HandEyeSeries(camera, board, X, B, robots, views)


@dataclasses.dataclass
class Rig:
    cameras: list[Camera]
    board: Board
    reference_T_camera: list[np.ndarray]
    reference_T_target: list[np.ndarray]

    def camera_T_target(self, cam: int, frame: int) -> np.ndarray:
        return inv_T(self.reference_T_camera[cam]) @ self.reference_T_target[frame]

    def images(self, **render_kw) -> list[list[np.ndarray]]:
        """One image list per camera, frames synchronised across cameras."""
        return [[render(self.board, c, self.camera_T_target(k, f), **render_kw)
                 for f in range(len(self.reference_T_target))] for k, c in enumerate(self.cameras)]


def default_rig_cameras(width: int = 640, height: int = 480) -> list[Camera]:
    return [
        make_camera(width, height, fx=0.95 * width, dist=(-0.12, 0.06, 0.0008, -0.0005, -0.01)),
        make_camera(width, height, fx=1.05 * width, cx=width / 2 - 6.0, cy=height / 2 + 4.0,
                    dist=(-0.08, 0.03, -0.0006, 0.0007, 0.0)),
        make_camera(width, height, fx=0.9 * width, cx=width / 2 + 8.0, cy=height / 2 + 1.0,
                    dist=(-0.15, 0.09, 0.0004, 0.0002, -0.02)),
    ]


def rig(board: Board, cameras: list[Camera] | None = None, n_frames: int = 12, *, seed: int = 3,
        baselines: Sequence[float] = (0.0, 0.18, 0.42), distance: float | None = None, distance_scale: float = 1.0,
        max_tilt: float = 25.0, max_roll: float = 20.0, max_shift: float = 0.12, margin: float = 15.0) -> Rig:
    """Cameras on a line along x, converging on a point in front of the reference camera."""
    cameras = default_rig_cameras() if cameras is None else cameras
    extent = float(np.max(board.points.max(axis=0) - board.points.min(axis=0)))
    if distance is None:
        f = min(c.K[0, 0] for c in cameras)
        distance = 2.0 * extent * f / min(cameras[0].width, cameras[0].height) * 1.15 * distance_scale
    aim = np.array([max(baselines) / 2.0, 0.0, distance])
    ref_T_cam = []
    for k, bx in enumerate(baselines[: len(cameras)]):
        pos = np.array([bx, 0.02 * ((-1) ** k) * k, 0.03 * k])
        ref_T_cam.append(look_at(pos, aim, roll_deg=3.0 * k))
    # express everything relative to camera 0 so that reference_T_camera[0] is the identity
    base = inv_T(ref_T_cam[0])
    ref_T_cam = [base @ T for T in ref_T_cam]
    aim_ref = (base @ np.append(aim, 1.0))[:3]

    rng = np.random.default_rng(seed)
    c = board_center(board)
    frames: list[np.ndarray] = []
    tries = 0
    while len(frames) < n_frames:
        tries += 1
        if tries > 5000 * n_frames:
            raise RuntimeError("could not place enough rig frames")
        ax, ay = rng.uniform(-max_tilt, max_tilt, 2)
        roll = rng.uniform(-max_roll, max_roll)
        shift = np.array([*rng.uniform(-max_shift, max_shift, 2) * extent, rng.uniform(-0.1, 0.1) * distance])
        # board faces the cameras: its z axis points away from them
        R = rot_x(ax) @ rot_y(ay) @ rot_z(roll)
        T = make_T(R, aim_ref + shift - R @ c)
        if all(cam.sees_all(board.points, inv_T(ref_T_cam[k]) @ T, margin) for k, cam in enumerate(cameras)):
            frames.append(T)
    return Rig(cameras, board, ref_T_cam, frames)


def chain_rig(board: Board, frames_per_group: int = 10, *, seed: int = 5, width: int = 800, height: int = 600,
              margin: float = 15.0) -> Rig:
    """Four cameras in a row: frames of the first group are seen by cameras 0, 1 and 2 only, frames
    of the second by cameras 2 and 3 only, so camera 3 shares no view with camera 0."""
    # Long lenses on cameras 0, 1 and 3 keep the two board areas apart in their views; camera 2
    # stands back between the areas and sees both.
    cams = default_rig_cameras(width, height)
    cams[0] = make_camera(width, height, fx=1.4 * width, dist=(-0.08, 0.04, 0.0008, -0.0005, 0.0))
    cams[1] = make_camera(width, height, fx=1.45 * width, cx=width / 2 - 6.0, cy=height / 2 + 4.0,
                          dist=(-0.06, 0.03, -0.0006, 0.0007, 0.0))
    cams.append(make_camera(width, height, fx=1.4 * width, cx=width / 2 + 5.0, cy=height / 2 - 3.0,
                            dist=(-0.07, 0.05, 0.0005, -0.0004, 0.0)))
    extent = float(np.max(board.points.max(axis=0) - board.points.min(axis=0)))
    distance, gap = 2.1 * extent, 1.8 * extent
    left, right = np.array([0.0, 0.0, distance]), np.array([gap, 0.0, distance])
    positions = [np.array([-0.04, 0.0, 0.0]), np.array([0.05, -0.02, 0.02]),
                 np.array([gap / 2.0, 0.02, -0.5 * distance]), np.array([gap + 0.04, 0.02, 0.0])]
    aims = [left, left, (left + right) / 2.0, right]
    world_T_cam = [look_at(pos, aim, roll_deg=2.0 * k) for k, (pos, aim) in enumerate(zip(positions, aims))]
    base = inv_T(world_T_cam[0])
    ref_T_cam = [base @ T for T in world_T_cam]
    rng = np.random.default_rng(seed)
    c = board_center(board)
    frames: list[np.ndarray] = []
    for aim, seeing in ((left, (0, 1, 2)), (right, (2, 3))):
        aim_ref = (base @ np.append(aim, 1.0))[:3]
        placed, tries = 0, 0
        while placed < frames_per_group:
            tries += 1
            if tries > 20000 * frames_per_group:
                raise RuntimeError("could not place enough chain-rig frames")
            ax, ay = rng.uniform(-30.0, 30.0, 2)
            R = rot_x(ax) @ rot_y(ay) @ rot_z(rng.uniform(-20.0, 20.0))
            shift = np.array([*rng.uniform(-0.15, 0.15, 2) * extent, rng.uniform(-0.1, 0.1) * distance])
            T = make_T(R, aim_ref + shift - R @ c)
            views = [inv_T(ref_T_cam[k]) @ T for k in range(4)]
            if all(cams[k].sees_all(board.points, views[k], margin) for k in seeing) and all(
                    sees_none(cams[k], board.points, views[k], 1.1) for k in range(4) if k not in seeing):
                frames.append(T)
                placed += 1
    return ChainRig(cams, board, ref_T_cam, frames)


class ChainRig(Rig):
    """A rig whose cameras see only some frames: the others are rendered as bare background."""

    def images(self, **render_kw) -> list[list[np.ndarray]]:
        out = []
        for k, cam in enumerate(self.cameras):
            row = []
            for f in range(len(self.reference_T_target)):
                T = self.camera_T_target(k, f)
                if sees_none(cam, self.board.points, T, 1.0):
                    row.append(np.full((cam.height, cam.width, 3), render_kw.get("background", 110), np.uint8))
                else:
                    row.append(render(self.board, cam, T, **render_kw))
            out.append(row)
        return out
