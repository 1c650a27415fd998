#include "quality/method_comparison.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <iomanip>
#include <sstream>

#include "calibration/eye_in_hand.hpp"
#include "core/logging.hpp"
#include "core/transforms.hpp"

namespace vesk::quality {

HandEyeMethodResults compareHandEyeMethods(const CalibrationTarget& target, const std::vector<cv::Mat>& robotTTcpList,
                                           const std::vector<cv::Mat>& imageList,
                                           const std::vector<cv::Mat>& cameraTTargetList,
                                           const cv::Mat& intrinsicMatrix, const cv::Mat& distortionCoefficients,
                                           double perViewErrorThreshold) {
  HandEyeMethodResults results;
  for (const auto& entry : calibration::handEyeMethodByNameMap()) {
    const std::string& name = entry.first;
    calibration::IntrinsicOptions options;
    options.per_view_error_threshold = perViewErrorThreshold;
    std::optional<HandEyeMethodResult> slot;
    try {
      calibration::EyeInHandCalibrator calibrator(target, options);
      const calibration::HandEyeResult r = calibrator.calibrate(robotTTcpList, imageList, name, cameraTTargetList,
                                                                intrinsicMatrix, distortionCoefficients, {});
      if (r.ok && !r.tcp_T_camera.empty()) {  // an ok result is a finite rigid transform
        slot = HandEyeMethodResult{name, r.tcp_T_camera, tf::transformationMatrixToPose(r.tcp_T_camera)};
      }
    } catch (const std::exception& e) {
      logging::log(logging::WARNING, "[diag] method " + name + " failed: " + e.what());
    }
    results[name] = std::move(slot);
  }
  return results;
}

std::string formatMethodComparison(const HandEyeMethodResults& results, double threshold) {
  const std::string rule(60, '=');
  const std::string dashes(58, '-');
  std::ostringstream os;
  os << rule << "\nHAND-EYE CROSS-METHOD COMPARISON\n" << rule << "\n";
  os << "  " << std::left << std::setw(12) << "Method" << std::right << std::setw(8) << "x (m)" << std::setw(8)
     << "y (m)" << std::setw(8) << "z (m)" << std::setw(7) << "rx" << std::setw(7) << "ry" << std::setw(7) << "rz"
     << "\n";
  os << "  " << dashes << "\n";
  std::vector<const HandEyeMethodResult*> valid;
  for (const auto& [name, entry] : results) {
    os << "  " << std::left << std::setw(12) << name << std::right;
    // a non-finite result is a failed method, not a row of nan
    if (!entry || entry->pose_deg.size() < 6 ||
        !std::all_of(entry->pose_deg.begin(), entry->pose_deg.end(), [](double v) { return std::isfinite(v); })) {
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
  if (valid.size() < 2) return os.str();

  std::vector<double> rz;
  for (const auto* v : valid) rz.push_back(v->pose_deg[5]);
  std::vector<double> sorted = rz;
  std::sort(sorted.begin(), sorted.end());
  const std::size_t n = sorted.size();
  const double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0;
  const double rzSpread = sorted.back() - sorted.front();
  double box = 0.0;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    double lo = valid[0]->pose_deg[axis], hi = lo;
    for (const auto* v : valid) {
      lo = std::min(lo, v->pose_deg[axis]);
      hi = std::max(hi, v->pose_deg[axis]);
    }
    box += (hi - lo) * (hi - lo);
  }
  const double translationSpread = std::sqrt(box);
  std::vector<std::string> outliers;
  std::size_t inliers = 0;
  for (std::size_t i = 0; i < valid.size(); ++i) {
    if (std::abs(rz[i] - median) <= threshold) {
      ++inliers;
    } else {
      outliers.push_back(valid[i]->method_name);
    }
  }

  os << "  " << dashes << "\n" << std::fixed << std::setprecision(2);
  os << "  rz total spread:      " << rzSpread << " deg (median rz = " << median << " deg)\n";
  os << "  translation spread:   " << translationSpread * 1000 << " mm\n";
  if (outliers.empty()) {
    os << "  >>> All " << n << " methods agree to within ~" << threshold << " deg of median (" << median
       << " deg).\n"
       << "      The data uniquely determines rz. If this differs from\n"
       << "      visual ground truth, the bias is in the *data* (robot\n"
       << "      kinematics or detection), not the solver.\n";
  } else if (inliers + 1 < n) {
    os << "  >>> No consensus  -  methods split into clusters with >" << threshold << " deg spread.\n"
       << "      Solution is under-determined; capture more axis-diverse poses.\n";
  } else {
    os << "  >>> " << inliers << "-of-" << n << " methods cluster near " << median << " deg; outlier(s): ";
    for (std::size_t i = 0; i < outliers.size(); ++i) os << (i ? ", " : "") << outliers[i];
    os << ".\n"
       << "      Trust the consensus value (" << median << " deg). The\n"
       << "      outlier likely hit a local optimum specific to its formulation.\n";
  }
  return os.str();
}

}  // namespace vesk::quality
