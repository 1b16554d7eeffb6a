// Every key, special key and menu entry reaches its effect on the application state.
// The open commands run with a dialog command, so no window is needed.
#include <gtest/gtest.h>
#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "animation/Motion.h"
#include "app/Commands.h"
#include "app/Display.h"
#include "app/Globals.h"
#include "app/Scene.h"
#include "app/imgproc/cvImgProc.h"
#include "common/ProgramRun.h"
#include "tracking/Marker.h"
#include "tracking/view/Tracker.h"

namespace {

// Messages go to standard error only: a modal dialog would wait for a click.
[[maybe_unused]] const int kQuietMessages = setenv("PAVONIX_NO_DIALOGS", "1", 1);

// The viewer's objects, made before the tests as main makes them before the event loop.
class ViewerEnvironment : public testing::Environment {
public:
    void SetUp() override { makeViewer(); }
};
[[maybe_unused]] testing::Environment* const kViewer =
    testing::AddGlobalTestEnvironment(new ViewerEnvironment);

struct Switch {
    unsigned char key;
    int menu;
    bool* flag;
};

void resetSwitches() {
    g_displayFps = g_displayAxis = g_displayMatrix = g_wireFrame = g_displayTwin = g_pauseMotion = false;
    g_displayShadow = true;
    debugImageMode = 0;
}

}  // namespace

TEST(Commands, SwitchKeysAndTheirMenuEntriesFlipOneFlagEach) {
    const Switch switches[] = {{'t', 6, &g_displayTwin},  {'f', 7, &g_displayFps},    {'x', 8, &g_displayAxis},
                               {'h', 10, &g_displayShadow}, {'a', 11, &g_displayMatrix}, {'w', 12, &g_wireFrame}};
    for (const Switch& s : switches) {
        for (int way = 0; way < 3; ++way) {
            resetSwitches();
            bool* all[] = {&g_displayTwin, &g_displayFps, &g_displayAxis, &g_displayShadow, &g_displayMatrix,
                           &g_wireFrame, &g_pauseMotion};
            bool before[7];
            for (int i = 0; i < 7; ++i) before[i] = *all[i];
            if (way == 0) keyboardPressed(s.key, 0, 0);
            if (way == 1) keyboardPressed(static_cast<unsigned char>(s.key - 32), 0, 0);
            if (way == 2) menuSelected(s.menu);
            for (int i = 0; i < 7; ++i) {
                if (all[i] == s.flag) {
                    EXPECT_NE(*all[i], before[i]) << s.key << " way " << way;
                } else {
                    EXPECT_EQ(*all[i], before[i]) << s.key << " changed another switch, way " << way;
                }
            }
        }
    }
    resetSwitches();
    keyboardPressed('b', 0, 0);
    EXPECT_EQ(debugImageMode, 1);
    menuSelected(9);
    EXPECT_EQ(debugImageMode, 0);
    keyboardPressed(' ', 0, 0);
    EXPECT_TRUE(g_pauseMotion);
    keyboardPressed(' ', 0, 0);
    EXPECT_FALSE(g_pauseMotion);

    // Look at me flips each model's own flag.
    modelSlots().model1.lookAtCamera = true;
    modelSlots().model2.lookAtCamera = false;
    keyboardPressed('L', 0, 0);
    EXPECT_FALSE(modelSlots().model1.lookAtCamera);
    EXPECT_TRUE(modelSlots().model2.lookAtCamera);
    menuSelected(5);
    EXPECT_TRUE(modelSlots().model1.lookAtCamera);
    EXPECT_FALSE(modelSlots().model2.lookAtCamera);

    // Keys without a command change nothing.
    resetSwitches();
    for (unsigned char key : {'\x1b', 'q', 'z', '1', '\r'}) keyboardPressed(key, 0, 0);
    menuSelected(0);
    menuSelected(kMenuEntryCount + 1);
    EXPECT_FALSE(g_displayFps || g_displayAxis || g_displayMatrix || g_wireFrame || g_displayTwin || g_pauseMotion);
    EXPECT_TRUE(g_displayShadow);
}

