// The room's light read off the marker's paper: rendered views of the committed marker
// lit by tinted lights (the whole frame scaled per channel, paper and ink alike), with
// fingers and glints over the paper, lost markers and changing lights.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "common/TrackingConditions.h"
#include "common/TrackingFixtures.h"
#include "tracking/PaperLight.h"

namespace {

constexpr double kWidth = 40.0;
const double kCenter[2] = {0.0, 0.0};

struct Light {
    const char* name;
    double rgb[3];  // what the room does to the picture, per channel
};
const Light kLights[] = {{"dim warm", {0.62, 0.47, 0.30}},
                         {"bright neutral", {0.97, 0.97, 0.97}},
                         {"cool daylight", {0.70, 0.80, 0.92}},
                         {"very dim", {0.22, 0.20, 0.17}}};

struct View {
    CameraParam camera{};
    double pose[3][4]{};
    std::vector<uint8_t> bgra;
};

// The committed marker on the table at pose, under light, with sensor noise.
View renderView(const double pose[3][4], const Light& light, uint32_t seed) {
    View view;
    view.camera = committedCamera();
    std::memcpy(view.pose, pose, sizeof view.pose);
    view.bgra.assign(static_cast<size_t>(view.camera.width) * view.camera.height * 4, 0);
    SceneOptions options;
    options.noiseSigma = 2.0;
    options.seed = seed;
    options.supersample = 1;
    renderMarkerScene(view.camera, pose, kWidth, committedMarker(), options, view.bgra.data());
    for (size_t i = 0; i < view.bgra.size(); i += 4)
        for (int c = 0; c < 3; ++c) {
            const double v = view.bgra[i + c] * light.rgb[2 - c];  // bytes are B, G, R
            view.bgra[i + c] = static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
        }
    return view;
}

void expectPaperNear(const RoomLight& read, const Light& light, double tolerance, const char* what) {
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(read.paper[c], light.rgb[c], tolerance * light.rgb[c] + 1.0 / 255)
            << what << ", " << light.name << ", channel " << c;
        // The ink reflects next to nothing: its reading stays far below the paper.
        EXPECT_LT(read.black[c], 0.25 * light.rgb[c] + 0.03) << what << ", " << light.name << ", channel " << c;
    }
}

// Paints a disc (image pixels) of the given B, G, R colour: a finger tip or a glint.
void paintDisc(View& view, double cx, double cy, double radius, const uint8_t bgr[3]) {
    for (int y = std::max(0, int(cy - radius)); y <= std::min(view.camera.height - 1, int(cy + radius)); ++y)
        for (int x = std::max(0, int(cx - radius)); x <= std::min(view.camera.width - 1, int(cx + radius)); ++x) {
            if (std::hypot(x - cx, y - cy) > radius) continue;
            uint8_t* p = &view.bgra[(static_cast<size_t>(y) * view.camera.width + x) * 4];
            for (int c = 0; c < 3; ++c) p[c] = bgr[c];
        }
}

// The margin samples' places as the estimator takes them: along each edge, at two depths
// into the paper. For the tests to know how much of them a finger covers.
std::vector<std::pair<double, double>> marginPoints(const View& view) {
    std::vector<std::pair<double, double>> points;
    const PaperLightSettings settings;
    const double normals[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
    for (const auto& n : normals)
        for (float depth : settings.marginDepths)
            for (int k = 0; k < PaperLight::kSamplesAlongEdge; ++k) {
                const double along = -0.5 + (k + 0.5) / PaperLight::kSamplesAlongEdge;
                const double across = 0.5 + depth;
                double x, y;
                if (projectMarkerPoint(view.camera, view.pose, kWidth * (n[0] * across + n[1] * along),
                                       kWidth * (n[1] * across + n[0] * along), &x, &y))
                    points.emplace_back(x, y);
            }
    return points;
}

const uint8_t* pixelAt(const View& view, double x, double y) {
    const int ix = std::clamp(int(std::lround(x)), 0, view.camera.width - 1);
    const int iy = std::clamp(int(std::lround(y)), 0, view.camera.height - 1);
    return &view.bgra[(static_cast<size_t>(iy) * view.camera.width + ix) * 4];
}

bool measureView(PaperLight& light, const View& view, RoomLight* out) {
    return light.measure(view.bgra.data(), view.camera.width, view.camera.height, view.camera, view.pose, kWidth,
                         kCenter, out);
}

}  // namespace

