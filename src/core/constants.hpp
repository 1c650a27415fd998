#pragma once

#include <cstddef>
#include <limits>

namespace vesk {

constexpr double kPi = 3.141592653589793;
constexpr double kRadPerDeg = kPi / 180.0;
constexpr double kDegPerRad = 180.0 / kPi;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

constexpr double toDegrees(double rad) { return rad * 180.0 / kPi; }
constexpr double toRadians(double deg) { return deg * kPi / 180.0; }

// A ChArUco view needs this many corners, an ArUco view this many markers.
constexpr std::size_t kMinPointsPerView = 4;
// Every hand-eye and stereo solve needs this many frames.
constexpr std::size_t kMinFramesPerSolve = 4;
// A ChArUco frame joins a stereo pair only when both cameras share this many corner ids.
constexpr std::size_t kMinSharedCorners = 15;

}  // namespace vesk
