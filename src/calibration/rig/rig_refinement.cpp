#include "calibration/rig/rig_refinement.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <set>

#include <opencv2/calib3d.hpp>

#include "core/constants.hpp"
#include "core/transforms.hpp"

#include "calibration/least_squares.hpp"

namespace vesk::calibration {

namespace {

using namespace lsq;

// A view is left out when its RMS against the rig exceeds this many times the median view's, and
// this many pixels; a camera keeps at least kMinViewsKept views.
constexpr double kOutlierFactor = 5.0;
constexpr double kOutlierFloorPx = 1.0;
constexpr std::size_t kMinViewsKept = 4;
// A corner counts at most this far off (px) when a frame's views vote for its board's start pose.
constexpr double kStartCapPx = 2.0;
constexpr int kThresholdRounds = 4;
constexpr double kThresholdSettled = 0.1;

struct State {
  std::vector<std::vector<double>> intrinsics;  // per camera: fx, fy, cx, cy, distortion...
  std::vector<Vec6> camera_T_reference;         // per camera
  std::map<int, Vec6> reference_T_board;        // per frame
};

// Where each parameter block sits in the parameter vector (-1: not moved).
struct Layout {
  std::vector<int> intrinsic_offset;
  std::vector<std::vector<FreeIntrinsic>> intrinsic_free;
  std::vector<int> extrinsic_offset;
  std::map<int, int> board_offset;
  int size = 0;
};

// One view's residuals (projected minus detected, u and v interleaved) and, when asked, their
// Jacobian over the parameters `columns` of the parameter vector.
struct ViewTerms {
  cv::Mat residual;  // 2N x 1
  cv::Mat jacobian;  // 2N x columns.size()
  std::vector<int> columns;
};

class Problem {
 public:
  // every view's board points and pixels in double precision, converted once
  explicit Problem(const RigProblem& p) : p_(p), objects_(p.views.size()), pixels_(p.views.size()) {
    for (std::size_t v = 0; v < p.views.size(); ++v) {
      const cv::Mat& obj = p.views[v].object_points;
      const cv::Mat& img = p.views[v].image_points;
      if (obj.empty() || img.empty()) continue;
      obj.reshape(3, obj.rows).convertTo(objects_[v], CV_64FC3);
      img.reshape(2, img.rows * img.cols).convertTo(pixels_[v], CV_64FC2);
    }
  }

  const cv::Mat& object(std::size_t v) const { return objects_[v]; }

  Layout layout(const std::vector<bool>& kept, const State& s, bool boardsOnly) const {
    Layout L;
    const std::size_t n = p_.intrinsic_matrices.size();
    L.intrinsic_offset.assign(n, -1);
    L.intrinsic_free.resize(n);
    L.extrinsic_offset.assign(n, -1);
    std::vector<bool> seen(n, false);
    for (std::size_t v = 0; v < p_.views.size(); ++v) {
      if (!kept[v]) continue;
      seen[static_cast<std::size_t>(p_.views[v].camera)] = true;
      L.board_offset.emplace(p_.views[v].frame, 0);
    }
    for (std::size_t c = 0; c < n; ++c) {
      if (!seen[c] || boardsOnly) continue;
      if (p_.intrinsics_free[c]) {
        const std::vector<double>& q = s.intrinsics[c];
        L.intrinsic_free[c] = freeIntrinsics(p_.fixed_intrinsics, q.size() - 4, q[1] / q[0]);
        if (!L.intrinsic_free[c].empty()) {
          L.intrinsic_offset[c] = L.size;
          L.size += static_cast<int>(L.intrinsic_free[c].size());
        }
      }
      if (static_cast<int>(c) != p_.reference_index) {
        L.extrinsic_offset[c] = L.size;
        L.size += 6;
      }
    }
    for (auto& [frame, offset] : L.board_offset) {
      offset = L.size;
      L.size += 6;
    }
    return L;
  }

