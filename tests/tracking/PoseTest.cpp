#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "common/TrackingFixtures.h"
#include "tracking/Pose.h"
#include "tracking/PoseMath.h"

namespace {

void project(const CameraParam& camera, const double transform[3][4], double x, double y, double out[2]) {
    double p[3];
    for (int r = 0; r < 3; ++r) p[r] = transform[r][0] * x + transform[r][1] * y + transform[r][3];
    const double(*C)[4] = camera.projection;
    const double h = C[2][0] * p[0] + C[2][1] * p[1] + C[2][2] * p[2] + C[2][3];
    out[0] = (C[0][0] * p[0] + C[0][1] * p[1] + C[0][2] * p[2] + C[0][3]) / h;
    out[1] = (C[1][0] * p[0] + C[1][1] * p[1] + C[1][2] * p[2] + C[1][3]) / h;
}

void lineThrough(const double a[2], const double b[2], double line[3]) {
    line[0] = b[1] - a[1];
    line[1] = a[0] - b[0];
    line[2] = -(line[0] * a[0] + line[1] * a[1]);
}

// A detection as the tracker would report an exact, distortion-free view: the pattern's
// first corner (-w/2, +w/2) is detected corner (4 - orientation) % 4.
DetectedMarker exactDetection(const CameraParam& camera, const double transform[3][4], double width,
                              int orientation) {
    DetectedMarker m{};
    const double h = width / 2;
    const double model[4][2] = {{-h, h}, {h, h}, {h, -h}, {-h, -h}};
    for (int k = 0; k < 4; ++k) project(camera, transform, model[k][0], model[k][1], m.corners[(4 - orientation + k) % 4]);
    for (int i = 0; i < 4; ++i) lineThrough(m.corners[i], m.corners[(i + 1) % 4], m.edgeLines[i]);
    m.pattern = 0;
    m.orientation = orientation;
    m.confidence = 0.9;
    m.area = 1000;
    return m;
}

void tiltedPose(double transform[3][4]) {
    double angles[3][3];
    anglesToRotation(0.4, 2.6, -0.3, angles);  // b near 150 degrees: marker facing the camera, tilted
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) transform[r][c] = angles[r][c];
    transform[0][3] = 12;
    transform[1][3] = -8;
    transform[2][3] = 300;
}

}  // namespace

TEST(PoseTest, AnglesRoundTripAndIdentityTakesTheFlatBranch) {
    double identity[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    double a, b, c;
    rotationToAngles(identity, &a, &b, &c);
    EXPECT_EQ(a, 0.0);
    EXPECT_EQ(b, 0.0);
    EXPECT_EQ(c, 0.0);
    // A pure turn about z keeps b = 0 and puts the whole angle into c.
    double turn[3][3];
    anglesToRotation(0.0, 0.0, 0.5, turn);
    rotationToAngles(turn, &a, &b, &c);
    EXPECT_NEAR(c, 0.5, 1e-12);

    std::mt19937 rng(2);
    std::uniform_real_distribution<double> angle(-3.0, 3.0), tilt(0.01, 3.1);
    for (int i = 0; i < 50; ++i) {
        const double a0 = angle(rng), b0 = tilt(rng), c0 = angle(rng);
        double r[3][3], back[3][3];
        anglesToRotation(a0, b0, c0, r);
        EXPECT_NEAR(r[0][2], std::cos(a0) * std::sin(b0), 1e-12);
        EXPECT_NEAR(r[2][2], std::cos(b0), 1e-12);
        rotationToAngles(r, &a, &b, &c);
        anglesToRotation(a, b, c, back);
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) EXPECT_NEAR(back[j][k], r[j][k], 1e-9);
    }
    // Rounding just past 1 is clamped instead of producing NaN.
    double nearlyFlat[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1.0 + 1e-15}};
    rotationToAngles(nearlyFlat, &a, &b, &c);
    EXPECT_EQ(nearlyFlat[2][2], 1.0);
    EXPECT_FALSE(std::isnan(c));
}

TEST(PoseTest, OrthogonalizedAxesAreOrthonormalAndSymmetric) {
    double u[3] = {1, 0, 0};
    double v[3] = {std::cos(1.3), std::sin(1.3), 0};  // 74.5 degrees apart
    const double bisector[3] = {u[0] + v[0], u[1] + v[1], 0};
    ASSERT_EQ(orthogonalizeAxes(u, v), 0);
    EXPECT_NEAR(u[0] * v[0] + u[1] * v[1] + u[2] * v[2], 0.0, 1e-9);
    EXPECT_NEAR(std::hypot(u[0], u[1], u[2]), 1.0, 1e-9);
    EXPECT_NEAR(std::hypot(v[0], v[1], v[2]), 1.0, 1e-9);
    EXPECT_NEAR(u[2], 0.0, 1e-9);
    // Both moved by the same angle, away from their bisector.
    EXPECT_NEAR(u[0] * bisector[0] + u[1] * bisector[1], v[0] * bisector[0] + v[1] * bisector[1], 1e-9);
    EXPECT_GT(u[0], 0.9);
    double same[3] = {0, 1, 0}, also[3] = {0, 1, 0};
    EXPECT_EQ(orthogonalizeAxes(same, also), -1);
}

