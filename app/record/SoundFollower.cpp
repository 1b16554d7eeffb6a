#include "app/record/SoundFollower.h"

#include <algorithm>
#include <cstring>

namespace {

// Weight of each new drift reading in the running average (about the last ten
// pictures count).
constexpr double kDriftSmoothing = 0.1;

}  // namespace

void SoundFollower::start(int sampleRate, int channels, int64_t toleranceFrames)
{
    sampleRate_ = sampleRate;
    channels_ = channels;
    tolerance_ = std::max<int64_t>(0, toleranceFrames);
    position_ = 0;
    generation_ = 0;
    song_ = nullptr;
    synced_ = false;
    driftAverage_ = 0.0;
    resyncs_ = 0;
}

bool SoundFollower::matches(const Song* song) const
{
    return song && song->sampleRate == sampleRate_ && song->channels == channels_;
}

void SoundFollower::copyFrom(const Song& song, int64_t position, int16_t* out, int count) const
{
    const int64_t total = song.frames();
    int64_t from = position;
    int done = 0;
    if (from < 0) {
        // Before the song's first sample (a negative position): silence until it starts.
        done = static_cast<int>(std::min<int64_t>(count, -from));
        std::memset(out, 0, sizeof(int16_t) * done * channels_);
        from = 0;
    }
    const int64_t available = std::max<int64_t>(0, total - from);
    const int copied = static_cast<int>(std::min<int64_t>(count - done, available));
    if (copied > 0)
        std::memcpy(out + static_cast<size_t>(done) * channels_, song.samples.data() + from * channels_,
                    sizeof(int16_t) * copied * channels_);
    done += copied;
    if (done < count) std::memset(out + static_cast<size_t>(done) * channels_, 0, sizeof(int16_t) * (count - done) * channels_);
}

void SoundFollower::take(const SongCursor& cursor, bool fresh, int16_t* out, int count)
{
    if (count <= 0) return;
    const bool jumped = !synced_ || cursor.generation != generation_ || cursor.song != song_;
    bool drifted = false;
    if (!jumped && fresh && cursor.playing) {
        // A device reports what it has played in bursts, and a busy machine draws late:
        // single readings stray both ways by tens of milliseconds. Only their average
        // says the clocks have really parted.
        driftAverage_ += (static_cast<double>(cursor.frame - position_) - driftAverage_) * kDriftSmoothing;
        drifted = driftAverage_ > tolerance_ || driftAverage_ < -tolerance_;
    }
    if (jumped || drifted) {
        position_ = cursor.frame;
        generation_ = cursor.generation;
        song_ = cursor.song;
        synced_ = true;
        driftAverage_ = 0.0;
        ++resyncs_;
    }
    if (!cursor.playing || !matches(cursor.song)) {
        std::memset(out, 0, sizeof(int16_t) * count * channels_);
        return;
    }
    copyFrom(*cursor.song, position_, out, count);
    position_ += count;
}

void SoundFollower::takeAt(const Song* song, int64_t position, int16_t* out, int count) const
{
    if (count <= 0) return;
    if (!matches(song)) {
        std::memset(out, 0, sizeof(int16_t) * count * channels_);
        return;
    }
    copyFrom(*song, position, out, count);
}
