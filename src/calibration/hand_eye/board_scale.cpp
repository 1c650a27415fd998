#include "calibration/hand_eye/board_scale.hpp"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <sstream>

#include "core/matrix_text.hpp"
#include "core/constants.hpp"
#include "core/threads.hpp"
#include "core/transforms.hpp"

namespace vesk::calibration {

namespace {

using detail::fixedText;

using detail::Pose;
using detail::rotationOf;
using detail::translationOf;

constexpr std::size_t kMaxGroups = 20;
// A scale is called off when it is off by more than this many sigma and this share.
constexpr double kMismatchSigmas = 4.0;
constexpr double kMismatchShare = 0.005;

constexpr cv::HandEyeCalibrationMethod kMethods[] = {cv::CALIB_HAND_EYE_PARK, cv::CALIB_HAND_EYE_TSAI,
                                                      cv::CALIB_HAND_EYE_HORAUD, cv::CALIB_HAND_EYE_DANIILIDIS};

// Least squares of R_i R_X t_ci k + R_i t_X - t_B = -t_i over k, t_X and t_B: the board's scale k
// with the rotation R_X held. Nothing when the system does not fix k or k is not positive.
std::optional<double> scaleWithRotation(const std::vector<Pose>& robots, const std::vector<Pose>& cams,
                                        const cv::Matx33d& Rx) {
  const int n = static_cast<int>(robots.size());
  cv::Mat A = cv::Mat::zeros(3 * n, 7, CV_64F), b(3 * n, 1, CV_64F);
  for (int i = 0; i < n; ++i) {
    const Pose& r = robots[static_cast<std::size_t>(i)];
    const Pose& c = cams[static_cast<std::size_t>(i)];
    const cv::Matx33d Ri = rotationOf(r);
    const cv::Vec3d lever = Ri * (Rx * translationOf(c));
    const cv::Vec3d t = translationOf(r);
    for (int a = 0; a < 3; ++a) {
      const int row = 3 * i + a;
      A.at<double>(row, 0) = lever[a];
      for (int k = 0; k < 3; ++k) A.at<double>(row, 1 + k) = Ri(a, k);
      A.at<double>(row, 4 + a) = -1.0;
      b.at<double>(row) = -t[a];
    }
  }
  cv::Mat w, u, vt;
  cv::SVD::compute(A, w, u, vt);
  if (w.rows < 7 || !(w.at<double>(6) > 1e-9 * w.at<double>(0))) return std::nullopt;
  cv::Mat x;
  cv::solve(A, b, x, cv::DECOMP_SVD);
  const double k = x.at<double>(0);
  if (!(k > 0.0) || !std::isfinite(k)) return std::nullopt;
  return k;
}

// The scale by one method's rotation; nothing when the method does not solve these frames.
std::optional<double> scaleBy(const std::vector<Pose>& robots, const std::vector<Pose>& cams,
                              cv::HandEyeCalibrationMethod method) {
  const std::optional<Pose> X = solveHandEyeQuietly(robots, cams, method);
  if (!X) return std::nullopt;
  return scaleWithRotation(robots, cams, rotationOf(*X));
}

// Delete-a-group jackknife sigma of the scale by `method`; NaN when a replicate cannot be solved.
double jackknifeSigma(const std::vector<Pose>& robots, const std::vector<Pose>& cams,
                      cv::HandEyeCalibrationMethod method, const TargetPosesWithout& posesWithout) {
  const std::size_t n = robots.size();
  if (n < kMinFramesPerSolve + 1) return kNaN;
  const std::size_t groups = std::min(n, kMaxGroups);
  std::vector<std::optional<double>> replicates(groups);
  detail::forEachView(groups, [&](std::size_t g) {
    std::vector<bool> leftOut(n);
    std::vector<Pose> rs, cs;
    for (std::size_t i = 0; i < n; ++i) {
      leftOut[i] = i % groups == g;
      if (leftOut[i]) continue;
      rs.push_back(robots[i]);
      cs.push_back(cams[i]);
    }
    if (posesWithout) {
      std::optional<std::vector<Pose>> own = posesWithout(g, leftOut);
      if (!own || own->size() != rs.size()) return;
      cs = std::move(*own);
    }
    replicates[g] = scaleBy(rs, cs, method);
  });
  double mean = 0.0;
  for (const std::optional<double>& k : replicates) {
    if (!k) return kNaN;
    mean += *k / static_cast<double>(groups);
  }
  double sum = 0.0;
  for (const std::optional<double>& k : replicates) sum += (*k - mean) * (*k - mean);
  return std::sqrt(sum * static_cast<double>(groups - 1) / static_cast<double>(groups));
}

}  // namespace

bool BoardScale::known() const { return std::isfinite(value) && std::isfinite(sigma); }

double BoardScale::impliedSquareM() const { return value * stated_square_m; }

BoardScale estimateBoardScale(const std::vector<Pose>& robots, const std::vector<Pose>& cams,
                              double statedSquareM, const TargetPosesWithout& posesWithout) {
  BoardScale out;
  out.stated_square_m = statedSquareM;
  if (robots.size() != cams.size() || robots.size() < kMinFramesPerSolve) return out;
  const QuietOpenCvLog quiet;
  for (cv::HandEyeCalibrationMethod method : kMethods) {
    const std::optional<double> k = scaleBy(robots, cams, method);
    if (!k) continue;
    const double sigma = jackknifeSigma(robots, cams, method, posesWithout);
    if (!std::isfinite(sigma)) continue;
    out.value = *k;
    out.sigma = sigma;
    return out;
  }
  return out;
}

std::optional<HandEyeDataFinding> boardScaleFinding(const BoardScale& s) {
  if (!s.known()) return std::nullopt;
  const double off = s.value - 1.0;
  if (!(std::abs(off) > kMismatchSigmas * s.sigma && std::abs(off) > kMismatchShare)) return std::nullopt;
  const std::string size =
      std::isfinite(s.stated_square_m)
          ? "its squares measure " + fixedText(s.impliedSquareM() * 1000, 2) + " mm, not the " +
                fixedText(s.stated_square_m * 1000, 2) + " mm stated"
          : "its lengths are " + fixedText(s.value, 4) + " times those stated";
  return HandEyeDataFinding{
      "board_scale_mismatch",
      "The robot's motions say the board is " + fixedText(100.0 * std::abs(off), 2) + " % " +
          (off > 0 ? "larger" : "smaller") + " than described (scale " + fixedText(s.value, 4) + " +- " +
          fixedText(s.sigma, 4) + "): " + size + ". Measure the printed squares with a caliper (printers scale "
          "pages) and describe the board with the measured size: until then the hand-eye translation carries the error.",
      {}};
}

}  // namespace vesk::calibration
