// Runs the built pavonix-track on frames rendered here.
#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "common/ProgramRun.h"
#include "common/TrackingFixtures.h"

namespace {

std::string toolPath() { return std::string(PAVONIX_BINARY_DIR) + "/tools/pavonix-track"; }

class TrackToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(toolPath().c_str(), X_OK) != 0) GTEST_SKIP() << "pavonix-track not built";
        char pattern[] = "/tmp/pavonix-track-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    std::vector<std::string> lines(const std::string& text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && line[0] == '{') out.push_back(line);
        return out;
    }

    std::string dir_;
};

}  // namespace

TEST_F(TrackToolTest, ReportsTheMarkerInEveryFrameOfASequenceWhereItIsInView) {
    const CameraParam& camera = committedCamera();
    std::vector<uint8_t> bgra(static_cast<size_t>(camera.width) * camera.height * 4);
    // Five frames of the marker drifting, then one with it far out of view at the end of
    // a run of unseen frames (the tracker remembers a marker for two frames).
    const int frames = 8;
    std::vector<bool> inView(frames);
    for (int i = 0; i < frames; ++i) {
        double pose[3][4];
        facingMarkerPose(camera, 220.0 + 10 * i, 0.3 * i, 280 + 15 * i, 220 + 5 * i, pose);
        inView[i] = i < 5;
        if (!inView[i]) pose[0][3] += 5000.0;
        SceneOptions options;
        options.noiseSigma = 2.0;
        options.seed = i + 1;
        renderMarkerScene(camera, pose, 40.0, committedMarker(), options, bgra.data());
        cv::Mat frame(camera.height, camera.width, CV_8UC4, bgra.data()), bgr;
        cv::cvtColor(frame, bgr, cv::COLOR_BGRA2BGR);
        char name[64];
        std::snprintf(name, sizeof name, "/f%03d.png", i);
        ASSERT_TRUE(cv::imwrite(dir_ + name, bgr));
    }
    std::string output;
    const int status = runToEnd(toolPath(),
                                {"--camera", committedDataPath("camera_para.dat"), "--pattern",
                                 committedDataPath("patt.00"), dir_ + "/f%03d.png"},
                                dir_, {}, 120.0, &output);
    ASSERT_EQ(status, 0) << output;
    const auto json = lines(output);
    ASSERT_EQ(json.size(), static_cast<size_t>(frames)) << output;
    for (int i = 0; i < frames; ++i) {
        EXPECT_NE(json[i].find("\"frame\": " + std::to_string(i) + ","), std::string::npos) << json[i];
        EXPECT_NE(json[i].find("\"width\": 640, \"height\": 480"), std::string::npos);
        const bool found = json[i].find("\"pattern\": 0,") != std::string::npos;
        if (inView[i]) {
            EXPECT_TRUE(found) << "frame " << i << ": " << json[i];
            EXPECT_NE(json[i].find("\"transform\": [["), std::string::npos);
            // A clear, noisy view: its edges are found to subpixel precision.
            EXPECT_NE(json[i].find("\"refined\": true"), std::string::npos) << json[i];
        }
    }
    // Five frames unseen: the last two report nothing.
    EXPECT_NE(json[7].find("\"markers\": []"), std::string::npos) << json[7];
}

