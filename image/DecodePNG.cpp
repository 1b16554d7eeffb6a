// PNG textures, read from the file bytes in memory. Every colour type and depth ends up
// as 8-bit RGBA.
//
// Model textures are nearly all 8-bit RGB or RGBA without interlacing or gamma to
// correct, and there libpng spends most of its time in a byte-at-a-time Paeth filter,
// its row transforms and copies, and a slow inflate. Such files take a direct path: every
// chunk's CRC checked, the image data inflated in one piece straight from the file's
// bytes (its Adler-32 checked), rows unfiltered in place and widened into the picture.
// Anything else, and anything the direct path finds odd, goes through libpng, which
// gives the same pixels or refuses.
#include <png.h>
#include <zlib.h>
#if defined(PAVONIX_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#endif

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/ByteCursor.h"
#include "image/ImageDecoders.h"

namespace {

// ---- The direct path. ----

uint32_t chunkCrc(const uint8_t* typeAndData, std::size_t bytes) {
#if defined(PAVONIX_HAVE_LIBDEFLATE)
    return libdeflate_crc32(0, typeAndData, bytes);
#else
    uLong crc = crc32(0L, Z_NULL, 0);
    while (bytes > 0) {
        const uInt piece = bytes > (1u << 30) ? (1u << 30) : uInt(bytes);
        crc = crc32(crc, typeAndData, piece);
        typeAndData += piece;
        bytes -= piece;
    }
    return uint32_t(crc);
#endif
}

// Inflates a whole zlib stream into exactly `size` bytes, its checksum verified; false
// when it is damaged, shorter, or longer.
bool inflateExactly(const uint8_t* from, std::size_t fromSize, uint8_t* to, std::size_t size) {
#if defined(PAVONIX_HAVE_LIBDEFLATE)
    struct Freer {
        void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
    };
    // One per thread: textures are decoded side by side.
    thread_local std::unique_ptr<libdeflate_decompressor, Freer> inflater(libdeflate_alloc_decompressor());
    if (!inflater) return false;
    std::size_t used = 0;
    return libdeflate_zlib_decompress_ex(inflater.get(), from, fromSize, to, size, &used, nullptr) ==
               LIBDEFLATE_SUCCESS &&
           used == fromSize;
#else
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    bool ok = true;
    std::size_t inLeft = fromSize, outLeft = size;
    z.next_in = const_cast<Bytef*>(from);
    z.next_out = to;
    int rc = Z_OK;
    while (rc == Z_OK) {
        const uInt inPiece = inLeft > (1u << 30) ? (1u << 30) : uInt(inLeft);
        const uInt outPiece = outLeft > (1u << 30) ? (1u << 30) : uInt(outLeft);
        z.avail_in = inPiece;
        z.avail_out = outPiece;
        rc = inflate(&z, Z_NO_FLUSH);
        inLeft -= inPiece - z.avail_in;
        outLeft -= outPiece - z.avail_out;
        if (rc == Z_OK && inPiece == z.avail_in && outPiece == z.avail_out) rc = Z_BUF_ERROR;
    }
    ok = rc == Z_STREAM_END && outLeft == 0 && inLeft == 0;
    inflateEnd(&z);
    return ok;
#endif
}

#if defined(__SSE2__)
// The filters that look left depend on the pixel just done, so a row goes pixel by
// pixel, with a pixel's channels side by side in one register as 16-bit lanes. A pixel
// is read as four bytes (for three-byte pixels the fourth is the next pixel's, or the
// next row's filter byte, and goes nowhere).
inline __m128i loadPixel(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return _mm_unpacklo_epi8(_mm_cvtsi32_si128(int(v)), _mm_setzero_si128());
}

// Only the pixel's own bytes are written: a four-byte store over the next pixel's first
// byte would make the next load wait for it to drain.
template <int Bpp>
inline void storePixel(uint8_t* p, __m128i value) {
    const uint32_t v = uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(value, value)));
    std::memcpy(p, &v, Bpp);
}

inline __m128i absolute(__m128i x) { return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x)); }

