// The viewer's side of calibration: the command line's file, the menu entry and key,
// and the mode that collects views from frames, then installs and saves the result or
// says why not.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "app/CalibrationMode.h"
#include "app/CommandLine.h"
#include "app/Commands.h"
#include "tracking/CalibrationStore.h"
#include "calibrate/CameraModel.h"
#include "common/ProgramRun.h"
#include "common/TrackingFixtures.h"
#include "tracking/view/Tracker.h"

namespace {

bool parse(std::vector<std::string> args, CommandLineOptions& options, std::string& error) {
    std::vector<char*> argv;
    static std::string name = "pavonix";
    argv.push_back(name.data());
    for (auto& a : args) argv.push_back(a.data());
    return parseCommandLine(static_cast<int>(argv.size()), argv.data(), options, error);
}

// Frames of a 640x480, 55-degree camera, the marker tilted and moved about. (Installs
// a lens-free calibration as the working one.)
std::vector<std::vector<uint8_t>> cameraFrames(int count, CameraParam* truthOut) {
    CameraParam truth = pinholeCamera(640, 480);
    truth.projection[0][0] = truth.projection[1][1] = 320.0 / std::tan(27.5 * M_PI / 180.0);
    truth.distortion[2] = 1.0;
    *truthOut = truth;
    std::mt19937 rng(41);
    PoseRange range;
    range.minWidths = 3.0;
    range.maxWidths = 7.0;
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < count; ++i) {
        double pose[3][4];
        randomMarkerPose(rng, truth, 40.0, range, pose);
        SceneOptions options;
        options.noiseSigma = 3.0;
        options.seed = 900u + static_cast<uint32_t>(i);
        frames.emplace_back(640 * 480 * 4);
        renderMarkerScene(truth, pose, 40.0, committedMarker(), options, frames.back().data());
    }
    return frames;
}

class ViewerCalibrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("PAVONIX_NO_DIALOGS", "1", 1);
        ASSERT_GE(loadOnlyCommittedPattern(), 0);
        dir_ = makeTempDir("pavonix-viewer-calibration");
        ASSERT_FALSE(dir_.empty());
        // The tracker as the viewer has it: its frame size and the default calibration.
        tracker_.width = 640;
        tracker_.height = 480;
        resizeCameraParam(&committedCamera(), 640, 480, &tracker_.cameraParam);
        setTrackerCameraParam(&tracker_.cameraParam);
        mode_.setSavePath(dir_ + "/pavonix/camera_para.dat");
    }
    void TearDown() override {
        if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    std::string dir_;
    clTracker tracker_{g_trackerTables};
    CalibrationMode mode_;
};

}  // namespace

TEST(ViewerCalibrationOptions, CalibrationFileOnTheCommandLineAndTheMenu) {
    CommandLineOptions options;
    std::string error;
    ASSERT_TRUE(parse({"--calibration", "cam.dat"}, options, error)) << error;
    EXPECT_EQ(options.calibration, "cam.dat");
    makePathsAbsolute(options, "/home/u");
    EXPECT_EQ(options.calibration, "/home/u/cam.dat");
    CommandLineOptions equals;
    ASSERT_TRUE(parse({"--calibration=/abs/cam.dat"}, equals, error)) << error;
    makePathsAbsolute(equals, "/home/u");
    EXPECT_EQ(equals.calibration, "/abs/cam.dat");
    CommandLineOptions bad;
    EXPECT_FALSE(parse({"--calibration="}, bad, error));
    EXPECT_EQ(error, "--calibration needs a file name");
    EXPECT_FALSE(parse({"--calibration"}, bad, error));
    EXPECT_NE(std::string(usageText()).find("--calibration FILE"), std::string::npos);

    EXPECT_EQ(menuEntryForKey('v'), kMenuEntryCount);
    EXPECT_EQ(menuEntryForKey('V'), kMenuEntryCount);
    EXPECT_STREQ(kMenuLabels[kMenuEntryCount - 1], "Calibrate Camera        [V]");
}

TEST_F(ViewerCalibrationTest, CollectsFromFramesThenInstallsAndSavesTheCalibration) {
    CameraParam truth;
    const std::vector<std::vector<uint8_t>> frames = cameraFrames(16, &truth);
    // The viewer's working calibration (the default, lens included) is what detection
    // runs with; the views must still come out in the picture's own coordinates.
    setTrackerCameraParam(&tracker_.cameraParam);
    EXPECT_FALSE(mode_.active());
    mode_.offerFrame(tracker_, frames[0].data());  // not started: ignored
    mode_.toggle(tracker_);
    ASSERT_TRUE(mode_.active());
    EXPECT_EQ(mode_.progressLine().rfind("Calibrating [V ends]: 0 of 20 views, 20 still wanted", 0), 0u)
        << mode_.progressLine();
    for (const auto& frame : frames) mode_.offerFrame(tracker_, frame.data());
    ASSERT_TRUE(mode_.active()) << "fewer than 20 views: still collecting";
    EXPECT_NE(mode_.progressLine().find("still wanted"), std::string::npos);
    EXPECT_EQ(mode_.placesLine().rfind("places ", 0), 0u) << mode_.placesLine();
    EXPECT_FALSE(mode_.adviceLine().empty());
    const double oldFocal = tracker_.cameraParam.projection[0][0];

    mode_.toggle(tracker_);  // the user ends it early
    EXPECT_FALSE(mode_.active());
    EXPECT_TRUE(mode_.progressLine().empty());
    EXPECT_TRUE(mode_.placesLine().empty());
    ASSERT_EQ(mode_.outcome().rfind("The camera is calibrated: focal length ", 0), 0u) << mode_.outcome();
    const std::string saved = dir_ + "/pavonix/camera_para.dat";
    EXPECT_NE(mode_.outcome().find("saved to " + saved), std::string::npos) << mode_.outcome();

    // In use now: the tracker's calibration and the working one are the new one.
    const double focal = truth.projection[0][0];
    EXPECT_NE(tracker_.cameraParam.projection[0][0], oldFocal);
    EXPECT_NEAR(modelFromCameraParam(tracker_.cameraParam).fx, focal, 0.01 * focal);
    EXPECT_EQ(trackerCameraParam().projection[0][0], tracker_.cameraParam.projection[0][0]);
    EXPECT_TRUE(tracker_.firstPose);
    // And saved for the next start, as the record of this frame size.
    std::vector<CameraParam> records;
    ASSERT_TRUE(loadCalibrationRecords(saved, &records).ok());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].width, 640);
    EXPECT_EQ(records[0].projection[0][0], tracker_.cameraParam.projection[0][0]);
}

TEST_F(ViewerCalibrationTest, EndedTooSoonItSaysWhyAndChangesNothing) {
    CameraParam truth;
    const std::vector<std::vector<uint8_t>> frames = cameraFrames(3, &truth);
    setTrackerCameraParam(&tracker_.cameraParam);
    const CameraParam before = tracker_.cameraParam;
    mode_.toggle(tracker_);
    for (const auto& frame : frames) mode_.offerFrame(tracker_, frame.data());
    mode_.toggle(tracker_);
    EXPECT_FALSE(mode_.active());
    EXPECT_EQ(mode_.outcome(), "The camera was not calibrated: too few views: 3 of at least 10 accepted.");
    EXPECT_EQ(tracker_.cameraParam.projection[0][0], before.projection[0][0]);
    EXPECT_EQ(trackerCameraParam().projection[0][0], before.projection[0][0]);
    EXPECT_NE(access((dir_ + "/pavonix/camera_para.dat").c_str(), F_OK), 0);
}
