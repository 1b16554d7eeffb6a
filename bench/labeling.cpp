// The thresholding stage of marker detection: one level for the whole frame (Otsu's,
// computed from the frame as the viewer does) against the local, tile-based threshold.
//
// Timing: threshold + label alone, and detect + pose from the 32-bit frame, at 640x480,
// 1280x720 and 1920x1080, one marker in view (arg "local": 0 Otsu, 1 local).
//
// Rates (measurements, one iteration each; --benchmark_filter=Rate): 150 random views
// at 640x480 per condition, the same views for both thresholds: clean (sensor noise),
// dim (one lamp: light falling from 1.0 to 0.25 across the frame, the print's contrast
// halved, noise), and JPEG (the clean frames compressed at quality 70, as a webcam sends
// them). A view counts as found when the pose is within 5 degrees of the truth.

#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "platform/video/MarkerScene.h"
#include "tracking/CameraParam.h"
#include "tracking/Labeling.h"
#include "tracking/Marker.h"
#include "tracking/Pattern.h"
#include "tracking/Pose.h"

namespace {

constexpr double kMarkerWidth = 40.0;
constexpr int kRateFrames = 150;

std::string dataPath(const char* name) { return std::string(PAVONIX_SOURCE_DIR) + "/Data/" + name; }

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "bench_labeling: %s\n", message.c_str());
    std::exit(1);
}

const CameraParam& baseCamera() {
    static CameraParam camera;
    static const bool loaded = loadCameraParam(dataPath("camera_para.dat").c_str(), 1, &camera) == 0;
    if (!loaded) fail("cannot load " + dataPath("camera_para.dat"));
    return camera;
}

const MarkerImage& committedMarker() {
    static MarkerImage marker;
    static std::string error;
    static const bool loaded = loadMarkerImage(dataPath("marker.png").c_str(), marker, &error);
    if (!loaded) fail(error);
    return marker;
}

int patternSlot() {
    static const int slot = loadPatternFile(dataPath("patt.00").c_str());
    if (slot < 0) fail("cannot load " + dataPath("patt.00"));
    return slot;
}

// The threshold the viewer passes: Otsu's level of the frame, or local thresholding.
int frameThreshold(const uint8_t* bgra, int width, int height, bool local) {
    if (local) return kLocalThreshold;
    cv::Mat frame(height, width, CV_8UC4, const_cast<uint8_t*>(bgra));
    static cv::Mat grey, binary;  // benchmark scratch, kept like the viewer's images
    cv::cvtColor(frame, grey, cv::COLOR_RGBA2GRAY);
    return static_cast<int>(cv::threshold(grey, binary, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU) + 0.5);
}

// Facing the camera, tilted up to 55 degrees about an in-plane axis, spun about its
// normal, 4 to 12 marker widths away, the square and a margin in view.
void randomPose(std::mt19937& rng, const CameraParam& camera, double transform[3][4]) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (;;) {
        const double distance = kMarkerWidth * (4.0 + 8.0 * unit(rng));
        const double axis = 2 * M_PI * unit(rng), tilt = 55.0 * M_PI / 180.0 * unit(rng), spin = 2 * M_PI * unit(rng);
        const double ax = std::cos(axis), ay = std::sin(axis), c = std::cos(tilt), s = std::sin(tilt);
        const double t[3][3] = {{c + ax * ax * (1 - c), ax * ay * (1 - c), ay * s},
                                {ax * ay * (1 - c), c + ay * ay * (1 - c), -ax * s},
                                {-ay * s, ax * s, c}};
        const double z[3][3] = {{std::cos(spin), -std::sin(spin), 0}, {std::sin(spin), std::cos(spin), 0}, {0, 0, 1}};
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) transform[i][j] = t[i][0] * z[0][j] + t[i][1] * z[1][j] + t[i][2] * z[2][j];
        for (int j = 0; j < 3; ++j) {  // facing the camera: diag(1, -1, -1)
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

enum class Condition { Clean, Dim, Jpeg };

// One lamp to one side: the light falls linearly from 1.0 to 0.25 across the frame in a
// random direction; the print's contrast is halved about mid grey; sensor noise sigma 3.
void darken(std::mt19937& rng, int width, int height, std::vector<uint8_t>& bgra) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> noise(0.0, 3.0);
    const double angle = 2 * M_PI * unit(rng);
    const double dx = std::cos(angle), dy = std::sin(angle);
    const double reach = std::fabs(dx) * width + std::fabs(dy) * height;
    const double x0 = dx < 0 ? width : 0, y0 = dy < 0 ? height : 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double along = ((x - x0) * dx + (y - y0) * dy) / reach;
            const double light = 1.0 - 0.75 * std::clamp(along, 0.0, 1.0);
            uint8_t* p = &bgra[(static_cast<size_t>(y) * width + x) * 4];
            for (int c = 0; c < 3; ++c) {
                const double v = (64.0 + 0.5 * p[c]) * light + noise(rng);
                p[c] = static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
            }
        }
}

