// The BMP, TGA, PNG and DDS decoders, the choice of decoder by signature and name, the
// fallback to OpenCV, and refusal of every truncated file.
#include <gtest/gtest.h>
#include <GL/gl.h>
#include <GL/glext.h>
#include <unistd.h>

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <zlib.h>

#include "image/ImageDecoders.h"
#include "image/test_texture_helpers.h"

using namespace texturetest;

namespace {

// ---- Writers for files of known content. ----

// A picture made of at most paletteSize colours, so palette files can hold it.
std::vector<uint8_t> palettePicture(int width, int height, int paletteSize, std::vector<uint8_t>* palette) {
    palette->clear();
    for (int i = 0; i < paletteSize; ++i) {
        palette->insert(palette->end(), {uint8_t(i * 37), uint8_t(255 - i * 11), uint8_t(i * 101), 255});
    }
    std::vector<uint8_t> rgba;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int index = (x * 3 + y * 5 + x * y) % paletteSize;
            rgba.insert(rgba.end(), palette->begin() + 4 * index, palette->begin() + 4 * index + 4);
        }
    return rgba;
}

int paletteIndex(const std::vector<uint8_t>& palette, const uint8_t* px) {
    for (std::size_t i = 0; i < palette.size() / 4; ++i)
        if (std::memcmp(&palette[4 * i], px, 4) == 0) return int(i);
    return 0;
}

std::vector<uint8_t> writeBmp(const std::vector<uint8_t>& rgba, int width, int height, int bits, bool topDown,
                              const std::vector<uint8_t>& palette = {}, uint32_t infoSize = 40) {
    const std::size_t stride = ((std::size_t(bits) * width + 31) / 32) * 4;
    const std::size_t paletteEntries = bits <= 8 ? std::size_t(1) << bits : 0;
    const std::size_t dataOffset = 14 + infoSize + paletteEntries * 4;
    std::vector<uint8_t> f{'B', 'M'};
    put32(f, uint32_t(dataOffset + stride * height));
    put32(f, 0);
    put32(f, uint32_t(dataOffset));
    put32(f, infoSize);
    put32(f, uint32_t(width));
    put32(f, uint32_t(topDown ? -height : height));
    put16(f, 1);
    put16(f, unsigned(bits));
    put32(f, 0);  // no compression
    put32(f, uint32_t(stride * height));
    put32(f, 2835);
    put32(f, 2835);
    put32(f, 0);
    put32(f, 0);
    f.resize(14 + infoSize, 0);
    for (std::size_t i = 0; i < paletteEntries; ++i) {
        const bool used = 4 * i < palette.size();
        f.insert(f.end(), {used ? palette[4 * i + 2] : uint8_t(0), used ? palette[4 * i + 1] : uint8_t(0),
                           used ? palette[4 * i] : uint8_t(0), 0});
    }
    for (int row = 0; row < height; ++row) {
        const int y = topDown ? row : height - 1 - row;
        std::vector<uint8_t> line(stride, 0);
        for (int x = 0; x < width; ++x) {
            const uint8_t* px = &rgba[(std::size_t(y) * width + x) * 4];
            switch (bits) {
                case 4: line[x / 2] |= uint8_t(paletteIndex(palette, px) << ((x & 1) ? 0 : 4)); break;
                case 8: line[x] = uint8_t(paletteIndex(palette, px)); break;
                case 24: line[3 * x] = px[2], line[3 * x + 1] = px[1], line[3 * x + 2] = px[0]; break;
                case 32: line[4 * x] = px[2], line[4 * x + 1] = px[1], line[4 * x + 2] = px[0], line[4 * x + 3] = px[3]; break;
            }
        }
        f.insert(f.end(), line.begin(), line.end());
    }
    return f;
}

struct TgaLayout {
    int type = 2;  // 2 raw, 10 run-length
    int bits = 24;
    bool topFirst = false;
    bool rightToLeft = false;
    int idLength = 0;
    bool footer = false;
};

std::vector<uint8_t> writeTga(const std::vector<uint8_t>& rgba, int width, int height, const TgaLayout& l) {
    std::vector<uint8_t> f{uint8_t(l.idLength), 0, uint8_t(l.type), 0, 0, 0, 0, 0, 0, 0, 0, 0};
    put16(f, unsigned(width));
    put16(f, unsigned(height));
    f.push_back(uint8_t(l.bits));
    f.push_back(uint8_t((l.bits == 32 ? 8 : 0) | (l.topFirst ? 0x20 : 0) | (l.rightToLeft ? 0x10 : 0)));
    for (int i = 0; i < l.idLength; ++i) f.push_back(uint8_t('a' + i % 26));
    // Pixels in file order.
    std::vector<std::vector<uint8_t>> pixels;
    for (int row = 0; row < height; ++row) {
        const int y = l.topFirst ? row : height - 1 - row;
        for (int col = 0; col < width; ++col) {
            const int x = l.rightToLeft ? width - 1 - col : col;
            const uint8_t* p = &rgba[(std::size_t(y) * width + x) * 4];
            std::vector<uint8_t> v{p[2], p[1], p[0]};
            if (l.bits == 32) v.push_back(p[3]);
            pixels.push_back(v);
        }
    }
    if (l.type == 2) {
        for (auto& p : pixels) f.insert(f.end(), p.begin(), p.end());
    } else {
        // Runs of equal pixels become run packets, the rest raw packets; neither stops at
        // the end of a row.
        std::size_t i = 0;
        while (i < pixels.size()) {
            std::size_t run = 1;
            while (i + run < pixels.size() && run < 128 && pixels[i + run] == pixels[i]) ++run;
            if (run >= 2) {
                f.push_back(uint8_t(0x80 | (run - 1)));
                f.insert(f.end(), pixels[i].begin(), pixels[i].end());
                i += run;
            } else {
                std::size_t raw = 1;
                while (i + raw < pixels.size() && raw < 128 &&
                       !(i + raw + 1 < pixels.size() && pixels[i + raw] == pixels[i + raw + 1]))
                    ++raw;
                f.push_back(uint8_t(raw - 1));
                for (std::size_t k = 0; k < raw; ++k) f.insert(f.end(), pixels[i + k].begin(), pixels[i + k].end());
                i += raw;
            }
        }
    }
    if (l.footer) {
        for (int i = 0; i < 8; ++i) f.push_back(0);
        const char sig[] = "TRUEVISION-XFILE.";
        f.insert(f.end(), sig, sig + sizeof sig);  // with its terminating zero
    }
    return f;
}

