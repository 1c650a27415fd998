import cv2
import numpy as np
import pytest

import _vesk
from vesk_testing import reference
from vesk_testing import scene as S

N_VIEWS = 16
CRITERIA = reference.SOLVE_CRITERIA


@pytest.fixture(scope="module", params=["chessboard", "charuco", "aruco"])
def scene(request, intrinsic_scenes):
    return intrinsic_scenes(request.param)


def cv2_detect(scene):
    """(image_points, object_points, indices) exactly as the core should find them."""
    img_pts, obj_pts, idx, _ = reference.detect(scene.kind, scene.board, scene.images)
    return img_pts, obj_pts, idx


@pytest.fixture(scope="module")
def calibrated(scene):
    cal = _vesk.IntrinsicCalibrator(scene.target())
    return cal, cal.calibrate(scene.images)


def test_ground_truth(scene, calibrated):
    _, r = calibrated
    assert r.ok and len(r.successful_indices) == N_VIEWS
    K, D = r.intrinsic_matrix, r.distortion_coefficients
    Kt = scene.camera.K
    # ArUco corners come from OpenCV's default marker detection without corner
    # refinement, whose outlines sit up to a pixel inside the printed border:
    # that, not the wiring, bounds the ArUco accuracy.
    rel, px = (0.006, 4.0) if scene.kind == "aruco" else (0.002, 1.0)
    assert K[0, 0] == pytest.approx(Kt[0, 0], rel=rel)
    assert K[1, 1] == pytest.approx(Kt[1, 1], rel=rel)
    assert abs(K[0, 2] - Kt[0, 2]) < px and abs(K[1, 2] - Kt[1, 2]) < px
    # The calibrated model reproduces the true projection of the board. ArUco
    # outlines sit slightly inside the border, so that board is judged by its
    # marker centres.
    worst = 0.0
    for k, i in enumerate(r.successful_indices):
        T = scene.poses[i]
        pts = scene.board.points
        obj = np.asarray(pts, np.float64)
        truth = scene.camera.project(pts, T)
        # the view's pose as the calibrated model sees it, from its own detections
        det = r.image_points[k].reshape(-1, 2).astype(np.float64)
        view_obj = np.asarray(calibrated[0].detections().object_points[k], np.float64)
        ok, rvec, tvec = cv2.solvePnP(view_obj, det, K, D, flags=cv2.SOLVEPNP_ITERATIVE)
        model = cv2.projectPoints(obj, rvec, tvec, K, D)[0].reshape(-1, 2)
        if scene.kind == "aruco":
            model, truth = model.reshape(-1, 4, 2).mean(1), truth.reshape(-1, 4, 2).mean(1)
        worst = max(worst, float(np.abs(model - truth).max()))
    assert worst < (0.5 if scene.kind == "aruco" else 0.1)


def test_agrees_with_direct_opencv_calls(scene, calibrated):
    cal, r = calibrated
    img_pts, obj_pts, idx = cv2_detect(scene)
    assert r.successful_indices == idx
    for ours, theirs in zip(r.image_points, img_pts):
        assert ours.shape == theirs.shape and ours.dtype == np.float32
        assert np.abs(ours - theirs).max() < 1e-3
    size = scene.images[0].shape[1::-1]

    # The solve, on the very points the core detected, is OpenCV's to the last digits.
    det = cal.detections()
    rms, K, D, rvecs, tvecs, _, _, per_view = cv2.calibrateCameraExtended(
        list(det.object_points), list(det.image_points), size, None, None, flags=0, criteria=CRITERIA)
    # Both run the solve to its minimum; the summation order of OpenCV's thread pool (the core
    # solves on one thread) moves the ill-conditioned higher distortion terms in the 7th digit.
    np.testing.assert_allclose(r.intrinsic_matrix, K, rtol=1e-6, atol=1e-9)
    np.testing.assert_allclose(r.distortion_coefficients, D.reshape(1, -1), rtol=1e-6, atol=1e-5)
    np.testing.assert_allclose(r.per_view_errors, per_view.ravel(), rtol=1e-6)
    # the system's own error: per view the L2 norm over all coordinates divided by N, averaged
    own = np.mean([cv2.norm(ip, cv2.projectPoints(op, rv, tv, K, D)[0], cv2.NORM_L2) / len(op)
                   for ip, op, rv, tv in zip(det.image_points, det.object_points, rvecs, tvecs)])
    assert r.reprojection_error == pytest.approx(own, rel=1e-6)
    assert r.reprojection_error < rms

    # From cv2's own detections. Two OpenCV builds refine corners identically up
    # to the last bit of a float (about 3e-5 px here), which the ill-conditioned
    # higher distortion terms amplify; the camera matrix is unaffected.
    _, K2, D2, _, _ = cv2.calibrateCamera(obj_pts, img_pts, size, None, None, flags=0, criteria=CRITERIA)
    np.testing.assert_allclose(r.intrinsic_matrix, K2, rtol=1e-6, atol=1e-9)
    np.testing.assert_allclose(r.distortion_coefficients, D2.reshape(1, -1), rtol=1e-6, atol=5e-5)


