#pragma once

#include <filesystem>
#include <vector>

#include <opencv2/core.hpp>

namespace vesk::io {

// D/cam_CC/image_II.png (+ image_II_annotated.png), one frame per camera.
void saveMultiCameraCapture(const std::filesystem::path& dataDir, const std::vector<cv::Mat>& frames,
                            int captureIndex, const std::vector<cv::Mat>& annotatedImages);

// One past the largest capture index found in any camera folder; 0 when none.
int nextMultiCameraCaptureIndex(const std::filesystem::path& dataDir, int numCameras);

// The same calibration_data.npz written into every camera folder.
void saveMultiCameraRobotPoses(const std::filesystem::path& dataDir, const std::vector<cv::Mat>& robotTTcpList,
                               int numCameras);

// Poses of the first sorted cam_* folder holding an archive; empty when none does.
std::vector<cv::Mat> loadMultiCameraRobotPoses(const std::filesystem::path& dataDir);

// Per camera, its frames in byte order of their file names.
std::vector<std::vector<cv::Mat>> loadMultiCameraDataset(const std::filesystem::path& dataDir, int numCameras);

}  // namespace vesk::io
