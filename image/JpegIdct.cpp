// The Arai-Agui-Nakajima scaled IDCT in 32-bit integers, constants in 4.12 fixed point.
// The arithmetic wraps around in 32 bits: a damaged stream can hold coefficients whose
// sums and products overflow, valid streams never come near it. Wrapping sums do not
// depend on their order, so the vector forms below, which add in the same 32-bit lanes,
// give the same bytes as the scalar form for every input, damaged or not.
//
// The vector forms keep the whole block in registers: a column pass with one column per
// lane, a transpose, a row pass with one row per lane, a transpose back. Valid
// coefficients need 17 bits and more, so the lanes are 32 bits wide: four per SSE2
// register, eight per AVX2 register.
#include "image/JpegIdct.h"

#include <cstring>

#if defined(__SSE2__) && defined(__GNUC__)
#define PAVONIX_JPEG_SSE2 1
#include <immintrin.h>
#endif
#if defined(PAVONIX_JPEG_SSE2) && defined(__x86_64__)
#define PAVONIX_JPEG_AVX2 1
#endif

namespace {

inline int32_t saturate(int32_t v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

// ---- Scalar. ----

inline uint32_t mul12(uint32_t v, uint32_t constant) { return uint32_t(int32_t(v * constant) >> 12); }

struct Eight {
    uint32_t v[8];
};

inline Eight butterfly(uint32_t a0, uint32_t a1, uint32_t a2, uint32_t a3, uint32_t a4, uint32_t a5, uint32_t a6,
                       uint32_t a7) {
    const uint32_t s04 = a0 + a4, d04 = a0 - a4;
    const uint32_t s26 = a2 + a6, s17 = a1 + a7, s35 = a3 + a5;
    const uint32_t k = mul12(a1 + a5 - a3 - a7, 7568);
    const uint32_t d26 = mul12(a2 - a6, 5792) - s26;
    const uint32_t u = k - mul12(a5 - a3, 10703) - s35 - s17;
    const uint32_t w = mul12(s17 - s35, 5792) - u;
    const uint32_t k2 = k - (mul12(a1 - a7, 4433) + w);
    return {{s04 + s26 + s17 + s35, d26 + d04 + u, w + d04 - d26, k2 + s04 - s26, s04 - s26 - k2, d04 - d26 - w,
             d26 + d04 - u, s04 + s26 - s17 - s35}};
}

// Coefficients outside the first Rows rows and Cols columns are known to be zero, so
// the compiler drops their terms.
template <int Rows, int Cols>
void scalarTransform(const int32_t* coef, uint8_t* samples) {
    uint32_t columns[64];
    for (int col = 0; col < 8; ++col) {
        if (col >= Cols) {
            for (int i = 0; i < 8; ++i) columns[8 * i + col] = 0;
            continue;
        }
        const auto a = [&](int row) { return row < Rows ? uint32_t(coef[8 * row + col]) : 0u; };
        const Eight out = butterfly(a(0), a(1), a(2), a(3), a(4), a(5), a(6), a(7));
        for (int i = 0; i < 8; ++i) columns[8 * i + col] = out.v[i];
    }
    for (int row = 0; row < 8; ++row) {
        const auto b = [&](int col) { return col < Cols ? columns[8 * row + col] : 0u; };
        const Eight out = butterfly(b(0), b(1), b(2), b(3), b(4), b(5), b(6), b(7));
        // 32768 is the level shift of 128 with 8 fractional bits. Added to input 0 it
        // reaches every output with weight +1, so it is added to the outputs instead.
        for (int i = 0; i < 8; ++i) samples[8 * row + i] = uint8_t(saturate(int32_t(out.v[i] + 32768) >> 8));
    }
}

const JpegIdct kScalar{"scalar", scalarTransform<8, 8>, scalarTransform<4, 4>};

#ifdef PAVONIX_JPEG_SSE2

// ---- The butterfly on whole registers, one transform per lane. ----

typedef uint32_t U4 __attribute__((vector_size(16)));
typedef int32_t S4 __attribute__((vector_size(16)));

template <typename V, typename S>
__attribute__((always_inline)) inline void multiply12(V& v, uint32_t c) {
    v = V(S(v * c) >> 12);
}

// V is an unsigned vector type, S the signed one of the same shape. With Sparse, inputs
// 4-7 are zero and their terms fold away.
template <typename V, typename S, bool Sparse>
__attribute__((always_inline)) inline void butterflyLanes(const V* a, V* out) {
    const V zero = a[0] - a[0];
    const V a0 = a[0], a1 = a[1], a2 = a[2], a3 = a[3];
    const V a4 = Sparse ? zero : a[4], a5 = Sparse ? zero : a[5], a6 = Sparse ? zero : a[6],
            a7 = Sparse ? zero : a[7];
    const V s04 = a0 + a4, d04 = a0 - a4;
    const V s26 = a2 + a6, s17 = a1 + a7, s35 = a3 + a5;
    V k = a1 + a5 - a3 - a7, d26 = a2 - a6, u = a5 - a3, w = s17 - s35, k2 = a1 - a7;
    multiply12<V, S>(k, 7568);
    multiply12<V, S>(d26, 5792);
    multiply12<V, S>(u, 10703);
    multiply12<V, S>(k2, 4433);
    d26 -= s26;
    u = k - u - s35 - s17;
    multiply12<V, S>(w, 5792);
    w -= u;
    k2 = k - (k2 + w);
    out[0] = s04 + s26 + s17 + s35;
    out[1] = d26 + d04 + u;
    out[2] = w + d04 - d26;
    out[3] = k2 + s04 - s26;
    out[4] = s04 - s26 - k2;
    out[5] = d04 - d26 - w;
    out[6] = d26 + d04 - u;
    out[7] = s04 + s26 - s17 - s35;
}

// ---- SSE2: the block as two halves of four lanes. ----

inline void transpose4(U4& a, U4& b, U4& c, U4& d) {
    const __m128i t0 = _mm_unpacklo_epi32(__m128i(a), __m128i(b)), t1 = _mm_unpacklo_epi32(__m128i(c), __m128i(d));
    const __m128i t2 = _mm_unpackhi_epi32(__m128i(a), __m128i(b)), t3 = _mm_unpackhi_epi32(__m128i(c), __m128i(d));
    a = U4(_mm_unpacklo_epi64(t0, t1));
    b = U4(_mm_unpackhi_epi64(t0, t1));
    c = U4(_mm_unpacklo_epi64(t2, t3));
    d = U4(_mm_unpackhi_epi64(t2, t3));
}

inline U4 load4(const int32_t* p) { return U4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }

template <bool Sparse>
void sse2Transform(const int32_t* coef, uint8_t* samples) {
    // Column pass: half h holds columns 4h..4h+3, column[h][i] is output row i.
    U4 column[2][8];
    for (int h = 0; h < (Sparse ? 1 : 2); ++h) {
        U4 a[8];
        for (int r = 0; r < (Sparse ? 4 : 8); ++r) a[r] = load4(coef + 8 * r + 4 * h);
        butterflyLanes<U4, S4, Sparse>(a, column[h]);
    }
    const U4 level = {32768, 32768, 32768, 32768};
    // Row pass: group g holds rows 4g..4g+3, one per lane.
    for (int g = 0; g < 2; ++g) {
        U4 b[8];
        for (int h = 0; h < (Sparse ? 1 : 2); ++h) {
            for (int i = 0; i < 4; ++i) b[4 * h + i] = column[h][4 * g + i];
            transpose4(b[4 * h], b[4 * h + 1], b[4 * h + 2], b[4 * h + 3]);
        }
        U4 out[8];
        butterflyLanes<U4, S4, Sparse>(b, out);
        for (U4& o : out) o = U4(S4(o + level) >> 8);
        transpose4(out[0], out[1], out[2], out[3]);
        transpose4(out[4], out[5], out[6], out[7]);
        // out[i] is now columns 0-3 of row 4g + i, out[4 + i] columns 4-7. Signed
        // saturation to 16 bits and then unsigned to 8 bits is the clamp to 0..255.
        const __m128i r01 = _mm_packus_epi16(_mm_packs_epi32(__m128i(out[0]), __m128i(out[4])),
                                             _mm_packs_epi32(__m128i(out[1]), __m128i(out[5])));
        const __m128i r23 = _mm_packus_epi16(_mm_packs_epi32(__m128i(out[2]), __m128i(out[6])),
                                             _mm_packs_epi32(__m128i(out[3]), __m128i(out[7])));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + 32 * g), r01);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + 32 * g + 16), r23);
    }
}

