// The arVideo* calls with file and virtual sources: pixel layout, looping, offline
// delivery, pacing, failures and the automatic fallback.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "platform/video/Video.h"
#include "scene/MarkerScene.h"
#include "scene/VirtualCamera.h"
#include "tracking/CameraParam.h"
#include "tracking/Marker.h"
#include "tracking/Pattern.h"
#include "tracking/Pose.h"
#include "video/CornerMeasure.h"

namespace {

const std::string kDataDir = PAVONIX_SOURCE_DIR "/Data";

std::string tempDir() {
    static std::string dir;
    if (dir.empty()) {
        char pattern[] = "/tmp/pavonix_video_XXXXXX";
        dir = mkdtemp(pattern);
    }
    return dir;
}

std::string writeText(const std::string& name, const std::string& text) {
    const std::string path = tempDir() + "/" + name;
    std::ofstream(path) << text;
    return path;
}

// Frame k of the test sequence: every pixel tells its frame, column and row.
cv::Mat sequenceFrame(int k, int width = 32, int height = 24) {
    cv::Mat m(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) m.at<cv::Vec3b>(y, x) = cv::Vec3b(uint8_t(5 + 40 * k), uint8_t(7 * x), uint8_t(9 * y));
    return m;
}

// Writes frames 0..count-1 as NAME/%04d.png and returns the pattern.
std::string writeSequence(const std::string& name, int count) {
    const std::string dir = tempDir() + "/" + name;
    mkdir(dir.c_str(), 0755);
    for (int k = 0; k < count; ++k) {
        char file[64];
        std::snprintf(file, sizeof file, "/%04d.png", k);
        EXPECT_TRUE(cv::imwrite(dir + file, sequenceFrame(k)));
    }
    return dir + "/%04d.png";
}

int frameNumberOf(const unsigned char* bgra) { return (bgra[0] - 5) / 40; }

// The library's reports printed as the program prints them, so the tests read them where
// a user does.
void printReport(const std::string& line) { std::fprintf(stderr, "video: %s\n", line.c_str()); }

class Video : public testing::Test {
protected:
    void SetUp() override {
        unsetenv("PAVONIX_VIDEO");
        installVirtualCamera();
        arVideoSetReportSink(printReport);
    }
    void TearDown() override {
        arVideoCapStop();
        arVideoClose();
        arVideoSetSourceOverride(nullptr);
        arVideoSetOffline(false);
        arVideoSetReportSink(nullptr);
        unsetenv("PAVONIX_VIDEO");
    }
};

}  // namespace

