// A V4L2 camera through OpenCV's capture, read on the capture thread.
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "platform/video/VideoSource.h"

namespace {

bool isIndex(const std::string& device) {
    return !device.empty() && device.size() < 4 && device.find_first_not_of("0123456789") == std::string::npos;
}

class CameraSource : public VideoSource {
public:
    CameraSource(cv::VideoCapture capture, bool flipV) : capture_(std::move(capture)), flipV_(flipV) {}
    ~CameraSource() override { stopThread(); }

    void init(int width, int height, double fps, const std::string& name) {
        setFormat(width, height, fps, -1, name, false);
    }

protected:
    bool produce(long, uint8_t* dst) override {
        if (!capture_.read(frame_) || frame_.empty()) return false;
        return converter_.convert(&frame_, width(), height(), flipV_, dst);
    }
    bool pacedByClock() const override { return false; }  // read() waits for the camera

private:
    cv::VideoCapture capture_;
    bool flipV_;
    cv::Mat frame_;
    FrameConverter converter_;
};

}  // namespace

std::unique_ptr<VideoSource> openCameraSource(const VideoConfig& config, std::string* error) {
    const std::string name = "camera " + config.device;
    const std::string path = isIndex(config.device) ? "/dev/video" + config.device : config.device;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (error) *error = name + ": cannot be opened (" + std::strerror(errno) + ")";
        return nullptr;
    }
    if (!S_ISCHR(st.st_mode)) {
        if (error) *error = name + ": cannot be opened (not a video device)";
        return nullptr;
    }
    cv::VideoCapture capture;
    {
        QuietOpenCV quiet;
        try {
            if (isIndex(config.device)) capture.open(std::stoi(config.device), cv::CAP_V4L2);
            else capture.open(path, cv::CAP_V4L2);
        } catch (const cv::Exception& e) {
            if (error) *error = name + ": cannot be opened (" + e.what() + ")";
            return nullptr;
        }
    }
    if (!capture.isOpened()) {
        if (error) *error = name + ": cannot be opened as a V4L2 camera (busy, or not a capture device)";
        return nullptr;
    }
    capture.set(cv::CAP_PROP_FRAME_WIDTH, config.width);
    capture.set(cv::CAP_PROP_FRAME_HEIGHT, config.height);
    capture.set(cv::CAP_PROP_FPS, config.fps);
    // The driver may pick another size than asked; the first frame tells the truth.
    cv::Mat first;
    if (!capture.read(first) || first.empty()) {
        if (error) *error = name + ": opened, but delivers no frames";
        return nullptr;
    }
    double fps = capture.get(cv::CAP_PROP_FPS);
    if (!std::isfinite(fps) || fps <= 0.0 || fps > 1000.0) fps = config.fps;
    auto source = std::make_unique<CameraSource>(std::move(capture), config.flipV);
    source->init(first.cols, first.rows, fps, name);
    return source;
}
