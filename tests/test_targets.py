import cv2
import numpy as np
import pytest

import _vesk
from vesk_testing import scene as S

NAMES = {
    "DICT_4X4_50": 0, "DICT_4X4_100": 1, "DICT_4X4_250": 2, "DICT_4X4_1000": 3,
    "DICT_5X5_50": 4, "DICT_5X5_100": 5, "DICT_5X5_250": 6, "DICT_5X5_1000": 7,
    "DICT_6X6_50": 8, "DICT_6X6_100": 9, "DICT_6X6_250": 10, "DICT_6X6_1000": 11,
    "DICT_7X7_50": 12, "DICT_7X7_100": 13, "DICT_7X7_250": 14, "DICT_7X7_1000": 15,
    "DICT_ARUCO_ORIGINAL": 16, "DICT_APRILTAG_16H5": 17, "DICT_APRILTAG_25H9": 18,
    "DICT_APRILTAG_36H10": 19, "DICT_APRILTAG_36H11": 20, "DICT_ARUCO_MIP_36H12": 21,
}


def test_dictionary_map_is_the_full_table_in_name_order():
    table = _vesk.aruco_dictionary_id_map()
    assert table == NAMES
    assert list(table) == sorted(NAMES)
    table["DICT_4X4_50"] = 99  # a copy
    assert _vesk.aruco_dictionary_id_map()["DICT_4X4_50"] == 0


@pytest.mark.parametrize("name", ["DICT_APRILTAG_36h11", "dict_4x4_50", "DICT_4X4_50 ", ""])
def test_unknown_dictionary_names(name):
    with pytest.raises(ValueError) as e:
        _vesk.aruco_dictionary_id_from_name(name)
    assert str(e.value) == f"Unknown aruco_dict_id '{name}'"
    with pytest.raises(ValueError, match="Unknown aruco_dict_id"):
        _vesk.CharucoTarget(7, 5, 0.04, 0.03, name)
    with pytest.raises(ValueError, match="Unknown aruco_dict_id"):
        _vesk.ArucoTarget((5, 7), 0.04, 0.01, name)


@pytest.mark.parametrize("target, text", [
    (_vesk.ChessboardTarget([9, 6], 0.025), "ChessboardTarget(size=(9, 6), square_size=0.025000)"),
    (_vesk.CharucoTarget(7, 5, 0.04, 0.03, "DICT_5X5_100"),
     "CharucoTarget(squares_x=7, squares_y=5, square_length=0.040000, marker_length=0.030000, aruco_dict_id=5)"),
    (_vesk.CharucoTarget(7, 5, 0.04, 0.03),
     "CharucoTarget(squares_x=7, squares_y=5, square_length=0.040000, marker_length=0.030000, aruco_dict_id=3)"),
    (_vesk.ArucoTarget((5, 7), 0.04, 0.01, 2),
     "ArucoTarget(board_size=(5, 7), marker_length=0.040000, marker_separation=0.010000, aruco_dict_id=2)"),
    (_vesk.ArucoTarget((5, 7), 0.04, 0.01),
     "ArucoTarget(board_size=(5, 7), marker_length=0.040000, marker_separation=0.010000, aruco_dict_id=3)"),
])
def test_repr(target, text):
    assert repr(target) == text


def test_properties_are_read_write():
    t = _vesk.ChessboardTarget((9, 6), 0.025)
    assert t.size == (9, 6)
    t.square_size = 0.03
    t.size = [4, 3]
    assert repr(t) == "ChessboardTarget(size=(4, 3), square_size=0.030000)"
    c = _vesk.CharucoTarget(7, 5, 0.04, 0.03)
    c.aruco_dict_id = 10
    c.squares_x = 8
    assert (c.squares_x, c.aruco_dict_id) == (8, 10)
    a = _vesk.ArucoTarget((5, 7), 0.04, 0.01)
    a.board_size = (2, 3)
    a.marker_separation = 0.5
    assert a.board_size == (2, 3) and a.marker_separation == 0.5


def test_chessboard_object_points():
    pts = _vesk.ChessboardTarget((3, 2), 0.5).object_points()
    assert pts.dtype == np.float32 and pts.shape == (6, 3)
    np.testing.assert_array_equal(pts, [[0, 0, 0], [0.5, 0, 0], [1, 0, 0], [0, 0.5, 0], [0.5, 0.5, 0], [1, 0.5, 0]])
    assert _vesk.ChessboardTarget((0, 6), 0.5).object_points().size == 0


