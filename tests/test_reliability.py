"""No failure reported as success, and no earlier result lost on a failed write."""

import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import _vesk
from _vesk import io
from vesk_testing import scene as S


def _poisoned(items, index, value=np.nan):
    items = [np.array(m, np.float64) for m in items]
    items[index][0, 0] = value
    return items


@pytest.mark.parametrize("which, value", [("robot", np.nan), ("target", np.inf), ("K", np.nan), ("dist", -np.inf)])
def test_non_finite_input_is_refused_before_the_solve(which, value, series):
    s, images, target = series("charuco")
    cal = _vesk.EyeInHandCalibrator(target)
    robots, cams, K, D = list(s.robot_T_tcp), list(s.camera_T_target), s.camera.K.copy(), s.camera.dist.copy()
    message = {"robot": r"robot_T_tcp_list\[2\]", "target": r"camera_T_target_list\[2\]",
               "K": "intrinsic_matrix", "dist": "distortion_coefficients"}[which]
    if which == "robot":
        robots = _poisoned(robots, 2, value)
    elif which == "target":
        cams = _poisoned(cams, 2, value)
    elif which == "K":
        K[0, 0] = value
    else:
        D[0, 0] = value
    with pytest.raises(ValueError, match=message + " holds a non-finite value"):
        cal.calibrate(robots, [], "TSAI", cams, K, D)
    assert cal.last_result().tcp_T_camera.size == 0


@pytest.mark.parametrize("motion", ["identical", "translations", "one_axis"])
@pytest.mark.parametrize("method", ["TSAI", "PARK"])
def test_rotation_degenerate_data_is_not_ok(motion, method, capfd, series):
    s, _, target = series("charuco")
    X, B = s.tcp_T_camera, s.robot_T_target
    base = s.robot_T_tcp[0]
    robots = []
    for k in range(8):
        if motion == "one_axis":
            R = S.rot_z(10.0 * k)
        else:
            R = np.eye(3)
        robots.append(base @ S.make_T(R, [0.01 * k, -0.005 * k, 0.003 * k if motion != "identical" else 0.0]))
    cams = [S.inv_T(X) @ S.inv_T(T) @ B for T in robots]
    r = _vesk.EyeInHandCalibrator(target).calibrate(robots, [], method, cams, s.camera.K, s.camera.dist)
    # rotations about one axis are a four-axis robot's: the finding says what to give
    assert not r.ok and r.failure.code == ("four_axis_motions" if motion == "one_axis" else "rotation_not_observable")
    assert "[vesk][WARNING] [EyeInHandCalibrator] Hand-eye rotation is not observable" in capfd.readouterr().err


@pytest.mark.parametrize("bad, message", [
    (lambda K, D: ([K[0][:2]] + K[1:], D), r"intrinsic_matrices\[0\] must be a finite 3x3 matrix"),
    (lambda K, D: ([K[0], np.full((3, 3), np.nan)] + K[2:], D), r"intrinsic_matrices\[1\] must be a finite 3x3"),
    (lambda K, D: (K, D[:2] + [np.full((1, 5), np.inf)]), r"distortion_coefficients\[2\] must be non-empty and finite"),
])
def test_supplied_intrinsics_are_checked(bad, message):
    lists = [[np.zeros((40, 60, 3), np.uint8)]] * 3
    K = [np.array([[50.0, 0, 30], [0, 50.0, 20], [0, 0, 1]])] * 3
    D = [np.zeros((1, 5))] * 3
    cal = _vesk.MultiCameraCalibrator(_vesk.CharucoTarget(7, 5, 0.04, 0.03), 3)
    with pytest.raises(ValueError, match=message):
        cal.calibrate(lists, *bad(K, D))


def test_nan_rotation_gives_nan_angles():
    T = np.eye(4)
    T[2, 0] = np.nan
    pose = _vesk.tf.transformation_matrix_to_pose(T)
    assert pose[:3] == [0.0, 0.0, 0.0] and all(np.isnan(pose[3:]))


# ---- failed writes -----------------------------------------------------------

def _writers(folder):
    """(name, write, the file it writes) for every result writer of the module."""
    he = io.HandEyeResultRecord()
    he.num_cameras, he.tcp_T_camera_list = 1, [np.eye(4)]
    mc = io.MultiCameraCalibrationRecord()
    mc.reference_index, mc.num_cameras = 0, 2
    mc.intrinsic_matrices, mc.distortion_coefficients = [np.eye(3)] * 2, [np.zeros((1, 5))] * 2
    mc.reference_T_camera_list = [np.eye(4)] * 2
    mc.intrinsic_reprojection_errors, mc.pair_reprojection_errors = [0.1, 0.1], [0.2, 0.2]
    poses = [np.eye(4)] * 200
    bench = _vesk.CalibrationBenchmark()
    return {
        "hand_eye": (lambda: io.save_hand_eye_result(folder / "hand_eye.json", he), folder / "hand_eye.json"),
        "multi_camera": (lambda: io.save_multi_camera_calibration(folder / "multi_camera_calibration.json", mc),
                         folder / "multi_camera_calibration.json"),
        "pose_archive": (lambda: io.save_multi_camera_robot_poses(folder, poses, 1),
                         folder / "cam_00" / "calibration_data.npz"),
        "benchmark": (lambda: bench.save_json([], str(folder / "benchmark.json")), folder / "benchmark.json"),
    }


