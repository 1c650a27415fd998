"""The joint rig solve (calibrate(..., refine=True)) against rendered rigs with known extrinsics."""

import functools
import json

import numpy as np
import pytest

import _vesk
from vesk_testing import scene as S
from vesk_testing.scenes import target_of

BOARD = S.charuco(7, 5, 0.04, 0.03)
TARGET = target_of("charuco", BOARD)
SEEDS = range(1, 6)


@functools.cache
def weak_rig(seed):
    """12 frames of a 7 x 5 board through three 800 x 600 cameras: too few for good pair solves."""
    truth = S.rig(BOARD, S.default_rig_cameras(800, 600), n_frames=12, seed=seed)
    return truth, truth.images(supersample=2)


@functools.cache
def chain_rig():
    truth = S.chain_rig(BOARD, width=640, height=480)
    return truth, truth.images(supersample=2)


def calibrate(lists, **kw):
    cal = _vesk.MultiCameraCalibrator(TARGET, len(lists))
    return cal, cal.calibrate(lists, **kw)


def errors(result, truth):
    """(mm, deg) of each non-reference camera."""
    return [(1000 * t, r) for t, r in (S.pose_error(est, true) for est, true in
                                       zip(result.reference_T_camera_list[1:], truth.reference_T_camera[1:]))]


def test_joint_solve_beats_the_pairs_and_its_sigma_covers_the_truth(capfd):
    pairwise, joint, covered = [], [], []
    for seed in SEEDS:
        truth, lists = weak_rig(seed)
        pairwise += errors(calibrate(lists)[1], truth)
        r = calibrate(lists, refine=True)[1]
        assert r.ok and r.refined and 0 < r.joint_rms < 0.2 and r.rejected_views == []
        for (mm, deg), u in zip(errors(r, truth), r.reference_T_camera_uncertainty[1:]):
            joint.append((mm, deg))
            # the error's length against the length of the 1-sigma vector
            covered.append(mm <= 2000 * np.linalg.norm(u.translation_std_m)
                           and deg <= 2 * np.linalg.norm(u.rotation_std_deg))
    pairwise, joint = np.array(pairwise), np.array(joint)
    assert joint[:, 0].mean() <= 0.7 * pairwise[:, 0].mean(), (joint.mean(0), pairwise.mean(0))
    assert joint[:, 1].mean() <= pairwise[:, 1].mean(), (joint.mean(0), pairwise.mean(0))
    assert np.mean(covered) >= 0.85, covered
    capfd.readouterr()


def test_without_refine_nothing_new_is_reported_or_written(tmp_path, capfd):
    truth, lists = weak_rig(1)
    cal, r = calibrate(lists, output_path=tmp_path / "plain.json")
    assert not r.refined and np.isnan(r.joint_rms) and r.reached_through == [-1, -1, -1]
    assert not any(np.isfinite(u.translation_std_m).any() for u in r.reference_T_camera_uncertainty)
    assert "JOINT REFINEMENT" not in cal.format_results()
    plain = json.loads((tmp_path / "plain.json").read_text())
    assert sorted(plain) == ["distortion_coefficients", "intrinsic_matrices", "intrinsic_reprojection_errors",
                             "num_cameras", "pair_reprojection_errors", "reference_T_camera_list", "reference_index"]

    cal, r = calibrate(lists, output_path=tmp_path / "joint.json", refine=True)
    report = cal.format_results()
    assert report.index("JOINT REFINEMENT  -  every camera and frame in one solve") > report.index("TRIANGULATION")
    assert "  Views left out as off the rig: none\n" in report and report.count("1-sigma t = (") == 2
    doc = json.loads((tmp_path / "joint.json").read_text())
    assert doc["reached_through"] == [None, None, None] and doc["rejected_views"] == []
    assert doc["joint_rms"] == pytest.approx(r.joint_rms)
    assert doc["reference_T_camera_uncertainty"][0] is None
    assert doc["reference_T_camera_uncertainty"][2]["translation_std_m"] == pytest.approx(
        r.reference_T_camera_uncertainty[2].translation_std_m)
    # the loader reads the file as it reads any other
    record = _vesk.io.load_multi_camera_calibration(tmp_path / "joint.json")
    np.testing.assert_allclose(record.reference_T_camera_list[1], r.reference_T_camera_list[1])
    capfd.readouterr()


