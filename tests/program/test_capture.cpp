// Screenshots and recordings of the real program: names, sizes, alpha, frame rate, the
// window held at the recording's size, a recording completed by closing the window or
// by a signal, and recordings at real speed when drawing is slow.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <opencv2/videoio.hpp>
#include <regex>
#include <string>
#include <thread>

#include "LiveProgram.h"

namespace {

bool haveDisplay() { return std::getenv("DISPLAY") != nullptr; }

bool waitForTitle(unsigned long window, const std::string& title, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    do {
        if (windowName(window) == title) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

struct Clip {
    int frames = 0;
    int width = 0, height = 0;
    bool sameSize = true;
    double fps = 0.0;
};

Clip readClip(const std::string& path) {
    Clip clip;
    cv::VideoCapture video(path, cv::CAP_FFMPEG);
    if (!video.isOpened()) return clip;
    clip.fps = video.get(cv::CAP_PROP_FPS);
    cv::Mat frame;
    while (video.read(frame)) {
        if (clip.frames == 0) {
            clip.width = frame.cols;
            clip.height = frame.rows;
        } else if (frame.cols != clip.width || frame.rows != clip.height) {
            clip.sameSize = false;
        }
        ++clip.frames;
    }
    return clip;
}

// Waits until the program's output contains text; returns when it was seen.
bool waitForOutput(ProgramRun& run, const std::string& text, double seconds,
                   std::chrono::steady_clock::time_point* seen = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    do {
        if (run.output().find(text) != std::string::npos) {
            if (seen) *seen = std::chrono::steady_clock::now();
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (run.running() && std::chrono::steady_clock::now() < deadline);
    return false;
}

struct Playback {
    int frames = 0;      // read one by one to the end
    long declared = 0;   // what the container says
    int changes = 0;     // frames that show a new picture, not the last one again
    bool lastReadable = false;
};

Playback play(const std::string& path) {
    Playback p;
    cv::VideoCapture video(path, cv::CAP_FFMPEG);
    if (!video.isOpened()) return p;
    p.declared = static_cast<long>(video.get(cv::CAP_PROP_FRAME_COUNT));
    cv::Mat frame, previous, diff;
    while (video.read(frame) && !frame.empty()) {
        if (!previous.empty()) {
            cv::absdiff(frame, previous, diff);
            // A repeated picture still differs a little while the encoder refines it
            // (under 1 in the summed channel means); a new picture differs far more.
            const cv::Scalar m = cv::mean(diff);
            p.changes += m[0] + m[1] + m[2] > 2.0;
        }
        frame.copyTo(previous);
        ++p.frames;
    }
    p.lastReadable = p.frames > 0 && !previous.empty();
    return p;
}

std::string onlyNewFile(const LiveProgram& app, const std::string& prefix, const std::string& ext) {
    const auto files = app.newOutputFiles(prefix, ext);
    return files.size() == 1 ? *files.begin() : std::string();
}

}  // namespace

TEST(Capture, ScreenshotsAndRecordingsKeepTheirSizeAndCompleteOnQuit) {
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    LiveProgram app;
    ASSERT_TRUE(app.ok()) << app.run().output();
    ASSERT_FALSE(app.cameraPicture().empty()) << app.run().output();

    // A window resized to 1000 x 300 keeps the camera's aspect: 400 x 300.
    ASSERT_EQ(std::system(("xdotool windowsize " + std::to_string(app.window()) + " 1000 300").c_str()), 0);
    ASSERT_TRUE(app.waitForSize(400, 300, 10.0));
    const cv::Mat shot = app.screenshot();
    ASSERT_FALSE(shot.empty());
    EXPECT_EQ(shot.cols, 400);
    EXPECT_EQ(shot.rows, 300);
    ASSERT_EQ(shot.channels(), 4);
    double minAlpha = 0.0;
    std::vector<cv::Mat> planes;
    cv::split(shot, planes);
    cv::minMaxLoc(planes[3], &minAlpha);
    EXPECT_EQ(minAlpha, 255.0);
    EXPECT_TRUE(std::regex_match(app.lastScreenshotName(), std::regex(R"(img\d{8}-\d{6}-\d{3}\.png)")))
        << app.lastScreenshotName();

    // Recording: the title says so, a resize snaps back, the file has the start size.
    ASSERT_TRUE(app.key("c"));
    ASSERT_TRUE(waitForTitle(app.window(), "Pavonix : [[[ Capturing...]]]", 10.0)) << windowName(app.window());
    ASSERT_EQ(std::system(("xdotool windowsize " + std::to_string(app.window()) + " 640 480").c_str()), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    int w = 0, h = 0;
    ASSERT_TRUE(windowSize(app.window(), &w, &h));
    EXPECT_EQ(w, 400);
    EXPECT_EQ(h, 300);
    ASSERT_TRUE(app.key("c"));
    ASSERT_TRUE(waitForTitle(app.window(), "Pavonix", 10.0));
    const std::string first = onlyNewFile(app, "cap", ".avi");
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(std::regex_search(first, std::regex(R"(/cap\d{8}-\d{6}-\d{3}\.avi$)"))) << first;
    const Clip clip = readClip(first);
    EXPECT_GE(clip.frames, 15) << first;
    EXPECT_TRUE(clip.sameSize);
    EXPECT_EQ(clip.width, 400);
    EXPECT_EQ(clip.height, 300);
    EXPECT_NEAR(clip.fps, 30.0, 0.5);
    std::remove(first.c_str());

    // Quitting while recording leaves a complete, readable file.
    ASSERT_TRUE(app.key("c"));
    ASSERT_TRUE(waitForTitle(app.window(), "Pavonix : [[[ Capturing...]]]", 10.0));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    ASSERT_TRUE(closeWindow(app.window()));
    int status = -1;
    ASSERT_TRUE(app.run().wait(20.0, &status));
    EXPECT_EQ(status, 0) << app.run().output();
    const std::string second = onlyNewFile(app, "cap", ".avi");
    ASSERT_FALSE(second.empty());
    const Clip last = readClip(second);
    EXPECT_GE(last.frames, 10) << second;
    EXPECT_TRUE(last.sameSize);
    EXPECT_EQ(last.width, 400);
}

TEST(Capture, SlowDrawingRecordsRealTimeAndSIGTERMCompletesTheFile) {
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    const std::string dir = makeTempDir("pavonix-slow-record");
    const std::string avi = dir + "/slow.avi";
    ProgramRun run;
    // Drawing held at about 6 frames a second.
    ASSERT_TRUE(run.start(pavonixExecutable(), {"--demo", "--video", "virtual", "--record", avi}, dir,
                          {{"PAVONIX_NO_DIALOGS", "1"}, {"PAVONIX_MIN_FRAME_MS", "166"}, {"PAVONIX_DATA", ""}}));
    std::chrono::steady_clock::time_point started;
    ASSERT_TRUE(waitForOutput(run, "recording into " + avi, 60.0, &started)) << run.output();
    std::this_thread::sleep_until(started + std::chrono::seconds(10));
    const auto stopped = std::chrono::steady_clock::now();
    ASSERT_EQ(::kill(run.pid(), SIGTERM), 0);
    int status = -1;
    ASSERT_TRUE(run.wait(30.0, &status)) << "SIGTERM did not end the program";
    EXPECT_EQ(status, 128 + SIGTERM) << run.output();
    EXPECT_NE(run.output().find("ending on"), std::string::npos) << run.output();

    const double wall = std::chrono::duration<double>(stopped - started).count();
    const Playback clip = play(avi);
    EXPECT_TRUE(clip.lastReadable) << avi;
    EXPECT_EQ(clip.frames, clip.declared) << "the file does not play to its last frame";
    const double seconds = clip.frames / 30.0;
    std::printf("recorded %d frames (%.2f s of video, %d new pictures) in %.2f s\n", clip.frames, seconds, clip.changes,
                wall);
    EXPECT_NEAR(seconds, wall, 0.1 * wall) << clip.frames << " frames for " << wall << " s of recording";
    // About 6 new pictures a second among 30 frames: the rest repeat the last picture.
    EXPECT_GT(clip.changes, 20);
    EXPECT_LT(clip.changes, clip.frames / 2) << "drawing was not held slow, so this proves nothing";
    (void)!std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(Capture, SIGINTAndSIGHUPEndAsClosingTheWindowDoesWithTheScreenshotWritten) {
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    for (int signo : {SIGINT, SIGHUP}) {
        const std::string dir = makeTempDir("pavonix-signal");
        const std::string shot = dir + "/last.png";
        const std::string avi = dir + "/rec.avi";
        ProgramRun run;
        ASSERT_TRUE(run.start(pavonixExecutable(),
                              {"--video", "virtual", "--frames", "1000000", "--screenshot", shot, "--record", avi}, dir,
                              {{"PAVONIX_NO_DIALOGS", "1"}, {"PAVONIX_DATA", ""}}));
        ASSERT_TRUE(waitForOutput(run, "recording into", 60.0)) << run.output();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        ASSERT_EQ(::kill(run.pid(), signo), 0);
        int status = -1;
        ASSERT_TRUE(run.wait(30.0, &status)) << strsignal(signo) << " did not end the program";
        EXPECT_EQ(status, 128 + signo) << run.output();
        struct stat st;
        EXPECT_EQ(stat(shot.c_str(), &st), 0) << strsignal(signo) << ": no screenshot\n" << run.output();
        const Playback clip = play(avi);
        EXPECT_GE(clip.frames, 20) << strsignal(signo);
        EXPECT_EQ(clip.frames, clip.declared) << strsignal(signo);
        (void)!std::system(("rm -rf '" + dir + "'").c_str());
    }
}
