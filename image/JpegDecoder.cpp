#include "image/JpegDecoder.h"

#include "image/JpegColour.h"
#include "image/JpegIdct.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kInputBufferSize = 512;

// For the i-th coefficient in stream order, its natural (row-major) index.
constexpr uint8_t kZigZag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

// The scaled IDCT wants each coefficient multiplied by a(i) * a(j) first, with a(0) = 1
// and a(k) = sqrt(2) cos(k pi / 16); folding that into the quantisation tables makes it
// free. 2.13 fixed point, natural order.
constexpr uint16_t kIdctPrescale[64] = {
    8192,  11362, 10703, 9632,  8192,  6436, 4433, 2260,  //
    11362, 15760, 14846, 13361, 11362, 8927, 6149, 3134,  //
    10703, 14846, 13984, 12585, 10703, 8409, 5792, 2953,  //
    9632,  13361, 12585, 11326, 9632,  7568, 5213, 2657,  //
    8192,  11362, 10703, 9632,  8192,  6436, 4433, 2260,  //
    6436,  8927,  8409,  7568,  6436,  5057, 3483, 1775,  //
    4433,  6149,  5792,  5213,  4433,  3483, 2399, 1223,  //
    2260,  3134,  2953,  2657,  2260,  1775, 1223, 623,   //
};


void* allocate(JpegDecoder* d, std::size_t size) {
    size = (size + 3) & ~std::size_t(3);
    if (size > d->poolLeft) return nullptr;
    void* p = d->poolPointer;
    d->poolPointer += size;
    d->poolLeft -= size;
    return p;
}

// Asks the input function for exactly count bytes (into dest, or skipped when null).
// A function that claims more than asked is as broken as one that delivers fewer.
bool readExactly(JpegDecoder* d, uint8_t* dest, std::size_t count) {
    return d->inputFunction(d, dest, count) == count;
}

// Flag of an entry of acLookup.
constexpr int32_t kEndOfBlock = 0x80;

inline uint16_t bigEndian16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

// A count-bit field whose top bit is 0 stands for a negative value.
inline int32_t extend(uint32_t value, int count) {
    return value < (1u << (count - 1)) ? int32_t(value) - int32_t((1u << count) - 1) : int32_t(value);
}

// Fills the look-up tables of Huffman table t from its canonical codes: the symbol
// table, and the table of codes decoded together with their value bits.
void buildLookups(JpegDecoder* d, int t) {
    constexpr int kBits = kJpegLookupBits;
    uint16_t* lookup = d->huffLookup[t];
    int32_t* withValue = (t & 1) ? d->acLookup[t >> 1] : d->dcLookup[t >> 1];
    std::memset(lookup, 0, sizeof d->huffLookup[t]);
    std::memset(withValue, 0, sizeof d->acLookup[0]);
    std::size_t k = 0;
    for (int length = 1; length <= kBits; ++length) {
        for (int i = 0; i < d->huffBits[t][length - 1]; ++i, ++k) {
            const uint32_t first = uint32_t(d->huffCodes[t][k]) << (kBits - length);
            const int symbol = d->huffValues[t][k];
            for (uint32_t n = 0; n < (1u << (kBits - length)); ++n) lookup[first + n] = uint16_t(length << 8 | symbol);
            // A DC symbol is the size of a value; an AC symbol a zero run and a size,
            // where size 0 is the end of block (run 0) or sixteen zeros (run 15, left to
            // the symbol table).
            const int size = symbol & 15, run = (t & 1) ? symbol >> 4 : 0, total = length + size;
            const bool endOfBlock = (t & 1) && symbol == 0;
            if (total > kBits || ((t & 1) && size == 0 && !endOfBlock)) continue;
            for (uint32_t n = 0; n < (1u << (kBits - length)); ++n) {
                const uint32_t valueBits = size ? (n >> (kBits - total)) & ((1u << size) - 1) : 0;
                const int32_t value = size ? extend(valueBits, size) : 0;
                withValue[first + n] = int32_t(uint32_t(value) << 16) | run << 8 | (endOfBlock ? kEndOfBlock : 0) | total;
            }
        }
    }
}

// ---- Header segments. p points at the payload in the input buffer, len its size. ----