inline __m128i select(__m128i mask, __m128i yes, __m128i no) {
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

template <int Bpp>
void unfilterLeftward(uint8_t filter, uint8_t* row, const uint8_t* prior, std::size_t bytes) {
    const __m128i zero = _mm_setzero_si128();
    __m128i a = zero, c = zero;
    for (std::size_t i = 0; i < bytes; i += Bpp) {
        const __m128i raw = loadPixel(row + i);
        __m128i predictor;
        if (filter == 1) {
            predictor = a;
        } else {
            const __m128i b = prior ? loadPixel(prior + i) : zero;
            if (filter == 3) {
                predictor = _mm_srli_epi16(_mm_add_epi16(a, b), 1);
            } else {
                const __m128i pa = absolute(_mm_sub_epi16(b, c));
                const __m128i pb = absolute(_mm_sub_epi16(a, c));
                const __m128i pc = absolute(_mm_add_epi16(_mm_sub_epi16(b, c), _mm_sub_epi16(a, c)));
                const __m128i smallest = _mm_min_epi16(_mm_min_epi16(pa, pb), pc);
                predictor = select(_mm_cmpeq_epi16(smallest, pa), a, select(_mm_cmpeq_epi16(smallest, pb), b, c));
            }
            c = b;
        }
        a = _mm_and_si128(_mm_add_epi16(raw, predictor), _mm_set1_epi16(0xFF));
        storePixel<Bpp>(row + i, a);
    }
}
#endif

// Rows do not overlap; said so, the compiler adds them a vector at a time.
void addRowAbove(uint8_t* __restrict row, const uint8_t* __restrict prior, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) row[i] = uint8_t(row[i] + prior[i]);
}

// Undoes one row's filter in place. prior is the row above as already unfiltered, or
// null for the first row (a row of zeros). Bpp: bytes per pixel, 3 or 4. The row is
// followed by at least one byte that may be read.
template <int Bpp>
bool unfilterRow(uint8_t filter, uint8_t* row, const uint8_t* prior, std::size_t bytes) {
    if (filter > 4) return false;
    if (filter == 0) return true;
    if (filter == 2) {
        if (prior) addRowAbove(row, prior, bytes);
        return true;
    }
#if defined(__SSE2__)
    unfilterLeftward<Bpp>(filter, row, prior, bytes);
#else
    // Paeth's predictor: whichever of left, above and above-left is closest to
    // left + above - above-left, ties going in that order.
    const auto paeth = [](int a, int b, int c) {
        const int pa = b > c ? b - c : c - b;
        const int pb = a > c ? a - c : c - a;
        const int pc = a + b > 2 * c ? a + b - 2 * c : 2 * c - a - b;
        return pa <= pb && pa <= pc ? a : (pb <= pc ? b : c);
    };
    for (std::size_t i = 0; i < bytes; ++i) {
        const int a = i >= Bpp ? row[i - Bpp] : 0;
        const int b = prior ? prior[i] : 0;
        const int c = prior && i >= Bpp ? prior[i - Bpp] : 0;
        const int predictor = filter == 1 ? a : filter == 3 ? (a + b) >> 1 : paeth(a, b, c);
        row[i] = uint8_t(row[i] + predictor);
    }
#endif
    return true;
}

// The gamma a file states (gAMA, in 1/100000; sRGB counts as 45455) needs no
// correction on an sRGB screen when it is well within libpng's own tolerance of 1/2.2
// (5 %), so the two paths never disagree at its edge.
bool gammaNeedsNoCorrection(uint32_t fileGamma100000) {
    const double product = fileGamma100000 * 0.00001 * 2.2;
    return product > 0.96 && product < 1.04;
}

