// Runs the built pavonix-calibrate on pictures of the marker rendered here.

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "calibrate/CameraModel.h"
#include "common/ProgramRun.h"
#include "common/TrackingFixtures.h"

namespace {

std::string toolPath() { return std::string(PAVONIX_BINARY_DIR) + "/tools/pavonix-calibrate"; }

class CalibrateToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(toolPath().c_str(), X_OK) != 0) GTEST_SKIP() << "pavonix-calibrate not built";
        dir_ = makeTempDir("pavonix-calibrate");
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override {
        if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    // A 640x480 camera of 55 degrees with a mild lens; writes count tilted views as PNG.
    std::vector<std::string> writeViews(int count, CameraParam* cameraOut) {
        CameraParam camera = pinholeCamera(640, 480);
        const double f = 320.0 / std::tan(27.5 * M_PI / 180.0);
        camera.projection[0][0] = camera.projection[1][1] = f;
        camera.distortion[2] = 1.5;
        *cameraOut = camera;
        std::mt19937 rng(77);
        PoseRange range;
        range.minWidths = 3.0;
        range.maxWidths = 7.0;
        std::vector<std::string> names;
        std::vector<uint8_t> bgra(640 * 480 * 4);
        for (int i = 0; i < count; ++i) {
            double pose[3][4];
            randomMarkerPose(rng, camera, 40.0, range, pose);
            SceneOptions options;
            options.noiseSigma = 3.0;
            options.seed = 300u + static_cast<uint32_t>(i);
            renderMarkerScene(camera, pose, 40.0, committedMarker(), options, bgra.data());
            cv::Mat frame(480, 640, CV_8UC4, bgra.data()), bgr;
            cv::cvtColor(frame, bgr, cv::COLOR_BGRA2BGR);
            names.push_back(dir_ + "/view" + std::to_string(i) + ".png");
            EXPECT_TRUE(cv::imwrite(names.back(), bgr));
        }
        return names;
    }

    std::string dir_;
};

}  // namespace

TEST_F(CalibrateToolTest, HelpGivesTheUsage) {
    std::string output;
    EXPECT_EQ(runToEnd(toolPath(), {"--help"}, dir_, {}, 30, &output), 0);
    EXPECT_NE(output.find("usage: pavonix-calibrate"), std::string::npos) << output;
    EXPECT_NE(output.find("--out FILE"), std::string::npos) << output;
    EXPECT_NE(output.find("--device"), std::string::npos) << output;

    EXPECT_EQ(runToEnd(toolPath(), {}, dir_, {}, 30, &output), 2);
    EXPECT_NE(output.find("no input given"), std::string::npos) << output;
    EXPECT_EQ(runToEnd(toolPath(), {"--views", "3", "x.png"}, dir_, {}, 30, &output), 2);
    EXPECT_NE(output.find("--views must be a whole number from 10 to 1000"), std::string::npos) << output;
    EXPECT_EQ(runToEnd(toolPath(), {dir_ + "/missing.png"}, dir_, {}, 30, &output), 2);
    EXPECT_NE(output.find("missing.png: cannot open: No such file or directory"), std::string::npos) << output;
}

TEST_F(CalibrateToolTest, WritesTheFileNamedByOutFromImages) {
    CameraParam truth;
    std::vector<std::string> args = writeViews(14, &truth);
    const std::string out = dir_ + "/mine.dat";
    args.insert(args.begin(), {"--out", out});
    std::string output;
    ASSERT_EQ(runToEnd(toolPath(), args, dir_, {}, 60, &output), 0) << output;
    EXPECT_NE(output.find("view0.png: view accepted; 1 view, 19 still wanted"), std::string::npos) << output;
    EXPECT_NE(output.find("reprojection error: "), std::string::npos) << output;
    EXPECT_NE(output.find("written to " + out), std::string::npos) << output;

    CameraParam written;
    ASSERT_TRUE(loadCameraParam(out.c_str(), 1, &written).ok());
    EXPECT_EQ(written.width, 640);
    EXPECT_EQ(written.height, 480);
    const CameraModel model = modelFromCameraParam(written);
    EXPECT_NEAR(model.fx, truth.projection[0][0], 0.01 * truth.projection[0][0]);
    EXPECT_NEAR(model.px, truth.projection[0][2], 0.01 * 640);
    EXPECT_NEAR(model.py, truth.projection[1][2], 0.01 * 640);
    EXPECT_EQ(access((dir_ + "/camera_para.dat").c_str(), F_OK), -1) << "only the file named is written";
}

TEST_F(CalibrateToolTest, RefusesTooFewViewsWithTheReasonAndWritesNothing) {
    CameraParam truth;
    std::vector<std::string> args = writeViews(3, &truth);
    const std::string out = dir_ + "/few.dat";
    args.insert(args.begin(), {"--out", out});
    std::string output;
    EXPECT_EQ(runToEnd(toolPath(), args, dir_, {}, 60, &output), 1) << output;
    EXPECT_NE(output.find("pavonix-calibrate: calibration refused: too few views: 3 of at least 10 accepted"),
              std::string::npos)
        << output;
    EXPECT_EQ(access(out.c_str(), F_OK), -1);
}

TEST_F(CalibrateToolTest, TakesTheViewsFromAVideoFile) {
    CameraParam truth;
    const std::vector<std::string> images = writeViews(14, &truth);
    // Each view held for three frames, as a hand holds the marker still: the repeats
    // add nothing and are passed over in silence.
    const std::string video = dir_ + "/views.avi";
    cv::VideoWriter writer(video, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10.0, cv::Size(640, 480));
    if (!writer.isOpened()) GTEST_SKIP() << "no MJPEG writer in this OpenCV";
    for (const std::string& name : images) {
        const cv::Mat frame = cv::imread(name);
        for (int k = 0; k < 3; ++k) writer.write(frame);
    }
    writer.release();
    const std::string out = dir_ + "/video.dat";
    std::string output;
    ASSERT_EQ(runToEnd(toolPath(), {"--out", out, video}, dir_, {}, 60, &output), 0) << output;
    EXPECT_NE(output.find("views.avi frame 0: view accepted"), std::string::npos) << output;
    EXPECT_EQ(output.find("views.avi frame 1:"), std::string::npos) << "a repeat is not reported: " << output;
    CameraParam written;
    ASSERT_TRUE(loadCameraParam(out.c_str(), 1, &written).ok());
    EXPECT_NEAR(modelFromCameraParam(written).fx, truth.projection[0][0], 0.01 * truth.projection[0][0]);
}
