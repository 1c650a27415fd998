#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

namespace vesk::io {

// "00", "01", ..., "99", "100", ...
std::string captureIndexText(std::size_t index);

// image_II.png (+ image_II_annotated.png) and calibration_data.npz with the
// (N, 4, 4) float64 entry "robot_T_tcp_list".
void saveHandEyeDataset(const std::filesystem::path& dataDir, const std::vector<cv::Mat>& imageList,
                        const std::vector<cv::Mat>& robotTTcpList, const std::vector<cv::Mat>& annotatedImages);

// (images, robot_T_tcp_list); images missing on disk are skipped.
std::pair<std::vector<cv::Mat>, std::vector<cv::Mat>> loadHandEyeDataset(const std::filesystem::path& dataDir,
                                                                           const std::string& imageFormat);

}  // namespace vesk::io
