// Texture names from Windows-made models: decoding, separators and letter case.

#include "platform/Paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// A scratch folder that is the current directory for one test.
class PathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        oldCwd_ = cwd;
        char pattern[] = "/tmp/pavonix_paths_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    void TearDown() override {
        if (!oldCwd_.empty()) (void)!chdir(oldCwd_.c_str());
        if (!dir_.empty()) (void)!std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    static void touch(const std::string& path) {
        FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr) << path;
        std::fclose(f);
    }
    std::string oldCwd_, dir_;
};

TEST_F(PathsTest, WindowsNameFindsFileWhateverTheCase) {
    ASSERT_EQ(mkdir("Tex", 0755), 0);
    touch("Tex/Body.PNG");
    touch("face.bmp");

    EXPECT_EQ(resolveTexturePath("tex\\body.png"), "Tex/Body.PNG");
    EXPECT_EQ(resolveTexturePath("TEX\\BODY.png"), "Tex/Body.PNG");
    EXPECT_EQ(resolveTexturePath(".\\Tex\\Body.PNG"), "./Tex/Body.PNG");  // exists as written
    EXPECT_EQ(resolveTexturePath("FACE.BMP"), "face.bmp");

    std::string resolved;
    EXPECT_TRUE(resolvePathCaseInsensitive(dir_ + "/tex/BODY.png", resolved));
    EXPECT_EQ(resolved, dir_ + "/Tex/Body.PNG");
    // A missing file gives false and leaves the output alone; the texture resolver
    // then returns the decoded name so the caller can report it.
    resolved = "unchanged";
    EXPECT_FALSE(resolvePathCaseInsensitive("tex/missing.png", resolved));
    EXPECT_EQ(resolved, "unchanged");
    EXPECT_FALSE(resolvePathCaseInsensitive("face.bmp/x", resolved));  // a file is no folder
    EXPECT_FALSE(resolvePathCaseInsensitive("", resolved));
    EXPECT_EQ(resolveTexturePath("tex\\missing.png"), "tex/missing.png");
    EXPECT_EQ(resolveTexturePath(""), "");
    EXPECT_EQ(resolveTexturePath(nullptr), "");
}

TEST_F(PathsTest, TrailByte5CIsNotAFolderSeparator) {
    // 表 is 95 5C in CP932: splitting on the raw 0x5C would cut the character in half.
    ASSERT_EQ(mkdir("表", 0755), 0);
    touch("表/skin.png");
    touch("表紙.PNG");
    EXPECT_EQ(resolveTexturePath("\x95\x5C\\skin.png"), "表/skin.png");
    EXPECT_EQ(resolveTexturePath("\x95\x5C\x8E\x86.png"), "表紙.PNG");
    // Not found: still decoded correctly, with only the real separator turned.
    EXPECT_EQ(resolveTexturePath("\x95\x5C\\none.png"), "表/none.png");
}

TEST(ExecutableDir, IsTheFolderOfThisTestProgram) {
    const std::string dir = executableDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir[0], '/');
    EXPECT_NE(dir.back(), '/');
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    const std::string exe(self);
    EXPECT_EQ(exe.substr(0, exe.rfind('/')), dir);
}

}  // namespace
