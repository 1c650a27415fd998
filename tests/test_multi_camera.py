import json

import cv2
import numpy as np
import pytest

import _vesk
from vesk_testing import scene as S


# OpenCV's default ArUco detector (no corner refinement) puts every marker corner
# ~0.6 px inside the printed border (measured against ground truth), which the
# rigid stereo fit cannot absorb: ArUco rigs are judged by looser bounds.
BOUNDS = {"chessboard": (1.0, 0.1), "charuco": (1.0, 0.1), "aruco": (5.0, 0.5)}


@pytest.mark.parametrize("kind", ["charuco", "chessboard", "aruco"])
def test_rig_ground_truth(kind, capfd, rig):
    truth, lists, target = rig(kind)
    cal = _vesk.MultiCameraCalibrator(target, 3)
    r = cal.calibrate(lists)
    assert r.ok and r.reference_index == 0
    np.testing.assert_array_equal(r.reference_T_camera_list[0], np.eye(4))
    mm, deg = BOUNDS[kind]
    for est, true in zip(r.reference_T_camera_list[1:], truth.reference_T_camera[1:]):
        dt, dr = S.pose_error(est, true)
        assert dt * 1000 < mm and dr < deg, (dt * 1000, dr)
    captured = capfd.readouterr()
    report = cal.format_results()
    assert captured.out == report
    assert "\n[cam_0]  identity (reference)\n" in report and report.count("stereo RMS vs reference: ") == 2
    if kind == "charuco":
        t = cal.triangulate(lists, 0)
        assert abs(np.mean(t.neighbor_distances_m) - 0.035) < 1e-4
        assert t.plane_thickness_m < 5e-4 and max(t.rms_per_camera) < 0.5
        assert list(t.ids.ravel()) == sorted(t.ids.ravel()) and t.points_3d.shape == (len(t.ids), 3)
        assert "  Expected square length: 35 mm\n" in report and report.count("  Reprojection RMS (cam_") == 3
    else:
        assert ("[vesk][WARNING] [MultiCameraCalibrator] Triangulation validation skipped: "
                "MultiCameraCalibrator::triangulate requires a CharucoTarget") in captured.err
        assert "TRIANGULATION" not in report


def test_agrees_with_cv2_stereo_calibrate_on_the_same_corners(rig):
    truth, lists, target = rig("charuco")
    cal = _vesk.MultiCameraCalibrator(target, 3)
    r = cal.calibrate(lists)
    dets = [_vesk.IntrinsicCalibrator(target, cal.default_options()).find_corners(lst) for lst in lists]
    board = cv2.aruco.CharucoBoard((target.squares_x, target.squares_y), target.square_length, target.marker_length,
                                   cv2.aruco.getPredefinedDictionary(target.aruco_dict_id))
    corners = np.asarray(board.getChessboardCorners(), np.float32)
    for c in (1, 2):
        obj, p0, p1 = [], [], []
        for f in sorted(set(dets[0].successful_indices) & set(dets[c].successful_indices)):
            a, b = dets[0].successful_indices.index(f), dets[c].successful_indices.index(f)
            ia, ib = list(dets[0].point_ids[a].ravel()), list(dets[c].point_ids[b].ravel())
            shared = sorted(set(ia) & set(ib))
            obj.append(corners[shared])
            p0.append(dets[0].image_points[a][[ia.index(i) for i in shared]])
            p1.append(dets[c].image_points[b][[ib.index(i) for i in shared]])
        rms, *_, R, T, E, F = cv2.stereoCalibrate(
            obj, p0, p1, r.intrinsic_matrices[0], r.distortion_coefficients[0], r.intrinsic_matrices[c],
            r.distortion_coefficients[c], lists[0][0].shape[1::-1], flags=cv2.CALIB_FIX_INTRINSIC,
            criteria=(cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 30, 1e-6))
        np.testing.assert_allclose(r.reference_T_camera_list[c], np.linalg.inv(S.make_T(R, T.ravel())),
                                   rtol=1e-6, atol=1e-9)
        assert r.pair_reprojection_errors[c] == pytest.approx(rms, rel=1e-9)


