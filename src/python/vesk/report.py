"""The calibration report of the main job and of `vesk calibrate`: one self-contained HTML page
(plots embedded as PNG). It draws with matplotlib and cv2 (the `report` extra of the package).

Each calibration that ran adds a section; a stage that failed adds a note
instead, so a run that stops part-way still leaves a page with what finished.
"""

from __future__ import annotations

import base64
import html
import io as _io
import math
import pathlib
import traceback

import cv2
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import _vesk  # noqa: E402
from _vesk import diagnostics  # noqa: E402

CSS = """
body { font: 15px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; color: #1d232a;
       margin: 0; background: #f4f6f8; }
main { max-width: 1120px; margin: 0 auto; padding: 16px 20px 48px; }
h1 { font-size: 26px; margin: 12px 0 4px; }
h2 { font-size: 21px; margin: 28px 0 8px; padding-bottom: 4px; border-bottom: 2px solid #c9d3dd; }
h3 { font-size: 16px; margin: 18px 0 6px; }
p.sub { color: #56636f; margin: 0 0 12px; }
section { background: #fff; border-radius: 8px; padding: 4px 18px 16px; margin: 16px 0;
          box-shadow: 0 1px 3px rgba(0,0,0,.08); }
.grid { display: grid; grid-template-columns: repeat(auto-fill, minmax(440px, 1fr)); gap: 14px; }
figure { margin: 0; }
figure.wide { grid-column: 1 / -1; }
figure img { width: 100%; height: auto; border: 1px solid #e3e8ee; border-radius: 4px; background: #fff; }
figcaption { font-size: 13px; color: #56636f; margin-top: 2px; }
table { border-collapse: collapse; margin: 6px 0 10px; font-variant-numeric: tabular-nums; }
th, td { padding: 3px 10px; border-bottom: 1px solid #e3e8ee; text-align: right; }
th:first-child, td:first-child { text-align: left; }
th { background: #eef2f6; font-weight: 600; }
tr.bad td { color: #b3261e; font-weight: 600; }
.pass { color: #1b7a3a; font-weight: 600; } .fail { color: #b3261e; font-weight: 600; }
pre { background: #f6f8fa; border: 1px solid #e3e8ee; border-radius: 4px; padding: 8px 10px;
      font-size: 12.5px; overflow-x: auto; }
.note { background: #fdecea; border-left: 4px solid #b3261e; padding: 8px 12px; border-radius: 4px; }
.note pre { background: transparent; border: 0; padding: 4px 0 0; }
"""

plt.rcParams.update({"figure.dpi": 110, "font.size": 9.5, "axes.titlesize": 10.5, "axes.grid": True,
                     "grid.alpha": 0.3})


def _png(fig) -> str:
    buf = _io.BytesIO()
    fig.savefig(buf, format="png", bbox_inches="tight")
    plt.close(fig)
    return "data:image/png;base64," + base64.b64encode(buf.getvalue()).decode("ascii")


def _fmt(v, digits=3) -> str:
    if v is None or (isinstance(v, float) and not math.isfinite(v)):
        return "n/a"
    return f"{v:.{digits}f}"


def _table(header, rows, bad_rows=()) -> str:
    out = ["<table><tr>" + "".join(f"<th>{html.escape(h)}</th>" for h in header) + "</tr>"]
    for k, row in enumerate(rows):
        cls = ' class="bad"' if k in bad_rows else ""
        out.append(f"<tr{cls}>" + "".join(f"<td>{html.escape(str(c))}</td>" for c in row) + "</tr>")
    return "\n".join(out) + "</table>"


def _matrix(m, digits=4) -> str:
    m = np.atleast_2d(np.asarray(m, np.float64))
    return "<pre>" + html.escape("\n".join("  ".join(f"{v:>12.{digits}f}" for v in row) for row in m)) + "</pre>"


class Report:
    """Sections in the order they were added, then written as one page."""

    def __init__(self, title: str):
        self.title = title
        self.parts: list[tuple[str, str]] = []  # (section id, html)
        self.failures: list[str] = []

    def add(self, section_id: str, heading: str, body: str, first: bool = False) -> None:
        part = (section_id, f'<section id="{section_id}"><h2>{html.escape(heading)}</h2>{body}</section>')
        self.parts.insert(0, part) if first else self.parts.append(part)

    def failed(self, stage: str, error: BaseException) -> None:
        text = "".join(traceback.format_exception_only(type(error), error)).strip()
        self.failures.append(stage)
        self.add(f"failed-{len(self.failures)}", f"{stage}: failed",
                 f'<div class="note"><b>This stage did not finish.</b> The sections above it are complete; '
                 f"nothing after it ran.<pre>{html.escape(text)}</pre></div>")

    def section(self, stage: str, section_id: str, heading: str, build) -> None:
        """Add the section that build() returns; a plotting failure becomes a note, not a lost page."""
        try:
            self.add(section_id, heading, build())
        except Exception as e:  # a broken plot must not take the other sections with it
            self.failed(stage, e)

    def write(self, path: pathlib.Path) -> pathlib.Path:
        status = ("<p class='fail'>Failed stages: " + html.escape(", ".join(self.failures)) + "</p>"
                  if self.failures else "<p class='pass'>Every stage finished.</p>")
        page = (f"<!DOCTYPE html>\n<html lang='en'><head><meta charset='utf-8'>"
                f"<meta name='viewport' content='width=device-width, initial-scale=1'>"
                f"<title>{html.escape(self.title)}</title><style>{CSS}</style></head>"
                f"<body><main><h1>{html.escape(self.title)}</h1>{status}"
                + "".join(part for _, part in self.parts) + "</main></body></html>\n")
        path.write_text(page, encoding="utf-8")
        return path


# ---- ground truth -------------------------------------------------------------

def ground_truth_section(rows) -> str:
    """rows: (quantity, recovered, truth, error, within bound)."""
    body = _table(["quantity", "recovered", "truth", "error", "bound"],
                  [(q, r, t, e, "met" if ok else "MISSED") for q, r, t, e, ok in rows],
                  bad_rows={k for k, row in enumerate(rows) if not row[4]})
    return "<p class='sub'>The built-in cell is rendered through known cameras and poses.</p>" + body


