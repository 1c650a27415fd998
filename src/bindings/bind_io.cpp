#include "bindings/casters.hpp"
#include "bindings/registration.hpp"

#include "calibration/hand_eye/hand_eye_joint.hpp"
#include "io/hand_eye_dataset.hpp"
#include "io/multi_camera_dataset.hpp"
#include "io/result_files.hpp"

namespace py = pybind11;

namespace vesk::bindings {

namespace {

using calibration::NoiseEstimate;
using vesk::io::RecheckFields;

// A covariance that may be absent: None in Python for an empty matrix.
template <class R>
void defineCovariance(py::classh<R>& cls, const char* name, cv::Mat R::*member) {
  cls.def_property(
      name, [member](const R& r) -> std::optional<cv::Mat> { return (r.*member).empty() ? std::nullopt : std::optional(r.*member); },
      [member](R& r, const std::optional<cv::Mat>& c) { r.*member = c ? *c : cv::Mat(); });
}

template <class R, class M>
void defineRecheckField(py::classh<R>& cls, const char* name, M RecheckFields::*member) {
  cls.def_property(
      name, [member](const R& r) { return r.recheck.*member; },
      [member](R& r, const M& value) { r.recheck.*member = value; });
}

// The re-check's fields, flat on the record; each is None where the file has no key for it.
template <class R>
void defineRecheckFields(py::classh<R>& cls, const char* fixedName) {
  defineRecheckField(cls, "intrinsic_matrix", &RecheckFields::intrinsic_matrix);
  defineRecheckField(cls, "distortion_coefficients", &RecheckFields::distortion_coefficients);
  defineRecheckField(cls, "image_size", &RecheckFields::image_size);
  defineRecheckField(cls, "board", &RecheckFields::board);
  defineRecheckField(cls, (std::string(fixedName) + "_covariance").c_str(), &RecheckFields::fixed_pose_covariance);
  defineRecheckField(cls, "vesk_version", &RecheckFields::vesk_version);
  defineRecheckField(cls, "created_utc", &RecheckFields::created_utc);
  cls.def_property(
      "noise",
      [](const R& r) -> std::optional<NoiseEstimate> {
        if (!r.recheck.noise) return std::nullopt;
        return NoiseEstimate{r.recheck.noise->pixel_px, r.recheck.noise->robot_translation_m,
                             r.recheck.noise->robot_rotation_deg};
      },
      [](R& r, const std::optional<NoiseEstimate>& n) {
        r.recheck.noise.reset();
        if (n) r.recheck.noise = vesk::io::StoredNoise{n->pixel_px, n->robot_translation_m, n->robot_rotation_deg};
      });
}

}  // namespace

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

  py::classh<HandEyeResultRecord> handEyeRecord(io, "HandEyeResultRecord");
  handEyeRecord.def(py::init<>())
      .def_readwrite("reference_index", &HandEyeResultRecord::reference_index)
      .def_readwrite("num_cameras", &HandEyeResultRecord::num_cameras)
      .def_readwrite("method", &HandEyeResultRecord::method)
      .def_readwrite("num_frames_used", &HandEyeResultRecord::num_frames_used)
      .def_readwrite("num_frames_total", &HandEyeResultRecord::num_frames_total)
      .def_readwrite("tcp_T_camera_list", &HandEyeResultRecord::tcp_T_camera_list);
  defineCovariance(handEyeRecord, "tcp_T_camera_covariance", &HandEyeResultRecord::tcp_T_camera_covariance);
  handEyeRecord.def_readwrite("robot_T_target", &HandEyeResultRecord::robot_T_target);
  defineRecheckFields(handEyeRecord, "robot_T_target");
  io.def("save_hand_eye_result", &vesk::io::saveHandEyeResult,
         py::call_guard<py::gil_scoped_release>(), py::arg("output_path"), py::arg("record"));
  io.def("load_hand_eye_result", &vesk::io::loadHandEyeResult,
         py::call_guard<py::gil_scoped_release>(), py::arg("input_path"));

  using vesk::io::EyeToHandResultRecord;
  py::classh<EyeToHandResultRecord> eyeToHandRecord(io, "EyeToHandResultRecord",
                                                    "Stored form of an eye-to-hand result (\"eye_to_hand.json\").");
  eyeToHandRecord.def(py::init<>())
      .def_readwrite("method", &EyeToHandResultRecord::method)
      .def_readwrite("num_frames_used", &EyeToHandResultRecord::num_frames_used)
      .def_readwrite("num_frames_total", &EyeToHandResultRecord::num_frames_total)
      .def_readwrite("robot_T_camera", &EyeToHandResultRecord::robot_T_camera)
      .def_readwrite("tcp_T_target", &EyeToHandResultRecord::tcp_T_target);
  defineCovariance(eyeToHandRecord, "robot_T_camera_covariance", &EyeToHandResultRecord::robot_T_camera_covariance);
  defineRecheckFields(eyeToHandRecord, "tcp_T_target");
  io.def("save_eye_to_hand_result", &vesk::io::saveEyeToHandResult,
         py::call_guard<py::gil_scoped_release>(), py::arg("output_path"), py::arg("record"),
         "Write the record as eye_to_hand.json (inside output_path when it is a folder); returns the path written.");
  io.def("load_eye_to_hand_result", &vesk::io::loadEyeToHandResult,
         py::call_guard<py::gil_scoped_release>(), py::arg("input_path"),
         "Read eye_to_hand.json (a file, or a folder holding one).");
}

}  // namespace vesk::bindings
