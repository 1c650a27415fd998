#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "io/npz.hpp"

namespace vesk::io {

// "00", "01", ..., "99", "100", ... (minimum width two)
std::string captureIndexText(long long index);

// image_II.png (+ image_II_annotated.png) and calibration_data.npz with the
// (N, 4, 4) float64 entry "robot_T_tcp_list".
void saveHandEyeDataset(const std::filesystem::path& dataDir, const std::vector<cv::Mat>& imageList,
                        const std::vector<cv::Mat>& robotTTcpList, const std::vector<cv::Mat>& annotatedImages);

// (images, robot_T_tcp_list); images missing on disk are skipped, with a WARNING naming them,
// and every pose is returned.
std::pair<std::vector<cv::Mat>, std::vector<cv::Mat>> loadHandEyeDataset(const std::filesystem::path& dataDir,
                                                                           const std::string& imageFormat);

// The images that exist, each with its own robot pose and capture index.
struct HandEyePairs {
  std::vector<cv::Mat> images;
  std::vector<cv::Mat> robot_T_tcp_list;
  std::vector<int> capture_indices;
};
HandEyePairs loadHandEyePairs(const std::filesystem::path& dataDir, const std::string& imageFormat);

// Image files read as 8-bit BGR, in the order given (any names: folders of captures that are no
// dataset folder). A file that cannot be read is an error naming it.
std::vector<cv::Mat> loadImages(const std::vector<std::filesystem::path>& files);

// A capture plan: the flange poses to record, in calibration_data.npz's format ("robot_T_tcp_list",
// (N, 4, 4) float64) under its own file name, "pose_plan.npz" inside a folder (or a path without
// extension). Every pose must be a finite rigid transform. Returns the path written.
std::filesystem::path savePosePlan(const std::filesystem::path& outputPath, const std::vector<cv::Mat>& robotTTcpList);
// The poses of a plan file, or of "pose_plan.npz" in a folder.
std::vector<cv::Mat> loadPosePlan(const std::filesystem::path& inputPath);

}  // namespace vesk::io

namespace vesk::detail {
// Each pose checked 4x4 ("io: expected 4x4 pose matrices"), as float64 row-major.
std::vector<double> flattenPoses(const std::vector<cv::Mat>& poses);
// The (N, 4, 4) "robot_T_tcp_list" entry as N 4x4 float64 matrices.
std::vector<cv::Mat> posesFromArchive(const NpyArray& archive);
// cv::imwrite, with "io: cv::imwrite failed for <path>" on failure.
void writeImage(const std::filesystem::path& file, const cv::Mat& image);
}  // namespace vesk::detail
