// Marker detection and pose on rendered frames: how fast, how accurate, and how they hold
// up in real rooms, for Pavonix and, when AprilTag is available, AprilTag 3 with a
// tag36h11 tag printed at the same size, for comparison. (OpenCV's ArUco is left out: its
// Debian package, libopencv-contrib-dev, adds some 40 packages and 330 MB to a fresh
// install, an MPI stack and an OCR engine among them.)
//
// Timings, one thread: DetectAndPose, with one marker in view and with none, at 640x480,
// 1280x720 and 1920x1080, from the B, G, R, A camera frame (AprilTag's grey conversion
// included; Pavonix's at a fixed threshold); ViewerDetectAndPose, Pavonix as the viewer
// runs it (automatic threshold, detection, pose from the previous pose).
//
// Measurements, not timings (each runs once and reports its figures as counters):
// - Accuracy: 300 random views (3-10 marker widths away, tilt up to 60 degrees, sensor
//   noise sigma 3, the committed calibration with its lens distortion), the same poses
//   for every method.
// - Jitter: 100 frames of one still view with independent noise, tracked frame to frame;
//   the spread (standard deviation) of rotation and position.
// - Conditions/DETECTOR/CONDITION: the rendered condition sets of the accuracy test
//   (tests/common/TrackingConditions: dim light, a finger on the frame, motion blur,
//   defocus, tiny, near at HD, JPEG, glare, a finger sliding over the frame), with the
//   detection rate, the median rotation and translation errors and the wrong poses.
//   After the run they are printed again as one Markdown table.
//
// The condition table:
//   bench_tracking --benchmark_filter=Conditions
// Timings:
//   bench_tracking --benchmark_filter=DetectAndPose --benchmark_repetitions=10
//       --benchmark_report_aggregates_only=true    (one line)
// and compare the medians. Accuracy and jitter (deterministic; one run is enough):
//   bench_tracking --benchmark_filter='Accuracy|Jitter'

#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchData.h"
#include "common/TrackingConditions.h"
#include "common/ViewerTracking.h"
#include "scene/MarkerScene.h"
#include "tracking/CameraParam.h"
#include "tracking/Identify.h"
#include "tracking/Marker.h"
#include "tracking/Pattern.h"
#include "tracking/Pose.h"

#if __has_include("tracking/EdgeRefine.h")
#include "tracking/EdgeRefine.h"
#define PAVONIX_HAS_EDGE_REFINEMENT 1
#endif

#ifdef PAVONIX_HAVE_CALIB3D
#include <opencv2/calib3d.hpp>
#endif

#ifdef PAVONIX_HAVE_APRILTAG
#include <apriltag/apriltag.h>
#include <apriltag/common/homography.h>
#include <apriltag/apriltag_pose.h>
#include <apriltag/common/matd.h>
#include <apriltag/tag36h11.h>
#endif

namespace {

constexpr double kMarkerWidth = 40.0;

// About six marker widths away, tilted 30 degrees, turned 20 degrees, near the middle.
void viewPose(const CameraParam& camera, double transform[3][4]) {
    const double tilt = 30 * M_PI / 180, spin = 20 * M_PI / 180;
    const double ct = std::cos(tilt), st = std::sin(tilt), cs = std::cos(spin), ss = std::sin(spin);
    // Facing the camera (marker y up the image, z towards the camera), tilted about the
    // marker's x axis, then turned about its normal.
    const double tiltX[3][3] = {{1, 0, 0}, {0, ct, -st}, {0, st, ct}};
    const double spinZ[3][3] = {{cs, -ss, 0}, {ss, cs, 0}, {0, 0, 1}};
    const double facing[3][3] = {{1, 0, 0}, {0, -1, 0}, {0, 0, -1}};
    double ts[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) ts[i][j] = tiltX[i][0] * spinZ[0][j] + tiltX[i][1] * spinZ[1][j] + tiltX[i][2] * spinZ[2][j];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            transform[i][j] = facing[i][0] * ts[0][j] + facing[i][1] * ts[1][j] + facing[i][2] * ts[2][j];
    (void)camera;
    const double distance = 6 * kMarkerWidth;
    transform[0][3] = 10.0;
    transform[1][3] = -5.0;
    transform[2][3] = distance;
}

struct Scene {
    CameraParam camera;
    std::vector<uint8_t> frame;  // B, G, R, A
    int threshold = 100;
    double pose[3][4];
};

void makeScene(int width, int height, bool withMarker, const MarkerImage& marker, Scene* scene) {
    resizeCameraParam(&baseCamera(), width, height, &scene->camera);
    viewPose(scene->camera, scene->pose);
    double shown[3][4];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) shown[r][c] = scene->pose[r][c];
    if (!withMarker) shown[0][3] += 1e5;  // the table alone
    scene->frame.assign(static_cast<size_t>(width) * height * 4, 0);
    SceneOptions options;
    options.noiseSigma = 2.0;
    renderMarkerScene(scene->camera, shown, kMarkerWidth, marker, options, scene->frame.data());
}

