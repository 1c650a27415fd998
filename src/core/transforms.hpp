#pragma once

#include <limits>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

// Frames and transforms, as every part of the system uses them.
//
// a_T_b is a 4x4 CV_64F [R t; 0 0 0 1] that maps coordinates in frame b into frame a:
// p_a = a_T_b * p_b. Transforms chain by matching inner names, a_T_c = a_T_b * b_T_c, and
// inv(a_T_b) = b_T_a. The frames:
// - robot: the robot base; world_T_target names the same frame world;
// - tcp: the flange;
// - camera: OpenCV's, x right, y down, z along the optical axis;
// - target: the board's own coordinates, z = 0 on its surface, origin at a chessboard's first
//   inner corner or at the outer top-left corner of a ChArUco or grid board;
// - reference: the rig's reference camera.
// Lengths are in metres, the target's unit. Pixel coordinates are OpenCV's: the centre of the
// top-left pixel is (0, 0). In C++ names the same frames read robotTTcp, tcpTCamera,
// cameraTTarget, worldTTarget and referenceTCamera.

namespace vesk {

// 1-sigma of a transform a_T_b: rotation as the small rotation about the axes of frame a (deg),
// translation per component (m); covariance 6x6, rotation (rad) first. NaN when not computed.
struct TransformUncertainty {
  std::vector<double> translation_std_m = std::vector<double>(3, std::numeric_limits<double>::quiet_NaN());
  std::vector<double> rotation_std_deg = std::vector<double>(3, std::numeric_limits<double>::quiet_NaN());
  cv::Mat covariance = cv::Mat(6, 6, CV_64F, cv::Scalar(std::numeric_limits<double>::quiet_NaN()));

  bool known() const;
};

// Its 1-sigma from a 6x6 covariance (rotation in rad first, then translation in m).
TransformUncertainty uncertaintyOf(const cv::Mat& covariance);

}  // namespace vesk

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

// inv(T) of a rigid 4x4 transform of any depth, [R^T -R^T t; 0 0 0 1] as CV_64F; and of each of a list.
cv::Mat inverseRigid(const cv::Mat& T);
std::vector<cv::Mat> inverseRigid(const std::vector<cv::Mat>& list);

// Fixed-size rigid transforms, for loops over many poses.
using Pose = cv::Matx44d;
inline cv::Matx33d rotationOf(const Pose& p) { return p.get_minor<3, 3>(0, 0); }
inline cv::Vec3d translationOf(const Pose& p) { return {p(0, 3), p(1, 3), p(2, 3)}; }
Pose makePose(const cv::Matx33d& R, const cv::Vec3d& t);
// A 4x4 single-channel matrix of any depth as a Pose; std::invalid_argument otherwise.
Pose toPose(const cv::Mat& m);
// The unit quaternion (x, y, z, w) of a rotation, with w >= 0.
cv::Vec4d quaternionXyzw(const cv::Matx33d& R);
Pose inversePose(const Pose& p);
// The rotation nearest to M (Frobenius): U V^T of its SVD, the last singular direction turned
// where that is a reflection. M's singular values, largest first, go to `singularValues`.
cv::Matx33d nearestRotation(const cv::Matx33d& M, cv::Vec3d* singularValues = nullptr);
// A rotation's angle (rad, 0 to pi) from its trace.
double rotationAngle(const cv::Matx33d& R);
// A rotation's axis times its angle (rad), and back.
cv::Vec3d rotationVector(const cv::Matx33d& R);
cv::Matx33d rotationMatrix(const cv::Vec3d& w);

// No NaN or infinity in any element (integer matrices always pass).
bool allFinite(const cv::Mat& m);

// Throws std::invalid_argument(component + ": " + name + " holds a non-finite value") unless allFinite;
// for a list the name carries the index ("robot_T_tcp_list[3]"). NaN handed to OpenCV's solvers comes
// back as identity, NaN or a different result on each call, so it is refused before anything is solved.
void requireFinite(const cv::Mat& m, const std::string& component, const std::string& name);
void requireFinite(const std::vector<cv::Mat>& list, const std::string& component, const std::string& name);

// A 4x4 single-channel two-dimensional matrix: the shape of a pose.
bool isPoseShape(const cv::Mat& m);

// A finite 4x4 matrix whose rotation block is orthonormal with determinant +1 (to 1e-6).
bool isRigidTransform(const cv::Mat& T);

// What keeps a caller's 4x4 matrix from being a rigid transform, or "" when nothing does: a bottom
// row other than 0 0 0 1, or a rotation block with max |R^T R - I| above kPoseOrthonormality or a
// negative determinant. Pose files printed with six decimals are orthonormal to about 1e-6; a
// block scaled by 1.2 is off by 0.44. Non-finite values are not judged here.
constexpr double kPoseOrthonormality = 1e-3;
std::string rigidTransformProblem(const cv::Mat& T);
// Throws std::invalid_argument(component + ": " + name + "[i] is not a rigid transform: " + problem).
void requireRigid(const std::vector<cv::Mat>& list, const std::string& component, const std::string& name);

// A caller's list of rigid transforms as Poses, converted once where it enters: every entry must be a
// 4x4 single-channel matrix (name[i] "must be a 4x4 matrix"), then finite (requireFinite), then rigid
// (requireRigid); std::invalid_argument otherwise.
std::vector<Pose> toPoses(const std::vector<cv::Mat>& list, const std::string& component, const std::string& name);

// What keeps K from being a camera matrix for images of this size, or "" when nothing does: focal
// lengths below 5 % of the larger image side (a field of view beyond 170 degrees), a principal point
// outside the image, or a bottom row and lower entries other than OpenCV's [0 fy cy; 0 0 1].
std::string cameraMatrixProblem(const cv::Mat& K, cv::Size imageSize);

// Throws std::invalid_argument naming kName or dName unless K is a finite 3x3 matrix and D is empty
// or a finite vector of 4, 5, 8, 12 or 14 coefficients: the shapes OpenCV's projections accept.
void requireIntrinsicShapes(const cv::Mat& K, const cv::Mat& D, const std::string& component,
                            const std::string& kName = "intrinsic_matrix",
                            const std::string& dName = "distortion_coefficients");

// Two views of one sequence of motions, a_i a_j^T against b_i b_j^T (a flange and the camera it
// carries; two cameras watching one board): their rotation angles agree whatever fixed transform
// links the two frames. The mean absolute difference in degrees over the pairs i < j at most
// `window` apart; infinity without a pair.
double motionAngleMismatchDeg(const std::vector<cv::Matx33d>& a, const std::vector<cv::Matx33d>& b,
                              std::size_t window);

// Rotation angle in radians and unit axis of a 3x3 rotation (axis zero for no rotation).
double rotationAngleAxis(const cv::Mat& R, cv::Vec3d& axis);
}  // namespace vesk::detail
