// A running pavonix fed with a still camera picture of the marker at a known pose, with
// helpers that drive it like a user (keys, menu, file dialog) and collect the
// screenshots it writes with the S key.
#pragma once

#include <opencv2/core.hpp>

#include <set>
#include <string>

#include "common/ProgramRun.h"
#include "tracking/CameraParam.h"

class LiveProgram {
public:
    // Renders the marker at the test pose into an image sequence and starts the program
    // on it. extraArgs are passed on (e.g. --model). roomLight, when given, scales the
    // picture's R, G and B (paper included) as a tinted or dimmed room would. Skips
    // nothing itself: check ok().
    explicit LiveProgram(const std::vector<std::string>& extraArgs = {}, const double* roomLight = nullptr);
    ~LiveProgram();

    bool ok() const { return window_ != 0; }
    unsigned long window() const { return window_; }
    ProgramRun& run() { return run_; }
    const std::string& dir() const { return dir_; }

    // Queues the file the next file dialog of the program chooses.
    void chooseFile(const std::string& path);
    bool key(const std::string& name) { return sendKey(window_, name); }
    // Selects menu entry id (1-based) with the right mouse button.
    bool menu(int id);
    // Presses S and returns the screenshot it wrote (BGRA), removing the file.
    cv::Mat screenshot();
    // File name (no folder) of the last screenshot taken.
    const std::string& lastScreenshotName() const { return lastShot_; }
    // With the axes on (X): a screenshot of a frame in which the marker was found.
    cv::Mat sceneShot();
    // Screenshots sceneShot threw away because the marker was missed.
    int missedFrames() const { return missedFrames_; }
    // A screenshot once the camera picture is shown.
    cv::Mat cameraPicture();
    // Waits for the window to reach the given size.
    bool waitForSize(int width, int height, double seconds);

    // Pixel position of the model-frame point (x, y, z) (vertex coordinates) at the
    // default model scale, as the program draws it.
    cv::Point2d project(double x, double y, double z) const;

    // Files named prefix*.ext in the executable's folder that did not exist at start.
    std::set<std::string> newOutputFiles(const std::string& prefix, const std::string& ext) const;

    static constexpr double kModelScale = 0.16;

private:
    std::string dir_;
    ProgramRun run_;
    unsigned long window_ = 0;
    CameraParam camera_{};
    double pose_[3][4]{};
    std::set<std::string> filesAtStart_;
    std::string lastShot_;
    int missedFrames_ = 0;
    int choices_ = 0;
};

// Share of pixels in the square of half-size r around c whose largest channel
// difference between a and b exceeds threshold.
double changedShare(const cv::Mat& a, const cv::Mat& b, cv::Point2d c, int r, int threshold = 40);
// A pixel that the shadow quad darkened: half its background plus half of grey 0.2.
bool isShadowOf(const cv::Vec4b& shot, const cv::Vec4b& background);
// Height of the head bone of a model file at rest, in model units (0 when not found).
double headHeight(const std::string& modelPath);
// Directory listing helper.
std::set<std::string> listFiles(const std::string& dir, const std::string& prefix, const std::string& ext);
