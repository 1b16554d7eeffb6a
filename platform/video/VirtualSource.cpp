// The virtual camera: the marker of Data/ on a table, filmed along a smooth path with
// the calibration of Data/, so the program runs and can be tested without a camera.
#include <cmath>
#include <cstdint>
#include <vector>

#include "platform/Paths.h"
#include "platform/video/MarkerScene.h"
#include "platform/video/VideoSource.h"
#include "tracking/CameraParam.h"

namespace {

constexpr double kVirtualFps = 30.0;
// Sensor noise and lighting: visible, as on a real webcam, but mild.
constexpr double kNoiseSigma = 2.0;
constexpr uint32_t kSeed = 20261207u;

double brightnessAt(double t) {
    const double tau = 6.283185307179586;
    return 1.0 + 0.09 * std::sin(tau * t / 11.0) + 0.04 * std::sin(tau * t / 3.7 + 1.0);
}

class VirtualSource : public VideoSource {
public:
    VirtualSource(const CameraParam& camera, MarkerImage marker) : camera_(camera), marker_(std::move(marker)) {}
    ~VirtualSource() override { stopThread(); }

    void init(bool offline) {
        setFormat(camera_.width, camera_.height, kVirtualFps, -1, "virtual camera", offline);
    }

    // The undistortion table and the marker's mip levels take longer than a frame to
    // build; build them while opening rather than on the first frame's clock.
    void warmUp() {
        std::vector<uint8_t> scratch(size_t(camera_.width) * camera_.height * 4);
        produce(0, scratch.data());
    }

protected:
    bool produce(long index, uint8_t* dst) override {
        const double t = index / kVirtualFps;
        double pose[3][4];
        virtualCameraPose(t, pose);
        SceneOptions options;
        options.noiseSigma = kNoiseSigma;
        options.brightness = brightnessAt(t);
        options.seed = kSeed + uint32_t(index);
        renderMarkerScene(camera_, pose, kVirtualMarkerWidth, marker_, options, dst);
        return true;
    }
    bool skipsLateFrames() const override { return true; }

private:
    CameraParam camera_;
    MarkerImage marker_;
};

// Without a configuration file the data comes from the program's data folder.
std::string dataFile(const VideoConfig& config, const std::string& given, const char* leaf) {
    if (!given.empty()) return given;
    if (!config.baseDir.empty()) return config.baseDir + "/" + leaf;
    return dataFilePath(programDataFolder(), leaf);
}

}  // namespace

std::unique_ptr<VideoSource> openVirtualSource(const VideoConfig& config, bool offline, std::string* error) {
    const std::string markerPath = dataFile(config, config.marker, "marker.png");
    const std::string calibrationPath = dataFile(config, config.calibration, "camera_para.dat");
    MarkerImage marker;
    std::string why;
    if (!loadMarkerImage(markerPath.c_str(), marker, &why)) {
        if (error) *error = "virtual camera: " + why;
        return nullptr;
    }
    CameraParam stored{};
    if (!loadCameraParam(calibrationPath.c_str(), 1, &stored)) {
        if (error) *error = "virtual camera: calibration \"" + calibrationPath + "\" cannot be read";
        return nullptr;
    }
    if (stored.width <= 0 || stored.height <= 0 || stored.width > 100000 || stored.height > 100000 ||
        !std::isfinite(stored.projection[0][0]) || stored.projection[0][0] == 0.0 || !std::isfinite(stored.distortion[3]) ||
        stored.distortion[3] == 0.0) {
        if (error)
            *error = "virtual camera: calibration \"" + calibrationPath + "\" is not a valid camera calibration (size " +
                     std::to_string(stored.width) + " x " + std::to_string(stored.height) + ")";
        return nullptr;
    }
    CameraParam camera{};
    resizeCameraParam(&stored, config.width, config.height, &camera);
    auto source = std::make_unique<VirtualSource>(camera, std::move(marker));
    source->init(offline);
    source->warmUp();
    return source;
}
