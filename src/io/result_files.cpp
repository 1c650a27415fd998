#include "io/result_files.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <tuple>

#include <nlohmann/json.hpp>

#include "core/constants.hpp"
#include "core/logging.hpp"
#include "core/transforms.hpp"
#include "io/json_matrix.hpp"
#include "io/atomic_file.hpp"

#ifndef VESK_VERSION
#define VESK_VERSION "unknown"
#endif

namespace vesk::io {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kMultiCameraFile = "multi_camera_calibration.json";
constexpr const char* kHandEyeFile = "hand_eye.json";
constexpr const char* kEyeToHandFile = "eye_to_hand.json";

// ---- writing ---------------------------------------------------------------

json transformListToJson(const std::vector<cv::Mat>& list) {
  json out = json::array();
  for (const cv::Mat& m : list) out.push_back(m.empty() ? json(nullptr) : vesk::detail::matrixToJson(m));
  return out;
}

json errorListToJson(const std::vector<double>& list) {
  json out = json::array();
  for (double v : list) out.push_back(std::isnan(v) ? json(nullptr) : json(v));
  return out;
}

// 1-sigma per component from a 6x6 covariance (rotation in rad, then translation in m), with the
// covariance itself; non-finite entries are written as null.
json uncertaintyToJson(const cv::Mat& covariance) {
  cv::Mat c;
  covariance.convertTo(c, CV_64F);
  const auto number = [](double v) { return std::isfinite(v) ? json(v) : json(nullptr); };
  json rotation = json::array(), translation = json::array(), rows = json::array();
  for (int i = 0; i < 3; ++i) {
    rotation.push_back(number(toDegrees(std::sqrt(c.at<double>(i, i)))));
    translation.push_back(number(std::sqrt(c.at<double>(i + 3, i + 3))));
  }
  for (int r = 0; r < c.rows; ++r) {
    json row = json::array();
    for (int k = 0; k < c.cols; ++k) row.push_back(number(c.at<double>(r, k)));
    rows.push_back(std::move(row));
  }
  return json{{"rotation_std_deg", rotation}, {"translation_std_m", translation}, {"covariance", rows}};
}

json fourAxisToJson(const FourAxisRecord& f) {
  return json{{"axis", f.axis}, {"base_axis", f.base_axis}, {"constraint", f.constraint}, {"value_m", f.value_m},
              {"tolerance_m", f.tolerance_m}, {"axis_offset_m", f.axis_offset_m},
              {"board_height_m", f.board_height_m}, {"off_axis_deg", f.off_axis_deg}};
}

json jointToJson(const HandEyeJointRecord& j) {
  const auto number = [](double v) { return std::isfinite(v) ? json(v) : json(nullptr); };
  json budget = json::array();
  for (int r = 0; r < j.error_budget.rows; ++r) {
    json row = json::array();
    for (int c = 0; c < j.error_budget.cols; ++c) row.push_back(number(j.error_budget.at<double>(r, c)));
    budget.push_back(std::move(row));
  }
  json estimated = json::array();
  for (bool b : j.noise_estimated) estimated.push_back(b);
  json doc = json::object();
  doc["closed_form_method"] = j.closed_form_method;
  doc["closed_form_transform"] = j.closed_form.empty() ? json(nullptr) : vesk::detail::matrixToJson(j.closed_form);
  doc["closed_form_uncertainty"] =
      j.closed_form_covariance.empty() ? json(nullptr) : uncertaintyToJson(j.closed_form_covariance);
  doc["noise"] = {{"pixel_px", number(j.pixel_px)},
                  {"robot_translation_m", number(j.robot_translation_m)},
                  {"robot_rotation_deg", number(j.robot_rotation_deg)},
                  {"estimated", estimated}};
  doc["intrinsic_matrix"] = vesk::detail::matrixToJson(j.intrinsic_matrix);
  doc["distortion_coefficients"] = vesk::detail::matrixToJson(j.distortion_coefficients);
  doc["intrinsics_free"] = j.intrinsics_free;
  doc["error_budget"] = {{"rows", {"rotation_x", "rotation_y", "rotation_z", "translation_x", "translation_y",
                                   "translation_z"}},
                         {"columns", {"corners", "robot_poses", "intrinsics"}},
                         {"shares", budget}};
  doc["rms_px"] = number(j.rms_px);
  doc["frames"] = j.frames;
  doc["corners"] = j.corners;
  doc["uncertainty_raised"] = j.uncertainty_raised;
  doc["weak_reason"] = j.weak_reason.empty() ? json(nullptr) : json(j.weak_reason);
  return doc;
}

std::string dictionaryName(int id) {
  for (const auto& [name, value] : arucoDictionaryIdMap()) {
    if (value == id) return name;
  }
  return std::to_string(id);
}

// Enough of the board to build its target again.
json boardToJson(const CalibrationTarget& target) {
  return std::visit(
      Overloaded{[](const ChessboardTarget& c) {
                   return json{{"kind", "chessboard"}, {"columns", c.size.width}, {"rows", c.size.height},
                               {"square_length_m", c.square_size}};
                 },
                 [](const CharucoTarget& c) {
                   return json{{"kind", "charuco"}, {"squares_x", c.squares_x}, {"squares_y", c.squares_y},
                               {"square_length_m", c.square_length}, {"marker_length_m", c.marker_length},
                               {"dictionary", dictionaryName(c.aruco_dict_id)}, {"dictionary_id", c.aruco_dict_id}};
                 },
                 [](const ArucoTarget& a) {
                   return json{{"kind", "aruco_grid"}, {"markers_x", a.board_size.width},
                               {"markers_y", a.board_size.height}, {"marker_length_m", a.marker_length},
                               {"marker_separation_m", a.marker_separation},
                               {"dictionary", dictionaryName(a.aruco_dict_id)}, {"dictionary_id", a.aruco_dict_id}};
                 }},
      target);
}

// The re-check's keys, each only when the record holds it.
void recheckToJson(json& doc, const RecheckFields& r, const std::string& fixedName) {
  const auto number = [](double v) { return std::isfinite(v) ? json(v) : json(nullptr); };
  if (r.intrinsic_matrix) doc["intrinsic_matrix"] = vesk::detail::matrixToJson(*r.intrinsic_matrix);
  if (r.distortion_coefficients) doc["distortion_coefficients"] = vesk::detail::flatToJson(*r.distortion_coefficients);
  if (r.image_size) doc["image_size"] = {{"width", r.image_size->width}, {"height", r.image_size->height}};
  if (r.board) doc["board"] = boardToJson(*r.board);
  if (r.fixed_pose_covariance) doc[fixedName + "_uncertainty"] = uncertaintyToJson(*r.fixed_pose_covariance);
  if (r.noise) {
    doc["noise"] = {{"pixel_px", number(r.noise->pixel_px)},
                    {"robot_translation_m", number(r.noise->robot_translation_m)},
                    {"robot_rotation_deg", number(r.noise->robot_rotation_deg)}};
  }
  if (r.vesk_version) doc["vesk_version"] = *r.vesk_version;
  if (r.created_utc) doc["created_utc"] = *r.created_utc;
}

void requireRecheckStorable(const RecheckFields& r) {
  const auto shape = [](const std::optional<cv::Mat>& m, int rows, int cols, const char* key) {
    if (m && (m->dims != 2 || m->rows != rows || m->cols != cols || m->channels() != 1)) {
      throw std::invalid_argument(std::string("io: '") + key + "' must be a " + std::to_string(rows) + "x" +
                                  std::to_string(cols) + " matrix");
    }
  };
  shape(r.intrinsic_matrix, 3, 3, "intrinsic_matrix");
  shape(r.fixed_pose_covariance, 6, 6, "fixed pose covariance");
  if (r.image_size && (r.image_size->width <= 0 || r.image_size->height <= 0)) {
    throw std::invalid_argument("io: 'image_size' must be positive");
  }
}

bool hasExtension(const fs::path& path) {
  const std::string name = path.filename().string();
  const std::size_t dot = name.rfind('.');
  return dot != std::string::npos && dot + 1 < name.size();
}

fs::path resolveOutput(const fs::path& outputPath, const char* defaultName) {
  std::error_code ec;
  if (fs::is_directory(outputPath, ec)) return outputPath / defaultName;
  if (hasExtension(outputPath)) return outputPath;
  return outputPath / defaultName;
}

fs::path writeDocument(const fs::path& outputPath, const char* defaultName, const json& doc) {
  const fs::path target = resolveOutput(outputPath, defaultName);
  // A bare file name has no parent to create: it is written in the working folder.
  if (!target.parent_path().empty()) fs::create_directories(target.parent_path());
  const std::string text = doc.dump(2, ' ', false);
  writeFileAtomically(target, text, "io: ");
  return target;
}

// Any failure to write, as the type a calibrator's caller can tell from a failed calibration.
fs::path writeResult(const fs::path& outputPath, const char* defaultName, const json& doc) {
  try {
    return writeDocument(outputPath, defaultName, doc);
  } catch (const std::exception& e) {
    throw ResultWriteError(e.what());
  }
}

// ---- reading ---------------------------------------------------------------

std::string readDocument(const fs::path& inputPath, const char* defaultName) {
  std::error_code ec;
  const fs::path file = fs::is_directory(inputPath, ec) ? inputPath / defaultName : inputPath;
  // a directory or a FIFO in the file's place must not read as garbage or block
  if (!fs::is_regular_file(file, ec)) throw std::runtime_error("io: cannot open " + file.string() + " for reading");
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("io: cannot open " + file.string() + " for reading");
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const json& requireArray(const json& value, const std::string& what) {
  if (!value.is_array()) throw std::runtime_error("io: " + what + " must be a JSON array, but is " + value.type_name());
  return value;
}

// Integer fields must hold an exact 32-bit value: a float or a huge number would
// otherwise be truncated (or, for floats out of range, converted undefinedly).
int intField(const json& doc, const std::string& key) {
  const json& v = doc.at(key);
  if (v.is_number_unsigned()) {
    if (v.get<std::uint64_t>() <= static_cast<std::uint64_t>(std::numeric_limits<int>::max())) return v.get<int>();
  } else if (v.is_number_integer()) {
    const std::int64_t i = v.get<std::int64_t>();
    if (i >= std::numeric_limits<int>::min() && i <= std::numeric_limits<int>::max()) return static_cast<int>(i);
  } else if (v.is_number_float()) {
    const double d = v.get<double>();
    if (std::isfinite(d) && d == std::floor(d) && d >= std::numeric_limits<int>::min() &&
        d <= std::numeric_limits<int>::max()) {
      return static_cast<int>(d);
    }
  } else {
    return v.get<int>();  // the library's "type must be number, but is ..." error
  }
  throw std::runtime_error("io: '" + key + "' must be a 32-bit integer, got " + v.dump());
}

int optionalIntField(const json& doc, const std::string& key) {
  if (!doc.contains(key) || doc.at(key).is_null()) return -1;
  return intField(doc, key);
}

// A frame count: null or absent (unknown, -1), else 0 or more; the frames used are at most the total.
std::pair<int, int> frameCounts(const json& doc) {
  const int used = optionalIntField(doc, "num_frames_used");
  const int total = optionalIntField(doc, "num_frames_total");
  for (const auto& [key, value] : {std::pair<const char*, int>{"num_frames_used", used}, {"num_frames_total", total}}) {
    if (value < 0 && doc.contains(key) && !doc.at(key).is_null()) {
      throw std::runtime_error("io: '" + std::string(key) + "' must be 0 or more (or null), got " +
                               std::to_string(value));
    }
  }
  if (used >= 0 && total >= 0 && used > total) {
    throw std::runtime_error("io: 'num_frames_used' (" + std::to_string(used) + ") exceeds 'num_frames_total' (" +
                             std::to_string(total) + ")");
  }
  return {used, total};
}

// What keeps a matrix from being a stored transform, or "": one is unknown (empty), a 4x4 matrix
// with non-finite values (written as null, read back as NaN), or a rigid transform.
std::string storedTransformProblem(const cv::Mat& m) {
  if (m.empty()) return "";
  if (!vesk::detail::isPoseShape(m)) {
    return "must be a 4x4 matrix or null, got " + std::to_string(m.rows) + "x" + std::to_string(m.cols);
  }
  if (!cv::checkRange(m, true)) return "";
  if (const std::string problem = vesk::detail::rigidTransformProblem(m); !problem.empty()) {
    return "is not a rigid transform: " + problem;
  }
  return "";
}

cv::Mat checkedTransform(cv::Mat m, const std::string& what) {
  if (const std::string problem = storedTransformProblem(m); !problem.empty()) {
    throw std::runtime_error("io: " + what + " " + problem);
  }
  return m;
}

// The writers refuse, before writing, what the readers would refuse.
void requireStorable(const std::vector<cv::Mat>& list, const std::string& key) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (const std::string problem = storedTransformProblem(list[i]); !problem.empty()) {
      throw std::invalid_argument("io: '" + key + "' entry " + std::to_string(i) + " " + problem);
    }
  }
}