// ---- Accuracy and jitter -------------------------------------------------------------

constexpr int kAccuracyFrames = 300;
constexpr int kJitterFrames = 100;
constexpr double kAccuracyNoise = 3.0;

struct PoseErrors {
    int frames = 0;
    int right = 0;  // found, with a rotation within 5 degrees (wrong corners are 90 off)
    std::vector<double> rotation, translation, depth;
};

double percentile(std::vector<double> values, double q) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(q * values.size()))];
}

double rotationErrorDegrees(const double a[3][4], const double b[3][4]) {
    double trace = 0.0;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) trace += a[r][c] * b[r][c];
    return std::acos(std::clamp((trace - 1.0) / 2.0, -1.0, 1.0)) * 180.0 / M_PI;
}

void addPose(const double truth[3][4], const double estimate[3][4], PoseErrors* errors) {
    const double rotation = rotationErrorDegrees(truth, estimate);
    if (!(rotation < 5.0)) return;
    ++errors->right;
    const double distance = std::sqrt(truth[0][3] * truth[0][3] + truth[1][3] * truth[1][3] + truth[2][3] * truth[2][3]);
    const double dx = estimate[0][3] - truth[0][3], dy = estimate[1][3] - truth[1][3], dz = estimate[2][3] - truth[2][3];
    errors->rotation.push_back(rotation);
    errors->translation.push_back(100.0 * std::sqrt(dx * dx + dy * dy + dz * dz) / distance);
    errors->depth.push_back(100.0 * dz / truth[2][3]);
}

void reportAccuracy(benchmark::State& state, const PoseErrors& e) {
    double mean = 0.0;
    for (double d : e.depth) mean += d;
    mean = e.depth.empty() ? NAN : mean / e.depth.size();
    state.counters["right_pct"] = 100.0 * e.right / std::max(1, e.frames);
    state.counters["rot_med_deg"] = percentile(e.rotation, 0.5);
    state.counters["rot_p95_deg"] = percentile(e.rotation, 0.95);
    state.counters["trans_med_pct"] = percentile(e.translation, 0.5);
    state.counters["trans_p95_pct"] = percentile(e.translation, 0.95);
    state.counters["depth_mean_pct"] = mean;
}

// Rotation spread as the root of the summed variances of the small-angle rotation vector
// of R_i R_mean^T (degrees); position spread the same way, in % of the distance.
void reportJitter(benchmark::State& state, const std::vector<std::array<double, 12>>& poses, double distance) {
    if (poses.size() < 2) {
        state.SkipWithError("too few poses for a spread");
        return;
    }
    const double n = static_cast<double>(poses.size());
    const auto& ref = poses.front();
    double mean[6] = {}, square[6] = {};
    for (const auto& p : poses) {
        // Relative rotation D = R R_ref^T; its skew part gives the small rotation vector.
        double d[3][3];
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                d[i][j] = p[4 * i] * ref[4 * j] + p[4 * i + 1] * ref[4 * j + 1] + p[4 * i + 2] * ref[4 * j + 2];
        const double v[6] = {(d[2][1] - d[1][2]) / 2, (d[0][2] - d[2][0]) / 2, (d[1][0] - d[0][1]) / 2,
                             p[3], p[7], p[11]};
        for (int k = 0; k < 6; ++k) {
            mean[k] += v[k] / n;
            square[k] += v[k] * v[k] / n;
        }
    }
    double rotation = 0.0, position = 0.0;
    for (int k = 0; k < 3; ++k) rotation += (square[k] - mean[k] * mean[k]) * n / (n - 1);
    for (int k = 3; k < 6; ++k) position += (square[k] - mean[k] * mean[k]) * n / (n - 1);
    state.counters["rot_jitter_deg"] = std::sqrt(std::max(0.0, rotation)) * 180.0 / M_PI;
    state.counters["trans_jitter_pct"] = 100.0 * std::sqrt(std::max(0.0, position)) / distance;
    state.counters["frames"] = n;
}

