"""
SE(3) pose <-> 4x4 transformation matrix conversions.
"""
from __future__ import annotations
import collections.abc
import numpy
import typing
__all__: list[str] = ['average_pose', 'pose_to_transformation_matrix', 'transformation_matrix_to_pose']
def average_pose(poses: collections.abc.Sequence[numpy.ndarray]) -> numpy.ndarray:
    """
    Mean SE(3) pose: average translations, project the mean rotation onto SO(3) via SVD.
    """
def pose_to_transformation_matrix(pose_xyzrpy_deg: collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]) -> numpy.ndarray:
    """
    Convert [x, y, z, rx, ry, rz] (degrees, extrinsic xyz Euler) to a 4x4 matrix.
    """
def transformation_matrix_to_pose(transformation: numpy.ndarray) -> list[float]:
    """
    Convert a 4x4 transformation matrix to [x, y, z, rx, ry, rz] (degrees).
    """
