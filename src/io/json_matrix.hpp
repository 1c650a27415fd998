#pragma once

#include <cstddef>
#include <utility>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

namespace vesk::detail {

// A matrix as float64 rows ([] when empty); channels become columns.
inline nlohmann::json matrixToJson(const cv::Mat& m) {
  nlohmann::json rows = nlohmann::json::array();
  if (m.empty()) return rows;
  cv::Mat d;
  m.reshape(1, m.rows).convertTo(d, CV_64F);
  for (int r = 0; r < d.rows; ++r) {
    nlohmann::json row = nlohmann::json::array();
    for (int c = 0; c < d.cols; ++c) row.push_back(d.at<double>(r, c));
    rows.push_back(std::move(row));
  }
  return rows;
}

// Every element as float64 in row-major order ([] when empty).
inline nlohmann::json flatToJson(const cv::Mat& m) {
  nlohmann::json values = nlohmann::json::array();
  if (m.empty()) return values;
  cv::Mat d;
  m.convertTo(d, CV_64F);
  if (!d.isContinuous()) d = d.clone();
  const double* p = d.ptr<double>();
  for (std::size_t i = 0, n = d.total() * static_cast<std::size_t>(d.channels()); i < n; ++i) values.push_back(p[i]);
  return values;
}

}  // namespace vesk::detail
