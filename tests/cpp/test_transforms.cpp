#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "core/transforms.hpp"

namespace {

using vesk::tf::averagePose;
using vesk::tf::poseToTransformationMatrix;
using vesk::tf::transformationMatrixToPose;

cv::Mat rotZ(double deg, double tx = 0, double ty = 0, double tz = 0) {
  return poseToTransformationMatrix({tx, ty, tz, 0, 0, deg});
}

TEST(AveragePose, SlightlyNonOrthonormalSingleIsReorthonormalised) {
  // as a pose file printed with few decimals gives it
  cv::Mat T = rotZ(30, 1, 2, 3);
  T.at<double>(0, 0) += 4e-4;
  cv::Mat avg = averagePose({T});
  cv::Mat R = avg(cv::Rect(0, 0, 3, 3));
  EXPECT_LT(cv::norm(R * R.t(), cv::Mat::eye(3, 3, CV_64F)), 1e-12);
  EXPECT_NEAR(cv::determinant(R), 1.0, 1e-12);
  EXPECT_DOUBLE_EQ(avg.at<double>(0, 3), 1.0);
  EXPECT_DOUBLE_EQ(avg.at<double>(2, 3), 3.0);
}

TEST(AveragePose, RefusesWhatIsNotARigidTransform) {
  cv::Mat scaled = rotZ(30, 1, 2, 3);
  scaled.at<double>(0, 0) *= 1.1;
  cv::Mat mirror = cv::Mat::eye(4, 4, CV_64F);
  mirror.at<double>(2, 2) = -1.0;
  cv::Mat bottom = rotZ(10, 0.5, 0, 0);
  bottom.at<double>(3, 0) = 99.0;
  for (const cv::Mat& T : {scaled, mirror, bottom}) EXPECT_THROW(averagePose({rotZ(0), T}), std::invalid_argument);
}

TEST(AveragePose, AcceptsFloat) {
  cv::Mat T = rotZ(10, 0.5, 0, 0);
  cv::Mat Tf;
  T.convertTo(Tf, CV_32F);
  cv::Mat avg = averagePose({Tf});
  EXPECT_EQ(avg.type(), CV_64F);
  EXPECT_DOUBLE_EQ(avg.at<double>(3, 0), 0.0);
  EXPECT_NEAR(avg.at<double>(0, 3), 0.5, 1e-7);
}

TEST(AveragePose, RejectsNon4x4Elements) {
  EXPECT_THROW(averagePose({rotZ(0), cv::Mat::eye(3, 3, CV_64F)}), std::invalid_argument);
  EXPECT_THROW(averagePose({cv::Mat()}), std::invalid_argument);
  EXPECT_THROW(averagePose({cv::Mat(4, 4, CV_64FC3, cv::Scalar::all(0))}), std::invalid_argument);
}

TEST(TransformationMatrixToPose, DegenerateR20BeyondRange) {
  // r20 slightly outside [-1, 1] from numerical noise at gimbal lock: gimbal branches, no NaN.
  cv::Mat T = poseToTransformationMatrix({0, 0, 0, 0, -90, 0});
  T.at<double>(2, 0) = 1.0 + 1e-12;
  auto p = transformationMatrixToPose(T);
  EXPECT_DOUBLE_EQ(p[4], -90.0);
  EXPECT_DOUBLE_EQ(p[3], 0.0);
  T = poseToTransformationMatrix({0, 0, 0, 0, 90, 0});
  T.at<double>(2, 0) = -1.0 - 1e-12;
  p = transformationMatrixToPose(T);
  EXPECT_DOUBLE_EQ(p[4], 90.0);
  EXPECT_DOUBLE_EQ(p[3], 0.0);
  for (double v : p) EXPECT_FALSE(std::isnan(v));
}

TEST(TransformationMatrixToPose, AcceptsAnyDepthThatHoldsATransform) {
  cv::Mat T = rotZ(90, 1, 2, 3);
  cv::Mat Ti;
  T.convertTo(Ti, CV_32S);  // a quarter turn survives in integers
  auto p = transformationMatrixToPose(Ti);
  EXPECT_DOUBLE_EQ(p[0], 1.0);
  EXPECT_DOUBLE_EQ(p[2], 3.0);
  EXPECT_DOUBLE_EQ(p[5], 90.0);
  cv::Mat T45;
  rotZ(45, 1, 2, 3).convertTo(T45, CV_32S);  // rounds to a block that is no rotation
  EXPECT_THROW(transformationMatrixToPose(T45), std::invalid_argument);
}

}  // namespace

namespace {

TEST(InverseRigid, UndoesTheTransformForAnyDepth) {
  const cv::Mat T = poseToTransformationMatrix({0.4, -0.1, 0.25, 15.0, -30.0, 100.0});
  for (int depth : {CV_64F, CV_32F}) {
    cv::Mat t;
    T.convertTo(t, depth);
    const cv::Mat inv = vesk::detail::inverseRigid(t);
    ASSERT_EQ(inv.type(), CV_64F);
    cv::Mat back;
    t.convertTo(back, CV_64F);
    EXPECT_LT(cv::norm(inv * back - cv::Mat::eye(4, 4, CV_64F), cv::NORM_INF), depth == CV_64F ? 1e-15 : 1e-6);
    EXPECT_EQ(inv.at<double>(3, 3), 1.0);
    EXPECT_EQ(inv.at<double>(3, 0), 0.0);
  }
}

}  // namespace
