"""A camera fixed in the cell and the board on the flange: robot_T_camera and tcp_T_target."""

import functools
import json
import math
import pathlib

import cv2
import numpy as np
import pytest

import _vesk
from _vesk import diagnostics, io
from vesk_testing import scene as S
from vesk_testing import scenes
from vesk_testing.scenes import METHODS

REAL = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "data" / "eye_to_hand_charuco"
EMPTY = np.empty((0, 0))


@pytest.fixture(scope="module")
def e2h():
    """e2h(kind, n=15, size=(640, 480)) -> (truth, images, target), each rendered once."""
    return functools.cache(scenes.eye_to_hand_series)


def inverted(poses):
    return [np.linalg.inv(T) for T in poses]


def assert_truth(r, s, mm, deg):
    assert r.ok, [f.code for f in r.data_findings]
    for got, want in ((r.robot_T_camera, s.robot_T_camera), (r.tcp_T_target, s.tcp_T_target)):
        dt, dr = S.pose_error(got, want)
        assert dt * 1000 < mm and dr < deg, (dt * 1000, dr)


@pytest.mark.parametrize("kind", scenes.KINDS)
def test_every_target_kind_recovers_camera_and_board_on_flange(kind, e2h, capfd):
    s, images, target = e2h(kind)
    r = _vesk.EyeToHandCalibrator(target).calibrate(s.robot_T_tcp, images)
    assert_truth(r, s, 1.0, 0.1)
    assert r.data_findings == [] and r.has_consistency and r.consistency.mean_translation_m < 1e-3
    # the caller's own robot poses come back, not the inverted ones the solve takes
    assert len(r.valid_robot_T_tcp_list) == len(r.camera_T_target_list) == len(r.valid_image_list) == 15
    for got in r.valid_robot_T_tcp_list:
        assert any(np.array_equal(got, T) for T in s.robot_T_tcp)
    assert "EYE-TO-HAND RESULTS" in capfd.readouterr().out


@pytest.mark.parametrize("kind", ["charuco", "chessboard"])
def test_noise_free_large_views_are_within_a_third_of_a_millimetre(kind, e2h, capfd):
    s, images, target = e2h(kind, 20, (1280, 960))
    r = _vesk.EyeToHandCalibrator(target).calibrate(s.robot_T_tcp, images)
    assert_truth(r, s, 0.3, 0.03)
    capfd.readouterr()


@pytest.mark.parametrize("kind", ["charuco", "chessboard", "aruco"])
def test_given_intrinsics_detect_any_board_and_equal_the_inverted_route(kind, e2h, capfd):
    s, images, target = e2h(kind)
    K, D = s.camera.K, s.camera.dist
    cal = _vesk.EyeToHandCalibrator(target)
    r = cal.calibrate(s.robot_T_tcp, images, "PARK", [], K, D)
    assert_truth(r, s, 1.0, 0.1)
    aligned = cal.compute_camera_T_target_list(images, s.robot_T_tcp, K, D)
    r3 = cal.calibrate(aligned.valid_robot_T_tcp_list, [], "PARK", aligned.camera_T_target_list, K, D)
    np.testing.assert_allclose(r3.robot_T_camera, r.robot_T_camera, atol=1e-12)
    if kind == "charuco":  # the eye-in-hand calibrator's target-pose path takes ChArUco only
        route = _vesk.EyeInHandCalibrator(target).calibrate(inverted(s.robot_T_tcp), images, "PARK", [], K, D)
        np.testing.assert_allclose(route.tcp_T_camera, r.robot_T_camera, atol=1e-9)
        assert route.consistency.translation_deviations_m == pytest.approx(r.consistency.translation_deviations_m,
                                                                         abs=1e-12)
    capfd.readouterr()


@pytest.mark.parametrize("case,error", [
    ("nan", "non-finite"), ("short", "same length"), ("shape", "must be a 4x4 matrix"), ("method", "Unknown"),
    ("reflection", "not a rigid transform")])
def test_bad_input_is_refused_before_any_work(case, error, e2h):
    s, images, target = e2h("charuco")
    robots = [T.copy() for T in s.robot_T_tcp]
    method = "TSAI"
    if case == "nan":
        robots[3][0, 3] = np.nan
    elif case == "short":
        robots = robots[:-1]
    elif case == "shape":
        robots[2] = robots[2][:3]
    elif case == "method":
        method = "tsai"
    elif case == "reflection":
        robots[1][:3, 0] *= -1
    with pytest.raises(ValueError, match=error):
        _vesk.EyeToHandCalibrator(target).calibrate(robots, images, method)


