#include "io/multi_camera_dataset.hpp"

#include <algorithm>
#include <climits>
#include <map>
#include <set>
#include <stdexcept>
#include <string>

#include <opencv2/imgcodecs.hpp>

#include "core/logging.hpp"
#include "io/hand_eye_dataset.hpp"
#include "io/npz.hpp"

namespace vesk::io {

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> cameraFolders(const fs::path& dataDir, int count) {
  std::vector<fs::path> folders;
  for (int c = 0; c < count; ++c) folders.push_back(dataDir / ("cam_" + captureIndexText(c)));
  return folders;
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A frame file: "*.png" whose stem starts with "image_" and is not an annotated copy.
bool isFrameFile(const fs::path& file) {
  if (file.extension().string() != ".png") return false;
  const std::string stem = file.stem().string();
  if (stem.rfind("image_", 0) != 0) return false;
  return !(stem.size() > 9 && endsWith(stem, "_annotated"));
}

}  // namespace

void saveMultiCameraCapture(const fs::path& dataDir, const std::vector<cv::Mat>& frames, int captureIndex,
                            const std::vector<cv::Mat>& annotatedImages) {
  // A partial annotated list would silently lose views: refuse it before writing.
  if (!annotatedImages.empty() && annotatedImages.size() != frames.size()) {
    throw std::invalid_argument("io: annotated_images must be empty or hold one image per frame, got " +
                                std::to_string(annotatedImages.size()) + " for " + std::to_string(frames.size()) +
                                " frames");
  }
  const std::vector<fs::path> folders = cameraFolders(dataDir, static_cast<int>(frames.size()));
  for (const fs::path& folder : folders) fs::create_directories(folder);
  const std::string stem = "image_" + captureIndexText(captureIndex);
  for (std::size_t c = 0; c < folders.size(); ++c) {
    detail::writeImage(folders[c] / (stem + ".png"), frames[c]);
    if (!annotatedImages.empty()) detail::writeImage(folders[c] / (stem + "_annotated.png"), annotatedImages[c]);
  }
  logging::log(logging::SUCCESS, "Saved capture #" + std::to_string(captureIndex) + " (" +
                                     std::to_string(frames.size()) + " cameras)");
}

int nextMultiCameraCaptureIndex(const fs::path& dataDir, int numCameras) {
  const std::vector<fs::path> folders = cameraFolders(dataDir, numCameras);
  if (folders.empty()) return 0;
  int best = -1;
  for (const fs::path& folder : folders) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) continue;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      if (!isFrameFile(entry.path())) continue;
      const std::string stem = entry.path().stem().string();
      const std::string digits = stem.substr(stem.rfind('_') + 1);
      if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) continue;
      best = std::max(best, std::stoi(digits));
    }
  }
  if (best == INT_MAX) {
    throw std::out_of_range("io: capture index " + std::to_string(best) + " is the largest possible; no next index");
  }
  return best + 1;
}

void saveMultiCameraRobotPoses(const fs::path& dataDir, const std::vector<cv::Mat>& robotTTcpList, int numCameras) {
  const std::vector<double> values = detail::flattenPoses(robotTTcpList);
  for (const fs::path& folder : cameraFolders(dataDir, numCameras)) {
    fs::create_directories(folder);
    detail::saveNpz((folder / "calibration_data.npz").string(), "robot_T_tcp_list",
                    {static_cast<std::uint64_t>(robotTTcpList.size()), 4, 4}, values);
  }
}

namespace {

// The frame files of one camera folder, and their capture indices when every name has one.
struct FolderFrames {
  fs::path folder;
  std::vector<std::string> names;         // byte order
  std::map<int, std::string> byCapture;   // filled when every name ends in a capture index
  bool numbered = true;
};

FolderFrames listFrames(const fs::path& folder) {
  FolderFrames out;
  out.folder = folder;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    if (isFrameFile(entry.path())) out.names.push_back(entry.path().filename().string());
  }
  std::sort(out.names.begin(), out.names.end());
  for (const std::string& name : out.names) {
    const std::string stem = fs::path(name).stem().string();
    const std::string digits = stem.substr(stem.rfind('_') + 1);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) {
      out.numbered = false;
      continue;
    }
    const auto [it, fresh] = out.byCapture.emplace(std::stoi(digits), name);
    if (!fresh) {
      throw std::runtime_error("io: two frames of capture " + std::to_string(it->first) + " in " + folder.string() +
                               ": " + it->second + " and " + name);
    }
  }
  return out;
}

std::vector<cv::Mat> readFrames(const fs::path& folder, const std::vector<std::string>& names) {
  std::vector<cv::Mat> frames;
  frames.reserve(names.size());
  for (const std::string& name : names) {
    const fs::path file = folder / name;
    cv::Mat image = cv::imread(file.string(), cv::IMREAD_COLOR);
    if (image.empty()) throw std::runtime_error("io: cv::imread returned an empty image for " + file.string());
    frames.push_back(std::move(image));
  }
  logging::log(logging::SUCCESS, "Loaded " + std::to_string(frames.size()) + " frames from " + folder.string());
  return frames;
}

