// Recordings written by the recorder and read back with FFmpeg: the sound lies under
// the pictures to the sample in every container, the track has the song's rate (or a
// rate the codec takes, once resampled), the encoder's falling behind never blocks a
// live recording, and a file cut off without its end still plays.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/record/Recorder.h"
#include "common/MediaReadBack.h"
#include "common/ProgramRun.h"

namespace {

constexpr int kWidth = 160, kHeight = 120;
constexpr double kFps = 30.0;

// A song of `seconds` of quiet noise-free hum with one loud click at exactly clickAt.
Song clickSong(int rate, int channels, double seconds, double clickAt)
{
    Song song;
    song.sampleRate = rate;
    song.channels = channels;
    const int frames = static_cast<int>(seconds * rate);
    song.samples.assign(static_cast<size_t>(frames) * channels, 0);
    const int click = static_cast<int>(std::lround(clickAt * rate));
    for (int i = 0; i < frames; ++i) {
        const double hum = 0.02 * std::sin(2 * M_PI * 220.0 * i / rate);
        const double value = (i >= click && i < click + rate / 500) ? 0.9 : hum;
        for (int c = 0; c < channels; ++c) song.samples[static_cast<size_t>(i) * channels + c] = static_cast<int16_t>(value * 32767);
    }
    return song;
}

void fillPicture(unsigned char* rgba, unsigned char grey)
{
    std::memset(rgba, grey, static_cast<size_t>(kWidth) * kHeight * 4);
}

// Renders `frames` frames offline: dark until changeAt, light from there on.
bool renderClip(const std::string& path, RecordFormat format, const Song* song, int frames, int changeAt,
                std::string& error)
{
    Recorder recorder;
    RecorderSettings s;
    s.path = path;
    s.format = format;
    s.width = kWidth;
    s.height = kHeight;
    s.fps = kFps;
    s.song = song;
    s.live = false;
    if (!recorder.open(s, error)) return false;
    SongCursor cursor;
    cursor.song = song;
    cursor.playing = song != nullptr;
    for (int k = 0; k < frames; ++k) {
        unsigned char* slot = recorder.pictureSlot();
        if (!slot) {
            error = "an offline render must always get a slot";
            return false;
        }
        fillPicture(slot, k < changeAt ? 30 : 220);
        recorder.commitPicture();
        if (!recorder.queueFrame(k, cursor, true)) {
            error = "an offline render must never drop a frame";
            return false;
        }
    }
    return recorder.close(error);
}

int firstChangedFrame(const DecodedMedia& m)
{
    for (size_t i = 1; i < m.frameChange.size(); ++i)
        if (m.frameChange[i] > 50.0) return static_cast<int>(i);
    return -1;
}

}  // namespace

