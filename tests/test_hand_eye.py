import json
import math

import numpy as np
import pytest

import _vesk
from vesk_testing import scene as S
from vesk_testing.scenes import METHODS

def assert_close_to_truth(result, truth, mm=1.0, deg=0.1):
    assert result.ok
    dt, dr = S.pose_error(result.tcp_T_camera, truth)
    assert dt * 1000 < mm and dr < deg, (dt * 1000, dr)


def run_path(path, method, series):
    s, images, target = series("charuco")
    cal = _vesk.EyeInHandCalibrator(target)
    K, D = s.camera.K, s.camera.dist
    if path == 1:
        return cal.calibrate(s.robot_T_tcp, images, method)
    if path == 2:
        return cal.calibrate(s.robot_T_tcp, images, method, [], K, D)
    aligned = cal.compute_camera_T_target_list(images, s.robot_T_tcp, K, D)
    return cal.calibrate(aligned.valid_robot_T_tcp_list, [], method, aligned.camera_T_target_list, K, D)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("path", [1, 2, 3])
def test_charuco_ground_truth_every_path_and_method(path, method, series):
    r = run_path(path, method, series)
    assert_close_to_truth(r, series("charuco")[0].tcp_T_camera)
    assert r.data_findings == []
    assert r.has_consistency and r.consistency.mean_translation_m < 1e-3
    assert len(r.valid_robot_T_tcp_list) == len(r.camera_T_target_list) == 15
    assert (math.isnan(r.reprojection_error)) == (path != 1)
    for T in r.camera_T_target_list:
        assert T.dtype == np.float64 and T[3].tolist() == [0, 0, 0, 1]


@pytest.mark.parametrize("kind", ["chessboard", "aruco"])
def test_other_targets_through_own_intrinsics(kind, series):
    s, images, target = series(kind)
    r = _vesk.EyeInHandCalibrator(target).calibrate(s.robot_T_tcp, images, "TSAI")
    assert_close_to_truth(r, s.tcp_T_camera)
    assert r.consistency.mean_translation_m < 1e-3 and r.data_findings == []


def cv_fmt(m):
    """OpenCV's default matrix text."""
    m = np.atleast_2d(m)
    return "[" + ";\n ".join(", ".join(f"{v:.16g}" for v in row) for row in m) + "]"


def expected_report(r, variety):
    lines = ["", "=" * 60, "HAND-EYE RESULTS", "=" * 60, "", "Hand-Eye Transform (TCP -> Camera):",
             cv_fmt(r.tcp_T_camera), "", "Pose [x, y, z, rx, ry, rz] (deg):",
             "  [" + ", ".join(f"{v:g}" for v in _vesk.tf.transformation_matrix_to_pose(r.tcp_T_camera)) + "]",
             "", "Intrinsic Matrix:", cv_fmt(r.intrinsic_matrix), "", "Distortion Coefficients:",
             cv_fmt(r.distortion_coefficients), ""]
    nan = math.isnan(r.reprojection_error)
    f = (lambda v: f"{v:g}") if nan else (lambda v: f"{v:.4f}")
    lines.append("Reprojection Error: " + ("n/a" if nan else f"{r.reprojection_error:.4f} px"))
    c = r.consistency
    lines += ["", "Target Consistency Residual:",
              f"  Translation - mean: {f(c.mean_translation_m * 1000)} mm   max: {f(c.max_translation_m * 1000)} mm",
              f"  Rotation    - mean: {f(c.mean_rotation_deg)} deg   max: {f(c.max_rotation_deg)} deg"]
    for i in range(len(c.translation_deviations_m)):
        lines.append(f"  Frame {i}: trans={f(c.translation_deviations_m[i] * 1000)}mm "
                     f"rot={f(c.rotation_deviations_deg[i])}deg dist={f(c.distances_m[i] * 1000)}mm "
                     f"center=({f(c.board_us[i])}, {f(c.board_vs[i])})")
    return "\n".join(lines) + "\n\n" + variety