// Decodes 8-bit RGB and RGBA files without interlacing, transparency chunk or gamma to
// correct into image (already sized from the header). False, with image's pixels
// unspecified, for anything else or anything damaged: the caller then asks libpng.
bool decodeDirect(const uint8_t* bytes, std::size_t size, DecodedImage& image) {
    ByteCursor header(bytes, size, 8);
    uint32_t ihdrLength = 0, width = 0, height = 0;
    header.readU32BE(ihdrLength);
    const uint8_t* ihdrType = header.take(4);
    header.readU32BE(width);
    header.readU32BE(height);
    const uint8_t* ihdr = header.take(5);  // depth, colour type, compression, filter, interlace
    if (size < 33 || !ihdr || ihdrLength != 13 || std::memcmp(ihdrType, "IHDR", 4) != 0) return false;
    const uint8_t depth = ihdr[0], colourType = ihdr[1];
    if (width != uint32_t(image.width) || height != uint32_t(image.height)) return false;
    if (depth != 8 || (colourType != 2 && colourType != 6) || ihdr[2] != 0 || ihdr[3] != 0 || ihdr[4] != 0)
        return false;
    const int bpp = colourType == 6 ? 4 : 3;
    // The image data, gathered; a file with one IDAT chunk is inflated where it lies.
    std::vector<uint8_t> gathered;
    const uint8_t* data = nullptr;
    std::size_t dataSize = 0;
    int idatChunks = 0;
    bool ended = false, idatDone = false;
    ByteCursor c(bytes, size, 8);
    while (!ended) {
        const std::size_t at = c.offset();
        uint32_t length = 0, crc = 0;
        if (!c.readU32BE(length) || length > 0x7FFFFFFFu) return false;
        const uint8_t* type = c.take(4);
        const uint8_t* body = c.take(length);
        if (!c.readU32BE(crc) || chunkCrc(type, std::size_t(length) + 4) != crc) return false;
        const bool critical = (type[0] & 0x20) == 0;
        if (std::memcmp(type, "IDAT", 4) == 0) {
            if (idatDone) return false;  // image data split by other chunks
            if (idatChunks++ == 0) {
                data = body;
                dataSize = length;
            } else {
                if (idatChunks == 2) gathered.assign(data, data + dataSize);
                gathered.insert(gathered.end(), body, body + length);
            }
        } else {
            if (idatChunks > 0) idatDone = true;
            if (std::memcmp(type, "IEND", 4) == 0) {
                ended = true;
            } else if (std::memcmp(type, "tRNS", 4) == 0) {
                return false;
            } else if (std::memcmp(type, "gAMA", 4) == 0) {
                uint32_t gamma = 0;
                if (length != 4 || !ByteCursor(body, length).readU32BE(gamma) ||
                    !gammaNeedsNoCorrection(gamma))
                    return false;
            } else if (critical && std::memcmp(type, "IHDR", 4) != 0 && std::memcmp(type, "PLTE", 4) != 0) {
                return false;  // a critical chunk unknown here: libpng decides
            } else if (std::memcmp(type, "IHDR", 4) == 0 && at != 8) {
                return false;
            }
        }
    }
    if (idatChunks == 0) return false;
    if (idatChunks > 1) {
        data = gathered.data();
        dataSize = gathered.size();
    }
    const std::size_t rowBytes = std::size_t(width) * bpp;
    const std::size_t filtered = (rowBytes + 1) * height;
    // One byte more than the rows: the last row's last pixel is read as four bytes.
    std::unique_ptr<uint8_t[]> rows(new (std::nothrow) uint8_t[filtered + 1]);
    if (!rows || !inflateExactly(data, dataSize, rows.get(), filtered)) return false;
    rows[filtered] = 0;
    std::vector<uint8_t>().swap(gathered);
    uint8_t* out = image.rgba.data();
    const uint8_t* prior = nullptr;
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = rows.get() + y * (rowBytes + 1);
        const uint8_t filter = row[0];
        ++row;
        if (!(bpp == 4 ? unfilterRow<4>(filter, row, prior, rowBytes) : unfilterRow<3>(filter, row, prior, rowBytes)))
            return false;
        uint8_t* o = out + std::size_t(y) * width * 4;
        if (bpp == 4) {
            std::memcpy(o, row, rowBytes);
        } else {
            // Four bytes read per pixel, the fourth replaced by opaque alpha; the row's
            // last read takes the byte after it, which is there.
            for (uint32_t x = 0; x < width; ++x) {
                uint8_t pixel[4];
                std::memcpy(pixel, row + 3 * std::size_t(x), 4);
                pixel[3] = 0xFF;
                std::memcpy(o + 4 * std::size_t(x), pixel, 4);
            }
        }
        prior = row;
    }
    return true;
}

// ---- Through libpng. ----

void readFromMemory(png_structp png, png_bytep destination, png_size_t count) {
    auto* cursor = static_cast<ByteCursor*>(png_get_io_ptr(png));
    if (!cursor->readBytes(destination, count)) png_error(png, "the file ends early");
}

