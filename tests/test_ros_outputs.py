"""Files for ROS 2: they parse as XML / YAML and give back the transform and the camera."""

import math
import xml.etree.ElementTree as ET

import numpy as np
import pytest

from vesk import _yaml, ros, tf
from vesk_testing.scene import rot_x, rot_y, rot_z

try:
    import yaml as pyyaml
except ImportError:  # the package's own reader still checks the files
    pyyaml = None


def transforms():
    rng = np.random.default_rng(4)
    out = []
    for k in range(30):
        T = np.eye(4)
        # pitch at and next to +-90 deg: URDF's rpy is at gimbal lock there
        pitch = [90.0, -90.0, 89.9999999][k % 3] if k < 6 else rng.uniform(-89, 89)
        T[:3, :3] = rot_z(rng.uniform(-180, 180)) @ rot_y(pitch) @ rot_x(rng.uniform(-180, 180))
        T[:3, 3] = rng.uniform(-2, 2, 3)
        out.append(T)
    return out


def yaml_docs(text):
    docs = [_yaml.loads(text)]
    if pyyaml is not None:
        docs.append(pyyaml.safe_load(text))
    return docs


@pytest.mark.parametrize("T", transforms())
def test_static_transform_and_urdf_joint_give_back_the_transform(T):
    text = ros.static_transform_yaml(T, "tool0", "camera_optical_frame")
    for doc in yaml_docs(text):
        assert doc["header"]["frame_id"] == "tool0" and doc["child_frame_id"] == "camera_optical_frame"
        t, q = doc["transform"]["translation"], doc["transform"]["rotation"]
        back = tf.robot_pose_to_matrix([t["x"], t["y"], t["z"], q["x"], q["y"], q["z"], q["w"]], "ros")
        np.testing.assert_allclose(back, T, rtol=0, atol=1e-9)

    joint = ET.fromstring(ros.urdf_joint(T, "tool0", "camera_optical_frame"))
    assert (joint.tag, joint.get("type")) == ("joint", "fixed")
    assert joint.find("parent").get("link") == "tool0" and joint.find("child").get("link") == "camera_optical_frame"
    origin = joint.find("origin")
    roll, pitch, yaw = map(float, origin.get("rpy").split())
    R = rot_z(math.degrees(yaw)) @ rot_y(math.degrees(pitch)) @ rot_x(math.degrees(roll))  # URDF: fixed axes x, y, z
    np.testing.assert_allclose(R, T[:3, :3], rtol=0, atol=1e-9)
    np.testing.assert_allclose([float(v) for v in origin.get("xyz").split()], T[:3, 3], rtol=0, atol=1e-12)


@pytest.mark.parametrize("dist, model", [
    (np.array([[0.1, -0.2, 1e-3, -2e-3, 0.05]]), "plumb_bob"),
    (np.array([0.1, -0.2, 1e-3, -2e-3]), "plumb_bob"),
    (np.arange(8) * 0.01, "rational_polynomial"),
])
def test_camera_info_gives_back_the_camera(dist, model):
    K = np.array([[1352.027, 0, 789.67], [0, 1356.14, 627.3], [0, 0, 1]])
    text = ros.camera_info_yaml(K, dist, (1600, 1200), "cam_a")
    for doc in yaml_docs(text):
        assert (doc["image_width"], doc["image_height"], doc["camera_name"]) == (1600, 1200, "cam_a")
        assert doc["distortion_model"] == model
        np.testing.assert_array_equal(np.reshape(doc["camera_matrix"]["data"], (3, 3)), K)
        d = doc["distortion_coefficients"]["data"]
        np.testing.assert_array_equal(d[:dist.size], dist.ravel())
        assert not any(d[dist.size:]) and len(d) == doc["distortion_coefficients"]["cols"]
        np.testing.assert_array_equal(np.reshape(doc["projection_matrix"]["data"], (3, 4))[:, :3], K)


@pytest.mark.parametrize("call", [
    lambda: ros.static_transform_yaml(np.eye(4), "tool0", "camera frame"),
    lambda: ros.urdf_joint(np.eye(4), 'a"/><evil', "b"),
    lambda: ros.static_transform_yaml(np.diag([2.0, 1, 1, 1]), "a", "b"),
    lambda: ros.camera_info_yaml(np.eye(3), np.zeros(12), (10, 10)),
])
def test_names_that_would_break_the_files_and_bad_inputs_are_refused(call):
    with pytest.raises(ValueError):
        call()
