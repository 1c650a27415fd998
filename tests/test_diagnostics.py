import numpy as np
import pytest

import _vesk
from _vesk import diagnostics as dg
from vesk_testing import scene as S
from vesk_testing.scenes import METHODS

HEADER = "=" * 60 + "\nROTATION VARIETY OF CAPTURED CAMERA POSES\n" + "=" * 60 + "\n"


def chain(rotations, start=None):
    poses = [np.eye(4) if start is None else start]
    for R in rotations:
        poses.append(poses[-1] @ S.make_T(R, [0.01, 0.0, 0.0]))
    return poses


def test_three_axes_are_healthy():
    stats = dg.analyze_rotation_variety(chain([S.rot_x(10), S.rot_y(10), S.rot_z(10)]))
    assert stats.num_motions == 3 and stats.axis_span_ratio == pytest.approx(1.0)
    assert stats.angle_mean_deg == pytest.approx(10.0) and stats.angle_max_deg == pytest.approx(10.0)
    sv = np.radians(10.0)
    assert stats.singular_values == pytest.approx([sv, sv, sv])
    assert dg.format_rotation_variety(stats) == HEADER + (
        "  Inter-frame motions analyzed: 3\n"
        "  Mean inter-frame rotation:    10.00 deg\n"
        "  Max  inter-frame rotation:    10.00 deg\n"
        "  Singular values of rvecs:     [0.175, 0.175, 0.175]\n"
        "  Axis-spread ratio (sv_min/sv_max): 1.000\n"
        "  >>> Rotation variety is healthy.\n")


def test_one_axis_is_poor_and_small_motions_are_dropped():
    stats = dg.analyze_rotation_variety(chain([S.rot_z(a) for a in (5, 8, 12, 3)]))
    assert stats.axis_span_ratio == pytest.approx(0.0, abs=1e-12)
    assert stats.singular_values[1] == pytest.approx(0.0, abs=1e-12)
    assert dg.format_rotation_variety(stats).endswith(
        "  >>> POOR rotation variety  -  motions cluster in a plane.\n"
        "  >>> Hand-eye is poorly observable in one axis; expect bias.\n")
    # repeats and motions at the threshold are not motions
    poses = chain([S.rot_x(10), np.eye(3), S.rot_y(10), S.rot_z(2.0), S.rot_z(10)])
    assert dg.analyze_rotation_variety(poses, 2.0).num_motions == 3
    assert dg.analyze_rotation_variety(poses, 1.999).num_motions == 4
    assert dg.analyze_rotation_variety(poses[:3]) is None
    assert dg.analyze_rotation_variety([]) is None
    assert dg.format_rotation_variety(None) == HEADER + "  Not enough motions to analyze.\n"


def test_single_axis_capture_gets_the_poor_verdict(series):
    s, images, target = series("charuco", single_axis=True)
    assert "POOR rotation variety" in dg.format_rotation_variety(dg.analyze_rotation_variety(s.camera_T_target))


def test_methods_agree_on_good_data(capfd, series):
    s, images, target = series("charuco")
    results = dg.compare_hand_eye_methods(target, s.robot_T_tcp, images, [], s.camera.K, s.camera.dist)
    assert list(results) == sorted(METHODS)
    for name, r in results.items():
        assert r.method_name == name and S.pose_error(r.tcp_T_camera, s.tcp_T_camera)[0] < 1e-3
        assert r.pose_deg == pytest.approx(_vesk.tf.transformation_matrix_to_pose(r.tcp_T_camera))
    text = dg.format_method_comparison(results)
    lines = text.splitlines()
    assert lines[3] == "  Method         x (m)   y (m)   z (m)     rx     ry     rz"
    assert lines[4] == "  " + "-" * 58
    p = results["ANDREFF"].pose_deg
    assert lines[5] == "  ANDREFF     " + "".join(f"{v:8.4f}" for v in p[:3]) + "".join(f"{v:7.2f}" for v in p[3:])
    assert "  >>> All 5 methods agree to within ~1.50 deg of median (" in text
    assert text.endswith("      kinematics or detection), not the solver.\n")


def test_every_method_failing(capfd, series):
    s, images, target = series("chessboard")
    results = dg.compare_hand_eye_methods(target, s.robot_T_tcp, images, [], s.camera.K, s.camera.dist)
    assert results == {m: None for m in METHODS}
    assert ("[vesk][WARNING] [diag] method ANDREFF failed: EyeInHandCalibrator::computeCameraTTargetList only "
            "supports CharucoTarget") in capfd.readouterr().err
    text = dg.format_method_comparison(results)
    assert text.splitlines()[5:] == [f"  {m:<12}(failed)" for m in sorted(METHODS)]
