// Windows bitmaps: uncompressed 4, 8, 24 and 32 bits per pixel with a BITMAPINFOHEADER
// or one of its longer successors. Everything else (1, 2 and 16 bits, run-length and
// bit-field compression, the OS/2 12-byte header) is refused so the general loader can
// try it.
#include <cstring>

#include "image/ImageDecoders.h"

namespace {

constexpr std::size_t kFileHeaderSize = 14;
constexpr uint32_t kInfoHeaderSize = 40;

inline uint16_t u16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t u32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

}  // namespace

bool decodeBMP(const uint8_t* bytes, std::size_t size, DecodedImage& out) {
    out = DecodedImage{};
    if (size < kFileHeaderSize + kInfoHeaderSize || bytes[0] != 'B' || bytes[1] != 'M') return false;
    const uint32_t infoSize = u32(bytes + 14);
    const uint32_t dataOffset = u32(bytes + 10);
    const int32_t width = int32_t(u32(bytes + 18));
    const int32_t rawHeight = int32_t(u32(bytes + 22));
    const unsigned bitCount = u16(bytes + 28);
    const uint32_t compression = u32(bytes + 30);
    const uint32_t coloursUsed = u32(bytes + 46);
    if (infoSize < kInfoHeaderSize || infoSize > size) return false;
    if (compression != 0) return false;
    if (bitCount != 4 && bitCount != 8 && bitCount != 24 && bitCount != 32) return false;
    // A negative height marks rows stored top first.
    const bool topDown = rawHeight < 0;
    const int64_t height = topDown ? -int64_t(rawHeight) : rawHeight;
    if (width < 1 || width > kMaxImageSide || height < 1 || height > kMaxImageSide) return false;
    const std::size_t stride = ((std::size_t(bitCount) * std::size_t(width) + 31) / 32) * 4;
    if (dataOffset > size || stride * std::size_t(height) > size - dataOffset) return false;

    // The palette follows the info header, whatever its length. Indices beyond the
    // entries the file holds read as opaque black.
    uint8_t palette[256][4] = {};
    if (bitCount <= 8) {
        const std::size_t maxEntries = std::size_t(1) << bitCount;
        std::size_t entries = coloursUsed && coloursUsed < maxEntries ? coloursUsed : maxEntries;
        const std::size_t paletteOffset = kFileHeaderSize + infoSize;
        if (paletteOffset > size || entries * 4 > size - paletteOffset) return false;
        for (std::size_t i = 0; i < entries; ++i) {
            const uint8_t* e = bytes + paletteOffset + 4 * i;
            palette[i][0] = e[2];
            palette[i][1] = e[1];
            palette[i][2] = e[0];
        }
        for (auto& e : palette) e[3] = 255;
    }

    DecodedImage image;
    if (!allocateImage(image, width, height)) return false;
    for (int64_t y = 0; y < height; ++y) {
        const int64_t fileRow = topDown ? y : height - 1 - y;
        const uint8_t* src = bytes + dataOffset + std::size_t(fileRow) * stride;
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
    return true;
}
