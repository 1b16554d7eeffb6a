// The real program under the test display: its window, a clean close, and the
// start-up failures with their messages and exit statuses.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "common/ProgramRun.h"

namespace {

const std::string kSource = PAVONIX_SOURCE_DIR;

bool haveDisplay() { return std::getenv("DISPLAY") != nullptr; }

// A working folder with the data files the program reads at start, minus the ones a
// test leaves out.
std::string dataFolderWithout(const std::string& missing) {
    const std::string dir = makeTempDir("pavonix-startup");
    mkdir((dir + "/Data").c_str(), 0755);
    for (const char* name : {"camera_para.dat", "patt.00", "marker.png", "WDM_camera_flipV.xml"}) {
        if (missing == name) continue;
        copyFile(kSource + "/Data/" + name, dir + "/Data/" + name);
    }
    return dir;
}

const std::vector<std::pair<std::string, std::string>> kQuietVirtual = {{"PAVONIX_VIDEO", "virtual"},
                                                                         {"PAVONIX_NO_DIALOGS", "1"}};

}  // namespace

TEST(Startup, OpensTheCameraSizedWindowAndClosesCleanly) {
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    ProgramRun run;
    ASSERT_TRUE(run.start(pavonixExecutable(), {}, kSource, kQuietVirtual));
    const unsigned long window = findWindowByName("Pavonix", 60.0);
    ASSERT_NE(window, 0u) << run.output();
    int w = 0, h = 0;
    ASSERT_TRUE(windowSize(window, &w, &h));
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
    // Let the loop run a while before closing: it must still be alive.
    usleep(1500 * 1000);
    ASSERT_TRUE(run.running()) << run.output();
    ASSERT_TRUE(closeWindow(window));
    int status = -1;
    ASSERT_TRUE(run.wait(15.0, &status)) << "the program did not end after its window was closed";
    EXPECT_EQ(status, 0) << run.output();
}

TEST(Startup, MissingDataFilesEndWithTheirMessagesAndStatuses) {
    std::string out;
    // A still image as the camera, so the video source needs no calibration of its own.
    const std::vector<std::pair<std::string, std::string>> stillImage = {
        {"PAVONIX_VIDEO", "file:" + kSource + "/Data/marker.png"}, {"PAVONIX_NO_DIALOGS", "1"}};
    const std::string noCalibration = dataFolderWithout("camera_para.dat");
    int status = runToEnd(pavonixExecutable(), {}, noCalibration, stillImage, 30.0, &out);
    EXPECT_EQ(status, 254) << out;  // exit(-2)
    EXPECT_NE(out.find("Error loading parameter file for camera."), std::string::npos) << out;
    EXPECT_NE(out.find("g_clTracker.initialize() error"), std::string::npos) << out;

    const std::string noPattern = dataFolderWithout("patt.00");
    status = runToEnd(pavonixExecutable(), {}, noPattern, stillImage, 30.0, &out);
    EXPECT_EQ(status, 254) << out;
    EXPECT_NE(out.find("Pattern file load error !!"), std::string::npos) << out;
    EXPECT_NE(out.find("g_clTracker.initialize() error"), std::string::npos) << out;

    std::system(("rm -rf " + noCalibration + " " + noPattern).c_str());
}

TEST(Startup, CommandLineHelpAndMistakes) {
    std::string out;
    EXPECT_EQ(runToEnd(pavonixExecutable(), {"--help"}, kSource, {}, 10.0, &out), 0);
    EXPECT_NE(out.find("--render"), std::string::npos);
    EXPECT_NE(out.find("start/stop recording"), std::string::npos);
    EXPECT_NE(out.find("--capture-format"), std::string::npos);
    EXPECT_EQ(runToEnd(pavonixExecutable(), {"--frames", "none"}, kSource, {}, 10.0, &out), 2);
    EXPECT_NE(out.find("--frames"), std::string::npos) << out;
    // A recording of a kind that cannot be written is refused before anything starts,
    // with the kinds that can.
    EXPECT_EQ(runToEnd(pavonixExecutable(), {"--record", "clip.mov"}, kSource, {}, 10.0, &out), 2);
    EXPECT_NE(out.find("clip.mov"), std::string::npos) << out;
    EXPECT_NE(out.find(".mp4"), std::string::npos) << out;
    EXPECT_NE(out.find(".mkv"), std::string::npos) << out;
    EXPECT_NE(out.find(".avi"), std::string::npos) << out;
    EXPECT_EQ(runToEnd(pavonixExecutable(), {"--capture-format", "webm"}, kSource, {}, 10.0, &out), 2);
    EXPECT_NE(out.find("mp4, mkv or avi"), std::string::npos) << out;
}

TEST(Startup, BatchRunWritesTheLastFrame) {
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    const std::string dir = makeTempDir("pavonix-batch");
    const std::string shot = dir + "/last.png";
    std::string out;
    const int status = runToEnd(pavonixExecutable(), {"--frames", "20", "--screenshot", shot}, kSource,
                                kQuietVirtual, 60.0, &out);
    EXPECT_EQ(status, 0) << out;
    struct stat st;
    ASSERT_EQ(stat(shot.c_str(), &st), 0) << out;
    EXPECT_GT(st.st_size, 1000);
    std::system(("rm -rf " + dir).c_str());
}
