// The tracker front end on rendered camera frames: a picture sequence of the marker
// entering and leaving the view, played once, frame by frame.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "app/imgproc/cvImgProc.h"
#include "common/GLContext.h"
#include "platform/video/Video.h"
#include "scene/MarkerScene.h"
#include "tracking/Marker.h"
#include "tracking/Pattern.h"
#include "tracking/view/Tracker.h"

namespace {

const std::string kSourceDir = PAVONIX_SOURCE_DIR;

// Runs the test body in another current directory and comes back afterwards.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& path)
    {
        char buffer[4096];
        previous_ = getcwd(buffer, sizeof buffer) ? buffer : ".";
        ok_ = chdir(path.c_str()) == 0;
    }
    ~WorkingDirectory()
    {
        if (chdir(previous_.c_str()) != 0) std::perror("chdir");
    }
    bool ok() const { return ok_; }

private:
    std::string previous_;
    bool ok_ = false;
};

class ScratchDir {
public:
    ScratchDir()
    {
        char pattern[] = "/tmp/pavonix-tracker-XXXXXX";
        const char* made = mkdtemp(pattern);
        path_ = made ? made : "";
    }
    ~ScratchDir()
    {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The marker lying face up in front of the camera, tilted a little; `shift` moves it
// sideways in marker units.
void poseInView(double shift, double t[3][4])
{
    const double a = 0.25, c = std::cos(a), s = std::sin(a);
    // Rx(pi + a): the marker's z axis points back at the camera.
    const double r[3][3] = {{1, 0, 0}, {0, -c, s}, {0, -s, -c}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) t[i][j] = r[i][j];
    t[0][3] = 10.0 + shift;
    t[1][3] = -5.0;
    t[2][3] = 330.0;
}

void poseOutOfView(double t[3][4])
{
    poseInView(0.0, t);
    t[0][3] = 3000.0;  // far beyond the right edge
}

class TrackerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("PAVONIX_NO_DIALOGS", "1", 1);
        if (access((kSourceDir + "/Data/camera_para.dat").c_str(), R_OK) != 0 ||
            access((kSourceDir + "/Data/patt.00").c_str(), R_OK) != 0 ||
            access((kSourceDir + "/Data/marker.png").c_str(), R_OK) != 0)
            GTEST_SKIP() << "Data/ lacks the calibration, pattern or marker picture";
    }
    void TearDown() override
    {
        arVideoSetSourceOverride(nullptr);
        arVideoSetOffline(false);
    }

    // Renders one frame per pose into a numbered picture sequence; returns its pattern.
    std::string renderSequence(const std::vector<std::vector<double>>& poses)
    {
        CameraParam file{}, camera{};
        EXPECT_TRUE(loadCameraParam((kSourceDir + "/Data/camera_para.dat").c_str(), 1, &file));
        resizeCameraParam(&file, 640, 480, &camera);
        MarkerImage marker;
        std::string error;
        EXPECT_TRUE(loadMarkerImage((kSourceDir + "/Data/marker.png").c_str(), marker, &error)) << error;
        SceneOptions options;
        options.noiseSigma = 2.0;
        std::vector<uint8_t> bgra(640 * 480 * 4);
        for (size_t k = 0; k < poses.size(); ++k) {
            double t[3][4];
            for (int i = 0; i < 12; ++i) t[i / 4][i % 4] = poses[k][i];
            options.seed = static_cast<uint32_t>(k + 1);
            renderMarkerScene(camera, t, kVirtualMarkerWidth, marker, options, bgra.data());
            cv::Mat frame(480, 640, CV_8UC4, bgra.data()), bgr;
            cv::cvtColor(frame, bgr, cv::COLOR_BGRA2BGR);
            char name[64];
            std::snprintf(name, sizeof name, "/%03zu.png", k);
            EXPECT_TRUE(cv::imwrite(scratch.path() + name, bgr));
        }
        return scratch.path() + "/%03d.png";
    }