# ---- intrinsics -----------------------------------------------------------------

def _view_residuals(result, detections):
    """Per view: detected points and their residuals against the calibrated model (solvePnP per view)."""
    K, D = result.intrinsic_matrix, result.distortion_coefficients
    out = []
    for obj, img in zip(detections.object_points, detections.image_points):
        obj = np.asarray(obj, np.float64).reshape(-1, 3)
        img = np.asarray(img, np.float64).reshape(-1, 2)
        ok, rvec, tvec = cv2.solvePnP(obj, img, K, D, flags=cv2.SOLVEPNP_ITERATIVE)
        proj = cv2.projectPoints(obj, rvec, tvec, K, D)[0].reshape(-1, 2)
        out.append((img, img - proj))
    return out


def _image_axes(ax, w, h):
    """Axes over the image frame: pixels, v pointing down as in the image."""
    ax.set_xlim(0, w)
    ax.set_ylim(h, 0)
    ax.set_aspect("equal")
    ax.set_xlabel("u [px]")
    ax.set_ylabel("v [px]")


def _distortion_displacement(points, K, D):
    """Image point minus where the ideal pinhole model puts it, for (N, 1, 2) points."""
    ideal = cv2.undistortPointsIter(points, K, D, None, K, (3, 50, 1e-9)).reshape(-1, 2)
    return points.reshape(-1, 2) - ideal


def intrinsics_section(name, result, detections, image_size, threshold) -> str:
    w, h = image_size
    views = _view_residuals(result, detections)
    all_pts = np.concatenate([p for p, _ in views])
    all_res = np.concatenate([r for _, r in views])
    rms = float(np.sqrt(np.mean(np.sum(all_res ** 2, axis=1))))
    errors = np.asarray(result.per_view_errors)
    failing = errors > threshold
    figs = [_per_view_figure(name, result, errors, failing, threshold),
            _coverage_figure(name, all_pts, len(views), w, h),
            _residual_figure(name, all_pts, all_res, rms, w, h),
            _distortion_figure(name, result.intrinsic_matrix, result.distortion_coefficients, w, h)]
    K, D = result.intrinsic_matrix, result.distortion_coefficients
    numbers = (f"<h3>{html.escape(name)}: numbers</h3>"
               + _table(["measure", "value"], [
                   ("views used", f"{len(views)}"),
                   ("mean per-view error (norm / N)", f"{result.reprojection_error:.4f} px"),
                   ("RMS over all corners", f"{rms:.4f} px"),
                   ("views above threshold", f"{int(failing.sum())} of {len(errors)}")])
               + "<b>K</b>" + _matrix(K, 3) + "<b>distortion (k1 k2 p1 p2 k3 ...)</b>" + _matrix(D, 5))
    return numbers + _figures(figs)


def _per_view_figure(name, result, errors, failing, threshold):
    fig, ax = plt.subplots(figsize=(6.2, 3.2))
    idx = np.asarray(result.successful_indices)
    ax.bar(np.arange(len(errors)), errors, color=np.where(failing, "#c0392b", "#2e86c1"))
    ax.axhline(threshold, color="#b3261e", ls="--", lw=1.2, label=f"per-view threshold {threshold:g} px")
    ax.set_xticks(np.arange(len(errors)), [str(i) for i in idx], fontsize=7.5)
    ax.set_xlabel("image index")
    ax.set_ylabel("per-view RMS error [px]")
    _room_for_legend(ax, max(threshold, float(errors.max()) if errors.size else 0.0) / 1.3)
    ax.set_title(f"{name}: per-view reprojection error ({int(failing.sum())} above threshold, in red)")
    ax.legend(loc="upper center")
    return ("Per-view error; views above the threshold are flagged, not dropped.", _png(fig),
            f"Bar chart of the per-view RMS reprojection error of {name} for {len(errors)} views, from "
            f"{errors.min():.3f} to {errors.max():.3f} px, against a threshold of {threshold:g} px; "
            f"{int(failing.sum())} views lie above it.")


def _coverage_figure(name, all_pts, n_views, w, h):
    fig, ax = plt.subplots(figsize=(6.2, 6.2 * h / w + 0.6))
    ax.scatter(all_pts[:, 0], all_pts[:, 1], s=3, c="#2e86c1", alpha=0.6)
    _image_axes(ax, w, h)
    ax.set_title(f"{name}: coverage of {len(all_pts)} detected corners in {n_views} views")
    span_u = (all_pts[:, 0].min() / w, all_pts[:, 0].max() / w)
    span_v = (all_pts[:, 1].min() / h, all_pts[:, 1].max() / h)
    return ("Where the board was seen: the image corners constrain the distortion.", _png(fig),
            f"Scatter of the {len(all_pts)} corners detected in {n_views} views over the {w} x {h} image of "
            f"{name}; they reach from {100 * span_u[0]:.0f} to {100 * span_u[1]:.0f} % of the width and from "
            f"{100 * span_v[0]:.0f} to {100 * span_v[1]:.0f} % of the height.")


def _residual_figure(name, all_pts, all_res, rms, w, h):
    fig, ax = plt.subplots(figsize=(6.2, 6.2 * h / w + 0.6))
    mags = np.linalg.norm(all_res, axis=1)
    scale = 0.25 * min(w, h) / max(float(np.percentile(mags, 99)), 1e-9) / 10
    # the v axis points down, so residuals are drawn in data coordinates as they are
    q = ax.quiver(all_pts[:, 0], all_pts[:, 1], all_res[:, 0], all_res[:, 1], mags, angles="xy",
                  scale_units="xy", scale=1.0 / scale, cmap="viridis", width=0.003)
    ref = float(np.percentile(mags, 95))
    ax.quiverkey(q, 0.03, 1.04, ref, f"{ref:.3f} px (arrows drawn x{scale:.0f})", labelpos="E",
                 coordinates="axes", fontproperties={"size": 8})
    _image_axes(ax, w, h)
    fig.colorbar(q, ax=ax, shrink=0.8, label="residual [px]")
    ax.set_title(f"{name}: residual vectors", pad=20)
    return ("Detected minus reprojected corner, scaled as the key shows; a pattern means a model error.",
            _png(fig),
            f"Arrows from each reprojected corner of {name} to its detection, magnified {scale:.0f} times; "
            f"residuals have an RMS of {rms:.4f} px and a 95th percentile of {ref:.3f} px.")


