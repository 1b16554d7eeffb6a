// Shared by the texture and JPEG suites: file I/O, the real test images, and reference
// pixels from OpenCV.
#pragma once

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/ImageDecoders.h"

namespace texturetest {

inline std::string realTexture(const std::string& relative) {
    return std::string(PAVONIX_TESTDATA_DIR) + "/textures/" + relative;
}

#define SKIP_WITHOUT_REAL_TEXTURES()                                                        \
    do {                                                                                    \
        if (!std::ifstream(texturetest::realTexture("bmp/image-rs/rgb24.bmp")))             \
            GTEST_SKIP() << "real test textures not found under " PAVONIX_TESTDATA_DIR;     \
    } while (0)

inline std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// A fresh folder under the build tree for files a test writes.
inline std::string scratchDir(const std::string& name) {
    const std::string dir = std::string(PAVONIX_BINARY_DIR) + "/test_scratch/" + name;
    std::string cmd = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot create " << dir;
    return dir;
}

// Little-endian writers for building files byte by byte.
inline void put16(std::vector<uint8_t>& v, unsigned x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
inline void put32(std::vector<uint8_t>& v, uint32_t x) {
    put16(v, x & 0xFFFF);
    put16(v, x >> 16);
}

// A picture with smooth gradients, hard edges and fine detail, so that colour errors,
// mirrored rows and shifted blocks all show.
inline std::vector<uint8_t> testPicture(int width, int height, bool withAlpha = false) {
    std::vector<uint8_t> rgba(std::size_t(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &rgba[(std::size_t(y) * width + x) * 4];
            p[0] = uint8_t(255 * x / (width > 1 ? width - 1 : 1));
            p[1] = uint8_t(255 * y / (height > 1 ? height - 1 : 1));
            p[2] = ((x / 8 + y / 8) % 2) ? 220 : 40;
            if ((x - width / 2) * (x - width / 2) + (y - height / 3) * (y - height / 3) < width * height / 16) {
                p[0] = 250, p[1] = 240, p[2] = 30;
            }
            p[3] = withAlpha ? uint8_t((x * 37 + y * 11) & 0xFF) : 255;
        }
    }
    return rgba;
}

inline int maxDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size()) return 1000;
    int worst = 0;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    return worst;
}

// Peak signal-to-noise ratio over the R, G, B samples of two RGBA pictures.
inline double psnrRGB(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = 0; i + 3 < a.size() && i + 3 < b.size(); i += 4) {
        for (int c = 0; c < 3; ++c, ++n) sum += double(a[i + c] - b[i + c]) * double(a[i + c] - b[i + c]);
    }
    if (n == 0) return 0;
    if (sum == 0) return 99.0;
    return 10.0 * std::log10(255.0 * 255.0 / (sum / double(n)));
}

// OpenCV's reading of a file as RGBA (8-bit), or empty. gammaExponent, when not 1,
// is applied to colour samples (not alpha) from their full stored precision, the way a
// gamma-correcting PNG reader does.
inline std::vector<uint8_t> referenceRGBA(const std::string& path, int* width, int* height,
                                          double gammaExponent = 1.0) {
    cv::Mat m = cv::imread(path, cv::IMREAD_UNCHANGED);
    if (m.empty()) return {};
    const double maxValue = m.depth() == CV_16U ? 65535.0 : 255.0;
    cv::Mat f;
    m.convertTo(f, CV_32F, 1.0 / maxValue);
    cv::Mat rgba;
    switch (f.channels()) {
        case 1: cv::cvtColor(f, rgba, cv::COLOR_GRAY2RGBA); break;
        case 3: cv::cvtColor(f, rgba, cv::COLOR_BGR2RGBA); break;
        case 4: cv::cvtColor(f, rgba, cv::COLOR_BGRA2RGBA); break;
        default: return {};
    }
    *width = rgba.cols;
    *height = rgba.rows;
    std::vector<uint8_t> out;
    out.reserve(std::size_t(rgba.cols) * rgba.rows * 4);
    for (int y = 0; y < rgba.rows; ++y) {
        for (int x = 0; x < rgba.cols; ++x) {
            const cv::Vec4f p = rgba.at<cv::Vec4f>(y, x);
            for (int c = 0; c < 4; ++c) {
                const double v = c < 3 ? std::pow(double(p[c]), gammaExponent) : double(p[c]);
                out.push_back(uint8_t(std::lround(v * 255.0)));
            }
        }
    }
    return out;
}

}  // namespace texturetest
