// Audio files for the sound tests, made by the ffmpeg command-line tool's own encoders
// (or, for exact sample values, written here as plain WAV).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Whether the installed ffmpeg has the named encoder (asks it once per call).
bool ffmpegHasEncoder(const std::string& encoder);

// Runs ffmpeg with the arguments (quiet, overwriting); true when it succeeded and the
// output file exists.
bool runFfmpeg(const std::vector<std::string>& args, const std::string& output, std::string* log = nullptr);

// A tone of frequencyHz for seconds at rate with the given channel count, encoded by
// encoder into path (its extension picks the container).
bool makeTone(const std::string& path, const std::string& encoder, double frequencyHz, double seconds, int rate,
              int channels, const std::vector<std::string>& extraArgs = {});

// A 16-bit PCM WAV with exactly these interleaved samples.
bool writeWav(const std::string& path, int rate, int channels, const std::vector<int16_t>& samples);

// The first bytes of a file copied to another (a download cut short).
bool copyPrefix(const std::string& from, const std::string& to, double share);

long fileSize(const std::string& path);