TEST_F(TrackToolTest, MissingOrBadFilesFailWithAMessage) {
    std::string output;
    EXPECT_NE(runToEnd(toolPath(),
                       {"--camera", committedDataPath("camera_para.dat"), "--pattern", committedDataPath("patt.00"),
                        dir_ + "/missing.png"},
                       dir_, {}, 60.0, &output),
              0);
    EXPECT_NE(output.find("missing.png"), std::string::npos) << output;

    output.clear();
    EXPECT_NE(runToEnd(toolPath(), {"--camera", dir_ + "/none.dat", dir_ + "/x.png"}, dir_, {}, 60.0, &output), 0);
    EXPECT_NE(output.find("none.dat"), std::string::npos) << output;

    // A pattern file with too few numbers.
    const std::string shortPattern = dir_ + "/short.patt";
    FILE* f = std::fopen(shortPattern.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("1 2 3\n", f);
    std::fclose(f);
    output.clear();
    EXPECT_NE(runToEnd(toolPath(), {"--camera", committedDataPath("camera_para.dat"), "--pattern", shortPattern,
                                    dir_ + "/x.png"},
                       dir_, {}, 60.0, &output),
              0);
    EXPECT_NE(output.find("short.patt"), std::string::npos) << output;
}

TEST_F(TrackToolTest, AMarkerFollowedFromThePreviousFrameIsMarkedTrackedAndStillsNeverAre) {
    const CameraParam& camera = committedCamera();
    std::vector<uint8_t> bgra(static_cast<size_t>(camera.width) * camera.height * 4);
    double pose[3][4];
    facingMarkerPose(camera, 260.0, 0.4, 320, 240, pose);
    double corners[4][2];
    ASSERT_TRUE(trueCorners(camera, pose, 40.0, corners));
    // Three whole views, then three with a dark finger over the right-hand side reaching
    // to the edge of the picture: its frame joins the hand and no square is left to find.
    const int frames = 6;
    cv::Mat covered;
    for (int i = 0; i < frames; ++i) {
        SceneOptions options;
        options.noiseSigma = 2.0;
        options.seed = i + 1;
        renderMarkerScene(camera, pose, 40.0, committedMarker(), options, bgra.data());
        cv::Mat frame(camera.height, camera.width, CV_8UC4, bgra.data()), bgr;
        cv::cvtColor(frame, bgr, cv::COLOR_BGRA2BGR);
        if (i >= 3) {
            const cv::Point a(int(corners[1][0] + corners[2][0]) / 2, int(corners[1][1] + corners[2][1]) / 2);
            const cv::Point b(int(2 * a.x - (corners[0][0] + corners[3][0]) / 2) + camera.width, a.y);
            cv::line(bgr, a, b, cv::Scalar(40, 52, 78), 12, cv::LINE_AA);
            covered = bgr.clone();
        }
        char name[64];
        std::snprintf(name, sizeof name, "/f%03d.png", i);
        ASSERT_TRUE(cv::imwrite(dir_ + name, bgr));
    }
    ASSERT_TRUE(cv::imwrite(dir_ + "/still.png", covered));

    std::string output;
    ASSERT_EQ(runToEnd(toolPath(),
                       {"--camera", committedDataPath("camera_para.dat"), "--pattern", committedDataPath("patt.00"),
                        dir_ + "/f%03d.png", dir_ + "/still.png"},
                       dir_, {}, 120.0, &output),
              0)
        << output;
    const auto json = lines(output);
    ASSERT_EQ(json.size(), static_cast<size_t>(frames + 1)) << output;
    for (int i = 0; i < frames; ++i) {
        const std::string& line = json[i];
        ASSERT_NE(line.find("\"pattern\": 0,"), std::string::npos) << "frame " << i << ": " << line;
        EXPECT_EQ(line.find("\"tracked\": true") != std::string::npos, i >= 3) << "frame " << i << ": " << line;
        // Followed or found, the corners are where the marker is.
        const size_t at = line.find("\"corners\": [[");
        ASSERT_NE(at, std::string::npos);
        double c[4][2];
        ASSERT_EQ(std::sscanf(line.c_str() + at, "\"corners\": [[%lf, %lf], [%lf, %lf], [%lf, %lf], [%lf, %lf]]",
                              &c[0][0], &c[0][1], &c[1][0], &c[1][1], &c[2][0], &c[2][1], &c[3][0], &c[3][1]),
                  8);
        for (int k = 0; k < 4; ++k) {
            double ox, oy;
            idealToObserved(camera.distortion, c[k][0], c[k][1], &ox, &oy);
            EXPECT_LT(std::hypot(ox - corners[k][0], oy - corners[k][1]), 2.0) << "frame " << i << " corner " << k;
        }
    }
    // The same covered picture on its own has no frame before it to follow from.
    EXPECT_EQ(json[frames].find("\"tracked\""), std::string::npos) << json[frames];
    EXPECT_NE(json[frames].find("\"markers\": []"), std::string::npos) << json[frames];
}
