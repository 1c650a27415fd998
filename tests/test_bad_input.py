"""Bad input gets a clear error of the intended type; what the module writes loads back."""

import functools
import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import _vesk
from _vesk import diagnostics, io

READERS = {
    "npz": (io.load_hand_eye_dataset, "calibration_data.npz", "npz: cannot open {} for reading"),
    "hand_eye": (io.load_hand_eye_result, "hand_eye.json", "io: cannot open {} for reading"),
    "multi_camera": (io.load_multi_camera_calibration, "multi_camera_calibration.json",
                     "io: cannot open {} for reading"),
}


@pytest.mark.parametrize("kind", ["directory", "fifo"])
@pytest.mark.parametrize("reader", sorted(READERS))
def test_readers_open_regular_files_only(tmp_path, reader, kind):
    load, name, message = READERS[reader]
    path = tmp_path / name
    path.mkdir() if kind == "directory" else os.mkfifo(path)
    with pytest.raises(RuntimeError) as e:
        load(tmp_path)  # the folder: the reader looks for its file inside
    assert str(e.value) == message.format(path)


def test_pose_archive_search_skips_what_is_not_a_file(tmp_path):
    (tmp_path / "cam_00" / "calibration_data.npz").mkdir(parents=True)
    io.save_multi_camera_robot_poses(tmp_path / "other", [np.eye(4)], 2)
    (tmp_path / "cam_01").mkdir()
    os.replace(tmp_path / "other" / "cam_01" / "calibration_data.npz", tmp_path / "cam_01" / "calibration_data.npz")
    assert len(io.load_multi_camera_robot_poses(tmp_path)) == 1


def test_non_finite_matrix_elements_load_back_as_nan(tmp_path):
    he = io.HandEyeResultRecord()
    he.num_cameras = 1
    T = np.eye(4)
    T[0, 3], T[1, 3] = np.nan, np.inf
    he.tcp_T_camera_list = [T]
    io.save_hand_eye_result(tmp_path, he)
    back = io.load_hand_eye_result(tmp_path).tcp_T_camera_list[0]
    assert np.isnan(back[0, 3]) and np.isnan(back[1, 3]) and back[2, 2] == 1.0
    mc = io.MultiCameraCalibrationRecord()
    mc.num_cameras = 1
    mc.intrinsic_matrices, mc.distortion_coefficients = [np.full((3, 3), np.nan)], [np.array([[0.1, np.nan]])]
    mc.reference_T_camera_list = [np.eye(4)]
    io.save_multi_camera_calibration(tmp_path, mc)
    back = io.load_multi_camera_calibration(tmp_path)
    assert np.isnan(back.intrinsic_matrices[0]).all() and np.isnan(back.distortion_coefficients[0][0, 1])


@pytest.mark.parametrize("call", [
    lambda: io.load_hand_eye_result(b"/nonexistent/\xff\xfe/hand_eye.json"),
    lambda: io.load_hand_eye_dataset(b"/nonexistent/\xff"),
])
def test_non_utf8_messages_keep_their_exception(call):
    with pytest.raises(RuntimeError, match="cannot open .*\ufffd"):
        call()


def test_non_utf8_file_contents_keep_their_exception(tmp_path):
    (tmp_path / "hand_eye.json").write_bytes(b'{"method": "\xff\xff"}')
    with pytest.raises(RuntimeError):
        io.load_hand_eye_result(tmp_path)


def test_rotation_variety_takes_float32_poses():
    from vesk_testing import scene as S
    poses = [S.make_T(S.rot_x(10 * k) @ S.rot_y(7 * k * (-1) ** k), [0.1 * k, 0, 0]) for k in range(6)]
    f64 = diagnostics.analyze_rotation_variety(poses)
    f32 = diagnostics.analyze_rotation_variety([p.astype(np.float32) for p in poses])
    assert f32.num_motions == f64.num_motions and f32.angle_mean_deg == pytest.approx(f64.angle_mean_deg, 1e-5)


