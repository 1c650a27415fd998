import json
import math
import re

import cv2
import numpy as np
import pytest

import _vesk

BENCH = _vesk.CalibrationBenchmark()


def in_sample_per_image_error(images, target, K, D):
    """Mean of sqrt(sum |residual|^2) / N over the images, with one calibration on all of them."""
    board = cv2.aruco.CharucoBoard((target.squares_x, target.squares_y), target.square_length,
                                   target.marker_length, cv2.aruco.getPredefinedDictionary(target.aruco_dict_id))
    det = cv2.aruco.CharucoDetector(board)
    corners = np.asarray(board.getChessboardCorners(), np.float32)
    errs = []
    for img in images:
        cc, ci, _, _ = det.detectBoard(cv2.cvtColor(img, cv2.COLOR_BGR2GRAY))
        obj = corners[ci.ravel()]
        _, rvec, tvec = cv2.solvePnP(obj, cc, K, D)
        proj, _ = cv2.projectPoints(obj, rvec, tvec, K, D)
        errs.append(np.linalg.norm(cc.reshape(-1, 2) - proj.reshape(-1, 2)) / len(obj))
    return float(np.mean(errs))


def test_run_on_noisy_views(capfd, noisy_views):
    images, target = noisy_views()
    r = BENCH.run(images, target, _vesk.IntrinsicOptions())
    assert r.backend_name == "OpenCV" and r.image_count == 12 and r.hand_eye_roundtrip_error == -1
    assert math.isfinite(r.held_out_reprojection_error)
    # 10 images in 5 folds: every image is held out once, so both means cover the same views
    r10 = BENCH.run(images[:10], target, _vesk.IntrinsicOptions())
    assert r10.held_out_reprojection_error > in_sample_per_image_error(images[:10], target, r10.camera_matrix,
                                                                       r10.dist_coeffs)
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}\+00:00", r.timestamp)
    err = capfd.readouterr().err.splitlines()
    err = [line for line in err if "[Benchmark]" in line][:3]
    assert err[0] == "[vesk][INFO] [Benchmark] Running backend: OpenCV"
    assert re.fullmatch(r"\[vesk\]\[INFO\] \[Benchmark\] OpenCV: rpe=\d+\.\d{6}px  held-out=\d+\.\d{6}px  "
                        r"roundtrip=n/a", err[1])
    again = BENCH.cross_validate(images, target, _vesk.IntrinsicOptions())
    assert again == r.held_out_reprojection_error  # same seed, same folds
    assert BENCH.cross_validate(images, target, _vesk.IntrinsicOptions(), 5, 7) != again


def test_each_image_detected_once_gives_the_same_folds_and_warnings(capfd, noisy_views):
    images, target = noisy_views()
    images = images[:5] + [np.full_like(images[0], 128)] + images[5:]  # one view without the board
    options = _vesk.IntrinsicOptions()
    capfd.readouterr()
    alone = BENCH.cross_validate(images, target, options)
    alone_log = [line for line in capfd.readouterr().err.splitlines() if "Not enough ChArUco corners" in line]
    r = BENCH.run(images, target, options)
    run_log = [line for line in capfd.readouterr().err.splitlines() if "Not enough ChArUco corners" in line]
    assert r.held_out_reprojection_error == alone
    # the full calibration's warning (image 5), then each training set's, at its position in that set;
    # the blank view is held out at most once (the fold order is the standard library's shuffle)
    assert len(alone_log) >= 4 and run_log == [run_log[0]] + alone_log
    assert run_log[0].endswith("image 5")


@pytest.mark.parametrize("n_images, n_splits", [(3, 5), (12, 0), (12, -2), (0, 5)])
def test_no_held_out_value_is_infinite(n_images, n_splits, capfd, noisy_views):
    images, target = noisy_views()
    assert BENCH.cross_validate(images[:n_images], target, _vesk.IntrinsicOptions(), n_splits) == math.inf
    assert capfd.readouterr().err.endswith("[vesk][WARNING] [Benchmark] cross_validate: no held-out errors computed.\n")


