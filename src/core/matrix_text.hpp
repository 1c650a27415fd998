#pragma once

#include <iomanip>
#include <sstream>
#include <string>

#include <opencv2/core.hpp>

namespace vesk::detail {

// OpenCV's default matrix text, exactly what streaming the matrix prints.
inline std::string matrixText(const cv::Mat& m) {
  std::ostringstream s;
  s << cv::Formatter::get(cv::Formatter::FMT_DEFAULT)->format(m);
  return s.str();
}

// `value` with `decimals` digits after the point, as std::fixed prints it.
inline std::string fixedText(double value, int decimals) {
  std::ostringstream s;
  s << std::fixed << std::setprecision(decimals) << value;
  return s.str();
}

}  // namespace vesk::detail
