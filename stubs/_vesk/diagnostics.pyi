"""
Diagnostics for hand-eye calibration data and solvers.
"""
from __future__ import annotations
import _vesk
import collections.abc
import numpy
import typing
__all__: list[str] = ['HandEyeMethodResult', 'RotationVarietyStats', 'analyze_rotation_variety', 'check_hand_eye_data', 'compare_hand_eye_methods', 'format_method_comparison', 'format_rotation_variety']
class RotationVarietyStats:
    @property
    def angle_max_deg(self) -> float:
        ...
    @property
    def angle_mean_deg(self) -> float:
        ...
    @property
    def axis_span_ratio(self) -> float:
        ...
    @property
    def num_motions(self) -> int:
        ...
    @property
    def singular_values(self) -> list[float]:
        ...
class HandEyeMethodResult:
    @property
    def method_name(self) -> str:
        ...
    @property
    def pose_deg(self) -> list[float]:
        ...
    @property
    def robot_T_camera(self) -> numpy.ndarray:
        ...
    @property
    def tcp_T_camera(self) -> numpy.ndarray:
        ...
def analyze_rotation_variety(camera_T_target_list: collections.abc.Sequence[numpy.ndarray], min_rotation_deg: typing.SupportsFloat | typing.SupportsIndex = 0.5, eye_to_hand: bool = False) -> RotationVarietyStats | None:
    ...
def check_hand_eye_data(robot_T_tcp_list: collections.abc.Sequence[numpy.ndarray], camera_T_target_list: collections.abc.Sequence[numpy.ndarray], eye_to_hand: bool = False) -> list[_vesk.HandEyeDataFinding]:
    """
    Check aligned hand-eye data (eye-in-hand, or eye-to-hand with eye_to_hand=True) for the mistakes that give a wrong transform: robot translations in millimetres, inverted robot poses, images and poses out of step, a board that cannot have stood still (on the flange, for a fixed camera), and outlier frames. Returns a list of HandEyeDataFinding, empty for clean data.
    """
def compare_hand_eye_methods(target: _vesk.ChessboardTarget | _vesk.CharucoTarget | _vesk.ArucoTarget, robot_T_tcp_list: collections.abc.Sequence[numpy.ndarray], image_list: collections.abc.Sequence[numpy.ndarray], camera_T_target_list: collections.abc.Sequence[numpy.ndarray], intrinsic_matrix: numpy.ndarray, distortion_coefficients: numpy.ndarray, per_view_error_threshold: typing.SupportsFloat | typing.SupportsIndex = 1.0, eye_to_hand: bool = False, *, progress: typing.Any = None) -> dict[str, HandEyeMethodResult | None]:
    ...
def format_method_comparison(method_results: collections.abc.Mapping[str, HandEyeMethodResult | None], consensus_threshold_deg: typing.SupportsFloat | typing.SupportsIndex = 1.5) -> str:
    ...
def format_rotation_variety(stats: RotationVarietyStats | None) -> str:
    ...
