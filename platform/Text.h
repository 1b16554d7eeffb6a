// CP932 (Japanese Windows code page) text conversion through iconv. Names inside the
// program stay CP932 bytes; everything shown to the user is UTF-8.
#pragma once

#include <cstddef>
#include <string>

// UTF-16LE bytes (byteCount bytes) to CP932. Characters CP932 cannot hold become '?'.
std::string utf16leToCp932(const void* bytes, std::size_t byteCount);
// UTF-8 to CP932; characters CP932 cannot hold become '?'.
std::string utf8ToCp932(const std::string& utf8);
// CP932 to UTF-8; invalid bytes become U+FFFD.
std::string cp932ToUtf8(const std::string& cp932);
std::string cp932ToUtf8(const char* cp932);
// CP932 to UTF-16LE bytes.
std::string cp932ToUtf16le(const std::string& cp932);
// True when text is valid UTF-8 containing at least one multi-byte sequence.
bool isMultibyteUtf8(const char* text, std::size_t length);