void requireStorable(const cv::Mat& m, const std::string& key) {
  if (const std::string problem = storedTransformProblem(m); !problem.empty()) {
    throw std::invalid_argument("io: '" + key + "' " + problem);
  }
}

void requireStorableCounts(int used, int total) {
  if (used >= 0 && total >= 0 && used > total) {
    throw std::invalid_argument("io: num_frames_used (" + std::to_string(used) + ") exceeds num_frames_total (" +
                                std::to_string(total) + ")");
  }
}

// The writer stores NaN and infinity as null; they read back as NaN.
double elementValue(const json& v) {
  return v.is_null() ? std::numeric_limits<double>::quiet_NaN() : v.get<double>();
}

cv::Mat matrixFromJson(const json& value, const std::string& what) {
  if (value.is_null()) return cv::Mat();
  const json& rows = requireArray(value, what);
  if (rows.empty()) return cv::Mat(0, 0, CV_64F);
  const json& first = requireArray(rows[0], what + " row 0");
  if (rows.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) ||
      first.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    throw std::runtime_error("io: " + what + " is too large");
  }
  const int nr = static_cast<int>(rows.size());
  const int nc = static_cast<int>(first.size());
  cv::Mat m(nr, nc, CV_64F);
  for (int r = 0; r < nr; ++r) {
    const json& row = requireArray(rows[static_cast<std::size_t>(r)], what + " row " + std::to_string(r));
    if (row.size() != first.size()) {
      throw std::runtime_error("io: " + what + " row " + std::to_string(r) + " has " + std::to_string(row.size()) +
                               " entries, expected " + std::to_string(nc));
    }
    for (int c = 0; c < nc; ++c) m.at<double>(r, c) = elementValue(row[static_cast<std::size_t>(c)]);
  }
  return m;
}

