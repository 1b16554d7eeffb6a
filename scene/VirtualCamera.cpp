#include "scene/VirtualCamera.h"

#include <cmath>
#include <cstdint>

#include "scene/MarkerScene.h"
#include "tracking/CameraParam.h"

namespace {

// Sensor noise and lighting: visible, as on a real webcam, but mild.
constexpr double kNoiseSigma = 2.0;
constexpr uint32_t kSeed = 20261207u;

double brightnessAt(double t) {
    const double tau = 6.283185307179586;
    return 1.0 + 0.09 * std::sin(tau * t / 11.0) + 0.04 * std::sin(tau * t / 3.7 + 1.0);
}

class MarkerOnTable : public VirtualScene {
public:
    MarkerOnTable(const CameraParam& camera, MarkerImage marker) : camera_(camera), marker_(std::move(marker)) {}

    int width() const override { return camera_.width; }
    int height() const override { return camera_.height; }

    void render(long index, double seconds, uint8_t* bgra) override {
        double pose[3][4];
        virtualCameraPose(seconds, pose);
        SceneOptions options;
        options.noiseSigma = kNoiseSigma;
        options.brightness = brightnessAt(seconds);
        options.seed = kSeed + uint32_t(index);
        renderMarkerScene(camera_, pose, kVirtualMarkerWidth, marker_, options, bgra);
    }

private:
    CameraParam camera_;
    MarkerImage marker_;
};

}  // namespace

std::unique_ptr<VirtualScene> makeVirtualCameraScene(const VirtualSceneRequest& request, std::string* error) {
    const std::string& calibrationPath = request.calibrationPath;
    MarkerImage marker;
    std::string why;
    if (!loadMarkerImage(request.markerPath.c_str(), marker, &why)) {
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
    resizeCameraParam(&stored, request.width, request.height, &camera);
    return std::make_unique<MarkerOnTable>(camera, std::move(marker));
}

void installVirtualCamera() { setVirtualSceneMaker(makeVirtualCameraScene); }
