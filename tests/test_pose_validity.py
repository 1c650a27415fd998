"""Input that would give plausible garbage is refused or flagged: poses, dataset images, intrinsic views."""

import cv2
import numpy as np
import pytest

import _vesk
from _vesk import diagnostics, io, tf
from vesk_testing import scene as S


def corrupt(T, how):
    T = np.array(T, dtype=np.float64)
    if how == "scaled":
        T[:3, :3] *= 1.2
    elif how == "transposed":
        T = T.T.copy()
    elif how == "reflected":
        T[:3, 0] *= -1.0
    elif how == "bottom_row":
        T[3, 0] = 0.1
    return T


BAD = ["scaled", "transposed", "reflected", "bottom_row"]
PROBLEM = {"scaled": "not a rotation", "transposed": "bottom row", "reflected": "reflection",
           "bottom_row": "bottom row"}


@pytest.mark.parametrize("how", BAD)
@pytest.mark.parametrize("entry", ["calibrate_robot", "calibrate_target", "check", "pnp", "compare", "variety"])
def test_hand_eye_entry_points_refuse_non_rigid_poses(entry, how, series):
    s, images, target = series("charuco")
    robots, cams = list(s.robot_T_tcp), list(s.camera_T_target)
    cal = _vesk.EyeInHandCalibrator(target)
    if entry == "calibrate_target":
        cams[3] = corrupt(cams[3], how)
        name = "camera_T_target_list"
    else:
        robots[3] = corrupt(robots[3], how)
        name = "robot_T_tcp_list"
    if entry == "variety":
        cams[3] = corrupt(s.camera_T_target[3], how)
        name = "camera_T_target_list"
    with pytest.raises(ValueError, match=rf"{name}\[3\] is not a rigid transform: .*{PROBLEM[how]}"):
        if entry == "variety":
            diagnostics.analyze_rotation_variety(cams)
        elif entry == "compare":
            diagnostics.compare_hand_eye_methods(target, robots, [], cams, s.camera.K, s.camera.dist)
        elif entry == "check":
            diagnostics.check_hand_eye_data(robots, cams)
        elif entry == "pnp":
            cal.compute_camera_T_target_list(images, robots, s.camera.K, s.camera.dist)
        else:
            cal.calibrate(robots, [], "TSAI", cams, s.camera.K)


def test_poses_printed_with_six_decimals_are_used_as_given(series):
    s, _, target = series("charuco")
    robots = [np.round(T, 6) for T in s.robot_T_tcp]
    r = _vesk.EyeInHandCalibrator(target).calibrate(robots, [], "TSAI", s.camera_T_target, s.camera.K)
    assert r.ok
    for given, used in zip(robots, r.valid_robot_T_tcp_list):
        np.testing.assert_array_equal(given, used)


@pytest.mark.parametrize("how", BAD)
def test_pose_utilities_refuse_non_rigid_matrices(how):
    T = corrupt(tf.pose_to_transformation_matrix([0.1, 0.2, 0.3, 10.0, 20.0, 30.0]), how)
    with pytest.raises(ValueError, match=f"transformationMatrixToPose: not a rigid transform: .*{PROBLEM[how]}"):
        tf.transformation_matrix_to_pose(T)
    with pytest.raises(ValueError, match=f"averagePose: element 1 is not a rigid transform: .*{PROBLEM[how]}"):
        tf.average_pose([np.eye(4), T])


def test_average_of_rotations_that_cancel_is_nan(capfd):
    half_turn = S.make_T(S.rot_z(180.0), [0.2, 0.0, 0.0])
    mean = tf.average_pose([np.eye(4), half_turn])
    assert np.isnan(mean[:3, :3]).all()
    np.testing.assert_array_equal(mean[:3, 3], [0.1, 0.0, 0.0])
    assert "[vesk][WARNING] averagePose: the rotations cancel out" in capfd.readouterr().err
    # a quarter turn apart is a well-defined mean
    assert np.isfinite(tf.average_pose([np.eye(4), S.make_T(S.rot_z(90.0), [0, 0, 0])])).all()