cv::Mat rowFromJson(const json& value, const std::string& what) {
  if (value.is_null()) return cv::Mat();
  const json& values = requireArray(value, what);
  if (values.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    throw std::runtime_error("io: " + what + " is too large");
  }
  cv::Mat m(1, static_cast<int>(values.size()), CV_64F);
  for (std::size_t i = 0; i < values.size(); ++i) m.at<double>(0, static_cast<int>(i)) = elementValue(values[i]);
  return values.empty() ? cv::Mat() : m;
}

// A required list: absent fails with the library's key-not-found error, null is empty.
template <typename Convert>
std::vector<cv::Mat> matrixList(const json& doc, const std::string& key, Convert convert) {
  const json& list = doc.at(key);
  std::vector<cv::Mat> out;
  if (list.is_null()) return out;
  requireArray(list, "'" + key + "'");
  out.reserve(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    out.push_back(convert(list[i], "'" + key + "' entry " + std::to_string(i)));
  }
  return out;
}

std::vector<double> errorList(const json& doc, const std::string& key) {
  std::vector<double> out;
  if (!doc.contains(key) || doc.at(key).is_null()) return out;
  const json& list = requireArray(doc.at(key), "'" + key + "'");
  out.reserve(list.size());
  for (const json& v : list) out.push_back(v.is_null() ? std::numeric_limits<double>::quiet_NaN() : v.get<double>());
  return out;
}

