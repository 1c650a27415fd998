"""Robot pose files: CSV with and without a header, YAML per file and per row, and their errors."""

import pathlib

import numpy as np
import pytest

from vesk import io, tf

REAL = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / "eye_to_hand_charuco"

KUKA = [[1200.5, -300.0, 850.25, 12.0, -30.0, 175.0], [1100.0, 250.0, 900.0, -90.0, 89.5, 0.0],
        [1000.0, 0.0, 1000.0, 180.0, 0.0, -45.0]]


def expected_kuka():
    return [tf.robot_pose_to_matrix(v, "kuka") for v in KUKA]


def rows(sep=","):
    return [sep.join(repr(x) for x in v) for v in KUKA]


@pytest.mark.parametrize("name, text", [
    ("plain.csv", "\n".join(rows()) + "\n"),
    ("semicolons.csv", "\n".join(rows(";"))),
    ("spaces.txt", "# exported from the pendant\n\n" + "\n".join(rows("  ")) + "\n"),
    ("header.csv", "X,Y,Z,A,B,C\n" + "\n".join(rows()) + "\n"),
    # columns by name: another order, an index and a status column
    ("named.csv", "index,c,b,a,status,z,y,x\n" + "\n".join(
        f"{k},{v[5]!r},{v[4]!r},{v[3]!r},ok,{v[2]!r},{v[1]!r},{v[0]!r}" for k, v in enumerate(KUKA)) + "\n"),
    ("list.yaml", "poses:\n" + "".join(f"  - [{', '.join(repr(x) for x in v)}]\n" for v in KUKA)),
    ("maps.yaml", "".join(f"- {{X: {v[0]!r}, Y: {v[1]!r}, Z: {v[2]!r}, A: {v[3]!r}, B: {v[4]!r}, C: {v[5]!r}}}\n"
                          for v in KUKA)),
])
def test_pose_files_of_every_layout_give_the_same_poses(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    got = io.load_robot_poses(path, "kuka")
    assert len(got) == len(KUKA)
    for a, b in zip(got, expected_kuka()):
        np.testing.assert_array_equal(a, b)


def test_a_folder_of_yaml_files_is_read_in_the_order_of_their_numbers(tmp_path):
    rng = np.random.default_rng(2)
    poses = []
    for k in range(12):  # 0.yaml, 1.yaml, ..., 10.yaml, 11.yaml: 10 after 9, not after 1
        T = tf.robot_pose_to_matrix([*rng.uniform(-1, 1, 3), 0, 0, 0, 1], "ros")
        T[:3, :3] = tf.robot_pose_to_matrix([0, 0, 0, *rng.uniform(-3, 3, 3)], "ur")[:3, :3]
        x, y, z, qx, qy, qz, qw = tf.matrix_to_robot_pose(T, "ros")
        nested = k % 2 == 0
        (tmp_path / f"{k}.yaml").write_text(
            f"position:\n  x: {x!r}\n  y: {y!r}\n  z: {z!r}\norientation: {{x: {qx!r}, y: {qy!r}, z: {qz!r}, w: {qw!r}}}\n"
            if nested else f"qz: {qz!r}\nx: {x!r}\ny: {y!r}\nz: {z!r}\nqx: {qx!r}\nqw: {qw!r}\nqy: {qy!r}")
        poses.append(T)
    (tmp_path / "notes.md").write_text("not a pose")
    got = io.load_robot_poses(tmp_path, "ros")
    np.testing.assert_allclose(np.array(got), np.array(poses), rtol=0, atol=1e-12)


@pytest.mark.parametrize("name, text, convention, where, what", [
    ("a.csv", "1,2,3,4,5,6\n1,2,3,4,5\n", "kuka", "line 2", "expected 6 values (X Y Z A B C), found 5"),
    ("b.csv", "X,Y,Z,A,B,C\n1,2,3,4,5,6\n\n1,2,x,4,5,6\n", "kuka", "line 4", "'x' is not a number"),
    ("c.csv", "X,Y,Z,RX,RY\n1,2,3,4,5\n", "kuka", "line 1", "needs the columns X, Y, Z, A, B, C"),
    ("d.csv", "x,y,z,qx,qy,qz,qw\n0,0,0,0,0,0,2\n", "ros", "line 2", "has norm 2, not 1"),
    ("e.yaml", "poses:\n  - [1, 2, 3, 4, 5, 6]\n  - {x: 1, y: 2, z: 3, a: 4, b: 5}\n", "kuka", "line 3", "missing c"),
    ("f.yaml", "x: 1\ny: 2\nz: [3\n", "ros", "line 3", "unclosed"),
    ("g.yaml", "x: 1\ny: 2\nz: 3\nqx: 0\nqy: 0\nqz: 0\nqw: nope\n", "ros", "line 1", "'nope' is not a number"),
])
def test_a_malformed_row_names_file_and_line(tmp_path, name, text, convention, where, what):
    path = tmp_path / name
    path.write_text(text)
    with pytest.raises(ValueError) as e:
        io.load_robot_poses(path, convention)
    assert str(e.value).startswith(f"{path}: {where}: ") and what in str(e.value), str(e.value)


@pytest.mark.skipif(not REAL.is_dir(), reason=f"the shared real dataset is not at {REAL}")
def test_real_dataset_pose_files_read_as_ros_give_its_dataset_poses():
    got = io.load_robot_poses(REAL / "upstream_poses", "ros")
    want = np.load(REAL / "calibration_data.npz")["robot_T_tcp_list"]
    np.testing.assert_allclose(np.array(got), want, rtol=0, atol=1e-12)
