#pragma once

#include <filesystem>
#include <vector>

#include <opencv2/core.hpp>

namespace vesk::io {

// D/cam_CC/image_II.png (+ image_II_annotated.png), one frame per camera; II must be 0 or more.
void saveMultiCameraCapture(const std::filesystem::path& dataDir, const std::vector<cv::Mat>& frames,
                            int captureIndex, const std::vector<cv::Mat>& annotatedImages);

// One past the largest capture index found in any camera folder; 0 when none. Names without a
// capture index are not counted (WARNING).
int nextMultiCameraCaptureIndex(const std::filesystem::path& dataDir, int numCameras);

// The same calibration_data.npz written into every camera folder.
void saveMultiCameraRobotPoses(const std::filesystem::path& dataDir, const std::vector<cv::Mat>& robotTTcpList,
                               int numCameras);

// Poses of the first sorted cam_* folder holding an archive; empty when none does.
std::vector<cv::Mat> loadMultiCameraRobotPoses(const std::filesystem::path& dataDir);

// Per camera, the frames of the captures every folder holds, in increasing capture index; files
// without a capture index are left out with a WARNING naming them.
std::vector<std::vector<cv::Mat>> loadMultiCameraDataset(const std::filesystem::path& dataDir, int numCameras);

}  // namespace vesk::io
