#include "model/JpegDecoder.h"

#include <array>
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

// Indexed by (v & 0x3FF): clamps any v in -512..511 to 0..255 without a branch.
constexpr std::array<uint8_t, 1024> makeSaturation() {
    std::array<uint8_t, 1024> table{};
    for (int i = 0; i < 1024; ++i) table[i] = i < 256 ? uint8_t(i) : i < 512 ? 255 : 0;
    return table;
}
constexpr std::array<uint8_t, 1024> kSaturate = makeSaturation();

inline uint8_t saturate(int64_t v) { return kSaturate[size_t(v & 0x3FF)]; }

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

inline uint16_t bigEndian16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

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
    }
    return kJpegOk;
}

int readQuantTables(JpegDecoder* d, const uint8_t* p, std::size_t len) {
    while (len > 0) {
        if (len <= 64) return kJpegFormatError;
        if (p[0] > 15) return kJpegFormatError;  // 16-bit precision
        auto* table = static_cast<int32_t*>(allocate(d, 64 * sizeof(int32_t)));
        if (!table) return kJpegOutOfWorkArea;
        for (int i = 0; i < 64; ++i) {
            const int z = kZigZag[i];
            table[z] = int32_t(kIdctPrescale[z]) * p[1 + i];
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

// Next raw byte of the stream, refilling the input buffer in 512-byte pieces.
inline int nextByte(JpegDecoder* d, uint8_t& byte) {
    if (d->inputCount <= 0) {
        const std::size_t n = d->inputFunction(d, d->inputBuffer, kInputBufferSize);
        if (n == 0 || n > kInputBufferSize) return kJpegInputError;
        d->inputCount = int32_t(n);
        d->inputPointer = d->inputBuffer;
    }
    byte = *d->inputPointer++;
    --d->inputCount;
    return kJpegOk;
}

inline int readBit(JpegDecoder* d, uint32_t& bit) {
    if (d->bitMask == 0) {
        uint8_t byte;
        if (int r = nextByte(d, byte)) return r;
        if (byte == 0xFF) {
            // Inside the scan a data byte 0xFF is stuffed with 0x00; anything else is a
            // marker where data was expected.
            uint8_t stuffed;
            if (int r = nextByte(d, stuffed)) return r;
            if (stuffed != 0) return kJpegFormatError;
        }
        d->currentByte = byte;
        d->bitMask = 0x80;
    }
    bit = (d->currentByte & d->bitMask) ? 1 : 0;
    d->bitMask >>= 1;
    return kJpegOk;
}

inline int readBits(JpegDecoder* d, int count, uint32_t& value) {
    value = 0;
    for (int i = 0; i < count; ++i) {
        uint32_t bit;
        if (int r = readBit(d, bit)) return r;
        value = value << 1 | bit;
    }
    return kJpegOk;
}

// A count-bit field whose top bit is 0 stands for a negative value.
inline int32_t extend(uint32_t value, int count) {
    return value < (1u << (count - 1)) ? int32_t(value) - int32_t((1u << count) - 1) : int32_t(value);
}

inline int decodeSymbol(JpegDecoder* d, int table, uint8_t& symbol) {
    const uint8_t* bits = d->huffBits[table];
    const uint16_t* codes = d->huffCodes[table];
    const uint8_t* values = d->huffValues[table];
    uint32_t code = 0;
    std::size_t first = 0;  // index of the first code of the current length
    for (int length = 1; length <= 16; ++length) {
        uint32_t bit;
        if (int r = readBit(d, bit)) return r;
        code = code << 1 | bit;
        const uint32_t count = bits[length - 1];
        // Codes of one length are consecutive (the table was checked when read), so
        // the search through them reduces to a range test.
        if (count > 0 && code >= codes[first] && code - codes[first] < count) {
            symbol = values[first + (code - codes[first])];
            return kJpegOk;
        }
        first += count;
    }
    return kJpegFormatError;
}

// The Arai-Agui-Nakajima scaled IDCT in integers. Constants are 4.12 fixed point.
// Products are formed in 64 bits: a corrupt stream can hold coefficients whose 32-bit
// products would overflow; valid streams give the same results either way.
inline int64_t mul12(int64_t v, int32_t constant) { return (v * constant) >> 12; }

template <typename In, typename Out>
inline void butterfly(const In& a, Out&& store) {
    const int64_t a0 = a(0), a1 = a(1), a2 = a(2), a3 = a(3), a4 = a(4), a5 = a(5), a6 = a(6), a7 = a(7);
    const int64_t s04 = a0 + a4, d04 = a0 - a4;
    const int64_t s26 = a2 + a6, s17 = a1 + a7, s35 = a3 + a5;
    const int64_t k = mul12(a1 + a5 - a3 - a7, 7568);
    const int64_t d26 = mul12(a2 - a6, 5792) - s26;
    const int64_t u = k - mul12(a5 - a3, 10703) - s35 - s17;
    const int64_t w = mul12(s17 - s35, 5792) - u;
    const int64_t k2 = k - (mul12(a1 - a7, 4433) + w);
    store(0, s04 + s26 + s17 + s35);
    store(1, d26 + d04 + u);
    store(2, w + d04 - d26);
    store(3, k2 + s04 - s26);
    store(4, s04 - s26 - k2);
    store(5, d04 - d26 - w);
    store(6, d26 + d04 - u);
    store(7, s04 + s26 - s17 - s35);
}

void inverseTransform(int32_t* coef, uint8_t* samples) {
    for (int col = 0; col < 8; ++col) {
        int32_t* c = coef + col;
        int64_t out[8];
        butterfly([&](int i) { return c[8 * i]; }, [&](int i, int64_t v) { out[i] = v; });
        for (int i = 0; i < 8; ++i) c[8 * i] = int32_t(out[i]);
    }
    // 32768 is the level shift of 128 with 8 fractional bits. Added to input 0 it
    // reaches every output with weight +1, so it is added to the outputs instead.
    for (int row = 0; row < 8; ++row) {
        const int32_t* r = coef + 8 * row;
        uint8_t* s = samples + 8 * row;
        butterfly([&](int i) { return r[i]; }, [&](int i, int64_t v) { s[i] = saturate((v + 32768) >> 8); });
    }
}

int decodeMcu(JpegDecoder* d) {
    const int g = d->mcuWidthBlocks * d->mcuHeightBlocks;
    int32_t* coef = d->workBuffer;
    for (int b = 0; b < g + 2; ++b) {
        const int c = b < g ? 0 : b - g + 1;
        const int32_t* q = d->quantTables[d->quantTableOf[c]];

        uint8_t s;
        if (int r = decodeSymbol(d, d->dcTableOf[c], s)) return r;
        if (s > 0) {
            uint32_t v;
            if (int r = readBits(d, s, v)) return r;
            d->dcPredictor[c] = int16_t(d->dcPredictor[c] + extend(v, s));
        }
        coef[0] = int32_t((int64_t(d->dcPredictor[c]) * q[0]) >> 8);
        std::memset(coef + 1, 0, 63 * sizeof(int32_t));

        for (int k = 1; k <= 63;) {
            uint8_t rs;
            if (int r = decodeSymbol(d, d->acTableOf[c], rs)) return r;
            if (rs == 0) break;  // end of block
            k += rs >> 4;
            if (k > 63) return kJpegFormatError;
            if (rs & 15) {
                uint32_t v;
                if (int r = readBits(d, rs & 15, v)) return r;
                const int z = kZigZag[k];
                coef[z] = int32_t((int64_t(extend(v, rs & 15)) * q[z]) >> 8);
            }
            ++k;
        }
        inverseTransform(coef, d->mcuBuffer + 64 * b);
    }
    return kJpegOk;
}

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
            const int Y = yRow[64 * (col / 8) + col % 8];
            const int cb = cbBlock[chroma] - 128;
            const int cr = crBlock[chroma] - 128;
            uint8_t* px = rgb + 3 * (row * mcuW + col);
            px[0] = saturate(Y + cr * 1435 / 1024);
            px[1] = saturate(Y - (cb * 352 + cr * 731) / 1024);
            px[2] = saturate(Y + cb * 1814 / 1024);
        }
    }
    if (w < mcuW) {
        for (int row = 1; row < h; ++row) std::memmove(rgb + 3 * row * w, rgb + 3 * row * mcuW, 3 * std::size_t(w));
    }
    if (!output) return kJpegOk;
    const JpegRect rect{uint16_t(x), uint16_t(x + w - 1), uint16_t(y), uint16_t(y + h - 1)};
    return output(d, rgb, rect) ? kJpegOk : kJpegStopped;
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
                d->bitMask = 0;
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
    if (!d->workBuffer || !d->mcuBuffer) return kJpegNoWorkArea;  // jpegPrepare did not succeed
    const unsigned stepX = 8u * d->mcuWidthBlocks, stepY = 8u * d->mcuHeightBlocks;
    d->dcPredictor[0] = d->dcPredictor[1] = d->dcPredictor[2] = 0;
    unsigned sinceRestart = 0, nextRestart = 0;
    for (unsigned y = 0; y < d->height; y += stepY) {
        for (unsigned x = 0; x < d->width; x += stepX) {
            if (d->restartInterval) {
                if (sinceRestart == d->restartInterval) {
                    uint8_t m0, m1;
                    if (int r = nextByte(d, m0)) return r;
                    if (int r = nextByte(d, m1)) return r;
                    if (m0 != 0xFF || m1 != 0xD0 + (nextRestart & 7)) return kJpegFormatError;
                    d->dcPredictor[0] = d->dcPredictor[1] = d->dcPredictor[2] = 0;
                    d->bitMask = 0;
                    sinceRestart = 1;
                    ++nextRestart;
                } else {
                    ++sinceRestart;
                }
            }
            if (int r = decodeMcu(d)) return r;
            if (int r = outputMcu(d, output, x, y)) return r;
        }
    }
    return kJpegOk;
}
