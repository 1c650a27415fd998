import glob
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import _vesk

MODULE_DOC = ("Compiled C++ core of halberon-vesk: targets, calibration, geometry, quality, io. "
              "Not meant to be imported directly  -  use the halberon.vesk Python package.")


def test_module_docstring():
    assert _vesk.__doc__ == MODULE_DOC


@pytest.mark.parametrize("name, doc", [
    ("tf", "SE(3) pose <-> 4x4 transformation matrix conversions."),
    ("io", "On-disk persistence for calibration datasets and results."),
])
def test_submodules(name, doc):
    sub = getattr(_vesk, name)
    assert sub.__name__ == "_vesk." + name
    assert sub.__doc__ == doc


def test_tf_docstrings_and_signatures():
    docs = {
        "pose_to_transformation_matrix": ("pose_xyzrpy_deg",
                                          "Convert [x, y, z, rx, ry, rz] (degrees, extrinsic xyz Euler) to a 4x4 matrix."),
        "transformation_matrix_to_pose": ("transformation",
                                          "Convert a 4x4 transformation matrix to [x, y, z, rx, ry, rz] (degrees)."),
        "average_pose": ("poses",
                         "Mean SE(3) pose: average translations, project the mean rotation onto SO(3) via SVD."),
    }
    for fn, (arg, doc) in docs.items():
        text = getattr(_vesk.tf, fn).__doc__
        assert text.rstrip().endswith(doc)
        assert f"{fn}({arg}: " in text
        # matrices are shown by their Python type, never as native type names
        assert "cv::" not in text
    assert "numpy.ndarray" in _vesk.tf.average_pose.__doc__


def _other_pythons():
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    found = []
    for minor in ("3.11", "3.13"):
        found += sorted(glob.glob(f"{root}/versions/{minor}.*/bin/python{minor}"))[-1:]
    return found


@pytest.mark.parametrize("python", _other_pythons() or [pytest.param(None, marks=pytest.mark.skip("no other CPython"))])
def test_import_under_other_python_fails_with_version_mismatch(python, tmp_path):
    # every CPython on Linux accepts a bare ".so" suffix, whatever it was built for
    (tmp_path / "_vesk.so").symlink_to(pathlib.Path(_vesk.__file__))
    libs = pathlib.Path(_vesk.__file__).parent / "vesk_core.libs"  # an installed wheel's vendored libraries
    if libs.is_dir():
        (tmp_path / "vesk_core.libs").symlink_to(libs)
    code = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        try:
            import _vesk
        except ImportError as e:
            expected = ("Python version mismatch: module was compiled for Python 3.12, "
                        "but the interpreter version is incompatible: " + sys.version + ".")
            print("OK" if str(e) == expected else "WRONG: " + str(e))
        else:
            print("IMPORTED")
    """)
    out = subprocess.run([python, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "OK", out.stdout + out.stderr


def test_subinterpreter_import_is_refused():
    code = textwrap.dedent("""
        import _xxsubinterpreters as si
        interp = si.create()
        try:
            si.run_string(interp, "import _vesk")
        except Exception as e:
            print("REFUSED", type(e).__name__)
        else:
            print("IMPORTED")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.startswith("REFUSED"), out.stdout + out.stderr


@pytest.mark.parametrize("fn, expected", [
    (_vesk.IntrinsicCalibrator.__init__,
     "target: _vesk.ChessboardTarget | _vesk.CharucoTarget | _vesk.ArucoTarget, "
     "options: _vesk.IntrinsicOptions = IntrinsicOptions()"),
    (_vesk.IntrinsicCalibrator.calibrate, "-> _vesk.IntrinsicResult"),
    (_vesk.IntrinsicCalibrator.find_corners, "-> _vesk.TargetDetections"),
    (_vesk.CharucoTarget.detect_and_annotate, "(self: _vesk.CharucoTarget, image: numpy.ndarray) -> tuple[numpy.ndarray, int]"),
])
def test_signatures_name_python_classes(fn, expected):
    assert expected in fn.__doc__
    assert "vesk::" not in fn.__doc__ and "cv::" not in fn.__doc__


def test_registration_order_of_module_attributes():
    names = [n for n in _vesk.__dict__ if not n.startswith("__")]
    expected = ["tf", "aruco_dictionary_id_map", "aruco_dictionary_id_from_name", "ChessboardTarget",
                "CharucoTarget", "ArucoTarget", "TERM_CRITERIA_COUNT", "TERM_CRITERIA_MAX_ITER",
                "TERM_CRITERIA_EPS", "TermCriteria", "IntrinsicOptions", "TargetDetections", "IntrinsicResult",
                "IntrinsicCalibrator", "io"]
    assert [n for n in names if n in expected] == expected


def test_blas_runs_on_the_callers_thread():
    # A threaded OpenBLAS wakes (and spins) worker threads for the solvers' small products.
    import ctypes
    # the OpenBLAS the module itself loaded: the system's, or a wheel's vendored copy (not cv2's own)
    with open("/proc/self/maps") as maps:
        loaded = {pathlib.Path(line.split()[-1]) for line in maps if "libopenblas" in line}
    paths = sorted(p for p in loaded if not p.parent.name.endswith(".libs") or p.parent.name == "vesk_core.libs")
    if not paths:
        pytest.skip("the module does not link OpenBLAS")
    for path in paths:
        assert ctypes.CDLL(path).openblas_get_num_threads() == 1, path
