// The camera list: which nodes count, in what order, and the reasons given for the
// ones that are no camera. A machine without cameras still exercises every error path.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/video/CameraList.h"

namespace {

class CameraList : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/pavonix_cameras_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { (void)!std::system(("rm -rf '" + dir_ + "'").c_str()); }
    void touch(const std::string& name) { std::ofstream(dir_ + "/" + name) << "not a device"; }
    std::string dir_;
};

TEST_F(CameraList, NodesAreVideoNumberedInNumericOrder) {
    for (const char* name : {"video10", "video2", "video0", "video", "videox", "video1a", "vbi0", "media0"}) touch(name);
    const auto nodes = videoDeviceNodes(dir_);
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[0], dir_ + "/video0");
    EXPECT_EQ(nodes[1], dir_ + "/video2");
    EXPECT_EQ(nodes[2], dir_ + "/video10");
    EXPECT_TRUE(videoDeviceNodes(dir_ + "/missing").empty());
}

TEST_F(CameraList, NoNodesIsSaidPlainly) {
    EXPECT_EQ(listCamerasText(dir_), "No cameras found: there is no " + dir_ + "/video* device on this machine.\n");
}

TEST_F(CameraList, NodesThatAreNoCameraAreListedWithTheirReason) {
    touch("video0");
    // A character device that is no V4L2 device.
    ASSERT_EQ(symlink("/dev/null", (dir_ + "/video1").c_str()), 0);
    // A node that vanished between listing and opening: a dangling link.
    ASSERT_EQ(symlink((dir_ + "/gone").c_str(), (dir_ + "/video2").c_str()), 0);
    const std::string text = listCamerasText(dir_);
    EXPECT_EQ(text.rfind("No usable cameras found.\n", 0), 0u) << text;
    EXPECT_NE(text.find(dir_ + "/video0: not a camera (not a device node)"), std::string::npos) << text;
    EXPECT_NE(text.find(dir_ + "/video1: not a camera (not a V4L2 video device)"), std::string::npos) << text;
    EXPECT_NE(text.find(dir_ + "/video2: cannot be opened (No such file or directory)"), std::string::npos) << text;

    CameraInfo info;
    info.name = "kept";
    std::string why;
    EXPECT_FALSE(queryCamera(dir_ + "/video1", info, &why));
    EXPECT_EQ(info.name, "kept");  // a refused node leaves the record alone
}

TEST(CameraFormats, MJPEGIsAskedForOnlyWhereOffered) {
    CameraInfo info;
    info.formats.push_back({"YUYV", "YUYV 4:2:2", {"640x480", "1280x720"}});
    EXPECT_FALSE(offersMJPEG(info, 1280, 720));
    info.formats.push_back({"MJPG", "Motion-JPEG", {"640x480", "1280x720"}});
    EXPECT_TRUE(offersMJPEG(info, 1280, 720));
    EXPECT_FALSE(offersMJPEG(info, 1920, 1080));
    info.formats.back().sizes = {"320x240-1920x1080"};  // a stepwise range covers any size
    EXPECT_TRUE(offersMJPEG(info, 1920, 1080));
    info.formats.back().sizes.clear();  // drivers that list no sizes
    EXPECT_TRUE(offersMJPEG(info, 800, 600));
}

}  // namespace
