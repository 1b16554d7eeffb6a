#include "platform/video/VideoFileOpen.h"

namespace {

bool tryOpen(cv::VideoCapture& capture, const std::string& path, int api) {
    try {
        return capture.open(path, api);
    } catch (const cv::Exception&) {
        return false;
    }
}

}  // namespace

bool openVideoFile(cv::VideoCapture& capture, const std::string& path, bool sequence) {
    capture.release();
    if (sequence) {
        if (tryOpen(capture, path, cv::CAP_IMAGES)) return true;
    } else {
        // Not CAP_ANY: that walks the camera backends too, and the gPhoto2 one probes every
        // USB device (seconds, and memory it never frees) before refusing a file nothing reads.
        for (int api : {cv::CAP_FFMPEG, cv::CAP_GSTREAMER, cv::CAP_OPENCV_MJPEG})
            if (tryOpen(capture, path, api)) return true;
    }
    capture.release();
    return false;
}
