"""The board's scale from the robot's motion, and rotation conventions misread, each named."""

import pathlib

import cv2
import numpy as np
import pytest

import _vesk
from _vesk import diagnostics, io
from vesk import poses as P
from vesk_testing import scene as S

REAL = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "data" / "eye_to_hand_charuco"
KUKA = P.convention("euler", order="zyx", intrinsic=True, degrees=True)
RAD = P.convention("euler", order="zyx", intrinsic=True, degrees=False)
# (written in, read as) for each mistake, and the code it must get
MISTAKES = {
    "degrees read as radians": (KUKA, RAD, "robot_rotation_in_degrees"),
    "radians read as degrees": (RAD, KUKA, "robot_rotation_in_degrees"),
    "another Euler order": (KUKA, P.convention("euler", order="xyz", intrinsic=True, degrees=True),
                            "robot_rotation_convention"),
    "intrinsic read as extrinsic": (KUKA, P.convention("euler", order="zyx", intrinsic=False, degrees=True),
                                    "robot_rotation_convention"),
    "rotation vector read as Euler": (P.convention("rotation_vector"),
                                      P.convention("euler", order="xyz", intrinsic=False, degrees=False),
                                      "robot_rotation_convention"),
    "Euler read as rotation vector": (RAD, P.convention("rotation_vector"), "robot_rotation_convention"),
    "transposed blocks": (None, None, "robot_rotation_convention"),
}


def misread(robots, mistake):
    written, read, _ = MISTAKES[mistake]
    if written is None:
        return [S.make_T(T[:3, :3].T, T[:3, 3]) for T in robots]
    return [P.robot_pose_to_matrix(P.matrix_to_robot_pose(T, written), read) for T in robots]


def codes(findings):
    return [f.code for f in findings]


def noisy_series(eye_to_hand, seed=11, frames=20):
    make = S.eye_to_hand_series if eye_to_hand else S.hand_eye_series
    s = make(S.charuco(), S.make_camera(1280, 960), frames, seed=seed)
    robots, cams = S.noisy_poses(s, seed=3, robot_m=0.2e-3, robot_deg=0.02, corner_px=0.2)
    return s, robots, cams


def stretched(cams, factor):
    """Target poses solved with a board described `factor` times its printed size."""
    return [S.make_T(T[:3, :3], T[:3, 3] * factor) for T in cams]


@pytest.mark.parametrize("eye_to_hand", [False, True])
def test_a_wrong_print_is_measured_and_flagged_and_a_right_one_is_not(eye_to_hand, capfd):
    s, robots, cams = noisy_series(eye_to_hand)
    right = diagnostics.estimate_board_scale(robots, cams, eye_to_hand)
    assert abs(right.value - 1.0) < 4 * right.sigma and 0 < right.sigma < 0.003
    assert diagnostics.check_hand_eye_data(robots, cams, eye_to_hand) == []
    wrong = stretched(cams, 1.01)
    b = diagnostics.estimate_board_scale(robots, wrong, eye_to_hand)
    assert abs(b.value - 1 / 1.01) < 4 * b.sigma
    found = diagnostics.check_hand_eye_data(robots, wrong, eye_to_hand)
    assert codes(found) == ["board_scale_mismatch"] and "smaller" in found[0].message
    # the calibrators keep the result and say what the square measures
    target = _vesk.CharucoTarget(*s.board.target_args())
    cal = (_vesk.EyeToHandCalibrator if eye_to_hand else _vesk.EyeInHandCalibrator)(target)
    r = cal.calibrate(robots, [], "PARK", wrong, s.camera.K, s.camera.dist)
    assert r.ok and codes(r.data_findings) == ["board_scale_mismatch"]
    assert r.board_scale.value == pytest.approx(b.value, abs=1e-12)
    square = target.square_length
    assert r.board_scale.stated_square_m == square
    assert f"{r.board_scale.implied_square_m * 1000:.2f} mm, not the {square * 1000:.2f} mm" in r.data_findings[0].message
    assert "Board scale from the robot's motion: " in cal.format_results()
    capfd.readouterr()


