import numpy as np
import pytest

from _vesk import io, tf
from vesk_testing.scenes import random_images as _images
from vesk_testing.scenes import sample_poses as _poses


def test_capture_round_trip_and_logs(tmp_path, capfd):
    frames = [_images(5, seed=c) for c in range(2)]
    for k in range(5):
        assert io.next_multi_camera_capture_index(tmp_path, 2) == k
        io.save_multi_camera_capture(tmp_path, [frames[0][k], frames[1][k]], k)
    assert capfd.readouterr().err.splitlines()[3] == "[vesk][SUCCESS] Saved capture #3 (2 cameras)"
    assert sorted(p.name for p in (tmp_path / "cam_01").iterdir())[-1] == "image_04.png"
    io.save_multi_camera_robot_poses(tmp_path, _poses(5), 2)
    assert capfd.readouterr().err == ""
    lists = io.load_multi_camera_dataset(tmp_path, 2)
    assert capfd.readouterr().err == "".join(
        f"[vesk][SUCCESS] Loaded 5 frames from {tmp_path / c}\n" for c in ("cam_00", "cam_01"))
    for got, want in zip(lists, frames):
        for a, b in zip(got, want):
            np.testing.assert_array_equal(a, b)
    for a, b in zip(io.load_multi_camera_robot_poses(tmp_path), _poses(5)):
        np.testing.assert_array_equal(a, b)
    assert (tmp_path / "cam_00" / "calibration_data.npz").read_bytes() == \
        (tmp_path / "cam_01" / "calibration_data.npz").read_bytes()


def test_next_index_rules(tmp_path):
    assert io.next_multi_camera_capture_index(tmp_path / "missing", 3) == 0
    assert io.next_multi_camera_capture_index(tmp_path, 0) == 0
    cam = tmp_path / "cam_01"  # only the second camera's folder: still counts
    cam.mkdir()
    for name in ("image_00.png", "image_07.png", "image_33_annotated.png", "image_40.jpg", "IMAGE_50.png",
                 "image_x.png", "image_.png", "image_60.PNG"):
        (cam / name).write_bytes(b"")
    assert io.next_multi_camera_capture_index(tmp_path, 2) == 8
    (cam / "image_a_12.png").write_bytes(b"")
    assert io.next_multi_camera_capture_index(tmp_path, 2) == 13
    assert io.next_multi_camera_capture_index(tmp_path, 1) == 0  # cam_01 not in the list


@pytest.mark.parametrize("digits, expected", [("2147483646", 2147483647), ("2147483647", None),
                                              ("99999999999", 0), ("2147483648", 0)])
def test_next_index_at_the_int_limit(tmp_path, digits, expected, capfd):
    (tmp_path / "cam_00").mkdir()
    (tmp_path / "cam_00" / f"image_{digits}.png").write_bytes(b"")
    if expected is not None:
        # a number beyond any capture index is no index: not counted, and named
        assert io.next_multi_camera_capture_index(tmp_path, 1) == expected
        assert (f"image_{digits}.png" in capfd.readouterr().err) == (expected == 0)
    else:
        with pytest.raises(IndexError, match="is the largest possible; no next index"):
            io.next_multi_camera_capture_index(tmp_path, 1)


def test_folder_and_file_names_beyond_99(tmp_path):
    img = _images(1)[0]
    io.save_multi_camera_capture(tmp_path, [img] * 101, 100, [img] * 101)
    assert (tmp_path / "cam_100" / "image_100.png").exists()
    assert (tmp_path / "cam_07" / "image_100_annotated.png").exists()
    assert io.next_multi_camera_capture_index(tmp_path, 101) == 101
    io.save_multi_camera_capture(tmp_path, [img], 7)
    assert (tmp_path / "cam_00" / "image_07.png").exists()


def test_partial_annotated_list_is_refused(tmp_path):
    with pytest.raises(ValueError, match="annotated_images must be empty or hold one image per frame"):
        io.save_multi_camera_capture(tmp_path, _images(3), 0, _images(2))
    assert list(tmp_path.iterdir()) == []


def test_dataset_load_order_and_annotated_files(tmp_path):
    imgs = _images(12)
    for k in (0, 1, 2, 10, 11, 100):
        io.save_multi_camera_capture(tmp_path, [imgs[k % 12]], k, [imgs[0]])
    (tmp_path / "cam_00" / "image_x.png").write_bytes((tmp_path / "cam_00" / "image_01.png").read_bytes())
    (frames,) = io.load_multi_camera_dataset(tmp_path, 1)
    # capture order; image_x carries no capture index and is left out
    order = [0, 1, 2, 10, 11, 100 % 12]
    assert len(frames) == len(order)
    for got, k in zip(frames, order):
        np.testing.assert_array_equal(got, imgs[k])


