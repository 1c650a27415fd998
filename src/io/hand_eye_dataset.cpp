#include "io/hand_eye_dataset.hpp"

#include <stdexcept>

#include <opencv2/imgcodecs.hpp>

#include "core/logging.hpp"
#include "core/transforms.hpp"
#include "io/npz.hpp"

namespace vesk::io {

namespace fs = std::filesystem;

std::string captureIndexText(long long index) {
  const std::string digits = std::to_string(index);
  return digits.size() < 2 ? "0" + digits : digits;
}

}  // namespace vesk::io

namespace vesk::detail {

namespace fs = std::filesystem;

std::vector<double> flattenPoses(const std::vector<cv::Mat>& poses) {
  std::vector<double> values;
  values.reserve(16 * poses.size());
  for (const cv::Mat& pose : poses) {
    if (!detail::isPoseShape(pose)) {
      throw std::invalid_argument("io: expected 4x4 pose matrices");
    }
    cv::Mat p;
    pose.convertTo(p, CV_64F);
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) values.push_back(p.at<double>(r, c));
  }
  return values;
}

std::vector<cv::Mat> posesFromArchive(const NpyArray& archive) {
  if (archive.shape.size() != 3 || archive.shape[1] != 4 || archive.shape[2] != 4) {
    throw std::runtime_error("io: robot_T_tcp_list npz entry is not shaped (N, 4, 4)");
  }
  const std::size_t n = static_cast<std::size_t>(archive.shape[0]);
  std::vector<cv::Mat> poses;
  poses.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    cv::Mat T(4, 4, CV_64F);
    std::copy(archive.data.begin() + static_cast<std::ptrdiff_t>(16 * i),
              archive.data.begin() + static_cast<std::ptrdiff_t>(16 * i + 16), T.ptr<double>());
    poses.push_back(T);
  }
  return poses;
}

void writeImage(const fs::path& file, const cv::Mat& image) {
  if (!cv::imwrite(file.string(), image)) {
    throw std::runtime_error("io: cv::imwrite failed for " + file.string());
  }
}

}  // namespace vesk::detail