def _distortion_figure(name, K, D, w, h):
    fig, ax = plt.subplots(figsize=(6.2, 6.2 * h / w + 0.6))
    us, vs = np.meshgrid(np.linspace(0, w - 1, 25), np.linspace(0, h - 1, 19))
    grid = np.stack([us.ravel(), vs.ravel()], axis=1).reshape(-1, 1, 2)
    disp = _distortion_displacement(grid, K, D)
    dm = np.linalg.norm(disp, axis=1)
    fu, fv = np.meshgrid(np.linspace(0, w - 1, 97), np.linspace(0, h - 1, 73))
    fine = np.stack([fu.ravel(), fv.ravel()], axis=1).reshape(-1, 1, 2)
    fmag = np.linalg.norm(_distortion_displacement(fine, K, D), axis=1).reshape(fu.shape)
    cs = ax.contourf(fu, fv, fmag, levels=12, cmap="magma_r", alpha=0.85)
    ax.quiver(grid[:, 0, 0], grid[:, 0, 1], disp[:, 0], disp[:, 1], angles="xy", scale_units="xy", scale=1 / 4,
              width=0.0025, color="#1d232a")
    _image_axes(ax, w, h)
    fig.colorbar(cs, ax=ax, shrink=0.8, label="displacement [px]")
    ax.set_title(f"{name}: lens distortion (arrows drawn x4)")
    return (f"Where an ideal pinhole point lands in the image: the distortion the model removes "
            f"(up to {dm.max():.1f} px on this grid).", _png(fig),
            f"Map of the lens distortion of {name}: arrows and colour show how far an ideal pinhole point "
            f"moves in the image, from {dm.min():.1f} px to {dm.max():.1f} px (largest near pixel "
            f"{grid[dm.argmax(), 0, 0]:.0f}, {grid[dm.argmax(), 0, 1]:.0f}).")


def _figures(figs) -> str:
    """figs: (caption, data URI, alt text) or (..., True) for a figure across the whole width.

    The alt text says what the plot shows, with its key numbers, for a reader without the picture;
    the caption says how to read it.
    """
    parts = []
    for cap, src, alt, *wide in figs:
        if not alt.strip():
            raise ValueError(f"figure without alt text: {cap}")
        cls = " class='wide'" if wide and wide[0] else ""
        parts.append(f"<figure{cls}><img alt=\"{html.escape(alt)}\" src='{src}'>"
                     f"<figcaption>{html.escape(cap)}</figcaption></figure>")
    return "<div class='grid'>" + "".join(parts) + "</div>"


def _room_for_legend(ax, top):
    """Headroom above the data so that the legend covers no bar or point."""
    ax.set_ylim(0, 1.45 * top if top > 0 else 1.0)


# ---- hand-eye ---------------------------------------------------------------------

def hand_eye_section(result, methods, method_text, threshold_deg=1.5) -> str:
    """A camera on the flange: tcp_T_camera and the board standing still in the cell."""
    return _hand_eye_body(result.tcp_T_camera, "tcp_T_camera", "world_T_target", "the fixed target stays put",
                          "tcp", result, methods, method_text, threshold_deg, eye_to_hand=False)


def eye_to_hand_section(result, methods, method_text, roundtrip, threshold_deg=1.5) -> str:
    """A camera fixed in the cell: robot_T_camera and the board's pose on the flange."""
    intro = ("<p class='sub'>The camera stands still in the robot base and the board rides on the flange; "
             "every frame implies the board's pose on the flange, tcp_T_target.</p>")
    board = ("<b>tcp_T_target</b> (metres, mean over the frames)" + _matrix(result.tcp_T_target, 6)
             + _table(["figure", "value"], [("round trip (board predicted from the robot poses alone)",
                                              f"{_fmt(roundtrip, 4)} px")]))
    return intro + _hand_eye_body(result.robot_T_camera, "robot_T_camera", "tcp_T_target",
                                  "the board stays put on the flange", "robot base", result, methods, method_text,
                                  threshold_deg, eye_to_hand=True, after_transform=board)


def _hand_eye_body(transform, name, fixed, stays, axes, result, methods, method_text, threshold_deg,
                   eye_to_hand, after_transform="") -> str:
    c = result.consistency
    figs = []
    if result.has_consistency and len(c.translation_deviations_m):
        figs.append(_consistency_figure(c, name, fixed, stays))
    body = f"<b>{name}</b> (metres)" + _matrix(transform, 6) + after_transform
    if result.has_consistency:
        body += _table(["consistency", "mean", "max"], [
            ("translation deviation", f"{1000 * c.mean_translation_m:.3f} mm", f"{1000 * c.max_translation_m:.3f} mm"),
            ("rotation deviation", f"{c.mean_rotation_deg:.4f} deg", f"{c.max_rotation_deg:.4f} deg")])

    body += _uncertainty_and_findings(result, axes)
    body += _variety_table(result, eye_to_hand)
    if methods:
        body += _methods_table(methods, method_text, threshold_deg)
    return body + _figures(figs)


