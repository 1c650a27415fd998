"""One digest per hand-eye path, to show that a change leaves every result as it was, to the bit.

Each case runs one call on fixed rendered or noisy data and digests everything it gives: every
field of the result, the report, the files written (without "created_utc") and every line the
core printed or logged (temporary folders named alike). Run it on two builds and compare:

    .venv/bin/python bench/identity.py > before.txt   # on the old build
    .venv/bin/python bench/identity.py > after.txt    # on the new one
    diff before.txt after.txt
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import pathlib
import pickle
import re
import sys
import tempfile

import numpy as np

import _vesk
from _vesk import diagnostics
from vesk_testing import scene as S

METHODS = ["TSAI", "PARK", "HORAUD", "ANDREFF", "DANIILIDIS"]


def fields(value):
    """Every public non-callable attribute, recursively, as picklable values."""
    if isinstance(value, np.ndarray):
        return value.dtype.str, value.shape, value.tobytes()
    if isinstance(value, (list, tuple)):
        return [fields(v) for v in value]
    if value is None or isinstance(value, (int, float, str, bool)):
        return value
    out = {}
    for name in dir(value):
        attr = getattr(value, name)
        if not name.startswith("_") and not callable(attr):
            out[name] = fields(attr)
    return out


@contextlib.contextmanager
def captured(sink: list):
    """Whatever the process writes to stdout and stderr, the core's lines included, into sink."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = [os.dup(1), os.dup(2)]
    with tempfile.TemporaryFile() as f:
        os.dup2(f.fileno(), 1)
        os.dup2(f.fileno(), 2)
        try:
            yield
        finally:
            sys.stdout.flush()
            sys.stderr.flush()
            os.dup2(saved[0], 1)
            os.dup2(saved[1], 2)
            os.close(saved[0])
            os.close(saved[1])
            f.seek(0)
            sink.append(f.read().decode("utf-8", "replace"))


def saved_files(folder: pathlib.Path) -> dict:
    files = {}
    for path in sorted(folder.iterdir()):
        text = path.read_text(encoding="utf-8", errors="replace")
        if path.suffix == ".json":
            doc = json.loads(text)
            doc.pop("created_utc", None)
            text = json.dumps(doc, sort_keys=True)
        files[path.name] = text
    return files


def digest(name: str, call) -> None:
    """Runs call(folder) -> (result, calibrator or None) and prints the case's digest."""
    log: list = []
    with tempfile.TemporaryDirectory() as tmp:
        try:
            with captured(log):
                result, calibrator = call(pathlib.Path(tmp))
            ok = getattr(result, "ok", True)
            report = calibrator.format_results() if calibrator is not None and ok else None
            payload = {"result": fields(result), "report": report, "files": saved_files(pathlib.Path(tmp))}
        except Exception as e:  # a refusal by exception is a result too
            payload = {"raised": f"{type(e).__name__}: {e}"}
        text = re.sub(r"/tmp[^\s'\"]*?/tmp[A-Za-z0-9_]+", "TMP", "".join(log))
    payload["log"] = text.replace(tmp, "TMP")
    print(f"{name:28s} {hashlib.sha256(pickle.dumps(payload)).hexdigest()[:20]}", flush=True)


def pose_cases(board, camera, eye_to_hand: bool, seed: int) -> None:
    series = S.eye_to_hand_series if eye_to_hand else S.hand_eye_series
    s = series(board, camera, 14, seed=seed)
    robots, cams = S.noisy_poses(s, 100 + seed, robot_m=3e-4, robot_deg=0.03, corner_px=0.2)
    cls = _vesk.EyeToHandCalibrator if eye_to_hand else _vesk.EyeInHandCalibrator
    target = _vesk.CharucoTarget(*board.target_args())
    K, D = camera.K, camera.dist
    tag = f"{'e2h' if eye_to_hand else 'eih'}-{seed}"

    def run(robot_list, images, method, cam_list, *args, **kw):
        def call(folder):
            c = cls(target)
            return c.calibrate(robot_list, images, method, cam_list, *args, output_path=str(folder), **kw), c
        return call

    for m in METHODS:
        digest(f"poses-{m}-{tag}", run(robots, [], m, cams, K, D))
    digest(f"float32-{tag}", run([r.astype(np.float32) for r in robots], [], "PARK",
                                 [c.astype(np.float32) for c in cams], K, D))
    images = s.images()
    digest(f"intrinsics-given-{tag}", run(robots, images, "TSAI", [], K, D))
    digest(f"own-intrinsics-refine-{tag}", run(robots, images, "PARK", [], refine=True))
    digest(f"free-board-scale-{tag}", run(robots, images, "PARK", [], K, D, refine=True, free_board_scale=True))
    digest(f"too-few-{tag}", run(robots[:3], [], "PARK", cams[:3], K, D))
    swapped = list(robots)
    swapped[2], swapped[5] = swapped[5], swapped[2]
    digest(f"swapped-{tag}", run(swapped, [], "PARK", cams, K, D))
    digest(f"transposed-{tag}", run([S.make_T(r[:3, :3].T, r[:3, 3]) for r in robots], [], "PARK", cams, K, D))
    digest(f"check-{tag}", lambda _: (diagnostics.check_hand_eye_data(robots, cams, eye_to_hand=eye_to_hand), None))
    digest(f"scale-{tag}", lambda _: (diagnostics.estimate_board_scale(robots, cams, eye_to_hand=eye_to_hand), None))


def four_axis_cases(board, camera, eye_to_hand: bool) -> None:
    s = S.four_axis_series(board, camera, 15, seed=5, eye_to_hand=eye_to_hand)
    robots, cams = S.noisy_poses(s, 7, robot_m=2e-4, robot_deg=0.02, corner_px=0.2)
    cls = _vesk.EyeToHandCalibrator if eye_to_hand else _vesk.EyeInHandCalibrator
    target = _vesk.CharucoTarget(*board.target_args())
    given = ({"known_board_height_m": float(s.tcp_T_target[2, 3])} if eye_to_hand
             else {"known_axis_offset_m": float(s.tcp_T_camera[2, 3])})
    tag = "e2h" if eye_to_hand else "eih"
    images = s.images()

    def run(image_list, cam_list, **kw):
        def call(folder):
            c = cls(target)
            return c.calibrate(robots, image_list, "PARK", cam_list, camera.K, camera.dist, output_path=str(folder),
                               **kw), c
        return call

    digest(f"four-axis-{tag}", run([], cams, **given))
    digest(f"four-axis-refused-{tag}", run([], cams))
    digest(f"four-axis-refine-{tag}", run(images, [], refine=True, **given))


def main() -> None:
    board, camera = S.charuco(), S.make_camera(1280, 960)
    for eye_to_hand in (False, True):
        for seed in (3, 4):
            pose_cases(board, camera, eye_to_hand, seed)
        four_axis_cases(board, camera, eye_to_hand)
    s = S.hand_eye_series(board, camera, 14, seed=9)
    for eye_to_hand in (False, True):
        robots, pixels, objects = S.noisy_corners(s, 5, robot_m=3e-4, robot_deg=0.03, corner_px=0.2)
        if eye_to_hand:
            robots = [np.linalg.inv(r) for r in robots]
        digest(f"refine-hand-eye-{'e2h' if eye_to_hand else 'eih'}", lambda _: (diagnostics.refine_hand_eye(
            robots, [p.astype(np.float32) for p in pixels], [o.astype(np.float32) for o in objects], camera.K,
            camera.dist, "PARK", eye_to_hand), None))


if __name__ == "__main__":
    main()
