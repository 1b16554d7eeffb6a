// The solve on views made by projecting the marker through a known camera: exact
// recovery, the refusals and their words, and the lens scale folded into the model.

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include <cmath>
#include <random>
#include <vector>

#include "calibrate/Solve.h"
#include "common/TrackingConditions.h"
#include "common/TrackingFixtures.h"

namespace {

CameraModel knownModel() {
    CameraModel m;
    m.width = 1280;
    m.height = 720;
    m.fx = 905.0;
    m.fy = 902.5;
    m.px = 652.0;
    m.py = 351.0;
    m.dx = 660.0;
    m.dy = 345.0;
    m.radial = 4.0;
    return m;
}

// A view of the marker as the camera sees it under pose, its points moved by noise.
MarkerView syntheticView(const CameraModel& m, const ViewPose& pose, std::mt19937& rng, double noise) {
    std::normal_distribution<double> jitter(0.0, noise);
    double r[3][3];
    rotationMatrix(pose.rotation, r);
    MarkerView view;
    view.width = m.width;
    view.height = m.height;
    const double square[4][2] = {{-0.5, 0.5}, {0.5, 0.5}, {0.5, -0.5}, {-0.5, -0.5}};
    for (double scale : {1.0, 0.5}) {
        for (int k = 0; k < 4; ++k) {
            ViewCorner c;
            c.marker[0] = square[k][0] * scale;
            c.marker[1] = square[k][1] * scale;
            EXPECT_TRUE(projectPoint(m, r, pose.translation, c.marker[0], c.marker[1], &c.image[0], &c.image[1]));
            c.image[0] += noise > 0 ? jitter(rng) : 0.0;
            c.image[1] += noise > 0 ? jitter(rng) : 0.0;
            view.corners.push_back(c);
            const double* a = square[k];
            const double* b = square[(k + 1) % 4];
            for (int i = 0; i < 20; ++i) {
                const double t = 0.08 + 0.84 * i / 19.0;
                ViewEdgePoint e;
                e.from[0] = a[0] * scale;
                e.from[1] = a[1] * scale;
                e.to[0] = b[0] * scale;
                e.to[1] = b[1] * scale;
                const double x = e.from[0] + t * (e.to[0] - e.from[0]), y = e.from[1] + t * (e.to[1] - e.from[1]);
                EXPECT_TRUE(projectPoint(m, r, pose.translation, x, y, &e.image[0], &e.image[1]));
                e.image[0] += noise > 0 ? jitter(rng) : 0.0;
                e.image[1] += noise > 0 ? jitter(rng) : 0.0;
                view.edgePoints.push_back(e);
            }
        }
    }
    view.sidePixels = m.fx / pose.translation[2];
    return view;
}

// count views spread over the frame, tilted by up to maxTilt degrees (0: all facing).
std::vector<MarkerView> syntheticViews(const CameraModel& m, int count, double maxTilt, double noise,
                                       uint32_t seed = 3) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<MarkerView> views;
    for (int i = 0; i < count; ++i) {
        ViewPose pose;
        const double tilt = maxTilt * M_PI / 180.0 * (0.3 + 0.7 * unit(rng));
        const double axis = 2.0 * M_PI * unit(rng);
        const double spin = 2.0 * M_PI * unit(rng);
        const double distance = 3.0 + 4.0 * unit(rng);
        double rotation[3][3];
        markerRotation(axis, tilt, spin, rotation);
        cv::Matx33d rm;
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) rm(a, b) = rotation[a][b];
        cv::Vec3d rvec;
        cv::Rodrigues(rm, rvec);
        for (int k = 0; k < 3; ++k) pose.rotation[k] = rvec[k];
        const double u = m.width * (0.25 + 0.5 * unit(rng)), v = m.height * (0.25 + 0.5 * unit(rng));
        pose.translation[0] = (u - m.px) / m.fx * distance;
        pose.translation[1] = (v - m.py) / m.fy * distance;
        pose.translation[2] = distance;
        views.push_back(syntheticView(m, pose, rng, noise));
    }
    return views;
}

}  // namespace

