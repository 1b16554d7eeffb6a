// The sound under each recorded frame, taken from the song where the motion stands.
//
// A recording's sound track must be continuous (a jump every frame would be heard as
// crackle), yet follow the song when it jumps: a restart, a pause, a seek, a new song.
// The follower keeps its own position in the song and moves it on by exactly the
// samples it hands out; it goes back to the song's cursor when the cursor's generation
// changes or when, averaged over the frames with freshly drawn pictures, the two have
// drifted further apart than the tolerance (the sound device's clock and the wall
// clock the recording keeps are never quite the same).
#pragma once

#include <cstdint>

#include "app/sound/Song.h"

class SoundFollower {
public:
    // The track's format: the song's sample rate and channel count when the recording
    // began. `toleranceFrames`: the drift allowed before resyncing, in sample frames.
    void start(int sampleRate, int channels, int64_t toleranceFrames);

    // Writes `count` sample frames (interleaved, the track's channel count) for one
    // recorded frame. `fresh`: the cursor belongs to the picture of this frame (not a
    // repeat of an older picture), so drift may be corrected. Silence while the song is
    // paused, absent, past its end or in another format than the track.
    void take(const SongCursor& cursor, bool fresh, int16_t* out, int count);

    // Offline: the song from its start, frame for frame, never resynced: writes the
    // `count` sample frames that begin at song sample `position`.
    void takeAt(const Song* song, int64_t position, int16_t* out, int count) const;

    int64_t position() const { return position_; }
    // Times the position was moved to the cursor (first sync included).
    long resyncs() const { return resyncs_; }

private:
    bool matches(const Song* song) const;
    void copyFrom(const Song& song, int64_t position, int16_t* out, int count) const;

    int sampleRate_ = 0;
    int channels_ = 0;
    int64_t tolerance_ = 0;
    int64_t position_ = 0;
    unsigned generation_ = 0;
    const Song* song_ = nullptr;
    bool synced_ = false;
    double driftAverage_ = 0.0;  // cursor minus position, smoothed, in sample frames
    long resyncs_ = 0;
};
