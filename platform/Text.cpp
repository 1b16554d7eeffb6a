// CP932 conversions through iconv.
//
// Conversions towards CP932 first decode the input into code points here (UTF-8 and
// UTF-16 decoding is simple and lets us decide exactly what counts as invalid), then
// hand iconv fixed-width UTF-32, so that a character CP932 cannot hold is skipped by
// exactly one unit and replaced with '?'. Conversions from CP932 let iconv decode and
// replace an undecodable byte with U+FFFD, resuming at the next byte.

#include "platform/Text.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr char32_t kReplacementChar = 0xFFFD;

// One iconv descriptor per direction and thread, opened on first use.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (ok()) iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts input; on an unconvertible or invalid unit calls onBad(out), which
    // appends a replacement, and skips `skip` bytes of input.
    template <typename OnBad>
    void run(const char* input, std::size_t length, std::size_t skip, std::string& out, OnBad onBad) {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
        char* in = const_cast<char*>(input);
        std::size_t inLeft = length;
        char buffer[256];
        while (inLeft > 0) {
            char* o = buffer;
            std::size_t oLeft = sizeof buffer;
            const std::size_t r = iconv(cd_, &in, &inLeft, &o, &oLeft);
            out.append(buffer, o - buffer);
            if (r != static_cast<std::size_t>(-1)) continue;
            if (errno == E2BIG) continue;  // buffer full: flushed above, go on
            // EILSEQ: invalid or unconvertible here; EINVAL: truncated at the end.
            onBad(out);
            if (errno == EINVAL) break;
            const std::size_t n = skip < inLeft ? skip : inLeft;
            in += n;
            inLeft -= n;
        }
        char* o = buffer;
        std::size_t oLeft = sizeof buffer;
        iconv(cd_, nullptr, nullptr, &o, &oLeft);  // flush any shift state
        out.append(buffer, o - buffer);
    }

private:
    iconv_t cd_;
};

Converter& toCp932() {
    thread_local Converter converter("CP932", "UTF-32LE");
    return converter;
}

Converter& fromCp932(bool utf16) {
    thread_local Converter toUtf8("UTF-8", "CP932");
    thread_local Converter toUtf16("UTF-16LE", "CP932");
    return utf16 ? toUtf16 : toUtf8;
}

void appendUtf32le(std::vector<char>& out, char32_t c) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>((c >> 8) & 0xFF));
    out.push_back(static_cast<char>((c >> 16) & 0xFF));
    out.push_back(static_cast<char>((c >> 24) & 0xFF));
}

// Decodes one UTF-8 sequence starting at text[i]; returns its length, or 0 when the
// bytes there are not a well-formed sequence (overlong forms, surrogates and values
// beyond U+10FFFF included).
std::size_t decodeUtf8(const unsigned char* text, std::size_t length, std::size_t i, char32_t& c) {
    const unsigned char b0 = text[i];
    std::size_t n;
    char32_t min;
    if (b0 < 0x80) {
        c = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        n = 2;
        c = b0 & 0x1F;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        n = 3;
        c = b0 & 0x0F;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        n = 4;
        c = b0 & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (length - i < n) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        const unsigned char b = text[i + k];
        if ((b & 0xC0) != 0x80) return 0;
        c = (c << 6) | (b & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    return n;
}

std::string utf32ToCp932(const std::vector<char>& utf32) {
    std::string out;
    Converter& conv = toCp932();
    if (!conv.ok()) return out;
    conv.run(utf32.data(), utf32.size(), 4, out, [](std::string& o) { o += '?'; });
    return out;
}

}  // namespace

std::string utf16leToCp932(const void* bytes, std::size_t byteCount) {
    const unsigned char* b = static_cast<const unsigned char*>(bytes);
    std::vector<char> utf32;
    utf32.reserve(byteCount * 2);
    const std::size_t units = byteCount / 2;  // an odd last byte is not a character
    for (std::size_t i = 0; i < units; ++i) {
        const char32_t u = b[2 * i] | (b[2 * i + 1] << 8);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const char32_t low = b[2 * i + 2] | (b[2 * i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                appendUtf32le(utf32, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        // A lone surrogate has no character to convert.
        appendUtf32le(utf32, (u >= 0xD800 && u <= 0xDFFF) ? kReplacementChar : u);
    }
    return utf32ToCp932(utf32);
}

std::string utf8ToCp932(const std::string& utf8) {
    const unsigned char* text = reinterpret_cast<const unsigned char*>(utf8.data());
    std::vector<char> utf32;
    utf32.reserve(utf8.size() * 4);
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t c;
        const std::size_t n = decodeUtf8(text, utf8.size(), i, c);
        if (n == 0) {
            appendUtf32le(utf32, kReplacementChar);  // becomes '?'
            ++i;
        } else {
            appendUtf32le(utf32, c);
            i += n;
        }
    }
    return utf32ToCp932(utf32);
}

std::string cp932ToUtf8(const std::string& cp932) {
    std::string out;
    Converter& conv = fromCp932(false);
    if (!conv.ok()) return out;
    conv.run(cp932.data(), cp932.size(), 1, out, [](std::string& o) { o += "\xEF\xBF\xBD"; });
    return out;
}

std::string cp932ToUtf8(const char* cp932) { return cp932 ? cp932ToUtf8(std::string(cp932)) : std::string(); }

std::string cp932ToUtf16le(const std::string& cp932) {
    std::string out;
    Converter& conv = fromCp932(true);
    if (!conv.ok()) return out;
    conv.run(cp932.data(), cp932.size(), 1, out, [](std::string& o) { o += "\xFD\xFF"; });
    return out;
}

bool isMultibyteUtf8(const char* text, std::size_t length) {
    if (text == nullptr) return false;
    const unsigned char* t = reinterpret_cast<const unsigned char*>(text);
    bool multibyte = false;
    for (std::size_t i = 0; i < length;) {
        char32_t c;
        const std::size_t n = decodeUtf8(t, length, i, c);
        if (n == 0) return false;
        multibyte = multibyte || n > 1;
        i += n;
    }
    return multibyte;
}
