// Cost of one virtual-camera frame: the marker scene rendered at 640x480 with the
// committed calibration and marker, at several supersampling levels. The virtual camera
// needs a frame in well under 33 ms to keep 30 frames per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "scene/MarkerScene.h"
#include "tracking/CameraParam.h"

namespace {

bool loadScene(CameraParam& camera, MarkerImage& marker) {
    CameraParam stored{};
    std::string error;
    if (!loadCameraParam(PAVONIX_SOURCE_DIR "/Data/camera_para.dat", 1, &stored) ||
        !loadMarkerImage(PAVONIX_SOURCE_DIR "/Data/marker.png", marker, &error))
        return false;
    resizeCameraParam(&stored, 640, 480, &camera);
    return true;
}

void BM_RenderVirtualFrame(benchmark::State& state) {
    CameraParam camera{};
    MarkerImage marker;
    if (!loadScene(camera, marker)) {
        state.SkipWithError("Data/camera_para.dat or Data/marker.png missing");
        return;
    }
    std::vector<uint8_t> frame(size_t(camera.width) * camera.height * 4);
    SceneOptions options;
    options.supersample = int(state.range(0));
    options.noiseSigma = 2.0;
    long index = 0;
    for (auto _ : state) {
        double pose[3][4];
        virtualCameraPose(index / 30.0, pose);
        options.seed = uint32_t(index++);
        renderMarkerScene(camera, pose, kVirtualMarkerWidth, marker, options, frame.data());
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_RenderVirtualFrame)->Arg(1)->Arg(4)->Arg(9)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
