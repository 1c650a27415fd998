"""vesk main job: a complete robot-cell calibration.

With no arguments it builds a synthetic cell (a ChArUco board, an eye-in-hand
camera with a known tcp_T_camera, a camera fixed in the cell with a known
robot_T_camera, a rig of three synchronised cameras, a SCARA-like four-axis
robot with an eye-in-hand camera, robot poses), saves the
datasets, loads them back and calibrates everything, ending with a table of
recovered values against the ground truth. Given dataset folders it calibrates
those instead, with the board they show:

    python demo/main.py --out out
    python demo/main.py --out out --hand-eye-dir D1 --eye-to-hand-dir D2 --rig-dir D3 --cameras 3 \
        --charuco 7 5 0.04 0.03 DICT_4X4_1000
    python demo/main.py --out out --hand-eye-dir D1 --chessboard 9 6 0.025
    python demo/main.py --out out --eye-to-hand-dir D2 --aruco 5 4 0.04 0.01 DICT_4X4_50
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import html
import os
import pathlib
import sys
import tempfile
import time


def parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", type=pathlib.Path, default=pathlib.Path("out"), help="output folder (default: out)")
    ap.add_argument("--hand-eye-dir", type=pathlib.Path,
                    help="a hand-eye dataset folder (image_II.png + .npz) of a camera on the flange")
    ap.add_argument("--eye-to-hand-dir", type=pathlib.Path,
                    help="a hand-eye dataset folder of a camera fixed in the cell, the board on the flange")
    ap.add_argument("--rig-dir", type=pathlib.Path, help="a multi-camera capture folder (cam_CC/...)")
    ap.add_argument("--cameras", type=int, default=3, help="number of rig cameras (default 3)")
    ap.add_argument("--seed", type=int, default=0, help="random seed of the built-in cell (default 0)")
    ap.add_argument("--no-report", action="store_true", help="do not write report.html")
    boards = ap.add_mutually_exclusive_group()
    boards.add_argument("--charuco", nargs=5, metavar=("SX", "SY", "SQUARE", "MARKER", "DICT"),
                        help="a ChArUco board: squares across and down, square and marker length (m), dictionary")
    boards.add_argument("--chessboard", nargs=3, metavar=("COLS", "ROWS", "SQUARE"),
                        help="a chessboard: inner corners across and down, square length (m)")
    boards.add_argument("--aruco", nargs=5, metavar=("COLS", "ROWS", "MARKER", "SEPARATION", "DICT"),
                        help="an ArUco grid board: markers across and down, marker length and gap (m), dictionary")
    return ap


# --help answers before the heavy imports, so that it needs no built module
if __name__ == "__main__" and {"-h", "--help"} & set(sys.argv[1:]):
    parser().parse_args()

import cv2
import numpy as np

import _vesk
from _vesk import diagnostics, io
from vesk import report as R
from vesk_testing import scene as S


class Progress:
    """Progress of the core's per-view loops, on standard error: a bar per stage on a terminal, one
    plain line per finished loop otherwise (a log file or a pipe gets no carriage returns)."""

    def __init__(self, stream=sys.stderr):
        self.stream = stream
        self.tty = stream.isatty()

    def __call__(self, stage: str):
        def report(done: int, total: int) -> None:
            if self.tty:
                width = 30
                filled = width * done // max(total, 1)
                self.stream.write(f"\r\x1b[2K  {stage} [{'#' * filled}{'.' * (width - filled)}] {done}/{total}")
                if done == total:
                    self.stream.write("\n")
            elif done == total:
                self.stream.write(f"  {stage}: {done}/{total} done\n")
            self.stream.flush()

        return report


PROGRESS = Progress()


def rule(title: str) -> None:
    print("\n" + "#" * 70 + f"\n# {title}\n" + "#" * 70, flush=True)


def synthetic_cell(out: pathlib.Path, seed: int = 0):
    """Render the built-in cell and store it as the two dataset folders a user would have.

    A 12 x 9 ChArUco board (88 corners, 30 mm squares) seen by 960 x 720
    cameras: enough corners and tilted views spread over the image that every
    camera's focal length, principal point and distortion are pinned down by
    its own views, and the rig's stereo solves inherit well-conditioned
    intrinsics.
    """
    board = S.charuco(12, 9, 0.03, 0.022)
    camera = S.make_camera(960, 720)
    hand_eye = S.hand_eye_series(board, camera, 20, seed=7 + seed, max_tilt=40.0, max_shift=0.3)
    fixed = S.eye_to_hand_series(board, camera, 20, seed=11 + seed, max_tilt=40.0, max_shift=0.3)
    rig = S.rig(board, S.default_rig_cameras(960, 720), n_frames=30, seed=3 + seed, baselines=(0.0, 0.15, 0.35),
                max_tilt=40.0, max_shift=0.15, distance_scale=0.9)
    he_dir, e2h_dir, rig_dir = out / "datasets" / "hand_eye", out / "datasets" / "eye_to_hand", out / "datasets" / "rig"
    io.save_hand_eye_dataset(he_dir, hand_eye.images(), hand_eye.robot_T_tcp)
    # the same folder format: images and robot_T_tcp per capture
    io.save_hand_eye_dataset(e2h_dir, fixed.images(), fixed.robot_T_tcp)
    for frames in zip(*rig.images()):
        io.save_multi_camera_capture(rig_dir, list(frames), io.next_multi_camera_capture_index(rig_dir, 3))
    # a SCARA: the flange turns about the base's z only, so the camera's offset along that axis
    # (pointing up) is given, as its user would measure it
    scara = S.four_axis_series(board, camera, 15, seed=5 + seed)
    four_dir = out / "datasets" / "four_axis"
    io.save_hand_eye_dataset(four_dir, scara.images(), scara.robot_T_tcp)
    up_in_tcp = scara.robot_T_tcp[0][:3, :3].T @ [0.0, 0.0, 1.0]
    truth = {"camera": hand_eye.camera, "tcp_T_camera": hand_eye.tcp_T_camera, "board": board,
             "robot_T_target": hand_eye.robot_T_target,
             "robot_T_camera": fixed.robot_T_camera, "tcp_T_target": fixed.tcp_T_target,
             "reference_T_camera": rig.reference_T_camera, "four_axis_tcp_T_camera": scara.tcp_T_camera}
    return Inputs(he_dir, e2h_dir, rig_dir, _vesk.CharucoTarget(*board.target_args()), 3, truth, four_dir,
                  float(scara.tcp_T_camera[:3, 3] @ up_in_tcp))


@dataclasses.dataclass
class Inputs:
    hand_eye_dir: pathlib.Path | None
    eye_to_hand_dir: pathlib.Path | None
    rig_dir: pathlib.Path | None
    target: object
    n_cams: int
    truth: dict | None
    four_axis_dir: pathlib.Path | None = None
    known_axis_offset_m: float | None = None  # the four-axis camera's offset along the axis


def pose_error(T, G):
    dt = float(np.linalg.norm(T[:3, 3] - G[:3, 3]))
    c = (np.trace(T[:3, :3] @ G[:3, :3].T) - 1) / 2
    return dt * 1000, float(np.degrees(np.arccos(np.clip(c, -1, 1))))


# Bounds the built-in cell is expected to meet (the report marks any it misses).
BOUNDS = {"focal_pct": 0.05, "centre_px": 0.3, "mm": 0.3, "deg": 0.03}


def parse_args(argv):
    ap = parser()
    args = ap.parse_args(argv)
    own = args.hand_eye_dir or args.eye_to_hand_dir or args.rig_dir
    if own and not (args.charuco or args.chessboard or args.aruco):
        ap.error("your own datasets need the board they show: --charuco, --chessboard or --aruco")
    if not own and (args.charuco or args.chessboard or args.aruco):
        ap.error("a board option goes with --hand-eye-dir, --eye-to-hand-dir or --rig-dir")
    try:
        args.target = board_of(args)
    except (ValueError, TypeError) as e:
        ap.error(f"the board: {e}")
    return args


def board_of(args):
    """The target the board options describe, or None."""
    if args.charuco:
        sx, sy, sq, mk, name = args.charuco
        return _vesk.CharucoTarget(int(sx), int(sy), float(sq), float(mk), name)
    if args.chessboard:
        cols, rows, sq = args.chessboard
        return _vesk.ChessboardTarget((int(cols), int(rows)), float(sq))
    if args.aruco:
        cols, rows, mk, sep, name = args.aruco
        return _vesk.ArucoTarget((int(cols), int(rows)), float(mk), float(sep), name)
    return None


def hand_eye_stage(he_dir, target, out, page):
    rule("intrinsic calibration")
    images, poses = io.load_hand_eye_dataset(he_dir)
    options = _vesk.IntrinsicOptions()
    intrinsic = _vesk.IntrinsicCalibrator(target, options)
    r = intrinsic.calibrate(images, progress=PROGRESS("intrinsic calibration"))
    print(f"views used: {len(r.successful_indices)} of {len(images)}, reprojection error "
          f"{r.reprojection_error:.4f} px")
    print("K =\n", r.intrinsic_matrix, "\nd =", r.distortion_coefficients.ravel())
    cv2.imwrite(str(out / "intrinsic_view_00_annotated.png"), intrinsic.corner_images()[0])
    if page:
        size = images[0].shape[1::-1]
        page.section("intrinsic calibration", "intrinsics-hand-eye", "Intrinsics: eye-in-hand camera",
                     lambda: R.intrinsics_section("eye-in-hand camera", r, intrinsic.detections(), size,
                                                  options.per_view_error_threshold))

    rule("eye-in-hand calibration")
    calibrator = _vesk.EyeInHandCalibrator(target, options)
    he = calibrator.calibrate(poses, images, "TSAI", output_path=out, progress=PROGRESS("eye-in-hand calibration"))
    for k, img in enumerate(calibrator.corner_images()[:3]):
        cv2.imwrite(str(out / f"hand_eye_view_{k:02d}_annotated.png"), img)

    rule("diagnostics: the five hand-eye solvers side by side")
    methods = diagnostics.compare_hand_eye_methods(target, poses, images, [], r.intrinsic_matrix,
                                                   r.distortion_coefficients, progress=PROGRESS("five solvers"))
    text = diagnostics.format_method_comparison(methods)
    print(text)
    if page:
        page.section("eye-in-hand calibration", "hand-eye", "Hand-eye: tcp_T_camera",
                     lambda: R.hand_eye_section(he, methods, text))

    rule("benchmark: cross-validation and hand-eye round trip")
    bench = _vesk.CalibrationBenchmark()
    result = bench.run(images, target, options, poses, options, progress=PROGRESS("benchmark"))
    print(_vesk.CalibrationBenchmark.format_results([result]))
    _vesk.CalibrationBenchmark.save_json([result], str(out / "benchmark.json"))
    if page:
        page.section("benchmark", "benchmark", "Benchmark: cross-validation and round trip",
                     lambda: R.benchmark_section(result))
    if he.ok:
        try:
            plan_stage(he, target, images[0].shape[1::-1], out, page)
        except (ValueError, RuntimeError) as e:  # a plan is advice: the calibration stands without it
            print(f"capture plan skipped: {e}")
    return he


# what the plan's prediction assumes of a real cell: robot pose noise per axis, corner noise
PLAN_NOISE = dict(robot_noise_m=0.2e-3, robot_noise_deg=0.02, corner_noise_px=0.2)


def plan_stage(he, target, size, out, page):
    """A capture plan for this cell from its first pose, against the cell's own poses."""
    rule("capture plan: the poses to record, and the sigma they give")
    poses, views = he.valid_robot_T_tcp_list, he.camera_T_target_list
    K, D, X = he.intrinsic_matrix, he.distortion_coefficients, he.tcp_T_camera
    start, seen = poses[0], views[0]
    # the same limits as the cell's own poses: their largest flange rotation and travel from the first
    moves = [np.linalg.inv(start) @ F for F in poses]
    max_rot = max(12.0, max(float(np.degrees(np.linalg.norm(cv2.Rodrigues(m[:3, :3])[0]))) for m in moves))
    max_tr = max(float(np.linalg.norm(F[:3, 3] - start[:3, 3])) for F in poses)
    plan = diagnostics.plan_hand_eye_poses(target, K, D, size, start, seen, X, n_poses=len(poses),
                                           max_rotation_deg=max_rot, max_translation_m=max_tr)
    predicted = {
        name: diagnostics.predict_hand_eye_uncertainty(target, K, D, size, p, start, seen, X, **PLAN_NOISE,
                                                       progress=PROGRESS(f"prediction ({name})"))
        for name, p in (("plan", plan), ("cell", poses))}
    # how many planned poses give what the cell's own poses give
    cell = predicted["cell"]
    goal = (1000 * max(cell.translation_std_m), max(cell.rotation_std_deg))
    need = diagnostics.poses_needed_for_sigma(target, K, D, size, start, seen, X, *goal,
                                              max_rotation_deg=max_rot, max_translation_m=max_tr, trials=100,
                                              **PLAN_NOISE, progress=PROGRESS("plan size"))
    path = io.save_pose_plan(out, plan)
    print(f"{len(plan)} poses from the first pose, within {max_rot:.1f} deg and {1000 * max_tr:.0f} mm of it "
          f"(the cell's own range), through the calibrated tcp_T_camera; saved to {path.name}")
    print(f"predicted 1-sigma of tcp_T_camera with robot noise {1000 * PLAN_NOISE['robot_noise_m']:g} mm / "
          f"{PLAN_NOISE['robot_noise_deg']:g} deg and corner noise {PLAN_NOISE['corner_noise_px']:g} px per axis:")
    for name, u in predicted.items():
        label = "planned poses" if name == "plan" else "the cell's own poses"
        print(f"  {label:<22} t = {_triple(1000 * np.asarray(u.translation_std_m))} mm, "
              f"r = {_triple(u.rotation_std_deg, 4)} deg")
    print(f"  the cell's own {len(poses)} poses' sigma ({goal[0]:.3f} mm / {goal[1]:.4f} deg on every axis) needs "
          + (f"{need.n_poses} planned poses" if need.reached else f"more than {need.n_poses} planned poses"))
    if page:
        page.section("capture plan", "capture-plan", "Capture plan: the poses to record",
                     lambda: R.plan_section(plan, poses, start, seen, X, K, size, target, predicted, need,
                                            PLAN_NOISE, goal, max_rot, max_tr))
    return plan