TEST(PaperLight, ReadsTheRoomsTintAndStrengthOffThePaperInAnyPose) {
    std::mt19937 rng(7);
    PoseRange range;
    range.maxWidths = 9.0;
    int measured = 0;
    for (int trial = 0; trial < 12; ++trial) {
        double pose[3][4];
        randomMarkerPose(rng, committedCamera(), kWidth, range, pose);
        const Light& light = kLights[trial % 4];
        const View view = renderView(pose, light, 100 + trial);
        PaperLight estimator;
        RoomLight read;
        ASSERT_TRUE(measureView(estimator, view, &read)) << light.name << ", trial " << trial;
        ++measured;
        expectPaperNear(read, light, 0.03, "whole margin");
    }
    EXPECT_EQ(measured, 12);
}

TEST(PaperLight, AFingerAndAGlintOverTheMarginDoNotMoveTheEstimate) {
    double pose[3][4];
    facingMarkerPose(committedCamera(), 7.0 * kWidth, 0.3, 320, 240, pose);
    for (const Light& light : kLights) {
        View view = renderView(pose, light, 3);
        const std::vector<std::pair<double, double>> ring = marginPoints(view);
        ASSERT_EQ(ring.size(), size_t(PaperLight::kRingSamples));
        // A finger (lit by the same room, in the hand's shadow) over a whole side of the margin and round the
        // next corner; a glint, white to the sensor, on the opposite side.
        const uint8_t skin[3] = {uint8_t(80 * light.rgb[2]), uint8_t(100 * light.rgb[1]), uint8_t(140 * light.rgb[0])};
        const uint8_t glint[3] = {255, 255, 255};
        const int perSide = 2 * PaperLight::kSamplesAlongEdge;
        for (int i = 0; i < perSide; ++i) paintDisc(view, ring[i].first, ring[i].second, 5.0, skin);
        for (int i = perSide + 0; i < perSide + 6; ++i) paintDisc(view, ring[i].first, ring[i].second, 5.0, skin);
        for (int i = 2 * perSide; i < 2 * perSide + 5; ++i) paintDisc(view, ring[i].first, ring[i].second, 4.0, glint);

        // How much of what is sampled is covered, and what a plain mean would make of it.
        int covered = 0;
        double mean[3] = {0, 0, 0};
        for (const auto& p : ring) {
            const uint8_t* px = pixelAt(view, p.first, p.second);
            const bool isSkin = px[0] == skin[0] && px[1] == skin[1] && px[2] == skin[2];
            const bool isGlint = px[0] == 255 && px[1] == 255 && px[2] == 255;
            covered += isSkin || isGlint;
            for (int c = 0; c < 3; ++c) mean[c] += px[2 - c] / 255.0 / ring.size();
        }
        EXPECT_GE(covered, int(ring.size() * 0.3)) << light.name;
        double worst = 0.0;
        for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(mean[c] - light.rgb[c]) / light.rgb[c]);
        EXPECT_GT(worst, 0.06) << light.name << ": the cover should fool a plain mean";

        PaperLight estimator;
        RoomLight read;
        ASSERT_TRUE(measureView(estimator, view, &read)) << light.name;
        expectPaperNear(read, light, 0.03, "finger and glint");
    }
}

