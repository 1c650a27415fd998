"""Hand-eye results that refuse the common mistakes and carry an uncertainty that holds."""

import json
import math
import pathlib

import cv2
import numpy as np
import pytest

import _vesk
from _vesk import diagnostics, io
from vesk_testing import scene as S

REAL = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "data" / "eye_to_hand_charuco"
BLOCKING = {"robot_translation_in_millimetres", "inverted_robot_poses", "images_and_poses_out_of_step",
            "implausible_consistency"}


def in_millimetres(robots):
    return [S.make_T(T[:3, :3], T[:3, 3] * 1000.0) for T in robots]


def inverted(robots):
    return [S.inv_T(T) for T in robots]


# Each mistake turns (robot poses, images or target poses) into what the user handed in.
MISTAKES = {
    "robot_translation_in_millimetres": lambda r, v: (in_millimetres(r), v),
    "inverted_robot_poses": lambda r, v: (inverted(r), v),
    # images and poses out of step by one
    "images_and_poses_out_of_step": lambda r, v: (r[:-1], v[1:]),
    # image 5 deleted from the folder, and the last pose dropped to make the counts agree
    "missing_file": lambda r, v: (r[:-1], v[:5] + v[6:]),
}


def codes(findings):
    return [f.code for f in findings]


@pytest.fixture(scope="module")
def noisy():
    """A 20-frame series with realistic robot and corner noise: (truth, robot poses, target poses)."""
    s = S.hand_eye_series(S.charuco(), S.make_camera(1280, 960), 20, seed=11)
    robots, cams = S.noisy_poses(s, seed=11)
    return s, robots, cams


@pytest.mark.parametrize("seed", range(8))
def test_clean_noisy_data_gives_no_finding(seed):
    s = S.hand_eye_series(S.charuco(), S.make_camera(1280, 960), 15 + seed, seed=100 + seed)
    robots, cams = S.noisy_poses(s, seed, robot_m=0.5e-3 * (1 + seed % 3), corner_px=0.3)
    assert diagnostics.check_hand_eye_data(robots, cams) == []


@pytest.mark.parametrize("mistake", MISTAKES)
def test_each_mistake_is_named_by_the_data_check(mistake, noisy):
    _, robots, cams = noisy
    r, c = MISTAKES[mistake](robots, cams)
    found = diagnostics.check_hand_eye_data(r, c)
    expected = "images_and_poses_out_of_step" if mistake == "missing_file" else mistake
    assert expected in codes(found) and set(codes(found)) <= BLOCKING, codes(found)
    finding = found[codes(found).index(expected)]
    assert finding.message.endswith(".") and len(finding.message) > 40
    if mistake == "missing_file":
        assert finding.frames == list(range(5, 19)) and "frame 5" in finding.message


def test_an_outlier_frame_is_named_and_the_rest_is_clean(noisy):
    s, robots, cams = noisy
    moved = list(robots)
    moved[7] = moved[7] @ S.make_T(np.eye(3), [0.0, 0.02, 0.0])  # 20 mm off
    found = diagnostics.check_hand_eye_data(moved, cams)
    assert codes(found) == ["outlier_frames"] and found[0].frames == [7]
    target = _vesk.CharucoTarget(*s.board.target_args())
    r = _vesk.EyeInHandCalibrator(target).calibrate(moved, [], "TSAI", cams, s.camera.K, s.camera.dist)
    assert r.ok and codes(r.data_findings) == ["outlier_frames"] and r.data_findings[0].frames == [7]


@pytest.mark.parametrize("bad", ["length", "nan", "shape", "few"])
def test_check_refuses_bad_input(bad, noisy):
    _, robots, cams = noisy
    r, c = list(robots), list(cams)
    if bad == "length":
        r = r[:-1]
    elif bad == "nan":
        r[3] = r[3].copy()
        r[3][0, 3] = np.nan
    elif bad == "shape":
        c[2] = np.eye(3)
    else:
        r, c = r[:3], c[:3]
    with pytest.raises(ValueError, match="check_hand_eye_data: "):
        diagnostics.check_hand_eye_data(r, c)