const JpegIdct kSse2{"sse2", sse2Transform<false>, sse2Transform<true>};

#endif  // PAVONIX_JPEG_SSE2

#ifdef PAVONIX_JPEG_AVX2

// ---- AVX2: the block as eight registers of eight lanes. ----

#define PAVONIX_AVX2 __attribute__((target("avx2")))

typedef uint32_t U8 __attribute__((vector_size(32)));
typedef int32_t S8 __attribute__((vector_size(32)));

PAVONIX_AVX2 inline void transpose8(U8* m) {
    __m256i t[8], u[8];
    for (int i = 0; i < 8; i += 2) {
        t[i] = _mm256_unpacklo_epi32(__m256i(m[i]), __m256i(m[i + 1]));
        t[i + 1] = _mm256_unpackhi_epi32(__m256i(m[i]), __m256i(m[i + 1]));
    }
    // Each 128-bit half of u[4q + j] now holds element j (low half) or j + 4 (high
    // half) of rows 4q..4q+3.
    for (int q = 0; q < 8; q += 4) {
        u[q] = _mm256_unpacklo_epi64(t[q], t[q + 2]);
        u[q + 1] = _mm256_unpackhi_epi64(t[q], t[q + 2]);
        u[q + 2] = _mm256_unpacklo_epi64(t[q + 1], t[q + 3]);
        u[q + 3] = _mm256_unpackhi_epi64(t[q + 1], t[q + 3]);
    }
    for (int j = 0; j < 4; ++j) {
        m[j] = U8(_mm256_permute2x128_si256(u[j], u[j + 4], 0x20));
        m[j + 4] = U8(_mm256_permute2x128_si256(u[j], u[j + 4], 0x31));
    }
}

