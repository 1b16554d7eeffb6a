// pavonix-track: runs the marker tracker over images, videos or image sequences and
// prints one JSON object per frame with every identified marker and its pose.

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tracking/CalibrationStore.h"
#include "common/FrameInput.h"
#include "common/ToolArgs.h"
#include "platform/Paths.h"
#include "platform/video/VideoFileOpen.h"
#include "tracking/CameraParam.h"
#include "tracking/Labeling.h"
#include "tracking/Marker.h"
#include "tracking/Pattern.h"
#include "tracking/Pose.h"

namespace {

const char* const kUsage =
    "usage: pavonix-track [--calibration FILE] [--pattern FILE]... [--marker-width W] [--threshold N|auto]\n"
    "                     [--all] INPUT...\n"
    "  INPUT           an image, a video file, or an image sequence given as a printf pattern\n"
    "                  (frames/%04d.png)\n"
    "  --calibration   camera calibration (default Data/camera_para.dat); of a file with a\n"
    "                  record per frame size the one for the input's size is used, else the\n"
    "                  first, scaled (--camera is the old name)\n"
    "  --pattern       marker pattern, repeatable; markers report the pattern's position in\n"
    "                  this list (default Data/patt.00)\n"
    "  --marker-width  side of the black square in the unit of the transform (default 40)\n"
    "  --threshold     binarisation threshold 0..255, or auto (the default): each part of the\n"
    "                  frame thresholded by its own light, as the viewer does\n"
    "  --all           also list squares whose pattern was not recognised (without pose)\n"
    "Prints one JSON object per frame on standard output. A marker followed from the previous\n"
    "frame of a video, rather than found afresh, carries \"tracked\": true.\n";

struct Options {
    std::string camera;
    std::vector<std::string> patterns;
    double markerWidth = 40.0;
    int threshold = kLocalThreshold;  // automatic: local, as the viewer thresholds
    bool all = false;
    std::vector<std::string> inputs;
};

// A default data file: the working directory first, then the executable's own folder.
std::string defaultDataFile(const char* relative) {
    if (fileExists(relative)) return relative;
    const std::string dir = executableDir();
    if (!dir.empty()) {
        for (const char* prefix : {"/", "/../"}) {
            const std::string candidate = dir + prefix + relative;
            if (fileExists(candidate)) return candidate;
        }
    }
    return relative;
}

// 0: run; 1: error (message printed); 2: help printed.
int parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "pavonix-track: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 2;
        } else if (arg == "--calibration" || arg == "--camera") {
            const char* v = value(arg.c_str());
            if (!v) return 1;
            options->camera = v;
        } else if (arg == "--pattern") {
            const char* v = value("--pattern");
            if (!v) return 1;
            options->patterns.push_back(v);
        } else if (arg == "--marker-width") {
            const char* v = value("--marker-width");
            if (!v) return 1;
            if (!parseNumber(v, &options->markerWidth) || options->markerWidth <= 0.0) {
                std::fprintf(stderr, "pavonix-track: --marker-width must be a positive number, not \"%s\"\n", v);
                return 1;
            }
        } else if (arg == "--threshold") {
            const char* v = value("--threshold");
            if (!v) return 1;
            double number;
            if (std::strcmp(v, "auto") == 0) {
                options->threshold = kLocalThreshold;
            } else if (parseNumber(v, &number) && number >= 0 && number <= 255 && number == std::floor(number)) {
                options->threshold = static_cast<int>(number);
            } else {
                std::fprintf(stderr, "pavonix-track: --threshold must be an integer 0..255 or auto, not \"%s\"\n", v);
                return 1;
            }
        } else if (arg == "--all") {
            options->all = true;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            std::fprintf(stderr, "pavonix-track: unknown option %s\n%s", arg.c_str(), kUsage);
            return 1;
        } else {
            options->inputs.push_back(arg);
        }
    }
    if (options->inputs.empty()) {
        std::fprintf(stderr, "pavonix-track: no input given\n%s", kUsage);
        return 1;
    }
    if (options->camera.empty()) options->camera = defaultDataFile("Data/camera_para.dat");
    if (options->patterns.empty()) options->patterns.push_back(defaultDataFile("Data/patt.00"));
    return 0;
}

