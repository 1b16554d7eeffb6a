// Square marker candidates: labels of a plausible size that do not touch the frame's
// border, whose outer contour can be traced and split into four straight sides.
#pragma once

#include <cstdint>
#include <limits>

#include "tracking/Labeling.h"

constexpr int kMaxCandidates = 30;
// Room for the outline of any square lying inside a 3840 x 2160 frame (a square's
// contour has at most about its perimeter in points).
constexpr int kMaxContourPoints = 16384;
// No upper size limit: a square lying whole inside the frame is a candidate at any frame
// size, however near the camera holds it (the border test in extractCandidates is what
// bounds it). Kept as a named limit for callers that pass one.
constexpr int kCandidateAreaMax = std::numeric_limits<int>::max();
// The smallest square whose picture can still be read: the dark ring of a marker about
// 10 px wide facing the camera (0.75 x side^2) covers about 70 pixels; its picture is then
// 5 px across, where the correlation has too little left to tell patterns apart.
constexpr int kCandidateAreaMin = 70;

struct MarkerCandidate {
    int area;                         // pixel count of the label
    double center[2];                 // label centroid x, y
    int contourLength;                // contour points including the closing repeat of the first
    int contourX[kMaxContourPoints];  // contour pixels in tracing order (clockwise on screen)
    int contourY[kMaxContourPoints];
    int cornerIndex[5];               // contour indices of the corners; [0] = 0, [4] = contourLength - 1
};

// Fills candidates (room for kMaxCandidates) from the labels of one labelling and returns
// their number. Nested or overlapping candidates whose centroids nearly coincide keep only
// the larger one.
int extractCandidates(const uint16_t* labels, int width, int height, const LabelTables& tables, int areaMax,
                      int areaMin, double factor, MarkerCandidate* candidates);

// Traces the outer contour of final label `label` (box: x min, x max, y min, y max),
// starting at the contour point farthest from the topmost-left pixel. 0 or -1 (with a
// short diagnostic on standard output when the label image is inconsistent; a contour
// longer than kMaxContourPoints, a ragged region rather than a square, is refused
// silently).
int traceContour(const uint16_t* labels, int width, const int* equivalence, int label, const int box[4],
                 MarkerCandidate* candidate);

// Finds the four corners of a traced contour; -1 when it does not split into four sides.
int findSquareVertices(int area, MarkerCandidate* candidate, double factor);

// Recursively collects, between contour indices start and end, the points farther than
// sqrt(threshold) from the chord, at most 6 of them. 0 or -1.
int splitAtFarthestPoint(const int* contourX, const int* contourY, int start, int end, double threshold,
                         int* indices, int* count);
