// Solving a calibration from views of the marker, and the checks that refuse a result
// which would mislead: too few views, too little tilt, too large an error.
#pragma once

#include <string>
#include <vector>

#include "calibrate/CameraModel.h"
#include "calibrate/MarkerView.h"

struct CalibrationLimits {
    int minViews = 10;               // fewer cannot pin down focal length, centre and lens
    double minTiltDegrees = 15.0;    // a view tilted less says little about the focal length
    int minTiltedViews = 3;          // ... and at least this many must be tilted
    double maxErrorPixels = 1.0;     // RMS corner reprojection error accepted
};

struct CalibrationResult {
    bool ok = false;
    std::string refusal;             // why not, in words for the user, when !ok
    CameraModel model;
    CameraParam param{};             // the record to write
    double errorPixels = -1.0;       // RMS distance of the corners from their reprojection
    double edgeErrorPixels = -1.0;   // RMS distance of the edge points from the edges' images
    int views = 0;                   // views used
    std::vector<ViewPose> poses;     // one per view
};

// All views must come from frames of one size.
CalibrationResult solveCalibration(const std::vector<MarkerView>& views, const CalibrationLimits& limits = {});

// The pose of one view under a known camera (started from the corners with the lens
// removed, then refined on every point). Returns the RMS corner reprojection error in
// pixels, or -1 when no pose fits.
double fitViewPose(const CameraModel& model, const MarkerView& view, ViewPose* pose);
