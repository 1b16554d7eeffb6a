// A finger over the black frame: rendered views of the committed marker with a skin-coloured
// finger laid over one side or one corner, as still frames and as a sequence in which the
// finger slides onto the frame of a marker first seen whole. The marker must be found in
// most of them, and whatever is reported must be right: a wrong pose is worse than none.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "common/TrackingFixtures.h"
#include "tracking/Identify.h"
#include "tracking/Marker.h"
#include "tracking/Pose.h"

namespace {

constexpr double kWidth = 40.0;

// A finger: a capsule from tip along dir (image pixels) far beyond the frame, skin
// coloured, rounder in the middle, with a soft one-pixel rim and a little sensor noise.
constexpr double kLightSkin[3] = {125.0, 155.0, 215.0};  // B, G, R
constexpr double kDarkSkin[3] = {40.0, 52.0, 78.0};      // or a light finger in shadow

void drawFinger(std::vector<uint8_t>& bgra, int width, int height, const double tip[2], const double dir[2],
                double radius, std::mt19937& rng, const double* skin = kLightSkin) {
    std::normal_distribution<double> noise(0.0, 3.0);
    const double length = 4.0 * (width + height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double rx = x - tip[0], ry = y - tip[1];
            const double t = std::clamp(rx * dir[0] + ry * dir[1], 0.0, length);
            const double d = std::hypot(rx - t * dir[0], ry - t * dir[1]);
            if (d > radius + 0.5) continue;
            const double cover = std::min(1.0, radius + 0.5 - d);
            const double shade = 0.75 + 0.25 * std::sqrt(std::max(0.0, 1.0 - (d / radius) * (d / radius)));
            uint8_t* p = &bgra[(static_cast<size_t>(y) * width + x) * 4];
            for (int c = 0; c < 3; ++c) {
                const double v = cover * (skin[c] * shade + noise(rng)) + (1.0 - cover) * p[c];
                p[c] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
            }
        }
    }
}

enum class Cover { Side, Corner };

// Lays a finger over one side (crossing part of the black border, from outside) or one
// corner of the marker whose true observed corners are given.
void coverWithFinger(std::vector<uint8_t>& bgra, const CameraParam& camera, const double corners[4][2], Cover cover,
                     std::mt19937& rng) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    double centre[2] = {0, 0};
    for (int k = 0; k < 4; ++k) {
        centre[0] += corners[k][0] / 4;
        centre[1] += corners[k][1] / 4;
    }
    const int k = static_cast<int>(4 * unit(rng)) % 4;
    const double* a = corners[k];
    const double* b = corners[(k + 1) % 4];
    const double side = std::hypot(b[0] - a[0], b[1] - a[1]);
    double point[2];
    if (cover == Cover::Side) {
        const double t = 0.25 + 0.5 * unit(rng);
        point[0] = a[0] + t * (b[0] - a[0]);
        point[1] = a[1] + t * (b[1] - a[1]);
    } else {
        point[0] = a[0];
        point[1] = a[1];
    }
    double out[2] = {point[0] - centre[0], point[1] - centre[1]};
    const double norm = std::hypot(out[0], out[1]);
    out[0] /= norm;
    out[1] /= norm;
    const double turn = (unit(rng) - 0.5) * (cover == Cover::Side ? 0.9 : 1.0);
    const double dir[2] = {out[0] * std::cos(turn) - out[1] * std::sin(turn),
                           out[0] * std::sin(turn) + out[1] * std::cos(turn)};
    // The tip reaches across part of the border (a quarter of the side wide), or past
    // the corner.
    const double reach = side * (cover == Cover::Side ? 0.12 + 0.18 * unit(rng) : 0.05 + 0.2 * unit(rng));
    const double tip[2] = {point[0] - reach * dir[0], point[1] - reach * dir[1]};
    drawFinger(bgra, camera.width, camera.height, tip, dir, side * (0.08 + 0.06 * unit(rng)), rng);
}

struct Tally {
    int frames = 0;
    int found = 0;
    int wrong = 0;
    double rate() const { return frames ? static_cast<double>(found) / frames : 0.0; }
};

