"""Robot pose conventions: a controller's pose values <-> a 4x4 robot_T_tcp in metres.

A convention says how a controller writes a flange pose: translation unit, then the rotation as a
quaternion (component order), a rotation vector, or Euler angles (axis order, intrinsic or
extrinsic, degrees or radians). Every conversion has its exact inverse; rotations go through a unit
quaternion, from which Euler angles are taken by half-angle sums and differences, so that the angles
stay accurate up to and at gimbal lock.
"""

from __future__ import annotations

import dataclasses
import math

import numpy as np

__all__ = ["Convention", "PRESETS", "convention", "robot_pose_to_matrix", "matrix_to_robot_pose"]

_AXES = "xyz"
_TAIT_BRYAN = ("xyz", "xzy", "yxz", "yzx", "zxy", "zyx")
_PROPER = ("xyx", "xzx", "yxy", "yzy", "zxz", "zyz")
EULER_ORDERS = _TAIT_BRYAN + _PROPER
_UNITS = {"m": 1.0, "mm": 1e-3}
# Same tolerance as the core's rigid-transform check: printed values are off by far less.
_UNIT_TOLERANCE = 1e-3


@dataclasses.dataclass(frozen=True)
class Convention:
    """How one robot pose is written: translation x y z, then the rotation.

    rotation: "quaternion" (order "xyzw" or "wxyz"), "rotation_vector", or "euler" (order: three axes
    such as "zyx" or "zyz"; intrinsic: rotating axes, R = R1(a1) R2(a2) R3(a3); extrinsic: fixed axes,
    R = R3(a3) R2(a2) R1(a1)).
    """

    rotation: str
    unit: str = "m"
    order: str = ""
    intrinsic: bool = False
    degrees: bool = False
    name: str = ""

    @property
    def size(self) -> int:
        return 7 if self.rotation == "quaternion" else 6

    @property
    def fields(self) -> tuple[str, ...]:
        """Column names in value order (CSV headers and YAML keys, case-insensitive)."""
        named = {"kuka": ("a", "b", "c"), "fanuc": ("w", "p", "r")}
        if self.name in named:
            rot = named[self.name]
        elif self.rotation == "quaternion":
            rot = tuple("q" + a for a in self.order)
        elif self.rotation == "rotation_vector":
            rot = ("rx", "ry", "rz")
        elif self.order in _TAIT_BRYAN:
            rot = tuple("r" + a for a in self.order)
        else:
            rot = ("e1", "e2", "e3")
        return ("x", "y", "z") + rot

    def describe(self) -> str:
        unit = f"x y z in {self.unit}"
        if self.rotation == "quaternion":
            rot = f"unit quaternion {' '.join(self.order)}"
        elif self.rotation == "rotation_vector":
            rot = f"rotation vector in {'deg' if self.degrees else 'rad'}"
        else:
            kind = "intrinsic" if self.intrinsic else "extrinsic"
            rot = f"{kind} {self.order} Euler angles in {'deg' if self.degrees else 'rad'}"
        return f"{unit}, then {rot}"


PRESETS: dict[str, Convention] = {
    # X Y Z mm, A B C deg: R = Rz(A) Ry(B) Rx(C)
    "kuka": Convention("euler", "mm", "zyx", intrinsic=True, degrees=True, name="kuka"),
    # x y z m, rotation vector rad
    "ur": Convention("rotation_vector", "m", name="ur"),
    # x y z mm, quaternion w x y z
    "abb": Convention("quaternion", "mm", "wxyz", name="abb"),
    # X Y Z mm, W P R deg: R = Rz(R) Ry(P) Rx(W)
    "fanuc": Convention("euler", "mm", "xyz", intrinsic=False, degrees=True, name="fanuc"),
    # x y z m, quaternion x y z w (geometry_msgs/Pose)
    "ros": Convention("quaternion", "m", "xyzw", name="ros"),
}


