// Helpers shared by the fuzz targets: a scratch file for readers that only take a path,
// and a texture uploader that needs no GL context.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace fuzzsupport {

// One scratch file per process, removed at exit. Readers that take a file name get the
// fuzz input through it.
inline const std::string& scratchPath() {
    static const std::string path = [] {
        char name[] = "/tmp/pavonix-fuzz-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) std::abort();
        close(fd);
        std::atexit([] { unlink(scratchPath().c_str()); });
        return std::string(name);
    }();
    return path;
}

inline const char* writeScratch(const uint8_t* data, std::size_t size) {
    const std::string& path = scratchPath();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) std::abort();
    if (size != 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);
    return path.c_str();
}

// Refusals go to standard error (the run script keeps them in a log, beside any
// sanitizer report); message boxes must never wait for a click.
inline void noDialogs() {
    setenv("PAVONIX_NO_DIALOGS", "1", 1);
    unsetenv("DISPLAY");
}

}  // namespace fuzzsupport
