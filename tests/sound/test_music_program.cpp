// The viewer with a song: the drawn motion follows the sound the device has played
// (checked against what SDL's disk driver wrote), pause and restart take the song
// along, the keys and the menu reach the music, and a song that cannot be played or a
// machine without sound leave the motion running.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SoundFiles.h"
#include "common/ProgramRun.h"

namespace {

const std::string kSource = PAVONIX_SOURCE_DIR;
constexpr int kRate = 48000;
constexpr int kDeviceFrameBytes = 4;  // 16-bit stereo

struct TempDir {
    std::string path = makeTempDir("pavonix-music-run");
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

// One line of PAVONIX_AUDIO_TRACE.
struct TraceLine {
    double t = 0;
    double motion = 0;
    long long song = -1, played = -1;
    int rate = -1, paused = 0;
    long long gen = -1;
};

std::vector<TraceLine> parseTrace(const std::string& output) {
    std::vector<TraceLine> lines;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        TraceLine l;
        if (std::sscanf(line.c_str(), "audio-trace: t %lf motion %lf song %lld played %lld rate %d paused %d gen %lld",
                        &l.t, &l.motion, &l.song, &l.played, &l.rate, &l.paused, &l.gen) == 7)
            lines.push_back(l);
    }
    return lines;
}

size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool waitFor(const std::function<bool()>& done, double seconds) {
    const double end = monotonicSeconds() + seconds;
    while (monotonicSeconds() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

void pauseSeconds(double s) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); }

// The size of a growing file, sampled every 2 ms on the same clock as the trace. Each
// sample notes the times just before and just after the size was read, since the
// sampling thread can be held up between the two on a busy machine.
class FileWatch {
public:
    explicit FileWatch(std::string path) : path_(std::move(path)) {
        samples_.reserve(40000);
        thread_ = std::thread([this] {
            while (!stop_) {
                Sample s;
                s.from = monotonicSeconds();
                s.size = fileSize(path_);
                s.to = monotonicSeconds();
                samples_.push_back(s);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }
    ~FileWatch() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    // Bounds of the file's size at t: read wholly before t (it can only have grown
    // since) and wholly after t (it can only have been smaller). -1 when unknown.
    void around(double t, long& before, long& after) const {
        before = after = -1;
        for (const Sample& s : samples_) {
            if (s.to <= t) before = s.size;
            if (s.from >= t) {
                after = s.size;
                break;
            }
        }
    }

private:
    struct Sample {
        double from, to;
        long size;
    };
    std::string path_;
    std::vector<Sample> samples_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// What the driver has written by t, in song frames: at least what the file held when
// read wholly before t, at most what it held when read wholly after t plus the one
// stdio buffer (4096 bytes) the driver's writes may still sit in, both less the silence
// the device played before its first buffer of the song. False when the watch was held
// up too long around t to tell (bounds more than two device buffers apart).
constexpr long kStdioBufferFrames = 4096 / kDeviceFrameBytes;
constexpr long kLongestGapFrames = 2048;
bool writtenAt(const FileWatch& watch, double t, long leadingSilence, double& low, double& high) {
    long before, after;
    watch.around(t, before, after);
    if (before < 0 || after < 0 || (after - before) / kDeviceFrameBytes > kLongestGapFrames) return false;
    low = double(before / kDeviceFrameBytes - leadingSilence);
    high = double(after / kDeviceFrameBytes + kStdioBufferFrames - leadingSilence);
    return true;
}

// Frames of silence at the start of the raw 16-bit stereo file before the song's
// tone (which starts at phase 0: its first frame is silent too).
long leadingSilentFrames(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return -1;
    long frames = 0;
    int16_t frame[2];
    while (std::fread(frame, sizeof frame, 1, f) == 1 && frame[0] == 0 && frame[1] == 0) ++frames;
    std::fclose(f);
    return frames > 0 ? frames - 1 : 0;
}

bool haveDisplay() { return std::getenv("DISPLAY") != nullptr; }

std::vector<std::pair<std::string, std::string>> quietEnv(const std::string& driver) {
    return {{"PAVONIX_NO_DIALOGS", "1"}, {"PAVONIX_AUDIO_TRACE", "1"}, {"SDL_AUDIODRIVER", driver}};
}

}  // namespace

// Twenty seconds of music on SDL's disk driver, set to play about 10 % slower than real
// time, with drawing held at 10 frames per second: every drawn frame shows the motion
// within one frame of what the bytes written so far stand for, not what the wall clock
// says; pausing holds both, resuming and restarting go on from where the song is.
TEST(MusicLive, TheMotionFollowsTheSoundThePlayerHasPlayedNotTheWallClock) {
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    TempDir dir;
    const std::string song = dir.path + "/song.wav";
    ASSERT_TRUE(makeTone(song, "pcm_s16le", 440.0, 20.0, kRate, 2));
    const std::string written = dir.path + "/played.raw";
    // The device takes 1024 frames (21.3 ms) at a time; the disk driver waits 23 ms
    // after writing each, and a little more on a busy machine.
    auto env = quietEnv("disk");
    env.push_back({"SDL_DISKAUDIOFILE", written});
    env.push_back({"SDL_DISKAUDIODELAY", "23"});
    env.push_back({"PAVONIX_MIN_FRAME_MS", "100"});
    constexpr int kOffsetMs = 150;
    const double offsetFrames = kOffsetMs * 0.03;
    auto motionAtFrames = [&](double frames) { return frames / kRate * 30.0 + offsetFrames; };

    ProgramRun run;
    ASSERT_TRUE(run.start(pavonixExecutable(),
                          {"--demo", "--video", "virtual", "--audio", song, "--audio-offset", std::to_string(kOffsetMs)},
                          kSource, env));
    const unsigned long window = findWindowByName("Pavonix", 30.0);
    ASSERT_NE(window, 0u) << run.output();
    ASSERT_TRUE(waitFor([&] { return !parseTrace(run.output()).empty(); }, 30.0)) << run.output();
    FileWatch watch(written);
    pauseSeconds(7.0);
    ASSERT_TRUE(sendKey(window, "space"));
    pauseSeconds(2.0);
    ASSERT_TRUE(sendKey(window, "space"));
    pauseSeconds(4.0);
    ASSERT_TRUE(sendKey(window, "r"));
    pauseSeconds(4.0);
    watch.stop();
    closeWindow(window);
    int status = -1;
    ASSERT_TRUE(run.wait(20.0, &status)) << "the viewer did not end";
    EXPECT_EQ(status, 0);

    const std::vector<TraceLine> trace = parseTrace(run.output());
    // Segments of one generation: playing, paused, resumed, restarted.
    std::vector<std::vector<TraceLine>> segments;
    for (const TraceLine& l : trace) {
        ASSERT_EQ(l.rate, kRate);
        ASSERT_GE(l.played, 0) << "the disk device was not used:\n" << run.output().substr(0, 2000);
        if (segments.empty() || segments.back().back().gen != l.gen) segments.emplace_back();
        segments.back().push_back(l);
    }
    ASSERT_EQ(segments.size(), 4u) << "expected playing, paused, resumed, restarted";
    const auto& playing = segments[0];
    const auto& paused = segments[1];
    const auto& resumed = segments[2];
    const auto& restarted = segments[3];
    ASSERT_GE(playing.size(), 40u);
    ASSERT_GE(paused.size(), 10u);
    ASSERT_GE(resumed.size(), 20u);
    ASSERT_GE(restarted.size(), 20u);

    // The device may play one buffer of silence before the song's first.
    const long silence = leadingSilentFrames(written);
    ASSERT_GE(silence, 0);
    EXPECT_LE(silence, 1024);

    // Every frame: the device frames the program counted as played are those the
    // driver wrote, within one motion frame (1600 frames at 48 kHz).
    int judged = 0;
    for (const TraceLine& l : trace) {
        double low, high;
        if (!writtenAt(watch, l.t, silence, low, high)) continue;
        ++judged;
        EXPECT_GE(l.played, low - kRate / 30) << "at " << l.t;
        EXPECT_LE(l.played, high + kRate / 30) << "at " << l.t;
    }
    EXPECT_GT(judged, int(trace.size()) * 3 / 4);

    // Before the pause: the motion is where the song frames written say, frame by frame...
    judged = 0;
    for (const TraceLine& l : playing) {
        double low, high;
        if (!writtenAt(watch, l.t, silence, low, high)) continue;
        ++judged;
        EXPECT_GE(l.motion, motionAtFrames(low) - 1.0) << "at " << l.t << ", played " << l.played;
        EXPECT_LE(l.motion, motionAtFrames(high) + 1.0) << "at " << l.t << ", played " << l.played;
    }
    EXPECT_GT(judged, int(playing.size()) * 3 / 4);
    // ...and not where the wall clock would have put it.
    const double songRate = (playing.back().motion - playing[5].motion) / ((playing.back().t - playing[5].t) * 30.0);
    std::printf("the song ran at %.3f of real time; the motion moved %.1f frames in %.2f s\n", songRate,
                playing.back().motion - playing[5].motion, playing.back().t - playing[5].t);
    EXPECT_LT(songRate, 0.97) << "the disk device did not run slow enough for the test to mean anything";
    EXPECT_GT(songRate, 0.5);

    // Paused: everything stands, at most one drawn frame's worth after the last.
    for (const TraceLine& l : paused) {
        EXPECT_EQ(l.paused, 1);
        EXPECT_DOUBLE_EQ(l.motion, paused.front().motion);
        EXPECT_EQ(l.song, paused.front().song);
    }
    EXPECT_GE(paused.front().motion, playing.back().motion);
    EXPECT_LE(paused.front().motion, playing.back().motion + 4.0);

    // Resumed: from where it stood, then on with the sound played since.
    // (The first frame drawn after the key comes up to one drawn frame, 100 ms, later.)
    EXPECT_GE(resumed.front().motion, paused.front().motion);
    EXPECT_LE(resumed.front().motion, paused.front().motion + 3.5);
    // Restarted: back at the song's start (the motion 150 ms ahead of it).
    EXPECT_GE(restarted.front().motion, offsetFrames - 1e-3);
    EXPECT_LE(restarted.front().motion, offsetFrames + 3.5);
    for (const auto* segment : {&resumed, &restarted}) {
        // From a frame drawn once the device has taken its first buffer after the jump,
        // the motion goes on with the sound written since.
        const TraceLine& ref = (*segment)[1];
        auto fromRef = [&](double frames) { return ref.motion + (frames - double(ref.played)) / kRate * 30.0; };
        judged = 0;
        for (size_t i = 2; i < segment->size(); ++i) {
            const TraceLine& l = (*segment)[i];
            double low, high;
            if (!writtenAt(watch, l.t, silence, low, high)) continue;
            ++judged;
            EXPECT_GE(l.motion, fromRef(low) - 1.0) << "at " << l.t << " after a jump, from " << ref.motion;
            EXPECT_LE(l.motion, fromRef(high) + 1.0) << "at " << l.t << " after a jump, from " << ref.motion;
        }
        EXPECT_GT(judged, int(segment->size()) / 2);
    }
    // The song never ended: the clock was the song's throughout.
    EXPECT_LT(resumed.back().song, 20LL * kRate);
}

// No sound device: one message with SDL's reason, the motion on the wall clock, and
// the song's cursor (what recordings carry) going along with the motion.
TEST(MusicLive, WithoutASoundDeviceTheMotionRunsOnTheWallClockAndTheSongFollowsIt) {
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    TempDir dir;
    const std::string song = dir.path + "/song.wav";
    ASSERT_TRUE(makeTone(song, "pcm_s16le", 440.0, 20.0, kRate, 2));
    auto env = quietEnv("no-such-driver");
    env.push_back({"PAVONIX_MIN_FRAME_MS", "50"});
    std::string output;
    const int status = runToEnd(pavonixExecutable(),
                                {"--demo", "--video", "virtual", "--audio", song, "--audio-offset", "-200", "--frames", "60"},
                                kSource, env, 120.0, &output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(countOf(output, "No sound device"), 1u) << output;
    EXPECT_NE(output.find("no-such-driver"), std::string::npos) << output;
    const std::vector<TraceLine> trace = parseTrace(output);
    ASSERT_GE(trace.size(), 50u);
    const TraceLine& a = trace[10];
    const TraceLine& b = trace.back();
    EXPECT_EQ(b.played, -1);
    EXPECT_EQ(a.gen, b.gen);
    // The motion keeps the wall clock (a frame's elapsed time is capped at 10 frames,
    // far above the 1.5 frames of 50 ms)...
    EXPECT_NEAR((b.motion - a.motion) / ((b.t - a.t) * 30.0), 1.0, 0.15);
    // ...and the song's cursor stands where the motion says, offset included.
    for (const TraceLine& l : trace) {
        if (l.motion <= 0.0) continue;  // the motion waits 200 ms for the song
        EXPECT_NEAR(l.motion, double(l.song) / kRate * 30.0 - 6.0, 0.01);
    }
}

// A song that cannot be played: its message, and the motion plays on without music.
TEST(MusicLive, ASongThatCannotBePlayedIsReportedAndTheMotionPlaysOn) {
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    TempDir dir;
    const std::string whole = dir.path + "/whole.wav";
    ASSERT_TRUE(makeTone(whole, "pcm_s16le", 440.0, 10.0, 44100, 2));
    ASSERT_TRUE(copyPrefix(whole, dir.path + "/cut.wav", 0.4));
    FILE* f = std::fopen((dir.path + "/lyrics.mp3").c_str(), "w");
    ASSERT_NE(f, nullptr);
    for (int i = 0; i < 100; ++i) std::fprintf(f, "la la la, these are the words and not the song\n");
    std::fclose(f);
    struct Case {
        std::string file, says;
    };
    for (const Case& c : {Case{dir.path + "/cut.wav", "truncated"}, Case{dir.path + "/lyrics.mp3", "not an audio file"},
                          Case{dir.path + "/gone.ogg", "no such file"}}) {
        SCOPED_TRACE(c.file);
        std::string output;
        const int status = runToEnd(pavonixExecutable(),
                                    {"--demo", "--video", "virtual", "--audio", c.file, "--frames", "30"}, kSource,
                                    quietEnv("dummy"), 120.0, &output);
        EXPECT_EQ(status, 0) << output;
        EXPECT_NE(output.find("Open Music: \"" + c.file + "\""), std::string::npos) << output;
        EXPECT_NE(output.find(c.says), std::string::npos) << output;
        const std::vector<TraceLine> trace = parseTrace(output);
        ASSERT_GE(trace.size(), 25u) << output;
        EXPECT_EQ(trace.back().song, -1) << "no song was taken";
        EXPECT_GT(trace.back().motion, trace[2].motion + 1.0) << "the motion stood still";
    }
}

// The commands a user has: U and the menu open a song through the file dialog, [ and ]
// move the motion against it 10 ms at a time, and opening a motion restarts the song.
TEST(MusicLive, KeysMenuAndDialogReachTheMusic) {
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    TempDir dir;
    const std::string first = dir.path + "/first.wav", second = dir.path + "/second.flac";
    ASSERT_TRUE(makeTone(first, "pcm_s16le", 330.0, 30.0, 22050, 1));
    ASSERT_TRUE(makeTone(second, "flac", 550.0, 30.0, 44100, 2));
    const std::string choice = dir.path + "/choice";
    auto env = quietEnv("dummy");
    env.push_back({"PAVONIX_MIN_FRAME_MS", "50"});
    env.push_back({"PAVONIX_FILE_DIALOG", "sh -c 'cat \"" + choice + "\" && rm -f \"" + choice + "\"'"});
    ProgramRun run;
    ASSERT_TRUE(run.start(pavonixExecutable(), {"--demo", "--video", "virtual"}, kSource, env));
    const unsigned long window = findWindowByName("Pavonix", 30.0);
    ASSERT_NE(window, 0u) << run.output();
    auto latest = [&] {
        const std::vector<TraceLine> t = parseTrace(run.output());
        return t.empty() ? TraceLine{} : t.back();
    };
    auto choose = [&](const std::string& path) {
        FILE* f = std::fopen((choice + "~").c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fprintf(f, "%s\n", path.c_str());
        std::fclose(f);
        std::rename((choice + "~").c_str(), choice.c_str());
    };
    ASSERT_TRUE(waitFor([&] { return latest().gen == -1 && latest().motion > 0; }, 30.0)) << run.output();

    choose(first);
    ASSERT_TRUE(sendKey(window, "u"));
    ASSERT_TRUE(waitFor([&] { return latest().rate == 22050; }, 20.0)) << run.output();
    // No offset yet: the motion at the song's seconds x 30.
    auto offsetNow = [&] {
        const TraceLine l = latest();
        return l.motion > 0.0 ? l.motion - double(l.song) / l.rate * 30.0 : 1e9;
    };
    ASSERT_TRUE(waitFor([&] { return std::fabs(offsetNow()) < 0.01; }, 10.0)) << offsetNow();
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(sendKey(window, "bracketright"));
    EXPECT_TRUE(waitFor([&] { return std::fabs(offsetNow() - 0.9) < 0.01; }, 10.0)) << offsetNow();
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(sendKey(window, "bracketleft"));
    EXPECT_TRUE(waitFor([&] { return std::fabs(offsetNow() + 0.6) < 0.01; }, 10.0)) << offsetNow();

    // A new motion starts the song again.
    ASSERT_TRUE(waitFor([&] { return latest().song > 2 * 22050; }, 20.0)) << run.output();
    const long long before = latest().gen;
    choose(kSource + "/Data/demo/dance.vmd");
    ASSERT_TRUE(sendKey(window, "m"));
    ASSERT_TRUE(waitFor([&] { return latest().gen != before; }, 20.0)) << run.output();
    const TraceLine restarted = latest();
    EXPECT_LT(restarted.song, 22050) << "the song did not go back to its start";
    EXPECT_LT(restarted.motion, 30.0);

    // The menu's last entry opens another song, at its own rate. (freeglut's entries
    // are nearer 25 than 24 pixels apart: the 18th lies 427..452 below the pointer.)
    choose(second);
    ASSERT_TRUE(clickMenu(window, 100, 60, 440));
    EXPECT_TRUE(waitFor([&] { return latest().rate == 44100; }, 20.0)) << run.output();
    closeWindow(window);
    int status = -1;
    EXPECT_TRUE(run.wait(20.0, &status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(run.output().find("Open Music:"), std::string::npos) << "no song was refused";
}
