// The arithmetic is jpegPixelToRgb's, "/" truncating toward zero as the integer
// conversion has always done. The products need 18 bits, so the vector form multiplies Cb'/Cr' pairs into 32-bit
// lanes (one pmaddwd per term) and truncates there before narrowing to 16 bits.
#include "model/JpegColour.h"

#include <cstring>

#if defined(__SSE2__) && defined(__GNUC__)
#define PAVONIX_JPEG_SSE2 1
#include <emmintrin.h>
#endif

namespace {

inline void scalarPixel(int32_t y, int32_t cb, int32_t cr, uint8_t* px) {
    jpegPixelToRgb(y, cb, cr, px);
    px[3] = 255;
}

void scalarFull(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* rgba, int count) {
    for (int i = 0; i < count; ++i) scalarPixel(y[i], cb[i], cr[i], rgba + 4 * i);
}

void scalarHalf(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* rgba, int count) {
    for (int i = 0; i < count; ++i) scalarPixel(y[i], cb[i / 2], cr[i / 2], rgba + 4 * i);
}

const JpegColour kScalar{"scalar", scalarFull, scalarHalf};

#ifdef PAVONIX_JPEG_SSE2

// x / 1024 truncated toward zero: negative values are biased by 1023 first.
inline __m128i divide1024(__m128i x) {
    return _mm_srai_epi32(_mm_add_epi32(x, _mm_and_si128(_mm_srai_epi32(x, 31), _mm_set1_epi32(1023))), 10);
}

// One term for eight pixels from the interleaved (Cr', Cb') pairs of pixels 0-3 and 4-7.
inline __m128i term(__m128i lo, __m128i hi, __m128i weights) {
    return _mm_packs_epi32(divide1024(_mm_madd_epi16(lo, weights)), divide1024(_mm_madd_epi16(hi, weights)));
}

// Eight pixels from eight Y, Cb and Cr bytes in the low halves of the registers.
inline void convert8(__m128i y8, __m128i cb8, __m128i cr8, uint8_t* rgba) {
    const __m128i zero = _mm_setzero_si128(), bias = _mm_set1_epi16(128);
    const __m128i y = _mm_unpacklo_epi8(y8, zero);
    const __m128i cb = _mm_sub_epi16(_mm_unpacklo_epi8(cb8, zero), bias);
    const __m128i cr = _mm_sub_epi16(_mm_unpacklo_epi8(cr8, zero), bias);
    const __m128i lo = _mm_unpacklo_epi16(cr, cb), hi = _mm_unpackhi_epi16(cr, cb);
    // Weights per (Cr', Cb') pair.
    const __m128i r = _mm_add_epi16(y, term(lo, hi, _mm_set1_epi32(1435)));
    const __m128i g = _mm_sub_epi16(y, term(lo, hi, _mm_set1_epi32(352 << 16 | 731)));
    const __m128i b = _mm_add_epi16(y, term(lo, hi, _mm_set1_epi32(1814 << 16)));
    // Unsigned saturation to bytes is the clamp to 0..255.
    const __m128i rb = _mm_packus_epi16(r, b), ga = _mm_packus_epi16(g, _mm_set1_epi16(255));
    const __m128i rg = _mm_unpacklo_epi8(rb, ga), ba = _mm_unpackhi_epi8(rb, ga);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rgba), _mm_unpacklo_epi16(rg, ba));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rgba + 16), _mm_unpackhi_epi16(rg, ba));
}

inline __m128i load8(const uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }

inline __m128i load4Doubled(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    const __m128i c = _mm_cvtsi32_si128(v);
    return _mm_unpacklo_epi8(c, c);
}

void sse2Full(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* rgba, int count) {
    int i = 0;
    for (; i + 8 <= count; i += 8) convert8(load8(y + i), load8(cb + i), load8(cr + i), rgba + 4 * i);
    if (i < count) scalarFull(y + i, cb + i, cr + i, rgba + 4 * i, count - i);
}

void sse2Half(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* rgba, int count) {
    int i = 0;
    for (; i + 8 <= count; i += 8)
        convert8(load8(y + i), load4Doubled(cb + i / 2), load4Doubled(cr + i / 2), rgba + 4 * i);
    // i is even here, so the tail starts on a chroma sample of its own.
    if (i < count) scalarHalf(y + i, cb + i / 2, cr + i / 2, rgba + 4 * i, count - i);
}

const JpegColour kSse2{"sse2", sse2Full, sse2Half};

#endif  // PAVONIX_JPEG_SSE2

}  // namespace

const JpegColour& jpegScalarColour() { return kScalar; }

const JpegColour& jpegBestColour() {
#ifdef PAVONIX_JPEG_SSE2
    return kSse2;
#else
    return kScalar;
#endif
}
