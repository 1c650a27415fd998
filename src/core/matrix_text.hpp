#pragma once

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

}  // namespace vesk::detail
