// Conversions between the fitted camera and the calibration record, and the projection
// every residual of the fit goes through.

#include "calibrate/CameraModel.h"

#include <cmath>

#include "tracking/PoseMath.h"

CameraParam cameraParamFromModel(const CameraModel& model) {
    CameraParam param{};
    param.width = model.width;
    param.height = model.height;
    param.projection[0][0] = model.fx;
    param.projection[0][2] = model.px;
    param.projection[1][1] = model.fy;
    param.projection[1][2] = model.py;
    param.projection[2][2] = 1.0;
    param.distortion[0] = model.dx;
    param.distortion[1] = model.dy;
    param.distortion[2] = model.radial;
    param.distortion[3] = 1.0;
    return param;
}

CameraModel modelFromCameraParam(const CameraParam& param) {
    double intrinsic[3][4], extrinsic[3][4];
    arParamDecompMat(param.projection, intrinsic, extrinsic);
    // observed = d + v (1 - p |v|^2) with v = s (u - d): a scale s about d is the same
    // as focal lengths times s and the principal point moved to d + s (p - d).
    const double s = param.distortion[3];
    CameraModel model;
    model.width = param.width;
    model.height = param.height;
    model.dx = param.distortion[0];
    model.dy = param.distortion[1];
    model.radial = param.distortion[2];
    model.fx = intrinsic[0][0] * s;
    model.fy = intrinsic[1][1] * s;
    model.px = model.dx + s * (intrinsic[0][2] - model.dx);
    model.py = model.dy + s * (intrinsic[1][2] - model.dy);
    return model;
}

void rotationMatrix(const double rotation[3], double r[3][3]) {
    const double angle = std::sqrt(rotation[0] * rotation[0] + rotation[1] * rotation[1] + rotation[2] * rotation[2]);
    if (angle < 1e-12) {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) r[i][j] = i == j ? 1.0 : 0.0;
        // First order for a tiny turn keeps the derivatives right near zero.
        r[0][1] = -rotation[2];
        r[0][2] = rotation[1];
        r[1][0] = rotation[2];
        r[1][2] = -rotation[0];
        r[2][0] = -rotation[1];
        r[2][1] = rotation[0];
        return;
    }
    rotationFromVector(rotation, r);
}

void poseTransform(const ViewPose& pose, double transform[3][4]) {
    double r[3][3];
    rotationMatrix(pose.rotation, r);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) transform[i][j] = r[i][j];
        transform[i][3] = pose.translation[i];
    }
}

bool projectPoint(const CameraModel& model, const double r[3][3], const double t[3], double x, double y, double* u,
                  double* v) {
    const double cx = r[0][0] * x + r[0][1] * y + t[0];
    const double cy = r[1][0] * x + r[1][1] * y + t[1];
    const double cz = r[2][0] * x + r[2][1] * y + t[2];
    if (!(cz > 1e-9)) return false;
    const double ix = model.fx * cx / cz + model.px;
    const double iy = model.fy * cy / cz + model.py;
    const double distortion[4] = {model.dx, model.dy, model.radial, 1.0};
    idealToObserved(distortion, ix, iy, u, v);
    return true;
}