# the re-check's new views: robot pose noise per axis, and the camera's move on its mount
RECHECK_NOISE = (0.2e-3, 0.02)
RECHECK_MOVE_MM_DEG = (1.0, 0.1)


def recheck_stage(out, truth, page):
    """Re-check the stored hand_eye.json with three new views of the rendered cell: as it is, and with
    the camera moved on its mount by 1 mm and 0.1 deg (the robot reports the same poses)."""
    rule("re-check: the stored calibration against three new views")
    record = io.load_hand_eye_result(out)
    board, camera, X = truth["board"], truth["camera"], truth["tcp_T_camera"]
    fresh = S.hand_eye_series(board, camera, 3, seed=31, tcp_T_camera=X, robot_T_target=truth["robot_T_target"])
    robots = S.noisy_robot_poses(fresh.robot_T_tcp, np.random.default_rng(31), *RECHECK_NOISE)
    mm, deg = RECHECK_MOVE_MM_DEG
    axis, direction = np.array([0.6, -0.3, 0.74]), np.array([-0.5, 0.7, 0.5])
    move = S.make_T(cv2.Rodrigues(axis / np.linalg.norm(axis) * np.radians(deg))[0],
                    direction / np.linalg.norm(direction) * mm / 1000)
    checks = []
    for label, camera_X in (("unchanged cell", X), (f"camera moved {mm:g} mm / {deg:g} deg on its mount", X @ move)):
        images = [S.render(board, camera, S.inv_T(camera_X) @ S.inv_T(R) @ fresh.robot_T_target)
                  for R in fresh.robot_T_tcp]
        v = diagnostics.verify_hand_eye(record, robots, images)
        print(f"{label}:{v.format()}")
        checks.append((label, v))
    if page:
        page.section("re-check", "recheck", "Re-check: the stored tcp_T_camera against new views",
                     lambda: R.verification_section(checks))
    return checks