TEST(PoseTest, CleanProjectionFitsInOnePassAndRecoversThePose) {
    const CameraParam camera = pinholeCamera(640, 480);
    double truth[3][4];
    tiltedPose(truth);
    const double center[2] = {0, 0};
    for (int orientation = 0; orientation < 4; ++orientation) {
        const DetectedMarker marker = exactDetection(camera, truth, 40.0, orientation);
        double transform[3][4];
        const double error = estimatePose(trackerCameraParam(), &marker, center, 40.0, transform);
        ASSERT_GE(error, 0.0);
        EXPECT_LT(error, 1.0);
        EXPECT_LT(rotationErrorDegrees(truth, transform), 0.5) << orientation;
        EXPECT_LT(translationErrorPercent(truth, transform), 0.5) << orientation;

        // One pass from the edge-line rotation already fits; estimatePose stops there.
        double rotation[3][3];
        ASSERT_EQ(initialRotation(&marker, camera.projection, rotation), 0);
        const double h = 20.0;
        const double model[4][3] = {{-h, h, 0}, {h, h, 0}, {h, -h, 0}, {-h, -h, 0}};
        double image[4][2];
        for (int k = 0; k < 4; ++k) std::memcpy(image[k], marker.corners[(4 - orientation + k) % 4], sizeof image[k]);
        double once[3][4];
        EXPECT_EQ(fitPose(trackerCameraParam(), rotation, image, model, 4, once), error);
        EXPECT_EQ(std::memcmp(once, transform, sizeof once), 0);
    }
}

TEST(PoseTest, QuarterTurnStepsTheOrientationAndKeepsTheFirstCornersPose) {
    const CameraParam camera = pinholeCamera(640, 480);
    double truth[3][4];
    tiltedPose(truth);
    const double center[2] = {0, 0};
    const DetectedMarker base = exactDetection(camera, truth, 40.0, 1);
    // The same square seen with its corners numbered one further round: the pattern's
    // first corner is now one index later, so the orientation is one less.
    DetectedMarker turned = base;
    for (int i = 0; i < 4; ++i) {
        std::memcpy(turned.corners[i], base.corners[(i + 3) % 4], sizeof turned.corners[i]);
        std::memcpy(turned.edgeLines[i], base.edgeLines[(i + 3) % 4], sizeof turned.edgeLines[i]);
    }
    turned.orientation = 0;
    double a[3][4], b[3][4];
    ASSERT_GE(estimatePose(trackerCameraParam(), &base, center, 40.0, a), 0.0);
    ASSERT_GE(estimatePose(trackerCameraParam(), &turned, center, 40.0, b), 0.0);
    EXPECT_LT(rotationErrorDegrees(a, b), 1e-6);
    for (int r = 0; r < 3; ++r) EXPECT_NEAR(a[r][3], b[r][3], 1e-6);
    // The pose puts the pattern's first corner where it was seen.
    double seen[2];
    project(camera, a, -20.0, 20.0, seen);
    EXPECT_NEAR(seen[0], base.corners[3][0], 0.5);
    EXPECT_NEAR(seen[1], base.corners[3][1], 0.5);
}

TEST(PoseTest, ContinuousFormStartsFromThePreviousRotationAndFallsBack) {
    const CameraParam camera = pinholeCamera(640, 480);
    double truth[3][4];
    tiltedPose(truth);
    const double center[2] = {0, 0};
    const DetectedMarker marker = exactDetection(camera, truth, 40.0, 2);
    double pose[3][4];
    std::memcpy(pose, truth, sizeof pose);
    // Output and previous may be the same array.
    const double error = estimatePoseContinuous(trackerCameraParam(), &marker, pose, center, 40.0, pose);
    EXPECT_LT(error, 1.0);
    EXPECT_LT(rotationErrorDegrees(truth, pose), 0.5);

    // A previous pose turned half round fits badly; the fresh estimate replaces it.
    double wrong[3][4];
    std::memcpy(wrong, truth, sizeof wrong);
    for (int r = 0; r < 3; ++r) {
        wrong[r][0] = -truth[r][0];
        wrong[r][1] = -truth[r][1];
    }
    double recovered[3][4];
    EXPECT_LT(estimatePoseContinuous(trackerCameraParam(), &marker, wrong, center, 40.0, recovered), 1.0);
    EXPECT_LT(rotationErrorDegrees(truth, recovered), 0.5);
}

