// Squares too thin for their blur. A marker seen nearly edge-on is a narrow strip whose
// black border is only a few pixels thick; a motion blur as long as the strip is wide
// leaves no dark plateau beside any of its long sides, so no edge profile tells where
// the side lies (the edge refinement gives up) and no rise tells how long the blur is
// (the blurred templates are never tried). What is left is the whole picture: the square
// is placed, and the blur measured, where the marker's own picture (paper, border and
// pattern) blurred alike looks most like the frame.
#pragma once

#include <cstdint>

#include "tracking/Pattern.h"

// Whether a square with these observed corners is thin enough for a blur we read
// (up to kMaxFittedBlur pixels) to leave its border without a plateau.
bool isThinSquare(const double corners[4][2]);

// Whether any side of the quadrilateral (observed corners, either turning sense) shows a
// blurred edge: a rise (10 % to 90 % of the way from the darkest to the lightest level
// across it) of 2.5 pixels or more at most of a few places along it. A sharp square,
// however weakly named, is nothing the fit could place better than the edges do.
bool showsBlurredEdge(const uint8_t* frame, int width, int height, const double corners[4][2]);

// Longest motion blur (pixels, end to end) looked for.
constexpr double kMaxFittedBlur = 16.0;

struct BlurredSquare {
    double corners[4][2];  // observed, in the order given
    double motion[2];      // the blur, pixels end to end (its sign is immaterial)
    int pattern;           // slot
    int orientation;       // as matchPattern reports it
    double confidence;     // the blurred templates' correlation with the picture sampled at corners
    double fit;            // correlation of the whole blurred square with the frame, at most 1
};

// Starting from rough corners (the threshold's outline, within a few pixels), finds the
// straight motion blur, pattern and orientation whose blurred templates best match the
// picture, then moves the corners and the blur together until the marker's picture
// blurred alike best matches the frame (4 bytes per pixel). False when no side of the
// square shows a blurred edge, no loaded pattern resembles the picture under any blur, or
// the fit fails; out is then unspecified.
bool fitBlurredSquare(const PatternTable& table, const uint8_t* frame, int width, int height,
                      const double start[4][2], BlurredSquare* out);
