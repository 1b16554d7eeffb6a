// The Debian package as a user gets it: built by cpack from this build tree, its
// control fields and file list read back with dpkg-deb, and its contents unpacked
// into a scratch tree whose viewer draws the demo from an unrelated folder.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <opencv2/imgcodecs.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "common/ProgramRun.h"

namespace {

const std::string kBinary = PAVONIX_BINARY_DIR;

using Env = std::vector<std::pair<std::string, std::string>>;

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) parts.push_back(part);
    return parts;
}

std::string trim(const std::string& s) {
    const std::size_t begin = s.find_first_not_of(" \t\n");
    if (begin == std::string::npos) return "";
    return s.substr(begin, s.find_last_not_of(" \t\n") - begin + 1);
}

// Runs a shell command in dir; its exit status, with standard output and error in *out.
int shell(const std::string& command, const std::string& dir, std::string* out, double timeout = 120.0) {
    return runToEnd("/bin/sh", {"-c", command}, dir, {}, timeout, out);
}

std::string field(const std::string& info, const std::string& name) {
    for (const std::string& line : split(info, '\n')) {
        const std::string t = trim(line);
        if (t.rfind(name + ":", 0) == 0) return trim(t.substr(name.size() + 1));
    }
    return "";
}

bool isFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Pixels of the demo peacock's blue body: the virtual camera's table and marker have
// none, so a screenshot with many of them shows the character drawn.
int bluePixels(const cv::Mat& image) {
    int count = 0;
    for (int y = 0; y < image.rows; ++y)
        for (int x = 0; x < image.cols; ++x) {
            const cv::Vec3b p = image.at<cv::Vec3b>(y, x);
            count += p[0] > p[2] + 60 && p[0] > 120;
        }
    return count;
}

void removeTree(const std::string& dir) { (void)!std::system(("rm -rf '" + dir + "'").c_str()); }

class Package : public ::testing::Test {
protected:
    void SetUp() override { scratch_ = makeTempDir("pavonix-package"); }
    void TearDown() override {
        if (!HasFailure()) removeTree(scratch_);
    }
    std::string scratch_;
};