@pytest.mark.parametrize("mistake", MISTAKES)
def test_calibrate_refuses_each_mistake(mistake, series, tmp_path, capfd):
    s, images, target = series("charuco")
    cal = _vesk.EyeInHandCalibrator(target)
    good = cal.calibrate(s.robot_T_tcp, images)
    assert good.ok and good.data_findings == []
    robots, views = MISTAKES[mistake](s.robot_T_tcp, images)
    capfd.readouterr()
    r = cal.calibrate(robots, views, "TSAI", output_path=tmp_path)
    expected = "images_and_poses_out_of_step" if mistake == "missing_file" else mistake
    assert not r.ok and r.tcp_T_camera.size == 0 and expected in codes(r.data_findings)
    assert r.failure.code in codes(r.data_findings) and r.failure.message.startswith("No hand-eye transform")
    assert f"[vesk][WARNING] [EyeInHandCalibrator] Data check, {expected}: " in capfd.readouterr().err
    assert not (tmp_path / "hand_eye.json").exists()
    np.testing.assert_array_equal(cal.last_result().tcp_T_camera, good.tcp_T_camera)


def test_missing_image_file_warns_and_pairs_load_aligned(series, tmp_path, capfd):
    s, images, _ = series("charuco")
    io.save_hand_eye_dataset(tmp_path, images[:6], s.robot_T_tcp[:6])
    (tmp_path / "image_02.png").unlink()
    (tmp_path / "image_04.png").unlink()
    capfd.readouterr()
    loaded, poses = io.load_hand_eye_dataset(tmp_path)
    assert (len(loaded), len(poses)) == (4, 6)
    err = capfd.readouterr().err
    assert (f"[vesk][WARNING] io: 2 of 6 image files missing from {tmp_path}: image_02.png, image_04.png. The "
            "images after a missing one no longer pair with their robot poses by position") in err
    pairs, pair_poses, indices = io.load_hand_eye_pairs(tmp_path)
    assert indices == [0, 1, 3, 5] and len(pairs) == len(pair_poses) == 4
    for i, k in enumerate(indices):
        np.testing.assert_array_equal(pair_poses[i], s.robot_T_tcp[k])
        np.testing.assert_array_equal(pairs[i], cv2.imread(str(tmp_path / f"image_{k:02d}.png")))
    # a complete folder loads without a warning
    io.save_hand_eye_dataset(tmp_path, images[:6], s.robot_T_tcp[:6])
    capfd.readouterr()
    io.load_hand_eye_pairs(tmp_path)
    assert "WARNING" not in capfd.readouterr().err


METHODS = ["TSAI", "PARK", "HORAUD", "ANDREFF", "DANIILIDIS"]


def diagnostics_solve(cal, robots, images, method):
    return cal.calibrate(robots, images, method).tcp_T_camera[:3, 3]


def pose_error_vector(T, truth):
    """Rotation error about the tcp axes (rad), then translation error (m)."""
    r = cv2.Rodrigues(truth[:3, :3] @ T[:3, :3].T)[0].ravel()
    return np.concatenate([r, T[:3, 3] - truth[:3, 3]])


@pytest.mark.parametrize("method,noise", [("TSAI", (0.5e-3, 0.05, 0.3)), ("PARK", (1e-3, 0.02, 0.1)),
                                          ("DANIILIDIS", (0.2e-3, 0.1, 0.3))])
def test_uncertainty_covers_the_true_error(method, noise, capsys):
    """Over many seeds the truth lies within 2 sigma about 95 % of the time, and error/sigma has RMS near 1."""
    board, camera = S.charuco(), S.make_camera(1280, 960)
    target = _vesk.CharucoTarget(*board.target_args())
    robot_m, robot_deg, corner_px = noise
    z = []
    for seed in range(60):
        s = S.hand_eye_series(board, camera, 12 + seed % 14, seed=seed)
        robots, cams = S.noisy_poses(s, seed, robot_m=robot_m, robot_deg=robot_deg, corner_px=corner_px)
        r = _vesk.EyeInHandCalibrator(target).calibrate(robots, [], method, cams, camera.K, camera.dist)
        assert r.ok, codes(r.data_findings)
        u = r.uncertainty
        sigma = np.concatenate([np.radians(u.rotation_std_deg), u.translation_std_m])
        np.testing.assert_allclose(np.sqrt(np.diag(u.covariance)), sigma, rtol=1e-12)
        z.append(pose_error_vector(r.tcp_T_camera, s.tcp_T_camera) / sigma)
    capsys.readouterr()
    z = np.abs(np.array(z))
    within, rms = float(np.mean(z < 2.0)), float(np.sqrt(np.mean(z ** 2)))
    assert 0.85 <= within <= 0.99 and 0.6 <= rms <= 1.6, (within, rms)


