// Thin squares under motion blur: markers seen nearly edge-on whose border the blur
// leaves no plateau (frames of the shared motion-blur set that the edge refinement
// cannot place), the outline their threshold gives, and the blurred fit that places them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/TrackingConditions.h"
#include "common/TrackingFixtures.h"
#include "tracking/BlurredMatch.h"
#include "tracking/BlurredSquare.h"
#include "tracking/BrokenOutline.h"
#include "tracking/Candidates.h"
#include "tracking/EdgeRefine.h"
#include "tracking/Identify.h"
#include "tracking/Labeling.h"
#include "tracking/Pattern.h"

namespace {

// Frames of the motion-blur set (seed 2026) showing a marker 38-62 px long and about 14 px
// thick, blurred by 8-14 px.
constexpr int kThinFrames[] = {6, 31, 79, 111};

struct ThinFrames {
    ConditionSet set;
    std::vector<std::vector<uint8_t>> frames;
};

const ThinFrames& thinFrames() {
    static const ThinFrames frames = [] {
        ThinFrames f;
        f.set = makeConditionSet(TrackingCondition::MotionBlur, committedCamera(), 640, 480, 2026);
        for (const int i : kThinFrames) {
            f.frames.emplace_back();
            renderConditionFrame(f.set, i, committedMarker(), &f.frames.back());
        }
        return f;
    }();
    return frames;
}

}  // namespace

// The homography of the sampling square is scaled to 1 at the plane's origin; seen this
// steeply, the origin lies beyond the horizon and every cell of the square has a negative
// weight. The blurred match took that for "beyond the horizon" everywhere and matched
// nothing. With a blur of one point at the centre, it must agree with the sharp match.
TEST(BlurredThinMarker, BlurredMatchReadsASquareSeenBeyondItsPlanesOrigin) {
    const int slot = loadOnlyCommittedPattern();
    ASSERT_GE(slot, 0);
    const double steep[4][2] = {{71.2, 276.0}, {71.3, 326.2}, {56.8, 297.5}, {56.1, 249.6}};
    double h[3][3];
    ASSERT_EQ(computeHomography(kSamplingSquare, steep, h), 0);
    ASSERT_LT(h[2][0] * 105.0 + h[2][1] * 105.0 + h[2][2], 0.0) << "the case this test is about";

    const PatternTable& table = patternTable();
    for (int d = 0; d < 4; ++d) {
        uint8_t patch[kPatchBytes];
        const int* templ = &table.colour[slot][d][0][0][0];
        for (int k = 0; k < kPatchBytes; ++k)
            patch[k] = static_cast<uint8_t>(std::clamp(128.0 - 0.5 * templ[k], 0.0, 255.0));
        int sharpPattern, sharpOrientation;
        double sharp;
        ASSERT_EQ(matchPattern(patternTable(), patch, &sharpPattern, &sharpOrientation, &sharp), 0);
        BlurShape point;
        point.count = 1;
        point.offset[0][0] = point.offset[0][1] = 0.0;
        int pattern, orientation;
        double confidence;
        ASSERT_TRUE(
            matchBlurredPattern(patternTable(), patch, steep, point, &pattern, &orientation, &confidence));
        EXPECT_EQ(pattern, slot);
        EXPECT_EQ(orientation, d);
        EXPECT_NEAR(confidence, sharp, 0.02);
    }
}

namespace {

// The square the threshold's outline of frame f of thinFrames gives (observed corners),
// refined, or else moved onto the grey-level steps where its sides show them, as
// detection does for a whole outline that gave no square. False when it gives none.
bool outlineSquare(size_t f, double observed[4][2]) {
    const ThinFrames& thin = thinFrames();
    const ConditionFrame& truth = thin.set.frames[kThinFrames[f]];
    static MarkerCandidate candidate;  // too large for the stack
    static OutlineScratch scratch;
    LabelTables tables;
    const uint16_t* labels = labelImage(thin.frames[f].data(), 640, 480, kLocalThreshold, &tables);
    if (!labels) return false;
    double cx = 0.0, cy = 0.0;
    for (const auto& c : truth.corners) {
        cx += 0.25 * c[0];
        cy += 0.25 * c[1];
    }
    // The marker's region: the smallest whose box holds the square's centre.
    int label = -1;
    for (int j = 0; j < tables.count; ++j) {
        const int* box = tables.box + 4 * j;
        if (box[0] <= cx && cx <= box[1] && box[2] <= cy && cy <= box[3] && tables.area[j] >= 100 &&
            (label < 0 || tables.area[j] < tables.area[label]))
            label = j;
    }
    if (label < 0 || traceContour(labels, 640, tables.equivalence, label + 1, tables.box + 4 * label, &candidate) < 0)
        return false;
    double lines[4][3], corners[4][2];
    if (!recoverSquareFromOutline(candidate.contourX, candidate.contourY, candidate.contourLength,
                                  thin.set.camera.distortion, scratch, lines, corners, nullptr))
        return false;
    const uint8_t* frame = thin.frames[f].data();
    if (!refineEdges(frame, 640, 480, thin.set.camera.distortion, lines, corners))
        refineVisibleEdges(frame, 640, 480, thin.set.camera.distortion, lines, corners);
    for (int k = 0; k < 4; ++k)
        idealToObserved(thin.set.camera.distortion, corners[k][0], corners[k][1], &observed[k][0], &observed[k][1]);
    return true;
}

}  // namespace

