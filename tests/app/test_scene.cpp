// The shell's rules that need no window: reshaping, timing, the shadow matrix, the
// command tables and the command line.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/Commands.h"
#include "app/Display.h"
#include "app/Scene.h"
#include "app/SceneLight.h"
#include "tracking/Labeling.h"

namespace {

// Applies a column-major 4x4 matrix to the point (x, y, z, 1) and divides by w.
void transformPoint(const float m[16], const float p[3], float out[3]) {
    float h[4];
    for (int r = 0; r < 4; ++r) h[r] = m[r] * p[0] + m[4 + r] * p[1] + m[8 + r] * p[2] + m[12 + r];
    for (int k = 0; k < 3; ++k) out[k] = h[k] / h[3];
}

}  // namespace

TEST(Reshape, KeepsTheCameraAspectAndNeverGrows) {
    int w = 0, h = 0;
    reshapeSize(1000, 300, 640, 480, &w, &h);
    EXPECT_EQ(w, 400);
    EXPECT_EQ(h, 300);
    reshapeSize(300, 1000, 640, 480, &w, &h);
    EXPECT_EQ(w, 300);
    EXPECT_EQ(h, 225);
    reshapeSize(640, 480, 640, 480, &w, &h);
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
    reshapeSize(1280, 720, 1280, 720, &w, &h);
    EXPECT_EQ(w, 1280);
    EXPECT_EQ(h, 720);
}

TEST(IdleTiming, FirstStepIsZeroLongStallsAreCappedPauseStops) {
    EXPECT_FLOAT_EQ(elapsedMotionFrames(5000, 0, false), 0.0f);
    EXPECT_NEAR(elapsedMotionFrames(1100, 1000, false), 3.0f, 1e-5f);
    // More than 333 ms advances by exactly 10 frames.
    EXPECT_FLOAT_EQ(elapsedMotionFrames(1400, 1000, false), 10.0f);
    EXPECT_FLOAT_EQ(elapsedMotionFrames(21000, 1000, false), 10.0f);
    EXPECT_FLOAT_EQ(elapsedMotionFrames(1100, 1000, true), 0.0f);
}

TEST(ShadowMatrix, FlattensPointsOntoTheGroundAlongRaysFromTheLight) {
    const float light[3] = {10.0f, 70.0f, -20.0f};
    const float plane[4] = {0.0f, 1.0f, 0.0f, 0.0f};
    float m[16];
    makeShadowMatrix(light, plane, m);

    const std::vector<std::vector<float>> points = {{0, 10, 0}, {3, 25, -4}, {-7, 1, 12}, {5, 0, 5}};
    for (const auto& p : points) {
        float s[3];
        transformPoint(m, p.data(), s);
        EXPECT_NEAR(s[1], 0.0f, 1e-4f);
        // The light, the point and its shadow lie on one line.
        const float d1[3] = {p[0] - light[0], p[1] - light[1], p[2] - light[2]};
        const float d2[3] = {s[0] - light[0], s[1] - light[1], s[2] - light[2]};
        const float cross[3] = {d1[1] * d2[2] - d1[2] * d2[1], d1[2] * d2[0] - d1[0] * d2[2],
                                d1[0] * d2[1] - d1[1] * d2[0]};
        const float scale = std::sqrt(d1[0] * d1[0] + d1[1] * d1[1] + d1[2] * d1[2]) *
                            std::sqrt(d2[0] * d2[0] + d2[1] * d2[1] + d2[2] * d2[2]);
        EXPECT_NEAR(std::sqrt(cross[0] * cross[0] + cross[1] * cross[1] + cross[2] * cross[2]) / scale, 0.0f, 1e-4f);
    }
    // A point already on the ground stays where it is.
    const float ground[3] = {5.0f, 0.0f, 5.0f};
    float s[3];
    transformPoint(m, ground, s);
    EXPECT_NEAR(s[0], 5.0f, 1e-4f);
    EXPECT_NEAR(s[2], 5.0f, 1e-4f);
}

