"""Four-axis (SCARA) hand-eye data: refused without the value along the axis, solved with it."""

import json

import cv2
import numpy as np
import pytest

import _vesk
from _vesk import io
from vesk_testing import scene as S

NOISE = dict(robot_m=0.2e-3, robot_deg=0.02, corner_px=0.2)
MESSAGE = ("rotations about one axis only, as a four-axis robot makes: the camera's offset along that axis cannot be "
           "found from the motions; give it with known_axis_offset_m")


@pytest.fixture(scope="module")
def board():
    return S.charuco(), S.make_camera(1280, 960)


def series(board, seed, eye_to_hand):
    b, camera = board
    s = S.four_axis_series(b, camera, 15, seed=seed, eye_to_hand=eye_to_hand)
    robots, cams = S.noisy_poses(s, seed, **NOISE)
    calibrator = (_vesk.EyeToHandCalibrator if eye_to_hand else _vesk.EyeInHandCalibrator)(
        _vesk.CharucoTarget(*b.target_args()))
    truth = s.robot_T_camera if eye_to_hand else s.tcp_T_camera
    fixed = s.tcp_T_target if eye_to_hand else s.robot_T_target
    # the axis, pointing up, in X's parent frame and in the fixed pose's
    up = np.array([0.0, 0.0, 1.0])
    down_in_tcp = s.robot_T_tcp[0][:3, :3].T @ up
    axis, fixed_axis = (up, down_in_tcp) if eye_to_hand else (down_in_tcp, up)
    return s, robots, cams, calibrator, truth, fixed, axis, fixed_axis


def transform(r, eye_to_hand):
    return r.robot_T_camera if eye_to_hand else r.tcp_T_camera


@pytest.mark.parametrize("eye_to_hand", [False, True])
@pytest.mark.parametrize("seed", [1, 2])
def test_refused_with_the_message_and_no_transform(board, seed, eye_to_hand):
    s, robots, cams, cal, *_ = series(board, seed, eye_to_hand)
    r = cal.calibrate(robots, [], "PARK", cams, s.camera.K, s.camera.dist)
    assert not r.ok
    assert transform(r, eye_to_hand).size == 0
    assert [f.code for f in r.data_findings] == ["four_axis_motions"]
    assert MESSAGE in r.data_findings[0].message.lower()
    assert "known_board_height_m" in r.data_findings[0].message
    assert cal.last_result().four_axis is None  # nothing stored
    # the data check says the same
    check = _vesk.diagnostics.check_hand_eye_data(robots, cams, eye_to_hand=eye_to_hand)
    assert [(f.code, f.message) for f in check] == [(f.code, f.message) for f in r.data_findings]


@pytest.mark.parametrize("eye_to_hand", [False, True])
@pytest.mark.parametrize("given", ["offset", "height"])
def test_solved_with_either_constraint(board, eye_to_hand, given, tmp_path):
    s, robots, cams, cal, truth, fixed, axis, fixed_axis = series(board, 3, eye_to_hand)
    kw = ({"known_axis_offset_m": float(truth[:3, 3] @ axis)} if given == "offset"
          else {"known_board_height_m": float(fixed[:3, 3] @ fixed_axis)})
    r = cal.calibrate(robots, [], "PARK", cams, s.camera.K, s.camera.dist, tmp_path, known_tolerance_m=2e-3, **kw)
    assert r.ok and r.data_findings == []
    T = transform(r, eye_to_hand)
    dt = T[:3, 3] - truth[:3, 3]
    dr = np.degrees(np.linalg.norm(cv2.Rodrigues(T[:3, :3] @ truth[:3, :3].T)[0]))
    assert np.linalg.norm(dt - (dt @ axis) * axis) < 1.5e-3 and dr < 0.2
    assert abs(dt @ axis) < 1.5e-3
    f = r.four_axis
    assert f.constraint == "known_" + ("axis_offset_m" if given == "offset" else "board_height_m")
    assert np.allclose(f.axis, axis, atol=1e-3) and f.off_axis_deg < 0.5 and f.about_axis_deg > 90
    assert abs(f.axis_offset_m - truth[:3, 3] @ axis) < 1.5e-3
    assert abs(f.board_height_m - fixed[:3, 3] @ fixed_axis) < 1.5e-3
    # the given value's tolerance is the sigma along the axis; the rest comes from the data
    cov = np.asarray(r.uncertainty.covariance)[3:, 3:]
    assert axis @ cov @ axis == pytest.approx(4e-6, rel=0.05)
    assert "Four-axis solve" in cal.format_results()
    # the result file carries the details under a key of its own, which the loader passes over
    name = "eye_to_hand.json" if eye_to_hand else "hand_eye.json"
    stored = json.loads((tmp_path / name).read_text())["four_axis"]
    assert stored["constraint"] == f.constraint and stored["tolerance_m"] == 2e-3
    assert np.allclose(stored["axis"], f.axis) and stored["axis_offset_m"] == f.axis_offset_m
    loaded = (io.load_eye_to_hand_result if eye_to_hand else io.load_hand_eye_result)(tmp_path)
    assert np.allclose(loaded.robot_T_camera if eye_to_hand else loaded.tcp_T_camera_list[0], T)


