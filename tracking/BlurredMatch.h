// Pattern matching on a blurred frame: the templates blurred the way the square's own
// edges show the frame to be blurred, then correlated with the sampled patch.
//
// A sharp template fits a blurred patch poorly: the black border bleeds into the outer
// cells and thin strokes fade, so a fast-moving or out-of-focus marker falls below the
// confidence a match needs. The edges already measure the blur (how wide each side's
// rise from dark to light is), which is enough to blur the templates alike: a straight
// motion blur from the rises across two neighbouring sides (two directions fit them,
// both are tried), and a disc for defocus.
#pragma once

#include <cstdint>

#include "tracking/Pattern.h"
#include "tracking/PatternSampling.h"

constexpr int kMaxBlurPoints = 16;

// A blur as image offsets (pixels) whose average is the blurred picture.
struct BlurShape {
    int count = 0;
    double offset[kMaxBlurPoints][2];
};

// Blurs that fit the rises measured across the four sides of the square with the given
// observed corners (side i from corner i to i + 1). Returns how many were written to
// shapes (room for 3): none when the edges are sharp, or when the blur reaches across
// more than half the square (then nothing of the picture is left to read).
int blurShapesFromRises(const double corners[4][2], const double rise[4], BlurShape shapes[3]);

// Best correlation of the patch (sampled by samplePatternAt through these observed
// corners) with every template loaded in table, blurred by shape, in the form
// matchPattern reports it. False for a patch without contrast or a degenerate mapping.
bool matchBlurredPattern(const PatternTable& table, const uint8_t patch[kPatchBytes],
                         const double corners[4][2], const BlurShape& shape, int* pattern, int* orientation,
                         double* confidence);