def test_saving_images_and_poses_of_different_lengths_writes_nothing(tmp_path):
    images = [np.zeros((8, 8, 3), np.uint8)] * 12
    poses = [np.eye(4)] * 10
    with pytest.raises(ValueError, match="io: image_list and robot_T_tcp_list must have the same length, "
                                         "got 12 images and 10 poses"):
        io.save_hand_eye_dataset(tmp_path / "d", images, poses)
    assert not (tmp_path / "d").exists()
    io.save_hand_eye_dataset(tmp_path / "p", [], poses)  # the pose archive alone, as before
    assert len(io.load_hand_eye_dataset(tmp_path / "p")[1]) == 10


@pytest.mark.parametrize("image", [
    np.full((8, 8, 3), 0.5, np.float32),
    np.full((8, 8, 3), 40000, np.uint16),
    np.full((8, 8), -5, np.int16),
    np.zeros((8, 8, 2), np.uint8),
], ids=["float32", "uint16", "int16", "two_channels"])
def test_images_the_folder_cannot_give_back_are_refused(image, tmp_path):
    good = np.zeros((8, 8, 3), np.uint8)
    with pytest.raises(ValueError, match=r"io: image_list\[1\] is CV_.*8-bit images with 1, 3 or 4 channels"):
        io.save_hand_eye_dataset(tmp_path / "d", [good, image], [np.eye(4)] * 2)
    assert not (tmp_path / "d").exists()
    with pytest.raises(ValueError, match=r"io: annotated_images\[0\] is CV_"):
        io.save_hand_eye_dataset(tmp_path / "d", [good], [np.eye(4)], [image])


# ---- intrinsics --------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def views():
    """(camera, board, target, tilted views, views within a degree of fronto-parallel)."""
    camera, board = S.make_camera(), S.charuco()
    render = lambda poses: [S.render(board, camera, T) for T in poses]  # noqa: E731
    tilted = render(S.view_poses(board, camera, 6, seed=3))
    flat = render(S.view_poses(board, camera, 6, seed=4, max_tilt=0.5, max_roll=30.0))
    return camera, board, _vesk.CharucoTarget(*board.target_args()), tilted, flat


def test_images_of_different_sizes_are_refused(views):
    _, _, target, tilted, _ = views
    images = tilted[:3] + [cv2.resize(tilted[3], None, fx=0.8, fy=0.8, interpolation=cv2.INTER_AREA)] + tilted[4:]
    with pytest.raises(ValueError, match=r"images\[3\] is 512x384 but images\[0\] is 640x480"):
        _vesk.IntrinsicCalibrator(target).calibrate(images)


@pytest.mark.parametrize("n", [1, 2])
def test_fewer_than_three_views_are_not_ok(n, views):
    _, _, target, tilted, _ = views
    r = _vesk.IntrinsicCalibrator(target).calibrate(tilted[:n])
    assert not r.ok and r.intrinsic_matrix.size == 0
    assert r.failure.code == "too_few_views"
    assert r.failure.message.startswith(f"The target was found in {n} view{'s' if n > 1 else ''} only")


def test_views_of_one_orientation_warn_and_stay_ok(views, capfd):
    _, _, target, tilted, flat = views
    capfd.readouterr()
    assert _vesk.IntrinsicCalibrator(target).calibrate(flat).ok
    assert "the focal length and the principal point are poorly determined" in capfd.readouterr().err
    assert _vesk.IntrinsicCalibrator(target).calibrate(tilted).ok
    assert "poorly determined" not in capfd.readouterr().err


@pytest.mark.parametrize("guess,problem", [
    (np.eye(3), "focal lengths"),
    (np.zeros((3, 3)), "lower entries"),
    (np.array([[600.0, 0, 900.0], [0, 600.0, 240.0], [0, 0, 1]]), "principal point"),
], ids=["identity", "zeros", "centre_outside"])
def test_a_guess_that_is_no_camera_matrix_is_refused_when_used(guess, problem, views):
    camera, _, target, tilted, _ = views
    options = _vesk.IntrinsicOptions()
    options.intrinsic_matrix_guess = guess
    assert _vesk.IntrinsicCalibrator(target, options).calibrate(tilted).ok  # not used: no flag
    options.calibrate_camera_flags = _vesk.CALIB_USE_INTRINSIC_GUESS
    with pytest.raises(ValueError, match=f"intrinsic_matrix_guess is not a camera matrix: .*{problem}"):
        _vesk.IntrinsicCalibrator(target, options).calibrate(tilted)
    options.intrinsic_matrix_guess = camera.K
    assert _vesk.IntrinsicCalibrator(target, options).calibrate(tilted).ok