TEST(Commands, SmoothPoseIsOffByDefaultAndSwitchesTheDrawnPose) {
    EXPECT_FALSE(g_smoothPose);
    const bool found = viewerTracker().markerFound;
    double saved[3][4];
    std::memcpy(saved, viewerTracker().markerTransform, sizeof saved);
    // Off: the tracker's own pose is drawn.
    EXPECT_EQ(displayedMarkerTransform(), viewerTracker().markerTransform);
    keyboardPressed('g', 0, 0);
    EXPECT_TRUE(g_smoothPose);
    keyboardPressed('G', 0, 0);
    EXPECT_FALSE(g_smoothPose);
    menuSelected(17);
    ASSERT_TRUE(g_smoothPose);

    // On, with the marker in view: a filtered copy is drawn, and a jump is only partly taken.
    viewerTracker().markerFound = true;
    double pose[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 400}};
    std::memcpy(viewerTracker().markerTransform, pose, sizeof pose);
    for (int f = 0; f < 10; ++f) updateDisplayedPose(f / 30.0);
    EXPECT_NE(displayedMarkerTransform(), viewerTracker().markerTransform);
    viewerTracker().markerTransform[0][3] = 2.0;
    updateDisplayedPose(10 / 30.0);
    EXPECT_GT(displayedMarkerTransform()[0][3], 0.0);
    EXPECT_LT(displayedMarkerTransform()[0][3], 2.0);
    // Lost: back to the tracker's pose, and found again it starts from the new one.
    viewerTracker().markerFound = false;
    updateDisplayedPose(11 / 30.0);
    EXPECT_EQ(displayedMarkerTransform(), viewerTracker().markerTransform);
    viewerTracker().markerFound = true;
    viewerTracker().markerTransform[0][3] = 50.0;
    updateDisplayedPose(12 / 30.0);
    EXPECT_DOUBLE_EQ(displayedMarkerTransform()[0][3], 50.0);

    menuSelected(17);
    EXPECT_FALSE(g_smoothPose);
    updateDisplayedPose(13 / 30.0);
    EXPECT_EQ(displayedMarkerTransform(), viewerTracker().markerTransform);
    viewerTracker().markerFound = found;
    std::memcpy(viewerTracker().markerTransform, saved, sizeof saved);
}

TEST(Commands, ThresholdScaleAndTwinOffset) {
    viewerTracker().autoThreshold = true;
    viewerTracker().threshold = 77;
    keyboardPressed('e', 0, 0);
    EXPECT_FALSE(viewerTracker().autoThreshold);
    EXPECT_EQ(viewerTracker().threshold, 130);
    menuSelected(13);
    EXPECT_TRUE(viewerTracker().autoThreshold);
    EXPECT_EQ(viewerTracker().threshold, kLocalThreshold);

    viewerTracker().modelScale = 0.16;
    keyboardPressed('+', 0, 0);
    EXPECT_NEAR(viewerTracker().modelScale, 0.15, 1e-9);
    keyboardPressed('-', 0, 0);
    keyboardPressed('-', 0, 0);
    EXPECT_NEAR(viewerTracker().modelScale, 0.17, 1e-9);
    for (int i = 0; i < 100; ++i) keyboardPressed('+', 0, 0);
    EXPECT_NEAR(viewerTracker().modelScale, 0.01, 1e-9);
    for (int i = 0; i < 200; ++i) keyboardPressed('-', 0, 0);
    EXPECT_NEAR(viewerTracker().modelScale, 0.8, 1e-9);

    modelSlots().twinOffset[0] = 15.0f;
    modelSlots().twinOffset[1] = modelSlots().twinOffset[2] = 0.0f;
    const struct {
        int key;
        float x, y, z;
    } moves[] = {{GLUT_KEY_LEFT, 14, 0, 0},   {GLUT_KEY_RIGHT, 15, 0, 0},    {GLUT_KEY_UP, 15, 0, 1},
                 {GLUT_KEY_DOWN, 15, 0, 0},   {GLUT_KEY_PAGE_UP, 15, -1, 0}, {GLUT_KEY_PAGE_DOWN, 15, 0, 0},
                 {GLUT_KEY_RIGHT, 16, 0, 0},  {GLUT_KEY_F1, 16, 0, 0},       {GLUT_KEY_INSERT, 16, 0, 0},
                 {GLUT_KEY_HOME, 15, 0, 0}};
    for (const auto& m : moves) {
        specialKeyPressed(m.key, 0, 0);
        EXPECT_FLOAT_EQ(modelSlots().twinOffset[0], m.x) << m.key;
        EXPECT_FLOAT_EQ(modelSlots().twinOffset[1], m.y) << m.key;
        EXPECT_FLOAT_EQ(modelSlots().twinOffset[2], m.z) << m.key;
    }
}

