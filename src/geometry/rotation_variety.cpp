#include "geometry/rotation_variety.hpp"

#include <algorithm>
#include <iomanip>
#include <sstream>
#include <stdexcept>

#include <opencv2/calib3d.hpp>

#include "core/constants.hpp"
#include "core/transforms.hpp"

namespace vesk::quality {

std::optional<RotationVarietyStats> analyzeRotationVariety(const std::vector<cv::Mat>& list, double minRotationDeg) {
  vesk::detail::requireRigid(list, "analyzeRotationVariety", "camera_T_target_list");
  std::vector<cv::Vec3d> rvecs;
  std::vector<double> angles;
  // poses of any floating depth, as the calibrator accepts them
  std::vector<cv::Mat> poses(list.size());
  for (std::size_t k = 0; k < list.size(); ++k) list[k].convertTo(poses[k], CV_64F);
  for (std::size_t k = 1; k < poses.size(); ++k) {
    const cv::Mat motion = poses[k - 1].inv(cv::DECOMP_LU) * poses[k];
    cv::Vec3d rvec;
    cv::Rodrigues(motion(cv::Rect(0, 0, 3, 3)), rvec);
    const double angle = cv::norm(rvec);
    if (angle > toRadians(minRotationDeg)) {
      rvecs.push_back(rvec);
      angles.push_back(angle);
    }
  }
  if (rvecs.size() < 3) return std::nullopt;

  const cv::Mat stacked = cv::Mat(rvecs, false).reshape(1, static_cast<int>(rvecs.size()));
  cv::Mat w, u, vt;
  cv::SVD::compute(stacked, w, u, vt, 0);
  RotationVarietyStats stats;
  stats.num_motions = static_cast<int>(rvecs.size());
  for (int i = 0; i < 3; ++i) stats.singular_values[static_cast<std::size_t>(i)] = w.at<double>(i);
  stats.axis_span_ratio = stats.singular_values[2] / stats.singular_values[0];
  double sum = 0.0, maxDeg = 0.0;
  for (std::size_t i = 0; i < angles.size(); ++i) {
    const double deg = toDegrees(angles[i]);
    sum += deg;
    maxDeg = i == 0 ? deg : std::max(maxDeg, deg);
  }
  stats.angle_mean_deg = sum / static_cast<double>(angles.size());
  stats.angle_max_deg = maxDeg;
  return stats;
}

std::optional<RotationVarietyStats> analyzeFixedCameraRotationVariety(const std::vector<cv::Mat>& cameraTTargetList,
                                                                      double minRotationDeg) {
  for (std::size_t i = 0; i < cameraTTargetList.size(); ++i) {
    const cv::Mat& m = cameraTTargetList[i];
    if (!detail::isPoseShape(m)) {
      throw std::invalid_argument("analyze_rotation_variety: camera_T_target_list[" + std::to_string(i) +
                                  "] must be a 4x4 matrix");
    }
  }
  return analyzeRotationVariety(detail::inverseRigid(cameraTTargetList), minRotationDeg);
}

std::string formatRotationVariety(const std::optional<RotationVarietyStats>& stats) {
  const std::string rule(60, '=');
  std::ostringstream os;
  os << rule << "\nROTATION VARIETY OF CAPTURED CAMERA POSES\n" << rule << "\n";
  if (!stats) {
    os << "  Not enough motions to analyze.\n";
    return os.str();
  }
  os << std::fixed;
  os << "  Inter-frame motions analyzed: " << stats->num_motions << "\n";
  os << std::setprecision(2) << "  Mean inter-frame rotation:    " << stats->angle_mean_deg << " deg\n";
  os << "  Max  inter-frame rotation:    " << stats->angle_max_deg << " deg\n";
  os << std::setprecision(3) << "  Singular values of rvecs:     [" << stats->singular_values[0] << ", "
     << stats->singular_values[1] << ", " << stats->singular_values[2] << "]\n";
  os << "  Axis-spread ratio (sv_min/sv_max): " << stats->axis_span_ratio << "\n";
  const double ratio = stats->axis_span_ratio;
  if (ratio < 0.15) {
    os << "  >>> POOR rotation variety  -  motions cluster in a plane.\n"
       << "  >>> Hand-eye is poorly observable in one axis; expect bias.\n";
  } else if (ratio < 0.35) {
    os << "  >>> Marginal rotation variety  -  possible bias in one axis.\n";
  } else {
    os << "  >>> Rotation variety is healthy.\n";
  }
  return os.str();
}

}  // namespace vesk::quality
