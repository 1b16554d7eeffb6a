// The sound under recorded frames: continuous while the song plays on, back to the
// song's cursor on every jump and on drift, silent while paused, and the offline render
// frame for frame from the song's start.
#include <gtest/gtest.h>

#include <vector>

#include "app/record/RecordFormat.h"
#include "app/record/SoundFollower.h"

namespace {

// A mono song whose sample i holds i (mod 32768), so every value says where it came from.
Song rampSong(int frames, int rate = 1000)
{
    Song song;
    song.sampleRate = rate;
    song.channels = 1;
    song.samples.resize(frames);
    for (int i = 0; i < frames; ++i) song.samples[i] = static_cast<int16_t>(i % 32768);
    return song;
}

SongCursor at(const Song& song, int64_t frame, unsigned generation, bool playing = true)
{
    SongCursor c;
    c.song = &song;
    c.frame = frame;
    c.generation = generation;
    c.playing = playing;
    return c;
}

}  // namespace

TEST(SoundFollower, PlaysOnContinuouslyAndJumpsWithTheSong)
{
    const Song song = rampSong(5000);
    SoundFollower f;
    f.start(1000, 1, 50);
    std::vector<int16_t> out(40);

    // The first frame syncs to the cursor.
    f.take(at(song, 100, 1), true, out.data(), 40);
    EXPECT_EQ(out.front(), 100);
    EXPECT_EQ(out.back(), 139);
    // The cursor strays either way, even far, for single pictures (a device reporting in
    // bursts): no jump, the sound runs on.
    f.take(at(song, 120, 1), true, out.data(), 40);
    EXPECT_EQ(out.front(), 140);
    f.take(at(song, 330, 1), true, out.data(), 40);
    EXPECT_EQ(out.front(), 180);
    f.take(at(song, 100, 1), true, out.data(), 40);
    EXPECT_EQ(out.front(), 220);
    // A repeat frame never counts toward drift, however stale its cursor.
    for (int i = 0; i < 20; ++i) f.take(at(song, 0, 1), false, out.data(), 40);
    EXPECT_EQ(out.front(), 1020);
    EXPECT_EQ(f.resyncs(), 1);
    // The song keeps 100 frames ahead: after a few pictures the sound goes back to it.
    int64_t song_at = 1160;
    int frames = 0;
    while (f.resyncs() == 1 && frames < 30) {
        f.take(at(song, song_at, 1), true, out.data(), 40);
        song_at += 40;
        ++frames;
    }
    EXPECT_EQ(f.resyncs(), 2);
    EXPECT_GT(frames, 1);
    EXPECT_EQ(out.front(), song_at - 40);
    // A restart (new generation) jumps at once, however small the jump.
    f.take(at(song, 430, 2), false, out.data(), 40);
    EXPECT_EQ(out.front(), 430);
    EXPECT_EQ(f.resyncs(), 3);

    // Paused: silence, and the position holds; resuming (a new generation) picks up
    // where the song is.
    f.take(at(song, 470, 3, false), true, out.data(), 40);
    EXPECT_EQ(out, std::vector<int16_t>(40, 0));
    f.take(at(song, 470, 4), true, out.data(), 40);
    EXPECT_EQ(out.front(), 470);

    // Past the end: the last samples, then silence.
    f.take(at(song, 4980, 5), true, out.data(), 40);
    EXPECT_EQ(out[19], 4999);
    EXPECT_EQ(out[20], 0);
    EXPECT_EQ(out[39], 0);
}

TEST(SoundFollower, SilenceWithoutASongOrInAnotherFormat)
{
    const Song song = rampSong(1000);
    Song stereo = rampSong(1000);
    stereo.channels = 2;
    SoundFollower f;
    f.start(1000, 1, 50);
    std::vector<int16_t> out(10, 7);
    f.take(SongCursor{}, true, out.data(), 10);
    EXPECT_EQ(out, std::vector<int16_t>(10, 0));
    out.assign(10, 7);
    f.take(at(stereo, 100, 1), true, out.data(), 10);  // a new song of another shape
    EXPECT_EQ(out, std::vector<int16_t>(10, 0));
    f.take(at(song, 100, 2), true, out.data(), 10);
    EXPECT_EQ(out[0], 100);
}

TEST(SoundFollower, OfflineTakesTheSongFrameForFrame)
{
    const Song song = rampSong(3000);
    SoundFollower f;
    f.start(1000, 1, 50);
    std::vector<int16_t> out(40);
    f.takeAt(&song, 1234, out.data(), 40);
    EXPECT_EQ(out.front(), 1234);
    EXPECT_EQ(out.back(), 1273);
    // Before the song's start and past its end: silence around the song's samples.
    f.takeAt(&song, -5, out.data(), 40);
    EXPECT_EQ(out[4], 0);
    EXPECT_EQ(out[5], 0);
    EXPECT_EQ(out[6], 1);
    f.takeAt(&song, 2990, out.data(), 40);
    EXPECT_EQ(out[9], 2999);
    EXPECT_EQ(out[10], 0);
}

TEST(RecordFormat, TheFileNameChoosesTheContainer)
{
    RecordFormat f = RecordFormat::Avi;
    std::string error;
    EXPECT_TRUE(recordFormatForPath("/tmp/a.MP4", f, error));
    EXPECT_EQ(f, RecordFormat::Mp4);
    EXPECT_TRUE(recordFormatForPath("clip.mkv", f, error));
    EXPECT_EQ(f, RecordFormat::Mkv);
    EXPECT_TRUE(recordFormatForPath("x.y/clip.avi", f, error));
    EXPECT_EQ(f, RecordFormat::Avi);
    for (const char* bad : {"clip.mov", "clip", "dir.mp4/clip", "clip.mp4.webm"}) {
        error.clear();
        EXPECT_FALSE(recordFormatForPath(bad, f, error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << error;
        EXPECT_NE(error.find(".mp4"), std::string::npos) << error;
        EXPECT_NE(error.find(".mkv"), std::string::npos) << error;
        EXPECT_NE(error.find(".avi"), std::string::npos) << error;
    }
    EXPECT_TRUE(parseRecordFormat("MKV", f));
    EXPECT_EQ(f, RecordFormat::Mkv);
    EXPECT_FALSE(parseRecordFormat("webm", f));
}
