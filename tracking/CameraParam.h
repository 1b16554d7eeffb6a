// The camera calibration: a 136-byte record stored big-endian on disk, the lens
// distortion model between ideal (pinhole) and observed image coordinates, and the
// decomposition of the projection matrix used to build an OpenGL projection.
#pragma once

#include "base/LoadResult.h"

struct CameraParam {
    int width;                // image width in pixels the calibration belongs to
    int height;               // image height in pixels
    double projection[3][4];  // row-major: image = projection x (X, Y, Z, 1), camera coordinates
    double distortion[4];     // centre x, centre y, radial factor f (applied as f / 1e8), scale s
};
static_assert(sizeof(CameraParam) == 136, "CameraParam must match the file record");

// Reads count consecutive big-endian records: first into *first, the rest into further
// (which may be null when count is 1). Refused, the records untouched, on a bad count,
// an unopenable file or a short record (naming the record, its offset and the bytes
// missing). Prints nothing.
LoadResult loadCameraParam(const char* fileName, int count, CameraParam* first,
                           CameraParam* further = nullptr);

// Writes count records big-endian. 0 or -1.
int saveCameraParam(const char* fileName, int count, CameraParam* records);

// Scales a calibration to a new frame size. A frame of another aspect ratio is taken as
// the centred crop of the scaled picture that covers it (how webcams make 16:9 from 4:3).
int resizeCameraParam(const CameraParam* source, int newWidth, int newHeight, CameraParam* destination);

// Installs (and reads) the working calibration of g_trackerTables (tracking/TrackerTables.h),
// which detectMarkers reads; a tracker of its own passes its tables' calibration instead.
int setTrackerCameraParam(const CameraParam* param);
const CameraParam& trackerCameraParam();

int idealToObserved(const double distortion[4], double ix, double iy, double* ox, double* oy);
int observedToIdeal(const double distortion[4], double ox, double oy, double* ix, double* iy);

// Splits a 3x4 projection into intrinsic (upper triangular, [2][2] = 1) and extrinsic parts.
int arParamDecompMat(const double source[3][4], double intrinsic[3][4], double extrinsic[3][4]);