def test_detection_record_shapes(scene, calibrated):
    cal, r = calibrated
    det = cal.detections()
    assert det.successful_indices == r.successful_indices
    for ip, op in zip(det.image_points, det.object_points):
        assert ip.dtype == np.float32 and ip.shape[1:] == (1, 2)
        assert op.dtype == np.float32 and op.shape == (ip.shape[0], 3)
    if scene.kind == "charuco":
        assert len(det.point_ids) == len(det.image_points)
        for ids, op in zip(det.point_ids, det.object_points):
            assert ids.dtype == np.int32 and ids.shape == (op.shape[0], 1)
            np.testing.assert_allclose(op, scene.board.points[ids.ravel()], atol=1e-6)
    else:
        assert det.point_ids == []
    images = cal.corner_images()
    assert len(images) == len(r.successful_indices)
    for k, i in enumerate(r.successful_indices):
        assert images[k].shape == scene.images[i].shape
        assert np.any(images[k] != scene.images[i])


def test_find_corners_leaves_the_calibrator_unchanged(scene):
    cal = _vesk.IntrinsicCalibrator(scene.target())
    det = cal.find_corners(scene.images[:3])
    assert det.successful_indices == [0, 1, 2]
    assert cal.corner_images() == [] and cal.detections().successful_indices == []


def test_views_without_the_target_are_skipped_with_a_warning(scene, capfd):
    blank = np.full_like(scene.images[0], 255)
    images = [blank, scene.images[0], blank, scene.images[1], scene.images[2], scene.images[3]]
    cal = _vesk.IntrinsicCalibrator(scene.target())
    r = cal.calibrate(images)
    err = capfd.readouterr().err
    assert r.successful_indices == [1, 3, 4, 5]
    text = {"chessboard": "[vesk][WARNING] [IntrinsicCalibrator] Chessboard not found in image ",
            "charuco": "[vesk][WARNING] [CharucoIntrinsicCalibrator] Not enough ChArUco corners in image ",
            "aruco": "[vesk][WARNING] [ArucoIntrinsicCalibrator] Not enough ArUco markers in image "}[scene.kind]
    assert err.splitlines()[:2] == [text + "0", text + "2"]


@pytest.mark.parametrize("images", [
    [],
    [np.full((480, 640, 3), 255, np.uint8)] * 3,
    [np.zeros((12, 9, 3), np.uint8)],
    [np.zeros((1, 1, 3), np.uint8)],
])
def test_no_view_detected(scene, images, capfd):
    cal = _vesk.IntrinsicCalibrator(scene.target())
    r = cal.calibrate(images)
    assert not r.ok
    assert r.intrinsic_matrix.shape == (0, 0) and r.distortion_coefficients.shape == (0, 0)
    assert r.reprojection_error == 0.0 and r.successful_indices == [] and r.per_view_errors == []
    assert r.failure.code == "no_corners"
    assert capfd.readouterr().err.endswith(f"[vesk][WARNING] [IntrinsicCalibrator] {r.failure.message}\n")


@pytest.mark.parametrize("image, error", [(np.zeros((480, 640), np.uint8), ValueError),  # mono: named
                                          (np.zeros((0, 0, 3), np.uint8), RuntimeError)])
def test_images_that_are_not_bgr_raise_runtime_error(scene, image, error):
    with pytest.raises(error):
        _vesk.IntrinsicCalibrator(scene.target()).calibrate([image])