@contextlib.contextmanager
def core_report_kept():
    """The core prints its whole report on every calibrate call; the joint stages show only their own
    section of it, so the standard output of the call goes to a scratch file."""
    sys.stdout.flush()
    saved = os.dup(1)
    with tempfile.TemporaryFile() as scratch:
        os.dup2(scratch.fileno(), 1)
        try:
            yield
        finally:
            os.dup2(saved, 1)
            os.close(saved)


JOINT_TITLES = {"eye-in-hand": ("HAND-EYE JOINT SOLVE", "tcp_T_camera", "tcp"),
                "eye-to-hand": ("EYE-TO-HAND JOINT SOLVE", "robot_T_camera", "robot base")}


def joint_stage(setup, data_dir, target, out, page, truth):
    """The same data solved jointly (refine=True) beside the closed form, into out/joint/."""
    title, name, axes = JOINT_TITLES[setup]
    rule(f"{setup}: joint solve over every corner, the robot poses as measurements (refine=True)")
    images, poses = io.load_hand_eye_dataset(data_dir)
    cls = _vesk.EyeInHandCalibrator if setup == "eye-in-hand" else _vesk.EyeToHandCalibrator
    calibrator = cls(target)
    with core_report_kept():
        r = calibrator.calibrate(poses, images, "TSAI", output_path=out / "joint", refine=True,
                                 progress=PROGRESS(f"{setup} joint solve"))
    text = calibrator.format_results()
    start = text.find("\n" + "=" * 60 + "\n" + title)
    print(text[start:] if r.ok and start >= 0 else f"joint solve failed: {r.joint.failure.message if r.joint and r.joint.failure else 'see the log'}")
    if page:
        page.section(f"{setup} joint solve", f"{setup}-joint", f"Joint solve: {name}",
                     lambda: R.joint_solve_section(r, name, axes, None if truth is None else truth[name]))
    return r if r.ok else None


