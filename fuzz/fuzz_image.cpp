// One texture decoder, chosen at build time (FUZZ_DECODER), on arbitrary file bytes.
#include <cstdlib>

#include "FuzzSupport.h"
#include "image/ImageDecoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    DecodedImage image;
    const LoadResult result = FUZZ_DECODER(data, size, image);
    if (!result) {
        // A refusal must leave nothing behind, and say why.
        if (image.width != 0 || !image.rgba.empty() || !image.levels.empty()) std::abort();
        if (result.problem().what.empty()) std::abort();
        return 0;
    }
    if (image.compressedFormat == 0) {
        if (!imageSizeAllowed(image.width, image.height)) std::abort();
        if (image.rgba.size() != std::size_t(image.width) * std::size_t(image.height) * 4) std::abort();
    } else if (image.levels.size() != image.levelSizes.size() || image.levels.empty()) {
        std::abort();
    }
    return 0;
}
