#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "common/TrackingFixtures.h"
#include "tracking/BlurredMatch.h"
#include "tracking/Candidates.h"
#include "tracking/Identify.h"
#include "tracking/Labeling.h"
#include "tracking/Pattern.h"

namespace {

// A patch whose zero-mean darkness is `scale` times the given zero-mean template values.
void patchFromTemplate(const int* values, double scale, uint8_t patch[kPatchBytes]) {
    for (int k = 0; k < kPatchBytes; ++k)
        patch[k] = static_cast<uint8_t>(std::clamp(128.0 - scale * values[k], 0.0, 255.0));
}

}  // namespace

TEST(IdentifyTest, SamplingGridFollowsTheLargerSquaredSide) {
    EXPECT_EQ(samplingGridSize(0), 16);
    EXPECT_EQ(samplingGridSize(1027), 16);
    EXPECT_EQ(samplingGridSize(1028), 32);
    EXPECT_EQ(samplingGridSize(4099), 32);
    EXPECT_EQ(samplingGridSize(4100), 64);
    EXPECT_EQ(samplingGridSize(1 << 28), 64);
}

TEST(IdentifyTest, HomographyMapsTheFourCornersAndRefusesCollinearOnes) {
    const double model[4][2] = {{100, 100}, {110, 100}, {110, 110}, {100, 110}};
    const double image[4][2] = {{50, 40}, {180, 60}, {170, 200}, {30, 150}};
    double h[3][3];
    ASSERT_EQ(computeHomography(model, image, h), 0);
    EXPECT_EQ(h[2][2], 1.0);
    for (int i = 0; i < 4; ++i) {
        const double X = model[i][0], Y = model[i][1];
        const double w = h[2][0] * X + h[2][1] * Y + 1.0;
        EXPECT_NEAR((h[0][0] * X + h[0][1] * Y + h[0][2]) / w, image[i][0], 1e-6);
        EXPECT_NEAR((h[1][0] * X + h[1][1] * Y + h[1][2]) / w, image[i][1], 1e-6);
    }
    const double collinear[4][2] = {{0, 0}, {10, 10}, {20, 20}, {30, 30}};
    EXPECT_EQ(computeHomography(model, collinear, h), -1);
}

TEST(IdentifyTest, EdgeLinesAndCornersOfATracedSquare) {
    pinholeCamera(100, 100);
    TestFrame f(100, 100);
    f.fill(20, 30, 59, 69, 0);
    LabelTables t;
    const uint16_t* labels = labelImage(f.data(), f.width, f.height, 100, &t);
    std::unique_ptr<MarkerCandidate[]> c(new MarkerCandidate[kMaxCandidates]);
    ASSERT_EQ(extractCandidates(labels, f.width, f.height, t, kCandidateAreaMax, kCandidateAreaMin, 1.0, c.get()), 1);
    double lines[4][3], corners[4][2];
    const double noDistortion[4] = {50, 50, 0, 1};
    ASSERT_EQ(fitEdgeLines(c[0].contourX, c[0].contourY, c[0].cornerIndex, noDistortion, lines, corners), 0);
    // Straight runs of boundary pixels: the corners are the corner pixels' centres.
    const double expected[4][2] = {{59, 69}, {20, 69}, {20, 30}, {59, 30}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(corners[i][0], expected[i][0], 1e-9) << i;
        EXPECT_NEAR(corners[i][1], expected[i][1], 1e-9) << i;
        // Edge i runs through corners i and i + 1.
        for (int k : {i, (i + 1) % 4})
            EXPECT_NEAR(lines[i][0] * corners[k][0] + lines[i][1] * corners[k][1] + lines[i][2], 0.0, 1e-9);
    }
    // Corners one contour point apart leave an edge without points to fit.
    const int crowded[5] = {0, 1, 2, 40, c[0].contourLength - 1};
    EXPECT_EQ(fitEdgeLines(c[0].contourX, c[0].contourY, crowded, noDistortion, lines, corners), -1);
}

