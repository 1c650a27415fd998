"""The `vesk` command: help without work, usage errors, calibrations equal to the Python API's, plans."""

import json
import os
import pathlib
import shutil
import subprocess
import sys
import time

import cv2
import numpy as np
import pytest

import _vesk
from vesk import cli, io, ros, tf

REAL = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / "eye_to_hand_charuco"
REAL_BOARD = "charuco:5x7:0.036195:0.018256:DICT_6X6_250"


def vesk_command():
    script = shutil.which("vesk", path=os.path.dirname(sys.executable))
    return [script] if script else [sys.executable, "-m", "vesk"]


def test_help_answers_at_once_without_loading_the_module():
    started = time.perf_counter()
    proc = subprocess.run(vesk_command() + ["--help"], capture_output=True, text=True, timeout=60)
    assert time.perf_counter() - started < 2.0
    assert proc.returncode == 0 and "calibrate" in proc.stdout and "plan" in proc.stdout
    proc = subprocess.run([sys.executable, "-c", "import sys, vesk.cli; vesk.cli.parser(); print('_vesk' in sys.modules)"],
                          capture_output=True, text=True, timeout=60)
    assert proc.stdout == "False\n"


@pytest.mark.parametrize("board, kind, args", [
    ("chessboard:9x6:0.025", _vesk.ChessboardTarget, "9x6"),
    ("charuco:5x7:0.036195:0.018256:DICT_6X6_250", _vesk.CharucoTarget, "5x7"),
    ("grid:5x7:0.03:0.006:DICT_4X4_50", _vesk.ArucoTarget, "5x7"),
    ("board.yaml", _vesk.CharucoTarget, "5x7"),
])
def test_board_strings(tmp_path, monkeypatch, board, kind, args):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "board.yaml").write_text("type: charuco\nsize: [5, 7]\nsquare: 0.036195\nmarker: 0.018256\n"
                                         "dictionary: DICT_6X6_250\n")
    target = cli.make_target(board)
    assert isinstance(target, kind)
    if kind is _vesk.CharucoTarget:
        assert target.square_length == 0.036195


def write_image(folder, name):
    folder.mkdir(exist_ok=True)
    cv2.imwrite(str(folder / name), np.zeros((48, 64, 3), np.uint8))


@pytest.mark.parametrize("argv, message", [
    (["calibrate", "intrinsics", "F", "--board", "checkers:9x6:0.025"], "board 'checkers:9x6:0.025'"),
    (["calibrate", "intrinsics", "F", "--board", "charuco:5x7:0.03"], "charuco:SIZE:SQUARE:MARKER:DICTIONARY"),
    (["calibrate", "intrinsics", "F", "--board", "chessboard:9x6:0.025", "--refine"], "--refine applies to"),
    (["calibrate", "eye-in-hand", "F", "--board", "chessboard:9x6:0.025"], "needs --poses"),
    (["calibrate", "eye-in-hand", "F", "--board", "chessboard:9x6:0.025", "--poses", "p.csv", "--pose-format",
      "kuka"], "2 images in F but 1 poses"),
    (["calibrate", "eye-in-hand", "F", "--board", "chessboard:9x6:0.025", "--poses", "p.csv", "--pose-format",
      "yaskawa"], "unknown pose convention 'yaskawa'"),
    (["calibrate", "eye-to-hand", "F", "--board", "chessboard:9x6:0.025", "--method", "SVD"], "--method 'SVD'"),
    (["calibrate", "intrinsics", "empty", "--board", "chessboard:9x6:0.025"], "no images"),
    (["plan", "first", "--start", "1,2,3", "--pose-format", "kuka"], "expected 6 values"),
    (["plan", "eye-in-hand", "--start", "1,2,3,4,5,6", "--pose-format", "kuka"], "needs --board"),
    (["plan", "eye-in-hand", "--start", "1,2,3,4,5,6", "--pose-format", "kuka", "--board", "chessboard:9x6:0.02",
      "--image", "F/a_1.png", "--camera-info", "c.yaml", "--result", "."], "for a charuco board only"),
])
def test_usage_and_input_errors_exit_2_with_a_message(tmp_path, monkeypatch, capsys, argv, message):
    monkeypatch.chdir(tmp_path)
    write_image(tmp_path / "F", "a_1.png")
    write_image(tmp_path / "F", "a_2.png")
    (tmp_path / "empty").mkdir()
    (tmp_path / "p.csv").write_text("1,2,3,4,5,6\n")
    assert cli.main(argv + ["--out", str(tmp_path / "out")] if argv[0] == "calibrate" else argv) == 2
    assert message in capsys.readouterr().err


def test_refine_with_a_module_that_lacks_it_exits_2(tmp_path, capsys):
    if cli._refine_supported(_vesk.EyeInHandCalibrator):
        pytest.skip("this module's hand-eye calibrate takes refine=")
    argv = ["calibrate", "eye-in-hand", str(tmp_path), "--board", "chessboard:9x6:0.025", "--refine"]
    assert cli.main(argv) == 2
    assert "no refinement for eye-in-hand calibration" in capsys.readouterr().err


