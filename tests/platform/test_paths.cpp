// Texture names from Windows-made models: decoding, separators and letter case; where
// the data is found and where output goes.

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

TEST_F(PathsTest, DataFolderIsFoundInTheDocumentedOrder) {
    // A fake installation: prefix/bin holds the program, prefix/share/pavonix the data.
    ASSERT_EQ(std::system("mkdir -p prefix/bin prefix/share/pavonix prefix/Data prefix/bin/Data Data"), 0);
    const std::string exeDir = dir_ + "/prefix/bin";
    touch("prefix/share/pavonix/patt.00");

    // Folders without any start-up file (an unrelated ~/Data, say) are passed over.
    DataFolder found = findDataFolder(nullptr, exeDir);
    EXPECT_EQ(found.path, dir_ + "/prefix/share/pavonix");
    EXPECT_EQ(found.origin, "the installed data");
    ASSERT_EQ(found.searched.size(), 5u);
    EXPECT_EQ(found.searched[1], dir_ + "/Data");

    touch("prefix/Data/camera_para.dat");  // a build tree: Data/ one level above
    EXPECT_EQ(findDataFolder(nullptr, exeDir).path, dir_ + "/prefix/Data");
    touch("prefix/bin/Data/WDM_camera_flipV.xml");
    EXPECT_EQ(findDataFolder(nullptr, exeDir).path, exeDir + "/Data");
    touch("Data/patt.00");
    found = findDataFolder(nullptr, exeDir);
    EXPECT_EQ(found.path, dir_ + "/Data");
    EXPECT_EQ(dataFilePath(found, "patt.00"), dir_ + "/Data/patt.00");

    // PAVONIX_DATA comes first and, being explicit, is taken even without the files,
    // so the message names the file missing there rather than some other folder.
    ASSERT_EQ(mkdir("mine", 0755), 0);
    found = findDataFolder((dir_ + "/mine").c_str(), exeDir);
    EXPECT_EQ(found.path, dir_ + "/mine");
    const std::string text = describeDataFileProblem(found, dir_ + "/mine/camera_para.dat", "No such file");
    EXPECT_NE(text.find(dir_ + "/mine/camera_para.dat: No such file"), std::string::npos) << text;
    EXPECT_NE(text.find("PAVONIX_DATA"), std::string::npos) << text;

    // A PAVONIX_DATA that is no folder is refused, not silently replaced.
    found = findDataFolder((dir_ + "/nowhere").c_str(), exeDir);
    EXPECT_TRUE(found.path.empty());
    EXPECT_NE(found.problem.find(dir_ + "/nowhere"), std::string::npos);
    EXPECT_EQ(dataFilePath(found, "patt.00"), "Data/patt.00");
}

TEST_F(PathsTest, NoDataFolderListsEveryPlaceLookedAt) {
    ASSERT_EQ(std::system("mkdir -p prefix/bin"), 0);
    const DataFolder found = findDataFolder("", dir_ + "/prefix/bin");  // empty = unset
    EXPECT_TRUE(found.path.empty());
    const std::string text = describeDataFileProblem(found, "", "");
    for (const std::string& place : {std::string("PAVONIX_DATA (not set)"), dir_ + "/Data",
                                     dir_ + "/prefix/bin/Data", dir_ + "/prefix/Data", dir_ + "/prefix/share/pavonix"})
        EXPECT_NE(text.find(place), std::string::npos) << place << " missing from: " << text;
}

TEST_F(PathsTest, OutputFallsBackToAWritableFolderAndSaysWhere) {
    std::string note;
    EXPECT_EQ(chooseOutputFolder(dir_, &note), dir_);
    EXPECT_TRUE(note.empty());

    // A folder that does not exist, then one that cannot be written (root writes
    // anywhere, so that half needs an unprivileged user).
    EXPECT_EQ(chooseOutputFolder(dir_ + "/missing", &note), dir_);  // the current folder
    EXPECT_NE(note.find(dir_ + "/missing"), std::string::npos) << note;
    EXPECT_NE(note.find("saving into " + dir_), std::string::npos) << note;
    if (geteuid() != 0) {
        ASSERT_EQ(mkdir("locked", 0555), 0);
        EXPECT_EQ(chooseOutputFolder(dir_ + "/locked", &note), dir_);
        EXPECT_FALSE(note.empty());
    }
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
