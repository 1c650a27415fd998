#include "bindings/casters.hpp"
#include "bindings/registration.hpp"
#include "bindings/unlocked.hpp"

#include "quality/benchmark.hpp"

namespace py = pybind11;

namespace vesk::bindings {

using quality::BenchmarkResult;
using quality::CalibrationBenchmark;

void registerBenchmark(py::module_& m) {
  py::classh<BenchmarkResult>(m, "BenchmarkResult", "One backend's benchmark outcome.")
      .def_readonly("backend_name", &BenchmarkResult::backend_name)
      .def_readonly("reprojection_error", &BenchmarkResult::reprojection_error)
      .def_readonly("held_out_reprojection_error", &BenchmarkResult::held_out_reprojection_error)
      .def_readonly("hand_eye_roundtrip_error", &BenchmarkResult::hand_eye_roundtrip_error)
      .def_readonly("camera_matrix", &BenchmarkResult::camera_matrix)
      .def_readonly("dist_coeffs", &BenchmarkResult::dist_coeffs)
      .def_readonly("timestamp", &BenchmarkResult::timestamp)
      .def_readonly("image_count", &BenchmarkResult::image_count);

  py::classh<CalibrationBenchmark>(m, "CalibrationBenchmark",
                                   "Cross-validation + optional hand-eye round-trip benchmark.")
      .def(py::init<>())
      .def("run", unlockedStateless(&CalibrationBenchmark::run), py::arg("images"), py::arg("target"),
           py::arg("options"), py::arg_v("robot_poses", std::vector<cv::Mat>(), "[]"),
           py::arg("eye_in_hand_options") = py::none(), py::arg("backend_name") = "OpenCV", py::arg("n_splits") = 5,
           py::arg("seed") = 0, py::arg("eye_to_hand") = false, py::kw_only(), py::arg("progress") = py::none())
      .def("cross_validate", unlockedStateless(&CalibrationBenchmark::crossValidate), py::arg("images"),
           py::arg("target"), py::arg("options"), py::arg("n_splits") = 5, py::arg("seed") = 0,
           py::kw_only(), py::arg("progress") = py::none())
      .def("hand_eye_roundtrip", &CalibrationBenchmark::handEyeRoundtrip, py::arg("images"), py::arg("robot_poses"),
           py::arg("tcp_T_camera"), py::arg("intrinsic_matrix"), py::arg("distortion_coefficients"),
           py::arg("target"), py::arg("camera_T_target_list"), py::call_guard<py::gil_scoped_release>())
      .def("eye_to_hand_roundtrip", &CalibrationBenchmark::eyeToHandRoundtrip, py::call_guard<py::gil_scoped_release>(),
           py::arg("images"),
           py::arg("robot_poses"), py::arg("robot_T_camera"), py::arg("intrinsic_matrix"),
           py::arg("distortion_coefficients"), py::arg("target"), py::arg("camera_T_target_list"),
           "Round trip of a fixed camera (board on the flange): the mean reprojection error, in pixels, of the board "
           "predicted from each robot pose through robot_T_camera and the board's mean pose on the flange; inf when "
           "it cannot be computed.")
      .def_static("format_results", &CalibrationBenchmark::formatResults, py::arg("results"))
      .def_static("save_json", &CalibrationBenchmark::saveJson, py::arg("results"), py::arg("path"));
}

}  // namespace vesk::bindings
