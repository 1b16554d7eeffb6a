#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "common/TrackingFixtures.h"
#include "tracking/Candidates.h"
#include "tracking/Labeling.h"
#include "tracking/Marker.h"

namespace {

// Final label of pixel (x, y), 0 for background.
int finalLabel(const uint16_t* labels, const LabelTables& t, int width, int x, int y) {
    const uint16_t v = labels[y * width + x];
    return v > 0 ? t.equivalence[v - 1] : 0;
}

std::unique_ptr<MarkerCandidate[]> candidateBuffer() {
    return std::unique_ptr<MarkerCandidate[]>(new MarkerCandidate[kMaxCandidates]);
}

// A square frame (ring) as a marker border: outer side `side`, border `border` thick.
void drawRing(TestFrame& f, int x0, int y0, int side, int border, uint8_t grey = 0) {
    f.fill(x0, y0, x0 + side - 1, y0 + border - 1, grey);
    f.fill(x0, y0 + side - border, x0 + side - 1, y0 + side - 1, grey);
    f.fill(x0, y0, x0 + border - 1, y0 + side - 1, grey);
    f.fill(x0 + side - border, y0, x0 + side - 1, y0 + side - 1, grey);
}

// 8-connected components of the dark pixels inside the outermost rows and columns,
// numbered in raster order of their first pixel (0: background), found by flood fill.
std::vector<int> floodFillComponents(const TestFrame& f, int threshold, int* count) {
    std::vector<int> component(static_cast<size_t>(f.width) * f.height, 0);
    auto dark = [&](int x, int y) {
        const uint8_t* p = &f.bgra[(static_cast<size_t>(y) * f.width + x) * 4];
        return x > 0 && y > 0 && x < f.width - 1 && y < f.height - 1 && p[0] + p[1] + p[2] <= 3 * threshold;
    };
    *count = 0;
    std::vector<std::pair<int, int>> stack;
    for (int y = 1; y < f.height - 1; ++y) {
        for (int x = 1; x < f.width - 1; ++x) {
            if (!dark(x, y) || component[y * f.width + x]) continue;
            component[y * f.width + x] = ++*count;
            stack.assign(1, {x, y});
            while (!stack.empty()) {
                const auto [cx, cy] = stack.back();
                stack.pop_back();
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        const int nx = cx + dx, ny = cy + dy;
                        if (!dark(nx, ny) || component[ny * f.width + nx]) continue;
                        component[ny * f.width + nx] = *count;
                        stack.push_back({nx, ny});
                    }
            }
        }
    }
    return component;
}

}  // namespace

TEST(LabelingTest, ComponentsGetAreaCentroidAndBoxAcrossMergedShapes) {
    TestFrame f(40, 30);
    f.fill(3, 3, 7, 6, 0);  // 5 x 4 block
    // A "U": its two arms get separate provisional labels that merge at the bottom.
    f.fill(15, 5, 16, 15, 0);
    f.fill(22, 5, 23, 15, 0);
    f.fill(15, 14, 23, 15, 0);
    // A "V"-like diagonal joining from the upper right.
    for (int i = 0; i < 8; ++i) f.fill(35 - i, 10 + i, 35 - i, 10 + i, 0);
    LabelTables t;
    const uint16_t* labels = labelImage(f.data(), f.width, f.height, 100, &t);
    ASSERT_NE(labels, nullptr);
    ASSERT_EQ(t.count, 3);
    EXPECT_GT(t.provisionalCount, 3);

    const int block = finalLabel(labels, t, f.width, 3, 3);
    const int u = finalLabel(labels, t, f.width, 15, 5);
    ASSERT_GT(block, 0);
    EXPECT_EQ(finalLabel(labels, t, f.width, 22, 5), u);  // both arms in one component
    EXPECT_EQ(t.area[block - 1], 20);
    EXPECT_DOUBLE_EQ(t.centroid[2 * (block - 1)], 5.0);
    EXPECT_DOUBLE_EQ(t.centroid[2 * (block - 1) + 1], 4.5);
    const int* box = t.box + 4 * (u - 1);
    EXPECT_EQ(box[0], 15);
    EXPECT_EQ(box[1], 23);
    EXPECT_EQ(box[2], 5);
    EXPECT_EQ(box[3], 15);
    EXPECT_EQ(t.area[u - 1], 2 * 11 * 2 + 5 * 2);
    const int diagonal = finalLabel(labels, t, f.width, 35, 10);
    EXPECT_EQ(t.area[diagonal - 1], 8);
    EXPECT_EQ(t.box[4 * (diagonal - 1) + 0], 28);
    EXPECT_EQ(t.box[4 * (diagonal - 1) + 1], 35);
    // The frame's outermost rows and columns are never labelled, even when dark.
    TestFrame dark(10, 8, 0);
    labels = labelImage(dark.data(), dark.width, dark.height, 100, &t);
    ASSERT_EQ(t.count, 1);
    EXPECT_EQ(t.area[0], 8 * 6);
    EXPECT_EQ(labels[0], 0);
    EXPECT_EQ(labels[9], 0);
    EXPECT_EQ(labels[7 * 10 + 5], 0);
}

