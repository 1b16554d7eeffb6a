// The song played with the motion and the clock the motion follows while it plays.
//
// While the song plays, the motion frame drawn is the song's position in seconds x 30
// plus the offset in ms x 0.03 (a positive offset makes the motion lead). The position
// is the device's (AudioPlayer): what it has played, latency taken off. Without a device
// (none on the machine, or an offline render) the song's clock runs on the elapsed time
// the program gives each frame, so the motion runs on the wall clock (or the video's)
// as without music, and recordings still get the song under the right pictures. Once
// the song has ended the motion goes on by the elapsed time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/sound/AudioPlayer.h"
#include "app/sound/Song.h"

// Motion frames per second and the offset's factor (30 frames per 1000 ms).
constexpr double kMotionFramesPerSecond = 30.0;
constexpr double kMotionFramesPerMs = 0.03;
// Largest offset either way, in milliseconds: a minute is far beyond any motion's
// lead-in and keeps the frame arithmetic well inside float precision.
constexpr int kMaxAudioOffsetMs = 60000;
// One press of an offset key.
constexpr int kAudioOffsetStepMs = 10;

// What one drawn frame takes from the music.
struct MusicStep {
    double motionFrame = 0.0;  // the frame to evaluate the motion at (may be < 0: not yet)
    float elapsed = 0.0f;      // motion frames since the last step, for physics (0..10)
};

class Music {
public:
    Music() = default;
    ~Music() { close(); }
    Music(const Music&) = delete;
    Music& operator=(const Music&) = delete;

    // Decodes the file and plays it from the start (held at the start while paused).
    // On failure nothing changes: the previous song, if any, plays on. A song that
    // decodes but finds no device still counts: deviceProblem() says why it is silent.
    bool open(const std::string& path, std::string& error);
    // Removes the song: the motion runs on the elapsed time again.
    void close();
    bool hasSong() const { return song_ != nullptr; }
    const Song* song() const { return song_.get(); }

    // Off (offline rendering): songs are never sent to a device, their clock follows the
    // elapsed time given to step(). Takes effect at the next open().
    void setDeviceWanted(bool wanted) { deviceWanted_ = wanted; }
    // Why the latest song is not heard (SDL's reason), or empty when it is.
    const std::string& deviceProblem() const { return deviceProblem_; }
    // The device problem once per run: the first time a song finds no device (a user
    // is told once, not at every song); empty afterwards and while songs are heard.
    std::string deviceProblemToReport();
    bool audible() const { return player_.hasDevice(); }

    // Back to the song's start, with the motion.
    void restart();
    void setPaused(bool paused);
    bool paused() const { return paused_; }

    int offsetMs() const { return offsetMs_; }
    void setOffsetMs(int ms);
    void nudgeOffset(int deltaMs) { setOffsetMs(offsetMs_ + deltaMs); }

    // Samples the song's clock for the frame about to be drawn. elapsed: motion frames
    // of elapsed time since the previous step (wall clock or the video's; 0 while
    // paused), which drives the clock without a device and after the song's end.
    MusicStep step(float elapsed);

    // Where the song stands at the frame being drawn (the latest step).
    SongCursor cursor() const { return cursor_; }
    // Device frames played at the latest step (0 without a device), for diagnostics.
    int64_t devicePlayedAtStep() const { return devicePlayedAtStep_; }

private:
    double motionFrameAt(double songFrame) const;
    void bumpGeneration() { ++cursor_.generation; }

    std::shared_ptr<const Song> song_;
    AudioPlayer player_;  // after song_: destroyed first, while the song it plays exists
    bool deviceWanted_ = true;
    std::string deviceProblem_;
    bool deviceProblemReported_ = false;
    bool paused_ = false;
    int offsetMs_ = 0;
    double virtualFrame_ = 0.0;   // the song's clock without a device, in song frames
    double lastMotionFrame_ = 0.0;
    bool songEnded_ = false;      // the motion has gone over to the elapsed time
    bool started_ = false;        // a step has run since the last jump
    SongCursor cursor_;
    int64_t devicePlayedAtStep_ = 0;
};
