// The fixed-work-area JPEG decoder: pixels against libjpeg, MCU delivery, result codes,
// and staying inside its buffers whatever the stream holds; its vector transforms and
// colour conversion against their scalar forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "image/ImageDecoders.h"
#include "image/JpegColour.h"
#include "image/JpegDecoder.h"
#include "image/JpegIdct.h"
#include "image/test_texture_helpers.h"

#ifdef PAVONIX_HAVE_LIBJPEG
#include <jpeglib.h>
#endif

using namespace texturetest;

namespace {

// ---- Running our decoder over bytes in memory. ----

struct Source {
    explicit Source(const std::vector<uint8_t>* b) : bytes(b) {}
    const std::vector<uint8_t>* bytes;
    std::size_t position = 0;
    std::size_t largestRequest = 0;  // largest read into a buffer (skips not counted)
    std::vector<JpegRect> rects;
    int stopAfter = -1;  // MCUs to accept before asking to stop; -1 = never
};

std::size_t readSource(JpegDecoder* d, uint8_t* destination, std::size_t count) {
    auto* s = static_cast<Source*>(d->device);
    if (destination) s->largestRequest = std::max(s->largestRequest, count);
    const std::size_t n = std::min(count, s->bytes->size() - s->position);
    if (destination && n > 0) std::memcpy(destination, s->bytes->data() + s->position, n);
    s->position += n;
    return n;
}

int recordRect(JpegDecoder* d, const uint8_t*, const JpegRect& rect) {
    auto* s = static_cast<Source*>(d->device);
    s->rects.push_back(rect);
    return s->stopAfter < 0 || int(s->rects.size()) < s->stopAfter;
}

// The work area sits between two guard zones; any byte the decoder writes outside it
// shows up as a changed guard.
struct GuardedWorkArea {
    static constexpr std::size_t kGuard = 256;
    alignas(8) uint8_t bytes[kGuard + kJpegWorkAreaSize + kGuard];
    GuardedWorkArea() { std::memset(bytes, 0xA5, sizeof bytes); }
    void* area() { return bytes + kGuard; }
    bool intact() const {
        for (std::size_t i = 0; i < kGuard; ++i)
            if (bytes[i] != 0xA5 || bytes[kGuard + kJpegWorkAreaSize + i] != 0xA5) return false;
        return true;
    }
};

struct RunResult {
    int prepare = -1;
    int decompress = -1;
    int width = 0, height = 0;
    std::vector<JpegRect> rects;
    bool guardsIntact = false;
    std::size_t largestRequest = 0;