TEST(LabelingTest, NoisyAndMergeHeavyFramesLabelLikeAFloodFill) {
    std::vector<TestFrame> frames;
    std::srand(7);
    for (int density : {30, 50, 70}) {  // per cent of dark pixels
        TestFrame f(211, 157);
        for (int y = 0; y < f.height; ++y)
            for (int x = 0; x < f.width; ++x)
                if (std::rand() % 100 < density) f.fill(x, y, x, y, 0);
        frames.push_back(f);
    }
    // A comb: thousands of teeth, each a label of its own until the spine joins them from
    // right to left, and a staircase whose steps join one after the other.
    TestFrame comb(3001, 40);
    for (int x = 1; x < comb.width - 1; x += 2) comb.fill(x, 1, x, 30, 0);
    comb.fill(1, 34, comb.width - 2, 34, 0);
    for (int x = 1; x < comb.width - 1; x += 2)
        if ((x / 2) % 2) comb.fill(x, 31, x, 33, 0);  // every other tooth reaches the spine
    frames.push_back(comb);
    TestFrame stairs(400, 300);
    for (int i = 0; i < 140; ++i) stairs.fill(2 + 2 * i, 2 + 2 * i, 2 + 2 * i, 298 - 2 * i, 0);
    for (int i = 0; i < 140; ++i) stairs.fill(2 + 2 * i, 297 - 2 * i, 4 + 2 * i, 297 - 2 * i, 0);
    frames.push_back(stairs);

    for (size_t n = 0; n < frames.size(); ++n) {
        TestFrame& f = frames[n];
        int expectedCount = 0;
        const std::vector<int> expected = floodFillComponents(f, 100, &expectedCount);
        LabelTables t;
        const uint16_t* labels = labelImage(f.data(), f.width, f.height, 100, &t);
        ASSERT_NE(labels, nullptr) << "frame " << n;
        ASSERT_EQ(t.count, expectedCount) << "frame " << n;
        std::vector<int> area(expectedCount, 0);
        std::vector<std::array<int, 4>> box(expectedCount, {f.width, 0, f.height, 0});
        int wrong = 0;
        for (int y = 0; y < f.height; ++y)
            for (int x = 0; x < f.width; ++x) {
                const int c = expected[y * f.width + x];
                wrong += finalLabel(labels, t, f.width, x, y) != c;
                if (!c) continue;
                ++area[c - 1];
                box[c - 1] = {std::min(box[c - 1][0], x), std::max(box[c - 1][1], x), std::min(box[c - 1][2], y),
                              std::max(box[c - 1][3], y)};
            }
        EXPECT_EQ(wrong, 0) << "frame " << n << ": pixels with another component's label";
        for (int c = 0; c < expectedCount; ++c) {
            ASSERT_EQ(t.area[c], area[c]) << "frame " << n << " component " << c + 1;
            for (int k = 0; k < 4; ++k) ASSERT_EQ(t.box[4 * c + k], box[c][k]) << "frame " << n << " component " << c + 1;
        }
    }
}