def test_subsets_in_order_with_their_own_reference(capfd, rig):
    truth, lists, target = rig("charuco")
    cal = _vesk.MultiCameraCalibrator(target, 3)
    subsets = cal.calibrate_subsets(lists)
    assert [s.subset for s in subsets] == [[0, 1], [0, 2], [1, 2], [0, 1, 2]]
    assert all(s.result.ok and s.has_triangulation for s in subsets)
    one_two = subsets[2].result.reference_T_camera_list[1]
    want = np.linalg.inv(truth.reference_T_camera[1]) @ truth.reference_T_camera[2]
    assert S.pose_error(one_two, want)[0] < 1e-3
    summary = cal.format_results().split("SUBSET SUMMARY\n" + "=" * 90 + "\n")[1].splitlines()
    assert summary[0].startswith("(cam_0, cam_1): ok=yes  plane_thickness_mm=")
    assert summary[3].startswith("(cam_0, cam_1, cam_2): ok=yes  plane_thickness_mm=")
    assert cal.calibrate_subsets(lists, []) == [] and "SUBSET SUMMARY" not in cal.format_results()
    two = _vesk.MultiCameraCalibrator(target, 2)
    capfd.readouterr()
    assert [s.subset for s in two.calibrate_subsets(lists[:2])] == [[0, 1]]
    assert "[vesk][WARNING] Skipping subsets of size 3: only 2 cameras." in capfd.readouterr().err
    with pytest.raises(ValueError, match="num_cameras must be >= 2, got 1"):
        two.calibrate_subsets(lists[:2], [2, 1])
    assert len(two.format_results().split("SUBSET SUMMARY")) == 2  # the earlier summary is kept


@pytest.mark.parametrize("args, message", [
    ((1, 0), "MultiCameraCalibrator: num_cameras must be >= 2, got 1"),
    ((3, 3), "MultiCameraCalibrator: reference_index out of range for 3 cameras"),
    ((3, -1), "MultiCameraCalibrator: reference_index out of range for 3 cameras"),
])
def test_constructor_checks(args, message, rig):
    with pytest.raises(ValueError) as e:
        _vesk.MultiCameraCalibrator(rig("charuco")[2], *args)
    assert str(e.value) == message


def test_input_checks(rig):
    truth, lists, target = rig("charuco")
    cal = _vesk.MultiCameraCalibrator(target, 3)
    cases = [
        ((lists[:2],), "MultiCameraCalibrator: expected 3 image lists, got 2"),
        (([lists[0][:10], lists[1][:9], lists[2][:10]],), "MultiCameraCalibrator: all cameras must have the same "
                                                          "number of frames"),
        (([[], [], []],), "MultiCameraCalibrator: empty image lists"),
        ((lists, [np.eye(3)] * 3, [np.zeros(5)] * 2), "MultiCameraCalibrator: expected 3 intrinsic "
                                                       "matrices/distortion coefficient sets"),
    ]
    for args, message in cases:
        with pytest.raises(ValueError) as e:
            cal.calibrate(*args)
        assert str(e.value) == message
    with pytest.raises(RuntimeError) as e:
        cal.triangulate(lists)
    assert str(e.value) == "MultiCameraCalibrator: run calibrate() before triangulate()."
    blank = [[np.full((480, 640, 3), 255, np.uint8)] * 4] * 3
    with pytest.raises(RuntimeError) as e:
        cal.calibrate(blank)
    assert str(e.value) == "[MultiCameraCalibrator] Intrinsic calibration failed for camera 0"


def test_fresh_report(rig):
    cal = _vesk.MultiCameraCalibrator(rig("charuco")[2], 2, 1)
    r70 = "=" * 70
    assert cal.format_results() == (
        f"\n{r70}\nPER-CAMERA INTRINSICS\n{r70}\n"
        "\n[cam_0]  intrinsic RPE: nan px\nK =\n[]\nd = []\n"
        "\n[cam_1]  intrinsic RPE: nan px\nK =\n[]\nd = []\n"
        f"\n{r70}\nEXTRINSICS  -  reference_T_camera  (reference = cam_1)\n{r70}\n"
        "\n[cam_0]  FAILED  -  too few shared detections with cam_1\n"
        "\n[cam_1]  identity (reference)\n")


