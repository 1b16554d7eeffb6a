// The viewer started the way users start it: from any folder, with its data elsewhere,
// installed into a prefix, and asked about cameras on a machine that has none.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <opencv2/imgcodecs.hpp>
#include <string>

#include "common/ProgramRun.h"

namespace {

const std::string kSource = PAVONIX_SOURCE_DIR;
const std::string kBinary = PAVONIX_BINARY_DIR;

bool haveDisplay() { return std::getenv("DISPLAY") != nullptr; }

using Env = std::vector<std::pair<std::string, std::string>>;

// Nothing from the test's own environment decides where the data is.
Env quietEnv(const std::string& data = "") { return {{"PAVONIX_NO_DIALOGS", "1"}, {"PAVONIX_DATA", data}, {"PAVONIX_VIDEO", ""}}; }

// Pixels of the demo peacock's blue body: the virtual camera's table and marker have
// none, so a screenshot with many of them shows the character drawn.
int bluePixels(const std::string& png) {
    const cv::Mat image = cv::imread(png, cv::IMREAD_COLOR);
    int count = 0;
    for (int y = 0; y < image.rows; ++y)
        for (int x = 0; x < image.cols; ++x) {
            const cv::Vec3b p = image.at<cv::Vec3b>(y, x);
            count += p[0] > p[2] + 60 && p[0] > 120;
        }
    return count;
}

// Runs exe with the demo for a few frames in workDir; returns the screenshot's path
// (empty when the run failed, with the reason in *out).
std::string demoShot(const std::string& exe, const std::string& workDir, const Env& env, std::string* out) {
    const std::string shot = workDir + "/demo.png";
    const int status =
        runToEnd(exe, {"--demo", "--video", "virtual", "--frames", "20", "--screenshot", shot}, workDir, env, 120.0, out);
    struct stat st;
    if (status != 0 || stat(shot.c_str(), &st) != 0) return std::string();
    return shot;
}

void removeTree(const std::string& dir) { (void)!std::system(("rm -rf '" + dir + "'").c_str()); }

}  // namespace

TEST(Anywhere, DemoRunsFromAFolderWithoutDataAndFromElsewhereWithPAVONIX_DATA) {
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    const std::string dir = makeTempDir("pavonix-anywhere");
    std::string out;
    // The build tree's data is found beside the program, not in the current folder.
    std::string shot = demoShot(pavonixExecutable(), dir, quietEnv(), &out);
    ASSERT_FALSE(shot.empty()) << out;
    EXPECT_GT(bluePixels(shot), 2000) << "the demo character is missing from " << shot;
    EXPECT_EQ(out.find("camera."), std::string::npos) << out;

    // A copy of the data elsewhere, named by PAVONIX_DATA, is the one used.
    const std::string data = dir + "/mydata";
    ASSERT_EQ(std::system(("cp -r '" + kSource + "/Data' '" + data + "'").c_str()), 0);
    std::remove(shot.c_str());
    shot = demoShot(pavonixExecutable(), dir, quietEnv(data), &out);
    ASSERT_FALSE(shot.empty()) << out;
    EXPECT_GT(bluePixels(shot), 2000);
    // Proof that it was this copy: without its calibration the start fails naming it.
    std::remove((data + "/camera_para.dat").c_str());
    const int status = runToEnd(pavonixExecutable(), {"--frames", "5"}, dir, quietEnv(data), 60.0, &out);
    EXPECT_EQ(status, 254) << out;
    EXPECT_NE(out.find("Error loading parameter file for camera."), std::string::npos) << out;
    EXPECT_NE(out.find(data + "/camera_para.dat: No such file or directory"), std::string::npos) << out;
    EXPECT_NE(out.find("PAVONIX_DATA"), std::string::npos) << out;
    EXPECT_EQ(out.find("Unable to open connection to camera"), std::string::npos) << out;
    removeTree(dir);
}

