// Small image writers for the demo assets: each format the texture loader reads, from
// one RGBA picture in memory (top row first).
#pragma once

#include <png.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace demo {

struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;  // top row first
    uint8_t* at(int x, int y) { return &rgba[(static_cast<size_t>(y) * width + x) * 4]; }
    const uint8_t* at(int x, int y) const { return &rgba[(static_cast<size_t>(y) * width + x) * 4]; }
};

inline void put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void put32(std::vector<uint8_t>& out, uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

inline bool writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// 24-bit BMP, bottom row first as the format stores it.
inline bool writeBMP(const std::string& path, const Picture& p) {
    const uint32_t stride = (static_cast<uint32_t>(p.width) * 3 + 3) & ~3u;
    std::vector<uint8_t> out;
    out.push_back('B');
    out.push_back('M');
    put32(out, 54 + stride * p.height);
    put32(out, 0);
    put32(out, 54);
    put32(out, 40);
    put32(out, p.width);
    put32(out, p.height);
    put16(out, 1);
    put16(out, 24);
    put32(out, 0);
    put32(out, stride * p.height);
    put32(out, 2835);
    put32(out, 2835);
    put32(out, 0);
    put32(out, 0);
    for (int y = p.height - 1; y >= 0; --y) {
        size_t rowStart = out.size();
        for (int x = 0; x < p.width; ++x) {
            const uint8_t* c = p.at(x, y);
            out.push_back(c[2]);
            out.push_back(c[1]);
            out.push_back(c[0]);
        }
        while (out.size() - rowStart < stride) out.push_back(0);
    }
    return writeBytes(path, out);
}

// 32-bit uncompressed TGA, top row first, with the 2.0 footer.
inline bool writeTGA(const std::string& path, const Picture& p) {
    std::vector<uint8_t> out(18, 0);
    out[2] = 2;
    out[12] = static_cast<uint8_t>(p.width);
    out[13] = static_cast<uint8_t>(p.width >> 8);
    out[14] = static_cast<uint8_t>(p.height);
    out[15] = static_cast<uint8_t>(p.height >> 8);
    out[16] = 32;
    out[17] = 0x20 | 8;  // top-left origin, 8 alpha bits
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            const uint8_t* c = p.at(x, y);
            out.push_back(c[2]);
            out.push_back(c[1]);
            out.push_back(c[0]);
            out.push_back(c[3]);
        }
    }
    for (int i = 0; i < 8; ++i) out.push_back(0);
    const char sig[] = "TRUEVISION-XFILE.";
    out.insert(out.end(), sig, sig + sizeof(sig));  // includes the closing zero
    return writeBytes(path, out);
}

inline bool writePNG(const std::string& path, const Picture& p) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, p.width, p.height, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < p.height; ++y) png_write_row(png, const_cast<uint8_t*>(p.at(0, y)));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return std::fclose(f) == 0;
}

// Baseline JPEG (4:2:0) through the image library.
inline bool writeJPEG(const std::string& path, const Picture& p) {
    cv::Mat bgr(p.height, p.width, CV_8UC3);
    for (int y = 0; y < p.height; ++y) {
        for (int x = 0; x < p.width; ++x) {
            const uint8_t* c = p.at(x, y);
            bgr.at<cv::Vec3b>(y, x) = cv::Vec3b(c[2], c[1], c[0]);
        }
    }
    return cv::imwrite(path, bgr, {cv::IMWRITE_JPEG_QUALITY, 92, cv::IMWRITE_JPEG_PROGRESSIVE, 0});
}

inline uint16_t to565(const uint8_t* c) {
    return static_cast<uint16_t>(((c[0] >> 3) << 11) | ((c[1] >> 2) << 5) | (c[2] >> 3));
}
inline void from565(uint16_t v, int out[3]) {
    out[0] = ((v >> 11) & 31) * 255 / 31;
    out[1] = ((v >> 5) & 63) * 255 / 63;
    out[2] = (v & 31) * 255 / 31;
}