@pytest.mark.parametrize("make", [
    lambda: _vesk.ChessboardTarget("ab", 0.1),
    lambda: _vesk.ChessboardTarget((1, 2, 3), 0.1),
    lambda: _vesk.ChessboardTarget((9, 6), "x"),
    lambda: _vesk.CharucoTarget(7.5, 5, 0.04, 0.03),
    lambda: _vesk.CharucoTarget(7, 5, 0.04, 0.03, None),
    lambda: _vesk.ArucoTarget(5, 0.04, 0.01),
])
def test_wrong_argument_types(make):
    with pytest.raises(TypeError):
        make()


# --- detect_and_annotate ------------------------------------------------------


@pytest.fixture(scope="module")
def charuco_view():
    cam = S.make_camera()
    board = S.charuco(7, 5, 0.04, 0.03)
    T = S.view_poses(board, cam, 1, seed=21)[0]
    return board, cam, T, S.render(board, cam, T)


def test_full_board_gives_all_inner_corners(charuco_view):
    board, _, _, img = charuco_view
    target = _vesk.CharucoTarget(*board.target_args())
    annotated, count = target.detect_and_annotate(img)
    assert count == 24
    assert annotated.shape == img.shape and annotated.dtype == np.uint8
    changed = np.any(annotated != img, axis=2)
    blue = (annotated[..., 0] == 255) & (annotated[..., 1] == 0) & (annotated[..., 2] == 0)
    green = (annotated[..., 0] == 0) & (annotated[..., 1] == 255) & (annotated[..., 2] == 0)
    assert blue.sum() > 100 and green.sum() > 100 and changed.any()
    np.testing.assert_array_equal(img, charuco_view[3])  # the input is never drawn on


def test_no_board_returns_an_unchanged_copy():
    blank = np.full((480, 640, 3), 200, np.uint8)
    annotated, count = _vesk.CharucoTarget(7, 5, 0.04, 0.03).detect_and_annotate(blank)
    assert count == 0
    assert annotated.dtype == np.uint8 and annotated.shape == (480, 640, 3)
    np.testing.assert_array_equal(annotated, blank)
    assert not np.shares_memory(annotated, blank)


def test_markers_without_corners_are_outlined(charuco_view):
    board, cam, T, img = charuco_view
    # keep a single marker of the board: not enough to interpolate any corner
    d = cv2.aruco.getPredefinedDictionary(3)
    canvas = np.full((480, 640), 255, np.uint8)
    canvas[200:290, 300:390] = cv2.aruco.generateImageMarker(d, 0, 90, borderBits=1)
    annotated, count = _vesk.CharucoTarget(7, 5, 0.04, 0.03).detect_and_annotate(cv2.cvtColor(canvas, cv2.COLOR_GRAY2BGR))
    assert count == 0
    green = (annotated[..., 0] == 0) & (annotated[..., 1] == 255) & (annotated[..., 2] == 0)
    assert green.sum() > 50


def test_bgra_is_accepted_and_keeps_its_alpha(charuco_view):
    img = charuco_view[3]
    bgra = cv2.cvtColor(img, cv2.COLOR_BGR2BGRA)
    bgra[..., 3] = 77
    annotated, count = _vesk.CharucoTarget(*charuco_view[0].target_args()).detect_and_annotate(bgra)
    assert count == 24 and annotated.shape == bgra.shape
    assert np.all(annotated[..., 3] == 77)


@pytest.mark.parametrize("image, error, message", [
    (np.zeros((480, 640), np.uint8), ValueError, "image has 1 channel: BGR images"),
    (np.zeros((480, 640, 2), np.uint8), ValueError, "image has 2 channels: BGR images"),
    (np.zeros((0, 0, 3), np.uint8), RuntimeError, "OpenCV error in "),
])
def test_images_that_are_not_bgr_raise_runtime_error(image, error, message):
    with pytest.raises(error, match=message) as e:
        _vesk.CharucoTarget(7, 5, 0.04, 0.03).detect_and_annotate(image)
    assert ".cpp" not in str(e.value) and ".hpp" not in str(e.value)


@pytest.mark.parametrize("bad_id", [-1, 22, 99])
def test_invalid_dictionary_id_fails_when_the_dictionary_is_built(bad_id):
    t = _vesk.CharucoTarget(7, 5, 0.04, 0.03, bad_id)  # accepted: not validated here
    with pytest.raises(RuntimeError, match="aruco_dict_id must be a predefined dictionary id"):
        t.detect_and_annotate(np.zeros((10, 10, 3), np.uint8))
    a = _vesk.IntrinsicCalibrator(_vesk.ArucoTarget((5, 7), 0.04, 0.01, bad_id))
    with pytest.raises(RuntimeError, match="aruco_dict_id must be a predefined dictionary id"):
        a.find_corners([np.zeros((10, 10, 3), np.uint8)])