TEST(IdentifyTest, SamplingReadsTheInnerHalfAndCountsOutsideSamplesAsZero) {
    // Square from (20, 20) to (84, 84): the picture spans 36 .. 68. Left half of the
    // picture dark, right half light, a coloured top row to check the byte order.
    TestFrame f(120, 120);
    f.fill(36, 36, 51, 68, 10);
    f.fillRGB(52, 36, 68, 38, 200, 100, 50);
    const int xs[5] = {20, 84, 84, 20, 20};
    const int ys[5] = {20, 20, 84, 84, 20};
    const int corners[5] = {0, 1, 2, 3, 4};
    uint8_t patch[kPatchBytes];
    ASSERT_EQ(samplePattern(f.data(), f.width, f.height, xs, ys, corners, patch), 0);
    EXPECT_EQ(patch[(8 * 16 + 2) * 3], 10);
    EXPECT_EQ(patch[(8 * 16 + 13) * 3], 255);
    EXPECT_EQ(patch[(0 * 16 + 13) * 3 + 0], 200);
    EXPECT_EQ(patch[(0 * 16 + 13) * 3 + 1], 100);
    EXPECT_EQ(patch[(0 * 16 + 13) * 3 + 2], 50);

    // The same square shifted so its right part hangs out of the frame: those cells
    // get no samples and read 0, the rest are sampled as before.
    const int shifted[5] = {80, 144, 144, 80, 80};
    TestFrame g(120, 120);
    ASSERT_EQ(samplePattern(g.data(), g.width, g.height, shifted, ys, corners, patch), 0);
    EXPECT_EQ(patch[(8 * 16 + 1) * 3], 255);   // x about 97: inside
    EXPECT_EQ(patch[(8 * 16 + 14) * 3], 0);    // x about 126: outside
}

TEST(IdentifyTest, MatchingFindsEachOrientationAndRejectsFlatOrOppositePatches) {
    const int slot = loadOnlyCommittedPattern();
    ASSERT_GE(slot, 0);
    const PatternTable& table = patternTable();
    uint8_t patch[kPatchBytes];
    int pattern, orientation;
    double confidence;
    for (int d = 0; d < 4; ++d) {
        patchFromTemplate(&table.colour[slot][d][0][0][0], 0.5, patch);
        ASSERT_EQ(matchPattern(patternTable(), patch, &pattern, &orientation, &confidence), 0);
        EXPECT_EQ(pattern, slot);
        EXPECT_EQ(orientation, d);
        EXPECT_GT(confidence, 0.99);
        EXPECT_LE(confidence, 1.0 + 1e-9);
    }

    std::fill(patch, patch + kPatchBytes, 90);
    EXPECT_EQ(matchPattern(patternTable(), patch, &pattern, &orientation, &confidence), -1);
    EXPECT_EQ(pattern, 0);
    EXPECT_EQ(orientation, 0);
    EXPECT_EQ(confidence, -1.0);

    // The negative of all four orientations together correlates negatively with each.
    int opposite[kPatchBytes];
    for (int k = 0; k < kPatchBytes; ++k) {
        opposite[k] = 0;
        for (int d = 0; d < 4; ++d) opposite[k] -= (&table.colour[slot][d][0][0][0])[k];
    }
    patchFromTemplate(opposite, 0.2, patch);
    ASSERT_EQ(matchPattern(patternTable(), patch, &pattern, &orientation, &confidence), 0);
    EXPECT_EQ(pattern, -1);
    EXPECT_EQ(orientation, -1);
    EXPECT_EQ(confidence, 0.0);

    // A slot set aside is not matched; a second copy in the next slot is.
    patchFromTemplate(&table.colour[slot][2][0][0][0], 0.5, patch);
    const int second = loadPatternFile(committedDataPath("patt.00").c_str());
    ASSERT_GT(second, slot);
    ASSERT_EQ(deactivatePatternSlot(slot), 1);
    matchPattern(patternTable(), patch, &pattern, &orientation, &confidence);
    EXPECT_EQ(pattern, second);
    EXPECT_EQ(orientation, 2);
    freePatternSlot(second);
    matchPattern(patternTable(), patch, &pattern, &orientation, &confidence);
    EXPECT_EQ(pattern, -1);
    activatePatternSlot(slot);
}

