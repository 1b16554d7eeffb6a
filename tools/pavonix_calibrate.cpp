// pavonix-calibrate: measures a camera from views of the printed marker (still images,
// video files or the camera itself) and writes the calibration file the viewer and
// pavonix-track read.

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "calibrate/CameraModel.h"
#include "calibrate/Solve.h"
#include "calibrate/ViewCollector.h"
#include "common/FrameInput.h"
#include "common/ToolArgs.h"
#include "platform/Paths.h"
#include "tracking/CameraParam.h"
#include "tracking/Pattern.h"

namespace {

const char* const kUsage =
    "usage: pavonix-calibrate [--out FILE] [--pattern FILE] [--views N] [--max-error PX] INPUT...\n"
    "       pavonix-calibrate [--out FILE] [--pattern FILE] [--views N] [--max-error PX] --device DEV\n"
    "                         [--size WxH] [--seconds S]\n"
    "Measures the camera's focal length, image centre and lens distortion from views of the\n"
    "printed marker and writes a calibration file for pavonix and pavonix-track.\n"
    "  INPUT        an image, a video file, or an image sequence given as a printf pattern\n"
    "               (frames/%04d.png); every frame is offered as a view\n"
    "  --device     take the views live from a camera (/dev/video0, or an index such as 0)\n"
    "  --size       frame size asked of the camera (default 640x480)\n"
    "  --seconds    give up on the camera after this long (default 180)\n"
    "  --out        the calibration file to write (default camera_para.dat)\n"
    "  --pattern    the marker's pattern file (default patt.00 of the data folder)\n"
    "  --views      views wanted; the camera stops once it has them (default 20, at least 10)\n"
    "  --max-error  largest reprojection error accepted, in pixels (default 1.0)\n"
    "A view is kept only when it adds a tilt, a place in the picture or a distance the\n"
    "views so far lack: show the marker tilted by 20 to 50 degrees in every direction, near\n"
    "each corner and edge of the picture, near and far. Exit status 0 when the file was\n"
    "written, 1 when the calibration was refused (the reason is printed), 2 on bad usage\n"
    "or unreadable files.\n";

struct Options {
    std::string out = "camera_para.dat";
    std::string pattern;
    std::string device;
    int width = 640, height = 480;
    double seconds = 180.0;
    int views = 20;
    double maxError = 1.0;
    std::vector<std::string> inputs;
};

// 0: run; 1: error (message printed); 2: help printed.
int parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "pavonix-calibrate: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        double number = 0.0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 2;
        } else if (arg == "--out" || arg == "--pattern" || arg == "--device") {
            const char* v = value(arg.c_str());
            if (!v) return 1;
            if (*v == '\0') {
                std::fprintf(stderr, "pavonix-calibrate: %s needs a non-empty value\n", arg.c_str());
                return 1;
            }
            (arg == "--out" ? options->out : arg == "--pattern" ? options->pattern : options->device) = v;
        } else if (arg == "--size") {
            const char* v = value("--size");
            if (!v) return 1;
            int w = 0, h = 0;
            char tail = 0;
            if (std::sscanf(v, "%dx%d%c", &w, &h, &tail) != 2 || w < 16 || h < 16 || w > 8192 || h > 8192) {
                std::fprintf(stderr, "pavonix-calibrate: --size must be WIDTHxHEIGHT such as 1280x720, not \"%s\"\n",
                             v);
                return 1;
            }
            options->width = w;
            options->height = h;
        } else if (arg == "--seconds") {
            const char* v = value("--seconds");
            if (!v) return 1;
            if (!parseNumber(v, &number) || number <= 0.0) {
                std::fprintf(stderr, "pavonix-calibrate: --seconds must be a positive number, not \"%s\"\n", v);
                return 1;
            }
            options->seconds = number;
        } else if (arg == "--views") {
            const char* v = value("--views");
            if (!v) return 1;
            if (!parseNumber(v, &number) || number != std::floor(number) || number < 10 || number > 1000) {
                std::fprintf(stderr, "pavonix-calibrate: --views must be a whole number from 10 to 1000, not \"%s\"\n",
                             v);
                return 1;
            }
            options->views = static_cast<int>(number);
        } else if (arg == "--max-error") {
            const char* v = value("--max-error");
            if (!v) return 1;
            if (!parseNumber(v, &number) || number <= 0.0) {
                std::fprintf(stderr, "pavonix-calibrate: --max-error must be a positive number of pixels, not \"%s\"\n",
                             v);
                return 1;
            }
            options->maxError = number;
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "pavonix-calibrate: unknown option %s\n%s", arg.c_str(), kUsage);
            return 1;
        } else {
            options->inputs.push_back(arg);
        }
    }
    if (options->inputs.empty() == options->device.empty()) {
        std::fprintf(stderr, "pavonix-calibrate: %s\n%s",
                     options->device.empty() ? "no input given" : "give either --device or input files, not both",
                     kUsage);
        return 1;
    }
    if (options->pattern.empty()) options->pattern = dataFilePath(programDataFolder(), "patt.00");
    return 0;
}