TEST(Commands, OpenCommandsFollowTheDialog) {
    // Cancelled dialogs change nothing.
    setenv("PAVONIX_FILE_DIALOG", "false", 1);
    modelSlots().model1Loaded = false;
    g_displayTwin = true;
    modelSlots().twinOffset[0] = 3.0f;
    keyboardPressed('o', 0, 0);
    keyboardPressed('p', 0, 0);
    keyboardPressed('m', 0, 0);
    menuSelected(1);
    menuSelected(2);
    menuSelected(3);
    EXPECT_FALSE(modelSlots().model1Loaded);
    EXPECT_TRUE(g_displayTwin);
    EXPECT_FLOAT_EQ(modelSlots().twinOffset[0], 3.0f);

    // A model 2 that cannot be opened switches the twin off and still resets its offset.
    setenv("PAVONIX_FILE_DIALOG", "echo /nonexistent/folder/none.pmd", 1);
    keyboardPressed('P', 0, 0);
    EXPECT_FALSE(g_displayTwin);
    EXPECT_FLOAT_EQ(modelSlots().twinOffset[0], 15.0f);
    unsetenv("PAVONIX_FILE_DIALOG");
}

TEST(Commands, AMotionThatCannotBeOpenedLeavesBothMotionsAsTheyWere) {
    const std::string dance = std::string(PAVONIX_SOURCE_DIR) + "/Data/demo/dance.vmd";
    ASSERT_TRUE(openMotionFile(dance.c_str()));
    const int bones1 = modelSlots().motion1.boneTrackCount, bones2 = modelSlots().motion2.boneTrackCount;
    ASSERT_GT(bones1, 0);
    EXPECT_EQ(bones2, bones1);
    EXPECT_NE(modelSlots().motion1.boneTracks, modelSlots().motion2.boneTracks) << "the slots share one copy";
    EXPECT_FALSE(openMotionFile("/nonexistent/motion.vmd"));
    EXPECT_EQ(modelSlots().motion1.boneTrackCount, bones1);
    EXPECT_EQ(modelSlots().motion2.boneTrackCount, bones2);
}

TEST(Commands, CaptureKeyStartsAndStopsARecordingNextToTheExecutable) {
    const std::string folder = std::string(PAVONIX_BINARY_DIR) + "/tests";
    const auto before = listFilesWithPrefix(folder, "cap");
    viewerCapture().windowWidth = 64;
    viewerCapture().windowHeight = 48;
    keyboardPressed('c', 0, 0);
    EXPECT_TRUE(viewerCapture().capturing);
    menuSelected(15);
    EXPECT_FALSE(viewerCapture().capturing);
    auto after = listFilesWithPrefix(folder, "cap");
    for (const auto& f : before) after.erase(f);
    ASSERT_EQ(after.size(), 1u);
    std::remove(after.begin()->c_str());
}

TEST(Overlay, TheFrameRateReadsZeroDuringTheFirstSecond) {
    char line[64];
    viewerTracker().threshold = 130;
    for (int now = 0; now < 1000; now += 40) {
        countFpsFrame(now, line, sizeof line);
        ASSERT_STREQ(line, "FPS =   0.00, Th = 130") << now;
    }
    // 25 frames in the first second, renewed at 1000 ms.
    countFpsFrame(1000, line, sizeof line);
    EXPECT_STREQ(line, "FPS =  25.00, Th = 130");
    countFpsFrame(1500, line, sizeof line);
    EXPECT_STREQ(line, "FPS =  25.00, Th = 130");
}

TEST(Commands, RoomLightIsOffByDefaultAndItsSwitchLightsLikeThePaper) {
    ViewState& view = viewState();
    EXPECT_FALSE(view.display.roomLight);
    view.paperLight.reset();
    RoomLight warm;
    const float paper[3] = {0.6f, 0.45f, 0.3f};
    for (int c = 0; c < 3; ++c) {
        warm.paper[c] = paper[c];
        warm.black[c] = 0.03f;
    }
    view.paperLight.blend(warm, 1.0);

    // Off: the fixed light, whatever the paper shows.
    applySceneLight();
    for (int c = 0; c < 3; ++c) EXPECT_FLOAT_EQ(view.light.diffuse[c], 0.9f);
    keyboardPressed('i', 0, 0);
    EXPECT_TRUE(view.display.roomLight);
    applySceneLight();
    for (int c = 0; c < 3; ++c) EXPECT_FLOAT_EQ(view.light.diffuse[c], paper[c]) << c;
    keyboardPressed('I', 0, 0);
    EXPECT_FALSE(view.display.roomLight);
    menuSelected(19);
    EXPECT_TRUE(view.display.roomLight);
    // On, but nothing read yet: the fixed light until the marker is seen.
    view.paperLight.reset();
    applySceneLight();
    for (int c = 0; c < 3; ++c) EXPECT_FLOAT_EQ(view.light.diffuse[c], 0.9f);
    menuSelected(19);
    EXPECT_FALSE(view.display.roomLight);
    applySceneLight();
}