// A required transform: null, or a 4x4 matrix of finite numbers.
cv::Mat transformField(const json& doc, const std::string& key) {
  const cv::Mat m = matrixFromJson(doc.at(key), "'" + key + "'");
  if (m.empty()) return m;
  if (!vesk::detail::isPoseShape(m)) {
    throw std::runtime_error("io: '" + key + "' must be a 4x4 matrix or null, got " + std::to_string(m.rows) + "x" +
                             std::to_string(m.cols));
  }
  if (!cv::checkRange(m, true)) throw std::runtime_error("io: '" + key + "' holds a null or non-finite entry");
  return checkedTransform(m, "'" + key + "'");
}

std::string optionalString(const json& doc, const std::string& key) {
  if (!doc.contains(key) || doc.at(key).is_null()) return {};
  return doc.at(key).get<std::string>();
}

const json& requireObject(const json& doc) {
  if (!doc.is_object()) throw std::runtime_error(std::string("io: expected a JSON object, but is ") + doc.type_name());
  return doc;
}

const json* optionalKey(const json& doc, const std::string& key) {
  if (!doc.contains(key) || doc.at(key).is_null()) return nullptr;
  return &doc.at(key);
}

// A number of an object the re-check keys hold; null reads as NaN.
double numberIn(const json& obj, const std::string& key, const std::string& what) {
  const json& v = obj.at(key);
  if (v.is_null()) return std::numeric_limits<double>::quiet_NaN();
  if (!v.is_number()) throw std::runtime_error("io: " + what + " '" + key + "' must be a number, but is " + v.type_name());
  return v.get<double>();
}

