#include "common/ViewerTracking.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstring>

#include "tracking/CameraParam.h"
#include "tracking/Labeling.h"
#include "tracking/Pose.h"

void ViewerTracking::reset() {
    resetMarkerHistory();
    havePose_ = false;
}

bool ViewerTracking::track(const uint8_t* bgra, int width, int height, DetectedMarker* marker,
                           double transform[3][4]) {
    // The viewer's automatic threshold: local, each part of the frame by its own light.
    (void)width;
    (void)height;
    threshold_ = kLocalThreshold;

    DetectedMarker* markers = nullptr;
    int count = 0;
    if (detectMarkers(bgra, threshold_, &markers, &count) < 0) return false;
    int chosen = -1;
    for (int i = 0; i < count; ++i)
        if (markers[i].pattern == pattern_ && (chosen < 0 || markers[i].confidence > markers[chosen].confidence))
            chosen = i;
    if (chosen < 0) return false;

    const double centre[2] = {0.0, 0.0};
    double fitted[3][4];
    const double error =
        havePose_ ? estimatePoseContinuous(trackerCameraParam(), &markers[chosen], previous_, centre,
                                           markerWidth_, fitted)
                  : estimatePose(trackerCameraParam(), &markers[chosen], centre, markerWidth_, fitted);
    if (!(error >= 0.0)) return false;
    for (const auto& row : fitted)
        for (double v : row)
            if (!std::isfinite(v)) return false;
    std::memcpy(previous_, fitted, sizeof fitted);
    std::memcpy(transform, fitted, sizeof fitted);
    havePose_ = true;
    *marker = markers[chosen];
    return true;
}

void observedPatternCorners(const DetectedMarker& marker, const double distortion[4], double corners[4][2]) {
    const int o = marker.orientation >= 0 && marker.orientation <= 3 ? marker.orientation : 0;
    for (int k = 0; k < 4; ++k) {
        const double* c = marker.corners[(4 - o + k) % 4];
        idealToObserved(distortion, c[0], c[1], &corners[k][0], &corners[k][1]);
    }
}