@pytest.mark.parametrize("name", ["hand_eye", "multi_camera", "pose_archive", "benchmark"])
def test_write_through_a_symlink_to_dev_full_fails_loudly(tmp_path, name):
    write, target = _writers(tmp_path)[name]
    target.parent.mkdir(parents=True, exist_ok=True)
    target.symlink_to("/dev/full")
    with pytest.raises(RuntimeError, match="cannot write .*No space left on device"):
        write()
    assert os.path.islink(target) and os.readlink(target) == "/dev/full"


FULL_DISK = r"""
import pathlib, sys, os
sys.path[:0] = sys.argv[2:]
import pytest, test_reliability as t
folder = pathlib.Path(sys.argv[1])
failures = []
for name, (write, target) in t._writers(folder).items():
    write()
    before = target.read_bytes()
    filler = folder / "filler"
    fd = os.open(filler, os.O_WRONLY | os.O_CREAT)   # fill the filesystem to the last byte
    for chunk in (65536, 1):
        try:
            while True:
                os.write(fd, b"\0" * chunk)
        except OSError:
            pass
    os.close(fd)
    try:
        write()
        failures.append(name + ": the save reported success")
    except RuntimeError as e:
        if "cannot write" not in str(e):
            failures.append(name + ": " + str(e))
    if target.read_bytes() != before:
        failures.append(name + ": the earlier file changed")
    left = [p.name for p in target.parent.iterdir() if ".tmp-" in p.name]
    if left:
        failures.append(name + ": temporary files left: " + repr(left))
    filler.unlink()
print("FAILURES", failures)
"""


def test_full_disk_leaves_the_earlier_file_intact(tmp_path):
    if shutil.which("unshare") is None or shutil.which("mount") is None:
        pytest.skip("unshare and mount are needed for a private tmpfs")
    probe = subprocess.run(["unshare", "-m", "--propagation", "private", "true"], capture_output=True)
    if probe.returncode != 0:
        pytest.skip("this machine does not allow a private mount namespace: " + probe.stderr.decode().strip())
    mnt = tmp_path / "small"
    mnt.mkdir()
    tests = os.path.dirname(__file__)
    script = tmp_path / "full_disk.py"
    script.write_text(FULL_DISK)
    shell = (f"mount -t tmpfs -o size=256k tmpfs {mnt} && "
             f"{sys.executable} {script} {mnt} {tests} {os.path.join(tests, 'synthetic')}")
    proc = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", shell],
                          capture_output=True, text=True, timeout=300)
    if "FAILURES" not in proc.stdout and "mount" in proc.stderr:
        pytest.skip("cannot mount a tmpfs here: " + proc.stderr.strip())
    assert "FAILURES []" in proc.stdout, proc.stdout + proc.stderr


@pytest.mark.parametrize("call, message", [
    (lambda s, imgs, t: _vesk.EyeInHandCalibrator(t).compute_camera_T_target_list(
        imgs, s.robot_T_tcp, np.full((3, 3), np.nan), s.camera.dist), "EyeInHandCalibrator: intrinsic_matrix"),
    (lambda s, imgs, t: _vesk.CalibrationBenchmark().hand_eye_roundtrip(
        imgs, _poisoned(s.robot_T_tcp, 4), s.tcp_T_camera, s.camera.K, s.camera.dist, t, s.camera_T_target),
     r"\[Benchmark\] hand_eye_roundtrip: robot_poses\[4\]"),
    (lambda s, imgs, t: _vesk.IntrinsicCalibrator(t, _guess(np.full((3, 3), np.inf))).calibrate(imgs),
     "IntrinsicCalibrator: intrinsic_matrix_guess"),
])
def test_other_entries_refuse_non_finite_input(call, message, series):
    s, images, target = series("charuco")
    with pytest.raises(ValueError, match=message + " holds a non-finite value"):
        call(s, images, target)


def _guess(K):
    options = _vesk.IntrinsicOptions()
    options.intrinsic_matrix_guess = K
    options.calibrate_camera_flags = 1  # CALIB_USE_INTRINSIC_GUESS
    return options


def test_a_failed_dataset_save_leaves_no_archive_that_would_load(tmp_path):
    images = [np.full((20, 30, 3), k, np.uint8) for k in range(3)]
    (tmp_path / "image_01.png").mkdir()  # the second image cannot be written
    with pytest.raises(RuntimeError, match="cv::imwrite failed"):
        io.save_hand_eye_dataset(tmp_path, images, [np.eye(4)] * 3)
    assert not (tmp_path / "calibration_data.npz").exists()