  ViewTerms terms(std::size_t v, const State& s, const Layout& L, bool withJacobian) const {
    const RigView& view = p_.views[v];
    const auto c = static_cast<std::size_t>(view.camera);
    const Vec6& b = s.reference_T_board.at(view.frame);
    const cv::Vec3d rb(b[0], b[1], b[2]), tb(b[3], b[4], b[5]);
    const bool reference = view.camera == p_.reference_index;
    cv::Mat r3, t3, dr3dr1, dr3dt1, dr3dr2, dr3dt2, dt3dr1, dt3dt1, dt3dr2, dt3dt2;
    if (reference) {
      r3 = cv::Mat(rb);
      t3 = cv::Mat(tb);
    } else {
      const Vec6& e = s.camera_T_reference[c];
      cv::composeRT(rb, tb, cv::Vec3d(e[0], e[1], e[2]), cv::Vec3d(e[3], e[4], e[5]), r3, t3, dr3dr1, dr3dt1,
                    dr3dr2, dr3dt2, dt3dr1, dt3dt1, dt3dr2, dt3dt2);
    }
    cv::Mat projected, jac;
    const std::vector<double>& q = s.intrinsics[c];
    if (withJacobian) {
      cv::projectPoints(objects_[v], r3, t3, cameraMatrix(q), distortion(q), projected, jac);
    } else {
      cv::projectPoints(objects_[v], r3, t3, cameraMatrix(q), distortion(q), projected);
    }
    ViewTerms out;
    const cv::Mat& detected = pixels_[v];
    const cv::Mat difference = projected.reshape(2, detected.rows) - detected;
    out.residual = difference.reshape(1, detected.rows * 2);
    if (!withJacobian) return out;

    const int rows = jac.rows;
    const cv::Mat Jr = jac.colRange(0, 3), Jt = jac.colRange(3, 6);
    std::vector<cv::Mat> blocks;
    if (reference) {
      blocks.push_back(Jr);
      blocks.push_back(Jt);
    } else {
      blocks.push_back(Jr * dr3dr1 + Jt * dt3dr1);
      blocks.push_back(Jr * dr3dt1 + Jt * dt3dt1);
    }
    const int board = L.board_offset.at(view.frame);
    for (int k = 0; k < 6; ++k) out.columns.push_back(board + k);
    if (!reference && L.extrinsic_offset[c] >= 0) {
      blocks.push_back(Jr * dr3dr2 + Jt * dt3dr2);
      blocks.push_back(Jr * dr3dt2 + Jt * dt3dt2);
      for (int k = 0; k < 6; ++k) out.columns.push_back(L.extrinsic_offset[c] + k);
    }
    if (L.intrinsic_offset[c] >= 0) {
      const std::vector<FreeIntrinsic>& free = L.intrinsic_free[c];
      cv::Mat intrinsic(rows, static_cast<int>(free.size()), CV_64F, cv::Scalar(0));
      for (std::size_t k = 0; k < free.size(); ++k) {
        for (const auto& [column, weight] : free[k].columns) {
          intrinsic.col(static_cast<int>(k)) += weight * jac.col(column);
        }
        out.columns.push_back(L.intrinsic_offset[c] + static_cast<int>(k));
      }
      blocks.push_back(intrinsic);
    }
    cv::hconcat(blocks, out.jacobian);
    return out;
  }

  State step(const State& s, const Layout& L, const cv::Mat& delta) const {
    State out = s;
    const auto d = [&](int i) { return delta.at<double>(i); };
    for (std::size_t c = 0; c < out.intrinsics.size(); ++c) {
      if (L.intrinsic_offset[c] >= 0) {
        std::vector<double>& q = out.intrinsics[c];
        const double aspect = q[1] / q[0];
        for (std::size_t k = 0; k < L.intrinsic_free[c].size(); ++k) {
          const FreeIntrinsic& f = L.intrinsic_free[c][k];
          q[static_cast<std::size_t>(f.index)] += d(L.intrinsic_offset[c] + static_cast<int>(k));
          if (f.index == 0 && f.columns.size() == 2) q[1] = aspect * q[0];
        }
      }
      if (L.extrinsic_offset[c] >= 0) {
        for (int k = 0; k < 6; ++k) out.camera_T_reference[c][k] += d(L.extrinsic_offset[c] + k);
        wrapRotation(out.camera_T_reference[c]);
      }
    }
    for (const auto& [frame, offset] : L.board_offset) {
      Vec6& b = out.reference_T_board[frame];
      for (int k = 0; k < 6; ++k) b[k] += d(offset + k);
      wrapRotation(b);
    }
    return out;
  }

