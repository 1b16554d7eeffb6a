// Placing a view's points against the true picture geometry, and which views the
// collector keeps.

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "calibrate/ViewCollector.h"
#include "common/TrackingFixtures.h"

namespace {

constexpr int kWidth = 800, kHeight = 600;
constexpr double kMarkerWidth = 40.0;

// Distance of an observed point from the true image of its marker edge, through a
// lens-free camera.
double distanceFromEdge(const CameraParam& camera, const double transform[3][4], const ViewEdgePoint& p) {
    double ax, ay, bx, by;
    projectMarkerPoint(camera, transform, p.from[0] * kMarkerWidth, p.from[1] * kMarkerWidth, &ax, &ay);
    projectMarkerPoint(camera, transform, p.to[0] * kMarkerWidth, p.to[1] * kMarkerWidth, &bx, &by);
    const double length = std::hypot(bx - ax, by - ay);
    return ((p.image[0] - ax) * (ay - by) + (p.image[1] - ay) * (bx - ax)) / length;
}

std::vector<uint8_t> render(const CameraParam& camera, const double transform[3][4], uint32_t seed) {
    std::vector<uint8_t> bgra(static_cast<size_t>(camera.width) * camera.height * 4);
    SceneOptions options;
    options.noiseSigma = 3.0;
    options.seed = seed;
    renderMarkerScene(camera, transform, kMarkerWidth, committedMarker(), options, bgra.data());
    return bgra;
}

class ViewPointsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(loadOnlyCommittedPattern(), 0);
        camera_ = pinholeCamera(kWidth, kHeight);
        setTrackerCameraParam(&camera_);
    }
    CameraParam camera_{};
};

}  // namespace

TEST_F(ViewPointsTest, EdgePointsAndCornersLieOnTheTrueSquare) {
    std::mt19937 rng(5);
    PoseRange range;
    range.minWidths = 3.0;
    range.maxWidths = 8.0;
    double outerSq = 0.0, innerSq = 0.0, cornerSq = 0.0;
    int outer = 0, inner = 0, corners = 0, innerCorners = 0;
    for (int i = 0; i < 6; ++i) {
        double truth[3][4];
        randomMarkerPose(rng, camera_, kMarkerWidth, range, truth);
        const std::vector<uint8_t> bgra = render(camera_, truth, 100 + i);
        ViewCollector collector(g_trackerTables, 1);
        const ViewOffer offer = collector.offerFrame(bgra.data(), kWidth, kHeight);
        ASSERT_EQ(offer.verdict, ViewVerdict::Accepted) << offer.reason;
        const MarkerView& view = collector.views().front();
        for (const ViewEdgePoint& p : view.edgePoints) {
            const double d = distanceFromEdge(camera_, truth, p);
            const bool onOuter = std::fabs(p.from[0]) == 0.5 && std::fabs(p.to[0]) == 0.5 ? true
                                 : std::fabs(p.from[1]) == 0.5 && std::fabs(p.to[1]) == 0.5;
            (onOuter ? outerSq : innerSq) += d * d;
            ++(onOuter ? outer : inner);
        }
        ASSERT_GE(view.corners.size(), 4u);
        for (const ViewCorner& c : view.corners) {
            double x, y;
            projectMarkerPoint(camera_, truth, c.marker[0] * kMarkerWidth, c.marker[1] * kMarkerWidth, &x, &y);
            cornerSq += (x - c.image[0]) * (x - c.image[0]) + (y - c.image[1]) * (y - c.image[1]);
            ++corners;
            if (std::fabs(c.marker[0]) < 0.5) ++innerCorners;
        }
    }
    // Dozens of points on every outer edge, on the edge to a few hundredths of a pixel
    // under sensor noise; the inner ones, nearer the picture, less well.
    EXPECT_GT(outer, 6 * 4 * 20);
    EXPECT_LT(std::sqrt(outerSq / outer), 0.06);
    EXPECT_GT(inner, 6 * 4 * 10);
    EXPECT_LT(std::sqrt(innerSq / inner), 0.2);
    EXPECT_GE(innerCorners, 20);
    EXPECT_LT(std::sqrt(cornerSq / corners), 0.2);
}

