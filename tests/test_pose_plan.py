"""Capture planning: planned flange poses rendered through the true hand-eye transform."""

import itertools

import cv2
import numpy as np
import pytest

import _vesk
from vesk_testing import scene as S
from vesk_testing.scenes import target_of

plan_poses = _vesk.diagnostics.plan_hand_eye_poses
BOARD = S.charuco(7, 5, 0.04, 0.03)
TARGET = target_of("charuco", BOARD)
CAMERA = S.make_camera(1280, 960)
X = S.default_tcp_T_camera()
B = S.make_T(S.rot_x(180.0) @ S.rot_z(20.0), [0.6, 0.1, 0.02])  # robot_T_target
V0 = S.view_poses(BOARD, CAMERA, 1, seed=1, max_tilt=0.0, max_roll=0.0, max_shift=0.0)[0]
F0 = B @ S.inv_T(V0) @ S.inv_T(X)
# the guess 10 mm and 2 degrees off the truth
OFF = X @ S.make_T(cv2.Rodrigues(np.radians(2.0) * np.array([0.6, 0.0, 0.8]))[0], [0.006, -0.008, 0.0])
NOISE = dict(robot_m=0.2e-3, robot_deg=0.02, corner_px=0.2)
OUTLINE = np.array([[x, y, 0.0] for x in (0.0, 0.28) for y in (0.0, 0.2)])  # the board's outer corners


def views(poses):
    """camera_T_target through the true transform."""
    return [S.inv_T(X) @ S.inv_T(F) @ B for F in poses]


def angle_deg(R):
    return float(np.degrees(np.linalg.norm(cv2.Rodrigues(R)[0])))


def path_length(poses):
    return sum(np.linalg.norm(a[:3, 3] - b[:3, 3]) + 0.2 * np.radians(angle_deg(a[:3, :3].T @ b[:3, :3]))
               for a, b in zip([F0] + poses[:-1], poses))


def random_poses(seed, n=15, max_rot=45.0, max_tr=0.3):
    """Flange poses drawn evenly within the limits, kept when the whole board is in view."""
    rng = np.random.default_rng(seed)
    out = []
    while len(out) < n:
        axis = rng.normal(size=3)
        R = cv2.Rodrigues(axis / np.linalg.norm(axis) * np.radians(rng.uniform(0, max_rot)))[0]
        d = rng.normal(size=3)
        F = F0 @ S.make_T(R, [0, 0, 0])
        F[:3, 3] += d * max_tr * rng.uniform() ** (1 / 3) / np.linalg.norm(d)
        if CAMERA.sees_all(BOARD.points, S.inv_T(X) @ S.inv_T(F) @ B, 15):
            out.append(F)
    return out


def solve(poses, seed):
    """tcp_T_camera from noisy robot poses and board poses, as a cell with known intrinsics gives them."""
    s = S.HandEyeSeries(CAMERA, BOARD, X, B, poses, views(poses))
    robots, cams = S.noisy_poses(s, seed, **NOISE)
    r = _vesk.EyeInHandCalibrator(TARGET).calibrate(robots, [], "TSAI", cams, CAMERA.K, CAMERA.dist)
    assert r.ok
    T = r.tcp_T_camera
    return np.degrees(cv2.Rodrigues(T[:3, :3] @ X[:3, :3].T)[0].ravel()), 1000 * (T[:3, 3] - X[:3, 3])


@pytest.fixture(scope="module")
def plan():
    return plan_poses(TARGET, CAMERA.K, CAMERA.dist, CAMERA.size, F0, V0, X)


