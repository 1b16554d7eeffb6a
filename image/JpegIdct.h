// The JPEG decoder's inverse transform: one scalar form that defines the arithmetic and
// vector forms that give the same bytes. Internal to the decoder; the tests reach the
// forms one by one to hold them to the scalar result.
#pragma once

#include <cstdint>

// Turns 64 dequantised, prescaled coefficients (natural order) into 64 samples.
using JpegIdctFunction = void (*)(const int32_t* coef, uint8_t* samples);

struct JpegIdct {
    const char* name;
    JpegIdctFunction full;    // any block
    JpegIdctFunction corner;  // only rows 0-3 and columns 0-3 may be non-zero
};

// The reference: portable C++, compiled for whatever the build targets.
const JpegIdct& jpegScalarIdct();

// Every form this build has and this processor runs, scalar last. Returns the count
// written to forms (at most capacity).
int jpegIdctForms(const JpegIdct** forms, int capacity);

// The fastest form of jpegIdctForms, chosen on first use.
const JpegIdct& jpegBestIdct();
