// YCbCr to RGBA for the JPEG decoder: a scalar form that defines the arithmetic and
// SSE2 and AVX2 forms that give the same bytes, eight or sixteen pixels at a time. Internal to the decoder;
// the tests reach both forms to hold one to the other.
#pragma once

#include <cstdint>

// A clamp rather than a look-up table: values beyond -512..511, which a table indexed
// by v & 0x3FF would wrap around, stay black or white.
inline int32_t jpegSaturate(int32_t v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

// One pixel: R, G and B into rgb[0..2].
inline void jpegPixelToRgb(int32_t y, int32_t cb, int32_t cr, uint8_t* rgb) {
    const int32_t b = cb - 128, r = cr - 128;
    rgb[0] = uint8_t(jpegSaturate(y + r * 1435 / 1024));
    rgb[1] = uint8_t(jpegSaturate(y - (b * 352 + r * 731) / 1024));
    rgb[2] = uint8_t(jpegSaturate(y + b * 1814 / 1024));
}

// Converts count pixels of one row into count RGBA pixels (alpha 255) at rgba. With
// full chroma, pixel i takes cb[i] and cr[i]; with half chroma, cb[i / 2] and cr[i / 2].
// Reads and writes nothing beyond those samples and pixels.
using JpegRowConverter = void (*)(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* rgba, int count);

// Sixteen pixels of an MCU at once: pixels 0-7 go to first, 8-15 to second (a 4:4:4
// MCU's rows r and r + 1 lie one after the other in a block, a 2x1 MCU's row halves
// side by side in the picture).
//   pair: y, cb and cr hold 16 samples each, full chroma.
//   wide: y holds pixels 0-7 and yRight pixels 8-15; cb and cr hold 8 samples, half chroma.
using JpegPairConverter = void (*)(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint8_t* first,
                                   uint8_t* second);
using JpegWideConverter = void (*)(const uint8_t* y, const uint8_t* yRight, const uint8_t* cb, const uint8_t* cr,
                                   uint8_t* rgba);

struct JpegColour {
    const char* name;
    JpegRowConverter fullChroma;
    JpegRowConverter halfChroma;
    JpegPairConverter pair;
    JpegWideConverter wide;
};

// The reference: portable C++.
const JpegColour& jpegScalarColour();

// Every form this build has and this processor runs, scalar last; returns the count
// written (at most capacity).
int jpegColourForms(const JpegColour** forms, int capacity);

// The fastest of them, chosen on first use.
const JpegColour& jpegBestColour();