@pytest.mark.parametrize("path", [1, 2])
def test_report_text(path, capfd, series):
    s, images, target = series("charuco")
    cal = _vesk.EyeInHandCalibrator(target)
    assert cal.format_results() == "\n" + "=" * 60 + "\nHAND-EYE RESULTS\n" + "=" * 60 + "\nCalibration failed.\n"
    args = () if path == 1 else ("TSAI", [], s.camera.K, s.camera.dist)
    r = cal.calibrate(s.robot_T_tcp, images, *args)
    variety = _vesk.diagnostics.format_rotation_variety(
        _vesk.diagnostics.analyze_rotation_variety(r.camera_T_target_list, 0.5))
    # The prescribed report, byte for byte, then the uncertainty section after it.
    expected = expected_report(r, variety)
    text = cal.format_results()
    assert text[:len(expected)].splitlines() == expected.splitlines()
    assert text.startswith(expected)
    u, b = r.uncertainty, r.board_scale
    head = "\n" + "=" * 60 + "\nHAND-EYE UNCERTAINTY AND DATA CHECK\n" + "=" * 60 + "\n"
    meaning, numbers = text[len(expected) + len(head):].splitlines()[:2]
    assert meaning == "tcp_T_camera maps camera coordinates into the tcp frame (the camera's pose on the flange):"
    # x y z and a quaternion x y z w that give the transform back
    xyz, quat = numbers.removeprefix("  x, y, z: ").split(" m; quaternion x, y, z, w: ")
    (x, y, z), (qx, qy, qz, qw) = map(float, xyz.split(", ")), map(float, quat.split(", "))
    assert np.allclose([x, y, z], r.tcp_T_camera[:3, 3], atol=1e-6) and qw >= 0
    R = np.array([[1 - 2 * (qy * qy + qz * qz), 2 * (qx * qy - qz * qw), 2 * (qx * qz + qy * qw)],
                  [2 * (qx * qy + qz * qw), 1 - 2 * (qx * qx + qz * qz), 2 * (qy * qz - qx * qw)],
                  [2 * (qx * qz - qy * qw), 2 * (qy * qz + qx * qw), 1 - 2 * (qx * qx + qy * qy)]])
    assert np.allclose(R, r.tcp_T_camera[:3, :3], atol=1e-5)
    assert text[len(expected):] == (
        head + meaning + "\n" + numbers + "\n"
        "1-sigma of tcp_T_camera, from the spread of the solutions with frames left out:\n"
        "  Translation x, y, z: " + ", ".join(f"{v * 1000:.3f}" for v in u.translation_std_m) + " mm\n"
        "  Rotation about tcp x, y, z: " + ", ".join(f"{v:.4f}" for v in u.rotation_std_deg) + " deg\n"
        f"Board scale from the robot's motion: {b.value:.4f} +- {b.sigma:.4f} (1-sigma), a square of "
        f"{b.implied_square_m * 1000:.2f} mm against {b.stated_square_m * 1000:.2f} mm stated\n"
        "Data check: no findings.\n")
    out = capfd.readouterr().out
    assert out == text  # calibrate printed the same report
    cal.print_results()
    assert capfd.readouterr().out == text


def test_log_lines_and_result_file(tmp_path, capfd, series):
    s, images, target = series("charuco")
    cal = _vesk.EyeInHandCalibrator(target)
    r = cal.calibrate(s.robot_T_tcp, images, "PARK", output_path=tmp_path)
    err = capfd.readouterr().err.splitlines()
    assert err[:2] == ["[vesk][INFO] Collected images 15", "[vesk][INFO] Collected poses 15"]
    assert "[vesk][INFO] Calculating extrinsic (hand-eye) transform..." in err
    assert err[-2:] == ["[vesk][INFO] Extrinsic calibration complete.",
                        f"[vesk][SUCCESS] Saved hand-eye result to {tmp_path / 'hand_eye.json'}"]
    doc = json.loads((tmp_path / "hand_eye.json").read_text())
    assert (doc["method"], doc["num_frames_used"], doc["num_frames_total"], doc["num_cameras"]) == ("PARK", 15, 15, 1)
    np.testing.assert_array_equal(np.array(doc["tcp_T_camera_list"][0]), r.tcp_T_camera)
    assert len(cal.corner_images()) == 15


def test_failures_keep_the_last_result(capfd, series):
    s, images, target = series("charuco")
    cal = _vesk.EyeInHandCalibrator(target)
    good = cal.calibrate(s.robot_T_tcp, images)
    for method in ("tsai", "NOPE"):
        with pytest.raises(ValueError) as e:
            cal.calibrate(s.robot_T_tcp, images, method)
        assert str(e.value) == f"Unknown hand-eye method '{method}'"
    capfd.readouterr()
    r = cal.calibrate(s.robot_T_tcp[:3], images[:3])
    assert not r.ok and len(r.valid_image_list) == 3 and r.failure.code == "too_few_frames"
    assert f"[vesk][ERROR] {r.failure.message}" in capfd.readouterr().err
    r = cal.calibrate(s.robot_T_tcp[:3], [], "TSAI", s.camera_T_target[:3])
    assert not r.ok and r.failure.code == "too_few_frames"
    assert r.failure.message == "Not enough valid poses for hand-eye calibration after filtering. Got 3, need at least 4."
    r = cal.calibrate(s.robot_T_tcp[:4], [], "TSAI", s.camera_T_target[:4], s.camera.K)
    assert r.ok  # exactly four frames solve
    cal2 = _vesk.EyeInHandCalibrator(target)
    cal2.calibrate(s.robot_T_tcp, images)
    with pytest.raises(ValueError) as e:
        cal2.calibrate(s.robot_T_tcp[:9], [], "TSAI", s.camera_T_target[:10])
    assert str(e.value) == ("EyeInHandCalibrator: robot_T_tcp_list must be pre-aligned to camera_T_target_list. "
                            "Got 9 (robot) vs 10 (camera). Filter robot_T_tcp_list by the backend's successful "
                            "indices before passing it in.")
    assert cal2.last_result().ok
    np.testing.assert_array_equal(cal2.last_result().tcp_T_camera, good.tcp_T_camera)