CalibrationTarget boardFromJson(const json& b) {
  requireObject(b);
  const std::string kind = b.at("kind").get<std::string>();
  const auto length = [&b](const char* key) { return numberIn(b, key, "'board'"); };
  const auto dictionary = [&b] {
    if (const json* name = optionalKey(b, "dictionary"); name != nullptr && name->is_string()) {
      return arucoDictionaryIdFromName(name->get<std::string>());
    }
    return intField(b, "dictionary_id");
  };
  if (kind == "chessboard") {
    return ChessboardTarget{cv::Size(intField(b, "columns"), intField(b, "rows")), length("square_length_m")};
  }
  if (kind == "charuco") {
    return CharucoTarget(intField(b, "squares_x"), intField(b, "squares_y"), length("square_length_m"),
                         length("marker_length_m"), dictionary());
  }
  if (kind == "aruco_grid") {
    return ArucoTarget(cv::Size(intField(b, "markers_x"), intField(b, "markers_y")), length("marker_length_m"),
                       length("marker_separation_m"), dictionary());
  }
  throw std::runtime_error("io: 'board' kind must be chessboard, charuco or aruco_grid, got '" + kind + "'");
}

// The 6x6 covariance of an uncertainty key, or empty when the key is absent.
cv::Mat covarianceField(const json& doc, const std::string& key) {
  const json* u = optionalKey(doc, key);
  if (u == nullptr) return cv::Mat();
  const cv::Mat c = matrixFromJson(requireObject(*u).at("covariance"), "'" + key + "' covariance");
  if (!c.empty() && (c.rows != 6 || c.cols != 6)) throw std::runtime_error("io: '" + key + "' covariance must be 6x6");
  return c;
}

RecheckFields recheckFromJson(const json& doc, const std::string& fixedName) {
  RecheckFields r;
  if (const json* k = optionalKey(doc, "intrinsic_matrix")) {
    r.intrinsic_matrix = matrixFromJson(*k, "'intrinsic_matrix'");
    if (r.intrinsic_matrix->rows != 3 || r.intrinsic_matrix->cols != 3) {
      throw std::runtime_error("io: 'intrinsic_matrix' must be 3x3");
    }
  }
  if (const json* d = optionalKey(doc, "distortion_coefficients")) {
    r.distortion_coefficients = rowFromJson(*d, "'distortion_coefficients'");
  }
  if (const json* size = optionalKey(doc, "image_size")) {
    r.image_size = cv::Size(intField(requireObject(*size), "width"), intField(*size, "height"));
  }
  if (const json* b = optionalKey(doc, "board")) r.board = boardFromJson(*b);
  if (cv::Mat c = covarianceField(doc, fixedName + "_uncertainty"); !c.empty()) r.fixed_pose_covariance = c;
  if (const json* n = optionalKey(doc, "noise")) {
    requireObject(*n);
    r.noise = StoredNoise{numberIn(*n, "pixel_px", "'noise'"), numberIn(*n, "robot_translation_m", "'noise'"),
                          numberIn(*n, "robot_rotation_deg", "'noise'")};
  }
  if (optionalKey(doc, "vesk_version") != nullptr) r.vesk_version = doc.at("vesk_version").get<std::string>();
  if (optionalKey(doc, "created_utc") != nullptr) r.created_utc = doc.at("created_utc").get<std::string>();
  return r;
}

}  // namespace

std::string moduleVersion() { return VESK_VERSION; }

std::string utcTimestamp() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