// The threshold's outline of such a marker is a hexagon or more: the blur cuts its
// corners off with short facets. It is a whole outline (nothing bitten out), so the four
// sides are found though the strip is up to eight times longer than wide.
TEST(BlurredThinMarker, OutlineWithCornersCutByBlurGivesTheFourSides) {
    const ThinFrames& thin = thinFrames();
    setTrackerCameraParam(&thin.set.camera);
    for (size_t f = 0; f < thin.frames.size(); ++f) {
        double observed[4][2];
        ASSERT_TRUE(outlineSquare(f, observed)) << "frame " << kThinFrames[f];
        // The threshold's corners, a few pixels off where the blur cut them: a start.
        EXPECT_LT(worstCornerError(observed, thin.set.frames[kThinFrames[f]].corners), 6.0)
            << "frame " << kThinFrames[f];
    }
}

// From the outline's corners, the fit finds the pattern and places the square where the
// edge refinement could not. Along a strip this thin the square's length and the blur's
// reach trade against each other a little: the corners come within 3.5 px of the truth,
// short of the 5 px at which a pose counts as wrong. The fit is a local search: from
// corners moved at random by 2 px it does not always find its way.
TEST(BlurredThinMarker, FitPlacesTheSquareAndNamesItsPattern) {
    const int slot = loadOnlyCommittedPattern();
    ASSERT_GE(slot, 0);
    const ThinFrames& thin = thinFrames();
    setTrackerCameraParam(&thin.set.camera);
    for (size_t f = 0; f < thin.frames.size(); ++f) {
        const ConditionFrame& truth = thin.set.frames[kThinFrames[f]];
        double start[4][2];
        ASSERT_TRUE(outlineSquare(f, start));
        ASSERT_TRUE(isThinSquare(start));
        BlurredSquare fit;
        ASSERT_TRUE(fitBlurredSquare(patternTable(), thin.frames[f].data(), 640, 480, start, &fit))
            << "frame " << kThinFrames[f];
        EXPECT_EQ(fit.pattern, slot);
        EXPECT_GT(fit.fit, 0.9) << "frame " << kThinFrames[f];
        // Frame 31, the thinnest (11 px across), is the one the fit cannot name well.
        if (kThinFrames[f] != 31) {
            EXPECT_GT(fit.confidence, 0.85) << "frame " << kThinFrames[f];
            EXPECT_LT(worstCornerError(fit.corners, truth.corners), 3.5) << "frame " << kThinFrames[f];
        }
    }

    // The same places on a frame without a marker there (frame 79 turned half the width
    // round, which puts its marker where none of the four lies): no pattern fits well.
    const std::vector<uint8_t>& source = thin.frames[2];
    std::vector<uint8_t> blank(source.size());
    for (size_t y = 0; y < 480; ++y)
        for (size_t x = 0; x < 640; ++x)
            for (size_t c = 0; c < 4; ++c)
                blank[(y * 640 + x) * 4 + c] = source[(y * 640 + (x + 320) % 640) * 4 + c];
    for (size_t f = 0; f < thin.frames.size(); ++f) {
        BlurredSquare fit;
        if (fitBlurredSquare(patternTable(), blank.data(), 640, 480, thin.set.frames[kThinFrames[f]].corners,
                             &fit)) {
            EXPECT_FALSE(fit.confidence >= 0.85 && fit.fit >= 0.9) << "frame " << kThinFrames[f];
        }
    }
}

// A sharp square is nothing the fit could place better than the edges do, and the fit is
// costly: a frame full of sharp dark blocks must not run it for each.
TEST(BlurredThinMarker, SharpSquaresAreNotFitted) {
    ASSERT_GE(loadOnlyCommittedPattern(), 0);
    TestFrame frame(200, 200);
    frame.fill(60, 40, 79, 159, 0);  // 20 x 120, sharp
    frame.fill(65, 70, 74, 129, 255);
    const double corners[4][2] = {{59.5, 39.5}, {79.5, 39.5}, {79.5, 159.5}, {59.5, 159.5}};
    ASSERT_TRUE(isThinSquare(corners));
    BlurredSquare fit;
    EXPECT_FALSE(fitBlurredSquare(patternTable(), frame.data(), frame.width, frame.height, corners, &fit));
}