    static std::vector<double> flat(const double t[3][4])
    {
        return std::vector<double>(&t[0][0], &t[0][0] + 12);
    }

    // Feeds every frame of the sequence through updateFrame; false if one never came.
    bool processFrame(clTracker& tracker)
    {
        for (int attempt = 0; attempt < 2000; ++attempt)
            if (tracker.updateFrame()) return true;
        return false;
    }

    ScratchDir scratch;
};

TEST_F(TrackerTest, FindsTheMarkerInViewAndLetsGoTwoFramesAfterItLeaves)
{
    std::vector<std::vector<double>> poses;
    double t[3][4];
    for (int k = 0; k < 5; ++k) {
        poseInView(2.0 * k, t);
        poses.push_back(flat(t));
    }
    double lastInView[3][4];
    poseInView(8.0, lastInView);
    for (int k = 0; k < 4; ++k) {
        poseOutOfView(t);
        poses.push_back(flat(t));
    }
    const std::string sequence = renderSequence(poses);

    WorkingDirectory cwd(kSourceDir);
    ASSERT_TRUE(cwd.ok());
    arVideoSetSourceOverride(("file:" + sequence).c_str());
    arVideoSetOffline(true);
    cvImgProc capture;  // where the viewer's tracker copies its frames
    clTracker tracker(g_trackerTables);
    tracker.setFrameCopyStore(&capture);
    ASSERT_TRUE(tracker.initialize());
    EXPECT_EQ(tracker.width, 640);
    EXPECT_EQ(tracker.height, 480);
    EXPECT_EQ(tracker.frameBytes, 640 * 480 * 4);
    EXPECT_DOUBLE_EQ(tracker.modelScale, 0.16);
    EXPECT_DOUBLE_EQ(tracker.markerWidth, 40.0);
    EXPECT_TRUE(tracker.firstPose);

    std::vector<bool> found;
    std::vector<std::vector<double>> transforms;
    for (size_t k = 0; k < poses.size(); ++k) {
        ASSERT_TRUE(processFrame(tracker)) << "frame " << k << " never arrived";
        found.push_back(tracker.markerFound);
        transforms.push_back(flat(tracker.markerTransform));
        // The frame was copied where the background is drawn from.
        ASSERT_EQ(capture.sourceImage.cols, 640);
    }
    for (int k = 0; k < 5; ++k) EXPECT_TRUE(found[k]) << "frame " << k << ": marker in view not found";
    EXPECT_FALSE(tracker.firstPose);

    // The pose of the last frame in view is the rendered one.
    const std::vector<double>& last = transforms[4];
    EXPECT_NEAR(last[3], lastInView[0][3], 4.0);
    EXPECT_NEAR(last[7], lastInView[1][3], 4.0);
    EXPECT_NEAR(last[11], lastInView[2][3], 0.04 * lastInView[2][3]);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(last[4 * i + j], lastInView[i][j], 0.08) << i << "," << j;

    // Gone from frame 5 on: remembered for two processed frames, then lost, with the
    // transform of the last found frame kept.
    EXPECT_TRUE(found[5]);
    EXPECT_TRUE(found[6]);
    EXPECT_FALSE(found[7]);
    EXPECT_FALSE(found[8]);
    EXPECT_EQ(transforms[8], transforms[6]);
}