@pytest.mark.parametrize("guess", [X, OFF], ids=["true guess", "guess 10 mm, 2 deg off"])
def test_plan_keeps_the_board_in_view_within_the_limits(guess):
    poses = plan_poses(TARGET, CAMERA.K, CAMERA.dist, CAMERA.size, F0, V0, guess)
    assert len(poses) == 15
    for V in views(poses):
        assert CAMERA.sees_all(BOARD.points, V, 10) and CAMERA.sees_all(OUTLINE, V, 10)
    for F in poses:
        assert angle_deg((np.linalg.inv(F0) @ F)[:3, :3]) <= 45.0 + 1e-9
        assert np.linalg.norm(F[:3, 3] - F0[:3, 3]) <= 0.3 + 1e-12
    stats = _vesk.diagnostics.analyze_rotation_variety(views(poses))
    assert stats.axis_span_ratio >= 0.35  # "healthy"
    # ordered for a short path: no reordering of 2000 tried is shorter
    rng = np.random.default_rng(0)
    assert all(path_length(poses) <= path_length([poses[i] for i in rng.permutation(15)]) for _ in range(2000))


def test_rendered_plan_calibrates_to_the_truth(plan, capfd):
    images = [S.render(BOARD, CAMERA, V) for V in views(plan)]
    r = _vesk.EyeInHandCalibrator(TARGET).calibrate(plan, images, "TSAI")
    assert r.ok and len(r.valid_image_list) == 15
    dt, dr = S.pose_error(r.tcp_T_camera, X)
    assert dt < 0.15e-3 and dr < 0.015, (dt, dr)
    capfd.readouterr()


def test_plan_beats_random_poses_and_its_prediction_holds(plan, capfd):
    planned = [solve(plan, seed) for seed in range(10)]
    drawn = [solve(random_poses(100 + seed), seed) for seed in range(10)]
    for k in (0, 1):  # rotation, translation
        ours = np.mean([np.linalg.norm(e[k]) for e in planned])
        theirs = np.mean([np.linalg.norm(e[k]) for e in drawn])
        assert ours <= 0.6 * theirs, (k, ours, theirs)
    u = _vesk.diagnostics.predict_hand_eye_uncertainty(
        TARGET, CAMERA.K, CAMERA.dist, CAMERA.size, plan, F0, V0, X, robot_noise_m=NOISE["robot_m"],
        robot_noise_deg=NOISE["robot_deg"], corner_noise_px=NOISE["corner_px"])
    for k, predicted in ((0, np.linalg.norm(u.rotation_std_deg)), (1, 1000 * np.linalg.norm(u.translation_std_m))):
        measured = np.sqrt(np.mean([np.sum(e[k] ** 2) for e in planned]))
        assert 1 / 1.5 <= predicted / measured <= 1.5, (k, predicted, measured)
    capfd.readouterr()


def test_first_plan_then_full_plan_without_a_guess(capfd):
    first = _vesk.diagnostics.plan_first_hand_eye_poses(F0)
    assert len(first) == 6
    poses = [F0] + first
    assert all(CAMERA.sees_all(BOARD.points, V, 10) for V in views(poses))
    robots, cams = S.noisy_poses(S.HandEyeSeries(CAMERA, BOARD, X, B, poses, views(poses)), 3, **NOISE)
    coarse = _vesk.EyeInHandCalibrator(TARGET).calibrate(robots, [], "TSAI", cams, CAMERA.K, CAMERA.dist)
    assert coarse.ok
    full = plan_poses(TARGET, CAMERA.K, CAMERA.dist, CAMERA.size, F0, V0, coarse.tcp_T_camera)
    assert all(CAMERA.sees_all(BOARD.points, V, 10) for V in views(full))
    capfd.readouterr()


