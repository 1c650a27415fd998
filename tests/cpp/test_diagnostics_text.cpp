#include <gtest/gtest.h>

#include "quality/method_comparison.hpp"
#include "geometry/rotation_variety.hpp"

using namespace vesk::quality;

namespace {

HandEyeMethodResults withRz(const std::vector<double>& rz) {
  const char* names[] = {"ANDREFF", "DANIILIDIS", "HORAUD", "PARK", "TSAI"};
  HandEyeMethodResults results;
  for (std::size_t i = 0; i < 5; ++i) {
    if (i < rz.size()) {
      results[names[i]] = HandEyeMethodResult{names[i], cv::Mat::eye(4, 4, CV_64F), {0.01 * i, 0, 0, 0, 0, rz[i]}, cv::Mat()};
    } else {
      results[names[i]] = std::nullopt;
    }
  }
  return results;
}

std::string verdict(const std::string& text) { return text.substr(text.find(">>>")); }

}  // namespace

TEST(MethodComparison, OneOutlierIsNamed) {
  const std::string text = formatMethodComparison(withRz({10.0, 10.2, 10.1, 9.9, 14.0}), 1.5);
  EXPECT_NE(text.find("  rz total spread:      4.10 deg (median rz = 10.10 deg)\n"), std::string::npos);
  EXPECT_NE(text.find("  translation spread:   40.00 mm\n"), std::string::npos);
  EXPECT_EQ(verdict(text),
            ">>> 4-of-5 methods cluster near 10.10 deg; outlier(s): TSAI.\n"
            "      Trust the consensus value (10.10 deg). The\n"
            "      outlier likely hit a local optimum specific to its formulation.\n");
}

TEST(MethodComparison, TwoOutliersOrTwoFarApartMeanNoConsensus) {
  const std::string noConsensus =
      ">>> No consensus  -  methods split into clusters with >1.50 deg spread.\n"
      "      Solution is under-determined; capture more axis-diverse poses.\n";
  EXPECT_EQ(verdict(formatMethodComparison(withRz({10.0, 14.0}), 1.5)), noConsensus);
  EXPECT_EQ(verdict(formatMethodComparison(withRz({10.0, 10.1, 10.2, 14.0, 6.0}), 1.5)), noConsensus);
  EXPECT_EQ(verdict(formatMethodComparison(withRz({10.0, 13.0}), 1.5)).substr(0, 49),
            ">>> All 2 methods agree to within ~1.50 deg of me");
}

TEST(MethodComparison, OneValidMethodHasNoAnalysisAndFailedRowsShow) {
  const std::string text = formatMethodComparison(withRz({10.0}), 1.5);
  EXPECT_EQ(text.find(">>>"), std::string::npos);
  EXPECT_NE(text.find("  TSAI        (failed)\n"), std::string::npos);
  EXPECT_NE(text.find("  ANDREFF       0.0000  0.0000  0.0000   0.00   0.00  10.00\n"), std::string::npos);
}

TEST(RotationVarietyText, VerdictBoundaries) {
  RotationVarietyStats s;
  s.num_motions = 3;
  s.singular_values = {1.0, 0.5, 0.15};
  for (auto [ratio, line] : std::vector<std::pair<double, std::string>>{
           {0.1499, "POOR rotation variety"}, {0.15, "Marginal rotation variety  -  possible bias in one axis."},
           {0.3499, "Marginal"}, {0.35, "Rotation variety is healthy."}, {std::nan(""), "healthy"}}) {
    s.axis_span_ratio = ratio;
    EXPECT_NE(formatRotationVariety(s).find(line), std::string::npos) << ratio;
  }
}
