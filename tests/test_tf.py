import math

import numpy as np
import pytest

from _vesk import tf
from vesk_testing.scene import rot_x, rot_y, rot_z


def test_identity_and_quarter_turn():
    np.testing.assert_array_equal(tf.pose_to_transformation_matrix([0, 0, 0, 0, 0, 0]), np.eye(4))
    T = tf.pose_to_transformation_matrix([1, 2, 3, 0, 0, 90])
    assert T.dtype == np.float64 and T.shape == (4, 4)
    assert T[0, 1] == pytest.approx(-1.0) and T[1, 0] == pytest.approx(1.0)
    np.testing.assert_array_equal(T[:3, 3], [1, 2, 3])
    np.testing.assert_array_equal(T[3], [0, 0, 0, 1])


@pytest.mark.parametrize("rx, ry, rz", [(10, 20, 30), (-170, 45, 179.5), (180, -89, -120), (0.001, 0, -0.001)])
def test_matrix_is_extrinsic_xyz(rx, ry, rz):
    T = tf.pose_to_transformation_matrix([0.1, -0.2, 0.3, rx, ry, rz])
    np.testing.assert_allclose(T[:3, :3], rot_z(rz) @ rot_y(ry) @ rot_x(rx), atol=1e-12)


def test_round_trip_random_poses():
    rng = np.random.default_rng(5)
    for _ in range(200):
        pose = [*rng.uniform(-2, 2, 3), rng.uniform(-179.9, 180), rng.uniform(-89.9, 89.9), rng.uniform(-179.9, 180)]
        back = tf.transformation_matrix_to_pose(tf.pose_to_transformation_matrix(pose))
        np.testing.assert_allclose(back, pose, atol=1e-9)


def _wrap(deg):
    w = (deg + 180.0) % 360.0 - 180.0
    return 180.0 if w == -180.0 else w


@pytest.mark.parametrize("ry, sign", [(90.0, -1.0), (-90.0, 1.0)])
@pytest.mark.parametrize("rx, rz", [(30.0, 10.0), (-50.0, 170.0), (100.0, -120.0)])
def test_gimbal_lock(ry, sign, rx, rz):
    T = tf.pose_to_transformation_matrix([0, 0, 0, rx, ry, rz])
    p = tf.transformation_matrix_to_pose(T)
    assert p[3] == 0.0
    assert p[4] == pytest.approx(ry)
    assert p[5] == pytest.approx(_wrap(rz + sign * rx), abs=1e-6)
    np.testing.assert_allclose(tf.pose_to_transformation_matrix(p), T, atol=1e-9)


@pytest.mark.parametrize("call, arg, message", [
    ("pose_to_transformation_matrix", [1, 2, 3, 4, 5], "poseToTransformationMatrix: expected 6 elements [x,y,z,rx,ry,rz]"),
    ("pose_to_transformation_matrix", [0] * 7, "poseToTransformationMatrix: expected 6 elements [x,y,z,rx,ry,rz]"),
    ("transformation_matrix_to_pose", np.eye(3), "transformationMatrixToPose: expected a 4x4 matrix"),
    ("transformation_matrix_to_pose", np.zeros((4, 3)), "transformationMatrixToPose: expected a 4x4 matrix"),
    ("transformation_matrix_to_pose", np.zeros((4, 4, 3)), "transformationMatrixToPose: expected a 4x4 matrix"),
    ("average_pose", [], "averagePose: poses must be non-empty"),
])
def test_bad_arguments_raise_value_error(call, arg, message):
    with pytest.raises(ValueError) as e:
        getattr(tf, call)(arg)
    assert str(e.value) == message


def test_average_of_symmetric_pair():
    a = tf.pose_to_transformation_matrix([0, 0, 0, 0, 0, 10])
    b = tf.pose_to_transformation_matrix([2, 0, 0, 0, 0, -10])
    avg = tf.average_pose([a, b])
    np.testing.assert_allclose(avg, np.array([[1, 0, 0, 1], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1.0]]), atol=1e-12)


def test_average_of_noisy_rotations_is_a_rotation():
    rng = np.random.default_rng(1)
    base = tf.pose_to_transformation_matrix([0.1, 0.2, 0.3, 20, -30, 40])
    poses = []
    for _ in range(20):
        d = tf.pose_to_transformation_matrix([*rng.normal(0, 1e-3, 3), *rng.normal(0, 0.5, 3)])
        poses.append(base @ d)
    avg = tf.average_pose(poses)
    R = avg[:3, :3]
    np.testing.assert_allclose(R @ R.T, np.eye(3), atol=1e-12)
    assert np.linalg.det(R) == pytest.approx(1.0)
    angle = math.degrees(math.acos(np.clip((np.trace(R @ base[:3, :3].T) - 1) / 2, -1, 1)))
    assert angle < 0.5


def test_average_rejects_a_non_4x4_element():
    with pytest.raises(ValueError, match="averagePose"):
        tf.average_pose([np.eye(4), np.eye(3)])
