// The marker renderer: pictures must put the marker exactly where the pose and the
// calibration say, the right way round, and the virtual camera's path must behave.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "scene/MarkerScene.h"
#include "tracking/CameraParam.h"
#include "video/CornerMeasure.h"

namespace {

// A plausible 640x480 webcam with barrel distortion strong enough that ignoring it would
// move the corners by pixels.
CameraParam testCamera() {
    CameraParam c{};
    c.width = 640;
    c.height = 480;
    const double p[3][4] = {{560.0, 0.0, 322.0, 0.0}, {0.0, 556.0, 236.0, 0.0}, {0.0, 0.0, 1.0, 0.0}};
    for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 4; ++k) c.projection[r][k] = p[r][k];
    c.distortion[0] = 318.0;
    c.distortion[1] = 243.0;
    c.distortion[2] = 6.0;
    c.distortion[3] = 1.0;
    return c;
}

// 200x200 picture: white margin of 25, black square 150 wide, white centre with one
// black block in its top-left quarter, so orientation can be told.
MarkerImage testMarker() {
    MarkerImage m;
    m.width = m.height = 200;
    m.bgr.assign(200 * 200 * 3, 255);
    auto fill = [&](int x0, int y0, int x1, int y1, uint8_t v) {
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                for (int c = 0; c < 3; ++c) m.bgr[(y * 200 + x) * 3 + c] = v;
    };
    fill(25, 25, 175, 175, 0);
    fill(62, 62, 138, 138, 255);
    fill(70, 70, 95, 95, 0);
    std::string error;
    EXPECT_TRUE(findMarkerSquare(m, &error)) << error;
    return m;
}

void faceOnPose(double distance, double T[3][4]) {
    const double pose[3][4] = {{1, 0, 0, 0}, {0, -1, 0, 0}, {0, 0, -1, distance}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) T[r][c] = pose[r][c];
}

}  // namespace

TEST(MarkerScene, FindsTheBlackSquareAndRefusesPicturesWithoutOne) {
    MarkerImage m = testMarker();
    EXPECT_DOUBLE_EQ(m.squareX0, 25.0);
    EXPECT_DOUBLE_EQ(m.squareY0, 25.0);
    EXPECT_DOUBLE_EQ(m.squareSide, 150.0);

    MarkerImage blank;
    blank.width = blank.height = 50;
    blank.bgr.assign(50 * 50 * 3, 255);
    std::string error;
    EXPECT_FALSE(findMarkerSquare(blank, &error));
    EXPECT_NE(error.find("no dark pixels"), std::string::npos) << error;

    MarkerImage bar = blank;  // a dark bar is not a square
    for (int y = 10; y < 20; ++y)
        for (int x = 5; x < 45; ++x) bar.bgr[(y * 50 + x) * 3] = bar.bgr[(y * 50 + x) * 3 + 1] = bar.bgr[(y * 50 + x) * 3 + 2] = 0;
    EXPECT_FALSE(findMarkerSquare(bar, &error));
    EXPECT_NE(error.find("40 x 10"), std::string::npos) << error;

    MarkerImage truncated = m;
    truncated.bgr.resize(100);
    EXPECT_FALSE(findMarkerSquare(truncated, &error));

    MarkerImage loaded;
    EXPECT_FALSE(loadMarkerImage("/nonexistent/marker.png", loaded, &error));
    EXPECT_NE(error.find("/nonexistent/marker.png"), std::string::npos) << error;
}

TEST(MarkerScene, CornersLandWhereProjectMarkerPointSays) {
    const CameraParam cam = testCamera();
    const MarkerImage marker = testMarker();
    std::vector<uint8_t> frame(size_t(cam.width) * cam.height * 4);
    SceneOptions options;
    options.noiseSigma = 2.0;
    int checked = 0;
    // Face-on and off-centre (where the distortion matters most), then the virtual path.
    std::vector<std::vector<double>> poses;
    double T[3][4];
    faceOnPose(250, T);
    T[0][3] = 110;
    T[1][3] = 70;
    poses.push_back(std::vector<double>(&T[0][0], &T[0][0] + 12));
    for (double t = 0.0; t < 60.0 && poses.size() < 7; t += 4.3) {
        virtualCameraPose(t, T);
        if (allCornersInside(cam, T, 15)) poses.push_back(std::vector<double>(&T[0][0], &T[0][0] + 12));
    }
    ASSERT_GE(poses.size(), 5u);
    for (auto& pose : poses) {
        double P[3][4];
        std::copy(pose.begin(), pose.end(), &P[0][0]);
        renderMarkerScene(cam, P, 40.0, marker, options, frame.data());
        double measured[4][2];
        ASSERT_TRUE(measureCorners(frame, cam, P, 20.0, measured));
        const double c[4][2] = {{-20, 20}, {20, 20}, {20, -20}, {-20, -20}};
        for (int k = 0; k < 4; ++k) {
            double ox, oy;
            ASSERT_TRUE(projectMarkerPoint(cam, P, c[k][0], c[k][1], &ox, &oy));
            EXPECT_NEAR(measured[k][0], ox, 1.0) << "corner " << k << " pose " << checked;
            EXPECT_NEAR(measured[k][1], oy, 1.0) << "corner " << k << " pose " << checked;
            // The renderer is much better than the one-pixel promise; a quarter pixel
            // catches half-pixel convention slips.
            EXPECT_LT(std::hypot(measured[k][0] - ox, measured[k][1] - oy), 0.25) << "corner " << k;
        }
        ++checked;
    }
}