// A DDS header followed by levels of arbitrary block bytes.
std::vector<uint8_t> writeDds(int width, int height, uint32_t mipCount, const char* code, std::size_t blockBytes,
                              int levelsPresent) {
    std::vector<uint8_t> f{'D', 'D', 'S', ' '};
    put32(f, 124);
    put32(f, 0x1007 | 0x20000);
    put32(f, uint32_t(height));
    put32(f, uint32_t(width));
    put32(f, 0);
    put32(f, 0);
    put32(f, mipCount);
    f.resize(76, 0);
    put32(f, 32);
    put32(f, 4);  // four-character code present
    f.insert(f.end(), code, code + 4);
    f.resize(128, 0);
    int w = width, h = height;
    for (int level = 0; level < levelsPresent; ++level) {
        const std::size_t n = std::size_t((w + 3) / 4) * ((h + 3) / 4) * blockBytes;
        for (std::size_t i = 0; i < n; ++i) f.push_back(uint8_t(level * 16 + i));
        w = std::max(1, w / 2);
        h = std::max(1, h / 2);
    }
    return f;
}

using Decoder = LoadResult (*)(const uint8_t*, std::size_t, DecodedImage&);

DecodedImage decodeFile(Decoder decoder, const std::string& path, bool* ok) {
    const auto bytes = readFile(path);
    DecodedImage image;
    *ok = decoder(bytes.data(), bytes.size(), image).ok();
    return image;
}

// decodeTextureFile with its refusal as the text the viewer shows.
bool decodeTexture(const char* name, DecodedImage& image, std::string* reason) {
    const LoadResult result = decodeTextureFile(name, image);
    *reason = result ? std::string() : result.problem().text();
    return result.ok();
}

// ---- BMP ----

TEST(BmpDecoder, DecodesEveryDepthInBothRowOrders) {
    for (int bits : {4, 8, 24, 32}) {
        for (int width : {1, 5, 8, 13}) {
            const int height = 7;
            std::vector<uint8_t> palette;
            std::vector<uint8_t> expected = bits <= 8 ? palettePicture(width, height, bits == 4 ? 16 : 200, &palette)
                                                      : testPicture(width, height, bits == 32);
            for (bool topDown : {false, true}) {
                const auto file = writeBmp(expected, width, height, bits, topDown, palette);
                DecodedImage image;
                ASSERT_TRUE(decodeBMP(file.data(), file.size(), image)) << bits << " bits, width " << width;
                EXPECT_EQ(image.width, width);
                EXPECT_EQ(image.height, height);
                EXPECT_EQ(image.rgba, expected) << bits << " bits, width " << width << (topDown ? ", top-down" : "");
            }
        }
    }
}

TEST(BmpDecoder, TakesThePaletteFromBehindALongerInfoHeader) {
    std::vector<uint8_t> palette;
    const auto expected = palettePicture(9, 4, 50, &palette);
    for (uint32_t infoSize : {108u, 124u}) {
        const auto file = writeBmp(expected, 9, 4, 8, false, palette, infoSize);
        DecodedImage image;
        ASSERT_TRUE(decodeBMP(file.data(), file.size(), image));
        EXPECT_EQ(image.rgba, expected) << infoSize;
    }
}

