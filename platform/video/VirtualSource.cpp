// The virtual camera: a scene drawn by the maker the program installed (the marker of
// Data/ on a table, filmed along a smooth path with the calibration of Data/), so the
// program runs and can be tested without a camera.
#include <cstdint>
#include <vector>

#include "platform/Paths.h"
#include "platform/video/VideoSource.h"
#include "platform/video/VirtualScene.h"

namespace {

constexpr double kVirtualFps = 30.0;

class VirtualSource : public VideoSource {
public:
    explicit VirtualSource(std::unique_ptr<VirtualScene> scene) : scene_(std::move(scene)) {}
    ~VirtualSource() override { stopThread(); }

    void init(bool offline) { setFormat(scene_->width(), scene_->height(), kVirtualFps, -1, "virtual camera", offline); }

    // The scene's tables take longer than a frame to build; build them while opening
    // rather than on the first frame's clock.
    void warmUp() {
        std::vector<uint8_t> scratch(size_t(scene_->width()) * scene_->height() * 4);
        produce(0, scratch.data());
    }

protected:
    bool produce(long index, uint8_t* dst) override {
        scene_->render(index, index / kVirtualFps, dst);
        return true;
    }
    bool skipsLateFrames() const override { return true; }

private:
    std::unique_ptr<VirtualScene> scene_;
};

// Without a configuration file the data comes from the program's data folder.
std::string dataFile(const VideoConfig& config, const std::string& given, const char* leaf) {
    if (!given.empty()) return given;
    if (!config.baseDir.empty()) return config.baseDir + "/" + leaf;
    return dataFilePath(programDataFolder(), leaf);
}

}  // namespace

std::unique_ptr<VideoSource> openVirtualSource(const VideoConfig& config, bool offline,
                                               const VirtualSceneMaker& makeScene, std::string* error) {
    if (!makeScene) {
        if (error) *error = "virtual camera: this program has no scene to film";
        return nullptr;
    }
    VirtualSceneRequest request;
    request.markerPath = dataFile(config, config.marker, "marker.png");
    request.calibrationPath = dataFile(config, config.calibration, "camera_para.dat");
    request.width = config.width;
    request.height = config.height;
    std::unique_ptr<VirtualScene> scene = makeScene(request, error);
    if (!scene) return nullptr;
    auto source = std::make_unique<VirtualSource>(std::move(scene));
    source->init(offline);
    source->warmUp();
    return source;
}
