#include "bindings/casters.hpp"
#include "bindings/registration.hpp"

#include "io/hand_eye_dataset.hpp"
#include "io/multi_camera_dataset.hpp"
#include "io/result_files.hpp"

namespace py = pybind11;

namespace vesk::bindings {

void registerIo(py::module_& io) {
  using vesk::io::HandEyeResultRecord;
  using vesk::io::MultiCameraCalibrationRecord;

  io.def("save_hand_eye_dataset", &vesk::io::saveHandEyeDataset,
         py::call_guard<py::gil_scoped_release>(), py::arg("data_dir"), py::arg("image_list"),
         py::arg("robot_T_tcp_list"), py::arg_v("annotated_images", std::vector<cv::Mat>(), "[]"));
  io.def("load_hand_eye_dataset", &vesk::io::loadHandEyeDataset,
         py::call_guard<py::gil_scoped_release>(), py::arg("data_dir"),
         py::arg("image_format") = "png");
  io.def("load_images", &vesk::io::loadImages, py::call_guard<py::gil_scoped_release>(), py::arg("paths"),
         "Read image files as 8-bit BGR arrays, in the order given (RuntimeError naming a file that cannot be "
         "read).");
  io.def("save_pose_plan", &vesk::io::savePosePlan, py::call_guard<py::gil_scoped_release>(), py::arg("output_path"),
         py::arg("robot_T_tcp_list"),
         "Save a capture plan (the flange poses to record) in calibration_data.npz's format, entry "
         "'robot_T_tcp_list' of shape (N, 4, 4), as output_path or as 'pose_plan.npz' inside a folder. Returns the "
         "path written.");
  io.def("load_pose_plan", &vesk::io::loadPosePlan, py::call_guard<py::gil_scoped_release>(), py::arg("input_path"),
         "The flange poses of a plan file (or of 'pose_plan.npz' in a folder).");
  io.def(
      "load_hand_eye_pairs",
      [](const std::filesystem::path& dataDir, const std::string& imageFormat) {
        vesk::io::HandEyePairs p;
        {
          const py::gil_scoped_release unlock;
          p = vesk::io::loadHandEyePairs(dataDir, imageFormat);
        }
        return py::make_tuple(std::move(p.images), std::move(p.robot_T_tcp_list), std::move(p.capture_indices));
      },
      py::arg("data_dir"), py::arg("image_format") = "png",
      "Load a hand-eye dataset folder as aligned pairs: (images, robot_T_tcp_list, capture_indices), where a "
      "capture whose image file is missing is left out with its pose.");

  io.def("next_multi_camera_capture_index", &vesk::io::nextMultiCameraCaptureIndex,
         py::call_guard<py::gil_scoped_release>(), py::arg("data_dir"),
         py::arg("num_cameras"));
  io.def("save_multi_camera_capture", &vesk::io::saveMultiCameraCapture,
         py::call_guard<py::gil_scoped_release>(), py::arg("data_dir"), py::arg("frames"),
         py::arg("capture_index"), py::arg_v("annotated_images", std::vector<cv::Mat>(), "[]"));
  io.def("save_multi_camera_robot_poses", &vesk::io::saveMultiCameraRobotPoses,
         py::call_guard<py::gil_scoped_release>(), py::arg("data_dir"),
         py::arg("robot_T_tcp_list"), py::arg("num_cameras"));
  io.def("load_multi_camera_robot_poses", &vesk::io::loadMultiCameraRobotPoses,
         py::call_guard<py::gil_scoped_release>(), py::arg("data_dir"));
  io.def("load_multi_camera_dataset", &vesk::io::loadMultiCameraDataset,
         py::call_guard<py::gil_scoped_release>(), py::arg("data_dir"),
         py::arg("num_cameras"));

  py::classh<MultiCameraCalibrationRecord>(io, "MultiCameraCalibrationRecord")
      .def(py::init<>())
      .def_readwrite("reference_index", &MultiCameraCalibrationRecord::reference_index)
      .def_readwrite("num_cameras", &MultiCameraCalibrationRecord::num_cameras)
      .def_readwrite("intrinsic_matrices", &MultiCameraCalibrationRecord::intrinsic_matrices)
      .def_readwrite("distortion_coefficients", &MultiCameraCalibrationRecord::distortion_coefficients)
      .def_readwrite("reference_T_camera_list", &MultiCameraCalibrationRecord::reference_T_camera_list)
      .def_readwrite("intrinsic_reprojection_errors", &MultiCameraCalibrationRecord::intrinsic_reprojection_errors)
      .def_readwrite("pair_reprojection_errors", &MultiCameraCalibrationRecord::pair_reprojection_errors);
  io.def("save_multi_camera_calibration", &vesk::io::saveMultiCameraCalibration,
         py::call_guard<py::gil_scoped_release>(), py::arg("output_path"),
         py::arg("record"));
  io.def("load_multi_camera_calibration", &vesk::io::loadMultiCameraCalibration,
         py::call_guard<py::gil_scoped_release>(), py::arg("input_path"));

  py::classh<HandEyeResultRecord>(io, "HandEyeResultRecord")
      .def(py::init<>())
      .def_readwrite("reference_index", &HandEyeResultRecord::reference_index)
      .def_readwrite("num_cameras", &HandEyeResultRecord::num_cameras)
      .def_readwrite("method", &HandEyeResultRecord::method)
      .def_readwrite("num_frames_used", &HandEyeResultRecord::num_frames_used)
      .def_readwrite("num_frames_total", &HandEyeResultRecord::num_frames_total)
      .def_readwrite("tcp_T_camera_list", &HandEyeResultRecord::tcp_T_camera_list);
  io.def("save_hand_eye_result", &vesk::io::saveHandEyeResult,
         py::call_guard<py::gil_scoped_release>(), py::arg("output_path"), py::arg("record"));
  io.def("load_hand_eye_result", &vesk::io::loadHandEyeResult,
         py::call_guard<py::gil_scoped_release>(), py::arg("input_path"));

  using vesk::io::EyeToHandResultRecord;
  py::classh<EyeToHandResultRecord>(io, "EyeToHandResultRecord",
                                    "Stored form of an eye-to-hand result (\"eye_to_hand.json\").")
      .def(py::init<>())
      .def_readwrite("method", &EyeToHandResultRecord::method)
      .def_readwrite("num_frames_used", &EyeToHandResultRecord::num_frames_used)
      .def_readwrite("num_frames_total", &EyeToHandResultRecord::num_frames_total)
      .def_readwrite("robot_T_camera", &EyeToHandResultRecord::robot_T_camera)
      .def_readwrite("tcp_T_target", &EyeToHandResultRecord::tcp_T_target);
  io.def("save_eye_to_hand_result", &vesk::io::saveEyeToHandResult,
         py::call_guard<py::gil_scoped_release>(), py::arg("output_path"), py::arg("record"),
         "Write the record as eye_to_hand.json (inside output_path when it is a folder); returns the path written.");
  io.def("load_eye_to_hand_result", &vesk::io::loadEyeToHandResult,
         py::call_guard<py::gil_scoped_release>(), py::arg("input_path"),
         "Read eye_to_hand.json (a file, or a folder holding one).");
}

}  // namespace vesk::bindings