TEST(BmpDecoder, RealFilesMatchOpenCV) {
    SKIP_WITHOUT_REAL_TEXTURES();
    for (const char* name : {"bmp/image-rs/Info_4_Bit.bmp", "bmp/image-rs/Info_8_Bit.bmp",
                             "bmp/image-rs/Info_R8_G8_B8.bmp", "bmp/image-rs/rgb24.bmp", "bmp/image-rs/pal8v4.bmp",
                             "bmp/image-rs/pal8v5.bmp", "bmp/libjpeg-turbo/vgl_6434_0018a.bmp"}) {
        bool ok = false;
        DecodedImage image = decodeFile(decodeBMP, realTexture(name), &ok);
        ASSERT_TRUE(ok) << name;
        int w = 0, h = 0;
        const auto reference = referenceRGBA(realTexture(name), &w, &h);
        ASSERT_EQ(image.width, w) << name;
        ASSERT_EQ(image.height, h) << name;
        EXPECT_EQ(maxDifference(image.rgba, reference), 0) << name;
    }
    // The same pictures stored top row first.
    for (const char* stem : {"Info_4_Bit", "Info_8_Bit", "Info_R8_G8_B8", "Info_A8_R8_G8_B8"}) {
        bool ok1 = false, ok2 = false;
        const std::string base = realTexture(std::string("bmp/image-rs/") + stem);
        DecodedImage bottomUp = decodeFile(decodeBMP, base + ".bmp", &ok1);
        DecodedImage topDown = decodeFile(decodeBMP, base + "_Top_Down.bmp", &ok2);
        ASSERT_TRUE(ok1 && ok2) << stem;
        EXPECT_EQ(bottomUp.rgba, topDown.rgba) << stem;
    }
    bool ok = false;
    DecodedImage sphere = decodeFile(decodeBMP, std::string(PAVONIX_TESTDATA_DIR) + "/pmd/glasses/metal.sph", &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(sphere.width, 256);
}

TEST(BmpDecoder, RefusesWhatItCannotDecode) {
    SKIP_WITHOUT_REAL_TEXTURES();
    for (const char* name : {"Info_1_Bit.bmp", "pal2.bmp", "pal4rle.bmp", "pal8rle.bmp", "Info_X1_R5_G5_B5.bmp",
                             "rgb16-565.bmp", "Core_8_Bit.bmp", "rgb32bf.bmp"}) {
        bool ok = true;
        decodeFile(decodeBMP, realTexture(std::string("bmp/image-rs/") + name), &ok);
        EXPECT_FALSE(ok) << name;
    }

    std::vector<uint8_t> palette;
    const auto picture = palettePicture(4, 4, 16, &palette);
    const auto good = writeBmp(picture, 4, 4, 8, false, palette);
    auto patched = [&](std::size_t offset, uint32_t value) {
        auto f = good;
        std::memcpy(&f[offset], &value, 4);
        DecodedImage image;
        return decodeBMP(f.data(), f.size(), image);
    };
    EXPECT_FALSE(patched(10, 0xFFFFFFF0u)) << "pixel data beyond the file";
    EXPECT_FALSE(patched(18, 70000)) << "absurd width";
    EXPECT_FALSE(patched(22, 0x80000000u)) << "most negative height";
    EXPECT_FALSE(patched(18, 0)) << "zero width";
    EXPECT_FALSE(patched(22, 40)) << "height beyond the data";
    EXPECT_FALSE(patched(14, 0xFFFFFF00u)) << "info header longer than the file";
    EXPECT_TRUE(patched(46, 3)) << "three palette entries is a valid palette";
}

// ---- TGA ----

TEST(TgaDecoder, EveryRowAndColumnOrderGivesTheSamePicture) {
    const int width = 37, height = 11;
    for (int bits : {24, 32}) {
        const auto expected = testPicture(width, height, bits == 32);
        for (int type : {2, 10}) {
            for (int order = 0; order < 4; ++order) {
                TgaLayout l;
                l.type = type;
                l.bits = bits;
                l.topFirst = order & 1;
                l.rightToLeft = order & 2;
                l.idLength = order * 7;
                l.footer = order == 3;
                const auto file = writeTga(expected, width, height, l);
                DecodedImage image;
                ASSERT_TRUE(decodeTGA(file.data(), file.size(), image)) << type << " " << bits << " " << order;
                EXPECT_EQ(image.rgba, expected) << "type " << type << ", " << bits << " bits, order " << order;
            }
        }
    }
}

TEST(TgaDecoder, RealFiles) {
    SKIP_WITHOUT_REAL_TEXTURES();
    const std::string dir = realTexture("tga/image-rs-testsuite/");
    bool ok = false;
    const DecodedImage topLeft = decodeFile(decodeTGA, dir + "top_left.tga", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(topLeft.width, 75);
    // The four files hold the same bytes and differ only in the declared origin, so
    // each must come out as the first one mirrored accordingly.
    const struct {
        const char* name;
        bool flipRows, flipColumns;
    } orders[] = {{"top_right.tga", false, true}, {"bottom_left.tga", true, false}, {"bottom_right.tga", true, true}};
    for (const auto& o : orders) {
        const DecodedImage other = decodeFile(decodeTGA, dir + o.name, &ok);
        ASSERT_TRUE(ok) << o.name;
        ASSERT_EQ(other.rgba.size(), topLeft.rgba.size());
        const int w = topLeft.width, h = topLeft.height;
        int mismatches = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int sy = o.flipRows ? h - 1 - y : y, sx = o.flipColumns ? w - 1 - x : x;
                mismatches += std::memcmp(&other.rgba[(y * w + x) * 4], &topLeft.rgba[(sy * w + sx) * 4], 4) != 0;
            }
        EXPECT_EQ(mismatches, 0) << o.name;
    }
    // Raw and run-length files of one picture, both behind a 26-byte image ID.
    const DecodedImage raw = decodeFile(decodeTGA, dir + "utc24.tga", &ok);
    ASSERT_TRUE(ok);
    const DecodedImage packed = decodeFile(decodeTGA, dir + "ctc24.tga", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(raw.rgba, packed.rgba);
    const DecodedImage withAlpha = decodeFile(decodeTGA, dir + "utc32.tga", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(withAlpha.width, 128);

    for (const char* name : {"utc16.tga", "cbw8.tga", "ubw8.tga", "ccm8.tga", "ucm8.tga", "b5-cmap.tga"}) {
        decodeFile(decodeTGA, dir + name, &ok);
        EXPECT_FALSE(ok) << name;
    }
}

TEST(TgaDecoder, RefusesPixelsBeyondTheFile) {
    const auto picture = testPicture(9, 9);
    TgaLayout rle;
    rle.type = 10;
    const auto packed = writeTga(picture, 9, 9, rle);
    // A run-length packet that claims more pixels than are left is cut at the last one.
    auto overlong = packed;
    overlong.push_back(0xFF);
    overlong.insert(overlong.end(), {1, 2, 3});
    DecodedImage image;
    EXPECT_TRUE(decodeTGA(overlong.data(), overlong.size(), image));
    // An image ID longer than the file.
    auto id = packed;
    id[0] = 255;
    id.resize(18 + 100);
    EXPECT_FALSE(decodeTGA(id.data(), id.size(), image));
    // A width the file's pixels cannot fill.
    TgaLayout raw;
    auto wide = writeTga(picture, 9, 9, raw);
    wide[12] = 0xFF;
    wide[13] = 0x3F;
    EXPECT_FALSE(decodeTGA(wide.data(), wide.size(), image));
}

// ---- PNG ----

TEST(PngDecoder, MatchesOpenCVForPngSuite) {
    SKIP_WITHOUT_REAL_TEXTURES();
    // Every PngSuite file declares gamma 1.0; the decoder corrects it for an sRGB
    // screen (exponent 1 / 2.2), which OpenCV does not, so the reference gets the same
    // correction from the file's full-precision samples.
    const char* names[] = {
        "basn3p08", "basn3p01", "basn3p04",             // palette
        "basn0g01", "basn0g02", "basn0g04", "basn0g08",  // grey
        "basn0g16", "basn4a08", "basn4a16",              // 16-bit grey, grey + alpha
        "basn2c08", "basn2c16", "basn6a08", "basn6a16",  // colour, 16-bit, alpha
        "basi0g08", "basi2c16", "basi3p04", "basi6a08", "basi4a16",  // interlaced
        "s39i3p04", "s01n3p01", "s35n3p04",                          // odd sizes
        "tp1n3p08", "tbbn3p08",                                      // palette transparency
        "cs5n2c08", "cs3n2c16", "cs5n3p08",  // significant bits below the depth: not darkened
    };
    for (const char* stem : names) {
        const std::string path = realTexture(std::string("png/pngsuite/") + stem + ".png");
        bool ok = false;
        const DecodedImage image = decodeFile(decodePNG, path, &ok);
        ASSERT_TRUE(ok) << stem;
        int w = 0, h = 0;
        const auto reference = referenceRGBA(path, &w, &h, 1.0 / 2.2);
        ASSERT_FALSE(reference.empty()) << stem;
        ASSERT_EQ(image.width, w) << stem;
        ASSERT_EQ(image.height, h) << stem;
        EXPECT_LE(maxDifference(image.rgba, reference), 2) << stem;
    }
    // Files without gamma information keep their samples.
    for (const char* stem : {"f00n2c08", "f01n2c08", "f02n2c08", "f03n2c08", "f04n2c08", "z09n2c08", "z00n2c08"}) {
        const std::string path = realTexture(std::string("png/pngsuite/") + stem + ".png");
        bool ok = false;
        const DecodedImage image = decodeFile(decodePNG, path, &ok);
        ASSERT_TRUE(ok) << stem;
        int w = 0, h = 0;
        EXPECT_EQ(maxDifference(image.rgba, referenceRGBA(path, &w, &h)), 0) << stem;
    }
}

TEST(PngDecoder, KeepsPixelsExactlyWithoutGammaInformation) {
    const std::string dir = scratchDir("png_exact");
    const auto picture = testPicture(23, 17, true);
    cv::Mat rgba(17, 23, CV_8UC4, const_cast<uint8_t*>(picture.data()));
    cv::Mat bgra;
    cv::cvtColor(rgba, bgra, cv::COLOR_RGBA2BGRA);
    ASSERT_TRUE(cv::imwrite(dir + "/a.png", bgra));
    bool ok = false;
    const DecodedImage image = decodeFile(decodePNG, dir + "/a.png", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(image.rgba, picture);
}

TEST(PngDecoder, RefusesCorruptFiles) {
    SKIP_WITHOUT_REAL_TEXTURES();
    int refused = 0;
    for (const char* stem : {"xc1n0g08", "xc9n2c08", "xcrn0g04", "xcsn0g01", "xd0n2c08", "xd3n2c08", "xd9n2c08",
                             "xdtn0g01", "xhdn0g08", "xlfn0g04", "xs1n0g01", "xs2n0g01", "xs4n0g01", "xs7n0g01"}) {
        const std::string path = realTexture(std::string("png/pngsuite/") + stem + ".png");
        if (!std::ifstream(path)) continue;
        bool ok = true;
        decodeFile(decodePNG, path, &ok);
        EXPECT_FALSE(ok) << stem;
        ++refused;
    }
    EXPECT_GT(refused, 10);
}

// A PNG writer of our own, so every filter, chunking and damage can be chosen: 8-bit RGB
// or RGBA rows filtered as filterOf(row) says, the zlib stream cut into IDAT chunks of
// `piece` bytes, and `extra` chunks (type, body) placed before the image data.
struct PngPlan {
    int bpp = 3;
    int (*filterOf)(int row) = [](int) { return 0; };
    std::size_t piece = 1 << 20;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> extra;
};

void putChunk(std::vector<uint8_t>& file, const char* type, const std::vector<uint8_t>& body) {
    const uint32_t n = uint32_t(body.size());
    for (int k = 3; k >= 0; --k) file.push_back(uint8_t(n >> (8 * k)));
    std::vector<uint8_t> typed(type, type + 4);
    typed.insert(typed.end(), body.begin(), body.end());
    file.insert(file.end(), typed.begin(), typed.end());
    const uint32_t crc = uint32_t(crc32(0L, typed.data(), uInt(typed.size())));
    for (int k = 3; k >= 0; --k) file.push_back(uint8_t(crc >> (8 * k)));
}

std::vector<uint8_t> writePng(const std::vector<uint8_t>& rgba, int w, int h, const PngPlan& plan) {
    const int bpp = plan.bpp;
    const std::size_t rowBytes = std::size_t(w) * bpp;
    std::vector<uint8_t> raw, filtered;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < bpp; ++c) raw.push_back(rgba[(std::size_t(y) * w + x) * 4 + c]);
    for (int y = 0; y < h; ++y) {
        const int f = plan.filterOf(y);
        filtered.push_back(uint8_t(f));
        for (std::size_t i = 0; i < rowBytes; ++i) {
            const int v = raw[y * rowBytes + i];
            const int a = i >= std::size_t(bpp) ? raw[y * rowBytes + i - bpp] : 0;
            const int b = y > 0 ? raw[(y - 1) * rowBytes + i] : 0;
            const int c = y > 0 && i >= std::size_t(bpp) ? raw[(y - 1) * rowBytes + i - bpp] : 0;
            const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            const int paeth = pa <= pb && pa <= pc ? a : (pb <= pc ? b : c);
            const int predictor[5] = {0, a, b, (a + b) / 2, paeth};
            filtered.push_back(uint8_t(v - predictor[f % 5]));
        }
    }
    uLongf packedSize = compressBound(uLong(filtered.size()));
    std::vector<uint8_t> packed(packedSize);
    EXPECT_EQ(compress2(packed.data(), &packedSize, filtered.data(), uLong(filtered.size()), 6), Z_OK);
    packed.resize(packedSize);
    std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> ihdr;
    for (uint32_t v : {uint32_t(w), uint32_t(h)})
        for (int k = 3; k >= 0; --k) ihdr.push_back(uint8_t(v >> (8 * k)));
    ihdr.insert(ihdr.end(), {8, uint8_t(bpp == 4 ? 6 : 2), 0, 0, 0});
    putChunk(file, "IHDR", ihdr);
    for (const auto& c : plan.extra) putChunk(file, c.first.c_str(), c.second);
    for (std::size_t at = 0; at < packed.size(); at += plan.piece)
        putChunk(file, "IDAT",
                 std::vector<uint8_t>(packed.begin() + std::ptrdiff_t(at),
                                      packed.begin() + std::ptrdiff_t(std::min(packed.size(), at + plan.piece))));
    putChunk(file, "IEND", {});
    return file;
}

// The picture with noise, so that every Paeth choice and every carry occurs.
std::vector<uint8_t> noisyPicture(int w, int h, bool alpha) {
    auto picture = testPicture(w, h, alpha);
    std::mt19937 rng(5);
    for (std::size_t i = 0; i < picture.size(); ++i)
        if (alpha || i % 4 != 3) picture[i] = uint8_t(picture[i] + (rng() % 9) - 4);
    return picture;
}

TEST(PngDecoder, EveryFilterAndChunkingGivesTheExactPixels) {
    int (*const filterings[])(int) = {
        [](int) { return 0; }, [](int) { return 1; }, [](int) { return 2; },
        [](int) { return 3; }, [](int) { return 4; }, [](int y) { return (y * 3 + 1) % 5; },
    };
    for (int bpp : {3, 4}) {
        for (int w : {1, 2, 5, 31}) {
            const int h = 9;
            const auto picture = noisyPicture(w, h, bpp == 4);
            for (int f = 0; f < 6; ++f) {
                for (std::size_t piece : {std::size_t(1), std::size_t(7), std::size_t(1) << 20}) {
                    PngPlan plan;
                    plan.bpp = bpp;
                    plan.filterOf = filterings[f];
                    plan.piece = piece;
                    const auto file = writePng(picture, w, h, plan);
                    DecodedImage image;
                    ASSERT_TRUE(decodePNG(file.data(), file.size(), image)) << bpp << " " << w << " " << f;
                    ASSERT_EQ(image.width, w);
                    ASSERT_EQ(image.height, h);
                    ASSERT_EQ(image.rgba, picture) << "bpp " << bpp << " width " << w << " filtering " << f
                                                   << " piece " << piece;
                }
            }
        }
    }
}

TEST(PngDecoder, RefusesDamageAndHonoursGammaAndTransparency) {
    const int w = 16, h = 8;
    const auto picture = noisyPicture(w, h, false);
    PngPlan plan;
    plan.filterOf = [](int y) { return y % 5; };
    plan.piece = 100;
    const auto good = writePng(picture, w, h, plan);
    DecodedImage image;
    ASSERT_TRUE(decodePNG(good.data(), good.size(), image));
    // The first IDAT's body starts after signature, IHDR (25 bytes) and its own header.
    const std::size_t idatBody = 8 + 25 + 8;
    ASSERT_EQ(std::memcmp(good.data() + idatBody - 4, "IDAT", 4), 0);
    // A byte of image data changed: the chunk's CRC no longer matches.
    auto damaged = good;
    damaged[idatBody + 20] ^= 0x10;
    EXPECT_FALSE(decodePNG(damaged.data(), damaged.size(), image));
    EXPECT_TRUE(image.rgba.empty());
    // The same change with the CRC made to match: the zlib stream's own check, or the
    // deflate data itself, gives it away.
    std::vector<uint8_t> typed(damaged.begin() + std::ptrdiff_t(idatBody - 4),
                               damaged.begin() + std::ptrdiff_t(idatBody + 100));
    const uint32_t crc = uint32_t(crc32(0L, typed.data(), uInt(typed.size())));
    for (int k = 0; k < 4; ++k) damaged[idatBody + 100 + k] = uint8_t(crc >> (8 * (3 - k)));
    EXPECT_FALSE(decodePNG(damaged.data(), damaged.size(), image));
    // Cut inside the image data.
    const std::vector<uint8_t> cut(good.begin(), good.begin() + std::ptrdiff_t(idatBody + 150));
    EXPECT_FALSE(decodePNG(cut.data(), cut.size(), image));
    // A row filter that does not exist.
    PngPlan badFilter = plan;
    badFilter.filterOf = [](int y) { return y == 3 ? 7 : 0; };
    const auto unknown = writePng(picture, w, h, badFilter);
    EXPECT_FALSE(decodePNG(unknown.data(), unknown.size(), image));

    // Gamma 1.0 is brightened for the screen: mid-grey comes out near 186, not 128.
    std::vector<uint8_t> grey(std::size_t(w) * h * 4, 128);
    PngPlan linear;
    linear.extra.push_back({"gAMA", {0x00, 0x01, 0x86, 0xA0}});  // 100000
    auto file = writePng(grey, w, h, linear);
    ASSERT_TRUE(decodePNG(file.data(), file.size(), image));
    EXPECT_NEAR(image.rgba[0], 186, 1);
    // Gamma 1/2.2, as most files state it, keeps the samples.
    PngPlan usual;
    usual.extra.push_back({"gAMA", {0x00, 0x00, 0xB1, 0x8F}});  // 45455
    file = writePng(picture, w, h, usual);
    ASSERT_TRUE(decodePNG(file.data(), file.size(), image));
    EXPECT_EQ(image.rgba, picture);
    // A transparent colour makes the pixels of that colour clear, and only those.
    PngPlan keyed;
    keyed.extra.push_back({"tRNS", {0, picture[0], 0, picture[1], 0, picture[2]}});
    file = writePng(picture, w, h, keyed);
    ASSERT_TRUE(decodePNG(file.data(), file.size(), image));
    for (std::size_t i = 0; i < picture.size(); i += 4) {
        const bool key = std::memcmp(&picture[i], &picture[0], 3) == 0;
        EXPECT_EQ(image.rgba[i + 3], key ? 0 : 255) << "pixel " << i / 4;
    }
}

// ---- DDS ----

TEST(DdsDecoder, KeepsEveryStoredLevel) {
    SKIP_WITHOUT_REAL_TEXTURES();
    const struct {
        const char* name;
        unsigned format;
        std::size_t blockBytes;
    } cases[] = {
        {"DX9_BC1_UNORM.dds", GL_COMPRESSED_RGBA_S3TC_DXT1_EXT, 8},
        {"DX9_BC2_UNORM.dds", GL_COMPRESSED_RGBA_S3TC_DXT3_EXT, 16},
        {"DX9_BC3_UNORM.dds", GL_COMPRESSED_RGBA_S3TC_DXT5_EXT, 16},
    };
    for (const auto& c : cases) {
        const auto bytes = readFile(realTexture(std::string("dds/image-rs/") + c.name));
        DecodedImage image;
        ASSERT_TRUE(decodeDDS(bytes.data(), bytes.size(), image)) << c.name;
        EXPECT_EQ(image.compressedFormat, c.format);
        EXPECT_TRUE(image.rgba.empty());
        EXPECT_EQ(image.width, 129);
        EXPECT_EQ(image.height, 66);
        ASSERT_EQ(image.levels.size(), 8u) << c.name;
        ASSERT_EQ(image.levelSizes.size(), 8u);
        const std::pair<int, int> sizes[8] = {{129, 66}, {64, 33}, {32, 16}, {16, 8}, {8, 4}, {4, 2}, {2, 1}, {1, 1}};
        std::size_t offset = 128;
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(image.levelSizes[i], sizes[i]) << c.name << " level " << i;
            const std::size_t n = std::size_t((sizes[i].first + 3) / 4) * ((sizes[i].second + 3) / 4) * c.blockBytes;
            ASSERT_EQ(image.levels[i].size(), n);
            EXPECT_TRUE(std::equal(image.levels[i].begin(), image.levels[i].end(), bytes.begin() + std::ptrdiff_t(offset)));
            offset += n;
        }
        EXPECT_EQ(offset, bytes.size()) << c.name;
    }
    for (const char* name : {"DX10_BC1_UNORM.dds", "DX9_BC4_UNORM.dds", "32-bit-uncompressed.dds"}) {
        const auto bytes = readFile(realTexture(std::string("dds/image-rs/") + name));
        DecodedImage image;
        EXPECT_FALSE(decodeDDS(bytes.data(), bytes.size(), image)) << name;
    }
}

TEST(DdsDecoder, LevelCounts) {
    DecodedImage image;
    // No mip chain declared: the one picture the file holds.
    auto single = writeDds(8, 8, 0, "DXT1", 8, 1);
    ASSERT_TRUE(decodeDDS(single.data(), single.size(), image));
    EXPECT_EQ(image.levels.size(), 1u);
    // More levels declared than a chain down to 1x1 has.
    auto many = writeDds(8, 4, 1000, "DXT5", 16, 4);
    ASSERT_TRUE(decodeDDS(many.data(), many.size(), image));
    EXPECT_EQ(image.levels.size(), 4u);
    // Declared levels the file does not hold.
    auto missing = writeDds(16, 16, 5, "DXT3", 16, 3);
    EXPECT_FALSE(decodeDDS(missing.data(), missing.size(), image));
    auto dxt2 = writeDds(8, 8, 1, "DXT2", 16, 1);
    EXPECT_FALSE(decodeDDS(dxt2.data(), dxt2.size(), image));
    auto huge = writeDds(8, 8, 1, "DXT1", 8, 1);
    huge[16] = 0xFF, huge[17] = 0xFF, huge[18] = 0xFF, huge[19] = 0x7F;
    EXPECT_FALSE(decodeDDS(huge.data(), huge.size(), image));
}

// ---- Every decoder against damage and every truncation of a small valid file. ----

TEST(TextureDecoders, SurviveDamageAndRefuseEveryTruncatedFile) {
    std::vector<uint8_t> palette;
    const auto small = testPicture(5, 3, true);
    const auto paletted = palettePicture(5, 3, 16, &palette);
    TgaLayout rle;
    rle.type = 10;
    rle.bits = 32;
    rle.idLength = 3;
    TgaLayout raw;

    const std::string dir = scratchDir("truncation");
    cv::Mat bgra(3, 5, CV_8UC4);
    cv::cvtColor(cv::Mat(3, 5, CV_8UC4, const_cast<uint8_t*>(small.data())), bgra, cv::COLOR_RGBA2BGRA);
    ASSERT_TRUE(cv::imwrite(dir + "/s.png", bgra));
    ASSERT_TRUE(cv::imwrite(dir + "/s.jpg", bgra.colRange(0, 5)));

    const struct {
        const char* what;
        Decoder decode;
        std::vector<uint8_t> file;
        std::size_t mayDrop;  // trailing bytes the decoder never needs
    } cases[] = {
        {"BMP 24", decodeBMP, writeBmp(small, 5, 3, 24, false), 0},
        {"BMP 4", decodeBMP, writeBmp(paletted, 5, 3, 4, true, palette), 0},
        {"TGA raw", decodeTGA, writeTga(small, 5, 3, raw), 0},
        {"TGA run-length", decodeTGA, writeTga(small, 5, 3, rle), 0},
        {"PNG", decodePNG, readFile(dir + "/s.png"), 0},
        {"JPEG", decodeJPEG, readFile(dir + "/s.jpg"), 2},  // the end-of-image marker
        {"DDS", decodeDDS, writeDds(5, 3, 2, "DXT1", 8, 2), 0},
    };
    std::mt19937 rng(99);
    for (const auto& c : cases) {
        DecodedImage image;
        ASSERT_TRUE(c.decode(c.file.data(), c.file.size(), image)) << c.what;
        // Damaged headers and data: whatever a decoder accepts must be a whole picture.
        for (int trial = 0; trial < 2000; ++trial) {
            std::vector<uint8_t> bad = c.file;
            const std::size_t span = trial % 2 ? bad.size() : std::min<std::size_t>(bad.size(), 64);
            for (int i = 1 + int(rng() % 3); i > 0; --i) bad[rng() % span] = uint8_t(rng());
            if (c.decode(bad.data(), bad.size(), image) && !image.compressedFormat) {
                ASSERT_EQ(image.rgba.size(), std::size_t(image.width) * std::size_t(image.height) * 4) << c.what;
            }
        }
        for (std::size_t n = 0; n + c.mayDrop < c.file.size(); ++n) {
            // A copy of exactly n bytes, so reading past it is a reading past a heap block.
            const std::vector<uint8_t> prefix(c.file.begin(), c.file.begin() + std::ptrdiff_t(n));
            const LoadResult refused = c.decode(prefix.data(), prefix.size(), image);
            EXPECT_FALSE(refused) << c.what << ", " << n << " bytes";
            EXPECT_FALSE(refused.problem().what.empty()) << c.what << ", " << n << " bytes";
            EXPECT_TRUE(image.rgba.empty() && image.levels.empty()) << c.what;
        }
    }
}

// ---- What a refusal says. ----

TEST(TextureDecoders, RefusalsNameThePartAndTheByte) {
    const auto picture = testPicture(4, 4, true);
    DecodedImage image;
    const auto expectRefusal = [&](const LoadResult& r, const char* section, std::size_t offset,
                                   const char* words) {
        ASSERT_FALSE(r);
        EXPECT_EQ(r.problem().section, section) << r.problem().text();
        EXPECT_EQ(r.problem().offset, offset) << r.problem().text();
        EXPECT_NE(r.problem().what.find(words), std::string::npos) << r.problem().text();
        EXPECT_TRUE(r.problem().file.empty()) << "a decoder of bytes knows no file name";
    };

    // BMP: a header field it does not read, and pixel rows beyond the end.
    auto bmp = writeBmp(picture, 4, 4, 24, false);
    auto sixteen = bmp;
    sixteen[28] = 16;
    expectRefusal(decodeBMP(sixteen.data(), sixteen.size(), image), "info header", 28, "16 bits per pixel");
    auto farRows = bmp;
    const uint32_t farOffset = 1000;
    std::memcpy(&farRows[10], &farOffset, 4);
    expectRefusal(decodeBMP(farRows.data(), farRows.size(), image), "pixels", 1000, "run past the end");

    // TGA: an image ID longer than the file; a run-length stream cut inside its packets.
    TgaLayout rle;
    rle.type = 10;
    auto id = writeTga(picture, 4, 4, rle);
    id[0] = 200;
    expectRefusal(decodeTGA(id.data(), id.size(), image), "image ID", 18, "ends early");
    const auto packed = writeTga(picture, 4, 4, rle);
    const std::vector<uint8_t> cutPackets(packed.begin(), packed.begin() + 18 + 10);
    const LoadResult cut = decodeTGA(cutPackets.data(), cutPackets.size(), image);
    ASSERT_FALSE(cut);
    EXPECT_EQ(cut.problem().section, "run-length packets");
    EXPECT_GE(cut.problem().offset, 18u);
    EXPECT_LT(cut.problem().offset, 28u);

    // DDS: the second mip level missing; the text reads "section at byte N: what".
    const auto dds = writeDds(8, 8, 2, "DXT1", 8, 1);
    const LoadResult level = decodeDDS(dds.data(), dds.size(), image);
    expectRefusal(level, "mip level 1", 128 + 32, "ends early");
    EXPECT_EQ(level.problem().text(),
              "mip level 1 at byte 160: the file ends early (8 more bytes wanted, 0 left)");

    // PNG: a pixel format that does not exist, and a signature that is not one.
    PngPlan plan;
    auto png = writePng(picture, 4, 4, plan);
    auto badType = png;
    badType[25] = 5;
    expectRefusal(decodePNG(badType.data(), badType.size(), image), "IHDR", 8, "colour type 5");
    auto notPng = png;
    notPng[1] = 'Q';
    expectRefusal(decodePNG(notPng.data(), notPng.size(), image), "signature", 0, "no PNG signature");
    // Damage only libpng is left to judge: its words, and where its reading stopped.
    const std::vector<uint8_t> shortPng(png.begin(), png.end() - 20);
    const LoadResult libpng = decodePNG(shortPng.data(), shortPng.size(), image);
    ASSERT_FALSE(libpng);
    EXPECT_EQ(libpng.problem().what.rfind("libpng: ", 0), 0u) << libpng.problem().what;
    EXPECT_LE(libpng.problem().offset, shortPng.size());
}

// ---- Choosing the decoder, and the fallback. ----

TEST(TextureFile, ChoosesTheDecoderBySignatureThenName) {
    const uint8_t bmp[] = {'B', 'M', 0, 0};
    const uint8_t png[] = {0x89, 'P', 'N', 'G', 0, 0};
    const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF};
    const uint8_t dds[] = {'D', 'D', 'S', ' ', 0};
    EXPECT_EQ(detectImageKind(bmp, sizeof bmp, "x.png"), ImageKind::BMP);
    EXPECT_EQ(detectImageKind(png, sizeof png, "x.bmp"), ImageKind::PNG);
    EXPECT_EQ(detectImageKind(jpeg, sizeof jpeg, "x.tga"), ImageKind::JPEG);
    EXPECT_EQ(detectImageKind(dds, sizeof dds, "x"), ImageKind::DDS);
    std::vector<uint8_t> footer(40, 0);
    std::memcpy(&footer[footer.size() - 18], "TRUEVISION-XFILE.", 18);
    EXPECT_EQ(detectImageKind(footer.data(), footer.size(), "x.bmp"), ImageKind::TGA);
    // A PNG whose last bytes happen to read TRUE is tested as TGA first.
    footer[0] = 0x89, footer[1] = 'P', footer[2] = 'N', footer[3] = 'G';
    EXPECT_EQ(detectImageKind(footer.data(), footer.size(), "x.png"), ImageKind::TGA);

    const uint8_t other[] = {0, 0, 2, 0, 0, 0};
    EXPECT_EQ(detectImageKind(other, sizeof other, "a.tga"), ImageKind::TGA);
    EXPECT_EQ(detectImageKind(other, sizeof other, "dir\\FACE.TGA"), ImageKind::TGA);
    EXPECT_EQ(detectImageKind(other, sizeof other, "a.tga5"), ImageKind::None);
    EXPECT_EQ(detectImageKind(other, sizeof other, ".tga"), ImageKind::None);  // too short to be a name
    EXPECT_EQ(detectImageKind(other, sizeof other, "a.png"), ImageKind::None);
    EXPECT_EQ(detectImageKind(other, 0, "a.png"), ImageKind::None);
}

// Runs body with the current directory set to dir, restoring it afterwards.
template <typename F>
void inDirectory(const std::string& dir, F body) {
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    body();
    ASSERT_EQ(chdir(old), 0);
}

TEST(TextureFile, FallsBackToOpenCVForWhatTheDecodersRefuse) {
    const std::string dir = scratchDir("fallback");
    const auto picture = testPicture(24, 16);
    cv::Mat bgr;
    cv::cvtColor(cv::Mat(16, 24, CV_8UC4, const_cast<uint8_t*>(picture.data())), bgr, cv::COLOR_RGBA2BGR);
    ASSERT_TRUE(cv::imwrite(dir + "/progressive.jpg", bgr, {cv::IMWRITE_JPEG_PROGRESSIVE, 1}));
    ASSERT_TRUE(cv::imwrite(dir + "/plain.ppm", bgr));
    TgaLayout noFooter;
    writeFile(dir + "/old.TGA", writeTga(picture, 24, 16, noFooter));
    writeFile(dir + "/old.tga5", writeTga(picture, 24, 16, noFooter));
    writeFile(dir + "/dxt2.dds", writeDds(8, 8, 1, "DXT2", 16, 1));
    writeFile(dir + "/empty.png", {});

    inDirectory(dir, [&] {
        DecodedImage image;
        std::string reason;
        // Refused by the JPEG decoder, read by OpenCV.
        ASSERT_TRUE(decodeTexture("progressive.jpg", image, &reason)) << reason;
        EXPECT_TRUE(image.fromFallback);
        EXPECT_EQ(image.width, 24);
        EXPECT_EQ(image.rgba.size(), 24u * 16u * 4u);
        EXPECT_EQ(image.rgba[3], 255);
        // No signature at all.
        ASSERT_TRUE(decodeTexture("plain.ppm", image, &reason)) << reason;
        EXPECT_TRUE(image.fromFallback);
        EXPECT_EQ(image.rgba, picture) << "the fallback's channels come out as R, G, B, A";
        // A TGA without footer is known by its name; with the wrong ending it is not.
        ASSERT_TRUE(decodeTexture("old.TGA", image, &reason)) << reason;
        EXPECT_FALSE(image.fromFallback);
        EXPECT_EQ(image.rgba, picture);
        EXPECT_FALSE(decodeTexture("old.tga5", image, &reason));
        EXPECT_EQ(reason, "old.tga5: not an image this program can read, or a damaged one");
        // Neither our DDS reader nor OpenCV reads DXT2.
        EXPECT_FALSE(decodeTexture("dxt2.dds", image, &reason));
        EXPECT_FALSE(decodeTexture("empty.png", image, &reason));
        EXPECT_TRUE(image.rgba.empty());
        // A file that is not there is not handed to the fallback.
        EXPECT_FALSE(decodeTexture("missing.png", image, &reason));
        EXPECT_EQ(reason, "missing.png: cannot open file: No such file or directory");
        EXPECT_FALSE(decodeTexture(".", image, &reason)) << "a directory";
    });

    SKIP_WITHOUT_REAL_TEXTURES();
    // Run-length BMP: refused by ours, read by OpenCV.
    DecodedImage image;
    std::string reason;
    const std::string rle = realTexture("bmp/image-rs/pal8rle.bmp");
    ASSERT_TRUE(decodeTexture(rle.c_str(), image, &reason)) << reason;
    EXPECT_TRUE(image.fromFallback);
}

// A valid PNG of one flat colour, 1-bit grey: a few kilobytes however large it claims to be.
std::vector<uint8_t> flatGreyPng(uint32_t width, uint32_t height) {
    auto putBE32 = [](std::vector<uint8_t>& v, uint32_t x) {
        for (int shift = 24; shift >= 0; shift -= 8) v.push_back(uint8_t(x >> shift));
    };
    auto chunk = [&](std::vector<uint8_t>& file, const char* type, const std::vector<uint8_t>& data) {
        putBE32(file, uint32_t(data.size()));
        const std::size_t start = file.size();
        file.insert(file.end(), type, type + 4);
        file.insert(file.end(), data.begin(), data.end());
        putBE32(file, uint32_t(crc32(0, file.data() + start, uInt(file.size() - start))));
    };
    std::vector<uint8_t> header;
    putBE32(header, width);
    putBE32(header, height);
    header.insert(header.end(), {1, 0, 0, 0, 0});
    const std::vector<uint8_t> raw(std::size_t(1 + (width + 7) / 8) * height, 0);
    uLongf packedSize = compressBound(uLong(raw.size()));
    std::vector<uint8_t> packed(packedSize);
    EXPECT_EQ(compress2(packed.data(), &packedSize, raw.data(), uLong(raw.size()), 9), Z_OK);
    packed.resize(packedSize);
    std::vector<uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    chunk(file, "IHDR", header);
    chunk(file, "IDAT", packed);
    chunk(file, "IEND", {});
    return file;
}

TEST(TextureFile, PicturesTooLargeToHoldAreRefusedOnTheHeadersWord) {
    EXPECT_TRUE(imageSizeAllowed(16384, 4096));
    EXPECT_TRUE(imageSizeAllowed(1, 16384));
    EXPECT_FALSE(imageSizeAllowed(16384, 4097));
    EXPECT_FALSE(imageSizeAllowed(16385, 1));
    EXPECT_FALSE(imageSizeAllowed(0, 1));
    DecodedImage tooMany;
    EXPECT_FALSE(allocateImage(tooMany, 8192, 8193));
    EXPECT_TRUE(tooMany.rgba.empty());

    // Every kind's header is read where the decoders read it.
    const auto picture = testPicture(24, 16);
    cv::Mat bgr;
    cv::cvtColor(cv::Mat(16, 24, CV_8UC4, const_cast<uint8_t*>(picture.data())), bgr, cv::COLOR_RGBA2BGR);
    std::vector<uint8_t> baseline, progressive;
    ASSERT_TRUE(cv::imencode(".jpg", bgr, baseline));
    ASSERT_TRUE(cv::imencode(".jpg", bgr, progressive, {cv::IMWRITE_JPEG_PROGRESSIVE, 1}));
    TgaLayout tga;
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
        ImageKind kind;
    } files[] = {{"baseline JPEG", baseline, ImageKind::JPEG},
                 {"progressive JPEG", progressive, ImageKind::JPEG},
                 {"bottom-up BMP", writeBmp(picture, 24, 16, 24, false), ImageKind::BMP},
                 {"top-down BMP", writeBmp(picture, 24, 16, 32, true), ImageKind::BMP},
                 {"TGA", writeTga(picture, 24, 16, tga), ImageKind::TGA},
                 {"PNG", flatGreyPng(24, 16), ImageKind::PNG}};
    for (const auto& f : files) {
        int64_t width = 0, height = 0;
        ASSERT_TRUE(claimedImageSize(f.bytes.data(), f.bytes.size(), f.kind, width, height)) << f.what;
        EXPECT_EQ(width, 24) << f.what;
        EXPECT_EQ(height, 16) << f.what;
        for (std::size_t cut = 0; cut < 12; ++cut)  // a header cut short tells nothing
            EXPECT_FALSE(claimedImageSize(f.bytes.data(), cut, f.kind, width, height)) << f.what << " " << cut;
    }

    // 16384 x 16384 pixels of RGBA would be a gigabyte, from a 33-kilobyte file.
    const std::string dir = scratchDir("too-large");
    const auto bomb = flatGreyPng(16384, 16384);
    ASSERT_LT(bomb.size(), 40000u);
    writeFile(dir + "/bomb.png", bomb);
    DecodedImage image;
    EXPECT_FALSE(decodePNG(bomb.data(), bomb.size(), image));
    EXPECT_TRUE(image.rgba.empty());
    // The same file at a size that fits decodes, so the refusal is the size's alone.
    const auto small = flatGreyPng(4096, 16);
    ASSERT_TRUE(decodePNG(small.data(), small.size(), image));
    EXPECT_EQ(image.width, 4096);
    EXPECT_EQ(image.rgba[0], 0);
    EXPECT_EQ(image.rgba[3], 255);

    // A JPEG frame header claiming as much is refused on its own word as well, before our
    // decoder or OpenCV's loader is asked, and the message gives the size.
    const std::vector<uint8_t> jpegBomb = {0xFF, 0xD8, 0xFF, 0xC0, 0, 11, 8, 0x40, 0, 0x40, 0, 1, 1, 0x11, 0};
    writeFile(dir + "/bomb.jpg", jpegBomb);
    inDirectory(dir, [&] {
        for (const char* name : {"bomb.png", "bomb.jpg"}) {
            std::string reason;
            EXPECT_FALSE(decodeTexture(name, image, &reason)) << name;
            EXPECT_TRUE(image.rgba.empty()) << name;
            EXPECT_EQ(reason, std::string(name) +
                                  ": the picture is 16384 x 16384 pixels, more than a texture may have "
                                  "(16384 on a side and 67108864 pixels at most)");
        }
    });
}