TEST(Anywhere, AMissingDataFolderIsNamedNotBlamedOnTheCamera) {
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    const std::string dir = makeTempDir("pavonix-nodata");
    std::string out;
    const int status = runToEnd(pavonixExecutable(), {"--frames", "5"}, dir, quietEnv(dir + "/none"), 60.0, &out);
    EXPECT_EQ(status, 254) << out;
    EXPECT_NE(out.find(dir + "/none"), std::string::npos) << out;
    EXPECT_NE(out.find("PAVONIX_DATA"), std::string::npos) << out;
    EXPECT_EQ(out.find("camera."), std::string::npos) << out;

    // A broken video configuration is reported as that file.
    ASSERT_EQ(std::system(("cp -r '" + kSource + "/Data' '" + dir + "/data'").c_str()), 0);
    ASSERT_EQ(std::system(("echo 'not xml' > '" + dir + "/data/WDM_camera_flipV.xml'").c_str()), 0);
    runToEnd(pavonixExecutable(), {"--frames", "5"}, dir, quietEnv(dir + "/data"), 60.0, &out);
    EXPECT_NE(out.find(dir + "/data/WDM_camera_flipV.xml"), std::string::npos) << out;
    EXPECT_EQ(out.find("Unable to open connection to camera"), std::string::npos) << out;
    removeTree(dir);
}

TEST(Anywhere, ListCamerasSaysPlainlyWhenThereAreNone) {
    const std::string dir = makeTempDir("pavonix-nocams");
    std::string out;
    EXPECT_EQ(runToEnd(pavonixExecutable(), {"--list-cameras"}, dir, {{"PAVONIX_DEV_DIR", dir}}, 30.0, &out), 0);
    EXPECT_EQ(out, "No cameras found: there is no " + dir + "/video* device on this machine.\n");
    // This machine's own /dev, whatever it holds: the listing ends normally.
    EXPECT_EQ(runToEnd(pavonixExecutable(), {"--list-cameras"}, dir, {}, 30.0, &out), 0) << out;
    EXPECT_FALSE(out.empty());
    removeTree(dir);
}

TEST(Install, PrefixHoldsProgramToolsDataDesktopEntryAndIconAndRunsFromTmp) {
    const std::string prefix = makeTempDir("pavonix-prefix");
    std::string out;
    ASSERT_EQ(runToEnd("/bin/sh", {"-c", "cmake --install '" + kBinary + "' --prefix '" + prefix + "' 2>&1"}, "/tmp",
                       {}, 300.0, &out),
              0)
        << out;
    for (const char* file : {"bin/pavonix", "bin/pavonix-track", "bin/pavonix-inspect", "bin/pavonix-make-marker",
                             "bin/pavonix-make-calibration", "bin/pavonix-make-demo", "bin/pavonix-make-toon",
                             "share/pavonix/camera_para.dat", "share/pavonix/toon/toon01.bmp",
                             "share/pavonix/toon/toon10.bmp",
                             "share/pavonix/patt.00", "share/pavonix/marker.png", "share/pavonix/WDM_camera_flipV.xml",
                             "share/pavonix/demo/pavo.pmd", "share/pavonix/demo/dance.vmd",
                             "share/applications/pavonix.desktop", "share/icons/hicolor/scalable/apps/pavonix.svg",
                             "share/man/man1/pavonix.1.gz", "share/man/man1/pavonix-track.1.gz",
                             "share/doc/pavonix/README.md"}) {
        EXPECT_EQ(access((prefix + "/" + file).c_str(), R_OK), 0) << file;
    }
    EXPECT_EQ(access((prefix + "/bin/pavonix").c_str(), X_OK), 0);

    if (access("/usr/bin/desktop-file-validate", X_OK) == 0) {
        EXPECT_EQ(runToEnd("/usr/bin/desktop-file-validate", {prefix + "/share/applications/pavonix.desktop"}, "/tmp",
                           {}, 30.0, &out),
                  0)
            << out;
        EXPECT_EQ(out, "");  // not even a hint
    } else {
        ADD_FAILURE() << "desktop-file-validate is missing: scripts/install-deps.sh installs desktop-file-utils";
    }

    if (haveDisplay()) {
        // The installed program finds its installed data from a folder that has none.
        const std::string work = makeTempDir("pavonix-installed-run");
        const std::string shot = demoShot(prefix + "/bin/pavonix", work, quietEnv(), &out);
        ASSERT_FALSE(shot.empty()) << out;
        EXPECT_GT(bluePixels(shot), 2000);
        EXPECT_EQ(out.find("toon ramp"), std::string::npos) << out;
        removeTree(work);
    }
    removeTree(prefix);
}
