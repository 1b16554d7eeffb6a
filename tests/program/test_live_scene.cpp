// The real program on a camera picture with a known marker pose, driven like a user:
// what each screenshot must show where the projection puts the model, its shadow, its
// mirror image and its twin.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "LiveProgram.h"

namespace {

const std::string kDemo = std::string(PAVONIX_SOURCE_DIR) + "/Data/demo";

bool haveDisplay() { return std::getenv("DISPLAY") != nullptr; }

struct ShadowCount {
    int shadow = 0;  // pixels darkened by the shadow quad
    int model = 0;   // pixels changed otherwise (a model or its mirror image)
};

ShadowCount classify(const cv::Mat& shot, const cv::Mat& background) {
    ShadowCount count;
    for (int y = 0; y < shot.rows; ++y) {
        for (int x = 0; x < shot.cols; ++x) {
            const cv::Vec4b p = shot.at<cv::Vec4b>(y, x), q = background.at<cv::Vec4b>(y, x);
            if (isShadowOf(p, q)) {
                ++count.shadow;
            } else if (std::abs(p[0] - q[0]) + std::abs(p[1] - q[1]) + std::abs(p[2] - q[2]) > 30) {
                ++count.model;
            }
        }
    }
    return count;
}

// Dark pixels in the text block at the top left, where the overlays write.
int darkPixelsInTextBlock(const cv::Mat& shot, int top, int bottom) {
    int n = 0;
    for (int y = top; y < bottom; ++y)
        for (int x = 8; x < 300; ++x) {
            const cv::Vec4b p = shot.at<cv::Vec4b>(y, x);
            if (p[0] < 40 && p[1] < 40 && p[2] < 40) ++n;
        }
    return n;
}

}  // namespace

