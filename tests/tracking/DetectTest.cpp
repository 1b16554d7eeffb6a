#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "common/TrackingConditions.h"
#include "common/TrackingFixtures.h"
#include "tracking/EdgeRefine.h"
#include "tracking/Labeling.h"
#include "tracking/Marker.h"
#include "tracking/Pattern.h"
#include "tracking/Pose.h"
#include "tracking/TrackerTables.h"

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

TEST_F(DetectTest, ADetectorReadsOnlyTheTablesItWasGiven) {
    // Tables of its own: the calibration, the pattern (in another slot than the shared
    // table's) and the edge switch.
    auto tables = std::make_unique<TrackerTables>();
    tables->workingParam = camera_;
    ASSERT_EQ(loadPatternFile(tables->patterns, committedDataPath("patt.00").c_str()), 0);
    ASSERT_EQ(loadPatternFile(tables->patterns, committedDataPath("patt.00").c_str()), 1);
    ASSERT_EQ(freePatternSlot(tables->patterns, 0), 1);  // the pattern now sits in slot 1 only
    MarkerDetector detector(*tables);

    render(20.0);
    const int threshold = otsuThreshold(frame_.data(), camera_.width, camera_.height);
    auto detectOwn = [&]() {
        detector.resetHistory();
        DetectedMarker* markers = nullptr;
        int count = -1;
        EXPECT_EQ(detector.detect(frame_.data(), threshold, &markers, &count), 0);
        return std::vector<DetectedMarker>(markers, markers + std::max(count, 0));
    };

    // The shared tables emptied of patterns and given another frame size: the detector
    // does not notice.
    for (int slot = 0; slot < kPatternSlots; ++slot) freePatternSlot(slot);
    CameraParam other{};
    ASSERT_EQ(resizeCameraParam(&camera_, 320, 240, &other), 0);
    setTrackerCameraParam(&other);
    std::vector<DetectedMarker> own = detectOwn();
    ASSERT_EQ(own.size(), 1u);
    EXPECT_EQ(own[0].pattern, 1);
    EXPECT_GT(own[0].confidence, 0.8);
    EXPECT_EQ(own[0].refined, 1);
    EXPECT_TRUE(firstCornerRight(own[0]));
    const double center[2] = {0.0, 0.0};
    double transform[3][4];
    EXPECT_GE(estimatePose(tables->workingParam, &own[0], center, 40.0, transform), 0.0);

    // Its own edge switch, not the shared one, decides the refinement.
    tables->subpixelEdges = false;
    own = detectOwn();
    ASSERT_EQ(own.size(), 1u);
    EXPECT_EQ(own[0].refined, 0);
    EXPECT_TRUE(subpixelEdges());

    // And the shared detector, reading the shared tables, names nothing.
    setTrackerCameraParam(&camera_);
    for (const DetectedMarker& m : detect()) EXPECT_LT(m.pattern, 0);
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

TEST_F(DetectTest, AFrameTooBusyForTheLabelTableStillFindsWhatFits) {
    // Isolated dark pixels on a grid of step 2 in the upper part of a 640x480 frame:
    // more regions than the table holds, then the marker below them.
    render(0.0, 320, 400);
    const int busyRows = 2 * (kMaxProvisionalLabels / 318) + 4;  // 318 specks a row
    for (int y = 1; y < busyRows; y += 2)
        for (int x = 2; x < camera_.width - 2; x += 2) {
            uint8_t* p = &frame_[(static_cast<size_t>(y) * camera_.width + x) * 4];
            p[0] = p[1] = p[2] = 0;
        }
    for (int debug : {0, 1}) {
        debugImageMode = debug;
        DetectedMarker* markers = nullptr;
        int count = -1;
        EXPECT_EQ(detectMarkers(frame_.data(), 100, &markers, &count), 0) << debug;
        EXPECT_EQ(count, 0) << debug;  // the marker's label would be past the table's end
        for (int local : {kLocalThreshold, 100}) {
            resetMarkerHistory();
            ASSERT_EQ(detectMarkers(frame_.data(), local, &markers, &count), 0);
            (void)markers;
        }
    }
    debugImageMode = 0;
    // Goes on: the next, ordinary frame is found as always.
    render(0.0);
    resetMarkerHistory();
    const auto found = detect();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].pattern, slot_);
}

