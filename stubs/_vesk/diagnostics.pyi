"""
Diagnostics for hand-eye calibration data and solvers.
"""
from __future__ import annotations
import _vesk
import collections.abc
import numpy
import typing
__all__: list[str] = ['HandEyeMethodResult', 'PlanSize', 'RotationVarietyStats', 'analyze_rotation_variety', 'check_hand_eye_data', 'compare_hand_eye_methods', 'estimate_board_scale', 'format_method_comparison', 'format_rotation_variety', 'plan_first_hand_eye_poses', 'plan_hand_eye_poses', 'poses_needed_for_sigma', 'predict_hand_eye_uncertainty', 'refine_hand_eye']
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
class PlanSize:
    """
    The smallest plan that meets a target sigma.
    """
    @property
    def n_poses(self) -> int:
        ...
    @property
    def plan(self) -> list[numpy.ndarray]:
        ...
    @property
    def predicted(self) -> _vesk.TransformUncertainty:
        ...
    @property
    def reached(self) -> bool:
        ...
def analyze_rotation_variety(camera_T_target_list: collections.abc.Sequence[numpy.ndarray], min_rotation_deg: typing.SupportsFloat | typing.SupportsIndex = 0.5, eye_to_hand: bool = False) -> RotationVarietyStats | None:
    ...
def check_hand_eye_data(robot_T_tcp_list: collections.abc.Sequence[numpy.ndarray], camera_T_target_list: collections.abc.Sequence[numpy.ndarray], eye_to_hand: bool = False) -> list[_vesk.HandEyeDataFinding]:
    """
    Check aligned hand-eye data (eye-in-hand, or eye-to-hand with eye_to_hand=True) for the mistakes that give a wrong transform: robot translations in millimetres, inverted robot poses, images and poses out of step, a board that cannot have stood still (on the flange, for a fixed camera), rotation angles in the wrong unit (robot_rotation_in_degrees) or another rotation convention (robot_rotation_convention), outlier frames, and a board printed at another scale (board_scale_mismatch). Returns a list of HandEyeDataFinding, empty for clean data.
    """
def compare_hand_eye_methods(target: _vesk.ChessboardTarget | _vesk.CharucoTarget | _vesk.ArucoTarget, robot_T_tcp_list: collections.abc.Sequence[numpy.ndarray], image_list: collections.abc.Sequence[numpy.ndarray], camera_T_target_list: collections.abc.Sequence[numpy.ndarray], intrinsic_matrix: numpy.ndarray, distortion_coefficients: numpy.ndarray, per_view_error_threshold: typing.SupportsFloat | typing.SupportsIndex = 1.0, eye_to_hand: bool = False, *, progress: typing.Any = None) -> dict[str, HandEyeMethodResult | None]:
    ...
def estimate_board_scale(robot_T_tcp_list: collections.abc.Sequence[numpy.ndarray], camera_T_target_list: collections.abc.Sequence[numpy.ndarray], eye_to_hand: bool = False) -> _vesk.BoardScale:
    """
    The board's scale from the robot's motion, as the data check measures it: a BoardScale whose value is the board's true lengths over those its target poses were computed with (1 for a right print), with a jackknife 1-sigma. NaN for data that does not fix the hand-eye rotation.
    """
def format_method_comparison(method_results: collections.abc.Mapping[str, HandEyeMethodResult | None], consensus_threshold_deg: typing.SupportsFloat | typing.SupportsIndex = 1.5) -> str:
    ...
def format_rotation_variety(stats: RotationVarietyStats | None) -> str:
    ...
def plan_first_hand_eye_poses(robot_T_tcp: numpy.ndarray, angle_deg: typing.SupportsFloat | typing.SupportsIndex = 10.0) -> list[numpy.ndarray]:
    """
    Six flange poses rotating the flange by +-angle_deg about its own x, y and z axes: small enough to keep the board in view whatever the mount, for a coarse first calibration whose result is the hand_eye_guess of plan_hand_eye_poses.
    """