def test_too_few_shared_frames_still_reports_and_writes(tmp_path, capfd, rig):
    truth, lists, target = rig("charuco")
    blank = np.full_like(lists[2][0], 255)
    third = lists[2][:3] + [blank] * (len(lists[2]) - 3)
    cal = _vesk.MultiCameraCalibrator(target, 3)
    r = cal.calibrate([lists[0], lists[1], third], output_path=tmp_path)
    err = capfd.readouterr().err
    assert not r.ok and r.reference_T_camera_list[2].size == 0
    assert ("[vesk][ERROR] [MultiCameraCalibrator] Only 3 shared detections between reference camera 0 and camera "
            "2; skipping pair.") in err
    assert "\n[cam_2]  FAILED  -  too few shared detections with cam_0\n" in cal.format_results()
    assert "TRIANGULATION" not in cal.format_results()
    doc = json.loads((tmp_path / "multi_camera_calibration.json").read_text())
    assert doc["reference_T_camera_list"][2] is None and doc["pair_reprojection_errors"][0] is None
    # a later call that skips the pair does not report an earlier call's transform
    assert cal.calibrate(lists).ok
    r = cal.calibrate([lists[0], lists[1], third], output_path=tmp_path)
    assert not r.ok and r.reference_T_camera_list[2].size == 0 and np.isnan(r.pair_reprojection_errors[2])
    doc = json.loads((tmp_path / "multi_camera_calibration.json").read_text())
    assert doc["reference_T_camera_list"][2] is None and "TRIANGULATION" not in cal.format_results()


def test_filter_modes_and_flags(capfd, rig):
    truth, lists, target = rig("charuco")
    opts = _vesk.MultiCameraCalibrator.default_options()
    assert (opts.criteria.max_count, opts.criteria.epsilon, opts.per_view_error_threshold) == (30, 1e-6, 3.0)
    opts.per_view_error_threshold = 1e-9
    r = _vesk.MultiCameraCalibrator(target, 3, 0, opts).calibrate(lists)
    assert r.ok and "no frames pass per-view filter  -  stereo will use ALL)" in capfd.readouterr().err
    fixed = _vesk.MultiCameraCalibrator(target, 3).calibrate(lists)
    own = _vesk.IntrinsicCalibrator(target, _vesk.MultiCameraCalibrator.default_options()).calibrate(lists[1])
    np.testing.assert_array_equal(fixed.intrinsic_matrices[1], own.intrinsic_matrix)
    guess = _vesk.MultiCameraCalibrator(target, 3, 0, stereo_calibrate_flags=_vesk.CALIB_USE_INTRINSIC_GUESS)
    refined = guess.calibrate(lists)
    assert refined.ok and not np.array_equal(refined.intrinsic_matrices[1], fixed.intrinsic_matrices[1])
    assert refined.distortion_coefficients[1].shape[0] == 1
    supplied = _vesk.MultiCameraCalibrator(target, 3)
    r = supplied.calibrate(lists, fixed.intrinsic_matrices, fixed.distortion_coefficients)
    assert r.ok and np.isnan(r.intrinsic_reprojection_errors).all()
    assert "[cam_0]  intrinsic RPE: nan px" in supplied.format_results()
    assert (_vesk.CALIB_FIX_INTRINSIC, _vesk.CALIB_USE_INTRINSIC_GUESS) == (256, 1)


def test_triangulate_argument_checks(capfd, rig):
    truth, lists, target = rig("charuco")
    cal = _vesk.MultiCameraCalibrator(target, 3)
    cal.calibrate(lists)
    for args in ((lists[:2], 0), (lists, len(lists[0])), (lists, -1)):
        with pytest.raises(ValueError, match="MultiCameraCalibrator::triangulate: "):
            cal.triangulate(*args)
    blank = np.full_like(lists[1][0], 255)
    t = cal.triangulate([lists[0], [blank] * len(lists[0]), lists[2]], 0)
    assert t.counts_per_camera[1] == 0 and np.isnan(t.rms_per_camera[1])
    assert "[vesk][WARNING] cam_1: detection failed on frame 0" in capfd.readouterr().err
    chess = _vesk.MultiCameraCalibrator(rig("chessboard")[2], 3)
    chess.calibrate(rig("chessboard")[1])
    with pytest.raises(ValueError, match="MultiCameraCalibrator::triangulate requires a CharucoTarget"):
        chess.triangulate(rig("chessboard")[1])