def _consistency_figure(c, name, fixed, stays):
    t_mm = 1000 * np.asarray(c.translation_deviations_m)
    r_deg = np.asarray(c.rotation_deviations_deg)
    fig, (a1, a2) = plt.subplots(2, 1, figsize=(6.2, 4.6), sharex=True)
    k = np.arange(len(t_mm))
    a1.bar(k, t_mm, color="#2e86c1")
    a1.axhline(t_mm.mean(), color="#1b7a3a", ls="--", lw=1, label=f"mean {t_mm.mean():.3f} mm")
    a1.axhline(t_mm.max(), color="#b3261e", ls=":", lw=1, label=f"max {t_mm.max():.3f} mm")
    a1.set_ylabel("translation [mm]")
    _room_for_legend(a1, float(t_mm.max()))
    a1.legend(loc="upper center", fontsize=8, ncol=2)
    a1.set_title(f"deviation of each frame's {fixed} from the mean pose")
    a2.bar(k, r_deg, color="#8e44ad")
    a2.axhline(r_deg.mean(), color="#1b7a3a", ls="--", lw=1, label=f"mean {r_deg.mean():.4f} deg")
    a2.axhline(r_deg.max(), color="#b3261e", ls=":", lw=1, label=f"max {r_deg.max():.4f} deg")
    a2.set_ylabel("rotation [deg]")
    a2.set_xlabel("frame (position among the frames used)")
    a2.xaxis.get_major_locator().set_params(integer=True)
    _room_for_legend(a2, float(r_deg.max()))
    a2.legend(loc="upper center", fontsize=8, ncol=2)
    worst = int(np.argmax(t_mm))
    return (f"Target consistency: with a correct {name} {stays}.", _png(fig),
            f"Two bar charts over {len(t_mm)} frames: how far each frame's {fixed} lies from the mean "
            f"pose, mean {t_mm.mean():.3f} mm and {r_deg.mean():.4f} deg, largest {t_mm.max():.3f} mm at "
            f"frame {worst} and {r_deg.max():.4f} deg.")


def _uncertainty_and_findings(result, axes) -> str:
    body = ""
    u = result.uncertainty
    if all(math.isfinite(v) for v in u.translation_std_m + u.rotation_std_deg):
        body += "<h3>Uncertainty (1-sigma, from the frames' own scatter)</h3>" + _table(
            ["component", "x", "y", "z"],
            [("translation [mm]", *(f"{1000 * v:.3f}" for v in u.translation_std_m)),
             (f"rotation about the {axes} axes [deg]", *(f"{v:.4f}" for v in u.rotation_std_deg))])
    else:
        body += "<h3>Uncertainty</h3><p>n/a: it needs 5 frames, and rotation about two axes with any frame left out.</p>"
    findings = list(result.data_findings)
    body += "<h3>Data check</h3>" + (
        _table(["finding", "frames", "what to do"],
               [(f.code, ", ".join(map(str, f.frames)), f.message) for f in findings], set(range(len(findings))))
        if findings else "<p>No findings: units, direction and pairing of the robot poses agree with the images.</p>")
    return body


def _variety_table(result, eye_to_hand) -> str:
    stats = diagnostics.analyze_rotation_variety(list(result.camera_T_target_list), eye_to_hand=eye_to_hand)
    if stats is None:
        return ""
    text = diagnostics.format_rotation_variety(stats)
    verdict = next((line.strip()[4:] for line in text.splitlines() if line.strip().startswith(">>>")), "")
    return "<h3>Rotation variety</h3>" + _table(["figure", "value"], [
        ("inter-frame motions", stats.num_motions),
        ("mean / max rotation", f"{stats.angle_mean_deg:.2f} / {stats.angle_max_deg:.2f} deg"),
        ("singular values of the rotation vectors", ", ".join(f"{v:.3f}" for v in stats.singular_values)),
        ("axis-spread ratio (min / max)", f"{stats.axis_span_ratio:.3f}"),
        ("verdict", verdict)])


def _methods_table(methods, method_text, threshold_deg) -> str:
    valid = {n: r for n, r in methods.items() if r is not None}
    median = float(np.median([r.pose_deg[5] for r in valid.values()])) if valid else math.nan
    rows, bad = [], set()
    for k, (method, r) in enumerate(sorted(methods.items())):
        if r is None:
            rows.append((method, "failed", "", "", "", "", "", ""))
            bad.add(k)
            continue
        p = r.pose_deg
        outlier = abs(p[5] - median) > threshold_deg
        if outlier:
            bad.add(k)
        rows.append((method, *(f"{1000 * v:.2f}" for v in p[:3]), *(f"{v:.2f}" for v in p[3:]),
                     "outlier" if outlier else ""))
    return ("<h3>Five hand-eye solvers</h3>"
            + _table(["method", "x [mm]", "y [mm]", "z [mm]", "rx [deg]", "ry [deg]", "rz [deg]", ""], rows, bad)
            + "<pre>" + html.escape("\n".join(l for l in method_text.splitlines() if l.strip().startswith(
                (">>>", "rz total", "translation spread")) or l.startswith("      "))) + "</pre>")


# ---- rig ----------------------------------------------------------------------------

def _frustum(ax, T, K, size, depth, dims, color, label):
    w, h = size
    corners = np.array([[0, 0], [w, 0], [w, h], [0, h]], np.float64)
    rays = np.linalg.solve(K, np.vstack([corners.T, np.ones(4)])).T * depth
    c = T[:3, 3]
    pts = (T[:3, :3] @ rays.T).T + c
    i, j = dims
    for p in pts:
        ax.plot([c[i] * 1000, p[i] * 1000], [c[j] * 1000, p[j] * 1000], color=color, lw=0.9)
    loop = np.vstack([pts, pts[:1]])
    ax.plot(loop[:, i] * 1000, loop[:, j] * 1000, color=color, lw=0.9)
    ax.scatter([c[i] * 1000], [c[j] * 1000], color=color, s=22, zorder=3)
    ax.annotate(label, (c[i] * 1000, c[j] * 1000), textcoords="offset points", xytext=(5, 5), fontsize=8.5,
                color=color)


