import json
import math

import numpy as np
import pytest

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