// Everything that must survive a longjmp out of libpng lives here, outside the frame
// that calls setjmp, so the error path can free it. libpng's words for the error are
// kept in a plain buffer: nothing with a destructor may be made before the longjmp.
struct PngReader {
    png_structp png = nullptr;
    png_infop info = nullptr;
    char problem[160] = {};
    ~PngReader() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

// A broken texture is refused quietly; the caller reports it with the file's name.
void onError(png_structp png, png_const_charp message) {
    auto* reader = static_cast<PngReader*>(png_get_error_ptr(png));
    std::snprintf(reader->problem, sizeof reader->problem, "%s", message ? message : "");
    png_longjmp(png, 1);
}
void onWarning(png_structp, png_const_charp) {}

// Returns false on any libpng error, its words in reader.problem. No object with a
// destructor is created between setjmp and the last libpng call: image is allocated
// before setjmp is armed.
bool readPng(PngReader& reader, ByteCursor& cursor, DecodedImage& image) {
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
    if (width != png_uint_32(image.width) || height != png_uint_32(image.height))
        png_error(png, "the picture size changed after the first header");

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
    if (png_get_rowbytes(png, info) != png_size_t(width) * 4) png_error(png, "rows are not 4 bytes a pixel");

    const std::size_t stride = std::size_t(width) * 4;
    for (int pass = 0; pass < passes; ++pass) {
        for (png_uint_32 y = 0; y < height; ++y) png_read_row(png, image.rgba.data() + y * stride, nullptr);
    }
    png_read_end(png, nullptr);
    return true;
}

}  // namespace

LoadResult decodePNG(const uint8_t* bytes, std::size_t size, DecodedImage& out) {
    out = DecodedImage{};
    if (size < 8 || png_sig_cmp(bytes, 0, 8) != 0)
        return LoadResult::refuse("no PNG signature", "signature", 0);
    PngReader reader;
    reader.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &reader, onError, onWarning);
    if (!reader.png) return LoadResult::refuse("libpng could not start (no memory)");
    reader.info = png_create_info_struct(reader.png);
    if (!reader.info) return LoadResult::refuse("libpng could not start (no memory)");

    // Size the pixel buffer from the header before libpng runs, so nothing is allocated
    // inside the setjmp frame.
    constexpr std::size_t kIhdrOffset = 8;
    int64_t width = 0, height = 0;
    ByteCursor c(bytes, size, 24);
    uint8_t depth = 0, colourType = 0;
    c.readU8(depth);
    c.readU8(colourType);
    if (c.failed() || !claimedImageSize(bytes, size, ImageKind::PNG, width, height))
        return LoadResult::refuse("the first chunk is not a whole IHDR", "IHDR", kIhdrOffset);
    if (!imageSizeAllowed(width, height)) return refuseAllocation(width, height);
    // Deflate shrinks data at most 1032 times; a header claiming more pixels than the
    // file's bytes could hold even so is refused before the picture is allocated.
    static const int kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
    if (colourType > 6 || kChannels[colourType] == 0 || depth == 0 || depth > 16)
        return LoadResult::refuse("colour type " + std::to_string(colourType) + " at depth " +
                                      std::to_string(depth) + " is not a PNG pixel format",
                                  "IHDR", kIhdrOffset);
    const uint64_t rowBytes = 1 + (uint64_t(width) * kChannels[colourType] * depth + 7) / 8;
    if (rowBytes * uint64_t(height) / 1032 > size)
        return LoadResult::refuse(std::to_string(width) + " x " + std::to_string(height) +
                                      " pixels cannot be compressed into a file of " + std::to_string(size) +
                                      " bytes",
                                  "IHDR", kIhdrOffset);
    DecodedImage image;
    if (!allocateImage(image, width, height)) return refuseAllocation(width, height);

    if (!decodeDirect(bytes, size, image)) {
        ByteCursor cursor(bytes, size);
        if (!readPng(reader, cursor, image)) {
            // Where libpng's reading stopped: the chunk it was in, or the end it ran into.
            const std::size_t at = cursor.failed() ? cursor.failOffset() : cursor.offset();
            return LoadResult::refuse(std::string("libpng: ") + reader.problem, "chunks", at);
        }
    }
    out = std::move(image);
    return {};
}
