// Files the user picks that cannot be used: a broken model empties only its own slot
// with a message naming the file, and a missing motion changes nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "LiveProgram.h"

namespace {

const std::string kDemo = std::string(PAVONIX_SOURCE_DIR) + "/Data/demo";

bool haveDisplay() { return std::getenv("DISPLAY") != nullptr; }

bool waitForOutput(ProgramRun& run, const std::string& text, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    do {
        if (run.output().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

}  // namespace

TEST(BadFiles, ABrokenModelEmptiesOnlyItsSlotAndAMissingMotionChangesNothing) {
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    const double head = headHeight(kDemo + "/pavo.pmd");
    ASSERT_GT(head, 5.0);
    LiveProgram app;
    ASSERT_TRUE(app.ok()) << app.run().output();
    const cv::Mat background = app.cameraPicture();
    ASSERT_FALSE(background.empty());
    ASSERT_TRUE(app.key("x"));

    // Not a model at all, and a PMX cut short in its vertex section.
    const std::string garbage = app.dir() + "/garbage.pmd";
    std::ofstream(garbage) << "this is not a model\n";
    const std::string truncated = app.dir() + "/truncated.pmx";
    {
        std::ifstream in(kDemo + "/pavo.pmx", std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_GT(bytes.size(), 2000u);
        std::ofstream(truncated, std::ios::binary) << bytes.substr(0, 2000);
    }

    const cv::Point2d first = app.project(0, head, 0), twin = app.project(-15, head, 0);
    app.chooseFile(kDemo + "/pavo.pmd");
    ASSERT_TRUE(app.key("o"));
    app.chooseFile(kDemo + "/pavo.pmx");
    ASSERT_TRUE(app.key("p"));
    const cv::Mat both = app.sceneShot();
    ASSERT_FALSE(both.empty());
    EXPECT_GT(changedShare(both, background, first, 5), 0.8) << app.run().output();
    EXPECT_GT(changedShare(both, background, twin, 5), 0.8);

    app.chooseFile(garbage);
    ASSERT_TRUE(app.key("o"));
    const cv::Mat onlyTwin = app.sceneShot();
    ASSERT_FALSE(onlyTwin.empty());
    EXPECT_LT(changedShare(onlyTwin, background, first, 5), 0.05);
    EXPECT_GT(changedShare(onlyTwin, background, twin, 5), 0.8);
    EXPECT_TRUE(waitForOutput(app.run(), "garbage.pmd", 5.0)) << app.run().output();

    app.chooseFile(kDemo + "/pavo.pmd");
    ASSERT_TRUE(app.key("o"));
    app.chooseFile(truncated);
    ASSERT_TRUE(app.key("p"));
    const cv::Mat onlyFirst = app.sceneShot();
    ASSERT_FALSE(onlyFirst.empty());
    EXPECT_GT(changedShare(onlyFirst, background, first, 5), 0.8) << app.run().output();
    EXPECT_LT(changedShare(onlyFirst, background, twin, 5), 0.05);
    EXPECT_TRUE(waitForOutput(app.run(), "truncated.pmx", 5.0)) << app.run().output();

    // A motion that cannot be opened: a message, and the scene as it was.
    app.chooseFile(app.dir() + "/missing.vmd");
    ASSERT_TRUE(app.key("m"));
    const cv::Mat after = app.sceneShot();
    ASSERT_FALSE(after.empty());
    EXPECT_TRUE(waitForOutput(app.run(), "missing.vmd", 5.0)) << app.run().output();
    EXPECT_GT(changedShare(after, background, first, 5), 0.8) << app.run().output();
    EXPECT_TRUE(app.run().running()) << app.run().output();
}
