// Otsu threshold of the camera copy, PNG screenshots and AVI recordings of the window.
#include <gtest/gtest.h>

#include <GL/gl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <random>
#include <string>

#include "app/imgproc/Capture.h"
#include "app/imgproc/cvImgProc.h"
#include "app/record/Recorder.h"
#include "common/GLContext.h"
#include "platform/Paths.h"

namespace {

// The capture these tests drive, as the viewer owns one.
cvImgProc g_capture;

bool fileExists(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// A scratch folder removed with everything in it at the end of the test.
class ScratchDir {
public:
    ScratchDir()
    {
        char pattern[] = "/tmp/pavonix-view-XXXXXX";
        const char* made = mkdtemp(pattern);
        path_ = made ? made : "/tmp";
    }
    ~ScratchDir()
    {
        if (path_ != "/tmp") std::system(("rm -rf '" + path_ + "'").c_str());
    }
    std::string file(const char* name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Fills the window: top half red, bottom half green, a white pixel in the top-left
// corner so that orientation errors cannot hide.
void drawTopRedBottomGreen(int width, int height)
{
    glDisable(GL_SCISSOR_TEST);
    glClearColor(0, 1, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    glEnable(GL_SCISSOR_TEST);
    glScissor(0, height / 2, width, height - height / 2);
    glClearColor(1, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    glScissor(0, height - 1, 1, 1);
    glClearColor(1, 1, 1, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    glDisable(GL_SCISSOR_TEST);
}

// Checks a decoded video frame (B, G, R) for the picture above, allowing for the codec.
void expectTopRedBottomGreen(const cv::Mat& frame)
{
    const cv::Vec3b top = frame.at<cv::Vec3b>(frame.rows / 4, frame.cols / 2);
    const cv::Vec3b bottom = frame.at<cv::Vec3b>(frame.rows * 3 / 4, frame.cols / 2);
    EXPECT_GT(top[2], 200);
    EXPECT_LT(top[1], 50);
    EXPECT_LT(top[0], 50);
    EXPECT_GT(bottom[1], 200);
    EXPECT_LT(bottom[2], 50);
    EXPECT_LT(bottom[0], 50);
}

struct VideoSummary {
    int frames = 0;
    int wrongSize = 0;
    cv::Mat first;
};

VideoSummary readVideo(const std::string& path, int width, int height)
{
    VideoSummary summary;
    cv::VideoCapture capture(path, cv::CAP_FFMPEG);
    cv::Mat frame;
    while (capture.isOpened() && capture.read(frame)) {
        if (summary.frames++ == 0) summary.first = frame.clone();
        if (frame.cols != width || frame.rows != height) ++summary.wrongSize;
    }
    return summary;
}

class ImgProcTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("PAVONIX_NO_DIALOGS", "1", 1); }
};

TEST_F(ImgProcTest, BinarizeWeightsByteZeroAsRedAndReturnsOtsusThreshold)
{
    cvImgProc proc;
    ASSERT_TRUE(proc.allocateImages(64, 48));
    // Two populations that differ only in byte 0; byte 2 is the same everywhere.
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            cv::Vec4b& p = proc.sourceImage.at<cv::Vec4b>(y, x);
            p = cv::Vec4b(x < 40 ? 40 : 200, 0, 200, 255);
        }
    // grey = 0.299 * 40 + 0.114 * 200 = 34.76 and 0.299 * 200 + 0.114 * 200 = 82.6:
    // Otsu separates the two just above the darker one. Weighting byte 0 as blue would
    // give 64 instead.
    EXPECT_EQ(proc.binarize(), 35);
    EXPECT_EQ(proc.binaryImage.at<uchar>(0, 0), 0);
    EXPECT_EQ(proc.binaryImage.at<uchar>(0, 63), 255);

    // A noisy frame: the result is OpenCV's Otsu threshold of the same grey conversion.
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto it = proc.sourceImage.begin<cv::Vec4b>(); it != proc.sourceImage.end<cv::Vec4b>(); ++it) {
        const int dark = byte(random) % 2;
        *it = cv::Vec4b(static_cast<uchar>(dark ? byte(random) / 4 : 150 + byte(random) / 3),
                        static_cast<uchar>(byte(random)), static_cast<uchar>(byte(random) / 2), 0);
    }
    cv::Mat grey(48, 64, CV_8UC1), unused;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            const cv::Vec4b p = proc.sourceImage.at<cv::Vec4b>(y, x);
            grey.at<uchar>(y, x) = cv::saturate_cast<uchar>(0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2]);
        }
    const double expected = cv::threshold(grey, unused, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
    EXPECT_NEAR(proc.binarize(), static_cast<int>(expected + 0.5), 1);
}

TEST_F(ImgProcTest, ScreenshotIsTheWindowSizeOpaqueAndTopFirst)
{
    if (!ensureGLContext(400, 300)) GTEST_SKIP() << "no X display for a GL context";
    ScratchDir dir;
    drawTopRedBottomGreen(400, 300);
    const std::string path = dir.file("shot.png");
    ASSERT_TRUE(g_capture.saveImageTo(path.c_str()));

    const cv::Mat png = cv::imread(path, cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(png.empty());
    EXPECT_EQ(png.cols, 400);
    EXPECT_EQ(png.rows, 300);
    ASSERT_EQ(png.channels(), 4);
    std::vector<cv::Mat> planes;
    cv::split(png, planes);
    double minAlpha = 0, maxAlpha = 0;
    cv::minMaxLoc(planes[3], &minAlpha, &maxAlpha);
    EXPECT_EQ(minAlpha, 255.0);
    EXPECT_EQ(png.at<cv::Vec4b>(0, 0), cv::Vec4b(255, 255, 255, 255));  // white corner at the top left
    EXPECT_EQ(png.at<cv::Vec4b>(10, 200), cv::Vec4b(0, 0, 255, 255));   // red top (B, G, R, A)
    EXPECT_EQ(png.at<cv::Vec4b>(290, 200), cv::Vec4b(0, 255, 0, 255));  // green bottom
}

TEST_F(ImgProcTest, SaveImageWritesATimedFileNextToTheExecutableAtTheNextComposedFrame)
{
    if (!ensureGLContext(320, 240)) GTEST_SKIP() << "no X display for a GL context";
    drawTopRedBottomGreen(320, 240);
    const std::string before = g_capture.lastScreenshotPath();
    EXPECT_TRUE(SaveImage(g_capture));
    EXPECT_EQ(g_capture.lastScreenshotPath(), before);  // only requested so far
    EXPECT_TRUE(g_capture.frameComposed());
    const std::string path = g_capture.lastScreenshotPath();
    ASSERT_NE(path, before);
    EXPECT_EQ(path.rfind(executableDir() + "/img", 0), 0u) << path;
    EXPECT_EQ(path.size(), executableDir().size() + std::string("/img20150305-090703-042.png").size());
    const cv::Mat png = cv::imread(path, cv::IMREAD_UNCHANGED);
    EXPECT_EQ(png.cols, 320);
    EXPECT_EQ(png.rows, 240);
    std::remove(path.c_str());
    // The request is used up: the next frame writes nothing.
    EXPECT_TRUE(g_capture.frameComposed());
    EXPECT_FALSE(fileExists(path));
}

TEST_F(ImgProcTest, OutputNamesCarryTheLocalTimeToTheMillisecond)
{
    const LocalTime t{2015, 3, 5, 9, 7, 3, 42};
    EXPECT_EQ(screenshotFileName("/opt/viewer", t), "/opt/viewer/img20150305-090703-042.png");
    EXPECT_EQ(captureFileName("/opt/viewer", t), "/opt/viewer/cap20150305-090703-042.avi");
    // No fixed-size buffer: a long folder is kept whole.
    const std::string longFolder(300, 'd');
    EXPECT_EQ(screenshotFileName(longFolder, t), longFolder + "/img20150305-090703-042.png");
}

TEST_F(ImgProcTest, FailedPngWritesAreReportedAndLeaveNoFileBehind)
{
    ScratchDir dir;
    std::vector<unsigned char> pixels(8 * 6 * 4, 128);
    std::string error;
    EXPECT_FALSE(writePNGBottomUp(dir.file("missing/x.png").c_str(), pixels.data(), 8, 6, &error));
    EXPECT_EQ(error, "file create error");

    if (fileExists("/dev/full")) {
        // Every write fails: the failure must not be reported as a saved screenshot, and
        // the device must survive the clean-up.
        error.clear();
        EXPECT_FALSE(writePNGBottomUp("/dev/full", pixels.data(), 8, 6, &error));
        EXPECT_EQ(error, "error handling");
        EXPECT_TRUE(fileExists("/dev/full"));
    }

    // A libpng error (invalid size) comes back through its error handler, not a crash.
    error.clear();
    const std::string bad = dir.file("bad.png");
    EXPECT_FALSE(writePNGBottomUp(bad.c_str(), pixels.data(), 0, 6, &error));
    EXPECT_EQ(error, "error handling");
    EXPECT_FALSE(fileExists(bad));
}

TEST_F(ImgProcTest, CaptureScheduleCountsFramesByWallTime)
{
    CaptureSchedule schedule;
    schedule.start(30.0, 1000.0);
    EXPECT_EQ(schedule.framesDue(1000.0), 1);  // the first frame is due at once
    EXPECT_EQ(schedule.framesDue(990.0), 1);   // a clock read just before the start
    EXPECT_EQ(schedule.framesDue(1033.0), 1);
    EXPECT_EQ(schedule.framesDue(1034.0), 2);
    EXPECT_EQ(schedule.framesDue(11000.0), 301);
    // Ten seconds hold 300 frames whatever happened in between.
    EXPECT_EQ(schedule.framesAtEnd(11000.0), 300);
    EXPECT_EQ(schedule.framesAtEnd(1000.0), 1);
    // Ticks aim at the start of the next period, so late ticks do not drift.
    EXPECT_EQ(schedule.delayToNextTick(1000.0), 34);
    EXPECT_EQ(schedule.delayToNextTick(1500.0), 34);
    EXPECT_EQ(schedule.delayToNextTick(1533.0), 1);
    schedule.start(0.0, 0.0);  // no rate: the default 30 fps
    EXPECT_EQ(schedule.framesAtEnd(1000.0), 30);
}

TEST_F(ImgProcTest, RecordingKeepsTheStartSizeAndOrientation)
{
    if (!ensureGLContext(320, 240)) GTEST_SKIP() << "no X display for a GL context";
    ScratchDir dir;
    const std::string path = dir.file("clip.avi");
    cvImgProc proc;  // never init: reads the window into memory instead of a pack buffer
    proc.windowWidth = 320;
    proc.windowHeight = 240;
    ASSERT_TRUE(proc.startCaptureTo(path.c_str(), 30.0, true));
    EXPECT_TRUE(proc.capturing);
    for (int frame = 0; frame < 12; ++frame) {
        if (frame == 6) {
            // The window changes size mid-recording; the file keeps the first size.
            proc.windowWidth = 400;
            proc.windowHeight = 300;
            ASSERT_TRUE(ensureGLContext(400, 300));
        }
        drawTopRedBottomGreen(glContextWidth(), glContextHeight());
        proc.frameComposed();
    }
    proc.stopCapture();
    EXPECT_FALSE(proc.capturing);
    EXPECT_FALSE(proc.recorder);

    const VideoSummary video = readVideo(path, 320, 240);
    EXPECT_EQ(video.frames, 12);
    EXPECT_EQ(video.wrongSize, 0);
    ASSERT_FALSE(video.first.empty());
    expectTopRedBottomGreen(video.first);
}

TEST_F(ImgProcTest, CameraPictureIsBlackUntilTheFirstFrame)
{
    if (!ensureGLContext(320, 240)) GTEST_SKIP() << "no X display for a GL context";
    // A small picture comes from the heap, where the block just freed is handed out
    // again with its old contents.
    g_capture.init(16, 8);
    g_capture.sourceImage.setTo(cv::Scalar::all(0xAB));
    g_capture.init(16, 8);
    ASSERT_EQ(g_capture.sourceImage.total(), 16u * 8u);
    EXPECT_EQ(cv::countNonZero(g_capture.sourceImage.reshape(1)), 0);
}

double g_fakeNowMs = 0.0;
double fakeClockMs() { return g_fakeNowMs; }

// The capture clock of g_capture replaced for one test.
struct FakeCaptureClock {
    FakeCaptureClock() { g_capture.captureClockMs = fakeClockMs; }
    ~FakeCaptureClock() { g_capture.captureClockMs = nullptr; }
};

std::string newestCaptureFile()
{
    std::vector<cv::String> found;
    cv::glob(executableDir() + "/cap*.avi", found, false);
    std::sort(found.begin(), found.end());
    return found.empty() ? std::string() : std::string(found.back());
}

TEST_F(ImgProcTest, ControlCaptureKeepsRealTimeWhenDrawingIsSlowThroughThePackBuffer)
{
    if (!ensureGLContext(320, 240)) GTEST_SKIP() << "no X display for a GL context";
    g_capture.init(320, 240);
    EXPECT_NE(g_capture.packBuffer, 0u);
    EXPECT_EQ(g_capture.sourceImage.cols, 320);
    EXPECT_EQ(g_capture.sourceImage.type(), CV_8UC4);
    FakeCaptureClock clock;

    g_fakeNowMs = 0.0;
    g_capture.controlCapture();
    ASSERT_TRUE(g_capture.capturing);
    ASSERT_TRUE(g_capture.recorder);
    // The schedule is what this test checks, not what a live recording gives up when the
    // encoder falls behind (the recorder's own tests do): on a busy machine the encoder
    // may lag, so here it is waited for.
    g_capture.recorder->setWaitWhenFull(true);
    const int chain = g_capture.captureChain();
    drawTopRedBottomGreen(320, 240);
    g_capture.frameComposed();  // nothing requested yet: no frame
    EXPECT_EQ(g_capture.captureFramesWritten(), 0);
    cvImgProc::captureTimer(chain);
    g_capture.frameComposed();  // requested: the first frame
    EXPECT_EQ(g_capture.captureFramesWritten(), 1);

    // Drawing stalls for 200 ms: the ticks keep the time with the last picture.
    for (int t : {40, 80, 120, 160, 200}) {
        g_fakeNowMs = t;
        cvImgProc::captureTimer(chain);
    }
    EXPECT_EQ(g_capture.captureFramesWritten(), 6);
    g_capture.frameComposed();  // the picture of the period now running
    EXPECT_EQ(g_capture.captureFramesWritten(), 7);
    g_capture.frameComposed();  // drawn again within the same period: nothing owed
    EXPECT_EQ(g_capture.captureFramesWritten(), 7);

    // Stopped at 1 s: the file is padded to 30 frames, one second of video.
    g_fakeNowMs = 1000.0;
    g_capture.controlCapture();
    EXPECT_FALSE(g_capture.capturing);
    EXPECT_EQ(g_capture.captureFramesWritten(), 30);
    // A tick left over after stopping must not write into a closed recording.
    cvImgProc::captureTimer(chain);
    g_capture.frameComposed();

    const std::string path = newestCaptureFile();
    ASSERT_FALSE(path.empty());
    const VideoSummary video = readVideo(path, 320, 240);
    EXPECT_EQ(video.frames, 30);
    EXPECT_EQ(video.wrongSize, 0);
    if (!video.first.empty()) expectTopRedBottomGreen(video.first);
    std::remove(path.c_str());
}

TEST_F(ImgProcTest, StoppingAndStartingWithinOneTickLeavesOneTimerChain)
{
    if (!ensureGLContext(320, 240)) GTEST_SKIP() << "no X display for a GL context";
    g_capture.init(320, 240);
    FakeCaptureClock clock;
    g_fakeNowMs = 0.0;
    g_capture.controlCapture();
    const int first = g_capture.captureChain();
    g_capture.controlCapture();
    const std::string stopped = newestCaptureFile();
    g_fakeNowMs = 5.0;
    g_capture.controlCapture();
    ASSERT_TRUE(g_capture.capturing);
    const int second = g_capture.captureChain();
    EXPECT_NE(first, second);

    // The first recording's pending tick finds a recording running, but not its own.
    drawTopRedBottomGreen(320, 240);
    cvImgProc::captureTimer(first);
    g_capture.frameComposed();
    EXPECT_EQ(g_capture.captureFramesWritten(), 0);
    cvImgProc::captureTimer(second);
    g_capture.frameComposed();
    EXPECT_EQ(g_capture.captureFramesWritten(), 1);
    g_capture.controlCapture();
    const std::string second_path = newestCaptureFile();
    if (!stopped.empty()) std::remove(stopped.c_str());
    if (!second_path.empty()) std::remove(second_path.c_str());
}

TEST_F(ImgProcTest, ARecordingStillRunningAtDestructionIsCompleted)
{
    if (!ensureGLContext(320, 240)) GTEST_SKIP() << "no X display for a GL context";
    ScratchDir dir;
    const std::string path = dir.file("exit.avi");
    {
        cvImgProc proc;
        proc.windowWidth = 320;
        proc.windowHeight = 240;
        ASSERT_TRUE(proc.startCaptureTo(path.c_str(), 30.0, true));
        for (int frame = 0; frame < 5; ++frame) {
            drawTopRedBottomGreen(320, 240);
            proc.frameComposed();
        }
    }
    EXPECT_EQ(readVideo(path, 320, 240).frames, 5);
}

TEST_F(ImgProcTest, AnUnwritableRecordingIsRefusedAndLeavesCaptureOff)
{
    cvImgProc proc;
    proc.windowWidth = 320;
    proc.windowHeight = 240;
    EXPECT_FALSE(proc.startCaptureTo("/nonexistent-folder/clip.avi", 30.0, true));
    EXPECT_FALSE(proc.capturing);
    EXPECT_FALSE(proc.recorder);
}

}  // namespace