// Facing the camera (marker y up the image, z towards it), tilted about an in-plane axis,
// spun about the normal, anywhere the square and a margin stay in view.
void randomPose(std::mt19937& rng, const CameraParam& camera, double transform[3][4]) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (;;) {
        const double distance = kMarkerWidth * (3.0 + 7.0 * unit(rng));
        const double axis = 2 * M_PI * unit(rng), tilt = 60.0 * M_PI / 180.0 * unit(rng), spin = 2 * M_PI * unit(rng);
        const double ax = std::cos(axis), ay = std::sin(axis), c = std::cos(tilt), s = std::sin(tilt);
        const double t[3][3] = {{c + ax * ax * (1 - c), ax * ay * (1 - c), ay * s},
                                {ax * ay * (1 - c), c + ay * ay * (1 - c), -ax * s},
                                {-ay * s, ax * s, c}};
        const double z[3][3] = {{std::cos(spin), -std::sin(spin), 0}, {std::sin(spin), std::cos(spin), 0}, {0, 0, 1}};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                transform[i][j] = t[i][0] * z[0][j] + t[i][1] * z[1][j] + t[i][2] * z[2][j];
            }
        for (int j = 0; j < 3; ++j) {  // facing = diag(1, -1, -1)
            transform[1][j] = -transform[1][j];
            transform[2][j] = -transform[2][j];
        }
        transform[0][3] = (camera.width * unit(rng) - camera.projection[0][2]) / camera.projection[0][0] * distance;
        transform[1][3] = (camera.height * unit(rng) - camera.projection[1][2]) / camera.projection[1][1] * distance;
        transform[2][3] = distance;
        bool inside = true;
        const double h = kMarkerWidth * 0.65;
        const double corners[4][2] = {{-h, h}, {h, h}, {h, -h}, {-h, -h}};
        for (const auto& p : corners) {
            double x, y;
            inside = inside && projectMarkerPoint(camera, transform, p[0], p[1], &x, &y) && x > 3 && y > 3 &&
                     x < camera.width - 4 && y < camera.height - 4;
        }
        if (inside) return;
    }
}

struct AccuracyFrame {
    double truth[3][4];
    uint32_t seed;
};

const std::vector<AccuracyFrame>& accuracyFrames() {
    static const std::vector<AccuracyFrame> frames = [] {
        std::mt19937 rng(16);
        std::vector<AccuracyFrame> out(kAccuracyFrames);
        for (int i = 0; i < kAccuracyFrames; ++i) {
            randomPose(rng, baseCamera(), out[i].truth);
            out[i].seed = static_cast<uint32_t>(1000 + i);
        }
        return out;
    }();
    return frames;
}

void renderFrame(const CameraParam& camera, const double pose[3][4], const MarkerImage& marker, double noise,
                 uint32_t seed, std::vector<uint8_t>* frame) {
    frame->assign(static_cast<size_t>(camera.width) * camera.height * 4, 0);
    SceneOptions options;
    options.noiseSigma = noise;
    options.seed = seed;
    renderMarkerScene(camera, pose, kMarkerWidth, marker, options, frame->data());
}

int threshold(const std::vector<uint8_t>& bgra, int width, int height) {
    cv::Mat frame(height, width, CV_8UC4, const_cast<uint8_t*>(bgra.data()));
    cv::Mat grey, binary;
    cv::cvtColor(frame, grey, cv::COLOR_BGRA2GRAY);
    return static_cast<int>(cv::threshold(grey, binary, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU) + 0.5);
}

const DetectedMarker* bestMarker(const uint8_t* frame, int thresholdValue) {
    DetectedMarker* markers = nullptr;
    int count = 0;
    if (detectMarkers(frame, thresholdValue, &markers, &count) < 0) fail("detection failed");
    const DetectedMarker* best = nullptr;
    for (int i = 0; i < count; ++i)
        if (markers[i].pattern == patternSlot() && (!best || markers[i].confidence > best->confidence)) best = &markers[i];
    return best;
}

// How Pavonix's own pose is fitted to a detected marker in one accuracy row.
enum class PoseMethod { Library, CornerSubPix, IppeLm };

#ifdef PAVONIX_HAVE_CALIB3D
// Pose from four ideal corners by OpenCV's square-marker solver, refined by its LM step.
bool openCvPose(const DetectedMarker& m, const CameraParam& camera, double out[3][4]) {
    const double h = kMarkerWidth / 2;
    const std::vector<cv::Point3d> model = {{-h, h, 0}, {h, h, 0}, {h, -h, 0}, {-h, -h, 0}};
    std::vector<cv::Point2d> image;
    for (int k = 0; k < 4; ++k) {
        const double* c = m.corners[(4 - m.orientation + k) % 4];
        image.emplace_back(c[0], c[1]);
    }
    const cv::Matx33d k(camera.projection[0][0], camera.projection[0][1], camera.projection[0][2], 0,
                        camera.projection[1][1], camera.projection[1][2], 0, 0, 1);
    cv::Mat rvec, tvec;
    if (!cv::solvePnP(model, image, k, cv::noArray(), rvec, tvec, false, cv::SOLVEPNP_IPPE_SQUARE)) return false;
    cv::solvePnPRefineLM(model, image, k, cv::noArray(), rvec, tvec);
    cv::Matx33d r;
    cv::Rodrigues(rvec, r);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) out[i][j] = r(i, j);
        out[i][3] = tvec.at<double>(i);
    }
    return true;
}
#endif

