#pragma once

#include <filesystem>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "targets/targets.hpp"

namespace vesk::io {

// A result file that could not be written (its message is the io error's). A calibrator that meets
// it has already stored its result in last_result().
struct ResultWriteError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct MultiCameraCalibrationRecord {
  int reference_index = 0;
  int num_cameras = 0;
  std::vector<cv::Mat> intrinsic_matrices;
  std::vector<cv::Mat> distortion_coefficients;
  std::vector<cv::Mat> reference_T_camera_list;  // empty matrix where unknown
  std::vector<double> intrinsic_reprojection_errors;  // NaN where unknown
  std::vector<double> pair_reprojection_errors;       // NaN where unknown
  // What a joint refinement adds, written under keys of their own when `refined`, and not read back:
  // a 6x6 covariance of each reference_T_camera (rotation in rad, then translation in m; empty where
  // unknown), the joint RMS (px), the camera each one was reached through (-1: none), and the
  // (camera, frame) views left out.
  bool refined = false;
  std::vector<cv::Mat> reference_T_camera_covariances;
  double joint_rms = 0.0;
  std::vector<int> reached_through;
  std::vector<std::pair<int, int>> rejected_views;
};

// What a hand-eye joint solve adds to its result file, written under "joint_solve" and not read back.
struct HandEyeJointRecord {
  std::string closed_form_method;
  cv::Mat closed_form;             // the closed form's transform
  cv::Mat closed_form_covariance;  // 6x6, empty where unknown
  double pixel_px = 0.0;
  double robot_translation_m = 0.0;
  double robot_rotation_deg = 0.0;
  std::vector<bool> noise_estimated;  // pixel, robot translation, robot rotation
  cv::Mat intrinsic_matrix;
  cv::Mat distortion_coefficients;
  bool intrinsics_free = false;
  cv::Mat error_budget;  // 6 x 3: rotation x, y, z, translation x, y, z by corners, robot poses, intrinsics
  double rms_px = 0.0;
  int frames = 0;
  int corners = 0;
  bool uncertainty_raised = false;
  std::string weak_reason;
};

// What a four-axis solve adds to its result file, written under "four_axis" and not read back.
struct FourAxisRecord {
  std::vector<double> axis;       // in the transform's parent frame (tcp; robot base for a fixed camera)
  std::vector<double> base_axis;  // in the robot base
  std::string constraint;         // "known_axis_offset_m" or "known_board_height_m"
  double value_m = 0.0;
  double tolerance_m = 0.0;
  double axis_offset_m = 0.0;
  double board_height_m = 0.0;
  double off_axis_deg = 0.0;
};

// Noise levels of a solve, 1-sigma per axis: a corner's pixel error, and the robot pose's error as a
// motion of the flange. NaN where unknown.
struct StoredNoise {
  double pixel_px = std::numeric_limits<double>::quiet_NaN();
  double robot_translation_m = std::numeric_limits<double>::quiet_NaN();
  double robot_rotation_deg = std::numeric_limits<double>::quiet_NaN();
};

// What a re-check of a hand-eye result needs beyond its transforms: the camera and board it was
// solved with, how well its fixed pose is known and the noise it met. Each is written under a key
// of its own when present and read back; files of earlier versions have none of them.
struct RecheckFields {
  std::optional<cv::Mat> intrinsic_matrix;         // 3x3
  std::optional<cv::Mat> distortion_coefficients;  // one row
  std::optional<cv::Size> image_size;
  std::optional<CalibrationTarget> board;
  // 6x6 covariance of the board's fixed pose (robot_T_target, or tcp_T_target), rotation in rad
  // about the parent frame's axes, then translation in m
  std::optional<cv::Mat> fixed_pose_covariance;
  std::optional<StoredNoise> noise;
  std::optional<std::string> vesk_version;
  std::optional<std::string> created_utc;  // ISO-8601, UTC: 2025-01-31T12:00:00Z
};

// This module's version, and the time now as created_utc holds it; a calibrator stamps its record
// with both.
std::string moduleVersion();
std::string utcTimestamp();

struct HandEyeResultRecord {
  int reference_index = 0;
  int num_cameras = 0;
  std::string method;
  int num_frames_used = -1;   // negative: unknown
  int num_frames_total = -1;  // negative: unknown
  std::vector<cv::Mat> tcp_T_camera_list;  // empty matrix where unknown
  // 6x6 covariance of tcp_T_camera (rotation in rad, then translation in m); written under its own
  // key when given, and read back (empty when absent).
  cv::Mat tcp_T_camera_covariance;
  std::optional<HandEyeJointRecord> joint_solve;  // written, not read back
  std::optional<FourAxisRecord> four_axis;       // written, not read back
  std::optional<cv::Mat> robot_T_target;          // the board's fixed pose in the robot base
  RecheckFields recheck;
};

// The result of a camera fixed in the cell, stored as "eye_to_hand.json".
struct EyeToHandResultRecord {
  std::string method;
  int num_frames_used = -1;   // negative: unknown
  int num_frames_total = -1;  // negative: unknown
  cv::Mat robot_T_camera;     // empty where unknown
  cv::Mat tcp_T_target;       // empty where unknown
  // 6x6 covariance of robot_T_camera (rotation in rad, then translation in m); written under its
  // own key when given, and read back (empty when absent).
  cv::Mat robot_T_camera_covariance;
  std::optional<HandEyeJointRecord> joint_solve;  // written, not read back
  std::optional<FourAxisRecord> four_axis;       // written, not read back
  RecheckFields recheck;
};

// A folder (existing, or a path without extension) gets the default file name
// inside it; the path actually written is returned.
std::filesystem::path saveMultiCameraCalibration(const std::filesystem::path& outputPath,
                                                 const MultiCameraCalibrationRecord& record);
MultiCameraCalibrationRecord loadMultiCameraCalibration(const std::filesystem::path& inputPath);

std::filesystem::path saveHandEyeResult(const std::filesystem::path& outputPath, const HandEyeResultRecord& record);
HandEyeResultRecord loadHandEyeResult(const std::filesystem::path& inputPath);

// Like the hand-eye file; a transform must be null or a finite 4x4 matrix. The loaders refuse a
// transform that is not rigid (a matrix of NaN, as a non-finite one is written, reads back as
// unknown) and a negative frame count, or more frames used than in total.
std::filesystem::path saveEyeToHandResult(const std::filesystem::path& outputPath, const EyeToHandResultRecord& record);
EyeToHandResultRecord loadEyeToHandResult(const std::filesystem::path& inputPath);

namespace detail {
// The documents' parsers, on text from anywhere: malformed input of any kind
// is an exception, never undefined behaviour.
MultiCameraCalibrationRecord parseMultiCameraCalibration(const std::string& text);
HandEyeResultRecord parseHandEyeResult(const std::string& text);
EyeToHandResultRecord parseEyeToHandResult(const std::string& text);
}  // namespace detail

}  // namespace vesk::io