TEST(LabelingTest, ThresholdCountsTheSumOfTheThreeBytes) {
    TestFrame f(12, 6);
    f.fillRGB(1, 1, 1, 4, 0, 0, 0);
    f.fillRGB(3, 1, 3, 4, 0, 0, 1);       // sum 1: dark only from threshold 1
    f.fillRGB(5, 1, 5, 4, 30, 60, 90);    // sum 180: dark at 60, not at 59
    f.fillRGB(7, 1, 7, 4, 255, 255, 254);
    LabelTables t;
    labelImage(f.data(), f.width, f.height, 0, &t);
    EXPECT_EQ(t.count, 1);
    labelImage(f.data(), f.width, f.height, 1, &t);
    EXPECT_EQ(t.count, 2);
    labelImage(f.data(), f.width, f.height, 59, &t);
    EXPECT_EQ(t.count, 2);
    labelImage(f.data(), f.width, f.height, 60, &t);
    EXPECT_EQ(t.count, 3);
    // At 255 every pixel is dark: one component filling the inner frame.
    labelImage(f.data(), f.width, f.height, 255, &t);
    ASSERT_EQ(t.count, 1);
    EXPECT_EQ(t.area[0], 10 * 4);
}

TEST(LabelingTest, DebugFormWritesTheBinarizedImageAndKeepsByteThree) {
    TestFrame f(8, 6);
    f.fill(2, 2, 4, 3, 10);
    for (size_t i = 3; i < f.bgra.size(); i += 4) f.bgra[i] = 77;
    LabelTables t;
    ASSERT_NE(labelImageDebug(f.data(), f.width, f.height, 100, &t), nullptr);
    ASSERT_NE(binarizedImage, nullptr);
    uint8_t* first = binarizedImage;
    EXPECT_EQ(binarizedImage[(2 * 8 + 2) * 4], 255);
    EXPECT_EQ(binarizedImage[(2 * 8 + 2) * 4 + 2], 255);
    EXPECT_EQ(binarizedImage[(1 * 8 + 1) * 4], 0);
    EXPECT_EQ(binarizedImage[(2 * 8 + 2) * 4 + 3], 0);  // byte 3 never written (buffer starts zeroed)
    // A new frame size replaces the buffer; the same size reuses it.
    ASSERT_NE(labelImageDebug(f.data(), f.width, f.height, 100, &t), nullptr);
    EXPECT_EQ(binarizedImage, first);
    TestFrame g(16, 12, 0);
    ASSERT_NE(labelImageDebug(g.data(), g.width, g.height, 100, &t), nullptr);
    EXPECT_EQ(binarizedImage[(5 * 16 + 5) * 4], 255);
    EXPECT_EQ(binarizedImage[0], 0);  // outermost pixels stay 0
}

TEST(LabelingTest, RegionsBeyondTheTableAreSkippedAndLargeFramesWork) {
    // Isolated dark pixels on a grid of step 2: 32768 + 1 components need a frame
    // with more than 32768 cells of 2 x 2; below them a block that comes last.
    TestFrame f(2 * 182 + 2, 2 * 182 + 40);
    for (int y = 1; y < 2 * 182 + 1; y += 2)
        for (int x = 1; x < f.width - 1; x += 2) f.fill(x, y, x, y, 0);
    f.fill(100, 2 * 182 + 10, 139, 2 * 182 + 29, 0);
    for (int threshold : {100, kLocalThreshold}) {
        LabelTables t;
        const uint16_t* labels = labelImage(f.data(), f.width, f.height, threshold, &t);
        ASSERT_NE(labels, nullptr) << threshold;
        EXPECT_EQ(t.count, kMaxProvisionalLabels) << threshold;
        // The specks that did not fit and the 20 rows of the block, each a run.
        EXPECT_EQ(t.skipped, 182 * 182 - kMaxProvisionalLabels + 20) << threshold;
        // What fits is labelled as usual; what does not is background.
        EXPECT_EQ(t.area[0], 1);
        EXPECT_EQ(labels[1 * f.width + 1], 1);
        EXPECT_EQ(labels[(2 * 182 + 15) * f.width + 120], 0);
    }
    // The next frame starts afresh.
    TestFrame g(40, 30);
    g.fill(3, 3, 7, 6, 0);
    LabelTables t;
    ASSERT_NE(labelImage(g.data(), g.width, g.height, 100, &t), nullptr);
    EXPECT_EQ(t.count, 1);
    EXPECT_EQ(t.skipped, 0);

    // Frames beyond 1920 x 1080 are labelled too (the buffer follows the frame).
    TestFrame big(2100, 1200);
    big.fill(2000, 1100, 2049, 1149, 0);
    const uint16_t* labels = labelImage(big.data(), big.width, big.height, 100, &t);
    ASSERT_NE(labels, nullptr);
    ASSERT_EQ(t.count, 1);
    EXPECT_EQ(t.area[0], 2500);
    EXPECT_DOUBLE_EQ(t.centroid[0], 2024.5);
}

