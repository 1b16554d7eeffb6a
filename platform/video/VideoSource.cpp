#include "platform/video/VideoSource.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgproc.hpp>

// ---------------------------------------------------------------------------------------
void FrameExchange::reset(size_t frameBytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& b : buffers_) b.assign(frameBytes, 0);
    front_ = 0;
    ready_ = 1;
    back_ = 2;
    fresh_ = false;
    for (double& t : stamps_) t = 0.0;
}

void FrameExchange::publish(double stamp) {
    std::lock_guard<std::mutex> lock(mutex_);
    stamps_[back_] = stamp;
    std::swap(back_, ready_);
    fresh_ = true;
}

uint8_t* FrameExchange::take() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fresh_) return nullptr;
    std::swap(front_, ready_);
    fresh_ = false;
    return buffers_[front_].data();
}

// ---------------------------------------------------------------------------------------
VideoSource::~VideoSource() { stopThread(); }

void VideoSource::setFormat(int width, int height, double fps, long frameCount, const std::string& name,
                            bool offline) {
    width_ = width;
    height_ = height;
    fps_ = fps;
    frameCount_ = frameCount;
    name_ = name;
    offline_ = offline;
    exchange_.reset(size_t(width) * height * 4);
}

bool VideoSource::start() {
    if (running_) return true;
    exchange_.reset(size_t(width_) * height_ * 4);
    endOfStream_ = false;
    nextOfflineIndex_ = 0;
    rewind();
    running_ = true;
    if (offline_) {
        // Read the first frame ahead: an empty source is at its end before it starts.
        if (produce(nextOfflineIndex_, exchange_.back())) exchange_.publish(offlineTime(nextOfflineIndex_));
        else endOfStream_ = true;
        ++nextOfflineIndex_;
        return true;
    }
    stopRequested_ = false;
    try {
        thread_ = std::thread(&VideoSource::run, this);
    } catch (const std::system_error& e) {
        report(name_ + ": cannot start the capture thread (" + e.what() + ")");
        running_ = false;
        return false;
    }
    return true;
}

void VideoSource::stopThread() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(wakeMutex_);
            stopRequested_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
}

void VideoSource::copyStatus(std::string& out) const {
    std::lock_guard<std::mutex> lock(statusMutex_);
    out.assign(status_);
}

void VideoSource::setStatus(const std::string& text) {
    std::lock_guard<std::mutex> lock(statusMutex_);
    status_ = text;
}

void VideoSource::stop() {
    stopThread();
    running_ = false;
}

double VideoSource::offlineTime(long index) const { return index / (fps_ > 0 ? fps_ : 30.0); }

uint8_t* VideoSource::getImage() {
    if (!running_) return nullptr;
    if (!offline_) return exchange_.take();
    if (endOfStream_) return nullptr;
    uint8_t* frame = exchange_.take();
    if (!frame) {
        endOfStream_ = true;
        return nullptr;
    }
    // The handed-out frame lives in the front buffer; the next one is read into back.
    if (produce(nextOfflineIndex_, exchange_.back())) exchange_.publish(offlineTime(nextOfflineIndex_));
    else endOfStream_ = true;
    ++nextOfflineIndex_;
    return frame;
}

void VideoSource::run() {
    using clock = std::chrono::steady_clock;
    const auto begin = clock::now();
    const double period = fps_ > 0 ? 1.0 / fps_ : 1.0 / 30.0;
    long index = 0;
    int failures = 0;
    bool reported = false;
    while (!stopRequested_) {
        if (pacedByClock()) {
            const auto due = begin + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(index * period));
            std::unique_lock<std::mutex> lock(wakeMutex_);
            if (wake_.wait_until(lock, due, [this] { return stopRequested_.load(); })) break;
        }
        if (produce(index, exchange_.back())) {
            // Paced sources play their frames at the nominal rate; a camera's frames come
            // when they were captured.
            exchange_.publish(pacedByClock() ? index * period
                                             : std::chrono::duration<double>(clock::now() - begin).count());
            failures = 0;
            if (reported) {
                report(name_ + ": frames are arriving again");
                reported = false;
                setStatus("");
            }
        } else {
            // A camera that stops answering must not spin the CPU; tell the user once.
            if (++failures == 50 && !reported) {
                report(name_ + ": no frames are arriving");
                reported = true;
                // A source that said more precisely what went wrong keeps its words.
                std::lock_guard<std::mutex> lock(statusMutex_);
                if (status_.empty()) status_ = name_ + ": no frames are arriving\nshowing the last frame";
            }
            std::unique_lock<std::mutex> lock(wakeMutex_);
            if (wake_.wait_for(lock, std::chrono::milliseconds(failures < 50 ? 20 : 200),
                               [this] { return stopRequested_.load(); }))
                break;
        }
        ++index;
        if (skipsLateFrames()) {
            const double elapsed = std::chrono::duration<double>(clock::now() - begin).count();
            const long now = long(std::floor(elapsed / period));
            if (now > index) index = now;
        }
    }
}

// ---------------------------------------------------------------------------------------
bool FrameConverter::convert(const void* cvMat, int width, int height, bool flipV, uint8_t* bgra) {
    const cv::Mat& in = *static_cast<const cv::Mat*>(cvMat);
    if (in.empty() || width <= 0 || height <= 0) return false;
    cv::Mat src = in;
    cv::Mat depth8;
    if (src.depth() == CV_16U) {
        src.convertTo(depth8, CV_MAKETYPE(CV_8U, src.channels()), 1.0 / 257.0);
        src = depth8;
    } else if (src.depth() != CV_8U) {
        src.convertTo(depth8, CV_MAKETYPE(CV_8U, src.channels()));
        src = depth8;
    }
    const bool sameSize = src.cols == width && src.rows == height;
    const size_t bytes = size_t(width) * height * 4;
    if (scratch.size() != bytes) scratch.resize(bytes);
    // Convert straight into the destination unless a resize or flip still has to follow.
    const bool direct = sameSize && !flipV;
    cv::Mat colour(height, width, CV_8UC4, direct ? bgra : scratch.data());
    cv::Mat sized;
    const cv::Mat* from = &src;
    if (!sameSize) {
        cv::resize(src, sized, cv::Size(width, height), 0, 0, cv::INTER_AREA);
        from = &sized;
    }
    switch (from->channels()) {
        case 1: cv::cvtColor(*from, colour, cv::COLOR_GRAY2BGRA); break;
        case 3: cv::cvtColor(*from, colour, cv::COLOR_BGR2BGRA); break;
        case 4: from->copyTo(colour); break;
        default: return false;
    }
    if (!direct) {
        cv::Mat out(height, width, CV_8UC4, bgra);
        if (flipV) cv::flip(colour, out, 0);
        else colour.copyTo(out);
    }
    return true;
}

QuietOpenCV::QuietOpenCV()
    : previous_(int(cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR))) {}

QuietOpenCV::~QuietOpenCV() { cv::utils::logging::setLogLevel(cv::utils::logging::LogLevel(previous_)); }