def test_the_joint_solve_frees_the_scale_on_request_and_is_unchanged_without(capfd):
    s, _, _ = noisy_series(False)
    robots, pixels, objects = S.noisy_corners(s, 4, robot_m=0.2e-3, robot_deg=0.02, corner_px=0.2)
    stated = [o * 1.01 for o in objects]
    args = (robots, pixels, stated, s.camera.K, s.camera.dist, "PARK")
    held = diagnostics.refine_hand_eye(*args)
    assert np.array_equal(held.hand_eye, diagnostics.refine_hand_eye(*args, free_board_scale=False).hand_eye)
    assert not held.board_scale_free and np.isnan(held.board_scale)
    free = diagnostics.refine_hand_eye(*args, free_board_scale=True)
    assert free.ok and free.board_scale_free
    assert abs(free.board_scale - 1 / 1.01) < 4 * free.board_scale_sigma
    err = lambda j: np.linalg.norm(j.hand_eye[:3, 3] - s.tcp_T_camera[:3, 3])
    assert err(held) > 2e-3 and err(free) < 1e-3
    target = _vesk.CharucoTarget(*s.board.target_args())
    with pytest.raises(ValueError, match="free_board_scale .* refine=True"):
        _vesk.EyeInHandCalibrator(target).calibrate(robots, [], "PARK", [np.eye(4)] * len(robots), free_board_scale=True)
    capfd.readouterr()


@pytest.mark.parametrize("eye_to_hand", [False, True])
@pytest.mark.parametrize("mistake", MISTAKES)
def test_each_rotation_convention_mistake_is_named(mistake, eye_to_hand, capfd):
    _, robots, cams = noisy_series(eye_to_hand)
    found = diagnostics.check_hand_eye_data(misread(robots, mistake), cams, eye_to_hand)
    assert codes(found) == [MISTAKES[mistake][2]], (mistake, codes(found))
    assert found[0].message.endswith(").") or found[0].message.endswith(".")
    assert "[ERROR:" not in capfd.readouterr().err


@pytest.fixture(scope="module")
def real_frames():
    if not REAL.is_dir():
        pytest.skip(f"the shared real dataset is absent ({REAL})")
    images, poses = io.load_hand_eye_dataset(REAL)
    target = _vesk.CharucoTarget(5, 7, 0.036195, 0.018256, _vesk.aruco_dictionary_id_from_name("DICT_6X6_250"))
    r = _vesk.EyeToHandCalibrator(target).calibrate(poses, images, "PARK")
    assert r.ok and r.data_findings == []
    # its print is right to within the scale's own sigma, which the camera's focal length dominates
    assert abs(r.board_scale.value - 1.0) < 2 * r.board_scale.sigma < 0.02
    return list(r.valid_robot_T_tcp_list), list(r.camera_T_target_list)


@pytest.mark.parametrize("mistake", MISTAKES)
def test_real_data_misread_gets_its_own_code(mistake, real_frames, capfd):
    robots, cams = real_frames
    assert diagnostics.check_hand_eye_data(robots, cams, True) == []
    found = diagnostics.check_hand_eye_data(misread(robots, mistake), cams, True)
    assert codes(found) == [MISTAKES[mistake][2]], (mistake, codes(found))
    assert "[ERROR:" not in capfd.readouterr().err


def test_supplied_intrinsics_that_do_not_fit_are_warned_about_with_both_rms(series, capfd):
    s, images, target = series("charuco")
    # another lens's distortion (a focal length alone is absorbed by the board's distance)
    D = np.array([-0.4, 0.2, 0.0, 0.0, 0.0])
    capfd.readouterr()
    _vesk.EyeInHandCalibrator(target).calibrate(s.robot_T_tcp, images, "PARK", [], s.camera.K, D)
    err = capfd.readouterr().err
    assert "[vesk][WARNING] [EyeInHandCalibrator] The supplied intrinsics do not fit the views (RMS " in err
    _vesk.EyeInHandCalibrator(target).calibrate(s.robot_T_tcp, images, "PARK", [], s.camera.K, s.camera.dist)
    assert "do not fit the views" not in capfd.readouterr().err


def test_a_board_with_squares_swapped_is_named_once(capfd):
    if not REAL.is_dir():
        pytest.skip(f"the shared real dataset is absent ({REAL})")
    images, poses = io.load_hand_eye_dataset(REAL)
    swapped = _vesk.CharucoTarget(7, 5, 0.036195, 0.018256, _vesk.aruco_dictionary_id_from_name("DICT_6X6_250"))
    capfd.readouterr()
    _vesk.EyeToHandCalibrator(swapped).calibrate(poses, images, "PARK")
    err = capfd.readouterr().err
    # the prescribed line per image stays, and one line says why
    assert err.count("[CharucoIntrinsicCalibrator] Not enough ChArUco corners in image ") == 16
    summary = [line for line in err.splitlines() if "the board is described wrong" in line]
    assert len(summary) == 1 and "With squares_x and squares_y swapped (5 x 7)" in summary[0]