TEST_F(ViewPointsTest, CornersGivenInEitherTurnMeanTheSameView) {
    double truth[3][4];
    facingMarkerPose(camera_, 6 * kMarkerWidth, 0.3, 420, 280, truth);
    const std::vector<uint8_t> bgra = render(camera_, truth, 7);
    double corners[4][2];
    ASSERT_TRUE(trueCorners(camera_, truth, kMarkerWidth, corners));
    double reversed[4][2];
    for (int k = 0; k < 4; ++k) {
        reversed[k][0] = corners[(4 - k) % 4][0];
        reversed[k][1] = corners[(4 - k) % 4][1];
    }
    ViewCollector a(g_trackerTables, 2), b(g_trackerTables, 2);
    ASSERT_EQ(a.offerCorners(bgra.data(), kWidth, kHeight, corners).verdict, ViewVerdict::Accepted);
    ASSERT_EQ(b.offerCorners(bgra.data(), kWidth, kHeight, reversed).verdict, ViewVerdict::Accepted);
    // The same marker point lands on the same picture point, never on its mirror image.
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(a.views()[0].corners[k].marker[0], b.views()[0].corners[k].marker[0]);
        EXPECT_NEAR(a.views()[0].corners[k].image[0], b.views()[0].corners[k].image[0], 1e-9);
        EXPECT_NEAR(a.views()[0].corners[k].image[1], b.views()[0].corners[k].image[1], 1e-9);
    }
}

TEST_F(ViewPointsTest, KeepsOnlyViewsThatAddSomethingAndSaysWhyNot) {
    ViewCollector collector(g_trackerTables, 12);
    // No marker at all.
    TestFrame blank(kWidth, kHeight, 200);
    ViewOffer offer = collector.offerFrame(blank.data(), kWidth, kHeight);
    EXPECT_EQ(offer.verdict, ViewVerdict::NoMarker);
    EXPECT_EQ(offer.reason, "no marker in the picture");

    double truth[3][4];
    facingMarkerPose(camera_, 5 * kMarkerWidth, 0.2, 400, 300, truth);
    std::vector<uint8_t> bgra = render(camera_, truth, 1);
    EXPECT_EQ(collector.offerFrame(bgra.data(), kWidth, kHeight).verdict, ViewVerdict::Accepted);
    // The same view again, with other noise: nothing new.
    bgra = render(camera_, truth, 2);
    offer = collector.offerFrame(bgra.data(), kWidth, kHeight);
    EXPECT_EQ(offer.verdict, ViewVerdict::TooSimilar);
    EXPECT_NE(offer.reason.find("too like one already taken"), std::string::npos) << offer.reason;
    // Moved to a corner of the picture: new.
    facingMarkerPose(camera_, 5 * kMarkerWidth, 0.2, 150, 120, truth);
    bgra = render(camera_, truth, 3);
    EXPECT_EQ(collector.offerFrame(bgra.data(), kWidth, kHeight).verdict, ViewVerdict::Accepted);
    // Far away, the square only some 25 pixels wide: unusable, and said so.
    facingMarkerPose(camera_, 20 * kMarkerWidth, 0.2, 600, 400, truth);
    bgra = render(camera_, truth, 4);
    offer = collector.offerFrame(bgra.data(), kWidth, kHeight);
    if (offer.verdict != ViewVerdict::NoMarker) {
        EXPECT_EQ(offer.verdict, ViewVerdict::Unusable);
        EXPECT_NE(offer.reason.find("too small"), std::string::npos) << offer.reason;
    }
    // A frame of another size than the tracker is set up for is refused, not misread.
    offer = collector.offerFrame(bgra.data(), 640, 480);
    EXPECT_EQ(offer.verdict, ViewVerdict::WrongSize);
    EXPECT_NE(offer.reason.find("640x480"), std::string::npos) << offer.reason;

    const ViewCoverage coverage = collector.coverage();
    EXPECT_EQ(coverage.accepted, 2);
    EXPECT_EQ(coverage.wanted, 10);
    EXPECT_EQ(coverage.cells, 2);
    EXPECT_EQ(coverage.tiltDirections, 0);
    EXPECT_NE(coverage.hint.find("tilt"), std::string::npos) << coverage.hint;
    EXPECT_EQ(coverageLine(coverage).rfind("2 views, 10 still wanted; places 2/9, tilts 0/4", 0), 0u)
        << coverageLine(coverage);
}
