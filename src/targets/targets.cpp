#include "targets/targets.hpp"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect/aruco_detector.hpp>

namespace vesk {

const std::map<std::string, int>& arucoDictionaryIdMap() {
  static const std::map<std::string, int> table = {
      {"DICT_4X4_50", cv::aruco::DICT_4X4_50},
      {"DICT_4X4_100", cv::aruco::DICT_4X4_100},
      {"DICT_4X4_250", cv::aruco::DICT_4X4_250},
      {"DICT_4X4_1000", cv::aruco::DICT_4X4_1000},
      {"DICT_5X5_50", cv::aruco::DICT_5X5_50},
      {"DICT_5X5_100", cv::aruco::DICT_5X5_100},
      {"DICT_5X5_250", cv::aruco::DICT_5X5_250},
      {"DICT_5X5_1000", cv::aruco::DICT_5X5_1000},
      {"DICT_6X6_50", cv::aruco::DICT_6X6_50},
      {"DICT_6X6_100", cv::aruco::DICT_6X6_100},
      {"DICT_6X6_250", cv::aruco::DICT_6X6_250},
      {"DICT_6X6_1000", cv::aruco::DICT_6X6_1000},
      {"DICT_7X7_50", cv::aruco::DICT_7X7_50},
      {"DICT_7X7_100", cv::aruco::DICT_7X7_100},
      {"DICT_7X7_250", cv::aruco::DICT_7X7_250},
      {"DICT_7X7_1000", cv::aruco::DICT_7X7_1000},
      {"DICT_ARUCO_ORIGINAL", cv::aruco::DICT_ARUCO_ORIGINAL},
      {"DICT_APRILTAG_16H5", cv::aruco::DICT_APRILTAG_16h5},
      {"DICT_APRILTAG_25H9", cv::aruco::DICT_APRILTAG_25h9},
      {"DICT_APRILTAG_36H10", cv::aruco::DICT_APRILTAG_36h10},
      {"DICT_APRILTAG_36H11", cv::aruco::DICT_APRILTAG_36h11},
      {"DICT_ARUCO_MIP_36H12", cv::aruco::DICT_ARUCO_MIP_36h12},
  };
  return table;
}

int arucoDictionaryIdFromName(const std::string& name) {
  const auto& table = arucoDictionaryIdMap();
  const auto it = table.find(name);
  if (it == table.end()) {
    throw std::invalid_argument("Unknown aruco_dict_id '" + name + "'");
  }
  return it->second;
}

namespace {
// OpenCV 4.10 silently substitutes DICT_4X4_50 for an unknown id; a typo in a
// target must not detect against the wrong dictionary.
cv::aruco::Dictionary predefinedDictionary(int id) {
  if (id < cv::aruco::DICT_4X4_50 || id > cv::aruco::DICT_ARUCO_MIP_36h12) {
    CV_Error(cv::Error::StsOutOfRange,
             "aruco_dict_id must be a predefined dictionary id from 0 to 21, got " + std::to_string(id));
  }
  return cv::aruco::getPredefinedDictionary(id);
}


// OpenCV's boards check only that the product of the sides is positive, so
// (-2, -2) passes with ids but no points, and the product itself can overflow.
// Both sides must be positive and every point count must fit in an int.
void checkGrid(const std::string& what, int width, int height, std::int64_t pointsPerCell) {
  const std::string sides = "(" + std::to_string(width) + ", " + std::to_string(height) + ")";
  if (width <= 0 || height <= 0) {
    throw std::runtime_error(what + " must have positive sides, got " + sides);
  }
  if (static_cast<std::int64_t>(width) * height * pointsPerCell > std::numeric_limits<int>::max()) {
    throw std::runtime_error(what + " " + sides + " has more points than fit in an int");
  }
}
}  // namespace

cv::Mat ChessboardTarget::objectPoints() const {
  const int w = size.width, h = size.height;
  // a grid with a zero side has no corners at all
  if ((w == 0 && h >= 0) || (h == 0 && w >= 0)) return cv::Mat(0, 3, CV_32F);
  checkGrid("ChessboardTarget: size", w, h, 1);
  cv::Mat points = cv::Mat::zeros(w * h, 3, CV_32F);
  for (int i = 0; i < h; ++i) {
    for (int j = 0; j < w; ++j) {
      auto* row = points.ptr<float>(i * w + j);
      row[0] = static_cast<float>(j * square_size);
      row[1] = static_cast<float>(i * square_size);
    }
  }
  return points;
}

CharucoTarget::CharucoTarget(int squaresX, int squaresY, double squareLength, double markerLength, int arucoDictId)
    : squares_x(squaresX),
      squares_y(squaresY),
      square_length(squareLength),
      marker_length(markerLength),
      aruco_dict_id(arucoDictId) {}

CharucoTarget::CharucoTarget(int squaresX, int squaresY, double squareLength, double markerLength,
                             const std::string& arucoDictName)
    : CharucoTarget(squaresX, squaresY, squareLength, markerLength, arucoDictionaryIdFromName(arucoDictName)) {}

cv::aruco::Dictionary CharucoTarget::buildDictionary() const {
  return predefinedDictionary(aruco_dict_id);
}

cv::aruco::CharucoBoard CharucoTarget::buildBoard() const {
  checkGrid("CharucoTarget: squares", squares_x, squares_y, 4);
  return cv::aruco::CharucoBoard(cv::Size(squares_x, squares_y), static_cast<float>(square_length),
                                 static_cast<float>(marker_length), buildDictionary());
}

ArucoTarget::ArucoTarget(cv::Size boardSize, double markerLength, double markerSeparation, int arucoDictId)
    : board_size(boardSize),
      marker_length(markerLength),
      marker_separation(markerSeparation),
      aruco_dict_id(arucoDictId) {}

ArucoTarget::ArucoTarget(cv::Size boardSize, double markerLength, double markerSeparation,
                         const std::string& arucoDictName)
    : ArucoTarget(boardSize, markerLength, markerSeparation, arucoDictionaryIdFromName(arucoDictName)) {}

cv::aruco::Dictionary ArucoTarget::buildDictionary() const {
  return predefinedDictionary(aruco_dict_id);
}

cv::aruco::GridBoard ArucoTarget::buildBoard() const {
  checkGrid("ArucoTarget: board_size", board_size.width, board_size.height, 4);
  return cv::aruco::GridBoard(board_size, static_cast<float>(marker_length), static_cast<float>(marker_separation),
                              buildDictionary());
}

cv::aruco::RefineParameters defaultRefineParameters() { return cv::aruco::RefineParameters(10.0f, 3.0f, true); }

std::string toRepr(const ChessboardTarget& t) {
  return "ChessboardTarget(size=(" + std::to_string(t.size.width) + ", " + std::to_string(t.size.height) +
         "), square_size=" + std::to_string(t.square_size) + ")";
}

std::string toRepr(const CharucoTarget& t) {
  return "CharucoTarget(squares_x=" + std::to_string(t.squares_x) + ", squares_y=" + std::to_string(t.squares_y) +
         ", square_length=" + std::to_string(t.square_length) + ", marker_length=" +
         std::to_string(t.marker_length) + ", aruco_dict_id=" + std::to_string(t.aruco_dict_id) + ")";
}

std::string toRepr(const ArucoTarget& t) {
  return "ArucoTarget(board_size=(" + std::to_string(t.board_size.width) + ", " +
         std::to_string(t.board_size.height) + "), marker_length=" + std::to_string(t.marker_length) +
         ", marker_separation=" + std::to_string(t.marker_separation) +
         ", aruco_dict_id=" + std::to_string(t.aruco_dict_id) + ")";
}

cv::Mat boardPoints(const CalibrationTarget& target) {
  return std::visit(Overloaded{[](const ChessboardTarget& t) { return t.objectPoints(); },
                               [](const CharucoTarget& t) {
                                 const std::vector<cv::Point3f> corners = t.buildBoard().getChessboardCorners();
                                 return cv::Mat(corners, true).reshape(1, static_cast<int>(corners.size()));
                               },
                               [](const ArucoTarget& t) {
                                 const cv::aruco::GridBoard board = t.buildBoard();
                                 std::vector<cv::Point3f> points;
                                 for (const auto& marker : board.getObjPoints()) {
                                   points.insert(points.end(), marker.begin(), marker.end());
                                 }
                                 if (points.empty()) return cv::Mat(0, 3, CV_32F);
                                 return cv::Mat(points, true).reshape(1, static_cast<int>(points.size()));
                               }},
                    target);
}

}  // namespace vesk