def plan_section(plan, own, start, seen, X, K, size, target, predicted, need, noise, goal, max_rot, max_tr) -> str:
    """The planned camera poses around the board next to the cell's own, and what each predicts."""
    def cameras(poses):
        # target_T_camera of each flange pose, seen through the calibrated hand-eye transform
        return [np.linalg.inv(np.linalg.inv(X) @ np.linalg.inv(F) @ start @ X @ seen) for F in poses]

    width, height = _board_extent(target)
    fig, axes = plt.subplots(1, 2, figsize=(10.5, 4.6))
    for ax, dims, title in ((axes[0], (0, 1), "seen from above the board (x-y)"),
                            (axes[1], (0, 2), "seen from the board's side (x-z)")):
        i, j = dims
        outline = np.array([[0, 0, 0], [width, 0, 0], [width, height, 0], [0, height, 0], [0, 0, 0]])
        ax.plot(outline[:, i] * 1000, outline[:, j] * 1000, color="k", lw=1.6, label="board")
        for T in cameras(own):
            ax.scatter([T[i, 3] * 1000], [T[j, 3] * 1000], color="#9e9e9e", s=18, zorder=2)
        for k, T in enumerate(cameras(plan)):
            _frustum(ax, T, K, size, 0.05, dims, "#2e86c1", str(k + 1))
        ax.scatter([], [], color="#9e9e9e", s=18, label="the cell's own poses")
        ax.plot([], [], color="#2e86c1", label="planned poses, in path order")
        ax.set_xlabel(f"{'xyz'[i]} [mm]")
        ax.set_ylabel(f"{'xyz'[j]} [mm]")
        ax.set_title(f"camera poses around the board, {title}")
        ax.set_aspect("equal", adjustable="datalim")
        ax.legend(fontsize=8, loc="best")
    fig.tight_layout()
    planned, cell = predicted["plan"], predicted["cell"]
    norm = lambda u: (1000 * float(np.linalg.norm(u.translation_std_m)), float(np.linalg.norm(u.rotation_std_deg)))
    (pt, pr), (ct, cr) = norm(planned), norm(cell)
    figs = [("Each planned camera is a frustum 50 mm deep, numbered in the order the robot visits them; grey dots "
             "are the cameras of the cell's own poses. Board coordinates: z points away from the camera side.",
             _png(fig),
             f"Top and side views of the {len(plan)} planned camera poses around the "
             f"{1000 * width:.0f} x {1000 * height:.0f} mm board, next to the cell's {len(own)} own poses; the "
             f"plan predicts a 1-sigma of {pt:.3f} mm and {pr:.4f} deg against {ct:.3f} mm and {cr:.4f} deg for "
             f"the cell's own poses.", True)]
    rows = []
    for name, u in (("planned poses", planned), ("the cell's own poses", cell)):
        rows.append((name, ", ".join(f"{1000 * v:.3f}" for v in u.translation_std_m),
                     ", ".join(f"{v:.4f}" for v in u.rotation_std_deg)))
    mm, deg = goal
    body = _table(["poses", "predicted 1-sigma translation x, y, z [mm]", "rotation x, y, z [deg]"], rows)
    body += _table(["plan", "value"], [
        ("poses", f"{len(plan)}, within {max_rot:.1f} deg and {1000 * max_tr:.0f} mm of the first pose"),
        ("assumed noise", f"robot {1000 * noise['robot_noise_m']:g} mm / {noise['robot_noise_deg']:g} deg, corners "
                          f"{noise['corner_noise_px']:g} px, per axis"),
        (f"planned poses for the cell's own sigma ({mm:.3f} mm / {deg:.4f} deg)",
         str(need.n_poses) if need.reached else f"more than {need.n_poses}"),
        ("file", "pose_plan.npz (entry robot_T_tcp_list, N x 4 x 4)")])
    return body + _figures(figs)


def _board_extent(target):
    """(width, height) in metres of the board's points, from its origin."""
    if hasattr(target, "squares_x"):
        return target.squares_x * target.square_length, target.squares_y * target.square_length
    if hasattr(target, "square_size"):
        w, h = target.size
        return (w - 1) * target.square_size, (h - 1) * target.square_size
    w, h = target.board_size
    step = target.marker_length + target.marker_separation
    return w * step - target.marker_separation, h * step - target.marker_separation


def rig_section(result, triangulation, residuals, square_m, image_size) -> str:
    n = len(result.reference_T_camera_list)
    colors = plt.cm.tab10(np.arange(n))
    figs = [_rig_frustum_figure(result, colors, image_size), _pair_error_figure(result, colors)]
    body = _table(["camera", "stereo RMS [px]", "intrinsic RPE [px]", "translation from reference [mm]"], [
        (f"cam_{c}", _fmt(result.pair_reprojection_errors[c], 4), _fmt(result.intrinsic_reprojection_errors[c], 4),
         _fmt(1000 * float(np.linalg.norm(T[:3, 3])), 2) if T.size else "n/a")
        for c, T in enumerate(result.reference_T_camera_list)])

    if result.refined:
        body += _joint_table(result)
        figs.append(_joint_figure(result, colors))

    if triangulation is not None:
        body += _triangulation_part(triangulation, residuals, square_m, colors, figs)
    return body + _figures(figs)


def _rig_frustum_figure(result, colors, image_size):
    n = len(result.reference_T_camera_list)
    fig, axes = plt.subplots(1, 2, figsize=(10.5, 4.4))
    for ax, dims, title, labels in ((axes[0], (0, 2), "top view (x-z)", ("x [mm]", "z [mm]")),
                                    (axes[1], (2, 1), "side view (z-y)", ("z [mm]", "y [mm]"))):
        for c, T in enumerate(result.reference_T_camera_list):
            if T.size == 0:
                continue
            _frustum(ax, T, result.intrinsic_matrices[c], image_size, 0.08, dims, colors[c], f"cam_{c}")
        ax.set_xlabel(labels[0])
        ax.set_ylabel(labels[1])
        ax.set_title(f"camera poses relative to the reference, {title}")
        ax.set_aspect("equal", adjustable="datalim")
        if dims[1] == 1:
            ax.invert_yaxis()  # image y points down
    fig.tight_layout()
    placed = ", ".join(f"cam_{c} at {1000 * float(np.linalg.norm(T[:3, 3])):.0f} mm"
                       for c, T in enumerate(result.reference_T_camera_list) if T.size and c != result.reference_index)
    return ("Each frustum is drawn 80 mm deep; the reference camera sits at the origin.", _png(fig),
            f"Top and side views of the {n} rig cameras as frustums, relative to the reference camera "
            f"cam_{result.reference_index}: {placed or 'no other camera solved'}.", True)


