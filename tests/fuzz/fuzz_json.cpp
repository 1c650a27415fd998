// Arbitrary text as a result document; built once per loader.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "io/result_files.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
#if VESK_FUZZ_EYE_TO_HAND
    const vesk::io::EyeToHandResultRecord r = vesk::io::detail::parseEyeToHandResult(text);
    (void)cv::sum(r.robot_T_camera);
    (void)cv::sum(r.tcp_T_target);
#elif VESK_FUZZ_HAND_EYE
    const vesk::io::HandEyeResultRecord r = vesk::io::detail::parseHandEyeResult(text);
    for (const cv::Mat& m : r.tcp_T_camera_list) (void)cv::sum(m);
#else
    const vesk::io::MultiCameraCalibrationRecord r = vesk::io::detail::parseMultiCameraCalibration(text);
    for (const cv::Mat& m : r.intrinsic_matrices) (void)cv::sum(m);
    for (const cv::Mat& m : r.distortion_coefficients) (void)cv::sum(m);
#endif
  } catch (const std::exception&) {
  }
  return 0;
}
