import json
import math

import numpy as np
import pytest

import _vesk
from _vesk import io


def _multi_record():
    r = io.MultiCameraCalibrationRecord()
    r.reference_index, r.num_cameras = 0, 2
    r.intrinsic_matrices = [np.array([[800.0, 0, 320], [0, 801.5, 240], [0, 0, 1]]), np.eye(3, dtype=np.float32)]
    r.distortion_coefficients = [np.array([[0.1, -0.2, 0.0, 0.0, 0.05]]), np.array([0.1, 0.2, 0.3, 0.4, 0.5])]
    r.reference_T_camera_list = [np.eye(4), np.zeros((0, 0))]
    r.intrinsic_reprojection_errors = [0.25, 0.125]
    r.pair_reprojection_errors = [math.nan, 0.3]
    return r


def _hand_eye_record(**kw):
    r = io.HandEyeResultRecord()
    r.num_cameras = 1
    r.tcp_T_camera_list = [np.eye(4)]
    for k, v in kw.items():
        setattr(r, k, v)
    return r


def test_defaults():
    m, h = io.MultiCameraCalibrationRecord(), io.HandEyeResultRecord()
    assert (m.reference_index, m.num_cameras, m.intrinsic_matrices, m.pair_reprojection_errors) == (0, 0, [], [])
    assert (h.method, h.num_frames_used, h.num_frames_total, h.tcp_T_camera_list) == ("", -1, -1, [])


def test_multi_camera_file_text_and_round_trip(tmp_path, capfd):
    path = io.save_multi_camera_calibration(tmp_path, _multi_record())
    assert path == tmp_path / "multi_camera_calibration.json"
    assert capfd.readouterr().err == f"[vesk][SUCCESS] Saved multi-camera calibration to {path}\n"
    text = path.read_text()
    assert text.endswith("}") and text.startswith('{\n  "distortion_coefficients": [\n    [\n      0.1,')
    assert list(json.loads(text)) == ["distortion_coefficients", "intrinsic_matrices",
                                      "intrinsic_reprojection_errors", "num_cameras", "pair_reprojection_errors",
                                      "reference_T_camera_list", "reference_index"]
    doc = json.loads(text)
    assert doc["distortion_coefficients"][1] == [0.1, 0.2, 0.3, 0.4, 0.5]
    assert doc["reference_T_camera_list"][1] is None and doc["pair_reprojection_errors"] == [None, 0.3]
    assert '"reference_index": 0' in text and "800.0" in text and "      1.0\n" in text
    back = io.load_multi_camera_calibration(path)
    assert (back.reference_index, back.num_cameras) == (0, 2)
    np.testing.assert_array_equal(back.intrinsic_matrices[0], _multi_record().intrinsic_matrices[0])
    assert back.intrinsic_matrices[1].dtype == np.float64
    for d in back.distortion_coefficients:
        assert d.shape == (1, 5)
    assert back.reference_T_camera_list[1].size == 0
    assert math.isnan(back.pair_reprojection_errors[0]) and back.intrinsic_reprojection_errors == [0.25, 0.125]


def test_hand_eye_nulls_round_trip(tmp_path):
    path = io.save_hand_eye_result(tmp_path / "he.json", _hand_eye_record(tcp_T_camera_list=[np.zeros((0, 0)),
                                                                                             np.eye(4)]))
    doc = json.loads(path.read_text())
    assert list(doc) == ["method", "num_cameras", "num_frames_total", "num_frames_used", "reference_index",
                         "tcp_T_camera_list"]
    assert doc["method"] is None and doc["num_frames_used"] is None and doc["tcp_T_camera_list"][0] is None
    back = io.load_hand_eye_result(path)
    assert (back.method, back.num_frames_used, back.num_frames_total) == ("", -1, -1)
    assert back.tcp_T_camera_list[0].size == 0 and back.tcp_T_camera_list[1].shape == (4, 4)
    io.save_hand_eye_result(path, _hand_eye_record(method="PARK", num_frames_used=14, num_frames_total=15))
    back = io.load_hand_eye_result(path)
    assert (back.method, back.num_frames_used, back.num_frames_total) == ("PARK", 14, 15)


