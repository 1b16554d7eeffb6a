// Marker detection and pose as the viewer does them on each camera frame (the tracker
// front end's processFrame): Otsu's threshold of the grey frame, detection, the
// strongest marker carrying the pattern, a pose from scratch for the first frame and from
// the previous pose after that. The tests and the benchmark measure this path, so what
// they report is what a user sees.
// Needs no test framework: bench/ compiles this file too.
#pragma once

#include <cstdint>

#include "tracking/Marker.h"

class ViewerTracking {
public:
    // pattern: the slot of the loaded pattern; markerWidth: side of the black square.
    ViewerTracking(int pattern, double markerWidth) : pattern_(pattern), markerWidth_(markerWidth) {}

    // Forgets the previous frames: detection's short history and the previous pose. Call
    // between unrelated still frames, never within a sequence.
    void reset();

    // One frame of the installed calibration's size (B, G, R, A). True when a pose was
    // found: *marker is the detection it came from (ideal image coordinates), transform the
    // marker -> camera pose. A detection failure counts as not found.
    bool track(const uint8_t* bgra, int width, int height, DetectedMarker* marker, double transform[3][4]);

    int lastThreshold() const { return threshold_; }

private:
    int pattern_;
    double markerWidth_;
    bool havePose_ = false;
    double previous_[3][4] = {};
    int threshold_ = 0;
};

// The pattern's corners of a detection, observed (lens distortion applied): corner k is
// the marker's (-w/2, +w/2) corner and the next ones clockwise, as the true corners of a
// rendered frame are given.
void observedPatternCorners(const DetectedMarker& marker, const double distortion[4], double corners[4][2]);
