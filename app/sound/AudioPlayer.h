// Plays a song through SDL's audio (which reaches PipeWire, PulseAudio and ALSA alike)
// and tells which of its samples is being heard. Only SDL's audio subsystem is started:
// the window stays GLUT's.
//
// The clock is the device's: the song frame heard now is the first frame of the buffer
// the device took last, plus what it has played of that buffer since (the time since
// it took it, at the song's rate, at most the whole buffer). In other words what the
// callback consumed minus what is still queued in the device buffer. A wall clock
// would drift away from the sound as soon as the device runs a little fast or slow.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "app/sound/Song.h"

class AudioPlayer {
public:
    AudioPlayer() = default;
    ~AudioPlayer() { close(); }
    AudioPlayer(const AudioPlayer&) = delete;
    AudioPlayer& operator=(const AudioPlayer&) = delete;

    // Makes sure the default output takes the song's rate and channels (it is opened
    // once to see) and gets ready to play the song from frame 0 when start() is called
    // (silent until setPaused(false) when paused). The song is borrowed and must outlive
    // the player (close() or another open()). False with SDL's reason when there is no
    // device to play on (none, busy, the sound server refuses).
    bool open(const Song& song, bool paused, std::string& error);
    // Opens the device for good and sets it going. Until then nothing is played, not
    // even silence, and the clock stands: the sound starts with the first picture drawn
    // to it. False with SDL's reason when the device has gone meanwhile (the player is
    // closed then).
    bool start(std::string& error);
    void close();
    // A song and a device to play it on (open() succeeded); started() once it plays.
    bool hasDevice() const { return song_ != nullptr; }
    bool started() const { return device_ != 0; }

    // The song frame heard now (held still while paused, at the song's end after it).
    int64_t position() const;
    // Device frames played since open(): silence included (while paused, after the
    // song's end), latency taken off. For the clock diagnostics.
    int64_t devicePlayed() const;

    // The song goes on from frame (clamped into the song); the clock holds there until
    // the device takes its first buffer from the new place.
    void seek(int64_t frame);
    // Paused: the device plays silence and the clock stands still. Resuming goes on
    // from the frame the clock stood at, so nothing the listener missed is skipped.
    void setPaused(bool paused);
    bool paused() const { return paused_; }

private:
    using Clock = std::chrono::steady_clock;

    // Opens the default output for the song with this player's callback; 0 on failure.
    uint32_t openDevice(std::string& error);
    static void fillCallback(void* self, uint8_t* stream, int bytes);
    void fill(uint8_t* stream, int bytes);
    // Both under the device lock.
    int64_t positionLocked(Clock::time_point now) const;
    int64_t devicePlayedLocked(Clock::time_point now) const;

    uint32_t device_ = 0;       // SDL_AudioDeviceID; 0 = not (yet) playing
    bool subsystemUp_ = false;  // we started SDL's audio subsystem and stop it on close
    const Song* song_ = nullptr;
    int frameBytes_ = 0;

    // Shared with SDL's audio thread, under the device lock once it runs.
    bool paused_ = false;
    int64_t nextFrame_ = 0;         // the song frame the next buffer starts with
    bool holding_ = true;           // the clock shows heldFrame_ (paused, just sought)
    int64_t heldFrame_ = 0;
    Clock::time_point bufferTime_;  // when the device took its latest buffer
    int64_t bufferStart_ = 0;       // song frame at that buffer's start (-1: silence)
    int64_t bufferSongFrames_ = 0;  // song frames in it (fewer than its size at the end)
    int64_t bufferFrames_ = 0;      // its size in frames
    int64_t deviceTaken_ = 0;       // device frames taken before that buffer
};
