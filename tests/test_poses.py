"""Robot pose conventions against formulas written here from elementary rotations, and their inverses."""

import itertools
import math

import cv2
import numpy as np
import pytest

from _vesk import tf as core_tf
from vesk import tf
from vesk_testing.scene import rot_x, rot_y, rot_z

ROT = {"x": rot_x, "y": rot_y, "z": rot_z}
TAIT_BRYAN = ["".join(p) for p in itertools.permutations("xyz")]
PROPER = [a + b + a for a in "xyz" for b in "xyz" if a != b]
ORDERS = TAIT_BRYAN + PROPER


def euler_matrix(order, angles_deg, intrinsic):
    """Intrinsic: rotate about the moving axes in order (R1 R2 R3); extrinsic: about fixed axes (R3 R2 R1)."""
    mats = [ROT[a](v) for a, v in zip(order, angles_deg)]
    return mats[0] @ mats[1] @ mats[2] if intrinsic else mats[2] @ mats[1] @ mats[0]


def quaternion_rotate(q_wxyz, v):
    """v rotated by q, as q v q* in quaternion algebra (no matrix formula)."""
    def mul(a, b):
        aw, av, bw, bv = a[0], np.asarray(a[1:]), b[0], np.asarray(b[1:])
        return np.r_[aw * bw - av @ bv, aw * bv + bw * av + np.cross(av, bv)]
    q = np.asarray(q_wxyz) / np.linalg.norm(q_wxyz)
    return mul(mul(q, np.r_[0.0, v]), np.r_[q[0], -q[1:]])[1:]


def random_rigid(rng, scale=1.5):
    q = rng.normal(size=4)
    T = np.eye(4)
    T[:3, :3] = np.column_stack([quaternion_rotate(q, e) for e in np.eye(3)])
    T[:3, 3] = rng.uniform(-scale, scale, 3)
    return T


def canonical_angles(rng, order):
    a = rng.uniform(-179.0, 179.0, 3)
    a[1] = rng.uniform(1.0, 179.0) if order[0] == order[2] else rng.uniform(-89.0, 89.0)
    return a


@pytest.mark.parametrize("intrinsic", [True, False])
@pytest.mark.parametrize("order", ORDERS)
def test_euler_orders_match_elementary_rotations_and_invert_exactly(order, intrinsic):
    rng = np.random.default_rng(sum(map(ord, order)) + intrinsic)
    for unit, degrees in (("m", True), ("mm", False)):
        opts = dict(order=order, intrinsic=intrinsic, degrees=degrees, unit=unit)
        for _ in range(50):
            angles = canonical_angles(rng, order)
            xyz = rng.uniform(-2000, 2000, 3) if unit == "mm" else rng.uniform(-2, 2, 3)
            values = [*xyz, *(angles if degrees else np.radians(angles))]
            T = tf.robot_pose_to_matrix(values, "euler", **opts)
            np.testing.assert_allclose(T[:3, :3], euler_matrix(order, angles, intrinsic), atol=1e-14)
            np.testing.assert_allclose(T[:3, 3], xyz / (1000 if unit == "mm" else 1), rtol=0, atol=1e-15)
            np.testing.assert_allclose(tf.matrix_to_robot_pose(T, "euler", **opts), values, rtol=0, atol=1e-12)
            M = random_rigid(rng)
            np.testing.assert_allclose(tf.robot_pose_to_matrix(tf.matrix_to_robot_pose(M, "euler", **opts),
                                                               "euler", **opts), M, rtol=0, atol=1e-12)


# the middle angle at and next to the locks: +-90 deg (Tait-Bryan), 0 and 180 deg (proper)
@pytest.mark.parametrize("offset", [0.0, 1e-7, -1e-10, 1e-3])
@pytest.mark.parametrize("order", ORDERS)
def test_gimbal_lock_round_trips_to_the_same_matrix(order, offset):
    rng = np.random.default_rng(3)
    locks = (0.0, 180.0) if order[0] == order[2] else (90.0, -90.0)
    for lock, intrinsic in itertools.product(locks, (True, False)):
        middle = lock - offset if lock > 0 else lock + offset
        for _ in range(10):
            a, c = rng.uniform(-180, 180, 2)
            R = euler_matrix(order, (a, middle, c), intrinsic)
            T = np.eye(4)
            T[:3, :3] = R
            opts = dict(order=order, intrinsic=intrinsic, degrees=True)
            values = tf.matrix_to_robot_pose(T, "euler", **opts)
            assert abs(values[4] - middle) < 1e-6
            np.testing.assert_allclose(tf.robot_pose_to_matrix(values, "euler", **opts), T, rtol=0, atol=1e-12)


def test_extrinsic_xyz_in_metres_and_degrees_is_the_cores_pose_vector():
    rng = np.random.default_rng(11)
    for _ in range(100):
        pose = [*rng.uniform(-2, 2, 3), *rng.uniform(-179, 179, 3)]
        opts = dict(order="xyz", intrinsic=False, degrees=True)
        np.testing.assert_allclose(tf.robot_pose_to_matrix(pose, "euler", **opts),
                                   core_tf.pose_to_transformation_matrix(pose), atol=1e-13)


