// The room's light read off the marker's paper: what it costs the viewer per frame
// (the sampling of both rings, the ranking and the smoothing), at 640x480 and 1920x1080.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "scene/MarkerScene.h"
#include "tracking/CameraParam.h"
#include "tracking/PaperLight.h"

namespace {

struct Frame {
    CameraParam camera{};
    double pose[3][4]{};
    std::vector<uint8_t> bgra;
    bool ok = false;
};

// The committed marker seen from 300 units, tilted 30 degrees, in the middle of the picture.
Frame makeFrame(int width, int height) {
    Frame f;
    const std::string data = std::string(PAVONIX_SOURCE_DIR) + "/Data/";
    CameraParam loaded{};
    MarkerImage marker;
    if (!loadCameraParam((data + "camera_para.dat").c_str(), 1, &loaded) ||
        resizeCameraParam(&loaded, width, height, &f.camera) < 0 ||
        !loadMarkerImage((data + "marker.png").c_str(), marker, nullptr))
        return f;
    const double t = 30.0 * M_PI / 180.0;
    const double pose[3][4] = {{1, 0, 0, 0}, {0, -std::cos(t), -std::sin(t), 0}, {0, std::sin(t), -std::cos(t), 300}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) f.pose[r][c] = pose[r][c];
    f.bgra.assign(static_cast<size_t>(width) * height * 4, 0);
    SceneOptions options;
    options.supersample = 1;
    renderMarkerScene(f.camera, f.pose, kVirtualMarkerWidth, marker, options, f.bgra.data());
    f.ok = true;
    return f;
}

void BM_PaperLightUpdate(benchmark::State& state) {
    const Frame frame = makeFrame(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    if (!frame.ok) {
        state.SkipWithError("cannot load the committed calibration or marker");
        return;
    }
    const double center[2] = {0.0, 0.0};
    PaperLight light;
    RoomLight read;
    if (!light.measure(frame.bgra.data(), frame.camera.width, frame.camera.height, frame.camera, frame.pose,
                       kVirtualMarkerWidth, center, &read)) {
        state.SkipWithError("the paper is not read in the benchmark's frame");
        return;
    }
    double seconds = 0.0;
    for (auto _ : state) {
        light.update(frame.bgra.data(), frame.camera.width, frame.camera.height, frame.camera, true, frame.pose,
                     kVirtualMarkerWidth, center, seconds);
        seconds += 1.0 / 30.0;
        benchmark::DoNotOptimize(light.estimate());
    }
}
BENCHMARK(BM_PaperLightUpdate)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