def test_target_never_found():
    blank = [np.full((240, 320, 3), 255, np.uint8)] * 5
    with pytest.raises(RuntimeError) as e:
        BENCH.run(blank, _vesk.ChessboardTarget((9, 6), 0.025), _vesk.IntrinsicOptions())
    assert str(e.value) == "[Benchmark] OpenCV calibration failed."


def test_hand_eye_round_trip(capfd, series):
    s, images, target = series("charuco")
    opts = _vesk.IntrinsicOptions()
    assert BENCH.run(images, target, opts, s.robot_T_tcp).hand_eye_roundtrip_error == -1  # no hand-eye options
    r = BENCH.run(images, target, opts, s.robot_T_tcp, opts)
    assert 0 <= r.hand_eye_roundtrip_error < 0.5
    # a view the hand-eye solve drops must not turn the round trip into infinity
    blank = np.full_like(images[0], 255)
    r = BENCH.run(images[:7] + [blank] + images[8:], target, opts, s.robot_T_tcp, opts)
    assert 0 <= r.hand_eye_roundtrip_error < 0.5
    capfd.readouterr()
    rt = BENCH.hand_eye_roundtrip(images, s.robot_T_tcp, s.tcp_T_camera, s.camera.K, s.camera.dist, target, [])
    assert rt == math.inf and "camera_T_target_list missing  -  cannot recover base_T_board; skipping." in \
        capfd.readouterr().err
    rt = BENCH.hand_eye_roundtrip([blank] * 15, s.robot_T_tcp, s.tcp_T_camera, s.camera.K, s.camera.dist, target,
                                  s.camera_T_target)
    assert rt == math.inf and capfd.readouterr().err.endswith("[Benchmark] hand_eye_roundtrip: no valid frames.\n")
    # more poses than images: only frames with both are scored
    rt = BENCH.hand_eye_roundtrip(images[:5], s.robot_T_tcp, s.tcp_T_camera, s.camera.K, s.camera.dist, target,
                                  s.camera_T_target)
    assert rt < 0.5


def test_table_and_json(tmp_path, capfd, noisy_views):
    images, target = noisy_views()
    r = BENCH.run(images[:8], target, _vesk.IntrinsicOptions(), backend_name="A" * 30)
    table = _vesk.CalibrationBenchmark.format_results([r])
    lines = table.splitlines()
    assert lines[:5] == ["=" * 64, "BENCHMARK SUMMARY", "=" * 64, "Backend" + " " * 21 + "   RPE  Held    RT", "-" * 64]
    assert lines[5] == "A" * 30 + f"{r.reprojection_error:6.2f}{r.held_out_reprojection_error:6.2f}     -"
    assert _vesk.CalibrationBenchmark.format_results([]).count("\n") == 6
    path = tmp_path / "bench.json"
    capfd.readouterr()
    _vesk.CalibrationBenchmark.save_json([r], str(path))
    assert capfd.readouterr().err == f"[vesk][INFO] [Benchmark] Results written to {path}\n"
    text = path.read_text()
    doc = json.loads(text)
    assert list(doc) == ["results", "run_timestamp"] and not text.endswith("\n")
    item = doc["results"][0]
    assert list(item) == ["backend_name", "camera_matrix", "dist_coeffs", "hand_eye_roundtrip_error",
                          "held_out_reprojection_error", "image_count", "reprojection_error", "timestamp"]
    assert item["hand_eye_roundtrip_error"] is None and item["image_count"] == 8
    assert item["reprojection_error"] == round(r.reprojection_error, 6)
    assert item["camera_matrix"] == r.camera_matrix.tolist() and len(item["dist_coeffs"]) == 5
    missing = tmp_path / "no" / "such.json"
    with pytest.raises(RuntimeError) as e:
        _vesk.CalibrationBenchmark.save_json([r], str(missing))
    assert str(e.value) == f"[Benchmark] cannot open {missing} for writing"
