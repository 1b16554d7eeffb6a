// Songs decoded with FFmpeg's libraries: every common format opens at its own rate with
// the right sound in the right channel, and a file that cannot be played is refused with
// a message naming it and what is wrong.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "SoundFiles.h"
#include "app/sound/Song.h"
#include "common/ProgramRun.h"

namespace {

struct TempDir {
    std::string path = makeTempDir("pavonix-song");
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

// Sign changes per second of one channel over [from, to) seconds: twice the frequency
// of a pure tone.
double toneFrequency(const Song& song, int channel, double from, double to) {
    const int64_t a = int64_t(from * song.sampleRate), b = std::min<int64_t>(int64_t(to * song.sampleRate), song.frames());
    int crossings = 0;
    for (int64_t i = a + 1; i < b; ++i) {
        const int16_t p = song.samples[size_t((i - 1) * song.channels + channel)];
        const int16_t q = song.samples[size_t(i * song.channels + channel)];
        if ((p < 0) != (q < 0)) ++crossings;
    }
    return crossings / (2.0 * double(b - a) / song.sampleRate);
}

double rms(const Song& song, int channel) {
    double sum = 0;
    for (int64_t i = 0; i < song.frames(); ++i) {
        const double v = song.samples[size_t(i * song.channels + channel)];
        sum += v * v;
    }
    return song.frames() > 0 ? std::sqrt(sum / double(song.frames())) : 0.0;
}

}  // namespace

TEST(Song, EveryCommonFormatOpensAtItsOwnRateWithItsTone) {
    struct Format {
        const char* file;
        const char* encoder;
        int rate;
        int channels;
    };
    const Format formats[] = {
        {"tone.wav", "pcm_s16le", 44100, 2},   {"float.wav", "pcm_f32le", 22050, 1},
        {"tone.mp3", "libmp3lame", 44100, 2},  {"tone.ogg", "libvorbis", 48000, 2},
        {"tone.flac", "flac", 96000, 1},       {"tone.m4a", "aac", 48000, 2},
        {"surround.flac", "flac", 48000, 6},
    };
    TempDir dir;
    int tried = 0;
    for (const Format& f : formats) {
        SCOPED_TRACE(f.file);
        if (!ffmpegHasEncoder(f.encoder)) {
            std::printf("skipping %s: the installed ffmpeg has no %s encoder\n", f.file, f.encoder);
            continue;
        }
        const std::string path = dir.path + "/" + f.file;
        ASSERT_TRUE(makeTone(path, f.encoder, 441.0, 3.0, f.rate, f.channels));
        Song song;
        std::string error;
        ASSERT_TRUE(decodeSong(path, song, error)) << error;
        ++tried;
        EXPECT_EQ(song.path, path);
        EXPECT_EQ(song.sampleRate, f.rate);
        EXPECT_EQ(song.channels, f.channels >= 2 ? 2 : 1);
        // Encoders pad the start and end a little; the containers say how much to cut.
        EXPECT_NEAR(song.seconds(), 3.0, 0.06);
        for (int c = 0; c < song.channels; ++c) {
            EXPECT_NEAR(toneFrequency(song, c, 1.0, 2.0), 441.0, 5.0) << "channel " << c;
            // lavfi's sine has an amplitude of 1/8 of full scale (an RMS near 2900);
            // lossy encoders and the mix-down of six channels take some of it.
            EXPECT_GT(rms(song, c), 500.0) << "channel " << c;
        }
    }
    if (tried == 0) GTEST_SKIP() << "the installed ffmpeg has none of the encoders";
}

TEST(Song, LosslessFilesDecodeToTheExactSamplesInTheirChannels) {
    TempDir dir;
    // Left a rising ramp, right a falling one at another pace: a swap, a shift or a
    // lost sample anywhere shows.
    const int frames = 12000;
    std::vector<int16_t> samples;
    for (int i = 0; i < frames; ++i) {
        samples.push_back(int16_t((i * 7) % 30000 - 15000));
        samples.push_back(int16_t(12000 - (i * 13) % 24000));
    }
    const std::string wav = dir.path + "/exact.wav";
    ASSERT_TRUE(writeWav(wav, 8000, 2, samples));
    std::vector<std::string> files = {wav};
    if (ffmpegHasEncoder("flac")) {
        ASSERT_TRUE(runFfmpeg({"-i", wav, "-c:a", "flac"}, dir.path + "/exact.flac"));
        files.push_back(dir.path + "/exact.flac");
    }
    for (const std::string& path : files) {
        SCOPED_TRACE(path);
        Song song;
        std::string error;
        ASSERT_TRUE(decodeSong(path, song, error)) << error;
        EXPECT_EQ(song.sampleRate, 8000);
        ASSERT_EQ(song.channels, 2);
        ASSERT_EQ(song.samples.size(), samples.size());
        EXPECT_TRUE(song.samples == samples);
    }
}

TEST(Song, FilesThatCannotBePlayedAreRefusedNamingTheFileAndWhatIsWrong) {
    TempDir dir;
    const std::string& d = dir.path;
    struct Case {
        std::string path;
        std::string says;  // part of the reason the message must give
    };
    std::vector<Case> cases = {{d + "/missing.wav", "no such file"}, {d, "folder"}};
    std::system(("touch '" + d + "/empty.mp3'").c_str());
    cases.push_back({d + "/empty.mp3", "empty"});
    {
        FILE* f = std::fopen((d + "/notes.ogg").c_str(), "w");
        ASSERT_NE(f, nullptr);
        for (int i = 0; i < 200; ++i) std::fprintf(f, "these are notes about a song, not the song itself\n");
        std::fclose(f);
        cases.push_back({d + "/notes.ogg", "not an audio file"});
    }
    if (runFfmpeg({"-f", "lavfi", "-i", "color=red:s=32x32", "-frames:v", "1"}, d + "/cover.png"))
        cases.push_back({d + "/cover.png", "no sound"});

    // Downloads cut short: the containers that say how long their sound is.
    std::vector<std::pair<std::string, std::string>> cut = {{"cut.wav", "pcm_s16le"}, {"cut.flac", "flac"},
                                                            {"cut.mp3", "libmp3lame"}, {"cut.m4a", "aac"},
                                                            {"cut.ogg", "libvorbis"}};
    for (const auto& [name, encoder] : cut) {
        if (!ffmpegHasEncoder(encoder)) {
            std::printf("skipping %s: the installed ffmpeg has no %s encoder\n", name.c_str(), encoder.c_str());
            continue;
        }
        const std::string whole = d + "/whole-" + name;
        ASSERT_TRUE(makeTone(whole, encoder, 441.0, 10.0, 44100, 2));
        ASSERT_TRUE(copyPrefix(whole, d + "/" + name, 0.5));
        cases.push_back({d + "/" + name, "truncated"});
    }

    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        Song song;
        song.path = "previous";
        song.sampleRate = 1234;
        song.channels = 1;
        song.samples = {1, 2, 3};
        std::string error;
        EXPECT_FALSE(decodeSong(c.path, song, error));
        EXPECT_NE(error.find("\"" + c.path + "\""), std::string::npos) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        std::printf("%s\n", error.c_str());
        EXPECT_EQ(song.path, "previous");
        EXPECT_EQ(song.sampleRate, 1234);
        EXPECT_EQ(song.samples.size(), 3u);
    }
}