    int code() const { return prepare != kJpegOk ? prepare : decompress; }
};

RunResult runDecoder(const std::vector<uint8_t>& bytes, int stopAfter = -1) {
    RunResult r;
    auto work = std::make_unique<GuardedWorkArea>();
    Source source(&bytes);
    source.stopAfter = stopAfter;
    JpegDecoder decoder;
    r.prepare = jpegPrepare(&decoder, readSource, work->area(), &source);
    if (r.prepare == kJpegOk) {
        r.width = decoder.width;
        r.height = decoder.height;
        r.decompress = jpegDecompress(&decoder, recordRect);
    }
    r.rects = source.rects;
    r.guardsIntact = work->intact();
    r.largestRequest = source.largestRequest;
    return r;
}

std::vector<uint8_t> decodeOurs(const std::vector<uint8_t>& bytes, int* width, int* height) {
    DecodedImage image;
    if (!decodeJPEG(bytes.data(), bytes.size(), image)) return {};
    *width = image.width;
    *height = image.height;
    return image.rgba;
}

// Inserts a segment (marker and payload) right after the start-of-image marker.
std::vector<uint8_t> withSegmentAfterSoi(const std::vector<uint8_t>& jpeg, uint8_t marker,
                                         const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
    out.push_back(0xFF);
    out.push_back(marker);
    out.push_back(uint8_t((payload.size() + 2) >> 8));
    out.push_back(uint8_t(payload.size() + 2));
    out.insert(out.end(), payload.begin(), payload.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

// Position of the first marker 0xFF m at or after from, or npos.
std::size_t findMarker(const std::vector<uint8_t>& bytes, uint8_t m, std::size_t from = 0) {
    for (std::size_t i = from; i + 1 < bytes.size(); ++i)
        if (bytes[i] == 0xFF && bytes[i + 1] == m) return i;
    return std::string::npos;
}

// ---- The vector forms against the scalar ones. ----

std::vector<const JpegIdct*> idctForms() {
    const JpegIdct* forms[8];
    const int n = jpegIdctForms(forms, 8);
    return std::vector<const JpegIdct*>(forms, forms + n);
}

TEST(JpegTransforms, EveryFormGivesTheScalarBytesForAnyCoefficients) {
    const std::vector<const JpegIdct*> forms = idctForms();
    ASSERT_FALSE(forms.empty());
    EXPECT_EQ(forms.back(), &jpegScalarIdct());
    EXPECT_EQ(&jpegBestIdct(), forms.front());
#ifdef __SSE2__
    EXPECT_GE(forms.size(), 2u) << "an SSE2 build has a vector form";
#endif
    const JpegIdct& scalar = jpegScalarIdct();
    std::mt19937 rng(77);
    // Blocks a valid stream can hold (17-bit coefficients, mostly small), blocks of any
    // 32-bit values (where the sums and products wrap around) and the extremes.
    const auto block = [&](int kind, bool corner, int32_t* coef) {
        for (int i = 0; i < 64; ++i) {
            int32_t v;
            switch (kind) {
                case 0: v = int32_t(rng() % 131072) - 65536; break;
                case 1: v = rng() % 4 ? 0 : int32_t(rng() % 2001) - 1000; break;
                case 2: v = int32_t(rng()); break;
                default: v = (rng() & 1) ? INT32_MAX : INT32_MIN; break;
            }
            coef[i] = corner && (i / 8 >= 4 || i % 8 >= 4) ? 0 : v;
        }
    };
    for (const JpegIdct* form : forms) {
        SCOPED_TRACE(form->name);
        int differing = 0;
        for (int trial = 0; trial < 4000; ++trial) {
            alignas(32) int32_t coef[64];
            const bool corner = trial % 2 == 1;
            block(trial / 2 % 4, corner, coef);
            uint8_t expected[64], got[64];
            scalar.full(coef, expected);
            form->full(coef, got);
            differing += std::memcmp(expected, got, 64) != 0;
            if (corner) {
                // The shortcut for the top-left corner must be exact, not close.
                form->corner(coef, got);
                differing += std::memcmp(expected, got, 64) != 0;
            }
        }
        EXPECT_EQ(differing, 0);
    }
    // A block with only its DC term is flat: the decoder fills such blocks directly.
    for (int32_t dc : {-40000, -4096, 0, 1000, 4095, 40000}) {
        alignas(32) int32_t coef[64] = {dc};
        uint8_t samples[64];
        scalar.full(coef, samples);
        for (uint8_t v : samples) ASSERT_EQ(v, jpegSaturate((dc + 32768) >> 8)) << dc;
    }
}

TEST(JpegColourConversion, EveryFormGivesTheScalarBytesForEveryColour) {
    const JpegColour* forms[8];
    const int n = jpegColourForms(forms, 8);
    ASSERT_GT(n, 0);
    const JpegColour& scalar = jpegScalarColour();
    EXPECT_EQ(forms[n - 1], &scalar);
    EXPECT_EQ(&jpegBestColour(), forms[0]);
#ifdef __SSE2__
    EXPECT_GE(n, 2) << "an SSE2 build has a vector form";
#endif
    // The scalar rows are the one-pixel formula of the MCU output path, alpha opaque.
    {
        uint8_t y[256], cb[256], cr[256], rgba[256 * 4];
        for (int i = 0; i < 256; ++i) y[i] = uint8_t(i), cb[i] = uint8_t(255 - i), cr[i] = uint8_t(i * 7);
        scalar.fullChroma(y, cb, cr, rgba, 256);
        for (int i = 0; i < 256; ++i) {
            uint8_t px[3];
            jpegPixelToRgb(y[i], cb[i], cr[i], px);
            ASSERT_EQ(std::memcmp(px, &rgba[4 * i], 3), 0) << i;
            ASSERT_EQ(rgba[4 * i + 3], 255) << i;
        }
    }
    for (int f = 0; f + 1 < n; ++f) {
        const JpegColour& form = *forms[f];
        SCOPED_TRACE(form.name);
        // Every (Y, Cb, Cr): one row per (Cb, Cr) with Y running through 0..255.
        uint8_t y[256], cb[256], cr[256];
        std::vector<uint8_t> expected(256 * 4), got(256 * 4);
        for (int i = 0; i < 256; ++i) y[i] = uint8_t(i);
        int differing = 0;
        for (int b = 0; b < 256; ++b) {
            for (int r = 0; r < 256; ++r) {
                std::memset(cb, b, sizeof cb);
                std::memset(cr, r, sizeof cr);
                scalar.fullChroma(y, cb, cr, expected.data(), 256);
                form.fullChroma(y, cb, cr, got.data(), 256);
                differing += expected != got;
            }
        }
        EXPECT_EQ(differing, 0);

        // Every length from 0 to 40, both chroma layouts, random samples: the same bytes,
        // and nothing written past the last pixel.
        std::mt19937 rng(5);
        for (int count = 0; count <= 40; ++count) {
            for (int i = 0; i < 256; ++i) y[i] = uint8_t(rng()), cb[i] = uint8_t(rng()), cr[i] = uint8_t(rng());
            for (bool half : {false, true}) {
                std::vector<uint8_t> a(4 * 48, 0xEE), c(4 * 48, 0xEE);
                (half ? scalar.halfChroma : scalar.fullChroma)(y, cb, cr, a.data(), count);
                (half ? form.halfChroma : form.fullChroma)(y, cb, cr, c.data(), count);
                EXPECT_EQ(a, c) << count << (half ? " half" : " full");
                for (std::size_t i = 4 * std::size_t(count); i < c.size(); ++i) ASSERT_EQ(c[i], 0xEE) << count;
                if (half) {
                    // Half chroma is full chroma with each sample repeated over two pixels.
                    uint8_t cb2[48], cr2[48];
                    for (int i = 0; i < count; ++i) cb2[i] = cb[i / 2], cr2[i] = cr[i / 2];
                    std::vector<uint8_t> full(4 * 48, 0xEE);
                    form.fullChroma(y, cb2, cr2, full.data(), count);
                    EXPECT_EQ(full, c) << count;
                }
            }
            // Sixteen pixels at once, as two rows and as one wide row.
            std::vector<uint8_t> a(64 * 2, 0xEE), c(64 * 2, 0xEE);
            scalar.fullChroma(y, cb, cr, a.data(), 8);
            scalar.fullChroma(y + 8, cb + 8, cr + 8, a.data() + 96, 8);
            form.pair(y, cb, cr, c.data(), c.data() + 96);
            EXPECT_EQ(a, c) << "pair";
            std::vector<uint8_t> wa(64, 0), wc(64, 0);
            scalar.halfChroma(y, cb, cr, wa.data(), 8);
            scalar.halfChroma(y + 100, cb + 4, cr + 4, wa.data() + 32, 8);
            form.wide(y, y + 100, cb, cr, wc.data());
            EXPECT_EQ(wa, wc) << "wide";
        }
    }
}

#ifdef PAVONIX_HAVE_LIBJPEG

// ---- libjpeg as the reference encoder and decoder. ----

struct EncodeOptions {
    int h = 1, v = 1;  // luminance sampling
    int restartInterval = 0;
    int quality = 90;
    bool progressive = false;
    bool grey = false;
    bool optimizeTables = false;
    bool threeQuantTables = false;
};

std::vector<uint8_t> encodeJpeg(const std::vector<uint8_t>& rgba, int width, int height, const EncodeOptions& o) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* mem = nullptr;
    unsigned long memSize = 0;
    jpeg_mem_dest(&c, &mem, &memSize);
    c.image_width = JDIMENSION(width);
    c.image_height = JDIMENSION(height);
    c.input_components = o.grey ? 1 : 3;
    c.in_color_space = o.grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, o.quality, TRUE);
    if (!o.grey) {
        c.comp_info[0].h_samp_factor = o.h;
        c.comp_info[0].v_samp_factor = o.v;
        if (o.threeQuantTables) {
            c.quant_tbl_ptrs[2] = jpeg_alloc_quant_table(reinterpret_cast<j_common_ptr>(&c));
            *c.quant_tbl_ptrs[2] = *c.quant_tbl_ptrs[1];
            c.comp_info[2].quant_tbl_no = 2;
        }
    }
    c.restart_interval = unsigned(o.restartInterval);
    c.optimize_coding = o.optimizeTables ? TRUE : FALSE;
    if (o.progressive) jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(std::size_t(width) * 3);
    while (c.next_scanline < c.image_height) {
        const uint8_t* src = &rgba[std::size_t(c.next_scanline) * width * 4];
        for (int x = 0; x < width; ++x) {
            if (o.grey) {
                row[x] = uint8_t((src[4 * x] * 3 + src[4 * x + 1] * 6 + src[4 * x + 2]) / 10);
            } else {
                std::memcpy(&row[3 * x], src + 4 * x, 3);
            }
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&c, rows, 1);
    }
    jpeg_finish_compress(&c);
    std::vector<uint8_t> out(mem, mem + memSize);
    jpeg_destroy_compress(&c);
    free(mem);
    return out;
}

// fancyUpsampling: libjpeg's default smooth chroma interpolation. Without it libjpeg
// repeats each chroma sample over the pixels it covers, as our decoder does.
std::vector<uint8_t> decodeLibjpeg(const std::vector<uint8_t>& bytes, int* width, int* height,
                                   bool fancyUpsampling = false) {
    jpeg_decompress_struct d;
    jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, const_cast<unsigned char*>(bytes.data()), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_RGB;
    d.do_fancy_upsampling = fancyUpsampling ? TRUE : FALSE;
    jpeg_start_decompress(&d);
    *width = int(d.output_width);
    *height = int(d.output_height);
    std::vector<uint8_t> rgba(std::size_t(*width) * *height * 4);
    std::vector<uint8_t> row(std::size_t(*width) * 3);
    while (d.output_scanline < d.output_height) {
        const std::size_t y = d.output_scanline;
        JSAMPROW rows[1] = {row.data()};
        jpeg_read_scanlines(&d, rows, 1);
        for (int x = 0; x < *width; ++x) {
            std::memcpy(&rgba[(y * *width + x) * 4], &row[3 * x], 3);
            rgba[(y * *width + x) * 4 + 3] = 255;
        }
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return rgba;
}

// PSNR of our decoding against libjpeg's; -1 when ours fails.
double psnrAgainstLibjpeg(const std::vector<uint8_t>& jpeg, bool fancyUpsampling = false) {
    int w1 = 0, h1 = 0, w2 = 0, h2 = 0;
    const std::vector<uint8_t> ours = decodeOurs(jpeg, &w1, &h1);
    if (ours.empty()) return -1;
    const std::vector<uint8_t> theirs = decodeLibjpeg(jpeg, &w2, &h2, fancyUpsampling);
    if (w1 != w2 || h1 != h2) return -1;
    return psnrRGB(ours, theirs);
}

const char* modeName(int h, int v) { return h == 1 ? "4:4:4" : v == 1 ? "4:2:2" : "4:2:0"; }

TEST(JpegDecoder, MatchesLibjpegInEverySamplingMode) {
    const int sampling[3][2] = {{1, 1}, {2, 1}, {2, 2}};
    const int sizes[][2] = {{96, 64}, {67, 45}, {17, 9}, {8, 8}, {1, 1}, {200, 17}};
    for (const auto& s : sampling) {
        double worst = 1e9;
        for (const auto& size : sizes) {
            for (int restart : {0, 1, 3}) {
                const auto picture = testPicture(size[0], size[1]);
                EncodeOptions o;
                o.h = s[0];
                o.v = s[1];
                o.restartInterval = restart;
                const double psnr = psnrAgainstLibjpeg(encodeJpeg(picture, size[0], size[1], o));
                SCOPED_TRACE(std::string(modeName(s[0], s[1])) + " " + std::to_string(size[0]) + "x" +
                             std::to_string(size[1]) + " restart " + std::to_string(restart));
                // Both decoders do the same work in different integer arithmetic; a
                // wrong constant or a misplaced chroma sample costs several dB.
                EXPECT_GT(psnr, 40.0);
                worst = std::min(worst, psnr);
            }
        }
        // The figures for the report: a 96x64 picture at quality 90, and the worst case.
        // The synthetic picture's hard colour edges are where libjpeg's default smooth
        // chroma interpolation differs most from repeated chroma samples.
        EncodeOptions o;
        o.h = s[0];
        o.v = s[1];
        const auto jpeg = encodeJpeg(testPicture(96, 64), 96, 64, o);
        const double typical = psnrAgainstLibjpeg(jpeg);
        std::cout << "[ PSNR     ] " << modeName(s[0], s[1]) << " against libjpeg: " << typical
                  << " dB (96x64), worst over sizes and restart intervals " << worst
                  << " dB; against libjpeg's default smooth upsampling " << psnrAgainstLibjpeg(jpeg, true)
                  << " dB\n";
        RecordProperty(std::string("psnr_") + modeName(s[0], s[1]), std::to_string(typical));
    }
}

TEST(JpegDecoder, RestartIntervalsDoNotChangeThePixels) {
    // Restart markers only reset the DC predictors and the bit position; the decoded
    // picture must be bit-identical to the same picture coded without them.
    for (int h = 1; h <= 2; ++h) {
        for (int v = 1; v <= h; ++v) {
            const auto picture = testPicture(75, 41);
            EncodeOptions plain;
            plain.h = h;
            plain.v = v;
            int w = 0, hh = 0;
            const auto reference = decodeOurs(encodeJpeg(picture, 75, 41, plain), &w, &hh);
            ASSERT_FALSE(reference.empty());
            for (int interval : {1, 2, 4, 7, 100}) {
                EncodeOptions o = plain;
                o.restartInterval = interval;
                const auto jpeg = encodeJpeg(picture, 75, 41, o);
                // Intervals up to 8 put every restart number 0..7 into the stream.
                EXPECT_NE(findMarker(jpeg, 0xDD), std::string::npos);
                EXPECT_EQ(decodeOurs(jpeg, &w, &hh), reference) << modeName(h, v) << " interval " << interval;
            }
        }
    }
}

// Collects what jpegDecompress hands out into an RGBA picture, as a caller of the
// MCU interface would.
struct McuPicture {
    std::vector<uint8_t> rgba;
    int width = 0;
    const std::vector<uint8_t>* bytes = nullptr;
    std::size_t position = 0;
};

std::size_t readMcuPicture(JpegDecoder* d, uint8_t* destination, std::size_t count) {
    auto* p = static_cast<McuPicture*>(d->device);
    const std::size_t n = std::min(count, p->bytes->size() - p->position);
    if (destination && n > 0) std::memcpy(destination, p->bytes->data() + p->position, n);
    p->position += n;
    return n;
}

int placeMcu(JpegDecoder* d, const uint8_t* rgb, const JpegRect& rect) {
    auto* p = static_cast<McuPicture*>(d->device);
    for (int y = rect.top; y <= rect.bottom; ++y)
        for (int x = rect.left; x <= rect.right; ++x, rgb += 3) {
            uint8_t* px = &p->rgba[(std::size_t(y) * p->width + x) * 4];
            std::memcpy(px, rgb, 3);
            px[3] = 255;
        }
    return 1;
}

TEST(JpegDecoder, PictureAndMcuOutputsGiveTheSamePixels) {
    // The texture path converts straight into the picture with its own row loop and
    // the per-MCU path through the work area; both must agree to the byte, at picture
    // edges that cut MCUs and across restart markers.
    for (int mode = 0; mode < 3; ++mode) {
        for (const auto& size : {std::pair<int, int>{67, 45}, {16, 16}, {1, 33}, {250, 9}}) {
            EncodeOptions o;
            o.h = mode == 0 ? 1 : 2;
            o.v = mode == 2 ? 2 : 1;
            o.restartInterval = mode == 1 ? 3 : 0;
            o.quality = 97;  // many coefficients, so the full transform runs as well as the shortcuts
            const auto jpeg = encodeJpeg(testPicture(size.first, size.second), size.first, size.second, o);
            int w = 0, h = 0;
            const auto direct = decodeOurs(jpeg, &w, &h);
            ASSERT_FALSE(direct.empty());

            McuPicture picture;
            picture.bytes = &jpeg;
            picture.width = w;
            picture.rgba.assign(direct.size(), 0);
            auto work = std::make_unique<GuardedWorkArea>();
            JpegDecoder decoder;
            ASSERT_EQ(jpegPrepare(&decoder, readMcuPicture, work->area(), &picture), kJpegOk);
            ASSERT_EQ(jpegDecompress(&decoder, placeMcu), kJpegOk);
            EXPECT_EQ(picture.rgba, direct) << modeName(o.h, o.v) << " " << w << "x" << h;
        }
    }
}

TEST(JpegDecoder, RefusesAPictureTooNarrowForItsRows) {
    EncodeOptions o;
    const auto jpeg = encodeJpeg(testPicture(20, 10), 20, 10, o);
    Source source(&jpeg);
    auto work = std::make_unique<GuardedWorkArea>();
    JpegDecoder decoder;
    ASSERT_EQ(jpegPrepare(&decoder, readSource, work->area(), &source), kJpegOk);
    std::vector<uint8_t> rgba(20 * 10 * 4);
    EXPECT_EQ(jpegDecompressToRgba(&decoder, rgba.data(), 19 * 4), kJpegNoWorkArea);
    EXPECT_EQ(jpegDecompressToRgba(&decoder, nullptr, 20 * 4), kJpegNoWorkArea);
}

TEST(JpegDecoder, OptimisedHuffmanTablesDecodeAlike) {
    const auto picture = testPicture(64, 40);
    EncodeOptions o;
    o.h = o.v = 2;
    int w = 0, h = 0;
    const auto standard = decodeOurs(encodeJpeg(picture, 64, 40, o), &w, &h);
    o.optimizeTables = true;
    const auto optimised = decodeOurs(encodeJpeg(picture, 64, 40, o), &w, &h);
    ASSERT_FALSE(standard.empty());
    EXPECT_EQ(optimised, standard);
}

TEST(JpegDecoder, DeliversEachMcuOnceLeftToRightTopToBottom) {
    // 17 pixels wide with 2x1 sampling: a full MCU at x = 0 and a one-pixel one at 16.
    EncodeOptions o;
    o.h = 2;
    RunResult r = runDecoder(encodeJpeg(testPicture(17, 9), 17, 9, o));
    ASSERT_EQ(r.code(), kJpegOk);
    ASSERT_EQ(r.rects.size(), 4u);
    const JpegRect expected[4] = {{0, 15, 0, 7}, {16, 16, 0, 7}, {0, 15, 8, 8}, {16, 16, 8, 8}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(r.rects[i].left, expected[i].left) << i;
        EXPECT_EQ(r.rects[i].right, expected[i].right) << i;
        EXPECT_EQ(r.rects[i].top, expected[i].top) << i;
        EXPECT_EQ(r.rects[i].bottom, expected[i].bottom) << i;
    }

    // Odd sizes in every mode: every pixel exactly once, in reading order.
    for (int mode = 0; mode < 3; ++mode) {
        EncodeOptions m;
        m.h = mode == 0 ? 1 : 2;
        m.v = mode == 2 ? 2 : 1;
        const int W = 33, H = 19;
        RunResult rr = runDecoder(encodeJpeg(testPicture(W, H), W, H, m));
        ASSERT_EQ(rr.code(), kJpegOk);
        std::vector<int> covered(W * H, 0);
        for (std::size_t i = 0; i < rr.rects.size(); ++i) {
            const JpegRect& q = rr.rects[i];
            ASSERT_LE(q.right, W - 1);
            ASSERT_LE(q.bottom, H - 1);
            if (i > 0) {
                const JpegRect& p = rr.rects[i - 1];
                EXPECT_TRUE(q.top > p.top || (q.top == p.top && q.left > p.left)) << "MCU " << i;
            }
            for (int y = q.top; y <= q.bottom; ++y)
                for (int x = q.left; x <= q.right; ++x) ++covered[y * W + x];
        }
        for (int c : covered) ASSERT_EQ(c, 1) << modeName(m.h, m.v);
    }
}

TEST(JpegDecoder, RefusesUnsupportedImagesWithCode8) {
    const auto picture = testPicture(32, 32);
    EncodeOptions progressive;
    progressive.progressive = true;
    EXPECT_EQ(runDecoder(encodeJpeg(picture, 32, 32, progressive)).code(), kJpegUnsupported) << "progressive";
    EncodeOptions grey;
    grey.grey = true;
    EXPECT_EQ(runDecoder(encodeJpeg(picture, 32, 32, grey)).code(), kJpegUnsupported) << "grey";
    EncodeOptions tall;  // 1x2
    tall.v = 2;
    EXPECT_EQ(runDecoder(encodeJpeg(picture, 32, 32, tall)).code(), kJpegUnsupported) << "1x2 sampling";
}

TEST(JpegDecoder, ReportsBrokenStreamsWithTheirCodes) {
    const auto picture = testPicture(48, 32);
    EncodeOptions o;
    o.h = o.v = 2;
    o.restartInterval = 4;
    const auto good = encodeJpeg(picture, 48, 32, o);
    ASSERT_EQ(runDecoder(good).code(), kJpegOk);

    // A restart marker with the wrong number.
    auto wrongRestart = good;
    const std::size_t rst = findMarker(wrongRestart, 0xD0, findMarker(wrongRestart, 0xDA));
    ASSERT_NE(rst, std::string::npos);
    wrongRestart[rst + 1] = 0xD1;
    EXPECT_EQ(runDecoder(wrongRestart).code(), kJpegFormatError) << "restart number";

    // A quantisation table of 16-bit precision.
    auto wide = good;
    const std::size_t dqt = findMarker(wide, 0xDB);
    ASSERT_NE(dqt, std::string::npos);
    wide[dqt + 4] |= 0x10;
    EXPECT_EQ(runDecoder(wide).code(), kJpegFormatError) << "16-bit quantisation table";

    // Not a JPEG stream at all.
    auto noSoi = good;
    noSoi[1] = 0xD9;
    EXPECT_EQ(runDecoder(noSoi).code(), kJpegFormatError) << "start marker";

    // A Huffman segment longer than the 512-byte input buffer.
    EXPECT_EQ(runDecoder(withSegmentAfterSoi(good, 0xC4, std::vector<uint8_t>(600, 0))).code(), kJpegSegmentTooLong);
    // A Huffman table class other than DC or AC.
    std::vector<uint8_t> badClass(17 + 1, 0);
    badClass[0] = 0x20;
    badClass[1] = 1;
    EXPECT_EQ(runDecoder(withSegmentAfterSoi(good, 0xC4, badClass)).code(), kJpegFormatError) << "table class";
    // Codes that outgrow their length: three codes of length 1.
    std::vector<uint8_t> overfull(17 + 3, 0);
    overfull[1] = 3;
    EXPECT_EQ(runDecoder(withSegmentAfterSoi(good, 0xC4, overfull)).code(), kJpegFormatError) << "overfull table";

    // Three quantisation tables with 4:2:0 sampling need more than the work area.
    EncodeOptions three = o;
    three.threeQuantTables = true;
    EXPECT_EQ(runDecoder(encodeJpeg(picture, 48, 32, three)).code(), kJpegOutOfWorkArea);

    // The output function asks to stop after two MCUs.
    RunResult stopped = runDecoder(good, 2);
    EXPECT_EQ(stopped.decompress, kJpegStopped);
    EXPECT_EQ(stopped.rects.size(), 2u);

    // The stream ends inside the scan.
    std::vector<uint8_t> cut(good.begin(), good.begin() + std::ptrdiff_t(findMarker(good, 0xDA) + 40));
    EXPECT_EQ(runDecoder(cut).code(), kJpegInputError);

    // No work area.
    JpegDecoder decoder;
    Source source(&good);
    EXPECT_EQ(jpegPrepare(&decoder, readSource, nullptr, &source), kJpegNoWorkArea);
}

TEST(JpegDecoder, SkipsCommentAndApplicationSegmentsOfAnyLength) {
    EncodeOptions o;
    o.h = 2;
    const auto plain = encodeJpeg(testPicture(40, 24), 40, 24, o);
    int w = 0, h = 0;
    const auto reference = decodeOurs(plain, &w, &h);
    ASSERT_FALSE(reference.empty());
    auto padded = withSegmentAfterSoi(plain, 0xFE, std::vector<uint8_t>(65000, 'c'));
    padded = withSegmentAfterSoi(padded, 0xE1, std::vector<uint8_t>(777, 0xFF));
    padded = withSegmentAfterSoi(padded, 0xE0, std::vector<uint8_t>(1, 0));
    RunResult r = runDecoder(padded);
    EXPECT_EQ(r.code(), kJpegOk);
    EXPECT_LE(r.largestRequest, 512u);
    EXPECT_EQ(decodeOurs(padded, &w, &h), reference);
}

TEST(JpegDecoder, StaysInsideItsBuffersWhateverTheStreamHolds) {
    EncodeOptions o;
    o.h = o.v = 2;
    o.restartInterval = 2;
    const auto good = encodeJpeg(testPicture(33, 17), 33, 17, o);

    // Every prefix: refused (the end-of-image marker is never read, so only the last
    // two bytes may go), never a write outside the work area, never a rectangle
    // outside the picture.
    for (std::size_t n = 0; n < good.size(); ++n) {
        const std::vector<uint8_t> prefix(good.begin(), good.begin() + std::ptrdiff_t(n));
        RunResult r = runDecoder(prefix);
        if (n + 2 < good.size()) {
            EXPECT_NE(r.code(), kJpegOk) << "prefix of " << n << " bytes";
        }
        ASSERT_TRUE(r.guardsIntact) << "prefix of " << n << " bytes";
    }

    // Random damage anywhere in the file, many times over.
    std::mt19937 rng(1234);
    int decodedAnyway = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        auto bad = good;
        const int hits = 1 + int(rng() % 4);
        for (int i = 0; i < hits; ++i) bad[rng() % bad.size()] = uint8_t(rng());
        RunResult r = runDecoder(bad);
        ASSERT_TRUE(r.guardsIntact) << "trial " << trial;
        ASSERT_LE(r.largestRequest, 512u);
        for (const JpegRect& q : r.rects) {
            ASSERT_LE(q.left, q.right);
            ASSERT_LE(q.top, q.bottom);
            ASSERT_LT(q.right, r.width);
            ASSERT_LT(q.bottom, r.height);
        }
        if (r.code() == kJpegOk) ++decodedAnyway;
        // The texture path over the same bytes must not crash either.
        DecodedImage image;
        decodeJPEG(bad.data(), bad.size(), image);
    }
    EXPECT_LT(decodedAnyway, 3000);
}

TEST(JpegDecoder, RealFilesMatchLibjpeg) {
    SKIP_WITHOUT_REAL_TEXTURES();
    for (const char* name : {"jpeg/libjpeg-turbo/testorig.jpg", "jpeg/libjpeg-turbo/testimgint.jpg",
                             "jpeg/jpeg-decoder/restarts.jpg", "jpeg/jpeg-decoder/mozilla/jpg-size-33x33.jpg",
                             "jpeg/jpeg-decoder/mozilla/jpg-size-1x1.jpg",
                             "jpeg/zune-image/medium_horiz_samp_2500x1786.jpg"}) {
        const auto jpeg = readFile(realTexture(name));
        const double psnr = psnrAgainstLibjpeg(jpeg);
        const double smooth = psnrAgainstLibjpeg(jpeg, true);
        EXPECT_GT(psnr, 40.0) << name;
        EXPECT_GT(smooth, 30.0) << name;
        std::cout << "[ PSNR     ] " << name << ": " << psnr << " dB (" << smooth
                  << " dB against smooth upsampling)\n";
    }
}

// The decoder's picture rebuilt from libjpeg's reading of the quantised coefficients:
// each block dequantised and prescaled by a(i) * a(j) in 2.13 fixed point, through the
// scalar transform, chroma repeated, converted per pixel. Any slip in the entropy
// decoding (a look-up entry, a long code, a zero run, an end of block, a DC difference)
// or a shortcut that is not exact changes pixels.
std::vector<uint8_t> rebuildFromCoefficients(const std::vector<uint8_t>& bytes, int* width, int* height) {
    static const uint16_t kPrescale[64] = {
        8192,  11362, 10703, 9632,  8192,  6436, 4433, 2260, 11362, 15760, 14846, 13361, 11362, 8927, 6149, 3134,
        10703, 14846, 13984, 12585, 10703, 8409, 5792, 2953, 9632,  13361, 12585, 11326, 9632,  7568, 5213, 2657,
        8192,  11362, 10703, 9632,  8192,  6436, 4433, 2260, 6436,  8927,  8409,  7568,  6436,  5057, 3483, 1775,
        4433,  6149,  5792,  5213,  4433,  3483, 2399, 1223, 2260,  3134,  2953,  2657,  2260,  1775, 1223, 623,
    };
    jpeg_decompress_struct d;
    jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, const_cast<unsigned char*>(bytes.data()), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&d, TRUE);
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&d);
    *width = int(d.image_width);
    *height = int(d.image_height);
    const int H = d.comp_info[0].h_samp_factor, V = d.comp_info[0].v_samp_factor;
    std::vector<uint8_t> planes[3];
    int planeWidth[3];
    for (int c = 0; c < 3; ++c) {
        const jpeg_component_info& info = d.comp_info[c];
        planeWidth[c] = int(info.width_in_blocks) * 8;
        planes[c].assign(std::size_t(planeWidth[c]) * info.height_in_blocks * 8, 0);
        const UINT16* quant = info.quant_table->quantval;
        for (JDIMENSION by = 0; by < info.height_in_blocks; ++by) {
            JBLOCKARRAY row =
                (*d.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&d), arrays[c], by, 1, FALSE);
            for (JDIMENSION bx = 0; bx < info.width_in_blocks; ++bx) {
                alignas(32) int32_t coef[64];
                for (int i = 0; i < 64; ++i)
                    coef[i] = int32_t((int64_t(row[0][bx][i]) * (int32_t(kPrescale[i]) * quant[i])) >> 8);
                uint8_t samples[64];
                jpegScalarIdct().full(coef, samples);
                for (int i = 0; i < 64; ++i)
                    planes[c][(by * 8 + i / 8) * std::size_t(planeWidth[c]) + bx * 8 + i % 8] = samples[i];
            }
        }
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    std::vector<uint8_t> rgba(std::size_t(*width) * *height * 4);
    for (int y = 0; y < *height; ++y) {
        for (int x = 0; x < *width; ++x) {
            const std::size_t chroma = std::size_t(V == 2 ? y / 2 : y) * planeWidth[1] + (H == 2 ? x / 2 : x);
            uint8_t* px = &rgba[(std::size_t(y) * *width + x) * 4];
            jpegPixelToRgb(planes[0][std::size_t(y) * planeWidth[0] + x], planes[1][chroma], planes[2][chroma], px);
            px[3] = 255;
        }
    }
    return rgba;
}

