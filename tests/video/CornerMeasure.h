// Measuring a rendered frame: where the black square's corners really are.
#pragma once

#include <cstdint>
#include <vector>

#include "tracking/CameraParam.h"

// Bilinear grey level (mean of B, G, R) of a B,G,R,A frame at (x, y), pixel i centred at x = i.
double greyAt(const std::vector<uint8_t>& bgra, int width, int height, double x, double y);

// Measures the four outer corners of the black square (side 2 * half) in a frame rendered
// with camera and pose T: edge points are the half-way crossings of grey profiles across
// each edge, taken back to ideal coordinates and fitted with lines, whose intersections
// are distorted again. The pose only says roughly where to look. Corners in the order
// (-h, h), (h, h), (h, -h), (-h, -h). False when an edge cannot be measured.
bool measureCorners(const std::vector<uint8_t>& bgra, const CameraParam& cam, const double T[3][4], double half,
                    double corners[4][2]);

// All four corners of the 40-wide square project inside the frame, margin pixels from its edge.
bool allCornersInside(const CameraParam& cam, const double T[3][4], double margin);
