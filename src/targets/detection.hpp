#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/objdetect/aruco_detector.hpp>
#include <opencv2/objdetect/charuco_detector.hpp>

#include "core/constants.hpp"
#include "targets/targets.hpp"

namespace vesk {

// Where callers detect differently, they say so here; the defaults are the intrinsic calibration's.
struct DetectionSettings {
  bool sector_based = false;  // chessboard: findChessboardCornersSB, whose corners are used unrefined
  int chessboard_flags = 0;
  int sub_pixel_window = 11;  // cornerSubPix window and zero zone, in pixels
  int sub_pixel_zero_zone = -1;
  cv::TermCriteria sub_pixel_criteria{cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 0.001};
  bool refine_markers = true;          // ArUco: refineDetectedMarkers against the board
  bool count_foreign_markers = false;  // ArUco: markers that are not on the board count towards the minimum

  // Detecting a view again for its pose (target poses, benchmark scoring): no marker refinement,
  // and markers off the board count towards the minimum (the pose uses the board's own).
  static DetectionSettings forPose() {
    DetectionSettings s;
    s.refine_markers = false;
    s.count_foreign_markers = true;
    return s;
  }
};

// The target as one grey image shows it; row k of image_points belongs to row k of object_points.
struct TargetDetection {
  // The view holds the target: the chessboard finder succeeded, or it shows at least
  // kMinPointsPerView ChArUco corners, or that many ArUco markers before refinement.
  bool found = false;
  cv::Mat image_points;   // N x 1 CV_32FC2, pixels
  cv::Mat object_points;  // N x 3 CV_32F, board coordinates
  std::vector<int> ids;   // ChArUco corner id of each row; empty for the other kinds
  // the markers found, for drawing (ArUco: only those on the board)
  std::vector<std::vector<cv::Point2f>> marker_corners;
  std::vector<int> marker_ids;
};

// Detector, board and id-to-board mapping of one target, built once and used for many images.
class TargetDetector {
 public:
  explicit TargetDetector(const CalibrationTarget& target, DetectionSettings settings = {});

  // A ChArUco detection keeps its corners even when too few were found; the other kinds
  // return points only when found.
  TargetDetection detect(const cv::Mat& gray) const;
  // Draws the detection on `image` in place: chessboard corners, or markers in green and
  // ChArUco corners in blue.
  void draw(cv::Mat& image, const TargetDetection& detection) const;
  // Copy of `image` (same type) with the detection drawn on it.
  cv::Mat annotate(const cv::Mat& image, const TargetDetection& detection) const;

 private:
  struct Chessboard {
    cv::Size size;
    cv::Mat board_points;
  };
  struct Charuco {
    cv::aruco::CharucoDetector detector;
    std::vector<cv::Point3f> board_corners;  // indexed by corner id
  };
  struct Aruco {
    cv::aruco::ArucoDetector detector;
    cv::aruco::GridBoard board;
    std::unordered_map<int, std::size_t> position_of_id;  // marker id -> its place in the board's lists
  };

  TargetDetection detectChessboard(const Chessboard& kind, const cv::Mat& gray) const;
  TargetDetection detectCharuco(const Charuco& kind, const cv::Mat& gray) const;
  TargetDetection detectAruco(const Aruco& kind, const cv::Mat& gray) const;

  using Kind = std::variant<Chessboard, Charuco, Aruco>;
  static Kind build(const CalibrationTarget& target);

  DetectionSettings settings_;
  Kind kind_;
};

}  // namespace vesk

namespace vesk::detail {

// BGR (or BGRA) to grey into a large-page buffer; any other channel count is std::invalid_argument.
cv::Mat toGray(const cv::Mat& image);

// Throws std::invalid_argument(component + ": " + name + "[i] has N channel(s)...") for the first
// image that is not BGR or BGRA: the detectors and annotations work on colour images.
void requireColourImages(const std::vector<cv::Mat>& images, const std::string& component, const std::string& name);
void requireColourImage(const cv::Mat& image, const std::string& component, const std::string& name);

}  // namespace vesk::detail