def test_default_output_path_writes_nothing(tmp_path, monkeypatch, series, rig):
    truth, lists, target = rig("charuco")
    monkeypatch.chdir(tmp_path)
    _vesk.MultiCameraCalibrator(target, 3).calibrate(lists)
    s, images, he_target = series("charuco")
    _vesk.EyeInHandCalibrator(he_target).calibrate(s.robot_T_tcp, images)
    assert list(tmp_path.iterdir()) == []


def _shifted(frames):
    return frames[1:] + frames[:1]


def _two_swapped(frames):
    out = list(frames)
    out[3], out[7] = out[7], out[3]
    return out


@pytest.mark.parametrize("mistake, camera, warning", [
    ("shift", 1, "the frames of camera 1 are out of step with the reference camera's by +1"),
    # two swapped frames are two views off the rig: they are left out, the camera is kept
    ("swap", 2, "Stereo pair (ref=0, cam=2): RMS error"),
    ("same", 1, "camera 1 sits where the reference camera is"),
    ("swapped_intrinsics", 1, "The supplied intrinsics of camera 1 do not fit its views"),
])
def test_rig_mistakes_are_not_solved(mistake, camera, warning, rig, capfd):
    truth, lists, target = rig("charuco")
    lists = list(lists)
    args = ()
    if mistake == "shift":
        lists[1] = _shifted(lists[1])
    elif mistake == "swap":
        lists[2] = _two_swapped(lists[2])
    elif mistake == "same":
        lists[1] = lists[0]
    else:
        K = [c.K for c in truth.cameras]
        D = [c.dist for c in truth.cameras]
        args = ([K[0], K[2], K[1]], [D[0], D[2], D[1]])
    cal = _vesk.MultiCameraCalibrator(target, 3)
    r = cal.calibrate(lists, *args)
    if mistake == "swap":
        assert r.ok and r.rejected_views == [(2, 3), (2, 7)]
    else:
        assert not r.ok and r.reference_T_camera_list[camera].size == 0 and r.failure.code == "camera_not_placed"
    assert warning in capfd.readouterr().err
    for c in (1, 2):  # whatever is solved is right
        T = r.reference_T_camera_list[c]
        if T.size:
            assert S.pose_error(T, truth.reference_T_camera[c])[0] < 1e-3
    if mistake == "shift":  # the subset runs inherit it
        subsets = {tuple(s.subset): s.result.ok for s in cal.calibrate_subsets(lists)}
        assert subsets == {(0, 1): False, (0, 2): True, (1, 2): False, (0, 1, 2): False}


@pytest.mark.parametrize("K, problem", [
    (np.zeros((3, 3)), "lower entries"),
    (np.eye(3), "focal lengths"),
], ids=["zeros", "identity"])
def test_supplied_intrinsics_must_be_camera_matrices(K, problem, rig):
    truth, lists, target = rig("charuco")
    Ks = [c.K for c in truth.cameras]
    Ks[2] = K
    with pytest.raises(ValueError, match=rf"intrinsic_matrices\[2\] is not a camera matrix for camera 2's 960x720 "
                                         rf"images: .*{problem}"):
        _vesk.MultiCameraCalibrator(target, 3).calibrate(lists, Ks, [c.dist for c in truth.cameras])


def test_clean_rig_raises_no_new_warning(rig, capfd):
    truth, lists, target = rig("charuco")
    r = _vesk.MultiCameraCalibrator(target, 3).calibrate(lists, [c.K for c in truth.cameras],
                                                         [c.dist for c in truth.cameras])
    assert r.ok and "WARNING" not in capfd.readouterr().err