TEST_F(Package, CpackBuildsADebWithScannedDependenciesEveryFileAndAViewerThatRunsFromAnywhere) {
    std::string out;
    // The package goes into the scratch folder, so the build tree is only read.
    ASSERT_EQ(shell("cpack -G DEB --config '" + kBinary + "/CPackConfig.cmake' -B '" + scratch_ + "' 2>&1", scratch_,
                    &out, 600.0),
              0)
        << out;
    ASSERT_EQ(shell("dpkg --print-architecture", scratch_, &out), 0) << out;
    const std::string arch = trim(out);
    const std::string deb = scratch_ + "/pavonix_" PAVONIX_VERSION "_" + arch + ".deb";
    ASSERT_TRUE(isFile(deb)) << deb << " was not written; cpack said:\n" << out;

    // Control fields. Depends comes from dpkg-shlibdeps: one entry per Debian library
    // package the programs link, each a package this machine really has installed.
    std::string info;
    ASSERT_EQ(shell("dpkg-deb --info '" + deb + "'", scratch_, &info), 0) << info;
    EXPECT_EQ(field(info, "Package"), "pavonix") << info;
    EXPECT_EQ(field(info, "Version"), PAVONIX_VERSION) << info;
    EXPECT_EQ(field(info, "Architecture"), arch) << info;
    EXPECT_EQ(field(info, "Section"), "graphics") << info;
    EXPECT_NE(field(info, "Maintainer").find('@'), std::string::npos) << info;
    EXPECT_FALSE(field(info, "Description").empty()) << info;
    const std::string depends = field(info, "Depends");
    ASSERT_FALSE(depends.empty()) << "no Depends line:\n" << info;
    for (const char* library : {"libc6", "libstdc++6", "libbullet", "libopencv-core", "libopencv-imgproc",
                                "libopencv-imgcodecs", "libopencv-videoio", "libpng16", "libgl1", "libglut",
                                "libgtk-3", "libsdl2", "libavformat", "libavcodec", "libavutil", "libswresample",
                                "libswscale"}) {
        EXPECT_NE(depends.find(library), std::string::npos) << library << " missing from Depends: " << depends;
    }
    for (const std::string& entry : split(depends, ',')) {
        const std::string first = split(trim(split(entry, '|')[0]), ' ')[0];
        std::string status;
        shell("dpkg-query -W -f='${Status}' '" + first + "' 2>&1", scratch_, &status);
        EXPECT_NE(status.find("install ok installed"), std::string::npos)
            << "Depends names " << first << ", which is not an installed package: " << status;
    }

    // The file list: programs, data, menu entry, icon, manual pages and README, all
    // under /usr.
    std::string contents;
    ASSERT_EQ(shell("dpkg-deb --contents '" + deb + "'", scratch_, &contents), 0) << contents;
    std::vector<std::string> paths;
    for (const std::string& line : split(contents, '\n')) {
        const std::size_t at = line.find("./");
        if (at == std::string::npos) continue;
        const std::string path = line.substr(at + 2);
        paths.push_back(path);
        EXPECT_EQ(path.rfind("usr/", 0), 0u) << "outside /usr: " << path;
        EXPECT_EQ(path.find("usr/local"), std::string::npos) << path;
        // Installed files are readable by everyone and writable only by root.
        EXPECT_NE(line.find("root/root"), std::string::npos) << line;
        ASSERT_GE(line.size(), 10u) << line;
        EXPECT_TRUE(line[5] != 'w' && line[8] != 'w') << "writable by group or others: " << line;
    }
    std::vector<std::string> wanted = {"usr/bin/pavonix",
                                       "usr/share/pavonix/camera_para.dat",
                                       "usr/share/pavonix/patt.00",
                                       "usr/share/pavonix/marker.png",
                                       "usr/share/pavonix/WDM_camera_flipV.xml",
                                       "usr/share/pavonix/demo/",
                                       "usr/share/pavonix/demo/pavo.pmd",
                                       "usr/share/pavonix/demo/dance.vmd",
                                       "usr/share/pavonix/toon/toon01.bmp",
                                       "usr/share/pavonix/toon/toon10.bmp",
                                       "usr/share/applications/pavonix.desktop",
                                       "usr/share/icons/hicolor/scalable/apps/pavonix.svg",
                                       "usr/share/man/man1/pavonix.1.gz",
                                       "usr/share/doc/pavonix/README.md"};
    const std::vector<std::string> tools = split(PAVONIX_PACKAGE_TOOLS, ' ');
    ASSERT_FALSE(tools.empty());
    for (const std::string& tool : tools) {
        wanted.push_back("usr/bin/" + tool);
        wanted.push_back("usr/share/man/man1/" + tool + ".1.gz");
    }
    for (const std::string& path : wanted) {
        EXPECT_NE(std::find(paths.begin(), paths.end(), path), paths.end()) << path << " is not in the package";
    }

    // Unpacked as dpkg would, without installing.
    const std::string root = scratch_ + "/root";
    ASSERT_EQ(shell("dpkg-deb -x '" + deb + "' '" + root + "' 2>&1", scratch_, &out), 0) << out;

    // Every program starts (its libraries resolve) and was stripped; every manual page
    // is a gzipped page of its own name.
    std::vector<std::string> programs = tools;
    programs.insert(programs.begin(), "pavonix");
    for (const std::string& program : programs) {
        const std::string exe = root + "/usr/bin/" + program;
        ASSERT_EQ(shell("file -b '" + exe + "'", scratch_, &out), 0) << out;
        EXPECT_NE(out.find("ELF"), std::string::npos) << program << ": " << out;
        EXPECT_NE(out.find(", stripped"), std::string::npos) << program << ": " << out;
        shell("'" + exe + "' --help 2>&1", scratch_, &out);
        EXPECT_NE(out.find("sage: " + program + " "), std::string::npos) << program << " --help said:\n" << out;

        std::string upper = program;
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        ASSERT_EQ(shell("gzip -dc '" + root + "/usr/share/man/man1/" + program + ".1.gz'", scratch_, &out), 0) << out;
        EXPECT_EQ(out.rfind(".TH " + upper + " 1 ", 0), 0u) << program << ".1.gz starts with:\n"
                                                             << out.substr(0, 80);
    }

    // The menu entry starts the installed viewer by name and passes the validator.
    const std::string desktop = root + "/usr/share/applications/pavonix.desktop";
    ASSERT_EQ(shell("grep '^Exec=' '" + desktop + "'", scratch_, &out), 0) << out;
    EXPECT_EQ(split(trim(out), ' ')[0], "Exec=pavonix") << out;
    ASSERT_EQ(shell("grep '^Icon=' '" + desktop + "'", scratch_, &out), 0) << out;
    EXPECT_EQ(trim(out), "Icon=pavonix");
    ASSERT_EQ(shell("desktop-file-validate '" + desktop + "' 2>&1", scratch_, &out), 0) << out;
    EXPECT_EQ(out, "");

    // The unpacked tool reads the packaged calibration and pattern and finds the
    // packaged printable marker.
    const std::string share = root + "/usr/share/pavonix";
    ASSERT_EQ(shell("'" + root + "/usr/bin/pavonix-track' --camera '" + share + "/camera_para.dat' --pattern '" + share +
                        "/patt.00' '" + share + "/marker.png' 2>&1",
                    scratch_, &out),
              0)
        << out;
    EXPECT_NE(out.find("\"pattern\": 0"), std::string::npos) << out;

    if (std::getenv("DISPLAY") == nullptr) {
        GTEST_SKIP() << "no X display to run the unpacked viewer on";
    }
    // The unpacked viewer, started from a folder that has nothing of ours, finds the
    // packaged data beside its own folder and draws the demo through the virtual camera.
    const std::string elsewhere = makeTempDir("pavonix-package-cwd");
    const Env env = {{"PAVONIX_NO_DIALOGS", "1"}, {"PAVONIX_DATA", ""}, {"PAVONIX_VIDEO", ""}};
    const std::string shot = elsewhere + "/demo.png";
    const int status = runToEnd(root + "/usr/bin/pavonix",
                                {"--demo", "--video", "virtual", "--frames", "20", "--screenshot", "demo.png"},
                                elsewhere, env, 120.0, &out);
    ASSERT_EQ(status, 0) << out;
    const cv::Mat image = cv::imread(shot, cv::IMREAD_COLOR);
    ASSERT_FALSE(image.empty()) << shot << " was not written:\n" << out;
    cv::Scalar mean, deviation;
    cv::meanStdDev(image, mean, deviation);
    EXPECT_GT(deviation[0] + deviation[1] + deviation[2], 30.0) << "the screenshot is nearly one colour";
    EXPECT_GT(bluePixels(image), 2000) << "the demo character is missing from " << shot;
    EXPECT_EQ(out.find("toon ramp"), std::string::npos) << out;

    // It was the packaged data: without it the start fails and names where it looked.
    ASSERT_EQ(std::rename(share.c_str(), (share + ".away").c_str()), 0);
    EXPECT_NE(runToEnd(root + "/usr/bin/pavonix", {"--frames", "5"}, elsewhere, env, 60.0, &out), 0) << out;
    EXPECT_NE(out.find(share), std::string::npos) << out;
    removeTree(elsewhere);
}

}  // namespace
