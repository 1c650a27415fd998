#include "quality/method_comparison.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <iomanip>
#include <sstream>

#include "calibration/hand_eye/eye_in_hand.hpp"
#include "calibration/hand_eye/eye_to_hand.hpp"
#include "core/logging.hpp"
#include "core/threads.hpp"
#include "core/errors.hpp"
#include "core/statistics.hpp"
#include "core/transforms.hpp"
#include "targets/detection.hpp"

namespace vesk::quality {

HandEyeMethodResults compareHandEyeMethods(const CalibrationTarget& target, const std::vector<cv::Mat>& robotTTcpList,
                                           const std::vector<cv::Mat>& imageList,
                                           const std::vector<cv::Mat>& cameraTTargetList,
                                           const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients,
                                           double perViewErrorThreshold, bool eyeToHand) {
  // Input the calibrator refuses is refused once here, not reported as five failed methods.
  for (const auto* list : {&robotTTcpList, &cameraTTargetList}) {
    const std::string name = list == &robotTTcpList ? "robot_T_tcp_list" : "camera_T_target_list";
    vesk::detail::requireFinite(*list, "compareHandEyeMethods", name);
    vesk::detail::requireRigid(*list, "compareHandEyeMethods", name);
  }
  vesk::detail::requireColourImages(imageList, "compareHandEyeMethods", "image_list");
  if (!intrinsicMatrix.empty()) {
    vesk::detail::requireIntrinsicShapes(intrinsicMatrix, distortionCoefficients, "compareHandEyeMethods");
  }
  std::vector<std::string> names;
  for (const auto& entry : calibration::handEyeMethodByNameMap()) names.push_back(entry.first);
  // the five calibrations are independent: one per thread, reports and log lines in method order
  std::vector<std::optional<HandEyeMethodResult>> slots(names.size());
  detail::forEachView(names.size(), [&](std::size_t m) {
    const std::string& name = names[m];
    calibration::IntrinsicOptions options;
    options.per_view_error_threshold = perViewErrorThreshold;
    std::optional<HandEyeMethodResult> slot;
    // the five runs print five reports alike but for their numbers: each says which solver it is
    logging::printReport("\n[method comparison] " + name + " (" + std::to_string(m + 1) + " of " +
                         std::to_string(names.size()) + ")\n");
    try {
      // an ok result is a finite rigid transform
      if (eyeToHand) {
        calibration::EyeToHandCalibrator calibrator(target, options);
        const calibration::EyeToHandResult r = calibrator.calibrate(robotTTcpList, imageList, name, cameraTTargetList,
                                                                    intrinsicMatrix, distortionCoefficients, {});
        if (r.ok && !r.robot_T_camera.empty()) {
          slot = HandEyeMethodResult{name, cv::Mat(), tf::transformationMatrixToPose(r.robot_T_camera),
                                     r.robot_T_camera};
        }
      } else {
        calibration::EyeInHandCalibrator calibrator(target, options);
        const calibration::HandEyeResult r = calibrator.calibrate(robotTTcpList, imageList, name, cameraTTargetList,
                                                                  intrinsicMatrix, distortionCoefficients, {});
        if (r.ok && !r.tcp_T_camera.empty()) {
          slot = HandEyeMethodResult{name, r.tcp_T_camera, tf::transformationMatrixToPose(r.tcp_T_camera), cv::Mat()};
        }
      }
    } catch (const std::exception& e) {
      logging::log(logging::WARNING, "[diag] method " + name + " failed: " + vesk::detail::errorText(e));
    }
    slots[m] = std::move(slot);
  });
  HandEyeMethodResults results;
  for (std::size_t m = 0; m < names.size(); ++m) results[names[m]] = std::move(slots[m]);
  return results;
}

namespace {

bool finitePose(const std::optional<HandEyeMethodResult>& entry) {
  return entry && entry->pose_deg.size() >= 6 &&
         std::all_of(entry->pose_deg.begin(), entry->pose_deg.end(), [](double v) { return std::isfinite(v); });
}

// One row per method; returns the methods that gave a pose.
std::vector<const HandEyeMethodResult*> writeMethodRows(std::ostream& os, const HandEyeMethodResults& results) {
  std::vector<const HandEyeMethodResult*> valid;
  for (const auto& [name, entry] : results) {
    os << "  " << std::left << std::setw(12) << name << std::right;
    // a non-finite result is a failed method, not a row of nan
    if (!finitePose(entry)) {
      os << "(failed)\n";
      continue;
    }
    const std::vector<double>& p = entry->pose_deg;
    os << std::fixed << std::setprecision(4);
    for (int i = 0; i < 3; ++i) os << std::setw(8) << p[static_cast<std::size_t>(i)];
    os << std::setprecision(2);
    for (int i = 3; i < 6; ++i) os << std::setw(7) << p[static_cast<std::size_t>(i)];
    os << "\n";
    valid.push_back(&*entry);
  }
  return valid;
}

// How the methods agree on rz (the angle hand-eye data most often leaves loose) and on translation.
struct Agreement {
  std::size_t methods = 0;
  double median_rz = 0.0;
  double rz_spread = 0.0;
  double translation_spread_m = 0.0;  // diagonal of the box around the translations
  std::size_t inliers = 0;
  std::vector<std::string> outliers;  // |rz - median| above the threshold
};

Agreement agreementOf(const std::vector<const HandEyeMethodResult*>& valid, double threshold) {
  Agreement a;
  std::vector<double> rz;
  for (const auto* v : valid) rz.push_back(v->pose_deg[5]);
  a.methods = rz.size();
  a.median_rz = median(rz);
  a.rz_spread = *std::max_element(rz.begin(), rz.end()) - *std::min_element(rz.begin(), rz.end());
  double box = 0.0;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    double lo = valid[0]->pose_deg[axis], hi = lo;
    for (const auto* v : valid) {
      lo = std::min(lo, v->pose_deg[axis]);
      hi = std::max(hi, v->pose_deg[axis]);
    }
    box += (hi - lo) * (hi - lo);
  }
  a.translation_spread_m = std::sqrt(box);
  for (std::size_t i = 0; i < valid.size(); ++i) {
    if (std::abs(rz[i] - a.median_rz) <= threshold) {
      ++a.inliers;
    } else {
      a.outliers.push_back(valid[i]->method_name);
    }
  }
  return a;
}

void writeVerdict(std::ostream& os, const Agreement& a, double threshold) {
  const std::string dashes(58, '-');
  const double median = a.median_rz;
  os << "  " << dashes << "\n" << std::fixed << std::setprecision(2);
  os << "  rz total spread:      " << a.rz_spread << " deg (median rz = " << median << " deg)\n";
  os << "  translation spread:   " << a.translation_spread_m * 1000 << " mm\n";
  if (a.outliers.empty()) {
    os << "  >>> All " << a.methods << " methods agree to within ~" << threshold << " deg of median (" << median
       << " deg).\n"
       << "      The data uniquely determines rz. If this differs from\n"
       << "      visual ground truth, the bias is in the *data* (robot\n"
       << "      kinematics or detection), not the solver.\n";
  } else if (a.inliers + 1 < a.methods) {
    os << "  >>> No consensus  -  methods split into clusters with >" << threshold << " deg spread.\n"
       << "      Solution is under-determined; capture more axis-diverse poses.\n";
  } else {
    os << "  >>> " << a.inliers << "-of-" << a.methods << " methods cluster near " << median << " deg; outlier(s): ";
    for (std::size_t i = 0; i < a.outliers.size(); ++i) os << (i ? ", " : "") << a.outliers[i];
    os << ".\n"
       << "      Trust the consensus value (" << median << " deg). The\n"
       << "      outlier likely hit a local optimum specific to its formulation.\n";
  }
}

}  // namespace

std::string formatMethodComparison(const HandEyeMethodResults& results, double threshold) {
  const std::string rule(60, '=');
  const std::string dashes(58, '-');
  std::ostringstream os;
  os << rule << "\nHAND-EYE CROSS-METHOD COMPARISON\n" << rule << "\n";
  os << "  " << std::left << std::setw(12) << "Method" << std::right << std::setw(8) << "x (m)" << std::setw(8)
     << "y (m)" << std::setw(8) << "z (m)" << std::setw(7) << "rx" << std::setw(7) << "ry" << std::setw(7) << "rz"
     << "\n";
  os << "  " << dashes << "\n";
  const std::vector<const HandEyeMethodResult*> valid = writeMethodRows(os, results);
  if (valid.size() >= 2) writeVerdict(os, agreementOf(valid, threshold), threshold);
  return os.str();
}

}  // namespace vesk::quality
