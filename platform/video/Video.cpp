// The arVideo* calls: choose and open a source from the configuration and the override,
// and hand its frames to the caller.
#include "platform/video/Video.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/video/VideoConfig.h"
#include "platform/video/VideoSource.h"
#include "platform/video/VirtualScene.h"

namespace {

struct VideoState {
    std::unique_ptr<VideoSource> source;
    bool overrideSet = false;
    std::string overrideRequest;
    bool offline = false;
    std::string lastError;
    std::string openNote;  // why the source differs from the one asked for
    std::string status;    // what arVideoStatus last handed out
    VirtualSceneMaker sceneMaker;  // what the virtual camera films
    VideoReportSink reportSink;    // where reports go; none: dropped
};

// The library's one state. The arVideo* calls carry no handle, so the open source lives
// here, made on first use (the tracker makes sure of that before it exists itself, so the
// source is closed before this goes).
VideoState& state() {
    static VideoState s;
    return s;
}

void report(const std::string& message) {
    if (const VideoReportSink& sink = state().reportSink) sink(message);
}

}  // namespace

void setVirtualSceneMaker(VirtualSceneMaker maker) { state().sceneMaker = std::move(maker); }

void arVideoSetReportSink(VideoReportSink sink) { state().reportSink = std::move(sink); }

int arVideoOpen(const char* configFile) {
    VideoState& s = state();
    if (s.source) arVideoClose();
    s.lastError.clear();
    s.openNote.clear();
    auto fail = [&s](const std::string& message, int status) {
        report(message);
        s.lastError = message;
        return status;
    };

    std::string request, origin;
    if (s.overrideSet) {
        request = s.overrideRequest;
        origin = "command line";
    } else if (const char* env = std::getenv("PAVONIX_VIDEO"); env && *env) {
        request = env;
        origin = "PAVONIX_VIDEO";
    }
    const bool haveOverride = !request.empty();

    VideoConfig config;
    std::string error;
    if (configFile && *configFile) {
        if (!loadVideoConfig(configFile, haveOverride, config, &error)) return fail(error, kVideoFileError);
    } else if (!haveOverride) {
        report("no video configuration file was given; using the defaults");
    }
    if (haveOverride && !applySourceOverride(request, origin, config, &error)) return fail(error, -1);

    std::unique_ptr<VideoSource> source;
    switch (config.source) {
        case VideoConfig::Source::Camera:
            source = openCameraSource(config, &error);
            if (!source) {
                // The viewer stays useful without its camera; the screen says why.
                const std::string cameraProblem = error;
                source = openVirtualSource(config, s.offline, s.sceneMaker, &error);
                if (source) {
                    report(cameraProblem + "; using the virtual camera instead");
                    s.openNote = cameraProblem + "\nshowing the virtual camera instead";
                } else {
                    error = cameraProblem + "; the virtual camera cannot stand in either: " + error;
                }
            }
            break;
        case VideoConfig::Source::File: source = openFileSource(config, s.offline, &error); break;
        case VideoConfig::Source::Virtual: source = openVirtualSource(config, s.offline, s.sceneMaker, &error); break;
        case VideoConfig::Source::Auto:
            source = openCameraSource(config, &error);
            if (source) {
                report("using " + source->name());
            } else {
                const std::string cameraProblem = error;
                source = openVirtualSource(config, s.offline, s.sceneMaker, &error);
                if (source) report("no camera (" + cameraProblem + "); using the virtual camera");
            }
            break;
    }
    // The virtual camera only fails over its files; saying "camera" there would mislead.
    if (!source) return fail(error, error.rfind("virtual camera", 0) == 0 ? kVideoFileError : -1);
    source->setReportSink(s.reportSink);
    s.source = std::move(source);
    return 0;
}

int arVideoInqSize(int* width, int* height) {
    VideoState& s = state();
    if (!s.source || !width || !height) return -1;
    *width = s.source->width();
    *height = s.source->height();
    return 0;
}

int arVideoCapStart() {
    VideoState& s = state();
    if (!s.source) return -1;
    return s.source->start() ? 0 : -1;
}

unsigned char* arVideoGetImage() {
    VideoState& s = state();
    return s.source ? s.source->getImage() : nullptr;
}

double arVideoFrameTime() {
    VideoState& s = state();
    return s.source ? s.source->frameTime() : 0.0;
}

int arVideoCapNext() {
    // Frames are handed over through three buffers, so the one just used needs no
    // release; the call stays for callers that pair it with arVideoGetImage.
    return state().source ? 0 : -1;
}

int arVideoCapStop() {
    VideoState& s = state();
    if (!s.source) return -1;
    s.source->stop();
    return 0;
}

int arVideoClose() {
    VideoState& s = state();
    if (!s.source) return -1;
    s.source.reset();
    return 0;
}

void arVideoSetSourceOverride(const char* request) {
    VideoState& s = state();
    s.overrideSet = request && *request;
    s.overrideRequest = s.overrideSet ? request : "";
}

void arVideoSetOffline(bool offline) { state().offline = offline; }

double arVideoInqFrameRate() {
    VideoState& s = state();
    return s.source ? s.source->frameRate() : 0.0;
}

long arVideoInqFrameCount() {
    VideoState& s = state();
    return s.source ? s.source->frameCount() : -1;
}

bool arVideoEndOfStream() {
    VideoState& s = state();
    return s.source && s.source->offline() && s.source->endOfStream();
}

const char* arVideoSourceName() {
    VideoState& s = state();
    return s.source ? s.source->name().c_str() : "";
}

const char* arVideoLastError() { return state().lastError.c_str(); }

const char* arVideoStatus() {
    VideoState& s = state();
    if (!s.source) {
        s.status.clear();
        return "";
    }
    s.source->copyStatus(s.status);
    if (s.status.empty()) s.status.assign(s.openNote);
    return s.status.c_str();
}