// DXT1 DDS with a full mip chain; each 4x4 block uses its darkest and brightest colour
// as end points (good enough for soft pictures).
inline void encodeDXT1(const Picture& p, std::vector<uint8_t>& out) {
    for (int by = 0; by < p.height; by += 4) {
        for (int bx = 0; bx < p.width; bx += 4) {
            const uint8_t* lo = nullptr;
            const uint8_t* hi = nullptr;
            int loL = 1 << 30, hiL = -1;
            for (int y = 0; y < 4; ++y) {
                for (int x = 0; x < 4; ++x) {
                    const uint8_t* c = p.at(std::min(bx + x, p.width - 1), std::min(by + y, p.height - 1));
                    const int l = c[0] * 3 + c[1] * 6 + c[2];
                    if (l < loL) loL = l, lo = c;
                    if (l > hiL) hiL = l, hi = c;
                }
            }
            uint16_t c0 = to565(hi), c1 = to565(lo);
            if (c0 < c1) std::swap(c0, c1);
            int pal[4][3];
            from565(c0, pal[0]);
            from565(c1, pal[1]);
            for (int k = 0; k < 3; ++k) {
                pal[2][k] = (2 * pal[0][k] + pal[1][k]) / 3;
                pal[3][k] = (pal[0][k] + 2 * pal[1][k]) / 3;
            }
            uint32_t indices = 0;
            for (int y = 0; y < 4; ++y) {
                for (int x = 0; x < 4; ++x) {
                    const uint8_t* c = p.at(std::min(bx + x, p.width - 1), std::min(by + y, p.height - 1));
                    int best = 0, bestD = 1 << 30;
                    for (int i = 0; i < 4; ++i) {
                        if (c0 == c1 && i > 1) break;
                        const int d = (c[0] - pal[i][0]) * (c[0] - pal[i][0]) + (c[1] - pal[i][1]) * (c[1] - pal[i][1]) +
                                      (c[2] - pal[i][2]) * (c[2] - pal[i][2]);
                        if (d < bestD) bestD = d, best = i;
                    }
                    indices |= static_cast<uint32_t>(best) << (2 * (y * 4 + x));
                }
            }
            put16(out, c0);
            put16(out, c1);
            put32(out, indices);
        }
    }
}

inline Picture halve(const Picture& p) {
    Picture h;
    h.width = std::max(1, p.width / 2);
    h.height = std::max(1, p.height / 2);
    h.rgba.resize(static_cast<size_t>(h.width) * h.height * 4);
    for (int y = 0; y < h.height; ++y) {
        for (int x = 0; x < h.width; ++x) {
            for (int k = 0; k < 4; ++k) {
                int sum = 0;
                for (int dy = 0; dy < 2; ++dy) {
                    for (int dx = 0; dx < 2; ++dx) {
                        sum += p.at(std::min(2 * x + dx, p.width - 1), std::min(2 * y + dy, p.height - 1))[k];
                    }
                }
                h.at(x, y)[k] = static_cast<uint8_t>(sum / 4);
            }
        }
    }
    return h;
}

inline bool writeDDS(const std::string& path, const Picture& p) {
    std::vector<Picture> levels{p};
    while (levels.back().width > 1 || levels.back().height > 1) levels.push_back(halve(levels.back()));
    std::vector<uint8_t> out;
    out.insert(out.end(), {'D', 'D', 'S', ' '});
    put32(out, 124);
    put32(out, 0x1 | 0x2 | 0x4 | 0x1000 | 0x20000 | 0x80000);  // caps, height, width, format, mips, linear size
    put32(out, p.height);
    put32(out, p.width);
    put32(out, static_cast<uint32_t>(((p.width + 3) / 4) * ((p.height + 3) / 4) * 8));
    put32(out, 0);
    put32(out, static_cast<uint32_t>(levels.size()));
    for (int i = 0; i < 11; ++i) put32(out, 0);
    put32(out, 32);   // pixel format size
    put32(out, 0x4);  // four-character code present
    out.insert(out.end(), {'D', 'X', 'T', '1'});
    for (int i = 0; i < 5; ++i) put32(out, 0);
    put32(out, 0x1000 | 0x8 | 0x400000);  // texture, complex, mipmap
    for (int i = 0; i < 4; ++i) put32(out, 0);
    for (const Picture& level : levels) encodeDXT1(level, out);
    return writeBytes(path, out);
}

}  // namespace demo
