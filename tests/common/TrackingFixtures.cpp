#include "common/TrackingFixtures.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

#include "common/TrackingConditions.h"
#include "tracking/Pattern.h"

std::string committedDataPath(const char* name) { return std::string(PAVONIX_SOURCE_DIR) + "/Data/" + name; }

const CameraParam& committedCamera() {
    static CameraParam camera{};
    static bool loaded = loadCameraParam(committedDataPath("camera_para.dat").c_str(), 1, &camera).ok();
    EXPECT_TRUE(loaded) << "cannot load " << committedDataPath("camera_para.dat");
    return camera;
}

const MarkerImage& committedMarker() {
    static MarkerImage marker;
    static std::string error;
    static bool loaded = loadMarkerImage(committedDataPath("marker.png").c_str(), marker, &error);
    EXPECT_TRUE(loaded) << error;
    return marker;
}

int loadOnlyCommittedPattern() {
    for (int slot = 0; slot < kPatternSlots; ++slot) freePatternSlot(slot);
    return loadPatternFile(committedDataPath("patt.00").c_str());
}

namespace {

bool insideWithMargin(const CameraParam& camera, const double transform[3][4], double markerWidth) {
    // The square plus the white margin around it must be in view, away from the border.
    const double h = markerWidth * 0.5 * 1.3;
    const double points[4][2] = {{-h, h}, {h, h}, {h, -h}, {-h, -h}};
    for (const auto& p : points) {
        double x, y;
        if (!projectMarkerPoint(camera, transform, p[0], p[1], &x, &y)) return false;
        if (x < 3 || y < 3 || x > camera.width - 4 || y > camera.height - 4) return false;
    }
    return true;
}

}  // namespace

void randomMarkerPose(std::mt19937& rng, const CameraParam& camera, double markerWidth, const PoseRange& range,
                      double transform[3][4]) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double fx = camera.projection[0][0];
    const double fy = camera.projection[1][1];
    for (;;) {
        const double distance = markerWidth * (range.minWidths + (range.maxWidths - range.minWidths) * unit(rng));
        double rotation[3][3];
        markerRotation(2 * M_PI * unit(rng), range.maxTiltDegrees * M_PI / 180.0 * unit(rng), 2 * M_PI * unit(rng),
                       rotation);
        const double u = camera.width * unit(rng);
        const double v = camera.height * unit(rng);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) transform[r][c] = rotation[r][c];
        transform[0][3] = (u - camera.projection[0][2]) / fx * distance;
        transform[1][3] = (v - camera.projection[1][2]) / fy * distance;
        transform[2][3] = distance;
        if (insideWithMargin(camera, transform, markerWidth)) return;
    }
}

void facingMarkerPose(const CameraParam& camera, double distance, double spinRadians, double u, double v,
                      double transform[3][4]) {
    double rotation[3][3];
    markerRotation(0.0, 0.0, spinRadians, rotation);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) transform[r][c] = rotation[r][c];
    transform[0][3] = (u - camera.projection[0][2]) / camera.projection[0][0] * distance;
    transform[1][3] = (v - camera.projection[1][2]) / camera.projection[1][1] * distance;
    transform[2][3] = distance;
}

bool trueCorners(const CameraParam& camera, const double transform[3][4], double markerWidth, double corners[4][2]) {
    const double h = markerWidth / 2;
    const double model[4][2] = {{-h, h}, {h, h}, {h, -h}, {-h, -h}};
    for (int k = 0; k < 4; ++k)
        if (!projectMarkerPoint(camera, transform, model[k][0], model[k][1], &corners[k][0], &corners[k][1]))
            return false;
    return true;
}

int otsuThreshold(const uint8_t* bgra, int width, int height) {
    cv::Mat frame(height, width, CV_8UC4, const_cast<uint8_t*>(bgra));
    cv::Mat grey, binary;
    cv::cvtColor(frame, grey, cv::COLOR_RGBA2GRAY);
    return static_cast<int>(cv::threshold(grey, binary, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU) + 0.5);
}

double rotationErrorDegrees(const double a[3][4], const double b[3][4]) {
    double trace = 0.0;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) trace += a[r][c] * b[r][c];
    return std::acos(std::clamp((trace - 1.0) / 2.0, -1.0, 1.0)) * 180.0 / M_PI;
}

double translationErrorPercent(const double truth[3][4], const double estimate[3][4]) {
    const double dx = truth[0][3] - estimate[0][3];
    const double dy = truth[1][3] - estimate[1][3];
    const double dz = truth[2][3] - estimate[2][3];
    const double length = std::sqrt(truth[0][3] * truth[0][3] + truth[1][3] * truth[1][3] + truth[2][3] * truth[2][3]);
    return 100.0 * std::sqrt(dx * dx + dy * dy + dz * dz) / length;
}

TestFrame::TestFrame(int w, int h, uint8_t grey) : width(w), height(h), bgra(static_cast<size_t>(w) * h * 4, grey) {}

void TestFrame::fill(int x0, int y0, int x1, int y1, uint8_t grey) { fillRGB(x0, y0, x1, y1, grey, grey, grey); }

void TestFrame::fillRGB(int x0, int y0, int x1, int y1, uint8_t b0, uint8_t b1, uint8_t b2) {
    for (int y = std::max(0, y0); y <= std::min(height - 1, y1); ++y) {
        for (int x = std::max(0, x0); x <= std::min(width - 1, x1); ++x) {
            uint8_t* p = &bgra[(static_cast<size_t>(y) * width + x) * 4];
            p[0] = b0;
            p[1] = b1;
            p[2] = b2;
        }
    }
}

CameraParam pinholeCamera(int width, int height) {
    CameraParam camera{};
    camera.width = width;
    camera.height = height;
    camera.projection[0][0] = 500.0;
    camera.projection[0][2] = width / 2.0;
    camera.projection[1][1] = 500.0;
    camera.projection[1][2] = height / 2.0;
    camera.projection[2][2] = 1.0;
    camera.distortion[0] = width / 2.0;
    camera.distortion[1] = height / 2.0;
    camera.distortion[2] = 0.0;
    camera.distortion[3] = 1.0;
    setTrackerCameraParam(&camera);
    return camera;
}