TEST(Recorder, SoundAndPicturesCoincideInEveryContainer)
{
    const std::string dir = makeTempDir("pavonix-recorder");
    const Song song = clickSong(44100, 2, 8.0, 5.0);
    for (const RecordFormat format : {RecordFormat::Mp4, RecordFormat::Mkv, RecordFormat::Avi}) {
        SCOPED_TRACE(recordFormatName(format));
        const std::string path = dir + "/clip." + recordFormatName(format);
        std::string error;
        ASSERT_TRUE(renderClip(path, format, &song, 240, 150, error)) << error;
        const DecodedMedia m = decodeMedia(path);
        ASSERT_TRUE(m.opened) << m.error;
        EXPECT_EQ(m.errors, 0);
        EXPECT_EQ(m.videoCodec, format == RecordFormat::Avi ? "mpeg4" : "h264");
        EXPECT_EQ(m.soundCodec, format == RecordFormat::Avi ? "pcm_s16le" : "aac");
        EXPECT_EQ(m.sampleRate, 44100);  // the song's own rate
        EXPECT_EQ(m.channels, 2);
        ASSERT_EQ(m.frameTimes.size(), 240u);
        const int changed = firstChangedFrame(m);
        ASSERT_EQ(changed, 150);
        // The muxers may start the tracks a little later than 0 (room for AAC's
        // priming samples), and Matroska keeps milliseconds: within a frame of 5 s.
        const double start = m.frameTimes.front();
        const double pictureAt = m.frameTimes[changed];
        const double clickAt = firstLoudSample(m, 0.5f);
        EXPECT_NEAR(pictureAt - start, 5.0, 1.0 / kFps);
        EXPECT_NEAR(clickAt, pictureAt, 1.0 / kFps) << "click at " << clickAt << " s, picture at " << pictureAt;
        // PCM is exact to the sample; AAC within its frame of smear.
        if (format == RecordFormat::Avi) {
            EXPECT_NEAR(clickAt, pictureAt, 1.0 / 44100);
        }
        EXPECT_NEAR(m.soundEnd(), m.videoEnd(), 1.0 / kFps) << "sound " << m.soundEnd() << " s, video " << m.videoEnd();
        EXPECT_NEAR(m.videoEnd() - start, 8.0, 1.0 / kFps);
    }
    if (!std::getenv("KEEP")) (void)!std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(Recorder, ARateTheCodecLacksIsResampledOnceAndKeepsItsLength)
{
    const std::string dir = makeTempDir("pavonix-recorder-rate");
    // AAC has no 37800 Hz; PCM takes any rate.
    const Song song = clickSong(37800, 1, 3.0, 2.0);
    for (const RecordFormat format : {RecordFormat::Mp4, RecordFormat::Avi}) {
        SCOPED_TRACE(recordFormatName(format));
        const std::string path = dir + "/clip." + recordFormatName(format);
        std::string error;
        ASSERT_TRUE(renderClip(path, format, &song, 90, 60, error)) << error;
        const DecodedMedia m = decodeMedia(path);
        ASSERT_TRUE(m.opened);
        if (format == RecordFormat::Avi)
            EXPECT_EQ(m.sampleRate, 37800);
        else
            EXPECT_NE(m.sampleRate, 37800);
        EXPECT_EQ(m.channels, 1);
        ASSERT_EQ(m.frameTimes.size(), 90u);
        EXPECT_NEAR(firstLoudSample(m, 0.5f), m.frameTimes[60], 1.0 / kFps);
        EXPECT_NEAR(m.soundEnd(), m.videoEnd(), 1.0 / kFps);
    }
    if (!std::getenv("KEEP")) (void)!std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(Recorder, WithoutASongTheFileHasNoSoundTrack)
{
    const std::string dir = makeTempDir("pavonix-recorder-mute");
    const std::string path = dir + "/mute.mkv";
    std::string error;
    ASSERT_TRUE(renderClip(path, RecordFormat::Mkv, nullptr, 30, 10, error)) << error;
    const DecodedMedia m = decodeMedia(path);
    ASSERT_TRUE(m.opened);
    EXPECT_EQ(m.frameTimes.size(), 30u);
    EXPECT_TRUE(m.soundCodec.empty());
    if (!std::getenv("KEEP")) (void)!std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(Recorder, ALiveRecordingDropsInsteadOfWaitingAndKeepsTheSoundWhole)
{
    const std::string dir = makeTempDir("pavonix-recorder-live");
    const std::string path = dir + "/live.mp4";
    Song song = clickSong(48000, 2, 20.0, 19.0);
    for (size_t i = 0; i < song.samples.size(); ++i)  // a steady tone: any hole shows
        song.samples[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440.0 * static_cast<double>(i / 2) / 48000));
    Recorder recorder;
    RecorderSettings s;
    s.path = path;
    s.format = RecordFormat::Mp4;
    s.width = 1280;
    s.height = 720;
    s.song = &song;
    s.live = true;
    std::string error;
    ASSERT_TRUE(recorder.open(s, error)) << error;
    SongCursor cursor;
    cursor.song = &song;
    cursor.playing = true;
    long queued = 0;
    const auto offer = [&](int k) {
        if (unsigned char* slot = recorder.pictureSlot()) {
            std::memset(slot, (k * 7) & 0xFF, static_cast<size_t>(1280) * 720 * 4);
            recorder.commitPicture();
        }
        cursor.frame = static_cast<int64_t>(k) * 1600;
        queued += recorder.queueFrame(k, cursor, true);
    };
    // Bursts of 60 frames offered back to back, far faster than the encoder takes them,
    // then a pause for it to catch up: in every burst the ring fills, frames become
    // repeats of the newest picture queued, and beyond what that can hold are left out
    // (their sound carried to the next frame queued).
    for (int k = 0; k < 300; ++k) {
        offer(k);
        if (k % 60 == 59)
            for (int wait = 0; wait < 600 && recorder.framesEncoded() < queued; ++wait) usleep(20000);
    }
    EXPECT_GT(recorder.framesDropped(), 0) << "the encoder kept up; nothing was shown";
    EXPECT_GT(recorder.framesRepeated(), 0);
    EXPECT_GT(recorder.picturesSkipped(), 0);
    EXPECT_EQ(queued + recorder.framesDropped(), 300);
    ASSERT_TRUE(recorder.close(error)) << error;
    const DecodedMedia m = decodeMedia(path);
    ASSERT_TRUE(m.opened);
    EXPECT_EQ(m.errors, 0);
    // Every frame queued, and the last one offered even when it was left out: the file
    // ends where the recording stopped.
    const long frames = static_cast<long>(m.frameTimes.size());
    EXPECT_TRUE(frames == queued || frames == queued + 1) << frames << " frames for " << queued << " queued";
    // The sound has no hole where frames were left out: ten seconds of it, as long as
    // the pictures.
    const double start = m.frameTimes.front();
    EXPECT_NEAR(m.videoEnd() - start, 10.0, 1.0 / 30);
    EXPECT_NEAR(m.soundEnd(), m.videoEnd(), 1.0 / 30);
    // ... and no silence where pictures were left out: the longest quiet stretch of a
    // steady tone is a few samples around its zero crossings.
    size_t longest = 0, run = 0;
    for (size_t i = m.sampleRate / 10; i + m.sampleRate / 10 < m.sound.size(); ++i) {
        run = std::fabs(m.sound[i]) < 0.01f ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    EXPECT_LT(static_cast<double>(longest) / m.sampleRate, 0.005) << "a hole in the sound";
    if (!std::getenv("KEEP")) (void)!std::system(("rm -rf '" + dir + "'").c_str());
}

// A recording whose process dies without a word (no trailer, no index, no flush at
// the end) still plays up to shortly before the cut.
TEST(Recorder, AFileCutOffByADeathStillPlays)
{
    const std::string dir = makeTempDir("pavonix-recorder-cut");
    const Song song = clickSong(48000, 2, 10.0, 9.0);
    for (const RecordFormat format : {RecordFormat::Mp4, RecordFormat::Mkv, RecordFormat::Avi}) {
        SCOPED_TRACE(recordFormatName(format));
        const std::string path = dir + "/cut." + recordFormatName(format);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Recorder recorder;
            RecorderSettings s;
            s.path = path;
            s.format = format;
            s.width = kWidth;
            s.height = kHeight;
            s.song = &song;
            s.live = false;
            std::string error;
            if (!recorder.open(s, error)) _exit(3);
            SongCursor cursor;
            cursor.song = &song;
            cursor.playing = true;
            // Six seconds at real speed, then gone.
            for (int k = 0; k < 180; ++k) {
                unsigned char* slot = recorder.pictureSlot();
                if (slot) fillPicture(slot, static_cast<unsigned char>(k));
                recorder.commitPicture();
                recorder.queueFrame(k, cursor, true);
                usleep(33333);
            }
            _exit(0);  // no destructor, no trailer
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        const DecodedMedia m = decodeMedia(path);
        ASSERT_TRUE(m.opened) << m.error;
        if (format != RecordFormat::Avi) {
            EXPECT_EQ(m.errors, 0);
        }
        ASSERT_FALSE(m.frameTimes.empty());
        EXPECT_GE(m.videoEnd(), 4.0);
        EXPECT_GE(m.soundEnd(), 4.0);
    }
    if (!std::getenv("KEEP")) (void)!std::system(("rm -rf '" + dir + "'").c_str());
}