def _triple(values, digits=3):
    return "(" + ", ".join(f"{v:.{digits}f}" for v in values) + ")"


def eye_to_hand_stage(e2h_dir, target, out, page):
    rule("eye-to-hand calibration (camera fixed in the cell, board on the flange)")
    images, poses = io.load_hand_eye_dataset(e2h_dir)
    options = _vesk.IntrinsicOptions()
    calibrator = _vesk.EyeToHandCalibrator(target, options)
    e2h = calibrator.calibrate(poses, images, "TSAI", output_path=out, progress=PROGRESS("eye-to-hand calibration"))
    for k, img in enumerate(calibrator.corner_images()[:3]):
        cv2.imwrite(str(out / f"eye_to_hand_view_{k:02d}_annotated.png"), img)
    if not e2h.ok:
        raise RuntimeError("eye-to-hand calibration failed: "
                           + ("; ".join(f.message for f in e2h.data_findings) or "see the log above"))

    rule("diagnostics: the five hand-eye solvers on the fixed camera")
    methods = diagnostics.compare_hand_eye_methods(target, poses, images, [], e2h.intrinsic_matrix,
                                                   e2h.distortion_coefficients, eye_to_hand=True,
                                                   progress=PROGRESS("five solvers"))
    text = diagnostics.format_method_comparison(methods)
    print(text)
    rt = _vesk.CalibrationBenchmark().eye_to_hand_roundtrip(
        e2h.valid_image_list, e2h.valid_robot_T_tcp_list, e2h.robot_T_camera, e2h.intrinsic_matrix,
        e2h.distortion_coefficients, target, e2h.camera_T_target_list)
    print(f"eye-to-hand round trip: {rt:.4f} px (board predicted from the robot poses alone)")
    if page:
        page.section("eye-to-hand calibration", "eye-to-hand", "Eye-to-hand: robot_T_camera",
                     lambda: R.eye_to_hand_section(e2h, methods, text, rt))
    return e2h


