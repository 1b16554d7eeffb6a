// Encode cost of one recorded frame, picture and sound, for each container at 640x480
// and 1280x720: what the recorder's worker thread spends per frame (colour conversion,
// encoding, muxing, writing). The pictures are the virtual camera's moving table and
// marker, so the encoders see real motion; the sound is a 44.1 kHz stereo song.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/record/MediaWriter.h"
#include "scene/MarkerScene.h"
#include "tracking/CameraParam.h"

namespace {

const std::string kSource = PAVONIX_SOURCE_DIR;
constexpr int kClipFrames = 60;  // pictures cycled through, two seconds of motion
constexpr int kRate = 44100;
constexpr int kSoundPerFrame = kRate / 30;

// Pictures as the read-back delivers them: RGBA (here from the scene's BGRA, which
// costs the encoder the same), rows bottom-up.
std::vector<std::vector<unsigned char>> makeClip(int width, int height)
{
    std::vector<std::vector<unsigned char>> clip;
    CameraParam loaded{}, camera{};
    if (!loadCameraParam((kSource + "/Data/camera_para.dat").c_str(), 1, &loaded)) return clip;
    resizeCameraParam(&loaded, width, height, &camera);
    MarkerImage marker;
    if (!loadMarkerImage((kSource + "/Data/marker.png").c_str(), marker, nullptr)) return clip;
    SceneOptions options;
    options.supersample = 1;
    for (int n = 0; n < kClipFrames; ++n) {
        double pose[3][4];
        virtualCameraPose(n / 30.0, pose);
        clip.emplace_back(static_cast<size_t>(width) * height * 4);
        renderMarkerScene(camera, pose, kVirtualMarkerWidth, marker, options, clip.back().data());
    }
    return clip;
}

void BM_EncodeFrame(benchmark::State& state)
{
    const auto format = static_cast<RecordFormat>(state.range(0));
    const int width = static_cast<int>(state.range(1)), height = static_cast<int>(state.range(2));
    const auto clip = makeClip(width, height);
    if (clip.empty()) {
        state.SkipWithError("Data/ not found");
        return;
    }
    std::vector<int16_t> sound(static_cast<size_t>(kSoundPerFrame) * 2);
    for (int i = 0; i < kSoundPerFrame; ++i)
        sound[2 * i] = sound[2 * i + 1] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440.0 * i / kRate));

    MediaSettings s;
    s.path = std::string("/tmp/pavonix-bench-record-") + std::to_string(getpid()) + "." + recordFormatName(format);
    s.format = format;
    s.width = width;
    s.height = height;
    s.sampleRate = kRate;
    s.channels = 2;
    s.live = true;
    MediaWriter writer;
    std::string error;
    if (!writer.open(s, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    int64_t index = 0;
    for (auto _ : state) {
        const auto& picture = clip[index % kClipFrames];
        if (!writer.writePicture(picture.data(), width * 4, index, error) ||
            !writer.writeSound(sound.data(), kSoundPerFrame, error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        ++index;
    }
    writer.close(error);
    std::remove(s.path.c_str());
    state.SetLabel(std::string(recordFormatName(format)) + " " + std::to_string(width) + "x" + std::to_string(height));
    state.SetItemsProcessed(state.iterations());
}
// Process CPU time: x264 encodes on threads of its own.
BENCHMARK(BM_EncodeFrame)
    ->ArgsProduct({{static_cast<int>(RecordFormat::Mp4), static_cast<int>(RecordFormat::Mkv),
                    static_cast<int>(RecordFormat::Avi)},
                   {640}, {480}})
    ->Args({static_cast<int>(RecordFormat::Mp4), 1280, 720})
    ->Args({static_cast<int>(RecordFormat::Mkv), 1280, 720})
    ->Args({static_cast<int>(RecordFormat::Avi), 1280, 720})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
