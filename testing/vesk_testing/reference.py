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


def detect(kind: str, board: S.Board, images, annotate: bool = False):
    """(image_points, object_points, indices, annotated) as the intrinsic calibrator detects them.

    Image points are N x 1 x 2 float32, object points N x 3 float32; the annotated
    copies are made only when asked for.
    """
    img_pts, obj_pts, idx, annotated = [], [], [], []

    def keep(i, ip, op, draw):
        img_pts.append(ip.reshape(-1, 1, 2)), obj_pts.append(op), idx.append(i)
        if annotate:
            annotated.append(draw(images[i].copy()))

    if kind == "chessboard":
        size, sq = board.params["args"]
        pts = chessboard_points(size, sq)
        for i, img in enumerate(images):
            gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
            ok, c = cv2.findChessboardCorners(gray, size, flags=0)
            if ok:
                c = cv2.cornerSubPix(gray, c, (11, 11), (-1, -1), CRITERIA)
                keep(i, c, pts.copy(), lambda copy, c=c: cv2.drawChessboardCorners(copy, size, c, True))
    elif kind == "charuco":
        sx, sy, sq, ml, did = board.params["args"]
        b = cv2.aruco.CharucoBoard((sx, sy), sq, ml, cv2.aruco.getPredefinedDictionary(did))
        det = cv2.aruco.CharucoDetector(b, cv2.aruco.CharucoParameters(), cv2.aruco.DetectorParameters(),
                                        cv2.aruco.RefineParameters(*REFINE))
        corners = np.asarray(b.getChessboardCorners(), np.float32)
        for i, img in enumerate(images):
            cc, ci, mc, mi = det.detectBoard(cv2.cvtColor(img, cv2.COLOR_BGR2GRAY))
            if ci is not None and len(ci) >= 4:
                def draw(copy, cc=cc, ci=ci, mc=mc, mi=mi):
                    cv2.aruco.drawDetectedMarkers(copy, mc, mi, (0, 255, 0))
                    cv2.aruco.drawDetectedCornersCharuco(copy, cc, ci, (255, 0, 0))
                    return copy
                keep(i, cc, corners[ci.ravel()], draw)
    else:
        size, ml, sep, did = board.params["args"]
        d = cv2.aruco.getPredefinedDictionary(did)
        b = cv2.aruco.GridBoard(size, ml, sep, d)
        det = cv2.aruco.ArucoDetector(d, cv2.aruco.DetectorParameters(), cv2.aruco.RefineParameters(*REFINE))
        objs = [np.asarray(o, np.float32).reshape(4, 3) for o in b.getObjPoints()]
        for i, img in enumerate(images):
            gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
            mc, mi, rej = det.detectMarkers(gray)
            if mi is not None and len(mi) >= 4:
                mc, mi, rej, _ = det.refineDetectedMarkers(gray, b, mc, mi, rej)
                keep(i, np.concatenate([c.reshape(4, 1, 2) for c in mc]),
                     np.concatenate([objs[k] for k in mi.ravel()]),
                     lambda copy, mc=mc, mi=mi: cv2.aruco.drawDetectedMarkers(copy, mc, mi, (0, 255, 0)))
    return img_pts, obj_pts, idx, annotated


def calibrate(kind: str, board: S.Board, images):
    """Detection, annotation and calibrateCameraExtended: (its result tuple, the annotated views)."""
    img_pts, obj_pts, _, annotated = detect(kind, board, images, annotate=True)
    result = cv2.calibrateCameraExtended(obj_pts, img_pts, images[0].shape[1::-1], None, None, flags=0,
                                         criteria=SOLVE_CRITERIA)
    return result, annotated