def test_fixed_camera_plan(capfd):
    s = S.eye_to_hand_series(BOARD, CAMERA, 1)
    start, seen = s.robot_T_tcp[0], s.camera_T_target[0]
    poses = plan_poses(TARGET, CAMERA.K, CAMERA.dist, CAMERA.size, start, seen, s.robot_T_camera, eye_to_hand=True)
    cams = [S.inv_T(s.robot_T_camera) @ F @ s.tcp_T_target for F in poses]
    assert all(CAMERA.sees_all(BOARD.points, V, 10) for V in cams)
    assert all(angle_deg((np.linalg.inv(start) @ F)[:3, :3]) <= 45.0 + 1e-9 for F in poses)
    stats = _vesk.diagnostics.analyze_rotation_variety(cams, eye_to_hand=True)
    assert stats.axis_span_ratio >= 0.35
    # the prediction against 20 noisy calibrations of the fixed camera
    u = _vesk.diagnostics.predict_hand_eye_uncertainty(TARGET, CAMERA.K, CAMERA.dist, CAMERA.size, poses, start, seen,
                                                       s.robot_T_camera, eye_to_hand=True, trials=100)
    errors = []
    for seed in range(20):
        series = S.HandEyeSeries(CAMERA, BOARD, np.eye(4), np.eye(4), poses, cams)
        robots, seen_cams = S.noisy_poses(series, seed, **NOISE)
        r = _vesk.EyeToHandCalibrator(TARGET).calibrate(robots, [], "TSAI", seen_cams, CAMERA.K, CAMERA.dist)
        errors.append(1000 * (r.robot_T_camera[:3, 3] - s.robot_T_camera[:3, 3]))
    measured = np.sqrt(np.mean(np.sum(np.square(errors), axis=1)))
    assert 1 / 1.5 <= 1000 * np.linalg.norm(u.translation_std_m) / measured <= 1.5


def test_poses_needed_for_a_target_sigma():
    need = _vesk.diagnostics.poses_needed_for_sigma(TARGET, CAMERA.K, CAMERA.dist, CAMERA.size, F0, V0, X,
                                                    translation_mm=0.35, rotation_deg=0.04, trials=100)
    assert need.reached and len(need.plan) == need.n_poses
    assert max(need.predicted.translation_std_m) <= 0.35e-3 and max(need.predicted.rotation_std_deg) <= 0.04
    smaller = plan_poses(TARGET, CAMERA.K, CAMERA.dist, CAMERA.size, F0, V0, X, n_poses=6)
    u = _vesk.diagnostics.predict_hand_eye_uncertainty(TARGET, CAMERA.K, CAMERA.dist, CAMERA.size, smaller, F0, V0,
                                                       X, trials=100)
    assert need.n_poses > 6 and max(u.translation_std_m) > max(need.predicted.translation_std_m)


@pytest.mark.parametrize("kw, message", [
    (dict(max_rotation_deg=5.0), "relax max_rotation_deg"),
    (dict(max_translation_m=0.005), "relax max_translation_m"),
    (dict(n_poses=0), "n_poses must be at least 3, got 0"),
])
def test_limits_too_tight_or_bad_counts_say_what_to_change(kw, message):
    with pytest.raises(ValueError, match=message):
        plan_poses(TARGET, CAMERA.K, CAMERA.dist, CAMERA.size, F0, V0, X, **kw)


def nan_pose():
    T = F0.copy()
    T[0, 3] = np.nan
    return T


@pytest.mark.parametrize("which, value, message", [
    (4, nan_pose(), "robot_T_tcp holds a non-finite value"),
    (5, S.make_T(np.eye(3), [2.0, 0, 0.5]), "the board is not fully in view from the start pose"),
    (6, np.eye(3), "hand_eye_guess must be a 4x4 matrix"),
    (1, np.eye(3) * 2, "intrinsic_matrix is not a camera matrix"),
])
def test_bad_input_is_refused(which, value, message):
    args = [TARGET, CAMERA.K, CAMERA.dist, CAMERA.size, F0, V0, X]
    args[which] = value
    with pytest.raises(ValueError, match=message):
        plan_poses(*args)


def test_plan_file_round_trip_and_bad_files(plan, tmp_path, capfd):
    path = _vesk.io.save_pose_plan(tmp_path / "cell", plan)
    assert path.name == "pose_plan.npz"
    for a, b in itertools.zip_longest(_vesk.io.load_pose_plan(tmp_path / "cell"), plan):
        np.testing.assert_array_equal(a, b)
    # a capture program reads it with numpy alone
    np.testing.assert_array_equal(np.load(path)["robot_T_tcp_list"], np.array(plan))
    with pytest.raises(ValueError, match="not a rigid transform"):
        _vesk.io.save_pose_plan(tmp_path / "bad.npz", [2 * np.eye(4)])
    np.savez(tmp_path / "wrong.npz", robot_T_tcp_list=np.zeros((3, 3)))
    with pytest.raises(RuntimeError, match=r"not shaped \(N, 4, 4\)"):
        _vesk.io.load_pose_plan(tmp_path / "wrong.npz")
    capfd.readouterr()


