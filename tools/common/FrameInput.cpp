// Frames for the tools from files or a camera.

#include "common/FrameInput.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/video/VideoFileOpen.h"

bool FrameInput::openFile(const std::string& path, std::string* error) {
    const bool sequence = path.find('%') != std::string::npos;
    if (!sequence) {
        struct stat info;
        if (stat(path.c_str(), &info) != 0) {
            *error = std::string("cannot open: ") + std::strerror(errno);
            return false;
        }
        if (access(path.c_str(), R_OK) != 0) {
            *error = std::string("cannot read: ") + std::strerror(errno);
            return false;
        }
        if (cv::haveImageReader(path)) {
            still_ = cv::imread(path, cv::IMREAD_COLOR);
            if (still_.empty()) {
                *error = "not a readable image";
                return false;
            }
            return true;
        }
    }
    if (!openVideoFile(capture_, path, sequence)) {
        *error = sequence ? "no frames match this image sequence pattern" : "not a readable image or video";
        return false;
    }
    video_ = true;
    return true;
}

bool FrameInput::openCamera(const std::string& device, int width, int height, std::string* error) {
    VideoConfig config;
    config.source = VideoConfig::Source::Camera;
    config.device = device;
    config.width = width;
    config.height = height;
    camera_ = openCameraSource(config, error);
    if (!camera_) return false;
    if (!camera_->start()) {
        *error = "camera " + device + ": cannot start capturing";
        camera_.reset();
        return false;
    }
    return true;
}

bool FrameInput::next(cv::Mat* bgra) {
    if (camera_) {
        // Wait for the next picture the capture thread hands over; a camera silent for
        // seconds has gone away.
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < giveUp) {
            uint8_t* frame = camera_->getImage();
            if (frame != nullptr) {
                cv::Mat(camera_->height(), camera_->width(), CV_8UC4, frame).copyTo(*bgra);
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    cv::Mat bgr;
    if (video_) {
        if (!capture_.read(bgr) || bgr.empty()) return false;
    } else {
        if (stillDone_ || still_.empty()) return false;
        stillDone_ = true;
        bgr = still_;
    }
    if (bgr.channels() == 1)
        cv::cvtColor(bgr, *bgra, cv::COLOR_GRAY2BGRA);
    else if (bgr.channels() == 4)
        bgr.copyTo(*bgra);
    else
        cv::cvtColor(bgr, *bgra, cv::COLOR_BGR2BGRA);
    return true;
}
