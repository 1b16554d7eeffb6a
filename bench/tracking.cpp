// Per-frame marker detection and pose on rendered frames, with one marker in view and
// with none, at 640x480 and 1280x720. When AprilTag is available, the same view with a
// tag36h11 tag, detected and posed by AprilTag, for comparison.
//
// Run: bench_tracking --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
// and compare the medians.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/video/MarkerScene.h"
#include "tracking/CameraParam.h"
#include "tracking/Marker.h"
#include "tracking/Pattern.h"
#include "tracking/Pose.h"

#ifdef PAVONIX_HAVE_APRILTAG
#include <apriltag/apriltag.h>
#include <apriltag/apriltag_pose.h>
#include <apriltag/common/matd.h>
#include <apriltag/tag36h11.h>
#endif

namespace {

constexpr double kMarkerWidth = 40.0;

std::string dataPath(const char* name) { return std::string(PAVONIX_SOURCE_DIR) + "/Data/" + name; }

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "bench_tracking: %s\n", message.c_str());
    std::exit(1);
}

const CameraParam& baseCamera() {
    static CameraParam camera;
    static const bool loaded = [] {
        if (loadCameraParam(dataPath("camera_para.dat").c_str(), 1, &camera) < 0)
            fail("cannot load " + dataPath("camera_para.dat"));
        return true;
    }();
    (void)loaded;
    return camera;
}

int patternSlot() {
    static const int slot = [] {
        const int s = loadPatternFile(dataPath("patt.00").c_str());
        if (s < 0) fail("cannot load " + dataPath("patt.00"));
        return s;
    }();
    return slot;
}

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

const MarkerImage& committedMarker() {
    static MarkerImage marker;
    static const bool loaded = [] {
        std::string error;
        if (!loadMarkerImage(dataPath("marker.png").c_str(), marker, &error)) fail(error);
        return true;
    }();
    (void)loaded;
    return marker;
}

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
            benchmark::DoNotOptimize(estimatePose(best, center, kMarkerWidth, transform));
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
    // AprilTag reads grey images; the conversion is done once, outside the timing.
    std::vector<uint8_t> grey(static_cast<size_t>(width) * height);
    for (size_t i = 0; i < grey.size(); ++i) {
        const uint8_t* p = &scene.frame[i * 4];
        grey[i] = static_cast<uint8_t>((p[0] * 114 + p[1] * 587 + p[2] * 299 + 500) / 1000);
    }
    image_u8_t image = {width, height, width, grey.data()};

    apriltag_detection_info_t info;
    info.tagsize = kMarkerWidth;
    info.fx = scene.camera.projection[0][0];
    info.fy = scene.camera.projection[1][1];
    info.cx = scene.camera.projection[0][2];
    info.cy = scene.camera.projection[1][2];
    int found = 0;
    double depth = 0.0;
    for (auto _ : state) {
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
    ->Unit(benchmark::kMillisecond);

#endif

}  // namespace

BENCHMARK_MAIN();
