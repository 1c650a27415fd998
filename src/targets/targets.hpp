#pragma once

#include <map>
#include <string>
#include <utility>
#include <variant>

#include <opencv2/core.hpp>
#include <opencv2/objdetect/aruco_board.hpp>
#include <opencv2/objdetect/aruco_dictionary.hpp>
#include <opencv2/objdetect/charuco_detector.hpp>

namespace vesk {

// Process-wide table of predefined ArUco dictionary names, built on first use.
const std::map<std::string, int>& arucoDictionaryIdMap();
// Exact, case-sensitive lookup; unknown names throw std::invalid_argument.
int arucoDictionaryIdFromName(const std::string& name);

struct ChessboardTarget {
  cv::Size size;             // inner corners: width = per row, height = per column
  double square_size = 0.0;  // metres

  // (w*h) x 3 CV_32F, row i*w + j = (j*square, i*square, 0).
  cv::Mat objectPoints() const;
};

struct CharucoTarget {
  int squares_x = 0;
  int squares_y = 0;
  double square_length = 0.0;
  double marker_length = 0.0;
  int aruco_dict_id = 0;

  CharucoTarget() = default;
  CharucoTarget(int squaresX, int squaresY, double squareLength, double markerLength, int arucoDictId);
  CharucoTarget(int squaresX, int squaresY, double squareLength, double markerLength, const std::string& arucoDictName);

  cv::aruco::Dictionary buildDictionary() const;
  cv::aruco::CharucoBoard buildBoard() const;
  cv::aruco::CharucoDetector buildDetector() const;
  // Annotated copy of the image and the number of ChArUco corners found.
  std::pair<cv::Mat, int> detectAndAnnotate(const cv::Mat& image) const;
};

struct ArucoTarget {
  cv::Size board_size;  // markers along x (width) and y (height)
  double marker_length = 0.0;
  double marker_separation = 0.0;
  int aruco_dict_id = 0;

  ArucoTarget() = default;
  ArucoTarget(cv::Size boardSize, double markerLength, double markerSeparation, int arucoDictId);
  ArucoTarget(cv::Size boardSize, double markerLength, double markerSeparation, const std::string& arucoDictName);

  cv::aruco::Dictionary buildDictionary() const;
  cv::aruco::GridBoard buildBoard() const;
};

using CalibrationTarget = std::variant<ChessboardTarget, CharucoTarget, ArucoTarget>;

// Branching on a target's kind: std::visit(Overloaded{one callable per kind}, target).
template <typename... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <typename... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

// For the operations only a ChArUco board supports: the board, or nullptr for the other kinds.
inline const CharucoTarget* charucoOf(const CalibrationTarget& target) { return std::get_if<CharucoTarget>(&target); }

// Every point of the board a detection can return, N x 3 CV_32F in board coordinates: the inner
// corners (chessboard, ChArUco) or each marker's four corners (grid).
cv::Mat boardPoints(const CalibrationTarget& target);

// Detector parameters shared by every ChArUco and ArUco detector of the system.
cv::aruco::RefineParameters defaultRefineParameters();

std::string toRepr(const ChessboardTarget& t);
std::string toRepr(const CharucoTarget& t);
std::string toRepr(const ArucoTarget& t);

}  // namespace vesk