def plan_hand_eye_poses(target: _vesk.ChessboardTarget | _vesk.CharucoTarget | _vesk.ArucoTarget, intrinsic_matrix: numpy.ndarray, distortion_coefficients: numpy.ndarray, image_size: tuple[int, int], robot_T_tcp: numpy.ndarray, camera_T_target: numpy.ndarray, hand_eye_guess: numpy.ndarray, n_poses: typing.SupportsInt | typing.SupportsIndex = 15, max_rotation_deg: typing.SupportsFloat | typing.SupportsIndex = 45.0, max_translation_m: typing.SupportsFloat | typing.SupportsIndex = 0.3, eye_to_hand: bool = False, *, margin_px: typing.SupportsFloat | typing.SupportsIndex = 20.0, guess_error_m: typing.SupportsFloat | typing.SupportsIndex = 0.01, guess_error_deg: typing.SupportsFloat | typing.SupportsIndex = 2.0, distance_scale: tuple[typing.SupportsFloat | typing.SupportsIndex, typing.SupportsFloat | typing.SupportsIndex] = (0.5, 1.5)) -> list[numpy.ndarray]:
    """
    Flange poses (robot_T_tcp, 4x4) to record for a hand-eye calibration, ordered for a short robot path from the start pose. From the start pose robot_T_tcp, the board's pose seen from it (camera_T_target) and a rough hand_eye_guess (tcp_T_camera, or robot_T_camera with eye_to_hand=True), the views tilt 20-35 degrees from the start view in every direction and roll about the optical axis, each as near as the board fits (within distance_scale times the start view's distance), with the board landing across the image; they are picked to differ most from each other, keep the whole board margin_px inside the image even with the guess guess_error_m / guess_error_deg off, and keep the flange within max_rotation_deg and max_translation_m of the start pose. Limits too tight raise ValueError naming the one to relax.
    """
def poses_needed_for_sigma(target: _vesk.ChessboardTarget | _vesk.CharucoTarget | _vesk.ArucoTarget, intrinsic_matrix: numpy.ndarray, distortion_coefficients: numpy.ndarray, image_size: tuple[int, int], robot_T_tcp: numpy.ndarray, camera_T_target: numpy.ndarray, hand_eye_guess: numpy.ndarray, translation_mm: typing.SupportsFloat | typing.SupportsIndex, rotation_deg: typing.SupportsFloat | typing.SupportsIndex, max_rotation_deg: typing.SupportsFloat | typing.SupportsIndex = 45.0, max_translation_m: typing.SupportsFloat | typing.SupportsIndex = 0.3, robot_noise_m: typing.SupportsFloat | typing.SupportsIndex = 0.0002, robot_noise_deg: typing.SupportsFloat | typing.SupportsIndex = 0.02, corner_noise_px: typing.SupportsFloat | typing.SupportsIndex = 0.2, method: str = 'TSAI', trials: typing.SupportsInt | typing.SupportsIndex = 200, eye_to_hand: bool = False, calibrate_intrinsics: bool = False, *, progress: typing.Any = None) -> PlanSize:
    """
    The smallest plan of 6 to 60 poses whose predicted 1-sigma is within translation_mm and rotation_deg on every axis: a PlanSize with the plan and its prediction (reached=False, with the largest plan tried, when none is).
    """
def predict_hand_eye_uncertainty(target: _vesk.ChessboardTarget | _vesk.CharucoTarget | _vesk.ArucoTarget, intrinsic_matrix: numpy.ndarray, distortion_coefficients: numpy.ndarray, image_size: tuple[int, int], plan: collections.abc.Sequence[numpy.ndarray], robot_T_tcp: numpy.ndarray, camera_T_target: numpy.ndarray, hand_eye_guess: numpy.ndarray, robot_noise_m: typing.SupportsFloat | typing.SupportsIndex = 0.0002, robot_noise_deg: typing.SupportsFloat | typing.SupportsIndex = 0.02, corner_noise_px: typing.SupportsFloat | typing.SupportsIndex = 0.2, method: str = 'TSAI', trials: typing.SupportsInt | typing.SupportsIndex = 200, eye_to_hand: bool = False, calibrate_intrinsics: bool = False, *, progress: typing.Any = None) -> _vesk.TransformUncertainty:
    """
    Predicted 1-sigma (TransformUncertainty, about the true value) of the hand-eye transform solved from the flange poses `plan`: the board is seen at each through hand_eye_guess, corners and robot poses are disturbed by the given noise (1-sigma per axis) and the transform is solved `trials` times with `method`. With calibrate_intrinsics=True each trial also calibrates the camera from the planned views.
    """
def refine_hand_eye(robot_T_tcp_list: collections.abc.Sequence[numpy.ndarray], image_points: collections.abc.Sequence[numpy.ndarray], object_points: collections.abc.Sequence[numpy.ndarray], intrinsic_matrix: numpy.ndarray, distortion_coefficients: numpy.ndarray, method: str = 'TSAI', eye_to_hand: bool = False, intrinsics_free: bool = False, noise: _vesk.NoiseEstimate | None = None, *, free_board_scale: bool = False, progress: typing.Any = None) -> _vesk.HandEyeJointSolve:
    """
    The joint hand-eye solve on corners you detected yourself: per frame robot_T_tcp, the image points (N x 2) and their board points (N x 3). Each frame's board pose comes from solvePnP, the closed form from `method`, then one solve over every corner with each robot pose a measurement and the noise levels found from the data (or held where `noise` gives them). Returns a HandEyeJointSolve; its hand_eye is tcp_T_camera, or robot_T_camera with eye_to_hand=True.
    """