def four_axis_stage(data_dir, offset_m, target, he, out, page):
    """A SCARA-like cell: refused without the camera's offset along the axis, solved with it by the
    four-axis solve and its joint form, into out/four_axis/ and out/four_axis_joint/."""
    rule("four-axis robot (SCARA): eye-in-hand, the flange turning about the base's z only")
    images, poses = io.load_hand_eye_dataset(data_dir)
    # the same camera model as the eye-in-hand cell's: its calibration, when there is one
    known = (dict(intrinsic_matrix=he.intrinsic_matrix, distortion_coefficients=he.distortion_coefficients)
             if he is not None and he.ok else {})
    with core_report_kept():
        refused = _vesk.EyeInHandCalibrator(target).calibrate(poses, images, "TSAI", **known)
    finding = refused.data_findings[0] if refused.data_findings else None
    print(f"without a value along the axis: ok={refused.ok}"
          + (f", {finding.code}: {finding.message}" if finding else ""))
    solved = {}
    for refine, folder in ((False, "four_axis"), (True, "four_axis_joint")):
        calibrator = _vesk.EyeInHandCalibrator(target)
        with core_report_kept():
            r = calibrator.calibrate(poses, images, "TSAI", output_path=out / folder, refine=refine,
                                     known_axis_offset_m=offset_m, known_tolerance_m=1e-3, **known,
                                     progress=PROGRESS("four-axis joint solve" if refine else "four-axis solve"))
        text = calibrator.format_results()
        title = "HAND-EYE JOINT SOLVE" if refine else "HAND-EYE UNCERTAINTY AND DATA CHECK"
        start = text.find("\n" + "=" * 60 + "\n" + title)
        section = text[start:] if r.ok and start >= 0 else "four-axis solve failed: see the log above\n"
        print(section)
        solved["four-axis joint" if refine else "four-axis"] = r if r.ok else None
        if page:
            page.add(folder.replace("_", "-"), "Four-axis robot: tcp_T_camera" + (" (joint solve)" if refine else ""),
                     f"<p class='sub'>known_axis_offset_m = {offset_m:.4f} m, 1-sigma 1 mm.</p>"
                     f"<pre>{html.escape(section)}</pre>")
    return solved