void compressJpeg(int width, int height, std::vector<uint8_t>& bgra) {
    cv::Mat frame(height, width, CV_8UC4, bgra.data());
    cv::Mat bgr;
    cv::cvtColor(frame, bgr, cv::COLOR_BGRA2BGR);
    std::vector<uint8_t> file;
    cv::imencode(".jpg", bgr, file, {cv::IMWRITE_JPEG_QUALITY, 70});
    const cv::Mat decoded = cv::imdecode(file, cv::IMREAD_COLOR);
    cv::cvtColor(decoded, frame, cv::COLOR_BGR2BGRA);
}

void renderCondition(Condition condition, std::mt19937& rng, const CameraParam& camera, const double pose[3][4],
                     std::vector<uint8_t>& bgra) {
    bgra.assign(static_cast<size_t>(camera.width) * camera.height * 4, 0);
    SceneOptions options;
    options.noiseSigma = condition == Condition::Dim ? 0.0 : 3.0;
    options.seed = static_cast<uint32_t>(rng());
    renderMarkerScene(camera, pose, kMarkerWidth, committedMarker(), options, bgra.data());
    if (condition == Condition::Dim) darken(rng, camera.width, camera.height, bgra);
    if (condition == Condition::Jpeg) compressJpeg(camera.width, camera.height, bgra);
}

const DetectedMarker* bestMarker(DetectedMarker* markers, int count) {
    const DetectedMarker* best = nullptr;
    for (int i = 0; i < count; ++i)
        if (markers[i].pattern == patternSlot() && (!best || markers[i].confidence > best->confidence))
            best = &markers[i];
    return best;
}

double rotationErrorDegrees(const double a[3][4], const double b[3][4]) {
    double trace = 0.0;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) trace += a[r][c] * b[r][c];
    return std::acos(std::clamp((trace - 1.0) / 2.0, -1.0, 1.0)) * 180.0 / M_PI;
}

