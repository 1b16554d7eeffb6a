// What the virtual camera films. The scene (a printed marker on a table, seen through a
// camera calibration) is drawn above the video library, which knows no calibrations:
// the program hands the library a maker of scenes at start-up, and the virtual source
// asks it for one each time it opens.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The files and the frame size a scene is made from; the paths are already resolved.
struct VirtualSceneRequest {
    std::string markerPath;       // the marker picture
    std::string calibrationPath;  // the camera calibration
    int width = 0, height = 0;    // the frame size asked for
};

class VirtualScene {
public:
    virtual ~VirtualScene() = default;
    virtual int width() const = 0;
    virtual int height() const = 0;
    // Draws the picture at `seconds` of the film (frame `index`) into bgra: width x height
    // x 4 bytes, B, G, R, A, rows top first.
    virtual void render(long index, double seconds, uint8_t* bgra) = 0;
};

// Null, with a message naming the problem in *error (when not null), if the scene's
// files cannot be used.
using VirtualSceneMaker =
    std::function<std::unique_ptr<VirtualScene>(const VirtualSceneRequest& request, std::string* error)>;

// Replaces the maker the virtual source uses; an empty one leaves the virtual camera
// unavailable (opening it fails with a message saying so).
void setVirtualSceneMaker(VirtualSceneMaker maker);