def convention(name, **options) -> Convention:
    """The Convention for a preset name, a generic name with keyword options, or a colon string.

    Presets: "kuka", "ur", "abb", "fanuc", "ros" (they take no options). Generic: "quaternion"
    (order="xyzw" | "wxyz"), "rotation_vector" (degrees=False), "euler" (order="zyx" or any of the
    12 orders, intrinsic=True | False, both required; degrees=True); each with unit="m" | "mm".
    Colon string, the same in one string: "euler:zyx:intrinsic:deg:mm", "quaternion:wxyz:mm",
    "rotation_vector:rad:m".
    """
    if isinstance(name, Convention):
        if options:
            raise ValueError("a Convention takes no further options")
        return name
    if not isinstance(name, str):
        raise TypeError(f"convention must be a name, got {type(name).__name__}")
    key = name.strip().lower()
    if ":" in key:
        if options:
            raise ValueError(f"convention {name!r} already says everything; give no keyword options with it")
        return _parse_colon(key)
    if key in PRESETS:
        if options:
            raise ValueError(f"preset {key!r} takes no options ({', '.join(sorted(options))} given); "
                             f"use a generic convention ('quaternion', 'rotation_vector', 'euler') for another form")
        return PRESETS[key]
    unknown = set(options) - {"order", "intrinsic", "degrees", "unit"}
    if unknown:
        raise TypeError(f"unknown convention options: {', '.join(sorted(unknown))}")
    unit = options.get("unit", "m")
    if unit not in _UNITS:
        raise ValueError(f"unit must be 'm' or 'mm', not {unit!r}")
    if key == "quaternion":
        order = options.get("order")
        if order not in ("xyzw", "wxyz"):
            raise ValueError(f"a quaternion convention needs order='xyzw' or 'wxyz' (got {order!r})")
        if "intrinsic" in options or "degrees" in options:
            raise ValueError("a quaternion convention takes only order and unit")
        return Convention("quaternion", unit, order)
    if key == "rotation_vector":
        if "order" in options or "intrinsic" in options:
            raise ValueError("a rotation_vector convention takes only degrees and unit")
        return Convention("rotation_vector", unit, degrees=bool(options.get("degrees", False)))
    if key == "euler":
        order = str(options.get("order", "")).lower()
        if order not in EULER_ORDERS:
            raise ValueError(f"an euler convention needs order= one of {', '.join(EULER_ORDERS)} (got {order!r})")
        if "intrinsic" not in options:
            raise ValueError("an euler convention needs intrinsic=True (rotating axes, R = R1 R2 R3) "
                             "or intrinsic=False (fixed axes, R = R3 R2 R1)")
        return Convention("euler", unit, order, intrinsic=bool(options["intrinsic"]),
                          degrees=bool(options.get("degrees", True)))
    raise ValueError(f"unknown pose convention {name!r}: use one of {', '.join(PRESETS)}, "
                     "or 'quaternion', 'rotation_vector', 'euler' with options")


def _parse_colon(text: str) -> Convention:
    kind, *tokens = text.split(":")
    options: dict = {}
    for t in tokens:
        if t in _UNITS:
            options["unit"] = t
        elif t in ("deg", "degrees"):
            options["degrees"] = True
        elif t in ("rad", "radians"):
            options["degrees"] = False
        elif t in ("intrinsic", "extrinsic"):
            options["intrinsic"] = t == "intrinsic"
        elif t in EULER_ORDERS or t in ("xyzw", "wxyz"):
            options["order"] = t
        else:
            raise ValueError(f"convention {text!r}: unknown part {t!r} (expected m, mm, deg, rad, intrinsic, "
                             "extrinsic, an axis order or a quaternion order)")
    if kind in PRESETS:
        raise ValueError(f"preset {kind!r} takes no options")
    return convention(kind, **options)


# ---- rotations ------------------------------------------------------------------------------------

