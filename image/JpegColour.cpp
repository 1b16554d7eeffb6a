// The arithmetic is jpegPixelToRgb's, "/" truncating toward zero as the integer
// conversion has always done. The products need 18 bits, so the vector form multiplies Cb'/Cr' pairs into 32-bit
// lanes (one pmaddwd per term) and truncates there before narrowing to 16 bits.
#include "image/JpegColour.h"

#include <cstring>

#if defined(__SSE2__) && defined(__GNUC__)
#define PAVONIX_JPEG_SSE2 1
#include <immintrin.h>
#endif
#if defined(PAVONIX_JPEG_SSE2) && defined(__x86_64__)
#define PAVONIX_JPEG_AVX2 1
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

void scalarPair(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* first, uint8_t* second) {
    scalarFull(y, cb, cr, first, 8);
    scalarFull(y + 8, cb + 8, cr + 8, second, 8);
}

void scalarWide(const uint8_t* y, const uint8_t* yRight, const uint8_t* cb, const uint8_t* cr, uint8_t* rgba) {
    scalarHalf(y, cb, cr, rgba, 8);
    scalarHalf(yRight, cb + 4, cr + 4, rgba + 32, 8);
}

const JpegColour kScalar{"scalar", scalarFull, scalarHalf, scalarPair, scalarWide};

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

void sse2Pair(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* first, uint8_t* second) {
    convert8(load8(y), load8(cb), load8(cr), first);
    convert8(load8(y + 8), load8(cb + 8), load8(cr + 8), second);
}

void sse2Wide(const uint8_t* y, const uint8_t* yRight, const uint8_t* cb, const uint8_t* cr, uint8_t* rgba) {
    convert8(load8(y), load4Doubled(cb), load4Doubled(cr), rgba);
    convert8(load8(yRight), load4Doubled(cb + 4), load4Doubled(cr + 4), rgba + 32);
}

const JpegColour kSse2{"sse2", sse2Full, sse2Half, sse2Pair, sse2Wide};

#endif  // PAVONIX_JPEG_SSE2

#ifdef PAVONIX_JPEG_AVX2

// ---- AVX2: the same steps on sixteen pixels. ----

#define PAVONIX_AVX2 __attribute__((target("avx2")))

PAVONIX_AVX2 inline __m256i divide1024x8(__m256i x) {
    return _mm256_srai_epi32(_mm256_add_epi32(x, _mm256_and_si256(_mm256_srai_epi32(x, 31), _mm256_set1_epi32(1023))),
                             10);
}

// The unpacks and packs work within 128-bit halves: lo holds pixels 0-3 and 8-11, hi
// pixels 4-7 and 12-15, and the pack restores the order.
PAVONIX_AVX2 inline __m256i term16(__m256i lo, __m256i hi, int32_t weights) {
    const __m256i w = _mm256_set1_epi32(weights);
    return _mm256_packs_epi32(divide1024x8(_mm256_madd_epi16(lo, w)), divide1024x8(_mm256_madd_epi16(hi, w)));
}

PAVONIX_AVX2 inline void convert16(__m128i y16, __m128i cb16, __m128i cr16, uint8_t* first, uint8_t* second) {
    const __m256i bias = _mm256_set1_epi16(128);
    const __m256i y = _mm256_cvtepu8_epi16(y16);
    const __m256i cb = _mm256_sub_epi16(_mm256_cvtepu8_epi16(cb16), bias);
    const __m256i cr = _mm256_sub_epi16(_mm256_cvtepu8_epi16(cr16), bias);
    const __m256i lo = _mm256_unpacklo_epi16(cr, cb), hi = _mm256_unpackhi_epi16(cr, cb);
    const __m256i r = _mm256_add_epi16(y, term16(lo, hi, 1435));
    const __m256i g = _mm256_sub_epi16(y, term16(lo, hi, 352 << 16 | 731));
    const __m256i b = _mm256_add_epi16(y, term16(lo, hi, 1814 << 16));
    const __m256i rb = _mm256_packus_epi16(r, b), ga = _mm256_packus_epi16(g, _mm256_set1_epi16(255));
    const __m256i rg = _mm256_unpacklo_epi8(rb, ga), ba = _mm256_unpackhi_epi8(rb, ga);
    // Pixels 0-3 | 8-11 and 4-7 | 12-15.
    const __m256i p0 = _mm256_unpacklo_epi16(rg, ba), p1 = _mm256_unpackhi_epi16(rg, ba);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(first), _mm256_permute2x128_si256(p0, p1, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(second), _mm256_permute2x128_si256(p0, p1, 0x31));
}

PAVONIX_AVX2 inline __m128i load16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

PAVONIX_AVX2 void avx2Pair(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* first, uint8_t* second) {
    convert16(load16(y), load16(cb), load16(cr), first, second);
}

PAVONIX_AVX2 void avx2Wide(const uint8_t* y, const uint8_t* yRight, const uint8_t* cb, const uint8_t* cr,
                           uint8_t* rgba) {
    const __m128i luma = _mm_unpacklo_epi64(load8(y), load8(yRight));
    const __m128i b = load8(cb), r = load8(cr);
    convert16(luma, _mm_unpacklo_epi8(b, b), _mm_unpacklo_epi8(r, r), rgba, rgba + 32);
}

// Rows of other lengths are rare (picture edges) and take the SSE2 loops.
const JpegColour kAvx2{"avx2", sse2Full, sse2Half, avx2Pair, avx2Wide};

#endif  // PAVONIX_JPEG_AVX2

}  // namespace

const JpegColour& jpegScalarColour() { return kScalar; }

int jpegColourForms(const JpegColour** forms, int capacity) {
    int n = 0;
    const auto add = [&](const JpegColour& f) {
        if (n < capacity) forms[n++] = &f;
    };
#ifdef PAVONIX_JPEG_AVX2
    if (__builtin_cpu_supports("avx2")) add(kAvx2);
#endif
#ifdef PAVONIX_JPEG_SSE2
    add(kSse2);
#endif
    add(kScalar);
    return n;
}

const JpegColour& jpegBestColour() {
    // A cache: what the processor offers does not change during a run.
    static const JpegColour* best = [] {
        const JpegColour* forms[1];
        jpegColourForms(forms, 1);
        return forms[0];
    }();
    return *best;
}