TEST(TextureFile, ResolvesWindowsStyleNames) {
    const std::string dir = scratchDir("resolve");
    ASSERT_EQ(system(("mkdir -p '" + dir + "/Tex'").c_str()), 0);
    const auto picture = testPicture(6, 4);
    writeFile(dir + "/Tex/face.bmp", writeBmp(picture, 6, 4, 24, false));
    inDirectory(dir, [&] {
        DecodedImage image;
        std::string reason;
        ASSERT_TRUE(decodeTexture("tex\\FACE.bmp", image, &reason)) << reason;
        EXPECT_EQ(image.rgba, picture);
    });
}

}  // namespace

namespace {

TEST(TextureFile, DecodesTheTexturesOfTheRealModels) {
    SKIP_WITHOUT_REAL_TEXTURES();
    const std::string root = std::string(PAVONIX_TESTDATA_DIR) + "/";
    for (const char* name :
         {"pmd/gene_light/light/arm.png", "pmd/gene_light/light/bottoms.png", "pmd/gene_light/light/extra.png",
          "pmd/gene_light/light/eye.png", "pmd/gene_light/light/eye2.png", "pmd/gene_light/light/face.png",
          "pmd/gene_light/light/hair2.png", "pmd/gene_light/light/iraira.png", "pmd/gene_light/light/pale.png",
          "pmd/gene_light/light/top.png", "pmd/glasses/mfgl1.png", "pmd/glasses/metal.sph", "pmd/glasses/es3.sph",
          "pmd/glasses/es5.sph", "pmx/unity-mmd-loader/GeneratedPmx/tga-hair-shadow-alpha.tga",
          "pmx/unity-mmd-loader/GeneratedPmx/tga-regular-hair-alpha.tga",
          "pmx/unity-mmd-loader/GeneratedPmx/texture-alpha-cutout.png"}) {
        DecodedImage image;
        std::string reason;
        ASSERT_TRUE(decodeTexture((root + name).c_str(), image, &reason)) << reason;
        EXPECT_FALSE(image.fromFallback) << name;
        EXPECT_GT(image.width, 0) << name;
        EXPECT_EQ(image.rgba.size(), std::size_t(image.width) * image.height * 4) << name;
    }
    // A progressive JPEG sphere map: only the general loader reads it.
    DecodedImage image;
    std::string reason;
    ASSERT_TRUE(decodeTexture((root + "pmx/babylon-mmd/ref.jpg").c_str(), image, &reason)) << reason;
    EXPECT_TRUE(image.fromFallback);
}

}  // namespace