def preset_reference(name, v):
    """robot_T_tcp of a preset's values, from the controller's documented formula."""
    T = np.eye(4)
    if name in ("kuka", "fanuc"):
        x, y, z, a, b, c = v
        T[:3, :3] = rot_z(a) @ rot_y(b) @ rot_x(c) if name == "kuka" else rot_z(c) @ rot_y(b) @ rot_x(a)
        T[:3, 3] = np.array([x, y, z]) / 1000
    elif name == "ur":
        T[:3, :3] = cv2.Rodrigues(np.array(v[3:], np.float64))[0]
        T[:3, 3] = v[:3]
    else:
        q = v[3:] if name == "abb" else [v[6], *v[3:6]]
        T[:3, :3] = np.column_stack([quaternion_rotate(q, e) for e in np.eye(3)])
        T[:3, 3] = np.array(v[:3]) / (1000 if name == "abb" else 1)
    return T


def preset_values(name, rng):
    if name in ("kuka", "fanuc"):
        return [*rng.uniform(-1500, 1500, 3), rng.uniform(-179, 179), rng.uniform(-89, 89), rng.uniform(-179, 179)]
    if name == "ur":
        axis = rng.normal(size=3)
        return [*rng.uniform(-1, 1, 3), *(axis / np.linalg.norm(axis) * rng.uniform(0.01, 3.1))]
    q = rng.normal(size=4)
    q = q / np.linalg.norm(q) * (1 if q[0] >= 0 else -1)  # w >= 0, as matrix_to_robot_pose gives it
    return [*rng.uniform(-1500, 1500, 3), *q] if name == "abb" else [*rng.uniform(-1, 1, 3), *q[1:], q[0]]


# rotations a preset's inverse must survive: gimbal lock for Euler angles, half turns for rotation vectors
SPECIAL = {"kuka": [[100, 200, 300, 30, 90, -40], [100, 200, 300, -170, -90, 10]],
           "fanuc": [[0, 0, 0, 30, 90, -40], [5, 5, 5, 179, -90, 180]],
           "ur": [[0.1, 0.2, 0.3, math.pi, 0, 0], [0, 0, 0, 0, -math.pi / math.sqrt(2), math.pi / math.sqrt(2)],
                  [0, 0, 0, 1e-12, 0, 0]],
           "abb": [[1, 2, 3, 0, 1, 0, 0], [1, 2, 3, 0, 0, 0.6, 0.8]],
           "ros": [[1, 2, 3, 0, 0, 0, 1], [1, 2, 3, 0.6, 0.8, 0, 0]]}


@pytest.mark.parametrize("name", ["kuka", "ur", "abb", "fanuc", "ros"])
def test_presets_match_controller_formulas_and_invert_exactly(name):
    rng = np.random.default_rng(len(name))
    for v in [preset_values(name, rng) for _ in range(200)] + SPECIAL[name]:
        T = tf.robot_pose_to_matrix(v, name)
        np.testing.assert_allclose(T, preset_reference(name, v), rtol=0, atol=1e-12)
        back = tf.matrix_to_robot_pose(T, name)
        np.testing.assert_allclose(tf.robot_pose_to_matrix(back, name), T, rtol=0, atol=1e-12)
    for _ in range(200):  # random matrices, and the values of random ones
        M = random_rigid(rng)
        np.testing.assert_allclose(tf.robot_pose_to_matrix(tf.matrix_to_robot_pose(M, name), name), M, atol=1e-12)
        v = preset_values(name, rng)
        np.testing.assert_allclose(tf.matrix_to_robot_pose(tf.robot_pose_to_matrix(v, name), name), v, atol=1e-12)


@pytest.mark.parametrize("call, message", [
    (lambda: tf.robot_pose_to_matrix([1, 2, 3, 4, 5], "kuka"), "expected 6 values (X Y Z A B C), got 5"),
    (lambda: tf.robot_pose_to_matrix([0, 0, 0, 1, 1, 0, 0], "ros"), "has norm 1.41421, not 1"),
    (lambda: tf.robot_pose_to_matrix([0, 0, 0, 0, 0, math.nan], "ur"), "must be finite"),
    (lambda: tf.robot_pose_to_matrix([0] * 6, "kuka", unit="m"), "preset 'kuka' takes no options"),
    (lambda: tf.robot_pose_to_matrix([0] * 6, "euler", order="zyx"), "needs intrinsic=True"),
    (lambda: tf.robot_pose_to_matrix([0] * 6, "euler", order="zzx", intrinsic=True), "needs order="),
    (lambda: tf.robot_pose_to_matrix([0] * 7, "quaternion"), "order='xyzw' or 'wxyz'"),
    (lambda: tf.robot_pose_to_matrix([0] * 6, "staubli"), "unknown pose convention 'staubli'"),
    (lambda: tf.robot_pose_to_matrix([0] * 6, "euler:zyx:sideways"), "unknown part 'sideways'"),
    (lambda: tf.matrix_to_robot_pose(np.diag([1.2, 1, 1, 1]), "ros"), "not a rigid transform"),
    (lambda: tf.matrix_to_robot_pose(np.diag([1, 1, -1, 1]), "ros"), "not a rigid transform"),
    (lambda: tf.matrix_to_robot_pose(np.eye(3), "ros"), "expected a 4x4 matrix"),
])
def test_bad_values_and_conventions_are_refused(call, message):
    with pytest.raises(ValueError) as e:
        call()
    assert message in str(e.value)
