#include "platform/video/VideoFileOpen.h"

bool openVideoFile(cv::VideoCapture& capture, const std::string& path, bool sequence) {
    // Not CAP_ANY: that walks the camera backends too, and the gPhoto2 one probes every
    // USB device (seconds, and memory it never frees) before refusing a file nothing reads.
    static const int fileReaders[] = {cv::CAP_FFMPEG, cv::CAP_GSTREAMER, cv::CAP_OPENCV_MJPEG};
    capture.release();
    for (int api : fileReaders) {
        try {
            if (capture.open(path, sequence ? int(cv::CAP_IMAGES) : api)) return true;
        } catch (const cv::Exception&) {
        }
        if (sequence) break;
    }
    capture.release();
    return false;
}
