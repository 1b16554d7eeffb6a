// DirectDraw Surface files holding DXT1, DXT3 or DXT5 blocks. The levels are kept as
// stored; the GPU decompresses them.
#include <GL/gl.h>
#include <GL/glext.h>

#include "image/ImageDecoders.h"

namespace {

constexpr std::size_t kHeaderSize = 128;

inline uint32_t u32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

}  // namespace

bool decodeDDS(const uint8_t* bytes, std::size_t size, DecodedImage& out) {
    out = DecodedImage{};
    if (size < kHeaderSize || bytes[0] != 'D' || bytes[1] != 'D' || bytes[2] != 'S' || bytes[3] != ' ') return false;
    const uint32_t height = u32(bytes + 12);
    const uint32_t width = u32(bytes + 16);
    uint32_t levelCount = u32(bytes + 28);
    const uint8_t* code = bytes + 84;
    if (code[0] != 'D' || code[1] != 'X' || code[2] != 'T') return false;
    unsigned format;
    std::size_t blockBytes;
    switch (code[3]) {
        case '1': format = GL_COMPRESSED_RGBA_S3TC_DXT1_EXT; blockBytes = 8; break;
        case '3': format = GL_COMPRESSED_RGBA_S3TC_DXT3_EXT; blockBytes = 16; break;
        case '5': format = GL_COMPRESSED_RGBA_S3TC_DXT5_EXT; blockBytes = 16; break;
        default: return false;
    }
    if (width == 0 || height == 0 || width > uint32_t(kMaxImageSide) || height > uint32_t(kMaxImageSide)) return false;

    // A count of 0 means the file has no mip chain, not that it has no picture. Counts
    // beyond the full chain down to 1x1 are not levels GL would accept.
    uint32_t fullChain = 1;
    for (uint32_t side = width > height ? width : height; side > 1; side /= 2) ++fullChain;
    if (levelCount == 0) levelCount = 1;
    if (levelCount > fullChain) levelCount = fullChain;

    DecodedImage image;
    image.width = int(width);
    image.height = int(height);
    image.compressedFormat = format;
    std::size_t offset = kHeaderSize;
    uint32_t w = width, h = height;
    for (uint32_t level = 0; level < levelCount; ++level) {
        const std::size_t levelBytes = std::size_t((w + 3) / 4) * ((h + 3) / 4) * blockBytes;
        if (levelBytes > size - offset) return false;
        image.levels.emplace_back(bytes + offset, bytes + offset + levelBytes);
        image.levelSizes.emplace_back(int(w), int(h));
        offset += levelBytes;
        w = w / 2 ? w / 2 : 1;
        h = h / 2 ? h / 2 : 1;
    }
    out = std::move(image);
    return true;
}