TEST(MarkerScene, PictureIsUprightAndNotMirrored) {
    // Seen face-on, the block in the picture's top-left quarter must appear top-left of
    // the marker's centre in the frame.
    const CameraParam cam = testCamera();
    const MarkerImage marker = testMarker();
    double T[3][4];
    faceOnPose(200, T);
    std::vector<uint8_t> frame(size_t(cam.width) * cam.height * 4);
    SceneOptions options;
    renderMarkerScene(cam, T, 40.0, marker, options, frame.data());
    // Block centre in marker units: picture (82.5, 82.5) -> x = (82.5-100)/150*40, y = +same.
    const double bx = (82.5 - 100.0) / 150.0 * 40.0, by = -bx;
    double ox, oy, mx, my;
    ASSERT_TRUE(projectMarkerPoint(cam, T, bx, by, &ox, &oy));
    ASSERT_TRUE(projectMarkerPoint(cam, T, -bx, by, &mx, &my));  // mirrored spot: white
    EXPECT_LT(ox, cam.width / 2.0);
    EXPECT_LT(oy, cam.height / 2.0);
    EXPECT_LT(greyAt(frame, cam.width, cam.height, ox, oy), 40);
    EXPECT_GT(greyAt(frame, cam.width, cam.height, mx, my), 200);
    // Alpha is opaque everywhere.
    for (size_t i = 3; i < frame.size(); i += 4) ASSERT_EQ(frame[i], 255);

    // The paper's edge against the plain background is smoothed by the sample grid: a
    // slightly turned blank sheet leaves edge pixels between grey and white, and one
    // sample per pixel leaves none.
    MarkerImage sheet = marker;
    std::fill(sheet.bgr.begin(), sheet.bgr.end(), uint8_t(255));
    double turned[3][4] = {{std::cos(0.3), -std::sin(0.3), 0, 0}, {-std::sin(0.3), -std::cos(0.3), 0, 0}, {0, 0, -1, 200}};
    options.tabletop = false;
    auto between = [&](int supersample) {
        options.supersample = supersample;
        renderMarkerScene(cam, turned, 40.0, sheet, options, frame.data());
        int n = 0;
        for (size_t i = 0; i < frame.size(); i += 4) n += frame[i] > 110 && frame[i] < 240;
        return n;
    };
    EXPECT_GT(between(4), 100);
    EXPECT_EQ(between(1), 0);
}

TEST(MarkerScene, SameSeedSameFrameAndNoiseHasTheAskedSpread) {
    const CameraParam cam = testCamera();
    const MarkerImage marker = testMarker();
    double T[3][4];
    virtualCameraPose(3.0, T);
    SceneOptions options;
    options.noiseSigma = 3.0;
    std::vector<uint8_t> a(size_t(cam.width) * cam.height * 4), b(a.size()), c(a.size()), clean(a.size());
    renderMarkerScene(cam, T, 40.0, marker, options, a.data());
    renderMarkerScene(cam, T, 40.0, marker, options, b.data());
    EXPECT_EQ(a, b);
    options.seed = 2;
    renderMarkerScene(cam, T, 40.0, marker, options, c.data());
    EXPECT_NE(a, c);
    options.noiseSigma = 0.0;
    renderMarkerScene(cam, T, 40.0, marker, options, clean.data());
    double sum = 0, sum2 = 0;
    size_t n = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (i % 4 == 3 || clean[i] < 20 || clean[i] > 235) continue;  // skip alpha and clipped values
        double d = double(a[i]) - clean[i];
        sum += d;
        sum2 += d * d;
        ++n;
    }
    ASSERT_GT(n, 10000u);
    EXPECT_NEAR(sum / n, 0.0, 0.2);
    EXPECT_NEAR(std::sqrt(sum2 / n), 3.0, 0.4);
}

