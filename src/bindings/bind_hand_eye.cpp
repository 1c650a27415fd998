#include "bindings/casters.hpp"
#include "bindings/registration.hpp"
#include "bindings/unlocked.hpp"

#include "calibration/hand_eye/eye_in_hand.hpp"
#include "calibration/hand_eye/eye_to_hand.hpp"
#include "core/transforms.hpp"
#include "targets/detection.hpp"

namespace py = pybind11;

namespace vesk::bindings {

using calibration::EyeInHandCalibrator;
using calibration::EyeToHandCalibrator;
using calibration::EyeToHandResult;
using calibration::HandEyeResult;
using calibration::IntrinsicOptions;
using calibration::HandEyeDataFinding;
using calibration::TargetConsistencyStats;
using calibration::NoiseEstimate;
using calibration::HandEyeJointSolve;

namespace {
constexpr const char* kEyeInHand = "EyeInHandCalibrator";
constexpr const char* kEyeToHand = "EyeToHandCalibrator";

// Images and intrinsics OpenCV would refuse deep inside, with its own message, refused up front.
void requireImagesAndIntrinsics(const std::vector<cv::Mat>& images, const cv::Mat& K, const cv::Mat& D,
                                const char* name) {
  detail::requireColourImages(images, name, "image_list");
  if (!K.empty()) detail::requireIntrinsicShapes(K, D, name);
}

template <class C>
auto checkedCalibrate(const char* name) {
  return [inner = unlockedMethod(&C::calibrate, name), name](
             C& self, const std::vector<cv::Mat>& robots, const std::vector<cv::Mat>& images, const std::string& method,
             const std::vector<cv::Mat>& poses, const cv::Mat& K, const cv::Mat& D,
             const std::filesystem::path& outputPath, bool refine, const std::optional<NoiseEstimate>& noise,
             std::optional<double> axisOffset, std::optional<double> boardHeight, double tolerance,
             bool freeBoardScale, const py::object& progress) {
    requireImagesAndIntrinsics(images, K, D, name);
    return inner(self, robots, images, method, poses, K, D, outputPath, refine, noise, axisOffset, boardHeight,
                 tolerance, freeBoardScale, progress);
  };
}

template <class C>
auto checkedTargetPoses(const char* name) {
  return [inner = unlockedMethod(&C::computeCameraTTargetList, name), name](
             const C& self, const std::vector<cv::Mat>& images, const std::vector<cv::Mat>& robots, const cv::Mat& K,
             const cv::Mat& D, const py::object& progress) {
    detail::requireColourImages(images, name, "image_list");
    detail::requireIntrinsicShapes(K, D, name);
    return inner(self, images, robots, K, D, progress);
  };
}

// The methods both hand-eye calibrators share, under the same names and arguments.
template <class C>
void defineCalibratorMethods(py::classh<C>& cls, const char* name) {
  cls.def("calibrate", checkedCalibrate<C>(name), py::arg("robot_T_tcp_list"), py::arg("image_list"),
          py::arg("method") = "TSAI", py::arg_v("camera_T_target_list", std::vector<cv::Mat>(), "[]"),
          py::arg_v("intrinsic_matrix", cv::Mat(), "numpy.empty((0, 0))"),
          py::arg_v("distortion_coefficients", cv::Mat(), "numpy.empty((0, 0))"),
          py::arg_v("output_path", py::str(""), "''"), py::kw_only(), py::arg("refine") = false,
          py::arg("noise") = py::none(), py::arg("known_axis_offset_m") = py::none(),
          py::arg("known_board_height_m") = py::none(), py::arg("known_tolerance_m") = 1e-3,
          py::arg("free_board_scale") = false, py::arg("progress") = py::none())
      .def("compute_camera_T_target_list", checkedTargetPoses<C>(name),
           py::arg("image_list"), py::arg("robot_T_tcp_list"), py::arg("intrinsic_matrix"),
           py::arg("distortion_coefficients"), py::kw_only(), py::arg("progress") = py::none())
      .def("corner_images", lockedMethod<C>([](const C& c) { return c.cornerImages(); }, name))
      .def("format_results", lockedMethod<C>([](const C& c) { return c.formatResults(); }, name))
      .def("print_results", lockedMethod<C>([](const C& c) { c.printResults(); }, name))
      .def("last_result", lockedMethod<C>([](const C& c) { return c.lastResult(); }, name))
      .def("target", lockedMethod<C>([](const C& c) { return c.target(); }, name));
}
}  // namespace

void registerHandEye(py::module_& m) {
  m.def(
      "hand_eye_method_by_name_map",
      [] {
        std::map<std::string, int> copy;
        for (const auto& [name, method] : calibration::handEyeMethodByNameMap()) copy[name] = static_cast<int>(method);
        return copy;
      },
      "Map of hand-eye method names (\"TSAI\", \"PARK\", \"HORAUD\", \"ANDREFF\", \"DANIILIDIS\") to "
      "cv::HandEyeCalibrationMethod values.");

  py::classh<TargetConsistencyStats>(m, "TargetConsistencyStats",
                                     "Per-frame consistency of the recovered world_T_target.")
      .def_readonly("mean_translation_m", &TargetConsistencyStats::mean_translation_m)
      .def_readonly("max_translation_m", &TargetConsistencyStats::max_translation_m)
      .def_readonly("mean_rotation_deg", &TargetConsistencyStats::mean_rotation_deg)
      .def_readonly("max_rotation_deg", &TargetConsistencyStats::max_rotation_deg)
      .def_readonly("translation_deviations_m", &TargetConsistencyStats::translation_deviations_m)
      .def_readonly("rotation_deviations_deg", &TargetConsistencyStats::rotation_deviations_deg)
      .def_readonly("distances_m", &TargetConsistencyStats::distances_m)
      .def_readonly("board_us", &TargetConsistencyStats::board_us)
      .def_readonly("board_vs", &TargetConsistencyStats::board_vs);

  py::classh<TransformUncertainty>(
      m, "TransformUncertainty",
      "1-sigma of a transform a_T_b: translation_std_m per component (m), rotation_std_deg about the axes of frame a "
      "(deg), covariance 6x6 with rotation (rad) first, then translation (m). NaN where it cannot be computed.")
      .def_readonly("translation_std_m", &TransformUncertainty::translation_std_m)
      .def_readonly("rotation_std_deg", &TransformUncertainty::rotation_std_deg)
      .def_readonly("covariance", &TransformUncertainty::covariance);

  py::classh<HandEyeDataFinding>(m, "HandEyeDataFinding",
                                 "What the hand-eye data check found: a code, a message saying what to do, and the "
                                 "frames concerned.")
      .def_readonly("code", &HandEyeDataFinding::code)
      .def_readonly("message", &HandEyeDataFinding::message)
      .def_readonly("frames", &HandEyeDataFinding::frames)
      .def("__repr__", [](const HandEyeDataFinding& f) { return "HandEyeDataFinding(" + f.code + ": " + f.message + ")"; });

  py::classh<calibration::BoardScale>(
      m, "BoardScale",
      "The board's scale from the robot's motion: value, its true lengths over the lengths stated for it (1 for a "
      "right print), with its 1-sigma; stated_square_m the square (or marker) length the target states and "
      "implied_square_m the one the data implies. NaN where not computed (fewer than 5 frames, or motions that do not "
      "fix the rotation).")
      .def_readonly("value", &calibration::BoardScale::value)
      .def_readonly("sigma", &calibration::BoardScale::sigma)
      .def_readonly("stated_square_m", &calibration::BoardScale::stated_square_m)
      .def_property_readonly("implied_square_m", &calibration::BoardScale::impliedSquareM)
      .def("__repr__", [](const calibration::BoardScale& b) {
        return "BoardScale(value=" + std::to_string(b.value) + ", sigma=" + std::to_string(b.sigma) + ")";
      });

  py::classh<NoiseEstimate>(
      m, "NoiseEstimate",
      "Noise levels, 1-sigma per axis: pixel_px of a corner per image coordinate, robot_translation_m and "
      "robot_rotation_deg of a robot pose as a motion of the flange. Given to calibrate(refine=True, noise=...), a "
      "positive level is held and a NaN one estimated from the data.")
      .def(py::init([](double px, double m, double deg) { return NoiseEstimate{px, m, deg}; }),
           py::arg("pixel_px") = std::numeric_limits<double>::quiet_NaN(),
           py::arg("robot_translation_m") = std::numeric_limits<double>::quiet_NaN(),
           py::arg("robot_rotation_deg") = std::numeric_limits<double>::quiet_NaN())
      .def_readonly("pixel_px", &NoiseEstimate::pixel_px)
      .def_readonly("robot_translation_m", &NoiseEstimate::robot_translation_m)
      .def_readonly("robot_rotation_deg", &NoiseEstimate::robot_rotation_deg)
      .def("__repr__", [](const NoiseEstimate& n) {
        return "NoiseEstimate(pixel_px=" + std::to_string(n.pixel_px) +
               ", robot_translation_m=" + std::to_string(n.robot_translation_m) +
               ", robot_rotation_deg=" + std::to_string(n.robot_rotation_deg) + ")";
      });

  py::classh<HandEyeJointSolve>(
      m, "HandEyeJointSolve",
      "The joint solve of calibrate(refine=True): every corner fitted at once with each robot pose a measurement, "
      "the noise levels found from the data. hand_eye is the refined transform, closed_form the one it started from; "
      "error_budget is 6 x 3, rows rotation x, y, z and translation x, y, z, columns the share of that axis's "
      "variance from the corners, the robot poses and the intrinsics.")
      .def_readonly("ok", &HandEyeJointSolve::ok)
      .def_readonly("failure", &HandEyeJointSolve::failure)
      .def_readonly("closed_form_method", &HandEyeJointSolve::closed_form_method)
      .def_readonly("closed_form", &HandEyeJointSolve::closed_form)
      .def_property_readonly("closed_form_uncertainty", memberView(&HandEyeJointSolve::closed_form_uncertainty),
                             py::return_value_policy::reference_internal)
      .def_readonly("hand_eye", &HandEyeJointSolve::hand_eye)
      .def_readonly("fixed_pose", &HandEyeJointSolve::fixed_pose)
      .def_readonly("intrinsic_matrix", &HandEyeJointSolve::intrinsic_matrix)
      .def_readonly("distortion_coefficients", &HandEyeJointSolve::distortion_coefficients)
      .def_readonly("intrinsics_free", &HandEyeJointSolve::intrinsics_free)
      .def_property_readonly("noise", memberView(&HandEyeJointSolve::noise), py::return_value_policy::reference_internal)
      .def_readonly("noise_estimated", &HandEyeJointSolve::noise_estimated)
      .def_property_readonly("uncertainty", memberView(&HandEyeJointSolve::uncertainty),
                             py::return_value_policy::reference_internal)
      .def_property_readonly("normal_uncertainty", memberView(&HandEyeJointSolve::normal_uncertainty),
                             py::return_value_policy::reference_internal)
      .def_property_readonly("jackknife_uncertainty", memberView(&HandEyeJointSolve::jackknife_uncertainty),
                             py::return_value_policy::reference_internal)
      .def_readonly("error_budget", &HandEyeJointSolve::error_budget)
      .def_readonly("raised", &HandEyeJointSolve::raised)
      .def_readonly("weak_reason", &HandEyeJointSolve::weak_reason)
      .def_readonly("rms_px", &HandEyeJointSolve::rms_px)
      .def_readonly("moved_mm", &HandEyeJointSolve::moved_mm)
      .def_readonly("moved_deg", &HandEyeJointSolve::moved_deg)
      .def_readonly("frames", &HandEyeJointSolve::frames)
      .def_readonly("corners", &HandEyeJointSolve::corners)
      .def_readonly("parameters", &HandEyeJointSolve::parameters)
      .def_readonly("iterations", &HandEyeJointSolve::iterations)
      .def_readonly("rounds", &HandEyeJointSolve::rounds)
      .def_readonly("board_scale_free", &HandEyeJointSolve::board_scale_free)
      .def_readonly("board_scale", &HandEyeJointSolve::board_scale)
      .def_readonly("board_scale_sigma", &HandEyeJointSolve::board_scale_sigma);

  py::classh<calibration::FourAxisSolve>(
      m, "FourAxisSolve",
      "A solve from motions about one axis only (a four-axis robot): the axis (in the frame of the transform's parent, "
      "pointing up; base_axis in the robot base), the keyword whose value was held, and where the camera and the board "
      "lie along the axis.")
      .def_readonly("axis", &calibration::FourAxisSolve::axis)
      .def_readonly("base_axis", &calibration::FourAxisSolve::base_axis)
      .def_readonly("constraint", &calibration::FourAxisSolve::constraint)
      .def_readonly("value_m", &calibration::FourAxisSolve::value_m)
      .def_readonly("tolerance_m", &calibration::FourAxisSolve::tolerance_m)
      .def_readonly("axis_offset_m", &calibration::FourAxisSolve::axis_offset_m)
      .def_readonly("board_height_m", &calibration::FourAxisSolve::board_height_m)
      .def_readonly("off_axis_deg", &calibration::FourAxisSolve::off_axis_deg)
      .def_readonly("about_axis_deg", &calibration::FourAxisSolve::about_axis_deg)
      .def_readonly("rms_m", &calibration::FourAxisSolve::rms_m);

  py::classh<HandEyeResult>(m, "HandEyeResult", "Result of EyeInHandCalibrator.calibrate().")
      .def_readonly("ok", &HandEyeResult::ok)
      .def_readonly("failure", &HandEyeResult::failure)
      .def_readonly("tcp_T_camera", &HandEyeResult::tcp_T_camera)
      .def_readonly("intrinsic_matrix", &HandEyeResult::intrinsic_matrix)
      .def_readonly("distortion_coefficients", &HandEyeResult::distortion_coefficients)
      .def_readonly("reprojection_error", &HandEyeResult::reprojection_error)
      .def_readonly("valid_robot_T_tcp_list", &HandEyeResult::valid_robot_T_tcp_list)
      .def_readonly("valid_image_list", &HandEyeResult::valid_image_list)
      .def_readonly("camera_T_target_list", &HandEyeResult::camera_T_target_list)
      .def_readonly("has_consistency", &HandEyeResult::has_consistency)
      .def_property_readonly("consistency", memberView(&HandEyeResult::consistency), py::return_value_policy::reference_internal)
      .def_property_readonly("uncertainty", memberView(&HandEyeResult::uncertainty),
                             py::return_value_policy::reference_internal)
      .def_readonly("data_findings", &HandEyeResult::data_findings)
      .def_property_readonly("board_scale", memberView(&HandEyeResult::board_scale),
                             py::return_value_policy::reference_internal)
      .def_readonly("joint", &HandEyeResult::joint)
      .def_readonly("four_axis", &HandEyeResult::four_axis)
      .def_property_readonly("noise", memberView(&HandEyeResult::noise), py::return_value_policy::reference_internal)
      .def_readonly("robot_T_target", &HandEyeResult::robot_T_target);

  py::classh<EyeInHandCalibrator::AlignedTargetPoses>(m, "AlignedTargetPoses")
      .def_readonly("camera_T_target_list", &EyeInHandCalibrator::AlignedTargetPoses::camera_T_target_list)
      .def_readonly("valid_image_list", &EyeInHandCalibrator::AlignedTargetPoses::valid_image_list)
      .def_readonly("valid_robot_T_tcp_list", &EyeInHandCalibrator::AlignedTargetPoses::valid_robot_T_tcp_list);

  py::classh<EyeInHandCalibrator> eyeInHand(m, "EyeInHandCalibrator",
                                            "Eye-in-hand (camera-on-flange) hand-eye calibrator.");
  eyeInHand.def(py::init<CalibrationTarget, IntrinsicOptions>(), py::arg("target"),
                py::arg_v("options", IntrinsicOptions(), "IntrinsicOptions()"));
  defineCalibratorMethods(eyeInHand, kEyeInHand);

  py::classh<EyeToHandResult>(m, "EyeToHandResult", "Result of EyeToHandCalibrator.calibrate().")
      .def_readonly("ok", &EyeToHandResult::ok)
      .def_readonly("failure", &EyeToHandResult::failure)
      .def_readonly("robot_T_camera", &EyeToHandResult::robot_T_camera)
      .def_readonly("intrinsic_matrix", &EyeToHandResult::intrinsic_matrix)
      .def_readonly("distortion_coefficients", &EyeToHandResult::distortion_coefficients)
      .def_readonly("reprojection_error", &EyeToHandResult::reprojection_error)
      .def_readonly("valid_robot_T_tcp_list", &EyeToHandResult::valid_robot_T_tcp_list)
      .def_readonly("valid_image_list", &EyeToHandResult::valid_image_list)
      .def_readonly("camera_T_target_list", &EyeToHandResult::camera_T_target_list)
      .def_readonly("has_consistency", &EyeToHandResult::has_consistency)
      .def_property_readonly("consistency", memberView(&EyeToHandResult::consistency),
                             py::return_value_policy::reference_internal)
      .def_readonly("tcp_T_target", &EyeToHandResult::tcp_T_target)
      .def_property_readonly("uncertainty", memberView(&EyeToHandResult::uncertainty),
                             py::return_value_policy::reference_internal)
      .def_readonly("data_findings", &EyeToHandResult::data_findings)
      .def_property_readonly("board_scale", memberView(&EyeToHandResult::board_scale),
                             py::return_value_policy::reference_internal)
      .def_readonly("joint", &EyeToHandResult::joint)
      .def_readonly("four_axis", &EyeToHandResult::four_axis)
      .def_property_readonly("noise", memberView(&EyeToHandResult::noise), py::return_value_policy::reference_internal);

  py::classh<EyeToHandCalibrator> eyeToHand(
      m, "EyeToHandCalibrator",
      "Eye-to-hand (camera fixed in the cell, board on the flange) hand-eye calibrator: robot_T_camera and "
      "tcp_T_target.");
  eyeToHand.def(py::init<CalibrationTarget, IntrinsicOptions>(), py::arg("target"),
                py::arg_v("options", IntrinsicOptions(), "IntrinsicOptions()"));
  defineCalibratorMethods(eyeToHand, kEyeToHand);
}

}  // namespace vesk::bindings
