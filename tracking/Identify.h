// Pattern identification of square candidates: edge lines and corners in ideal image
// coordinates, the inner picture sampled through a plane-to-image homography, and the
// correlation of that patch with every loaded pattern in its four orientations.
#pragma once

#include <cstdint>

#include "tracking/Candidates.h"
#include "tracking/EdgeRefine.h"
#include "tracking/Marker.h"
#include "tracking/PatternSampling.h"

// Fits the four edge lines (principal axis of each side's contour points, 5 % left out
// next to each corner, at most 256 evenly spread points per side) and intersects
// neighbouring lines. -1 when a side has too few
// points or two neighbouring lines are parallel.
int fitEdgeLines(const int* contourX, const int* contourY, const int cornerIndex[5], const double distortion[4],
                 double edgeLines[4][3], double corners[4][2]);

// Samples the marker's inner picture as 16 x 16 cells of bytes 0, 1, 2, averaging a grid
// of 16, 32 or 64 points per side depending on the square's size, each read bilinearly
// between pixel centres (image coordinates put pixel i's centre at i). Samples outside
// the frame count as 0. -1 when the mapping is degenerate (patch undefined).
int samplePattern(const uint8_t* frame, int width, int height, const int* contourX, const int* contourY,
                  const int cornerIndex[5], uint8_t patch[kPatchBytes]);

// The same from four observed corner positions (corner 0 is contour corner 0).
int samplePatternAt(const uint8_t* frame, int width, int height, const double image[4][2],
                    uint8_t patch[kPatchBytes]);

// Sampling grid points per side for a squared side length (16, 32 or 64).
int samplingGridSize(int squaredSide);

// Best correlation of a patch with the loaded patterns. 0 with the best pattern slot,
// orientation and confidence (pattern -1, orientation -1, confidence 0 when nothing
// correlates positively); -1 for a patch without contrast (pattern 0, orientation 0,
// confidence -1).
int matchPattern(const uint8_t patch[kPatchBytes], int* pattern, int* orientation, double* confidence);

// Names a square from its observed corners: pattern, orientation and confidence of the
// picture read through them (pattern -1, orientation -1, confidence 0 when it cannot be
// sampled). rise: each side's blurred rise as refineEdges measures it, or null; with it, a
// weak match is also compared with the templates blurred alike. Without it, a weak match
// of a thin square is tried under the blurs it may be seen through (fitBlurredSquare):
// where that fits, marker's corners and edge lines too are those of the fit. Being
// costly, that is done for at most one square of one labelling pass (identifyCandidates
// starts a pass).
void nameSquare(const uint8_t* frame, int width, int height, const double observedCorners[4][2],
                const double* rise, DetectedMarker& marker);

// Fills markers (room for kMaxMarkers) from the candidates whose edges could be fitted,
// using the installed calibration's distortion, and returns their number.
int identifyCandidates(const uint8_t* frame, int width, int height, const MarkerCandidate* candidates, int count,
                       DetectedMarker* markers);
