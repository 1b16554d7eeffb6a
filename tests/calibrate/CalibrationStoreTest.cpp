// The per-frame-size calibration file, and the viewer's choice of calibration at start:
// the command line's, else the one the user made, else the data folder's.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/imgproc/cvImgProc.h"
#include "tracking/CalibrationStore.h"
#include "common/ProgramRun.h"
#include "common/TrackingFixtures.h"
#include "platform/video/Video.h"
#include "scene/VirtualCamera.h"
#include "tracking/view/Tracker.h"

namespace {

CameraParam sized(int width, int height, double focal) {
    CameraParam p = pinholeCamera(width, height);
    p.projection[0][0] = p.projection[1][1] = focal;
    return p;
}

// Sets an environment variable for the life of the object, then puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

class CalibrationStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = makeTempDir("pavonix-calibration-store");
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string dir_;
};

}  // namespace

TEST_F(CalibrationStoreTest, UserPathFollowsXdgConfigHomeThenHome) {
    EXPECT_EQ(userCalibrationPath("/x/conf", "/home/u"), "/x/conf/pavonix/camera_para.dat");
    EXPECT_EQ(userCalibrationPath(nullptr, "/home/u"), "/home/u/.config/pavonix/camera_para.dat");
    // A relative XDG_CONFIG_HOME is to be ignored.
    EXPECT_EQ(userCalibrationPath("conf", "/home/u"), "/home/u/.config/pavonix/camera_para.dat");
    EXPECT_EQ(userCalibrationPath(nullptr, nullptr), "");
}

TEST_F(CalibrationStoreTest, OneRecordPerFrameSizeTheNewestFirst) {
    const std::string path = dir_ + "/deep/er/camera_para.dat";  // folders made as needed
    std::string error;
    ASSERT_TRUE(saveCalibrationForSize(path, sized(640, 480, 600), &error)) << error;
    ASSERT_TRUE(saveCalibrationForSize(path, sized(1280, 720, 900), &error)) << error;
    ASSERT_TRUE(saveCalibrationForSize(path, sized(640, 480, 610), &error)) << error;  // replaces 640x480

    std::vector<CameraParam> records;
    ASSERT_TRUE(loadCalibrationRecords(path, &records).ok());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].width, 640);
    EXPECT_EQ(records[0].projection[0][0], 610.0);
    EXPECT_EQ(records[1].width, 1280);
    EXPECT_EQ(calibrationForSize(records, 1280, 720).projection[0][0], 900.0);
    EXPECT_EQ(calibrationForSize(records, 1920, 1080).projection[0][0], 610.0);  // the first, to be scaled
    // A reader of single-record files sees the newest.
    CameraParam first;
    ASSERT_TRUE(loadCameraParam(path.c_str(), 1, &first).ok());
    EXPECT_EQ(first.projection[0][0], 610.0);
    EXPECT_NE(access((path + ".new").c_str(), F_OK), 0) << "no scratch file left behind";
}

TEST_F(CalibrationStoreTest, RefusesWhatIsNotAWholeSetOfCalibrations) {
    const std::string path = dir_ + "/bad.dat";
    std::vector<CameraParam> records{sized(640, 480, 500)};
    LoadResult result = loadCalibrationRecords(dir_ + "/none.dat", &records);
    EXPECT_FALSE(result.ok());
    EXPECT_NE(result.problem().text().find("none.dat: cannot open the calibration file"), std::string::npos)
        << result.problem().text();

    CameraParam two[2] = {sized(640, 480, 500), sized(320, 240, 250)};
    ASSERT_EQ(saveCameraParam(path.c_str(), 2, two), 0);
    ASSERT_EQ(truncate(path.c_str(), 200), 0);
    result = loadCalibrationRecords(path, &records);
    EXPECT_FALSE(result.ok());
    EXPECT_NE(result.problem().text().find("200 bytes, not a whole number of 136-byte records"), std::string::npos)
        << result.problem().text();

    two[1].width = 0;
    ASSERT_EQ(saveCameraParam(path.c_str(), 2, two), 0);
    result = loadCalibrationRecords(path, &records);
    EXPECT_FALSE(result.ok());
    EXPECT_NE(result.problem().text().find("record 2 is not a camera calibration"), std::string::npos)
        << result.problem().text();
    EXPECT_EQ(records.size(), 1u) << "the caller's records are left as they were";

    // Saving over a file that cannot be read replaces it rather than failing.
    std::string error;
    ASSERT_TRUE(saveCalibrationForSize(path, sized(800, 600, 700), &error)) << error;
    ASSERT_TRUE(loadCalibrationRecords(path, &records).ok());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].width, 800);
}