TEST(Commands, KeysReachTheirMenuEntriesInBothCases) {
    const char* letters = "OPMRLTFXBHAWESCKGUIV";
    for (int i = 0; i < kMenuEntryCount; ++i) {
        EXPECT_EQ(menuEntryForKey(static_cast<unsigned char>(letters[i])), i + 1) << letters[i];
        EXPECT_EQ(menuEntryForKey(static_cast<unsigned char>(letters[i] + 32)), i + 1) << letters[i];
    }
    for (unsigned char key : {' ', '+', '-', '[', ']', '\x1b', 'q', 'z', '1'}) EXPECT_EQ(menuEntryForKey(key), 0) << key;
    // Each label carries its key as the shortcut in brackets at the end.
    for (int i = 0; i < kMenuEntryCount; ++i) {
        const std::string label = kMenuLabels[i];
        ASSERT_GE(label.size(), 3u);
        EXPECT_EQ(label.substr(label.size() - 3), std::string("[") + letters[i] + "]");
    }
    EXPECT_STREQ(kMenuLabels[0], "Open Model 1 (PMD/PMX)  [O]");
    EXPECT_STREQ(kMenuLabels[12], "Auto Threshold (On/Off) [E]");
}

TEST(Overlay, LinesAreFormattedAsShown) {
    char line[260];
    formatFpsLine(line, sizeof(line), 0.0f, 130);
    EXPECT_STREQ(line, "FPS =   0.00, Th = 130");
    formatFpsLine(line, sizeof(line), 29.97f, 87);
    EXPECT_STREQ(line, "FPS =  29.97, Th = 87");
    // Local thresholding has no one level: the line names the mode.
    formatFpsLine(line, sizeof(line), 29.97f, kLocalThreshold);
    EXPECT_STREQ(line, "FPS =  29.97, Th = auto");
    // The music's offset shows only while it is not zero, with its sign.
    formatFpsLine(line, sizeof(line), 29.97f, 87, 0);
    EXPECT_STREQ(line, "FPS =  29.97, Th = 87");
    formatFpsLine(line, sizeof(line), 29.97f, 87, 120);
    EXPECT_STREQ(line, "FPS =  29.97, Th = 87, Audio offset = +120 ms");
    formatFpsLine(line, sizeof(line), 29.97f, kLocalThreshold, -30);
    EXPECT_STREQ(line, "FPS =  29.97, Th = auto, Audio offset = -30 ms");
    double m[16] = {};
    for (int i = 0; i < 16; ++i) m[i] = i;
    formatMatrixLine(line, sizeof(line), m, 1);
    EXPECT_STREQ(line, "  1.00   5.00   9.00  13.00");
}

TEST(CommandLine, ParsesOptionsAndRefusesMistakes) {
    auto parse = [](std::vector<std::string> args, CommandLineOptions& o, std::string& e) {
        std::vector<char*> argv;
        static std::string name = "pavonix";
        argv.push_back(name.data());
        for (auto& a : args) argv.push_back(a.data());
        return parseCommandLine(static_cast<int>(argv.size()), argv.data(), o, e);
    };
    CommandLineOptions o;
    std::string e;
    ASSERT_TRUE(parse({"--model", "a.pmd", "--model2=b.pmx", "--motion", "d.vmd", "--frames", "60",
                       "--screenshot", "s.png", "--video", "virtual"},
                      o, e))
        << e;
    EXPECT_EQ(o.model1, "a.pmd");
    EXPECT_EQ(o.model2, "b.pmx");
    EXPECT_EQ(o.motion, "d.vmd");
    EXPECT_EQ(o.frames, 60);
    EXPECT_EQ(o.screenshot, "s.png");
    EXPECT_EQ(o.video, "virtual");

    CommandLineOptions none;
    EXPECT_TRUE(parse({}, none, e));
    EXPECT_TRUE(none.model1.empty());
    EXPECT_EQ(none.frames, 0);

    CommandLineOptions bad;
    EXPECT_FALSE(parse({"--frames", "0"}, bad, e));
    EXPECT_FALSE(parse({"--frames", "12x"}, bad, e));
    EXPECT_FALSE(parse({"--model"}, bad, e));
    EXPECT_FALSE(parse({"--bogus"}, bad, e));
    EXPECT_NE(e.find("--bogus"), std::string::npos);
    EXPECT_FALSE(parse({"--render", "out.avi", "--video", "virtual"}, bad, e));
    CommandLineOptions render;
    EXPECT_TRUE(parse({"--render", "out.avi", "--video", "file:in.avi"}, render, e)) << e;
    CommandLineOptions shot;
    EXPECT_FALSE(parse({"--screenshot", "x.png"}, shot, e));

    // A song and the motion's offset against it.
    CommandLineOptions music;
    ASSERT_TRUE(parse({"--audio", "song.mp3", "--audio-offset=-120"}, music, e)) << e;
    EXPECT_EQ(music.audio, "song.mp3");
    EXPECT_EQ(music.audioOffsetMs, -120);
    EXPECT_EQ(none.audioOffsetMs, 0);
    for (const char* offset : {"12ms", "", "70000", "-60001", "1.5"}) {
        CommandLineOptions wrong;
        EXPECT_FALSE(parse({"--audio", "song.mp3", "--audio-offset", offset}, wrong, e)) << offset;
        EXPECT_NE(e.find("--audio-offset"), std::string::npos) << e;
    }
    CommandLineOptions edge;
    EXPECT_TRUE(parse({"--audio-offset", "-60000"}, edge, e)) << e;
    EXPECT_FALSE(parse({"--audio"}, bad, e));
    EXPECT_FALSE(parse({"--audio="}, bad, e));
}

