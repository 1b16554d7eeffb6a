// Where a tool's frames come from: still images, video files (or numbered image
// sequences) and a camera, all handed out as B, G, R, A frames.
#pragma once

#include <memory>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "platform/video/VideoSource.h"

class FrameInput {
public:
    // A still image, a video file, or a printf pattern of numbered images. False with a
    // reason (not naming the file; the caller does) when it cannot be read.
    bool openFile(const std::string& path, std::string* error);
    // A camera: a device path or an index. The error names the device.
    bool openCamera(const std::string& device, int width, int height, std::string* error);

    // The next frame as B, G, R, A, or false at the end (a camera never ends).
    bool next(cv::Mat* bgra);
    bool isCamera() const { return camera_ != nullptr; }
    bool isVideo() const { return video_; }

private:
    cv::VideoCapture capture_;
    cv::Mat still_;
    bool video_ = false;
    bool stillDone_ = false;
    std::unique_ptr<VideoSource> camera_;
};