TEST_F(TrackerTest, FixedThresholdIs130AndTheAutomaticOneIsLocal)
{
    double t[3][4];
    poseInView(0.0, t);
    const std::string sequence = renderSequence({flat(t), flat(t), flat(t)});
    WorkingDirectory cwd(kSourceDir);
    ASSERT_TRUE(cwd.ok());
    arVideoSetSourceOverride(("file:" + sequence).c_str());
    arVideoSetOffline(true);
    clTracker tracker(g_trackerTables);
    ASSERT_TRUE(tracker.initialize());

    ASSERT_TRUE(processFrame(tracker));
    EXPECT_EQ(tracker.threshold, kLocalThreshold);
    EXPECT_TRUE(tracker.markerFound);

    tracker.toggleAutoThreshold();
    EXPECT_FALSE(tracker.autoThreshold);
    EXPECT_EQ(tracker.threshold, 130);
    ASSERT_TRUE(processFrame(tracker));
    EXPECT_EQ(tracker.threshold, 130);  // not recomputed while off
    EXPECT_TRUE(tracker.markerFound);

    tracker.toggleAutoThreshold();
    EXPECT_TRUE(tracker.autoThreshold);
    EXPECT_EQ(tracker.threshold, kLocalThreshold);
    ASSERT_TRUE(processFrame(tracker));
    EXPECT_TRUE(tracker.markerFound);
}

TEST_F(TrackerTest, AFrameWithMoreRegionsThanTheLabelTableHoldsDoesNotEndTheProgram)
{
    double t[3][4];
    poseInView(0.0, t);
    const std::string sequence = renderSequence({flat(t), flat(t)});
    WorkingDirectory cwd(kSourceDir);
    ASSERT_TRUE(cwd.ok());
    arVideoSetSourceOverride(("file:" + sequence).c_str());
    arVideoSetOffline(true);
    clTracker tracker(g_trackerTables);
    ASSERT_TRUE(tracker.initialize());
    ASSERT_EQ(tracker.width, 640);
    ASSERT_EQ(tracker.height, 480);

    // A fine grid of dark specks: 76800 regions, more than twice what the table holds.
    std::vector<uint8_t> busy(static_cast<size_t>(tracker.frameBytes), 255);
    for (int y = 1; y < tracker.height; y += 2)
        for (int x = 1; x < tracker.width; x += 2) {
            uint8_t* p = &busy[(static_cast<size_t>(y) * tracker.width + x) * 4];
            p[0] = p[1] = p[2] = 0;
        }
    resetMarkerHistory();  // nothing remembered from earlier tests
    for (bool automatic : {true, false}) {
        if (tracker.autoThreshold != automatic) tracker.toggleAutoThreshold();
        tracker.processFrame(busy.data());
        EXPECT_FALSE(tracker.markerFound);
        // The full table is for the program to say, once, naming the frame's size.
        const FrameProblem problem = tracker.takeFrameProblem();
        if (automatic) {
            ASSERT_EQ(problem, FrameProblem::LabelOverflow);
            EXPECT_EQ(tracker.frameProblemText(problem),
                      "pavonix: a 640x480 frame held more dark regions than the label table's 32768; the rest were "
                      "skipped (reported once)\n");
        } else {
            EXPECT_EQ(problem, FrameProblem::None);
        }
    }
    tracker.toggleAutoThreshold();
    ASSERT_TRUE(tracker.autoThreshold);
    // Still tracking: the next camera frame finds the marker.
    ASSERT_TRUE(processFrame(tracker));
    EXPECT_TRUE(tracker.markerFound);
}

