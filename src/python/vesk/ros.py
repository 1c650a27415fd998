"""Files for ROS 2 and robot programs, from a hand-eye or rig result.

- a static transform (geometry_msgs/TransformStamped as YAML, with the `static_transform_publisher`
  command line in a comment): the parent frame maps the child's coordinates, quaternion x y z w;
- a URDF joint for the camera mount (a fixed joint, origin xyz in m and rpy in rad: fixed-axis
  roll about x, pitch about y, yaw about z, R = Rz(yaw) Ry(pitch) Rx(roll));
- camera_info YAML per camera (the format of ROS camera calibration files).

The camera frame is OpenCV's, which is ROS's optical frame: x right, y down, z along the optical
axis; name the child frame accordingly (such as "camera_optical_frame").
"""

from __future__ import annotations

import pathlib
import re

import numpy as np

from .poses import _intrinsic_angles, _rigid, _rot_to_quat

__all__ = ["static_transform_yaml", "urdf_joint", "camera_info_yaml", "write_result_files"]

_NAME = re.compile(r"^[A-Za-z0-9_/.\-]+$")


def _frame(name: str, what: str) -> str:
    if not isinstance(name, str) or not _NAME.match(name):
        raise ValueError(f"{what} {name!r}: use letters, digits and _ / . - only")
    return name


def _num(v: float) -> str:
    return repr(float(v))  # shortest text that reads back to the same double


def _xyz_quat(T):
    T = _rigid(T)
    w, x, y, z = _rot_to_quat(T[:3, :3])
    return [float(c) for c in T[:3, 3]], [x, y, z, w]


def static_transform_yaml(T, parent: str, child: str) -> str:
    """parent_T_child as a TransformStamped in YAML (what `ros2 topic pub /tf_static` takes)."""
    parent, child = _frame(parent, "parent frame"), _frame(child, "child frame")
    t, q = _xyz_quat(T)
    args = " ".join(f"--{k} {_num(v)}" for k, v in zip(("x", "y", "z", "qx", "qy", "qz", "qw"), t + q))
    return (f"# {parent}_T_{child}: maps {child} coordinates into {parent} (m, quaternion x y z w)\n"
            f"# ros2 run tf2_ros static_transform_publisher {args} --frame-id {parent} --child-frame-id {child}\n"
            f"header:\n  frame_id: {parent}\n"
            f"child_frame_id: {child}\n"
            f"transform:\n"
            f"  translation:\n    x: {_num(t[0])}\n    y: {_num(t[1])}\n    z: {_num(t[2])}\n"
            f"  rotation:\n    x: {_num(q[0])}\n    y: {_num(q[1])}\n    z: {_num(q[2])}\n    w: {_num(q[3])}\n")


def _rpy(R: np.ndarray) -> tuple[float, float, float]:
    """URDF roll, pitch, yaw: R = Rz(yaw) Ry(pitch) Rx(roll)."""
    yaw, pitch, roll = _intrinsic_angles(_rot_to_quat(R), "zyx")
    return roll, pitch, yaw


def urdf_joint(T, parent: str, child: str, name: str | None = None) -> str:
    """A fixed URDF joint placing link `child` at parent_T_child."""
    parent, child = _frame(parent, "parent link"), _frame(child, "child link")
    name = _frame(name or f"{child}_joint", "joint name")
    T = _rigid(T)
    xyz = " ".join(_num(v) for v in T[:3, 3])
    rpy = " ".join(_num(v) for v in _rpy(T[:3, :3]))
    return (f"<!-- {parent}_T_{child}: maps {child} coordinates into {parent} -->\n"
            f'<joint name="{name}" type="fixed">\n'
            f'  <parent link="{parent}"/>\n'
            f'  <child link="{child}"/>\n'
            f'  <origin xyz="{xyz}" rpy="{rpy}"/>\n'
            f"</joint>\n")


def camera_info_yaml(K, distortion, image_size, camera_name: str = "camera") -> str:
    """A ROS camera calibration file: K, distortion (plumb_bob for up to 5 coefficients, else
    rational_polynomial with 8), identity rectification, P = [K | 0]. image_size is (width, height)."""
    K = np.asarray(K, np.float64).reshape(3, 3)
    d = [float(v) for v in np.asarray(distortion, np.float64).ravel()]
    if len(d) <= 5:
        model, d = "plumb_bob", d + [0.0] * (5 - len(d))
    elif len(d) <= 8:
        model, d = "rational_polynomial", d + [0.0] * (8 - len(d))
    else:
        raise ValueError(f"camera_info holds up to 8 distortion coefficients (rational_polynomial), not {len(d)}")
    width, height = (int(v) for v in image_size)
    P = np.hstack([K, np.zeros((3, 1))])

    def matrix(name, rows, cols, values):
        return (f"{name}:\n  rows: {rows}\n  cols: {cols}\n"
                f"  data: [{', '.join(_num(v) for v in np.asarray(values).ravel())}]\n")

    return (f"image_width: {width}\nimage_height: {height}\ncamera_name: {_frame(camera_name, 'camera name')}\n"
            + matrix("camera_matrix", 3, 3, K) + f"distortion_model: {model}\n"
            + matrix("distortion_coefficients", 1, len(d), d) + matrix("rectification_matrix", 3, 3, np.eye(3))
            + matrix("projection_matrix", 3, 4, P))


def write_result_files(out, result, parent: str, child: str, image_sizes) -> list[pathlib.Path]:
    """The ROS files of a calibration result into folder `out`; returns the paths written.

    result: an EyeInHandCalibrator or EyeToHandCalibrator result (the transform tcp_T_camera or
    robot_T_camera is parent_T_child, so parent is the flange or base frame and child the camera's), a
    MultiCameraResult (camera c's frame is `{child}_{c}`, placed in the reference camera's frame; parent
    is not used), or an IntrinsicResult (camera_info only). image_sizes: (width, height) per camera.
    """
    out = pathlib.Path(out)
    out.mkdir(parents=True, exist_ok=True)
    written = []

    def put(name, text):
        path = out / name
        path.write_text(text, encoding="utf-8")
        written.append(path)

    if hasattr(result, "reference_T_camera_list"):
        ref = result.reference_index
        frames = [f"{child}_{c}" for c in range(len(result.reference_T_camera_list))]
        root = frames[ref]
        for c, T in enumerate(result.reference_T_camera_list):
            put(f"camera_info_{c}.yaml", camera_info_yaml(result.intrinsic_matrices[c],
                                                          result.distortion_coefficients[c], image_sizes[c],
                                                          frames[c]))
            if frames[c] == root or np.asarray(T).size == 0:
                continue
            put(f"static_transform_{c}.yaml", static_transform_yaml(T, root, frames[c]))
            put(f"urdf_joint_{c}.xml", urdf_joint(T, root, frames[c]))
        return written
    put("camera_info.yaml", camera_info_yaml(result.intrinsic_matrix, result.distortion_coefficients, image_sizes[0],
                                             child))
    T = getattr(result, "tcp_T_camera", None)
    if T is None:
        T = getattr(result, "robot_T_camera", None)
    if T is not None and np.asarray(T).size:
        put("static_transform.yaml", static_transform_yaml(T, parent, child))
        put("urdf_joint.xml", urdf_joint(T, parent, child))
    return written
