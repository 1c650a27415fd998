#include "targets/detection.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "core/allocator.hpp"
#include "targets/annotation.hpp"

namespace vesk {

namespace {

cv::Mat pointsOf(const std::vector<cv::Point2f>& points) { return cv::Mat(points, true); }

// Markers of the dictionary that are not on this board carry no board coordinates.
void dropForeign(const std::unordered_map<int, std::size_t>& positionOfId,
                 std::vector<std::vector<cv::Point2f>>& corners, std::vector<int>& ids) {
  std::size_t kept = 0;
  for (std::size_t k = 0; k < ids.size(); ++k) {
    if (positionOfId.count(ids[k]) == 0) continue;
    if (kept != k) {
      ids[kept] = ids[k];
      corners[kept] = std::move(corners[k]);
    }
    ++kept;
  }
  ids.resize(kept);
  corners.resize(kept);
}

}  // namespace

TargetDetector::TargetDetector(const CalibrationTarget& target, DetectionSettings settings)
    : settings_(std::move(settings)), kind_(build(target)) {}

TargetDetector::Kind TargetDetector::build(const CalibrationTarget& target) {
  return std::visit(
      Overloaded{[](const ChessboardTarget& t) -> Kind { return Chessboard{t.size, t.objectPoints()}; },
                 [](const CharucoTarget& t) -> Kind {
                   return Charuco{t.buildDetector(), t.buildBoard().getChessboardCorners()};
                 },
                 [](const ArucoTarget& t) -> Kind {
                   Aruco a{cv::aruco::ArucoDetector(t.buildDictionary(), cv::aruco::DetectorParameters(),
                                                    defaultRefineParameters()),
                           t.buildBoard(),
                           {}};
                   const std::vector<int>& ids = a.board.getIds();
                   // only ids that have board corners can be paired
                   for (std::size_t k = 0; k < std::min(ids.size(), a.board.getObjPoints().size()); ++k) {
                     a.position_of_id.emplace(ids[k], k);
                   }
                   return a;
                 }},
      target);
}

TargetDetection TargetDetector::detect(const cv::Mat& gray) const {
  return std::visit(Overloaded{[&](const Chessboard& k) { return detectChessboard(k, gray); },
                               [&](const Charuco& k) { return detectCharuco(k, gray); },
                               [&](const Aruco& k) { return detectAruco(k, gray); }},
                    kind_);
}

TargetDetection TargetDetector::detectChessboard(const Chessboard& kind, const cv::Mat& gray) const {
  TargetDetection out;
  std::vector<cv::Point2f> corners;
  out.found = settings_.sector_based
                  ? cv::findChessboardCornersSB(gray, kind.size, corners, settings_.chessboard_flags)
                  : cv::findChessboardCorners(gray, kind.size, corners, settings_.chessboard_flags);
  if (!out.found) return out;
  if (!settings_.sector_based) {
    const int win = settings_.sub_pixel_window, zz = settings_.sub_pixel_zero_zone;
    cv::cornerSubPix(gray, corners, cv::Size(win, win), cv::Size(zz, zz), settings_.sub_pixel_criteria);
  }
  out.image_points = pointsOf(corners);
  out.object_points = kind.board_points.clone();
  return out;
}

TargetDetection TargetDetector::detectCharuco(const Charuco& kind, const cv::Mat& gray) const {
  TargetDetection out;
  std::vector<cv::Point2f> corners;
  kind.detector.detectBoard(gray, corners, out.ids, out.marker_corners, out.marker_ids);
  out.found = out.ids.size() >= kMinPointsPerView;
  out.image_points = pointsOf(corners);
  out.object_points.create(static_cast<int>(out.ids.size()), 3, CV_32F);
  for (int k = 0; k < out.object_points.rows; ++k) {
    // the detector reports only ids of its own board's corners
    const cv::Point3f& p = kind.board_corners.at(static_cast<std::size_t>(out.ids[static_cast<std::size_t>(k)]));
    auto* row = out.object_points.ptr<float>(k);
    row[0] = p.x;
    row[1] = p.y;
    row[2] = p.z;
  }
  return out;
}

TargetDetection TargetDetector::detectAruco(const Aruco& kind, const cv::Mat& gray) const {
  TargetDetection out;
  std::vector<std::vector<cv::Point2f>> rejected;
  kind.detector.detectMarkers(gray, out.marker_corners, out.marker_ids, rejected);
  const std::size_t seen = out.marker_ids.size();
  dropForeign(kind.position_of_id, out.marker_corners, out.marker_ids);
  out.found = (settings_.count_foreign_markers ? seen : out.marker_ids.size()) >=
              kMinPointsPerView;
  if (!out.found) return out;
  if (settings_.refine_markers) {
    kind.detector.refineDetectedMarkers(gray, kind.board, out.marker_corners, out.marker_ids, rejected);
    dropForeign(kind.position_of_id, out.marker_corners, out.marker_ids);
  }

  const std::vector<std::vector<cv::Point3f>>& markerObjPoints = kind.board.getObjPoints();
  const int m = static_cast<int>(out.marker_ids.size());
  out.object_points.create(4 * m, 3, CV_32F);
  out.image_points.create(4 * m, 1, CV_32FC2);
  for (int k = 0; k < m; ++k) {
    const auto& obj = markerObjPoints[kind.position_of_id.at(out.marker_ids[static_cast<std::size_t>(k)])];
    const auto& img = out.marker_corners[static_cast<std::size_t>(k)];
    for (int c = 0; c < 4; ++c) {
      auto* row = out.object_points.ptr<float>(4 * k + c);
      row[0] = obj[static_cast<std::size_t>(c)].x;
      row[1] = obj[static_cast<std::size_t>(c)].y;
      row[2] = obj[static_cast<std::size_t>(c)].z;
      const cv::Point2f& p = img[static_cast<std::size_t>(c)];
      out.image_points.at<cv::Vec2f>(4 * k + c) = cv::Vec2f(p.x, p.y);
    }
  }
  return out;
}

void TargetDetector::draw(cv::Mat& image, const TargetDetection& d) const {
  std::visit(Overloaded{[&](const Chessboard& k) { cv::drawChessboardCorners(image, k.size, d.image_points, true); },
                        [&](const auto&) {
                          if (!d.marker_ids.empty()) {
                            cv::aruco::drawDetectedMarkers(image, d.marker_corners, d.marker_ids,
                                                           cv::Scalar(0, 255, 0));
                          }
                          if (!d.ids.empty()) {
                            cv::aruco::drawDetectedCornersCharuco(image, d.image_points, d.ids,
                                                                  cv::Scalar(255, 0, 0));
                          }
                        }},
             kind_);
}

cv::Mat TargetDetector::annotate(const cv::Mat& image, const TargetDetection& detection) const {
  return detail::annotatedCopy(image, [&](cv::Mat& copy) { draw(copy, detection); });
}

}  // namespace vesk

