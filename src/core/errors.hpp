#pragma once

#include <exception>
#include <string>

#include <opencv2/core.hpp>

namespace vesk::detail {

// An exception's message for a user: OpenCV's own text names the source file of the build it came
// from, so its error and function stand in for it.
inline std::string errorText(const std::exception& e) {
  if (const auto* cv = dynamic_cast<const cv::Exception*>(&e)) return "OpenCV error in " + cv->func + ": " + cv->err;
  return e.what();
}

}  // namespace vesk::detail