// The detector works in the installed calibration; one without lens distortion makes
// the corners it reports the ones in the picture.
void installPlainCamera(int width, int height) {
    CameraModel model;
    model.width = width;
    model.height = height;
    model.fx = model.fy = 0.5 * width / std::tan(30.0 * M_PI / 180.0);
    model.px = model.dx = width / 2.0;
    model.py = model.dy = height / 2.0;
    const CameraParam plain = cameraParamFromModel(model);  // radial 0: no lens distortion
    setTrackerCameraParam(&plain);
}

class Session {
public:
    explicit Session(int views) : collector_(g_trackerTables, views) {}

    // Offers one frame; prints what became of it when it is a view, or when quiet is off.
    void offer(const cv::Mat& frame, const std::string& label, bool quiet) {
        if (width_ == 0) {
            width_ = frame.cols;
            height_ = frame.rows;
            installPlainCamera(width_, height_);
        }
        if (frame.cols != width_ || frame.rows != height_) {
            std::printf("%s: skipped: the frame is %dx%d, the views so far %dx%d\n", label.c_str(), frame.cols,
                        frame.rows, width_, height_);
            return;
        }
        const cv::Mat continuous = frame.isContinuous() ? frame : frame.clone();
        const ViewOffer offer = collector_.offerFrame(continuous.data, width_, height_);
        if (offer.verdict == ViewVerdict::Accepted) {
            std::printf("%s: view accepted; %s\n", label.c_str(), coverageLine(collector_.coverage()).c_str());
        } else if (!quiet) {
            std::printf("%s: skipped: %s\n", label.c_str(), offer.reason.c_str());
        }
        std::fflush(stdout);
    }

    ViewCollector& collector() { return collector_; }

private:
    ViewCollector collector_;
    int width_ = 0, height_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    Options options;
    const int parsed = parseOptions(argc, argv, &options);
    if (parsed == 2) return 0;
    if (parsed != 0) return 2;

    if (!fileExists(options.pattern)) {
        std::fprintf(stderr, "pavonix-calibrate: %s: %s\n", options.pattern.c_str(), std::strerror(ENOENT));
        return 2;
    }
    if (loadPatternFile(options.pattern.c_str()) < 0) {
        std::fprintf(stderr, "pavonix-calibrate: %s: not a readable pattern file (3072 numbers expected)\n",
                     options.pattern.c_str());
        return 2;
    }

    Session session(options.views);
    if (!options.device.empty()) {
        FrameInput input;
        std::string error;
        if (!input.openCamera(options.device, options.width, options.height, &error)) {
            std::fprintf(stderr, "pavonix-calibrate: %s\n", error.c_str());
            return 2;
        }
        std::printf("show the marker to the camera: tilted in every direction, near each corner and edge of the "
                    "picture, near and far\n");
        const auto end = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(static_cast<long long>(options.seconds * 1000.0));
        cv::Mat frame;
        int index = 0;
        while (session.collector().coverage().wanted > 0 && std::chrono::steady_clock::now() < end) {
            if (!input.next(&frame)) {
                std::fprintf(stderr, "pavonix-calibrate: camera %s stopped sending pictures\n", options.device.c_str());
                break;
            }
            session.offer(frame, "frame " + std::to_string(index++), true);
        }
    } else {
        for (const std::string& path : options.inputs) {
            FrameInput input;
            std::string error;
            if (!input.openFile(path, &error)) {
                std::fprintf(stderr, "pavonix-calibrate: %s: %s\n", path.c_str(), error.c_str());
                return 2;
            }
            cv::Mat frame;
            int index = 0;
            while (input.next(&frame)) {
                // A video offers many near-identical frames: report only those kept.
                const std::string label = input.isVideo() ? path + " frame " + std::to_string(index) : path;
                session.offer(frame, label, input.isVideo());
                ++index;
            }
            if (index == 0) {
                std::fprintf(stderr, "pavonix-calibrate: %s: no frames could be read\n", path.c_str());
                return 2;
            }
        }
    }

    const ViewCoverage coverage = session.collector().coverage();
    std::printf("%s\n", coverageLine(coverage).c_str());
    CalibrationLimits limits;
    limits.maxErrorPixels = options.maxError;
    const CalibrationResult result = solveCalibration(session.collector().views(), limits);
    if (result.errorPixels >= 0.0)
        std::printf("reprojection error: %.3f pixels at the corners, %.3f pixels along the edges\n",
                    result.errorPixels, result.edgeErrorPixels);
    if (!result.ok) {
        std::fprintf(stderr, "pavonix-calibrate: calibration refused: %s\n", result.refusal.c_str());
        return 1;
    }
    const CameraModel& m = result.model;
    std::printf("frame %dx%d: focal length %.2f x %.2f pixels (horizontal field of view %.1f degrees), image centre "
                "%.2f, %.2f, lens centre %.2f, %.2f, radial factor %.4f\n",
                m.width, m.height, m.fx, m.fy, 2.0 * std::atan(0.5 * m.width / m.fx) * 180.0 / M_PI, m.px, m.py, m.dx,
                m.dy, m.radial);
    CameraParam param = result.param;
    if (saveCameraParam(options.out.c_str(), 1, &param) != 0) {
        std::fprintf(stderr, "pavonix-calibrate: %s: cannot write the calibration: %s\n", options.out.c_str(),
                     std::strerror(errno));
        return 2;
    }
    std::printf("written to %s\n", options.out.c_str());
    return 0;
}