int readFrameHeader(JpegDecoder* d, const uint8_t* p, std::size_t len) {
    if (len < 6) return kJpegFormatError;
    d->height = bigEndian16(p + 1);
    d->width = bigEndian16(p + 3);
    if (p[5] != 3) return kJpegUnsupported;
    if (len < 6 + 3 * 3) return kJpegFormatError;
    for (int c = 0; c < 3; ++c) {
        const uint8_t sampling = p[6 + 3 * c + 1];
        const uint8_t table = p[6 + 3 * c + 2];
        if (c == 0) {
            if (sampling != 0x11 && sampling != 0x21 && sampling != 0x22) return kJpegUnsupported;
            d->mcuWidthBlocks = sampling >> 4;
            d->mcuHeightBlocks = sampling & 15;
        } else if (sampling != 0x11) {
            return kJpegUnsupported;
        }
        if (table > 3) return kJpegUnsupported;
        d->quantTableOf[c] = table;
    }
    return kJpegOk;
}

int readHuffmanTables(JpegDecoder* d, const uint8_t* p, std::size_t len) {
    while (len > 0) {
        if (len < 17) return kJpegFormatError;
        const uint8_t classId = p[0];
        if (classId & ~0x11) return kJpegFormatError;
        const int t = (classId >> 4) + 2 * (classId & 1);
        auto* bits = static_cast<uint8_t*>(allocate(d, 16));
        if (!bits) return kJpegOutOfWorkArea;
        std::memcpy(bits, p + 1, 16);
        std::size_t n = 0;
        for (int i = 0; i < 16; ++i) n += bits[i];
        auto* codes = static_cast<uint16_t*>(allocate(d, 2 * n));
        if (!codes) return kJpegOutOfWorkArea;
        // Canonical codes: consecutive within a length, doubled between lengths. A table
        // whose codes outgrow their length cannot be decoded unambiguously.
        uint32_t code = 0;
        std::size_t k = 0;
        for (int length = 1; length <= 16; ++length) {
            for (int i = 0; i < bits[length - 1]; ++i) codes[k++] = uint16_t(code++);
            if (code > (1u << length)) return kJpegFormatError;
            code <<= 1;
        }
        p += 17;
        len -= 17;
        if (len < n) return kJpegFormatError;
        auto* values = static_cast<uint8_t*>(allocate(d, n));
        if (!values) return kJpegOutOfWorkArea;
        std::memcpy(values, p, n);
        // A DC symbol is a bit count of a difference; beyond 11 it cannot come from 8-bit data.
        if ((classId >> 4) == 0) {
            for (std::size_t i = 0; i < n; ++i)
                if (values[i] > 11) return kJpegFormatError;
        }
        p += n;
        len -= n;
        d->huffBits[t] = bits;
        d->huffCodes[t] = codes;
        d->huffValues[t] = values;
        buildLookups(d, t);
    }
    return kJpegOk;
}

int readQuantTables(JpegDecoder* d, const uint8_t* p, std::size_t len) {
    while (len > 0) {
        if (len <= 64) return kJpegFormatError;
        if (p[0] > 15) return kJpegFormatError;  // 16-bit precision
        auto* table = static_cast<int32_t*>(allocate(d, 64 * sizeof(int32_t)));
        if (!table) return kJpegOutOfWorkArea;
        int32_t* streamOrder = d->streamOrderQuant[p[0] & 3];
        for (int i = 0; i < 64; ++i) {
            const int z = kZigZag[i];
            table[z] = streamOrder[i] = int32_t(kIdctPrescale[z]) * p[1 + i];
        }
        d->quantTables[p[0] & 3] = table;
        p += 65;
        len -= 65;
    }
    return kJpegOk;
}

