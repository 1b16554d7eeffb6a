// PNG textures through libpng, read from the file bytes in memory. Every colour type
// and depth ends up as 8-bit RGBA.
#include <png.h>

#include <csetjmp>
#include <cstring>

#include "model/ImageDecoders.h"

namespace {

struct MemoryCursor {
    const uint8_t* bytes;
    std::size_t size;
    std::size_t position;
};

void readFromMemory(png_structp png, png_bytep destination, png_size_t count) {
    auto* cursor = static_cast<MemoryCursor*>(png_get_io_ptr(png));
    if (count > cursor->size - cursor->position) png_error(png, "file ends early");
    std::memcpy(destination, cursor->bytes + cursor->position, count);
    cursor->position += count;
}

// A broken texture is refused quietly; the caller reports it with the file's name.
void onError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void onWarning(png_structp, png_const_charp) {}

// Everything that must survive a longjmp out of libpng lives here, outside the frame
// that calls setjmp, so the error path can free it.
struct PngReader {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngReader() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

// Returns false on any libpng error. No object with a destructor is created between
// setjmp and the last libpng call: image is allocated before setjmp is armed.
bool readPng(PngReader& reader, MemoryCursor& cursor, DecodedImage& image) {
    png_structp png = reader.png;
    png_infop info = reader.info;
    png_set_read_fn(png, &cursor, readFromMemory);
    png_set_sig_bytes(png, 0);
    if (setjmp(png_jmpbuf(png))) return false;

    png_read_info(png, info);
    png_uint_32 width = 0, height = 0;
    int bitDepth = 0, colourType = 0, interlace = 0;
    png_get_IHDR(png, info, &width, &height, &bitDepth, &colourType, &interlace, nullptr, nullptr);
    // image was sized from the header before libpng ran; a different one now would not fit.
    if (width != png_uint_32(image.width) || height != png_uint_32(image.height)) return false;

    if (bitDepth < 8) png_set_packing(png);
    if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colourType == PNG_COLOR_TYPE_GRAY && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
    // The pixel layout is RGBA with one byte per sample, whatever the file holds.
    if (bitDepth == 16) png_set_strip_16(png);
    if (colourType == PNG_COLOR_TYPE_GRAY || colourType == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);

    double fileGamma = 0.45455;
    int srgbIntent = 0;
    if (png_get_sRGB(png, info, &srgbIntent)) {
        fileGamma = PNG_DEFAULT_sRGB;
    } else {
        png_fixed_point gamma = 0;
        if (png_get_gAMA_fixed(png, info, &gamma) && gamma > 0) fileGamma = gamma * 0.00001;
    }
    png_set_gamma(png, PNG_DEFAULT_sRGB, fileGamma);
    // An sBIT chunk is left alone: shifting the samples down to their significant bits
    // would leave a 5-bit image with values 0..31, a nearly black texture.
    png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != png_size_t(width) * 4) return false;

    const std::size_t stride = std::size_t(width) * 4;
    for (int pass = 0; pass < passes; ++pass) {
        for (png_uint_32 y = 0; y < height; ++y) png_read_row(png, image.rgba.data() + y * stride, nullptr);
    }
    png_read_end(png, nullptr);
    return true;
}

}  // namespace

bool decodePNG(const uint8_t* bytes, std::size_t size, DecodedImage& out) {
    out = DecodedImage{};
    if (size < 8 || png_sig_cmp(bytes, 0, 8) != 0) return false;
    PngReader reader;
    reader.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, onWarning);
    if (!reader.png) return false;
    reader.info = png_create_info_struct(reader.png);
    if (!reader.info) return false;

    // Size the pixel buffer from the header before libpng runs, so nothing is allocated
    // inside the setjmp frame.
    int64_t width = 0, height = 0;
    if (size < 26 || !claimedImageSize(bytes, size, ImageKind::PNG, width, height)) return false;
    if (!imageSizeAllowed(width, height)) return false;
    // Deflate shrinks data at most 1032 times; a header claiming more pixels than the
    // file's bytes could hold even so is refused before the picture is allocated.
    static const int kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
    const unsigned depth = bytes[24], colourType = bytes[25];
    if (colourType > 6 || kChannels[colourType] == 0 || depth == 0 || depth > 16) return false;
    const uint64_t rowBytes = 1 + (uint64_t(width) * kChannels[colourType] * depth + 7) / 8;
    if (rowBytes * uint64_t(height) / 1032 > size) return false;
    DecodedImage image;
    if (!allocateImage(image, width, height)) return false;

    MemoryCursor cursor{bytes, size, 0};
    if (!readPng(reader, cursor, image)) return false;
    out = std::move(image);
    return true;
}