TEST(LiveScene, ModelShadowMirrorTwinWireFrameAndMatrixText) {
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    const double head = headHeight(kDemo + "/pavo.pmd");
    ASSERT_GT(head, 5.0);
    LiveProgram app;
    ASSERT_TRUE(app.ok()) << app.run().output();

    // The marker is found but nothing is loaded: the camera picture alone.
    const cv::Mat background = app.cameraPicture();
    ASSERT_FALSE(background.empty()) << app.run().output();
    ASSERT_TRUE(app.key("x"));
    ASSERT_EQ(background.cols, 640);

    app.chooseFile(kDemo + "/pavo.pmd");
    ASSERT_TRUE(app.key("o"));
    app.chooseFile(kDemo + "/dance.vmd");
    ASSERT_TRUE(app.menu(3));
    ASSERT_TRUE(app.key("space"));  // one pose for every picture below
    const cv::Mat shadowOn = app.sceneShot();
    ASSERT_FALSE(shadowOn.empty());

    // Standing on the marker: the head is drawn where the projection puts it, and the
    // picture well beside it is the camera's.
    const cv::Point2d headPixel = app.project(0, head, 0);
    EXPECT_GT(changedShare(shadowOn, background, headPixel, 6), 0.8) << headPixel << app.run().output();
    EXPECT_LT(changedShare(shadowOn, background, app.project(40, head, 0), 6), 0.05);
    EXPECT_LT(changedShare(shadowOn, background, app.project(0, 3 * head, 0), 6), 0.05);

    const ShadowCount lit = classify(shadowOn, background);
    EXPECT_GT(lit.shadow, 300) << "no shadow on the ground";
    EXPECT_GT(lit.model, 2000) << app.run().output();

    // Shadow off: the mirror image appears below the marker instead.
    ASSERT_TRUE(app.key("h"));
    const cv::Mat mirror = app.sceneShot();
    ASSERT_FALSE(mirror.empty());
    const cv::Point2d below = app.project(0, -0.6 * head, 0);
    EXPECT_GT(changedShare(mirror, background, below, 5), 0.6) << below;
    EXPECT_LT(changedShare(shadowOn, background, below, 5, 60), 0.1);
    EXPECT_EQ(classify(mirror, background).shadow < lit.shadow / 4, true) << "shadow drawn with the mirror";

    // The shadow never darkens the model: the camera sees the upright model in front of
    // its mirror image, so every model pixel of the shadowed picture is the same in the
    // mirrored one.
    int modelPixels = 0, darkened = 0;
    for (int y = 0; y < shadowOn.rows; ++y)
        for (int x = 0; x < shadowOn.cols; ++x) {
            const cv::Vec4b a = shadowOn.at<cv::Vec4b>(y, x), b = mirror.at<cv::Vec4b>(y, x),
                            bg = background.at<cv::Vec4b>(y, x);
            if (isShadowOf(a, bg) || changedShare(shadowOn, background, cv::Point2d(x, y), 0, 30) == 0.0) continue;
            ++modelPixels;
            // Translucent parts let the mirror image show through, so only a pixel the
            // shadow quad darkened counts.
            if (isShadowOf(a, b)) ++darkened;
        }
    EXPECT_GT(modelPixels, 2000);
    EXPECT_LT(darkened, modelPixels / 200) << darkened << " model pixels differ between shadow and mirror";
    ASSERT_TRUE(app.key("h"));

    // Model 2 opens beside model 1, at x = -15 of the model frame.
    const cv::Point2d twinHead = app.project(-15, head, 0);
    EXPECT_LT(changedShare(shadowOn, background, twinHead, 5), 0.05);
    app.chooseFile(kDemo + "/pavo.pmd");
    // Opened while paused and shot at once: the first frame after opening must already
    // show the model posed.
    ASSERT_TRUE(app.key("p"));
    const cv::Mat twin = app.sceneShot();
    ASSERT_FALSE(twin.empty());
    EXPECT_GT(changedShare(twin, background, twinHead, 5), 0.8) << twinHead;
    EXPECT_GT(changedShare(twin, background, headPixel, 5), 0.8);

    // Up moves the offset's z up, so the twin comes forward (model z down).
    for (int i = 0; i < 15; ++i) ASSERT_TRUE(app.key("Up"));
    const cv::Mat moved = app.sceneShot();
    ASSERT_FALSE(moved.empty());
    const cv::Point2d movedHead = app.project(-15, head, -15);
    EXPECT_GT(changedShare(moved, background, movedHead, 5), 0.8) << movedHead;
    EXPECT_LT(changedShare(twin, background, movedHead, 5), 0.5);
    EXPECT_LT(changedShare(moved, background, twinHead, 5), 0.2);
    ASSERT_TRUE(app.key("Home"));

    // Wire frame: the camera picture shows between the lines; the shadow stays solid.
    const ShadowCount solid = classify(twin, background);
    ASSERT_TRUE(app.key("w"));
    const cv::Mat wire = app.sceneShot();
    ASSERT_FALSE(wire.empty());
    const ShadowCount lines = classify(wire, background);
    EXPECT_GT(changedShare(wire, twin, app.project(0, 0.5 * head, 0), 40, 30), 0.05);
    EXPECT_GE(lines.shadow, solid.shadow * 9 / 10) << "the shadow follows the wire frame";
    ASSERT_TRUE(app.key("w"));

    // The matrix text fills four lines below the frame-rate line; the camera picture
    // there holds no black.
    EXPECT_EQ(darkPixelsInTextBlock(twin, 20, 75), 0);
    ASSERT_TRUE(app.menu(11));
    const cv::Mat matrix = app.sceneShot();
    ASSERT_FALSE(matrix.empty());
    EXPECT_GT(darkPixelsInTextBlock(matrix, 20, 75), 200);
    EXPECT_EQ(darkPixelsInTextBlock(matrix, 0, 19), 0) << "the frame-rate line is off";
    ASSERT_TRUE(app.key("f"));
    const cv::Mat fps = app.sceneShot();
    ASSERT_FALSE(fps.empty());
    EXPECT_GT(darkPixelsInTextBlock(fps, 8, 24), 50);

    EXPECT_TRUE(app.run().running()) << app.run().output();
}
