"""
Compiled C++ core of halberon-vesk: targets, calibration, geometry, quality, io. Not meant to be imported directly  -  use the halberon.vesk Python package.
"""
from __future__ import annotations
import collections.abc
import numpy
import os
import typing
from . import tf
from . import diagnostics
from . import io
__all__: list[str] = ['AlignedTargetPoses', 'ArucoTarget', 'BenchmarkResult', 'BoardScale', 'CALIB_FIX_INTRINSIC', 'CALIB_USE_INTRINSIC_GUESS', 'CalibrationBenchmark', 'CharucoTarget', 'ChessboardTarget', 'EyeInHandCalibrator', 'EyeToHandCalibrator', 'EyeToHandResult', 'Failure', 'FourAxisSolve', 'HandEyeDataFinding', 'HandEyeJointSolve', 'HandEyeResult', 'IntrinsicCalibrator', 'IntrinsicOptions', 'IntrinsicResult', 'MultiCameraCalibrator', 'MultiCameraResult', 'NoiseEstimate', 'SubsetResult', 'TERM_CRITERIA_COUNT', 'TERM_CRITERIA_EPS', 'TERM_CRITERIA_MAX_ITER', 'TargetConsistencyStats', 'TargetDetections', 'TermCriteria', 'TransformUncertainty', 'TriangulationReport', 'aruco_dictionary_id_from_name', 'aruco_dictionary_id_map', 'diagnostics', 'get_num_threads', 'hand_eye_method_by_name_map', 'io', 'set_log_handler', 'set_num_threads', 'tf', 'thread_limit']
class thread_limit:
    """
    Context manager: `with _vesk.thread_limit(1):` runs the calls inside on n threads (as set_num_threads(n)) and restores the setting on exit.
    """
    def __enter__(self) -> None:
        ...
    def __exit__(self, *args) -> None:
        ...
    def __init__(self, n: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
class Failure:
    """
    Why a result is not ok: a stable `code` to branch on and the `message` its log line says.
    """
    def __repr__(self) -> str:
        ...
    @property
    def code(self) -> str:
        ...
    @property
    def message(self) -> str:
        ...
class ChessboardTarget:
    """
    Classic chessboard target: inner-corner grid + square size.
    """
    size: tuple[int, int]
    def __init__(self, size: tuple[int, int], square_size: typing.SupportsFloat | typing.SupportsIndex) -> None:
        """
        size: (cols, rows) of inner corners. square_size: edge length in meters.
        """
    def __repr__(self) -> str:
        ...
    def object_points(self) -> numpy.ndarray:
        """
        Board-frame 3D coordinates of all inner corners, (N, 3) float32.
        """
    @property
    def square_size(self) -> float:
        ...
    @square_size.setter
    def square_size(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
class CharucoTarget:
    """
    ChArUco target: chessboard + embedded ArUco markers.
    """
    @typing.overload
    def __init__(self, squares_x: typing.SupportsInt | typing.SupportsIndex, squares_y: typing.SupportsInt | typing.SupportsIndex, square_length: typing.SupportsFloat | typing.SupportsIndex, marker_length: typing.SupportsFloat | typing.SupportsIndex, aruco_dict_id: typing.SupportsInt | typing.SupportsIndex = 3) -> None:
        ...
    @typing.overload
    def __init__(self, squares_x: typing.SupportsInt | typing.SupportsIndex, squares_y: typing.SupportsInt | typing.SupportsIndex, square_length: typing.SupportsFloat | typing.SupportsIndex, marker_length: typing.SupportsFloat | typing.SupportsIndex, aruco_dict_id: str) -> None:
        ...
    def __repr__(self) -> str:
        ...
    def detect_and_annotate(self, image: numpy.ndarray) -> tuple[numpy.ndarray, int]:
        """
        Detect ChArUco corners on `image` and draw them on a copy. Returns (annotated_image_bgr, num_charuco_corners).
        """
    @property
    def aruco_dict_id(self) -> int:
        ...
    @aruco_dict_id.setter
    def aruco_dict_id(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def marker_length(self) -> float:
        ...
    @marker_length.setter
    def marker_length(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    @property
    def square_length(self) -> float:
        ...
    @square_length.setter
    def square_length(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    @property
    def squares_x(self) -> int:
        ...
    @squares_x.setter
    def squares_x(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def squares_y(self) -> int:
        ...
    @squares_y.setter
    def squares_y(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
class ArucoTarget:
    """
    ArUco grid-board target.
    """
    board_size: tuple[int, int]
    @typing.overload
    def __init__(self, board_size: tuple[int, int], marker_length: typing.SupportsFloat | typing.SupportsIndex, marker_separation: typing.SupportsFloat | typing.SupportsIndex, aruco_dict_id: typing.SupportsInt | typing.SupportsIndex = 3) -> None:
        ...
    @typing.overload
    def __init__(self, board_size: tuple[int, int], marker_length: typing.SupportsFloat | typing.SupportsIndex, marker_separation: typing.SupportsFloat | typing.SupportsIndex, aruco_dict_id: str) -> None:
        ...
    def __repr__(self) -> str:
        ...
    @property
    def aruco_dict_id(self) -> int:
        ...
    @aruco_dict_id.setter
    def aruco_dict_id(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def marker_length(self) -> float:
        ...
    @marker_length.setter
    def marker_length(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    @property
    def marker_separation(self) -> float:
        ...
    @marker_separation.setter
    def marker_separation(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
class TermCriteria:
    """
    OpenCV solver termination criteria.
    """
    def __init__(self, type: typing.SupportsInt | typing.SupportsIndex, max_count: typing.SupportsInt | typing.SupportsIndex, epsilon: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    @property
    def epsilon(self) -> float:
        ...
    @epsilon.setter
    def epsilon(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    @property
    def max_count(self) -> int:
        ...
    @max_count.setter
    def max_count(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def type(self) -> int:
        ...
    @type.setter
    def type(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
class IntrinsicOptions:
    """
    Tunables for intrinsic calibration.
    """
    calibrate_camera_method: str
    chessboard_corner_detector: str
    criteria: TermCriteria
    distortion_coefficients_guess: numpy.ndarray | None
    intrinsic_matrix_guess: numpy.ndarray | None
    def __init__(self) -> None:
        ...
    @property
    def calibrate_camera_flags(self) -> int:
        ...
    @calibrate_camera_flags.setter
    def calibrate_camera_flags(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def chessboard_flags(self) -> int:
        ...
    @chessboard_flags.setter
    def chessboard_flags(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def index_of_fixed_3d_point(self) -> int:
        ...
    @index_of_fixed_3d_point.setter
    def index_of_fixed_3d_point(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def per_view_error_threshold(self) -> float:
        ...
    @per_view_error_threshold.setter
    def per_view_error_threshold(self, arg0: typing.SupportsFloat | typing.SupportsIndex) -> None:
        ...
    @property
    def sub_pixel_detection_window_size(self) -> int:
        ...
    @sub_pixel_detection_window_size.setter
    def sub_pixel_detection_window_size(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    @property
    def sub_pixel_detection_zero_zone_size(self) -> int:
        ...
    @sub_pixel_detection_zero_zone_size.setter
    def sub_pixel_detection_zero_zone_size(self, arg0: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
class TargetDetections:
    """
    Per-frame target detections for a batch of images.
    """
    @property
    def annotated_images(self) -> list[numpy.ndarray]:
        ...
    @property
    def image_points(self) -> list[numpy.ndarray]:
        ...
    @property
    def object_points(self) -> list[numpy.ndarray]:
        ...
    @property
    def point_ids(self) -> list[numpy.ndarray]:
        ...
    @property
    def successful_indices(self) -> list[int]:
        ...
class IntrinsicResult:
    """
    Result of IntrinsicCalibrator.calibrate().
    """
    @property
    def distortion_coefficients(self) -> numpy.ndarray:
        ...
    @property
    def failure(self) -> Failure | None:
        ...
    @property
    def image_points(self) -> list[numpy.ndarray]:
        ...
    @property
    def intrinsic_matrix(self) -> numpy.ndarray:
        ...
    @property
    def low_view_error_indices(self) -> list[int]:
        ...
    @property
    def ok(self) -> bool:
        ...
    @property
    def per_view_errors(self) -> list[float]:
        ...
    @property
    def reprojection_error(self) -> float:
        ...
    @property
    def std_deviations_extrinsics(self) -> numpy.ndarray:
        ...
    @property
    def std_deviations_intrinsics(self) -> numpy.ndarray:
        ...
    @property
    def successful_indices(self) -> list[int]:
        ...
class IntrinsicCalibrator:
    """
    Intrinsic camera calibrator for chessboard, ChArUco and ArUco targets.
    """
    def __init__(self, target: ChessboardTarget | CharucoTarget | ArucoTarget, options: IntrinsicOptions = ...) -> None:
        ...
    def calibrate(self, images: collections.abc.Sequence[numpy.ndarray], *, progress: typing.Any = None) -> IntrinsicResult:
        ...
    def corner_images(self) -> list[numpy.ndarray]:
        ...
    def detections(self) -> TargetDetections:
        ...
    def find_corners(self, images: collections.abc.Sequence[numpy.ndarray], *, progress: typing.Any = None) -> TargetDetections:
        ...
    def options(self) -> IntrinsicOptions:
        ...
    def target(self) -> ChessboardTarget | CharucoTarget | ArucoTarget:
        ...
class TargetConsistencyStats:
    """
    Per-frame consistency of the recovered world_T_target.
    """
    @property
    def board_us(self) -> list[float]:
        ...
    @property
    def board_vs(self) -> list[float]:
        ...
    @property
    def distances_m(self) -> list[float]:
        ...
    @property
    def max_rotation_deg(self) -> float:
        ...
    @property
    def max_translation_m(self) -> float:
        ...
    @property
    def mean_rotation_deg(self) -> float:
        ...
    @property
    def mean_translation_m(self) -> float:
        ...
    @property
    def rotation_deviations_deg(self) -> list[float]:
        ...
    @property
    def translation_deviations_m(self) -> list[float]:
        ...
class TransformUncertainty:
    """
    1-sigma of a transform a_T_b: translation_std_m per component (m), rotation_std_deg about the axes of frame a (deg), covariance 6x6 with rotation (rad) first, then translation (m). NaN where it cannot be computed.
    """
    @property
    def covariance(self) -> numpy.ndarray:
        ...
    @property
    def rotation_std_deg(self) -> list[float]:
        ...
    @property
    def translation_std_m(self) -> list[float]:
        ...
class HandEyeDataFinding:
    """
    What the hand-eye data check found: a code, a message saying what to do, and the frames concerned.
    """
    def __repr__(self) -> str:
        ...
    @property
    def code(self) -> str:
        ...
    @property
    def frames(self) -> list[int]:
        ...
    @property
    def message(self) -> str:
        ...
class BoardScale:
    """
    The board's scale from the robot's motion: value, its true lengths over the lengths stated for it (1 for a right print), with its 1-sigma; stated_square_m the square (or marker) length the target states and implied_square_m the one the data implies. NaN where not computed (fewer than 5 frames, or motions that do not fix the rotation).
    """
    def __repr__(self) -> str:
        ...
    @property
    def implied_square_m(self) -> float:
        ...
    @property
    def sigma(self) -> float:
        ...
    @property
    def stated_square_m(self) -> float:
        ...
    @property
    def value(self) -> float:
        ...
class NoiseEstimate:
    """
    Noise levels, 1-sigma per axis: pixel_px of a corner per image coordinate, robot_translation_m and robot_rotation_deg of a robot pose as a motion of the flange. Given to calibrate(refine=True, noise=...), a positive level is held and a NaN one estimated from the data.
    """
    def __init__(self, pixel_px: typing.SupportsFloat | typing.SupportsIndex = ..., robot_translation_m: typing.SupportsFloat | typing.SupportsIndex = ..., robot_rotation_deg: typing.SupportsFloat | typing.SupportsIndex = ...) -> None:
        ...
    def __repr__(self) -> str:
        ...
    @property
    def pixel_px(self) -> float:
        ...
    @property
    def robot_rotation_deg(self) -> float:
        ...
    @property
    def robot_translation_m(self) -> float:
        ...
class HandEyeJointSolve:
    """
    The joint solve of calibrate(refine=True): every corner fitted at once with each robot pose a measurement, the noise levels found from the data. hand_eye is the refined transform, closed_form the one it started from; error_budget is 6 x 3, rows rotation x, y, z and translation x, y, z, columns the share of that axis's variance from the corners, the robot poses and the intrinsics.
    """
    @property
    def board_scale(self) -> float:
        ...
    @property
    def board_scale_free(self) -> bool:
        ...
    @property
    def board_scale_sigma(self) -> float:
        ...
    @property
    def closed_form(self) -> numpy.ndarray:
        ...
    @property
    def closed_form_method(self) -> str:
        ...
    @property
    def closed_form_uncertainty(self) -> TransformUncertainty:
        ...
    @property
    def corners(self) -> int:
        ...
    @property
    def distortion_coefficients(self) -> numpy.ndarray:
        ...
    @property
    def error_budget(self) -> numpy.ndarray:
        ...
    @property
    def failure(self) -> Failure | None:
        ...
    @property
    def fixed_pose(self) -> numpy.ndarray:
        ...
    @property
    def frames(self) -> int:
        ...
    @property
    def hand_eye(self) -> numpy.ndarray:
        ...
    @property
    def intrinsic_matrix(self) -> numpy.ndarray:
        ...
    @property
    def intrinsics_free(self) -> bool:
        ...
    @property
    def iterations(self) -> int:
        ...
    @property
    def jackknife_uncertainty(self) -> TransformUncertainty:
        ...
    @property
    def moved_deg(self) -> float:
        ...
    @property
    def moved_mm(self) -> float:
        ...
    @property
    def noise(self) -> NoiseEstimate:
        ...
    @property
    def noise_estimated(self) -> list[bool]:
        ...
    @property
    def normal_uncertainty(self) -> TransformUncertainty:
        ...
    @property
    def ok(self) -> bool:
        ...
    @property
    def parameters(self) -> int:
        ...
    @property
    def raised(self) -> bool:
        ...
    @property
    def rms_px(self) -> float:
        ...
    @property
    def rounds(self) -> int:
        ...
    @property
    def uncertainty(self) -> TransformUncertainty:
        ...
    @property
    def weak_reason(self) -> str:
        ...
class FourAxisSolve:
    """
    A solve from motions about one axis only (a four-axis robot): the axis (in the frame of the transform's parent, pointing up; base_axis in the robot base), the keyword whose value was held, and where the camera and the board lie along the axis.
    """
    @property
    def about_axis_deg(self) -> float:
        ...
    @property
    def axis(self) -> list[float]:
        ...
    @property
    def axis_offset_m(self) -> float:
        ...
    @property
    def base_axis(self) -> list[float]:
        ...
    @property
    def board_height_m(self) -> float:
        ...
    @property
    def constraint(self) -> str:
        ...
    @property
    def off_axis_deg(self) -> float:
        ...
    @property
    def rms_m(self) -> float:
        ...
    @property
    def tolerance_m(self) -> float:
        ...
    @property
    def value_m(self) -> float:
        ...
class HandEyeResult:
    """
    Result of EyeInHandCalibrator.calibrate().
    """
    @property
    def board_scale(self) -> BoardScale:
        ...
    @property
    def camera_T_target_list(self) -> list[numpy.ndarray]:
        ...
    @property
    def consistency(self) -> TargetConsistencyStats:
        ...
    @property
    def data_findings(self) -> list[HandEyeDataFinding]:
        ...
    @property
    def distortion_coefficients(self) -> numpy.ndarray:
        ...
    @property
    def failure(self) -> Failure | None:
        ...
    @property
    def four_axis(self) -> FourAxisSolve | None:
        ...
    @property
    def has_consistency(self) -> bool:
        ...
    @property
    def intrinsic_matrix(self) -> numpy.ndarray:
        ...
    @property
    def joint(self) -> HandEyeJointSolve | None:
        ...
    @property
    def noise(self) -> NoiseEstimate:
        ...
    @property
    def ok(self) -> bool:
        ...
    @property
    def reprojection_error(self) -> float:
        ...
    @property
    def robot_T_target(self) -> numpy.ndarray:
        ...
    @property
    def tcp_T_camera(self) -> numpy.ndarray:
        ...
    @property
    def uncertainty(self) -> TransformUncertainty:
        ...
    @property
    def valid_image_list(self) -> list[numpy.ndarray]:
        ...
    @property
    def valid_robot_T_tcp_list(self) -> list[numpy.ndarray]:
        ...
class AlignedTargetPoses:
    @property
    def camera_T_target_list(self) -> list[numpy.ndarray]:
        ...
    @property
    def valid_image_list(self) -> list[numpy.ndarray]:
        ...
    @property
    def valid_robot_T_tcp_list(self) -> list[numpy.ndarray]:
        ...
class EyeInHandCalibrator:
    """
    Eye-in-hand (camera-on-flange) hand-eye calibrator.
    """
    def __init__(self, target: ChessboardTarget | CharucoTarget | ArucoTarget, options: IntrinsicOptions = ...) -> None:
        ...
    def calibrate(self, robot_T_tcp_list: collections.abc.Sequence[numpy.ndarray], image_list: collections.abc.Sequence[numpy.ndarray], method: str = 'TSAI', camera_T_target_list: collections.abc.Sequence[numpy.ndarray] = [], intrinsic_matrix: numpy.ndarray = ..., distortion_coefficients: numpy.ndarray = ..., output_path: os.PathLike | str | bytes = '', *, refine: bool = False, noise: NoiseEstimate | None = None, known_axis_offset_m: typing.SupportsFloat | typing.SupportsIndex | None = None, known_board_height_m: typing.SupportsFloat | typing.SupportsIndex | None = None, known_tolerance_m: typing.SupportsFloat | typing.SupportsIndex = 0.001, free_board_scale: bool = False, progress: typing.Any = None) -> HandEyeResult:
        ...
    def compute_camera_T_target_list(self, image_list: collections.abc.Sequence[numpy.ndarray], robot_T_tcp_list: collections.abc.Sequence[numpy.ndarray], intrinsic_matrix: numpy.ndarray, distortion_coefficients: numpy.ndarray, *, progress: typing.Any = None) -> AlignedTargetPoses:
        ...
    def corner_images(self) -> list[numpy.ndarray]:
        ...
    def format_results(self) -> str:
        ...
    def last_result(self) -> HandEyeResult:
        ...
    def print_results(self) -> None:
        ...
    def target(self) -> ChessboardTarget | CharucoTarget | ArucoTarget:
        ...
class EyeToHandResult:
    """
    Result of EyeToHandCalibrator.calibrate().
    """
    @property
    def board_scale(self) -> BoardScale:
        ...
    @property
    def camera_T_target_list(self) -> list[numpy.ndarray]:
        ...
    @property
    def consistency(self) -> TargetConsistencyStats:
        ...
    @property
    def data_findings(self) -> list[HandEyeDataFinding]:
        ...
    @property
    def distortion_coefficients(self) -> numpy.ndarray:
        ...
    @property
    def failure(self) -> Failure | None:
        ...
    @property
    def four_axis(self) -> FourAxisSolve | None:
        ...
    @property
    def has_consistency(self) -> bool:
        ...
    @property
    def intrinsic_matrix(self) -> numpy.ndarray:
        ...
    @property
    def joint(self) -> HandEyeJointSolve | None:
        ...
    @property
    def noise(self) -> NoiseEstimate:
        ...
    @property
    def ok(self) -> bool:
        ...
    @property
    def reprojection_error(self) -> float:
        ...
    @property
    def robot_T_camera(self) -> numpy.ndarray:
        ...
    @property
    def tcp_T_target(self) -> numpy.ndarray:
        ...
    @property
    def uncertainty(self) -> TransformUncertainty:
        ...
    @property
    def valid_image_list(self) -> list[numpy.ndarray]:
        ...
    @property
    def valid_robot_T_tcp_list(self) -> list[numpy.ndarray]:
        ...
class EyeToHandCalibrator:
    """
    Eye-to-hand (camera fixed in the cell, board on the flange) hand-eye calibrator: robot_T_camera and tcp_T_target.
    """
    def __init__(self, target: ChessboardTarget | CharucoTarget | ArucoTarget, options: IntrinsicOptions = ...) -> None:
        ...
    def calibrate(self, robot_T_tcp_list: collections.abc.Sequence[numpy.ndarray], image_list: collections.abc.Sequence[numpy.ndarray], method: str = 'TSAI', camera_T_target_list: collections.abc.Sequence[numpy.ndarray] = [], intrinsic_matrix: numpy.ndarray = ..., distortion_coefficients: numpy.ndarray = ..., output_path: os.PathLike | str | bytes = '', *, refine: bool = False, noise: NoiseEstimate | None = None, known_axis_offset_m: typing.SupportsFloat | typing.SupportsIndex | None = None, known_board_height_m: typing.SupportsFloat | typing.SupportsIndex | None = None, known_tolerance_m: typing.SupportsFloat | typing.SupportsIndex = 0.001, free_board_scale: bool = False, progress: typing.Any = None) -> EyeToHandResult:
        ...
    def compute_camera_T_target_list(self, image_list: collections.abc.Sequence[numpy.ndarray], robot_T_tcp_list: collections.abc.Sequence[numpy.ndarray], intrinsic_matrix: numpy.ndarray, distortion_coefficients: numpy.ndarray, *, progress: typing.Any = None) -> AlignedTargetPoses:
        ...
    def corner_images(self) -> list[numpy.ndarray]:
        ...
    def format_results(self) -> str:
        ...
    def last_result(self) -> EyeToHandResult:
        ...
    def print_results(self) -> None:
        ...
    def target(self) -> ChessboardTarget | CharucoTarget | ArucoTarget:
        ...
class TriangulationReport:
    """
    Triangulation validation report for one synchronized frame.
    """
    @property
    def counts_per_camera(self) -> list[int]:
        ...
    @property
    def frame_index(self) -> int:
        ...
    @property
    def ids(self) -> numpy.ndarray:
        ...
    @property
    def neighbor_distances_m(self) -> list[float]:
        ...
    @property
    def plane_thickness_m(self) -> float:
        ...
    @property
    def points_3d(self) -> numpy.ndarray:
        ...
    @property
    def rms_per_camera(self) -> list[float]:
        ...
class MultiCameraResult:
    """
    Result of MultiCameraCalibrator.calibrate().
    """
    @property
    def distortion_coefficients(self) -> list[numpy.ndarray]:
        ...
    @property
    def failure(self) -> Failure | None:
        ...
    @property
    def intrinsic_matrices(self) -> list[numpy.ndarray]:
        ...
    @property
    def intrinsic_reprojection_errors(self) -> list[float]:
        ...
    @property
    def joint_rms(self) -> float:
        ...
    @property
    def joint_rms_per_camera(self) -> list[float]:
        ...
    @property
    def ok(self) -> bool:
        ...
    @property
    def pair_reprojection_errors(self) -> list[float]:
        ...
    @property
    def placement_failures(self) -> list[str]:
        """
        Per camera, why it was not placed ('' where it was).
        """
    @property
    def reached_through(self) -> list[int]:
        ...
    @property
    def reference_T_camera_list(self) -> list[numpy.ndarray]:
        ...
    @property
    def reference_T_camera_uncertainty(self) -> list[TransformUncertainty]:
        ...
    @property
    def reference_index(self) -> int:
        ...
    @property
    def refine_failure(self) -> Failure | None:
        ...
    @property
    def refined(self) -> bool:
        ...
    @property
    def rejected_views(self) -> list[tuple[int, int]]:
        """
        (camera, frame) views left out as off the rig, by the pair solves (first) or the joint solve
        """
    @property
    def shared_frames(self) -> list[list[int]]:
        """
        shared_frames[a][b]: frames cameras a and b both detected and kept.
        """
class SubsetResult:
    """
    Result of one entry of MultiCameraCalibrator.calibrate_subsets().
    """
    @property
    def has_triangulation(self) -> bool:
        ...
    @property
    def result(self) -> MultiCameraResult:
        ...
    @property
    def subset(self) -> list[int]:
        ...
    @property
    def triangulation(self) -> TriangulationReport:
        ...
class MultiCameraCalibrator:
    """
    Multi-camera extrinsic calibrator built on cv::stereoCalibrate.
    """
    @staticmethod
    def default_options() -> IntrinsicOptions:
        ...
    def __init__(self, target: ChessboardTarget | CharucoTarget | ArucoTarget, num_cameras: typing.SupportsInt | typing.SupportsIndex, reference_index: typing.SupportsInt | typing.SupportsIndex = 0, options: IntrinsicOptions = ..., stereo_calibrate_flags: typing.SupportsInt | typing.SupportsIndex = 256) -> None:
        ...
    def calibrate(self, image_lists: collections.abc.Sequence[collections.abc.Sequence[numpy.ndarray]], intrinsic_matrices: collections.abc.Sequence[numpy.ndarray] = [], distortion_coefficients: collections.abc.Sequence[numpy.ndarray] = [], output_path: os.PathLike | str | bytes = '', refine: bool = False, *, progress: typing.Any = None) -> MultiCameraResult:
        ...
    def calibrate_subsets(self, image_lists: collections.abc.Sequence[collections.abc.Sequence[numpy.ndarray]], subset_sizes: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex] = [2, 3], frame_index: typing.SupportsInt | typing.SupportsIndex = 0, *, progress: typing.Any = None) -> list[SubsetResult]:
        ...
    def format_results(self) -> str:
        ...
    def print_results(self) -> None:
        ...
    def triangulate(self, image_lists: collections.abc.Sequence[collections.abc.Sequence[numpy.ndarray]], frame_index: typing.SupportsInt | typing.SupportsIndex = 0, *, progress: typing.Any = None) -> TriangulationReport:
        ...
    @property
    def last_result(self) -> MultiCameraResult:
        ...
    @property
    def num_cameras(self) -> int:
        ...
    @property
    def reference_index(self) -> int:
        ...
    @property
    def target(self) -> ChessboardTarget | CharucoTarget | ArucoTarget:
        ...
class BenchmarkResult:
    """
    One backend's benchmark outcome.
    """
    @property
    def backend_name(self) -> str:
        ...
    @property
    def camera_matrix(self) -> numpy.ndarray:
        ...
    @property
    def dist_coeffs(self) -> numpy.ndarray:
        ...
    @property
    def hand_eye_roundtrip_error(self) -> float:
        ...
    @property
    def held_out_reprojection_error(self) -> float:
        ...
    @property
    def image_count(self) -> int:
        ...
    @property
    def reprojection_error(self) -> float:
        ...
    @property
    def timestamp(self) -> str:
        ...
class CalibrationBenchmark:
    """
    Cross-validation + optional hand-eye round-trip benchmark.
    """
    @staticmethod
    def format_results(results: collections.abc.Sequence[BenchmarkResult]) -> str:
        ...
    @staticmethod
    def save_json(results: collections.abc.Sequence[BenchmarkResult], path: str) -> None:
        ...
    def __init__(self) -> None:
        ...
    def cross_validate(self, images: collections.abc.Sequence[numpy.ndarray], target: ChessboardTarget | CharucoTarget | ArucoTarget, options: IntrinsicOptions, n_splits: typing.SupportsInt | typing.SupportsIndex = 5, seed: typing.SupportsInt | typing.SupportsIndex = 0, *, progress: typing.Any = None) -> float:
        ...
    def eye_to_hand_roundtrip(self, images: collections.abc.Sequence[numpy.ndarray], robot_poses: collections.abc.Sequence[numpy.ndarray], robot_T_camera: numpy.ndarray, intrinsic_matrix: numpy.ndarray, distortion_coefficients: numpy.ndarray, target: ChessboardTarget | CharucoTarget | ArucoTarget, camera_T_target_list: collections.abc.Sequence[numpy.ndarray]) -> float:
        """
        Round trip of a fixed camera (board on the flange): the mean reprojection error, in pixels, of the board predicted from each robot pose through robot_T_camera and the board's mean pose on the flange; inf when it cannot be computed.
        """
    def hand_eye_roundtrip(self, images: collections.abc.Sequence[numpy.ndarray], robot_poses: collections.abc.Sequence[numpy.ndarray], tcp_T_camera: numpy.ndarray, intrinsic_matrix: numpy.ndarray, distortion_coefficients: numpy.ndarray, target: ChessboardTarget | CharucoTarget | ArucoTarget, camera_T_target_list: collections.abc.Sequence[numpy.ndarray]) -> float:
        ...
    def run(self, images: collections.abc.Sequence[numpy.ndarray], target: ChessboardTarget | CharucoTarget | ArucoTarget, options: IntrinsicOptions, robot_poses: collections.abc.Sequence[numpy.ndarray] = [], eye_in_hand_options: IntrinsicOptions | None = None, backend_name: str = 'OpenCV', n_splits: typing.SupportsInt | typing.SupportsIndex = 5, seed: typing.SupportsInt | typing.SupportsIndex = 0, eye_to_hand: bool = False, *, progress: typing.Any = None) -> BenchmarkResult:
        ...
def aruco_dictionary_id_from_name(name: str) -> int:
    """
    Resolve a dictionary name (e.g. "DICT_4X4_50") to its OpenCV id.
    """
def aruco_dictionary_id_map() -> dict[str, int]:
    """
    Map of predefined ArUco dictionary names ("DICT_4X4_50", ...) to their OpenCV ids.
    """
def get_num_threads() -> int:
    """
    Threads used for per-view work.
    """
def hand_eye_method_by_name_map() -> dict[str, int]:
    """
    Map of hand-eye method names ("TSAI", "PARK", "HORAUD", "ANDREFF", "DANIILIDIS") to cv::HandEyeCalibrationMethod values.
    """
def set_log_handler(handler: typing.Any) -> typing.Any:
    """
    Send the core's log lines to handler(level, message) instead of stderr: level is 'DEBUG', 'INFO', 'WARNING', 'ERROR' or 'SUCCESS', message the text without the '[vesk][LEVEL] ' prefix or newline. It is called on the thread that made the call, in the order lines were written, with the interpreter lock held. A line whose handler raises is written to stderr (with the exception, as unraisable), as are lines the handler itself causes and lines after interpreter exit began. None restores stderr. Returns the previous handler (or None).
    """
def set_num_threads(n: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Threads for per-view work (detection, poses, folds, solvers, rig cameras), for the whole process: n >= 1 threads, 0 or 1 the calling thread only, n < 0 all cores the process may use (the default). Results do not depend on it.
    """
CALIB_FIX_INTRINSIC: int = 256
CALIB_USE_INTRINSIC_GUESS: int = 1
TERM_CRITERIA_COUNT: int = 1
TERM_CRITERIA_EPS: int = 2
TERM_CRITERIA_MAX_ITER: int = 1
