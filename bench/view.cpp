// Per-frame cost of the tracker front end (frame copy, Otsu threshold, detection, pose)
// and of drawing the camera background, at webcam sizes.
#include <benchmark/benchmark.h>

#include <GL/freeglut.h>
#include <GL/gl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/imgproc/cvImgProc.h"
#include "scene/MarkerScene.h"
#include "tracking/CameraParam.h"
#include "tracking/Pattern.h"
#include "tracking/view/ImageDraw.h"
#include "tracking/view/Tracker.h"

namespace {

const std::string kData = std::string(PAVONIX_SOURCE_DIR) + "/Data/";

// The calibration sized to the frame, and one rendered frame with the marker in view.
struct Scene {
    CameraParam camera{};
    std::vector<uint8_t> frame;
    bool ok = false;
};

Scene makeScene(int width, int height)
{
    Scene scene;
    CameraParam file{};
    if (!loadCameraParam((kData + "camera_para.dat").c_str(), 1, &file)) return scene;
    resizeCameraParam(&file, width, height, &scene.camera);
    MarkerImage marker;
    std::string error;
    if (!loadMarkerImage((kData + "marker.png").c_str(), marker, &error)) return scene;
    const double transform[3][4] = {{1, 0, 0, 12}, {0, -0.97, 0.24, -6}, {0, -0.24, -0.97, 320}};
    SceneOptions options;
    options.noiseSigma = 2.0;
    scene.frame.resize(static_cast<size_t>(width) * height * 4);
    renderMarkerScene(scene.camera, transform, kVirtualMarkerWidth, marker, options, scene.frame.data());
    scene.ok = true;
    return scene;
}

void BM_UpdateFrame(benchmark::State& state)
{
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    const Scene scene = makeScene(width, height);
    if (!scene.ok) {
        state.SkipWithError("Data/ lacks the calibration or the marker picture");
        return;
    }
    // The tracker as initialize leaves it, without a camera: the frame comes from memory.
    clTracker tracker(g_trackerTables);
    tracker.width = width;
    tracker.height = height;
    tracker.frameBytes = width * height * 4;
    tracker.cameraParam = scene.camera;
    setTrackerCameraParam(&tracker.cameraParam);
    tracker.patternId = loadPatternFile((kData + "patt.00").c_str());
    tracker.markerWidth = 40.0;
    tracker.modelScale = 0.16;
    tracker.firstPose = true;
    if (tracker.patternId < 0) {
        state.SkipWithError("Data/patt.00 cannot be loaded");
        return;
    }
    tracker.processFrame(scene.frame.data());
    if (!tracker.markerFound) {
        state.SkipWithError("the rendered marker was not found");
        return;
    }
    for (auto _ : state) {
        tracker.processFrame(scene.frame.data());
        benchmark::DoNotOptimize(tracker.markerTransform);
    }
    freePatternSlot(tracker.patternId);
    state.counters["found"] = tracker.markerFound;
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UpdateFrame)->Args({640, 480})->Args({1280, 720})->Unit(benchmark::kMillisecond);

// The stages on their own, to see where the frame time goes.
void BM_CopyAndOtsu(benchmark::State& state)
{
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    const Scene scene = makeScene(width, height);
    if (!scene.ok) {
        state.SkipWithError("Data/ lacks the calibration or the marker picture");
        return;
    }
    cvImgProc proc;
    proc.allocateImages(width, height);
    for (auto _ : state) {
        std::memcpy(proc.sourceImage.data, scene.frame.data(), scene.frame.size());
        benchmark::DoNotOptimize(proc.binarize());
    }
}
BENCHMARK(BM_CopyAndOtsu)->Args({640, 480})->Args({1280, 720})->Unit(benchmark::kMillisecond);

bool openWindow(int width, int height)
{
    static int window = 0;
    if (!std::getenv("DISPLAY")) return false;
    if (!window) {
        int argc = 1;
        char name[] = "bench_view";
        char* argv[] = {name, nullptr};
        glutInit(&argc, argv);
        glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH);
        glutInitWindowSize(width, height);
        window = glutCreateWindow("bench_view");
    } else {
        glutReshapeWindow(width, height);
    }
    glViewport(0, 0, width, height);
    return window != 0;
}

// One background per frame: the sub-image upload and the kept grid. glFinish makes the
// work happen inside the timed region.
void BM_DrawCameraImage(benchmark::State& state)
{
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    const bool rectangle = state.range(2) != 0;
    const Scene scene = makeScene(width, height);
    if (!scene.ok) {
        state.SkipWithError("Data/ lacks the calibration or the marker picture");
        return;
    }
    if (!openWindow(width, height)) {
        state.SkipWithError("no X display (run under xvfb-run)");
        return;
    }
    ImageDrawContext* context = arglSetupForCurrentContext();
    if (!context) {
        state.SkipWithError("no BGRA support");
        return;
    }
    setPreferRectangle(context, rectangle ? 1 : 0);
    drawCameraImage(scene.frame.data(), &scene.camera, 1.0, context);  // builds texture and grid
    glFinish();
    for (auto _ : state) {
        drawCameraImage(scene.frame.data(), &scene.camera, 1.0, context);
        glFinish();
    }
    state.SetLabel(rectangle ? "rectangle texture" : "power-of-two texture");
    releaseImageDrawContext(context);
}
BENCHMARK(BM_DrawCameraImage)
    ->Args({640, 480, 1})
    ->Args({640, 480, 0})
    ->Args({1280, 720, 1})
    ->Args({1280, 720, 0})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