@pytest.mark.parametrize("eye_to_hand", [False, True], ids=["eye_in_hand", "eye_to_hand"])
def test_four_axis_plan_turns_about_the_axis_only_and_predicts_its_sigma(eye_to_hand, capfd):
    """A SCARA's plan: rotations about the base's z only, the board in view, the value's tolerance as the sigma."""
    s = S.four_axis_series(BOARD, CAMERA, 3, seed=3, eye_to_hand=eye_to_hand)
    guess = s.robot_T_camera if eye_to_hand else s.tcp_T_camera
    f0, v0 = s.robot_T_tcp[0], s.camera_T_target[0]
    size = (CAMERA.width, CAMERA.height)
    plan = plan_poses(TARGET, CAMERA.K, CAMERA.dist, size, f0, v0, guess, 12, 170.0, 0.5, eye_to_hand, four_axis=True)
    assert len(plan) == 12
    turns = [cv2.Rodrigues(F[:3, :3] @ f0[:3, :3].T)[0].ravel() for F in plan]
    assert max(np.linalg.norm(w[:2]) for w in turns) < 1e-9 and np.ptp([w[2] for w in turns]) > np.radians(90)
    fixed = S.inv_T(f0) @ guess @ v0 if eye_to_hand else f0 @ guess @ v0
    seen = [S.inv_T(guess) @ F @ fixed if eye_to_hand else S.inv_T(F @ guess) @ fixed for F in plan]
    assert all(CAMERA.sees_all(BOARD.points, V, 15.0) for V in seen)
    # the plan calibrates, and the prediction carries the tolerance along the axis
    robots, cams = S.noisy_poses(S.HandEyeSeries(CAMERA, BOARD, guess, fixed, plan, seen), 3, **NOISE)
    cls = _vesk.EyeToHandCalibrator if eye_to_hand else _vesk.EyeInHandCalibrator
    axis = np.array([0.0, 0.0, 1.0]) if eye_to_hand else f0[:3, :3].T @ [0.0, 0.0, 1.0]
    r = cls(TARGET).calibrate(robots, [], "PARK", cams, CAMERA.K, CAMERA.dist,
                              known_axis_offset_m=float(guess[:3, 3] @ axis))
    assert r.ok and r.four_axis is not None
    u = _vesk.diagnostics.predict_hand_eye_uncertainty(TARGET, CAMERA.K, CAMERA.dist, size, plan, f0, v0, guess,
                                                       method="PARK", trials=40, eye_to_hand=eye_to_hand,
                                                       four_axis=True, known_tolerance_m=2e-3)
    cov = np.asarray(u.covariance)[3:, 3:]
    assert axis @ cov @ axis == pytest.approx(4e-6, rel=0.05)
    assert 0.005 < max(u.rotation_std_deg) < 0.2 and max(u.translation_std_m) < 2.1e-3
    first = _vesk.diagnostics.plan_first_hand_eye_poses(f0, 10.0, four_axis=True)
    angles = sorted(np.degrees(cv2.Rodrigues(F[:3, :3] @ f0[:3, :3].T)[0].ravel()[2]) for F in first)
    assert np.allclose(angles, [-30, -20, -10, 10, 20, 30]) and all(np.allclose(F[:3, 3], f0[:3, 3]) for F in first)
    tilted = plan[:5] + [plan[0] @ S.make_T(S.rot_x(3.0), [0, 0, 0])]
    with pytest.raises(ValueError, match="more than one axis"):
        _vesk.diagnostics.predict_hand_eye_uncertainty(TARGET, CAMERA.K, CAMERA.dist, size, tilted, f0, v0, guess,
                                                       eye_to_hand=eye_to_hand, four_axis=True)
