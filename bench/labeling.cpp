// The thresholding stage of marker detection: one level for the whole frame (Otsu's,
// computed from the frame as the viewer does) against the local, tile-based threshold.
//
// Timing: threshold + label alone, and detect + pose from the 32-bit frame, at 640x480,
// 1280x720 and 1920x1080, one marker in view (arg "local": 0 Otsu, 1 local).
//
// Rates (measurements, one iteration each; --benchmark_filter=Rate): the accuracy test's
// condition sets (tests/common/TrackingConditions, 150 stills each), the same frames for
// both thresholds. A frame counts as found when the pose from scratch is within 5 degrees
// of the truth, as wrong when it is further off.

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

#include "bench/BenchData.h"
#include "common/TrackingConditions.h"
#include "scene/MarkerScene.h"
#include "tracking/CameraParam.h"
#include "tracking/Labeling.h"
#include "tracking/Marker.h"
#include "tracking/Pattern.h"
#include "tracking/Pose.h"

namespace {

constexpr double kMarkerWidth = 40.0;
constexpr uint32_t kSetSeed = 2026;  // the accuracy test's sets

// The threshold the viewer passes: Otsu's level of the frame, or local thresholding.
int frameThreshold(const uint8_t* bgra, int width, int height, bool local) {
    if (local) return kLocalThreshold;
    cv::Mat frame(height, width, CV_8UC4, const_cast<uint8_t*>(bgra));
    static cv::Mat grey, binary;  // benchmark scratch, kept like the viewer's images
    cv::cvtColor(frame, grey, cv::COLOR_RGBA2GRAY);
    return static_cast<int>(cv::threshold(grey, binary, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU) + 0.5);
}

const DetectedMarker* bestMarker(DetectedMarker* markers, int count) {
    const DetectedMarker* best = nullptr;
    for (int i = 0; i < count; ++i)
        if (markers[i].pattern == patternSlot() && (!best || markers[i].confidence > best->confidence))
            best = &markers[i];
    return best;
}

double median(std::vector<double> values) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Found: a pose within 5 degrees of the truth; wrong: a pose further off.
void BM_Rate(benchmark::State& state, TrackingCondition condition) {
    const bool local = state.range(0) != 0;
    int width, height;
    conditionFrameSize(condition, &width, &height);
    const ConditionSet set = makeConditionSet(condition, baseCamera(), width, height, kSetSeed);
    setTrackerCameraParam(&set.camera);
    patternSlot();
    const double center[2] = {0, 0};
    int found = 0, wrong = 0;
    std::vector<double> rotation, translation;
    std::vector<uint8_t> frame;
    for (auto _ : state) {
        for (size_t n = 0; n < set.frames.size(); ++n) {
            renderConditionFrame(set, n, committedMarker(), &frame);
            resetMarkerHistory();  // independent stills
            DetectedMarker* markers = nullptr;
            int count = 0;
            if (detectMarkers(frame.data(), frameThreshold(frame.data(), width, height, local), &markers, &count) < 0)
                continue;
            const DetectedMarker* best = bestMarker(markers, count);
            double estimate[3][4];
            if (!best || estimatePose(trackerCameraParam(), best, center, set.markerWidth, estimate) < 0)
                continue;
            const double r = poseRotationErrorDegrees(set.frames[n].truth, estimate);
            if (!(r < 5.0)) {
                ++wrong;
                continue;
            }
            ++found;
            rotation.push_back(r);
            translation.push_back(poseTranslationErrorPercent(set.frames[n].truth, estimate));
        }
    }
    state.counters["found_pct"] = 100.0 * found / static_cast<double>(set.frames.size());
    state.counters["wrong"] = wrong;
    state.counters["rot_med_deg"] = median(rotation);
    state.counters["trans_med_pct"] = median(translation);
}
BENCHMARK_CAPTURE(BM_Rate, clean, TrackingCondition::Clean)->ArgName("local")->Arg(0)->Arg(1)->Iterations(1);
BENCHMARK_CAPTURE(BM_Rate, dim, TrackingCondition::DimLight)->ArgName("local")->Arg(0)->Arg(1)->Iterations(1);
BENCHMARK_CAPTURE(BM_Rate, jpeg, TrackingCondition::Jpeg)->ArgName("local")->Arg(0)->Arg(1)->Iterations(1);
BENCHMARK_CAPTURE(BM_Rate, glare, TrackingCondition::Glare)->ArgName("local")->Arg(0)->Arg(1)->Iterations(1);
BENCHMARK_CAPTURE(BM_Rate, blur, TrackingCondition::MotionBlur)->ArgName("local")->Arg(0)->Arg(1)->Iterations(1);
BENCHMARK_CAPTURE(BM_Rate, defocus, TrackingCondition::Defocus)->ArgName("local")->Arg(0)->Arg(1)->Iterations(1);
BENCHMARK_CAPTURE(BM_Rate, tiny, TrackingCondition::Tiny)->ArgName("local")->Arg(0)->Arg(1)->Iterations(1);
BENCHMARK_CAPTURE(BM_Rate, finger_side, TrackingCondition::FingerSide)->ArgName("local")->Arg(0)->Arg(1)->Iterations(1);
BENCHMARK_CAPTURE(BM_Rate, near720, TrackingCondition::Near720)->ArgName("local")->Arg(0)->Arg(1)->Iterations(1);

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
            benchmark::DoNotOptimize(
                estimatePose(trackerCameraParam(), best, center, kMarkerWidth, transform));
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
