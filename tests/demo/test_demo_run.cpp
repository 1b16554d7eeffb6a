// What ./run.sh shows on a machine without a camera: the demo character dancing on the
// marker. The camera picture is held still here so that every change between two
// screenshots is the character's own movement.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "common/ProgramRun.h"
#include "scene/MarkerScene.h"
#include "tracking/CameraParam.h"

namespace {

const std::string kSource = PAVONIX_SOURCE_DIR;

// The virtual camera's view two seconds in, as one still picture (BGR).
cv::Mat stillView() {
    CameraParam full, camera;
    if (!loadCameraParam((kSource + "/Data/camera_para.dat").c_str(), 1, &full)) return {};
    resizeCameraParam(&full, 640, 480, &camera);
    MarkerImage marker;
    std::string error;
    if (!loadMarkerImage((kSource + "/Data/marker.png").c_str(), marker, &error)) return {};
    double pose[3][4];
    virtualCameraPose(2.0, pose);
    cv::Mat bgra(480, 640, CV_8UC4);
    renderMarkerScene(camera, pose, kVirtualMarkerWidth, marker, SceneOptions(), bgra.data);
    cv::Mat bgr;
    cv::cvtColor(bgra, bgr, cv::COLOR_BGRA2BGR);
    return bgr;
}

// Waits until a new screenshot (full path) appears in the folder and is complete.
std::string waitForNewShot(const std::string& dir, const std::set<std::string>& before, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        for (const auto& path : listFilesWithPrefix(dir, "img")) {
            if (before.count(path)) continue;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the writer finish
            if (!cv::imread(path).empty()) return path;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {};
}

int changedPixels(const cv::Mat& a, const cv::Mat& b, cv::Rect* box) {
    int n = 0;
    int x0 = a.cols, y0 = a.rows, x1 = -1, y1 = -1;
    for (int y = 0; y < a.rows; ++y) {
        for (int x = 0; x < a.cols; ++x) {
            const cv::Vec3b p = a.at<cv::Vec3b>(y, x), q = b.at<cv::Vec3b>(y, x);
            if (std::abs(p[0] - q[0]) + std::abs(p[1] - q[1]) + std::abs(p[2] - q[2]) > 24) {
                ++n;
                x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
            }
        }
    }
    if (box) *box = n ? cv::Rect(x0, y0, x1 - x0 + 1, y1 - y0 + 1) : cv::Rect();
    return n;
}

}  // namespace

TEST(DemoRun, RunShStartsTheDemo) {
    std::ifstream in(kSource + "/run.sh");
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_NE(ss.str().find("--model Data/demo/pavo.pmd --motion Data/demo/dance.vmd"), std::string::npos);
}

TEST(DemoRun, TheCharacterStandsOnTheMarkerAndDances) {
    if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no X display";
    const cv::Mat still = stillView();
    ASSERT_FALSE(still.empty());
    const std::string dir = makeTempDir("pavonix-demo-run");
    ASSERT_TRUE(cv::imwrite(dir + "/view.png", still));

    const std::string exeDir = std::string(PAVONIX_BINARY_DIR) + "/app";
    const std::set<std::string> before = listFilesWithPrefix(exeDir, "img");
    ProgramRun run;
    ASSERT_TRUE(run.start(pavonixExecutable(), {"--model", "Data/demo/pavo.pmd", "--motion", "Data/demo/dance.vmd"},
                          kSource, {{"PAVONIX_VIDEO", "file:" + dir + "/view.png"}, {"PAVONIX_NO_DIALOGS", "1"}}));
    const unsigned long window = findWindowByName("Pavonix", 60.0);
    ASSERT_NE(window, 0u) << run.output();

    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_TRUE(sendKey(window, "s"));
    const std::string first = waitForNewShot(exeDir, before, 30.0);
    ASSERT_FALSE(first.empty()) << run.output();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::set<std::string> afterFirst = before;
    afterFirst.insert(first);
    ASSERT_TRUE(sendKey(window, "s"));
    const std::string second = waitForNewShot(exeDir, afterFirst, 30.0);
    ASSERT_FALSE(second.empty()) << run.output();
    closeWindow(window);
    int status = -1;
    EXPECT_TRUE(run.wait(20.0, &status));
    EXPECT_EQ(status, 0) << run.output();

    const cv::Mat a = cv::imread(first), b = cv::imread(second);
    ASSERT_EQ(a.size(), still.size());
    // The character and its shadow cover the marker's neighbourhood; the picture far
    // from it is untouched.
    cv::Rect drawn;
    const int covered = changedPixels(a, still, &drawn);
    EXPECT_GT(covered, 2000) << "nothing drawn over the camera picture";
    double mx, my;
    CameraParam full, camera;
    ASSERT_TRUE(loadCameraParam((kSource + "/Data/camera_para.dat").c_str(), 1, &full));
    resizeCameraParam(&full, 640, 480, &camera);
    double pose[3][4];
    virtualCameraPose(2.0, pose);
    ASSERT_TRUE(projectMarkerPoint(camera, pose, 0.0, 0.0, &mx, &my));
    EXPECT_TRUE(drawn.contains(cv::Point(static_cast<int>(mx), static_cast<int>(my))))
        << "the drawing " << drawn << " does not cover the marker centre (" << mx << ", " << my << ")";
    // Darker pixels beside the character: the shadow on the table.
    int darker = 0;
    for (int y = 0; y < a.rows; ++y) {
        for (int x = 0; x < a.cols; ++x) {
            const cv::Vec3b p = a.at<cv::Vec3b>(y, x), q = still.at<cv::Vec3b>(y, x);
            const int sp = p[0] + p[1] + p[2], sq = q[0] + q[1] + q[2];
            if (sq > 150 && std::abs(sp - (sq / 2 + 3 * 51 / 2)) < 24) ++darker;
        }
    }
    EXPECT_GT(darker, 300) << "no shadow";
    // A second later the character has moved.
    cv::Rect moved;
    EXPECT_GT(changedPixels(a, b, &moved), 200) << "the character did not move";
    EXPECT_TRUE((moved & drawn).area() > 0);
    std::remove(first.c_str());
    std::remove(second.c_str());
    std::system(("rm -rf " + dir).c_str());
}