def test_output_path_resolution(tmp_path, monkeypatch):
    r = _hand_eye_record()
    assert io.save_hand_eye_result(tmp_path, r) == tmp_path / "hand_eye.json"
    assert io.save_hand_eye_result(tmp_path / "out" / "rig.json", r) == tmp_path / "out" / "rig.json"
    assert io.save_multi_camera_calibration(str(tmp_path / "out" / "results"), _multi_record()) == \
        tmp_path / "out" / "results" / "multi_camera_calibration.json"
    monkeypatch.chdir(tmp_path)  # a bare file name goes into the working folder
    assert str(io.save_hand_eye_result("bare.json", r)) == "bare.json" and (tmp_path / "bare.json").exists()
    assert io.load_hand_eye_result(tmp_path).num_cameras == 1  # a folder reads its hand_eye.json
    (tmp_path / "sub" / "hand_eye.json").mkdir(parents=True)
    with pytest.raises(RuntimeError) as e:
        io.save_hand_eye_result(tmp_path / "sub", r)
    assert str(e.value) == f"io: cannot open {tmp_path / 'sub' / 'hand_eye.json'} for writing"


def _load(tmp_path, loader, text):
    (tmp_path / "f.json").write_text(text)
    return loader(tmp_path / "f.json")


BASE_MC = '"reference_index": 0, "num_cameras": 1, "distortion_coefficients": [[0.1]], "reference_T_camera_list": []'


@pytest.mark.parametrize("text, message", [
    ("{" + BASE_MC + "}", "key 'intrinsic_matrices' not found"),
    ('{"intrinsic_matrices": [], "num_cameras": 1, "distortion_coefficients": [], "reference_T_camera_list": []}',
     "key 'reference_index' not found"),
    ("{" + BASE_MC + ', "intrinsic_matrices": [[[1, 2], [3]]]}', "row 1 has 1 entries, expected 2"),
    ("{" + BASE_MC + ', "intrinsic_matrices": [[[1, 2], 3]]}', "row 1 must be a JSON array, but is number"),
    ("{" + BASE_MC + ', "intrinsic_matrices": [[["1"]]]}', "type must be number, but is string"),
    ("{" + BASE_MC + ', "intrinsic_matrices": 5}', "must be a JSON array, but is number"),
    ("{" + BASE_MC + ', "intrinsic_matrices": [], "pair_reprojection_errors": {"a": 1}}',
     "must be a JSON array, but is object"),
    ('{"reference_index": 1.5, "num_cameras": 1}', "'reference_index' must be a 32-bit integer, got 1.5"),
    ('{"reference_index": 1e300, "num_cameras": 1}', "must be a 32-bit integer"),
    ('{"reference_index": 4294967296, "num_cameras": 1}', "must be a 32-bit integer"),
    ('{"reference_index": "0", "num_cameras": 1}', "type must be number, but is string"),
    ("[1, 2]", "io: expected a JSON object, but is array"),
    ('{"reference_index": 0', "parse error"),
])
def test_multi_camera_load_errors(tmp_path, text, message):
    with pytest.raises(RuntimeError, match=message.replace("[", r"\[").replace(".", r"\.")):
        _load(tmp_path, io.load_multi_camera_calibration, text)


def test_null_matrix_elements_read_as_nan(tmp_path):
    # the writer stores NaN as null, so a file it wrote must load back
    r = _load(tmp_path, io.load_multi_camera_calibration, "{" + BASE_MC + ', "intrinsic_matrices": [[[1, null]]]}')
    assert r.intrinsic_matrices[0][0, 0] == 1.0 and np.isnan(r.intrinsic_matrices[0][0, 1])


