#include "bindings/casters.hpp"
#include "bindings/registration.hpp"

#include <optional>
#include <stdexcept>

#include "calibration/hand_eye/eye_in_hand.hpp"
#include "calibration/hand_eye/eye_to_hand.hpp"
#include "io/result_files.hpp"
#include "quality/hand_eye_verification.hpp"

namespace py = pybind11;

namespace vesk::bindings {

namespace {

using quality::HandEyeVerification;
using quality::StoredHandEye;

constexpr const char* kRecordOld =
    " (result files of earlier versions hold only the transforms: calibrate again to write them)";

StoredHandEye storedOf(bool eyeToHand, CalibrationTarget target) {
  StoredHandEye s;
  s.eye_to_hand = eyeToHand;
  s.target = std::move(target);
  return s;
}

void refuseEyeToHand(bool eyeToHand, const char* what) {
  if (eyeToHand) {
    throw std::invalid_argument(std::string("verify_hand_eye: eye_to_hand=True, but ") + what +
                                " is of a camera on the flange");
  }
}

CalibrationTarget targetOf(const std::optional<CalibrationTarget>& given, const std::optional<CalibrationTarget>& stored,
                           const char* what) {
  if (given) return *given;
  if (stored) return *stored;
  throw std::invalid_argument(std::string("verify_hand_eye: ") + what + " holds no board; give target=");
}

// The re-check's fields of a record, or a ValueError naming what it lacks.
void fillFromRecord(StoredHandEye& s, const io::RecheckFields& r, const cv::Mat& transform, const cv::Mat& fixed,
                    const char* fixedName) {
  std::string missing;
  for (const auto& [absent, name] : {std::pair{!r.intrinsic_matrix, "intrinsic_matrix"},
                                     {transform.empty(), "the transform"}, {fixed.empty(), fixedName}}) {
    if (absent) missing += std::string(missing.empty() ? "" : ", ") + name;
  }
  if (!missing.empty()) throw std::invalid_argument("verify_hand_eye: the record holds no " + missing + kRecordOld);
  s.intrinsic_matrix = *r.intrinsic_matrix;
  s.distortion_coefficients = r.distortion_coefficients.value_or(cv::Mat());
  s.image_size = r.image_size.value_or(cv::Size());
  s.transform = transform;
  s.fixed_pose = fixed;
  s.fixed_pose_covariance = r.fixed_pose_covariance.value_or(cv::Mat());
  if (r.noise) s.noise = {r.noise->pixel_px, r.noise->robot_translation_m, r.noise->robot_rotation_deg};
}

// A result object: it carries what its result file would hold.
template <class Result>
StoredHandEye fromResult(const Result& r, const cv::Mat& transform, const cv::Mat& fixed, bool eyeToHand,
                         const std::optional<CalibrationTarget>& target) {
  if (!r.ok) throw std::invalid_argument("verify_hand_eye: the result is not ok: there is nothing to re-check");
  StoredHandEye s = storedOf(eyeToHand, targetOf(target, std::nullopt, "a result object"));
  s.intrinsic_matrix = r.intrinsic_matrix;
  s.distortion_coefficients = r.distortion_coefficients;
  if (!r.valid_image_list.empty()) s.image_size = r.valid_image_list.front().size();
  s.transform = transform;
  s.fixed_pose = fixed;
  s.transform_covariance = r.uncertainty.covariance;
  s.fixed_pose_covariance = r.fixed_pose_covariance;
  s.noise = r.noise;
  return s;
}

HandEyeVerification run(const StoredHandEye& s, const std::vector<cv::Mat>& robots, const std::vector<cv::Mat>& images) {
  const py::gil_scoped_release unlock;
  return quality::verifyHandEye(s, robots, images);
}

}  // namespace

void registerVerification(py::module_& diag) {
  py::classh<HandEyeVerification>(
      diag, "HandEyeVerification",
      "A re-check of a stored hand-eye calibration from new views: verdict ('consistent', 'changed', 'inconclusive'), "
      "moved ('camera', 'board', 'both', 'cannot tell'; empty unless changed), per view the corners found, the RMS "
      "(px) of the detected corners against the board predicted from the stored calibration and the RMS the noise "
      "and stored uncertainty allow, the change each part alone would have made (mm, deg), the chi-square statistic "
      "with its threshold and degrees of freedom, the noise levels used and their source, and a one-sentence message "
      "saying what to do.")
      .def_readonly("verdict", &HandEyeVerification::verdict)
      .def_readonly("moved", &HandEyeVerification::moved)
      .def_readonly("eye_to_hand", &HandEyeVerification::eye_to_hand)
      .def_readonly("corners", &HandEyeVerification::corners)
      .def_readonly("rms_px", &HandEyeVerification::rms_px)
      .def_readonly("expected_rms_px", &HandEyeVerification::expected_rms_px)
      .def_readonly("camera_change_mm", &HandEyeVerification::camera_change_mm)
      .def_readonly("camera_change_deg", &HandEyeVerification::camera_change_deg)
      .def_readonly("board_change_mm", &HandEyeVerification::board_change_mm)
      .def_readonly("board_change_deg", &HandEyeVerification::board_change_deg)
      .def_readonly("statistic", &HandEyeVerification::statistic)
      .def_readonly("threshold", &HandEyeVerification::threshold)
      .def_readonly("dof", &HandEyeVerification::dof)
      .def_readonly("false_alarm", &HandEyeVerification::false_alarm)
      .def_readonly("pixel_noise_px", &HandEyeVerification::pixel_noise_px)
      .def_readonly("pixel_noise_source", &HandEyeVerification::pixel_noise_source)
      .def_readonly("robot_translation_m", &HandEyeVerification::robot_translation_m)
      .def_readonly("robot_rotation_deg", &HandEyeVerification::robot_rotation_deg)
      .def_readonly("robot_noise_source", &HandEyeVerification::robot_noise_source)
      .def_readonly("stored_uncertainty_px", &HandEyeVerification::stored_uncertainty_px)
      .def_readonly("robot_noise_px", &HandEyeVerification::robot_noise_px)
      .def_readonly("stored_uncertainty_known", &HandEyeVerification::stored_uncertainty_known)
      .def_readonly("message", &HandEyeVerification::message)
      .def("format", &quality::formatHandEyeVerification, "The framed text report of the re-check.")
      .def("__repr__", [](const HandEyeVerification& v) {
        return "HandEyeVerification(verdict='" + v.verdict + "', moved='" + v.moved + "')";
      });

  using Robots = std::vector<cv::Mat>;
  using Target = std::optional<CalibrationTarget>;
  const char* doc =
      "Re-check a stored hand-eye calibration with 1 to 5 new images and the robot poses (robot_T_tcp) they were "
      "taken at: the board is predicted from the stored camera matrix, distortion, transform and fixed pose, and the "
      "detected corners are tested against it with a chi-square statistic whose threshold allows the corner noise, "
      "the stored uncertainty and the robot pose noise (the record's estimate, else 0.2 mm / 0.02 deg). `record` is "
      "a HandEyeResultRecord or EyeToHandResultRecord (as loaded; its type says whether the camera is fixed), or a "
      "HandEyeResult / EyeToHandResult, which needs target=. Returns a HandEyeVerification.";
  diag.def(
      "verify_hand_eye",
      [](const io::HandEyeResultRecord& r, const Robots& robots, const Robots& images, bool eyeToHand, Target target) {
        refuseEyeToHand(eyeToHand, "a hand_eye.json record");
        StoredHandEye s = storedOf(false, targetOf(target, r.recheck.board, "the record"));
        fillFromRecord(s, r.recheck, r.tcp_T_camera_list.empty() ? cv::Mat() : r.tcp_T_camera_list.front(),
                       r.robot_T_target.value_or(cv::Mat()), "robot_T_target");
        s.transform_covariance = r.tcp_T_camera_covariance;
        return run(s, robots, images);
      },
      py::arg("record"), py::arg("robot_T_tcp_list"), py::arg("images"), py::arg("eye_to_hand") = false, py::kw_only(),
      py::arg("target") = py::none(), doc);
  diag.def(
      "verify_hand_eye",
      [](const io::EyeToHandResultRecord& r, const Robots& robots, const Robots& images, bool, Target target) {
        StoredHandEye s = storedOf(true, targetOf(target, r.recheck.board, "the record"));
        fillFromRecord(s, r.recheck, r.robot_T_camera, r.tcp_T_target, "tcp_T_target");
        s.transform_covariance = r.robot_T_camera_covariance;
        return run(s, robots, images);
      },
      py::arg("record"), py::arg("robot_T_tcp_list"), py::arg("images"), py::arg("eye_to_hand") = true, py::kw_only(),
      py::arg("target") = py::none());
  diag.def(
      "verify_hand_eye",
      [](const calibration::HandEyeResult& r, const Robots& robots, const Robots& images, bool eyeToHand, Target target) {
        refuseEyeToHand(eyeToHand, "a HandEyeResult");
        return run(fromResult(r, r.tcp_T_camera, r.robot_T_target, false, target), robots, images);
      },
      py::arg("record"), py::arg("robot_T_tcp_list"), py::arg("images"), py::arg("eye_to_hand") = false, py::kw_only(),
      py::arg("target") = py::none());
  diag.def(
      "verify_hand_eye",
      [](const calibration::EyeToHandResult& r, const Robots& robots, const Robots& images, bool, Target target) {
        return run(fromResult(r, r.robot_T_camera, r.tcp_T_target, true, target), robots, images);
      },
      py::arg("record"), py::arg("robot_T_tcp_list"), py::arg("images"), py::arg("eye_to_hand") = true, py::kw_only(),
      py::arg("target") = py::none());
  diag.def("format_hand_eye_verification", &quality::formatHandEyeVerification, py::arg("verification"),
           "The framed text report of a re-check (HandEyeVerification.format()).");
}

}  // namespace vesk::bindings