TEST(PaperLight, HeldWhileLostAndFollowsANewLightAtTheSameRateAtAnyFrameRate) {
    double pose[3][4];
    facingMarkerPose(committedCamera(), 6.0 * kWidth, 0.0, 300, 250, pose);
    const View warm = renderView(pose, kLights[0], 11);
    const View bright = renderView(pose, kLights[1], 12);
    const int w = warm.camera.width, h = warm.camera.height;

    PaperLight estimator;
    EXPECT_FALSE(estimator.hasEstimate());
    // Nothing to go on before the marker is first seen.
    estimator.update(bright.bgra.data(), w, h, bright.camera, false, pose, kWidth, kCenter, 0.0);
    EXPECT_FALSE(estimator.hasEstimate());

    // The first reading is taken as it stands.
    estimator.update(warm.bgra.data(), w, h, warm.camera, true, pose, kWidth, kCenter, 1.0);
    ASSERT_TRUE(estimator.hasEstimate());
    expectPaperNear(estimator.estimate(), kLights[0], 0.03, "first reading");
    const RoomLight first = estimator.estimate();

    // Lost for two seconds while the room brightens: held, whatever the frames show.
    for (int f = 1; f <= 60; ++f)
        estimator.update(bright.bgra.data(), w, h, bright.camera, false, pose, kWidth, kCenter, 1.0 + f / 30.0);
    // Reported found, but the picture shows no marker there (flat grey): not a reading.
    const std::vector<uint8_t> grey(warm.bgra.size(), 128);
    estimator.update(grey.data(), w, h, warm.camera, true, pose, kWidth, kCenter, 3.1);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(estimator.estimate().paper[c], first.paper[c]) << c;
        EXPECT_EQ(estimator.estimate().black[c], first.black[c]) << c;
    }

    // Seen again under the bright light, the estimate moves over, smoothly: 63 % of the
    // way after one time constant, whether the camera gives 10 or 60 frames a second.
    RoomLight warmRead, brightRead;
    ASSERT_TRUE(measureView(estimator, warm, &warmRead));
    ASSERT_TRUE(measureView(estimator, bright, &brightRead));
    const double tau = PaperLightSettings{}.timeConstantSeconds;
    for (int rate : {10, 30, 60}) {
        PaperLight smoothed;
        smoothed.blend(warmRead, 0.0);
        const int frames = static_cast<int>(std::lround(tau * rate));
        for (int f = 1; f <= frames; ++f) smoothed.blend(brightRead, double(f) / rate);
        for (int c = 0; c < 3; ++c) {
            const double expected = warmRead.paper[c] + (brightRead.paper[c] - warmRead.paper[c]) * (1 - std::exp(-double(frames) / rate / tau));
            EXPECT_NEAR(smoothed.estimate().paper[c], expected, 1e-4) << rate << " fps, channel " << c;
        }
    }
    // Through update: the marker back after two seconds away takes the new light nearly
    // at once (the light had those two seconds to change), and holds it.
    estimator.update(bright.bgra.data(), w, h, bright.camera, true, pose, kWidth, kCenter, 3.2);
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(estimator.estimate().paper[c], brightRead.paper[c],
                    0.02 * std::abs(first.paper[c] - brightRead.paper[c]) + 1e-4) << c;
    for (int f = 1; f <= 30; ++f)
        estimator.update(bright.bgra.data(), w, h, bright.camera, true, pose, kWidth, kCenter, 3.2 + f / 30.0);
    expectPaperNear(estimator.estimate(), kLights[1], 0.03, "converged");

    // A still picture repeated at one time (the clock stands) still converges.
    PaperLight stalled;
    stalled.blend(warmRead, 5.0);
    for (int f = 0; f < 200; ++f) stalled.blend(brightRead, 5.0);
    EXPECT_NEAR(stalled.estimate().paper[0], brightRead.paper[0], 1e-3);
    // A file that starts over (time runs back) takes its first reading afresh.
    stalled.blend(warmRead, 0.0);
    EXPECT_EQ(stalled.estimate().paper[0], warmRead.paper[0]);
}

