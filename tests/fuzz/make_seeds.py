"""Valid inputs for the fuzz targets: archives numpy and vesk write, and both result documents."""
import pathlib
import sys
import tempfile

import numpy as np

from _vesk import io

out = pathlib.Path(sys.argv[1])
for d in ("fuzz_npz", "fuzz_multi_camera_json", "fuzz_hand_eye_json", "fuzz_eye_to_hand_json"):
    (out / d).mkdir(parents=True, exist_ok=True)

poses = np.random.default_rng(0).normal(size=(3, 4, 4))
npz = out / "fuzz_npz"
np.savez(npz / "savez.npz", robot_T_tcp_list=poses, other=np.arange(3.0))
np.savez_compressed(npz / "savez_compressed.npz", empty=np.zeros(0), robot_T_tcp_list=poses)
np.savez_compressed(npz / "one.npz", robot_T_tcp_list=poses[:1])
with tempfile.TemporaryDirectory() as tmp:
    io.save_hand_eye_dataset(tmp, [], list(poses))
    (npz / "vesk.npz").write_bytes((pathlib.Path(tmp) / "calibration_data.npz").read_bytes())

    rec = io.MultiCameraCalibrationRecord()
    rec.num_cameras = 2
    rec.intrinsic_matrices = [np.eye(3), np.eye(3) * 2]
    rec.distortion_coefficients = [np.zeros((1, 5)), np.ones((1, 5))]
    rec.reference_T_camera_list = [np.eye(4), np.zeros((0, 0))]
    rec.intrinsic_reprojection_errors = [0.1, float("nan")]
    rec.pair_reprojection_errors = [float("nan"), 0.2]
    p = io.save_multi_camera_calibration(pathlib.Path(tmp) / "m.json", rec)
    (out / "fuzz_multi_camera_json" / "record.json").write_bytes(p.read_bytes())

    he = io.HandEyeResultRecord()
    he.num_cameras, he.method, he.num_frames_used, he.num_frames_total = 1, "TSAI", 14, 15
    he.tcp_T_camera_list = [np.eye(4), np.zeros((0, 0))]
    p = io.save_hand_eye_result(pathlib.Path(tmp) / "h.json", he)
    (out / "fuzz_hand_eye_json" / "record.json").write_bytes(p.read_bytes())

    e2h = io.EyeToHandResultRecord()
    e2h.method, e2h.num_frames_used, e2h.num_frames_total = "PARK", 15, 16
    e2h.robot_T_camera, e2h.tcp_T_target = np.eye(4), np.eye(4)
    p = io.save_eye_to_hand_result(pathlib.Path(tmp) / "e.json", e2h)
    (out / "fuzz_eye_to_hand_json" / "record.json").write_bytes(p.read_bytes())
