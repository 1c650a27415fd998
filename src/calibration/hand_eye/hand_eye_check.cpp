#include "calibration/hand_eye/hand_eye_check.hpp"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include <opencv2/core/utils/logger.hpp>

#include "calibration/hand_eye/board_scale.hpp"
#include "calibration/hand_eye/hand_eye_four_axis.hpp"
#include "calibration/hand_eye/rotation_readings.hpp"
#include "core/matrix_text.hpp"
#include "core/constants.hpp"
#include "core/statistics.hpp"
#include "core/threads.hpp"
#include "core/transforms.hpp"

namespace vesk::calibration {

namespace {

using detail::fixedText;

using detail::Pose;
using detail::rotationOf;
using detail::translationOf;


// An alternative reading of the data counts as evidence only when it fits this many times better.
constexpr double kEvidenceRatio = 5.0;
// Rotation-angle mismatch (deg) below which a pairing is not questioned: robot and camera noise
// alone give about 0.1 degree.
constexpr double kPairingFloorDeg = 0.5;
// A board whose position scatters by less than this share of the viewing distance is never
// blamed on units or direction.
constexpr double kReadingFloor = 0.01;
// The fixed board may not move by more than this share of the viewing distance (RMS).
constexpr double kImplausibleShare = 0.05;
// Outlier frames: a deviation relative to the frame's viewing distance beyond the median by this
// many robust sigmas, three times the median, and this share.
constexpr double kOutlierSigmas = 6.0;
constexpr double kOutlierShare = 0.005;
// Pairs of frames compared for the pairing: each frame with the next few.
constexpr std::size_t kPairWindow = 3;
constexpr int kMaxConstantShift = 3;
constexpr std::size_t kMaxJackknifeGroups = 20;
// OpenCV's TSAI keeps a pair of captures when 2 sin(angle / 2) of both rotations lies in this range.
constexpr double kTsaiMinChord = 0.3;
constexpr double kTsaiMaxChord = 1.7;
// A solved rotation fails the motions when they disagree by more than this share of the motions'
// own angle, and this many degrees: a right rotation leaves only the robot's and the camera's noise,
// about 0.1 degree whatever the motions' size; a wrong one leaves a share of the motions.
constexpr double kMisfitShare = 0.35;
constexpr double kMisfitFloorDeg = 0.3;
// An implausible scatter with no flange motion larger than this is put down to the motions' size.
constexpr double kSmallMotionDeg = 15.0;
// A capture split into two sessions needs this many frames on each side, and an F statistic above
// kSessionF (clean series of 12-20 frames reach about 7, remounts of 10-40 mm 17 and more).
constexpr std::size_t kMinSessionFrames = 4;
constexpr double kSessionF = 12.0;

std::string frameList(const std::vector<int>& frames) {
  std::string s;
  for (std::size_t i = 0; i < frames.size(); ++i) s += (i ? ", " : "") + std::to_string(frames[i]);
  return s;
}

// The methods the data check tries, in order of preference at equal fit.
constexpr cv::HandEyeCalibrationMethod kCheckMethods[] = {cv::CALIB_HAND_EYE_PARK, cv::CALIB_HAND_EYE_TSAI,
                                                           cv::CALIB_HAND_EYE_HORAUD,
                                                           cv::CALIB_HAND_EYE_DANIILIDIS};

std::vector<double> deviations(const std::vector<Pose>& robots, const std::vector<Pose>& cams, const Pose& X) {
  std::vector<cv::Vec3d> positions;
  cv::Vec3d mean(0, 0, 0);
  for (std::size_t i = 0; i < robots.size(); ++i) {
    positions.push_back(translationOf(robots[i] * X * cams[i]));
    mean += positions.back();
  }
  mean *= 1.0 / static_cast<double>(positions.size());
  std::vector<double> out;
  for (const cv::Vec3d& p : positions) out.push_back(cv::norm(p - mean));
  return out;
}

double rms(const std::vector<double>& v) {
  double sum = 0.0;
  for (double x : v) sum += x * x;
  return v.empty() ? kNaN : std::sqrt(sum / static_cast<double>(v.size()));
}

// The solution of whichever method fits these motions best (the board's position scatters least),
// with that scatter; nothing when none solves them.
std::optional<Pose> bestSolve(const std::vector<Pose>& robots, const std::vector<Pose>& cams, double* scatter) {
  std::optional<Pose> best;
  double bestScatter = kInf;
  for (cv::HandEyeCalibrationMethod method : kCheckMethods) {
    const std::optional<Pose> X = solveClosedForm(robots, cams, method, "", false).hand_eye;
    if (!X) continue;
    const double s = rms(deviations(robots, cams, *X));
    if (std::isfinite(s) && s < bestScatter) {
      bestScatter = s;
      best = X;
    }
  }
  if (scatter != nullptr) *scatter = bestScatter;
  return best;
}

// RMS scatter of the board's position with the best solution for this reading of the robot poses.
double readingScatter(const std::vector<Pose>& robots, const std::vector<Pose>& cams) {
  double s = kInf;
  bestSolve(robots, cams, &s);
  return s;
}

// A pairing: frame j with robot pose p, for each (j, p).
struct Pairing {
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  std::string description;
  std::vector<int> affected;
};

// Mean difference (deg) between the rotation angles of the flange motions and of the camera
// motions over nearby pairs of frames. The two are equal for a correct pairing whatever the mount,
// the units or the direction of the robot poses, so this judges the pairing alone.
double pairingMismatchDeg(const Pairing& pairing, const std::vector<cv::Matx33d>& robotR,
                          const std::vector<cv::Matx33d>& camR) {
  // a flange motion is robot_i^T robot_j, a camera motion camera_i camera_j^T
  std::vector<cv::Matx33d> flange, camera;
  for (const auto& [frame, robot] : pairing.pairs) {
    flange.push_back(robotR[robot].t());
    camera.push_back(camR[frame]);
  }
  return detail::motionAngleMismatchDeg(flange, camera, kPairWindow);
}

std::vector<Pairing> alternativePairings(const std::vector<int>& index, std::size_t robotCount) {
  std::vector<Pairing> out;
  const auto inRange = [&](long p) { return p >= 0 && p < static_cast<long>(robotCount); };
  for (int s = -kMaxConstantShift; s <= kMaxConstantShift; ++s) {
    if (s == 0) continue;
    Pairing alt;
    for (std::size_t j = 0; j < index.size(); ++j) {
      const long p = index[j] + s;
      if (inRange(p)) alt.pairs.emplace_back(j, static_cast<std::size_t>(p));
      alt.affected.push_back(static_cast<int>(j));
    }
    alt.description = "every image belongs to the robot pose " + std::to_string(std::abs(s)) +
                      (std::abs(s) == 1 ? " place " : " places ") + (s > 0 ? "later" : "earlier") + " in the list";
    out.push_back(std::move(alt));
  }
  // A file missing from one capture on: later images sit one place early (an image missing) or one
  // place late (a pose missing) against their poses.
  for (std::size_t k = 1; k < index.size(); ++k) {
    const int from = index[k];
    if (from == index[k - 1]) continue;
    Pairing early, late;
    for (std::size_t j = 0; j < index.size(); ++j) {
      const bool after = index[j] >= from;
      if (after) {
        early.affected.push_back(static_cast<int>(j));
        late.affected.push_back(static_cast<int>(j));
      }
      const long pe = index[j] + (after ? 1 : 0);
      if (inRange(pe)) early.pairs.emplace_back(j, static_cast<std::size_t>(pe));
      if (index[j] == from) continue;  // its pose is the one that is missing
      const long pl = index[j] - (index[j] > from ? 1 : 0);
      if (inRange(pl)) late.pairs.emplace_back(j, static_cast<std::size_t>(pl));
    }
    early.description = "from frame " + std::to_string(k) + " on, every image belongs to the next robot pose";
    late.description = "frame " + std::to_string(k) + " has no robot pose and every later image belongs to the previous one";
    out.push_back(std::move(early));
    out.push_back(std::move(late));
  }
  // Two images swapped: each belongs to the other's robot pose.
  for (std::size_t a = 0; a < index.size(); ++a) {
    for (std::size_t b = a + 1; b < index.size(); ++b) {
      Pairing swap;
      for (std::size_t j = 0; j < index.size(); ++j) {
        const std::size_t other = j == a ? b : j == b ? a : j;
        swap.pairs.emplace_back(j, static_cast<std::size_t>(index[other]));
      }
      swap.affected = {static_cast<int>(a), static_cast<int>(b)};
      swap.description = "frames " + std::to_string(a) + " and " + std::to_string(b) +
                         " are swapped: each image belongs to the other's robot pose";
      out.push_back(std::move(swap));
    }
  }
  return out;
}

std::optional<HandEyeDataFinding> pairingFinding(const std::vector<Pose>& robotPoses, const std::vector<int>& index,
                                                 const std::vector<Pose>& cams) {
  std::vector<cv::Matx33d> robotR, camR;
  for (const Pose& p : robotPoses) robotR.push_back(rotationOf(p));
  for (const Pose& p : cams) camR.push_back(rotationOf(p));
  Pairing given;
  for (std::size_t j = 0; j < index.size(); ++j) given.pairs.emplace_back(j, static_cast<std::size_t>(index[j]));
  const double givenCost = pairingMismatchDeg(given, robotR, camR);
  if (!(givenCost > kPairingFloorDeg)) return std::nullopt;

  const Pairing* best = nullptr;
  double bestCost = kInf;
  const std::vector<Pairing> alternatives = alternativePairings(index, robotPoses.size());
  for (const Pairing& alt : alternatives) {
    if (alt.pairs.size() < kMinFramesPerSolve) continue;
    const double cost = pairingMismatchDeg(alt, robotR, camR);
    if (cost < bestCost) {
      bestCost = cost;
      best = &alt;
    }
  }
  // the better pairing must also fit as a correct one does
  if (best == nullptr || !(bestCost * kEvidenceRatio < givenCost) || !(bestCost < 2.0 * kPairingFloorDeg)) {
    return std::nullopt;
  }
  return HandEyeDataFinding{
      "images_and_poses_out_of_step",
      "Images and robot poses are out of step: " + best->description +
          " (flange and camera rotations disagree by " + fixedText(givenCost, 2) + " deg on average as paired, by " +
          fixedText(bestCost, 2) + " deg so paired); pair each image with the pose recorded with it, for example with "
          "io.load_hand_eye_pairs for a folder with missing files.",
      best->affected};
}

// The robot poses as the solve takes them: a fixed camera is the same problem with them inverted.
std::vector<Pose> solvedAs(std::vector<Pose> robots, bool eyeToHand) {
  if (eyeToHand) {
    for (Pose& r : robots) r = detail::inversePose(r);
  }
  return robots;
}

std::vector<int> allFrames(std::size_t n) {
  std::vector<int> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<int>(i);
  return v;
}

// `given`: the scatter of the poses as they are, readingScatter's value for them.
std::vector<HandEyeDataFinding> readingFindings(const std::vector<Pose>& robots, const std::vector<Pose>& cams,
                                                double given, double viewingDistance) {
  std::vector<Pose> mm, inverted, both;
  for (const Pose& r : robots) {
    mm.push_back(detail::makePose(rotationOf(r), translationOf(r) * 1e-3));
    inverted.push_back(detail::inversePose(r));
    both.push_back(detail::inversePose(mm.back()));
  }
  if (!(given > kReadingFloor * viewingDistance)) return {};
  const double costs[3] = {readingScatter(mm, cams), readingScatter(inverted, cams), readingScatter(both, cams)};
  const std::size_t best = static_cast<std::size_t>(std::min_element(costs, costs + 3) - costs);
  // the other reading must fit many times better, and fit as a fixed board does
  if (!(costs[best] * kEvidenceRatio < given) || !(costs[best] < kImplausibleShare * viewingDistance)) return {};

  const std::string evidence = " (the board's position scatters by " + fixedText(given * 1000, 1) +
                               " mm RMS as given, by " + fixedText(costs[best] * 1000, 1) + " mm RMS so read)";
  std::vector<HandEyeDataFinding> out;
  if (best != 1) {
    out.push_back({"robot_translation_in_millimetres",
                   "The robot translations look like millimetres while the board's lengths are in metres" + evidence +
                       "; divide the translations of robot_T_tcp by 1000.",
                   allFrames(robots.size())});
  }
  if (best != 0) {
    out.push_back({"inverted_robot_poses",
                   "The robot poses look inverted, tcp_T_robot where robot_T_tcp is expected" + evidence +
                       "; pass the inverse of each robot pose.",
                   allFrames(robots.size())});
  }
  return out;
}

double meanMotionDeg(const std::vector<cv::Matx33d>& R) {
  double sum = 0.0;
  int pairs = 0;
  for (std::size_t i = 0; i < R.size(); ++i) {
    for (std::size_t j = i + 1; j < R.size() && j <= i + kPairWindow; ++j, ++pairs) {
      cv::Vec3d axis;
      sum += detail::rotationAngleAxis(cv::Mat(R[i].t() * R[j]), axis);
    }
  }
  return pairs == 0 ? kNaN : toDegrees(sum / pairs);
}

HandEyeDataFinding conventionMessage(const RotationReading& r, const std::vector<cv::Matx33d>& G,
                                     const std::vector<cv::Matx33d>& camR, double given, double read, std::size_t n) {
  const std::string fix =
      r.code == "robot_rotation_in_degrees"
          ? "convert the controller's angles in the unit they are written in (vesk.poses.convention(..., degrees=True "
            "or False))"
          : "build robot_T_tcp in the controller's own rotation convention (vesk.poses.convention names the Euler "
            "orders, intrinsic or extrinsic, and rotation vectors)";
  std::vector<int> frames(n);
  for (std::size_t i = 0; i < n; ++i) frames[i] = static_cast<int>(i);
  return {r.code,
          "The robot's rotations look like " + r.what + ": between nearby captures the flange turns by " +
              fixedText(meanMotionDeg(G), 2) + " deg on average as given, the camera by " + fixedText(meanMotionDeg(camR), 2) +
              " deg, and the board's position scatters by " + fixedText(given * 1000, 1) + " mm RMS as given, by " +
              fixedText(read * 1000, 1) + " mm RMS so read (Euler orders named as intrinsic, rotating axes: intrinsic zyx "
              "is extrinsic xyz); " + fix + ".",
          frames};
}

// The poses with other rotation blocks (of robot_T_tcp as given), as the solve takes them.
std::vector<Pose> withRotations(const std::vector<Pose>& robots, const std::vector<cv::Matx33d>& R, bool inverted) {
  std::vector<Pose> out;
  for (std::size_t i = 0; i < robots.size(); ++i) {
    const Pose given = inverted ? detail::inversePose(robots[i]) : robots[i];
    const Pose read = detail::makePose(R[i], translationOf(given));
    out.push_back(inverted ? detail::inversePose(read) : read);
  }
  return out;
}

// The exact reading that fits best, and its scatter: those whose motion angles match the camera's
// nearly as well as the best one does (a right reading matches them whatever the mount, and so
// does any reading off by a fixed rotation), ranked by PARK's scatter, the best three solved by
// every method.
std::pair<const RotationReading*, double> bestExactReading(const std::vector<RotationReading>& readings,
                                                           const std::vector<Pose>& robots,
                                                           const std::vector<Pose>& cams, bool inverted) {
  std::vector<cv::Matx33d> camR;
  for (const Pose& c : cams) camR.push_back(rotationOf(c));
  std::vector<double> mismatch;
  for (const RotationReading& r : readings) {
    std::vector<cv::Matx33d> flange;
    for (const Pose& p : withRotations(robots, r.rotations, inverted)) flange.push_back(rotationOf(p).t());
    mismatch.push_back(detail::motionAngleMismatchDeg(flange, camR, kPairWindow));
  }
  const double least = *std::min_element(mismatch.begin(), mismatch.end());
  std::vector<std::pair<double, std::size_t>> ranked;
  for (std::size_t k = 0; k < readings.size(); ++k) {
    if (!(mismatch[k] <= std::max(2.0 * least, least + 1.0))) continue;
    const std::vector<Pose> read = withRotations(robots, readings[k].rotations, inverted);
    const std::optional<Pose> X = solveClosedForm(read, cams, cv::CALIB_HAND_EYE_PARK, "", false).hand_eye;
    ranked.emplace_back(X ? rms(deviations(read, cams, *X)) : kInf, k);
  }
  std::sort(ranked.begin(), ranked.end());
  const RotationReading* best = nullptr;
  double bestCost = kInf;
  for (std::size_t k = 0; k < std::min<std::size_t>(3, ranked.size()); ++k) {
    const RotationReading& r = readings[ranked[k].second];
    const double cost = readingScatter(withRotations(robots, r.rotations, inverted), cams);
    if (cost < bestCost) {
      bestCost = cost;
      best = &r;
    }
  }
  return {best, bestCost};
}

// A reading of the robot's rotation blocks that fits many times better than the blocks as given;
// degrees read as radians searched for when no exact reading fits.
std::optional<HandEyeDataFinding> conventionFinding(const std::vector<Pose>& robots, const std::vector<Pose>& cams,
                                                    double given, double viewingDistance, bool inverted) {
  if (!(given > kReadingFloor * viewingDistance)) return std::nullopt;
  std::vector<cv::Matx33d> G, camR;
  for (const Pose& r : robots) G.push_back(rotationOf(inverted ? detail::inversePose(r) : r));
  // camera motions c_i c_j^T match the flange's r_i^T r_j of robot_T_tcp; for a fixed camera c_i^T c_j do
  for (const Pose& c : cams) camR.push_back(inverted ? rotationOf(c).t() : rotationOf(c));
  const std::vector<RotationReading> readings = exactReadings(G, camR);
  const std::pair<const RotationReading*, double> exact = bestExactReading(readings, robots, cams, inverted);
  const RotationReading* best = exact.first;
  double bestCost = exact.second;
  std::optional<RotationReading> wrapped;
  const auto fits = [&] { return bestCost * kEvidenceRatio < given && bestCost < kImplausibleShare * viewingDistance; };
  if (!fits()) {
    std::vector<Pose> original, frames;
    for (std::size_t i = 0; i < robots.size(); ++i) {
      original.push_back(inverted ? detail::inversePose(robots[i]) : robots[i]);
      frames.push_back(inverted ? cams[i] : detail::inversePose(cams[i]));
    }
    wrapped = degreesReadAsRadians(original, frames);
    if (!wrapped) return std::nullopt;
    bestCost = readingScatter(withRotations(robots, wrapped->rotations, inverted), cams);
    best = &*wrapped;
    if (!fits()) return std::nullopt;
  }
  return conventionMessage(*best, G, camR, given, bestCost, robots.size());
}

std::vector<double> cameraDistances(const std::vector<Pose>& cams) {
  std::vector<double> d;
  for (const Pose& c : cams) d.push_back(cv::norm(translationOf(c)));
  return d;
}

std::vector<HandEyeDataFinding> withCode(const std::vector<HandEyeDataFinding>& findings, const char* code) {
  std::vector<HandEyeDataFinding> out;
  for (const HandEyeDataFinding& f : findings) {
    if (f.code == code) out.push_back(f);
  }
  return out;
}

// The largest rotation of the flange between any two captures, in degrees.
double largestMotionDeg(const std::vector<Pose>& robots) {
  double largest = 0.0;
  for (std::size_t i = 0; i < robots.size(); ++i) {
    for (std::size_t j = i + 1; j < robots.size(); ++j) {
      cv::Vec3d axis;
      largest = std::max(largest, detail::rotationAngleAxis(cv::Mat(rotationOf(robots[i]).t() * rotationOf(robots[j])), axis));
    }
  }
  return toDegrees(largest);
}

// Data that no solver explains, put down to the motions' size when they are small.
HandEyeDataFinding unsolvable(const std::vector<Pose>& robots, const std::vector<Pose>& cams) {
  const double largest = largestMotionDeg(robots);
  if (largest < kSmallMotionDeg) {
    return {"motions_too_small",
            "The flange turns by at most " + fixedText(largest, 1) + " deg between any two captures, too little for any "
            "of the solvers to find the camera's mount. Turn the flange by 20 degrees or more between captures, about "
            "two axes.",
            allFrames(robots.size())};
  }
  std::vector<cv::Matx33d> flange, camera;
  for (std::size_t i = 0; i < robots.size(); ++i) {
    flange.push_back(rotationOf(robots[i]).t());
    camera.push_back(rotationOf(cams[i]));
  }
  return {"implausible_consistency",
          "No solver finds a mount that explains the motions: the flange's and the camera's rotations between "
          "nearby frames differ by " + fixedText(detail::motionAngleMismatchDeg(flange, camera, kPairWindow), 2) +
          " deg on average, where they agree for consistent data; check the robot poses' units, direction and "
          "pairing with the images, and the target's dimensions.",
          allFrames(robots.size())};
}

// A board or camera mount that moved part-way through the capture: the board's implied positions
// step at one frame, the frames before and after it each agreeing among themselves far better than
// all together. The step is the split with the largest F statistic (between-group against
// within-group scatter); clean series reach about 7, a 10-40 mm remount of either 17 and more.
std::optional<HandEyeDataFinding> sessionChange(const std::vector<Pose>& robots, const std::vector<Pose>& cams,
                                                const Pose& X, bool boardOnFlange) {
  const std::size_t n = robots.size();
  if (n < 2 * kMinSessionFrames) return std::nullopt;
  std::vector<cv::Vec3d> p;
  for (std::size_t i = 0; i < n; ++i) p.push_back(translationOf(robots[i] * X * cams[i]));
  const auto spread = [&](std::size_t from, std::size_t to, cv::Vec3d* mean) {
    cv::Vec3d m(0, 0, 0);
    for (std::size_t i = from; i < to; ++i) m += p[i];
    m *= 1.0 / static_cast<double>(to - from);
    double rss = 0.0;
    for (std::size_t i = from; i < to; ++i) rss += (p[i] - m).dot(p[i] - m);
    if (mean != nullptr) *mean = m;
    return rss;
  };
  const double all = spread(0, n, nullptr);
  double bestF = 0.0;
  std::size_t bestK = 0;
  for (std::size_t k = kMinSessionFrames; k + kMinSessionFrames <= n; ++k) {
    const double split = spread(0, k, nullptr) + spread(k, n, nullptr);
    const double F = ((all - split) / 3.0) / (split / (3.0 * static_cast<double>(n - 2)));
    if (std::isfinite(F) && F > bestF) {
      bestF = F;
      bestK = k;
    }
  }
  if (!(bestF > kSessionF)) return std::nullopt;
  cv::Vec3d a, b;
  const double before = std::sqrt(spread(0, bestK, &a) / static_cast<double>(bestK));
  const double after = std::sqrt(spread(bestK, n, &b) / static_cast<double>(n - bestK));
  std::vector<int> frames;
  for (std::size_t i = bestK; i < n; ++i) frames.push_back(static_cast<int>(i));
  return HandEyeDataFinding{
      "capture_changed_part_way",
      std::string(boardOnFlange ? "The board on the flange or the camera in the cell" : "The board or the camera's mount") +
          " moved between frames " + std::to_string(bestK - 1) + " and " + std::to_string(bestK) + ": frames 0-" +
          std::to_string(bestK - 1) + " agree among themselves to " + fixedText(before * 1000, 1) + " mm RMS and frames " +
          std::to_string(bestK) + "-" + std::to_string(n - 1) + " to " + fixedText(after * 1000, 1) +
          " mm, but their board positions lie " + fixedText(cv::norm(a - b) * 1000, 1) +
          " mm apart. Calibrate from one session's frames, or capture again without touching the board or the "
          "camera's mount.",
      frames};
}

// checkPairingAndUnits, solving the poses as given once; the outlier findings of that solve go to
// `outliers` when it is given.
std::vector<HandEyeDataFinding> checkBeforeSolve(const std::vector<Pose>& all, const std::vector<int>& index,
                                                 const std::vector<Pose>& cams, bool boardOnFlange,
                                                 std::vector<HandEyeDataFinding>* outliers) {
  if (cams.size() < kMinFramesPerSolve || index.size() != cams.size()) return {};
  const QuietOpenCvLog quiet;
  std::vector<HandEyeDataFinding> out;
  if (std::optional<HandEyeDataFinding> f = pairingFinding(all, index, cams)) out.push_back(std::move(*f));

  std::vector<Pose> robots;
  for (int i : index) robots.push_back(all[static_cast<std::size_t>(i)]);
  const std::vector<double> distances = cameraDistances(cams);
  const std::optional<Pose> X = bestSolve(robots, cams, nullptr);
  std::vector<double> deviationsAsGiven;
  double given = kInf;
  if (X) {
    deviationsAsGiven = deviations(robots, cams, *X);
    const double s = rms(deviationsAsGiven);
    if (std::isfinite(s)) given = s;
  }
  for (HandEyeDataFinding& f : readingFindings(robots, cams, given, median(distances))) out.push_back(std::move(f));
  // a misread rotation convention, named before the scatter it causes
  if (out.empty()) {
    if (std::optional<HandEyeDataFinding> f = conventionFinding(robots, cams, given, median(distances), boardOnFlange)) {
      out.push_back(std::move(*f));
      return out;
    }
  }
  if (!X) {
    // no solver's rotation carries the camera's motions onto the flange's: the data, not the solver
    if (out.empty() && rotationObservable(robots)) out.push_back(unsolvable(robots, cams));
    return out;
  }
  const std::vector<HandEyeDataFinding> scatter = checkScatter(deviationsAsGiven, distances, boardOnFlange);
  for (HandEyeDataFinding& f : withCode(scatter, "implausible_consistency")) {
    const double largest = largestMotionDeg(robots);
    if (largest < kSmallMotionDeg) {
      f = {"motions_too_small",
           "The flange turns by at most " + fixedText(largest, 1) + " deg between any two captures: too little to fix "
           "the camera's mount, so the board's implied position scatters by " + fixedText(rms(deviationsAsGiven) * 1000, 1) +
           " mm RMS with the best of the solvers. Turn the flange by 20 degrees or more between captures, about two "
           "axes.",
           f.frames};
    }
    out.push_back(std::move(f));
  }
  if (std::any_of(out.begin(), out.end(), refusesResult)) return out;
  if (std::optional<HandEyeDataFinding> f = sessionChange(robots, cams, *X, boardOnFlange)) {
    out.push_back(std::move(*f));
    return out;
  }
  if (outliers != nullptr) *outliers = withCode(scatter, "outlier_frames");
  return out;
}

}  // namespace

namespace {
std::mutex quietMutex;
int quietCount = 0;
cv::utils::logging::LogLevel quietSaved = cv::utils::logging::LOG_LEVEL_INFO;
}  // namespace

QuietOpenCvLog::QuietOpenCvLog() {
  const std::lock_guard<std::mutex> lock(quietMutex);
  if (quietCount++ == 0) quietSaved = cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
}

QuietOpenCvLog::~QuietOpenCvLog() {
  const std::lock_guard<std::mutex> lock(quietMutex);
  if (--quietCount == 0) cv::utils::logging::setLogLevel(quietSaved);
}

bool refusesResult(const HandEyeDataFinding& finding) {
  return finding.code != "outlier_frames" && finding.code != "board_scale_mismatch";
}

namespace {

// The pairs of frames OpenCV's TSAI keeps: both rotations, flange and camera, with 2 sin(angle / 2)
// in [0.3, 1.7], that is between 17.25 and 116.4 degrees. Counted as the fewest that remain with any
// one frame left out: a rotation resting on the pairs of one frame cannot be checked by leaving
// frames out, and was found up to 5 sigma off.
int tsaiPairs(const std::vector<Pose>& robots, const std::vector<Pose>& cams, bool anyLeftOut, double* largestDeg) {
  int pairs = 0;
  double largest = 0.0;
  std::vector<int> perFrame(robots.size(), 0);
  for (std::size_t i = 0; i < robots.size(); ++i) {
    for (std::size_t j = i + 1; j < robots.size(); ++j) {
      cv::Vec3d axis;
      const double g = detail::rotationAngleAxis(cv::Mat(rotationOf(robots[j]).t() * rotationOf(robots[i])), axis);
      const double c = detail::rotationAngleAxis(cv::Mat(rotationOf(cams[j]) * rotationOf(cams[i]).t()), axis);
      largest = std::max(largest, g);
      const double pg = 2.0 * std::sin(g / 2.0), pc = 2.0 * std::sin(c / 2.0);
      if (pg >= kTsaiMinChord && pc >= kTsaiMinChord && pg <= kTsaiMaxChord && pc <= kTsaiMaxChord) {
        ++pairs;
        ++perFrame[i];
        ++perFrame[j];
      }
    }
  }
  if (largestDeg != nullptr) *largestDeg = toDegrees(largest);
  const int most = perFrame.empty() ? 0 : *std::max_element(perFrame.begin(), perFrame.end());
  return anyLeftOut ? pairs - most : pairs;
}

}  // namespace

std::string methodShortfall(const std::vector<Pose>& robots, const std::vector<Pose>& cams,
                            cv::HandEyeCalibrationMethod method, bool anyLeftOut) {
  if (method != cv::CALIB_HAND_EYE_TSAI) return "";
  double largest = 0.0;
  const int pairs = tsaiPairs(robots, cams, anyLeftOut, &largest);
  if (pairs >= 2) return "";
  return "TSAI uses only pairs of captures whose orientations differ by 17 to 116 degrees, and needs two" +
         std::string(anyLeftOut ? " with any one capture left out" : "") + "; these motions have " +
         std::to_string(std::max(pairs, 0)) + " (the flange turns by at most " + fixedText(largest, 1) +
         " deg between any two captures). Turn the flange by 20 to 90 degrees between captures, about two axes, "
         "or use PARK, which takes small motions.";
}

std::string rotationMisfit(const std::vector<Pose>& robots, const std::vector<Pose>& cams, const Pose& X) {
  const cv::Matx33d Rx = rotationOf(X);
  double misfit = 0.0, motion = 0.0;
  int pairs = 0;
  for (std::size_t i = 0; i < robots.size(); ++i) {
    for (std::size_t j = i + 1; j < robots.size() && j <= i + kPairWindow; ++j) {
      // A X = X B for the flange motion A and the camera motion B between frames i and j
      const cv::Matx33d A = rotationOf(robots[i]).t() * rotationOf(robots[j]);
      const cv::Matx33d B = rotationOf(cams[i]) * rotationOf(cams[j]).t();
      cv::Vec3d axis;
      misfit += detail::rotationAngleAxis(cv::Mat(A * Rx * B.t() * Rx.t()), axis);
      motion += detail::rotationAngleAxis(cv::Mat(A), axis);
      ++pairs;
    }
  }
  if (pairs == 0) return "";
  misfit *= kDegPerRad / pairs;
  motion *= kDegPerRad / pairs;
  if (!(misfit > kMisfitShare * motion && misfit > kMisfitFloorDeg)) return "";
  return "its rotation does not explain the flange motions: they disagree with the camera's by " + fixedText(misfit, 2) +
         " deg on average against motions of " + fixedText(motion, 2) + " deg. The motions are too small for it; turn "
         "the flange by 20 degrees or more between captures, about two axes.";
}

bool rotationObservable(const std::vector<Pose>& robots) {
  std::vector<cv::Vec3d> axes;
  for (std::size_t i = 1; i < robots.size(); ++i) {
    const cv::Vec3d w = detail::rotationVector(rotationOf(robots[0]).t() * rotationOf(robots[i]));
    const double angle = cv::norm(w);
    if (angle > kMinMotionRad) axes.push_back(w / angle);
  }
  for (std::size_t i = 0; i < axes.size(); ++i) {
    for (std::size_t j = i + 1; j < axes.size(); ++j) {
      if (cv::norm(axes[i].cross(axes[j])) > std::sin(kMinMotionRad)) return true;
    }
  }
  return false;
}

std::vector<HandEyeDataFinding> checkSolution(const std::vector<Pose>& robots, const std::vector<Pose>& cams,
                                              const Pose& tcpTCamera, bool boardOnFlange) {
  if (robots.empty() || robots.size() != cams.size()) return {};
  const QuietOpenCvLog quiet;
  return checkScatter(deviations(robots, cams, tcpTCamera), cameraDistances(cams), boardOnFlange);
}

std::vector<HandEyeDataFinding> checkPairingAndUnits(const std::vector<Pose>& robotPoses,
                                                     const std::vector<int>& robotIndexOfFrame,
                                                     const std::vector<Pose>& cameraTTargetList,
                                                     bool boardOnFlange) {
  return checkBeforeSolve(robotPoses, robotIndexOfFrame, cameraTTargetList, boardOnFlange, nullptr);
}

std::vector<HandEyeDataFinding> checkScatter(const std::vector<double>& translationDeviations,
                                             const std::vector<double>& distances, bool boardOnFlange) {
  std::vector<HandEyeDataFinding> out;
  const std::vector<double>& d = translationDeviations;
  if (d.size() < kMinFramesPerSolve || distances.size() != d.size()) return out;
  const double distance = median(distances);
  const double scatter = rms(d);
  if (!(distance > 0.0)) {
    return {{"implausible_consistency",
             "The target poses put the board at the camera (zero distance); check camera_T_target_list.",
             allFrames(d.size())}};
  }
  if (scatter > kImplausibleShare * distance) {
    std::vector<int> frames;
    for (std::size_t i = 0; i < d.size(); ++i) {
      if (d[i] > kImplausibleShare * distance) frames.push_back(static_cast<int>(i));
    }
    out.push_back({"implausible_consistency",
                   std::string(boardOnFlange ? "The board moves on the flange by " : "The fixed board moves by ") +
                       fixedText(scatter * 1000, 1) + " mm RMS between frames, " +
                       fixedText(100.0 * scatter / distance, 1) +
                       " % of the viewing distance; check the robot poses' units, direction and pairing with the "
                       "images, and the target's dimensions.",
                   frames});
    return out;
  }
  // A frame's scatter grows with its distance to the board (depth and lever arm), so frames are
  // compared by their deviation relative to their own viewing distance.
  std::vector<double> relative;
  for (std::size_t i = 0; i < d.size(); ++i) relative.push_back(distances[i] > 0.0 ? d[i] / distances[i] : kInf);
  const double m = median(relative);
  std::vector<double> spread;
  for (double x : relative) spread.push_back(std::abs(x - m));
  const double sigma = 1.4826 * median(spread);
  std::vector<int> frames;
  for (std::size_t i = 0; i < d.size(); ++i) {
    const double x = relative[i];
    if (x > m + kOutlierSigmas * sigma && x > 3.0 * m && x > kOutlierShare) frames.push_back(static_cast<int>(i));
  }
  if (!frames.empty()) {
    double worst = 0.0;
    for (int i : frames) worst = std::max(worst, d[static_cast<std::size_t>(i)]);
    out.push_back({"outlier_frames",
                   std::string(frames.size() == 1 ? "Frame " : "Frames ") + frameList(frames) +
                       (frames.size() == 1 ? " disagrees" : " disagree") + " with the others (the board moves by up to " +
                       fixedText(worst * 1000, 1) + " mm there, against a median of " + fixedText(median(d) * 1000, 1) +
                       " mm); check the robot pose and the image of each, or leave them out.",
                   frames});
  }
  return out;
}

std::vector<HandEyeDataFinding> checkHandEyeData(const std::vector<cv::Mat>& robotTTcpList,
                                                 const std::vector<cv::Mat>& cameraTTargetList, bool eyeToHand) {
  const std::string component = "check_hand_eye_data";
  if (robotTTcpList.size() != cameraTTargetList.size()) {
    throw std::invalid_argument(component + ": robot_T_tcp_list and camera_T_target_list must be aligned, got " +
                                std::to_string(robotTTcpList.size()) + " robot poses and " +
                                std::to_string(cameraTTargetList.size()) + " target poses");
  }
  if (robotTTcpList.size() < kMinFramesPerSolve) {
    throw std::invalid_argument(component + ": needs at least 4 frames, got " + std::to_string(robotTTcpList.size()));
  }
  const std::vector<Pose> robots = solvedAs(detail::toPoses(robotTTcpList, component, "robot_T_tcp_list"), eyeToHand);
  const std::vector<Pose> cams = detail::toPoses(cameraTTargetList, component, "camera_T_target_list");
  std::vector<HandEyeDataFinding> outliers;
  std::vector<HandEyeDataFinding> out = checkBeforeSolve(robots, allFrames(robots.size()), cams, eyeToHand, &outliers);
  // motions about one axis leave nothing for the checks that solve; say what calibrate needs
  const SingleAxisMotions single = singleAxisMotions(robots, eyeToHand);
  if (single.single) out.push_back(fourAxisFinding(single, eyeToHand));
  if (std::any_of(out.begin(), out.end(), refusesResult)) return out;
  out.insert(out.end(), outliers.begin(), outliers.end());
  if (std::optional<HandEyeDataFinding> f = boardScaleFinding(estimateBoardScale(robots, cams))) {
    out.push_back(std::move(*f));
  }
  return out;
}

BoardScale boardScaleOfData(const std::vector<cv::Mat>& robotTTcpList, const std::vector<cv::Mat>& cameraTTargetList,
                            bool eyeToHand) {
  const std::string component = "estimate_board_scale";
  if (robotTTcpList.size() != cameraTTargetList.size()) {
    throw std::invalid_argument(component + ": robot_T_tcp_list and camera_T_target_list must be aligned, got " +
                                std::to_string(robotTTcpList.size()) + " robot poses and " +
                                std::to_string(cameraTTargetList.size()) + " target poses");
  }
  const std::vector<Pose> robots = solvedAs(detail::toPoses(robotTTcpList, component, "robot_T_tcp_list"), eyeToHand);
  return estimateBoardScale(robots, detail::toPoses(cameraTTargetList, component, "camera_T_target_list"));
}

TransformUncertainty jackknifeUncertainty(std::size_t n, const Pose& X, const SolveWithout& solveWithout) {
  TransformUncertainty out;
  // every group left out must leave a solvable set
  if (n < kMinFramesPerSolve + 1) return out;
  const std::size_t groups = std::min(n, kMaxJackknifeGroups);
  const cv::Matx33d Rt = rotationOf(X).t();

  // the replicates are independent: one per thread
  std::vector<std::optional<Pose>> replicates(groups);
  detail::forEachView(groups, [&](std::size_t g) {
    std::vector<bool> leftOut(n);
    for (std::size_t i = 0; i < n; ++i) leftOut[i] = i % groups == g;
    replicates[g] = solveWithout(leftOut);
  });
  std::vector<cv::Vec6d> values;
  for (const std::optional<Pose>& solved : replicates) {
    if (!solved || !detail::isRigidTransform(cv::Mat(*solved))) return out;
    const Pose& Xg = *solved;
    const cv::Vec3d dr = detail::rotationVector(rotationOf(Xg) * Rt);
    const cv::Vec3d dt = translationOf(Xg) - translationOf(X);
    values.push_back(cv::Vec6d(dr[0], dr[1], dr[2], dt[0], dt[1], dt[2]));
  }
  cv::Vec6d mean = cv::Vec6d::all(0.0);
  for (const cv::Vec6d& v : values) mean += v;
  mean *= 1.0 / static_cast<double>(groups);
  cv::Matx66d cov = cv::Matx66d::zeros();
  for (const cv::Vec6d& v : values) {
    const cv::Vec6d d = v - mean;
    cov += d * d.t();
  }
  cov *= static_cast<double>(groups - 1) / static_cast<double>(groups);
  return uncertaintyOf(cv::Mat(cov, true));
}

std::optional<Pose> solveHandEyeQuietly(const std::vector<Pose>& robots, const std::vector<Pose>& cams,
                                        cv::HandEyeCalibrationMethod method) {
  if (robots.size() != cams.size() || robots.size() < kMinFramesPerSolve) return std::nullopt;
  return solveClosedForm(robots, cams, method, "", false).hand_eye;
}

TransformUncertainty handEyeUncertainty(const std::vector<Pose>& robots, const std::vector<Pose>& cams,
                                        cv::HandEyeCalibrationMethod method, const Pose& tcpTCamera) {
  const std::size_t n = std::min(robots.size(), cams.size());
  return jackknifeUncertainty(n, tcpTCamera, [&](const std::vector<bool>& leftOut) -> std::optional<Pose> {
    std::vector<Pose> rs, cs;
    for (std::size_t i = 0; i < n; ++i) {
      if (leftOut[i]) continue;
      rs.push_back(robots[i]);
      cs.push_back(cams[i]);
    }
    return solveHandEyeQuietly(rs, cs, method);
  });
}


std::optional<Pose> rawClosedForm(const std::vector<Pose>& robots, const std::vector<Pose>& cams,
                                  cv::HandEyeCalibrationMethod method) {
  std::vector<cv::Mat> rg, tg, rc, tc;
  for (std::size_t i = 0; i < robots.size(); ++i) {
    rg.push_back(cv::Mat(rotationOf(robots[i]), true));
    tg.push_back(cv::Mat(translationOf(robots[i]), true));
    rc.push_back(cv::Mat(rotationOf(cams[i]), true));
    tc.push_back(cv::Mat(translationOf(cams[i]), true));
  }
  cv::Mat R, t;
  try {
    const QuietOpenCvLog quiet;
    cv::calibrateHandEye(rg, tg, rc, tc, R, t, method);
  } catch (const cv::Exception&) {
    return std::nullopt;
  }
  const cv::Mat solved = detail::rigidTransform(R, t);
  if (!detail::isRigidTransform(solved)) return std::nullopt;
  return detail::toPose(solved);
}

ClosedForm solveClosedForm(const std::vector<Pose>& robots, const std::vector<Pose>& cams,
                           cv::HandEyeCalibrationMethod method, const std::string& methodName, bool anyLeftOut) {
  if (!rotationObservable(robots)) {
    return {std::nullopt, "rotation_not_observable",
            "Hand-eye rotation is not observable: fewer than two robot motions rotate (by more than 1 deg) about "
            "non-parallel axes. Vary the flange orientation about two axes."};
  }
  if (std::string shortfall = methodShortfall(robots, cams, method, anyLeftOut); !shortfall.empty()) {
    return {std::nullopt, "method_cannot_use_motions", std::move(shortfall)};
  }
  const std::optional<Pose> X = rawClosedForm(robots, cams, method);
  if (!X) {
    return {std::nullopt, "solver_failed",
            methodName + " returned a non-finite transform or a rotation that is not orthonormal."};
  }
  if (const std::string misfit = rotationMisfit(robots, cams, *X); !misfit.empty()) {
    return {std::nullopt, "rotation_misfit", methodName + " gave no usable transform: " + misfit};
  }
  return {X, "", ""};
}

}  // namespace vesk::calibration