int readScanHeader(JpegDecoder* d, const uint8_t* p, std::size_t len) {
    if (d->width == 0 || d->height == 0) return kJpegFormatError;
    if (len < 1) return kJpegFormatError;
    if (p[0] != 3) return kJpegUnsupported;
    if (len < 7) return kJpegFormatError;
    for (int c = 0; c < 3; ++c) {
        const uint8_t selector = p[2 + 2 * c];
        if (selector != 0x00 && selector != 0x11) return kJpegUnsupported;
        // Decode with the tables the scan names: encoders that share one table pair
        // among all components select 0x00 for chroma too.
        d->dcTableOf[c] = uint8_t(0 + 2 * (selector >> 4));
        d->acTableOf[c] = uint8_t(1 + 2 * (selector & 15));
        if (!d->huffBits[d->dcTableOf[c]] || !d->huffBits[d->acTableOf[c]]) return kJpegFormatError;
        if (!d->quantTables[d->quantTableOf[c]]) return kJpegFormatError;
    }
    const std::size_t g = std::size_t(d->mcuWidthBlocks) * d->mcuHeightBlocks;
    const std::size_t workBytes = 128 * g + 64 > 256 ? 128 * g + 64 : 256;
    d->workBuffer = static_cast<int32_t*>(allocate(d, workBytes));
    if (!d->workBuffer) return kJpegOutOfWorkArea;
    d->mcuBuffer = static_cast<uint8_t*>(allocate(d, (g + 2) * 64));
    if (!d->mcuBuffer) return kJpegOutOfWorkArea;
    return kJpegOk;
}

// ---- Entropy-coded data. ----

// Makes sure inputBuffer holds a byte; false once the input has ended.
inline bool inputAvailable(JpegDecoder* d) {
    if (d->inputCount > 0) return true;
    if (d->inputEnded) return false;
    const std::size_t n = d->inputFunction(d, d->inputBuffer, kInputBufferSize);
    if (n == 0 || n > kInputBufferSize) {
        d->inputEnded = n == 0 ? 1 : 2;
        return false;
    }
    d->inputCount = int32_t(n);
    d->inputPointer = d->inputBuffer;
    return true;
}

// Next raw byte of the stream (restart markers are read this way).
inline int nextByte(JpegDecoder* d, uint8_t& byte) {
    if (!inputAvailable(d)) return kJpegInputError;
    byte = *d->inputPointer++;
    --d->inputCount;
    return kJpegOk;
}

// Byte by byte, undoing the stuffing: inside the scan a data byte 0xFF is followed by
// 0x00, and 0xFF followed by anything else is a marker, where the data ends.
void refillSlowly(JpegDecoder* d) {
    while (d->bitCount <= 56) {
        uint32_t byte = 0;
        bool data = false;
        if (!d->scanMarker && inputAvailable(d)) {
            byte = *d->inputPointer++;
            --d->inputCount;
            data = true;
            if (byte == 0xFF) {
                if (!inputAvailable(d)) {
                    data = false;
                } else {
                    const uint8_t next = *d->inputPointer++;
                    --d->inputCount;
                    if (next != 0) {
                        d->scanMarker = next;
                        data = false;
                    }
                }
            }
        }
        if (!data) {
            byte = 0;
            d->paddingBits += 8;
        }
        d->bitBuffer |= uint64_t(byte) << (56 - d->bitCount);
        d->bitCount += 8;
    }
}

inline uint64_t loadBigEndian64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// The bit buffer and its count while an MCU decodes, kept in locals so that they stay
// in registers: the decoder state is reached through a pointer that the coefficient
// stores might alias. load and store move them between the state and the locals.
struct Bits {
    uint64_t buffer;
    int32_t count;

    static Bits load(const JpegDecoder* d) { return {d->bitBuffer, d->bitCount}; }
    void store(JpegDecoder* d) const {
        d->bitBuffer = buffer;
        d->bitCount = count;
    }
    // count is 1..16.
    uint32_t peek(int n) const { return uint32_t(buffer >> (64 - n)); }
    void skip(int n) {
        buffer <<= n;
        count -= n;
    }
    uint32_t take(int n) {
        const uint32_t v = peek(n);
        skip(n);
        return v;
    }
};

