// One view of the printed marker as calibration sees it: the outer and inner corners of
// the black frame and points along its edges, all placed on the picture's grey-level
// edges in OBSERVED image coordinates (lens distortion not removed), each paired with
// its place on the marker.
//
// Marker coordinates: the black square spans [-0.5, 0.5] on both axes (unit side), x to
// the right of the printed picture, y up; the picture inside the frame spans
// [-0.25, 0.25], so the black band is a quarter of the side wide.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A point whose marker position is known: a corner of the frame.
struct ViewCorner {
    double marker[2];  // marker coordinates
    double image[2];   // observed image coordinates
};

// A point found on the image of one straight edge of the frame; only its distance from
// that edge's image says anything (where along the edge it lies was predicted, not seen).
struct ViewEdgePoint {
    double from[2], to[2];  // the edge, marker coordinates
    double image[2];        // observed image coordinates
};

struct MarkerView {
    int width = 0, height = 0;          // frame size
    std::vector<ViewCorner> corners;    // 4 outer, plus the inner ones that were found
    std::vector<ViewEdgePoint> edgePoints;
    double sidePixels = 0.0;            // mean side of the black square in the picture
};

// A frame in grey levels, rows top first.
struct GreyFrame {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;
    // Fills pixels from B, G, R, A bytes, reusing the storage it already has.
    void fromBGRA(const uint8_t* bgra, int w, int h);
    // Bilinear sample at (x, y), pixel centres at integer coordinates; callers keep
    // (x, y) at least one pixel inside the frame.
    double sample(double x, double y) const;
};

// Places the view's points starting from the four outer corners a detector found
// (observed image coordinates, in the order (-0.5, 0.5), (0.5, 0.5), (0.5, -0.5),
// (-0.5, -0.5) of the marker). False, with the reason in *why, when the marker is too
// small, too near the frame's border, or its outer edges cannot be followed.
bool locateMarkerView(const GreyFrame& frame, const double outerCorners[4][2], MarkerView* view, std::string* why);
