"""
On-disk persistence for calibration datasets and results.
"""
from __future__ import annotations
import _vesk
import collections.abc
import numpy
import os
import pathlib
import typing
__all__: list[str] = ['EyeToHandResultRecord', 'HandEyeResultRecord', 'MultiCameraCalibrationRecord', 'load_eye_to_hand_result', 'load_hand_eye_dataset', 'load_hand_eye_pairs', 'load_hand_eye_result', 'load_images', 'load_multi_camera_calibration', 'load_multi_camera_dataset', 'load_multi_camera_robot_poses', 'load_pose_plan', 'next_multi_camera_capture_index', 'save_eye_to_hand_result', 'save_hand_eye_dataset', 'save_hand_eye_result', 'save_multi_camera_calibration', 'save_multi_camera_capture', 'save_multi_camera_robot_poses', 'save_pose_plan']
class MultiCameraCalibrationRecord:
    def __init__(self) -> None:
        ...
    @property
    def distortion_coefficients(self) -> list[numpy.ndarray]:
        ...
    @distortion_coefficients.setter
    def distortion_coefficients(self, arg0: collections.abc.Sequence[numpy.ndarray]) -> None:
        ...
    @property
    def intrinsic_matrices(self) -> list[numpy.ndarray]:
        ...
    @intrinsic_matrices.setter
    def intrinsic_matrices(self, arg0: collections.abc.Sequence[numpy.ndarray]) -> None:
        ...
    @property
    def intrinsic_reprojection_errors(self) -> list[float]:
        ...
    @intrinsic_reprojection_errors.setter
    def intrinsic_reprojection_errors(self, arg0: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]) -> None:
        ...
    @property
    def num_cameras(self) -> int:
        ...
    @num_cameras.setter
    def num_cameras(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def pair_reprojection_errors(self) -> list[float]:
        ...
    @pair_reprojection_errors.setter
    def pair_reprojection_errors(self, arg0: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]) -> None:
        ...
    @property
    def reference_T_camera_list(self) -> list[numpy.ndarray]:
        ...
    @reference_T_camera_list.setter
    def reference_T_camera_list(self, arg0: collections.abc.Sequence[numpy.ndarray]) -> None:
        ...
    @property
    def reference_index(self) -> int:
        ...
    @reference_index.setter
    def reference_index(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
class HandEyeResultRecord:
    board: _vesk.ChessboardTarget | _vesk.CharucoTarget | _vesk.ArucoTarget | None
    created_utc: str | None
    distortion_coefficients: numpy.ndarray | None
    image_size: tuple[int, int] | None
    intrinsic_matrix: numpy.ndarray | None
    method: str
    noise: _vesk.NoiseEstimate | None
    robot_T_target: numpy.ndarray | None
    robot_T_target_covariance: numpy.ndarray | None
    tcp_T_camera_covariance: numpy.ndarray | None
    vesk_version: str | None
    def __init__(self) -> None:
        ...
    @property
    def num_cameras(self) -> int:
        ...
    @num_cameras.setter
    def num_cameras(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def num_frames_total(self) -> int:
        ...
    @num_frames_total.setter
    def num_frames_total(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def num_frames_used(self) -> int:
        ...
    @num_frames_used.setter
    def num_frames_used(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def reference_index(self) -> int:
        ...
    @reference_index.setter
    def reference_index(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def tcp_T_camera_list(self) -> list[numpy.ndarray]:
        ...
    @tcp_T_camera_list.setter
    def tcp_T_camera_list(self, arg0: collections.abc.Sequence[numpy.ndarray]) -> None:
        ...
class EyeToHandResultRecord:
    """
    Stored form of an eye-to-hand result ("eye_to_hand.json").
    """
    board: _vesk.ChessboardTarget | _vesk.CharucoTarget | _vesk.ArucoTarget | None
    created_utc: str | None
    distortion_coefficients: numpy.ndarray | None
    image_size: tuple[int, int] | None
    intrinsic_matrix: numpy.ndarray | None
    method: str
    noise: _vesk.NoiseEstimate | None
    robot_T_camera: numpy.ndarray
    robot_T_camera_covariance: numpy.ndarray | None
    tcp_T_target: numpy.ndarray
    tcp_T_target_covariance: numpy.ndarray | None
    vesk_version: str | None
    def __init__(self) -> None:
        ...
    @property
    def num_frames_total(self) -> int:
        ...
    @num_frames_total.setter
    def num_frames_total(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def num_frames_used(self) -> int:
        ...
    @num_frames_used.setter
    def num_frames_used(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
def load_eye_to_hand_result(input_path: os.PathLike | str | bytes) -> EyeToHandResultRecord:
    """
    Read eye_to_hand.json (a file, or a folder holding one).
    """
def load_hand_eye_dataset(data_dir: os.PathLike | str | bytes, image_format: str = 'png') -> tuple[list[numpy.ndarray], list[numpy.ndarray]]:
    ...
def load_hand_eye_pairs(data_dir: os.PathLike | str | bytes, image_format: str = 'png') -> tuple[list[numpy.ndarray], list[numpy.ndarray], list[int]]:
    """
    Load a hand-eye dataset folder as aligned pairs: (images, robot_T_tcp_list, capture_indices), where a capture whose image file is missing is left out with its pose.
    """
def load_hand_eye_result(input_path: os.PathLike | str | bytes) -> HandEyeResultRecord:
    ...
def load_images(paths: collections.abc.Sequence[os.PathLike | str | bytes]) -> list[numpy.ndarray]:
    """
    Read image files as 8-bit BGR arrays, in the order given (RuntimeError naming a file that cannot be read).
    """
def load_multi_camera_calibration(input_path: os.PathLike | str | bytes) -> MultiCameraCalibrationRecord:
    ...
def load_multi_camera_dataset(data_dir: os.PathLike | str | bytes, num_cameras: typing.SupportsInt | typing.SupportsIndex) -> list[list[numpy.ndarray]]:
    ...
def load_multi_camera_robot_poses(data_dir: os.PathLike | str | bytes) -> list[numpy.ndarray]:
    ...
def load_pose_plan(input_path: os.PathLike | str | bytes) -> list[numpy.ndarray]:
    """
    The flange poses of a plan file (or of 'pose_plan.npz' in a folder).
    """
def next_multi_camera_capture_index(data_dir: os.PathLike | str | bytes, num_cameras: typing.SupportsInt | typing.SupportsIndex) -> int:
    ...
def save_eye_to_hand_result(output_path: os.PathLike | str | bytes, record: EyeToHandResultRecord) -> pathlib.Path:
    """
    Write the record as eye_to_hand.json (inside output_path when it is a folder); returns the path written.
    """
def save_hand_eye_dataset(data_dir: os.PathLike | str | bytes, image_list: collections.abc.Sequence[numpy.ndarray], robot_T_tcp_list: collections.abc.Sequence[numpy.ndarray], annotated_images: collections.abc.Sequence[numpy.ndarray] = []) -> None:
    ...
def save_hand_eye_result(output_path: os.PathLike | str | bytes, record: HandEyeResultRecord) -> pathlib.Path:
    ...
def save_multi_camera_calibration(output_path: os.PathLike | str | bytes, record: MultiCameraCalibrationRecord) -> pathlib.Path:
    ...
def save_multi_camera_capture(data_dir: os.PathLike | str | bytes, frames: collections.abc.Sequence[numpy.ndarray], capture_index: typing.SupportsInt | typing.SupportsIndex, annotated_images: collections.abc.Sequence[numpy.ndarray] = []) -> None:
    ...
def save_multi_camera_robot_poses(data_dir: os.PathLike | str | bytes, robot_T_tcp_list: collections.abc.Sequence[numpy.ndarray], num_cameras: typing.SupportsInt | typing.SupportsIndex) -> None:
    ...
def save_pose_plan(output_path: os.PathLike | str | bytes, robot_T_tcp_list: collections.abc.Sequence[numpy.ndarray]) -> pathlib.Path:
    """
    Save a capture plan (the flange poses to record) in calibration_data.npz's format, entry 'robot_T_tcp_list' of shape (N, 4, 4), as output_path or as 'pose_plan.npz' inside a folder. Returns the path written.
    """