// Tops the bit buffer up to at least 57 bits. Most of the time eight buffered bytes hold
// no 0xFF, and as many whole bytes as fit are taken in one go.
inline void refill(JpegDecoder* d, Bits& bits) {
    if (bits.count > 56) return;
    if (d->inputCount >= 8 && !d->scanMarker) {
        const uint64_t v = loadBigEndian64(d->inputPointer);
        const uint64_t inverted = ~v;
        const bool anyFF = ((inverted - 0x0101010101010101ull) & ~inverted & 0x8080808080808080ull) != 0;
        if (!anyFF) {
            const int bytes = (64 - bits.count) >> 3;
            const int keep = 64 - 8 * bytes;
            bits.buffer |= (v >> keep << keep) >> bits.count;
            bits.count += 8 * bytes;
            d->inputPointer += bytes;
            d->inputCount -= bytes;
            return;
        }
    }
    bits.store(d);
    refillSlowly(d);
    bits = Bits::load(d);
}

// Codes longer than the look-up: by length, within a length a range test (codes of
// one length are consecutive; the table was checked when read). Returns length << 8 |
// symbol, or -1 for a bit pattern that is no code. Takes the bits by value so that the
// caller's stay in registers.
int decodeLongSymbol(const JpegDecoder* d, uint64_t buffer, int table) {
    const uint8_t* lengths = d->huffBits[table];
    const uint16_t* codes = d->huffCodes[table];
    const uint32_t word = uint32_t(buffer >> 48);
    std::size_t first = 0;
    for (int length = 1; length <= 16; ++length) {
        const uint32_t count = lengths[length - 1];
        const uint32_t code = word >> (16 - length);
        if (count > 0 && code >= codes[first] && code - codes[first] < count)
            return length << 8 | d->huffValues[table][first + (code - codes[first])];
        first += count;
    }
    return -1;
}

// The symbol, or -1 for a bit pattern that is no code. Needs 16 bits in the buffer.
inline int decodeSymbol(const JpegDecoder* d, Bits& bits, int table) {
    const uint16_t e = d->huffLookup[table][bits.peek(kJpegLookupBits)];
    const int found = e ? e : decodeLongSymbol(d, bits.buffer, table);
    if (found < 0) return -1;
    bits.skip(found >> 8);
    return found & 0xFF;
}

// Whether decoding has taken bits that the stream does not have.
inline bool overran(const JpegDecoder* d) { return d->bitCount < d->paddingBits; }

// When the data ran out before the damage showed, running out is the error to report.
int failure(const JpegDecoder* d, int code) {
    if (!overran(d)) return code;
    return d->scanMarker ? kJpegFormatError : kJpegInputError;
}

// Decodes one block's coefficients, dequantised and prescaled, into coef (all zero on
// entry). spread collects the natural indices of the AC coefficients stored, or-ed
// together (0: only the DC term; bit 5 or bit 2 set: some lie outside the 4x4 corner of
// rows 0-3, columns 0-3). On failure the bits are already back in the state.
inline int decodeBlock(JpegDecoder* d, Bits& bits, int c, int32_t* coef, int& spread) {
    const auto broken = [&] {
        bits.store(d);
        return failure(d, kJpegFormatError);
    };
    const int32_t* qk = d->streamOrderQuant[d->quantTableOf[c]];
    refill(d, bits);
    const int dcTable = d->dcTableOf[c];
    const int32_t dc = d->dcLookup[dcTable >> 1][bits.peek(kJpegLookupBits)];
    int32_t difference = dc >> 16;
    if (dc) {
        bits.skip(dc & 31);
    } else {
        const int s = decodeSymbol(d, bits, dcTable);
        if (s < 0) return broken();
        difference = s ? extend(bits.take(s), s) : 0;
    }
    d->dcPredictor[c] = int16_t(d->dcPredictor[c] + difference);
    coef[0] = int32_t((int64_t(d->dcPredictor[c]) * qk[0]) >> 8);

    const int acTable = d->acTableOf[c];
    const int32_t* fast = d->acLookup[acTable >> 1];
    spread = 0;
    for (int k = 1; k <= 63; ++k) {
        refill(d, bits);
        const int32_t f = fast[bits.peek(kJpegLookupBits)];
        if (f) {
            bits.skip(f & 31);
            if (f & kEndOfBlock) break;
            k += (f >> 8) & 15;
            if (k > 63) return broken();
            const int z = kZigZag[k];
            coef[z] = int32_t((int64_t(f >> 16) * qk[k]) >> 8);
            spread |= z;
            continue;
        }
        const int rs = decodeSymbol(d, bits, acTable);
        if (rs < 0) return broken();
        if (rs == 0) break;  // end of block
        k += rs >> 4;
        if (k > 63) return broken();
        if (const int size = rs & 15) {
            const int z = kZigZag[k];
            coef[z] = int32_t((int64_t(extend(bits.take(size), size)) * qk[k]) >> 8);
            spread |= z;
        }
    }
    return kJpegOk;
}

