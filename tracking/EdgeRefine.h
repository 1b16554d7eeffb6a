// Subpixel edges: the four sides of a detected square moved from the traced contour,
// which runs along the dark pixels half a pixel inside the true edge and steps with the
// pixel grid, onto the grey-level edge, found across each side with subpixel precision.
// Each edge is placed half-way between the dark and light levels measured on either side
// of it, not where a global threshold crosses it, so blur does not shrink the square.
#pragma once

#include <cstdint>

// The switch of g_trackerTables (TrackerTables::subpixelEdges, which detection reads): on
// by default; off reproduces the contour fit alone (for comparison and for tests).
void setSubpixelEdges(bool on);
bool subpixelEdges();

// Refines edgeLines and corners (ideal coordinates, corner i where lines i - 1 and i
// meet; edge i runs from corner i to corner i + 1) on a frame of 4 bytes per pixel.
// Returns false, with both left as they were, when any side lacks a clear edge or the
// refined square moved implausibly far.
bool refineEdges(const uint8_t* frame, int width, int height, const double distortion[4], double edgeLines[4][3],
                 double corners[4][2]);

// The same, also giving each side's blurred rise: how many pixels the grey level takes to
// go from 10 % to 90 % of the way from the dark border to the paper, across side i
// (corner i to i + 1). About 1 px on a sharp frame, more under motion blur or defocus.
bool refineEdges(const uint8_t* frame, int width, int height, const double distortion[4], double edgeLines[4][3],
                 double corners[4][2], double rise[4]);

// Corner i where edge lines i - 1 and i meet. -1 when two neighbours are parallel.
int intersectEdgeLines(const double lines[4][3], double corners[4][2]);

// Sum of the three colour bytes of a frame (4 bytes per pixel) at (x, y), bilinear between
// pixel centres (integer coordinates); false outside the frame.
bool greyLevelAt(const uint8_t* frame, int width, int height, double x, double y, double* value);

// Total least squares line (a x + b y + c = 0, a^2 + b^2 = 1) through the points flagged
// in use; false for fewer than two.
bool fitLineThrough(const double (*points)[2], const bool* use, int n, double line[3]);
