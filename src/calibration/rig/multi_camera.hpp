#pragma once

#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "calibration/intrinsic.hpp"
#include "calibration/rig/rig_refinement.hpp"
#include "core/failure.hpp"
#include "core/logging.hpp"
#include "core/transforms.hpp"
#include "geometry/triangulation.hpp"
#include "targets/targets.hpp"

namespace vesk::calibration {

struct MultiCameraResult {
  bool ok = false;
  std::optional<Failure> failure;  // why not ok: the first camera left unplaced
  int reference_index = 0;
  std::vector<cv::Mat> reference_T_camera_list;  // empty where the pair was never solved
  std::vector<cv::Mat> intrinsic_matrices;
  std::vector<cv::Mat> distortion_coefficients;
  std::vector<double> intrinsic_reprojection_errors;  // NaN where not computed
  std::vector<double> pair_reprojection_errors;       // NaN for the reference and unsolved pairs

  // Set by calibrate(..., refine=true) when the joint solve succeeded; otherwise unknown.
  bool refined = false;
  std::optional<Failure> refine_failure;  // why a joint solve that was asked for did not replace the pairwise result
  std::vector<TransformUncertainty> reference_T_camera_uncertainty;  // unknown for the reference
  double joint_rms = std::numeric_limits<double>::quiet_NaN();       // px, every corner of the joint solve
  std::vector<double> joint_rms_per_camera;                          // NaN where not solved
  // the camera whose pair solve placed this one, where it shares too few views with the reference;
  // -1 otherwise
  std::vector<int> reached_through;
  // (camera, frame) left out: by a pair solve whose frames it did not fit, or by the joint solve
  std::vector<std::pair<int, int>> rejected_views;
  // why each camera was not placed ("" where it was), and how many frames each pair of cameras
  // shares (detected by both and kept by both cameras' per-view filters)
  std::vector<std::string> placement_failures;
  std::vector<std::vector<int>> shared_frames;
};

struct TriangulationReport {
  int frame_index = 0;
  cv::Mat points_3d;  // N x 3 CV_64F in the reference camera frame
  cv::Mat ids;        // N x 1 CV_32S
  std::vector<double> neighbor_distances_m;
  double plane_thickness_m = 0.0;
  std::vector<double> rms_per_camera;
  std::vector<int> counts_per_camera;
};

struct SubsetResult {
  std::vector<int> subset;
  MultiCameraResult result;
  bool has_triangulation = false;
  TriangulationReport triangulation;
};

class MultiCameraCalibrator {
 public:
  struct PairPoints {
    std::vector<cv::Mat> object_points;
    std::vector<cv::Mat> reference_image_points;
    std::vector<cv::Mat> camera_image_points;
  };

  MultiCameraCalibrator(CalibrationTarget target, int numCameras, int referenceIndex, IntrinsicOptions options,
                        int stereoCalibrateFlags);

  static IntrinsicOptions defaultOptions();

  MultiCameraResult calibrate(const std::vector<std::vector<cv::Mat>>& imageLists,
                              const std::vector<cv::Mat>& intrinsicMatrices,
                              const std::vector<cv::Mat>& distortionCoefficients,
                              const std::filesystem::path& outputPath, bool refine = false);
  TriangulationReport triangulate(const std::vector<std::vector<cv::Mat>>& imageLists, int frameIndex) const;
  std::vector<SubsetResult> calibrateSubsets(const std::vector<std::vector<cv::Mat>>& imageLists,
                                             const std::vector<int>& subsetSizes, int frameIndex);
  PairPoints gatherPairPoints(const std::vector<TargetDetections>& detections, int referenceIndex, int cameraIndex,
                              const std::vector<int>& frames) const;

  std::string formatResults() const;
  void printResults() const;

  const CalibrationTarget& target() const { return target_; }
  // taken by each call from Python: one thread at a time
  const detail::InUse& inUse() const { return in_use_; }
  int numCameras() const { return num_cameras_; }
  int referenceIndex() const { return reference_index_; }
  const MultiCameraResult& lastResult() const { return last_result_; }