// ---- The inverse transform. ----

constexpr int kOutsideCorner = 0x24;  // row >= 4 or column >= 4, in a natural index

// Picks the cheapest transform that is exact for the coefficients present.
inline void transformBlock(const JpegIdct& idct, const int32_t* coef, int spread, uint8_t* samples) {
    if (spread == 0) {
        // Only the DC term: every sample of the full transform equals this one.
        std::memset(samples, jpegSaturate(int32_t(uint32_t(coef[0]) + 32768) >> 8), 64);
    } else if (!(spread & kOutsideCorner)) {
        idct.corner(coef, samples);
    } else {
        idct.full(coef, samples);
    }
}

// Decodes all g + 2 blocks of one MCU into mcuBuffer. coef is all zero on entry and on
// return: each block clears what it stored once it is transformed.
int decodeMcu(JpegDecoder* d, const JpegIdct& idct, int32_t* coef) {
    const int g = d->mcuWidthBlocks * d->mcuHeightBlocks;
    Bits bits = Bits::load(d);
    for (int b = 0; b < g + 2; ++b) {
        const int c = b < g ? 0 : b - g + 1;
        int spread = 0;
        if (int r = decodeBlock(d, bits, c, coef, spread)) {
            std::memset(coef, 0, 64 * sizeof(int32_t));
            return r;
        }
        transformBlock(idct, coef, spread, d->mcuBuffer + 64 * b);
        if (spread == 0) {
            coef[0] = 0;
        } else if (!(spread & kOutsideCorner)) {
            for (int row = 0; row < 4; ++row) std::memset(coef + 8 * row, 0, 4 * sizeof(int32_t));
        } else {
            std::memset(coef, 0, 64 * sizeof(int32_t));
        }
    }
    bits.store(d);
    return overran(d) ? failure(d, kJpegOk) : kJpegOk;
}

// ---- Colour conversion. ----

// Converts the MCU to RGB in workBuffer and hands its visible part to output. The RGB
// of a 2x1 or 2x2 MCU runs on into mcuBuffer, which lies directly behind workBuffer:
// converting row by row, each pixel's samples are read before its bytes are written,
// and the bytes written there only cover luminance samples already consumed.
int outputMcu(JpegDecoder* d, JpegOutputFunction output, unsigned x, unsigned y) {
    const int H = d->mcuWidthBlocks, V = d->mcuHeightBlocks;
    const int g = H * V;
    const int mcuW = 8 * H, mcuH = 8 * V;
    const int w = int(d->width - x) < mcuW ? int(d->width - x) : mcuW;
    const int h = int(d->height - y) < mcuH ? int(d->height - y) : mcuH;

    const uint8_t* mcu = d->mcuBuffer;
    const uint8_t* cbBlock = mcu + 64 * g;
    const uint8_t* crBlock = mcu + 64 * (g + 1);
    uint8_t* rgb = reinterpret_cast<uint8_t*>(d->workBuffer);
    for (int row = 0; row < mcuH; ++row) {
        const int chromaRow = (V == 2 ? row / 2 : row) * 8;
        const uint8_t* yRow = mcu + 64 * ((row / 8) * H) + 8 * (row % 8);
        for (int col = 0; col < mcuW; ++col) {
            const int chroma = chromaRow + (H == 2 ? col / 2 : col);
            jpegPixelToRgb(yRow[64 * (col / 8) + col % 8], cbBlock[chroma], crBlock[chroma],
                           rgb + 3 * (row * mcuW + col));
        }
    }
    if (w < mcuW) {
        for (int row = 1; row < h; ++row) std::memmove(rgb + 3 * row * w, rgb + 3 * row * mcuW, 3 * std::size_t(w));
    }
    if (!output) return kJpegOk;
    const JpegRect rect{uint16_t(x), uint16_t(x + w - 1), uint16_t(y), uint16_t(y + h - 1)};
    return output(d, rgb, rect) ? kJpegOk : kJpegStopped;
}

