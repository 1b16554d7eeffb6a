// The song clock: where the motion stands for each drawn frame, what a recording is
// told about the song, and the player's clock on SDL's dummy device.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "SoundFiles.h"
#include "app/sound/AudioPlayer.h"
#include "app/sound/Music.h"
#include "common/ProgramRun.h"

namespace {

struct TempDir {
    std::string path = makeTempDir("pavonix-music");
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

// A WAV of seconds of a quiet ramp at rate, mono.
std::string makeSongFile(const TempDir& dir, const std::string& name, double seconds, int rate) {
    std::vector<int16_t> samples(size_t(seconds * rate));
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = int16_t(int(i % 200) - 100);
    const std::string path = dir.path + "/" + name;
    return writeWav(path, rate, 1, samples) ? path : std::string();
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

// Without a device (an offline render, a machine without sound) the song's clock runs
// on the elapsed time each frame is given: the motion frame of frame k is k steps plus
// the offset, and the cursor a recording reads stays under it sample for sample.
TEST(Music, WithoutADeviceTheSongFollowsTheGivenTimeAndTheMotionFollowsTheSong) {
    TempDir dir;
    const std::string path = makeSongFile(dir, "two.wav", 2.0, 8000);
    ASSERT_FALSE(path.empty());
    Music music;
    music.setDeviceWanted(false);
    music.setOffsetMs(100);
    std::string error;
    ASSERT_TRUE(music.open(path, error)) << error;
    EXPECT_FALSE(music.audible());
    EXPECT_TRUE(music.deviceProblem().empty());
    const unsigned opened = music.cursor().generation;

    // Frame 0 is the song's start: the motion 100 ms (3 frames) ahead of it.
    MusicStep step = music.step(1.0f);
    EXPECT_DOUBLE_EQ(step.motionFrame, 3.0);
    EXPECT_EQ(step.elapsed, 0.0f);
    EXPECT_EQ(music.cursor().frame, 0);
    EXPECT_TRUE(music.cursor().playing);
    EXPECT_EQ(music.cursor().song, music.song());
    EXPECT_EQ(music.cursor().hold.get(), music.song());
    for (int k = 1; k <= 30; ++k) {
        step = music.step(1.0f);
        EXPECT_NEAR(step.motionFrame, 3.0 + k, 1e-9) << k;
        EXPECT_FLOAT_EQ(step.elapsed, 1.0f);
        EXPECT_EQ(music.cursor().frame, k * 8000 / 30) << k;
    }
    EXPECT_EQ(music.cursor().generation, opened);

    // Paused: the song and the motion stand still, whatever time passes.
    music.setPaused(true);
    EXPECT_NE(music.cursor().generation, opened);
    const unsigned paused = music.cursor().generation;
    for (int k = 0; k < 5; ++k) {
        step = music.step(0.0f);
        EXPECT_NEAR(step.motionFrame, 33.0, 1e-9);
        EXPECT_EQ(step.elapsed, 0.0f);
        EXPECT_FALSE(music.cursor().playing);
        EXPECT_EQ(music.cursor().frame, 8000);
    }
    music.setPaused(false);
    EXPECT_NE(music.cursor().generation, paused);
    step = music.step(2.0f);
    EXPECT_NEAR(step.motionFrame, 35.0, 1e-9);
    EXPECT_TRUE(music.cursor().playing);

    // The offset keys move the motion against the song, not the song.
    music.nudgeOffset(kAudioOffsetStepMs);
    step = music.step(0.0f);
    EXPECT_NEAR(step.motionFrame, 35.3, 1e-9);
    EXPECT_EQ(music.cursor().frame, 32 * 8000 / 30);

    // Restart: both from the top, and a recording is told the song jumped.
    const unsigned beforeRestart = music.cursor().generation;
    music.restart();
    EXPECT_NE(music.cursor().generation, beforeRestart);
    step = music.step(5.0f);
    EXPECT_NEAR(step.motionFrame, 3.3, 1e-9);
    EXPECT_EQ(step.elapsed, 0.0f);
    EXPECT_EQ(music.cursor().frame, 0);

    // The song ends (60 frames): the cursor stays at its end, silent, and the motion
    // goes on by the elapsed time.
    for (int k = 0; k < 70; ++k) step = music.step(1.0f);
    EXPECT_NEAR(step.motionFrame, 73.3, 1e-6);
    EXPECT_FLOAT_EQ(step.elapsed, 1.0f);
    EXPECT_EQ(music.cursor().frame, 16000);
    EXPECT_FALSE(music.cursor().playing);
}

TEST(Music, ANegativeOffsetHoldsTheMotionAtItsStartAndAStallIsCappedForPhysics) {
    TempDir dir;
    const std::string path = makeSongFile(dir, "ten.wav", 10.0, 8000);
    ASSERT_FALSE(path.empty());
    Music music;
    music.setDeviceWanted(false);
    music.setOffsetMs(-500);  // the motion starts 15 frames after the song
    std::string error;
    ASSERT_TRUE(music.open(path, error)) << error;
    MusicStep step = music.step(0.0f);
    EXPECT_NEAR(step.motionFrame, -15.0, 1e-9);
    for (int k = 0; k < 14; ++k) {
        step = music.step(1.0f);
        EXPECT_EQ(step.elapsed, 0.0f) << "the motion has not started yet, nothing moved";
    }
    step = music.step(3.0f);
    EXPECT_NEAR(step.motionFrame, 2.0, 1e-9);
    EXPECT_FLOAT_EQ(step.elapsed, 2.0f);
    // A long stall (a file dialog): the motion jumps to the song, physics gets 10 frames.
    step = music.step(90.0f);
    EXPECT_NEAR(step.motionFrame, 92.0, 1e-9);
    EXPECT_FLOAT_EQ(step.elapsed, 10.0f);
    // The offset stays inside a minute either way.
    music.setOffsetMs(1000000);
    EXPECT_EQ(music.offsetMs(), kMaxAudioOffsetMs);
    music.nudgeOffset(-3 * kMaxAudioOffsetMs);
    EXPECT_EQ(music.offsetMs(), -kMaxAudioOffsetMs);
}

TEST(Music, AFileThatCannotBePlayedLeavesTheSongThatPlays) {
    TempDir dir;
    const std::string good = makeSongFile(dir, "good.wav", 1.0, 8000);
    ASSERT_FALSE(good.empty());
    Music music;
    music.setDeviceWanted(false);
    std::string error;
    ASSERT_TRUE(music.open(good, error)) << error;
    for (int k = 0; k < 10; ++k) music.step(1.0f);
    const SongCursor before = music.cursor();
    EXPECT_FALSE(music.open(dir.path + "/missing.mp3", error));
    EXPECT_NE(error.find("missing.mp3"), std::string::npos) << error;
    EXPECT_EQ(music.song(), before.song);
    EXPECT_EQ(music.cursor().generation, before.generation);
    EXPECT_EQ(music.step(1.0f).motionFrame, 10.0);

    // Another song replaces it; the cursor handed out before keeps the old one alive.
    const std::string other = makeSongFile(dir, "other.wav", 1.0, 11025);
    ASSERT_TRUE(music.open(other, error)) << error;
    EXPECT_NE(music.song(), before.song);
    EXPECT_NE(music.cursor().generation, before.generation);
    EXPECT_EQ(before.hold->sampleRate, 8000);
    EXPECT_EQ(music.song()->sampleRate, 11025);
    music.close();
    EXPECT_FALSE(music.hasSong());
    EXPECT_EQ(music.cursor().song, nullptr);
}

// SDL's dummy device plays at about real time and writes nothing: enough to see that
// the clock follows it, holds where it was sent, stands still while paused and goes on
// from there, and stops at the song's end.
TEST(AudioPlayer, TheClockFollowsTheDeviceAndHoldsAtSeeksPausesAndTheEnd) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    Song song;
    song.sampleRate = 48000;
    song.channels = 2;
    song.samples.assign(size_t(3 * 48000 * 2), 0);
    AudioPlayer player;
    std::string error;
    ASSERT_TRUE(player.open(song, false, error)) << error;
    sleepMs(100);
    EXPECT_EQ(player.position(), 0) << "nothing plays before start()";
    EXPECT_EQ(player.devicePlayed(), 0);
    ASSERT_TRUE(player.start(error)) << error;
    sleepMs(400);
    // Generous bounds: the machine may be busy; a wall clock or a stuck one is far off.
    int64_t p = player.position();
    EXPECT_GT(p, 48000 * 2 / 10);
    EXPECT_LT(p, 48000 * 8 / 10);
    EXPECT_LE(p, player.devicePlayed());

    player.seek(2 * 48000);
    EXPECT_EQ(player.position(), 2 * 48000);
    sleepMs(200);
    p = player.position();
    EXPECT_GT(p, 2 * 48000);
    EXPECT_LT(p, 2 * 48000 + 48000 / 2);

    player.setPaused(true);
    const int64_t held = player.position();
    EXPECT_GE(held, p);
    sleepMs(200);
    EXPECT_EQ(player.position(), held);
    const int64_t deviceWhilePaused = player.devicePlayed();
    sleepMs(100);
    EXPECT_GT(player.devicePlayed(), deviceWhilePaused) << "the device plays silence on";
    player.setPaused(false);
    EXPECT_EQ(player.position(), held);
    sleepMs(200);
    EXPECT_GT(player.position(), held);

    // 0.9 s were left: the clock stops at the end.
    sleepMs(1200);
    EXPECT_EQ(player.position(), song.frames());
    player.seek(-5);
    EXPECT_EQ(player.position(), 0);
    player.close();
    EXPECT_FALSE(player.hasDevice());
}

TEST(AudioPlayer, NoDeviceGivesSdlsReason) {
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    Song song;
    song.sampleRate = 44100;
    song.channels = 2;
    song.samples.assign(4410 * 2, 0);
    AudioPlayer player;
    std::string error;
    EXPECT_FALSE(player.open(song, false, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(player.hasDevice());
    EXPECT_EQ(player.position(), 0);
    std::printf("SDL says: %s\n", error.c_str());
    setenv("SDL_AUDIODRIVER", "dummy", 1);
}