fs::path saveMultiCameraCalibration(const fs::path& outputPath, const MultiCameraCalibrationRecord& record) {
  requireStorable(record.reference_T_camera_list, "reference_T_camera_list");
  json doc = json::object();
  doc["reference_index"] = record.reference_index;
  doc["num_cameras"] = record.num_cameras;
  json intrinsics = json::array();
  for (const cv::Mat& k : record.intrinsic_matrices) intrinsics.push_back(vesk::detail::matrixToJson(k));
  doc["intrinsic_matrices"] = std::move(intrinsics);
  json distortion = json::array();
  for (const cv::Mat& d : record.distortion_coefficients) distortion.push_back(vesk::detail::flatToJson(d));
  doc["distortion_coefficients"] = std::move(distortion);
  doc["reference_T_camera_list"] = transformListToJson(record.reference_T_camera_list);
  doc["intrinsic_reprojection_errors"] = errorListToJson(record.intrinsic_reprojection_errors);
  doc["pair_reprojection_errors"] = errorListToJson(record.pair_reprojection_errors);
  if (record.refined) {
    json uncertainty = json::array();
    for (const cv::Mat& c : record.reference_T_camera_covariances) {
      uncertainty.push_back(c.empty() ? json(nullptr) : uncertaintyToJson(c));
    }
    doc["reference_T_camera_uncertainty"] = std::move(uncertainty);
    doc["joint_rms"] = std::isfinite(record.joint_rms) ? json(record.joint_rms) : json(nullptr);
    json through = json::array();
    for (int b : record.reached_through) through.push_back(b < 0 ? json(nullptr) : json(b));
    doc["reached_through"] = std::move(through);
  }
  // views the pair solves left out are named without a joint solve too
  if (record.refined || !record.rejected_views.empty()) {
    json rejected = json::array();
    for (const auto& [camera, frame] : record.rejected_views) rejected.push_back(json{{"camera", camera}, {"frame", frame}});
    doc["rejected_views"] = std::move(rejected);
  }
  const fs::path target = writeResult(outputPath, kMultiCameraFile, doc);
  logging::log(logging::SUCCESS, "Saved multi-camera calibration to " + target.string());
  return target;
}

fs::path saveHandEyeResult(const fs::path& outputPath, const HandEyeResultRecord& record) {
  requireStorable(record.tcp_T_camera_list, "tcp_T_camera_list");
  requireStorableCounts(record.num_frames_used, record.num_frames_total);
  if (record.robot_T_target) {
    if (record.robot_T_target->empty()) throw std::invalid_argument("io: 'robot_T_target' is empty");
    requireStorable(*record.robot_T_target, "robot_T_target");
  }
  requireRecheckStorable(record.recheck);
  json doc = json::object();
  doc["reference_index"] = record.reference_index;
  doc["num_cameras"] = record.num_cameras;
  doc["method"] = record.method.empty() ? json(nullptr) : json(record.method);
  doc["num_frames_used"] = record.num_frames_used < 0 ? json(nullptr) : json(record.num_frames_used);
  doc["num_frames_total"] = record.num_frames_total < 0 ? json(nullptr) : json(record.num_frames_total);
  doc["tcp_T_camera_list"] = transformListToJson(record.tcp_T_camera_list);
  if (!record.tcp_T_camera_covariance.empty()) doc["tcp_T_camera_uncertainty"] = uncertaintyToJson(record.tcp_T_camera_covariance);
  if (record.joint_solve) doc["joint_solve"] = jointToJson(*record.joint_solve);
  if (record.four_axis) doc["four_axis"] = fourAxisToJson(*record.four_axis);
  if (record.robot_T_target) doc["robot_T_target"] = vesk::detail::matrixToJson(*record.robot_T_target);
  recheckToJson(doc, record.recheck, "robot_T_target");
  const fs::path target = writeResult(outputPath, kHandEyeFile, doc);
  logging::log(logging::SUCCESS, "Saved hand-eye result to " + target.string());
  return target;
}

