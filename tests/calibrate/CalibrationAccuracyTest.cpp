// Calibration from rendered views of the marker, for two cameras unlike the committed
// one: a wide 1280x720 camera with barrel distortion and a narrow 640x480 one. The views
// are rendered through the true calibration (lens included) with sensor noise; the fit
// must recover the camera, reproject views it never saw, and pose the marker as well as
// the true calibration does.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "calibrate/Solve.h"
#include "calibrate/ViewCollector.h"
#include "common/TrackingFixtures.h"
#include "tracking/Labeling.h"
#include "tracking/Marker.h"
#include "tracking/Pose.h"

namespace {

constexpr double kMarkerWidth = 40.0;
constexpr int kFitViews = 25;
constexpr int kHeldOutViews = 15;

struct KnownCamera {
    const char* name;
    int width, height;
    double horizontalFov;  // degrees
    double centreShift[2];  // principal point from the frame's middle, pixels
    double lensShift[2];    // distortion centre from the principal point, pixels
    double radial;          // the file's radial factor
};

// Barrel distortion of about 2.5 % at the corners of the wide camera; a milder lens on
// the narrow one.
const KnownCamera kWide = {"1280x720, 78 degrees", 1280, 720, 78.0, {9.0, -6.5}, {4.0, 3.0}, 5.0};
const KnownCamera kNarrow = {"640x480, 55 degrees", 640, 480, 55.0, {-5.5, 4.0}, {-2.0, 2.5}, 1.5};

CameraParam makeCamera(const KnownCamera& k) {
    CameraParam c{};
    c.width = k.width;
    c.height = k.height;
    const double f = 0.5 * k.width / std::tan(0.5 * k.horizontalFov * M_PI / 180.0);
    c.projection[0][0] = f;
    c.projection[1][1] = f;
    c.projection[0][2] = k.width / 2.0 + k.centreShift[0];
    c.projection[1][2] = k.height / 2.0 + k.centreShift[1];
    c.projection[2][2] = 1.0;
    c.distortion[0] = c.projection[0][2] + k.lensShift[0];
    c.distortion[1] = c.projection[1][2] + k.lensShift[1];
    c.distortion[2] = k.radial;
    c.distortion[3] = 1.0;
    return c;
}

struct RenderedView {
    double truth[3][4];
    std::vector<uint8_t> bgra;
};

std::vector<RenderedView> renderViews(const CameraParam& camera, int count, uint32_t seed) {
    std::mt19937 rng(seed);
    PoseRange range;
    range.minWidths = 3.0;
    range.maxWidths = 8.0;
    range.maxTiltDegrees = 55.0;
    std::vector<RenderedView> views(count);
    for (int i = 0; i < count; ++i) {
        randomMarkerPose(rng, camera, kMarkerWidth, range, views[i].truth);
        SceneOptions options;
        options.noiseSigma = 3.0;
        options.seed = seed * 1000u + static_cast<uint32_t>(i);
        views[i].bgra.resize(static_cast<size_t>(camera.width) * camera.height * 4);
        renderMarkerScene(camera, views[i].truth, kMarkerWidth, committedMarker(), options, views[i].bgra.data());
    }
    return views;
}

// The corners the tracker reports are the picture's own when the installed calibration
// has no lens.
void installPlain(int width, int height) {
    const CameraParam plain = pinholeCamera(width, height);
    setTrackerCameraParam(&plain);
}

// One view's points, whatever the views before it were.
bool locateView(const RenderedView& rendered, int width, int height, MarkerView* view) {
    ViewCollector one(g_trackerTables, 1);
    if (one.offerFrame(rendered.bgra.data(), width, height).verdict != ViewVerdict::Accepted) return false;
    *view = one.views().front();
    return true;
}

// The tracker's pose of the marker with the given calibration installed; the error of
// its translation in percent of the distance, or -1 when it finds no marker.
double trackedTranslationError(const CameraParam& camera, const RenderedView& rendered) {
    setTrackerCameraParam(&camera);
    resetMarkerHistory();
    DetectedMarker* markers = nullptr;
    int count = 0;
    if (detectMarkers(rendered.bgra.data(), kLocalThreshold, &markers, &count) < 0) return -1.0;
    for (int i = 0; i < count; ++i) {
        if (markers[i].pattern < 0) continue;
        const double centre[2] = {0.0, 0.0};
        double transform[3][4];
        if (estimatePose(camera, &markers[i], centre, kMarkerWidth, transform) < 0.0) return -1.0;
        return translationErrorPercent(rendered.truth, transform);
    }
    return -1.0;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

void checkCalibration(const KnownCamera& known, uint32_t seed) {
    ASSERT_GE(loadOnlyCommittedPattern(), 0);
    const CameraParam truth = makeCamera(known);
    const std::vector<RenderedView> fit = renderViews(truth, kFitViews, seed);
    const std::vector<RenderedView> heldOut = renderViews(truth, kHeldOutViews, seed + 7919u);

    installPlain(truth.width, truth.height);
    ViewCollector collector(g_trackerTables, kFitViews);
    for (const RenderedView& v : fit) collector.offerFrame(v.bgra.data(), truth.width, truth.height);
    ASSERT_GE(collector.views().size(), 20u) << "random views should almost all add something";

    const CalibrationResult result = solveCalibration(collector.views());
    ASSERT_TRUE(result.ok) << result.refusal;
    const CameraModel t = modelFromCameraParam(truth);
    const CameraModel& e = result.model;
    const double focalError = 100.0 * std::max(std::fabs(e.fx - t.fx) / t.fx, std::fabs(e.fy - t.fy) / t.fy);
    const double centreError = 100.0 * std::max(std::fabs(e.px - t.px), std::fabs(e.py - t.py)) / truth.width;
    EXPECT_LT(focalError, 1.0) << "focal " << e.fx << " x " << e.fy << ", true " << t.fx;
    EXPECT_LT(centreError, 1.0) << "centre " << e.px << ", " << e.py << ", true " << t.px << ", " << t.py;

    // Views the fit never saw: their points, posed under the estimated camera.
    double sq = 0.0;
    int located = 0;
    installPlain(truth.width, truth.height);
    for (const RenderedView& v : heldOut) {
        MarkerView view;
        if (!locateView(v, truth.width, truth.height, &view)) continue;
        ViewPose pose;
        const double error = fitViewPose(e, view, &pose);
        ASSERT_GE(error, 0.0);
        sq += error * error;
        ++located;
    }
    ASSERT_GE(located, kHeldOutViews - 2);
    const double heldOutError = std::sqrt(sq / located);
    EXPECT_LT(heldOutError, 0.3);

    // The tracker's poses with the estimated calibration against those with the true one.
    std::vector<double> withTruth, withEstimate;
    for (const RenderedView& v : heldOut) {
        const double a = trackedTranslationError(truth, v);
        const double b = trackedTranslationError(result.param, v);
        if (a < 0.0 || b < 0.0) continue;
        withTruth.push_back(a);
        withEstimate.push_back(b);
    }
    ASSERT_GE(withTruth.size(), static_cast<size_t>(kHeldOutViews - 2));
    const double medianTruth = median(withTruth), medianEstimate = median(withEstimate);
    EXPECT_LE(medianEstimate, medianTruth + 0.1);

    std::printf("[ calibration ] %s: %zu views, focal %.3f x %.3f (true %.3f): error %.3f %%; centre %.2f, %.2f "
                "(true %.2f, %.2f): error %.3f %% of the width; lens centre %.1f, %.1f (true %.1f, %.1f), radial "
                "%.3f (true %.3f); fit error %.3f px, held-out %.3f px; median translation error %.3f %% true, "
                "%.3f %% estimated\n",
                known.name, collector.views().size(), e.fx, e.fy, t.fx, focalError, e.px, e.py, t.px, t.py,
                centreError, e.dx, e.dy, t.dx, t.dy, e.radial, t.radial, result.errorPixels, heldOutError,
                medianTruth, medianEstimate);
}

}  // namespace

TEST(CalibrationAccuracy, WideCameraWithBarrelDistortion) { checkCalibration(kWide, 11u); }

TEST(CalibrationAccuracy, NarrowCamera) { checkCalibration(kNarrow, 23u); }

TEST(CalibrationRefusal, RenderedViewsTooFewOrWithoutTilt) {
    ASSERT_GE(loadOnlyCommittedPattern(), 0);
    const CameraParam truth = makeCamera(kNarrow);
    installPlain(truth.width, truth.height);

    ViewCollector few(g_trackerTables, 20);
    for (const RenderedView& v : renderViews(truth, 4, 5u)) few.offerFrame(v.bgra.data(), truth.width, truth.height);
    ASSERT_EQ(few.views().size(), 4u);
    CalibrationResult result = solveCalibration(few.views());
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.refusal, "too few views: 4 of at least 10 accepted");

