"""Rigs with one repeated image or two swapped frames: is the camera kept and the right view named?

    .venv/bin/python bench/rig_repeated_views.py             # 10 seeds
    .venv/bin/python bench/rig_repeated_views.py --seeds 30

Each seed renders 12 frames of a 7 x 5 board through three 800 x 600 cameras, then spoils one random
camera's frames: frame k given again as frame k+1, or frames k and k+1 swapped. Each spoiled rig is
calibrated with and without refine=True.
"""

from __future__ import annotations

import argparse

import numpy as np
from common import quiet

import _vesk
from vesk_testing import scene as S


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seeds", type=int, default=10)
    args = ap.parse_args()
    board = S.charuco(7, 5, 0.04, 0.03)
    target = _vesk.CharucoTarget(*board.target_args())
    rng = np.random.default_rng(7)
    rows = []
    for seed in range(1, args.seeds + 1):
        truth = S.rig(board, S.default_rig_cameras(800, 600), n_frames=12, seed=seed)
        lists = truth.images(supersample=2)
        for kind in ("repeat", "swap"):
            c, k = int(rng.integers(0, 3)), int(rng.integers(0, 11))
            spoiled = [list(views) for views in lists]
            if kind == "repeat":
                spoiled[c][k + 1] = spoiled[c][k]
                want = {(c, k + 1)}
            else:
                spoiled[c][k], spoiled[c][k + 1] = spoiled[c][k + 1], spoiled[c][k]
                want = {(c, k), (c, k + 1)}
            for refine in (False, True):
                with quiet():
                    r = _vesk.MultiCameraCalibrator(target, 3).calibrate(spoiled, refine=refine)
                placed = all(T.size for T in r.reference_T_camera_list)
                error = max(1000 * S.pose_error(est, true)[0] for est, true in
                            zip(r.reference_T_camera_list[1:], truth.reference_T_camera[1:])) if placed else np.nan
                rows.append((refine, r.ok, placed, set(r.rejected_views) == want, error))
    for refine in (False, True):
        picked = [row for row in rows if row[0] == refine]
        errors = [row[4] for row in picked if row[2]]
        print(f"refine={refine!s:5}  cases {len(picked)}  ok {sum(r[1] for r in picked)}  every camera placed "
              f"{sum(r[2] for r in picked)}  exactly the spoiled views named {sum(r[3] for r in picked)}  "
              f"worst camera error: median {np.median(errors) if errors else np.nan:.2f} mm, "
              f"max {max(errors) if errors else np.nan:.2f} mm")


if __name__ == "__main__":
    main()
