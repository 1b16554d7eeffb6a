#include "app/Batch.h"

#include <GL/freeglut.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "app/Commands.h"
#include "app/Display.h"
#include "app/Globals.h"
#include "app/Scene.h"
#include "app/imgproc/Capture.h"
#include "app/imgproc/cvImgProc.h"
#include "platform/video/Video.h"
#include "tracking/view/Tracker.h"

namespace {

struct BatchState {
    long framesWanted = 0;  // 0: run until the window closes
    long framesShown = 0;
    std::string screenshot;
    bool recording = false;
    bool rendering = false;
    long renderTotal = -1;
    long framesRendered = 0;  // output frames written, one per input frame
    bool holdingCapture = false;
    std::chrono::steady_clock::time_point start;
};

// SIGINT, SIGTERM and SIGHUP end the program as closing the window does (recording
// completed, screenshot written). The handler only records the signal; a GLUT timer
// polls it, since nothing else is safe to do inside a handler.
volatile std::sig_atomic_t g_endSignal = 0;
constexpr int kSignalPollMs = 50;
// A last frame is drawn for the screenshot; a window that draws nothing (hidden, say)
// must not keep the program alive, so the end comes after this long regardless.
constexpr int kLastFrameGraceMs = 2000;

extern "C" void recordEndSignal(int signo) { g_endSignal = signo; }

// Long-run checks for scripts/soak.sh, switched on by PAVONIX_SOAK=N (N > 0): OpenGL
// errors are collected once per frame, and every N frames one line
//   soak: frame F rss_kb R frame_ms T gl_errors E
// goes to standard error (T: mean frame time over those N frames). With
// PAVONIX_SOAK_TOGGLE=K the motion restarts and the twin and the shadow/mirror are
// toggled every K frames, as a user pressing R, T and H would.
struct SoakState {
    long every = 0;
    long toggleEvery = 0;
    long glErrors = 0;
    std::chrono::steady_clock::time_point since;
};

// Everything a run keeps about how it ends, how fast it draws and what it traces.
struct RunState {
    BatchState batch;
    SoakState soak;
    bool ending = false;
    int endStatus = 0;
    // Test knob PAVONIX_MIN_FRAME_MS=N: every displayed frame takes at least N ms, which
    // holds drawing at a low rate on a fast machine (recordings must keep real time then).
    int minFrameMs = 0;
    std::chrono::steady_clock::time_point lastFrameShown;
    // Test knob PAVONIX_TRACE_MARKER=1: for every drawn frame that shows a new video
    // frame, one line "marker: time T found F opacity O" on standard error (T the
    // video's time of the frame, F whether the marker was found in it, O how strongly
    // the character is drawn, 0 for not at all).
    bool traceMarker = false;
} g_run;

long residentKiB() {
    long pages = 0, resident = 0;
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return -1;
    const bool ok = std::fscanf(f, "%ld %ld", &pages, &resident) == 2;
    std::fclose(f);
    return ok ? resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

void soakFrameComposed() {
    for (GLenum e = glGetError(); e != GL_NO_ERROR; e = glGetError()) {
        if (++g_run.soak.glErrors <= 10)
            std::fprintf(stderr, "soak: frame %ld: OpenGL error 0x%04x\n", g_run.batch.framesShown + 1, e);
    }
}

void soakFrameShown() {
    const long frame = g_run.batch.framesShown;
    if (frame % g_run.soak.every == 0) {
        const auto now = std::chrono::steady_clock::now();
        const double ms = std::chrono::duration<double, std::milli>(now - g_run.soak.since).count() / g_run.soak.every;
        g_run.soak.since = now;
        std::fprintf(stderr, "soak: frame %ld rss_kb %ld frame_ms %.3f gl_errors %ld\n", frame, residentKiB(), ms,
                     g_run.soak.glErrors);
    }
    if (g_run.soak.toggleEvery > 0 && frame % g_run.soak.toggleEvery == 0) {
        keyboardPressed('r', 0, 0);
        keyboardPressed('t', 0, 0);
        keyboardPressed('h', 0, 0);
    }
}

void finish(int status) {
    // Any recording, the C key's included, is completed before the process goes.
    viewerCapture().stopCapture();
    std::exit(status);
}

void endAfterGrace(int) {
    std::fprintf(stderr, "pavonix: no last frame was drawn; ending without it\n");
    finish(g_run.endStatus);
}

void pollEndSignal(int) {
    if (g_endSignal == 0 || g_run.ending) {
        if (!g_run.ending) glutTimerFunc(kSignalPollMs, pollEndSignal, 0);
        return;
    }
    const int signo = g_endSignal;
    g_run.ending = true;
    g_run.endStatus = 128 + signo;
    std::fprintf(stderr, "pavonix: ending on %s\n", strsignal(signo));
    if (g_run.batch.screenshot.empty()) finish(g_run.endStatus);
    // The screenshot is of the frame drawn next; onFrameShown ends the program after it.
    glutPostRedisplay();
    glutTimerFunc(kLastFrameGraceMs, endAfterGrace, 0);
}

void installEndSignals() {
    struct sigaction action {};
    action.sa_handler = recordEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signo : {SIGINT, SIGTERM, SIGHUP}) sigaction(signo, &action, nullptr);
    glutTimerFunc(kSignalPollMs, pollEndSignal, 0);
}

void holdMinimumFrameTime() {
    const auto now = std::chrono::steady_clock::now();
    const auto due = g_run.lastFrameShown + std::chrono::milliseconds(g_run.minFrameMs);
    if (now < due) std::this_thread::sleep_until(due);
    g_run.lastFrameShown = std::chrono::steady_clock::now();
}

// Before the swap: the back buffer holds the frame the user sees.
void onFrameComposed() {
    // Offline, the output has exactly one frame per input frame: a redraw the window
    // system asks for (the first expose, say) shows no new input and is not written.
    if (g_run.batch.rendering) {
        const bool fresh = idleStepHadNewFrame();
        if (fresh) {
            ++g_run.batch.framesRendered;
        } else if (viewerCapture().capturing) {
            viewerCapture().capturing = false;
            g_run.batch.holdingCapture = true;
        }
    }
    if (g_run.traceMarker && idleStepHadNewFrame())
        std::fprintf(stderr, "marker: time %.4f found %d opacity %.3f\n", viewerTracker().frameSeconds,
                     viewerTracker().markerFound ? 1 : 0, viewerTracker().hold.opacity());
    if (g_run.soak.every > 0) soakFrameComposed();
    const bool lastFrame =
        g_run.ending || (g_run.batch.framesWanted > 0 && g_run.batch.framesShown + 1 >= g_run.batch.framesWanted);
    const bool lastRendered = g_run.batch.rendering && arVideoEndOfStream();
    if ((lastFrame || lastRendered) && !g_run.batch.screenshot.empty()) {
        if (!viewerCapture().saveImageTo(g_run.batch.screenshot.c_str())) {
            std::fprintf(stderr, "pavonix: could not write the screenshot \"%s\"\n", g_run.batch.screenshot.c_str());
        }
    }
}

void onFrameShown() {
    ++g_run.batch.framesShown;
    if (g_run.minFrameMs > 0) holdMinimumFrameTime();
    if (g_run.ending) finish(g_run.endStatus);
    if (g_run.batch.holdingCapture) {
        viewerCapture().capturing = true;
        g_run.batch.holdingCapture = false;
    }
    if (g_run.soak.every > 0) soakFrameShown();
    if (g_run.batch.rendering) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - g_run.batch.start).count();
        const double fps = seconds > 0.0 ? static_cast<double>(g_run.batch.framesRendered) / seconds : 0.0;
        if (g_run.batch.renderTotal > 0) {
            std::fprintf(stderr, "\rrendering: %ld / %ld frames, %.1f frames per second", g_run.batch.framesRendered,
                         g_run.batch.renderTotal, fps);
        } else {
            std::fprintf(stderr, "\rrendering: %ld frames, %.1f frames per second", g_run.batch.framesRendered, fps);
        }
        if (arVideoEndOfStream() && idleStepHadNewFrame()) {
            std::fprintf(stderr, "\nrendering: done, %ld frames\n", g_run.batch.framesRendered);
            finish(0);
        }
    }
    if (g_run.batch.framesWanted > 0 && g_run.batch.framesShown >= g_run.batch.framesWanted) finish(0);
}

}  // namespace