    // Twelve views all over the frame, near and far, every one facing the camera.
    ViewCollector facing(g_trackerTables, 20);
    for (int i = 0; i < 12; ++i) {
        RenderedView v;
        const double u = truth.width * (0.25 + 0.25 * (i % 3)), vv = truth.height * (0.3 + 0.4 * ((i / 3) % 2));
        facingMarkerPose(truth, kMarkerWidth * (i < 6 ? 4.0 : 6.5), 0.5 * i, u, vv, v.truth);
        SceneOptions options;
        options.noiseSigma = 3.0;
        options.seed = 50u + static_cast<uint32_t>(i);
        v.bgra.resize(static_cast<size_t>(truth.width) * truth.height * 4);
        renderMarkerScene(truth, v.truth, kMarkerWidth, committedMarker(), options, v.bgra.data());
        facing.offerFrame(v.bgra.data(), truth.width, truth.height);
    }
    ASSERT_GE(facing.views().size(), 10u);
    EXPECT_EQ(facing.coverage().tiltDirections, 0);
    result = solveCalibration(facing.views());
    EXPECT_FALSE(result.ok);
    const std::string expected =
        "too little tilt: 0 of " + std::to_string(facing.views().size()) + " views show the marker tilted by 15 degrees";
    EXPECT_EQ(result.refusal.rfind(expected, 0), 0u) << result.refusal;
}
