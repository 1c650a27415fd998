import pathlib
import zipfile

import cv2
import numpy as np
import pytest

import _vesk
from _vesk import io
from vesk_testing.scenes import random_images as _images
from vesk_testing.scenes import sample_poses as _poses


def test_round_trip_and_log(tmp_path, capfd):
    imgs, poses = _images(3), _poses(3)
    io.save_hand_eye_dataset(tmp_path / "ds", imgs, poses)
    assert capfd.readouterr().err == f"[vesk][SUCCESS] Saved 3 images to {tmp_path / 'ds'}\n"
    assert sorted(p.name for p in (tmp_path / "ds").iterdir()) == [
        "calibration_data.npz", "image_00.png", "image_01.png", "image_02.png"]
    arr = np.load(tmp_path / "ds" / "calibration_data.npz")["robot_T_tcp_list"]
    assert arr.dtype == np.float64 and arr.shape == (3, 4, 4)
    np.testing.assert_array_equal(arr, np.stack(poses))  # bit-exact
    back_imgs, back_poses = io.load_hand_eye_dataset(str(tmp_path / "ds"))
    assert capfd.readouterr().err == f"[vesk][SUCCESS] Loaded 3 images from {tmp_path / 'ds'}\n"
    for a, b in zip(back_imgs, imgs):
        np.testing.assert_array_equal(a, b)
    for a, b in zip(back_poses, poses):
        assert a.dtype == np.float64 and a.shape == (4, 4)
        np.testing.assert_array_equal(a, b)


def test_numpy_reads_the_archive_byte_exactly(tmp_path):
    io.save_hand_eye_dataset(tmp_path, [], _poses(3))
    raw = (tmp_path / "calibration_data.npz").read_bytes()
    with zipfile.ZipFile(tmp_path / "calibration_data.npz") as z:
        assert z.namelist() == ["robot_T_tcp_list.npy"]
        info = z.getinfo("robot_T_tcp_list.npy")
        assert info.compress_type == zipfile.ZIP_STORED and info.file_size == 128 + 384
        blob = z.read("robot_T_tcp_list.npy")
    assert blob[:10] == b"\x93NUMPY\x01\x00\x76\x00"
    assert blob[10:128] == (b"{'descr': '<f8', 'fortran_order': False, 'shape': (3, 4, 4), }" + b" " * 55 + b"\n")
    assert raw.startswith(b"PK\x03\x04")


@pytest.mark.parametrize("savez", [np.savez, np.savez_compressed])
@pytest.mark.parametrize("n", [0, 1, 250])
def test_reads_archives_written_by_numpy(tmp_path, savez, n):
    poses = np.random.default_rng(n).normal(size=(n, 4, 4))
    savez(tmp_path / "calibration_data.npz", empty=np.zeros((0,)), line=np.arange(7.0),
          robot_T_tcp_list=poses, big=np.ones((300, 300)))
    imgs, back = io.load_hand_eye_dataset(tmp_path)
    assert imgs == [] and len(back) == n
    for a, b in zip(back, poses):
        np.testing.assert_array_equal(a, b)


def test_file_names_beyond_99(tmp_path):
    imgs = _images(101)
    io.save_hand_eye_dataset(tmp_path, imgs, _poses(101), [im[::-1].copy() for im in imgs])
    names = {p.name for p in tmp_path.iterdir()}
    for expected in ("image_00.png", "image_10.png", "image_99.png", "image_100.png", "image_00_annotated.png",
                     "image_100_annotated.png"):
        assert expected in names
    assert "image_000.png" not in names and len(names) == 1 + 2 * 101


def test_missing_images_are_skipped_and_formats(tmp_path, capfd):
    io.save_hand_eye_dataset(tmp_path, _images(3), _poses(3))
    (tmp_path / "image_01.png").unlink()
    imgs, poses = io.load_hand_eye_dataset(tmp_path)
    assert len(imgs) == 2 and len(poses) == 3
    assert capfd.readouterr().err.endswith(f"Loaded 2 images from {tmp_path}\n")
    cv2.imwrite(str(tmp_path / "image_00.jpg"), _images(1)[0])
    imgs, poses = io.load_hand_eye_dataset(tmp_path, "jpg")
    assert len(imgs) == 1 and imgs[0].shape == (24, 32, 3)


