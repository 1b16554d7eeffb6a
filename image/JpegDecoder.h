// A small baseline JPEG decoder that runs in a fixed work area supplied by the caller
// and never allocates. Input arrives through a caller's function in pieces of at most
// 512 bytes; output leaves one MCU (minimum coded unit) at a time as 8-bit RGB through
// another caller's function.
//
// Handles: baseline sequential Huffman coding, 8-bit samples, three components
// (Y, Cb, Cr) with luminance sampling 1x1, 2x1 or 2x2 and chroma 1x1 (4:4:4, 4:2:2,
// 4:2:0), restart intervals, up to four 8-bit quantisation tables and two Huffman table
// pairs. Refuses (kJpegUnsupported) progressive and other frame types, grey-scale and
// four-component images, and 1x2 sampling.
//
// Whatever the stream holds, the decoder reads and writes only its work area, its
// state and the bytes the input function delivers (and, for jpegDecompressToRgba, the
// picture it is given).
//
// Speed comes from a 64-bit bit buffer held in registers while an MCU decodes, look-up
// tables that decode a Huffman code together with its value bits (and the end of a
// block), IDCT shortcuts for blocks with only a DC term or only low frequencies, and
// vector forms of the IDCT and of the colour conversion (model/JpegIdct.h,
// model/JpegColour.h) that give the same bytes as their scalar forms. The look-up
// tables take about 25 KB, more than the work area holds, so they live in the decoder
// state, which the caller provides as well.
#pragma once

#include <cstddef>
#include <cstdint>

// Size of the work area jpegPrepare expects. A 4:2:0 image with two quantisation
// tables and the usual four Huffman tables takes 3096 bytes of it.
constexpr std::size_t kJpegWorkAreaSize = 3100;

// Result codes of jpegPrepare and jpegDecompress.
enum JpegResult : int {
    kJpegOk = 0,
    kJpegStopped = 1,          // the output function asked to stop
    kJpegInputError = 2,       // the input ended or delivered fewer bytes than asked
    kJpegOutOfWorkArea = 3,    // the tables do not fit the work area
    kJpegSegmentTooLong = 4,   // a header segment does not fit the 512-byte input buffer
    kJpegNoWorkArea = 5,
    kJpegFormatError = 6,      // bad marker, table, Huffman code, restart marker, index
    kJpegUnsupported = 8,      // frame type, component count, sampling, table selector
};

struct JpegDecoder;

// Inclusive pixel rectangle of one MCU's visible part.
struct JpegRect {
    uint16_t left, right, top, bottom;
};

// Delivers up to count bytes into destination, or skips them when destination is null.
// Returns the number of bytes delivered (or skipped).
using JpegInputFunction = std::size_t (*)(JpegDecoder* decoder, uint8_t* destination, std::size_t count);

// Receives the visible pixels of one MCU: (right - left + 1) * (bottom - top + 1) RGB
// triplets, rows packed. Returns non-zero to go on, 0 to stop.
using JpegOutputFunction = int (*)(JpegDecoder* decoder, const uint8_t* rgb, const JpegRect& rect);

// Codes up to this many bits long decode with one table look-up.
constexpr int kJpegLookupBits = 10;

// Decoder state. The caller provides the memory; jpegPrepare fills it. Pointers point
// into the work area.
struct JpegDecoder {
    int32_t inputCount;      // bytes left in inputBuffer
    uint8_t* inputPointer;   // next byte in inputBuffer
    uint8_t* inputBuffer;    // 512 bytes
    // Entropy-coded bits, next bit in the top position. When the data runs into a
    // marker or the end of input, zero bits are appended and counted in paddingBits, so
    // look-ahead never needs a check; decoding any of them is the error.
    uint64_t bitBuffer;
    int32_t bitCount;
    int32_t paddingBits;
    uint8_t scanMarker;      // the marker that ended the data (0 = none met yet)
    uint8_t inputEnded;      // 1: end of input; 2: the input function broke its promise
    uint8_t mcuWidthBlocks, mcuHeightBlocks;  // luminance sampling H and V
    uint8_t quantTableOf[3];
    uint8_t dcTableOf[3], acTableOf[3];  // Huffman table numbers (class + 2 * id) per component
    int16_t dcPredictor[3];
    uint16_t restartInterval;  // MCUs between restart markers, 0 = none
    uint16_t width, height;
    uint8_t* huffBits[4];      // 16 code counts per length 1..16
    uint16_t* huffCodes[4];    // canonical code words in order
    uint8_t* huffValues[4];    // symbols in the same order
    int32_t* quantTables[4];   // 64 IDCT-prescaled values each, natural order
    // Per Huffman table, indexed by the next kJpegLookupBits bits: length << 8 | symbol,
    // 0 for codes that are longer.
    uint16_t huffLookup[4][1 << kJpegLookupBits];
    // Per DC table (0 and 2) and AC table (1 and 3), when a code and its value bits
    // together fit the look-up: value << 16 | zero run << 8 | 0x80 for the end of block |
    // total bits; otherwise 0.
    int32_t dcLookup[2][1 << kJpegLookupBits];
    int32_t acLookup[2][1 << kJpegLookupBits];
    // quantTables again in stream order, so that dequantising needs no zig-zag look-up.
    int32_t streamOrderQuant[4][64];
    int32_t* workBuffer;       // one MCU's RGB output for jpegDecompress
    uint8_t* mcuBuffer;        // H*V luminance blocks, then Cb, then Cr; directly after workBuffer
    uint8_t* poolPointer;
    std::size_t poolLeft;
    JpegInputFunction inputFunction;
    void* device;  // the caller's context, untouched by the decoder
};

// Reads the headers up to the start of the scan; width and height are known afterwards.
// workArea must hold kJpegWorkAreaSize bytes, aligned for int32_t, and outlive decoding.
int jpegPrepare(JpegDecoder* decoder, JpegInputFunction input, void* workArea, void* device);

// Decodes the scan, calling output once per MCU, left to right, top to bottom.
int jpegDecompress(JpegDecoder* decoder, JpegOutputFunction output);

// Decodes the scan straight into an RGBA picture of width x height pixels (alpha 255),
// rowBytes apart, with the same pixels jpegDecompress delivers. The texture loader's path:
// no RGB copy, and colour conversion per pixel row.
int jpegDecompressToRgba(JpegDecoder* decoder, uint8_t* rgba, std::size_t rowBytes);