void writeString(FILE* out, const std::string& text) {
    std::fputc('"', out);
    for (unsigned char c : text) {
        switch (c) {
        case '"': std::fputs("\\\"", out); break;
        case '\\': std::fputs("\\\\", out); break;
        case '\n': std::fputs("\\n", out); break;
        case '\r': std::fputs("\\r", out); break;
        case '\t': std::fputs("\\t", out); break;
        default:
            if (c < 0x20)
                std::fprintf(out, "\\u%04x", c);
            else
                std::fputc(c, out);
        }
    }
    std::fputc('"', out);
}

void writeNumber(FILE* out, double value) {
    if (std::isfinite(value))
        std::fprintf(out, "%.10g", value);
    else
        std::fputs("null", out);
}

struct PatternState {
    bool havePose = false;
    double transform[3][4];
};

class Tracker {
public:
    Tracker(const Options& options, const std::vector<CameraParam>& cameras, const std::vector<int>& slots, FILE* out)
        : options_(options), cameras_(cameras), slots_(slots), out_(out) {}

    // Returns false when the input could not be read.
    bool run(const std::string& input) {
        FrameInput source;
        std::string error;
        if (!source.openFile(input, &error)) {
            std::fprintf(stderr, "pavonix-track: %s: %s\n", input.c_str(), error.c_str());
            return false;
        }
        // Unrelated inputs must not lend each other identities or start poses.
        resetMarkerHistory();
        states_.assign(slots_.size(), PatternState{});
        int width = 0, height = 0;
        cv::Mat frame;
        int index = 0;
        for (; source.next(&frame); ++index) {
            if (frame.cols != width || frame.rows != height) {
                width = frame.cols;
                height = frame.rows;
                CameraParam resized;
                resizeCameraParam(&calibrationForSize(cameras_, width, height), width, height, &resized);
                setTrackerCameraParam(&resized);
            }
            if (!frame.isContinuous()) frame = frame.clone();
            processFrame(input, index, frame);
        }
        if (index == 0) {
            std::fprintf(stderr, "pavonix-track: %s: no frames could be read\n", input.c_str());
            return false;
        }
        return true;
    }

private:
    int patternIndex(int slot) const {
        for (size_t i = 0; i < slots_.size(); ++i)
            if (slots_[i] == slot) return static_cast<int>(i);
        return -1;
    }

    void processFrame(const std::string& input, int index, const cv::Mat& frame) {
        const int threshold = options_.threshold;
        DetectedMarker* markers = nullptr;
        int count = 0;
        if (detectMarkers(frame.data, threshold, &markers, &count) < 0) {
            std::fprintf(stderr,
                         "pavonix-track: %s: frame %d: detection failed (too many dark regions for the labeller)\n",
                         input.c_str(), index);
            count = 0;
        }
        // The strongest marker of each pattern carries that pattern's pose from frame to
        // frame; further copies of a pattern are posed on their own.
        std::vector<int> strongest(slots_.size(), -1);
        for (int i = 0; i < count; ++i) {
            const int p = patternIndex(markers[i].pattern);
            if (p >= 0 && (strongest[p] < 0 || markers[i].confidence > markers[strongest[p]].confidence))
                strongest[p] = i;
        }

        std::fputs("{\"input\": ", out_);
        writeString(out_, input);
        std::fprintf(out_, ", \"frame\": %d, \"width\": %d, \"height\": %d, \"threshold\": ", index, frame.cols,
                     frame.rows);
        if (threshold == kLocalThreshold)
            std::fputs("\"auto\"", out_);
        else
            std::fprintf(out_, "%d", threshold);
        std::fputs(", \"markers\": [", out_);
        bool first = true;
        for (int i = 0; i < count; ++i) {
            const DetectedMarker& marker = markers[i];
            const int p = marker.pattern >= 0 ? patternIndex(marker.pattern) : -1;
            if (p < 0 && !options_.all) continue;
            std::fputs(first ? "" : ", ", out_);
            first = false;
            writeMarker(marker, p, p >= 0 && strongest[p] == i);
        }
        std::fputs("]}\n", out_);
        std::fflush(out_);
    }