TEST(PaperLight, RefusesWhatIsNotALitSheetOfPaper) {
    const CameraParam& camera = committedCamera();
    PaperLight estimator;
    RoomLight read;
    read.paper[0] = 0.5f;
    auto refused = [&](const double pose[3][4], const Light& light, const char* what) {
        const View view = renderView(pose, light, 5);
        EXPECT_FALSE(measureView(estimator, view, &read)) << what;
        EXPECT_EQ(read.paper[0], 0.5f) << what << ": a refusal leaves the reading alone";
    };
    double pose[3][4];
    // So far away that the square is a few pixels wide: margin and edge blur are one.
    facingMarkerPose(camera, 60.0 * kWidth, 0.0, 320, 240, pose);
    refused(pose, kLights[1], "tiny marker");
    // Mostly outside the picture: too little of the paper to trust.
    facingMarkerPose(camera, 5.0 * kWidth, 0.0, -0.25 * 110, 240, pose);
    refused(pose, kLights[1], "marker mostly outside");
    // Behind the camera.
    facingMarkerPose(camera, 5.0 * kWidth, 0.0, 320, 240, pose);
    for (int r = 0; r < 3; ++r) pose[r][3] = -pose[r][3];
    refused(pose, kLights[1], "behind the camera");
    // A room so dark the paper barely rises above the ink.
    facingMarkerPose(camera, 5.0 * kWidth, 0.0, 320, 240, pose);
    refused(pose, Light{"black room", {0.05, 0.05, 0.05}}, "no contrast");
    // Bad arguments.
    const View view = renderView(pose, kLights[1], 5);
    EXPECT_FALSE(estimator.measure(nullptr, 640, 480, camera, pose, kWidth, kCenter, &read));
    EXPECT_FALSE(estimator.measure(view.bgra.data(), 0, 480, camera, pose, kWidth, kCenter, &read));
    EXPECT_FALSE(estimator.measure(view.bgra.data(), 640, 480, camera, pose, 0.0, kCenter, &read));
    // The same pose in that light is read.
    EXPECT_TRUE(measureView(estimator, view, &read));
}

// The rooms the tracker is tested in: white light everywhere but in the dim room, so the
// paper must read white (whatever fingers, glints, blur or JPEG do to part of it), and a
// square too small to have a margin worth reading is refused rather than misread.
TEST(PaperLight, ReadsWhitePaperUnderEveryTrackingCondition) {
    const CameraParam& calibration = committedCamera();
    for (TrackingCondition condition : kStillConditions) {
        int width, height;
        conditionFrameSize(condition, &width, &height);
        const ConditionSet set = makeConditionSet(condition, calibration, width, height, 31, 16);
        std::vector<uint8_t> bgra;
        int measured = 0, white = 0;
        float darkest = 1.0f;
        for (size_t i = 0; i < set.frames.size(); ++i) {
            renderConditionFrame(set, i, committedMarker(), &bgra);
            PaperLight estimator;
            RoomLight read;
            if (!estimator.measure(bgra.data(), width, height, set.camera, set.frames[i].truth, set.markerWidth,
                                   kCenter, &read))
                continue;
            ++measured;
            darkest = std::min(darkest, paperLuma(read.paper));
            bool isWhite = true;
            for (int c = 0; c < 3; ++c) isWhite = isWhite && read.paper[c] >= 0.9f;
            white += isWhite;
        }
        const char* name = conditionName(condition);
        std::printf("paper light, %s: %d of %zu frames read, %d white, darkest luma %.2f\n", name, measured,
                    set.frames.size(), white, static_cast<double>(darkest));
        if (condition == TrackingCondition::Tiny) {
            // Squares of 15 to 44 pixels: the smallest refused, the others read right.
            EXPECT_GT(measured, 0) << name;
            EXPECT_LT(measured, static_cast<int>(set.frames.size())) << name;
            EXPECT_EQ(white, measured) << name;
            continue;
        }
        EXPECT_GE(measured, 14) << name;
        if (condition == TrackingCondition::DimLight) {
            // The lamp's light at the marker, from 1.0 down to a quarter: lit, but dimmer.
            EXPECT_GT(darkest, 0.15f) << name;
            EXPECT_LT(white, measured) << name;
            continue;
        }
        EXPECT_GE(white, measured - 1) << name << ": " << white << " of " << measured << " read white, darkest "
                                       << darkest;
    }
}
