"""The hand-eye re-check on rendered cells: verdicts, the part that moved, and what it refuses."""

import cv2
import numpy as np
import pytest

import _vesk
from _vesk import diagnostics, io
from vesk_testing import scene as S
from vesk_testing import scenes

CHI2_99 = {6: 16.812, 12: 26.217}


@pytest.fixture(scope="module")
def cells(tmp_path_factory):
    """Per set-up: the truth, the calibration's result and record, and 3 new views of the unchanged cell."""
    out = {}
    for eye_to_hand in (False, True):
        make = scenes.eye_to_hand_series if eye_to_hand else scenes.hand_eye_series
        s, images, target = make("charuco")
        cls = _vesk.EyeToHandCalibrator if eye_to_hand else _vesk.EyeInHandCalibrator
        folder = tmp_path_factory.mktemp("e2h" if eye_to_hand else "eih")
        r = cls(target).calibrate(s.robot_T_tcp, images, output_path=folder)
        assert r.ok
        if eye_to_hand:
            fresh = S.eye_to_hand_series(s.board, s.camera, 3, seed=77, robot_T_camera=s.robot_T_camera,
                                         tcp_T_target=s.tcp_T_target)
        else:
            fresh = S.hand_eye_series(s.board, s.camera, 3, seed=77, tcp_T_camera=s.tcp_T_camera,
                                      robot_T_target=s.robot_T_target)
        out[eye_to_hand] = (r, folder, target, fresh.robot_T_tcp, fresh.images())
    return out


def load(folder, eye_to_hand):
    return (io.load_eye_to_hand_result if eye_to_hand else io.load_hand_eye_result)(folder)


def moved(T, mm, deg, axis=(0.3, -0.5, 0.8)):
    """T with its rotation turned by deg about the parent's axis and mm added along the same direction."""
    a = np.asarray(axis) / np.linalg.norm(axis)
    out = T.copy()
    out[:3, :3] = cv2.Rodrigues(a * np.radians(deg))[0] @ T[:3, :3]
    out[:3, 3] += a * mm / 1000
    return out


NAMES = {False: ("tcp_T_camera_list", "robot_T_target"), True: ("robot_T_camera", "tcp_T_target")}


@pytest.mark.parametrize("eye_to_hand", [False, True], ids=["eye-in-hand", "eye-to-hand"])
@pytest.mark.parametrize("part, views, verdict, named", [
    (None, 3, "consistent", ""),
    ("camera", 3, "changed", "camera"),
    ("board", 3, "changed", "board"),
    ("camera", 1, "changed", "cannot tell"),  # one view cannot tell the camera's move from the board's
])
def test_verdicts_and_the_part_that_moved(cells, eye_to_hand, part, views, verdict, named):
    r, folder, target, robots, images = cells[eye_to_hand]
    record = load(folder, eye_to_hand)
    transform, fixed = NAMES[eye_to_hand]
    if part == "camera":  # the stored transform off by 3 mm / 0.3 deg: as if the camera had moved
        T = getattr(record, transform)
        setattr(record, transform, [moved(T[0], 3, 0.3)] if isinstance(T, list) else moved(T, 3, 0.3))
    elif part == "board":
        setattr(record, fixed, moved(getattr(record, fixed), 3, 0.3))
    v = diagnostics.verify_hand_eye(record, robots[:views], images[:views], eye_to_hand)
    assert (v.verdict, v.moved) == (verdict, named), v.format()
    assert v.dof == (12 if views > 1 else 6) and v.threshold == pytest.approx(CHI2_99[v.dof], abs=1e-3)
    assert len(v.rms_px) == views and min(v.corners) >= 20
    if part is not None:
        mm, deg = (v.camera_change_mm, v.camera_change_deg) if part == "camera" else (v.board_change_mm,
                                                                                      v.board_change_deg)
        assert mm == pytest.approx(3, rel=0.15) and deg == pytest.approx(0.3, rel=0.15)
        assert max(v.rms_px) > max(v.expected_rms_px)
    text = v.format()
    assert text.startswith("\n" + "=" * 60 + "\n") and v.message in text and "threshold" in text
    assert v.message.endswith("nothing to do.") if verdict == "consistent" else "re-" in v.message



def test_inconclusive_results_and_refusals(cells, tmp_path):
    r, folder, target, robots, images = cells[False]
    record = load(folder, False)
    blank = np.full_like(images[0], 128)
    v = diagnostics.verify_hand_eye(record, robots[:2], [blank, blank])
    assert (v.verdict, v.moved, v.corners, v.dof) == ("inconclusive", "", [0, 0], 0)
    assert "re-capture" in v.message and "board not found" in v.format()
    # a result object gives the same verdict as its file, with the board it was calibrated on
    same = diagnostics.verify_hand_eye(r, robots, images, target=target)
    assert same.statistic == pytest.approx(diagnostics.verify_hand_eye(record, robots, images).statistic, rel=1e-6)
    old = io.HandEyeResultRecord()
    old.num_cameras, old.tcp_T_camera_list = 1, record.tcp_T_camera_list
    small = [cv2.resize(img, (320, 240)) for img in images]
    for call, message in [
        (lambda: diagnostics.verify_hand_eye(old, robots, images, target=target),
         "holds no intrinsic_matrix, robot_T_target"),
        (lambda: diagnostics.verify_hand_eye(record, robots, images, True), "camera on the flange"),
        (lambda: diagnostics.verify_hand_eye(record, robots, small), "is 320x240, the calibration's images 640x480"),
        (lambda: diagnostics.verify_hand_eye(record, robots * 2, images * 2), "give 1 to 5 images, got 6"),
        (lambda: diagnostics.verify_hand_eye(record, robots[:2], images), "3 images but 2 robot poses"),
        (lambda: diagnostics.verify_hand_eye(record, [2 * robots[0]] + robots[1:], images), "not a rigid"),
        (lambda: diagnostics.verify_hand_eye(r, robots, images), "give target="),
    ]:
        with pytest.raises(ValueError, match=message):
            call()
