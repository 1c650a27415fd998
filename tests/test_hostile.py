"""Hostile input: each reproducer runs in a child process and must end in a clean Python exception."""

import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import cv2, numpy as np, _vesk
img = np.zeros((48, 64, 3), np.uint8)
grid = cv2.aruco.GridBoard((5, 4), 0.04, 0.01, cv2.aruco.getPredefinedDictionary(3))
markers = cv2.cvtColor(grid.generateImage((640, 520), None, 20, 1), cv2.COLOR_GRAY2BGR)
"""

CRASHES = {
    "chessboard_points_overflow": ("_vesk.ChessboardTarget((65536, 65537), 0.01).object_points()", "RuntimeError"),
    "chessboard_find_corners_overflow": (
        "_vesk.IntrinsicCalibrator(_vesk.ChessboardTarget((65536, 65537), 0.01)).find_corners([])", "RuntimeError"),
    "chessboard_calibrate_overflow": (
        "_vesk.IntrinsicCalibrator(_vesk.ChessboardTarget((65536, 65537), 0.01)).calibrate([img])", "RuntimeError"),
    "chessboard_negative_side": ("_vesk.ChessboardTarget((-3, 2), 0.01).object_points()", "RuntimeError"),
    "aruco_negative_sides": (
        "_vesk.CalibrationBenchmark().hand_eye_roundtrip([markers], [np.eye(4)], np.eye(4), np.eye(3), np.zeros(5),"
        " _vesk.ArucoTarget((-2, -2), 0.04, 0.01), [np.eye(4)])", "RuntimeError"),
    "aruco_negative_find_corners": (
        "_vesk.IntrinsicCalibrator(_vesk.ArucoTarget((-2, -2), 0.04, 0.01)).find_corners([markers])", "RuntimeError"),
    "charuco_negative_squares": ("_vesk.CharucoTarget(-7, -5, 0.04, 0.03).detect_and_annotate(img)", "RuntimeError"),
    "uninitialised_multi_camera": (
        "_vesk.MultiCameraCalibrator.__new__(_vesk.MultiCameraCalibrator).format_results()", "TypeError"),
    "uninitialised_target": ("_vesk.ChessboardTarget.__new__(_vesk.ChessboardTarget).size", "TypeError"),
    "uninitialised_options": ("_vesk.IntrinsicOptions.__new__(_vesk.IntrinsicOptions).criteria", "TypeError"),
    "uninitialised_calibrator": (
        "_vesk.IntrinsicCalibrator.__new__(_vesk.IntrinsicCalibrator).calibrate([img])", "TypeError"),
    "uninitialised_as_argument": (
        "_vesk.IntrinsicCalibrator(_vesk.ChessboardTarget.__new__(_vesk.ChessboardTarget))", "TypeError"),
}


def run_child(code):
    script = PRELUDE + textwrap.dedent(f"""
    try:
        {code}
    except Exception as e:
        print("RAISED", type(e).__name__, e)
    else:
        print("RETURNED")
    """)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("name", sorted(CRASHES))
def test_reproducer_raises_cleanly(name):
    code, exc = CRASHES[name]
    proc = run_child(code)
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-2000:])
    assert proc.stdout.startswith(f"RAISED {exc} "), proc.stdout


def test_every_bound_class_refuses_use_before_init():
    import inspect

    import _vesk
    classes = [c for mod in (_vesk, _vesk.io, _vesk.diagnostics) for _, c in inspect.getmembers(mod, inspect.isclass)
               if c.__module__.startswith("_vesk")]
    assert len(classes) >= 20
    for cls in classes:
        obj = cls.__new__(cls)
        for name in [n for n, v in vars(cls).items() if isinstance(v, property)]:
            with pytest.raises(TypeError, match="not initialised"):
                getattr(obj, name)
        if hasattr(cls, "format_results") and not isinstance(vars(cls)["format_results"], staticmethod):
            with pytest.raises(TypeError, match="not initialised"):
                obj.format_results()