def rig_stage(rig_dir, target, n_cams, out, page):
    rule("multi-camera rig calibration")
    lists = io.load_multi_camera_dataset(rig_dir, n_cams)
    mc = _vesk.MultiCameraCalibrator(target, n_cams)
    # one joint solve over every camera and frame after the pair solves, with a 1-sigma per camera
    rig = mc.calibrate(lists, output_path=out, refine=True, progress=PROGRESS("rig calibration"))
    annotated, _ = target.detect_and_annotate(lists[0][0])
    cv2.imwrite(str(out / "rig_cam_00_frame_00_annotated.png"), annotated)
    if page:
        R.add_rig_sections(page, mc, rig, lists, target)
    return rig


def ground_truth_rows(truth, he, e2h, rig, n_cams, joints=None, four=None):
    rows = []
    if he is not None and he.ok:
        K, Kt = he.intrinsic_matrix, truth["camera"].K
        for name, (i, j) in {"fx": (0, 0), "fy": (1, 1), "cx": (0, 2), "cy": (1, 2)}.items():
            if i == j:
                pct = 100 * (K[i, j] / Kt[i, j] - 1)
                rows.append((f"intrinsics {name}", f"{K[i, j]:.3f}", f"{Kt[i, j]:.3f}", f"{pct:+.3f} %",
                             abs(pct) <= BOUNDS["focal_pct"]))
            else:
                px = K[i, j] - Kt[i, j]
                rows.append((f"intrinsics {name}", f"{K[i, j]:.3f}", f"{Kt[i, j]:.3f}", f"{px:+.3f} px",
                             abs(px) <= BOUNDS["centre_px"]))
        dt, dr = pose_error(he.tcp_T_camera, truth["tcp_T_camera"])
        rows.append(("tcp_T_camera", "", "", f"{dt:.3f} mm {dr:.4f} deg",
                     dt <= BOUNDS["mm"] and dr <= BOUNDS["deg"]))
    if e2h is not None and e2h.ok:
        for name in ("robot_T_camera", "tcp_T_target"):
            dt, dr = pose_error(getattr(e2h, name), truth[name])
            rows.append((f"{name} (fixed camera)", "", "", f"{dt:.3f} mm {dr:.4f} deg",
                         dt <= BOUNDS["mm"] and dr <= BOUNDS["deg"]))
    for name, r in (joints or {}).items():
        if r is None:
            continue
        for label, T in (("closed form", r.joint.closed_form), ("joint solve", r.joint.hand_eye)):
            dt, dr = pose_error(T, truth[name])
            rows.append((f"{name} ({label})", "", "", f"{dt:.3f} mm {dr:.4f} deg",
                         dt <= BOUNDS["mm"] and dr <= BOUNDS["deg"]))
    for label, r in (four or {}).items():
        if r is None:
            continue
        dt, dr = pose_error(r.tcp_T_camera, truth["four_axis_tcp_T_camera"])
        rows.append((f"tcp_T_camera ({label})", "", "", f"{dt:.3f} mm {dr:.4f} deg",
                     dt <= BOUNDS["mm"] and dr <= BOUNDS["deg"]))
    if rig is not None and rig.ok:
        for c in range(1, n_cams):
            dt, dr = pose_error(rig.reference_T_camera_list[c], truth["reference_T_camera"][c])
            rows.append((f"reference_T_camera[{c}]", "", "", f"{dt:.3f} mm {dr:.4f} deg",
                         dt <= BOUNDS["mm"] and dr <= BOUNDS["deg"]))
    return rows