// The sampler reads each point between pixel centres (pixel i's centre at i): on a frame
// whose level rises by 4 per column, every cell reads the level at its own centre, for a
// square at any subpixel position. Reading the pixel whose corner is nearest to the left
// (truncating) would read up to 4 levels too low.
TEST(IdentifyTest, SamplingIsBilinearBetweenPixelCentres) {
    TestFrame f(120, 120);
    for (int x = 0; x < f.width; ++x) f.fill(x, 0, x, f.height - 1, static_cast<uint8_t>(10 + 2 * x));
    for (const double shift : {0.0, 0.25, 0.5, 0.8}) {
        // A 64 px square: the picture spans 32 px, two per cell.
        const double x0 = 20.0 + shift, y0 = 23.0 - shift;
        const double corners[4][2] = {{x0, y0}, {x0 + 64, y0}, {x0 + 64, y0 + 64}, {x0, y0 + 64}};
        uint8_t patch[kPatchBytes];
        ASSERT_EQ(samplePatternAt(f.data(), f.width, f.height, corners, patch), 0);
        for (int col = 0; col < 16; ++col) {
            const double centre = x0 + 16 + 2 * (col + 0.5);
            EXPECT_NEAR(patch[(7 * 16 + col) * 3], 10 + 2 * centre, 0.51) << "shift " << shift << " cell " << col;
        }
    }
    // Corners of nearly parallel edge lines, far beyond the frame (their squared side
    // once overflowed an int): every sample falls outside and reads 0.
    const double far[4][2] = {{-3e5, -2e5}, {4e5, -1e5}, {5e5, 6e5}, {-2e5, 3e5}};
    uint8_t patch[kPatchBytes];
    ASSERT_EQ(samplePatternAt(f.data(), f.width, f.height, far, patch), 0);
    EXPECT_EQ(*std::max_element(patch, patch + kPatchBytes), 0);
}

// The blur shapes fitted to the rises of a square's sides: a straight motion gives the
// rise it was made from across every side, in one of the two directions tried.
TEST(IdentifyTest, BlurShapesFitTheMeasuredRises) {
    const double corners[4][2] = {{100, 50}, {220, 60}, {212, 180}, {92, 172}};
    const double sharp[4] = {1.0, 1.2, 0.9, 1.1};
    BlurShape shapes[3];
    EXPECT_EQ(blurShapesFromRises(corners, sharp, shapes), 0);

    const double motion[2] = {9.0, 4.0};  // pixels, end to end
    double rise[4];
    for (int i = 0; i < 4; ++i) {
        const double dx = corners[(i + 1) % 4][0] - corners[i][0], dy = corners[(i + 1) % 4][1] - corners[i][1];
        const double across = std::fabs(motion[0] * dy - motion[1] * dx) / std::hypot(dx, dy);
        rise[i] = std::hypot(1.0, 0.8 * across);
    }
    ASSERT_EQ(blurShapesFromRises(corners, rise, shapes), 3);
    double bestMiss = 1e9;
    for (int s = 0; s < 2; ++s) {
        const BlurShape& b = shapes[s];
        ASSERT_GE(b.count, 2);
        // End to end, first point to last, stretched by the spacing of one point.
        const double scale = static_cast<double>(b.count) / (b.count - 1);
        const double vx = (b.offset[b.count - 1][0] - b.offset[0][0]) * scale;
        const double vy = (b.offset[b.count - 1][1] - b.offset[0][1]) * scale;
        bestMiss = std::min({bestMiss, std::hypot(vx - motion[0], vy - motion[1]),
                             std::hypot(vx + motion[0], vy + motion[1])});
    }
    EXPECT_LT(bestMiss, 1.0);
    // The third is a disc around the centre for defocus.
    EXPECT_GE(shapes[2].count, 9);
    double sum[2] = {0, 0};
    for (int k = 0; k < shapes[2].count; ++k)
        for (int a = 0; a < 2; ++a) sum[a] += shapes[2].offset[k][a];
    EXPECT_NEAR(sum[0], 0.0, 1e-9);
    EXPECT_NEAR(sum[1], 0.0, 1e-9);

    // The same blur over a square of 14 px: it reaches across more than half of it, where
    // nothing of the picture is left to read; blurred templates would see a marker in
    // any dark smudge.
    const double small[4][2] = {{100, 50}, {114, 51}, {113, 65}, {99, 64}};
    EXPECT_EQ(blurShapesFromRises(small, rise, shapes), 0);
}
