#include <fstream>
#include <limits>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "quality/benchmark.hpp"

using namespace vesk::quality;

namespace {
BenchmarkResult result(double rpe, double held, double rt, cv::Mat dist) {
  BenchmarkResult r;
  r.backend_name = "OpenCV";
  r.reprojection_error = rpe;
  r.held_out_reprojection_error = held;
  r.hand_eye_roundtrip_error = rt;
  r.camera_matrix = cv::Mat::eye(3, 3, CV_32F);
  r.dist_coeffs = dist;
  r.timestamp = utcTimestamp();
  r.image_count = 12;
  return r;
}
}  // namespace

TEST(BenchmarkText, TableRows) {
  const std::string table = CalibrationBenchmark::formatResults(
      {result(0.312, 0.4071, -1, cv::Mat()), result(0.5, std::numeric_limits<double>::infinity(), 1.234, cv::Mat())});
  EXPECT_NE(table.find("\nOpenCV                        0.31  0.41     -\n"), std::string::npos);
  EXPECT_NE(table.find("\nOpenCV                        0.50   inf  1.23\n"), std::string::npos);
}

TEST(BenchmarkText, NamesArePaddedByCharactersNotBytes) {
  BenchmarkResult r = result(0.312, 0.4071, -1, cv::Mat());
  r.backend_name = "Gr\xC3\xB6\xC3\x9F""e";  // five characters, seven bytes
  const std::string table = CalibrationBenchmark::formatResults({r});
  EXPECT_NE(table.find("\nGr\xC3\xB6\xC3\x9F""e" + std::string(25, ' ') + "0.31  0.41     -\n"), std::string::npos);
}

TEST(BenchmarkText, JsonRoundingNullsAndFlatDistortion) {
  const std::string path = testing::TempDir() + "bench_text.json";
  CalibrationBenchmark::saveJson({result(0.1234565, std::numeric_limits<double>::infinity(), 2.0000004,
                                         cv::Mat::ones(5, 1, CV_64F)),
                                  result(-0.1234565, 1, -1, cv::Mat::ones(1, 5, CV_32F))},
                                 path);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  const nlohmann::json doc = nlohmann::json::parse(text.str());
  const auto& a = doc["results"][0];
  EXPECT_EQ(a["reprojection_error"].get<double>(), 0.123457);
  EXPECT_TRUE(a["held_out_reprojection_error"].is_null());
  EXPECT_EQ(a["hand_eye_roundtrip_error"].get<double>(), 2.0);
  EXPECT_EQ(a["dist_coeffs"].size(), 5u);
  EXPECT_EQ(a["camera_matrix"][1][1].get<double>(), 1.0);
  const auto& b = doc["results"][1];
  EXPECT_EQ(b["reprojection_error"].get<double>(), -0.123457);
  EXPECT_TRUE(b["hand_eye_roundtrip_error"].is_null());
  EXPECT_EQ(b["dist_coeffs"].size(), 5u);
  const std::string ts = doc["run_timestamp"];
  EXPECT_EQ(ts.size(), 32u);
  EXPECT_EQ(ts.substr(26), "+00:00");
}