def print_ground_truth(rows):
    rule("recovered values against the ground truth")
    print(f"{'quantity':<34}{'recovered':>12}{'truth':>12}{'error':>12}")
    for name, rec, tru, err, _ in rows:
        if rec:
            print(f"{name:<34}{rec:>12}{tru:>12}{err:>12}")
        else:
            mm, deg = err.split(" mm ")
            print(f"{name:<34}{'':>24}{mm:>8} mm {deg}")


def inputs(args) -> Inputs:
    if args.target is not None:
        return Inputs(args.hand_eye_dir, args.eye_to_hand_dir, args.rig_dir, args.target, args.cameras, None)
    rule("synthetic robot cell: rendering and saving the datasets")
    return synthetic_cell(args.out, args.seed)


def finish(page, truth, he, e2h, rig, n_cams, out, joints=None, four=None):
    """The ground-truth table (built-in cell) and the page, whatever the stages reached."""
    if truth is not None:
        rows = ground_truth_rows(truth, he, e2h, rig, n_cams, joints, four)
        print_ground_truth(rows)
        if page:
            page.add("ground-truth", "Recovered values against the ground truth", R.ground_truth_section(rows),
                     first=True)
    if page:
        path = page.write(out / "report.html")
        print(f"\nreport: {path}")


def main(argv=None) -> int:
    args = parse_args(argv)
    out = args.out
    out.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()
    page = None if args.no_report else R.Report("vesk calibration report")
    cell = inputs(args)
    target = cell.target
    print(f"target: {target!r}")

    he = e2h = rig = None
    joints, four = {}, {}
    failed = None
    try:
        if cell.hand_eye_dir:
            he = hand_eye_stage(cell.hand_eye_dir, target, out, page)
            joints["tcp_T_camera"] = joint_stage("eye-in-hand", cell.hand_eye_dir, target, out, page, cell.truth)
            if cell.truth is not None and he.ok:
                recheck_stage(out, cell.truth, page)
        if cell.eye_to_hand_dir:
            e2h = eye_to_hand_stage(cell.eye_to_hand_dir, target, out, page)
            joints["robot_T_camera"] = joint_stage("eye-to-hand", cell.eye_to_hand_dir, target, out, page, cell.truth)
        if cell.rig_dir:
            rig = rig_stage(cell.rig_dir, target, cell.n_cams, out, page)
        if cell.four_axis_dir:
            four = four_axis_stage(cell.four_axis_dir, cell.known_axis_offset_m, target, he, out, page)
    except Exception as e:  # the report keeps what finished and says what did not
        failed = e
        if page:
            page.failed("calibration", e)
    finally:
        finish(page, cell.truth, he, e2h, rig, cell.n_cams, out, joints, four)
    if failed is not None:
        raise failed
    print(f"\noutputs in {out}: {', '.join(sorted(p.name for p in out.iterdir()))}")
    print(f"done in {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
