// The square of a broken outline: hull sides found, bitten sides left out of the fit,
// and regions that are no square refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "common/TrackingConditions.h"
#include "common/TrackingFixtures.h"
#include "tracking/BrokenOutline.h"
#include "tracking/Candidates.h"
#include "tracking/Labeling.h"

namespace {

// Labels the frame and traces the largest dark region.
bool traceLargest(TestFrame& frame, MarkerCandidate* candidate) {
    LabelTables tables;
    const uint16_t* labels = labelImage(frame.data(), frame.width, frame.height, 128, &tables);
    if (!labels || tables.count == 0) return false;
    int largest = 0;
    for (int j = 1; j < tables.count; ++j)
        if (tables.area[j] > tables.area[largest]) largest = j;
    return traceContour(labels, frame.width, tables.equivalence, largest + 1, tables.box + 4 * largest, candidate) == 0;
}

struct Recovery {
    bool ok;
    double corners[4][2];
    double support;
};

Recovery recover(TestFrame& frame) {
    static MarkerCandidate candidate;  // too large for the stack
    static OutlineScratch scratch;
    Recovery r{};
    const CameraParam camera = pinholeCamera(frame.width, frame.height);
    if (!traceLargest(frame, &candidate)) return r;
    double lines[4][3];
    r.ok = recoverSquareFromOutline(candidate.contourX, candidate.contourY, candidate.contourLength,
                                    camera.distortion, scratch, lines, r.corners, &r.support);
    return r;
}

// A black frame (border a quarter of the side) from (x0, y0) to (x1, y1) inclusive.
void drawFrame(TestFrame& frame, int x0, int y0, int x1, int y1) {
    frame.fill(x0, y0, x1, y1, 0);
    const int border = (x1 - x0 + 1) / 4;
    frame.fill(x0 + border, y0 + border, x1 - border, y1 - border, 255);
}

}  // namespace

TEST(BrokenOutline, AWholeFrameOrOneBittenAtASideOrACornerGivesItsFourCorners) {
    // Pixel edges of a square covering pixels 200..299 lie half a pixel outside the
    // outermost pixel centres the contour runs along.
    const double expected[4][2] = {{200, 100}, {299, 100}, {299, 199}, {200, 199}};
    {
        TestFrame frame(640, 480);
        drawFrame(frame, 200, 100, 299, 199);
        const Recovery r = recover(frame);
        ASSERT_TRUE(r.ok);
        EXPECT_LT(worstCornerError(r.corners, expected), 1.0);
        EXPECT_GT(r.support, 0.9);
    }
    {
        // A finger across the whole border of the right side: the region is a "C".
        TestFrame frame(640, 480);
        drawFrame(frame, 200, 100, 299, 199);
        frame.fillRGB(260, 135, 320, 160, 160, 190, 230);
        const Recovery r = recover(frame);
        ASSERT_TRUE(r.ok);
        EXPECT_LT(worstCornerError(r.corners, expected), 1.0);
        EXPECT_LT(r.support, 0.9);
    }
    {
        // The top right corner covered: found where the two sides meet, out of sight.
        TestFrame frame(640, 480);
        drawFrame(frame, 200, 100, 299, 199);
        frame.fill(270, 80, 330, 125, 255);
        const Recovery r = recover(frame);
        ASSERT_TRUE(r.ok);
        EXPECT_LT(worstCornerError(r.corners, expected), 1.0);
    }
}

TEST(BrokenOutline, RegionsThatAreNoSquareAreRefused) {
    {
        // A triangle: three sides, and no fourth to find.
        TestFrame frame(640, 480);
        for (int y = 100; y < 200; ++y) frame.fill(200, y, 200 + (y - 100), y, 0);
        EXPECT_FALSE(recover(frame).ok);
    }
    {
        // A disc has no straight sides.
        TestFrame frame(640, 480);
        for (int y = 100; y < 200; ++y)
            for (int x = 200; x < 300; ++x)
                if (std::hypot(x - 249.5, y - 149.5) < 50) frame.fill(x, y, x, y, 0);
        EXPECT_FALSE(recover(frame).ok);
    }
    {
        // A long thin bar: four sides, but no square's.
        TestFrame frame(640, 480);
        frame.fill(100, 200, 500, 215, 0);
        EXPECT_FALSE(recover(frame).ok);
    }
}

TEST(BrokenOutline, ASideBittenIntoIsNotStraight) {
    MarkerCandidate* candidate = new MarkerCandidate;
    TestFrame frame(640, 480);
    drawFrame(frame, 200, 100, 299, 199);
    pinholeCamera(640, 480);
    ASSERT_TRUE(traceLargest(frame, candidate));
    ASSERT_EQ(findSquareVertices(10000, candidate, 1.0), 0);
    EXPECT_GT(sideStraightness(candidate->contourX, candidate->contourY, candidate->cornerIndex, 2.0), 0.95);

    // A notch five pixels deep in the middle of the bottom side.
    TestFrame bitten(640, 480);
    drawFrame(bitten, 200, 100, 299, 199);
    bitten.fill(235, 195, 265, 199, 255);
    ASSERT_TRUE(traceLargest(bitten, candidate));
    // Too shallow to split the side: the corner finder still sees four sides.
    ASSERT_EQ(findSquareVertices(10000, candidate, 1.0), 0);
    EXPECT_LT(sideStraightness(candidate->contourX, candidate->contourY, candidate->cornerIndex, 2.0), 0.85);
    delete candidate;
}
