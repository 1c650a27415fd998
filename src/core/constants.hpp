#pragma once

#include <cstddef>

namespace vesk {

constexpr double kPi = 3.141592653589793;

// A ChArUco view needs this many corners, an ArUco view this many markers.
constexpr std::size_t kMinPointsPerView = 4;
// Every hand-eye and stereo solve needs this many frames.
constexpr std::size_t kMinFramesPerSolve = 4;
// A ChArUco frame joins a stereo pair only when both cameras share this many corner ids.
constexpr std::size_t kMinSharedCorners = 15;

}  // namespace vesk
