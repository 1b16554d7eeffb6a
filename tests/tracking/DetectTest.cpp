#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/TrackingFixtures.h"
#include "tracking/Marker.h"

namespace {

class DetectTest : public ::testing::Test {
protected:
    void SetUp() override {
        camera_ = committedCamera();
        setTrackerCameraParam(&camera_);
        slot_ = loadOnlyCommittedPattern();
        ASSERT_GE(slot_, 0);
        resetMarkerHistory();
        frame_.assign(static_cast<size_t>(camera_.width) * camera_.height * 4, 0);
    }

    // A marker facing the camera, 250 units away, centred at (u, v), turned by spin.
    void render(double spinDegrees, double u = 320, double v = 240) {
        facingMarkerPose(camera_, 250.0, spinDegrees * M_PI / 180.0, u, v, pose_);
        SceneOptions options;
        renderMarkerScene(camera_, pose_, 40.0, committedMarker(), options, frame_.data());
    }

    void renderEmpty() {
        double away[3][4];
        facingMarkerPose(camera_, 250.0, 0.0, 320, 240, away);
        away[0][3] += 10000.0;  // far out of view
        SceneOptions options;
        renderMarkerScene(camera_, away, 40.0, committedMarker(), options, frame_.data());
    }

    std::vector<DetectedMarker> detect() {
        DetectedMarker* markers = nullptr;
        int count = -1;
        EXPECT_EQ(detectMarkers(frame_.data(), otsuThreshold(frame_.data(), camera_.width, camera_.height), &markers,
                                &count),
                  0);
        return std::vector<DetectedMarker>(markers, markers + std::max(count, 0));
    }

    // The pattern's first corner of a detection lies on the true (-w/2, +w/2) corner.
    bool firstCornerRight(const DetectedMarker& m) {
        double truth[4][2];
        if (!trueCorners(camera_, pose_, 40.0, truth) || m.orientation < 0) return false;
        const double* c = m.corners[(4 - m.orientation) % 4];
        double ox, oy;
        idealToObserved(camera_.distortion, c[0], c[1], &ox, &oy);
        return std::hypot(ox - truth[0][0], oy - truth[0][1]) < 3.0;
    }

    CameraParam camera_;
    int slot_ = -1;
    std::vector<uint8_t> frame_;
    double pose_[3][4];
};

}  // namespace

TEST_F(DetectTest, FindsTheMarkerWithItsPatternOrientationAndCorners) {
    for (double spin : {20.0, 110.0, 200.0, 290.0}) {
        render(spin);
        const auto markers = detect();
        ASSERT_EQ(markers.size(), 1u) << spin;
        EXPECT_EQ(markers[0].pattern, slot_);
        EXPECT_GT(markers[0].confidence, 0.8);
        EXPECT_TRUE(firstCornerRight(markers[0])) << spin;
        resetMarkerHistory();
    }
}

TEST_F(DetectTest, QuarterTurnsStepTheOrientationByOne) {
    int previous = -1;
    for (int k = 0; k < 5; ++k) {
        render(20.0 + 90.0 * k);
        const auto markers = detect();
        ASSERT_EQ(markers.size(), 1u);
        ASSERT_TRUE(firstCornerRight(markers[0])) << k;
        if (previous >= 0) {
            const int step = (markers[0].orientation - previous + 4) % 4;
            EXPECT_TRUE(step == 1 || step == 3) << k;
        }
        previous = markers[0].orientation;
        resetMarkerHistory();
    }
}

TEST_F(DetectTest, AMarkerLostFromViewIsReportedForTwoMoreFrames) {
    render(30.0);
    const auto seen = detect();
    ASSERT_EQ(seen.size(), 1u);
    ASSERT_EQ(seen[0].pattern, slot_);
    renderEmpty();
    for (int frame = 1; frame <= 2; ++frame) {
        const auto remembered = detect();
        ASSERT_EQ(remembered.size(), 1u) << frame;
        EXPECT_EQ(remembered[0].pattern, slot_);
        EXPECT_EQ(remembered[0].corners[0][0], seen[0].corners[0][0]);  // the last known vertices
        EXPECT_EQ(remembered[0].confidence, seen[0].confidence);
    }
    EXPECT_TRUE(detect().empty());
    EXPECT_TRUE(detect().empty());
}