bool startBatch(const CommandLineOptions& options) {
    g_run.batch.framesWanted = options.frames;
    g_run.batch.screenshot = options.screenshot;
    g_run.batch.start = std::chrono::steady_clock::now();

    if (!options.render.empty()) {
        const double fps = arVideoInqFrameRate() > 0.0 ? arVideoInqFrameRate() : 30.0;
        // The motion follows the video's clock, not the wall clock: one video frame is
        // 30 / fps motion frames.
        setFixedFrameStep(static_cast<float>(30.0 / fps));
        if (!viewerCapture().startCaptureTo(options.render.c_str(), fps, true)) return false;
        g_run.batch.rendering = true;
        g_run.batch.renderTotal = arVideoInqFrameCount();
    } else if (!options.record.empty()) {
        if (!viewerCapture().startCaptureTo(options.record.c_str(), 30.0, false)) return false;
        g_run.batch.recording = true;
        std::fprintf(stderr, "pavonix: recording into %s\n", options.record.c_str());
    }

    if (const char* soak = std::getenv("PAVONIX_SOAK")) {
        g_run.soak.every = std::max(0L, std::atol(soak));
        const char* toggle = std::getenv("PAVONIX_SOAK_TOGGLE");
        g_run.soak.toggleEvery = toggle ? std::max(0L, std::atol(toggle)) : 0;
        g_run.soak.since = g_run.batch.start;
    }

    if (const char* trace = std::getenv("PAVONIX_TRACE_MARKER")) g_run.traceMarker = std::atoi(trace) > 0;
    if (const char* minFrame = std::getenv("PAVONIX_MIN_FRAME_MS")) g_run.minFrameMs = std::max(0, std::atoi(minFrame));
    g_run.lastFrameShown = g_run.batch.start;

    // Always on: an ending signal needs the hooks whatever the options are.
    setFrameComposedHook(onFrameComposed);
    setFrameShownHook(onFrameShown);
    installEndSignals();
    return true;
}