TEST(LabelingTest, AFullTableIsHandedToTheOwnerOnceWithTheFrameSize) {
    // Isolated specks on a grid of step 2, more than the table holds.
    TestFrame f(2 * 182 + 2, 2 * 182 + 2);
    for (int y = 1; y < f.height - 1; y += 2)
        for (int x = 1; x < f.width - 1; x += 2) f.fill(x, y, x, y, 0);
    TestFrame plain(40, 30);
    plain.fill(3, 3, 7, 6, 0);

    Labeller labeller;
    LabelTables t;
    int width = -1, height = -1;
    ASSERT_NE(labeller.label(plain.data(), plain.width, plain.height, 100, &t), nullptr);
    EXPECT_FALSE(labeller.takeOverflow(&width, &height));  // nothing overflowed yet
    EXPECT_EQ(width, -1);

    ASSERT_NE(labeller.label(f.data(), f.width, f.height, 100, &t), nullptr);
    ASSERT_GT(t.skipped, 0);
    ASSERT_TRUE(labeller.takeOverflow(&width, &height));
    EXPECT_EQ(width, f.width);
    EXPECT_EQ(height, f.height);
    EXPECT_FALSE(labeller.takeOverflow(&width, &height));  // handed out once

    // Later full frames are not reported again, whatever their size.
    ASSERT_NE(labeller.label(f.data(), f.width, f.height, kLocalThreshold, &t), nullptr);
    ASSERT_GT(t.skipped, 0);
    EXPECT_FALSE(labeller.takeOverflow(&width, &height));
}

TEST(LabelingTest, FixedLevelOfEveryColourMatchesTheSumRule) {
    // Random colours across widths that are and are not multiples of the vector width.
    std::mt19937 rng(3);
    for (int width : {37, 64, 131}) {
        TestFrame f(width, 9);
        for (auto& b : f.bgra) b = static_cast<uint8_t>(rng());
        Labeller labeller;
        std::vector<uint8_t> binarized(f.bgra.size(), 0);
        for (int threshold : {0, 40, 128, 200, 255}) {
            LabelTables t;
            ASSERT_NE(labeller.label(f.data(), f.width, f.height, threshold, &t, binarized.data()), nullptr);
            int wrong = 0;
            for (int y = 1; y < f.height - 1; ++y)
                for (int x = 1; x < f.width - 1; ++x) {
                    const uint8_t* p = &f.bgra[(static_cast<size_t>(y) * width + x) * 4];
                    wrong += (p[0] + p[1] + p[2] <= 3 * threshold) != (binarized[(static_cast<size_t>(y) * width + x) * 4] == 255);
                }
            EXPECT_EQ(wrong, 0) << "width " << width << " threshold " << threshold;
        }
    }
}

namespace {

// Grey level g under light that falls from 1 at the left to `dim` at the right.
uint8_t litGrey(int g, int x, int width, double dim) {
    return static_cast<uint8_t>(std::lround(g * (1.0 - (1.0 - dim) * x / (width - 1.0))));
}

}  // namespace

