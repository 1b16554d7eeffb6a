// Pattern identification of square candidates: edge lines and corners in ideal image
// coordinates, the inner picture sampled through a plane-to-image homography, and the
// correlation of that patch with every loaded pattern in its four orientations.
#pragma once

#include <cstdint>

#include "tracking/Candidates.h"
#include "tracking/EdgeRefine.h"
#include "tracking/Marker.h"
#include "tracking/PatternSampling.h"
#include "tracking/TrackerTables.h"

// Fits the four edge lines (principal axis of each side's contour points, 5 % left out
// next to each corner, at most 256 evenly spread points per side) and intersects
// neighbouring lines. -1 when a side has too few
// points or two neighbouring lines are parallel.
int fitEdgeLines(const int* contourX, const int* contourY, const int cornerIndex[5], const double distortion[4],
                 double edgeLines[4][3], double corners[4][2]);

// Best correlation of a patch with the patterns loaded in table. 0 with the best pattern slot,
// orientation and confidence (pattern -1, orientation -1, confidence 0 when nothing
// correlates positively); -1 for a patch without contrast (pattern 0, orientation 0,
// confidence -1).
int matchPattern(const PatternTable& table, const uint8_t patch[kPatchBytes], int* pattern, int* orientation,
                 double* confidence);

// Blurred fits of thin squares (fitBlurredSquare) allowed in one labelling pass: a fit
// costs milliseconds, and a frame full of dark blocks holds many thin, weakly named squares.
constexpr int kMaxFitsPerPass = 1;

// Names a square from its observed corners against tables' patterns (and, for a fitted
// square, its calibration): pattern, orientation and confidence of the
// picture read through them (pattern -1, orientation -1, confidence 0 when it cannot be
// sampled). rise: each side's blurred rise as refineEdges measures it, or null; with it, a
// weak match is also compared with the templates blurred alike. Without it, a weak match
// of a thin square is tried under the blurs it may be seen through (fitBlurredSquare):
// where that fits, marker's corners and edge lines too are those of the fit. Being
// costly, that is done only while fitsLeft (the pass's allowance, which identifyCandidates
// sets) is above zero, and each fit tried spends one.
void nameSquare(const TrackerTables& tables, int& fitsLeft, const uint8_t* frame, int width, int height,
                const double observedCorners[4][2], const double* rise, DetectedMarker& marker);

// Fills markers (room for kMaxMarkers) from the candidates whose edges could be fitted,
// using tables' calibration, edge switch and patterns, and returns their number. Starts a
// labelling pass: fitsLeft is set to kMaxFitsPerPass first.
int identifyCandidates(const TrackerTables& tables, int& fitsLeft, const uint8_t* frame, int width,
                       int height, const MarkerCandidate* candidates, int count, DetectedMarker* markers);
