#include <opencv2/objdetect/charuco_detector.hpp>

#include "targets/detection.hpp"
#include "targets/targets.hpp"

namespace vesk {

cv::aruco::CharucoDetector CharucoTarget::buildDetector() const {
  return cv::aruco::CharucoDetector(buildBoard(), cv::aruco::CharucoParameters(), cv::aruco::DetectorParameters(),
                                    defaultRefineParameters());
}

std::pair<cv::Mat, int> CharucoTarget::detectAndAnnotate(const cv::Mat& image) const {
  const TargetDetector detector(*this);
  const TargetDetection detection = detector.detect(detail::toGray(image));
  return {detector.annotate(image, detection), static_cast<int>(detection.ids.size())};
}

}  // namespace vesk