def test_uncertainty_is_nan_without_enough_frames_and_goes_to_the_file(series, tmp_path):
    s, _, target = series("charuco")
    cal = _vesk.EyeInHandCalibrator(target)
    r = cal.calibrate(s.robot_T_tcp[:4], [], "TSAI", s.camera_T_target[:4], s.camera.K)
    assert r.ok and all(math.isnan(v) for v in r.uncertainty.translation_std_m + r.uncertainty.rotation_std_deg)
    assert np.isnan(r.uncertainty.covariance).all() and r.uncertainty.covariance.shape == (6, 6)
    assert "1-sigma of tcp_T_camera: n/a" in cal.format_results()
    r = cal.calibrate(s.robot_T_tcp, [], "TSAI", s.camera_T_target, s.camera.K, output_path=tmp_path)
    doc = json.loads((tmp_path / "hand_eye.json").read_text())
    u = doc["tcp_T_camera_uncertainty"]
    np.testing.assert_allclose(u["translation_std_m"], r.uncertainty.translation_std_m, rtol=1e-12)
    np.testing.assert_allclose(u["rotation_std_deg"], r.uncertainty.rotation_std_deg, rtol=1e-12)
    np.testing.assert_allclose(u["covariance"], r.uncertainty.covariance, rtol=1e-12)
    record = io.load_hand_eye_result(tmp_path)  # the new key is ignored by the loader
    np.testing.assert_array_equal(record.tcp_T_camera_list[0], r.tcp_T_camera)


def test_default_options_run_the_camera_solve_to_convergence(noisy_views):
    images, target = noisy_views()
    cal = _vesk.IntrinsicCalibrator(target)
    r = cal.calibrate(images)
    det = cal.detections()
    # OpenCV run until its steps vanish, on the very corners the default options detected
    _, K, D, _, _ = cv2.calibrateCamera(list(det.object_points), list(det.image_points), images[0].shape[1::-1],
                                        None, None, criteria=(3, 1000, 1e-15))
    np.testing.assert_allclose(r.intrinsic_matrix, K, rtol=1e-7)


@pytest.mark.skipif(not REAL.is_dir(), reason=f"the shared real dataset is absent ({REAL})")
def test_real_eye_to_hand_data_is_clean_read_right_and_refused_read_wrong(capsys):
    images, poses = io.load_hand_eye_dataset(REAL)
    target = _vesk.CharucoTarget(5, 7, 0.036195, 0.018256, _vesk.aruco_dictionary_id_from_name("DICT_6X6_250"))
    # A fixed camera calibrates through the eye-in-hand solver with the robot poses inverted.
    cal = _vesk.EyeInHandCalibrator(target)
    r = cal.calibrate(inverted(poses), images, "PARK")
    assert r.ok and r.data_findings == [] and len(r.valid_image_list) == 16
    # 16 views, some partial, calibrate fx to about 0.4 % (OpenCV's own sigma): millimetres along the
    # line of sight, as far as the five solvers spread and more
    sigma_mm = np.array(r.uncertainty.translation_std_m) * 1000
    assert np.all((sigma_mm > 0.5) & (sigma_mm < 10.0)), sigma_mm
    spread = np.ptp([diagnostics_solve(cal, inverted(poses), images, m) for m in METHODS], axis=0) * 1000
    assert np.all(spread < 3.0 * sigma_mm), (spread, sigma_mm)
    wrong = _vesk.EyeInHandCalibrator(target).calibrate(poses, images, "PARK")
    assert not wrong.ok and "inverted_robot_poses" in codes(wrong.data_findings)
    capsys.readouterr()