TEST_F(TrackerTest, StartUpFailuresAreReportedAndReleaseTheCamera)
{
    ScratchDir place;
    ASSERT_FALSE(place.path().empty());
    const std::string data = place.path() + "/Data";
    ASSERT_EQ(std::system(("mkdir '" + data + "'").c_str()), 0);
    const auto copy = [&](const char* name) {
        return std::system(("cp '" + kSourceDir + "/Data/" + name + "' '" + data + "/'").c_str()) == 0;
    };
    ASSERT_TRUE(copy("WDM_camera_flipV.xml"));
    // A still picture as the camera: it needs nothing from Data/.
    const std::string picture = place.path() + "/still.png";
    ASSERT_TRUE(cv::imwrite(picture, cv::Mat(480, 640, CV_8UC3, cv::Scalar(90, 120, 150))));
    WorkingDirectory cwd(place.path());
    ASSERT_TRUE(cwd.ok());
    arVideoSetSourceOverride(("file:" + picture).c_str());
    clTracker tracker(g_trackerTables);

    // Each failure comes back with the message box the program shows for it.
    const auto startsWith = [](const std::string& text, const char* head) { return text.rfind(head, 0) == 0; };
    const TrackerStart noCalibration = tracker.initialize();
    EXPECT_FALSE(noCalibration);
    EXPECT_EQ(noCalibration.caption, "Error");
    EXPECT_TRUE(startsWith(noCalibration.text, "Error loading parameter file for camera.\n")) << noCalibration.text;
    EXPECT_NE(noCalibration.text.find("camera_para.dat"), std::string::npos) << noCalibration.text;

    ASSERT_TRUE(copy("camera_para.dat"));
    const TrackerStart noPattern = tracker.initialize();
    EXPECT_FALSE(noPattern);
    EXPECT_EQ(noPattern.caption, "Error");
    EXPECT_TRUE(startsWith(noPattern.text, "Pattern file load error !!\n")) << noPattern.text;

    arVideoSetSourceOverride("file:/nonexistent/clip.avi");
    const TrackerStart noCamera = tracker.initialize();
    EXPECT_FALSE(noCamera);
    EXPECT_EQ(noCamera.caption, "Error");
    EXPECT_TRUE(startsWith(noCamera.text, "Unable to open connection to camera.\n")) << noCamera.text;

    // Each failure closed the camera again: with everything present it opens.
    ASSERT_TRUE(copy("patt.00"));
    arVideoSetSourceOverride(("file:" + picture).c_str());
    EXPECT_TRUE(tracker.initialize());
    tracker.shutdown();
    tracker.shutdown();  // a second shutdown finds nothing to release
}

// Two markers carrying the loaded pattern in one frame: the better match is tracked,
// wherever it stands in the detection list.
TEST_F(TrackerTest, TracksTheMarkerWithTheHigherConfidence)
{
    CameraParam file{}, camera{};
    ASSERT_TRUE(loadCameraParam((kSourceDir + "/Data/camera_para.dat").c_str(), 1, &file));
    resizeCameraParam(&file, 640, 480, &camera);
    MarkerImage marker;
    std::string error;
    ASSERT_TRUE(loadMarkerImage((kSourceDir + "/Data/marker.png").c_str(), marker, &error)) << error;

    clTracker tracker(g_trackerTables);  // set up as initialize does, with frames from memory
    tracker.width = 640;
    tracker.height = 480;
    tracker.frameBytes = 640 * 480 * 4;
    tracker.cameraParam = camera;
    setTrackerCameraParam(&tracker.cameraParam);
    tracker.patternId = loadPatternFile((kSourceDir + "/Data/patt.00").c_str());
    ASSERT_GE(tracker.patternId, 0);
    tracker.markerWidth = 40.0;
    tracker.firstPose = true;

    const std::vector<uint8_t> blank(640 * 480 * 4, 128);
    for (int side = 0; side < 2; ++side) {
        SCOPED_TRACE(side ? "near marker on the right" : "near marker on the left");
        const double sign = side ? 1.0 : -1.0;
        double nearPose[3][4], farPose[3][4];
        poseInView(0.0, nearPose);
        nearPose[0][3] = sign * 95.0;
        nearPose[2][3] = 300.0;
        poseInView(0.0, farPose);
        farPose[0][3] = -sign * 120.0;
        farPose[2][3] = 470.0;
        std::vector<uint8_t> nearFrame(640 * 480 * 4), farFrame(640 * 480 * 4), frame(640 * 480 * 4);
        SceneOptions options;
        renderMarkerScene(camera, nearPose, kVirtualMarkerWidth, marker, options, nearFrame.data());
        renderMarkerScene(camera, farPose, kVirtualMarkerWidth, marker, options, farFrame.data());
        for (int y = 0; y < 480; ++y)
            for (int x = 0; x < 640; ++x) {
                const bool fromNear = (x >= 320) == (side == 1);
                const size_t i = (static_cast<size_t>(y) * 640 + x) * 4;
                std::memcpy(&frame[i], fromNear ? &nearFrame[i] : &farFrame[i], 4);
            }

        // Forget earlier markers, then see what detection reports for this frame.
        for (int k = 0; k < 4; ++k) tracker.processFrame(blank.data());
        DetectedMarker* markers = nullptr;
        int count = 0;
        ASSERT_EQ(detectMarkers(frame.data(), 100, &markers, &count), 0);
        int best = -1, matching = 0;
        for (int i = 0; i < count; ++i) {
            if (markers[i].pattern != tracker.patternId) continue;
            ++matching;
            if (best < 0 || markers[i].confidence > markers[best].confidence) best = i;
        }
        ASSERT_EQ(matching, 2);
        const double expectedX = markers[best].center[0];

        tracker.autoThreshold = false;
        tracker.threshold = 100;
        tracker.firstPose = true;
        tracker.processFrame(frame.data());
        ASSERT_TRUE(tracker.markerFound);
        const double* t = &tracker.markerTransform[0][0];
        const double u = (camera.projection[0][0] * t[3] + camera.projection[0][1] * t[7] +
                          camera.projection[0][2] * t[11]) / t[11];
        EXPECT_NEAR(u, expectedX, 6.0);
    }
    freePatternSlot(tracker.patternId);
}

