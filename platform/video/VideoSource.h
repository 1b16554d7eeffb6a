// Frame sources behind the arVideo* calls, and the hand-over of frames between a capture
// thread and the caller.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/video/Video.h"
#include "platform/video/VideoConfig.h"
#include "platform/video/VirtualScene.h"

// Three frame buffers: the producer fills "back", publishes it as "ready", and the
// consumer takes "ready" as its "front", which stays untouched until the next take. No
// buffer is allocated after reset(), and neither side waits for the other beyond a swap.
class FrameExchange {
public:
    void reset(size_t frameBytes);
    uint8_t* back() { return buffers_[back_].data(); }  // producer only
    void publish(double stamp);                          // producer: back becomes ready
    uint8_t* take();                                     // consumer: newest frame, or null
    double frontStamp() const { return stamps_[front_]; }  // consumer: time of the taken frame

private:
    std::mutex mutex_;
    std::vector<uint8_t> buffers_[3];
    double stamps_[3] = {0.0, 0.0, 0.0};
    int front_ = 0, ready_ = 1, back_ = 2;
    bool fresh_ = false;
};

// One open source. Live sources run a capture thread between start() and stop() that
// produces frames at the source's pace; in offline mode frames are produced on request,
// one per getImage(), with one frame read ahead so the end is known as soon as the last
// frame has been handed out.
class VideoSource {
public:
    virtual ~VideoSource();
    VideoSource(const VideoSource&) = delete;
    VideoSource& operator=(const VideoSource&) = delete;

    int width() const { return width_; }
    int height() const { return height_; }
    double frameRate() const { return fps_; }
    long frameCount() const { return frameCount_; }
    const std::string& name() const { return name_; }
    bool offline() const { return offline_; }

    bool start();
    void stop();
    uint8_t* getImage();
    bool endOfStream() const { return endOfStream_; }
    // The source's own time of the frame getImage last returned, in seconds from the
    // first frame: frame number / frame rate for files and rendered frames (so an
    // offline run sees the same times as live playback), the capture time for a camera.
    double frameTime() const { return exchange_.frontStamp(); }
    // What is wrong with the source right now, for the screen ("" when nothing is),
    // copied into out (whose storage is reused, so a per-frame call does not allocate).
    void copyStatus(std::string& out) const;
    // Where this source's reports go (arVideoSetReportSink); set before start().
    void setReportSink(VideoReportSink sink) { reportSink_ = std::move(sink); }

protected:
    // Hands one line to the report sink, if there is one; any thread.
    void report(const std::string& line) const {
        if (reportSink_) reportSink_(line);
    }
    // Sets or clears (with "") the status line; any thread.
    void setStatus(const std::string& text);
    VideoSource() = default;

    // Writes frame number index (counted from start) as B,G,R,A into dst. Live sources
    // are called on the capture thread. False: no frame (end of a file in offline mode,
    // a camera hiccup).
    virtual bool produce(long index, uint8_t* dst) = 0;
    // Called on start(), before the first produce: rewind to the first frame.
    virtual void rewind() {}
    // Whether the thread waits for the frame's time (camera reads wait by themselves).
    virtual bool pacedByClock() const { return true; }
    // Whether a late frame is skipped to stay on time (frames that depend on the time).
    virtual bool skipsLateFrames() const { return false; }

    // Sets up the buffers; sources call it once their size is known.
    void setFormat(int width, int height, double fps, long frameCount, const std::string& name, bool offline);

    // Stops the thread; derived destructors call it before their members go away.
    void stopThread();

private:
    void run();
    double offlineTime(long index) const;

    int width_ = 0, height_ = 0;
    double fps_ = 30.0;
    long frameCount_ = -1;
    std::string name_;
    bool offline_ = false;

    FrameExchange exchange_;
    std::thread thread_;
    std::mutex wakeMutex_;
    std::condition_variable wake_;
    std::atomic<bool> stopRequested_{false};
    bool running_ = false;
    bool endOfStream_ = false;
    long nextOfflineIndex_ = 0;
    mutable std::mutex statusMutex_;
    std::string status_;
    VideoReportSink reportSink_;
};

// Each opener returns null after putting a message that names the source in *error.
std::unique_ptr<VideoSource> openCameraSource(const VideoConfig& config, std::string* error);
std::unique_ptr<VideoSource> openFileSource(const VideoConfig& config, bool offline, std::string* error);
std::unique_ptr<VideoSource> openVirtualSource(const VideoConfig& config, bool offline,
                                               const VirtualSceneMaker& makeScene, std::string* error);

// While alive, keeps OpenCV from logging its own warnings about files and devices it
// cannot open: the caller reports the problem in the program's words instead.
class QuietOpenCV {
public:
    QuietOpenCV();
    ~QuietOpenCV();
    QuietOpenCV(const QuietOpenCV&) = delete;
    QuietOpenCV& operator=(const QuietOpenCV&) = delete;

private:
    int previous_;
};

// Copies an OpenCV-style frame (1, 3 or 4 channels, 8 or 16 bit) into a B,G,R,A buffer of
// the given size, scaling when sizes differ and turning it upside down when asked.
// scratch is reused between frames so steady-state conversion does not allocate.
struct FrameConverter {
    std::vector<uint8_t> scratch;
    bool convert(const void* cvMat, int width, int height, bool flipV, uint8_t* bgra);
};
