// Reading a picture file whole and decoding it: the kind its first bytes select, the
// size its header claims checked before anything is allocated, and OpenCV's general
// loader as the last resort.
#include "image/ImageDecoders.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/Paths.h"

ImageKind detectImageKind(const uint8_t* bytes, std::size_t size, const char* fileName) {
    if (size >= 2 && bytes[0] == 'B' && bytes[1] == 'M') return ImageKind::BMP;
    // The TGA 2.0 footer ends in "TRUEVISION-XFILE.\0"; its start is 18 bytes from the end.
    if (size >= 18 && std::memcmp(bytes + size - 18, "TRUE", 4) == 0) return ImageKind::TGA;
    if (size >= 4 && bytes[0] == 0x89 && bytes[1] == 'P' && bytes[2] == 'N' && bytes[3] == 'G') return ImageKind::PNG;
    if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xD8) return ImageKind::JPEG;
    if (size >= 4 && std::memcmp(bytes, "DDS ", 4) == 0) return ImageKind::DDS;
    // Older TGA files have no signature at all; only the name tells.
    const std::size_t n = fileName ? std::strlen(fileName) : 0;
    if (n >= 5) {
        const char* e = fileName + n - 3;
        if ((e[0] | 0x20) == 't' && (e[1] | 0x20) == 'g' && (e[2] | 0x20) == 'a') return ImageKind::TGA;
    }
    return ImageKind::None;
}

LoadResult decodeWithFallback(const char* path, DecodedImage& out) {
    out = DecodedImage{};
    cv::Mat bgr;
    try {
        bgr = cv::imread(path, cv::IMREAD_COLOR);
    } catch (const cv::Exception& e) {
        return LoadResult::refuse(std::string("the general image loader failed: ") + e.what());
    }
    if (bgr.empty() || bgr.type() != CV_8UC3)
        return LoadResult::refuse("the general image loader cannot read it");
    DecodedImage image;
    if (!allocateImage(image, bgr.cols, bgr.rows)) return refuseAllocation(bgr.cols, bgr.rows);
    cv::Mat rgba(bgr.rows, bgr.cols, CV_8UC4, image.rgba.data());
    cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);  // writes into image.rgba: same size and type
    image.fromFallback = true;
    out = std::move(image);
    return {};
}

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& problem) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        problem = std::string("cannot open file: ") + std::strerror(errno);
        return false;
    }
    struct stat info;
    if (fstat(fileno(file.get()), &info) != 0) {
        problem = std::string("cannot read file: ") + std::strerror(errno);
        return false;
    }
    // A folder opens for reading too, but has no bytes to give.
    if (!S_ISREG(info.st_mode)) {
        problem = "cannot read file: not a regular file";
        return false;
    }
    bytes.resize(std::size_t(info.st_size));
    if (!bytes.empty() && std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
        problem = std::string("cannot read file: ") + (std::ferror(file.get()) ? std::strerror(errno) : "it ends early");
        return false;
    }
    return true;
}

}  // namespace

LoadResult decodeTextureFile(const char* cp932Name, DecodedImage& out) {
    out = DecodedImage{};
    const std::string path = resolveTexturePath(cp932Name ? cp932Name : "");
    std::vector<uint8_t> bytes;
    std::string problem;
    if (!readWholeFile(path, bytes, problem)) return LoadResult::refuse(problem).inFile(path);
    // A picture too large to hold is refused on its header's word, before our decoder
    // or the fallback (which has no such limit) allocates it.
    const ImageKind kind = detectImageKind(bytes.data(), bytes.size(), cp932Name);
    int64_t width = 0, height = 0;
    if (claimedImageSize(bytes.data(), bytes.size(), kind, width, height) && width > 0 && height > 0 &&
        !imageSizeAllowed(width, height))
        return refuseAllocation(width, height).inFile(path);
    LoadResult decoded = LoadResult::refuse("no decoder of ours reads it");
    switch (kind) {
        case ImageKind::BMP: decoded = decodeBMP(bytes.data(), bytes.size(), out); break;
        case ImageKind::TGA: decoded = decodeTGA(bytes.data(), bytes.size(), out); break;
        case ImageKind::PNG: decoded = decodePNG(bytes.data(), bytes.size(), out); break;
        case ImageKind::JPEG: decoded = decodeJPEG(bytes.data(), bytes.size(), out); break;
        case ImageKind::DDS: decoded = decodeDDS(bytes.data(), bytes.size(), out); break;
        case ImageKind::None: break;
    }
    bytes = std::vector<uint8_t>();  // the fallback reads the file itself
    if (decoded) return decoded;
    if (decodeWithFallback(path.c_str(), out)) return {};
    return LoadResult::refuse("not an image this program can read, or a damaged one").inFile(path);
}
