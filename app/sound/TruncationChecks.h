// What FFmpeg does not say about a file it plays: whether a WAV or an Ogg file was cut
// off. FFmpeg plays whatever is there and takes the length from it, so a download cut
// short would pass for a shorter song. Both read only a few header bytes and check
// every read.
#pragma once

#include <string>

// The sound a WAV file declares in its data chunk and the part of it really there, in
// seconds; both 0 for a file that is not WAV or declares no length.
struct WavLength {
    double declared = 0.0;
    double present = 0.0;
};
WavLength wavLength(const std::string& path);

// An Ogg stream declares no length, but its last page carries the end-of-stream mark.
// False for an Ogg file whose last page lacks it or stops inside it; true otherwise
// (a file that is not Ogg included).
bool oggEndsProperly(const std::string& path);