TEST(LabelingTest, LocalThresholdFollowsTheLightAndFillsThickDarkAreas) {
    // Three marker-like rings (a thick black border round white paper) on white paper,
    // lit from the left; at the right the paper is as dark as the black at the left.
    const int width = 480, height = 160;
    TestFrame f(width, height);
    const int ringX[3] = {20, 180, 340};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            int g = 230;
            for (int rx : ringX) {
                const bool inOuter = x >= rx && x < rx + 120 && y >= 20 && y < 140;
                const bool inInner = x >= rx + 40 && x < rx + 80 && y >= 60 && y < 100;
                if (inOuter && !inInner) g = 40;
            }
            const uint8_t v = litGrey(g, x, width, 0.1);
            f.fillRGB(x, y, x, y, v, v, v);
        }
    auto ringsFound = [&](const LabelTables& t) {
        if (t.count != 3) return false;
        for (int j = 0; j < 3; ++j)
            if (t.area[j] != 120 * 120 - 40 * 40 || t.box[4 * j] != ringX[j] || t.box[4 * j + 1] != ringX[j] + 119)
                return false;
        return true;
    };
    // No one level for the whole frame finds all three rings whole.
    LabelTables t;
    for (int level = 0; level <= 255; ++level) {
        labelImage(f.data(), width, height, level, &t);
        EXPECT_FALSE(ringsFound(t)) << level;
    }

    std::vector<uint8_t> binarized(f.bgra.size(), 0);
    Labeller labeller;
    const uint16_t* labels = labeller.label(f.data(), width, height, kLocalThreshold, &t, binarized.data());
    ASSERT_NE(labels, nullptr);
    // The 40-pixel band of each ring is dark all through, the paper inside it is not.
    EXPECT_TRUE(ringsFound(t));
    // The binarized image shows exactly the labelled pixels.
    int differ = 0;
    for (int y = 1; y < height - 1; ++y)
        for (int x = 1; x < width - 1; ++x)
            differ += (labels[y * width + x] > 0) != (binarized[(static_cast<size_t>(y) * width + x) * 4] == 255);
    EXPECT_EQ(differ, 0);
}

TEST(LabelingTest, LocalThresholdLeavesFlatNoisyAreasAlone) {
    // A plain wall with sensor noise (sigma 3 in each byte), brighter to the left, with a
    // faint smudge of 6 levels. Nothing there is worth a region; one level for the whole
    // frame breaks the wall into specks where it crosses the wall's level.
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0.0, 3.0);
    TestFrame f(640, 480);
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            const double smudge = std::hypot(x - 400, y - 200) < 60 ? 6.0 : 0.0;
            uint8_t* p = &f.bgra[(static_cast<size_t>(y) * f.width + x) * 4];
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<uint8_t>(std::clamp(std::lround(200.0 - 0.2 * x - smudge + noise(rng)), 0L, 255L));
        }
    Labeller labeller;
    LabelTables t;
    ASSERT_NE(labeller.label(f.data(), f.width, f.height, 136, &t), nullptr);
    EXPECT_GT(t.count, 100);
    ASSERT_NE(labeller.label(f.data(), f.width, f.height, kLocalThreshold, &t), nullptr);
    EXPECT_EQ(t.count, 0);
    // One dark square on it is found whole, and the wall still adds nothing, not even
    // at the right, where it is darker than the threshold at the square's edge.
    f.fill(100, 100, 159, 159, 20);
    ASSERT_NE(labeller.label(f.data(), f.width, f.height, kLocalThreshold, &t), nullptr);
    ASSERT_EQ(t.count, 1);
    EXPECT_EQ(t.area[0], 60 * 60);
}

