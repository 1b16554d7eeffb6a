// Reads a recorded file back with FFmpeg's libraries, as a player would: every video
// frame's time and how much it differs from the one before, and the sound as mono
// floats. Tests of recordings compare pictures and sound against what went in.
#pragma once

#include <string>
#include <vector>

struct DecodedMedia {
    bool opened = false;
    std::string error;       // why it could not be opened, or the first decode error
    int errors = 0;          // FFmpeg messages at error level while reading
    std::string videoCodec, soundCodec;
    double fps = 0.0;
    std::vector<double> frameTimes;   // seconds, in decode order
    std::vector<double> frameChange;  // mean |Y - previous Y|, 0 for the first
    std::vector<double> frameMean;    // mean Y
    int sampleRate = 0, channels = 0;
    double soundStart = 0.0;          // seconds of the first decoded sample
    std::vector<float> sound;         // mono (channels averaged), -1..1

    double videoEnd() const { return frameTimes.empty() ? 0.0 : frameTimes.back() + (fps > 0 ? 1.0 / fps : 0.0); }
    double soundEnd() const { return sampleRate ? soundStart + static_cast<double>(sound.size()) / sampleRate : 0.0; }
};

DecodedMedia decodeMedia(const std::string& path);

// Time of the first sample whose magnitude reaches `level`; -1 when none does.
double firstLoudSample(const DecodedMedia& media, float level);

// Writes a 16-bit PCM WAV file. False when it cannot be written.
bool writeWav(const std::string& path, int sampleRate, int channels, const std::vector<short>& interleaved);
