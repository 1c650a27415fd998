"""The `vesk` command: calibrate a folder of captures, plan the poses to record, re-check a result.

    vesk calibrate eye-to-hand captures/cell --board charuco:5x7:0.036195:0.018256:DICT_6X6_250 \\
        --poses captures/cell/poses --pose-format ros --out results
    vesk plan first --start 400,0,600,0,90,0 --pose-format kuka --out first.csv
    vesk verify results/eye_to_hand.json captures/today --poses captures/today/poses.csv --pose-format ros

Exit status: 0 done and ok, 1 the calibration or plan did not succeed, 2 a usage or input error.
Only argparse is imported until a command runs, so that --help answers at once.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import pathlib
import sys

KINDS = ("intrinsics", "eye-in-hand", "eye-to-hand", "rig")
METHODS = ("TSAI", "PARK", "HORAUD", "ANDREFF", "DANIILIDIS")
RESULT_FILES = {"eye-in-hand": "hand_eye.json", "eye-to-hand": "eye_to_hand.json",
                "rig": "multi_camera_calibration.json", "intrinsics": "intrinsics.json"}


class UsageError(Exception):
    """Bad arguments or input files: exit status 2."""


# ---- boards --------------------------------------------------------------------------------------

BOARD_HELP = ("chessboard:COLSxROWS:SQUARE (inner corners), charuco:SXxSY:SQUARE:MARKER:DICT (squares), "
              "grid:COLSxROWS:MARKER:SEPARATION:DICT (ArUco markers), lengths in m; or a YAML file with "
              "type, size, square, marker, separation, dictionary")


def _size(text, what):
    parts = str(text).lower().split("x") if not isinstance(text, list) else text
    try:
        a, b = (int(p) for p in parts)
    except (TypeError, ValueError):
        raise UsageError(f"board {what}: expected COLSxROWS such as 9x6, got {text!r}") from None
    return a, b


def board_fields(board: str) -> dict:
    """The fields of a board string or YAML file."""
    path = pathlib.Path(board)
    if path.suffix.lower() in (".yaml", ".yml"):
        from . import _yaml

        if not path.is_file():
            raise UsageError(f"no such board file: {path}")
        try:
            doc = _yaml.load(path)
        except ValueError as e:
            raise UsageError(f"board file {path}: {e}") from None
        if not isinstance(doc, dict) or "type" not in doc:
            raise UsageError(f"board file {path}: expected a mapping with 'type' (chessboard, charuco or grid)")
        fields = {str(k).lower(): v for k, v in doc.items()}
    else:
        kind, *rest = board.split(":")
        names = {"chessboard": ("size", "square"), "charuco": ("size", "square", "marker", "dictionary"),
                 "grid": ("size", "marker", "separation", "dictionary")}.get(kind.lower())
        if names is None:
            raise UsageError(f"board {board!r}: expected {BOARD_HELP}")
        if len(rest) != len(names):
            raise UsageError(f"board {board!r}: a {kind} board is {kind}:{':'.join(n.upper() for n in names)}")
        fields = {"type": kind, **dict(zip(names, rest))}
    return fields


def make_target(board: str):
    import _vesk

    f = board_fields(board)
    kind = str(f["type"]).lower()
    need = {"chessboard": ("size", "square"), "charuco": ("size", "square", "marker", "dictionary"),
            "grid": ("size", "marker", "separation", "dictionary")}.get(kind)
    if need is None:
        raise UsageError(f"board type {kind!r}: expected chessboard, charuco or grid")
    missing = [n for n in need if f.get(n) in (None, "")]
    if missing:
        raise UsageError(f"board {board!r}: missing {', '.join(missing)}")
    try:
        cols, rows = _size(f["size"], "size")
        length = {n: float(f[n]) for n in ("square", "marker", "separation") if n in need}
        if kind == "chessboard":
            return _vesk.ChessboardTarget((cols, rows), length["square"])
        if kind == "charuco":
            return _vesk.CharucoTarget(cols, rows, length["square"], length["marker"], str(f["dictionary"]))
        return _vesk.ArucoTarget((cols, rows), length["marker"], length["separation"], str(f["dictionary"]))
    except (ValueError, TypeError) as e:
        raise UsageError(f"board {board!r}: {e}") from None


# ---- console -------------------------------------------------------------------------------------

class Console:
    """Where the run's text goes: the core's reports (stdout) and log lines, progress, the summary."""

    def __init__(self, quiet: bool, as_json: bool):
        self.quiet, self.as_json = quiet, as_json
        self.tty = sys.stderr.isatty() and not quiet

    def progress(self, stage: str):
        if not self.tty:
            return None

        def report(done: int, total: int) -> None:
            width = 30
            filled = width * done // max(total, 1)
            sys.stderr.write(f"\r\x1b[2K  {stage} [{'#' * filled}{'.' * (width - filled)}] {done}/{total}")
            if done == total:
                sys.stderr.write("\n")
            sys.stderr.flush()

        return report

    def say(self, text: str) -> None:
        if not self.quiet:
            print(text, file=sys.stderr if self.as_json else sys.stdout, flush=True)

    @contextlib.contextmanager
    def core_output(self):
        """The core writes reports to file descriptor 1: with --json they go to stderr (stdout holds the
        summary alone), with --quiet nowhere; with --quiet only WARNING and above of its log lines."""
        import _vesk

        previous = None
        if self.quiet:
            def handler(level: str, message: str) -> None:
                if level in ("WARNING", "ERROR"):
                    sys.stderr.write(f"[vesk][{level}] {message}\n")

            previous = _vesk.set_log_handler(handler)
        saved = None
        if self.quiet or self.as_json:
            sys.stdout.flush()
            saved = os.dup(1)
            target = os.open(os.devnull, os.O_WRONLY) if self.quiet else os.dup(2)
            os.dup2(target, 1)
            os.close(target)
        try:
            yield
        finally:
            if saved is not None:
                sys.stdout.flush()
                os.dup2(saved, 1)
                os.close(saved)
            if self.quiet:
                _vesk.set_log_handler(previous)


# ---- calibrate -----------------------------------------------------------------------------------

def _pose_convention(args):
    from .poses import convention

    try:
        return convention(args.pose_format)
    except (ValueError, TypeError) as e:
        raise UsageError(f"--pose-format: {e}") from None


def _load_poses(args, images=None):
    """The robot poses of --poses; with `images`, one for each of them or a UsageError."""
    from .io import load_robot_poses

    if not args.poses:
        what = f"calibrate {args.kind}" if args.command == "calibrate" else args.command
        raise UsageError(f"{what} needs --poses FILE (and --pose-format NAME)")
    try:
        poses = load_robot_poses(args.poses, _pose_convention(args))
    except (ValueError, FileNotFoundError) as e:
        raise UsageError(str(e)) from None
    if images is not None and len(poses) != len(images):
        raise UsageError(f"{len(images)} images in {args.folder} but {len(poses)} poses in {args.poses}: "
                         "each image needs the robot pose it was taken at")
    return poses


def _load_images(folder):
    from .io import load_image_folder

    try:
        images, files = load_image_folder(folder)
    except (FileNotFoundError, RuntimeError) as e:
        raise UsageError(str(e)) from None
    if not images:
        raise UsageError(f"no images (.png, .jpg, ...) in {folder}")
    return images, files


def _transform_summary(T):
    from .poses import matrix_to_robot_pose

    import numpy as np

    T = np.asarray(T)
    if T.size == 0:
        return None
    v = matrix_to_robot_pose(T, "ros")
    return {"matrix": T.tolist(), "xyz_m": v[:3], "quaternion_xyzw": v[3:]}


def _write_json(path: pathlib.Path, data) -> None:
    tmp = path.with_name(path.name + ".tmp")
    tmp.write_text(json.dumps(data, indent=2) + "\n", encoding="utf-8")
    os.replace(tmp, path)


def _refine_supported(cls) -> bool:
    return "refine" in (cls.calibrate.__doc__ or "")


def _check_calibrate_args(args, hand_eye_class) -> str:
    """The method name, once the options are known to fit together."""
    if args.method.upper() not in METHODS:
        raise UsageError(f"--method {args.method!r}: expected one of {', '.join(METHODS)}")
    if args.refine and hand_eye_class is not None and not _refine_supported(hand_eye_class):
        raise UsageError(f"--refine: this build of the vesk module has no refinement for {args.kind} calibration "
                         "yet (its calibrate takes no refine=); run without --refine or update the module")
    if args.refine and args.kind == "intrinsics":
        raise UsageError("--refine applies to eye-in-hand, eye-to-hand and rig calibration")
    if (args.poses or args.pose_format) and args.kind in ("intrinsics", "rig"):
        raise UsageError(f"calibrate {args.kind} takes no robot poses")
    return args.method.upper()


def _report_page(args, console):
    """The HTML report being built, or None when not wanted or its packages are missing."""
    if args.no_report:
        return None
    try:
        from . import report as R

        return R.Report("vesk calibration report")
    except ImportError as e:
        console.say(f"report.html not written: it needs matplotlib and opencv-python-headless "
                    f"(pip install 'vesk-core[report]'): {e}")
        return None


def calibrate(args, console: Console) -> dict:
    import _vesk

    from . import ros

    hand_eye_class = {"eye-in-hand": _vesk.EyeInHandCalibrator, "eye-to-hand": _vesk.EyeToHandCalibrator}.get(args.kind)
    method = _check_calibrate_args(args, hand_eye_class)
    target = make_target(args.board)
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    summary = {"command": "calibrate", "kind": args.kind, "board": args.board, "out": str(out)}
    page = _report_page(args, console)
    if args.kind == "rig":
        result, sizes = _calibrate_rig(args, target, out, page, summary, console)
    else:
        images, files = _load_images(args.folder)
        console.say(f"{len(images)} images from {args.folder} ({files[0].name} ... {files[-1].name})")
        sizes = [images[0].shape[1::-1]]
        if args.kind == "intrinsics":
            result = _calibrate_intrinsics(images, target, out, page, summary, console)
        else:
            result = _calibrate_hand_eye(args, hand_eye_class, method, images, target, out, page, summary, console)
    written = [out / RESULT_FILES[args.kind]] if summary["ok"] else []
    if summary["ok"]:
        parent = args.parent_frame or ("tool0" if args.kind == "eye-in-hand" else "base_link")
        written += ros.write_result_files(out, result, parent, args.child_frame, sizes)
    if page is not None:
        if not summary["ok"]:
            page.failed(f"{args.kind} calibration", RuntimeError("the calibration did not succeed; see its log"))
        written.append(page.write(out / "report.html"))
    summary["outputs"] = [str(p) for p in written]
    return summary


def _calibrate_rig(args, target, out, page, summary, console):
    import _vesk

    folder = pathlib.Path(args.folder)
    n = args.cameras or len([p for p in folder.glob("cam_*") if p.is_dir()])
    if n < 2:
        raise UsageError(f"{folder}: a rig folder holds cam_00, cam_01, ... (or give --cameras N)")
    try:
        lists = _vesk.io.load_multi_camera_dataset(folder, n)
    except (RuntimeError, ValueError) as e:
        raise UsageError(str(e)) from None
    console.say(f"{n} cameras, {len(lists[0])} frames from {folder}")
    mc = _vesk.MultiCameraCalibrator(target, n)
    with console.core_output():
        result = mc.calibrate(lists, output_path=str(out), refine=args.refine,
                              progress=console.progress("rig calibration"))
    summary.update(ok=bool(result.ok), reference_index=result.reference_index,
                   reference_T_camera=[_transform_summary(T) for T in result.reference_T_camera_list])
    if page is not None:
        from . import report as R

        with console.core_output():
            R.add_rig_sections(page, mc, result, lists, target)
    return result, [images[0].shape[1::-1] for images in lists]


def _calibrate_intrinsics(images, target, out, page, summary, console):
    import _vesk

    size = images[0].shape[1::-1]
    options = _vesk.IntrinsicOptions()
    calibrator = _vesk.IntrinsicCalibrator(target, options)
    with console.core_output():
        result = calibrator.calibrate(images, progress=console.progress("intrinsic calibration"))
    summary.update(ok=bool(result.ok), reprojection_error_px=result.reprojection_error,
                   views_used=len(result.successful_indices), views_total=len(images))
    if result.ok:
        _write_json(out / RESULT_FILES["intrinsics"], {
            "image_width": int(size[0]), "image_height": int(size[1]),
            "intrinsic_matrix": result.intrinsic_matrix.tolist(),
            "distortion_coefficients": result.distortion_coefficients.ravel().tolist(),
            "reprojection_error": result.reprojection_error,
            "num_views_used": len(result.successful_indices), "num_views_total": len(images)})
    if page is not None:
        from . import report as R

        detections = calibrator.detections()
        page.section("intrinsic calibration", "intrinsics", "Intrinsics",
                     lambda: R.intrinsics_section("camera", result, detections, size,
                                                  options.per_view_error_threshold))
    return result


def _calibrate_hand_eye(args, hand_eye_class, method, images, target, out, page, summary, console):
    import _vesk

    poses = _load_poses(args, images)
    calibrator = hand_eye_class(target, _vesk.IntrinsicOptions())
    extra = {"refine": True} if args.refine else {}
    with console.core_output():
        result = calibrator.calibrate(poses, images, method, output_path=str(out),
                                      progress=console.progress(f"{args.kind} calibration"), **extra)
    summary.update(_hand_eye_summary(args.kind, method, result, len(poses)))
    if page is not None and result.ok:
        with console.core_output():
            _hand_eye_sections(page, args.kind, result, target, poses, images, console)
    return result


def _hand_eye_summary(kind, method, result, n_poses) -> dict:
    name = "tcp_T_camera" if kind == "eye-in-hand" else "robot_T_camera"
    summary = dict(ok=bool(result.ok), method=method, frames_used=len(result.valid_robot_T_tcp_list),
                   frames_total=n_poses, reprojection_error_px=result.reprojection_error,
                   findings=[{"code": f.code, "message": f.message, "frames": list(f.frames)}
                             for f in result.data_findings])
    summary[name] = _transform_summary(getattr(result, name)) if result.ok else None
    if kind == "eye-to-hand" and result.ok:
        summary["tcp_T_target"] = _transform_summary(result.tcp_T_target)
    if result.ok:
        u = result.uncertainty
        summary["sigma"] = {"translation_m": list(u.translation_std_m), "rotation_deg": list(u.rotation_std_deg)}
    joint = getattr(result, "joint", None)
    if joint is not None:
        summary["joint_solve"] = {
            "ok": bool(joint.ok), "failure": joint.failure.message if joint.failure else None,
            "closed_form": _transform_summary(joint.closed_form) if joint.closed_form.size else None,
            "noise": {"pixel_px": joint.noise.pixel_px, "robot_translation_m": joint.noise.robot_translation_m,
                      "robot_rotation_deg": joint.noise.robot_rotation_deg}}
    return summary


def _hand_eye_sections(page, kind, result, target, poses, images, console):
    import _vesk
    from _vesk import diagnostics

    from . import report as R

    K, D = result.intrinsic_matrix, result.distortion_coefficients
    fixed = kind == "eye-to-hand"
    methods = diagnostics.compare_hand_eye_methods(target, poses, images, [], K, D, eye_to_hand=fixed,
                                                   progress=console.progress("five solvers"))
    text = diagnostics.format_method_comparison(methods)
    if fixed:
        rt = _vesk.CalibrationBenchmark().eye_to_hand_roundtrip(
            result.valid_image_list, result.valid_robot_T_tcp_list, result.robot_T_camera, K, D, target,
            result.camera_T_target_list)
        page.section("eye-to-hand calibration", "eye-to-hand", "Eye-to-hand: robot_T_camera",
                     lambda: R.eye_to_hand_section(result, methods, text, rt))
    else:
        page.section("eye-in-hand calibration", "hand-eye", "Hand-eye: tcp_T_camera",
                     lambda: R.hand_eye_section(result, methods, text))
    if getattr(result, "joint", None) is not None:
        name, axes = ("robot_T_camera", "robot base") if fixed else ("tcp_T_camera", "tcp")
        setup = "eye-to-hand" if fixed else "eye-in-hand"
        page.section(f"{setup} joint solve", f"{setup}-joint", f"Joint solve: {name}",
                     lambda: R.joint_solve_section(result, name, axes))


# ---- plan ----------------------------------------------------------------------------------------

def _start_pose(args, conv):
    from .io import load_robot_poses
    from .poses import robot_pose_to_matrix

    if pathlib.Path(args.start).is_file():
        try:
            return load_robot_poses(args.start, conv)[0]
        except ValueError as e:
            raise UsageError(str(e)) from None
    try:
        values = [float(v) for v in args.start.replace(",", " ").split()]
        return robot_pose_to_matrix(values, conv)
    except ValueError as e:
        raise UsageError(f"--start {args.start!r}: {e}") from None


def plan_csv(poses, conv) -> str:
    """The planned flange poses in a convention, start pose first, as CSV."""
    from .poses import matrix_to_robot_pose

    lines = [f"# flange poses (robot_T_tcp) to record in this order; the first is the start pose, record it too",
             f"# convention {conv.name or conv.rotation}: {conv.describe()}",
             ",".join(["index"] + [f.upper() for f in conv.fields])]
    for k, T in enumerate(poses):
        lines.append(",".join([str(k)] + [repr(v) for v in matrix_to_robot_pose(T, conv)]))
    return "\n".join(lines) + "\n"


def _camera_info(path):
    from . import _yaml

    import numpy as np

    try:
        doc = _yaml.load(path)
        K = np.array(doc["camera_matrix"]["data"], np.float64).reshape(3, 3)
        D = np.array(doc["distortion_coefficients"]["data"], np.float64).reshape(1, -1)
        return K, D, (int(doc["image_width"]), int(doc["image_height"]))
    except (OSError, ValueError, KeyError, TypeError) as e:
        raise UsageError(f"--camera-info {path}: not a camera_info file ({e})") from None


def _guess(args):
    import _vesk

    path = pathlib.Path(args.result)
    try:
        if args.kind == "eye-to-hand":
            record = _vesk.io.load_eye_to_hand_result(path)
            T = record.robot_T_camera
        else:
            record = _vesk.io.load_hand_eye_result(path)
            T = record.tcp_T_camera_list[0]
    except (RuntimeError, ValueError, IndexError) as e:
        raise UsageError(f"--result {path}: {e}") from None
    import numpy as np

    if T is None or np.asarray(T).size == 0:
        raise UsageError(f"--result {path}: holds no transform")
    return np.asarray(T, np.float64)


def plan(args, console: Console) -> dict:
    import _vesk
    from _vesk import diagnostics

    conv = _pose_convention(args)
    start = _start_pose(args, conv)
    if args.kind == "first":
        poses = diagnostics.plan_first_hand_eye_poses(start, args.angle)
    else:
        for flag in ("board", "image", "camera_info", "result"):
            if not getattr(args, flag):
                raise UsageError(f"plan {args.kind} needs --{flag.replace('_', '-')}")
        target = make_target(args.board)
        if not isinstance(target, _vesk.CharucoTarget):
            raise UsageError(f"plan {args.kind} finds the board's pose in the start image for a charuco board only")
        K, D, size = _camera_info(args.camera_info)
        guess = _guess(args)
        try:
            image = _vesk.io.load_images([args.image])[0]
        except RuntimeError as e:
            raise UsageError(str(e)) from None
        if image.shape[1::-1] != size:
            raise UsageError(f"--image is {image.shape[1]}x{image.shape[0]}, the camera_info {size[0]}x{size[1]}")
        fixed = args.kind == "eye-to-hand"
        with console.core_output():
            seen = _vesk.EyeInHandCalibrator(target).compute_camera_T_target_list([image], [start], K, D)
        if not seen.camera_T_target_list:
            raise UsageError(f"--image {args.image}: the board is not found in it")
        poses = diagnostics.plan_hand_eye_poses(target, K, D, size, start, seen.camera_T_target_list[0], guess,
                                                n_poses=args.n_poses, max_rotation_deg=args.max_rotation,
                                                max_translation_m=args.max_translation, eye_to_hand=fixed)
    poses = [start] + list(poses)
    text = plan_csv(poses, conv)
    out = pathlib.Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(text, encoding="utf-8")
    console.say(f"{len(poses)} flange poses (the start pose first) written to {out}")
    return {"command": "plan", "kind": args.kind, "ok": True, "poses": len(poses), "pose_format": args.pose_format,
            "outputs": [str(out)]}


# ---- verify --------------------------------------------------------------------------------------

def _result_record(path: pathlib.Path):
    """The record of hand_eye.json or eye_to_hand.json (a file, or the folder holding one)."""
    import _vesk

    if path.is_dir():
        names = (RESULT_FILES["eye-in-hand"], RESULT_FILES["eye-to-hand"])
        found = [path / name for name in names if (path / name).is_file()]
        if len(found) != 1:
            raise UsageError(f"{path}: expected one of hand_eye.json and eye_to_hand.json in it, found "
                             f"{len(found) or 'none'}; give the file")
        path = found[0]
    if not path.is_file():
        raise UsageError(f"no such result file: {path}")
    fixed = "eye_to_hand" in path.name
    try:
        return (_vesk.io.load_eye_to_hand_result(path) if fixed else _vesk.io.load_hand_eye_result(path)), path
    except (RuntimeError, ValueError) as e:
        raise UsageError(f"{path}: {e}") from None


def verify(args, console: Console) -> dict:
    from _vesk import diagnostics

    record, path = _result_record(pathlib.Path(args.result))
    images, files = _load_images(args.folder)
    poses = _load_poses(args, images)
    target = make_target(args.board) if args.board else None
    console.say(f"re-checking {path} with {len(images)} images from {args.folder}")
    try:
        with console.core_output():
            v = diagnostics.verify_hand_eye(record, poses, images, target=target)
    except ValueError as e:
        raise UsageError(str(e)) from None
    console.say(v.format())
    return {"command": "verify", "result": str(path), "ok": v.verdict == "consistent", "verdict": v.verdict,
            "moved": v.moved or None, "message": v.message, "statistic": v.statistic, "threshold": v.threshold,
            "dof": v.dof, "corners": list(v.corners), "rms_px": list(v.rms_px),
            "expected_rms_px": list(v.expected_rms_px),
            "camera_change": {"mm": v.camera_change_mm, "deg": v.camera_change_deg},
            "board_change": {"mm": v.board_change_mm, "deg": v.board_change_deg}, "outputs": []}


# ---- arguments -----------------------------------------------------------------------------------

POSE_FORMAT_HELP = ("kuka, ur, abb, fanuc, ros, or a generic form such as euler:zyx:intrinsic:deg:mm, "
                    "quaternion:wxyz:m, rotation_vector:rad:m (see the README's table)")


def parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--json", action="store_true", help="print a machine-readable summary on stdout")
    common.add_argument("--quiet", action="store_true", help="print warnings and errors only")

    ap = argparse.ArgumentParser(prog="vesk", description="Camera calibration for robot cells.",
                                 epilog="Exit status: 0 ok, 1 not ok, 2 usage or input error.")
    sub = ap.add_subparsers(dest="command", required=True, metavar="COMMAND")

    c = sub.add_parser("calibrate", parents=[common], help="calibrate from a folder of images (and robot poses)",
                       description="Calibrate from a folder of images, read in the order of the number in their "
                                   "names; a rig folder holds cam_00, cam_01, ... Writes the result file, "
                                   "report.html and files for ROS 2 (camera_info, static transform, URDF joint) "
                                   "into --out.")
    c.add_argument("kind", choices=KINDS)
    c.add_argument("folder", metavar="FOLDER")
    c.add_argument("--board", required=True, metavar="BOARD", help=BOARD_HELP)
    c.add_argument("--poses", metavar="FILE", help="robot poses (robot_T_tcp, one per image): a CSV or YAML file, or "
                                                   "a folder of YAML files, one pose each")
    c.add_argument("--pose-format", metavar="NAME", help=f"the poses' convention: {POSE_FORMAT_HELP}")
    c.add_argument("--method", default="TSAI", help=f"hand-eye solver: {', '.join(METHODS)} (default TSAI)")
    c.add_argument("--refine", action="store_true", help="refine the solve jointly (hand-eye and rig)")
    c.add_argument("--cameras", type=int, help="rig: number of cameras (default: the cam_* folders)")
    c.add_argument("--out", default="vesk_out", metavar="DIR", help="output folder (default vesk_out)")
    c.add_argument("--parent-frame", metavar="NAME",
                   help="frame of the static transform and URDF joint: the flange (default tool0) or the robot "
                        "base (default base_link)")
    c.add_argument("--child-frame", default="camera_optical_frame", metavar="NAME",
                   help="the camera's frame (OpenCV axes: x right, y down, z forward; default "
                        "camera_optical_frame; rig cameras get _0, _1, ...)")
    c.add_argument("--no-report", action="store_true", help="do not write report.html")

    v = sub.add_parser("verify", parents=[common], help="re-check a stored hand-eye result with 1-5 new images",
                       description="Re-check hand_eye.json or eye_to_hand.json (written by vesk calibrate) with 1 to "
                                   "5 new images and the robot poses they were taken at: prints the verdict "
                                   "(consistent, changed, inconclusive), which part moved where the views tell, and "
                                   "what to do. Exit status 0 only for 'consistent'.")
    v.add_argument("result", metavar="RESULT", help="hand_eye.json / eye_to_hand.json, or the folder holding it")
    v.add_argument("folder", metavar="FOLDER", help="the new images, read in the order of the number in their names")
    v.add_argument("--poses", metavar="FILE", help="their robot poses (robot_T_tcp), as for vesk calibrate")
    v.add_argument("--pose-format", metavar="NAME", help=f"the poses' convention: {POSE_FORMAT_HELP}")
    v.add_argument("--board", metavar="BOARD", help=f"the board, where the result file holds none: {BOARD_HELP}")

    p = sub.add_parser("plan", parents=[common], help="plan the flange poses to record",
                       description="Write the flange poses (robot_T_tcp) to record as CSV in a pose convention, "
                                   "the start pose first. 'first': six small rotations about the flange's axes, "
                                   "for a coarse first calibration; 'eye-in-hand' / 'eye-to-hand': a full plan from "
                                   "the start view and a coarse result.")
    p.add_argument("kind", choices=("first", "eye-in-hand", "eye-to-hand"))
    p.add_argument("--start", required=True, metavar="POSE",
                   help="start flange pose: values in --pose-format ('400,0,600,0,90,0'), or a pose file (its first)")
    p.add_argument("--pose-format", required=True, metavar="NAME", help=f"{POSE_FORMAT_HELP}; also of the output")
    p.add_argument("--out", default="pose_plan.csv", metavar="FILE", help="the CSV to write (default pose_plan.csv)")
    p.add_argument("--angle", type=float, default=10.0, help="first: rotation about each axis, deg (default 10)")
    p.add_argument("--board", metavar="BOARD", help=BOARD_HELP)
    p.add_argument("--image", metavar="FILE", help="the image taken at the start pose")
    p.add_argument("--camera-info", metavar="FILE", help="the camera's camera_info.yaml (from vesk calibrate)")
    p.add_argument("--result", metavar="PATH", help="hand_eye.json / eye_to_hand.json of a coarse calibration")
    p.add_argument("--n-poses", type=int, default=15, help="poses to plan (default 15)")
    p.add_argument("--max-rotation", type=float, default=45.0, help="flange rotation from the start, deg (45)")
    p.add_argument("--max-translation", type=float, default=0.3, help="flange travel from the start, m (0.3)")
    return ap


def main(argv=None) -> int:
    ap = parser()
    args = ap.parse_args(argv)
    console = Console(args.quiet, args.json)
    try:
        summary = {"calibrate": calibrate, "plan": plan, "verify": verify}[args.command](args, console)
    except UsageError as e:
        print(f"vesk {args.command}: error: {e}", file=sys.stderr)
        if args.json:
            print(json.dumps({"command": args.command, "ok": False, "error": str(e)}))
        return 2
    except (RuntimeError, ValueError) as e:  # the core refused the data or the solve failed
        print(f"vesk {args.command}: failed: {e}", file=sys.stderr)
        if args.json:
            print(json.dumps({"command": args.command, "ok": False, "error": str(e)}))
        return 1
    if args.json:
        print(json.dumps(summary))
    elif not args.quiet:
        for path in summary.get("outputs", []):
            print(f"wrote {path}")
        print("ok" if summary["ok"] else "not ok: see the log above")
    return 0 if summary["ok"] else 1


if __name__ == "__main__":
    sys.exit(main())