def test_plan_first_writes_flange_poses_start_first_in_the_convention(tmp_path):
    out = tmp_path / "first.csv"
    assert cli.main(["plan", "first", "--start", "400,-50,600,10,80,-170", "--pose-format", "kuka", "--angle", "12",
                     "--out", str(out), "--quiet"]) == 0
    text = out.read_text()
    assert text.startswith("# flange poses (robot_T_tcp) to record in this order; the first is the start pose")
    start = tf.robot_pose_to_matrix([400, -50, 600, 10, 80, -170], "kuka")
    want = [start] + list(_vesk.diagnostics.plan_first_hand_eye_poses(start, 12.0))
    np.testing.assert_allclose(np.array(io.load_robot_poses(out, "kuka")), np.array(want), rtol=0, atol=1e-12)


def run_json(argv):
    proc = subprocess.run(vesk_command() + argv + ["--json"], capture_output=True, text=True, timeout=600)
    return proc.returncode, json.loads(proc.stdout), proc.stderr  # stdout holds the summary alone


def assert_ros_files_give_back(out, T):
    _, _, back = read_static_transform((out / "static_transform.yaml").read_text())
    np.testing.assert_allclose(back, T, rtol=0, atol=1e-9)
    import xml.etree.ElementTree as ET

    assert ET.parse(out / "urdf_joint.xml").getroot().tag == "joint"


def read_static_transform(text):
    from vesk import _yaml

    doc = _yaml.loads(text)
    t, q = doc["transform"]["translation"], doc["transform"]["rotation"]
    return doc["header"]["frame_id"], doc["child_frame_id"], tf.robot_pose_to_matrix(
        [t["x"], t["y"], t["z"], q["x"], q["y"], q["z"], q["w"]], "ros")


@pytest.mark.skipif(not REAL.is_dir(), reason=f"the shared real dataset is not at {REAL}")
def test_real_dataset_from_its_raw_files_to_result_report_and_ros_files(tmp_path):
    out = tmp_path / "out"
    rc, summary, _ = run_json(["calibrate", "eye-to-hand", str(REAL), "--board", REAL_BOARD, "--poses",
                               str(REAL / "upstream_poses"), "--pose-format", "ros", "--out", str(out)])
    assert rc == 0 and summary["ok"] and summary["frames_used"] == 16
    assert {pathlib.Path(p).name for p in summary["outputs"]} == {
        "eye_to_hand.json", "camera_info.yaml", "static_transform.yaml", "urdf_joint.xml", "report.html"}
    assert 'id="eye-to-hand"' in (out / "report.html").read_text()
    # the Python API on the same raw files, to the last bit
    images, _ = io.load_image_folder(REAL)
    poses = io.load_robot_poses(REAL / "upstream_poses", "ros")
    api = _vesk.EyeToHandCalibrator(_vesk.CharucoTarget(5, 7, 0.036195, 0.018256, "DICT_6X6_250")).calibrate(
        poses, images)
    stored = io.load_eye_to_hand_result(out).robot_T_camera
    np.testing.assert_array_equal(stored, api.robot_T_camera)
    np.testing.assert_array_equal(np.array(summary["robot_T_camera"]["matrix"]), api.robot_T_camera)
    assert_ros_files_give_back(out, api.robot_T_camera)
    assert read_static_transform((out / "static_transform.yaml").read_text())[:2] == ("base_link",
                                                                                      "camera_optical_frame")
    # the joint solve: its noise levels and sigma in the summary, its section on the page, the API's bits
    rc, joint, _ = run_json(["calibrate", "eye-to-hand", str(REAL), "--board", REAL_BOARD, "--poses",
                             str(REAL / "upstream_poses"), "--pose-format", "ros", "--refine", "--out",
                             str(tmp_path / "joint")])
    refined = _vesk.EyeToHandCalibrator(_vesk.CharucoTarget(5, 7, 0.036195, 0.018256, "DICT_6X6_250")).calibrate(
        poses, images, refine=True)
    assert rc == 0 and joint["joint_solve"]["ok"]
    assert joint["joint_solve"]["noise"]["robot_translation_m"] == refined.noise.robot_translation_m
    assert joint["sigma"]["translation_m"] == list(refined.uncertainty.translation_std_m)
    np.testing.assert_array_equal(np.array(joint["robot_T_camera"]["matrix"]), refined.robot_T_camera)
    assert 'id="eye-to-hand-joint"' in (tmp_path / "joint" / "report.html").read_text()