namespace {

// One lamp to one side of a dim room: the light falls from 1.0 to 0.25 across the frame
// in a random direction, the print's contrast is halved, sensor noise sigma 3.
void lightAsByOneLamp(std::mt19937& rng, int width, int height, std::vector<uint8_t>& bgra) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> noise(0.0, 3.0);
    const double angle = 2 * M_PI * unit(rng);
    const double dx = std::cos(angle), dy = std::sin(angle);
    const double reach = std::fabs(dx) * width + std::fabs(dy) * height;
    const double x0 = dx < 0 ? width : 0, y0 = dy < 0 ? height : 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double light = 1.0 - 0.75 * std::clamp(((x - x0) * dx + (y - y0) * dy) / reach, 0.0, 1.0);
            uint8_t* p = &bgra[(static_cast<size_t>(y) * width + x) * 4];
            for (int c = 0; c < 3; ++c)
                p[c] = static_cast<uint8_t>(std::clamp(std::lround((64.0 + 0.5 * p[c]) * light + noise(rng)), 0L, 255L));
        }
}

}  // namespace

TEST_F(DetectTest, LocalThresholdFindsTheMarkerInADimUnevenlyLitRoom) {
    std::mt19937 rng(11);
    const int frames = 40;
    int local = 0, global = 0, wrong = 0;
    for (int n = 0; n < frames; ++n) {
        randomMarkerPose(rng, camera_, 40.0, PoseRange{}, pose_);
        SceneOptions options;
        options.seed = static_cast<uint32_t>(n + 1);
        renderMarkerScene(camera_, pose_, 40.0, committedMarker(), options, frame_.data());
        lightAsByOneLamp(rng, camera_.width, camera_.height, frame_);
        for (bool isLocal : {true, false}) {
            resetMarkerHistory();
            DetectedMarker* markers = nullptr;
            int count = 0;
            const int threshold = isLocal ? kLocalThreshold : otsuThreshold(frame_.data(), camera_.width, camera_.height);
            ASSERT_EQ(detectMarkers(frame_.data(), threshold, &markers, &count), 0);
            const DetectedMarker* best = nullptr;
            for (int i = 0; i < count; ++i)
                if (markers[i].pattern == slot_ && (!best || markers[i].confidence > best->confidence)) best = &markers[i];
            if (!best) continue;
            if (!firstCornerRight(*best)) {
                ++wrong;
                continue;
            }
            ++(isLocal ? local : global);
        }
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_GE(local, frames - 1);  // at most one miss in 40
    // One level for the whole frame never does better here: the squares it misses are
    // only found again by the darker second look, which local thresholding does not need.
    EXPECT_LE(global, local);
}

namespace {

// Renders the committed marker facing the camera (turned by spin) into a frame of the
// camera's size, optionally with straight motion blur, and detects it.
struct SizedView {
    CameraParam camera;
    std::vector<uint8_t> frame;
    double pose[3][4];
};

SizedView renderAtWidth(int width, int height, double pixels, double spin, double u, double v, double blur = 0.0,
                        double blurAngle = 0.0) {
    SizedView view;
    resizeCameraParam(&committedCamera(), width, height, &view.camera);
    setTrackerCameraParam(&view.camera);
    facingMarkerPose(view.camera, view.camera.projection[0][0] * 40.0 / pixels, spin, u, v, view.pose);
    view.frame.assign(static_cast<size_t>(width) * height * 4, 0);
    SceneOptions options;
    options.noiseSigma = 2.0;
    options.seed = static_cast<uint32_t>(1000 * spin + u);
    renderMarkerScene(view.camera, view.pose, 40.0, committedMarker(), options, view.frame.data());
    if (blur > 0) {
        cv::Mat m(height, width, CV_8UC4, view.frame.data());
        const cv::Mat kernel = motionKernel(blur, blurAngle);
        cv::Mat out;
        cv::filter2D(m, out, -1, kernel);
        out.copyTo(m);
    }
    return view;
}

// The detection of the committed pattern, with its worst corner error (observed pixels).
const DetectedMarker* findCommitted(const SizedView& view, int slot, double* worstCorner) {
    resetMarkerHistory();
    DetectedMarker* markers = nullptr;
    int count = 0;
    EXPECT_EQ(detectMarkers(view.frame.data(),
                            otsuThreshold(view.frame.data(), view.camera.width, view.camera.height), &markers,
                            &count),
              0);
    for (int k = 0; k < count; ++k) {
        if (markers[k].pattern != slot) continue;
        double truth[4][2];
        EXPECT_TRUE(trueCorners(view.camera, view.pose, 40.0, truth));
        *worstCorner = 0.0;
        for (int i = 0; i < 4; ++i) {
            const double* c = markers[k].corners[(4 - markers[k].orientation + i) % 4];
            double ox, oy;
            idealToObserved(view.camera.distortion, c[0], c[1], &ox, &oy);
            *worstCorner = std::max(*worstCorner, std::hypot(ox - truth[i][0], oy - truth[i][1]));
        }
        return &markers[k];
    }
    return nullptr;
}

}  // namespace

// Held near an HD camera the marker covers most of the frame's height: hundreds of
// thousands of pixels, which a fixed size limit once refused.
TEST_F(DetectTest, AMarkerFillingMostOfAnHDFrameIsFound) {
    for (const auto& size : {std::array<int, 3>{1280, 720, 560}, std::array<int, 3>{1920, 1080, 800}}) {
        const SizedView view = renderAtWidth(size[0], size[1], size[2], 0.3, size[0] / 2.0, size[1] / 2.0);
        double worst = 1e9;
        const DetectedMarker* m = findCommitted(view, slot_, &worst);
        ASSERT_NE(m, nullptr) << size[0] << "x" << size[1];
        EXPECT_GT(m->area, 200000);
        EXPECT_LT(worst, 0.5) << size[0] << "x" << size[1];
    }
}

// The smallest markers still readable: 20 px across, their picture 10 px for 16 cells,
// at several turns and subpixel places.
TEST_F(DetectTest, ATwentyPixelMarkerIsIdentified) {
    int found = 0, views = 0;
    for (const double spin : {0.1, 0.9, 1.7, 2.6, 3.5, 4.4, 5.3}) {
        for (const double u : {200.3, 401.7}) {
            ++views;
            const SizedView view = renderAtWidth(640, 480, 20.0, spin, u, 180.0 + 40 * spin);
            double worst = 1e9;
            const DetectedMarker* m = findCommitted(view, slot_, &worst);
            if (!m) continue;
            // A wrong orientation would put the corners 20 px off.
            EXPECT_LT(worst, 1.0) << "spin " << spin << " at " << u;
            ++found;
        }
    }
    EXPECT_EQ(found, views);
}

// A marker 50 px wide smeared over 14 px by a quick move: its pattern correlates with the
// sharp templates by 0.2 to 0.6 depending on the direction, too little to tell it from
// anything else; compared with templates blurred alike it is identified surely, in the
// right orientation, at its true size.
TEST_F(DetectTest, AMotionBlurredMarkerIsIdentifiedAtItsTrueSize) {
    for (const double angle : {0.2, 1.1, 2.4}) {
        const SizedView view = renderAtWidth(640, 480, 50.0, 0.6, 300.0, 250.0, 14.0, angle);
        double worst = 1e9;
        const DetectedMarker* m = findCommitted(view, slot_, &worst);
        ASSERT_NE(m, nullptr) << angle;
        EXPECT_GT(m->confidence, 0.8) << angle;
        EXPECT_LT(worst, 0.6) << angle;
    }
}