def _pair_error_figure(result, colors):
    n = len(result.reference_T_camera_list)
    fig, ax = plt.subplots(figsize=(5.2, 3.0))
    pair = [e if math.isfinite(e) else 0.0 for e in result.pair_reprojection_errors]
    ax.bar([f"cam_{c}" for c in range(n)], pair, color=colors)
    for c, e in enumerate(result.pair_reprojection_errors):
        ax.annotate("reference" if c == result.reference_index else (f"{e:.3f}" if math.isfinite(e) else "failed"),
                    (c, pair[c]), ha="center", va="bottom", fontsize=8.5)
    ax.set_ylabel("stereo RMS vs reference [px]")
    ax.set_title("pair reprojection error per camera")
    ax.margins(y=0.2)
    return ("cv::stereoCalibrate's RMS of each camera paired with the reference.", _png(fig),
            "Bar chart of the stereo RMS of each camera paired with the reference: " + ", ".join(
                f"cam_{c} " + ("reference" if c == result.reference_index else
                               (f"{e:.3f} px" if math.isfinite(e) else "failed"))
                for c, e in enumerate(result.pair_reprojection_errors)) + ".")


def _triangulation_part(triangulation, residuals, square_m, colors, figs) -> str:
    """The triangulation table; its figures are appended to figs."""
    if residuals:
        fig, ax = plt.subplots(figsize=(5.2, 3.2))
        for c, (ids, res) in residuals.items():
            ax.plot(ids, res, "o", ms=3.5, color=colors[c], label=f"cam_{c}")
        ax.set_xlabel("ChArUco corner id")
        ax.set_ylabel("reprojection residual [px]")
        ax.set_title(f"triangulated corners of frame {triangulation.frame_index}, reprojected")
        _room_for_legend(ax, max(float(np.max(r)) for _, r in residuals.values()))
        ax.legend(fontsize=8, ncol=len(residuals), loc="upper center")
        figs.append(("Distance between each detected corner and its triangulated point, reprojected.",
                     _png(fig),
                     f"Dots per ChArUco corner id of frame {triangulation.frame_index}: the pixel distance "
                     f"between each camera's detection and the triangulated point reprojected, "
                     + ", ".join(f"cam_{c} up to {float(np.max(r)):.3f} px" for c, (_, r) in residuals.items())
                     + "."))
    d_mm = 1000 * np.asarray(triangulation.neighbor_distances_m)
    if d_mm.size:
        fig, ax = plt.subplots(figsize=(5.2, 3.2))
        ax.hist(d_mm, bins=30, color="#2e86c1")
        ax.axvline(1000 * square_m, color="#b3261e", ls="--", label=f"expected {1000 * square_m:g} mm")
        ax.axvline(d_mm.mean(), color="#1b7a3a", ls=":", label=f"mean {d_mm.mean():.3f} mm")
        ax.set_xlabel("distance between neighbouring corners [mm]")
        ax.set_ylabel("count")
        ax.set_title("board geometry from triangulation")
        ax.legend(fontsize=8)
        figs.append(("Neighbour distances of the triangulated board against the printed square length.",
                     _png(fig),
                     f"Histogram of {d_mm.size} distances between neighbouring triangulated corners, mean "
                     f"{d_mm.mean():.3f} mm, from {d_mm.min():.3f} to {d_mm.max():.3f} mm, against the printed "
                     f"square of {1000 * square_m:g} mm."))
    return _table(["triangulation", "value"], [
        ("frame", triangulation.frame_index),
        ("co-planarity (3rd singular value)", f"{1000 * triangulation.plane_thickness_m:.4f} mm"),
        ("mean neighbour distance", f"{d_mm.mean():.4f} mm (expected {1000 * square_m:g} mm)" if d_mm.size
         else "n/a"),
        *[(f"reprojection RMS cam_{c}", f"{_fmt(r, 4)} px over {k} corners")
          for c, (r, k) in enumerate(zip(triangulation.rms_per_camera, triangulation.counts_per_camera))]])


def _joint_table(result) -> str:
    def sigma(values, scale, digits):
        return ", ".join(_fmt(scale * v, digits) for v in values)

    rows = []
    for c, T in enumerate(result.reference_T_camera_list):
        u = result.reference_T_camera_uncertainty[c]
        placed = T.size > 0
        reached = result.reached_through[c]
        rows.append((f"cam_{c}", _fmt(result.joint_rms_per_camera[c], 4) if placed else "n/a",
                     "reference" if c == result.reference_index else
                     (sigma(u.translation_std_m, 1000, 3) if placed else "n/a"),
                     "" if c == result.reference_index else (sigma(u.rotation_std_deg, 1, 4) if placed else "n/a"),
                     f"through cam_{reached}" if reached >= 0 else ("" if placed else "not placed")))
    left_out = ", ".join(f"cam_{c} frame {f}" for c, f in result.rejected_views) or "none"
    return (_table(["camera", "joint RMS [px]", "1-sigma translation x, y, z [mm]", "1-sigma rotation x, y, z [deg]",
                    "chain"], rows)
            + _table(["joint solve", "value"], [("RMS over every corner", f"{result.joint_rms:.4f} px"),
                                                ("views left out as off the rig", left_out)]))


