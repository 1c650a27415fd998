#include "bindings/casters.hpp"
#include "bindings/registration.hpp"
#include "bindings/unlocked.hpp"

#include <opencv2/calib3d.hpp>

#include "calibration/rig/multi_camera.hpp"

namespace py = pybind11;

namespace vesk::bindings {

using calibration::IntrinsicOptions;
using calibration::MultiCameraCalibrator;
using calibration::MultiCameraResult;
using calibration::SubsetResult;
using calibration::TriangulationReport;

namespace {
constexpr const char* kRig = "MultiCameraCalibrator";
}  // namespace

void registerMultiCamera(py::module_& m) {
  m.attr("CALIB_FIX_INTRINSIC") = static_cast<int>(cv::CALIB_FIX_INTRINSIC);
  m.attr("CALIB_USE_INTRINSIC_GUESS") = static_cast<int>(cv::CALIB_USE_INTRINSIC_GUESS);

  py::classh<TriangulationReport>(m, "TriangulationReport",
                                  "Triangulation validation report for one synchronized frame.")
      .def_readonly("frame_index", &TriangulationReport::frame_index)
      .def_readonly("points_3d", &TriangulationReport::points_3d)
      .def_readonly("ids", &TriangulationReport::ids)
      .def_readonly("neighbor_distances_m", &TriangulationReport::neighbor_distances_m)
      .def_readonly("plane_thickness_m", &TriangulationReport::plane_thickness_m)
      .def_readonly("rms_per_camera", &TriangulationReport::rms_per_camera)
      .def_readonly("counts_per_camera", &TriangulationReport::counts_per_camera);

  py::classh<MultiCameraResult>(m, "MultiCameraResult", "Result of MultiCameraCalibrator.calibrate().")
      .def_readonly("ok", &MultiCameraResult::ok)
      .def_readonly("failure", &MultiCameraResult::failure)
      .def_readonly("refine_failure", &MultiCameraResult::refine_failure)
      .def_readonly("reference_index", &MultiCameraResult::reference_index)
      .def_readonly("reference_T_camera_list", &MultiCameraResult::reference_T_camera_list)
      .def_readonly("intrinsic_matrices", &MultiCameraResult::intrinsic_matrices)
      .def_readonly("distortion_coefficients", &MultiCameraResult::distortion_coefficients)
      .def_readonly("intrinsic_reprojection_errors", &MultiCameraResult::intrinsic_reprojection_errors)
      .def_readonly("pair_reprojection_errors", &MultiCameraResult::pair_reprojection_errors)
      .def_readonly("refined", &MultiCameraResult::refined)
      .def_readonly("reference_T_camera_uncertainty", &MultiCameraResult::reference_T_camera_uncertainty)
      .def_readonly("joint_rms", &MultiCameraResult::joint_rms)
      .def_readonly("joint_rms_per_camera", &MultiCameraResult::joint_rms_per_camera)
      .def_readonly("reached_through", &MultiCameraResult::reached_through)
      .def_readonly("rejected_views", &MultiCameraResult::rejected_views,
                    "(camera, frame) views left out as off the rig, by the pair solves (first) or the joint solve")
      .def_readonly("placement_failures", &MultiCameraResult::placement_failures,
                    "Per camera, why it was not placed ('' where it was).")
      .def_readonly("shared_frames", &MultiCameraResult::shared_frames,
                    "shared_frames[a][b]: frames cameras a and b both detected and kept.");

  py::classh<SubsetResult>(m, "SubsetResult", "Result of one entry of MultiCameraCalibrator.calibrate_subsets().")
      .def_readonly("subset", &SubsetResult::subset)
      .def_property_readonly("result", memberView(&SubsetResult::result), py::return_value_policy::reference_internal)
      .def_readonly("has_triangulation", &SubsetResult::has_triangulation)
      .def_property_readonly("triangulation", memberView(&SubsetResult::triangulation),
                             py::return_value_policy::reference_internal);

  py::classh<MultiCameraCalibrator>(m, "MultiCameraCalibrator",
                                    "Multi-camera extrinsic calibrator built on cv::stereoCalibrate.")
      .def(py::init<CalibrationTarget, int, int, IntrinsicOptions, int>(), py::arg("target"), py::arg("num_cameras"),
           py::arg("reference_index") = 0,
           py::arg_v("options", MultiCameraCalibrator::defaultOptions(), "MultiCameraCalibrator.default_options()"),
           py::arg("stereo_calibrate_flags") = static_cast<int>(cv::CALIB_FIX_INTRINSIC))
      .def_static("default_options", &MultiCameraCalibrator::defaultOptions)
      .def("calibrate", unlockedMethod(&MultiCameraCalibrator::calibrate, kRig), py::arg("image_lists"),
           py::arg_v("intrinsic_matrices", std::vector<cv::Mat>(), "[]"),
           py::arg_v("distortion_coefficients", std::vector<cv::Mat>(), "[]"),
           py::arg_v("output_path", py::str(""), "''"), py::arg("refine") = false, py::kw_only(),
           py::arg("progress") = py::none())
      .def("triangulate", unlockedMethod(&MultiCameraCalibrator::triangulate, kRig), py::arg("image_lists"),
           py::arg("frame_index") = 0, py::kw_only(), py::arg("progress") = py::none())
      .def("calibrate_subsets", unlockedMethod(&MultiCameraCalibrator::calibrateSubsets, kRig), py::arg("image_lists"),
           py::arg_v("subset_sizes", std::vector<int>{2, 3}, "[2, 3]"), py::arg("frame_index") = 0,
           py::kw_only(), py::arg("progress") = py::none())
      .def("format_results",
           lockedMethod<MultiCameraCalibrator>([](const MultiCameraCalibrator& c) { return c.formatResults(); }, kRig))
      .def("print_results",
           lockedMethod<MultiCameraCalibrator>([](const MultiCameraCalibrator& c) { c.printResults(); }, kRig))
      .def_property_readonly(
          "last_result",
          lockedMethod<MultiCameraCalibrator>([](const MultiCameraCalibrator& c) { return c.lastResult(); }, kRig))
      .def_property_readonly(
          "target", lockedMethod<MultiCameraCalibrator>(
              [](const MultiCameraCalibrator& c) { return c.target(); }, kRig))
      .def_property_readonly("num_cameras", &MultiCameraCalibrator::numCameras)
      .def_property_readonly("reference_index", &MultiCameraCalibrator::referenceIndex);
}

}  // namespace vesk::bindings
