#pragma once
// One joint least-squares solve over a whole camera rig: every camera's intrinsics, each camera's
// pose in the reference camera's frame and one board pose per frame, fitted to every detected
// corner at once.

#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "core/transforms.hpp"

namespace vesk::calibration {

// One camera's view of one frame: board points (N x 3) and their detected pixels (N x 1, 2 channels).
struct RigView {
  int camera = 0;
  int frame = 0;
  cv::Mat object_points;
  cv::Mat image_points;
};

struct RigProblem {
  int reference_index = 0;
  // per camera; a camera whose reference_T_camera is empty takes no part
  std::vector<cv::Mat> intrinsic_matrices;
  std::vector<cv::Mat> distortion_coefficients;
  std::vector<cv::Mat> reference_T_camera;
  std::vector<bool> intrinsics_free;
  // cv::CALIB_FIX_* bits: the intrinsic parameters held at their start values
  int fixed_intrinsics = 0;
  std::vector<RigView> views;
};

struct RigRefinement {
  bool ok = false;
  std::string failure;  // why not ok
  std::vector<cv::Mat> intrinsic_matrices;
  std::vector<cv::Mat> distortion_coefficients;
  std::vector<cv::Mat> reference_T_camera;
  std::vector<TransformUncertainty> uncertainty;  // of reference_T_camera; unknown for the reference
  double rms = 0.0;                               // px, over every corner kept
  std::vector<double> rms_per_camera;             // NaN for a camera without corners
  std::vector<int> corners_per_camera;
  // views the outlier pass left out, as (camera, frame), with their RMS (px) against the rig
  std::vector<std::pair<int, int>> rejected_views;
  std::vector<double> rejected_rms;
  int frames = 0;
  int corners = 0;
  int parameters = 0;
  int iterations = 0;
};

// Dense Levenberg-Marquardt on the normal equations with a Huber loss on each corner's pixel
// error, then one pass that leaves out views far off the rig and solves again. The covariance is
// the inverse normal matrix scaled by the residual variance.
RigRefinement refineRig(const RigProblem& problem);

}  // namespace vesk::calibration
