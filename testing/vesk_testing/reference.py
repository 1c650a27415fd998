"""The core's pipelines made of direct cv2 calls, on the same images.

These are what a user would write with the cv2 wheel alone: the tests check the
core's wiring against them and the benchmarks time the core against them.
"""

from __future__ import annotations

import cv2
import numpy as np

from . import scene as S

CRITERIA = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 30, 0.001)
# The core runs the camera solve to its minimum, with the default criteria as a floor.
SOLVE_CRITERIA = (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 1000, 1e-12)
REFINE = (10.0, 3.0, True)


def chessboard_points(size, square) -> np.ndarray:
    """(w*h) x 3 float32 board points, row i*w + j = (j*square, i*square, 0)."""
    pts = np.zeros((size[0] * size[1], 3), np.float32)
    pts[:, :2] = np.mgrid[0:size[0], 0:size[1]].T.reshape(-1, 2) * square
    return pts


def detect(kind: str, board: S.Board, images, annotate: bool = False, pool=None):
    """(image_points, object_points, indices, annotated) as the intrinsic calibrator detects them.

    Image points are N x 1 x 2 float32, object points N x 3 float32; the annotated
    copies are made only when asked for. With a concurrent.futures pool the views are
    detected on its threads (cv2 releases the interpreter lock), as a user could write it.
    """
    if kind == "chessboard":
        size, sq = board.params["args"]
        pts = chessboard_points(size, sq)

        def one(img):
            gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
            ok, c = cv2.findChessboardCorners(gray, size, flags=0)
            if not ok:
                return None
            c = cv2.cornerSubPix(gray, c, (11, 11), (-1, -1), CRITERIA)
            return c, pts.copy(), (cv2.drawChessboardCorners(img.copy(), size, c, True) if annotate else None)
    elif kind == "charuco":
        sx, sy, sq, ml, did = board.params["args"]
        b = cv2.aruco.CharucoBoard((sx, sy), sq, ml, cv2.aruco.getPredefinedDictionary(did))
        det = cv2.aruco.CharucoDetector(b, cv2.aruco.CharucoParameters(), cv2.aruco.DetectorParameters(),
                                        cv2.aruco.RefineParameters(*REFINE))
        corners = np.asarray(b.getChessboardCorners(), np.float32)

        def one(img):
            cc, ci, mc, mi = det.detectBoard(cv2.cvtColor(img, cv2.COLOR_BGR2GRAY))
            if ci is None or len(ci) < 4:
                return None
            copy = None
            if annotate:
                copy = img.copy()
                cv2.aruco.drawDetectedMarkers(copy, mc, mi, (0, 255, 0))
                cv2.aruco.drawDetectedCornersCharuco(copy, cc, ci, (255, 0, 0))
            return cc, corners[ci.ravel()], copy
    else:
        size, ml, sep, did = board.params["args"]
        d = cv2.aruco.getPredefinedDictionary(did)
        b = cv2.aruco.GridBoard(size, ml, sep, d)
        det = cv2.aruco.ArucoDetector(d, cv2.aruco.DetectorParameters(), cv2.aruco.RefineParameters(*REFINE))
        objs = [np.asarray(o, np.float32).reshape(4, 3) for o in b.getObjPoints()]

        def one(img):
            gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
            mc, mi, rej = det.detectMarkers(gray)
            if mi is None or len(mi) < 4:
                return None
            mc, mi, rej, _ = det.refineDetectedMarkers(gray, b, mc, mi, rej)
            copy = cv2.aruco.drawDetectedMarkers(img.copy(), mc, mi, (0, 255, 0)) if annotate else None
            return (np.concatenate([c.reshape(4, 1, 2) for c in mc]), np.concatenate([objs[k] for k in mi.ravel()]),
                    copy)

    img_pts, obj_pts, idx, annotated = [], [], [], []
    for i, found in enumerate((pool.map if pool is not None else map)(one, images)):
        if found is None:
            continue
        ip, op, copy = found
        img_pts.append(ip.reshape(-1, 1, 2)), obj_pts.append(op), idx.append(i)
        if annotate:
            annotated.append(copy)
    return img_pts, obj_pts, idx, annotated


def calibrate(kind: str, board: S.Board, images, pool=None):
    """Detection, annotation and calibrateCameraExtended: (its result tuple, the annotated views)."""
    img_pts, obj_pts, _, annotated = detect(kind, board, images, annotate=True, pool=pool)
    result = cv2.calibrateCameraExtended(obj_pts, img_pts, images[0].shape[1::-1], None, None, flags=0,
                                         criteria=SOLVE_CRITERIA)
    return result, annotated