TEST(TrackerSettings, ScaleStepStaysWithinItsRange)
{
    clTracker tracker(g_trackerTables);
    tracker.modelScale = 0.16;
    for (int i = 0; i < 100; ++i) tracker.scaleStep(-0.01);
    EXPECT_DOUBLE_EQ(tracker.modelScale, 0.01);
    tracker.scaleStep(-0.01);
    EXPECT_DOUBLE_EQ(tracker.modelScale, 0.01);
    for (int i = 0; i < 100; ++i) tracker.scaleStep(0.01);
    EXPECT_DOUBLE_EQ(tracker.modelScale, 0.8);
    tracker.scaleStep(0.01);
    EXPECT_DOUBLE_EQ(tracker.modelScale, 0.8);
    tracker.scaleStep(-0.01);
    EXPECT_NEAR(tracker.modelScale, 0.79, 1e-12);
}

TEST(TrackerSettings, CameraPositionIsAboveTheModelWhenLookingDownOnTheMarker)
{
    if (!ensureGLContext(64, 48)) GTEST_SKIP() << "no X display for a GL context";
    clTracker tracker(g_trackerTables);
    ASSERT_TRUE(tracker.initArgl());
    ASSERT_NE(tracker.arglContext, nullptr);
    // The axis matrices are quarter turns in single precision: cos(pi/2) is not 0.
    EXPECT_FLOAT_EQ(tracker.modelAxis[6], 1.0f);
    EXPECT_FLOAT_EQ(tracker.modelAxis[9], -1.0f);
    EXPECT_FLOAT_EQ(tracker.modelAxisInverse[6], -1.0f);
    EXPECT_NE(tracker.modelAxis[5], 0.0f);
    EXPECT_NEAR(tracker.modelAxis[5], -4.371139e-8f, 1e-12f);

    // Camera 300 units straight above the marker centre, 50 units towards its +x.
    const double t[3][4] = {{1, 0, 0, -50}, {0, -1, 0, 0}, {0, 0, -1, 300}};
    std::memcpy(tracker.markerTransform, t, sizeof t);
    tracker.modelScale = 0.16;
    float position[3];
    tracker.cameraPositionInModel(position);
    // Model frame: y up out of the marker, z towards the marker's -y.
    EXPECT_NEAR(position[0], 50 * 0.16f, 1e-4f);
    EXPECT_NEAR(position[1], 300 * 0.16f, 1e-4f);
    EXPECT_NEAR(position[2], 0.0f, 1e-4f);
    tracker.shutdown();
    EXPECT_EQ(tracker.arglContext, nullptr);
}

}  // namespace
