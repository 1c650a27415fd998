#include "bindings/casters.hpp"
#include "bindings/registration.hpp"
#include "bindings/unlocked.hpp"

#include "calibration/intrinsic.hpp"

namespace py = pybind11;

namespace vesk::bindings {

using calibration::IntrinsicCalibrator;
using calibration::IntrinsicOptions;
using calibration::IntrinsicResult;
using calibration::TargetDetections;

namespace {
constexpr const char* kIntrinsic = "IntrinsicCalibrator";
}  // namespace

void registerIntrinsic(py::module_& m) {
  m.attr("TERM_CRITERIA_COUNT") = static_cast<int>(cv::TermCriteria::COUNT);
  m.attr("TERM_CRITERIA_MAX_ITER") = static_cast<int>(cv::TermCriteria::MAX_ITER);
  m.attr("TERM_CRITERIA_EPS") = static_cast<int>(cv::TermCriteria::EPS);

  py::classh<cv::TermCriteria>(m, "TermCriteria", "OpenCV solver termination criteria.")
      .def(py::init<int, int, double>(), py::arg("type"), py::arg("max_count"), py::arg("epsilon"))
      .def_readwrite("type", &cv::TermCriteria::type)
      .def_readwrite("max_count", &cv::TermCriteria::maxCount)
      .def_readwrite("epsilon", &cv::TermCriteria::epsilon);

  py::classh<IntrinsicOptions>(m, "IntrinsicOptions", "Tunables for intrinsic calibration.")
      .def(py::init<>())
      // a bound class member: reading gives a view that keeps the options alive
      .def_property("criteria", memberView(&IntrinsicOptions::criteria), memberSetter(&IntrinsicOptions::criteria),
                    py::return_value_policy::reference_internal)
      .def_readwrite("chessboard_corner_detector", &IntrinsicOptions::chessboard_corner_detector)
      .def_readwrite("chessboard_flags", &IntrinsicOptions::chessboard_flags)
      .def_readwrite("sub_pixel_detection_window_size", &IntrinsicOptions::sub_pixel_detection_window_size)
      .def_readwrite("sub_pixel_detection_zero_zone_size", &IntrinsicOptions::sub_pixel_detection_zero_zone_size)
      .def_readwrite("calibrate_camera_method", &IntrinsicOptions::calibrate_camera_method)
      .def_readwrite("calibrate_camera_flags", &IntrinsicOptions::calibrate_camera_flags)
      .def_readwrite("index_of_fixed_3d_point", &IntrinsicOptions::index_of_fixed_3d_point)
      .def_readwrite("intrinsic_matrix_guess", &IntrinsicOptions::intrinsic_matrix_guess)
      .def_readwrite("distortion_coefficients_guess", &IntrinsicOptions::distortion_coefficients_guess)
      .def_readwrite("per_view_error_threshold", &IntrinsicOptions::per_view_error_threshold);

  py::classh<TargetDetections>(m, "TargetDetections", "Per-frame target detections for a batch of images.")
      .def_readonly("successful_indices", &TargetDetections::successful_indices)
      .def_readonly("image_points", &TargetDetections::image_points)
      .def_readonly("object_points", &TargetDetections::object_points)
      .def_readonly("point_ids", &TargetDetections::point_ids)
      .def_readonly("annotated_images", &TargetDetections::annotated_images);

  py::classh<IntrinsicResult>(m, "IntrinsicResult", "Result of IntrinsicCalibrator.calibrate().")
      .def_readonly("ok", &IntrinsicResult::ok)
      .def_readonly("failure", &IntrinsicResult::failure)
      .def_readonly("intrinsic_matrix", &IntrinsicResult::intrinsic_matrix)
      .def_readonly("distortion_coefficients", &IntrinsicResult::distortion_coefficients)
      .def_readonly("reprojection_error", &IntrinsicResult::reprojection_error)
      .def_readonly("successful_indices", &IntrinsicResult::successful_indices)
      .def_readonly("image_points", &IntrinsicResult::image_points)
      .def_readonly("low_view_error_indices", &IntrinsicResult::low_view_error_indices)
      .def_readonly("per_view_errors", &IntrinsicResult::per_view_errors)
      .def_readonly("std_deviations_intrinsics", &IntrinsicResult::std_deviations_intrinsics)
      .def_readonly("std_deviations_extrinsics", &IntrinsicResult::std_deviations_extrinsics);

  py::classh<IntrinsicCalibrator>(m, "IntrinsicCalibrator",
                                  "Intrinsic camera calibrator for chessboard, ChArUco and ArUco targets.")
      .def(py::init<CalibrationTarget, IntrinsicOptions>(), py::arg("target"),
           py::arg_v("options", IntrinsicOptions(), "IntrinsicOptions()"))
      .def("find_corners", unlockedMethod(&IntrinsicCalibrator::findCorners, kIntrinsic), py::arg("images"),
           py::kw_only(), py::arg("progress") = py::none())
      .def("calibrate", unlockedMethod(&IntrinsicCalibrator::calibrate, kIntrinsic), py::arg("images"),
           py::kw_only(), py::arg("progress") = py::none())
      .def("corner_images",
           lockedMethod<IntrinsicCalibrator>([](const IntrinsicCalibrator& c) { return c.cornerImages(); }, kIntrinsic))
      .def("detections",
           lockedMethod<IntrinsicCalibrator>([](const IntrinsicCalibrator& c) { return c.detections(); }, kIntrinsic))
      .def("target", lockedMethod<IntrinsicCalibrator>(
          [](const IntrinsicCalibrator& c) { return c.target(); }, kIntrinsic))
      .def("options",
           lockedMethod<IntrinsicCalibrator>([](const IntrinsicCalibrator& c) { return c.options(); }, kIntrinsic));
}

}  // namespace vesk::bindings