fs::path saveEyeToHandResult(const fs::path& outputPath, const EyeToHandResultRecord& record) {
  requireStorable(record.robot_T_camera, "robot_T_camera");
  requireStorable(record.tcp_T_target, "tcp_T_target");
  requireStorableCounts(record.num_frames_used, record.num_frames_total);
  requireRecheckStorable(record.recheck);
  json doc = json::object();
  doc["method"] = record.method.empty() ? json(nullptr) : json(record.method);
  doc["num_frames_used"] = record.num_frames_used < 0 ? json(nullptr) : json(record.num_frames_used);
  doc["num_frames_total"] = record.num_frames_total < 0 ? json(nullptr) : json(record.num_frames_total);
  doc["robot_T_camera"] =
      record.robot_T_camera.empty() ? json(nullptr) : vesk::detail::matrixToJson(record.robot_T_camera);
  doc["tcp_T_target"] = record.tcp_T_target.empty() ? json(nullptr) : vesk::detail::matrixToJson(record.tcp_T_target);
  if (!record.robot_T_camera_covariance.empty()) {
    doc["robot_T_camera_uncertainty"] = uncertaintyToJson(record.robot_T_camera_covariance);
  }
  if (record.joint_solve) doc["joint_solve"] = jointToJson(*record.joint_solve);
  if (record.four_axis) doc["four_axis"] = fourAxisToJson(*record.four_axis);
  recheckToJson(doc, record.recheck, "tcp_T_target");
  const fs::path target = writeResult(outputPath, kEyeToHandFile, doc);
  logging::log(logging::SUCCESS, "Saved eye-to-hand result to " + target.string());
  return target;
}

EyeToHandResultRecord loadEyeToHandResult(const fs::path& inputPath) {
  return detail::parseEyeToHandResult(readDocument(inputPath, kEyeToHandFile));
}

MultiCameraCalibrationRecord loadMultiCameraCalibration(const fs::path& inputPath) {
  return detail::parseMultiCameraCalibration(readDocument(inputPath, kMultiCameraFile));
}

HandEyeResultRecord loadHandEyeResult(const fs::path& inputPath) {
  return detail::parseHandEyeResult(readDocument(inputPath, kHandEyeFile));
}

namespace detail {

MultiCameraCalibrationRecord parseMultiCameraCalibration(const std::string& text) {
  const json parsed = json::parse(text);
  const json& doc = requireObject(parsed);
  MultiCameraCalibrationRecord record;
  record.reference_index = intField(doc, "reference_index");
  record.num_cameras = intField(doc, "num_cameras");
  record.intrinsic_matrices = matrixList(doc, "intrinsic_matrices", matrixFromJson);
  record.distortion_coefficients = matrixList(doc, "distortion_coefficients", rowFromJson);
  record.reference_T_camera_list = matrixList(doc, "reference_T_camera_list", [](const json& v, const std::string& w) {
    return checkedTransform(matrixFromJson(v, w), w);
  });
  record.intrinsic_reprojection_errors = errorList(doc, "intrinsic_reprojection_errors");
  record.pair_reprojection_errors = errorList(doc, "pair_reprojection_errors");
  return record;
}

HandEyeResultRecord parseHandEyeResult(const std::string& text) {
  const json parsed = json::parse(text);
  const json& doc = requireObject(parsed);
  HandEyeResultRecord record;
  record.reference_index = intField(doc, "reference_index");
  record.num_cameras = intField(doc, "num_cameras");
  if (doc.contains("method") && !doc.at("method").is_null()) record.method = doc.at("method").get<std::string>();
  std::tie(record.num_frames_used, record.num_frames_total) = frameCounts(doc);
  record.tcp_T_camera_list = matrixList(doc, "tcp_T_camera_list", [](const json& v, const std::string& w) {
    return checkedTransform(matrixFromJson(v, w), w);
  });
  record.tcp_T_camera_covariance = covarianceField(doc, "tcp_T_camera_uncertainty");
  if (optionalKey(doc, "robot_T_target") != nullptr) record.robot_T_target = transformField(doc, "robot_T_target");
  record.recheck = recheckFromJson(doc, "robot_T_target");
  return record;
}

EyeToHandResultRecord parseEyeToHandResult(const std::string& text) {
  const json parsed = json::parse(text);
  const json& doc = requireObject(parsed);
  EyeToHandResultRecord record;
  record.method = optionalString(doc, "method");
  std::tie(record.num_frames_used, record.num_frames_total) = frameCounts(doc);
  record.robot_T_camera = transformField(doc, "robot_T_camera");
  record.tcp_T_target = transformField(doc, "tcp_T_target");
  record.robot_T_camera_covariance = covarianceField(doc, "robot_T_camera_uncertainty");
  record.recheck = recheckFromJson(doc, "tcp_T_target");
  return record;
}

}  // namespace detail

}  // namespace vesk::io
