// Recordings of the real program: a recording killed outright still plays in every
// container, and paths on the command line land where the user typed them, however
// opening a model moves the current folder.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "LiveProgram.h"
#include "common/MediaReadBack.h"
#include "common/ProgramRun.h"

namespace {

const std::string kSource = PAVONIX_SOURCE_DIR;

bool haveDisplay() { return std::getenv("DISPLAY") != nullptr; }

using Env = std::vector<std::pair<std::string, std::string>>;
const Env kQuiet = {{"PAVONIX_NO_DIALOGS", "1"}, {"PAVONIX_DATA", ""}, {"PAVONIX_VIDEO", ""}};

bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool waitForOutput(ProgramRun& run, const std::string& text, double seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    do {
        if (run.output().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (run.running() && std::chrono::steady_clock::now() < deadline);
    return false;
}

// `path` as seen from `folder`, through "..": what a user types for a file elsewhere.
std::string relativeFrom(const std::string& folder, const std::string& path)
{
    std::string up;
    for (char c : folder)
        if (c == '/') up += "../";
    return up + path.substr(1);
}

}  // namespace

TEST(Recording, AKilledRecordingStillPlaysInEveryContainer)
{
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    const std::string dir = makeTempDir("pavonix-kill9");
    // Twenty seconds of a tone as the song (no sound card needed: SDL's dummy driver,
    // or none at all, and the song still goes into the recording).
    const int rate = 48000;
    std::vector<short> tone(static_cast<size_t>(20 * rate) * 2);
    for (size_t i = 0; i < tone.size() / 2; ++i)
        tone[2 * i] = tone[2 * i + 1] = static_cast<short>(8000 * std::sin(2 * M_PI * 440.0 * i / rate));
    ASSERT_TRUE(writeWav(dir + "/song.wav", rate, 2, tone));
    Env env = kQuiet;
    env.push_back({"SDL_AUDIODRIVER", "dummy"});
    for (const char* ext : {"mp4", "mkv", "avi"}) {
        SCOPED_TRACE(ext);
        const std::string path = dir + "/live." + ext;
        ProgramRun run;
        ASSERT_TRUE(run.start(pavonixExecutable(),
                              {"--demo", "--video", "virtual", "--audio", "song.wav", "--record", path}, dir, env));
        ASSERT_TRUE(waitForOutput(run, "recording into " + path, 60.0)) << run.output();
        std::this_thread::sleep_for(std::chrono::seconds(6));
        ASSERT_EQ(::kill(run.pid(), SIGKILL), 0);
        int status = 0;
        ASSERT_TRUE(run.wait(10.0, &status));
        const DecodedMedia m = decodeMedia(path);
        ASSERT_TRUE(m.opened) << path << ": " << m.error;
        ASSERT_FALSE(m.frameTimes.empty()) << path;
        std::printf("%s killed after 6 s: %.2f s of video, %.2f s of sound\n", ext, m.videoEnd() - m.frameTimes.front(),
                    m.soundEnd() - m.frameTimes.front());
        // All but the last second or two is there, sound included.
        EXPECT_GE(m.videoEnd() - m.frameTimes.front(), 4.0) << path;
        EXPECT_EQ(m.sampleRate, rate) << path;
        EXPECT_GE(m.soundEnd() - m.frameTimes.front(), 4.0) << path;
        EXPECT_GT(firstLoudSample(m, 0.2f), -1.0) << path << ": the song is not in the sound track";
        // MP4 and Matroska open and read as if complete; an AVI without its index
        // is read by scanning, which FFmpeg may remark upon.
        if (std::string(ext) != "avi") {
            EXPECT_EQ(m.errors, 0) << path;
        }
    }
    (void)!std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(Recording, CommandLinePathsAreTakenFromTheStartingFolder)
{
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    const std::string dir = makeTempDir("pavonix-paths");
    // The model and motion given relative to the starting folder, from somewhere else:
    // opening the model moves into its folder, the outputs must not follow.
    const std::string model = relativeFrom(dir, kSource + "/Data/demo/pavo.pmd");
    const std::string motion = relativeFrom(dir, kSource + "/Data/demo/dance.vmd");
    std::string out;
    const int status = runToEnd(pavonixExecutable(),
                                {"--video", "virtual", "--model", model, "--motion", motion, "--frames", "30",
                                 "--screenshot", "shot.png", "--record", "clip.mkv"},
                                dir, kQuiet, 120.0, &out);
    ASSERT_EQ(status, 0) << out;
    EXPECT_TRUE(exists(dir + "/shot.png")) << out;
    EXPECT_TRUE(exists(dir + "/clip.mkv")) << out;
    EXPECT_FALSE(exists(kSource + "/Data/demo/shot.png"));
    EXPECT_FALSE(exists(kSource + "/Data/demo/clip.mkv"));
    EXPECT_EQ(out.find("Cannot load"), std::string::npos) << out;
    const DecodedMedia m = decodeMedia(dir + "/clip.mkv");
    EXPECT_GT(m.frameTimes.size(), 0u);
    (void)!std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(Recording, TheCaptureKeyRecordsTheKindAsked)
{
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    LiveProgram app({"--capture-format", "mp4"});
    ASSERT_TRUE(app.ok()) << app.run().output();
    ASSERT_TRUE(app.key("c"));
    ASSERT_TRUE(waitForOutput(app.run(), "recording into", 20.0)) << app.run().output();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(app.key("c"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    const auto files = app.newOutputFiles("cap", ".mp4");
    ASSERT_EQ(files.size(), 1u) << app.run().output();
    const DecodedMedia m = decodeMedia(*files.begin());
    EXPECT_EQ(m.videoCodec, "h264");
    EXPECT_GE(m.frameTimes.size(), 15u);
    EXPECT_TRUE(app.newOutputFiles("cap", ".avi").empty());
    std::remove(files.begin()->c_str());
}

namespace {

// Runs of near-silence at least minSeconds long in the sound: (start, length) pairs.
std::vector<std::pair<double, double>> silentRuns(const DecodedMedia& m, double minSeconds)
{
    std::vector<std::pair<double, double>> runs;
    size_t from = 0;
    bool quiet = false;
    for (size_t i = 0; i <= m.sound.size(); ++i) {
        const bool q = i < m.sound.size() && std::fabs(m.sound[i]) < 0.01f;
        if (q && !quiet) from = i;
        if (!q && quiet) {
            const double length = static_cast<double>(i - from) / m.sampleRate;
            if (length >= minSeconds) runs.push_back({m.soundStart + static_cast<double>(from) / m.sampleRate, length});
        }
        quiet = q;
    }
    return runs;
}

}  // namespace

// While paused the sound track is silent and the pictures go on; a restart takes the
// sound back to the song's start with the motion.
TEST(Recording, PauseSilencesTheSoundAndRestartTakesItBack)
{
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    const std::string dir = makeTempDir("pavonix-pause");
    // One second of silence, then a tone: a restart shows as a second of silence.
    const int rate = 48000;
    std::vector<short> song(static_cast<size_t>(30 * rate), 0);
    for (size_t i = rate; i < song.size(); ++i) song[i] = static_cast<short>(8000 * std::sin(2 * M_PI * 440.0 * i / rate));
    ASSERT_TRUE(writeWav(dir + "/song.wav", rate, 1, song));
    Env env = kQuiet;
    env.push_back({"SDL_AUDIODRIVER", "dummy"});
    ProgramRun run;
    ASSERT_TRUE(run.start(pavonixExecutable(),
                          {"--demo", "--video", "virtual", "--audio", "song.wav", "--record", "rec.avi"}, dir, env));
    ASSERT_TRUE(waitForOutput(run, "recording into", 60.0)) << run.output();
    const unsigned long window = findWindowByName("Pavonix : [[[ Capturing...]]]", 20.0);
    ASSERT_NE(window, 0ul);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_TRUE(sendKey(window, "space"));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_TRUE(sendKey(window, "space"));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_TRUE(sendKey(window, "r"));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    ASSERT_EQ(::kill(run.pid(), SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(run.wait(30.0, &status)) << run.output();

    const DecodedMedia m = decodeMedia(dir + "/rec.avi");
    ASSERT_TRUE(m.opened) << m.error;
    ASSERT_EQ(m.sampleRate, rate);
    // The pictures go on through the pause: the file is as long as the recording ran.
    EXPECT_GE(m.videoEnd(), 7.5);
    EXPECT_NEAR(m.soundEnd(), m.videoEnd(), 1.0 / 30);
    // Past the song's own first second: a pause of about two seconds, then the
    // restart's second of silence.
    std::vector<std::pair<double, double>> runs;
    for (const auto& r : silentRuns(m, 0.5))
        if (r.first > 1.2) runs.push_back(r);
    ASSERT_EQ(runs.size(), 2u) << run.output();
    std::printf("paused at %.2f s for %.2f s; restarted at %.2f s, silent for %.2f s\n", runs[0].first, runs[0].second,
                runs[1].first, runs[1].second);
    EXPECT_NEAR(runs[0].second, 2.0, 0.5);
    // The song's first second, plus the sound device's latency when it restarts (the
    // device's clock starts behind, and the motion waits with it).
    EXPECT_GE(runs[1].second, 0.9);
    EXPECT_LE(runs[1].second, 1.4);
    (void)!std::system(("rm -rf '" + dir + "'").c_str());
}