namespace vesk::detail {

namespace {

std::string colourProblem(const cv::Mat& image) {
  if (image.empty() || image.channels() == 3 || image.channels() == 4) return "";
  const int n = image.channels();
  return "has " + std::to_string(n) + (n == 1 ? " channel" : " channels") +
         ": BGR images (H x W x 3) are required; convert a mono image with cv2.cvtColor(image, "
         "cv2.COLOR_GRAY2BGR)";
}

}  // namespace

void requireColourImage(const cv::Mat& image, const std::string& component, const std::string& name) {
  if (const std::string problem = colourProblem(image); !problem.empty()) {
    throw std::invalid_argument(component + ": " + name + " " + problem);
  }
}

void requireColourImages(const std::vector<cv::Mat>& images, const std::string& component, const std::string& name) {
  for (std::size_t i = 0; i < images.size(); ++i) {
    requireColourImage(images[i], component, name + "[" + std::to_string(i) + "]");
  }
}

cv::Mat toGray(const cv::Mat& image) {
  if (const std::string problem = colourProblem(image); !problem.empty()) {
    throw std::invalid_argument("image " + problem);
  }
  cv::Mat gray = largeBufferMat();
  cv::cvtColor(image, gray, cv::COLOR_BGR2GRAY);
  return gray;
}

}  // namespace vesk::detail