def test_degenerate_rotation_and_too_few_frames_fail_without_replacing_the_last_result(e2h, capfd):
    s, images, target = e2h("charuco")
    cal = _vesk.EyeToHandCalibrator(target)
    assert cal.format_results().endswith("EYE-TO-HAND RESULTS\n" + "=" * 60 + "\nCalibration failed.\n")
    good = cal.calibrate(s.robot_T_tcp, [], "TSAI", s.camera_T_target, s.camera.K, s.camera.dist)
    flat = S.eye_to_hand_series(s.board, s.camera, 10, single_axis=True)
    bad = cal.calibrate(flat.robot_T_tcp, [], "TSAI", flat.camera_T_target, s.camera.K)
    assert not bad.ok and bad.robot_T_camera.size == 0 and bad.tcp_T_target.size == 0
    assert bad.failure.code in ("rotation_not_observable", "four_axis_motions")
    few = cal.calibrate(s.robot_T_tcp[:3], [], "TSAI", s.camera_T_target[:3], s.camera.K)
    assert not few.ok and len(few.valid_robot_T_tcp_list) == 3
    np.testing.assert_array_equal(cal.last_result().robot_T_camera, good.robot_T_camera)


@pytest.mark.parametrize("mistake,code", [
    (lambda r: [S.make_T(T[:3, :3], T[:3, 3] * 1000) for T in r], "robot_translation_in_millimetres"),
    (inverted, "inverted_robot_poses"),
])
def test_the_data_check_names_the_mistake(mistake, code, capfd):
    s = S.eye_to_hand_series(S.charuco(), S.make_camera(1280, 960), 20, seed=4)
    robots, cams = S.noisy_poses(s, seed=4)
    K = s.camera.K
    clean = _vesk.EyeToHandCalibrator(_vesk.CharucoTarget(*s.board.target_args()))
    assert clean.calibrate(robots, [], "TSAI", cams, K).data_findings == []
    assert diagnostics.check_hand_eye_data(robots, cams, eye_to_hand=True) == []
    r = clean.calibrate(mistake(robots), [], "TSAI", cams, K)
    assert not r.ok and code in [f.code for f in r.data_findings]
    assert "[EyeToHandCalibrator] Data check, " + code in capfd.readouterr().err
    # read as a camera on the flange, the same data cannot hold a board still
    assert [f.code for f in diagnostics.check_hand_eye_data(robots, cams)] != []


def test_uncertainty_covers_the_truth_with_robot_and_corner_noise(capfd):
    """Over seeds with robot error 0.5 mm / 0.05 deg and 0.3 px corners, error/sigma has an RMS near 1."""
    board, camera = S.charuco(), S.make_camera(1280, 960)
    target = _vesk.CharucoTarget(*board.target_args())
    z = []
    for seed in range(30):
        s = S.eye_to_hand_series(board, camera, 12 + seed % 10, seed=200 + seed)
        robots, cams = S.noisy_poses(s, seed)
        r = _vesk.EyeToHandCalibrator(target).calibrate(robots, [], "TSAI", cams, camera.K, camera.dist)
        assert r.ok
        u = r.uncertainty
        # rotation error about the robot base's axes, as the sigma is given
        rot = cv2.Rodrigues(s.robot_T_camera[:3, :3] @ r.robot_T_camera[:3, :3].T)[0].ravel()
        d = np.concatenate([rot, r.robot_T_camera[:3, 3] - s.robot_T_camera[:3, 3]])
        z.append(d / np.concatenate([np.radians(u.rotation_std_deg), u.translation_std_m]))
    capfd.readouterr()
    rms = float(np.sqrt(np.mean(np.square(z))))
    assert 0.6 <= rms <= 1.6, rms


def test_result_file_report_and_strict_reader(e2h, tmp_path, capfd):
    s, images, target = e2h("charuco")
    cal = _vesk.EyeToHandCalibrator(target)
    r = cal.calibrate(s.robot_T_tcp, images, "HORAUD", output_path=tmp_path / "out")
    text = (tmp_path / "out" / "eye_to_hand.json").read_text()
    doc = json.loads(text)
    # the re-check's keys come beside the prescribed ones, which keep their order
    assert [k for k in doc if k in ("method", "num_frames_total", "num_frames_used", "robot_T_camera",
                                    "robot_T_camera_uncertainty", "tcp_T_target")] == \
        ["method", "num_frames_total", "num_frames_used", "robot_T_camera", "robot_T_camera_uncertainty",
         "tcp_T_target"] and not text.endswith("\n")
    assert set(doc) - {"method", "num_frames_total", "num_frames_used", "robot_T_camera", "robot_T_camera_uncertainty",
                       "tcp_T_target"} == {"board", "created_utc", "distortion_coefficients", "image_size",
                                           "intrinsic_matrix", "tcp_T_target_uncertainty", "vesk_version"}
    assert doc["method"] == "HORAUD" and doc["num_frames_total"] == doc["num_frames_used"] == 15
    record = io.load_eye_to_hand_result(tmp_path / "out")
    np.testing.assert_array_equal(record.robot_T_camera, r.robot_T_camera)
    np.testing.assert_array_equal(record.tcp_T_target, r.tcp_T_target)
    assert (record.method, record.num_frames_used) == ("HORAUD", 15)
    # what a re-check needs comes back as the calibration used it
    np.testing.assert_array_equal(record.intrinsic_matrix, r.intrinsic_matrix)
    np.testing.assert_array_equal(record.distortion_coefficients, r.distortion_coefficients.reshape(1, -1))
    assert record.image_size == images[0].shape[1::-1] and repr(record.board) == repr(target)
    assert record.tcp_T_target_covariance.shape == (6, 6) and record.noise is None
    assert record.vesk_version == "0.1.0" and record.created_utc.endswith("Z")

    report = cal.format_results()
    for heading in ("Hand-Eye Transform (Robot -> Camera):", "Board on the Flange (TCP -> Target):",
                    "Board-on-Flange Consistency Residual:", "ROTATION VARIETY", "EYE-TO-HAND UNCERTAINTY AND DATA CHECK",
                    "1-sigma of robot_T_camera", "Rotation about robot base x, y, z"):
        assert heading in report
    assert capfd.readouterr().out.count(report) == 1

    empty = io.EyeToHandResultRecord()
    path = io.save_eye_to_hand_result(tmp_path / "e.json", empty)
    assert json.loads(path.read_text()) == {"method": None, "num_frames_total": None, "num_frames_used": None,
                                             "robot_T_camera": None, "tcp_T_target": None}
    back = io.load_eye_to_hand_result(path)
    assert back.robot_T_camera.size == 0 and back.num_frames_used == -1 and back.method == ""
    for bad, message in [({**doc, "robot_T_camera": [[1, 0], [0, 1]]}, "4x4"),
                         ({k: v for k, v in doc.items() if k != "tcp_T_target"}, "tcp_T_target"),
                         ({**doc, "tcp_T_target": [[None] * 4] * 4}, "non-finite"),
                         ({**doc, "method": 3}, "string")]:
        (tmp_path / "bad.json").write_text(json.dumps(bad))
        with pytest.raises((RuntimeError, ValueError), match=message):
            io.load_eye_to_hand_result(tmp_path / "bad.json")