def test_camera_sharing_views_only_with_another_is_reached_through_it(capfd):
    truth, lists = chain_rig()
    cal, r = calibrate(lists)
    err = capfd.readouterr().err
    assert not r.ok and r.reference_T_camera_list[3].size == 0 and r.failure.code == "camera_not_placed"
    assert "Only 0 shared detections between reference camera 0 and camera 3; skipping pair." in err
    assert "[cam_3]  FAILED  -  too few shared detections with cam_0" in cal.format_results()

    cal, r = calibrate(lists, refine=True)
    err = capfd.readouterr().err
    assert r.ok and r.refined and r.reached_through == [-1, -1, -1, 2]
    assert "[MultiCameraCalibrator] Camera 3 reached through camera 2: stereo RMS error " in err
    for mm, deg in errors(r, truth):
        assert mm < 1.0 and deg < 0.1, errors(r, truth)
    assert all(np.isfinite(u.translation_std_m).all() for u in r.reference_T_camera_uncertainty[1:])
    assert "[cam_3]  joint RMS " in cal.format_results() and ", reached through cam_2;" in cal.format_results()


@pytest.mark.parametrize("cameras, camera, frame, left_out", [
    (3, 1, 4, [(1, 4)]),
    (3, 0, 7, [(0, 7)]),   # the reference camera's view
    (3, 2, 0, [(2, 0)]),
    (2, 1, 4, [(1, 4), (0, 4)]),  # two views that disagree: neither can be trusted
])
def test_a_view_off_the_rig_is_left_out(cameras, camera, frame, left_out, capfd):
    _, lists = weak_rig(1)
    lists = [list(images) for images in lists[:cameras]]
    clean = calibrate(lists, refine=True)[1]
    # every corner of one view 5 px to the right: the camera alone cannot tell, the rig can
    lists[camera][frame] = np.roll(lists[camera][frame], 5, axis=1)
    cal, r = calibrate(lists, refine=True)
    assert r.ok and r.refined
    assert sorted(r.rejected_views) == sorted(left_out)
    for bad, good in zip(r.reference_T_camera_list[1:], clean.reference_T_camera_list[1:]):
        assert S.pose_error(bad, good)[0] < 0.2e-3
    assert f"Joint refinement: camera {camera}'s view of frame {frame} is " in capfd.readouterr().err
    assert f"cam_{camera} frame {frame} (" in cal.format_results()


def test_supplied_intrinsics_are_held_and_model_flags_honoured(capfd):
    truth, lists = weak_rig(2)
    K = [c.K for c in truth.cameras]
    D = [c.dist for c in truth.cameras]
    r = calibrate(lists, intrinsic_matrices=K, distortion_coefficients=D, refine=True)[1]
    assert r.refined
    for given, kept in zip(K, r.intrinsic_matrices):
        np.testing.assert_array_equal(given, kept)
    for mm, deg in errors(r, truth):
        assert mm < 0.3 and deg < 0.05

    options = _vesk.MultiCameraCalibrator.default_options()
    options.calibrate_camera_flags = 4 | 128  # CALIB_FIX_PRINCIPAL_POINT | CALIB_FIX_K3
    cal = _vesk.MultiCameraCalibrator(TARGET, 3, options=options)
    r = cal.calibrate(lists, refine=True)
    assert r.refined
    for k, d in zip(r.intrinsic_matrices, r.distortion_coefficients):
        assert (k[0, 2], k[1, 2]) == (399.5, 299.5) and d.ravel()[4] == 0.0
    capfd.readouterr()


def test_rational_cameras_pair_and_refine(capfd):
    truth, lists = weak_rig(1)
    options = _vesk.MultiCameraCalibrator.default_options()
    options.calibrate_camera_flags = 16384  # CALIB_RATIONAL_MODEL
    cal = _vesk.MultiCameraCalibrator(TARGET, 3, options=options)
    # the pair solves must be told the model: read as five coefficients, these put pixels 1e11 off
    for refine, bounds in ((False, (3.0, 0.3)), (True, (1.0, 0.15))):
        r = cal.calibrate(lists, refine=refine)
        assert r.ok and r.refined == refine and all(d.size >= 8 for d in r.distortion_coefficients)
        for mm, deg in errors(r, truth):
            assert mm < bounds[0] and deg < bounds[1]
    capfd.readouterr()