TEST(LabelingTest, CandidatesNeedSeventyPixelsAndMustNotTouchTheBorder) {
    auto candidates = candidateBuffer();
    LabelTables t;
    // Two 7 x 10 blocks, one with a corner pixel missing: 70 and 69 pixels.
    TestFrame f(80, 60);
    f.fill(10, 10, 16, 19, 0);
    f.fill(40, 10, 46, 19, 0);
    f.fill(46, 19, 46, 19, 255);
    const uint16_t* labels = labelImage(f.data(), f.width, f.height, 100, &t);
    ASSERT_EQ(t.count, 2);
    int n = extractCandidates(labels, f.width, f.height, t, kCandidateAreaMax, kCandidateAreaMin, 1.0, candidates.get());
    ASSERT_EQ(n, 1);
    EXPECT_EQ(candidates[0].area, 70);
    EXPECT_DOUBLE_EQ(candidates[0].center[0], 13.0);
    // With the lower limit at 69 both are squares: the size rule alone kept the second out.
    EXPECT_EQ(extractCandidates(labels, f.width, f.height, t, kCandidateAreaMax, 69, 1.0, candidates.get()), 2);

    for (int edge = 0; edge < 4; ++edge) {
        TestFrame g(80, 60);
        const int x0 = edge == 0 ? 1 : edge == 1 ? 60 : 30;
        const int y0 = edge == 2 ? 1 : edge == 3 ? 40 : 20;
        const int x1 = edge == 1 ? 78 : x0 + 17;
        const int y1 = edge == 3 ? 58 : y0 + 17;
        g.fill(x0, y0, x1, y1, 0);
        labels = labelImage(g.data(), g.width, g.height, 100, &t);
        ASSERT_EQ(t.count, 1);
        EXPECT_EQ(extractCandidates(labels, g.width, g.height, t, kCandidateAreaMax, kCandidateAreaMin, 1.0,
                                    candidates.get()),
                  0)
            << "edge " << edge;
    }
    // One pixel further in is fine.
    TestFrame g(80, 60);
    g.fill(2, 2, 19, 19, 0);
    labels = labelImage(g.data(), g.width, g.height, 100, &t);
    EXPECT_EQ(extractCandidates(labels, g.width, g.height, t, kCandidateAreaMax, kCandidateAreaMin, 1.0,
                                candidates.get()),
              1);
}

TEST(LabelingTest, NestedSquaresKeepOnlyTheOuterOne) {
    TestFrame f(120, 100);
    drawRing(f, 20, 10, 80, 20);    // marker border
    f.fill(50, 40, 69, 59, 0);      // a dark picture in its middle
    LabelTables t;
    const uint16_t* labels = labelImage(f.data(), f.width, f.height, 100, &t);
    ASSERT_EQ(t.count, 2);
    auto candidates = candidateBuffer();
    const int n =
        extractCandidates(labels, f.width, f.height, t, kCandidateAreaMax, kCandidateAreaMin, 1.0, candidates.get());
    ASSERT_EQ(n, 1);
    EXPECT_EQ(candidates[0].area, 80 * 80 - 40 * 40);
    // Two separate squares far apart both stay.
    TestFrame g(200, 100);
    g.fill(20, 20, 59, 59, 0);
    g.fill(120, 20, 159, 59, 0);
    labels = labelImage(g.data(), g.width, g.height, 100, &t);
    EXPECT_EQ(extractCandidates(labels, g.width, g.height, t, kCandidateAreaMax, kCandidateAreaMin, 1.0,
                                candidates.get()),
              2);
}

TEST(LabelingTest, ContourOfASquareIsClosedAndStartsAtACorner) {
    TestFrame f(60, 60);
    f.fill(10, 20, 29, 39, 0);
    LabelTables t;
    const uint16_t* labels = labelImage(f.data(), f.width, f.height, 100, &t);
    auto candidate = candidateBuffer();
    const int box[4] = {10, 29, 20, 39};
    ASSERT_EQ(traceContour(labels, f.width, t.equivalence, 1, box, &candidate[0]), 0);
    const MarkerCandidate& c = candidate[0];
    // The boundary of a 20 x 20 block has 76 distinct pixels, plus the closing repeat.
    ASSERT_EQ(c.contourLength, 77);
    EXPECT_EQ(c.contourX[0], c.contourX[76]);
    EXPECT_EQ(c.contourY[0], c.contourY[76]);
    // Started at (10, 20); the farthest point is the opposite corner (29, 39).
    EXPECT_EQ(c.contourX[0], 29);
    EXPECT_EQ(c.contourY[0], 39);
    for (int i = 1; i < c.contourLength; ++i) {
        EXPECT_LE(std::abs(c.contourX[i] - c.contourX[i - 1]), 1);
        EXPECT_LE(std::abs(c.contourY[i] - c.contourY[i - 1]), 1);
        const bool onBoundary = c.contourX[i] == 10 || c.contourX[i] == 29 || c.contourY[i] == 20 || c.contourY[i] == 39;
        EXPECT_TRUE(onBoundary) << i;
    }

    ASSERT_EQ(findSquareVertices(400, &candidate[0], 1.0), 0);
    const int* k = c.cornerIndex;
    EXPECT_EQ(k[0], 0);
    EXPECT_EQ(k[4], 76);
    const int expected[4][2] = {{29, 39}, {10, 39}, {10, 20}, {29, 20}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(c.contourX[k[i]], expected[i][0]) << i;
        EXPECT_EQ(c.contourY[k[i]], expected[i][1]) << i;
    }
    // A box whose top row holds no pixel of the label is refused.
    const int wrongBox[4] = {40, 50, 5, 15};
    EXPECT_EQ(traceContour(labels, f.width, t.equivalence, 1, wrongBox, &candidate[0]), -1);
}

