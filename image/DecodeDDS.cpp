// DirectDraw Surface files holding DXT1, DXT3 or DXT5 blocks. The levels are kept as
// stored; the GPU decompresses them.
#include <GL/gl.h>
#include <GL/glext.h>

#include <string>

#include "base/ByteCursor.h"
#include "image/ImageDecoders.h"

namespace {

constexpr std::size_t kHeaderSize = 128;
constexpr std::size_t kFourCCOffset = 84;

}  // namespace

LoadResult decodeDDS(const uint8_t* bytes, std::size_t size, DecodedImage& out) {
    out = DecodedImage{};
    if (size < kHeaderSize)
        return LoadResult::refuse("too short for a DDS header (" + std::to_string(size) + " bytes)", "header",
                                  0);
    if (bytes[0] != 'D' || bytes[1] != 'D' || bytes[2] != 'S' || bytes[3] != ' ')
        return LoadResult::refuse("no \"DDS \" signature", "header", 0);
    ByteCursor c(bytes, size, 12);
    uint32_t height = 0, width = 0, levelCount = 0;
    c.readU32(height);
    c.readU32(width);
    c.skip(8);  // pitch, depth
    c.readU32(levelCount);
    c.seek(kFourCCOffset);
    const uint8_t* code = c.take(4);
    if (code[0] != 'D' || code[1] != 'X' || code[2] != 'T')
        return LoadResult::refuse("the pixel format is not DXT1, DXT3 or DXT5", "header", kFourCCOffset);
    unsigned format;
    std::size_t blockBytes;
    switch (code[3]) {
        case '1': format = GL_COMPRESSED_RGBA_S3TC_DXT1_EXT; blockBytes = 8; break;
        case '3': format = GL_COMPRESSED_RGBA_S3TC_DXT3_EXT; blockBytes = 16; break;
        case '5': format = GL_COMPRESSED_RGBA_S3TC_DXT5_EXT; blockBytes = 16; break;
        default:
            return LoadResult::refuse("the pixel format is not DXT1, DXT3 or DXT5", "header", kFourCCOffset);
    }
    if (width == 0 || height == 0 || width > uint32_t(kMaxImageSide) || height > uint32_t(kMaxImageSide))
        return LoadResult::refuse(std::to_string(width) + " x " + std::to_string(height) +
                                      " pixels is not a picture size read here",
                                  "header", 12);

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
    c.seek(kHeaderSize);
    uint32_t w = width, h = height;
    for (uint32_t level = 0; level < levelCount; ++level) {
        const std::size_t levelBytes = std::size_t((w + 3) / 4) * ((h + 3) / 4) * blockBytes;
        const uint8_t* blocks = c.take(levelBytes);
        if (!blocks) return LoadResult::ranOut(c, "mip level " + std::to_string(level));
        image.levels.emplace_back(blocks, blocks + levelBytes);
        image.levelSizes.emplace_back(int(w), int(h));
        w = w / 2 ? w / 2 : 1;
        h = h / 2 ? h / 2 : 1;
    }
    out = std::move(image);
    return {};
}
