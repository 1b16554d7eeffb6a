// The picture size a texture file claims, read from its header alone, and the budget
// every decoded picture is held to.
#include "base/ByteCursor.h"
#include "image/ImageDecoders.h"

namespace {

// The first frame header (SOF0..SOF15; C4, C8 and CC are other markers) in the marker
// segments before the scan data.
bool jpegFrameSize(const uint8_t* bytes, std::size_t size, int64_t& width, int64_t& height) {
    ByteCursor c(bytes, size, 2);
    while (c.remaining() >= 2) {
        const std::size_t at = c.offset();
        uint8_t fill = 0, marker = 0;
        c.readU8(fill);
        c.readU8(marker);
        if (fill != 0xFF) return false;
        if (marker == 0xFF) {  // fill byte before a marker
            c.seek(at + 1);
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length
        if (marker == 0xD9 || marker == 0xDA) return false;
        const std::size_t segment = c.offset();
        uint16_t length = 0;
        if (!c.readU16BE(length)) return false;
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            uint16_t frameHeight = 0, frameWidth = 0;
            if (length < 7 || !c.skip(1) || !c.readU16BE(frameHeight) || !c.readU16BE(frameWidth))
                return false;
            height = frameHeight;
            width = frameWidth;
            return true;
        }
        if (length < 2) return false;
        // A segment running past the end ends the walk, as the loop's test would.
        if (!c.seek(segment + length)) return false;
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
        case ImageKind::PNG: {
            if (size < 24 || bytes[12] != 'I' || bytes[13] != 'H' || bytes[14] != 'D' || bytes[15] != 'R') return false;
            ByteCursor c(bytes, size, 16);
            uint32_t w = 0, h = 0;
            c.readU32BE(w);
            c.readU32BE(h);
            width = w;
            height = h;
            return true;
        }
        case ImageKind::BMP: {
            if (size < 26) return false;
            ByteCursor c(bytes, size, 14);
            uint32_t infoSize = 0;
            c.readU32(infoSize);
            if (infoSize == 12) {  // the old OS/2 header holds 16-bit sizes
                uint16_t w = 0, h = 0;
                c.readU16(w);
                c.readU16(h);
                width = w;
                height = h;
                return true;
            }
            int32_t w = 0, rawHeight = 0;
            c.readI32(w);
            c.readI32(rawHeight);
            width = w;
            height = rawHeight < 0 ? -int64_t(rawHeight) : rawHeight;  // negative: rows stored top first
            return true;
        }
        case ImageKind::TGA: {
            if (size < 18) return false;
            ByteCursor c(bytes, size, 12);
            uint16_t w = 0, h = 0;
            c.readU16(w);
            c.readU16(h);
            width = w;
            height = h;
            return true;
        }
        case ImageKind::JPEG:
            return jpegFrameSize(bytes, size, width, height);
        case ImageKind::DDS:  // kept compressed as stored: the file's bytes bound it
        case ImageKind::None:
            return false;
    }
    return false;
}