def _joint_figure(result, colors):
    n = len(result.reference_T_camera_list)
    fig, axes = plt.subplots(1, 2, figsize=(10.5, 3.2))
    rms = [v if math.isfinite(v) else 0.0 for v in result.joint_rms_per_camera]
    axes[0].bar([f"cam_{c}" for c in range(n)], rms, color=colors)
    axes[0].set_ylabel("joint RMS [px]")
    axes[0].set_title("residual of each camera's corners in the joint solve")
    axes[0].margins(y=0.2)
    width = 0.25
    for k, axis in enumerate("xyz"):
        values = [1000 * u.translation_std_m[k] if math.isfinite(u.translation_std_m[k]) else 0.0
                  for u in result.reference_T_camera_uncertainty]
        axes[1].bar(np.arange(n) + (k - 1) * width, values, width, label=axis,
                    color=("#2e86c1", "#1b7a3a", "#b3261e")[k])
    axes[1].annotate("reference", (result.reference_index, 0), ha="center", va="bottom", fontsize=8.5)
    axes[1].set_xticks(np.arange(n), [f"cam_{c}" for c in range(n)])
    axes[1].set_ylabel("1-sigma [mm]")
    axes[1].set_title("predicted 1-sigma of each camera's translation")
    axes[1].legend(fontsize=8, title="axis of the reference camera", title_fontsize=8)
    fig.tight_layout()
    sig = ", ".join(f"cam_{c} " + "/".join(f"{1000 * v:.3f}" for v in u.translation_std_m) + " mm"
                    for c, u in enumerate(result.reference_T_camera_uncertainty)
                    if c != result.reference_index and all(math.isfinite(v) for v in u.translation_std_m))
    return ("Left: RMS of each camera's corners after the joint solve. Right: the solve's predicted 1-sigma of "
            "each camera's position, per axis of the reference camera (the reference itself is exact).",
            _png(fig),
            f"Two bar charts of the joint rig solve: the RMS of each camera's corners, "
            + ", ".join(f"cam_{c} {v:.3f} px" for c, v in enumerate(result.joint_rms_per_camera) if math.isfinite(v))
            + f"; and the predicted 1-sigma of each camera's translation in x/y/z, {sig or 'none known'}.", True)


def triangulation_residuals(triangulation, result, detections_frame0):
    """Per camera (ids, residual px) of frame 0's detected corners against the reprojected 3-D points."""
    pts = {int(i): p for i, p in zip(triangulation.ids.ravel(), np.asarray(triangulation.points_3d))}
    out = {}
    for c, det in enumerate(detections_frame0):
        T = result.reference_T_camera_list[c]
        if det is None or T.size == 0:
            continue
        corners, ids = det
        keep = [k for k, i in enumerate(ids) if int(i) in pts]
        if not keep:
            continue
        X = np.array([pts[int(ids[k])] for k in keep], np.float64)
        camera_T_reference = np.linalg.inv(T)
        rvec, _ = cv2.Rodrigues(camera_T_reference[:3, :3])
        proj = cv2.projectPoints(X, rvec, camera_T_reference[:3, 3].copy(), result.intrinsic_matrices[c],
                                 result.distortion_coefficients[c])[0].reshape(-1, 2)
        res = np.linalg.norm(np.asarray(corners, np.float64).reshape(-1, 2)[keep] - proj, axis=1)
        out[c] = (np.asarray(ids).ravel()[keep], res)
    return out


# ---- benchmark -------------------------------------------------------------------------

def benchmark_section(result) -> str:
    rt = result.hand_eye_roundtrip_error
    fig, ax = plt.subplots(figsize=(5.2, 2.8))
    names = ["in-sample RPE", "held-out (k-fold)", "hand-eye round trip"]
    vals = [result.reprojection_error, result.held_out_reprojection_error, rt if rt >= 0 else math.nan]
    ax.bar(names, [v if math.isfinite(v) else 0 for v in vals], color=["#2e86c1", "#e67e22", "#8e44ad"])
    for k, v in enumerate(vals):
        ax.annotate(_fmt(v, 4), (k, v if math.isfinite(v) else 0), ha="center", va="bottom", fontsize=8.5)
    ax.set_ylabel("error [px] (norm of residuals / N)")
    ax.set_title(f"benchmark over {result.image_count} images")
    ax.margins(y=0.25)
    body = _table(["figure", "value"], [
        ("images", result.image_count),
        ("in-sample reprojection error", f"{_fmt(result.reprojection_error, 4)} px"),
        ("held-out reprojection error (k-fold)", f"{_fmt(result.held_out_reprojection_error, 4)} px"),
        ("hand-eye round trip", f"{_fmt(rt, 4)} px" if rt >= 0 else "not run")])
    return body + _figures([("A held-out error close to the in-sample one means the model generalises.",
                             _png(fig),
                             f"Bar chart of the benchmark over {result.image_count} images: in-sample error "
                             f"{_fmt(vals[0], 4)} px, held-out error {_fmt(vals[1], 4)} px, hand-eye round trip "
                             + (f"{_fmt(rt, 4)} px." if rt >= 0 else "not run."))])


def verification_section(checks) -> str:
    """checks: (label, HandEyeVerification) of re-checks of one stored calibration."""
    rows, bad = [], []
    for k, (label, v) in enumerate(checks):
        views = "; ".join("not found" if c == 0 else f"{_fmt(r, 2)} / {_fmt(e, 2)}"
                          for c, r, e in zip(v.corners, v.rms_px, v.expected_rms_px))
        rows.append((label, v.verdict + (f" ({v.moved})" if v.moved else ""),
                     f"{_fmt(v.statistic, 1)} / {_fmt(v.threshold, 1)} ({v.dof} dof)", views,
                     f"{_fmt(v.camera_change_mm, 2)} mm, {_fmt(v.camera_change_deg, 3)} deg", v.message))
        if v.verdict != "consistent":
            bad.append(k)
    body = _table(["re-check", "verdict", "chi-square / threshold", "per view: RMS / expected px",
                   "implied camera change", "what to do"], rows, bad)
    fig, ax = plt.subplots(figsize=(6.0, 2.8))
    width = 0.8 / max(len(checks), 1)
    for k, (label, v) in enumerate(checks):
        x = np.arange(len(v.rms_px)) + k * width
        ax.bar(x, [r if math.isfinite(r) else 0 for r in v.rms_px], width, label=f"{label}: {v.verdict}")
        ax.scatter(x, v.expected_rms_px, color="black", marker="_", s=200, zorder=3)
    ax.set_xlabel("view")
    ax.set_ylabel("RMS [px]")
    ax.set_title("corners against the board the stored calibration predicts (bars: RMS, dashes: expected)")
    ax.legend(fontsize=8)
    reports = "".join(f"<pre>{html.escape(v.format())}</pre>" for _, v in checks)
    return body + _figures([("A view whose RMS stands far above the dash shows a change the noise and the stored "
                             "uncertainty do not explain.", _png(fig),
                             "Bar chart of each re-check's per-view RMS against the expected RMS: "
                             + "; ".join(f"{label} {v.verdict}" for label, v in checks) + ".")]) + reports


