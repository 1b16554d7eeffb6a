// Squares from broken outlines. A finger or a pen over the black frame bites a piece out
// of its dark region, so the traced contour no longer splits into four straight sides.
// The convex hull of the region still runs along every side of which something is
// visible, and only cuts across the bite: the four hull edges that the contour actually
// follows are the square's sides, and where they meet are its corners, the covered
// ones included.
#pragma once

#include <cstdint>

#include "tracking/Candidates.h"

// Working memory for one recovery, kept by its owner so no frame allocates.
struct OutlineScratch {
    int order[kMaxContourPoints];  // contour point indices sorted by x, then y
    int hull[kMaxContourPoints + 1];
    int simplified[kMaxContourPoints + 1];
    int stack[2 * kMaxContourPoints];
};

// Sides must be followed by the contour over at least this share of their length.
constexpr double kMinSideSupport = 0.3;

// Finds the four dominant straight sides of the closed contour (contourX/Y, n points, the
// last repeating the first, as traced clockwise on screen) and fits them in ideal image
// coordinates (distortion as the calibration's). edgeLines and corners follow
// DetectedMarker's conventions (edge i runs from corner i to corner i + 1, in the
// contour's turning sense). supportOut, when not null, receives the least share of a
// side's length that the contour follows. False, with the outputs unspecified, when the
// outline has no four such sides or they do not make a plausible square.
bool recoverSquareFromOutline(const int* contourX, const int* contourY, int n, const double distortion[4],
                              OutlineScratch& scratch, double edgeLines[4][3], double corners[4][2],
                              double* supportOut);

// Share of the contour points between neighbouring corners (cornerIndex as a candidate's)
// that lie within tolerance pixels of the chord joining them: the smallest of the four
// sides. A side bitten into has many points off its line, and a line fitted to them is
// pulled off the true edge.
double sideStraightness(const int* contourX, const int* contourY, const int cornerIndex[5], double tolerance);

// Moves each side of a recovered square (ideal coordinates) from the contour onto the
// grey-level step of the frame (4 bytes per pixel) wherever enough of the side shows one;
// a side hidden too much keeps its contour line. False, with both left as they were,
// when the corners would move implausibly far.
bool refineVisibleEdges(const uint8_t* frame, int width, int height, const double distortion[4],
                        double edgeLines[4][3], double corners[4][2]);