 private:
  MultiCameraResult calibrateOnce(const std::vector<std::vector<cv::Mat>>& imageLists,
                                  const std::vector<cv::Mat>& intrinsicMatrices,
                                  const std::vector<cv::Mat>& distortionCoefficients,
                                  const std::filesystem::path& outputPath, bool refine);
  // One camera's detections and, when its intrinsics were calibrated here, the frames that
  // passed its per-view filter.
  struct CameraViews {
    TargetDetections detections;
    std::optional<std::vector<int>> passed_filter;
    // the board's rotation in each detected frame, its median distance, and the RMS of the views
    // with the camera's own intrinsics: what a pair solve is held against
    std::map<int, cv::Matx33d> rotations;
    std::map<int, cv::Matx44d> poses;  // camera_T_board of each detected frame
    double board_distance = 0.0;
    double own_rms = 0.0;
    bool intrinsics_fit = true;
  };
  std::vector<CameraViews> detectWithSuppliedIntrinsics(const std::vector<std::vector<cv::Mat>>& imageLists,
                                                        const std::vector<cv::Mat>& intrinsicMatrices,
                                                        const std::vector<cv::Mat>& distortionCoefficients);
  std::vector<CameraViews> calibrateEachCamera(const std::vector<std::vector<cv::Mat>>& imageLists);
  static std::vector<int> pairFrames(const CameraViews& ref, const CameraViews& cam, const std::string& pair);
  // the frames pairFrames gives, without its message; bothDetected: before the per-view filters
  static std::vector<int> sharedFrames(const CameraViews& ref, const CameraViews& cam, std::size_t* bothDetected);
  static PairPoints gatherPairPoints(const TargetDetections& refDet, const TargetDetections& camDet,
                                     int referenceIndex, int cameraIndex, const std::vector<int>& frames);
  void solvePair(std::size_t camera, const std::vector<CameraViews>& views, cv::Size imageSize, std::string* failure);
  // cv::stereoCalibrate of cameras a and c with every check a pair must pass; a_T_c on success.
  struct StereoSolve {
    cv::Mat K1, D1, K2, D2;
    cv::Mat first_T_second;
    double rms = 0.0;
    std::size_t frames = 0;
    std::vector<int> dropped_frames;  // frames whose views did not fit the rig the others agree on
  };
  // A failed attempt says why, at the level its log line takes.
  struct StereoAttempt {
    std::optional<StereoSolve> solve;
    logging::Level level = logging::Level::ERROR;
    std::string failure;  // the log line
    std::string reason;   // why, for the camera's placement failure
    double rms = 0.0;
    bool misfit = false;  // refused for its RMS: a few views off the rig can cause it
  };
  std::optional<StereoSolve> solveStereo(std::size_t a, std::size_t c, const std::vector<CameraViews>& views,
                                         cv::Size imageSize, int flags, std::string* failure = nullptr) const;
  StereoAttempt stereoOn(std::size_t a, std::size_t c, const std::vector<CameraViews>& views,
                         const std::vector<int>& frames, cv::Size imageSize, int flags) const;
  // The shared frames whose relative pose of the two cameras (from each camera's own board pose)
  // is far from the one most frames agree on.
  static std::vector<int> offRigFrames(const CameraViews& a, const CameraViews& c, const std::vector<int>& frames);
  // Of a frame the pair (a, c) could not fit, the views to leave out: c's when another camera
  // agrees with a on it, a's when every other camera disagrees with a, else both.
  std::vector<std::pair<int, int>> viewsToDrop(std::size_t a, std::size_t c, int frame,
                                               const std::vector<CameraViews>& views) const;
  void recordDroppedViews(std::size_t a, std::size_t c, const StereoSolve& s, const std::vector<CameraViews>& views);
  // RMS (px) of camera c's view of a frame with the board where camera a sees it, through a_T_c
  double viewRmsThrough(std::size_t a, std::size_t c, int frame, const cv::Mat& aTc,
                        const std::vector<CameraViews>& views) const;
  // A WARNING and placement_failures for each camera left without a transform.
  void explainUnplaced(const std::vector<std::string>& pairFailures, bool refine);
  // Cameras without a pair with the reference, placed through a solved camera they share views with.
  void chainUnsolved(const std::vector<CameraViews>& views, cv::Size imageSize);
  void refineJointly(const std::vector<CameraViews>& views, bool suppliedIntrinsics);
  std::string formatRefinement() const;
  static bool framesOutOfStep(const CameraViews& ref, const CameraViews& cam, const std::string& pair,
                              std::size_t camera);
  // the board's rotations and distance and the views' RMS; the poses of the camera solve are taken
  // when given, else each view is solved by PnP
  static void measureViews(CameraViews& views, const cv::Mat& K, const cv::Mat& D,
                           const std::pair<std::vector<cv::Mat>, std::vector<cv::Mat>>* solved);
  void validateByTriangulation(const std::vector<std::vector<cv::Mat>>& imageLists,
                               const std::vector<CameraViews>& views);
  // triangulate(), taking frame corners from the calibration's detections when `views` is given
  TriangulationReport triangulateFrame(const std::vector<std::vector<cv::Mat>>& imageLists, int frameIndex,
                                       const std::vector<CameraViews>* views) const;
  void saveResult(const std::filesystem::path& outputPath) const;
  void checkTriangulationFrame(const std::vector<std::vector<cv::Mat>>& imageLists, int frameIndex) const;
  geometry::CornerObservations observeFrame(const std::vector<std::vector<cv::Mat>>& imageLists, int frameIndex,
                                            const CharucoTarget& target,
                                            const std::vector<CameraViews>* views) const;
  static void dropDegenerate(cv::Mat& points, cv::Mat& pointIds);

  CalibrationTarget target_;
  int num_cameras_;
  int reference_index_;
  IntrinsicOptions options_;
  int stereo_calibrate_flags_;
  MultiCameraResult last_result_;
  detail::InUse in_use_;
  bool has_triangulation_ = false;
  TriangulationReport last_triangulation_;
  std::vector<SubsetResult> last_subset_results_;
  // what the latest calibrate's joint solve did, for the report's section; none without refine
  std::optional<RigRefinement> last_refinement_;
  // the RMS (px) of each of last_result_.rejected_views against the rig, and how many of them the
  // pair solves left out (they come first)
  std::vector<double> rejected_rms_;
  std::size_t pair_rejected_ = 0;
};

}  // namespace vesk::calibration
