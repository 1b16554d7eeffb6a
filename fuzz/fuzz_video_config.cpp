// The video configuration text, and the override syntax on the same bytes.
#include <string>

#include "FuzzSupport.h"
#include "platform/video/VideoConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    VideoConfig config;
    std::string error;
    parseVideoConfig(text, "fuzz.xml", config, &error);
    VideoConfig other;
    applySourceOverride(text, "--video", other, &error);
    return 0;
}