def test_filter_threshold_is_inclusive(scene, calibrated):
    _, r0 = calibrated
    errors = sorted(r0.per_view_errors)
    opts = _vesk.IntrinsicOptions()
    opts.per_view_error_threshold = errors[len(errors) // 2]
    r = _vesk.IntrinsicCalibrator(scene.target(), opts).calibrate(scene.images)
    expected = [k for k, e in enumerate(r.per_view_errors) if e <= opts.per_view_error_threshold]
    assert r.low_view_error_indices == expected and len(expected) >= len(errors) // 2 + 1


def test_zero_threshold_keeps_the_intrinsics(scene, capfd):
    opts = _vesk.IntrinsicOptions()
    opts.per_view_error_threshold = 0.0
    r = _vesk.IntrinsicCalibrator(scene.target(), opts).calibrate(scene.images[:6])
    assert r.ok and r.low_view_error_indices == [] and r.intrinsic_matrix.shape == (3, 3)
    assert ("[vesk][WARNING] [IntrinsicCalibrator] No view with reprojection error below 0.000000. "
            "Returning intrinsics anyway with low_view_error_indices=[].") in capfd.readouterr().err


def test_calibration_method_names(scene):
    opts = _vesk.IntrinsicOptions()
    opts.calibrate_camera_method = "release object"
    cal = _vesk.IntrinsicCalibrator(scene.target(), opts)
    if scene.kind == "charuco":
        assert cal.calibrate(scene.images[:6]).ok  # not consulted for ChArUco
        return
    with pytest.raises(ValueError) as e:
        cal.calibrate(scene.images[:6])
    assert str(e.value) == ("IntrinsicCalibrator: calibrate_camera_method must be 'Default' or 'Release Object', "
                            "got 'release object'")
    assert len(cal.corner_images()) == 6  # raised after detection


def test_release_object_solver(scene):
    if scene.kind == "charuco":
        pytest.skip("ChArUco views have varying point sets")
    opts = _vesk.IntrinsicOptions()
    opts.calibrate_camera_method = "Release Object"
    opts.index_of_fixed_3d_point = 8
    images = scene.images
    cal = _vesk.IntrinsicCalibrator(scene.target(), opts)
    if scene.kind == "aruco":
        # views see different marker sets: OpenCV refuses to release the object
        with pytest.raises(RuntimeError, match="should be identical"):
            cal.calibrate(images)
        return
    r = cal.calibrate(images)
    assert r.ok and r.intrinsic_matrix[0, 0] == pytest.approx(scene.camera.K[0, 0], rel=0.005)


def test_guesses_take_effect_through_flags(scene, calibrated):
    opts = _vesk.IntrinsicOptions()
    opts.intrinsic_matrix_guess = scene.camera.K
    opts.distortion_coefficients_guess = scene.camera.dist
    opts.calibrate_camera_flags = cv2.CALIB_USE_INTRINSIC_GUESS | cv2.CALIB_FIX_FOCAL_LENGTH
    r = _vesk.IntrinsicCalibrator(scene.target(), opts).calibrate(scene.images[:8])
    assert r.intrinsic_matrix[0, 0] == scene.camera.K[0, 0]


def test_chessboard_detector_options(intrinsic_scenes):
    sc = intrinsic_scenes("chessboard")
    bad = _vesk.IntrinsicOptions()
    bad.chessboard_corner_detector = "sector based"
    cal = _vesk.IntrinsicCalibrator(sc.target(), bad)
    assert not cal.calibrate([]).ok  # validated only per image
    with pytest.raises(ValueError) as e:
        cal.calibrate(sc.images[:2])
    assert str(e.value) == ("IntrinsicCalibrator: chessboard_corner_detector must be 'Default' or 'Sector Based', "
                            "got 'sector based'")
    sb = []
    for win in (5, 11):
        o = _vesk.IntrinsicOptions()
        o.chessboard_corner_detector = "Sector Based"
        o.sub_pixel_detection_window_size = win
        sb.append(_vesk.IntrinsicCalibrator(sc.target(), o).find_corners(sc.images[:3]))
    assert sb[0].successful_indices == [0, 1, 2]
    for a, b in zip(sb[0].image_points, sb[1].image_points):
        np.testing.assert_array_equal(a, b)
    gray = cv2.cvtColor(sc.images[0], cv2.COLOR_BGR2GRAY)
    ok, direct = cv2.findChessboardCornersSB(gray, sc.board.params["args"][0], flags=0)
    np.testing.assert_allclose(sb[0].image_points[0], direct, atol=1e-3)


def test_foreign_aruco_markers_are_never_paired():
    # a 6x5 board rendered, a 5x4 target: markers 20..29 are not on the target
    cam = S.make_camera()
    big = S.aruco_grid(6, 5)
    images = [S.render(big, cam, T) for T in S.view_poses(big, cam, 3, seed=5)]
    target = _vesk.ArucoTarget((5, 4), *big.target_args()[1:])
    det = _vesk.IntrinsicCalibrator(target).find_corners(images)
    board = cv2.aruco.GridBoard((5, 4), *big.target_args()[1:3], cv2.aruco.getPredefinedDictionary(3))
    known = np.concatenate([np.asarray(c, np.float32).reshape(4, 3) for c in board.getObjPoints()])
    for ip, op in zip(det.image_points, det.object_points):
        assert 16 <= len(op) <= 80 and len(ip) == len(op)
        assert all(any(np.allclose(p, q) for q in known) for p in op)


def test_options_defaults_and_views():
    o = _vesk.IntrinsicOptions()
    assert (o.criteria.type, o.criteria.max_count, o.criteria.epsilon) == (3, 30, 0.001)
    assert (o.chessboard_corner_detector, o.chessboard_flags, o.sub_pixel_detection_window_size,
            o.sub_pixel_detection_zero_zone_size, o.calibrate_camera_method, o.calibrate_camera_flags,
            o.index_of_fixed_3d_point, o.intrinsic_matrix_guess, o.distortion_coefficients_guess,
            o.per_view_error_threshold) == ("Default", 0, 11, -1, "Default", 0, 0, None, None, 1.0)
    view = o.criteria
    view.max_count = 77
    assert o.criteria.max_count == 77
    del o
    assert view.max_count == 77  # the view keeps its owner alive
    o = _vesk.IntrinsicOptions()
    o.criteria = _vesk.TermCriteria(_vesk.TERM_CRITERIA_EPS, 5, 1e-9)
    assert (o.criteria.type, o.criteria.max_count) == (2, 5)
    o.intrinsic_matrix_guess = np.eye(3)
    g = o.intrinsic_matrix_guess
    g[0, 0] = 5.0
    assert o.intrinsic_matrix_guess[0, 0] == 1.0  # arrays are copies
    o.intrinsic_matrix_guess = None
    assert o.intrinsic_matrix_guess is None
    assert (_vesk.TERM_CRITERIA_COUNT, _vesk.TERM_CRITERIA_MAX_ITER, _vesk.TERM_CRITERIA_EPS) == (1, 1, 2)


def test_calibrator_accessors_return_copies():
    target = _vesk.ChessboardTarget((9, 6), 0.025)
    cal = _vesk.IntrinsicCalibrator(target)
    assert cal.corner_images() == []
    opts = cal.options()
    opts.per_view_error_threshold = 0.0
    assert cal.options().per_view_error_threshold == 1.0
    t = cal.target()
    assert isinstance(t, _vesk.ChessboardTarget) and t.size == (9, 6)
    t.square_size = 1.0
    assert cal.target().square_size == 0.025
    assert isinstance(_vesk.IntrinsicCalibrator(_vesk.CharucoTarget(5, 5, 0.04, 0.03)).target(), _vesk.CharucoTarget)


@pytest.mark.parametrize("cls", ["TargetDetections", "IntrinsicResult"])
def test_records_have_no_constructor(cls):
    with pytest.raises(TypeError, match="No constructor defined!"):
        getattr(_vesk, cls)()


@pytest.mark.parametrize("args", [("not a target",), (None,), (_vesk.ChessboardTarget((9, 6), 0.02), "opts")])
def test_calibrator_argument_types(args):
    with pytest.raises(TypeError):
        _vesk.IntrinsicCalibrator(*args)


def test_image_list_argument_types():
    cal = _vesk.IntrinsicCalibrator(_vesk.ChessboardTarget((9, 6), 0.02))
    for bad in ("images", [np.zeros((4, 4, 3), np.int64)], None):
        with pytest.raises(TypeError):
            cal.calibrate(bad)
