// Where a square's inner picture is read from: the abstract plane the patch is sampled in
// and the plane-to-image mapping through the square's corners. Shared by the plain and
// the blurred pattern match; the sampling of the patch itself.
#pragma once

#include <cstdint>

constexpr int kPatchBytes = 16 * 16 * 3;

// The marker's outer square in the abstract plane the patch is sampled from; the pattern
// fills the middle half.
constexpr double kSamplingSquare[4][2] = {{100.0, 100.0}, {110.0, 100.0}, {110.0, 110.0}, {100.0, 110.0}};
constexpr double kSamplingPatternStart = 102.5;
constexpr double kSamplingPatternSide = 5.0;

// Homography h (h[2][2] = 1) mapping the four model points onto the four image points.
// -1 when the points are degenerate (three of them collinear).
int computeHomography(const double model[4][2], const double image[4][2], double h[3][3]);

// The inverse of a 3 x 3 matrix (a homography taken back); false when it is singular.
bool invert3(const double m[3][3], double out[3][3]);

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