// Detects in one frame and scores the strongest marker of the slot against the truth.
void score(const std::vector<uint8_t>& frame, const CameraParam& camera, int slot, const double truth[3][4],
           Tally& tally, int* followed = nullptr) {
    ++tally.frames;
    DetectedMarker* markers = nullptr;
    int count = 0;
    ASSERT_EQ(detectMarkers(frame.data(), otsuThreshold(frame.data(), camera.width, camera.height), &markers, &count),
              0);
    double trueCorner[4][2];
    ASSERT_TRUE(trueCorners(camera, truth, kWidth, trueCorner));
    double size = 0.0;
    for (int k = 0; k < 4; ++k)
        size = std::max(size, std::hypot(trueCorner[(k + 1) % 4][0] - trueCorner[k][0],
                                         trueCorner[(k + 1) % 4][1] - trueCorner[k][1]));
    bool found = false, wrong = false;
    for (int i = 0; i < count; ++i) {
        const DetectedMarker& m = markers[i];
        if (m.pattern != slot) continue;
        double worst = 0.0;
        for (int k = 0; k < 4; ++k) {
            const double* c = m.corners[(4 - m.orientation + k) % 4];
            double ox, oy;
            idealToObserved(camera.distortion, c[0], c[1], &ox, &oy);
            worst = std::max(worst, std::hypot(ox - trueCorner[k][0], oy - trueCorner[k][1]));
        }
        const double center[2] = {0, 0};
        double estimate[3][4];
        const bool posed = estimatePose(trackerCameraParam(), &m, center, kWidth, estimate) >= 0.0;
        // Small markers give a shaky rotation even from exact corners; their position must
        // be right all the same.
        const bool wide = size >= 40.0;
        if (worst > 5.0 || !posed || (wide && rotationErrorDegrees(truth, estimate) > 5.0) ||
            (!wide && translationErrorPercent(truth, estimate) > 2.0)) {
            wrong = true;
            std::printf("  wrong: frame %d (%.0f px wide) corner error %.1f px rotation %.1f deg position %.2f %% "
                        "confidence %.2f\n",
                        tally.frames, size, worst, posed ? rotationErrorDegrees(truth, estimate) : -1.0,
                        posed ? translationErrorPercent(truth, estimate) : -1.0, m.confidence);
        } else {
            found = true;
            if (followed && m.tracked) ++*followed;
        }
    }
    tally.found += found && !wrong;
    tally.wrong += wrong;
}

Tally fingerStills(Cover cover, uint32_t seed) {
    CameraParam camera = committedCamera();
    setTrackerCameraParam(&camera);
    const int slot = loadOnlyCommittedPattern();
    Tally tally;
    if (slot < 0) return tally;
    std::mt19937 rng(seed);
    std::vector<uint8_t> frame(static_cast<size_t>(camera.width) * camera.height * 4);
    PoseRange range;
    range.minWidths = 3.0;
    range.maxWidths = 10.0;
    range.maxTiltDegrees = 50.0;
    for (int i = 0; i < 150; ++i) {
        double truth[3][4];
        randomMarkerPose(rng, camera, kWidth, range, truth);
        SceneOptions options;
        options.noiseSigma = 3.0;
        options.supersample = 1;
        options.seed = seed + i;
        renderMarkerScene(camera, truth, kWidth, committedMarker(), options, frame.data());
        double corners[4][2];
        trueCorners(camera, truth, kWidth, corners);
        coverWithFinger(frame, camera, corners, cover, rng);
        resetMarkerHistory();  // independent views
        score(frame, camera, slot, truth, tally);
    }
    return tally;
}

