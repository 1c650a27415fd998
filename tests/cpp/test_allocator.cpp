#include <gtest/gtest.h>

#include <cstdint>

#include "core/allocator.hpp"

namespace {

using vesk::detail::largeBufferMat;

TEST(LargeBufferAllocator, LargeBuffersAreHugePageAligned) {
  cv::Mat m = largeBufferMat();
  m.create(480, 640, CV_8UC3);  // 0.9 MiB: below the threshold
  EXPECT_EQ(m.u->currAllocator, cv::Mat::getStdAllocator());
  cv::Mat big = largeBufferMat();
  big.create(2048, 1024, CV_32FC1);  // 8 MiB
  EXPECT_EQ(big.u->currAllocator, vesk::detail::largeBufferAllocator());
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(big.data) % (2u << 20), 0u);
  big.setTo(cv::Scalar::all(1.5));
  EXPECT_EQ(cv::sum(big)[0], 1.5 * 2048 * 1024);
  EXPECT_EQ(big.step[0], 1024 * sizeof(float));
}

TEST(LargeBufferAllocator, SharedBuffersOutliveTheirFirstOwner) {
  cv::Mat view;
  {
    cv::Mat big = largeBufferMat();
    big.create(3000, 3000, CV_8UC1);
    big.setTo(7);
    view = big(cv::Rect(10, 10, 5, 5));
  }
  EXPECT_EQ(view.at<uchar>(4, 4), 7);
  cv::Mat copy = largeBufferMat();
  view.copyTo(copy);  // small again: the standard allocator
  EXPECT_EQ(copy.at<uchar>(0, 0), 7);
}

TEST(LargeBufferAllocator, MultiDimensionalSteps) {
  const int sizes[] = {64, 128, 256};
  cv::Mat nd = largeBufferMat();
  nd.create(3, sizes, CV_64F);  // 16 MiB
  EXPECT_EQ(nd.step[2], sizeof(double));
  EXPECT_EQ(nd.step[1], 256 * sizeof(double));
  EXPECT_EQ(nd.step[0], 128 * 256 * sizeof(double));
  nd.at<double>(63, 127, 255) = 3.0;
  EXPECT_EQ(nd.at<double>(63, 127, 255), 3.0);
}

}  // namespace