TEST(LabelingTest, CornerFinderTakesRotatedSquaresAndRefusesOtherShapes) {
    auto candidate = candidateBuffer();
    LabelTables t;
    // A square turned by 30 degrees, drawn by point-in-polygon.
    TestFrame f(120, 120);
    const double cx = 60, cy = 60, half = 30, angle = 30 * M_PI / 180;
    for (int y = 0; y < f.height; ++y) {
        for (int x = 0; x < f.width; ++x) {
            const double dx = x - cx, dy = y - cy;
            const double u = dx * std::cos(angle) + dy * std::sin(angle);
            const double v = -dx * std::sin(angle) + dy * std::cos(angle);
            if (std::fabs(u) <= half && std::fabs(v) <= half) f.fill(x, y, x, y, 0);
        }
    }
    const uint16_t* labels = labelImage(f.data(), f.width, f.height, 100, &t);
    ASSERT_EQ(t.count, 1);
    int n = extractCandidates(labels, f.width, f.height, t, kCandidateAreaMax, kCandidateAreaMin, 1.0, candidate.get());
    ASSERT_EQ(n, 1);
    for (int i = 0; i < 4; ++i) {
        const double x = candidate[0].contourX[candidate[0].cornerIndex[i]] - cx;
        const double y = candidate[0].contourY[candidate[0].cornerIndex[i]] - cy;
        EXPECT_NEAR(std::hypot(x, y), half * std::sqrt(2.0), 2.0) << i;
    }

    // A disc, a triangle and an L shape are not squares.
    TestFrame disc(120, 120);
    for (int y = 0; y < 120; ++y)
        for (int x = 0; x < 120; ++x)
            if (std::hypot(x - 60, y - 60) <= 35) disc.fill(x, y, x, y, 0);
    TestFrame triangle(120, 120);
    for (int y = 20; y < 100; ++y) triangle.fill(20, y, 20 + (y - 20), y, 0);
    TestFrame ell(120, 120);
    ell.fill(20, 20, 39, 99, 0);
    ell.fill(20, 80, 99, 99, 0);
    for (TestFrame* shape : {&disc, &triangle, &ell}) {
        labels = labelImage(shape->data(), shape->width, shape->height, 100, &t);
        ASSERT_EQ(t.count, 1);
        EXPECT_EQ(extractCandidates(labels, shape->width, shape->height, t, kCandidateAreaMax, kCandidateAreaMin, 1.0,
                                    candidate.get()),
                  0);
    }
}

TEST(LabelingTest, SplitStopsAtSixPoints) {
    // A zig-zag with many sharp turns between the ends.
    int xs[40], ys[40];
    for (int i = 0; i < 40; ++i) {
        xs[i] = i * 5;
        ys[i] = (i % 2) * 40;
    }
    int indices[8];
    int count = 0;
    EXPECT_EQ(splitAtFarthestPoint(xs, ys, 0, 39, 1.0, indices, &count), -1);
    EXPECT_LE(count, 6);
    // A straight run yields nothing.
    for (int i = 0; i < 40; ++i) ys[i] = 7;
    count = 0;
    EXPECT_EQ(splitAtFarthestPoint(xs, ys, 0, 39, 1.0, indices, &count), 0);
    EXPECT_EQ(count, 0);
}
