// One video file written through FFmpeg's libraries, synchronously: pictures in, one
// encoded frame each; sound in, as it comes. Recorder runs it on its own thread.
//
// Files are kept playable at every moment, since a recording can be cut off by a crash,
// a kill or a power loss: MP4 is fragmented (fragments of at most a second, each
// starting with a key frame), Matroska closes a cluster at least every second, and
// every packet is flushed to the file as soon as the muxer lets it go. An AVI has its
// index only at the end, but its chunks are on disk and FFmpeg reads them without it.
#pragma once

#include <cstdint>
#include <string>

#include "app/record/RecordFormat.h"

struct AVFormatContext;
struct AVCodecContext;
struct AVStream;
struct AVFrame;
struct AVPacket;
struct SwsContext;
struct SwrContext;

struct MediaSettings {
    std::string path;
    RecordFormat format = RecordFormat::Avi;
    int width = 0, height = 0;       // of the pictures handed in; odd sizes lose a row/column
    int rateNum = 30, rateDen = 1;   // frames per second as a fraction
    int sampleRate = 0;              // of the sound handed in; 0: no sound track
    int channels = 0;                // 1 or 2
    // Encoder speed: live recordings favour speed, offline renders may take longer.
    bool live = true;
};

class MediaWriter {
public:
    MediaWriter() = default;
    ~MediaWriter();  // completes the file when still open
    MediaWriter(const MediaWriter&) = delete;
    MediaWriter& operator=(const MediaWriter&) = delete;

    // Creates the file and its streams. False with `error` naming the file and what
    // went wrong; nothing is left open then.
    bool open(const MediaSettings& settings, std::string& error);
    bool isOpen() const { return format_ != nullptr; }

    // Encodes one picture: RGBA, `stride` bytes a row, rows from the bottom up (as
    // OpenGL reads them), at frame number `index` (frames may be skipped, never
    // repeated or reordered).
    bool writePicture(const unsigned char* rgba, int stride, int64_t index, std::string& error);
    // Appends `count` sample frames of interleaved 16-bit sound.
    bool writeSound(const int16_t* samples, int count, std::string& error);
    // Flushes the encoders, writes the trailer (the AVI index, the MP4 fragment index)
    // and closes the file. Safe to call twice.
    bool close(std::string& error);

    // What the encoders actually use (after rounding odd sizes down).
    int encodedWidth() const;
    int encodedHeight() const;
    int encodedSampleRate() const;

private:
    bool openVideo(const MediaSettings& settings, std::string& error);
    bool openSound(const MediaSettings& settings, std::string& error);
    bool encode(AVCodecContext* codec, AVStream* stream, AVFrame* frame, std::string& error);
    bool encodeSoundFrame(std::string& error);
    void release();

    std::string path_;
    AVFormatContext* format_ = nullptr;
    AVCodecContext* video_ = nullptr;
    AVCodecContext* sound_ = nullptr;
    AVStream* videoStream_ = nullptr;
    AVStream* soundStream_ = nullptr;
    AVFrame* picture_ = nullptr;   // the encoder's picture, reused for every frame
    AVFrame* soundFrame_ = nullptr;
    AVPacket* packet_ = nullptr;
    SwsContext* scaler_ = nullptr;
    SwrContext* resampler_ = nullptr;  // sample format, and the rate when the codec needs another
    int inputChannels_ = 0;
    int soundFill_ = 0;                // samples already in soundFrame_
    int soundFrameSize_ = 0;           // samples per encoded sound frame
    int64_t soundPts_ = 0;             // in the encoder's samples
    bool headerWritten_ = false;
};
