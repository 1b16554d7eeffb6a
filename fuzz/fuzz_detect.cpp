// Marker detection on frames of any size: the first bytes choose the frame size, the
// threshold (one level or local), the binarized copy, the lens distortion and the size of the cells the rest of the bytes paint
// (a few bytes then still make large dark and light regions, which is where squares
// come from). A calibration of that size is installed for each frame and the pattern
// of Data/ is loaded so identification runs too.
#include <cstdlib>
#include <vector>

#include "FuzzSupport.h"
#include "tracking/CameraParam.h"
#include "tracking/Labeling.h"
#include "tracking/Marker.h"
#include "tracking/Pattern.h"

namespace {
constexpr int kMaxWidth = 800, kMaxHeight = 600;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (loadPatternFile(PAVONIX_SOURCE_DIR "/Data/patt.00") < 0) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7) return 0;
    const int width = 1 + (data[0] | data[1] << 8) % kMaxWidth;
    const int height = 1 + (data[2] | data[3] << 8) % kMaxHeight;
    const int cell = 1 + (data[5] & 31);
    const int threshold = data[5] & 64 ? kLocalThreshold : data[4];  // local or one level
    debugImageMode = data[5] >> 7;  // the binarized copy follows the frame size
    const double radial = data[6] * 4.0;  // up to about the strongest real lenses
    data += 7;
    size -= 7;

    CameraParam param{};
    param.width = width;
    param.height = height;
    const double focal = 1.2 * width;
    param.projection[0][0] = focal;
    param.projection[0][2] = width / 2.0;
    param.projection[1][1] = focal;
    param.projection[1][2] = height / 2.0;
    param.projection[2][2] = 1.0;
    param.distortion[0] = width / 2.0;
    param.distortion[1] = height / 2.0;
    param.distortion[2] = radial;
    param.distortion[3] = 1.0;
    if (setTrackerCameraParam(&param) != 0) return 0;

    static std::vector<uint8_t> frame;
    frame.assign(std::size_t(width) * height * 4, 255);
    const int cellsAcross = (width + cell - 1) / cell;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::size_t index = std::size_t(y / cell) * cellsAcross + x / cell;
            const uint8_t v = size ? data[index % size] : 0;
            uint8_t* p = &frame[(std::size_t(y) * width + x) * 4];
            p[0] = v;
            p[1] = uint8_t(v + (index & 7));
            p[2] = uint8_t(v ^ (index >> 3 & 7));
        }
    }

    resetMarkerHistory();
    DetectedMarker* markers = nullptr;
    int count = 0;
    // Twice: the second frame matches against the history of the first.
    for (int pass = 0; pass < 2; ++pass) {
        if (detectMarkers(frame.data(), threshold, &markers, &count) != 0) return 0;
        if (count < 0 || count > kMaxMarkers || (count > 0 && !markers)) __builtin_trap();
        for (int i = 0; i < count; ++i)
            if (markers[i].pattern >= kPatternSlots || markers[i].orientation > 3) __builtin_trap();
    }
    return 0;
}