TEST_F(CalibrationStoreTest, TheViewerTakesTheCommandLinesThenTheSavedThenTheDefault) {
    const std::string config = dir_ + "/config";
    ScopedEnv xdg("XDG_CONFIG_HOME", config.c_str());
    ScopedEnv noDialogs("PAVONIX_NO_DIALOGS", "1");
    installVirtualCamera();
    arVideoSetSourceOverride("virtual");
    arVideoSetOffline(true);
    cvImgProc capture;  // where the viewer's tracker copies its frames
    auto start = [&capture](clTracker& tracker) {
        tracker.setFrameCopyStore(&capture);
        const TrackerStart started = tracker.initialize();
        return started;
    };

    // Nothing saved: the data folder's calibration, scaled to the frame.
    {
        clTracker tracker(g_trackerTables);
        ASSERT_TRUE(start(tracker));
        CameraParam expected;
        resizeCameraParam(&committedCamera(), tracker.width, tracker.height, &expected);
        EXPECT_EQ(tracker.cameraParam.projection[0][0], expected.projection[0][0]);
        EXPECT_NE(tracker.calibrationSource.find("camera_para.dat"), std::string::npos);
        EXPECT_EQ(tracker.calibrationNote, "");
        tracker.shutdown();
    }
    // Saved for this frame size and another: the record of this size.
    const std::string saved = config + "/pavonix/camera_para.dat";
    std::string error;
    {
        clTracker probe(g_trackerTables);
        ASSERT_TRUE(start(probe));
        const int w = probe.width, h = probe.height;
        probe.shutdown();
        ASSERT_TRUE(saveCalibrationForSize(saved, sized(w, h, 777.0), &error)) << error;
        ASSERT_TRUE(saveCalibrationForSize(saved, sized(w / 2, h / 2, 111.0), &error)) << error;
    }
    {
        clTracker tracker(g_trackerTables);
        ASSERT_TRUE(start(tracker));
        EXPECT_EQ(tracker.cameraParam.projection[0][0], 777.0);
        EXPECT_EQ(tracker.calibrationSource, saved);
        tracker.shutdown();
    }
    // The command line's wins over the saved one.
    const std::string mine = dir_ + "/mine.dat";
    {
        clTracker probe(g_trackerTables);
        ASSERT_TRUE(start(probe));
        CameraParam own = sized(probe.width, probe.height, 654.0);
        ASSERT_EQ(saveCameraParam(mine.c_str(), 1, &own), 0);
        probe.shutdown();
    }
    {
        clTracker tracker(g_trackerTables);
        tracker.calibrationFile = mine;
        ASSERT_TRUE(start(tracker));
        EXPECT_EQ(tracker.cameraParam.projection[0][0], 654.0);
        tracker.shutdown();
    }
    // A named file that cannot be read stops the start with its name and reason.
    {
        clTracker tracker(g_trackerTables);
        tracker.calibrationFile = dir_ + "/absent.dat";
        const TrackerStart started = start(tracker);
        EXPECT_FALSE(started);
        EXPECT_EQ(started.text.rfind("Error loading parameter file for camera.\n", 0), 0u) << started.text;
        EXPECT_NE(started.text.find("absent.dat: cannot open the calibration file"), std::string::npos)
            << started.text;
        tracker.shutdown();
    }
    // A damaged saved file is passed over, with a note naming it.
    {
        FILE* f = std::fopen(saved.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("not a calibration", f);
        std::fclose(f);
        clTracker tracker(g_trackerTables);
        ASSERT_TRUE(start(tracker));
        CameraParam expected;
        resizeCameraParam(&committedCamera(), tracker.width, tracker.height, &expected);
        EXPECT_EQ(tracker.cameraParam.projection[0][0], expected.projection[0][0]);
        EXPECT_NE(tracker.calibrationNote.find(saved), std::string::npos) << tracker.calibrationNote;
        EXPECT_NE(tracker.calibrationNote.find("the default calibration is used instead"), std::string::npos)
            << tracker.calibrationNote;
        tracker.shutdown();
    }
    arVideoSetSourceOverride(nullptr);
    arVideoSetOffline(false);
}