 private:
  const RigProblem& p_;
  std::vector<cv::Mat> objects_;
  std::vector<cv::Mat> pixels_;
};

class Solver {
 public:
  Solver(const Problem& problem, std::size_t views) : problem_(problem), kept_(views, true) {}

  std::vector<bool>& kept() { return kept_; }
  // only the board poses move (the rest held), as when a frame's views are judged
  void setBoardsOnly(bool boardsOnly) { boards_only_ = boardsOnly; }

  double delta(const State& s) const {
    std::vector<double> errors;
    for (std::size_t v = 0; v < kept_.size(); ++v) {
      if (!kept_[v]) continue;
      const std::vector<double> e = cornerErrors(problem_.terms(v, s, layout_, false).residual);
      errors.insert(errors.end(), e.begin(), e.end());
    }
    return std::max(kHuberSigmas * upperMedian(errors) / kRayleighMedian, kMinHuberPx);
  }

  double cost(const State& s, double delta) const {
    double total = 0.0;
    for (std::size_t v = 0; v < kept_.size(); ++v) {
      if (!kept_[v]) continue;
      for (double e : cornerErrors(problem_.terms(v, s, layout_, false).residual)) total += huberCost(e, delta);
    }
    return total;
  }

  Normal normal(const State& s, double delta) const {
    Normal n{cv::Mat::zeros(layout_.size, layout_.size, CV_64F), cv::Mat::zeros(layout_.size, 1, CV_64F), 0.0};
    for (std::size_t v = 0; v < kept_.size(); ++v) {
      if (!kept_[v]) continue;
      ViewTerms t = problem_.terms(v, s, layout_, true);
      const std::vector<double> errors = cornerErrors(t.residual);
      for (std::size_t i = 0; i < errors.size(); ++i) {
        n.cost += huberCost(errors[i], delta);
        const double root = std::sqrt(huberWeight(errors[i], delta));
        for (int r = 0; r < 2; ++r) {
          const int row = 2 * static_cast<int>(i) + r;
          t.jacobian.row(row) *= root;
          t.residual.at<double>(row) *= root;
        }
      }
      accumulate(n, t.jacobian.t() * t.jacobian, t.jacobian.t() * t.residual, t.columns);
    }
    return n;
  }

  // Levenberg-Marquardt from s over the kept views; the Huber threshold follows the residuals.
  // Levenberg-Marquardt from s over the kept views. The Huber threshold is held during a descent
  // (a moving threshold moves the cost being minimised) and set again from the residuals after it,
  // until it settles.
  State run(State s, int* iterations) {
    layout_ = problem_.layout(kept_, s, boards_only_);
    double d = delta(s);
    for (int round = 0; round < kThresholdRounds; ++round) {
      s = descend(s, d, iterations);
      const double next = delta(s);
      const bool settled = std::abs(next - d) <= kThresholdSettled * d;
      d = next;
      if (settled) break;
    }
    return s;
  }

  State descend(State s, double d, int* iterations) const {
    return levenbergMarquardt(
        std::move(s), [&](const State& x) { return normal(x, d); }, [&](const State& x) { return cost(x, d); },
        [&](const State& x, const cv::Mat& delta) { return problem_.step(x, layout_, delta); }, iterations);
  }

  const Layout& layout() const { return layout_; }