// Detail that no quantisation table smooths away: large values and long codes.
std::vector<uint8_t> noisePicture(int width, int height, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> rgba(std::size_t(width) * height * 4, 255);
    for (std::size_t i = 0; i < rgba.size(); ++i)
        if (i % 4 != 3) rgba[i] = uint8_t(rng());
    return rgba;
}

TEST(JpegDecoder, DecodesTheCoefficientsLibjpegReads) {
    struct Case {
        const char* what;
        std::vector<uint8_t> rgba;
        int width, height;
        EncodeOptions options;
    };
    std::vector<Case> cases;
    for (int mode = 0; mode < 3; ++mode) {
        EncodeOptions o;
        o.h = mode == 0 ? 1 : 2;
        o.v = mode == 2 ? 2 : 1;
        o.quality = 100;  // values of up to 11 bits, codes longer than the look-up
        cases.push_back({"noise q100", noisePicture(61, 35, 9 + mode), 61, 35, o});
        o.quality = 20;  // long zero runs and early ends of block
        o.restartInterval = 2;
        cases.push_back({"picture q20 restart 2", testPicture(83, 47), 83, 47, o});
        o.quality = 75;
        o.restartInterval = 0;
        o.optimizeTables = true;
        cases.push_back({"noise q75 optimised tables", noisePicture(40, 40, 3), 40, 40, o});
    }
    for (const Case& c : cases) {
        const auto jpeg = encodeJpeg(c.rgba, c.width, c.height, c.options);
        int w = 0, h = 0, rw = 0, rh = 0;
        const auto ours = decodeOurs(jpeg, &w, &h);
        const auto rebuilt = rebuildFromCoefficients(jpeg, &rw, &rh);
        ASSERT_EQ(w, rw);
        ASSERT_EQ(h, rh);
        EXPECT_TRUE(ours == rebuilt) << c.what << " " << modeName(c.options.h, c.options.v) << ": "
                                     << maxDifference(ours, rebuilt) << " levels apart at most";
    }
}

