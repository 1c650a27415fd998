#include "io/multi_camera_dataset.hpp"

#include <algorithm>
#include <climits>
#include <map>
#include <optional>
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

// The capture index a frame file's name ends in ("image_07" -> 7): digits after the last '_', at
// most INT_MAX. Anything else ("image_05 (1)", "image_-1", eleven digits) carries none.
std::optional<int> captureIndexOf(const fs::path& file) {
  const std::string stem = file.stem().string();
  std::string digits = stem.substr(stem.rfind('_') + 1);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
  if (digits.size() > 10) return std::nullopt;
  const long long value = std::stoll(digits);
  if (value > INT_MAX) return std::nullopt;
  return static_cast<int>(value);
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
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
  // "image_-1.png" would carry no capture index: the loader could not pair it.
  if (captureIndex < 0) {
    throw std::invalid_argument("io: capture_index must be 0 or more, got " + std::to_string(captureIndex));
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
  std::vector<std::string> unindexed;
  for (const fs::path& folder : folders) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) continue;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      if (!isFrameFile(entry.path())) continue;
      if (const std::optional<int> index = captureIndexOf(entry.path())) {
        best = std::max(best, *index);
      } else {
        unindexed.push_back((folder.filename() / entry.path().filename()).string());
      }
    }
  }
  // The loader leaves such files out, so no capture written later can collide with them.
  if (!unindexed.empty()) {
    std::sort(unindexed.begin(), unindexed.end());
    logging::log(logging::WARNING, "io: frame files without a capture index (image_<0 to 2147483647>.png), not "
                                   "counted: " + joined(unindexed));
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

// The frame files of one camera folder by capture index; names without one are set apart.
struct FolderFrames {
  fs::path folder;
  std::map<int, std::string> byCapture;
  std::vector<std::string> unindexed;  // byte order
};

FolderFrames listFrames(const fs::path& folder) {
  FolderFrames out;
  out.folder = folder;
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    if (isFrameFile(entry.path())) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::optional<int> index = captureIndexOf(name);
    if (!index) {
      out.unindexed.push_back(name);
      continue;
    }
    const auto [it, fresh] = out.byCapture.emplace(*index, name);
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
      return !f.byCapture.empty();
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
    if (listed.back().byCapture.empty() && listed.back().unindexed.empty()) {
      failure = "io: no image_*.png files in " + folder.string();
      listed.pop_back();
      break;
    }
  }
  if (!failure.empty()) {
    // the folders before the failing one load as they always did, so that the log shows how far it got
    for (const FolderFrames& f : listed) {
      std::vector<std::string> names;
      for (const auto& entry : f.byCapture) names.push_back(entry.second);
      readFrames(f.folder, names);
    }
    throw std::runtime_error(failure);
  }
  // A name without a capture index cannot be paired with the other cameras' frames: it is left out,
  // never paired by position.
  for (const FolderFrames& f : listed) {
    if (f.unindexed.empty()) continue;
    logging::log(logging::WARNING, "io: frame files without a capture index (image_<0 to 2147483647>.png) left out "
                                   "of " + f.folder.string() + ": " + joined(f.unindexed));
    if (f.byCapture.empty()) {
      throw std::runtime_error("io: no frame file in " + f.folder.string() +
                               " carries a capture index (image_<index>.png); rename the files");
    }
  }
  std::vector<std::vector<cv::Mat>> result;
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