// The captures every folder holds, in increasing order; `missing` gets, per capture some folders
// lack, the folders that lack it.
std::vector<int> commonCaptures(const std::vector<FolderFrames>& folders,
                                std::map<int, std::vector<std::string>>* missing) {
  std::set<int> all;
  for (const FolderFrames& f : folders) {
    for (const auto& entry : f.byCapture) all.insert(entry.first);
  }
  std::vector<int> common;
  for (int capture : all) {
    bool everywhere = true;
    for (const FolderFrames& f : folders) {
      if (f.byCapture.count(capture) == 0) {
        everywhere = false;
        if (missing != nullptr) (*missing)[capture].push_back(f.folder.filename().string());
      }
    }
    if (everywhere) common.push_back(capture);
  }
  return common;
}

}  // namespace

std::vector<cv::Mat> loadMultiCameraRobotPoses(const fs::path& dataDir) {
  std::error_code ec;
  if (!fs::is_directory(dataDir, ec)) return {};
  std::vector<fs::path> folders;
  for (const fs::directory_entry& entry : fs::directory_iterator(dataDir)) {
    if (entry.is_directory(ec) && entry.path().filename().string().rfind("cam_", 0) == 0) {
      folders.push_back(entry.path());
    }
  }
  std::sort(folders.begin(), folders.end());
  for (const fs::path& folder : folders) {
    const fs::path archive = folder / "calibration_data.npz";
    if (!fs::is_regular_file(archive, ec)) continue;
    std::vector<cv::Mat> poses = detail::posesFromArchive(detail::loadNpz(archive.string(), "robot_T_tcp_list"));
    // Pose k belongs to capture k: keep the captures the dataset load keeps (those in every
    // folder), so that frame k of every list and pose k stay one capture.
    std::vector<FolderFrames> listed;
    for (const fs::path& f : folders) listed.push_back(listFrames(f));
    const bool numbered = std::all_of(listed.begin(), listed.end(), [](const FolderFrames& f) {
      return f.numbered && !f.names.empty();
    });
    if (!numbered) return poses;
    std::vector<cv::Mat> kept;
    for (int capture : commonCaptures(listed, nullptr)) {
      if (capture < static_cast<int>(poses.size())) kept.push_back(poses[static_cast<std::size_t>(capture)]);
    }
    return kept;
  }
  return {};
}

std::vector<std::vector<cv::Mat>> loadMultiCameraDataset(const fs::path& dataDir, int numCameras) {
  if (numCameras < 1) return {};
  std::vector<FolderFrames> listed;
  std::string failure;
  for (const fs::path& folder : cameraFolders(dataDir, numCameras)) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
      failure = "io: missing camera folder: " + folder.string();
      break;
    }
    listed.push_back(listFrames(folder));
    if (listed.back().names.empty()) {
      failure = "io: no image_*.png files in " + folder.string();
      listed.pop_back();
      break;
    }
  }
  std::vector<std::vector<cv::Mat>> result;
  const bool numbered = failure.empty() && std::all_of(listed.begin(), listed.end(), [](const FolderFrames& f) {
    return f.numbered;
  });
  if (!numbered) {
    // Names without a capture index: frames pair by position, as they sort.
    for (const FolderFrames& f : listed) {
      std::vector<cv::Mat> frames = readFrames(f.folder, f.names);
      if (!result.empty() && frames.size() != result.back().size()) {
        throw std::runtime_error("io: all cameras must have the same frame count; captures must be synchronized");
      }
      result.push_back(std::move(frames));
    }
    if (!failure.empty()) throw std::runtime_error(failure);
    return result;
  }

  // Frames pair by capture index, in increasing order (image_100 after image_99), and a capture
  // some folder lacks is left out for every camera.
  std::map<int, std::vector<std::string>> missing;
  const std::vector<int> common = commonCaptures(listed, &missing);
  if (!missing.empty()) {
    std::string text;
    for (const auto& [capture, lacking] : missing) {
      text += (text.empty() ? "" : "; ") + std::to_string(capture) + " (missing from ";
      for (std::size_t i = 0; i < lacking.size(); ++i) text += (i ? ", " : "") + lacking[i];
      text += ")";
    }
    logging::log(logging::WARNING, "io: captures left out for every camera because some camera folders lack them: " +
                                       text);
  }
  if (common.empty()) throw std::runtime_error("io: no capture is present in every camera folder of " + dataDir.string());
  for (const FolderFrames& f : listed) {
    std::vector<std::string> names;
    for (int capture : common) names.push_back(f.byCapture.at(capture));
    result.push_back(readFrames(f.folder, names));
  }
  return result;
}

}  // namespace vesk::io
