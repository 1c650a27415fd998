#include "bindings/casters.hpp"
#include "bindings/registration.hpp"
#include "bindings/unlocked.hpp"

#include "calibration/hand_eye_check.hpp"
#include "core/transforms.hpp"
#include "quality/method_comparison.hpp"
#include "geometry/rotation_variety.hpp"

namespace py = pybind11;

namespace vesk::bindings {

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
      "board that cannot have stood still (on the flange, for a fixed camera), and outlier frames. Returns a list "
      "of HandEyeDataFinding, empty for clean data.");
  diag.def("format_method_comparison", &quality::formatMethodComparison, py::arg("method_results"),
           py::arg("consensus_threshold_deg") = 1.5);
}

}  // namespace vesk::bindings