// The detected corners moved by cv::cornerSubPix on the observed grey image, the edge
// lines redrawn through them.
void cornerSubPixMarker(const std::vector<uint8_t>& bgra, const CameraParam& camera, DetectedMarker* m) {
    cv::Mat frame(camera.height, camera.width, CV_8UC4, const_cast<uint8_t*>(bgra.data()));
    cv::Mat grey;
    cv::cvtColor(frame, grey, cv::COLOR_BGRA2GRAY);
    std::vector<cv::Point2f> points;
    for (auto& c : m->corners) {
        double ox, oy;
        idealToObserved(camera.distortion, c[0], c[1], &ox, &oy);
        points.emplace_back(static_cast<float>(ox), static_cast<float>(oy));
    }
    cv::cornerSubPix(grey, points, cv::Size(4, 4), cv::Size(-1, -1),
                     cv::TermCriteria(cv::TermCriteria::EPS + cv::TermCriteria::COUNT, 40, 0.001));
    for (int k = 0; k < 4; ++k)
        observedToIdeal(camera.distortion, points[k].x, points[k].y, &m->corners[k][0], &m->corners[k][1]);
    for (int i = 0; i < 4; ++i) {  // edge i runs from corner i to corner i + 1
        const double* a = m->corners[i];
        const double* b = m->corners[(i + 1) % 4];
        m->edgeLines[i][0] = b[1] - a[1];
        m->edgeLines[i][1] = a[0] - b[0];
        m->edgeLines[i][2] = -(m->edgeLines[i][0] * a[0] + m->edgeLines[i][1] * a[1]);
    }
}

void pavonixAccuracy(benchmark::State& state, PoseMethod method) {
    const CameraParam& camera = baseCamera();
    setTrackerCameraParam(&camera);
    patternSlot();
    const double center[2] = {0, 0};
    PoseErrors errors;
    std::vector<uint8_t> frame;
    for (auto _ : state) {
        for (const AccuracyFrame& f : accuracyFrames()) {
            renderFrame(camera, f.truth, committedMarker(), kAccuracyNoise, f.seed, &frame);
            resetMarkerHistory();
            ++errors.frames;
            const DetectedMarker* found = bestMarker(frame.data(), threshold(frame, camera.width, camera.height));
            if (!found) continue;
            DetectedMarker m = *found;
            double estimate[3][4];
            bool posed = false;
            if (method == PoseMethod::CornerSubPix) cornerSubPixMarker(frame, camera, &m);
#ifdef PAVONIX_HAVE_CALIB3D
            if (method == PoseMethod::IppeLm) posed = openCvPose(m, camera, estimate);
            else
#endif
                posed = estimatePose(trackerCameraParam(), &m, center, kMarkerWidth, estimate) >= 0.0;
            if (posed) addPose(f.truth, estimate, &errors);
        }
    }
    reportAccuracy(state, errors);
}

void BM_PavonixAccuracy(benchmark::State& state) { pavonixAccuracy(state, PoseMethod::Library); }
BENCHMARK(BM_PavonixAccuracy)->Iterations(1)->Unit(benchmark::kMillisecond);

#ifdef PAVONIX_HAS_EDGE_REFINEMENT
// The same with the contour corners alone, for the worth of the edge refinement.
void BM_PavonixAccuracyContourEdges(benchmark::State& state) {
    setSubpixelEdges(false);
    pavonixAccuracy(state, PoseMethod::Library);
    setSubpixelEdges(true);
}
BENCHMARK(BM_PavonixAccuracyContourEdges)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_PavonixAccuracyCornerSubPix(benchmark::State& state) {
    setSubpixelEdges(false);
    pavonixAccuracy(state, PoseMethod::CornerSubPix);
    setSubpixelEdges(true);
}
BENCHMARK(BM_PavonixAccuracyCornerSubPix)->Iterations(1)->Unit(benchmark::kMillisecond);
#else
void BM_PavonixAccuracyCornerSubPix(benchmark::State& state) { pavonixAccuracy(state, PoseMethod::CornerSubPix); }
BENCHMARK(BM_PavonixAccuracyCornerSubPix)->Iterations(1)->Unit(benchmark::kMillisecond);
#endif

#ifdef PAVONIX_HAVE_CALIB3D
void BM_PavonixCornersIppeLm(benchmark::State& state) { pavonixAccuracy(state, PoseMethod::IppeLm); }
BENCHMARK(BM_PavonixCornersIppeLm)->Iterations(1)->Unit(benchmark::kMillisecond);
#endif

// The tracker as the viewer runs it on a still camera: the first frame from scratch, then
// each frame from the previous pose.
void BM_PavonixJitter(benchmark::State& state) {
    const CameraParam& camera = baseCamera();
    setTrackerCameraParam(&camera);
    patternSlot();
    double pose[3][4];
    viewPose(camera, pose);
    const double center[2] = {0, 0};
    std::vector<std::array<double, 12>> poses;
    std::vector<uint8_t> frame;
    for (auto _ : state) {
        resetMarkerHistory();
        double transform[3][4];
        bool first = true;
        for (int i = 0; i < kJitterFrames; ++i) {
            renderFrame(camera, pose, committedMarker(), kAccuracyNoise, static_cast<uint32_t>(5000 + i), &frame);
            const DetectedMarker* m = bestMarker(frame.data(), threshold(frame, camera.width, camera.height));
            if (!m) continue;
            double previous[3][4];
            std::memcpy(previous, transform, sizeof previous);
            const double error = first
                                     ? estimatePose(trackerCameraParam(), m, center, kMarkerWidth, transform)
                                     : estimatePoseContinuous(trackerCameraParam(), m, previous, center,
                                                              kMarkerWidth, transform);
            if (error < 0.0) continue;
            first = false;
            std::array<double, 12> p;
            std::memcpy(p.data(), transform, sizeof transform);
            poses.push_back(p);
        }
    }
    reportJitter(state, poses, std::sqrt(pose[0][3] * pose[0][3] + pose[1][3] * pose[1][3] + pose[2][3] * pose[2][3]));
}
BENCHMARK(BM_PavonixJitter)->Iterations(1)->Unit(benchmark::kMillisecond);