def test_path_2_needs_charuco_and_four_frames(capfd, series):
    s, images, target = series("chessboard")
    with pytest.raises(ValueError) as e:
        _vesk.EyeInHandCalibrator(target).calibrate(s.robot_T_tcp, images, "TSAI", [], s.camera.K, s.camera.dist)
    assert str(e.value) == "EyeInHandCalibrator::computeCameraTTargetList only supports CharucoTarget"
    s, images, target = series("charuco")
    blank = [np.full_like(images[0], 255)] * 12
    capfd.readouterr()
    r = _vesk.EyeInHandCalibrator(target).calibrate(s.robot_T_tcp[:3] * 5, images[:3] + blank, "TSAI", [],
                                                    s.camera.K, s.camera.dist)
    err = capfd.readouterr().err
    assert not r.ok and len(r.valid_image_list) == 3
    assert "[vesk][WARNING] frame 3: ChArUco detection failed  -  skipping" in err
    assert "[vesk][INFO] compute_camera_T_target_list: 3/15 frames passed" in err
    assert r.failure.code == "too_few_frames" and r.failure.message.startswith("Only 3 valid frames after solvePnP")


def test_compute_camera_T_target_list_stops_at_the_shorter_list(capfd, series):
    s, images, target = series("charuco")
    cal = _vesk.EyeInHandCalibrator(target)
    aligned = cal.compute_camera_T_target_list(images[:10], s.robot_T_tcp[:8], s.camera.K, s.camera.dist)
    assert len(aligned.camera_T_target_list) == len(aligned.valid_image_list) == 8
    assert "compute_camera_T_target_list: 8/10 frames passed" in capfd.readouterr().err
    for est, true in zip(aligned.camera_T_target_list, s.camera_T_target):
        assert S.pose_error(est, true)[0] < 1e-3  # the detector reports corners +0.5 px
    with pytest.raises(ValueError, match=r"image_list\[0\] has 1 channel"):  # a grey image: colour is required
        cal.compute_camera_T_target_list([images[0][:, :, 0]], s.robot_T_tcp[:1], s.camera.K, s.camera.dist)


@pytest.mark.parametrize("path", [1, 2])
@pytest.mark.parametrize("poses", [10, 16])
def test_image_and_pose_counts_must_match(path, poses, series):
    s, images, target = series("charuco")
    robots = (s.robot_T_tcp + s.robot_T_tcp)[:poses]
    args = ("TSAI",) if path == 1 else ("TSAI", [], s.camera.K, s.camera.dist)
    with pytest.raises(ValueError, match=rf"same length, got 15 images and {poses} robot poses\. .*missing image"):
        _vesk.EyeInHandCalibrator(target).calibrate(robots, images, *args)


def test_target_poses_without_intrinsics_and_identical_orientations(capfd, series):
    s, _, target = series("charuco")
    cal = _vesk.EyeInHandCalibrator(target)
    r = cal.calibrate(s.robot_T_tcp, [], "TSAI", s.camera_T_target)
    assert r.ok and not r.has_consistency and r.intrinsic_matrix.size == 0
    assert_close_to_truth(r, s.tcp_T_camera, mm=1e-3, deg=1e-4)  # exact poses: exact answer
    assert "Target Consistency" not in cal.format_results()
    flat = [S.make_T(np.eye(3), [0.01 * i, 0, 0.5]) for i in range(6)]
    capfd.readouterr()
    r = cal.calibrate(s.robot_T_tcp[:6], [], "TSAI", flat, s.camera.K)
    # The warning still comes, and the data check refuses what cannot be a fixed board.
    assert not r.ok and r.tcp_T_camera.size == 0
    assert "implausible_consistency" in [f.code for f in r.data_findings]
    assert ("[vesk][WARNING] [EyeInHandCalibrator] All camera poses have identical orientation! Hand-eye "
            "calibration requires varied rotations to solve uniquely.") in capfd.readouterr().err
    with pytest.raises(ValueError, match=r"robot_T_tcp_list\[2\] must be a 4x4 matrix"):
        cal.calibrate(s.robot_T_tcp[:2] + [np.eye(3)] + s.robot_T_tcp[3:6], [], "TSAI", s.camera_T_target[:6])


def test_method_table():
    assert _vesk.hand_eye_method_by_name_map() == {"ANDREFF": 3, "DANIILIDIS": 4, "HORAUD": 2, "PARK": 1, "TSAI": 0}