def _quat_to_rot(w: float, x: float, y: float, z: float) -> np.ndarray:
    return np.array([
        [1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
        [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
        [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)]])


def _rot_to_quat(R: np.ndarray) -> tuple[float, float, float, float]:
    """Unit quaternion (w, x, y, z) with w >= 0, from the largest of the four diagonal combinations."""
    m = [[float(v) for v in row] for row in R]
    t = m[0][0] + m[1][1] + m[2][2]
    cands = [t, m[0][0] - m[1][1] - m[2][2], m[1][1] - m[0][0] - m[2][2], m[2][2] - m[0][0] - m[1][1]]
    k = max(range(4), key=lambda i: cands[i])
    s = math.sqrt(1.0 + cands[k]) * 2.0  # 4 * the chosen component
    if k == 0:
        q = (s / 4, (m[2][1] - m[1][2]) / s, (m[0][2] - m[2][0]) / s, (m[1][0] - m[0][1]) / s)
    elif k == 1:
        q = ((m[2][1] - m[1][2]) / s, s / 4, (m[0][1] + m[1][0]) / s, (m[0][2] + m[2][0]) / s)
    elif k == 2:
        q = ((m[0][2] - m[2][0]) / s, (m[0][1] + m[1][0]) / s, s / 4, (m[1][2] + m[2][1]) / s)
    else:
        q = ((m[1][0] - m[0][1]) / s, (m[0][2] + m[2][0]) / s, (m[1][2] + m[2][1]) / s, s / 4)
    n = math.sqrt(sum(c * c for c in q))
    if q[0] < 0:
        n = -n
    return tuple(c / n for c in q)


def _axis_rot(axis: str, angle: float) -> np.ndarray:
    c, s = math.cos(angle), math.sin(angle)
    if axis == "x":
        return np.array([[1.0, 0, 0], [0, c, -s], [0, s, c]])
    if axis == "y":
        return np.array([[c, 0, s], [0, 1.0, 0], [-s, 0, c]])
    return np.array([[c, -s, 0], [s, c, 0], [0, 0, 1.0]])


def _wrap(a: float) -> float:
    w = math.remainder(a, 2 * math.pi)
    return math.pi if w == -math.pi else w


def _intrinsic_angles(q: tuple[float, float, float, float], order: str) -> tuple[float, float, float]:
    """Angles (a1, a2, a3) with R = R_order[0](a1) R_order[1](a2) R_order[2](a3).

    The quaternion is expressed in the right-handed basis (e1, e2, s e3) of the order's axes (s = -1
    for an anticyclic order), where every Tait-Bryan order reads as x-y-z and every proper order as
    x-y-x. There the sum and difference of the outer angles are half-angle atan2s of well-scaled
    components, and the middle angle comes from their magnitudes: no step divides by cos(a2).
    """
    w, v = q[0], dict(zip(_AXES, q[1:]))
    i, j = order[0], order[1]
    k = next(a for a in _AXES if a not in (i, j))
    s = 1.0 if (_AXES.index(j) - _AXES.index(i)) % 3 == 1 else -1.0
    x, y, z = v[i], v[j], s * v[k]
    if order[2] == order[0]:  # proper: w = c2 cos(p), x = c2 sin(p), y = s2 cos(m), z = s2 sin(m)
        plus, minus = 2 * math.atan2(x, w), 2 * math.atan2(z, y)
        middle = 2 * math.atan2(math.hypot(y, z), math.hypot(w, x))
        a1, a3 = (plus + minus) / 2, (plus - minus) / 2
    else:  # Tait-Bryan, with e3 -> s e3 the last angle changes sign
        plus, minus = 2 * math.atan2(x + z, w + y), 2 * math.atan2(x - z, w - y)
        middle = 2 * math.atan2(math.hypot(w + y, x + z), math.hypot(w - y, x - z)) - math.pi / 2
        a1, a3 = (plus + minus) / 2, s * (plus - minus) / 2
    return _wrap(a1), middle, _wrap(a3)


def _rotation_from(values, conv: Convention) -> np.ndarray:
    if conv.rotation == "quaternion":
        q = dict(zip(conv.order, values))
        n = math.sqrt(sum(c * c for c in values))
        if abs(n - 1.0) > _UNIT_TOLERANCE:
            raise ValueError(f"quaternion {' '.join(conv.order)} = {list(values)} has norm {n:.6g}, not 1 "
                             f"(is the component order {conv.order}?)")
        return _quat_to_rot(q["w"] / n, q["x"] / n, q["y"] / n, q["z"] / n)
    scale = math.pi / 180 if conv.degrees else 1.0
    if conv.rotation == "rotation_vector":
        r = [v * scale for v in values]
        theta = math.sqrt(sum(c * c for c in r))
        # sin(t/2)/t, by its series where the quotient loses digits
        f = 0.5 - theta * theta / 48 if theta < 1e-4 else math.sin(theta / 2) / theta
        return _quat_to_rot(math.cos(theta / 2), f * r[0], f * r[1], f * r[2])
    angles = [v * scale for v in values]
    axes = conv.order if conv.intrinsic else conv.order[::-1]
    if not conv.intrinsic:
        angles = angles[::-1]
    return _axis_rot(axes[0], angles[0]) @ _axis_rot(axes[1], angles[1]) @ _axis_rot(axes[2], angles[2])


def _rotation_to(R: np.ndarray, conv: Convention) -> list[float]:
    w, x, y, z = _rot_to_quat(R)
    if conv.rotation == "quaternion":
        q = {"w": w, "x": x, "y": y, "z": z}
        return [q[c] for c in conv.order]
    scale = 180 / math.pi if conv.degrees else 1.0
    if conv.rotation == "rotation_vector":
        n = math.sqrt(x * x + y * y + z * z)
        f = 2 / w if n < 1e-8 else 2 * math.atan2(n, w) / n  # theta / sin(theta/2), w >= 0
        return [f * x * scale, f * y * scale, f * z * scale]
    if conv.intrinsic:
        angles = _intrinsic_angles((w, x, y, z), conv.order)
    else:
        angles = _intrinsic_angles((w, x, y, z), conv.order[::-1])[::-1]
    return [a * scale for a in angles]


# ---- public --------------------------------------------------------------------------------------

def _rigid(matrix) -> np.ndarray:
    T = np.asarray(matrix, dtype=np.float64)
    if T.shape != (4, 4):
        raise ValueError(f"expected a 4x4 matrix, got shape {T.shape}")
    if not np.all(np.isfinite(T)):
        raise ValueError("the matrix holds NaN or infinity")
    R = T[:3, :3]
    if (np.any(T[3] != [0, 0, 0, 1]) or np.max(np.abs(R.T @ R - np.eye(3))) > _UNIT_TOLERANCE
            or np.linalg.det(R) <= 0):
        raise ValueError("not a rigid transform: the bottom row must be 0 0 0 1 and the rotation block "
                         "orthonormal (max |R^T R - I| <= 1e-3) with determinant +1")
    return T


def robot_pose_to_matrix(values, convention_name, **options) -> np.ndarray:
    """The 4x4 robot_T_tcp (metres) of one pose written in a convention.

    `convention_name` is a preset ("kuka", "ur", "abb", "fanuc", "ros"), a generic name with keyword
    options ("quaternion", order=...; "rotation_vector", degrees=...; "euler", order=..., intrinsic=...,
    degrees=...; each with unit="m" | "mm"), a colon string or a Convention.
    """
    conv = convention(convention_name, **options)
    try:
        v = [float(c) for c in values]
    except (TypeError, ValueError):
        raise ValueError(f"pose values must be numbers, got {values!r}") from None
    if len(v) != conv.size:
        raise ValueError(f"expected {conv.size} values ({' '.join(f.upper() for f in conv.fields)}), got {len(v)}")
    if not all(math.isfinite(c) for c in v):
        raise ValueError(f"pose values must be finite, got {v}")
    T = np.eye(4)
    T[:3, :3] = _rotation_from(v[3:], conv)
    T[:3, 3] = [c * _UNITS[conv.unit] for c in v[:3]]
    return T


def matrix_to_robot_pose(matrix, convention_name, **options) -> list[float]:
    """The values of a 4x4 robot_T_tcp (metres) in a convention: the exact inverse of
    robot_pose_to_matrix. Quaternions come with w >= 0, rotation vectors with an angle in [0, pi],
    Euler angles with the middle one in [-90, 90] deg (Tait-Bryan) or [0, 180] deg (proper) and the
    outer ones in (-180, 180]; at gimbal lock the first and last share the rotation equally."""
    conv = convention(convention_name, **options)
    T = _rigid(matrix)
    unit = _UNITS[conv.unit]
    return [float(c) / unit for c in T[:3, 3]] + _rotation_to(T[:3, :3], conv)