// ---- Timing ---------------------------------------------------------------------------

void BM_PavonixDetectAndPose(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const bool withMarker = state.range(2) != 0;
    const int slot = patternSlot();
    Scene scene;
    makeScene(width, height, withMarker, committedMarker(), &scene);
    setTrackerCameraParam(&scene.camera);
    resetMarkerHistory();
    const double center[2] = {0, 0};
    int found = 0;
    for (auto _ : state) {
        DetectedMarker* markers = nullptr;
        int count = 0;
        if (detectMarkers(scene.frame.data(), scene.threshold, &markers, &count) < 0) fail("detection failed");
        const DetectedMarker* best = nullptr;
        for (int i = 0; i < count; ++i)
            if (markers[i].pattern == slot && (!best || markers[i].confidence > best->confidence)) best = &markers[i];
        if (best) {
            double transform[3][4];
            benchmark::DoNotOptimize(
                estimatePose(trackerCameraParam(), best, center, kMarkerWidth, transform));
            benchmark::DoNotOptimize(transform);
            ++found;
        }
    }
    if ((found > 0) != withMarker) state.SkipWithError("the marker was not found as expected");
    state.counters["found"] = benchmark::Counter(found, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_PavonixDetectAndPose)
    ->ArgNames({"w", "h", "marker"})
    ->Args({640, 480, 1})
    ->Args({640, 480, 0})
    ->Args({1280, 720, 1})
    ->Args({1280, 720, 0})
    ->Args({1920, 1080, 1})
    ->Args({1920, 1080, 0})
    ->Unit(benchmark::kMillisecond);

// Detect + pose as the viewer runs them on each camera frame, from the B, G, R, A frame:
// the automatic threshold (grey conversion and Otsu's level), detection, the choice of the
// marker, and the pose from the previous one.
void BM_ViewerDetectAndPose(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const bool withMarker = state.range(2) != 0;
    Scene scene;
    makeScene(width, height, withMarker, committedMarker(), &scene);
    setTrackerCameraParam(&scene.camera);
    ViewerTracking tracking(patternSlot(), kMarkerWidth);
    tracking.reset();
    int found = 0;
    for (auto _ : state) {
        DetectedMarker marker;
        double transform[3][4];
        found += tracking.track(scene.frame.data(), width, height, &marker, transform);
        benchmark::DoNotOptimize(transform);
    }
    if ((found > 0) != withMarker) state.SkipWithError("the marker was not found as expected");
    state.counters["found"] = benchmark::Counter(found, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_ViewerDetectAndPose)
    ->ArgNames({"w", "h", "marker"})
    ->Args({640, 480, 1})
    ->Args({1280, 720, 1})
    ->Args({1920, 1080, 1})
    ->Unit(benchmark::kMillisecond);

#ifdef PAVONIX_HAVE_APRILTAG

// A tag36h11 tag as a marker picture: 10 cells across (white ring, black border, 6 x 6
// data bits, code bit 1 white), drawn from the family's code table, in a white margin.
MarkerImage tagImage(apriltag_family_t* family, int id) {
    const int cell = 32;
    const int margin = 2 * cell;
    const int cells = family->total_width;
    const int offset = (family->total_width - family->width_at_border) / 2;  // white ring
    MarkerImage image;
    image.width = image.height = cells * cell + 2 * margin;
    image.bgr.assign(static_cast<size_t>(image.width) * image.height * 3, 255);
    auto paint = [&](int cx, int cy, uint8_t value) {
        for (int y = 0; y < cell; ++y)
            for (int x = 0; x < cell; ++x) {
                uint8_t* p = &image.bgr[(static_cast<size_t>(margin + cy * cell + y) * image.width + margin + cx * cell + x) * 3];
                p[0] = p[1] = p[2] = value;
            }
    };
    for (int y = 0; y < family->width_at_border; ++y)
        for (int x = 0; x < family->width_at_border; ++x) paint(offset + x, offset + y, 0);
    const uint64_t code = family->codes[id];
    for (uint32_t i = 0; i < family->nbits; ++i) {
        const bool white = (code >> (family->nbits - 1 - i)) & 1u;
        if (white) paint(offset + static_cast<int>(family->bit_x[i]), offset + static_cast<int>(family->bit_y[i]), 255);
    }
    std::string error;
    if (!findMarkerSquare(image, &error)) fail("tag picture: " + error);
    return image;
}

void BM_AprilTagDetectAndPose(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const bool withMarker = state.range(2) != 0;
    apriltag_family_t* family = tag36h11_create();
    apriltag_detector_t* detector = apriltag_detector_create();
    apriltag_detector_add_family(detector, family);
    detector->nthreads = 1;

    Scene scene;
    makeScene(width, height, withMarker, tagImage(family, 0), &scene);
    // AprilTag reads grey images; the conversion from the camera's frame is timed with
    // it, as the viewer's own threshold step is.
    cv::Mat grey(height, width, CV_8UC1);
    const cv::Mat bgra(height, width, CV_8UC4, scene.frame.data());
    image_u8_t image = {width, height, width, grey.data};

    apriltag_detection_info_t info;
    info.tagsize = kMarkerWidth;
    info.fx = scene.camera.projection[0][0];
    info.fy = scene.camera.projection[1][1];
    info.cx = scene.camera.projection[0][2];
    info.cy = scene.camera.projection[1][2];
    int found = 0;
    double depth = 0.0;
    for (auto _ : state) {
        cv::cvtColor(bgra, grey, cv::COLOR_BGRA2GRAY);
        zarray_t* detections = apriltag_detector_detect(detector, &image);
        for (int i = 0; i < zarray_size(detections); ++i) {
            apriltag_detection_t* detection;
            zarray_get(detections, i, &detection);
            if (detection->id != 0) continue;
            info.det = detection;
            apriltag_pose_t pose;
            benchmark::DoNotOptimize(estimate_tag_pose(&info, &pose));
            depth = MATD_EL(pose.t, 2, 0);
            // The shared library does not export matd_destroy; a matd_t is one block
            // (header and flexible data array), so free releases it.
            std::free(pose.R);
            std::free(pose.t);
            ++found;
        }
        apriltag_detections_destroy(detections);
    }
    if ((found > 0) != withMarker) state.SkipWithError("the tag was not found as expected");
    state.counters["found"] = benchmark::Counter(found, benchmark::Counter::kAvgIterations);
    if (found > 0) state.counters["depth_error_pct"] = 100.0 * std::fabs(depth - scene.pose[2][3]) / scene.pose[2][3];
    apriltag_detector_destroy(detector);
    tag36h11_destroy(family);
}
BENCHMARK(BM_AprilTagDetectAndPose)
    ->ArgNames({"w", "h", "marker"})
    ->Args({640, 480, 1})
    ->Args({640, 480, 0})
    ->Args({1280, 720, 1})
    ->Args({1280, 720, 0})
    ->Args({1920, 1080, 1})
    ->Args({1920, 1080, 0})
    ->Unit(benchmark::kMillisecond);

// AprilTag sees the distorted image and knows only a pinhole camera; its homography is
// rebuilt from its corners put back into ideal coordinates so that it is measured on the
// same footing as Pavonix, which undistorts its edges.
void undistortDetection(const CameraParam& camera, apriltag_detection_t* detection) {
    const double tag[4][2] = {{-1, 1}, {1, 1}, {1, -1}, {-1, -1}};
    double image[4][2];
    for (int k = 0; k < 4; ++k) {
        double ox, oy;
        homography_project(detection->H, tag[k][0], tag[k][1], &ox, &oy);
        observedToIdeal(camera.distortion, ox, oy, &image[k][0], &image[k][1]);
    }
    double h[3][3];
    if (computeHomography(tag, image, h) < 0) return;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) MATD_EL(detection->H, r, c) = h[r][c];
}

struct AprilTagRunner {
    apriltag_family_t* family = tag36h11_create();
    apriltag_detector_t* detector = apriltag_detector_create();
    MarkerImage tag;
    AprilTagRunner() {
        apriltag_detector_add_family(detector, family);
        detector->nthreads = 1;
        tag = tagImage(family, 0);
    }
    ~AprilTagRunner() {
        apriltag_detector_destroy(detector);
        tag36h11_destroy(family);
    }
    // Pose in the marker convention (y up, z out of the paper); false when not found.
    bool pose(const std::vector<uint8_t>& bgra, const CameraParam& camera, double out[3][4]) {
        std::vector<uint8_t> grey(static_cast<size_t>(camera.width) * camera.height);
        for (size_t i = 0; i < grey.size(); ++i) {
            const uint8_t* p = &bgra[i * 4];
            grey[i] = static_cast<uint8_t>((p[0] * 114 + p[1] * 587 + p[2] * 299 + 500) / 1000);
        }
        image_u8_t image = {camera.width, camera.height, camera.width, grey.data()};
        zarray_t* detections = apriltag_detector_detect(detector, &image);
        bool found = false;
        for (int i = 0; i < zarray_size(detections) && !found; ++i) {
            apriltag_detection_t* detection;
            zarray_get(detections, i, &detection);
            if (detection->id != 0) continue;
            undistortDetection(camera, detection);
            apriltag_detection_info_t info;
            info.det = detection;
            info.tagsize = kMarkerWidth;
            info.fx = camera.projection[0][0];
            info.fy = camera.projection[1][1];
            info.cx = camera.projection[0][2];
            info.cy = camera.projection[1][2];
            apriltag_pose_t pose;
            estimate_tag_pose(&info, &pose);
            // AprilTag's tag frame has y down and z into the tag: flip y and z.
            for (int r = 0; r < 3; ++r) {
                out[r][0] = MATD_EL(pose.R, r, 0);
                out[r][1] = -MATD_EL(pose.R, r, 1);
                out[r][2] = -MATD_EL(pose.R, r, 2);
                out[r][3] = MATD_EL(pose.t, r, 0);
            }
            std::free(pose.R);
            std::free(pose.t);
            found = true;
        }
        apriltag_detections_destroy(detections);
        return found;
    }
};

void BM_AprilTagAccuracy(benchmark::State& state) {
    const CameraParam& camera = baseCamera();
    AprilTagRunner runner;
    PoseErrors errors;
    std::vector<uint8_t> frame;
    for (auto _ : state) {
        for (const AccuracyFrame& f : accuracyFrames()) {
            renderFrame(camera, f.truth, runner.tag, kAccuracyNoise, f.seed, &frame);
            ++errors.frames;
            double estimate[3][4];
            if (runner.pose(frame, camera, estimate)) addPose(f.truth, estimate, &errors);
        }
    }
    reportAccuracy(state, errors);
}
BENCHMARK(BM_AprilTagAccuracy)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_AprilTagJitter(benchmark::State& state) {
    const CameraParam& camera = baseCamera();
    AprilTagRunner runner;
    double pose[3][4];
    viewPose(camera, pose);
    std::vector<std::array<double, 12>> poses;
    std::vector<uint8_t> frame;
    for (auto _ : state) {
        for (int i = 0; i < kJitterFrames; ++i) {
            renderFrame(camera, pose, runner.tag, kAccuracyNoise, static_cast<uint32_t>(5000 + i), &frame);
            double estimate[3][4];
            if (!runner.pose(frame, camera, estimate)) continue;
            std::array<double, 12> p;
            std::memcpy(p.data(), estimate, sizeof estimate);
            poses.push_back(p);
        }
    }
    reportJitter(state, poses, std::sqrt(pose[0][3] * pose[0][3] + pose[1][3] * pose[1][3] + pose[2][3] * pose[2][3]));
}
BENCHMARK(BM_AprilTagJitter)->Iterations(1)->Unit(benchmark::kMillisecond);

#endif

// ---- Conditions of real rooms -------------------------------------------------------------
// Each detector on the rendered condition sets (tests/common/TrackingConditions, the same
// sets as the accuracy test), with its own marker printed at the same size under the same
// poses, light, fingers and blur. Per set: detection rate, median rotation and translation
// error of the poses reported, and how many of them were wrong (a marker 40 px or wider
// off by more than 5 degrees, a smaller one by more than 2 % of its distance).

constexpr uint32_t kConditionSeed = 2026;  // the accuracy test's seed

struct ConditionFigures {
    int frames = 0, found = 0, wrong = 0;
    int readableFrames = 0, readableFound = 0;  // markers 20 px wide and more
    std::vector<double> rotation, translation;
};

// Results by detector and condition, for the table printed after the run.
std::map<std::string, std::map<TrackingCondition, ConditionFigures>>& conditionTable() {
    static std::map<std::string, std::map<TrackingCondition, ConditionFigures>> table;
    return table;
}

const ConditionSet& conditionSet(TrackingCondition condition) {
    static std::map<TrackingCondition, ConditionSet> sets;
    auto it = sets.find(condition);
    if (it == sets.end()) {
        int width, height;
        conditionFrameSize(condition, &width, &height);
        it = sets.emplace(condition, makeConditionSet(condition, baseCamera(), width, height, kConditionSeed)).first;
    }
    return it->second;
}

// A detector: the pose of its marker in a frame of the set, false when not found. fresh
// is true for an independent still (the detector forgets earlier frames).
using ConditionDetector = std::function<bool(const ConditionSet& set, const std::vector<uint8_t>& frame, bool fresh,
                                             double pose[3][4])>;

void measureCondition(benchmark::State& state, const std::string& detectorName, TrackingCondition condition,
                      const MarkerImage& picture, const ConditionDetector& detect) {
    const ConditionSet& set = conditionSet(condition);
    const bool sequence = condition == TrackingCondition::FingerSequence;
    ConditionFigures figures;
    std::vector<uint8_t> frame;
    for (auto _ : state) {
        for (size_t i = 0; i < set.frames.size(); ++i) {
            const ConditionFrame& truth = set.frames[i];
            renderConditionFrame(set, i, picture, &frame);
            ++figures.frames;
            const bool readable = truth.widthPixels >= 20.0;
            figures.readableFrames += readable;
            double pose[3][4];
            if (!detect(set, frame, !sequence || i == 0, pose)) continue;
            ++figures.found;
            figures.readableFound += readable;
            const double rotation = poseRotationErrorDegrees(truth.truth, pose);
            const double translation = poseTranslationErrorPercent(truth.truth, pose);
            figures.rotation.push_back(rotation);
            figures.translation.push_back(translation);
            figures.wrong += truth.widthPixels >= 40.0 ? !(rotation <= 5.0) : !(translation <= 2.0);
        }
    }
    state.counters["rate"] = static_cast<double>(figures.found) / std::max(1, figures.frames);
    state.counters["rot_med_deg"] = percentile(figures.rotation, 0.5);
    state.counters["trans_med_pct"] = percentile(figures.translation, 0.5);
    state.counters["wrong"] = figures.wrong;
    if (condition == TrackingCondition::Tiny)
        state.counters["rate_20px"] = static_cast<double>(figures.readableFound) / std::max(1, figures.readableFrames);
    conditionTable()[detectorName][condition] = figures;
}

void pavonixCondition(benchmark::State& state, TrackingCondition condition) {
    const ConditionSet& set = conditionSet(condition);
    setTrackerCameraParam(&set.camera);
    ViewerTracking tracking(patternSlot(), set.markerWidth);
    measureCondition(state, "Pavonix", condition, committedMarker(),
                     [&](const ConditionSet& s, const std::vector<uint8_t>& frame, bool fresh, double pose[3][4]) {
                         if (fresh) tracking.reset();
                         DetectedMarker marker;
                         return tracking.track(frame.data(), s.camera.width, s.camera.height, &marker, pose);
                     });
}

#ifdef PAVONIX_HAVE_APRILTAG
void aprilTagCondition(benchmark::State& state, TrackingCondition condition) {
    AprilTagRunner runner;
    measureCondition(state, "AprilTag 3", condition, runner.tag,
                     [&](const ConditionSet& s, const std::vector<uint8_t>& frame, bool, double pose[3][4]) {
                         return runner.pose(frame, s.camera, pose);
                     });
}
#endif

void registerConditionBenchmarks() {
    std::vector<TrackingCondition> conditions(std::begin(kStillConditions), std::end(kStillConditions));
    conditions.push_back(TrackingCondition::FingerSequence);
    for (TrackingCondition c : conditions) {
        benchmark::RegisterBenchmark((std::string("Conditions/Pavonix/") + conditionName(c)).c_str(),
                                     [c](benchmark::State& state) { pavonixCondition(state, c); })
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
#ifdef PAVONIX_HAVE_APRILTAG
        benchmark::RegisterBenchmark((std::string("Conditions/AprilTag/") + conditionName(c)).c_str(),
                                     [c](benchmark::State& state) { aprilTagCondition(state, c); })
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
#endif
    }
}

// The measured conditions as a Markdown table: detection rate / median rotation error /
// median translation error, per detector.
void printConditionTable() {
    const auto& table = conditionTable();
    if (table.empty()) return;
    std::vector<std::string> detectors;
    for (const char* name : {"Pavonix", "AprilTag 3"})
        if (table.count(name)) detectors.push_back(name);
    std::printf("\n| condition |");
    for (const auto& d : detectors) std::printf(" %s |", d.c_str());
    std::printf("\n|---|");
    for (size_t i = 0; i < detectors.size(); ++i) std::printf("---|");
    std::printf("\n");
    std::vector<TrackingCondition> conditions(std::begin(kStillConditions), std::end(kStillConditions));
    conditions.push_back(TrackingCondition::FingerSequence);
    for (TrackingCondition c : conditions) {
        bool any = false;
        for (const auto& d : detectors) any = any || table.at(d).count(c);
        if (!any) continue;
        std::printf("| %s |", conditionDescription(c));
        for (const auto& d : detectors) {
            const auto it = table.at(d).find(c);
            if (it == table.at(d).end()) {
                std::printf(" |");
                continue;
            }
            const ConditionFigures& f = it->second;
            std::printf(" %.3f", static_cast<double>(f.found) / std::max(1, f.frames));
            // Two decimals as a rule, three where two would show nothing.
            auto figure = [](double v) { return v < 0.095 ? 3 : 2; };
            if (!f.rotation.empty()) {
                const double r = percentile(f.rotation, 0.5), t = percentile(f.translation, 0.5);
                std::printf(" / %.*f° / %.*f %%", figure(r), r, figure(t), t);
            }
            if (c == TrackingCondition::Tiny)
                std::printf(" (20 px and more: %.3f)", static_cast<double>(f.readableFound) / std::max(1, f.readableFrames));
            if (f.wrong) std::printf(", %d wrong", f.wrong);
            std::printf(" |");
        }
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Every figure is for one thread: OpenCV's own pool stays out of the grey conversion
    // and the threshold.
    cv::setNumThreads(1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    registerConditionBenchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printConditionTable();
    return 0;
}