def test_poses_come_from_the_first_sorted_cam_folder(tmp_path):
    assert io.load_multi_camera_robot_poses(tmp_path / "missing") == []
    (tmp_path / "other").mkdir()
    assert io.load_multi_camera_robot_poses(tmp_path) == []
    io.save_multi_camera_robot_poses(tmp_path / "x", _poses(2), 1)
    (tmp_path / "cam_b").mkdir()
    (tmp_path / "cam_b" / "calibration_data.npz").write_bytes((tmp_path / "x" / "cam_00" / "calibration_data.npz")
                                                              .read_bytes())
    io.save_multi_camera_robot_poses(tmp_path / "y", _poses(3), 1)
    (tmp_path / "cam_c").mkdir()
    (tmp_path / "cam_c" / "calibration_data.npz").write_bytes((tmp_path / "y" / "cam_00" / "calibration_data.npz")
                                                              .read_bytes())
    (tmp_path / "cam_a").mkdir()  # sorts first but holds no archive
    assert len(io.load_multi_camera_robot_poses(tmp_path)) == 2
    with pytest.raises(ValueError, match="io: expected 4x4 pose matrices"):
        io.save_multi_camera_robot_poses(tmp_path, [np.eye(3)], 2)


def test_dataset_load_failures(tmp_path, capfd):
    assert io.load_multi_camera_dataset(tmp_path, 0) == []
    img = _images(1)[0]
    for k in range(5):
        io.save_multi_camera_capture(tmp_path, [img], k)
    with pytest.raises(RuntimeError) as e:
        io.load_multi_camera_dataset(tmp_path, 2)
    assert str(e.value) == f"io: missing camera folder: {tmp_path / 'cam_01'}"
    assert capfd.readouterr().err.endswith(f"Loaded 5 frames from {tmp_path / 'cam_00'}\n")
    (tmp_path / "cam_01").mkdir()
    with pytest.raises(RuntimeError) as e:
        io.load_multi_camera_dataset(tmp_path, 2)
    assert str(e.value) == f"io: no image_*.png files in {tmp_path / 'cam_01'}"
    for k in range(4):
        io.save_multi_camera_capture(tmp_path, [img, img], k)
    capfd.readouterr()
    # capture 4 is in cam_00 only: left out for both cameras, with a warning
    lists = io.load_multi_camera_dataset(tmp_path, 2)
    assert [len(frames) for frames in lists] == [4, 4]
    assert capfd.readouterr().err == (
        "[vesk][WARNING] io: captures left out for every camera because some camera folders lack them: "
        "4 (missing from cam_01)\n"
        f"[vesk][SUCCESS] Loaded 4 frames from {tmp_path / 'cam_00'}\n"
        f"[vesk][SUCCESS] Loaded 4 frames from {tmp_path / 'cam_01'}\n")
    # a name without a capture index is left out, named, and never switches the pairing to position
    (tmp_path / "cam_00" / "image_x.png").write_bytes((tmp_path / "cam_00" / "image_00.png").read_bytes())
    assert [len(frames) for frames in io.load_multi_camera_dataset(tmp_path, 2)] == [4, 4]
    assert (f"[vesk][WARNING] io: frame files without a capture index (image_<0 to 2147483647>.png) left out of "
            f"{tmp_path / 'cam_00'}: image_x.png\n") in capfd.readouterr().err
    (tmp_path / "cam_00" / "image_x.png").unlink()
    (tmp_path / "cam_01" / "image_02.png").write_bytes(b"junk")
    with pytest.raises(RuntimeError, match="io: cv::imread returned an empty image for .*image_02.png"):
        io.load_multi_camera_dataset(tmp_path, 2)


def _tagged(capture):
    """A tiny frame that says which capture it is."""
    img = np.zeros((4, 6, 3), np.uint8)
    img[0, 0] = (capture % 256, capture // 256, 7)
    return img


def _captures(frames):
    return [int(f[0, 0, 0]) + 256 * int(f[0, 0, 1]) for f in frames]


@pytest.mark.parametrize("n_captures, lacking", [
    (103, {}),                        # beyond 100: numeric order, not byte order
    (9, {0: [2, 5], 1: [3, 6], 2: [4]}),  # equal counts would pair by position
], ids=["beyond_100", "different_gaps"])
def test_frames_and_poses_pair_by_capture_index(tmp_path, capfd, n_captures, lacking):
    poses = [tf.pose_to_transformation_matrix([0.01 * k, 0, 0, 0, 0, k % 90]) for k in range(n_captures)]
    for k in range(n_captures):
        io.save_multi_camera_capture(tmp_path, [_tagged(k)] * 3, k)
    io.save_multi_camera_robot_poses(tmp_path, poses, 3)
    for cam, gone in lacking.items():
        for k in gone:
            (tmp_path / f"cam_{cam:02d}" / f"image_{k:02d}.png").unlink()
    capfd.readouterr()
    lists = io.load_multi_camera_dataset(tmp_path, 3)
    kept = [k for k in range(n_captures) if not any(k in gone for gone in lacking.values())]
    for frames in lists:
        assert _captures(frames) == kept
    for pose, k in zip(io.load_multi_camera_robot_poses(tmp_path), kept, strict=True):
        np.testing.assert_array_equal(pose, poses[k])
    err = capfd.readouterr().err
    if lacking:
        assert ("[vesk][WARNING] io: captures left out for every camera because some camera folders lack them: "
                "2 (missing from cam_00); 3 (missing from cam_01); 4 (missing from cam_02); "
                "5 (missing from cam_00); 6 (missing from cam_01)") in err
    else:
        assert "WARNING" not in err
