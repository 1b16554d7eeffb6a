// The one place a decoded picture's pixels are allocated, and the refusal when they cannot
// be: every decoder, and the general loader behind them, sizes its picture here.
#include "image/ImageDecoders.h"

#include <new>
#include <string>

bool allocateImage(DecodedImage& out, int64_t width, int64_t height) {
    if (!imageSizeAllowed(width, height)) return false;
    try {
        out.rgba.assign(std::size_t(width) * std::size_t(height) * 4, 0);
    } catch (const std::bad_alloc&) {
        out.rgba = std::vector<uint8_t>();
        return false;
    }
    out.width = int(width);
    out.height = int(height);
    return true;
}

LoadResult refuseAllocation(int64_t width, int64_t height) {
    const std::string size = std::to_string(width) + " x " + std::to_string(height) + " pixels";
    if (!imageSizeAllowed(width, height))
        return LoadResult::refuse("the picture is " + size + ", more than a texture may have (" +
                                  std::to_string(kMaxImageSide) + " on a side and " +
                                  std::to_string(kMaxImagePixels) + " pixels at most)");
    return LoadResult::refuse("not enough memory for a picture of " + size);
}