// A region redraws only its pixels; paper-only draws the sheet over what the frame held,
// blending its edge, as the condition sets of the tracker tests lay it over one table.
TEST(MarkerScene, RegionAndPaperOnlyDrawOnlyWhatWasAsked) {
    const CameraParam cam = testCamera();
    const MarkerImage marker = testMarker();
    double T[3][4];
    faceOnPose(400.0, T);  // the 200-texel picture is about 75 px wide, in the middle
    SceneOptions options;
    std::vector<uint8_t> whole(size_t(cam.width) * cam.height * 4);
    renderMarkerScene(cam, T, 40.0, marker, options, whole.data());
    auto at = [&](const std::vector<uint8_t>& f, int x, int y) { return f[(size_t(y) * cam.width + x) * 4]; };

    std::vector<uint8_t> part(whole.size(), 7);
    options.regionX0 = 100;
    options.regionY0 = 50;
    options.regionX1 = 300;
    options.regionY1 = 200;
    renderMarkerScene(cam, T, 40.0, marker, options, part.data());
    for (int y = 0; y < cam.height; ++y)
        for (int x = 0; x < cam.width; ++x) {
            const bool inside = x >= 100 && x < 300 && y >= 50 && y < 200;
            ASSERT_EQ(at(part, x, y), inside ? at(whole, x, y) : 7) << x << ", " << y;
        }

    // Turned 30 degrees so that the paper's edges cross pixels at every phase.
    const double c = std::cos(M_PI / 6), sn = std::sin(M_PI / 6);
    const double turned[3][4] = {{c, -sn, 0, 0}, {-sn, -c, 0, 0}, {0, 0, -1, 400.0}};
    options = SceneOptions{};
    renderMarkerScene(cam, turned, 40.0, marker, options, whole.data());
    std::vector<uint8_t> sheet(whole.size(), 7);
    options.paperOnly = true;
    renderMarkerScene(cam, turned, 40.0, marker, options, sheet.data());
    double centre[2];
    ASSERT_TRUE(projectMarkerPoint(cam, turned, 0.0, 0.0, &centre[0], &centre[1]));
    const int cx = int(std::lround(centre[0])), cy = int(std::lround(centre[1]));
    EXPECT_EQ(at(sheet, cx, cy), at(whole, cx, cy));  // on the paper: drawn as ever
    EXPECT_EQ(at(sheet, 5, 5), 7);                     // off it: left alone
    int onPaper = 0, blended = 0;
    for (int y = 0; y < cam.height; ++y)
        for (int x = 0; x < cam.width; ++x) {
            const uint8_t v = at(sheet, x, y);
            onPaper += v != 7 && v == at(whole, x, y);
            blended += v != 7 && v != at(whole, x, y);
        }
    // About 75 x 75 px of paper; a one-pixel seam along its 300 px of outline.
    EXPECT_GT(onPaper, 4000);
    EXPECT_GT(blended, 30);
    EXPECT_LT(blended, 600);
}

TEST(MarkerScene, VirtualPathStaysInRangeMovesSmoothlyAndSometimesLosesTheMarker) {
    const CameraParam cam = testCamera();
    int full = 0, partial = 0, gone = 0, total = 0;
    double prev[3][4];
    virtualCameraPose(0.0, prev);
    for (double t = 0.0; t < 600.0; t += 1.0 / 30.0) {
        double T[3][4];
        virtualCameraPose(t, T);
        // Rotation stays orthonormal and right-handed.
        for (int r = 0; r < 3; ++r)
            for (int s = 0; s < 3; ++s) {
                double d = T[r][0] * T[s][0] + T[r][1] * T[s][1] + T[r][2] * T[s][2];
                ASSERT_NEAR(d, r == s ? 1.0 : 0.0, 1e-9);
            }
        double det = T[0][0] * (T[1][1] * T[2][2] - T[1][2] * T[2][1]) - T[0][1] * (T[1][0] * T[2][2] - T[1][2] * T[2][0]) +
                     T[0][2] * (T[1][0] * T[2][1] - T[1][1] * T[2][0]);
        ASSERT_NEAR(det, 1.0, 1e-9);
        // Camera position in marker coordinates: -R^T T.
        double C[3];
        for (int k = 0; k < 3; ++k) C[k] = -(T[0][k] * T[0][3] + T[1][k] * T[1][3] + T[2][k] * T[2][3]);
        ASSERT_GT(C[2], 0.0) << "camera below the table at t=" << t;
        const double dist = std::sqrt(C[0] * C[0] + C[1] * C[1] + C[2] * C[2]);
        ASSERT_GT(dist, 120.0);
        ASSERT_LT(dist, 700.0);
        // Tilt of the viewing axis from straight down.
        const double tilt = std::acos(-T[2][2]) * 180.0 / M_PI;
        ASSERT_LT(tilt, 56.0) << "t=" << t;
        // Smooth: at 30 fps the camera moves little between frames.
        for (int k = 0; k < 3; ++k) ASSERT_NEAR(T[k][3], prev[k][3], 6.0) << "t=" << t;
        std::copy(&T[0][0], &T[0][0] + 12, &prev[0][0]);

        int inside = 0;
        const double c[4][2] = {{-20, 20}, {20, 20}, {20, -20}, {-20, -20}};
        for (auto& p : c) {
            double ox, oy;
            if (projectMarkerPoint(cam, T, p[0], p[1], &ox, &oy) && ox >= 0 && oy >= 0 && ox < cam.width &&
                oy < cam.height)
                ++inside;
        }
        ++total;
        if (inside == 4) ++full;
        else if (inside == 0) ++gone;
        else ++partial;
    }
    EXPECT_GT(full, total * 7 / 10);
    EXPECT_GT(partial, 0);
    EXPECT_GT(gone, 0);
}
