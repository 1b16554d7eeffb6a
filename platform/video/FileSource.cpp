// Video files, image sequences and single pictures, played at their own rate and looped,
// or read once frame by frame in offline mode.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "platform/video/VideoFileOpen.h"
#include "platform/video/VideoSource.h"

namespace {

enum class FileKind { Video, Sequence, Picture };

std::string lowerExtension(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = path.substr(dot + 1);
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return ext;
}

// A printf pattern such as frames/%04d.png names an image sequence.
bool isSequencePattern(const std::string& path) {
    const size_t pct = path.find('%');
    if (pct == std::string::npos) return false;
    size_t k = pct + 1;
    while (k < path.size() && std::isdigit(static_cast<unsigned char>(path[k]))) ++k;
    return k < path.size() && path[k] == 'd';
}

FileKind kindOf(const std::string& path) {
    if (isSequencePattern(path)) return FileKind::Sequence;
    static const char* const pictures[] = {"png", "jpg", "jpeg", "jpe", "bmp", "dib", "tif", "tiff", "webp",
                                           "pbm", "pgm", "ppm", "pnm", "pxm", "sr", "ras", "exr", "hdr", "pic"};
    const std::string ext = lowerExtension(path);
    for (const char* p : pictures)
        if (ext == p) return FileKind::Picture;
    return FileKind::Video;
}

class FileSource : public VideoSource {
public:
    FileSource(std::string path, FileKind kind, bool flipV) : path_(std::move(path)), kind_(kind), flipV_(flipV) {}
    ~FileSource() override { stopThread(); }

    // Opens the file and reads its first frame, which fixes the frame size.
    bool open(const VideoConfig& config, bool offline, std::string* error) {
        const std::string name = "file " + path_;
        if (kind_ != FileKind::Sequence) {
            struct stat st;
            if (::stat(path_.c_str(), &st) != 0) {
                if (error) *error = name + ": cannot be opened (" + std::strerror(errno) + ")";
                return false;
            }
            if (S_ISDIR(st.st_mode)) {
                if (error) *error = name + ": is a folder, not a video or picture";
                return false;
            }
        }
        double fps = 0.0;
        long count = -1;
        if (kind_ == FileKind::Picture) {
            try {
                picture_ = cv::imread(path_, cv::IMREAD_COLOR);
            } catch (const cv::Exception&) {
                picture_.release();
            }
            if (picture_.empty()) {
                if (error) *error = name + ": is not a picture this program can read";
                return false;
            }
            first_ = picture_;
            count = 1;
        } else {
            if (!reopen()) {
                if (error)
                    *error = kind_ == FileKind::Sequence
                                 ? name + ": no pictures of this numbered sequence can be read"
                                 : name + ": is not a video this program can read";
                return false;
            }
            if (!capture_.read(first_) || first_.empty()) {
                if (error) *error = name + ": holds no frame that can be decoded";
                return false;
            }
            haveFirst_ = true;
            // OpenCV reports a made-up rate for numbered pictures; only videos have one.
            if (kind_ == FileKind::Video) fps = capture_.get(cv::CAP_PROP_FPS);
            const double frames = capture_.get(cv::CAP_PROP_FRAME_COUNT);
            if (std::isfinite(frames) && frames >= 1.0 && frames < 1e9) count = long(frames);
        }
        // Files that do not state a sensible rate play at the configured one (30 by default).
        if (!std::isfinite(fps) || fps <= 0.0 || fps > 1000.0) fps = config.fps;
        setFormat(first_.cols, first_.rows, fps, count, name, offline);
        return true;
    }

protected:
    void rewind() override {
        if (kind_ == FileKind::Picture) {
            pictureDelivered_ = false;
            return;
        }
        if (!haveFirst_) {
            reopen();
            haveFirst_ = capture_.isOpened() && capture_.read(first_) && !first_.empty();
        }
    }

    bool produce(long, uint8_t* dst) override {
        if (kind_ == FileKind::Picture) {
            // A still picture is one frame offline, and a steady stream of it live.
            if (offline() && pictureDelivered_) return false;
            pictureDelivered_ = true;
            return converter_.convert(&picture_, width(), height(), flipV_, dst);
        }
        if (haveFirst_) {
            haveFirst_ = false;
            return converter_.convert(&first_, width(), height(), flipV_, dst);
        }
        bool got;
        {
            QuietOpenCV quiet;  // the end of a numbered sequence is not worth a warning
            got = capture_.read(frame_) && !frame_.empty();
        }
        if (got) return converter_.convert(&frame_, width(), height(), flipV_, dst);
        if (offline()) return false;
        // Live playback loops: start again from the first frame.
        if (!reopen() || !capture_.read(frame_) || frame_.empty()) return false;
        return converter_.convert(&frame_, width(), height(), flipV_, dst);
    }

private:
    bool reopen() {
        QuietOpenCV quiet;
        return openVideoFile(capture_, path_, kind_ == FileKind::Sequence);
    }

    std::string path_;
    FileKind kind_;
    bool flipV_;
    cv::VideoCapture capture_;
    cv::Mat picture_, first_, frame_;
    bool haveFirst_ = false;
    bool pictureDelivered_ = false;
    FrameConverter converter_;
};

}  // namespace

std::unique_ptr<VideoSource> openFileSource(const VideoConfig& config, bool offline, std::string* error) {
    if (config.file.empty()) {
        if (error) *error = "file source: no file is named (set <file> in the configuration or use file:PATH)";
        return nullptr;
    }
    auto source = std::make_unique<FileSource>(config.file, kindOf(config.file), config.flipV);
    if (!source->open(config, offline, error)) return nullptr;
    return source;
}