#endif  // PAVONIX_HAVE_LIBJPEG

TEST(JpegDecoder, RealFilesItCannotDecodeAreRefused) {
    SKIP_WITHOUT_REAL_TEXTURES();
    const struct {
        const char* name;
        int code;
    } cases[] = {
        {"jpeg/jpeg-decoder/mozilla/jpg-progressive.jpg", kJpegUnsupported},
        {"jpeg/jpeg-decoder/partial_progressive.jpg", kJpegUnsupported},
        {"jpeg/jpeg-decoder/mozilla/jpg-gray.jpg", kJpegUnsupported},
        {"jpeg/jpeg-decoder/grayscale_16x24_sampling2x2.jpg", kJpegUnsupported},
        {"jpeg/jpeg-decoder/mozilla/jpg-cmyk-1.jpg", kJpegUnsupported},
        {"jpeg/libjpeg-turbo/testimgari.jpg", kJpegUnsupported},  // arithmetic coding
        {"jpeg/libjpeg-turbo/monkey12.jpg", kJpegUnsupported},    // 12-bit samples
        {"jpeg/zune-image/non_interleaved_444_64x64.jpg", kJpegUnsupported},
        {"jpeg/jpeg-decoder/mjpeg.jpg", kJpegFormatError},  // relies on tables it never sends
    };
    for (const auto& c : cases) {
        const RunResult r = runDecoder(readFile(realTexture(c.name)));
        EXPECT_EQ(r.code(), c.code) << c.name;
        EXPECT_TRUE(r.guardsIntact) << c.name;
    }
    // Restarts and 4:4:4 with a real encoder's choices.
    const RunResult restarts = runDecoder(readFile(realTexture("jpeg/jpeg-decoder/restarts.jpg")));
    EXPECT_EQ(restarts.code(), kJpegOk);
    EXPECT_LE(restarts.largestRequest, 512u);
}

}  // namespace