def test_garbage_is_not_blamed_on_units_or_direction(noisy):
    """Random poses are implausible, and no reading of them is called the fix."""
    rng = np.random.default_rng(5)
    robots = [S.make_T(cv2.Rodrigues(rng.normal(0, 0.5, 3))[0], rng.normal(0, 0.3, 3)) for _ in range(30)]
    cams = [S.make_T(cv2.Rodrigues(rng.normal(0, 0.5, 3))[0], [0, 0, 0.5] + rng.normal(0, 0.1, 3)) for _ in range(30)]
    assert codes(diagnostics.check_hand_eye_data(robots, cams)) == ["implausible_consistency"]
    _, robots, cams = noisy
    at_camera = [S.make_T(T[:3, :3], [0, 0, 0]) for T in cams]
    found = diagnostics.check_hand_eye_data(robots, at_camera)
    assert codes(found) == ["implausible_consistency"] and "zero distance" in found[0].message


# ---- small motions, mixed sessions, swapped frames: refused or right, never plausible and wrong ----

GRID = [(0.5e-3, 0.05, 0.3), (0.0, 0.0, 0.3), (0.2e-3, 0.02, 0.5), (1e-3, 0.1, 0.1)]
BIG = (S.charuco(), S.make_camera(1280, 960))


def corner_noise_series(seed, eye_to_hand=False, **view_kw):
    board, camera = BIG
    s = (S.eye_to_hand_series if eye_to_hand else S.hand_eye_series)(board, camera, 12 + seed % 9, seed=seed,
                                                                       **view_kw)
    rm, rd, px = GRID[seed % 4]
    robots, cams = S.noisy_poses(s, seed, robot_m=rm, robot_deg=rd, corner_px=px)
    return s, robots, cams


def z_scores(result, truth):
    r = cv2.Rodrigues(result.tcp_T_camera[:3, :3] @ truth[:3, :3].T)[0].ravel()
    err = np.concatenate([r, result.tcp_T_camera[:3, 3] - truth[:3, 3]])
    u = result.uncertainty
    return err / np.concatenate([np.radians(u.rotation_std_deg), u.translation_std_m])


@pytest.mark.parametrize("method", ["TSAI", "PARK", "HORAUD"])
@pytest.mark.parametrize("degrees", [1.0, 3.0, 5.0, 8.0])
def test_small_motions_are_refused_for_what_they_are_or_solved_right(capfd, method, degrees):
    board, camera = BIG
    target = _vesk.CharucoTarget(*board.target_args())
    solved = 0
    for seed in range(12):
        s, robots, cams = corner_noise_series(seed, max_tilt=degrees, max_roll=degrees)
        r = _vesk.EyeInHandCalibrator(target).calibrate(robots, [], method, cams, camera.K, camera.dist)
        err = capfd.readouterr().err
        assert "calibrateHandEye" not in err and "[ERROR:" not in err  # OpenCV's own lines stay out
        if not r.ok:
            # the refusal names the motions, never units, direction or pairing
            assert r.failure.code in ("motions_too_small", "method_cannot_use_motions", "rotation_not_observable",
                                      "rotation_misfit"), r.failure
            continue
        solved += 1
        assert not np.allclose(r.tcp_T_camera[:3, :3], np.eye(3), atol=1e-3)
        z = np.abs(z_scores(r, s.tcp_T_camera))
        assert np.all(np.isnan(z)) or np.all(z < 4.0), z
    if method != "TSAI":
        assert solved >= 10  # the small-motion solvers are not refused on clean data


def remounted(s, robots, cams, seed, eye_to_hand):
    """cams after a 10-40 mm, ~1 deg remount of the board (odd seeds) or of the camera part-way."""
    rng = np.random.default_rng(seed)
    n = len(robots)
    k = int(rng.integers(4, n - 3))
    d = rng.normal(size=3)
    d *= rng.uniform(0.010, 0.040) / np.linalg.norm(d)
    shift = S.make_T(cv2.Rodrigues(rng.normal(0, np.radians(1.0), 3))[0], d)
    out = list(cams)
    for i in range(k, n):
        if eye_to_hand:
            C, B = (s.robot_T_camera, s.tcp_T_target @ shift) if seed % 2 else (s.robot_T_camera @ shift, s.tcp_T_target)
            out[i] = S.inv_T(C) @ s.robot_T_tcp[i] @ B
        else:
            X, W = (s.tcp_T_camera, shift @ s.robot_T_target) if seed % 2 else (s.tcp_T_camera @ shift, s.robot_T_target)
            out[i] = S.inv_T(X) @ S.inv_T(s.robot_T_tcp[i]) @ W
    return out, k


