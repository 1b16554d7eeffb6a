// A bounds-checked reader over bytes in memory, under every binary reader of the
// program. Reads are little-endian; the ...BE reads are big-endian, for the formats that
// store their fields most significant byte first (PNG, the calibration file). Every read
// checks the bytes left first; a read that does not fit reads nothing, zeroes its output
// and marks the cursor as run out at that offset. Once run out, every later read fails
// too, so a parser can read a whole record and test once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

class ByteCursor {
public:
    ByteCursor(const uint8_t* data, std::size_t size, std::size_t offset = 0)
        : data_(data), size_(size), offset_(offset <= size ? offset : size) {}

    std::size_t offset() const { return offset_; }
    std::size_t size() const { return size_; }
    std::size_t remaining() const { return size_ - offset_; }
    const uint8_t* data() const { return data_; }
    const uint8_t* here() const { return data_ + offset_; }

    // True after a read ran past the end; failOffset() is where that read started and
    // failWanted() how many bytes it asked for.
    bool failed() const { return failed_; }
    std::size_t failOffset() const { return failOffset_; }
    std::size_t failWanted() const { return failWanted_; }

    // True when n more bytes are there (never marks the cursor).
    bool has(std::size_t n) const { return !failed_ && n <= remaining(); }

    // True when count records of recordSize bytes fit in the bytes left, computed without
    // overflow; marks the cursor when they do not. Use before allocating for a count.
    bool fits(uint64_t count, std::size_t recordSize) {
        if (failed_) return false;
        if (recordSize != 0 && count > remaining() / recordSize) {
            markRunOut(count > SIZE_MAX / (recordSize ? recordSize : 1) ? SIZE_MAX
                                                                         : static_cast<std::size_t>(count) * recordSize);
            return false;
        }
        return true;
    }

    // Pointer to the next n bytes and advance past them; null (and marked) when short.
    const uint8_t* take(std::size_t n) {
        if (!has(n)) {
            markRunOut(n);
            return nullptr;
        }
        const uint8_t* p = data_ + offset_;
        offset_ += n;
        return p;
    }

    bool skip(std::size_t n) { return take(n) != nullptr; }

    // Moves to an absolute offset, for formats whose headers say where a part starts. An
    // offset past the end marks the cursor there (as a read of the missing bytes would).
    bool seek(std::size_t offset) {
        if (failed_) return false;
        if (offset > size_) {
            offset_ = size_;
            markRunOut(offset - size_);
            return false;
        }
        offset_ = offset;
        return true;
    }

    bool readBytes(void* out, std::size_t n) {
        const uint8_t* p = take(n);
        if (!p) {
            std::memset(out, 0, n);
            return false;
        }
        std::memcpy(out, p, n);
        return true;
    }

    bool readU8(uint8_t& v) { return readLE(v); }
    bool readI8(int8_t& v) { return readLE(v); }
    bool readU16(uint16_t& v) { return readLE(v); }
    bool readI16(int16_t& v) { return readLE(v); }
    bool readU32(uint32_t& v) { return readLE(v); }
    bool readI32(int32_t& v) { return readLE(v); }
    bool readF32(float& v) {
        uint32_t bits;
        bool ok = readLE(bits);
        std::memcpy(&v, &bits, sizeof v);
        return ok;
    }
    bool readU16BE(uint16_t& v) { return readBE(v); }
    bool readU32BE(uint32_t& v) { return readBE(v); }
    bool readI32BE(int32_t& v) { return readBE(v); }
    bool readF64BE(double& v) {
        uint64_t bits;
        bool ok = readBE(bits);
        std::memcpy(&v, &bits, sizeof v);
        return ok;
    }
    bool readF32s(float* v, int n) {
        bool ok = true;
        for (int i = 0; i < n; ++i) ok = readF32(v[i]) && ok;
        return ok;
    }

    // An index field of width 1, 2 or 4. Signed (all ones = -1) unless unsignedSmall,
    // which reads widths 1 and 2 without sign (vertex indices). Any other width fails.
    bool readIndex(int width, bool unsignedSmall, int32_t& v) {
        v = 0;
        switch (width) {
            case 1: {
                uint8_t b;
                if (!readU8(b)) return false;
                v = unsignedSmall ? b : static_cast<int8_t>(b);
                return true;
            }
            case 2: {
                uint16_t s;
                if (!readU16(s)) return false;
                v = unsignedSmall ? s : static_cast<int16_t>(s);
                return true;
            }
            case 4:
                return readI32(v);
            default:
                markRunOut(0);
                return false;
        }
    }

    // Marks the cursor as failed at the current offset, for a caller that found a value
    // it cannot go on from.
    void markRunOut(std::size_t wanted) {
        if (failed_) return;
        failed_ = true;
        failOffset_ = offset_;
        failWanted_ = wanted;
    }

private:
    // Reads a T stored least (or, kBigEndian, most) significant byte first.
    template <bool kBigEndian, typename T>
    bool readInOrder(T& v) {
        const uint8_t* p = take(sizeof(T));
        if (!p) {
            v = 0;
            return false;
        }
        using U = std::make_unsigned_t<T>;
        U u = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            const std::size_t shift = 8 * (kBigEndian ? sizeof(T) - 1 - i : i);
            u = static_cast<U>(u | static_cast<U>(static_cast<U>(p[i]) << shift));
        }
        v = static_cast<T>(u);
        return true;
    }
    template <typename T>
    bool readLE(T& v) {
        return readInOrder<false>(v);
    }
    template <typename T>
    bool readBE(T& v) {
        return readInOrder<true>(v);
    }

    const uint8_t* data_;
    std::size_t size_;
    std::size_t offset_;
    bool failed_ = false;
    std::size_t failOffset_ = 0;
    std::size_t failWanted_ = 0;
};
