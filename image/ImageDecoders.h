// Texture image decoders: file bytes in memory to pixels in memory. Nothing here
// touches OpenGL; render/TextureUpload.h turns a DecodedImage into a texture, so tools
// and tests without a GL context can decode everything a model names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/LoadResult.h"

// Largest width or height any decoder accepts. Far beyond what a GL implementation
// takes as a texture, small enough that width * height * 4 cannot overflow.
constexpr int kMaxImageSide = 16384;

// Most pixels a decoded picture may have: 256 MiB of RGBA, a 16384 x 4096 texture. A
// few kilobytes of deflate or run-length data can claim a picture of a gigabyte or more.
constexpr int64_t kMaxImagePixels = int64_t(1) << 26;

// True when a width x height picture is one the decoders produce: both sides within
// 1..kMaxImageSide and no more than kMaxImagePixels in all.
bool imageSizeAllowed(int64_t width, int64_t height);

// One decoded picture. Either rgba holds width * height pixels of R, G, B, A, top row
// first, rows directly after each other; or (DDS) compressedFormat is non-zero and
// levels holds the compressed mip levels as stored, levelSizes their pixel sizes.
struct DecodedImage {
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;

    unsigned compressedFormat = 0;  // GL_COMPRESSED_RGBA_S3TC_DXT{1,3,5}_EXT, 0 for rgba
    std::vector<std::vector<uint8_t>> levels;
    std::vector<std::pair<int, int>> levelSizes;

    // The pixels came from the general image loader (OpenCV) after our decoders refused.
    bool fromFallback = false;
};

// Sizes out for a width x height RGBA picture; false (out untouched) when the size is
// not allowed (imageSizeAllowed) or the memory is not there. Decoders check sizes with
// this before allocating.
bool allocateImage(DecodedImage& out, int64_t width, int64_t height);
// The refusal for a picture allocateImage would not allocate: too large, or no memory.
LoadResult refuseAllocation(int64_t width, int64_t height);

// Each decoder takes the whole file and fills out on success. On failure it returns the
// refusal (what is wrong, in which part of the file, at which byte when one is to blame)
// and leaves out empty; it never reads outside [bytes, bytes + size). The refusal names
// no file: the caller that knows it adds it (LoadResult::inFile).
LoadResult decodeBMP(const uint8_t* bytes, std::size_t size, DecodedImage& out);
LoadResult decodeTGA(const uint8_t* bytes, std::size_t size, DecodedImage& out);
LoadResult decodePNG(const uint8_t* bytes, std::size_t size, DecodedImage& out);
LoadResult decodeJPEG(const uint8_t* bytes, std::size_t size, DecodedImage& out);
LoadResult decodeDDS(const uint8_t* bytes, std::size_t size, DecodedImage& out);

// The last resort for what our decoders refuse: OpenCV's general loader, read as three
// colour channels (alpha 255 in out.rgba). path is a UTF-8 file path.
LoadResult decodeWithFallback(const char* path, DecodedImage& out);

// Which decoder the file's first bytes (and, for TGA without its footer, the name's
// ".tga" ending) select.
enum class ImageKind { None, BMP, TGA, PNG, JPEG, DDS };
ImageKind detectImageKind(const uint8_t* bytes, std::size_t size, const char* fileName);

// The width and height the header of a file of this kind claims, without decoding it.
// False when the header does not tell (too short, no frame header; DDS, whose pictures
// stay compressed as stored, and unknown kinds never tell). The values are as stored:
// they may be zero or beyond any limit.
bool claimedImageSize(const uint8_t* bytes, std::size_t size, ImageKind kind, int64_t& width, int64_t& height);

// Opens the texture a model names (CP932, '\' separators, case as the model author
// typed it; see resolveTexturePath), decodes it with the decoder its signature selects
// and falls back to OpenCV when that decoder refuses or none matches. A file that
// cannot be opened fails at once. A refusal names the file as resolved, and its text()
// reads e.g. "tex/a.bmp: cannot open file: No such file or directory".
LoadResult decodeTextureFile(const char* cp932Name, DecodedImage& out);