TEST_F(Video, ReportsGoToTheInstalledSinkAndTheLibraryPrintsNothing) {
    std::vector<std::string> lines;
    arVideoSetReportSink([&lines](const std::string& line) { lines.push_back(line); });
    arVideoSetSourceOverride("file:/nonexistent/clip.avi");
    testing::internal::CaptureStderr();
    EXPECT_LT(arVideoOpen(nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("file /nonexistent/clip.avi: cannot be opened"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[0].find('\n'), std::string::npos) << lines[0];

    // Without a sink the report is dropped, and the refusal is still kept for the caller.
    arVideoSetReportSink(nullptr);
    testing::internal::CaptureStderr();
    EXPECT_LT(arVideoOpen(nullptr), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(lines.size(), 1u);
    EXPECT_NE(std::string(arVideoLastError()).find("cannot be opened"), std::string::npos);
}

TEST_F(Video, OfflineSequenceDeliversEveryFrameOnceInOrderWithExactPixels) {
    const std::string pattern = writeSequence("seq5", 5);
    arVideoSetSourceOverride(("file:" + pattern).c_str());
    arVideoSetOffline(true);
    // No configuration file at all is fine when an override names the source.
    ASSERT_EQ(arVideoOpen((tempDir() + "/no-such-config.xml").c_str()), 0);
    int w = 0, h = 0;
    ASSERT_EQ(arVideoInqSize(&w, &h), 0);
    EXPECT_EQ(w, 32);
    EXPECT_EQ(h, 24);
    EXPECT_EQ(arVideoGetImage(), nullptr) << "no frames before capture starts";
    ASSERT_EQ(arVideoCapStart(), 0);
    for (int k = 0; k < 5; ++k) {
        EXPECT_FALSE(arVideoEndOfStream()) << "frame " << k;
        unsigned char* frame = arVideoGetImage();
        ASSERT_NE(frame, nullptr) << "frame " << k;
        const cv::Mat expected = sequenceFrame(k);
        int wrong = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const unsigned char* p = frame + (size_t(y) * w + x) * 4;
                const cv::Vec3b e = expected.at<cv::Vec3b>(y, x);
                wrong += p[0] != e[0] || p[1] != e[1] || p[2] != e[2] || p[3] != 255;
            }
        EXPECT_EQ(wrong, 0) << "frame " << k << ": bytes must be B, G, R, A with the top row first";
        EXPECT_EQ(arVideoCapNext(), 0);
    }
    EXPECT_TRUE(arVideoEndOfStream()) << "true as soon as the last frame has been handed out";
    EXPECT_EQ(arVideoGetImage(), nullptr);
    EXPECT_EQ(arVideoGetImage(), nullptr);
    EXPECT_TRUE(arVideoEndOfStream());
}

TEST_F(Video, OfflineVideoFileKeepsFramesColoursAndRate) {
    const std::string path = tempDir() + "/clip.avi";
    {
        cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25.0, cv::Size(64, 48));
        ASSERT_TRUE(writer.isOpened());
        for (int k = 0; k < 12; ++k) {
            // Top half and bottom half differ, so a frame upside down is caught.
            cv::Mat m(48, 64, CV_8UC3, cv::Scalar(20 * k, 200, 30));
            m.rowRange(24, 48).setTo(cv::Scalar(200 - 10 * k, 40, 220));
            writer.write(m);
        }
    }
    arVideoSetSourceOverride(("file:" + path).c_str());
    arVideoSetOffline(true);
    ASSERT_EQ(arVideoOpen(nullptr), 0);
    EXPECT_NEAR(arVideoInqFrameRate(), 25.0, 1e-6);
    EXPECT_EQ(arVideoInqFrameCount(), 12);
    EXPECT_NE(std::string(arVideoSourceName()).find("clip.avi"), std::string::npos);
    ASSERT_EQ(arVideoCapStart(), 0);
    int k = 0;
    while (unsigned char* frame = arVideoGetImage()) {
        const unsigned char* top = frame + (size_t(4) * 64 + 10) * 4;
        const unsigned char* bottom = frame + (size_t(40) * 64 + 10) * 4;
        EXPECT_NEAR(top[0], 20 * k, 12) << "frame " << k;
        EXPECT_NEAR(top[1], 200, 12);
        EXPECT_NEAR(top[2], 30, 12);
        EXPECT_NEAR(bottom[0], 200 - 10 * k, 12);
        EXPECT_NEAR(bottom[2], 220, 12);
        ++k;
        ASSERT_LE(k, 12);
    }
    EXPECT_EQ(k, 12);
    EXPECT_TRUE(arVideoEndOfStream());
}

TEST_F(Video, FramesKeepTheOpenedSizeWhenTheSourceChangesSize) {
    // The caller copies width x height x 4 bytes of every frame; a larger or smaller
    // picture later in a sequence must not change that.
    const std::string dir = tempDir() + "/mixed";
    mkdir(dir.c_str(), 0755);
    ASSERT_TRUE(cv::imwrite(dir + "/0000.png", sequenceFrame(0)));
    ASSERT_TRUE(cv::imwrite(dir + "/0001.png", cv::Mat(96, 128, CV_8UC3, cv::Scalar(10, 120, 230))));
    ASSERT_TRUE(cv::imwrite(dir + "/0002.png", cv::Mat(6, 8, CV_8UC1, cv::Scalar(77))));
    arVideoSetSourceOverride(("file:" + dir + "/%04d.png").c_str());
    arVideoSetOffline(true);
    ASSERT_EQ(arVideoOpen(nullptr), 0);
    int w = 0, h = 0;
    ASSERT_EQ(arVideoInqSize(&w, &h), 0);
    ASSERT_EQ(w, 32);
    ASSERT_EQ(h, 24);
    ASSERT_EQ(arVideoCapStart(), 0);
    ASSERT_NE(arVideoGetImage(), nullptr);
    const unsigned char* big = arVideoGetImage();
    ASSERT_NE(big, nullptr);
    const unsigned char* last = big + (size_t(w) * h - 1) * 4;
    EXPECT_EQ(last[0], 10);
    EXPECT_EQ(last[1], 120);
    EXPECT_EQ(last[2], 230);
    EXPECT_EQ(last[3], 255);
    const unsigned char* small = arVideoGetImage();
    ASSERT_NE(small, nullptr);
    last = small + (size_t(w) * h - 1) * 4;
    EXPECT_EQ(last[0], 77);
    EXPECT_EQ(last[2], 77);
    EXPECT_EQ(arVideoGetImage(), nullptr);
    EXPECT_TRUE(arVideoEndOfStream());
}

TEST_F(Video, LivePlaybackLoopsAtTheFileRate) {
    const std::string pattern = writeSequence("seq3", 3);
    // Image sequences have no rate of their own; the configured one applies.
    const std::string config = writeText("fast.xml", "<pavonix-video><source>file</source><file>" + pattern +
                                                         "</file><fps>100</fps></pavonix-video>");
    ASSERT_EQ(arVideoOpen(config.c_str()), 0);
    EXPECT_NEAR(arVideoInqFrameRate(), 100.0, 1e-9);
    ASSERT_EQ(arVideoCapStart(), 0);
    std::vector<int> seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (seen.size() < 10 && std::chrono::steady_clock::now() < deadline) {
        if (unsigned char* frame = arVideoGetImage()) {
            seen.push_back(frameNumberOf(frame));
            arVideoCapNext();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    ASSERT_GE(seen.size(), 7u);
    EXPECT_FALSE(arVideoEndOfStream()) << "live playback never ends";
    int wraps = 0;
    for (size_t i = 1; i < seen.size(); ++i) {
        EXPECT_LT(seen[i], 3);
        if (seen[i - 1] == 2 && seen[i] == 0) ++wraps;
    }
    EXPECT_GE(wraps, 2) << "frames seen out of order or not looped";
    // Stopping and starting again begins at the first frame.
    arVideoCapStop();
    ASSERT_EQ(arVideoCapStart(), 0);
    unsigned char* frame = nullptr;
    for (int i = 0; i < 2000 && !frame; ++i) {
        frame = arVideoGetImage();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frameNumberOf(frame), 0);
}

TEST_F(Video, SinglePictureFlippedIsOneFrameOffline) {
    cv::Mat picture(8, 16, CV_8UC1);
    for (int y = 0; y < 8; ++y) picture.row(y).setTo(20 * y);
    const std::string path = tempDir() + "/still.png";
    ASSERT_TRUE(cv::imwrite(path, picture));
    const std::string config = writeText("flip.xml", "<pavonix-video><source>file</source><file>still.png</file>"
                                                     "<flipV>true</flipV></pavonix-video>");
    arVideoSetOffline(true);
    ASSERT_EQ(arVideoOpen(config.c_str()), 0);  // the relative <file> is found beside the configuration
    EXPECT_EQ(arVideoInqFrameCount(), 1);
    ASSERT_EQ(arVideoCapStart(), 0);
    unsigned char* frame = arVideoGetImage();
    ASSERT_NE(frame, nullptr);
    for (int y = 0; y < 8; ++y) {
        const unsigned char* p = frame + size_t(y) * 16 * 4;
        EXPECT_EQ(p[0], 20 * (7 - y)) << "row " << y;
        EXPECT_EQ(p[1], p[0]);
        EXPECT_EQ(p[2], p[0]);
        EXPECT_EQ(p[3], 255);
    }
    EXPECT_TRUE(arVideoEndOfStream());
    EXPECT_EQ(arVideoGetImage(), nullptr);
}

TEST_F(Video, UnopenableSourcesFailWithAMessageNamingThem) {
    struct Case {
        std::string config, override, expected;
    };
    const std::string badValue = writeText("bad.xml", "<pavonix-video>\n<fps>fast</fps>\n</pavonix-video>\n");
    const std::string notOurs = writeText("notours.xml", "[video]\nsource=camera\n");
    const std::string noFile = writeText("nofile.xml", "<pavonix-video><source>file</source></pavonix-video>");
    const std::string junk = writeText("junk.avi", "this is not a video at all");
    const std::string noMarker = writeText("nomarker.xml", "<pavonix-video><source>virtual</source></pavonix-video>");
    const Case cases[] = {
        {"", "file:/nonexistent/clip.avi", "file /nonexistent/clip.avi: cannot be opened"},
        {"", "file:" + junk, junk},
        {"", "file:" + tempDir() + "/empty/%04d.png", "%04d.png"},
        {"", "webcam", "\"webcam\""},
        {badValue, "", badValue + ": line 2: <fps>"},
        {badValue, "virtual", badValue},  // the override does not excuse a broken file
        {notOurs, "", "not a Pavonix video configuration"},
        {tempDir() + "/missing.xml", "", tempDir() + "/missing.xml"},
        {noFile, "", "no file is named"},
        {noMarker, "", tempDir() + "/marker.png"},
    };
    for (const Case& c : cases) {
        arVideoSetSourceOverride(c.override.c_str());
        testing::internal::CaptureStderr();
        const int result = arVideoOpen(c.config.empty() ? nullptr : c.config.c_str());
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_LT(result, 0) << c.override << " " << c.config;
        EXPECT_NE(err.find(c.expected), std::string::npos) << "expected \"" << c.expected << "\" in: " << err;
        int w, h;
        EXPECT_LT(arVideoInqSize(&w, &h), 0);
        EXPECT_EQ(arVideoGetImage(), nullptr);
    }
}

TEST_F(Video, AnUnusableCameraGivesWayToTheVirtualCameraWithTheReasonOnScreen) {
    const std::string junk = writeText("notacamera", "a regular file where a camera should be");
    struct Case {
        std::string device, reason;
    };
    // /dev/null is a character device that answers no V4L2 question.
    const Case cases[] = {{"/dev/pavonix-no-such-camera", "No such file or directory"},
                          {junk, "not a camera (not a device node)"},
                          {"/dev/null", "not a camera (not a V4L2 video device)"}};
    for (const Case& c : cases) {
        const std::string config = writeText("camera.xml", "<pavonix-video><source>camera</source>"
                                                           "<device>" + c.device + "</device>"
                                                           "<width>320</width><height>240</height>"
                                                           "<marker>" + kDataDir + "/marker.png</marker>"
                                                           "<calibration>" + kDataDir + "/camera_para.dat</calibration>"
                                                           "</pavonix-video>");
        testing::internal::CaptureStderr();
        ASSERT_EQ(arVideoOpen(config.c_str()), 0) << c.device;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.device), std::string::npos) << err;
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
        EXPECT_STREQ(arVideoSourceName(), "virtual camera");
        const std::string status = arVideoStatus();
        EXPECT_NE(status.find(c.device), std::string::npos) << status;
        EXPECT_NE(status.find("virtual camera"), std::string::npos) << status;
        arVideoClose();
        EXPECT_STREQ(arVideoStatus(), "");
    }
    // When the virtual camera cannot stand in either, both reasons are given.
    const std::string noData = writeText("camera-nodata.xml", "<pavonix-video><source>camera</source>"
                                                              "<device>/dev/pavonix-no-such-camera</device>"
                                                              "<marker>/nonexistent/marker.png</marker>"
                                                              "</pavonix-video>");
    testing::internal::CaptureStderr();
    EXPECT_LT(arVideoOpen(noData.c_str()), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("/dev/pavonix-no-such-camera"), std::string::npos) << err;
    EXPECT_NE(err.find("/nonexistent/marker.png"), std::string::npos) << err;
    EXPECT_NE(std::string(arVideoLastError()).find("/nonexistent/marker.png"), std::string::npos);
}

TEST_F(Video, ASourceThatStopsKeepsItsLastFrameSaysSoAndRecovers) {
    // A live image sequence whose files go away stands in for a camera that is pulled
    // out: no new frames, a line for the screen, and recovery once the files are back.
    const std::string pattern = writeSequence("stops", 2);
    arVideoSetSourceOverride(("file:" + pattern).c_str());
    ASSERT_EQ(arVideoOpen((kDataDir + "/WDM_camera_flipV.xml").c_str()), 0);
    ASSERT_EQ(arVideoCapStart(), 0);
    EXPECT_STREQ(arVideoStatus(), "");
    const std::string dir = tempDir() + "/stops";
    ASSERT_EQ(std::system(("mv '" + dir + "' '" + dir + ".away'").c_str()), 0);
    using clock = std::chrono::steady_clock;
    testing::internal::CaptureStderr();
    auto deadline = clock::now() + std::chrono::seconds(10);
    while (std::string(arVideoStatus()).empty() && clock::now() < deadline) {
        arVideoGetImage();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::string status = arVideoStatus();
    EXPECT_NE(status.find("stops"), std::string::npos) << status;
    EXPECT_NE(status.find("showing the last frame"), std::string::npos) << status;
    while (arVideoGetImage()) {}  // frames read before the files went
    EXPECT_EQ(arVideoGetImage(), nullptr);

    ASSERT_EQ(std::system(("mv '" + dir + ".away' '" + dir + "'").c_str()), 0);
    deadline = clock::now() + std::chrono::seconds(10);
    bool frameAgain = false;
    while (!(frameAgain && std::string(arVideoStatus()).empty()) && clock::now() < deadline) {
        frameAgain = frameAgain || arVideoGetImage() != nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(frameAgain);
    EXPECT_STREQ(arVideoStatus(), "");
    EXPECT_NE(err.find("frames are arriving again"), std::string::npos) << err;
}

TEST_F(Video, WithoutASceneToFilmTheVirtualCameraRefusesToOpen) {
    // The scene is drawn above the video library; a program that installs none gets
    // a refusal naming the virtual camera, not a blank film.
    setVirtualSceneMaker(nullptr);
    arVideoSetSourceOverride("virtual");
    testing::internal::CaptureStderr();
    EXPECT_EQ(arVideoOpen(nullptr), kVideoFileError);
    testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string(arVideoLastError()).find("virtual camera: this program has no scene to film"),
              std::string::npos)
        << arVideoLastError();
    installVirtualCamera();
    ASSERT_EQ(arVideoOpen(nullptr), 0);
    EXPECT_STREQ(arVideoSourceName(), "virtual camera");
}

TEST_F(Video, FileProblemsAreToldApartFromCameraProblems) {
    // The tracker words its message by this status: a missing file is no camera fault.
    arVideoSetSourceOverride(nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(arVideoOpen((tempDir() + "/absent.xml").c_str()), kVideoFileError);
    const std::string noMarker = writeText("virtual-nomarker.xml", "<pavonix-video><source>virtual</source>"
                                                                   "<marker>/nonexistent/m.png</marker></pavonix-video>");
    EXPECT_EQ(arVideoOpen(noMarker.c_str()), kVideoFileError);
    arVideoSetSourceOverride("file:/nonexistent/clip.avi");
    EXPECT_EQ(arVideoOpen(nullptr), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string(arVideoLastError()).find("/nonexistent/clip.avi"), std::string::npos);
}

TEST_F(Video, EnvironmentOverrideAppliesUnlessTheCommandLineSetsOne) {
    const std::string pattern = writeSequence("seqenv", 2);
    setenv("PAVONIX_VIDEO", ("file:" + pattern).c_str(), 1);
    ASSERT_EQ(arVideoOpen((kDataDir + "/WDM_camera_flipV.xml").c_str()), 0);
    EXPECT_NE(std::string(arVideoSourceName()).find("seqenv"), std::string::npos);
    arVideoClose();
    arVideoSetSourceOverride("file:/nonexistent/from-command-line.avi");
    testing::internal::CaptureStderr();
    EXPECT_LT(arVideoOpen(nullptr), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("from-command-line"), std::string::npos);
}

TEST_F(Video, AutoFallsBackToTheVirtualCameraAndSaysSo) {
    const std::string config = writeText("auto.xml", "<pavonix-video><source>auto</source>"
                                                     "<device>/dev/pavonix-no-such-camera</device>"
                                                     "<width>320</width><height>240</height>"
                                                     "<marker>" + kDataDir + "/marker.png</marker>"
                                                     "<calibration>" + kDataDir + "/camera_para.dat</calibration>"
                                                     "</pavonix-video>");
    testing::internal::CaptureStderr();
    ASSERT_EQ(arVideoOpen(config.c_str()), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("virtual camera"), std::string::npos) << err;
    EXPECT_NE(err.find("/dev/pavonix-no-such-camera"), std::string::npos) << err;
    EXPECT_STREQ(arVideoSourceName(), "virtual camera");
    int w = 0, h = 0;
    ASSERT_EQ(arVideoInqSize(&w, &h), 0);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    EXPECT_DOUBLE_EQ(arVideoInqFrameRate(), 30.0);
    EXPECT_EQ(arVideoInqFrameCount(), -1);
}

TEST_F(Video, VirtualCameraIsPacedAndNeverBlocks) {
    arVideoSetSourceOverride("virtual");
    ASSERT_EQ(arVideoOpen((kDataDir + "/WDM_camera_flipV.xml").c_str()), 0);
    ASSERT_EQ(arVideoCapStart(), 0);
    using clock = std::chrono::steady_clock;
    // A loaded test machine may take a while over the first frame.
    const auto firstDeadline = clock::now() + std::chrono::seconds(10);
    while (!arVideoGetImage() && clock::now() < firstDeadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::vector<clock::time_point> arrivals;
    int nullRightAfterFrame = 0, framesFollowedByCall = 0;
    const auto end = clock::now() + std::chrono::milliseconds(2000);
    bool lastWasFrame = false;
    while (clock::now() < end) {
        unsigned char* frame = arVideoGetImage();
        if (lastWasFrame) {
            ++framesFollowedByCall;
            nullRightAfterFrame += frame == nullptr;
        }
        lastWasFrame = frame != nullptr;
        if (frame) {
            arrivals.push_back(clock::now());
            arVideoCapNext();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    ASSERT_GE(arrivals.size(), 2u) << "the virtual camera delivered almost nothing in 2 s";
    EXPECT_LE(arrivals.size(), 62u) << "more frames than 30 per second";
    for (size_t i = 1; i < arrivals.size(); ++i)
        EXPECT_GT(arrivals[i] - arrivals[i - 1], std::chrono::milliseconds(1)) << "two new frames within 1 ms";
    EXPECT_EQ(nullRightAfterFrame, framesFollowedByCall) << "a frame was handed out twice";
}

TEST_F(Video, VirtualFramesShowTheMarkerWhereItsPoseSaysAndAreDeterministic) {
    CameraParam stored{}, camera{};
    ASSERT_TRUE(loadCameraParam((kDataDir + "/camera_para.dat").c_str(), 1, &stored));
    resizeCameraParam(&stored, 640, 480, &camera);

    auto grabOffline = [&](int count) {
        std::vector<std::vector<uint8_t>> frames;
        arVideoSetSourceOverride("virtual");
        arVideoSetOffline(true);
        EXPECT_EQ(arVideoOpen((kDataDir + "/WDM_camera_flipV.xml").c_str()), 0);
        EXPECT_EQ(arVideoCapStart(), 0);
        for (int k = 0; k < count; ++k) {
            unsigned char* frame = arVideoGetImage();
            EXPECT_NE(frame, nullptr);
            if (!frame) break;
            frames.emplace_back(frame, frame + 640 * 480 * 4);
            arVideoCapNext();
        }
        EXPECT_FALSE(arVideoEndOfStream());
        arVideoCapStop();
        arVideoClose();
        return frames;
    };
    const auto first = grabOffline(3);
    const auto again = grabOffline(3);
    ASSERT_EQ(first.size(), 3u);
    ASSERT_EQ(again.size(), 3u);
    EXPECT_EQ(first, again) << "offline frames depend on the frame number only";
    EXPECT_NE(first[0], first[1]);

    cv::imwrite("/tmp/virtual_frame.png", cv::Mat(480, 640, CV_8UC4, const_cast<uint8_t*>(first[0].data())));

    for (int k = 0; k < 3; ++k) {
        double pose[3][4];
        virtualCameraPose(k / 30.0, pose);
        ASSERT_TRUE(allCornersInside(camera, pose, 15)) << "the path should start with the marker in view";
        double measured[4][2];
        ASSERT_TRUE(measureCorners(first[size_t(k)], camera, pose, 20.0, measured)) << "frame " << k;
        const double c[4][2] = {{-20, 20}, {20, 20}, {20, -20}, {-20, -20}};
        for (int i = 0; i < 4; ++i) {
            double ox, oy;
            ASSERT_TRUE(projectMarkerPoint(camera, pose, c[i][0], c[i][1], &ox, &oy));
            EXPECT_NEAR(measured[i][0], ox, 1.0) << "frame " << k << " corner " << i;
            EXPECT_NEAR(measured[i][1], oy, 1.0) << "frame " << k << " corner " << i;
        }
    }
}

TEST_F(Video, TrackerFindsTheVirtualMarkerWithItsTruePose) {
    // The virtual camera exists to stand in for a real one: its frames must carry the
    // committed pattern the right way round and at the pose it claims.
    CameraParam stored{}, camera{};
    ASSERT_TRUE(loadCameraParam((kDataDir + "/camera_para.dat").c_str(), 1, &stored));
    resizeCameraParam(&stored, 640, 480, &camera);
    setTrackerCameraParam(&camera);
    const int slot = loadPatternFile((kDataDir + "/patt.00").c_str());
    ASSERT_GE(slot, 0);

    arVideoSetSourceOverride("virtual");
    arVideoSetOffline(true);
    ASSERT_EQ(arVideoOpen((kDataDir + "/WDM_camera_flipV.xml").c_str()), 0);
    ASSERT_EQ(arVideoCapStart(), 0);
    int checked = 0;
    for (int k = 0; k <= 40; ++k) {
        unsigned char* frame = arVideoGetImage();
        ASSERT_NE(frame, nullptr);
        if (k % 20 != 0) continue;
        double truth[3][4];
        virtualCameraPose(k / 30.0, truth);
        ASSERT_TRUE(allCornersInside(camera, truth, 10)) << "frame " << k;
        resetMarkerHistory();
        DetectedMarker* markers = nullptr;
        int count = 0;
        ASSERT_EQ(detectMarkers(frame, 100, &markers, &count), 0);
        const DetectedMarker* found = nullptr;
        for (int i = 0; i < count; ++i)
            if (markers[i].pattern == slot && (!found || markers[i].confidence > found->confidence)) found = &markers[i];
        ASSERT_NE(found, nullptr) << "frame " << k << ": " << count << " squares, none with the pattern";
        EXPECT_GT(found->confidence, 0.7);
        const double centre[2] = {0.0, 0.0};
        double pose[3][4];
        ASSERT_GE(estimatePose(trackerCameraParam(), found, centre, 40.0, pose), 0.0);
        const double distance = std::sqrt(truth[0][3] * truth[0][3] + truth[1][3] * truth[1][3] + truth[2][3] * truth[2][3]);
        for (int r = 0; r < 3; ++r) {
            EXPECT_NEAR(pose[r][3], truth[r][3], 0.03 * distance) << "frame " << k << " row " << r;
            // Loose enough for the tracker's own error on a small, tilted marker; a
            // mirrored or quarter-turned picture would be off by more than 1.
            for (int c = 0; c < 3; ++c) EXPECT_NEAR(pose[r][c], truth[r][c], 0.1) << "frame " << k;
        }
        ++checked;
    }
    EXPECT_EQ(checked, 3);
    freePatternSlot(slot);
}
