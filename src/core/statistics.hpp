#pragma once
// Medians, the one place they are computed.

#include <algorithm>
#include <cstddef>
#include <limits>
#include <vector>

namespace vesk {

// The middle value; for an even count the mean of the two middle ones. NaN for none.
inline double median(std::vector<double> v) {
  if (v.empty()) return std::numeric_limits<double>::quiet_NaN();
  const std::size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid), v.end());
  const double upper = v[mid];
  if (v.size() % 2 == 1) return upper;
  return 0.5 * (upper + *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid)));
}

// The upper of the two middle values for an even count, the middle one for an odd count: the robust
// scales of the joint solves and the rig's outlier limits were set with it. NaN for none.
inline double upperMedian(std::vector<double> v) {
  if (v.empty()) return std::numeric_limits<double>::quiet_NaN();
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

}  // namespace vesk
