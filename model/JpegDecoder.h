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
// state and the bytes the input function delivers.
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

// Decoder state. The caller provides the memory; jpegPrepare fills it. Pointers point
// into the work area.
struct JpegDecoder {
    int32_t inputCount;      // bytes left in inputBuffer
    uint8_t* inputPointer;   // next byte in inputBuffer
    uint8_t* inputBuffer;    // 512 bytes
    uint8_t bitMask;         // next bit of the current byte; 0 = take a new byte
    uint8_t currentByte;
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
    int32_t* workBuffer;       // one block's coefficients, then one MCU's RGB output
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