def test_multi_camera_optional_and_null_lists(tmp_path):
    r = _load(tmp_path, io.load_multi_camera_calibration,
              '{"reference_index": 2, "num_cameras": 3, "intrinsic_matrices": null, "distortion_coefficients": '
              '[null, [1, 2]], "reference_T_camera_list": [null, [], %s], "pair_reprojection_errors": null}'
              % np.eye(4).tolist())
    assert r.intrinsic_matrices == [] and r.pair_reprojection_errors == [] and r.intrinsic_reprojection_errors == []
    assert r.distortion_coefficients[0].size == 0 and r.distortion_coefficients[1].tolist() == [[1.0, 2.0]]
    assert r.reference_T_camera_list[1].size == 0 and r.reference_T_camera_list[2].tolist() == np.eye(4).tolist()


@pytest.mark.parametrize("text, message", [
    ('{"reference_index": 0, "num_cameras": 1, "tcp_T_camera_list": [], "method": 3}',
     "type must be string, but is number"),
    ('{"reference_index": 0, "num_cameras": 1}', "key 'tcp_T_camera_list' not found"),
    ('{"reference_index": 0, "num_cameras": 1, "tcp_T_camera_list": [], "num_frames_used": -3000000000}',
     "'num_frames_used' must be a 32-bit integer"),
])
def test_hand_eye_load_errors(tmp_path, text, message):
    with pytest.raises(RuntimeError, match=message):
        _load(tmp_path, io.load_hand_eye_result, text)


def test_missing_file_and_non_finite_matrix(tmp_path):
    with pytest.raises(RuntimeError) as e:
        io.load_hand_eye_result(tmp_path / "none.json")
    assert str(e.value) == f"io: cannot open {tmp_path / 'none.json'} for reading"
    # non-finite values are written as null and read back as NaN: what the module writes loads back
    path = io.save_hand_eye_result(tmp_path, _hand_eye_record(tcp_T_camera_list=[np.full((4, 4), np.inf)]))
    assert np.isnan(io.load_hand_eye_result(path).tcp_T_camera_list[0]).all()


# ---- the re-check's keys -------------------------------------------------------------------------

RECHECK_FIELDS = ("intrinsic_matrix", "distortion_coefficients", "image_size", "board", "noise", "vesk_version",
                  "created_utc")


def test_old_result_files_load_unchanged(tmp_path):
    """Files of earlier versions (uncertainty and joint solve written, never read) load as before; every re-check
    field is None."""
    X = [[0.0, -1.0, 0.0, 0.03], [1.0, 0.0, 0.0, -0.05], [0.0, 0.0, 1.0, 0.08], [0.0, 0.0, 0.0, 1.0]]
    old = {"method": "PARK", "num_cameras": 1, "num_frames_total": 15, "num_frames_used": 14, "reference_index": 0,
           "tcp_T_camera_list": [X], "joint_solve": {"rms_px": 0.2}}
    he = _load(tmp_path, io.load_hand_eye_result, json.dumps(old))
    assert (he.method, he.num_frames_used, he.num_frames_total) == ("PARK", 14, 15)
    assert he.tcp_T_camera_list[0].tolist() == X
    assert he.tcp_T_camera_covariance is None and he.robot_T_target is None and he.robot_T_target_covariance is None
    old_e2h = {"method": None, "num_frames_total": None, "num_frames_used": None, "robot_T_camera": X,
               "tcp_T_target": None, "robot_T_camera_uncertainty": {"covariance": (np.eye(6) * 1e-8).tolist(),
                                                                   "rotation_std_deg": [0.0] * 3}}
    e2h = _load(tmp_path, io.load_eye_to_hand_result, json.dumps(old_e2h))
    assert e2h.robot_T_camera.tolist() == X and e2h.tcp_T_target.size == 0
    assert e2h.robot_T_camera_covariance.tolist() == (np.eye(6) * 1e-8).tolist() and e2h.tcp_T_target_covariance is None
    for record in (he, e2h):
        assert [getattr(record, f) for f in RECHECK_FIELDS] == [None] * len(RECHECK_FIELDS)


