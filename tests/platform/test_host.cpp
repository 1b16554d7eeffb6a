// The host services: the scripted file dialog, message output, the clock and the GL
// entry-point lookup.

#include "common/GLContext.h"
#include "platform/Clock.h"
#include "platform/GLProcs.h"
#include "platform/HostUI.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

std::string currentDir() {
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) : std::string();
}

// Runs one test inside a scratch folder with PAVONIX_FILE_DIALOG under its control.
class FileDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        oldCwd_ = currentDir();
        char pattern[] = "/tmp/pavonix_dialog_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(mkdir((dir_ + "/models").c_str(), 0755), 0);
        FILE* f = std::fopen((dir_ + "/models/miku.pmd").c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    void TearDown() override {
        unsetenv("PAVONIX_FILE_DIALOG");
        (void)!chdir(oldCwd_.c_str());
        (void)!std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    bool choose(const std::string& command, std::string& path) {
        setenv("PAVONIX_FILE_DIALOG", command.c_str(), 1);
        return chooseOpenFile("PMD/PMX model", "*.pmd;*.pmx", "pmd", path);
    }
    std::string oldCwd_, dir_;
};

TEST_F(FileDialogTest, ChosenFileMakesItsFolderCurrent) {
    std::string path;
    ASSERT_TRUE(choose("printf '%s\\n' '" + dir_ + "/models/miku.pmd'; echo ignored second line", path));
    EXPECT_EQ(path, dir_ + "/models/miku.pmd");
    EXPECT_EQ(currentDir(), dir_ + "/models");
}

TEST_F(FileDialogTest, RelativeChoiceStillOpensAfterTheFolderChange) {
    std::string path;
    ASSERT_TRUE(choose("echo models/miku", path));  // no extension: the default one is added
    EXPECT_EQ(path, dir_ + "/models/miku.pmd");
    EXPECT_EQ(currentDir(), dir_ + "/models");
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0);
}

TEST_F(FileDialogTest, EmptyOutputOrFailureIsCancel) {
    std::string path = "before";
    EXPECT_FALSE(choose("true", path));
    EXPECT_FALSE(choose("echo", path));  // an empty first line
    EXPECT_FALSE(choose("echo '" + dir_ + "/models/miku.pmd'; exit 3", path));
    EXPECT_FALSE(choose("kill -9 $$", path));
    EXPECT_EQ(path, "before");
    EXPECT_EQ(currentDir(), dir_);
}

TEST(ShowMessage, WritesCaptionAndTextToStandardError) {
    setenv("PAVONIX_NO_DIALOGS", "1", 1);
    ::testing::internal::CaptureStderr();
    showMessage("cvImgProc::init", "cannot open \"頭.png\"");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "cvImgProc::init: cannot open \"頭.png\"\n");
}

TEST(Clock, LocalTimeMatchesTheSystemClock) {
    // Bracketed by the clock localTimeNow reads: std::time comes from the coarse clock,
    // which can still show the last second a few milliseconds into the next one.
    auto realtimeSeconds = [] {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return now.tv_sec;
    };
    const time_t before = realtimeSeconds();
    const LocalTime t = localTimeNow();
    const time_t after = realtimeSeconds();
    tm b{}, a{};
    localtime_r(&before, &b);
    localtime_r(&after, &a);
    EXPECT_EQ(t.year, b.tm_year + 1900);
    EXPECT_TRUE(t.month == b.tm_mon + 1 || t.month == a.tm_mon + 1);
    EXPECT_TRUE(t.minute == b.tm_min || t.minute == a.tm_min);
    EXPECT_TRUE(t.second == b.tm_sec || t.second == a.tm_sec);
    EXPECT_GE(t.millisecond, 0);
    EXPECT_LE(t.millisecond, 999);
}

TEST(Clock, SleepLastsAtLeastOneMillisecond) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) sleepOneMillisecond();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5));
}

TEST(GLProcs, PresenceFollowsTheContextNotThePointer) {
    // Without a current context nothing can be known, whatever the name.
    EXPECT_EQ(lookupGLProc("glActiveTextureARB", "GL_ARB_multitexture", 0x13), nullptr);
    if (!ensureGLContext(64, 64)) GTEST_SKIP() << "no X display";

    EXPECT_NE(lookupGLProc("glActiveTextureARB", "GL_ARB_multitexture", 0), nullptr);
    EXPECT_NE(lookupGLProc("glGenBuffers", nullptr, 0x15), nullptr);
    // Mesa hands out a pointer for any name; the extension string decides.
    EXPECT_EQ(lookupGLProc("glFrobnicateXYZ", "GL_XYZ_frobnicate", 0), nullptr);
    EXPECT_EQ(lookupGLProc("glFuture", nullptr, 0x99), nullptr);
    // A prefix of a real extension name is not that extension.
    EXPECT_EQ(lookupGLProc("glActiveTextureARB", "GL_ARB_multi", 0), nullptr);

    EXPECT_EQ(loadGLProcs(), 0);
    ASSERT_NE(p_glActiveTextureARB, nullptr);
    ASSERT_NE(p_glGenBuffersARB, nullptr);
    // The pointers are real: a buffer object can be made and deleted through them.
    GLuint buffer = 0;
    p_glGenBuffersARB(1, &buffer);
    EXPECT_NE(buffer, 0u);
    p_glDeleteBuffersARB(1, &buffer);
}

}  // namespace