def test_memory_error_in_conversion_is_not_a_type_error():
    class Huge:
        def __array__(self, dtype=None, copy=None):
            raise MemoryError("no room")

    with pytest.raises(MemoryError):
        _vesk.tf.transformation_matrix_to_pose(Huge())


LOG_AFTER_FAILED_WRITE = r"""
import os, signal, numpy as np, _vesk
signal.signal(signal.SIGPIPE, signal.SIG_IGN)
target = _vesk.CharucoTarget(7, 5, 0.04, 0.03)
log_once = lambda: _vesk.CalibrationBenchmark().hand_eye_roundtrip([], [], np.eye(4), np.eye(3), np.zeros(5), target, [])
good = os.dup(2)
r, w = os.pipe()
os.close(r)
os.dup2(w, 2)          # stderr now a pipe nobody reads: the write fails
log_once()
os.dup2(good, 2)
log_once()             # must reach the real stderr
"""


def test_logging_recovers_after_a_failed_write():
    proc = subprocess.run([sys.executable, "-c", LOG_AFTER_FAILED_WRITE], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert "camera_T_target_list missing" in proc.stderr


# ---- dataset folders, result files and API traps -------------------------------------------------

def _tiny(capture):
    img = np.zeros((4, 6, 3), np.uint8)
    img[0, 0, 0] = capture
    return img


@pytest.mark.parametrize("stray", ["image_05 (1).png", "image_-1.png", "image_99999999999.png"])
def test_frame_without_capture_index_is_left_out_and_named(tmp_path, capfd, stray):
    from _vesk import tf
    poses = [tf.pose_to_transformation_matrix([0.01 * k, 0, 0, 0, 0, 0]) for k in range(4)]
    for k in (0, 2, 3, 4):  # capture 1 missing: the indices, not the positions, must pair
        io.save_multi_camera_capture(tmp_path, [_tiny(k), _tiny(k)], k)
    io.save_multi_camera_robot_poses(tmp_path, poses + [poses[0]], 2)
    (tmp_path / "cam_00" / stray).write_bytes((tmp_path / "cam_00" / "image_00.png").read_bytes())
    capfd.readouterr()
    lists = io.load_multi_camera_dataset(tmp_path, 2)
    assert [[int(f[0, 0, 0]) for f in frames] for frames in lists] == [[0, 2, 3, 4]] * 2
    assert len(io.load_multi_camera_robot_poses(tmp_path)) == 4
    assert f"left out of {tmp_path / 'cam_00'}: {stray}\n" in capfd.readouterr().err
    assert io.next_multi_camera_capture_index(tmp_path, 2) == 5
    assert f"not counted: cam_00/{stray}\n" in capfd.readouterr().err


def test_folder_of_frames_without_any_capture_index_is_refused(tmp_path):
    (tmp_path / "cam_00").mkdir()
    io.save_multi_camera_capture(tmp_path / "x", [_tiny(0)], 0)
    (tmp_path / "cam_00" / "image_a.png").write_bytes((tmp_path / "x" / "cam_00" / "image_00.png").read_bytes())
    with pytest.raises(RuntimeError, match="carries a capture index"):
        io.load_multi_camera_dataset(tmp_path, 1)


def test_negative_capture_index_is_refused_before_writing(tmp_path):
    with pytest.raises(ValueError, match="io: capture_index must be 0 or more, got -1"):
        io.save_multi_camera_capture(tmp_path, [_tiny(0)], -1)
    assert list(tmp_path.iterdir()) == []


SCALED = (np.diag([1.2, 1.2, 1.2, 1.0])).tolist()
SHEARED = [[1, 0.1, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]


@pytest.mark.parametrize("loader, text, message", [
    (io.load_hand_eye_result, '{"reference_index": 0, "num_cameras": 1, "tcp_T_camera_list": [%s]}' % SCALED,
     "'tcp_T_camera_list' entry 0 is not a rigid transform"),
    (io.load_hand_eye_result, '{"reference_index": 0, "num_cameras": 1, "tcp_T_camera_list": [[[1, 0], [0, 1]]]}',
     "'tcp_T_camera_list' entry 0 must be a 4x4 matrix or null, got 2x2"),
    (io.load_hand_eye_result, '{"reference_index": 0, "num_cameras": 1, "tcp_T_camera_list": [], '
     '"num_frames_used": -3}', "'num_frames_used' must be 0 or more"),
    (io.load_hand_eye_result, '{"reference_index": 0, "num_cameras": 1, "tcp_T_camera_list": [], '
     '"num_frames_used": 9, "num_frames_total": 4}', "'num_frames_used' \\(9\\) exceeds 'num_frames_total' \\(4\\)"),
    (io.load_eye_to_hand_result, '{"robot_T_camera": %s, "tcp_T_target": null}' % SHEARED,
     "'robot_T_camera' is not a rigid transform"),
    (io.load_eye_to_hand_result, '{"robot_T_camera": null, "tcp_T_target": null, "num_frames_total": -1}',
     "'num_frames_total' must be 0 or more"),
    (io.load_multi_camera_calibration, '{"reference_index": 0, "num_cameras": 1, "intrinsic_matrices": [], '
     '"distortion_coefficients": [], "reference_T_camera_list": [%s]}' % SCALED,
     "'reference_T_camera_list' entry 0 is not a rigid transform"),
])
def test_result_loaders_refuse_non_rigid_transforms_and_bad_counts(tmp_path, loader, text, message):
    (tmp_path / "f.json").write_text(text)
    with pytest.raises(RuntimeError, match=message):
        loader(tmp_path / "f.json")


@pytest.mark.parametrize("field, value, message", [
    ("tcp_T_camera_list", [np.eye(4), 1.2 * np.eye(4)], "'tcp_T_camera_list' entry 1 is not a rigid transform"),
    ("tcp_T_camera_list", [np.eye(3)], "'tcp_T_camera_list' entry 0 must be a 4x4 matrix or null, got 3x3"),
    ("num_frames_used", 20, r"num_frames_used \(20\) exceeds num_frames_total \(15\)"),
])
def test_result_writers_refuse_what_the_loaders_would(tmp_path, field, value, message):
    record = io.HandEyeResultRecord()
    record.num_cameras, record.num_frames_total, record.tcp_T_camera_list = 1, 15, [np.eye(4)]
    setattr(record, field, value)
    with pytest.raises(ValueError, match=message):
        io.save_hand_eye_result(tmp_path, record)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("cls", [_vesk.EyeInHandCalibrator, _vesk.EyeToHandCalibrator])
def test_failed_result_write_says_the_result_is_kept(tmp_path, capfd, cls):
    from vesk_testing import scene as S
    camera, board = S.make_camera(), S.charuco(7, 5, 0.04, 0.03)
    series = S.hand_eye_series if cls is _vesk.EyeInHandCalibrator else S.eye_to_hand_series
    s, target = series(board, camera, 8), _vesk.CharucoTarget(*board.target_args())
    (tmp_path / "file").write_text("")  # a file where the result's folder would go
    cal = cls(target)
    with pytest.raises(RuntimeError, match=r"\(the calibration itself succeeded: its result is in last_result\(\)\)"):
        cal.calibrate(s.robot_T_tcp, [], "TSAI", s.camera_T_target, camera.K, camera.dist,
                      output_path=tmp_path / "file" / "out")
    kept = cal.last_result()
    assert kept.ok and cal.calibrate(s.robot_T_tcp, [], "TSAI", s.camera_T_target, camera.K, camera.dist).ok
    capfd.readouterr()


def test_progress_calling_back_into_its_own_calibrator_is_named():
    target = _vesk.CharucoTarget(7, 5, 0.04, 0.03)
    cal = _vesk.IntrinsicCalibrator(target)
    with pytest.raises(RuntimeError, match="already running a call on this thread: its progress callable"):
        cal.find_corners([np.zeros((40, 60, 3), np.uint8)] * 3, progress=lambda done, total: cal.detections())
    cal.detections()  # free again afterwards


def test_reentered_thread_limit_restores_each_level():
    before = _vesk.get_num_threads()
    limit = _vesk.thread_limit(1)
    with limit:
        with _vesk.thread_limit(3):
            with limit:
                assert _vesk.get_num_threads() == 1
            assert _vesk.get_num_threads() == 3
        assert _vesk.get_num_threads() == 1
    assert _vesk.get_num_threads() == before


def _rig_call(images, K, D):
    return _vesk.MultiCameraCalibrator(_vesk.CharucoTarget(7, 5, 0.04, 0.03), 2).calibrate(
        [images, images], [K, K], [D, D])


K_OK, D_OK = np.array([[500.0, 0, 319.5], [0, 500, 239.5], [0, 0, 1]]), np.zeros(5)
COLOUR, MONO = [np.zeros((480, 640, 3), np.uint8)] * 3, [np.zeros((480, 640), np.uint8)] * 3
TARGET = _vesk.CharucoTarget(7, 5, 0.04, 0.03)


@pytest.mark.parametrize("call, message", [
    (lambda: _vesk.IntrinsicCalibrator(TARGET).calibrate(MONO), r"IntrinsicCalibrator: images\[0\] has 1 channel"),
    (lambda: _vesk.EyeInHandCalibrator(TARGET).calibrate([np.eye(4)] * 3, MONO),
     r"EyeInHandCalibrator: image_list\[0\] has 1 channel"),
    (lambda: _vesk.EyeToHandCalibrator(TARGET).calibrate([np.eye(4)] * 3, COLOUR, "TSAI", [], np.eye(2), D_OK),
     "EyeToHandCalibrator: intrinsic_matrix must be a 3x3 matrix, got 2x2"),
    (lambda: _vesk.EyeInHandCalibrator(TARGET).calibrate([np.eye(4)] * 3, COLOUR, "TSAI", [], K_OK, np.zeros(3)),
     "EyeInHandCalibrator: distortion_coefficients must be a vector of 4, 5, 8, 12 or 14 values, got 3 values"),
    (lambda: _vesk.EyeInHandCalibrator(TARGET).compute_camera_T_target_list(COLOUR, [], K_OK, np.zeros((2, 5))),
     "distortion_coefficients must be a vector of 4, 5, 8, 12 or 14 values, got a 2x5 matrix"),
    (lambda: diagnostics.compare_hand_eye_methods(TARGET, [np.eye(4)] * 3, COLOUR, [], K_OK, np.zeros(6)),
     "compareHandEyeMethods: distortion_coefficients must be a vector"),
    (lambda: _rig_call(MONO, K_OK, D_OK), r"MultiCameraCalibrator: image_lists\[0\]\[0\] has 1 channel"),
    (lambda: _rig_call(COLOUR, K_OK, np.zeros(7)), r"distortion_coefficients\[0\] must be a vector"),
    (lambda: _vesk.CalibrationBenchmark().run(MONO, TARGET, _vesk.IntrinsicOptions()),
     r"\[Benchmark\] run: images\[0\] has 1 channel"),
], ids=["intrinsic_mono", "eye_in_hand_mono", "eye_to_hand_K", "eye_in_hand_D", "target_poses_D", "compare_D",
        "rig_mono", "rig_D", "benchmark_mono"])
def test_mono_images_and_malformed_intrinsics_name_the_argument(call, message):
    with pytest.raises(ValueError, match=message) as e:
        call()
    assert "OpenCV" not in str(e.value) and "/" not in str(e.value)


# ---- capture planning in wrong units, and plans that cannot be solved -----------------------------

def _plan_cell():
    from vesk_testing import scene as S
    board, camera = S.charuco(7, 5, 0.04, 0.03), S.make_camera(1280, 960)
    X = S.default_tcp_T_camera()
    V0 = S.view_poses(board, camera, 1, seed=1, max_tilt=0.0, max_roll=0.0, max_shift=0.0)[0]
    F0 = S.make_T(S.rot_x(180.0) @ S.rot_z(20.0), [0.6, 0.1, 0.02]) @ S.inv_T(V0) @ S.inv_T(X)
    return _vesk.CharucoTarget(*board.target_args()), camera, F0, V0, X


def _in_mm(T):
    T = T.copy()
    T[:3, 3] *= 1000
    return T


@pytest.mark.parametrize("which, kw, message", [
    ("start", {}, "robot_T_tcp has a translation of 95.*give it in metres"),
    ("view", {}, "camera_T_target puts the board 5.* m away, where it spans 0.8 px"),
    ("guess", {}, "hand_eye_guess has a translation of 9.*give it in metres"),
    (None, dict(max_translation_m=300), "max_translation_m=300 is implausible for a board 0.505 m from the camera"),
    (None, dict(guess_error_m=10), "guess_error_m=10 is implausible"),
    (None, dict(max_rotation_deg=300), "max_rotation_deg=300 is more than any rotation"),
])
def test_planner_refuses_wrong_units(which, kw, message):
    target, camera, F0, V0, X = _plan_cell()
    F0, V0, X = (_in_mm(T) if which == name else T for T, name in ((F0, "start"), (V0, "view"), (X, "guess")))
    with pytest.raises(ValueError, match=message):
        diagnostics.plan_hand_eye_poses(target, camera.K, camera.dist, camera.size, F0, V0, X, **kw)


def test_plans_never_move_too_little():
    import cv2
    target, camera, F0, V0, X = _plan_cell()
    with pytest.raises(ValueError, match=r"angle_deg must be in \[10, 45\]"):
        diagnostics.plan_first_hand_eye_poses(F0, 8.0)
    with pytest.raises(ValueError, match="max_rotation_deg of at least 11.8"):
        diagnostics.plan_hand_eye_poses(target, camera.K, camera.dist, camera.size, F0, V0, X, max_rotation_deg=11)
    tight = diagnostics.plan_hand_eye_poses(target, camera.K, camera.dist, camera.size, F0, V0, X,
                                            max_rotation_deg=12)
    for F in tight + diagnostics.plan_first_hand_eye_poses(F0, 10.0):
        angle = np.degrees(np.linalg.norm(cv2.Rodrigues((np.linalg.inv(F0) @ F)[:3, :3])[0]))
        assert 10.0 - 1e-9 <= angle <= 12.0 + 1e-9


@pytest.mark.parametrize("motion", ["one_axis", "tiny"])
def test_prediction_of_a_plan_that_does_not_solve_is_nan(capfd, motion):
    import cv2
    from vesk_testing import scene as S
    target, camera, F0, V0, X = _plan_cell()
    if motion == "one_axis":
        plan = [F0 @ S.make_T(S.rot_z(a), [0.001 * a, 0, 0]) for a in (3, 6, 9, 12, 15, 18)]
    else:
        plan = [F0 @ S.make_T(cv2.Rodrigues(np.radians(0.3) * np.array(axis, float))[0], [0, 0, 0])
                for axis in np.vstack([np.eye(3), -np.eye(3)])]
    u = diagnostics.predict_hand_eye_uncertainty(target, camera.K, camera.dist, camera.size, plan, F0, V0, X,
                                                 trials=20)
    assert np.isnan(u.translation_std_m).all() and np.isnan(u.rotation_std_deg).all()
    assert "predict_hand_eye_uncertainty: the plan cannot be solved with TSAI" in capfd.readouterr().err


# ---- rigs with a repeated or bad view, and cameras that cannot be placed --------------------------

@functools.cache
def _weak_rig():
    from vesk_testing import scene as S
    board = S.charuco(7, 5, 0.04, 0.03)
    truth = S.rig(board, S.default_rig_cameras(800, 600), n_frames=12, seed=1)
    return truth, truth.images(supersample=2), _vesk.CharucoTarget(*board.target_args())


def _repeat(lists, camera, frame):
    lists[camera][frame + 1] = lists[camera][frame]


def _swap(lists, camera, frame):
    lists[camera][frame], lists[camera][frame + 1] = lists[camera][frame + 1], lists[camera][frame]


@pytest.mark.parametrize("refine", [False, True], ids=["pairs", "joint"])
@pytest.mark.parametrize("cameras, spoil, camera, frame, left_out", [
    (3, _repeat, 1, 4, [(1, 5)]),
    (3, _repeat, 0, 4, [(0, 5)]),            # the reference's view: every other camera disagrees with it
    (2, _repeat, 1, 10, [(1, 11), (0, 11)]),  # two views that disagree: neither can be trusted
    (3, _swap, 1, 3, [(1, 3), (1, 4)]),
], ids=["repeated", "repeated_reference", "two_cameras", "swapped"])
def test_rig_drops_a_repeated_view_not_the_camera(capfd, refine, cameras, spoil, camera, frame, left_out):
    from vesk_testing import scene as S
    truth, images, target = _weak_rig()
    lists = [list(views) for views in images[:cameras]]
    spoil(lists, camera, frame)
    cal = _vesk.MultiCameraCalibrator(target, cameras)
    r = cal.calibrate(lists, refine=refine)
    err = capfd.readouterr().err
    assert r.ok and r.rejected_views[:len(left_out)] == left_out and r.placement_failures == [""] * cameras
    for view_camera, view_frame in left_out:
        assert f"Camera {view_camera}'s view of frame {view_frame} is " in err
    assert "Views left out of the pair solves as off the rig: " + ", ".join(
        f"cam_{c} frame {f} (" for c, f in left_out[:1]) in cal.format_results()
    for est, true in zip(r.reference_T_camera_list[1:], truth.reference_T_camera[1:cameras]):
        mm, deg = S.pose_error(est, true)
        assert mm < (1e-3 if refine else 3e-3) and deg < 0.2, (mm, deg)


def test_pair_dropped_views_are_written_without_refine(tmp_path, capfd):
    truth, images, target = _weak_rig()
    lists = [list(views) for views in images]
    _repeat(lists, 2, 6)
    _vesk.MultiCameraCalibrator(target, 3).calibrate(lists, output_path=tmp_path)
    doc = json.loads((tmp_path / "multi_camera_calibration.json").read_text())
    assert doc["rejected_views"] == [{"camera": 2, "frame": 7}] and "joint_rms" not in doc
    capfd.readouterr()


def test_camera_sharing_three_frames_says_why_it_is_not_placed():
    truth, images, target = _weak_rig()
    lists = [list(views) for views in images]
    for k in range(12):
        if k not in (3, 7, 8):
            lists[2][k] = np.zeros_like(lists[2][k])
    for refine in (False, True):
        cal = _vesk.MultiCameraCalibrator(target, 3)
        r = cal.calibrate(lists, refine=refine)
        assert not r.ok and r.reference_T_camera_list[2].size == 0
        assert r.placement_failures == ["", "", "too few shared detections with cam_0"]
        assert r.shared_frames == [[0, 12, 3], [12, 0, 3], [3, 3, 0]]
        assert r.failure.code == "camera_not_placed"
        assert r.failure.message == ("Camera 2 is not placed: too few shared detections with cam_0; frames it shares: "
                                     "3 with cam_0 (reference), 3 with cam_1; a pair needs 4 shared frames.")
        assert ("[cam_2]  FAILED  -  too few shared detections with cam_0\n"
                "  frames it shares: 3 with cam_0 (reference), 3 with cam_1; a pair needs 4\n") in cal.format_results()
    # with no camera placed besides the reference, the joint solve that was asked for says why it did not run
    r = _vesk.MultiCameraCalibrator(target, 2).calibrate([lists[0], lists[2]], refine=True)
    assert not r.ok and r.failure.code == "camera_not_placed" and not r.refined
    assert r.refine_failure.code == "refine_failed"
    assert r.refine_failure.message.startswith("Joint refinement failed: no camera besides the reference was placed")
