// Shared helpers for the tracker tests: the committed calibration, pattern and marker
// picture, random marker poses a camera could really see, hand-drawn frames, and the
// pose error measures.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "scene/MarkerScene.h"
#include "tracking/CameraParam.h"

std::string committedDataPath(const char* name);  // PAVONIX_SOURCE_DIR/Data/name

// Loaded once per process; the tests using them fail (ASSERT) when the files are absent.
const CameraParam& committedCamera();
const MarkerImage& committedMarker();

// Frees every pattern slot and loads the committed pattern; returns its slot (or -1).
int loadOnlyCommittedPattern();

// A marker pose: distance (in marker widths), tilt away from facing the camera, any spin,
// placed so the square and its white margin lie wholly inside the frame.
struct PoseRange {
    double minWidths = 4.0;
    double maxWidths = 12.0;
    double maxTiltDegrees = 55.0;
};
void randomMarkerPose(std::mt19937& rng, const CameraParam& camera, double markerWidth, const PoseRange& range,
                      double transform[3][4]);

// A marker facing the camera squarely at the given distance, turned by spin about its
// normal, centred on the image point (u, v) of the pinhole projection.
void facingMarkerPose(const CameraParam& camera, double distance, double spinRadians, double u, double v,
                      double transform[3][4]);

// True observed corners of the black square, in the pattern's order: (-w/2, +w/2) first,
// then clockwise as seen in the picture.
bool trueCorners(const CameraParam& camera, const double transform[3][4], double markerWidth, double corners[4][2]);

// Otsu threshold of a B, G, R, A frame as the tracking tool computes it.
int otsuThreshold(const uint8_t* bgra, int width, int height);

double rotationErrorDegrees(const double a[3][4], const double b[3][4]);
double translationErrorPercent(const double truth[3][4], const double estimate[3][4]);

// A hand-drawn frame for the labelling tests: white, with dark rectangles.
struct TestFrame {
    int width;
    int height;
    std::vector<uint8_t> bgra;
    TestFrame(int w, int h, uint8_t grey = 255);
    void fill(int x0, int y0, int x1, int y1, uint8_t grey);  // inclusive bounds
    void fillRGB(int x0, int y0, int x1, int y1, uint8_t b0, uint8_t b1, uint8_t b2);
    uint8_t* data() { return bgra.data(); }
};

// Installs a calibration of the given size without lens distortion (a pinhole with a
// 500-pixel focal length, centred), for tests that check image geometry exactly.
CameraParam pinholeCamera(int width, int height);
