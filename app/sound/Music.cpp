#include "app/sound/Music.h"

#include <algorithm>
#include <utility>

namespace {

// Longest stretch one step hands to physics: 10 frames, a third of a second, as the
// elapsed time of a frame without music is capped.
constexpr double kMaxStepFrames = 10.0;
// Rounding slack of the elapsed-time clock, in samples.
constexpr double kSampleSlack = 1e-6;

}  // namespace

bool Music::open(const std::string& path, std::string& error) {
    Song decoded;
    if (!decodeSong(path, decoded, error)) return false;
    player_.close();  // stops reading the old song before it goes
    song_ = std::make_shared<const Song>(std::move(decoded));
    deviceProblem_.clear();
    if (deviceWanted_) {
        std::string reason;
        if (!player_.open(*song_, paused_, reason)) deviceProblem_ = reason.empty() ? "no sound device" : reason;
    }
    restart();
    return true;
}

void Music::close() {
    player_.close();
    song_.reset();
    deviceProblem_.clear();
    cursor_.song = nullptr;
    cursor_.hold.reset();
    cursor_.playing = false;
    cursor_.frame = 0;
    bumpGeneration();
}

std::string Music::deviceProblemToReport() {
    if (deviceProblem_.empty() || deviceProblemReported_) return std::string();
    deviceProblemReported_ = true;
    return deviceProblem_;
}

void Music::restart() {
    if (!song_) return;
    player_.seek(0);
    virtualFrame_ = 0.0;
    songEnded_ = false;
    started_ = false;
    lastMotionFrame_ = motionFrameAt(0.0);
    cursor_.song = song_.get();
    cursor_.hold = song_;
    cursor_.playing = !paused_;
    cursor_.frame = 0;
    bumpGeneration();
}

void Music::setPaused(bool paused) {
    if (paused == paused_) return;
    paused_ = paused;
    player_.setPaused(paused);
    cursor_.playing = !paused && !songEnded_ && song_ != nullptr;
    if (song_) bumpGeneration();
}

void Music::setOffsetMs(int ms) { offsetMs_ = std::clamp(ms, -kMaxAudioOffsetMs, kMaxAudioOffsetMs); }

double Music::motionFrameAt(double songFrame) const {
    const double seconds = song_ && song_->sampleRate > 0 ? songFrame / song_->sampleRate : 0.0;
    return seconds * kMotionFramesPerSecond + offsetMs_ * kMotionFramesPerMs;
}

MusicStep Music::step(float elapsed) {
    MusicStep out;
    if (!song_) return out;
    const int64_t songFrames = song_->frames();
    // Where the song stands, in (fractional) song frames.
    double position;
    // The sound starts with the first frame drawn to it, not when the file was opened:
    // whatever the program does in between (motions rebound, bodies reset) is not
    // heard as silence or as a start played twice.
    if (player_.hasDevice() && !player_.started()) {
        std::string reason;
        if (!player_.start(reason)) deviceProblem_ = reason.empty() ? "no sound device" : reason;
    }
    if (player_.hasDevice()) {
        position = double(player_.position());
        devicePlayedAtStep_ = player_.devicePlayed();
    } else {
        // The first step after a jump shows where the jump went, as the device's clock
        // does: frame k of an offline render is k steps after the start.
        if (!paused_ && started_)
            virtualFrame_ += double(elapsed) / kMotionFramesPerSecond * song_->sampleRate;
        // Sums of fractions of a sample land a hair short of the end.
        if (virtualFrame_ + kSampleSlack >= double(songFrames)) virtualFrame_ = double(songFrames);
        position = virtualFrame_;
        devicePlayedAtStep_ = 0;
    }

    double target;
    if (songEnded_) {
        target = lastMotionFrame_ + (paused_ ? 0.0 : double(elapsed));
    } else {
        target = motionFrameAt(position);
        if (position >= double(songFrames)) songEnded_ = true;
    }
    const double moved = std::max(target, 0.0) - std::max(lastMotionFrame_, 0.0);
    out.motionFrame = target;
    out.elapsed = started_ ? static_cast<float>(std::clamp(moved, 0.0, kMaxStepFrames)) : 0.0f;
    lastMotionFrame_ = target;
    started_ = true;

    if (cursor_.hold != song_) {
        cursor_.song = song_.get();
        cursor_.hold = song_;
    }
    cursor_.playing = !paused_ && !songEnded_;
    // The sample under the picture: the one playing when it is shown.
    cursor_.frame = std::min(static_cast<int64_t>(position + kSampleSlack), songFrames);
    return out;
}
