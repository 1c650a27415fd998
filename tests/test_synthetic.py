"""The synthetic-scene generator against OpenCV's detectors: its ground truth is trustworthy."""

import cv2
import numpy as np
import pytest

from vesk_testing import scene as S

SUBPIX = (cv2.TERM_CRITERIA_EPS + cv2.TERM_CRITERIA_COUNT, 100, 1e-5)


@pytest.fixture(scope="module")
def camera():
    return S.make_camera()


def _gray(img):
    assert img.dtype == np.uint8 and img.ndim == 3 and img.shape[2] == 3
    return cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)


def test_chessboard_corners_match_ground_truth(camera):
    board = S.chessboard(9, 6, 0.025)
    for T in S.view_poses(board, camera, 5, seed=11):
        gray = _gray(S.render(board, camera, T))
        ok, corners = cv2.findChessboardCorners(gray, (9, 6))
        assert ok
        corners = cv2.cornerSubPix(gray, corners, (11, 11), (-1, -1), SUBPIX).reshape(-1, 2)
        assert np.abs(corners - camera.project(board.points, T)).max() < 0.1


def test_charuco_corners_match_ground_truth(camera):
    board = S.charuco(7, 5, 0.04, 0.03)
    d = cv2.aruco.getPredefinedDictionary(board.params["dict_id"])
    detector = cv2.aruco.CharucoDetector(cv2.aruco.CharucoBoard((7, 5), 0.04, 0.03, d))
    offsets = []
    for T in S.view_poses(board, camera, 5, seed=12):
        gray = _gray(S.render(board, camera, T))
        corners, ids, _, _ = detector.detectBoard(gray)
        assert ids is not None and len(ids) == 24
        gt = camera.project(board.points, T)[ids.ravel()]
        offsets.append(corners.reshape(-1, 2) - gt)
        # a window small enough to stay clear of the marker borders
        refined = cv2.cornerSubPix(gray, corners.copy(), (3, 3), (-1, -1), SUBPIX).reshape(-1, 2)
        assert np.abs(refined - gt).max() < 0.1
    # Unbiased: pixel centres at integers, as the projection has them. Errors
    # are correlated within a view, so the mean is taken over all views.
    offsets = np.concatenate(offsets)
    assert np.abs(offsets.mean(axis=0)).max() < 0.02 and np.abs(offsets).max() < 0.25


def test_aruco_markers_match_ground_truth(camera):
    board = S.aruco_grid(5, 4, 0.04, 0.01)
    params = cv2.aruco.DetectorParameters()
    params.cornerRefinementMethod = cv2.aruco.CORNER_REFINE_SUBPIX
    detector = cv2.aruco.ArucoDetector(cv2.aruco.getPredefinedDictionary(board.params["dict_id"]), params)
    for T in S.view_poses(board, camera, 5, seed=13):
        corners, ids, _ = detector.detectMarkers(_gray(S.render(board, camera, T)))
        assert sorted(ids.ravel().tolist()) == list(range(20))
        gt = camera.project(board.points, T).reshape(-1, 4, 2)
        # Marker outlines are found slightly inside the black border (a detector
        # bias symmetric about the centre); the centres locate the markers.
        for c, i in zip(corners, ids.ravel()):
            assert np.linalg.norm(c.reshape(4, 2).mean(0) - gt[i].mean(0)) < 0.1
            assert np.abs(c.reshape(4, 2) - gt[i]).max() < 0.6


def test_noise_and_blur_are_reproducible(camera):
    board = S.chessboard()
    T = S.view_poses(board, camera, 1, seed=1)[0]
    clean = S.render(board, camera, T)
    a = S.render(board, camera, T, noise_sigma=2.0, blur_sigma=0.7, seed=4)
    b = S.render(board, camera, T, noise_sigma=2.0, blur_sigma=0.7, seed=4)
    np.testing.assert_array_equal(a, b)
    assert 0.5 < np.abs(a.astype(float) - clean).mean() < 5.0


def test_hand_eye_series_closes_the_robot_chain(camera):
    s = S.hand_eye_series(S.charuco(), camera, 15)
    assert len(s.robot_T_tcp) == len(s.camera_T_target) == 15
    for A, B in zip(s.robot_T_tcp, s.camera_T_target):
        np.testing.assert_allclose(A @ s.tcp_T_camera @ B, s.robot_T_target, atol=1e-12)
        assert camera.sees_all(s.board.points, B)
    # flange rotations relative to the first pose spread over all three axes
    rel = [S.inv_T(s.robot_T_tcp[0]) @ T for T in s.robot_T_tcp[1:]]
    rvecs = np.array([cv2.Rodrigues(T[:3, :3])[0].ravel() for T in rel])
    assert np.all(np.degrees(np.ptp(rvecs, axis=0)) >= 20.0)


def test_single_axis_series_rotates_about_one_axis(camera):
    s = S.hand_eye_series(S.charuco(), camera, 8, single_axis=True)
    rel = [S.inv_T(s.robot_T_tcp[0]) @ T for T in s.robot_T_tcp[1:]]
    axes = np.array([cv2.Rodrigues(T[:3, :3])[0].ravel() for T in rel])
    axes /= np.linalg.norm(axes, axis=1, keepdims=True)
    assert np.abs(axes @ axes[0]).min() > 1 - 1e-9


def test_rig_frames_are_seen_by_every_camera():
    board = S.charuco()
    r = S.rig(board, n_frames=12)
    np.testing.assert_allclose(r.reference_T_camera[0], np.eye(4), atol=1e-12)
    baselines = [np.linalg.norm(T[:3, 3]) for T in r.reference_T_camera[1:]]
    assert all(0.1 <= b <= 0.5 for b in baselines)
    for k, cam in enumerate(r.cameras):
        for f in range(12):
            assert cam.sees_all(board.points, r.camera_T_target(k, f))
    images = r.images()
    assert len(images) == 3 and all(len(row) == 12 for row in images)
