#pragma once

#include <opencv2/core.hpp>

namespace vesk::geometry {

// Sum over points of |observed_k - projected_k|^2 in px^2. Both hold N two-dimensional points
// (N x 1 two-channel or N x 2, float or double).
double squaredResidualSum(cv::InputArray observed, cv::InputArray projected);

// The system's per-view reprojection error: sqrt(sum |p_k - q_k|^2) / N, the norm of all
// residuals over the point count (for N equal residuals r it is r / sqrt(N), not an RMS).
double reprojectionError(cv::InputArray observed, cv::InputArray projected);

// Projects the board points through the view's pose and returns reprojectionError against
// the observed image points.
double viewReprojectionError(const cv::Mat& objectPoints, const cv::Mat& imagePoints, const cv::Mat& rvec,
                             const cv::Mat& tvec, const cv::Mat& cameraMatrix, const cv::Mat& distCoeffs);

}  // namespace vesk::geometry