template <bool Sparse>
PAVONIX_AVX2 void avx2Transform(const int32_t* coef, uint8_t* samples) {
    U8 a[8], m[8];
    for (int r = 0; r < (Sparse ? 4 : 8); ++r) a[r] = U8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(coef + 8 * r)));
    butterflyLanes<U8, S8, Sparse>(a, m);
    transpose8(m);
    butterflyLanes<U8, S8, Sparse>(m, a);
    const U8 level = {32768, 32768, 32768, 32768, 32768, 32768, 32768, 32768};
    for (U8& o : a) o = U8(S8(o + level) >> 8);
    // a[i] holds column i of every row. Narrowed to bytes first (signed saturation to
    // 16 bits, then unsigned to 8, is the clamp to 0..255), the transpose back moves a
    // quarter of the data: each 128-bit half of c0 holds columns 0-3 of four rows as
    // bytes 4 * column + row, of c1 columns 4-7.
    const __m256i c0 = _mm256_packus_epi16(_mm256_packs_epi32(__m256i(a[0]), __m256i(a[1])),
                                           _mm256_packs_epi32(__m256i(a[2]), __m256i(a[3])));
    const __m256i c1 = _mm256_packus_epi16(_mm256_packs_epi32(__m256i(a[4]), __m256i(a[5])),
                                           _mm256_packs_epi32(__m256i(a[6]), __m256i(a[7])));
    const __m256i byRow = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  //
                                           0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    const __m256i r0 = _mm256_shuffle_epi8(c0, byRow), r1 = _mm256_shuffle_epi8(c1, byRow);
    // Rows 0, 1 | 4, 5 and rows 2, 3 | 6, 7.
    const __m256i x = _mm256_unpacklo_epi32(r0, r1), y = _mm256_unpackhi_epi32(r0, r1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(samples), _mm256_permute2x128_si256(x, y, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(samples + 32), _mm256_permute2x128_si256(x, y, 0x31));
}

const JpegIdct kAvx2{"avx2", avx2Transform<false>, avx2Transform<true>};

#endif  // PAVONIX_JPEG_AVX2

}  // namespace

const JpegIdct& jpegScalarIdct() { return kScalar; }

int jpegIdctForms(const JpegIdct** forms, int capacity) {
    int n = 0;
    const auto add = [&](const JpegIdct& f) {
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

const JpegIdct& jpegBestIdct() {
    // A cache: what the processor offers does not change during a run.
    static const JpegIdct* best = [] {
        const JpegIdct* forms[1];
        jpegIdctForms(forms, 1);
        return forms[0];
    }();
    return *best;
}