def _rigid(rng):
    R = np.linalg.qr(rng.normal(size=(3, 3)))[0]
    R *= np.linalg.det(R)
    return np.block([[R, rng.normal(size=(3, 1))], [np.zeros((1, 3)), np.ones((1, 1))]])


@pytest.mark.parametrize("kind", ["hand_eye", "eye_to_hand"])
@pytest.mark.parametrize("board", [lambda: _vesk.ChessboardTarget((9, 6), 0.0251234567891),
                                   lambda: _vesk.CharucoTarget(5, 7, 0.036195, 0.018256, "DICT_6X6_250"),
                                   lambda: _vesk.ArucoTarget((5, 4), 0.04, 0.01, "DICT_APRILTAG_36H11")],
                         ids=["chessboard", "charuco", "grid"])
def test_recheck_fields_round_trip_exactly(tmp_path, kind, board):
    rng = np.random.default_rng(5)
    fixed = "robot_T_target" if kind == "hand_eye" else "tcp_T_target"
    main = "tcp_T_camera" if kind == "hand_eye" else "robot_T_camera"
    record = io.HandEyeResultRecord() if kind == "hand_eye" else io.EyeToHandResultRecord()
    bare = io.HandEyeResultRecord() if kind == "hand_eye" else io.EyeToHandResultRecord()
    X, Y = _rigid(rng), _rigid(rng)
    for r in (record, bare):
        if kind == "hand_eye":
            r.num_cameras, r.tcp_T_camera_list, r.method = 1, [X], "TSAI"
        else:
            r.robot_T_camera, r.tcp_T_target, r.method = X, Y, "TSAI"
    K = np.array([[rng.uniform(800, 900), 0, rng.uniform(400, 500)], [0, rng.uniform(800, 900), rng.uniform(300, 400)],
                  [0, 0, 1]])
    cov = rng.normal(size=(6, 6)) * 1e-4
    record.intrinsic_matrix, record.distortion_coefficients = K, rng.normal(size=(1, 5)) * 0.1
    record.image_size, record.board = (1600, 1200), board()
    record.noise = _vesk.NoiseEstimate(rng.uniform(0.1, 0.3), rng.uniform(1e-4, 3e-4), math.nan)
    record.vesk_version, record.created_utc = "0.1.0", "2025-01-31T12:00:00Z"
    setattr(record, f"{main}_covariance", cov @ cov.T)
    setattr(record, f"{fixed}_covariance", cov.T @ cov / 3)
    if kind == "hand_eye":
        record.robot_T_target = _rigid(rng)
    save, load = (io.save_hand_eye_result, io.load_hand_eye_result) if kind == "hand_eye" else \
        (io.save_eye_to_hand_result, io.load_eye_to_hand_result)
    back = load(save(tmp_path / "new.json", record))
    for name in ("intrinsic_matrix", "distortion_coefficients", f"{main}_covariance", f"{fixed}_covariance") + \
            (("robot_T_target",) if kind == "hand_eye" else ()):
        np.testing.assert_array_equal(getattr(back, name), getattr(record, name), err_msg=name)
    assert (back.image_size, back.vesk_version, back.created_utc) == ((1600, 1200), "0.1.0", "2025-01-31T12:00:00Z")
    assert repr(back.board) == repr(record.board) and type(back.board) is type(record.board)
    n, m = back.noise, record.noise
    assert (n.pixel_px, n.robot_translation_m) == (m.pixel_px, m.robot_translation_m) and math.isnan(n.robot_rotation_deg)
    # the prescribed keys are written as they were without the new fields
    new, old = (json.loads(save(tmp_path / f"{name}.json", r).read_text()) for name, r in (("a", record), ("b", bare)))
    assert {k: v for k, v in new.items() if k in old} == old
