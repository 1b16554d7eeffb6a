// Detection and pose under the conditions of real rooms (tests/common/TrackingConditions):
// 150 independent still frames per condition, and one sequence in which a finger slides
// over the black frame. Detection runs as the viewer runs it. Two kinds of floor: how often
// the marker is found, and that a reported pose is never a wrong one, since a character
// jumping to a wrong place is worse than one missing for a frame:
// - a marker 40 px or wider: rotation within 5 degrees of the truth;
// - a smaller one: position within 2 % of its distance;
// - every marker: each reported corner within 5 px of the true corner.
// Set PAVONIX_CONDITION_PNG_DIR to write sample frames of each set there as PNGs.
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "common/TrackingConditions.h"
#include "common/TrackingFixtures.h"
#include "common/ViewerTracking.h"

namespace {

constexpr uint32_t kSetSeed = 2026;
constexpr double kWrongRotationDegrees = 5.0;
constexpr double kWrongCornerPixels = 5.0;
constexpr double kWrongPositionPercent = 2.0;
constexpr double kSmallMarkerPixels = 40.0;  // below this the rotation is too noisy to judge
constexpr double kReadableMarkerPixels = 20.0;  // the smallest marker every frame must find

double median(std::vector<double> values) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct ConditionResult {
    int frames = 0;
    int found = 0;
    int readableFrames = 0;  // markers of kReadableMarkerPixels and more
    int readableFound = 0;
    std::vector<double> rotation, translation;
    std::vector<std::string> wrong;  // one line per wrong pose

    double rate() const { return frames ? static_cast<double>(found) / frames : 0.0; }
    double readableRate() const { return readableFrames ? static_cast<double>(readableFound) / readableFrames : 0.0; }
};

void writeSample(const ConditionSet& set, size_t index, const std::vector<uint8_t>& bgra) {
    const char* dir = std::getenv("PAVONIX_CONDITION_PNG_DIR");
    // The first stills; every 25th frame of the sequence.
    const bool sequence = set.condition == TrackingCondition::FingerSequence;
    if (!dir || (sequence ? index % 25 != 0 : index >= 6)) return;
    const cv::Mat frame(set.camera.height, set.camera.width, CV_8UC4, const_cast<uint8_t*>(bgra.data()));
    const std::string path = std::string(dir) + "/" + conditionName(set.condition) + "-" + std::to_string(index) + ".png";
    cv::imwrite(path, frame);
}

ConditionResult runCondition(TrackingCondition condition) {
    ConditionResult result;
    int width, height;
    conditionFrameSize(condition, &width, &height);
    const ConditionSet set = makeConditionSet(condition, committedCamera(), width, height, kSetSeed);
    setTrackerCameraParam(&set.camera);
    const int slot = loadOnlyCommittedPattern();
    EXPECT_GE(slot, 0);
    ViewerTracking tracking(slot, set.markerWidth);
    const bool sequence = condition == TrackingCondition::FingerSequence;
    std::vector<uint8_t> frame;
    double renderSeconds = 0.0, trackSeconds = 0.0;
    tracking.reset();
    for (size_t i = 0; i < set.frames.size(); ++i) {
        const ConditionFrame& truth = set.frames[i];
        // Processor time, not wall time: the figures stay meaningful on a busy machine.
        const std::clock_t start = std::clock();
        renderConditionFrame(set, i, committedMarker(), &frame);
        const std::clock_t rendered = std::clock();
        renderSeconds += static_cast<double>(rendered - start) / CLOCKS_PER_SEC;
        writeSample(set, i, frame);
        if (!sequence) tracking.reset();  // independent stills lend each other nothing
        ++result.frames;
        const bool readable = truth.widthPixels >= kReadableMarkerPixels;
        result.readableFrames += readable;

        DetectedMarker marker;
        double pose[3][4];
        const std::clock_t trackStart = std::clock();
        const bool found = tracking.track(frame.data(), width, height, &marker, pose);
        trackSeconds += static_cast<double>(std::clock() - trackStart) / CLOCKS_PER_SEC;
        if (!found) continue;
        ++result.found;
        result.readableFound += readable;
        const double rotation = poseRotationErrorDegrees(truth.truth, pose);
        const double translation = poseTranslationErrorPercent(truth.truth, pose);
        result.rotation.push_back(rotation);
        result.translation.push_back(translation);

        double corners[4][2];
        observedPatternCorners(marker, set.camera.distortion, corners);
        double worstCorner = 0.0;
        for (int k = 0; k < 4; ++k)
            worstCorner = std::max(worstCorner, std::hypot(corners[k][0] - truth.corners[k][0],
                                                           corners[k][1] - truth.corners[k][1]));
        const bool small = truth.widthPixels < kSmallMarkerPixels;
        const bool wrong = worstCorner > kWrongCornerPixels ||
                           (small ? translation > kWrongPositionPercent : rotation > kWrongRotationDegrees);
        if (wrong) {
            char line[160];
            std::snprintf(line, sizeof line, "frame %zu (%.0f px): rotation %.2f deg, position %.2f %%, corner %.1f px",
                          i, truth.widthPixels, rotation, translation, worstCorner);
            result.wrong.push_back(line);
        }
    }
    std::printf("%-16s found %3d/%3d (%.3f)  rotation median %.3f deg  translation median %.3f %%  wrong %zu\n",
                conditionName(condition), result.found, result.frames, result.rate(), median(result.rotation),
                median(result.translation), result.wrong.size());
    double narrowest = 1e9, widest = 0.0;
    for (const ConditionFrame& f : set.frames) {
        narrowest = std::min(narrowest, f.widthPixels);
        widest = std::max(widest, f.widthPixels);
    }
    std::printf("%-16s markers %.0f-%.0f px wide; %.1f ms to render a frame, %.1f ms to track it (processor time)\n",
                "", narrowest, widest, 1e3 * renderSeconds / result.frames, 1e3 * trackSeconds / result.frames);
    for (const std::string& line : result.wrong) std::printf("    wrong pose: %s\n", line.c_str());
    return result;
}

// Each set is run once per process: the sequence is compared with the still finger sets.
const ConditionResult& resultFor(TrackingCondition condition) {
    static std::map<TrackingCondition, ConditionResult> results;
    auto it = results.find(condition);
    if (it == results.end()) it = results.emplace(condition, runCondition(condition)).first;
    return it->second;
}

void expectNoWrongPose(const ConditionResult& r) {
    EXPECT_TRUE(r.wrong.empty()) << r.wrong.size() << " wrong poses, the first: " << r.wrong.front();
}

}  // namespace