def test_wrong_offset_moves_only_along_the_axis(board):
    """The value given trades one for one with the board's height: 10 mm off moves X by 10 mm along the axis."""
    s, robots, cams, cal, truth, fixed, axis, _ = series(board, 4, False)
    off = float(truth[:3, 3] @ axis)
    a = transform(cal.calibrate(robots, [], "PARK", cams, s.camera.K, s.camera.dist, known_axis_offset_m=off), False)
    b = transform(cal.calibrate(robots, [], "PARK", cams, s.camera.K, s.camera.dist, known_axis_offset_m=off + 0.01),
                  False)
    assert np.allclose(b[:3, 3] - a[:3, 3], 0.01 * axis, atol=2e-5)
    assert np.allclose(a[:3, :3], b[:3, :3], atol=1e-4)


@pytest.mark.parametrize("kw, match", [
    (dict(known_axis_offset_m=0.1, known_board_height_m=0.0), "not both"),
    (dict(known_axis_offset_m=float("nan")), "finite"),
    (dict(known_axis_offset_m=0.1, known_tolerance_m=-1.0), "known_tolerance_m"),
])
def test_bad_constraints_raise(board, kw, match):
    s, robots, cams, cal, *_ = series(board, 1, False)
    with pytest.raises(ValueError, match=match):
        cal.calibrate(robots, [], "PARK", cams, s.camera.K, s.camera.dist, **kw)


@pytest.mark.parametrize("eye_to_hand", [False, True])
def test_six_axis_data_ignores_the_constraint_to_the_last_bit(board, eye_to_hand):
    b, camera = board
    make = S.eye_to_hand_series if eye_to_hand else S.hand_eye_series
    s = make(b, camera, 12, seed=21)
    robots, cams = S.noisy_poses(s, 21, **NOISE)
    cls = _vesk.EyeToHandCalibrator if eye_to_hand else _vesk.EyeInHandCalibrator
    target = _vesk.CharucoTarget(*b.target_args())
    plain = cls(target)
    r1 = plain.calibrate(robots, [], "PARK", cams, camera.K, camera.dist)
    given = cls(target)
    r2 = given.calibrate(robots, [], "PARK", cams, camera.K, camera.dist, known_axis_offset_m=0.3)
    assert r1.ok and r2.ok and r1.four_axis is None and r2.four_axis is None
    assert np.array_equal(transform(r1, eye_to_hand), transform(r2, eye_to_hand))
    assert plain.format_results() == given.format_results()


@pytest.mark.parametrize("eye_to_hand, given", [(False, "height"), (True, "offset")])
def test_joint_solve_holds_the_value_given(eye_to_hand, given):
    """refine=True on rendered four-axis views: the corners fix the rest, the value its component."""
    b, camera = S.charuco(), S.make_camera(800, 600)
    s = S.four_axis_series(b, camera, 10, seed=7, eye_to_hand=eye_to_hand)
    robots = S.noisy_robot_poses(s.robot_T_tcp, np.random.default_rng(7), 0.2e-3, 0.02)
    truth = s.robot_T_camera if eye_to_hand else s.tcp_T_camera
    fixed = s.tcp_T_target if eye_to_hand else s.robot_T_target
    up = np.array([0.0, 0.0, 1.0])
    down_in_tcp = s.robot_T_tcp[0][:3, :3].T @ up
    axis, fixed_axis = (up, down_in_tcp) if eye_to_hand else (down_in_tcp, up)
    kw = ({"known_axis_offset_m": float(truth[:3, 3] @ axis)} if given == "offset"
          else {"known_board_height_m": float(fixed[:3, 3] @ fixed_axis)})
    cal = (_vesk.EyeToHandCalibrator if eye_to_hand else _vesk.EyeInHandCalibrator)(
        _vesk.CharucoTarget(*b.target_args()))
    r = cal.calibrate(robots, s.images(), "PARK", [], camera.K, camera.dist, refine=True, known_tolerance_m=2e-3, **kw)
    assert r.ok and r.joint is not None and r.joint.ok
    T = transform(r, eye_to_hand)
    assert np.array_equal(T, r.joint.hand_eye)
    dt = T[:3, 3] - truth[:3, 3]
    dr = cv2.Rodrigues(T[:3, :3] @ truth[:3, :3].T)[0].ravel()
    sig = np.concatenate([np.radians(r.uncertainty.rotation_std_deg), r.uncertainty.translation_std_m])
    assert np.all(np.abs(np.concatenate([dr, dt - (dt @ axis) * axis])) < 4 * sig)
    assert abs(dt @ axis) < 1e-3
    cov = np.asarray(r.uncertainty.covariance)[3:, 3:]
    assert axis @ cov @ axis == pytest.approx(4e-6, rel=0.05)
    assert r.four_axis.axis_offset_m == pytest.approx(T[:3, 3] @ r.four_axis.axis, abs=1e-12)
    assert "Four-axis form" in cal.format_results()
