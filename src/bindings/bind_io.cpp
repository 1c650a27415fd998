#include "bindings/casters.hpp"
#include "bindings/registration.hpp"

#include "io/hand_eye_dataset.hpp"

namespace py = pybind11;

namespace vesk::bindings {

void registerIo(py::module_& io) {
  io.def("save_hand_eye_dataset", &vesk::io::saveHandEyeDataset, py::arg("data_dir"), py::arg("image_list"),
         py::arg("robot_T_tcp_list"), py::arg_v("annotated_images", std::vector<cv::Mat>(), "[]"));
  io.def("load_hand_eye_dataset", &vesk::io::loadHandEyeDataset, py::arg("data_dir"),
         py::arg("image_format") = "png");
}

}  // namespace vesk::bindings
