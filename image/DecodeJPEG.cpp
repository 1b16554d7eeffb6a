// JPEG textures through the fixed-work-area decoder, reading from the file bytes in
// memory and converting each MCU straight into the RGBA picture.
#include <cstring>
#include <memory>
#include <string>

#include "image/ImageDecoders.h"
#include "image/JpegDecoder.h"

namespace {

struct MemoryJpeg {
    const uint8_t* bytes;
    std::size_t size;
    std::size_t position;
};

std::size_t readFromMemory(JpegDecoder* decoder, uint8_t* destination, std::size_t count) {
    auto* source = static_cast<MemoryJpeg*>(decoder->device);
    const std::size_t left = source->size - source->position;
    if (count > left) count = left;
    if (destination && count > 0) std::memcpy(destination, source->bytes + source->position, count);
    source->position += count;
    return count;
}

// What the decoder's result codes mean for the file.
std::string jpegProblem(int code) {
    switch (code) {
        case kJpegInputError:
            return "the file ends early";
        case kJpegOutOfWorkArea:
            return "the tables are larger than a baseline picture needs";
        case kJpegSegmentTooLong:
            return "a header segment is longer than 512 bytes";
        case kJpegFormatError:
            return "damaged (a bad marker, table, code or restart marker)";
        case kJpegUnsupported:
            return "not a baseline three-component picture read here (progressive or grey?)";
        default:
            return "the decoder stopped with code " + std::to_string(code);
    }
}

}  // namespace

LoadResult decodeJPEG(const uint8_t* bytes, std::size_t size, DecodedImage& out) {
    out = DecodedImage{};
    // The decoder state (about 25 KB of look-up tables) goes with the work area on the
    // heap, so that decoding on a thread with a small stack is safe too.
    struct alignas(8) WorkArea {
        uint8_t bytes[kJpegWorkAreaSize];
        JpegDecoder decoder;
    };
    auto work = std::make_unique<WorkArea>();
    DecodedImage image;
    MemoryJpeg source{bytes, size, 0};
    JpegDecoder& decoder = work->decoder;
    const int prepared = jpegPrepare(&decoder, readFromMemory, work->bytes, &source);
    if (prepared != kJpegOk) return LoadResult::refuse(jpegProblem(prepared), "headers");
    // Every block takes at least two bits (a DC code and an end-of-block code), so a
    // header claiming more MCUs than the file could hold is refused before allocating.
    const std::size_t mcuWidth = 8u * decoder.mcuWidthBlocks, mcuHeight = 8u * decoder.mcuHeightBlocks;
    const std::size_t mcus = (decoder.width + mcuWidth - 1) / mcuWidth * ((decoder.height + mcuHeight - 1) / mcuHeight);
    const std::size_t blocksPerMcu = std::size_t(decoder.mcuWidthBlocks) * decoder.mcuHeightBlocks + 2;
    if (mcus * blocksPerMcu / 4 > size)
        return LoadResult::refuse(std::to_string(decoder.width) + " x " + std::to_string(decoder.height) +
                                      " pixels cannot be coded in a file of " + std::to_string(size) +
                                      " bytes",
                                  "frame header");
    if (!allocateImage(image, decoder.width, decoder.height))
        return refuseAllocation(decoder.width, decoder.height);
    const int decoded = jpegDecompressToRgba(&decoder, image.rgba.data(), std::size_t(image.width) * 4);
    if (decoded != kJpegOk) return LoadResult::refuse(jpegProblem(decoded), "scan");
    out = std::move(image);
    return {};
}
