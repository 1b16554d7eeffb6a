// Subpixel edges on rendered frames: the refined corners must sit on the true ones, and
// every way the refinement can fail must leave the contour fit in place.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/TrackingFixtures.h"
#include "tracking/EdgeRefine.h"
#include "tracking/Marker.h"

namespace {

struct View {
    CameraParam camera;
    std::vector<uint8_t> frame;
    double truth[3][4];
};

View renderedView(double distance, double spin, double noise) {
    View view;
    view.camera = committedCamera();
    setTrackerCameraParam(&view.camera);
    facingMarkerPose(view.camera, distance, spin, 300.0, 260.0, view.truth);
    // Tilted towards the camera a little, so the sides are not parallel.
    const double c = std::cos(0.5), s = std::sin(0.5);
    for (int r = 0; r < 3; ++r) {
        const double y = view.truth[r][1], z = view.truth[r][2];
        view.truth[r][1] = c * y + s * z;
        view.truth[r][2] = -s * y + c * z;
    }
    view.frame.assign(static_cast<size_t>(view.camera.width) * view.camera.height * 4, 0);
    SceneOptions options;
    options.noiseSigma = noise;
    renderMarkerScene(view.camera, view.truth, 40.0, committedMarker(), options, view.frame.data());
    return view;
}

const DetectedMarker* detect(View& view) {
    const int slot = loadOnlyCommittedPattern();
    resetMarkerHistory();
    DetectedMarker* markers = nullptr;
    int count = 0;
    EXPECT_EQ(detectMarkers(view.frame.data(), otsuThreshold(view.frame.data(), view.camera.width, view.camera.height),
                            &markers, &count),
              0);
    for (int k = 0; k < count; ++k)
        if (markers[k].pattern == slot) return &markers[k];
    return nullptr;
}

// Largest distance between the detected corners (made observed) and the true ones.
double worstCornerError(const View& view, const DetectedMarker& m) {
    double truth[4][2];
    EXPECT_TRUE(trueCorners(view.camera, view.truth, 40.0, truth));
    double worst = 0.0;
    for (int k = 0; k < 4; ++k) {
        const double* c = m.corners[(4 - m.orientation + k) % 4];
        double ox, oy;
        idealToObserved(view.camera.distortion, c[0], c[1], &ox, &oy);
        worst = std::max(worst, std::hypot(ox - truth[k][0], oy - truth[k][1]));
    }
    return worst;
}

}  // namespace

TEST(EdgeRefineTest, RefinedCornersLieOnTheTrueOnesWhereTheContourDoesNot) {
    for (const double distance : {160.0, 320.0}) {
        for (const double noise : {0.0, 3.0}) {
            View view = renderedView(distance, 0.35, noise);
            setSubpixelEdges(false);
            const DetectedMarker* contour = detect(view);
            ASSERT_NE(contour, nullptr);
            EXPECT_EQ(contour->refined, 0);
            const double before = worstCornerError(view, *contour);
            setSubpixelEdges(true);
            const DetectedMarker* refined = detect(view);
            ASSERT_NE(refined, nullptr);
            EXPECT_EQ(refined->refined, 1);
            const double after = worstCornerError(view, *refined);
            EXPECT_LT(after, 0.15) << distance << " " << noise;
            EXPECT_LT(after, before / 2) << distance << " " << noise;
        }
    }
}

TEST(EdgeRefineTest, WithoutAClearEdgeTheContourFitStays) {
    View view = renderedView(200.0, 0.2, 0.0);
    const DetectedMarker* found = detect(view);
    ASSERT_NE(found, nullptr);
    const DetectedMarker start = *found;
    const int w = view.camera.width, h = view.camera.height;
    auto unchanged = [&](const DetectedMarker& m) {
        return std::memcmp(m.edgeLines, start.edgeLines, sizeof m.edgeLines) == 0 &&
               std::memcmp(m.corners, start.corners, sizeof m.corners) == 0;
    };

    // A flat grey frame: no edge anywhere.
    std::vector<uint8_t> flat(view.frame.size(), 128);
    DetectedMarker m = start;
    EXPECT_FALSE(refineEdges(flat.data(), w, h, view.camera.distortion, m.edgeLines, m.corners));
    EXPECT_TRUE(unchanged(m));

    // The square far from where its edges are: nothing within reach, or a shift too large.
    m = start;
    for (auto& c : m.corners) c[0] += 40.0;
    for (auto& line : m.edgeLines) line[2] -= line[0] * 40.0;
    const DetectedMarker moved = m;
    EXPECT_FALSE(refineEdges(view.frame.data(), w, h, view.camera.distortion, m.edgeLines, m.corners));
    EXPECT_EQ(std::memcmp(m.corners, moved.corners, sizeof m.corners), 0);

    // A square running off the frame, and frames too small or absent.
    m = start;
    for (auto& c : m.corners) c[1] -= 400.0;
    for (auto& line : m.edgeLines) line[2] += line[1] * 400.0;
    EXPECT_FALSE(refineEdges(view.frame.data(), w, h, view.camera.distortion, m.edgeLines, m.corners));
    // Corners a fuzzed frame gave: sides of 1e12 pixels, whose sample count once
    // overflowed an int (the sanitizer build halts on that).
    m = start;
    for (auto& c : m.corners) {
        c[0] *= 1e10;
        c[1] *= 1e10;
    }
    EXPECT_FALSE(refineEdges(view.frame.data(), w, h, view.camera.distortion, m.edgeLines, m.corners));
    m = start;
    EXPECT_FALSE(refineEdges(nullptr, w, h, view.camera.distortion, m.edgeLines, m.corners));
    EXPECT_FALSE(refineEdges(view.frame.data(), 2, 2, view.camera.distortion, m.edgeLines, m.corners));
    EXPECT_TRUE(unchanged(m));
}