 private:
  const Problem& problem_;
  std::vector<bool> kept_;
  bool boards_only_ = false;
  Layout layout_;
};

// RMS (px) of a view at the given state.
double viewRms(const Problem& problem, std::size_t v, const State& s) {
  const cv::Mat r = problem.terms(v, s, Layout{}, false).residual;
  return std::sqrt(r.dot(r) / (r.rows / 2));
}

// The board pose of a frame that its views agree on most: each view's own PnP pose, scored by the
// pixel errors of all the frame's views, each corner counted at most kStartCapPx off. One wrong view
// among good ones cannot win.
std::optional<Vec6> votedBoard(const RigProblem& p, const Problem& problem, const State& s, int frame,
                               const std::vector<std::size_t>& views) {
  std::optional<Vec6> best;
  double bestScore = std::numeric_limits<double>::infinity();
  for (std::size_t v : views) {
    const auto c = static_cast<std::size_t>(p.views[v].camera);
    cv::Mat rvec, tvec;
    if (!cv::solvePnP(problem.object(v), p.views[v].image_points, cameraMatrix(s.intrinsics[c]),
                      distortion(s.intrinsics[c]), rvec, tvec)) {
      continue;
    }
    cv::Mat R;
    cv::Rodrigues(rvec, R);
    const cv::Mat referenceTCamera = detail::inverseRigid(poseMatrix(s.camera_T_reference[c]));
    State trial = s;
    trial.reference_T_board[frame] = poseVector(referenceTCamera * detail::rigidTransform(R, tvec));
    double score = 0.0;
    for (std::size_t u : views) {
      for (double e : cornerErrors(problem.terms(u, trial, Layout{}, false).residual)) {
        score += std::min(e * e, kStartCapPx * kStartCapPx);
      }
    }
    if (score < bestScore) {
      bestScore = score;
      best = trial.reference_T_board[frame];
    }
  }
  return best;
}

RigRefinement emptyRefinement(const RigProblem& p) {
  const std::size_t n = p.intrinsic_matrices.size();
  RigRefinement out;
  out.intrinsic_matrices = p.intrinsic_matrices;
  out.distortion_coefficients = p.distortion_coefficients;
  out.reference_T_camera = p.reference_T_camera;
  out.uncertainty.assign(n, TransformUncertainty{});
  out.rms_per_camera.assign(n, kNaN);
  out.corners_per_camera.assign(n, 0);
  out.rms = kNaN;
  return out;
}

// Cameras start at the rig's closed-form extrinsics and their own intrinsics.
State startingState(const RigProblem& p) {
  const std::size_t n = p.intrinsic_matrices.size();
  State s;
  s.intrinsics.resize(n);
  s.camera_T_reference.assign(n, Vec6::all(0.0));
  for (std::size_t c = 0; c < n; ++c) {
    if (p.reference_T_camera[c].empty()) continue;
    cv::Mat K, D;
    p.intrinsic_matrices[c].convertTo(K, CV_64F);
    p.distortion_coefficients[c].convertTo(D, CV_64F);
    std::vector<double>& q = s.intrinsics[c];
    q = {K.at<double>(0, 0), K.at<double>(1, 1), K.at<double>(0, 2), K.at<double>(1, 2)};
    for (std::size_t k = 0; k < D.total(); ++k) q.push_back(D.at<double>(static_cast<int>(k)));
    s.camera_T_reference[c] = poseVector(detail::inverseRigid(p.reference_T_camera[c]));
  }
  return s;
}

using FrameViews = std::map<int, std::vector<std::size_t>>;

// The views of cameras in the solve, each frame's board placed where its views agree it is; a
// frame no view can place leaves the solve.
std::vector<bool> placeBoards(const RigProblem& p, const Problem& problem, State& s, FrameViews& viewsOfFrame) {
  std::vector<bool> usable(p.views.size(), false);
  for (std::size_t v = 0; v < p.views.size(); ++v) {
    const RigView& view = p.views[v];
    if (p.reference_T_camera[static_cast<std::size_t>(view.camera)].empty()) continue;
    if (view.object_points.rows < static_cast<int>(kMinPointsPerView)) continue;
    usable[v] = true;
    viewsOfFrame[view.frame].push_back(v);
  }
  for (const auto& [frame, views] : viewsOfFrame) {
    if (const std::optional<Vec6> pose = votedBoard(p, problem, s, frame, views)) {
      s.reference_T_board[frame] = *pose;
    }
  }
  for (std::size_t v = 0; v < p.views.size(); ++v) {
    if (usable[v] && s.reference_T_board.count(p.views[v].frame) == 0) usable[v] = false;
  }
  return usable;
}

// The views of one frame that stay off the rig once the frame's board is refitted to the views
// that agree with it. Two views that disagree cannot say which is wrong: the frame goes.
std::vector<std::size_t> offViewsOfFrame(const RigProblem& p, const Problem& problem, const State& s, int frame,
                                         const std::vector<std::size_t>& views, double limit) {
  const std::optional<Vec6> pose = votedBoard(p, problem, s, frame, views);
  if (!pose) return {};
  State judged = s;
  judged.reference_T_board[frame] = *pose;
  Solver board(problem, p.views.size());
  for (std::size_t v = 0; v < p.views.size(); ++v) board.kept()[v] = false;
  std::size_t agreeing = 0;
  for (std::size_t v : views) {
    if (viewRms(problem, v, judged) <= limit) {
      board.kept()[v] = true;
      ++agreeing;
    }
  }
  if (agreeing > 0) {
    int ignored = 0;
    board.setBoardsOnly(true);
    judged = board.run(judged, &ignored);
  }
  std::vector<std::size_t> off;
  for (std::size_t v : views) {
    if (viewRms(problem, v, judged) > limit) off.push_back(v);
  }
  if (views.size() == 2 && !off.empty()) off = views;
  return off;
}

// Views far off the rig (a wrong detection, a frame out of step), each with its RMS at the fit. A
// frame is judged at the board pose its views agree on, not at the compromise the joint fit made
// between them.
std::vector<std::pair<std::size_t, double>> offRigViews(const RigProblem& p, const Problem& problem, const State& s,
                                                        const FrameViews& viewsOfFrame,
                                                        const std::vector<bool>& usable) {
  std::vector<double> rmsAtFit(p.views.size(), kNaN), rmsOfKept;
  for (std::size_t v = 0; v < p.views.size(); ++v) {
    if (!usable[v]) continue;
    rmsAtFit[v] = viewRms(problem, v, s);
    rmsOfKept.push_back(rmsAtFit[v]);
  }
  const double limit = std::max(kOutlierFactor * upperMedian(rmsOfKept), kOutlierFloorPx);
  std::vector<std::pair<std::size_t, double>> offRig;
  for (const auto& [frame, all] : viewsOfFrame) {
    std::vector<std::size_t> views;
    for (std::size_t v : all) {
      if (usable[v]) views.push_back(v);
    }
    bool agree = true;
    for (std::size_t v : views) agree = agree && rmsAtFit[v] <= limit;
    if (agree || views.size() < 2) continue;
    for (std::size_t v : offViewsOfFrame(p, problem, s, frame, views, limit)) offRig.emplace_back(v, rmsAtFit[v]);
  }
  std::sort(offRig.begin(), offRig.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  return offRig;
}

// Leaves out the worst off-rig views first, keeping every camera at kMinViewsKept views at least.
void rejectOffRig(const RigProblem& p, const std::vector<std::pair<std::size_t, double>>& offRig,
                  std::vector<bool>& usable, RigRefinement& out) {
  std::vector<std::size_t> viewsOfCamera(p.intrinsic_matrices.size(), 0);
  for (std::size_t v = 0; v < p.views.size(); ++v) {
    if (usable[v]) ++viewsOfCamera[static_cast<std::size_t>(p.views[v].camera)];
  }
  for (const auto& [v, rms] : offRig) {
    const auto c = static_cast<std::size_t>(p.views[v].camera);
    if (viewsOfCamera[c] <= kMinViewsKept) continue;
    --viewsOfCamera[c];
    usable[v] = false;
    out.rejected_views.emplace_back(p.views[v].camera, p.views[v].frame);
    out.rejected_rms.push_back(rms);
  }
}

struct Residuals {
  double squared = 0.0;
  double weighted_squared = 0.0;
  std::vector<double> camera_squared;
};

// Corner residuals of the kept views at the solution, counted into `out`.
Residuals countResiduals(const RigProblem& p, const Problem& problem, const State& s, const Layout& L,
                         double delta, const std::vector<bool>& usable, RigRefinement& out) {
  Residuals r;
  r.camera_squared.assign(p.intrinsic_matrices.size(), 0.0);
  std::set<int> frames;
  for (std::size_t v = 0; v < p.views.size(); ++v) {
    if (!usable[v]) continue;
    const auto c = static_cast<std::size_t>(p.views[v].camera);
    for (double e : cornerErrors(problem.terms(v, s, L, false).residual)) {
      r.squared += e * e;
      r.weighted_squared += huberWeight(e, delta) * e * e;
      r.camera_squared[c] += e * e;
      ++out.corners_per_camera[c];
      ++out.corners;
    }
    frames.insert(p.views[v].frame);
  }
  out.frames = static_cast<int>(frames.size());
  out.parameters = L.size;
  return r;
}

// The solved cameras and the covariance of each non-reference camera's extrinsics.
void storeSolution(const RigProblem& p, const State& s, const Layout& L, const cv::Mat& inverse, double variance,
                   RigRefinement& out) {
  for (std::size_t c = 0; c < p.intrinsic_matrices.size(); ++c) {
    if (p.reference_T_camera[c].empty()) continue;
    // a camera whose intrinsics are held keeps its own matrices, skew included
    if (L.intrinsic_offset[c] >= 0) {
      out.intrinsic_matrices[c] = cameraMatrix(s.intrinsics[c]);
      out.distortion_coefficients[c] = distortion(s.intrinsics[c]);
    }
    if (static_cast<int>(c) == p.reference_index) continue;
    out.reference_T_camera[c] = detail::inverseRigid(poseMatrix(s.camera_T_reference[c]));
    if (L.extrinsic_offset[c] < 0) continue;
    const cv::Rect block(L.extrinsic_offset[c], L.extrinsic_offset[c], 6, 6);
    out.uncertainty[c] = uncertaintyOf(inverseCovariance(s.camera_T_reference[c], inverse(block) * variance));
  }
}

}  // namespace

RigRefinement refineRig(const RigProblem& p) {
  RigRefinement out = emptyRefinement(p);
  State s = startingState(p);
  const Problem problem(p);
  FrameViews viewsOfFrame;
  std::vector<bool> usable = placeBoards(p, problem, s, viewsOfFrame);

  Solver solver(problem, p.views.size());
  solver.kept() = usable;
  s = solver.run(s, &out.iterations);

  // Views far off the rig are left out and the rig solved again.
  rejectOffRig(p, offRigViews(p, problem, s, viewsOfFrame, usable), usable, out);
  solver.kept() = usable;
  s = solver.run(s, &out.iterations);

  const Layout& L = solver.layout();
  const double delta = solver.delta(s);
  const Normal normal = solver.normal(s, delta);
  const Residuals r = countResiduals(p, problem, s, L, delta, usable, out);
  const int freedom = 2 * out.corners - L.size;
  if (freedom <= 0) {
    out.failure = "only " + std::to_string(out.corners) + " corners for " + std::to_string(L.size) + " parameters";
    return out;
  }
  const cv::Mat inverse = inverseScaled(normal.A);
  if (inverse.empty()) {
    out.failure = "the rig's parameters are not determined by its views (singular normal matrix)";
    return out;
  }
  out.rms = std::sqrt(r.squared / out.corners);
  for (std::size_t c = 0; c < r.camera_squared.size(); ++c) {
    if (out.corners_per_camera[c] > 0) out.rms_per_camera[c] = std::sqrt(r.camera_squared[c] / out.corners_per_camera[c]);
  }
  storeSolution(p, s, L, inverse, r.weighted_squared / freedom, out);
  out.ok = true;
  return out;
}

}  // namespace vesk::calibration