TEST_F(DetectTest, AWeakDetectionInheritsTheRememberedIdentity) {
    render(0.0);
    const auto strong = detect();
    ASSERT_EQ(strong.size(), 1u);
    ASSERT_EQ(strong[0].pattern, slot_);

    // Same place, the picture covered by a plain grey card.
    render(0.0);
    const double h = 40.0 / 4 * 0.96;
    double a[2], b[2];
    projectMarkerPoint(camera_, pose_, -h, h, &a[0], &a[1]);
    projectMarkerPoint(camera_, pose_, h, -h, &b[0], &b[1]);
    for (int y = static_cast<int>(a[1]); y <= static_cast<int>(b[1]); ++y)
        for (int x = static_cast<int>(a[0]); x <= static_cast<int>(b[0]); ++x)
            std::fill_n(&frame_[(static_cast<size_t>(y) * camera_.width + x) * 4], 3, uint8_t{180});
    const auto weak = detect();
    ASSERT_EQ(weak.size(), 1u);
    EXPECT_EQ(weak[0].pattern, slot_);
    EXPECT_EQ(weak[0].confidence, strong[0].confidence);
    EXPECT_EQ(weak[0].orientation, strong[0].orientation);

    // Without the memory the covered marker has no identity.
    resetMarkerHistory();
    const auto alone = detect();
    ASSERT_EQ(alone.size(), 1u);
    EXPECT_EQ(alone[0].pattern, -1);
    EXPECT_LT(alone[0].confidence, 0.5);
}

TEST_F(DetectTest, TheDebugFormFindsTheSameMarkerAndFillsTheBinarizedImage) {
    render(40.0);
    const auto plain = detect();
    ASSERT_EQ(plain.size(), 1u);
    resetMarkerHistory();
    debugImageMode = 1;
    const auto debug = detect();
    debugImageMode = 0;
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_EQ(debug[0].pattern, plain[0].pattern);
    EXPECT_EQ(debug[0].orientation, plain[0].orientation);
    EXPECT_EQ(debug[0].corners[2][1], plain[0].corners[2][1]);
    ASSERT_NE(binarizedImage, nullptr);
    // Just inside the first corner is the black border, just outside it the white paper.
    const double* c = plain[0].corners[0];
    const double inward[2] = {plain[0].center[0] - c[0], plain[0].center[1] - c[1]};
    const int x = static_cast<int>(c[0] + 0.1 * inward[0]);
    const int y = static_cast<int>(c[1] + 0.1 * inward[1]);
    EXPECT_EQ(binarizedImage[(static_cast<size_t>(y) * camera_.width + x) * 4], 255);
    const int outX = static_cast<int>(c[0] - 0.1 * inward[0]);
    const int outY = static_cast<int>(c[1] - 0.1 * inward[1]);
    EXPECT_EQ(binarizedImage[(static_cast<size_t>(outY) * camera_.width + outX) * 4], 0);
}

TEST_F(DetectTest, AFrameTooBusyToLabelFailsInsteadOfEndingTheProgram) {
    CameraParam small = pinholeCamera(366, 366);
    TestFrame f(366, 366);
    for (int y = 1; y < f.height - 1; y += 2)
        for (int x = 1; x < f.width - 1; x += 2) f.fill(x, y, x, y, 0);
    DetectedMarker* markers = nullptr;
    int count = 5;
    EXPECT_EQ(detectMarkers(f.data(), 100, &markers, &count), -1);
    EXPECT_EQ(count, 0);
    // The debug form fails the same way.
    debugImageMode = 1;
    EXPECT_EQ(detectMarkers(f.data(), 100, &markers, &count), -1);
    debugImageMode = 0;
    (void)small;
}
