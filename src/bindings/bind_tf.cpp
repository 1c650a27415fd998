#include "bindings/casters.hpp"
#include "bindings/registration.hpp"

#include "core/transforms.hpp"

namespace py = pybind11;

namespace vesk::bindings {

void registerTf(py::module_& tf) {
  tf.def("pose_to_transformation_matrix", &vesk::tf::poseToTransformationMatrix, py::arg("pose_xyzrpy_deg"),
         "Convert [x, y, z, rx, ry, rz] (degrees, extrinsic xyz Euler) to a 4x4 matrix.");
  tf.def("transformation_matrix_to_pose", &vesk::tf::transformationMatrixToPose, py::arg("transformation"),
         "Convert a 4x4 transformation matrix to [x, y, z, rx, ry, rz] (degrees).");
  tf.def("average_pose", &vesk::tf::averagePose, py::arg("poses"),
         "Mean SE(3) pose: average translations, project the mean rotation onto SO(3) via SVD.");
}

}  // namespace vesk::bindings