@pytest.mark.parametrize("eye_to_hand", [False, True], ids=["eye_in_hand", "eye_to_hand"])
def test_a_capture_changed_part_way_is_found_and_clean_data_is_left_alone(eye_to_hand):
    flagged, right_frame, clean_findings = 0, 0, 0
    for seed in range(50):
        s, robots, cams = corner_noise_series(seed, eye_to_hand)
        clean_findings += len(diagnostics.check_hand_eye_data(robots, cams, eye_to_hand))
        moved, k = remounted(s, robots, cams, seed, eye_to_hand)
        found = diagnostics.check_hand_eye_data(robots, moved, eye_to_hand)
        flagged += any(f.code in BLOCKING | {"capture_changed_part_way"} for f in found)
        step = [f for f in found if f.code == "capture_changed_part_way"]
        right_frame += bool(step) and step[0].frames[0] == k and f"frames {k - 1} and {k}" in step[0].message
    assert flagged >= 48 and right_frame >= 45
    assert clean_findings <= 1


def test_a_changed_capture_is_refused_by_the_calibrators(capfd):
    board, camera = BIG
    s, robots, cams = corner_noise_series(3)
    moved, k = remounted(s, robots, cams, 3, False)
    r = _vesk.EyeInHandCalibrator(_vesk.CharucoTarget(*board.target_args())).calibrate(
        robots, [], "PARK", moved, camera.K, camera.dist)
    assert not r.ok and codes(r.data_findings) == ["capture_changed_part_way"]
    assert r.failure.code == "capture_changed_part_way"


def test_two_swapped_frames_are_named_or_refused(capfd):
    board, camera = BIG
    target = _vesk.CharucoTarget(*board.target_args())
    named = 0
    for seed in range(30):
        s, robots, cams = corner_noise_series(seed)
        rng = np.random.default_rng(seed)
        i, j = sorted(int(v) for v in rng.choice(len(robots), 2, replace=False))
        cams[i], cams[j] = cams[j], cams[i]
        r = _vesk.EyeInHandCalibrator(target).calibrate(robots, [], "PARK", cams, camera.K, camera.dist)
        capfd.readouterr()
        if r.ok:  # only where the two views are alike enough not to matter
            assert np.all(np.abs(z_scores(r, s.tcp_T_camera)) < 4.0)
            continue
        out_of_step = [f for f in r.data_findings if f.code == "images_and_poses_out_of_step"]
        named += bool(out_of_step) and f"frames {i} and {j} are swapped" in out_of_step[0].message
    assert named >= 25


@pytest.mark.skipif(not REAL.is_dir(), reason=f"the shared real dataset is absent ({REAL})")
@pytest.mark.parametrize("shift", [[0.02, 0, 0], [0, 0, 0.02]], ids=["x", "z"])
def test_real_board_remounted_part_way_is_found(capsys, shift):
    images, poses = io.load_hand_eye_dataset(REAL)
    target = _vesk.CharucoTarget(5, 7, 0.036195, 0.018256, "DICT_6X6_250")
    r = _vesk.EyeToHandCalibrator(target).calibrate(poses, images, "PARK")
    cams, robots = list(r.camera_T_target_list), list(r.valid_robot_T_tcp_list)
    assert diagnostics.check_hand_eye_data(robots, cams, True) == []
    moved = cams[:8] + [c @ S.make_T(np.eye(3), shift) for c in cams[8:]]
    found = diagnostics.check_hand_eye_data(robots, moved, True)
    assert codes(found) == ["capture_changed_part_way"] and found[0].frames[0] == 8
    capsys.readouterr()