double median(std::vector<double> values) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void BM_Rate(benchmark::State& state, Condition condition) {
    const bool local = state.range(0) != 0;
    CameraParam camera;
    resizeCameraParam(&baseCamera(), 640, 480, &camera);
    setTrackerCameraParam(&camera);
    patternSlot();
    const double center[2] = {0, 0};
    int found = 0, wrong = 0;
    std::vector<double> rotation, translation;
    for (auto _ : state) {
        std::mt19937 rng(2024);
        std::vector<uint8_t> frame;
        for (int n = 0; n < kRateFrames; ++n) {
            double pose[3][4];
            randomPose(rng, camera, pose);
            renderCondition(condition, rng, camera, pose, frame);
            resetMarkerHistory();  // independent stills
            DetectedMarker* markers = nullptr;
            int count = 0;
            if (detectMarkers(frame.data(), frameThreshold(frame.data(), camera.width, camera.height, local), &markers,
                              &count) < 0)
                continue;
            const DetectedMarker* best = bestMarker(markers, count);
            double estimate[3][4];
            if (!best || estimatePose(best, center, kMarkerWidth, estimate) < 0) continue;
            const double r = rotationErrorDegrees(pose, estimate);
            if (!(r < 5.0)) {
                ++wrong;
                continue;
            }
            ++found;
            double d2 = 0, t2 = 0;
            for (int k = 0; k < 3; ++k) {
                d2 += (estimate[k][3] - pose[k][3]) * (estimate[k][3] - pose[k][3]);
                t2 += pose[k][3] * pose[k][3];
            }
            rotation.push_back(r);
            translation.push_back(100.0 * std::sqrt(d2 / t2));
        }
    }
    state.counters["found_pct"] = 100.0 * found / kRateFrames;
    state.counters["wrong"] = wrong;
    state.counters["rot_med_deg"] = median(rotation);
    state.counters["trans_med_pct"] = median(translation);
}
BENCHMARK_CAPTURE(BM_Rate, clean, Condition::Clean)->ArgName("local")->Arg(0)->Arg(1)->Iterations(1);
BENCHMARK_CAPTURE(BM_Rate, dim, Condition::Dim)->ArgName("local")->Arg(0)->Arg(1)->Iterations(1);
BENCHMARK_CAPTURE(BM_Rate, jpeg, Condition::Jpeg)->ArgName("local")->Arg(0)->Arg(1)->Iterations(1);

// A marker about six widths away at 640x480, as near in proportion at the larger sizes.
void timingScene(int width, int height, CameraParam* camera, std::vector<uint8_t>* frame) {
    resizeCameraParam(&baseCamera(), width, height, camera);
    double pose[3][4] = {{1, 0, 0, 10}, {0, -1, 0, -5}, {0, 0, -1, 6 * kMarkerWidth}};
    frame->assign(static_cast<size_t>(width) * height * 4, 0);
    SceneOptions options;
    options.noiseSigma = 2.0;
    renderMarkerScene(*camera, pose, kMarkerWidth, committedMarker(), options, frame->data());
}

void BM_ThresholdAndLabel(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    const bool local = state.range(2) != 0;
    CameraParam camera;
    std::vector<uint8_t> frame;
    timingScene(width, height, &camera, &frame);
    LabelTables tables;
    for (auto _ : state) {
        const int threshold = frameThreshold(frame.data(), width, height, local);
        benchmark::DoNotOptimize(labelImage(frame.data(), width, height, threshold, &tables));
    }
    state.counters["labels"] = tables.count;
}

void BM_DetectAndPose(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    const bool local = state.range(2) != 0;
    CameraParam camera;
    std::vector<uint8_t> frame;
    timingScene(width, height, &camera, &frame);
    setTrackerCameraParam(&camera);
    patternSlot();
    resetMarkerHistory();
    const double center[2] = {0, 0};
    int found = 0;
    for (auto _ : state) {
        DetectedMarker* markers = nullptr;
        int count = 0;
        const int threshold = frameThreshold(frame.data(), width, height, local);
        if (detectMarkers(frame.data(), threshold, &markers, &count) < 0) fail("detection failed");
        if (const DetectedMarker* best = bestMarker(markers, count)) {
            double transform[3][4];
            benchmark::DoNotOptimize(estimatePose(best, center, kMarkerWidth, transform));
            benchmark::DoNotOptimize(transform);
            ++found;
        }
    }
    if (found == 0) state.SkipWithError("the marker was not found");
    state.counters["found"] = benchmark::Counter(found, benchmark::Counter::kAvgIterations);
}

void frameSizes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"w", "h", "local"});
    for (int local : {0, 1}) {
        b->Args({640, 480, local});
        b->Args({1280, 720, local});
        b->Args({1920, 1080, local});
    }
    b->Unit(benchmark::kMillisecond);
}
BENCHMARK(BM_ThresholdAndLabel)->Apply(frameSizes);
BENCHMARK(BM_DetectAndPose)->Apply(frameSizes);

}  // namespace

BENCHMARK_MAIN();
