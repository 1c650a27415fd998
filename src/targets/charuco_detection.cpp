#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect/aruco_detector.hpp>
#include <opencv2/objdetect/charuco_detector.hpp>

#include "targets/annotation.hpp"
#include "targets/targets.hpp"

namespace vesk {

cv::aruco::CharucoDetector CharucoTarget::buildDetector() const {
  return cv::aruco::CharucoDetector(buildBoard(), cv::aruco::CharucoParameters(), cv::aruco::DetectorParameters(),
                                    defaultRefineParameters());
}

std::pair<cv::Mat, int> CharucoTarget::detectAndAnnotate(const cv::Mat& image) const {
  const cv::aruco::CharucoDetector detector = buildDetector();
  cv::Mat gray = detail::largeBufferMat();
  cv::cvtColor(image, gray, cv::COLOR_BGR2GRAY);

  std::vector<cv::Point2f> charucoCorners;
  std::vector<int> charucoIds;
  std::vector<std::vector<cv::Point2f>> markerCorners;
  std::vector<int> markerIds;
  detector.detectBoard(gray, charucoCorners, charucoIds, markerCorners, markerIds);

  cv::Mat annotated = detail::annotatedCopy(image, [&](cv::Mat& copy) {
    if (!markerIds.empty()) {
      cv::aruco::drawDetectedMarkers(copy, markerCorners, markerIds, cv::Scalar(0, 255, 0));
    }
    if (!charucoIds.empty()) {
      cv::aruco::drawDetectedCornersCharuco(copy, charucoCorners, charucoIds, cv::Scalar(255, 0, 0));
    }
  });
  return {annotated, static_cast<int>(charucoIds.size())};
}

}  // namespace vesk