// 150 frames of a slowly drifting marker: seen whole for a second, then a finger slides
// in across one side, along it and over the corner where it ends.
Tally fingerSequence(uint32_t seed, const double* skin, int* followed) {
    CameraParam camera = committedCamera();
    setTrackerCameraParam(&camera);
    const int slot = loadOnlyCommittedPattern();
    Tally tally;
    if (slot < 0) return tally;
    std::mt19937 rng(seed);
    std::vector<uint8_t> frame(static_cast<size_t>(camera.width) * camera.height * 4);
    PoseRange range;
    range.minWidths = 5.0;
    range.maxWidths = 7.0;
    range.maxTiltDegrees = 40.0;
    double start[3][4];
    randomMarkerPose(rng, camera, kWidth, range, start);
    resetMarkerHistory();
    for (int i = 0; i < 150; ++i) {
        double truth[3][4];
        std::memcpy(truth, start, sizeof truth);
        truth[0][3] += 0.15 * kWidth * std::sin(i / 40.0);
        truth[1][3] += 0.1 * kWidth * std::sin(i / 55.0);
        SceneOptions options;
        options.noiseSigma = 3.0;
        options.supersample = 1;
        options.seed = seed + i;
        renderMarkerScene(camera, truth, kWidth, committedMarker(), options, frame.data());
        double c[4][2];
        trueCorners(camera, truth, kWidth, c);
        if (i >= 30) {
            // Across side 1 (corner 1 to corner 2), then along it to corner 2.
            const double along = i < 60 ? 0.5 : std::min(1.0, 0.5 + (i - 60) / 120.0);
            const double reach = std::min(0.25, -0.3 + 0.55 * (i - 30) / 30.0);
            const double point[2] = {c[1][0] + along * (c[2][0] - c[1][0]), c[1][1] + along * (c[2][1] - c[1][1])};
            const double side = std::hypot(c[2][0] - c[1][0], c[2][1] - c[1][1]);
            // Outward: perpendicular to the side, away from the opposite one.
            double out[2] = {c[2][1] - c[1][1], -(c[2][0] - c[1][0])};
            const double toOpposite[2] = {c[0][0] - c[1][0], c[0][1] - c[1][1]};
            if (out[0] * toOpposite[0] + out[1] * toOpposite[1] > 0) {
                out[0] = -out[0];
                out[1] = -out[1];
            }
            const double norm = std::hypot(out[0], out[1]);
            const double dir[2] = {out[0] / norm, out[1] / norm};
            const double tip[2] = {point[0] - reach * side * dir[0], point[1] - reach * side * dir[1]};
            drawFinger(frame, camera.width, camera.height, tip, dir, 0.11 * side, rng, skin);
        }
        score(frame, camera, slot, truth, tally, followed);
    }
    return tally;
}

}  // namespace

TEST(OcclusionTest, AFingerSlidingOverTheFrameOfAMarkerSeenWholeLosesItInFewFrames) {
    int followed = 0;
    const Tally light = fingerSequence(7500, kLightSkin, &followed);
    std::printf("finger sliding over the frame, 150 frames: %d found (%.3f), %d wrong, %d followed\n", light.found,
                light.rate(), light.wrong, followed);
    EXPECT_GE(light.rate(), 0.9);
    EXPECT_EQ(light.wrong, 0);

    // A finger as dark as the ink joins the frame to the hand, so no outline is left to
    // recover: the marker is followed from the frame before.
    followed = 0;
    const Tally dark = fingerSequence(7500, kDarkSkin, &followed);
    std::printf("dark finger sliding over the frame, 150 frames: %d found (%.3f), %d wrong, %d followed\n",
                dark.found, dark.rate(), dark.wrong, followed);
    EXPECT_GE(dark.rate(), 0.9);
    EXPECT_GT(followed, 60);
    EXPECT_EQ(dark.wrong, 0);
}

TEST(OcclusionTest, AFingerOverASideOrACornerStillFindsTheMarkerAndNeverAWrongPose) {
    const Tally side = fingerStills(Cover::Side, 7100);
    const Tally corner = fingerStills(Cover::Corner, 7300);
    std::printf("finger over a side:   %d / %d found (%.3f), %d wrong\n", side.found, side.frames, side.rate(),
                side.wrong);
    std::printf("finger over a corner: %d / %d found (%.3f), %d wrong\n", corner.found, corner.frames, corner.rate(),
                corner.wrong);
    EXPECT_GE(side.rate(), 0.5);
    EXPECT_GE(corner.rate(), 0.5);
    EXPECT_EQ(side.wrong, 0);
    EXPECT_EQ(corner.wrong, 0);
}
