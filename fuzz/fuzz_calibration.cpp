// A calibration file (big-endian records) read from disk and put to the uses the
// program makes of it: resizing, installing, decomposing, undistorting.
#include <cmath>

#include "FuzzSupport.h"
#include "tracking/CameraParam.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = fuzzsupport::writeScratch(data, size);
    CameraParam params[3];
    // The count the program uses (one) and a larger one that the file rarely holds.
    if (!loadCameraParam(path, 1, &params[0])) return 0;
    loadCameraParam(path, 3, &params[0], &params[1]);

    CameraParam resized;
    if (resizeCameraParam(&params[0], 640, 480, &resized) == 0) setTrackerCameraParam(&resized);
    setTrackerCameraParam(&params[0]);
    double intrinsic[3][4], extrinsic[3][4];
    arParamDecompMat(params[0].projection, intrinsic, extrinsic);
    double x = 0, y = 0;
    for (double p : {0.0, 100.5, -3.0, 1e6}) {
        observedToIdeal(params[0].distortion, p, p * 0.5, &x, &y);
        idealToObserved(params[0].distortion, p, p * 0.5, &x, &y);
    }
    return 0;
}
