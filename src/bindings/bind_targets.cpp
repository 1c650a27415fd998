#include "bindings/casters.hpp"
#include "bindings/registration.hpp"

#include "targets/targets.hpp"

namespace py = pybind11;

namespace vesk::bindings {

void registerTargets(py::module_& m) {
  m.def(
      "aruco_dictionary_id_map", [] { return arucoDictionaryIdMap(); },
      "Map of predefined ArUco dictionary names (\"DICT_4X4_50\", ...) to their OpenCV ids.");
  m.def("aruco_dictionary_id_from_name", &arucoDictionaryIdFromName, py::arg("name"),
        "Resolve a dictionary name (e.g. \"DICT_4X4_50\") to its OpenCV id.");

  py::classh<ChessboardTarget>(m, "ChessboardTarget", "Classic chessboard target: inner-corner grid + square size.")
      .def(py::init([](cv::Size size, double squareSize) { return ChessboardTarget{size, squareSize}; }),
           py::arg("size"), py::arg("square_size"),
           "size: (cols, rows) of inner corners. square_size: edge length in meters.")
      .def_readwrite("size", &ChessboardTarget::size)
      .def_readwrite("square_size", &ChessboardTarget::square_size)
      .def("object_points", &ChessboardTarget::objectPoints,
           "Board-frame 3D coordinates of all inner corners, (N, 3) float32.")
      .def("__repr__", [](const ChessboardTarget& t) { return toRepr(t); });

  py::classh<CharucoTarget>(m, "CharucoTarget", "ChArUco target: chessboard + embedded ArUco markers.")
      .def(py::init<int, int, double, double, int>(), py::arg("squares_x"), py::arg("squares_y"),
           py::arg("square_length"), py::arg("marker_length"), py::arg("aruco_dict_id") = 3)
      .def(py::init<int, int, double, double, const std::string&>(), py::arg("squares_x"), py::arg("squares_y"),
           py::arg("square_length"), py::arg("marker_length"), py::arg("aruco_dict_id"))
      .def_readwrite("squares_x", &CharucoTarget::squares_x)
      .def_readwrite("squares_y", &CharucoTarget::squares_y)
      .def_readwrite("square_length", &CharucoTarget::square_length)
      .def_readwrite("marker_length", &CharucoTarget::marker_length)
      .def_readwrite("aruco_dict_id", &CharucoTarget::aruco_dict_id)
      .def(
          "detect_and_annotate",
          [](const CharucoTarget& t, const cv::Mat& image) {
            const CharucoTarget target = t;  // Python may change the original while this runs
            const py::gil_scoped_release unlock;
            return target.detectAndAnnotate(image);
          },
          py::arg("image"),
           "Detect ChArUco corners on `image` and draw them on a copy. "
           "Returns (annotated_image_bgr, num_charuco_corners).")
      .def("__repr__", [](const CharucoTarget& t) { return toRepr(t); });

  py::classh<ArucoTarget>(m, "ArucoTarget", "ArUco grid-board target.")
      .def(py::init<cv::Size, double, double, int>(), py::arg("board_size"), py::arg("marker_length"),
           py::arg("marker_separation"), py::arg("aruco_dict_id") = 3)
      .def(py::init<cv::Size, double, double, const std::string&>(), py::arg("board_size"), py::arg("marker_length"),
           py::arg("marker_separation"), py::arg("aruco_dict_id"))
      .def_readwrite("board_size", &ArucoTarget::board_size)
      .def_readwrite("marker_length", &ArucoTarget::marker_length)
      .def_readwrite("marker_separation", &ArucoTarget::marker_separation)
      .def_readwrite("aruco_dict_id", &ArucoTarget::aruco_dict_id)
      .def("__repr__", [](const ArucoTarget& t) { return toRepr(t); });
}

}  // namespace vesk::bindings
