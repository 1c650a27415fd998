#include "calibration/hand_eye/hand_eye_record.hpp"

#include <cmath>

#include "core/transforms.hpp"

namespace vesk::calibration {

std::vector<detail::Pose> fixedPosePerFrame(const std::vector<detail::Pose>& robots, const detail::Pose& X,
                                            const std::vector<detail::Pose>& cams) {
  std::vector<detail::Pose> out;
  for (std::size_t i = 0; i < robots.size() && i < cams.size(); ++i) out.push_back(robots[i] * X * cams[i]);
  return out;
}

cv::Mat fixedPoseCovariance(const std::vector<detail::Pose>& perFrame, const cv::Mat& mean) {
  const std::size_t n = perFrame.size();
  if (n < 3 || mean.empty()) return cv::Mat();
  const detail::Pose m = detail::toPose(mean);
  cv::Mat sum = cv::Mat::zeros(6, 6, CV_64F);
  for (const detail::Pose& p : perFrame) {
    const cv::Vec3d rotation = detail::rotationVector(detail::rotationOf(p) * detail::rotationOf(m).t());
    const cv::Vec3d shift = detail::translationOf(p) - detail::translationOf(m);
    const cv::Matx61d d(rotation[0], rotation[1], rotation[2], shift[0], shift[1], shift[2]);
    sum += cv::Mat(d * d.t());
  }
  return sum / (static_cast<double>(n - 1) * static_cast<double>(n));
}

io::RecheckFields recheckFields(const CalibrationTarget& target, const cv::Mat& intrinsicMatrix,
                                const cv::Mat& distortionCoefficients, const std::vector<cv::Mat>& images,
                                const cv::Mat& fixedPoseCovariance, const NoiseEstimate& noise) {
  io::RecheckFields r;
  if (!intrinsicMatrix.empty()) {
    cv::Mat k, d;
    intrinsicMatrix.convertTo(k, CV_64F);
    distortionCoefficients.convertTo(d, CV_64F);
    r.intrinsic_matrix = k;
    r.distortion_coefficients = d.empty() ? cv::Mat() : d.reshape(1, 1).clone();
  }
  if (!images.empty() && !images.front().empty()) r.image_size = images.front().size();
  r.board = target;
  if (!fixedPoseCovariance.empty()) r.fixed_pose_covariance = fixedPoseCovariance;
  if (std::isfinite(noise.pixel_px) || std::isfinite(noise.robot_translation_m) ||
      std::isfinite(noise.robot_rotation_deg)) {
    r.noise = io::StoredNoise{noise.pixel_px, noise.robot_translation_m, noise.robot_rotation_deg};
  }
  r.vesk_version = io::moduleVersion();
  r.created_utc = io::utcTimestamp();
  return r;
}

}  // namespace vesk::calibration
