#include "app/Batch.h"

#include <GL/freeglut.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/Display.h"
#include "app/Scene.h"
#include "app/imgproc/Capture.h"
#include "app/imgproc/cvImgProc.h"
#include "platform/video/Video.h"

namespace {

struct BatchState {
    long framesWanted = 0;  // 0: run until the window closes
    long framesShown = 0;
    std::string screenshot;
    bool recording = false;
    bool rendering = false;
    long renderTotal = -1;
    std::chrono::steady_clock::time_point start;
};

BatchState g_batch;

void finish(int status) {
    if (g_batch.recording || g_batch.rendering) g_cvImgProc.stopCapture();
    std::exit(status);
}

// Before the swap: the back buffer holds the frame the user sees.
void onFrameComposed() {
    const bool lastFrame = g_batch.framesWanted > 0 && g_batch.framesShown + 1 >= g_batch.framesWanted;
    const bool lastRendered = g_batch.rendering && arVideoEndOfStream();
    if ((lastFrame || lastRendered) && !g_batch.screenshot.empty()) {
        if (!g_cvImgProc.saveImageTo(g_batch.screenshot.c_str())) {
            std::fprintf(stderr, "pavonix: could not write the screenshot \"%s\"\n", g_batch.screenshot.c_str());
        }
    }
}

void onFrameShown() {
    ++g_batch.framesShown;
    if (g_batch.rendering) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - g_batch.start).count();
        const double fps = seconds > 0.0 ? static_cast<double>(g_batch.framesShown) / seconds : 0.0;
        if (g_batch.renderTotal > 0) {
            std::fprintf(stderr, "\rrendering: %ld / %ld frames, %.1f frames per second", g_batch.framesShown,
                         g_batch.renderTotal, fps);
        } else {
            std::fprintf(stderr, "\rrendering: %ld frames, %.1f frames per second", g_batch.framesShown, fps);
        }
        if (arVideoEndOfStream()) {
            std::fprintf(stderr, "\nrendering: done, %ld frames\n", g_batch.framesShown);
            finish(0);
        }
    }
    if (g_batch.framesWanted > 0 && g_batch.framesShown >= g_batch.framesWanted) finish(0);
}

}  // namespace

bool startBatch(const CommandLineOptions& options) {
    g_batch.framesWanted = options.frames;
    g_batch.screenshot = options.screenshot;
    g_batch.start = std::chrono::steady_clock::now();

    if (!options.render.empty()) {
        const double fps = arVideoInqFrameRate() > 0.0 ? arVideoInqFrameRate() : 30.0;
        // The motion follows the video's clock, not the wall clock: one video frame is
        // 30 / fps motion frames.
        setFixedFrameStep(static_cast<float>(30.0 / fps));
        if (!g_cvImgProc.startCaptureTo(options.render.c_str(), fps, true)) return false;
        g_batch.rendering = true;
        g_batch.renderTotal = arVideoInqFrameCount();
    } else if (!options.record.empty()) {
        if (!g_cvImgProc.startCaptureTo(options.record.c_str(), 30.0, false)) return false;
        g_batch.recording = true;
    }

    if (g_batch.framesWanted > 0 || g_batch.rendering || !g_batch.screenshot.empty()) {
        setFrameComposedHook(onFrameComposed);
        setFrameShownHook(onFrameShown);
    }
    return true;
}
