// The picture size a texture file claims, read from its header alone, and the budget
// every decoded picture is held to.
#include "image/ImageDecoders.h"

namespace {

uint32_t be16(const uint8_t* p) { return uint32_t(p[0]) << 8 | p[1]; }
uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint32_t le16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t le32(const uint8_t* p) { return le16(p) | le16(p + 2) << 16; }

// The first frame header (SOF0..SOF15; C4, C8 and CC are other markers) in the marker
// segments before the scan data.
bool jpegFrameSize(const uint8_t* bytes, std::size_t size, int64_t& width, int64_t& height) {
    std::size_t at = 2;
    while (at + 1 < size) {
        if (bytes[at] != 0xFF) return false;
        const uint8_t marker = bytes[at + 1];
        if (marker == 0xFF) {  // fill byte before a marker
            ++at;
            continue;
        }
        at += 2;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length
        if (marker == 0xD9 || marker == 0xDA || at + 2 > size) return false;
        const std::size_t length = be16(bytes + at);
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            if (length < 7 || at + 7 > size) return false;
            height = be16(bytes + at + 3);
            width = be16(bytes + at + 5);
            return true;
        }
        if (length < 2) return false;
        at += length;
    }
    return false;
}

}  // namespace

bool imageSizeAllowed(int64_t width, int64_t height) {
    return width >= 1 && height >= 1 && width <= kMaxImageSide && height <= kMaxImageSide &&
           width * height <= kMaxImagePixels;
}

bool claimedImageSize(const uint8_t* bytes, std::size_t size, ImageKind kind, int64_t& width, int64_t& height) {
    switch (kind) {
        case ImageKind::PNG:
            if (size < 24 || bytes[12] != 'I' || bytes[13] != 'H' || bytes[14] != 'D' || bytes[15] != 'R') return false;
            width = be32(bytes + 16);
            height = be32(bytes + 20);
            return true;
        case ImageKind::BMP: {
            if (size < 26) return false;
            if (le32(bytes + 14) == 12) {  // the old OS/2 header holds 16-bit sizes
                width = le16(bytes + 18);
                height = le16(bytes + 20);
                return true;
            }
            width = int32_t(le32(bytes + 18));
            const int64_t rawHeight = int32_t(le32(bytes + 22));
            height = rawHeight < 0 ? -rawHeight : rawHeight;  // negative: rows stored top first
            return true;
        }
        case ImageKind::TGA:
            if (size < 18) return false;
            width = le16(bytes + 12);
            height = le16(bytes + 14);
            return true;
        case ImageKind::JPEG:
            return jpegFrameSize(bytes, size, width, height);
        case ImageKind::DDS:  // kept compressed as stored: the file's bytes bound it
        case ImageKind::None:
            return false;
    }
    return false;
}