TEST(ConditionAccuracyTest, CleanFramesKeepTheirFloor) {
    const ConditionResult& r = resultFor(TrackingCondition::Clean);
    EXPECT_GE(r.rate(), 0.99);
    EXPECT_LE(median(r.rotation), 0.25);
    EXPECT_LE(median(r.translation), 0.3);
    expectNoWrongPose(r);
}

TEST(ConditionAccuracyTest, DimUnevenLight) {
    const ConditionResult& r = resultFor(TrackingCondition::DimLight);
    EXPECT_GE(r.rate(), 0.99);
    expectNoWrongPose(r);
}

TEST(ConditionAccuracyTest, MotionBlurKeepsTheMarkerItsSize) {
    const ConditionResult& r = resultFor(TrackingCondition::MotionBlur);
    // The hardest are steeply tilted markers about 14 px thick under a blur as long: the
    // blur cuts their corners off and leaves the border no dark plateau, so they are
    // found from the outline's four dominant sides and placed by fitting their blurred
    // picture to the frame. One of these 150 (11 px across) is still missed.
    EXPECT_GE(r.rate(), 0.99);
    // A blurred edge read at the threshold crossing pulls the corners inward: the marker
    // looks smaller and farther, and the character sinks.
    EXPECT_LE(median(r.rotation), 0.5);
    EXPECT_LE(median(r.translation), 0.3);
    expectNoWrongPose(r);
}

TEST(ConditionAccuracyTest, Defocus) {
    const ConditionResult& r = resultFor(TrackingCondition::Defocus);
    EXPECT_GE(r.rate(), 0.99);
    expectNoWrongPose(r);
}

TEST(ConditionAccuracyTest, WebcamJpeg) {
    const ConditionResult& r = resultFor(TrackingCondition::Jpeg);
    EXPECT_GE(r.rate(), 0.99);
    expectNoWrongPose(r);
}

TEST(ConditionAccuracyTest, TinyMarkersFromTwentyPixels) {
    const ConditionResult& r = resultFor(TrackingCondition::Tiny);
    std::printf("tiny: %d of %d markers of %.0f px and more found\n", r.readableFound, r.readableFrames,
                kReadableMarkerPixels);
    ASSERT_GT(r.readableFrames, 100);  // the set really holds such markers
    EXPECT_GE(r.readableRate(), 0.97);
    expectNoWrongPose(r);
}

TEST(ConditionAccuracyTest, NearTheCameraAt1280x720) {
    const ConditionResult& r = resultFor(TrackingCondition::Near720);
    EXPECT_GE(r.rate(), 0.99);
    expectNoWrongPose(r);
}

TEST(ConditionAccuracyTest, NearTheCameraAt1920x1080) {
    const ConditionResult& r = resultFor(TrackingCondition::Near1080);
    EXPECT_GE(r.rate(), 0.99);
    expectNoWrongPose(r);
}

TEST(ConditionAccuracyTest, FingerOverOneSide) {
    const ConditionResult& r = resultFor(TrackingCondition::FingerSide);
    EXPECT_GE(r.rate(), 0.5);
    expectNoWrongPose(r);
}

TEST(ConditionAccuracyTest, FingerOverOneCorner) {
    const ConditionResult& r = resultFor(TrackingCondition::FingerCorner);
    EXPECT_GE(r.rate(), 0.5);
    expectNoWrongPose(r);
}

// A glare that washes out the black frame may hide the marker; it must not misplace it.
TEST(ConditionAccuracyTest, GlareGivesNoWrongPose) { expectNoWrongPose(resultFor(TrackingCondition::Glare)); }

// Seen whole first, the marker can be followed while the finger slides over its frame, so
// the sequence must do at least as well as independent stills of a finger.
TEST(ConditionAccuracyTest, FingerSlidingOverTheFrame) {
    const ConditionResult& r = resultFor(TrackingCondition::FingerSequence);
    EXPECT_GE(r.rate(), 0.5);
    EXPECT_GE(r.rate(), resultFor(TrackingCondition::FingerSide).rate());
    EXPECT_GE(r.rate(), resultFor(TrackingCondition::FingerCorner).rate());
    expectNoWrongPose(r);
}