TEST(SceneLight, FixedWithoutAnEstimateAndScaledToThePaperWithOne) {
    // No estimate: exactly the light the viewer has always used.
    const SceneLight fixed = sceneLightFor(nullptr);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(fixed.diffuse[c], 0.9f);
        EXPECT_EQ(fixed.ambient[c], 0.9f);
        EXPECT_EQ(fixed.specular[c], 0.9f);
        EXPECT_EQ(fixed.modelAmbient[c], 0.2f);
        EXPECT_EQ(fixed.shadow[c], 0.2f);
    }
    EXPECT_EQ(fixed.diffuse[3], 1.0f);
    EXPECT_EQ(fixed.modelAmbient[3], 1.0f);
    EXPECT_EQ(fixed.shadow[3], 0.5f);

    // A neutral paper the camera sees at 0.9 gives the fixed light back.
    RoomLight reference;
    for (int c = 0; c < 3; ++c) {
        reference.paper[c] = 0.9f;
        reference.black[c] = 0.05f;
    }
    const SceneLight same = sceneLightFor(&reference);
    for (int c = 0; c < 4; ++c) {
        EXPECT_FLOAT_EQ(same.diffuse[c], fixed.diffuse[c]);
        EXPECT_FLOAT_EQ(same.modelAmbient[c], fixed.modelAmbient[c]);
        EXPECT_FLOAT_EQ(same.shadow[c], fixed.shadow[c]);
    }

    // A dim warm room: every term scales by the paper per channel, so a white diffuse
    // material facing the light shows the paper, and the shadow keeps its share.
    RoomLight warm;
    const float paper[3] = {0.62f, 0.47f, 0.30f};
    for (int c = 0; c < 3; ++c) {
        warm.paper[c] = paper[c];
        warm.black[c] = 0.04f;
    }
    const SceneLight lit = sceneLightFor(&warm);
    for (int c = 0; c < 3; ++c) {
        EXPECT_FLOAT_EQ(lit.diffuse[c], paper[c]);
        EXPECT_FLOAT_EQ(lit.ambient[c], paper[c]);
        EXPECT_FLOAT_EQ(lit.modelAmbient[c], 0.2f * paper[c] / 0.9f);
        // The shadowed paper: half of it plus half of the grey, the same share as 0.2 of 0.9 grey.
        EXPECT_NEAR(0.5f * paper[c] + 0.5f * lit.shadow[c], paper[c] * (0.5f + 0.1f / 0.9f), 1e-6f);
    }

    // A washed-out picture (ink barely below the paper): the shadow stops at the ink.
    RoomLight hazy;
    for (int c = 0; c < 3; ++c) {
        hazy.paper[c] = 0.6f;
        hazy.black[c] = 0.45f;
    }
    const SceneLight flat = sceneLightFor(&hazy);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(0.5f * 0.6f + 0.5f * flat.shadow[c], 0.45f, 1e-6f);
}
