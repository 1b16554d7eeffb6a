// Marker pose: the 3x4 marker-to-camera transform [R | T] (row-major, marker coordinates
// with the origin at the marker centre and z = 0 on its plane; camera y down, z forward;
// lengths in the unit of the marker width).
#pragma once

#include "tracking/CameraParam.h"
#include "tracking/Marker.h"

// Both read the corners (ideal coordinates) through param, the working calibration.

// From scratch. Returns the reprojection error, or -1 (transform untouched) on failure.
double estimatePose(const CameraParam& param, const DetectedMarker* marker, const double center[2],
                    double width, double transform[3][4]);

// Starting from the previous frame's transform. Returns the error, or -1 (transform
// untouched) when neither that start nor a fresh estimate gives a finite pose.
double estimatePoseContinuous(const CameraParam& param, const DetectedMarker* marker,
                              const double previous[3][4], const double center[2], double width,
                              double transform[3][4]);

// False when any element is NaN or infinite: such a transform is never to be shown.
bool poseIsFinite(const double transform[3][4]);
