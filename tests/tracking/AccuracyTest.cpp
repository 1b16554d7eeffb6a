// Detection and pose accuracy over random realistic views of the committed marker,
// rendered with the committed calibration (lens distortion included), sensor noise on
// every frame and tilts up to 60 degrees. The floors are those of good fiducial systems:
// a character must stand still on the paper, so the pose may carry no bias either.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "common/TrackingFixtures.h"
#include "tracking/Marker.h"
#include "tracking/Pose.h"

namespace {

double percentile(std::vector<double> values, double q) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(q * values.size()));
    return values[index];
}

}  // namespace

TEST(AccuracyTest, RandomViewsAreIdentifiedAndPosedAccurately) {
    CameraParam camera = committedCamera();
    setTrackerCameraParam(&camera);
    const int slot = loadOnlyCommittedPattern();
    ASSERT_GE(slot, 0);
    const MarkerImage& marker = committedMarker();
    const double width = 40.0;
    const double center[2] = {0, 0};

    std::mt19937 rng(20261207);
    std::vector<uint8_t> frame(static_cast<size_t>(camera.width) * camera.height * 4);
    const int frames = 300;
    int identified = 0;
    std::vector<double> cornerError, rotationError, translationError, depthBias;
    PoseRange range;
    range.minWidths = 3.0;
    range.maxWidths = 10.0;
    range.maxTiltDegrees = 60.0;
    for (int i = 0; i < frames; ++i) {
        double truth[3][4];
        randomMarkerPose(rng, camera, width, range, truth);
        SceneOptions options;
        options.noiseSigma = 3.0;
        options.supersample = i % 4 == 0 ? 4 : 1;  // keeps the run short; a quarter anti-aliased
        options.seed = static_cast<uint32_t>(i + 1);
        renderMarkerScene(camera, truth, width, marker, options, frame.data());

        resetMarkerHistory();  // independent views
        DetectedMarker* markers = nullptr;
        int count = 0;
        ASSERT_EQ(detectMarkers(frame.data(), otsuThreshold(frame.data(), camera.width, camera.height), &markers,
                                &count),
                  0);
        const DetectedMarker* best = nullptr;
        for (int k = 0; k < count; ++k)
            if (markers[k].pattern == slot && (!best || markers[k].confidence > best->confidence)) best = &markers[k];
        if (!best) continue;

        double trueCorner[4][2];
        ASSERT_TRUE(trueCorners(camera, truth, width, trueCorner));
        double worst = 0.0;
        for (int k = 0; k < 4; ++k) {
            const double* c = best->corners[(4 - best->orientation + k) % 4];
            double ox, oy;
            idealToObserved(camera.distortion, c[0], c[1], &ox, &oy);
            worst = std::max(worst, std::hypot(ox - trueCorner[k][0], oy - trueCorner[k][1]));
        }
        if (worst > 5.0) continue;  // corners in the wrong order: wrong orientation
        ++identified;
        cornerError.push_back(worst);

        double estimate[3][4];
        ASSERT_GE(estimatePose(trackerCameraParam(), best, center, width, estimate), 0.0);
        rotationError.push_back(rotationErrorDegrees(truth, estimate));
        translationError.push_back(translationErrorPercent(truth, estimate));
        depthBias.push_back(100.0 * (estimate[2][3] - truth[2][3]) / truth[2][3]);
    }

    std::printf("accuracy over %d random views (3-10 widths, tilt <= 60 deg, noise sigma 3):\n", frames);
    std::printf("  pattern and orientation right: %d (%.1f %%)\n", identified, 100.0 * identified / frames);
    std::printf("  worst corner error per frame (px):   median %.2f  95th %.2f\n", percentile(cornerError, 0.5),
                percentile(cornerError, 0.95));
    std::printf("  rotation error (degrees):            median %.2f  95th %.2f\n", percentile(rotationError, 0.5),
                percentile(rotationError, 0.95));
    std::printf("  translation error (%% of distance):   median %.2f  95th %.2f\n",
                percentile(translationError, 0.5), percentile(translationError, 0.95));

    double depthMean = 0.0;
    for (double d : depthBias) depthMean += d / depthBias.size();
    std::printf("  depth error, signed (%% of distance): mean %+.3f  median %+.3f\n", depthMean,
                percentile(depthBias, 0.5));

    EXPECT_GE(identified, frames * 99 / 100);
    EXPECT_LT(percentile(cornerError, 0.5), 0.5);
    EXPECT_LE(percentile(rotationError, 0.5), 0.25);
    EXPECT_LE(percentile(translationError, 0.5), 0.3);
    // Too far or too near on average is what makes a character float or sink.
    EXPECT_LE(std::fabs(depthMean), 0.1);
}