TEST(CalibrationSolve, RecoversEveryParameterFromExactViews) {
    const CameraModel truth = knownModel();
    const CalibrationResult result = solveCalibration(syntheticViews(truth, 12, 45.0, 0.0));
    ASSERT_TRUE(result.ok) << result.refusal;
    EXPECT_NEAR(result.model.fx, truth.fx, 0.01);
    EXPECT_NEAR(result.model.fy, truth.fy, 0.01);
    // The lens centre is held lightly to the image centre (it barely shows in a mild
    // lens), which leaves both a few hundredths of a pixel short of exact.
    EXPECT_NEAR(result.model.px, truth.px, 0.05);
    EXPECT_NEAR(result.model.py, truth.py, 0.05);
    EXPECT_NEAR(result.model.radial, truth.radial, 0.01);
    EXPECT_NEAR(result.model.dx, truth.dx, 1.0);
    EXPECT_NEAR(result.model.dy, truth.dy, 1.0);
    EXPECT_LT(result.errorPixels, 1e-3);
    EXPECT_EQ(result.views, 12);
    ASSERT_EQ(result.poses.size(), 12u);
    // The record written is the model: same projection, lens scale 1.
    EXPECT_EQ(result.param.width, 1280);
    EXPECT_EQ(result.param.projection[0][0], result.model.fx);
    EXPECT_EQ(result.param.distortion[2], result.model.radial);
    EXPECT_EQ(result.param.distortion[3], 1.0);
}

TEST(CalibrationSolve, RefusesTooFewViewsTooLittleTiltAndTooLargeAnError) {
    const CameraModel truth = knownModel();
    CalibrationResult result = solveCalibration(syntheticViews(truth, 4, 45.0, 0.05));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.refusal, "too few views: 4 of at least 10 accepted");

    result = solveCalibration(syntheticViews(truth, 12, 0.0, 0.05));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.refusal.rfind("too little tilt: 0 of 12 views show the marker tilted by 15 degrees or more", 0),
              0u)
        << result.refusal;

    // Points scattered by 1.5 pixels: a fit, but not one to trust.
    result = solveCalibration(syntheticViews(truth, 12, 45.0, 1.5));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.refusal.rfind("reprojection error too large: ", 0), 0u) << result.refusal;
    EXPECT_GT(result.errorPixels, 1.0);

    // Views of two frame sizes cannot describe one camera.
    std::vector<MarkerView> mixed = syntheticViews(truth, 12, 45.0, 0.05);
    mixed.back().width = 640;
    mixed.back().height = 480;
    result = solveCalibration(mixed);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.refusal.find("frames of different sizes (1280x720 and 640x480)"), std::string::npos)
        << result.refusal;
}

TEST(CalibrationSolve, ARecordWithALensScaleProjectsAsItsModel) {
    CameraParam param = committedCamera();
    param.distortion[3] = 0.97;  // the committed file's scale is 1; any other must fold in
    param.distortion[2] = 6.0;
    const CameraModel model = modelFromCameraParam(param);
    double transform[3][4];
    facingMarkerPose(param, 300.0, 0.4, 200, 150, transform);
    transform[0][3] += 35.0;
    double r[3][3];
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) r[a][b] = transform[a][b];
    const double t[3] = {transform[0][3], transform[1][3], transform[2][3]};
    for (double x : {-20.0, 0.0, 33.0})
        for (double y : {-18.0, 5.0, 20.0}) {
            double u0, v0, u1, v1;
            ASSERT_TRUE(projectMarkerPoint(param, transform, x, y, &u0, &v0));
            ASSERT_TRUE(projectPoint(model, r, t, x, y, &u1, &v1));
            EXPECT_NEAR(u0, u1, 1e-6);
            EXPECT_NEAR(v0, v1, 1e-6);
        }
    const CameraModel again = modelFromCameraParam(cameraParamFromModel(model));
    EXPECT_NEAR(again.fx, model.fx, 1e-9);
    EXPECT_NEAR(again.px, model.px, 1e-9);
    EXPECT_NEAR(again.dy, model.dy, 1e-9);
}
