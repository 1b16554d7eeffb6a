#include "app/sound/AudioPlayer.h"

#include <SDL.h>

#include <algorithm>
#include <cstring>

namespace {

// Device buffer of about 20 ms: short enough that the clock's latency estimate (one
// buffer at most) is finer than a motion frame, long enough not to stutter.
constexpr int kBufferMilliseconds = 20;

Uint16 bufferFramesFor(int sampleRate) {
    const int wanted = sampleRate * kBufferMilliseconds / 1000;
    int frames = 256;
    while (frames < wanted && frames < 8192) frames *= 2;
    return static_cast<Uint16>(frames);
}

// Holds the device lock for a scope (SDL's audio thread runs the callback under it).
class DeviceLock {
public:
    explicit DeviceLock(uint32_t device) : device_(device) { SDL_LockAudioDevice(device_); }
    ~DeviceLock() { SDL_UnlockAudioDevice(device_); }
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

private:
    uint32_t device_;
};

}  // namespace

bool AudioPlayer::open(const Song& song, bool paused, std::string& error) {
    close();
    if (song.sampleRate <= 0 || song.channels < 1 || song.channels > 2 || song.frames() <= 0) {
        error = "the song has no playable format";
        return false;
    }
    // The program ends on its own signals (recording completed first); SDL must not
    // take SIGINT and SIGTERM over.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        error = SDL_GetError();
        return false;
    }
    subsystemUp_ = true;
    song_ = &song;
    frameBytes_ = song.channels * static_cast<int>(sizeof(int16_t));
    // A device opened now would play silence until the first picture: opened once to
    // know there is one, and again by start().
    const uint32_t probe = openDevice(error);
    if (probe == 0) {
        close();
        return false;
    }
    SDL_CloseAudioDevice(probe);
    paused_ = paused;
    nextFrame_ = 0;
    holding_ = true;
    heldFrame_ = 0;
    bufferStart_ = 0;
    bufferSongFrames_ = 0;
    bufferFrames_ = 0;
    deviceTaken_ = 0;
    bufferTime_ = Clock::now();
    return true;
}

uint32_t AudioPlayer::openDevice(std::string& error) {
    SDL_AudioSpec want{};
    want.freq = song_->sampleRate;
    want.format = AUDIO_S16SYS;
    want.channels = static_cast<Uint8>(song_->channels);
    want.samples = bufferFramesFor(song_->sampleRate);
    want.callback = fillCallback;
    want.userdata = this;
    SDL_AudioSpec have{};
    // No changes allowed: SDL converts to whatever the device wants, so the callback
    // always hands out the song's own samples.
    const SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (device == 0) error = SDL_GetError();
    return device;
}

bool AudioPlayer::start(std::string& error) {
    if (!song_) return false;
    if (device_ != 0) return true;
    const uint32_t device = openDevice(error);
    if (device == 0) {
        close();
        return false;
    }
    device_ = device;  // from here on the state is shared with the audio thread
    SDL_PauseAudioDevice(device_, 0);
    return true;
}

void AudioPlayer::close() {
    if (device_ != 0) {
        SDL_CloseAudioDevice(device_);  // waits for the audio thread to end
        device_ = 0;
    }
    song_ = nullptr;
    if (subsystemUp_) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        subsystemUp_ = false;
    }
}

void AudioPlayer::fillCallback(void* self, uint8_t* stream, int bytes) {
    static_cast<AudioPlayer*>(self)->fill(stream, bytes);
}

void AudioPlayer::fill(uint8_t* stream, int bytes) {
    const int64_t frames = bytes / frameBytes_;
    deviceTaken_ += bufferFrames_;
    bufferFrames_ = frames;
    bufferTime_ = Clock::now();
    if (paused_) {
        std::memset(stream, 0, static_cast<size_t>(bytes));
        bufferStart_ = heldFrame_;
        bufferSongFrames_ = 0;
        return;
    }
    const int64_t left = std::max<int64_t>(0, song_->frames() - nextFrame_);
    const int64_t n = std::min(left, frames);
    const size_t songBytes = static_cast<size_t>(n) * static_cast<size_t>(frameBytes_);
    if (n > 0) std::memcpy(stream, song_->samples.data() + nextFrame_ * song_->channels, songBytes);
    std::memset(stream + songBytes, 0, static_cast<size_t>(bytes) - songBytes);
    bufferStart_ = nextFrame_;
    bufferSongFrames_ = n;
    nextFrame_ += n;
    holding_ = false;
}

int64_t AudioPlayer::positionLocked(Clock::time_point now) const {
    if (holding_ || paused_) return heldFrame_;
    const double seconds = std::chrono::duration<double>(now - bufferTime_).count();
    const int64_t played = static_cast<int64_t>(std::max(0.0, seconds) * song_->sampleRate);
    return bufferStart_ + std::min(played, bufferSongFrames_);
}

int64_t AudioPlayer::devicePlayedLocked(Clock::time_point now) const {
    if (bufferFrames_ == 0) return deviceTaken_;
    const double seconds = std::chrono::duration<double>(now - bufferTime_).count();
    const int64_t played = static_cast<int64_t>(std::max(0.0, seconds) * song_->sampleRate);
    return deviceTaken_ + std::min(played, bufferFrames_);
}

int64_t AudioPlayer::position() const {
    if (device_ == 0) return song_ ? heldFrame_ : 0;
    const Clock::time_point now = Clock::now();
    DeviceLock lock(device_);
    return positionLocked(now);
}

int64_t AudioPlayer::devicePlayed() const {
    if (device_ == 0) return 0;
    const Clock::time_point now = Clock::now();
    DeviceLock lock(device_);
    return devicePlayedLocked(now);
}

void AudioPlayer::seek(int64_t frame) {
    if (!song_) return;
    frame = std::clamp<int64_t>(frame, 0, song_->frames());
    if (device_ == 0) {
        nextFrame_ = heldFrame_ = frame;
        return;
    }
    DeviceLock lock(device_);
    nextFrame_ = frame;
    heldFrame_ = frame;
    holding_ = true;
}

void AudioPlayer::setPaused(bool paused) {
    if (device_ == 0) {
        // Not started: the clock stands at heldFrame_ anyway.
        paused_ = paused;
        nextFrame_ = heldFrame_;
        return;
    }
    const Clock::time_point now = Clock::now();
    DeviceLock lock(device_);
    if (paused == paused_) return;
    if (paused) {
        heldFrame_ = positionLocked(now);
    } else {
        nextFrame_ = heldFrame_;
    }
    paused_ = paused;
    holding_ = true;
}