def test_diagnostics_and_benchmark_take_the_fixed_camera(e2h, capfd):
    s, images, target = e2h("charuco")
    K, D = s.camera.K, s.camera.dist
    results = diagnostics.compare_hand_eye_methods(target, s.robot_T_tcp, [], s.camera_T_target, K, D,
                                                   eye_to_hand=True)
    assert sorted(results) == sorted(METHODS)
    for m in results.values():
        assert m.tcp_T_camera.size == 0
        dt, dr = S.pose_error(m.robot_T_camera, s.robot_T_camera)
        assert dt < 1e-6 and dr < 1e-4
    assert "All 5 methods agree" in diagnostics.format_method_comparison(results)
    # the fixed camera sees the board's motions in its own frame, as the flange's in the robot base
    mine = diagnostics.analyze_rotation_variety(s.camera_T_target, eye_to_hand=True)
    base = diagnostics.analyze_rotation_variety(inverted(s.robot_T_tcp), 0.5)
    np.testing.assert_allclose(mine.singular_values, base.singular_values, rtol=1e-9)

    bench = _vesk.CalibrationBenchmark()
    rt = bench.eye_to_hand_roundtrip(images, s.robot_T_tcp, s.robot_T_camera, K, D, target, s.camera_T_target)
    assert rt < 0.05
    capfd.readouterr()
    assert bench.eye_to_hand_roundtrip(images, s.robot_T_tcp, s.robot_T_camera, K, D, target, []) == math.inf
    assert "[Benchmark] eye_to_hand_roundtrip: camera_T_target_list missing" in capfd.readouterr().err
    res = bench.run(images, target, _vesk.IntrinsicOptions(), s.robot_T_tcp, _vesk.IntrinsicOptions(),
                    eye_to_hand=True)
    assert 0 <= res.hand_eye_roundtrip_error < 0.5
    wrong = bench.run(images, target, _vesk.IntrinsicOptions(), s.robot_T_tcp, _vesk.IntrinsicOptions())
    assert wrong.hand_eye_roundtrip_error == -1  # read as eye-in-hand, the data check refuses the solve
    capfd.readouterr()


@pytest.mark.skipif(not REAL.is_dir(), reason=f"the shared real dataset is absent ({REAL})")
def test_real_fixed_camera(capfd):
    images, poses = io.load_hand_eye_dataset(REAL)
    target = _vesk.CharucoTarget(5, 7, 0.036195, 0.018256, _vesk.aruco_dictionary_id_from_name("DICT_6X6_250"))
    r = _vesk.EyeToHandCalibrator(target).calibrate(poses, images, "PARK")
    assert r.ok and r.data_findings == [] and len(r.valid_image_list) == 16
    assert r.consistency.mean_translation_m < 2.5e-3
    route = _vesk.EyeInHandCalibrator(target).calibrate(inverted(poses), images, "PARK")
    np.testing.assert_allclose(r.robot_T_camera, route.tcp_T_camera, atol=1e-9)
    results = diagnostics.compare_hand_eye_methods(target, poses, images, [], EMPTY, EMPTY, eye_to_hand=True)
    xyz = np.array([m.robot_T_camera[:3, 3] for m in results.values()])
    assert len(xyz) == 5 and np.linalg.norm(np.ptp(xyz, axis=0)) < 5e-3
    assert not math.isnan(r.uncertainty.translation_std_m[0])
    capfd.readouterr()