// One MCU's visible w x h pixels into the RGBA picture at dst, one pixel row at a time,
// chroma repeated over the pixels it covers.
template <int H, int V>
void mcuToRgba(const JpegColour& colour, const uint8_t* mcu, uint8_t* dst, std::size_t rowBytes, int w, int h) {
    const uint8_t* cbBlock = mcu + 64 * H * V;
    const uint8_t* crBlock = cbBlock + 64;
    for (int row = 0; row < h; ++row, dst += rowBytes) {
        const uint8_t* y0 = mcu + 64 * ((row / 8) * H) + 8 * (row % 8);
        const uint8_t* cb = cbBlock + 8 * (V == 2 ? row / 2 : row);
        const uint8_t* cr = crBlock + 8 * (V == 2 ? row / 2 : row);
        if (H == 1) {
            // Rows come in pairs, which lie one after the other in the blocks.
            if (w == 8 && row + 1 < h) {
                colour.pair(y0, cb, cr, dst, dst + rowBytes);
                ++row;
                dst += rowBytes;
            } else {
                colour.fullChroma(y0, cb, cr, dst, w);
            }
        } else if (w == 16) {
            colour.wide(y0, y0 + 64, cb, cr, dst);
        } else {
            colour.halfChroma(y0, cb, cr, dst, w < 8 ? w : 8);
            if (w > 8) colour.halfChroma(y0 + 64, cb + 4, cr + 4, dst + 32, w - 8);
        }
    }
}

using RgbaWriter = void (*)(const JpegColour&, const uint8_t*, uint8_t*, std::size_t, int, int);

RgbaWriter rgbaWriterFor(int H, int V) {
    if (H == 1) return mcuToRgba<1, 1>;
    return V == 1 ? mcuToRgba<2, 1> : mcuToRgba<2, 2>;
}

// Checks the restart marker due before the next MCU and resets the decoder behind it.
// Bits left in the current byte are dropped; whole data bytes before the marker, or any
// other marker, are a broken stream.
int readRestartMarker(JpegDecoder* d, unsigned number) {
    const uint8_t expected = uint8_t(0xD0 + (number & 7));
    if (d->bitCount - d->paddingBits >= 8) return kJpegFormatError;
    if (d->scanMarker) {
        if (d->scanMarker != expected) return kJpegFormatError;
    } else {
        if (d->inputEnded == 2) return kJpegInputError;
        uint8_t m0, m1;
        if (int r = nextByte(d, m0)) return r;
        if (int r = nextByte(d, m1)) return r;
        if (m0 != 0xFF || m1 != expected) return kJpegFormatError;
    }
    d->dcPredictor[0] = d->dcPredictor[1] = d->dcPredictor[2] = 0;
    d->bitBuffer = 0;
    d->bitCount = d->paddingBits = 0;
    d->scanMarker = 0;
    return kJpegOk;
}

// The MCU loop both entry points share; emit(x, y) hands one decoded MCU on.
template <typename Emit>
int decodeScan(JpegDecoder* d, Emit&& emit) {
    if (!d->workBuffer || !d->mcuBuffer) return kJpegNoWorkArea;  // jpegPrepare did not succeed
    const unsigned stepX = 8u * d->mcuWidthBlocks, stepY = 8u * d->mcuHeightBlocks;
    const JpegIdct& idct = jpegBestIdct();
    alignas(32) int32_t coef[64] = {};
    d->dcPredictor[0] = d->dcPredictor[1] = d->dcPredictor[2] = 0;
    unsigned sinceRestart = 0, nextRestart = 0;
    for (unsigned y = 0; y < d->height; y += stepY) {
        for (unsigned x = 0; x < d->width; x += stepX) {
            if (d->restartInterval) {
                if (sinceRestart == d->restartInterval) {
                    if (int r = readRestartMarker(d, nextRestart)) return r;
                    sinceRestart = 1;
                    ++nextRestart;
                } else {
                    ++sinceRestart;
                }
            }
            if (int r = decodeMcu(d, idct, coef)) return r;
            if (int r = emit(x, y)) return r;
        }
    }
    return kJpegOk;
}

}  // namespace

