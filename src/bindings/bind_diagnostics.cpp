#include <array>
#include <optional>

#include "bindings/casters.hpp"
#include "bindings/registration.hpp"
#include "bindings/unlocked.hpp"

#include "calibration/hand_eye/hand_eye_check.hpp"
#include "calibration/hand_eye/hand_eye_core.hpp"
#include "core/transforms.hpp"
#include "geometry/rotation_variety.hpp"
#include "quality/method_comparison.hpp"
#include "quality/pose_plan.hpp"

namespace py = pybind11;

namespace vesk::bindings {

namespace {

quality::PlanSetup planSetup(CalibrationTarget target, cv::Mat K, cv::Mat D, cv::Size imageSize, cv::Mat robotTTcp,
                             cv::Mat cameraTTarget, cv::Mat guess, bool eyeToHand) {
  return quality::PlanSetup{std::move(target), std::move(K), std::move(D), imageSize, std::move(robotTTcp),
                            std::move(cameraTTarget), std::move(guess), eyeToHand, std::nullopt};
}

std::optional<cv::Vec3d> fourAxis(bool fourAxis, const std::array<double, 3>& axis) {
  if (!fourAxis) return std::nullopt;
  return cv::Vec3d(axis[0], axis[1], axis[2]);
}

std::vector<cv::Mat> planPoses(CalibrationTarget target, cv::Mat K, cv::Mat D, cv::Size imageSize, cv::Mat robotTTcp,
                               cv::Mat cameraTTarget, cv::Mat guess, int n, double maxRotationDeg,
                               double maxTranslationM, bool eyeToHand, double marginPx, double guessErrorM,
                               double guessErrorDeg, std::pair<double, double> distanceScale, bool four,
                               std::array<double, 3> axis) {
  quality::PlanOptions o;
  o.n_poses = n;
  o.max_rotation_deg = maxRotationDeg;
  o.max_translation_m = maxTranslationM;
  o.margin_px = marginPx;
  o.guess_error_m = guessErrorM;
  o.guess_error_deg = guessErrorDeg;
  std::tie(o.min_distance_scale, o.max_distance_scale) = distanceScale;
  quality::PlanSetup setup = planSetup(std::move(target), std::move(K), std::move(D), imageSize, std::move(robotTTcp),
                                       std::move(cameraTTarget), std::move(guess), eyeToHand);
  setup.four_axis = fourAxis(four, axis);
  return quality::planHandEyePoses(setup, o);
}

TransformUncertainty predict(CalibrationTarget target, cv::Mat K, cv::Mat D, cv::Size imageSize,
                                          std::vector<cv::Mat> plan, cv::Mat robotTTcp, cv::Mat cameraTTarget,
                                          cv::Mat guess, double robotM, double robotDeg, double cornerPx,
                                          std::string method, int trials, bool eyeToHand, bool calibrateIntrinsics,
                                          bool four, std::array<double, 3> axis, double knownToleranceM) {
  quality::PlanSetup setup = planSetup(std::move(target), std::move(K), std::move(D), imageSize, std::move(robotTTcp),
                                       std::move(cameraTTarget), std::move(guess), eyeToHand);
  setup.four_axis = fourAxis(four, axis);
  return quality::predictHandEyeUncertainty(setup, plan, quality::NoiseModel{robotM, robotDeg, cornerPx, knownToleranceM},
                                            method, trials, calibrateIntrinsics);
}

std::vector<cv::Mat> planFirst(cv::Mat robotTTcp, double angleDeg, bool four, std::array<double, 3> axis) {
  return quality::planFirstHandEyePoses(robotTTcp, angleDeg, fourAxis(four, axis));
}

quality::PlanSize posesNeeded(CalibrationTarget target, cv::Mat K, cv::Mat D, cv::Size imageSize, cv::Mat robotTTcp,
                              cv::Mat cameraTTarget, cv::Mat guess, double translationMm, double rotationDeg,
                              double maxRotationDeg, double maxTranslationM, double robotM, double robotDeg,
                              double cornerPx, std::string method, int trials, bool eyeToHand,
                              bool calibrateIntrinsics) {
  quality::PlanOptions o;
  o.max_rotation_deg = maxRotationDeg;
  o.max_translation_m = maxTranslationM;
  return quality::posesNeededForSigma(planSetup(std::move(target), std::move(K), std::move(D), imageSize,
                                                std::move(robotTTcp), std::move(cameraTTarget), std::move(guess),
                                                eyeToHand),
                                      o, quality::NoiseModel{robotM, robotDeg, cornerPx}, translationMm, rotationDeg,
                                      method, trials, calibrateIntrinsics);
}

}  // namespace

using quality::HandEyeMethodResult;
using quality::RotationVarietyStats;

void registerDiagnostics(py::module_& diag) {
  py::classh<RotationVarietyStats>(diag, "RotationVarietyStats")
      .def_readonly("num_motions", &RotationVarietyStats::num_motions)
      .def_property_readonly("singular_values",
                             [](const RotationVarietyStats& s) {
                               return std::vector<double>(s.singular_values.begin(), s.singular_values.end());
                             })
      .def_readonly("axis_span_ratio", &RotationVarietyStats::axis_span_ratio)
      .def_readonly("angle_mean_deg", &RotationVarietyStats::angle_mean_deg)
      .def_readonly("angle_max_deg", &RotationVarietyStats::angle_max_deg);
  diag.def(
      "analyze_rotation_variety",
      [](const std::vector<cv::Mat>& list, double minRotationDeg, bool eyeToHand) {
        return eyeToHand ? quality::analyzeFixedCameraRotationVariety(list, minRotationDeg)
                         : quality::analyzeRotationVariety(list, minRotationDeg);
      },
      py::arg("camera_T_target_list"), py::arg("min_rotation_deg") = 0.5, py::arg("eye_to_hand") = false);
  diag.def("format_rotation_variety", &quality::formatRotationVariety, py::arg("stats"));

  py::classh<HandEyeMethodResult>(diag, "HandEyeMethodResult")
      .def_readonly("method_name", &HandEyeMethodResult::method_name)
      .def_readonly("tcp_T_camera", &HandEyeMethodResult::tcp_T_camera)
      .def_readonly("pose_deg", &HandEyeMethodResult::pose_deg)
      .def_readonly("robot_T_camera", &HandEyeMethodResult::robot_T_camera);
  diag.def("compare_hand_eye_methods", unlockedFunction(&quality::compareHandEyeMethods), py::arg("target"),
           py::arg("robot_T_tcp_list"), py::arg("image_list"), py::arg("camera_T_target_list"),
           py::arg("intrinsic_matrix"), py::arg("distortion_coefficients"),
           py::arg("per_view_error_threshold") = 1.0, py::arg("eye_to_hand") = false,
           py::kw_only(), py::arg("progress") = py::none());
  diag.def(
      "check_hand_eye_data", &calibration::checkHandEyeData, py::arg("robot_T_tcp_list"), py::arg("camera_T_target_list"),
      py::arg("eye_to_hand") = false, py::call_guard<py::gil_scoped_release>(),
      "Check aligned hand-eye data (eye-in-hand, or eye-to-hand with eye_to_hand=True) for the mistakes that give "
      "a wrong transform: robot translations in millimetres, inverted robot poses, images and poses out of step, a "
      "board that cannot have stood still (on the flange, for a fixed camera), rotation angles in the wrong unit "
      "(robot_rotation_in_degrees) or another rotation convention (robot_rotation_convention), outlier frames, and a "
      "board printed at another scale (board_scale_mismatch); motions about one axis only (a four-axis robot) are "
      "named four_axis_motions. Returns a list of HandEyeDataFinding, empty for clean data.");
  diag.def("estimate_board_scale", &calibration::boardScaleOfData, py::arg("robot_T_tcp_list"),
           py::arg("camera_T_target_list"), py::arg("eye_to_hand") = false, py::call_guard<py::gil_scoped_release>(),
           "The board's scale from the robot's motion, as the data check measures it: a BoardScale whose value is the "
           "board's true lengths over those its target poses were computed with (1 for a right print), with a "
           "jackknife 1-sigma. NaN for data that does not fix the hand-eye rotation.");
  diag.def("refine_hand_eye", unlockedFunction(&calibration::refineHandEyeFromCorners), py::arg("robot_T_tcp_list"),
           py::arg("image_points"), py::arg("object_points"), py::arg("intrinsic_matrix"),
           py::arg("distortion_coefficients"), py::arg("method") = "TSAI", py::arg("eye_to_hand") = false,
           py::arg("intrinsics_free") = false, py::arg("noise") = py::none(), py::kw_only(),
           py::arg("free_board_scale") = false, py::arg("progress") = py::none(),
           "The joint hand-eye solve on corners you detected yourself: per frame robot_T_tcp, the image points "
           "(N x 2) and their board points (N x 3). Each frame's board pose comes from solvePnP, the closed form from "
           "`method`, then one solve over every corner with each robot pose a measurement and the noise levels "
           "found from the data (or held where `noise` gives them). Returns a HandEyeJointSolve; its hand_eye is "
           "tcp_T_camera, or robot_T_camera with eye_to_hand=True.");
  diag.def("format_method_comparison", &quality::formatMethodComparison, py::arg("method_results"),
           py::arg("consensus_threshold_deg") = 1.5);

  diag.def("plan_hand_eye_poses", &planPoses, py::arg("target"), py::arg("intrinsic_matrix"),
           py::arg("distortion_coefficients"), py::arg("image_size"), py::arg("robot_T_tcp"),
           py::arg("camera_T_target"), py::arg("hand_eye_guess"), py::arg("n_poses") = 15,
           py::arg("max_rotation_deg") = 45.0, py::arg("max_translation_m") = 0.3, py::arg("eye_to_hand") = false,
           py::kw_only(), py::arg("margin_px") = 20.0, py::arg("guess_error_m") = 0.01,
           py::arg("guess_error_deg") = 2.0, py::arg("distance_scale") = std::make_pair(0.5, 1.5),
           py::arg("four_axis") = false, py::arg("axis") = std::array<double, 3>{0.0, 0.0, 1.0},
           py::call_guard<py::gil_scoped_release>(),
           "Flange poses (robot_T_tcp, 4x4) to record for a hand-eye calibration, ordered for a short robot path "
           "from the start pose. From the start pose robot_T_tcp, the board's pose seen from it (camera_T_target) "
           "and a rough hand_eye_guess (tcp_T_camera, or robot_T_camera with eye_to_hand=True), the views tilt "
           "20-35 degrees from the start view in every direction and roll about the optical axis, each as near as "
           "the board fits (within distance_scale times the start view's distance), with the board landing across "
           "the image; they are picked to "
           "differ most from each other, keep the whole board margin_px inside the image even with the guess "
           "guess_error_m / guess_error_deg off, and keep the flange within max_rotation_deg and "
           "max_translation_m of the start pose. Limits too tight raise ValueError naming the one to relax. With "
           "four_axis=True (a SCARA) the flange only turns about `axis` (robot base, default vertical), by up to "
           "max_rotation_deg through its own position, and moves so that the board lands across the whole image.");
  diag.def("plan_first_hand_eye_poses", &planFirst, py::arg("robot_T_tcp"), py::arg("angle_deg") = 10.0,
           py::kw_only(), py::arg("four_axis") = false, py::arg("axis") = std::array<double, 3>{0.0, 0.0, 1.0},
           "Six flange poses rotating the flange by +-angle_deg about its own x, y and z axes: small enough to keep "
           "the board in view whatever the mount, for a coarse first calibration whose result is the "
           "hand_eye_guess of plan_hand_eye_poses. With four_axis=True, by +-1, 2 and 3 times angle_deg about "
           "`axis` (robot base, default vertical) through the flange.");
  diag.def("predict_hand_eye_uncertainty", unlockedFunction(&predict), py::arg("target"),
           py::arg("intrinsic_matrix"), py::arg("distortion_coefficients"), py::arg("image_size"), py::arg("plan"),
           py::arg("robot_T_tcp"), py::arg("camera_T_target"), py::arg("hand_eye_guess"),
           py::arg("robot_noise_m") = 2e-4, py::arg("robot_noise_deg") = 0.02, py::arg("corner_noise_px") = 0.2,
           py::arg("method") = "TSAI", py::arg("trials") = 200, py::arg("eye_to_hand") = false,
           py::arg("calibrate_intrinsics") = false, py::kw_only(), py::arg("four_axis") = false,
           py::arg("axis") = std::array<double, 3>{0.0, 0.0, 1.0}, py::arg("known_tolerance_m") = 1e-3,
           py::arg("progress") = py::none(),
           "Predicted 1-sigma (TransformUncertainty, about the true value) of the hand-eye transform solved from "
           "the flange poses `plan`: the board is seen at each through hand_eye_guess, corners and robot poses are "
           "disturbed by the given noise (1-sigma per axis) and the transform is solved `trials` times with "
           "`method`. With calibrate_intrinsics=True each trial also calibrates the camera from the planned views. With "
           "four_axis=True each trial is the four-axis solve with the true offset along the axis given, and "
           "known_tolerance_m is that component's 1-sigma.");
  py::classh<quality::PlanSize>(diag, "PlanSize", "The smallest plan that meets a target sigma.")
      .def_readonly("reached", &quality::PlanSize::reached)
      .def_readonly("n_poses", &quality::PlanSize::n_poses)
      .def_readonly("plan", &quality::PlanSize::plan)
      .def_property_readonly("predicted", memberView(&quality::PlanSize::predicted),
                             py::return_value_policy::reference_internal);
  diag.def("poses_needed_for_sigma", unlockedFunction(&posesNeeded), py::arg("target"), py::arg("intrinsic_matrix"),
           py::arg("distortion_coefficients"), py::arg("image_size"), py::arg("robot_T_tcp"),
           py::arg("camera_T_target"), py::arg("hand_eye_guess"), py::arg("translation_mm"),
           py::arg("rotation_deg"), py::arg("max_rotation_deg") = 45.0, py::arg("max_translation_m") = 0.3,
           py::arg("robot_noise_m") = 2e-4, py::arg("robot_noise_deg") = 0.02, py::arg("corner_noise_px") = 0.2,
           py::arg("method") = "TSAI", py::arg("trials") = 200, py::arg("eye_to_hand") = false,
           py::arg("calibrate_intrinsics") = false, py::kw_only(), py::arg("progress") = py::none(),
           "The smallest plan of 6 to 60 poses whose predicted 1-sigma is within translation_mm and rotation_deg on "
           "every axis: a PlanSize with the plan and its prediction (reached=False, with the largest plan tried, "
           "when none is).");
}

}  // namespace vesk::bindings
