"""Transforms: everything in the core's `_vesk.tf`, and robot pose conventions (see vesk.poses)."""

from __future__ import annotations

import _vesk

from .poses import EULER_ORDERS, PRESETS, Convention, convention, matrix_to_robot_pose, robot_pose_to_matrix

__all__ = ["EULER_ORDERS", "PRESETS", "Convention", "convention", "matrix_to_robot_pose", "robot_pose_to_matrix"]


def __getattr__(name):  # pose_to_transformation_matrix, average_pose, ... from the core
    return getattr(_vesk.tf, name)


def __dir__():
    return sorted(set(globals()) | set(dir(_vesk.tf)))
