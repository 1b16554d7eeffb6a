// Truevision TGA: uncompressed (type 2) and run-length (type 10) true colour at 24 and
// 32 bits per pixel, in any of the four row and column orders. Colour-mapped and grey
// images and other depths are refused.
#include <cstring>
#include <string>

#include "base/ByteCursor.h"
#include "image/ImageDecoders.h"

namespace {

// Where the n-th decoded pixel goes: files may store rows bottom first and pixels right
// to left; the picture is always top row first, left to right.
struct PixelPlacer {
    uint8_t* pixels;
    std::size_t width, height;
    bool topFirst, rightToLeft;

    uint8_t* at(std::size_t n) const {
        const std::size_t row = n / width, col = n % width;
        const std::size_t y = topFirst ? row : height - 1 - row;
        const std::size_t x = rightToLeft ? width - 1 - col : col;
        return pixels + (y * width + x) * 4;
    }
};

inline void storePixel(uint8_t* dst, const uint8_t* src, std::size_t bytesPerPixel) {
    dst[0] = src[2];
    dst[1] = src[1];
    dst[2] = src[0];
    dst[3] = bytesPerPixel == 4 ? src[3] : 255;
}

}  // namespace

LoadResult decodeTGA(const uint8_t* bytes, std::size_t size, DecodedImage& out) {
    out = DecodedImage{};
    ByteCursor c(bytes, size);
    uint8_t idLength = 0, colourMapType = 0, imageType = 0, colourMapEntryBits = 0, bitsPerPixel = 0,
            descriptor = 0;
    uint16_t colourMapLength = 0, width = 0, height = 0;
    c.readU8(idLength);
    c.readU8(colourMapType);
    c.readU8(imageType);
    c.skip(2);  // first colour map entry
    c.readU16(colourMapLength);
    c.readU8(colourMapEntryBits);
    c.skip(4);  // origin
    c.readU16(width);
    c.readU16(height);
    c.readU8(bitsPerPixel);
    c.readU8(descriptor);
    if (c.failed()) return LoadResult::ranOut(c, "header");
    if (imageType != 2 && imageType != 10)
        return LoadResult::refuse("image type " + std::to_string(imageType) + " is not read here", "header",
                                  2);
    if (bitsPerPixel != 24 && bitsPerPixel != 32)
        return LoadResult::refuse(std::to_string(bitsPerPixel) + " bits per pixel are not read here",
                                  "header", 16);

    // A true-colour image may still carry an image ID and an (unused) colour map before
    // its pixels.
    if (!c.skip(idLength)) return LoadResult::ranOut(c, "image ID");
    if (colourMapType == 1 && !c.skip(std::size_t(colourMapLength) * ((colourMapEntryBits + 7u) / 8u)))
        return LoadResult::ranOut(c, "colour map");

    const std::size_t bpp = bitsPerPixel / 8;
    const std::size_t total = std::size_t(width) * std::size_t(height);
    // Even all run packets (128 pixels each) need this many bytes; a header claiming
    // more pixels than that is refused before the picture is allocated.
    const std::size_t leastBytes = imageType == 2 ? total * bpp : (total + 127) / 128 * (1 + bpp);
    if (!c.has(leastBytes))
        return LoadResult::refuse(std::to_string(width) + " x " + std::to_string(height) +
                                      " pixels need at least " + std::to_string(leastBytes) + " bytes, " +
                                      std::to_string(c.remaining()) + " are left",
                                  "pixels", c.offset());
    DecodedImage image;
    if (!allocateImage(image, width, height)) return refuseAllocation(width, height);
    const PixelPlacer place{image.rgba.data(), std::size_t(width), std::size_t(height),
                            (descriptor & 0x20) != 0, (descriptor & 0x10) != 0};

    if (imageType == 2) {
        const uint8_t* src = c.take(total * bpp);
        if (!src) return LoadResult::ranOut(c, "pixels");
        for (std::size_t n = 0; n < total; ++n, src += bpp) storePixel(place.at(n), src, bpp);
    } else {
        // Packets may run across rows; a packet running past the last pixel is cut there.
        std::size_t n = 0;
        while (n < total) {
            uint8_t header = 0;
            if (!c.readU8(header)) return LoadResult::ranOut(c, "run-length packets");
            std::size_t count = std::size_t(header & 0x7F) + 1;
            if (count > total - n) count = total - n;
            if (header & 0x80) {
                const uint8_t* src = c.take(bpp);
                if (!src) return LoadResult::ranOut(c, "run-length packets");
                for (std::size_t i = 0; i < count; ++i) storePixel(place.at(n++), src, bpp);
            } else {
                const uint8_t* src = c.take(count * bpp);
                if (!src) return LoadResult::ranOut(c, "run-length packets");
                for (std::size_t i = 0; i < count; ++i, src += bpp) storePixel(place.at(n++), src, bpp);
            }
        }
    }
    out = std::move(image);
    return {};
}