TEST(PoseTest, UnusableDetectionsLeaveTheTransformAlone) {
    const CameraParam camera = pinholeCamera(640, 480);
    double truth[3][4];
    tiltedPose(truth);
    const double center[2] = {0, 0};
    double transform[3][4] = {{7}};
    DetectedMarker unknown = exactDetection(camera, truth, 40.0, 0);
    unknown.orientation = -1;
    EXPECT_EQ(estimatePose(trackerCameraParam(), &unknown, center, 40.0, transform), -1.0);
    unknown.orientation = 9;
    EXPECT_EQ(estimatePose(trackerCameraParam(), &unknown, center, 40.0, transform), -1.0);
    EXPECT_EQ(estimatePoseContinuous(trackerCameraParam(), &unknown, truth, center, 40.0, transform), -1.0);
    // All four edges on one line: no vanishing directions.
    DetectedMarker flat = exactDetection(camera, truth, 40.0, 0);
    for (auto& line : flat.edgeLines) {
        line[0] = 0;
        line[1] = 1;
        line[2] = -100;
    }
    EXPECT_EQ(estimatePose(trackerCameraParam(), &flat, center, 40.0, transform), -1.0);
    EXPECT_EQ(transform[0][0], 7);
    // Point counts beyond the work arrays are refused.
    double rotation[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    static double many[kMaxPosePoints + 1][3];
    static double image[kMaxPosePoints + 1][2];
    EXPECT_EQ(fitPose(trackerCameraParam(), rotation, image, many, kMaxPosePoints + 1, transform), -1.0);
}

TEST(PoseTest, ADegenerateStartWithoutAFreshEstimateGivesNoPose) {
    const CameraParam camera = pinholeCamera(640, 480);
    double truth[3][4];
    tiltedPose(truth);
    const double center[2] = {0, 0};
    // Corners as seen, but edge lines from which no fresh rotation can be built.
    DetectedMarker marker = exactDetection(camera, truth, 40.0, 0);
    for (auto& line : marker.edgeLines) {
        line[0] = 0;
        line[1] = 1;
        line[2] = -100;
    }
    // A start of all zeros (no pose ever computed) has no rotation to search from.
    const double zeros[3][4] = {};
    double transform[3][4] = {{7}};
    EXPECT_EQ(estimatePoseContinuous(trackerCameraParam(), &marker, zeros, center, 40.0, transform), -1.0);
    EXPECT_EQ(transform[0][0], 7);
    EXPECT_TRUE(poseIsFinite(transform));

    double rotation[3][3] = {};
    const double h = 20.0;
    const double model[4][3] = {{-h, h, 0}, {h, h, 0}, {h, -h, 0}, {-h, -h, 0}};
    EXPECT_EQ(fitPose(trackerCameraParam(), rotation, marker.corners, model, 4, transform), -1.0);

    double bad[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 1}};
    EXPECT_TRUE(poseIsFinite(bad));
    bad[1][3] = NAN;
    EXPECT_FALSE(poseIsFinite(bad));
    bad[1][3] = INFINITY;
    EXPECT_FALSE(poseIsFinite(bad));
}

// Ideal corners of a view through a lens with strong radial distortion: the pose must
// come out where it is, not pulled towards the distorted image.
TEST(PoseTest, LensDistortionDoesNotBiasThePose) {
    CameraParam camera = pinholeCamera(640, 480);
    camera.distortion[2] = 40.0;  // about 6 % shrink at the frame's corners
    setTrackerCameraParam(&camera);
    const double center[2] = {0, 0};
    for (const double u : {100.0, 320.0, 540.0}) {
        double truth[3][4];
        facingMarkerPose(camera, 200.0, 0.3, u, 380.0, truth);
        const DetectedMarker marker = exactDetection(camera, truth, 40.0, 1);
        double estimate[3][4];
        ASSERT_GE(estimatePose(trackerCameraParam(), &marker, center, 40.0, estimate), 0.0);
        EXPECT_NEAR(estimate[2][3], truth[2][3], truth[2][3] * 1e-6) << u;
        EXPECT_LT(rotationErrorDegrees(truth, estimate), 1e-4) << u;
    }
}

// The search alone stops on a grid of halved 10-degree steps; the joint refinement must
// reach the exact pose of exact corners, for every start the search can end at.
TEST(PoseTest, FitReachesTheLeastSquaresOptimum) {
    const CameraParam camera = pinholeCamera(640, 480);
    std::mt19937 rng(5);
    const double center[2] = {0, 0};
    for (int i = 0; i < 20; ++i) {
        double truth[3][4];
        PoseRange range;
        range.maxTiltDegrees = 60.0;
        randomMarkerPose(rng, camera, 40.0, range, truth);
        const DetectedMarker marker = exactDetection(camera, truth, 40.0, i % 4);
        double estimate[3][4];
        const double error = estimatePose(trackerCameraParam(), &marker, center, 40.0, estimate);
        ASSERT_GE(error, 0.0);
        EXPECT_LT(error, 1e-12) << i;
        EXPECT_LT(rotationErrorDegrees(truth, estimate), 1e-5) << i;
        EXPECT_LT(translationErrorPercent(truth, estimate), 1e-6) << i;
    }
}
