// Subpixel edges on rendered frames: the refined corners must sit on the true ones, and
// every way the refinement can fail must leave the contour fit in place.
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/TrackingConditions.h"
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

namespace {

// A white frame with a black square (anti-aliased by pixel coverage) whose corners lie at
// the given subpixel image positions (pixel i's centre at i), then blurred along a
// straight line of the given length and direction, as a fast-moving hand blurs it.
std::vector<uint8_t> blurredSquare(int width, int height, const double corners[4][2], double blurLength,
                                   double blurAngle) {
    cv::Mat grey(height, width, CV_32F);
    const int sub = 8;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            int inside = 0;
            for (int sy = 0; sy < sub; ++sy)
                for (int sx = 0; sx < sub; ++sx) {
                    const double px = x - 0.5 + (sx + 0.5) / sub, py = y - 0.5 + (sy + 0.5) / sub;
                    bool in = true;
                    for (int k = 0; k < 4 && in; ++k) {
                        const double* a = corners[k];
                        const double* b = corners[(k + 1) % 4];
                        in = (b[0] - a[0]) * (py - a[1]) - (b[1] - a[1]) * (px - a[0]) >= 0;
                    }
                    inside += in;
                }
            grey.at<float>(y, x) = static_cast<float>(230.0 - 210.0 * inside / (sub * sub));
        }
    if (blurLength > 0) {
        const cv::Mat kernel = motionKernel(blurLength, blurAngle);
        cv::filter2D(grey, grey, -1, kernel, cv::Point(-1, -1), 0, cv::BORDER_REPLICATE);
    }
    std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 4, 255);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const auto v = static_cast<uint8_t>(std::lround(grey.at<float>(y, x)));
            std::fill_n(&frame[(static_cast<size_t>(y) * width + x) * 4], 3, v);
        }
    return frame;
}

// Edge lines through the corners (edge i from corner i to i + 1).
void linesThrough(const double corners[4][2], double lines[4][3]) {
    for (int i = 0; i < 4; ++i) {
        const double* a = corners[i];
        const double* b = corners[(i + 1) % 4];
        lines[i][0] = b[1] - a[1];
        lines[i][1] = a[0] - b[0];
        lines[i][2] = -(lines[i][0] * a[0] + lines[i][1] * a[1]);
    }
}

}  // namespace

// Under motion blur the grey level takes many pixels to rise from the border to the paper
// and the threshold's outline lies well inside the square; the refined edges must still
// lie on the true ones, so a moving marker is not seen smaller (and farther) than it is.
TEST(EdgeRefineTest, BlurredEdgesAreFoundHalfWayBetweenTheLocalLevels) {
    pinholeCamera(320, 240);
    const double noDistortion[4] = {160, 120, 0, 1};
    // Clockwise on screen, sides not parallel to the pixel grid.
    const double truth[4][2] = {{101.3, 52.6}, {221.8, 63.1}, {212.4, 183.7}, {92.2, 172.9}};
    double centre[2] = {0, 0};
    for (const auto& c : truth) {
        centre[0] += c[0] / 4;
        centre[1] += c[1] / 4;
    }
    for (const double length : {0.0, 4.0, 9.0, 14.0}) {
        for (const double angle : {0.0, 0.7, 2.0}) {
            const std::vector<uint8_t> frame = blurredSquare(320, 240, truth, length, angle);
            // Start from a square 2.5 px inside the true one, as the outline of a blurred
            // square gives it.
            double corners[4][2], lines[4][3];
            for (int k = 0; k < 4; ++k)
                for (int a = 0; a < 2; ++a) corners[k][a] = truth[k][a] + (centre[a] - truth[k][a]) * 0.03;
            linesThrough(corners, lines);
            double rise[4];
            ASSERT_TRUE(refineEdges(frame.data(), 320, 240, noDistortion, lines, corners, rise))
                << length << " " << angle;
            for (int k = 0; k < 4; ++k)
                EXPECT_LT(std::hypot(corners[k][0] - truth[k][0], corners[k][1] - truth[k][1]), 0.1)
                    << "corner " << k << ", blur " << length << " at " << angle;
            // The rise across each side grows with the blur's extent across it.
            for (int i = 0; i < 4; ++i) {
                const double dx = truth[(i + 1) % 4][0] - truth[i][0], dy = truth[(i + 1) % 4][1] - truth[i][1];
                const double across = length * std::fabs(std::cos(angle) * dy - std::sin(angle) * dx) /
                                      std::hypot(dx, dy);
                EXPECT_NEAR(rise[i], std::hypot(1.0, 0.8 * across), 1.0) << "side " << i << ", blur " << length;
            }
        }
    }
}
