// Small pieces every command-line tool parses its arguments with.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

inline bool fileExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// A whole argument as a finite number; false on trailing text, overflow or nothing.
inline bool parseNumber(const char* text, double* value) {
    char* end = nullptr;
    errno = 0;
    *value = std::strtod(text, &end);
    return end != text && *end == '\0' && errno == 0 && std::isfinite(*value);
}
