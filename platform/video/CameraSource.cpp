// A V4L2 camera through OpenCV's capture, read on the capture thread. A camera that
// goes away keeps its last frame on screen and is picked up again when it comes back.
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <thread>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "platform/video/CameraList.h"
#include "platform/video/VideoSource.h"

namespace {

// Longest wait for a camera's first picture: a camera that is silent this long is
// treated as unusable rather than leaving the user at an empty window.
constexpr auto kFirstFrameTimeout = std::chrono::seconds(4);

bool isIndex(const std::string& device) {
    return !device.empty() && device.size() < 4 && device.find_first_not_of("0123456789") == std::string::npos;
}

bool nodeExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Opens the node and asks for the configured size, in MJPEG when the camera offers it
// (most USB webcams give 30 fps at 1280x720 only that way). Null with *why on failure.
std::shared_ptr<cv::VideoCapture> openCapture(const std::string& path, const VideoConfig& config, std::string* why) {
    CameraInfo info;
    if (!queryCamera(path, info, why)) return nullptr;
    auto capture = std::make_shared<cv::VideoCapture>();
    {
        QuietOpenCV quiet;
        try {
            capture->open(path, cv::CAP_V4L2);
        } catch (const cv::Exception& e) {
            if (why) *why = path + ": cannot be opened (" + e.what() + ")";
            return nullptr;
        }
    }
    if (!capture->isOpened()) {
        if (why) *why = path + ": cannot be opened (busy: another program may be using it)";
        return nullptr;
    }
    if (offersMJPEG(info, config.width, config.height))
        capture->set(cv::CAP_PROP_FOURCC, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'));
    capture->set(cv::CAP_PROP_FRAME_WIDTH, config.width);
    capture->set(cv::CAP_PROP_FRAME_HEIGHT, config.height);
    capture->set(cv::CAP_PROP_FPS, config.fps);
    return capture;
}

// The first read on a helper thread, so a camera that never answers costs a few seconds
// and not the driver's own, much longer, timeout. A helper still waiting when time is up
// keeps the capture alive until its read returns.
bool readFirstFrame(const std::shared_ptr<cv::VideoCapture>& capture, cv::Mat& first) {
    auto frame = std::make_shared<cv::Mat>();
    std::packaged_task<bool()> task([capture, frame] { return capture->read(*frame) && !frame->empty(); });
    std::future<bool> result = task.get_future();
    std::thread(std::move(task)).detach();
    if (result.wait_for(kFirstFrameTimeout) != std::future_status::ready) return false;
    if (!result.get()) return false;
    first = *frame;
    return true;
}

class CameraSource : public VideoSource {
public:
    CameraSource(std::shared_ptr<cv::VideoCapture> capture, const VideoConfig& config, const std::string& path)
        : capture_(std::move(capture)), config_(config), path_(path) {}
    ~CameraSource() override { stopThread(); }

    void init(int width, int height, double fps, const std::string& name) {
        setFormat(width, height, fps, -1, name, false);
    }

protected:
    bool produce(long, uint8_t* dst) override {
        if (!capture_) return reconnect();
        if (capture_->read(frame_) && !frame_.empty()) return converter_.convert(&frame_, width(), height(), config_.flipV, dst);
        if (!nodeExists(path_)) {
            // Unplugged: drop the dead handle, keep the last frame, and watch for the node.
            capture_.reset();
            report(path_ + ": unplugged; keeping the last frame until it comes back");
            setStatus("camera " + path_ + " unplugged\nshowing the last frame until it is back");
        }
        return false;
    }
    bool pacedByClock() const override { return false; }  // read() waits for the camera

private:
    bool reconnect() {
        // The run loop calls back every 20 to 200 ms while no frame comes; retrying at
        // that pace costs nothing while the node is absent.
        if (!nodeExists(path_)) return false;
        std::string why;
        auto capture = openCapture(path_, config_, &why);
        if (!capture) return false;
        capture_ = std::move(capture);
        report(path_ + ": back again");
        setStatus("");
        return false;  // the next read delivers the picture
    }

    std::shared_ptr<cv::VideoCapture> capture_;
    VideoConfig config_;
    std::string path_;
    cv::Mat frame_;
    FrameConverter converter_;
};

}  // namespace

std::unique_ptr<VideoSource> openCameraSource(const VideoConfig& config, std::string* error) {
    const std::string path = isIndex(config.device) ? "/dev/video" + config.device : config.device;
    const std::string name = "camera " + path;
    std::string why;
    auto capture = openCapture(path, config, &why);
    if (!capture) {
        if (error) *error = "camera " + why;
        return nullptr;
    }
    // The driver may pick another size than asked; the first frame tells the truth.
    cv::Mat first;
    if (!readFirstFrame(capture, first)) {
        if (error)
            *error = name + ": opened, but gave no picture within " +
                     std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kFirstFrameTimeout).count()) +
                     " s";
        return nullptr;
    }
    double fps = capture->get(cv::CAP_PROP_FPS);
    if (!std::isfinite(fps) || fps <= 0.0 || fps > 1000.0) fps = config.fps;
    auto source = std::make_unique<CameraSource>(std::move(capture), config, path);
    source->init(first.cols, first.rows, fps, name);
    return source;
}
