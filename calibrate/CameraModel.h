// The camera as calibration fits it: a pinhole (focal lengths and principal point, in
// pixels) followed by the calibration file's lens model (distortion centre and radial
// factor), and a marker pose per view. The file's fourth lens number, a scale about the
// distortion centre, only trades with the focal lengths, so the fit keeps it at 1.
#pragma once

#include "tracking/CameraParam.h"

struct CameraModel {
    int width = 0, height = 0;
    double fx = 0, fy = 0;  // focal lengths, pixels
    double px = 0, py = 0;  // principal point, ideal image coordinates
    double dx = 0, dy = 0;  // distortion centre
    double radial = 0;      // the file's radial factor (the model uses radial / 1e8)
};

// Marker -> camera as a rotation vector (axis times angle) and a translation, in the
// unit of the marker's side.
struct ViewPose {
    double rotation[3] = {0, 0, 0};
    double translation[3] = {0, 0, 1};
};

CameraParam cameraParamFromModel(const CameraModel& model);
// Any record, its lens scale folded into the focal lengths and principal point.
CameraModel modelFromCameraParam(const CameraParam& param);

void rotationMatrix(const double rotation[3], double r[3][3]);
// The pose as the tracker writes it: [R | T], row-major.
void poseTransform(const ViewPose& pose, double transform[3][4]);

// Observed image position of the marker-plane point (x, y, 0). False behind the camera.
bool projectPoint(const CameraModel& model, const double r[3][3], const double t[3], double x, double y, double* u,
                  double* v);
