// Offline rendering with a song: a click in the song at exactly 5 s and a sudden pose
// change in the motion at frame 150 must land on the same picture in every container,
// with sound and pictures of the same length, and the same file every run.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "animation/VmdWriter.h"
#include "common/MediaReadBack.h"
#include "common/MarkerClip.h"
#include "common/ProgramRun.h"

namespace {

const std::string kSource = PAVONIX_SOURCE_DIR;
constexpr int kFrames = 240;  // 8 s at 30 fps
constexpr int kRate = 44100;

bool haveDisplay() { return std::getenv("DISPLAY") != nullptr; }

// Quiet hum with one loud click starting at sample 5 * 44100 exactly.
bool writeClickSong(const std::string& path)
{
    const int frames = kFrames * kRate / 30;
    std::vector<short> samples(static_cast<size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i) {
        const bool click = i >= 5 * kRate && i < 5 * kRate + kRate / 500;
        const double v = click ? 0.9 : 0.02 * std::sin(2 * M_PI * 220.0 * i / kRate);
        samples[2 * i] = samples[2 * i + 1] = static_cast<short>(v * 32767);
    }
    return writeWav(path, kRate, 2, samples);
}

// The character stands still, jumps sideways at frame 150 and stands still again.
bool writeJumpMotion(const std::string& path)
{
    const std::string centre = "\x83\x5A\x83\x93\x83\x5E\x81\x5B";  // センター in CP932
    std::vector<VmdBoneKeyDef> keys(3);
    keys[0].name = keys[1].name = keys[2].name = centre;
    keys[0].frame = 0;
    keys[1].frame = 149;
    keys[2].frame = 150;
    keys[2].position[0] = 12.0f;
    return writeVMDFile(path.c_str(), keys, {});
}

int biggestChange(const DecodedMedia& m)
{
    int best = -1;
    for (size_t i = 1; i < m.frameChange.size(); ++i)
        if (best < 0 || m.frameChange[i] > m.frameChange[best]) best = static_cast<int>(i);
    return best;
}

std::string fileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

TEST(RenderSong, TheClickAndThePoseChangeLandOnTheSamePictureInEveryContainer)
{
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    const std::string dir = makeTempDir("pavonix-render-song");
    ASSERT_TRUE(writeMarkerClip(dir + "/still.avi", kFrames, true));
    ASSERT_TRUE(writeClickSong(dir + "/click.wav"));
    ASSERT_TRUE(writeJumpMotion(dir + "/jump.vmd"));
    const std::vector<std::pair<std::string, std::string>> env = {{"PAVONIX_NO_DIALOGS", "1"}, {"PAVONIX_DATA", ""}};

    const auto render = [&](const std::string& out, const char* offsetMs = "0") {
        std::string log;
        const int status = runToEnd(pavonixExecutable(),
                                    {"--video", "file:still.avi", "--render", out, "--model",
                                     kSource + "/Data/demo/pavo.pmd", "--motion", "jump.vmd", "--audio", "click.wav",
                                     "--audio-offset", offsetMs},
                                    dir, env, 300.0, &log);
        EXPECT_EQ(status, 0) << log;
        return status == 0;
    };
    for (const char* ext : {"mp4", "mkv", "avi"}) {
        SCOPED_TRACE(ext);
        const std::string out = std::string("song.") + ext;
        ASSERT_TRUE(render(out));
        const DecodedMedia m = decodeMedia(dir + "/" + out);
        ASSERT_TRUE(m.opened) << m.error;
        EXPECT_EQ(m.errors, 0);
        ASSERT_EQ(m.frameTimes.size(), static_cast<size_t>(kFrames));
        ASSERT_EQ(m.sampleRate, kRate) << "the song's own rate";
        const int changed = biggestChange(m);
        const double pictureAt = m.frameTimes[changed];
        const double clickAt = firstLoudSample(m, 0.5f);
        std::printf("%s: pose change at frame %d (%.4f s), click at %.4f s, sound %.4f s, video %.4f s\n", ext,
                    changed, pictureAt, clickAt, m.soundEnd(), m.videoEnd());
        EXPECT_NEAR(clickAt, pictureAt, 1.0 / 30) << "click at " << clickAt << " s, pose change at " << pictureAt;
        EXPECT_EQ(changed, 150) << "video frame k must show motion frame k";
        EXPECT_NEAR(m.soundEnd(), m.videoEnd(), 1.0 / 30);
    }
    // The same file every run.
    ASSERT_TRUE(render("again.avi"));
    EXPECT_TRUE(fileBytes(dir + "/song.avi") == fileBytes(dir + "/again.avi")) << "two renders differ";
    // An offset of one second makes the motion lead: the pose changes 30 frames before
    // the click, which stays where the song has it.
    ASSERT_TRUE(render("lead.avi", "1000"));
    const DecodedMedia lead = decodeMedia(dir + "/lead.avi");
    ASSERT_EQ(lead.frameTimes.size(), static_cast<size_t>(kFrames));
    EXPECT_EQ(biggestChange(lead), 120);
    EXPECT_NEAR(firstLoudSample(lead, 0.5f), 5.0, 1.0 / kRate);
    (void)!std::system(("rm -rf '" + dir + "'").c_str());
}
