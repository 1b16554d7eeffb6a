// How a view shows the marker, for deciding whether it adds anything and whether a set
// of views can pin the camera down: its tilt, where it lies in the frame, how large.
// Measured with a provisional camera (a 60-degree field of view, no lens distortion):
// good enough to tell views apart before any calibration exists.
#pragma once

#include "calibrate/MarkerView.h"

struct ViewShape {
    double tiltDegrees = 0;     // angle between the marker's normal and the line of sight
    double tilt[2] = {0, 0};    // sin(tilt) times the tilt's direction in the picture
    double centre[2] = {0, 0};  // the square's centre, as fractions of width and height
    double size = 0;            // mean side of the square over the frame width
};

// False when the four outer corners admit no pose.
bool describeView(const MarkerView& view, ViewShape* shape);

// How different two views are: 1 or more means the second adds a new tilt, place or
// distance to the first.
double viewDifference(const ViewShape& a, const ViewShape& b);
