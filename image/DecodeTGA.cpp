// Truevision TGA: uncompressed (type 2) and run-length (type 10) true colour at 24 and
// 32 bits per pixel, in any of the four row and column orders. Colour-mapped and grey
// images and other depths are refused.
#include <cstring>

#include "image/ImageDecoders.h"

namespace {

constexpr std::size_t kHeaderSize = 18;

inline uint16_t u16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

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

bool decodeTGA(const uint8_t* bytes, std::size_t size, DecodedImage& out) {
    out = DecodedImage{};
    if (size < kHeaderSize) return false;
    const std::size_t idLength = bytes[0];
    const uint8_t colourMapType = bytes[1];
    const uint8_t imageType = bytes[2];
    const std::size_t colourMapLength = u16(bytes + 5);
    const std::size_t colourMapEntryBits = bytes[7];
    const int width = u16(bytes + 12);
    const int height = u16(bytes + 14);
    const unsigned bitsPerPixel = bytes[16];
    const uint8_t descriptor = bytes[17];
    if (imageType != 2 && imageType != 10) return false;
    if (bitsPerPixel != 24 && bitsPerPixel != 32) return false;

    // A true-colour image may still carry an image ID and an (unused) colour map before
    // its pixels.
    std::size_t offset = kHeaderSize + idLength;
    if (colourMapType == 1) offset += colourMapLength * ((colourMapEntryBits + 7) / 8);
    if (offset > size) return false;

    const std::size_t bpp = bitsPerPixel / 8;
    const std::size_t total = std::size_t(width) * std::size_t(height);
    // Even all run packets (128 pixels each) need this many bytes; a header claiming
    // more pixels than that is refused before the picture is allocated.
    const std::size_t leastBytes = imageType == 2 ? total * bpp : (total + 127) / 128 * (1 + bpp);
    if (leastBytes > size - offset) return false;
    DecodedImage image;
    if (!allocateImage(image, width, height)) return false;
    const PixelPlacer place{image.rgba.data(), std::size_t(width), std::size_t(height), (descriptor & 0x20) != 0,
                            (descriptor & 0x10) != 0};
    const uint8_t* src = bytes + offset;
    const uint8_t* end = bytes + size;

    if (imageType == 2) {
        if (total * bpp > std::size_t(end - src)) return false;
        for (std::size_t n = 0; n < total; ++n, src += bpp) storePixel(place.at(n), src, bpp);
    } else {
        // Packets may run across rows; a packet running past the last pixel is cut there.
        std::size_t n = 0;
        while (n < total) {
            if (src >= end) return false;
            const uint8_t header = *src++;
            std::size_t count = std::size_t(header & 0x7F) + 1;
            if (count > total - n) count = total - n;
            if (header & 0x80) {
                if (bpp > std::size_t(end - src)) return false;
                for (std::size_t i = 0; i < count; ++i) storePixel(place.at(n++), src, bpp);
                src += bpp;
            } else {
                if (count * bpp > std::size_t(end - src)) return false;
                for (std::size_t i = 0; i < count; ++i, src += bpp) storePixel(place.at(n++), src, bpp);
            }
        }
    }
    out = std::move(image);
    return true;
}