int jpegPrepare(JpegDecoder* d, JpegInputFunction input, void* workArea, void* device) {
    if (!workArea) return kJpegNoWorkArea;
    std::memset(d, 0, sizeof *d);
    d->poolPointer = static_cast<uint8_t*>(workArea);
    d->poolLeft = kJpegWorkAreaSize;
    d->inputFunction = input;
    d->device = device;

    d->inputBuffer = static_cast<uint8_t*>(allocate(d, kInputBufferSize));
    if (!d->inputBuffer) return kJpegOutOfWorkArea;
    uint8_t* buf = d->inputBuffer;

    if (!readExactly(d, buf, 2)) return kJpegInputError;
    if (buf[0] != 0xFF || buf[1] != 0xD8) return kJpegFormatError;
    std::size_t offset = 2;  // stream position, to keep later refills on 512-byte boundaries

    for (;;) {
        if (!readExactly(d, buf, 4)) return kJpegInputError;
        const uint8_t marker = buf[1];
        const std::size_t length = bigEndian16(buf + 2);
        if (buf[0] != 0xFF || length <= 2) return kJpegFormatError;
        const std::size_t payload = length - 2;
        offset += length + 2;

        const bool readsPayload = marker == 0xC0 || marker == 0xC4 || marker == 0xDB || marker == 0xDD || marker == 0xDA;
        if (readsPayload) {
            if (payload > kInputBufferSize) return kJpegSegmentTooLong;
            if (!readExactly(d, buf, payload)) return kJpegInputError;
        }
        int r = kJpegOk;
        switch (marker) {
            case 0xC0: r = readFrameHeader(d, buf, payload); break;
            case 0xC4: r = readHuffmanTables(d, buf, payload); break;
            case 0xDB: r = readQuantTables(d, buf, payload); break;
            case 0xDD:
                if (payload < 2) return kJpegFormatError;
                d->restartInterval = bigEndian16(buf);
                break;
            case 0xDA: {
                if ((r = readScanHeader(d, buf, payload)) != kJpegOk) return r;
                d->inputCount = 0;
                d->bitBuffer = 0;
                d->bitCount = d->paddingBits = 0;
                d->scanMarker = d->inputEnded = 0;
                d->inputPointer = buf;
                if (const std::size_t phase = offset % kInputBufferSize) {
                    const std::size_t n = d->inputFunction(d, buf + phase, kInputBufferSize - phase);
                    if (n > kInputBufferSize - phase) return kJpegInputError;
                    d->inputPointer = buf + phase;
                    d->inputCount = int32_t(n);
                }
                return kJpegOk;
            }
            default:
                if (marker >= 0xC0 && marker <= 0xDD) {
                    const bool skipped = marker == 0xC8 || marker == 0xCC || (marker >= 0xD0 && marker <= 0xD8) ||
                                         marker == 0xDC;
                    if (!skipped) return kJpegUnsupported;
                }
                if (!readExactly(d, nullptr, payload)) return kJpegInputError;
        }
        if (r != kJpegOk) return r;
    }
}

int jpegDecompress(JpegDecoder* d, JpegOutputFunction output) {
    return decodeScan(d, [&](unsigned x, unsigned y) { return outputMcu(d, output, x, y); });
}

int jpegDecompressToRgba(JpegDecoder* d, uint8_t* rgba, std::size_t rowBytes) {
    if (!rgba || rowBytes < std::size_t(d->width) * 4) return kJpegNoWorkArea;
    const RgbaWriter write = rgbaWriterFor(d->mcuWidthBlocks, d->mcuHeightBlocks);
    const JpegColour& colour = jpegBestColour();
    const int mcuW = 8 * d->mcuWidthBlocks, mcuH = 8 * d->mcuHeightBlocks;
    return decodeScan(d, [&](unsigned x, unsigned y) {
        const int w = std::min(mcuW, int(d->width - x)), h = std::min(mcuH, int(d->height - y));
        write(colour, d->mcuBuffer, rgba + y * rowBytes + std::size_t(x) * 4, rowBytes, w, h);
        return int(kJpegOk);
    });
}
