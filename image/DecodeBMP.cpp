// Windows bitmaps: uncompressed 4, 8, 24 and 32 bits per pixel with a BITMAPINFOHEADER
// or one of its longer successors. Everything else (1, 2 and 16 bits, run-length and
// bit-field compression, the OS/2 12-byte header) is refused so the general loader can
// try it.
#include <cstring>
#include <string>

#include "base/ByteCursor.h"
#include "image/ImageDecoders.h"

namespace {

constexpr std::size_t kFileHeaderSize = 14;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr std::size_t kBitCountOffset = 28;

}  // namespace

LoadResult decodeBMP(const uint8_t* bytes, std::size_t size, DecodedImage& out) {
    out = DecodedImage{};
    if (size < kFileHeaderSize + kInfoHeaderSize)
        return LoadResult::refuse("too short for a bitmap's headers (" + std::to_string(size) + " bytes)",
                                  "headers", 0);
    if (bytes[0] != 'B' || bytes[1] != 'M')
        return LoadResult::refuse("no \"BM\" signature", "file header", 0);
    ByteCursor c(bytes, size, 2);
    uint32_t dataOffset = 0, infoSize = 0, compression = 0, coloursUsed = 0;
    int32_t width = 0, rawHeight = 0;
    uint16_t bitCount = 0;
    c.skip(8);  // file size, reserved
    c.readU32(dataOffset);
    c.readU32(infoSize);
    c.readI32(width);
    c.readI32(rawHeight);
    c.skip(2);  // planes
    c.readU16(bitCount);
    c.readU32(compression);
    c.skip(12);  // image size, resolution
    c.readU32(coloursUsed);
    if (infoSize < kInfoHeaderSize || infoSize > size)
        return LoadResult::refuse(
            "an info header of " + std::to_string(infoSize) + " bytes is not one read here", "info header",
            kFileHeaderSize);
    if (compression != 0)
        return LoadResult::refuse("compression " + std::to_string(compression) + " is not read here",
                                  "info header", kBitCountOffset + 2);
    if (bitCount != 4 && bitCount != 8 && bitCount != 24 && bitCount != 32)
        return LoadResult::refuse(std::to_string(bitCount) + " bits per pixel are not read here",
                                  "info header", kBitCountOffset);
    // A negative height marks rows stored top first.
    const bool topDown = rawHeight < 0;
    const int64_t height = topDown ? -int64_t(rawHeight) : rawHeight;
    if (width < 1 || width > kMaxImageSide || height < 1 || height > kMaxImageSide)
        return LoadResult::refuse(std::to_string(width) + " x " + std::to_string(height) +
                                      " pixels is not a picture size read here",
                                  "info header", 18);
    const std::size_t stride = ((std::size_t(bitCount) * std::size_t(width) + 31) / 32) * 4;
    ByteCursor rows(bytes, size);
    const uint8_t* pixels = rows.seek(dataOffset) ? rows.take(stride * std::size_t(height)) : nullptr;
    if (!pixels)
        return LoadResult::refuse("the pixel rows (" + std::to_string(stride * std::size_t(height)) +
                                      " bytes) run past the end of the file (" + std::to_string(size) +
                                      " bytes)",
                                  "pixels", dataOffset);

    // The palette follows the info header, whatever its length. Indices beyond the
    // entries the file holds read as opaque black.
    uint8_t palette[256][4] = {};
    if (bitCount <= 8) {
        const std::size_t maxEntries = std::size_t(1) << bitCount;
        std::size_t entries = coloursUsed && coloursUsed < maxEntries ? coloursUsed : maxEntries;
        const std::size_t paletteOffset = kFileHeaderSize + infoSize;
        ByteCursor p(bytes, size);
        const uint8_t* table = p.seek(paletteOffset) ? p.take(entries * 4) : nullptr;
        if (!table)
            return LoadResult::refuse(
                "the " + std::to_string(entries) + " colours run past the end of the file", "palette",
                paletteOffset);
        for (std::size_t i = 0; i < entries; ++i) {
            const uint8_t* e = table + 4 * i;
            palette[i][0] = e[2];
            palette[i][1] = e[1];
            palette[i][2] = e[0];
        }
        for (auto& e : palette) e[3] = 255;
    }

    DecodedImage image;
    if (!allocateImage(image, width, height)) return refuseAllocation(width, height);
    for (int64_t y = 0; y < height; ++y) {
        const int64_t fileRow = topDown ? y : height - 1 - y;
        const uint8_t* src = pixels + std::size_t(fileRow) * stride;
        uint8_t* dst = image.rgba.data() + std::size_t(y) * std::size_t(width) * 4;
        for (int32_t x = 0; x < width; ++x, dst += 4) {
            switch (bitCount) {
                case 4: std::memcpy(dst, palette[(x & 1) ? src[x / 2] & 15 : src[x / 2] >> 4], 4); break;
                case 8: std::memcpy(dst, palette[src[x]], 4); break;
                case 24:
                    dst[0] = src[3 * x + 2];
                    dst[1] = src[3 * x + 1];
                    dst[2] = src[3 * x];
                    dst[3] = 255;
                    break;
                case 32:
                    dst[0] = src[4 * x + 2];
                    dst[1] = src[4 * x + 1];
                    dst[2] = src[4 * x];
                    dst[3] = src[4 * x + 3];
                    break;
            }
        }
    }
    // Most 32-bit bitmaps leave the fourth byte unused, and zero: such an image is
    // opaque, not invisible.
    if (bitCount == 32) {
        bool anyAlpha = false;
        for (std::size_t i = 3; i < image.rgba.size() && !anyAlpha; i += 4) anyAlpha = image.rgba[i] != 0;
        if (!anyAlpha) {
            for (std::size_t i = 3; i < image.rgba.size(); i += 4) image.rgba[i] = 255;
        }
    }
    out = std::move(image);
    return {};
}
