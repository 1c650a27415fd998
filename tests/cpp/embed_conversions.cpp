// Boundary conversions exercised inside an embedded interpreter: the cases the
// core never produces from Python input (half floats, ROIs, n-d matrices).
#include "bindings/casters.hpp"

#include <gtest/gtest.h>
#include <pybind11/embed.h>

namespace py = pybind11;

namespace {

py::object toPython(const cv::Mat& m) { return py::cast(m); }

TEST(MatToNumpy, UnsupportedDepthRaises) {
  cv::Mat half(2, 2, CV_16F, cv::Scalar::all(0));
  try {
    toPython(half);
    FAIL() << "expected an exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "vesk: unsupported cv::Mat depth for numpy conversion");
  }
}

TEST(MatToNumpy, EmptyIsZeroByZeroFloat64) {
  py::array a = toPython(cv::Mat()).cast<py::array>();
  EXPECT_EQ(a.ndim(), 2);
  EXPECT_EQ(a.shape(0), 0);
  EXPECT_EQ(a.shape(1), 0);
  EXPECT_TRUE(a.dtype().is(py::dtype::of<double>()));
}

TEST(MatToNumpy, NonContinuousRoiIsCopiedRowByRow) {
  cv::Mat big(5, 6, CV_16SC2);
  for (int r = 0; r < big.rows; ++r)
    for (int c = 0; c < big.cols; ++c) big.at<cv::Vec2s>(r, c) = cv::Vec2s(short(r * 10 + c), short(-r));
  cv::Mat roi = big(cv::Rect(1, 2, 3, 2));
  ASSERT_FALSE(roi.isContinuous());
  auto a = toPython(roi).cast<py::array_t<int16_t>>();
  ASSERT_EQ(a.ndim(), 3);
  EXPECT_EQ(a.shape(0), 2);
  EXPECT_EQ(a.shape(1), 3);
  EXPECT_EQ(a.shape(2), 2);
  EXPECT_EQ(a.at(0, 0, 0), 21);
  EXPECT_EQ(a.at(1, 2, 0), 33);
  EXPECT_EQ(a.at(1, 2, 1), -3);
}

TEST(MatToNumpy, NDimensionalKeepsAllDimensions) {
  const int sz[] = {2, 3, 4};
  cv::Mat nd(3, sz, CV_32F, cv::Scalar::all(1.5f));
  auto a = toPython(nd).cast<py::array_t<float>>();
  ASSERT_EQ(a.ndim(), 3);
  EXPECT_EQ(a.shape(2), 4);
  EXPECT_FLOAT_EQ(a.at(1, 2, 3), 1.5f);
}

TEST(NumpyToMat, CopiesInsteadOfAliasing) {
  py::array_t<double> arr({2, 2});
  arr.mutable_at(0, 0) = 1.0;
  cv::Mat m = py::cast<cv::Mat>(arr);
  arr.mutable_at(0, 0) = 2.0;
  EXPECT_DOUBLE_EQ(m.at<double>(0, 0), 1.0);
  EXPECT_NE(static_cast<const void*>(m.data), arr.data());
}

}  // namespace

// numpy is imported only when tests run: listing them (at build time) needs no site-packages.
class NumpyEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { py::module_::import("numpy"); }
};

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  py::scoped_interpreter interpreter;
  ::testing::AddGlobalTestEnvironment(new NumpyEnvironment);
  return RUN_ALL_TESTS();
}
