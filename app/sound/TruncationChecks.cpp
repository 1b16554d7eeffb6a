#include "app/sound/TruncationChecks.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/ByteCursor.h"

WavLength wavLength(const std::string& path) {
    WavLength out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    unsigned char riff[12];
    uint32_t bytesPerSecond = 0;
    long offset = 12;
    if (std::fread(riff, 1, 12, f) == 12 && std::memcmp(riff, "RIFF", 4) == 0 && std::memcmp(riff + 8, "WAVE", 4) == 0) {
        // Chunks up to the sound: the format chunk gives the byte rate.
        for (int chunk = 0; chunk < 64; ++chunk) {
            unsigned char header[8];
            if (std::fseek(f, offset, SEEK_SET) != 0 || std::fread(header, 1, 8, f) != 8) break;
            uint32_t size = 0;
            ByteCursor(header, sizeof header, 4).readU32(size);
            if (std::memcmp(header, "fmt ", 4) == 0) {
                unsigned char fmt[16];
                if (size < 16 || std::fread(fmt, 1, 16, f) != 16) break;
                ByteCursor(fmt, sizeof fmt, 8).readU32(bytesPerSecond);
            } else if (std::memcmp(header, "data", 4) == 0) {
                // 0 and all ones mean "unknown" (a stream written without seeking back).
                if (bytesPerSecond == 0 || size == 0 || size == 0xffffffffu) break;
                if (std::fseek(f, 0, SEEK_END) != 0) break;
                const long end = std::ftell(f);
                const double there = end > offset + 8 ? double(end - offset - 8) : 0.0;
                out.declared = double(size) / bytesPerSecond;
                out.present = std::min(double(size), there) / bytesPerSecond;
                break;
            }
            offset += 8 + long(size) + long(size & 1);
        }
    }
    std::fclose(f);
    return out;
}

// The mark is bit 0x04 of the page's header type.
bool oggEndsProperly(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return true;
    unsigned char magic[4] = {};
    const bool isOgg = std::fread(magic, 1, 4, f) == 4 && std::memcmp(magic, "OggS", 4) == 0;
    // Pages are at most 27 + 255 + 255 * 255 bytes; the last one starts in this tail.
    constexpr long kTail = 27 + 255 + 255 * 255;
    std::vector<unsigned char> tail;
    if (isOgg && std::fseek(f, 0, SEEK_END) == 0) {
        const long size = std::ftell(f);
        const long from = size > kTail ? size - kTail : 0;
        tail.resize(static_cast<size_t>(size - from));
        if (std::fseek(f, from, SEEK_SET) != 0 || std::fread(tail.data(), 1, tail.size(), f) != tail.size())
            tail.clear();
    }
    std::fclose(f);
    if (!isOgg || tail.size() < 27) return true;
    for (size_t at = tail.size() - 27 + 1; at-- > 0;) {
        if (std::memcmp(tail.data() + at, "OggS", 4) != 0 || tail[at + 4] != 0) continue;
        const size_t segments = tail[at + 26];
        if (at + 27 + segments > tail.size()) return false;  // cut inside the header
        size_t body = 0;
        for (size_t i = 0; i < segments; ++i) body += tail[at + 27 + i];
        const bool whole = at + 27 + segments + body == tail.size();
        return whole && (tail[at + 5] & 0x04) != 0;
    }
    return true;  // no page found in the tail: nothing to judge by
}