def test_eye_in_hand_from_a_folder_of_any_names_and_kuka_poses_then_a_plan(series, tmp_path):
    s, images, target = series("charuco")
    folder = tmp_path / "captures"
    folder.mkdir()
    for k, image in enumerate(images):  # shot_2 before shot_10; the annotated twins are not views
        cv2.imwrite(str(folder / f"shot_{k + 1}.png"), image)
    cv2.imwrite(str(folder / "shot_1_annotated.png"), images[3])
    rows = ["A,B,C,X,Y,Z"] + [",".join(repr(v) for v in (p[3:] + p[:3]))
                              for p in (tf.matrix_to_robot_pose(T, "kuka") for T in s.robot_T_tcp)]
    (tmp_path / "poses.csv").write_text("\n".join(rows) + "\n")
    out = tmp_path / "out"
    dictionary = {v: k for k, v in _vesk.aruco_dictionary_id_map().items()}[target.aruco_dict_id]
    board = (f"charuco:{target.squares_x}x{target.squares_y}:{target.square_length!r}:{target.marker_length!r}:"
             f"{dictionary}")
    rc, summary, _ = run_json(["calibrate", "eye-in-hand", str(folder), "--board", board, "--poses",
                               str(tmp_path / "poses.csv"), "--pose-format", "kuka", "--out", str(out),
                               "--no-report", "--parent-frame", "flange"])
    assert rc == 0 and summary["ok"], summary
    api = _vesk.EyeInHandCalibrator(target).calibrate(io.load_robot_poses(tmp_path / "poses.csv", "kuka"), images)
    np.testing.assert_array_equal(io.load_hand_eye_result(out).tcp_T_camera_list[0], api.tcp_T_camera)
    assert_ros_files_give_back(out, api.tcp_T_camera)

    # the stored result re-checked from three views and their poses
    today = tmp_path / "today"
    today.mkdir()
    for k in (4, 9, 13):
        cv2.imwrite(str(today / f"check_{k}.png"), images[k])
    (today / "poses.csv").write_text("\n".join([rows[0]] + [rows[k + 1] for k in (4, 9, 13)]) + "\n")
    rc, check, _ = run_json(["verify", str(out), str(today), "--poses", str(today / "poses.csv"), "--pose-format",
                             "kuka"])
    assert rc == 0 and (check["verdict"], check["dof"]) == ("consistent", 12) and min(check["corners"]) >= 20, check

    plan = tmp_path / "plan.csv"
    start = ",".join(repr(v) for v in tf.matrix_to_robot_pose(s.robot_T_tcp[0], "ur"))
    assert cli.main(["plan", "eye-in-hand", "--start", start, "--pose-format", "ur", "--board", board, "--image",
                     str(folder / "shot_1.png"), "--camera-info", str(out / "camera_info.yaml"), "--result",
                     str(out), "--n-poses", "8", "--max-rotation", "40", "--out", str(plan), "--quiet"]) == 0
    planned = io.load_robot_poses(plan, "ur")
    assert len(planned) == 9
    np.testing.assert_allclose(planned[0], s.robot_T_tcp[0], rtol=0, atol=1e-12)


@pytest.mark.parametrize("kind", ["intrinsics", "rig"])
def test_intrinsics_and_rig_results_equal_the_apis_and_give_camera_info(intrinsic_scenes, rig, tmp_path, kind):
    folder, out = tmp_path / "captures", tmp_path / "out"
    if kind == "intrinsics":
        scene = intrinsic_scenes("chessboard")
        images, target = scene.images, scene.target()
        folder.mkdir()
        for k, image in enumerate(images):
            cv2.imwrite(str(folder / f"{k}.png"), image)
        board = f"chessboard:{target.size[0]}x{target.size[1]}:{target.square_size!r}"
    else:
        _, lists, target = rig("chessboard")
        for frames in zip(*lists):
            io.save_multi_camera_capture(folder, list(frames), io.next_multi_camera_capture_index(folder, 3))
        board = f"chessboard:{target.size[0]}x{target.size[1]}:{target.square_size!r}"
    rc, summary, _ = run_json(["calibrate", kind, str(folder), "--board", board, "--out", str(out), "--no-report"])
    assert rc == 0 and summary["ok"], summary
    if kind == "intrinsics":
        api = _vesk.IntrinsicCalibrator(target).calibrate(images)
        stored = json.loads((out / "intrinsics.json").read_text())
        np.testing.assert_array_equal(stored["intrinsic_matrix"], api.intrinsic_matrix)
        cameras = [(out / "camera_info.yaml", api.intrinsic_matrix)]
    else:
        api = _vesk.MultiCameraCalibrator(target, 3).calibrate(io.load_multi_camera_dataset(folder, 3))
        stored = io.load_multi_camera_calibration(out / "multi_camera_calibration.json")
        for c in (1, 2):
            np.testing.assert_array_equal(stored.reference_T_camera_list[c], api.reference_T_camera_list[c])
            parent, child, T = read_static_transform((out / f"static_transform_{c}.yaml").read_text())
            assert (parent, child) == ("camera_optical_frame_0", f"camera_optical_frame_{c}")
            np.testing.assert_allclose(T, api.reference_T_camera_list[c], rtol=0, atol=1e-9)
        cameras = [(out / f"camera_info_{c}.yaml", api.intrinsic_matrices[c]) for c in range(3)]
    from vesk import _yaml

    for path, K in cameras:
        np.testing.assert_array_equal(np.reshape(_yaml.load(path)["camera_matrix"]["data"], (3, 3)), K)
