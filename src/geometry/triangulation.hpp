#pragma once

#include <map>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "targets/targets.hpp"

namespace vesk::geometry {

// Corner id -> (camera index, pixel) for every camera that saw it; only ids seen twice or more.
using CornerObservations = std::map<int, std::vector<std::pair<int, cv::Point2d>>>;

// (N x 2 CV_64F corners, N x 1 CV_32S ids), both empty below 4 corners.
std::pair<cv::Mat, cv::Mat> detectCharucoCorners(const cv::Mat& image, const CharucoTarget& target);

CornerObservations gatherObservations(const std::vector<cv::Mat>& cornersPerCamera,
                                      const std::vector<cv::Mat>& idsPerCamera);

// P_i = K_i [R|t] of camera_T_reference: projects reference-frame points into camera i.
std::vector<cv::Mat> buildProjectionMatrices(const std::vector<cv::Mat>& intrinsicMatrices,
                                             const std::vector<cv::Mat>& referenceTCameraList);

// DLT over all views of each corner, on undistorted pixels: (N x 3 CV_64F points, N x 1 CV_32S ids).
std::pair<cv::Mat, cv::Mat> triangulateAll(const CornerObservations& observations,
                                           const std::vector<cv::Mat>& projectionMatrices,
                                           const std::vector<cv::Mat>& intrinsicMatrices,
                                           const std::vector<cv::Mat>& distortionCoefficients);

// Smallest singular value of the centred cloud (0 when coplanar); NaN below 3 points.
double coplanarityThickness(const cv::Mat& points);

// Per camera: RMS pixel distance between observed corners and reprojected points, and their count.
std::pair<std::vector<double>, std::vector<int>> perCameraReprojectionRms(
    const cv::Mat& points, const cv::Mat& ids, const CornerObservations& observations,
    const std::vector<cv::Mat>& intrinsicMatrices, const std::vector<cv::Mat>& distortionCoefficients,
    const std::vector<cv::Mat>& referenceTCameraList);

// Distances to the right and lower grid neighbours of every triangulated ChArUco corner.
std::vector<double> boardNeighborDistances(const cv::Mat& points, const cv::Mat& ids, int squaresX);

}  // namespace vesk::geometry