def joint_solve_section(result, name, axes, truth=None) -> str:
    """The joint hand-eye solve: its noise levels, sigma against the closed form's, and error budget."""
    j = result.joint
    if j is None or not j.ok:
        return "<p>" + html.escape("The joint solve failed: " + (j.failure.message if j is not None and j.failure else "not run")) + "</p>"
    n = j.noise
    src = ["estimated" if e else "given" for e in j.noise_estimated]
    rows = [("started from", j.closed_form_method),
            ("corners, frames", f"{j.corners}, {j.frames}"),
            ("intrinsics", "free (calibrated from these images)" if j.intrinsics_free else "held"),
            ("moved from the closed form", f"{_fmt(j.moved_mm)} mm, {_fmt(j.moved_deg, 4)} deg"),
            ("corner noise (1-sigma per axis)", f"{_fmt(n.pixel_px)} px ({src[0]})"),
            ("robot translation noise", f"{_fmt(n.robot_translation_m * 1000)} mm ({src[1]})"),
            ("robot rotation noise", f"{_fmt(n.robot_rotation_deg, 4)} deg ({src[2]})"),
            ("residual RMS", f"{_fmt(j.rms_px, 4)} px")]
    if j.raised:
        rows.append(("weak geometry", j.weak_reason + ": sigma raised to what the data shows"))
    if truth is not None:
        for label, T in (("closed form", j.closed_form), ("joint solve", j.hand_eye)):
            dt = np.linalg.norm(T[:3, 3] - truth[:3, 3]) * 1000
            dr = np.degrees(np.linalg.norm(cv2.Rodrigues(T[:3, :3] @ truth[:3, :3].T)[0]))
            rows.append((f"{label} against the truth", f"{dt:.3f} mm, {dr:.4f} deg"))
    body = _table(["joint solve of " + name, "value"], rows)
    u, c = j.uncertainty, j.closed_form_uncertainty
    labels = ["t x", "t y", "t z", f"r {axes} x", f"r {axes} y", f"r {axes} z"]
    joint_sig = [v * 1000 for v in u.translation_std_m] + list(u.rotation_std_deg)
    closed_sig = [v * 1000 for v in c.translation_std_m] + list(c.rotation_std_deg)
    order = [3, 4, 5, 0, 1, 2]  # budget rows are rotation first
    budget = np.asarray(j.error_budget)[order]
    body += _table(["axis", "1-sigma joint", "1-sigma closed form", "corners", "robot poses", "intrinsics"],
                   [(labels[k], _fmt(joint_sig[k], 3 if k < 3 else 4) + (" mm" if k < 3 else " deg"),
                     _fmt(closed_sig[k], 3 if k < 3 else 4) + (" mm" if k < 3 else " deg"),
                     *[f"{100 * v:.0f} %" if math.isfinite(v) else "n/a" for v in budget[k]])
                    for k in range(6)])
    fig, ax = plt.subplots(figsize=(6.0, 2.8))
    left = np.zeros(6)
    colors = ["#2e86c1", "#e67e22", "#27ae60"]
    for col, label in enumerate(["corners", "robot poses", "intrinsics"]):
        share = np.nan_to_num(budget[:, col])
        ax.barh(labels, share, left=left, color=colors[col], label=label)
        left += share
    ax.invert_yaxis()
    ax.set_xlim(0, 1)
    ax.set_xlabel("share of the axis's variance")
    ax.set_title(f"error budget of {name}")
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.28), ncol=3, fontsize=8)
    alt = (f"Stacked bars of the error budget of {name} per axis: "
           + "; ".join(f"{labels[k]} corners {100 * np.nan_to_num(budget[k, 0]):.0f} %, robot "
                       f"{100 * np.nan_to_num(budget[k, 1]):.0f} %, intrinsics {100 * np.nan_to_num(budget[k, 2]):.0f} %"
                       for k in range(6)) + ".")
    return body + _figures([("Where each axis's uncertainty comes from: the corners' noise, the robot poses' "
                             "noise, or the intrinsics' uncertainty.", _png(fig), alt)])


def add_rig_sections(page, mc, rig, lists, target):
    """The rig's sections: each camera's intrinsics from its own views, then the rig."""
    options = _vesk.MultiCameraCalibrator.default_options()
    size = lists[0][0].shape[1::-1]
    frame0 = []
    for c, images in enumerate(lists):
        cal = _vesk.IntrinsicCalibrator(target, options)
        r = cal.calibrate(images)
        det = cal.detections()
        page.section("multi-camera rig calibration", f"intrinsics-cam-{c}", f"Intrinsics: rig cam_{c}",
                     lambda r=r, det=det, c=c: intrinsics_section(f"rig cam_{c}", r, det, size,
                                                                  options.per_view_error_threshold))
        k = det.successful_indices.index(0) if 0 in det.successful_indices else None
        frame0.append(None if k is None else (det.image_points[k], det.point_ids[k].ravel()))
    tri = None
    if rig.ok and isinstance(target, _vesk.CharucoTarget):
        tri = mc.triangulate(lists, 0)
    residuals = triangulation_residuals(tri, rig, frame0) if tri is not None else {}
    square = target.square_length if isinstance(target, _vesk.CharucoTarget) else math.nan
    page.section("multi-camera rig calibration", "rig", "Rig: reference_T_camera",
                 lambda: rig_section(rig, tri, residuals, square, size))