namespace vesk::io {

namespace {

// The folder keeps 8-bit images of 1, 3 or 4 channels as PNG and reads them back as 8-bit BGR;
// anything else would come back changed (float as black, 16-bit cut to 8).
void requireStorableImages(const std::vector<cv::Mat>& images, const std::string& name) {
  for (std::size_t i = 0; i < images.size(); ++i) {
    const cv::Mat& m = images[i];
    const int channels = m.channels();
    if (m.depth() == CV_8U && (channels == 1 || channels == 3 || channels == 4) && m.dims == 2) continue;
    throw std::invalid_argument(
        "io: " + name + "[" + std::to_string(i) + "] is " + cv::typeToString(m.type()) +
        "; a hand-eye dataset folder stores 8-bit images with 1, 3 or 4 channels (BGR): convert it first, for "
        "example float images in [0, 1] with (image * 255).round().clip(0, 255).astype(numpy.uint8)");
  }
}

}  // namespace

void saveHandEyeDataset(const fs::path& dataDir, const std::vector<cv::Mat>& imageList,
                        const std::vector<cv::Mat>& robotTTcpList, const std::vector<cv::Mat>& annotatedImages) {
  // Every check before anything is written: images and poses that do not pair up, or an image the
  // folder cannot give back as it was, would come back wrong on loading.
  // An empty image list writes the pose archive alone, as before.
  if (!imageList.empty() && imageList.size() != robotTTcpList.size()) {
    throw std::invalid_argument("io: image_list and robot_T_tcp_list must have the same length, got " +
                                std::to_string(imageList.size()) + " images and " +
                                std::to_string(robotTTcpList.size()) + " poses");
  }
  requireStorableImages(imageList, "image_list");
  requireStorableImages(annotatedImages, "annotated_images");
  fs::create_directories(dataDir);

  const std::vector<double> values = detail::flattenPoses(robotTTcpList);
  // A partial annotated list would silently lose views: refuse it before writing.
  if (!annotatedImages.empty() && annotatedImages.size() != imageList.size()) {
    throw std::invalid_argument("io: annotated_images must be empty or hold one image per image_list entry, got " +
                                std::to_string(annotatedImages.size()) + " for " +
                                std::to_string(imageList.size()) + " images");
  }

  for (std::size_t i = 0; i < imageList.size(); ++i) {
    const std::string stem = "image_" + captureIndexText(i);
    detail::writeImage(dataDir / (stem + ".png"), imageList[i]);
    if (!annotatedImages.empty()) detail::writeImage(dataDir / (stem + "_annotated.png"), annotatedImages[i]);
  }
  // The archive last: a save that fails at an image leaves the earlier archive
  // (or, in a new folder, none, so the half-written folder does not load).
  detail::saveNpz((dataDir / "calibration_data.npz").string(), "robot_T_tcp_list",
                  {static_cast<std::uint64_t>(robotTTcpList.size()), 4, 4}, values);
  logging::log(logging::SUCCESS, "Saved " + std::to_string(imageList.size()) + " images to " + dataDir.string());
}

namespace {

struct LoadedFolder {
  std::vector<cv::Mat> images;
  std::vector<cv::Mat> poses;
  std::vector<int> indices;  // capture index of each image
  std::vector<std::string> missing;
};

LoadedFolder loadFolder(const fs::path& dataDir, const std::string& imageFormat) {
  LoadedFolder out;
  out.poses = detail::posesFromArchive(detail::loadNpz((dataDir / "calibration_data.npz").string(), "robot_T_tcp_list"));
  for (std::size_t i = 0; i < out.poses.size(); ++i) {
    const std::string name = "image_" + captureIndexText(static_cast<long long>(i)) + "." + imageFormat;
    const fs::path file = dataDir / name;
    if (!fs::exists(file)) {
      out.missing.push_back(name);
      continue;
    }
    cv::Mat image = cv::imread(file.string(), cv::IMREAD_COLOR);
    if (image.empty()) throw std::runtime_error("io: cv::imread returned an empty image for " + file.string());
    out.images.push_back(std::move(image));
    out.indices.push_back(static_cast<int>(i));
  }
  return out;
}

std::string joined(const std::vector<std::string>& names) {
  std::string s;
  for (std::size_t i = 0; i < names.size(); ++i) s += (i ? ", " : "") + names[i];
  return s;
}

}  // namespace

std::pair<std::vector<cv::Mat>, std::vector<cv::Mat>> loadHandEyeDataset(const fs::path& dataDir,
                                                                           const std::string& imageFormat) {
  LoadedFolder folder = loadFolder(dataDir, imageFormat);
  if (!folder.missing.empty()) {
    logging::log(logging::WARNING,
                 "io: " + std::to_string(folder.missing.size()) + " of " + std::to_string(folder.poses.size()) +
                     " image files missing from " + dataDir.string() + ": " + joined(folder.missing) +
                     ". The images after a missing one no longer pair with their robot poses by position; "
                     "io.load_hand_eye_pairs returns the poses of the images that exist.");
  }
  logging::log(logging::SUCCESS, "Loaded " + std::to_string(folder.images.size()) + " images from " + dataDir.string());
  return {std::move(folder.images), std::move(folder.poses)};
}

std::vector<cv::Mat> loadImages(const std::vector<fs::path>& files) {
  std::vector<cv::Mat> images;
  images.reserve(files.size());
  for (const fs::path& file : files) {
    cv::Mat image = cv::imread(file.string(), cv::IMREAD_COLOR);
    if (image.empty()) throw std::runtime_error("io: cv::imread returned an empty image for " + file.string());
    images.push_back(std::move(image));
  }
  return images;
}

HandEyePairs loadHandEyePairs(const fs::path& dataDir, const std::string& imageFormat) {
  LoadedFolder folder = loadFolder(dataDir, imageFormat);
  HandEyePairs out;
  for (int i : folder.indices) out.robot_T_tcp_list.push_back(folder.poses[static_cast<std::size_t>(i)]);
  out.images = std::move(folder.images);
  out.capture_indices = std::move(folder.indices);
  if (!folder.missing.empty()) {
    logging::log(logging::WARNING, "io: " + std::to_string(folder.missing.size()) + " of " +
                                       std::to_string(folder.poses.size()) + " image files missing from " +
                                       dataDir.string() + ": " + joined(folder.missing) +
                                       "; their robot poses are left out.");
  }
  logging::log(logging::SUCCESS, "Loaded " + std::to_string(out.images.size()) + " image and pose pairs from " +
                                     dataDir.string());
  return out;
}

namespace {

constexpr const char* kPlanFile = "pose_plan.npz";

fs::path planPath(const fs::path& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec) || !path.has_extension()) return path / kPlanFile;
  return path;
}

}  // namespace

fs::path savePosePlan(const fs::path& outputPath, const std::vector<cv::Mat>& robotTTcpList) {
  if (robotTTcpList.empty()) throw std::invalid_argument("io: a pose plan needs at least one pose");
  const std::vector<double> values = detail::flattenPoses(robotTTcpList);
  vesk::detail::requireFinite(robotTTcpList, "io", "robot_T_tcp_list");
  vesk::detail::requireRigid(robotTTcpList, "io", "robot_T_tcp_list");
  const fs::path target = planPath(outputPath);
  if (target.has_parent_path()) fs::create_directories(target.parent_path());
  detail::saveNpz(target.string(), "robot_T_tcp_list", {static_cast<std::uint64_t>(robotTTcpList.size()), 4, 4},
                  values);
  logging::log(logging::SUCCESS, "Saved a plan of " + std::to_string(robotTTcpList.size()) + " poses to " +
                                     target.string());
  return target;
}

std::vector<cv::Mat> loadPosePlan(const fs::path& inputPath) {
  return detail::posesFromArchive(detail::loadNpz(planPath(inputPath).string(), "robot_T_tcp_list"));
}

}  // namespace vesk::io
