#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include <opencv2/calib3d.hpp>

#include "calibration/rig/rig_refinement.hpp"
#include "core/transforms.hpp"

namespace {

using vesk::calibration::refineRig;
using vesk::calibration::RigProblem;
using vesk::calibration::RigView;

cv::Mat pose(double rx, double ry, double rz, double tx, double ty, double tz) {
  cv::Mat R;
  cv::Rodrigues(cv::Vec3d(rx, ry, rz), R);
  return vesk::detail::rigidTransform(R, cv::Mat(cv::Vec3d(tx, ty, tz)));
}

double translationError(const cv::Mat& a, const cv::Mat& b) {
  return cv::norm(a(cv::Rect(3, 0, 1, 3)) - b(cv::Rect(3, 0, 1, 3)));
}

// Three cameras in a row, eight board poses in front of them, every corner projected exactly.
struct Rig {
  std::vector<cv::Mat> K, D, referenceTCamera, referenceTBoard;
  cv::Mat board;  // N x 3 CV_32F

  Rig() {
    for (int c = 0; c < 3; ++c) {
      K.push_back(cv::Mat(cv::Matx33d(800 + 20 * c, 0, 400 + 3 * c, 0, 802 + 20 * c, 300 - 2 * c, 0, 0, 1), true));
      D.push_back(cv::Mat(cv::Matx<double, 1, 5>(-0.1 + 0.02 * c, 0.05, 0.001, -0.0005, 0.0), true));
    }
    referenceTCamera = {cv::Mat::eye(4, 4, CV_64F), pose(0.01, -0.2, 0.02, 0.2, 0.01, 0.02),
                        pose(-0.02, -0.4, 0.01, 0.42, -0.01, 0.08)};
    board = cv::Mat(24, 3, CV_32F);
    for (int i = 0; i < 24; ++i) {
      board.at<float>(i, 0) = 0.04f * static_cast<float>(i % 6);
      board.at<float>(i, 1) = 0.04f * static_cast<float>(i / 6);
      board.at<float>(i, 2) = 0.0f;
    }
    for (int f = 0; f < 8; ++f) {
      const double a = 0.25 * std::sin(1.3 * f), b = 0.3 * std::cos(0.9 * f);
      referenceTBoard.push_back(pose(a, b, 0.1 * f - 0.3, 0.05 + 0.02 * (f % 3) - 0.1, -0.08 + 0.01 * f, 0.9 + 0.03 * f));
    }
  }

  RigView view(int c, int f, double shiftPx = 0.0) const {
    const cv::Mat T = vesk::detail::inverseRigid(referenceTCamera[static_cast<std::size_t>(c)]) *
                      referenceTBoard[static_cast<std::size_t>(f)];
    cv::Mat rvec, pixels;
    cv::Rodrigues(T(cv::Rect(0, 0, 3, 3)), rvec);
    cv::projectPoints(board, rvec, T(cv::Rect(3, 0, 1, 3)), K[static_cast<std::size_t>(c)],
                      D[static_cast<std::size_t>(c)], pixels);
    cv::Mat image;
    pixels.convertTo(image, CV_32FC2);
    image += cv::Scalar(shiftPx, 0.0);
    return RigView{c, f, board, image};
  }

  // A start as a pairwise solve would give it: intrinsics and transforms a little off.
  RigProblem problem() const {
    RigProblem p;
    p.reference_index = 0;
    for (int c = 0; c < 3; ++c) {
      cv::Mat k = K[static_cast<std::size_t>(c)].clone();
      k.at<double>(0, 0) *= 1.01;
      k.at<double>(1, 1) *= 0.995;
      k.at<double>(0, 2) += 2.0;
      p.intrinsic_matrices.push_back(k);
      p.distortion_coefficients.push_back(D[static_cast<std::size_t>(c)] * 0.9);
      p.reference_T_camera.push_back(c == 0 ? referenceTCamera[0].clone()
                                            : referenceTCamera[static_cast<std::size_t>(c)] *
                                                  pose(0.004, -0.003, 0.002, 0.002, -0.001, 0.003));
      for (int f = 0; f < 8; ++f) p.views.push_back(view(c, f));
    }
    p.intrinsics_free.assign(3, true);
    return p;
  }
};

TEST(RigRefinement, RecoversExactRigFromPerturbedStart) {
  const Rig rig;
  const auto r = refineRig(rig.problem());
  ASSERT_TRUE(r.ok) << r.failure;
  EXPECT_LT(r.rms, 1e-4);
  EXPECT_TRUE(r.rejected_views.empty());
  EXPECT_EQ(r.frames, 8);
  EXPECT_EQ(r.corners, 3 * 8 * 24);
  EXPECT_EQ(r.parameters, 3 * 9 + 2 * 6 + 8 * 6);
  for (std::size_t c = 1; c < 3; ++c) {
    EXPECT_LT(translationError(r.reference_T_camera[c], rig.referenceTCamera[c]), 1e-6);
    EXPECT_TRUE(r.uncertainty[c].known());
    EXPECT_NEAR(r.intrinsic_matrices[c].at<double>(0, 0), rig.K[c].at<double>(0, 0), 1e-3);
  }
  EXPECT_FALSE(r.uncertainty[0].known());
}

TEST(RigRefinement, HeldIntrinsicsStayWhereTheyStarted) {
  const Rig rig;
  RigProblem p = rig.problem();
  p.fixed_intrinsics = cv::CALIB_FIX_PRINCIPAL_POINT | cv::CALIB_FIX_K3;
  p.intrinsics_free[2] = false;
  const auto r = refineRig(p);
  ASSERT_TRUE(r.ok) << r.failure;
  for (std::size_t c = 0; c < 3; ++c) {
    EXPECT_EQ(r.intrinsic_matrices[c].at<double>(0, 2), p.intrinsic_matrices[c].at<double>(0, 2));
    EXPECT_EQ(r.distortion_coefficients[c].at<double>(4), p.distortion_coefficients[c].at<double>(4));
  }
  EXPECT_EQ(cv::norm(r.intrinsic_matrices[2], p.intrinsic_matrices[2], cv::NORM_INF), 0.0);
  EXPECT_EQ(r.parameters, 2 * 6 + 2 * 6 + 8 * 6);
}

TEST(RigRefinement, LeavesOutTheWrongViewOfAFrameAndOnlyIt) {
  const Rig rig;
  RigProblem p = rig.problem();
  // camera 2's view of frame 3 moved 5 px; its other two views are right
  p.views[2 * 8 + 3] = rig.view(2, 3, 5.0);
  const auto r = refineRig(p);
  ASSERT_TRUE(r.ok) << r.failure;
  ASSERT_EQ(r.rejected_views.size(), 1u);
  EXPECT_EQ(r.rejected_views[0], std::make_pair(2, 3));
  EXPECT_LT(r.rms, 1e-4);
  EXPECT_LT(translationError(r.reference_T_camera[2], rig.referenceTCamera[2]), 1e-6);
}

TEST(RigRefinement, CameraWithOneViewIsNotDeterminedAndSaysSo) {
  const Rig rig;
  RigProblem p = rig.problem();
  std::vector<RigView> views;
  for (const RigView& v : p.views) {
    if (v.camera != 2 || v.frame == 0) views.push_back(v);
  }
  p.views = views;
  const auto r = refineRig(p);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.failure.find("not determined"), std::string::npos) << r.failure;
}

}  // namespace
