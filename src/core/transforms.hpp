#pragma once

#include <vector>

#include <opencv2/core.hpp>

namespace vesk::tf {

// [x, y, z, rx, ry, rz] with extrinsic x-y-z Euler angles in degrees (R = Rz*Ry*Rx)
// to a 4x4 CV_64F homogeneous matrix.
cv::Mat poseToTransformationMatrix(const std::vector<double>& pose);

// Inverse of poseToTransformationMatrix; any element type is accepted.
std::vector<double> transformationMatrixToPose(const cv::Mat& transformation);

// Mean translation and the SO(3) projection (SVD) of the summed rotation blocks.
cv::Mat averagePose(const std::vector<cv::Mat>& poses);

}  // namespace vesk::tf

namespace vesk::detail {
// [R t; 0 0 0 1] as 4x4 CV_64F from a 3x3 rotation and three translation values of any depth.
cv::Mat rigidTransform(const cv::Mat& R, const cv::Mat& t);

// No NaN or infinity in any element (integer matrices always pass).
bool allFinite(const cv::Mat& m);

// A finite 4x4 [R t; 0 0 0 1] whose R is orthonormal with determinant +1 (to 1e-6).
bool isRigidTransform(const cv::Mat& T);

// Rotation angle in radians and unit axis of a 3x3 rotation (axis zero for no rotation).
double rotationAngleAxis(const cv::Mat& R, cv::Vec3d& axis);
}  // namespace vesk::detail