def test_a_shorter_save_leaves_older_images(tmp_path):
    io.save_hand_eye_dataset(tmp_path, _images(8), _poses(8))
    io.save_hand_eye_dataset(tmp_path, _images(5, seed=1), _poses(5))
    assert (tmp_path / "image_07.png").exists()
    imgs, poses = io.load_hand_eye_dataset(tmp_path)
    assert len(imgs) == len(poses) == 5


def test_grey_and_bgra_images_load_as_bgr(tmp_path):
    grey = np.full((10, 12), 77, np.uint8)
    io.save_hand_eye_dataset(tmp_path, [grey], _poses(1))
    imgs, _ = io.load_hand_eye_dataset(tmp_path)
    assert imgs[0].shape == (10, 12, 3) and np.all(imgs[0] == 77)


@pytest.mark.parametrize("pose", [np.eye(4)[:3], np.eye(3), np.zeros((4, 4, 2))])
def test_bad_pose_fails_before_any_file(tmp_path, pose):
    with pytest.raises(ValueError) as e:
        io.save_hand_eye_dataset(tmp_path / "d", _images(2), [np.eye(4), pose])
    assert str(e.value) == "io: expected 4x4 pose matrices"
    assert (tmp_path / "d").is_dir() and list((tmp_path / "d").iterdir()) == []


def test_partial_annotated_list_is_refused(tmp_path):
    with pytest.raises(ValueError, match="annotated_images must be empty or hold one image per image_list entry"):
        io.save_hand_eye_dataset(tmp_path, _images(3), _poses(3), _images(2))
    assert list(tmp_path.iterdir()) == []


def test_pose_integer_depths_are_converted(tmp_path):
    io.save_hand_eye_dataset(tmp_path, [], [np.eye(4, dtype=np.int32), np.eye(4, dtype=np.float32)])
    _, poses = io.load_hand_eye_dataset(tmp_path)
    np.testing.assert_array_equal(poses[0], np.eye(4))


@pytest.mark.parametrize("make, message", [
    (lambda d: np.savez(d / "calibration_data.npz", robot_T_tcp_list=np.zeros((2, 16))),
     "io: robot_T_tcp_list npz entry is not shaped (N, 4, 4)"),
    (lambda d: np.savez(d / "calibration_data.npz", robot_T_tcp_list=np.zeros((2, 4, 4), np.float32)),
     'npz: only little-endian float64 ("<f8") arrays are supported'),
    (lambda d: np.savez(d / "calibration_data.npz", other=np.zeros(3)),
     "npz: entry 'robot_T_tcp_list.npy' not found in archive"),
    (lambda d: (d / "calibration_data.npz").write_bytes(b"not a zip"),
     "npz: not a valid ZIP archive (no EOCD record)"),
    (lambda d: np.save(open(d / "calibration_data.npz", "wb"), np.zeros((1, 4, 4))),  # a bare .npy
     "npz: not a valid ZIP archive (no EOCD record)"),
])
def test_load_errors(tmp_path, make, message):
    make(tmp_path)
    with pytest.raises(RuntimeError) as e:
        io.load_hand_eye_dataset(tmp_path)
    assert str(e.value) == message


def test_missing_archive_and_unreadable_image(tmp_path):
    with pytest.raises(RuntimeError) as e:
        io.load_hand_eye_dataset(tmp_path / "nothing")
    assert str(e.value) == f"npz: cannot open {tmp_path / 'nothing' / 'calibration_data.npz'} for reading"
    io.save_hand_eye_dataset(tmp_path, _images(1), _poses(1))
    (tmp_path / "image_00.png").write_bytes(b"garbage")
    with pytest.raises(RuntimeError) as e:
        io.load_hand_eye_dataset(tmp_path)
    assert str(e.value) == f"io: cv::imread returned an empty image for {tmp_path / 'image_00.png'}"


def test_path_kinds(tmp_path):
    for d in (str(tmp_path / "a"), bytes(tmp_path / "b"), pathlib.Path(tmp_path / "c")):
        io.save_hand_eye_dataset(d, [], _poses(1))
        assert len(io.load_hand_eye_dataset(d)[1]) == 1


def test_io_submodule():
    assert _vesk.io.__name__ == "_vesk.io"
    assert _vesk.io.__doc__ == "On-disk persistence for calibration datasets and results."