    void writeMarker(const DetectedMarker& marker, int p, bool carriesPose) {
        const int o = marker.orientation >= 0 && marker.orientation <= 3 ? marker.orientation : 0;
        std::fprintf(out_, "{\"pattern\": %d, \"confidence\": ", p);
        writeNumber(out_, marker.confidence);
        std::fprintf(out_, ", \"orientation\": %d, \"corners\": [", marker.orientation);
        for (int k = 0; k < 4; ++k) {
            const double* c = marker.corners[(4 - o + k) % 4];
            std::fputs(k ? ", [" : "[", out_);
            writeNumber(out_, c[0]);
            std::fputs(", ", out_);
            writeNumber(out_, c[1]);
            std::fputs("]", out_);
        }
        std::fprintf(out_, "], \"refined\": %s", marker.refined ? "true" : "false");
        if (marker.tracked) std::fputs(", \"tracked\": true", out_);
        if (p >= 0) {
            const double center[2] = {0.0, 0.0};
            double transform[3][4];
            double error;
            PatternState& state = states_[p];
            if (carriesPose && state.havePose)
                error = estimatePoseContinuous(trackerCameraParam(), &marker, state.transform, center,
                                               options_.markerWidth, transform);
            else
                error = estimatePose(trackerCameraParam(), &marker, center, options_.markerWidth, transform);
            if (error >= 0.0 && poseIsFinite(transform)) {
                if (carriesPose) {
                    std::memcpy(state.transform, transform, sizeof transform);
                    state.havePose = true;
                }
                std::fputs(", \"transform\": [", out_);
                for (int r = 0; r < 3; ++r) {
                    std::fputs(r ? ", [" : "[", out_);
                    for (int c = 0; c < 4; ++c) {
                        if (c) std::fputs(", ", out_);
                        writeNumber(out_, transform[r][c]);
                    }
                    std::fputs("]", out_);
                }
                std::fputs("], \"error\": ", out_);
                writeNumber(out_, error);
            }
        }
        std::fputs("}", out_);
    }

    const Options& options_;
    const std::vector<CameraParam> cameras_;  // one per frame size, or one to scale
    const std::vector<int> slots_;
    FILE* out_;
    std::vector<PatternState> states_;
};

}  // namespace

int main(int argc, char** argv) {
    // OpenCV's own log lines (the end of an image sequence, a backend refusing a file)
    // are not for our users: every failure gets a message of ours naming the file.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    Options options;
    const int parsed = parseOptions(argc, argv, &options);
    if (parsed == 2) return 0;
    if (parsed != 0) return 2;

    // The tracker core reports its few diagnostics on standard output; keep them off the
    // JSON stream by sending them to standard error.
    std::fflush(stdout);
    const int jsonFd = dup(STDOUT_FILENO);
    FILE* json = jsonFd >= 0 ? fdopen(jsonFd, "w") : nullptr;
    if (!json || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        std::fprintf(stderr, "pavonix-track: cannot set up standard output\n");
        return 2;
    }

    std::vector<CameraParam> cameras;
    if (const LoadResult loaded = loadCalibrationRecords(options.camera, &cameras); !loaded) {
        std::fprintf(stderr, "pavonix-track: %s\n", loaded.problem().text().c_str());
        return 2;
    }
    std::vector<int> slots;
    for (const std::string& pattern : options.patterns) {
        if (!fileExists(pattern)) {
            std::fprintf(stderr, "pavonix-track: %s: %s\n", pattern.c_str(), std::strerror(ENOENT));
            return 2;
        }
        const int slot = loadPatternFile(pattern.c_str());
        if (slot < 0) {
            std::fprintf(stderr, "pavonix-track: %s: not a readable pattern file (3072 numbers expected)\n",
                         pattern.c_str());
            return 2;
        }
        slots.push_back(slot);
    }

    Tracker tracker(options, cameras, slots, json);
    bool allRead = true;
    for (const std::string& input : options.inputs) allRead = tracker.run(input) && allRead;
    std::fclose(json);
    return allRead ? 0 : 1;
}
