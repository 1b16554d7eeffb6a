// The video configuration file and the source override.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/video/VideoConfig.h"

namespace {

std::string writeTemp(const std::string& name, const std::string& text) {
    static std::string dir;
    if (dir.empty()) {
        char pattern[] = "/tmp/pavonix_videoconfig_XXXXXX";
        dir = mkdtemp(pattern);
    }
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

bool parse(const std::string& text, VideoConfig& config, std::string& error) {
    return parseVideoConfig(text, "cfg.xml", config, &error);
}

}  // namespace

TEST(VideoConfig, ReadsEveryElementAndToleratesTheRest) {
    const std::string text =
        "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE pavonix-video>\n"
        "<!-- a <comment> with <source>file</source> inside must not count -->\n"
        "<pavonix-video version=\"1\">\n"
        "  <source> Virtual </source>\n"
        "  <device>/dev/video2</device>\n"
        "  <file>clips/a&amp;b &#x41;.avi</file>\n"
        "  <width>320</width><height>240</height>\n"
        "  <fps>12.5</fps>\n"
        "  <flipV>yes</flipV>\n"
        "  <future><width>1</width><nested/></future>\n"
        "  <marker><![CDATA[m&m.png]]></marker>\n"
        "</pavonix-video>\n";
    VideoConfig c;
    std::string error;
    ASSERT_TRUE(parse(text, c, error)) << error;
    EXPECT_EQ(c.source, VideoConfig::Source::Virtual);
    EXPECT_EQ(c.device, "/dev/video2");
    EXPECT_EQ(c.file, "clips/a&b A.avi");
    EXPECT_EQ(c.width, 320);  // the <width> inside <future> is not ours
    EXPECT_EQ(c.height, 240);
    EXPECT_DOUBLE_EQ(c.fps, 12.5);
    EXPECT_TRUE(c.flipV);
    EXPECT_EQ(c.marker, "m&m.png");

    // Absent elements keep their defaults; <file/> is an empty file.
    VideoConfig d;
    d.file = "old";
    ASSERT_TRUE(parse("<pavonix-video><file/></pavonix-video>", d, error)) << error;
    EXPECT_EQ(d.source, VideoConfig::Source::Auto);
    EXPECT_EQ(d.width, 640);
    EXPECT_EQ(d.height, 480);
    EXPECT_EQ(d.file, "");
}

TEST(VideoConfig, RefusesBadValuesAndForeignFilesWithAMessageNamingFileAndProblem) {
    struct Case {
        const char* text;
        const char* expected;  // part of the message
    };
    const Case cases[] = {
        {"<pavonix-video>\n<width>abc</width></pavonix-video>", "cfg.xml: line 2: <width> must be a whole number"},
        {"<pavonix-video><width>-640</width></pavonix-video>", "\"-640\""},
        {"<pavonix-video><height>99999</height></pavonix-video>", "<height>"},
        {"<pavonix-video><width>640px</width></pavonix-video>", "\"640px\""},
        {"<pavonix-video><fps>0</fps></pavonix-video>", "<fps>"},
        {"<pavonix-video><fps>nan</fps></pavonix-video>", "<fps>"},
        {"<pavonix-video><source>webcam</source></pavonix-video>", "<source> must be auto, camera, file or virtual"},
        {"<pavonix-video><flipV>maybe</flipV></pavonix-video>", "<flipV>"},
        {"<pavonix-video><file>a&nbsp;b</file></pavonix-video>", "&nbsp;"},
        {"<pavonix-video><width>640</height></pavonix-video>", "</height> does not close <width>"},
        {"<pavonix-video>\n<width>640</width>\n", "ends inside <pavonix-video>"},
        {"<pavonix-video><!-- open comment </pavonix-video>", "unterminated comment"},
        {"<pavonix-video></pavonix-video><pavonix-video></pavonix-video>", "second top-level"},
        {"<config><width>640</width></config>", "not a Pavonix video configuration"},
        {"width=640\nheight=480\n", "not a Pavonix video configuration"},
        {"", "not a Pavonix video configuration"},
        {"<?xml version=\"1.0\"?>", "not a Pavonix video configuration"},
    };
    for (const Case& c : cases) {
        VideoConfig config;
        config.width = 123;
        std::string error;
        EXPECT_FALSE(parse(c.text, config, error)) << c.text;
        EXPECT_NE(error.find(c.expected), std::string::npos) << "text: " << c.text << "\nmessage: " << error;
        EXPECT_EQ(error.rfind("cfg.xml", 0), 0u) << error;
        EXPECT_EQ(config.width, 123) << "a refused file must leave the configuration alone";
    }
}

TEST(VideoConfig, LoadsFilesResolvingPathsBesideThem) {
    const std::string path =
        writeTemp("good.xml", "<pavonix-video><source>file</source><file>clip.avi</file>"
                              "<calibration>/abs/cam.dat</calibration></pavonix-video>");
    VideoConfig c;
    std::string error;
    ASSERT_TRUE(loadVideoConfig(path, false, c, &error)) << error;
    const std::string dir = path.substr(0, path.find_last_of('/'));
    EXPECT_EQ(c.source, VideoConfig::Source::File);
    EXPECT_EQ(c.file, dir + "/clip.avi");
    EXPECT_EQ(c.calibration, "/abs/cam.dat");
    EXPECT_EQ(c.baseDir, dir);

    // Missing: an error naming the file, unless allowed (an override is present).
    VideoConfig m;
    EXPECT_FALSE(loadVideoConfig(dir + "/missing.xml", false, m, &error));
    EXPECT_NE(error.find(dir + "/missing.xml"), std::string::npos) << error;
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    EXPECT_TRUE(loadVideoConfig(dir + "/missing.xml", true, m, &error));
    EXPECT_EQ(m.source, VideoConfig::Source::Auto);

    // A folder or a binary file is refused even when missing files are allowed.
    EXPECT_FALSE(loadVideoConfig(dir, true, m, &error));
    EXPECT_NE(error.find(dir), std::string::npos) << error;
    const std::string binary = writeTemp("binary.xml", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    EXPECT_FALSE(loadVideoConfig(binary, true, m, &error));
    EXPECT_NE(error.find("not a Pavonix video configuration"), std::string::npos) << error;

    // The committed configuration reads.
    VideoConfig committed;
    ASSERT_TRUE(loadVideoConfig(PAVONIX_SOURCE_DIR "/Data/WDM_camera_flipV.xml", false, committed, &error)) << error;
    EXPECT_EQ(committed.source, VideoConfig::Source::Auto);
    EXPECT_EQ(committed.width, 640);
    EXPECT_EQ(committed.height, 480);
    EXPECT_FALSE(committed.flipV);
}

TEST(VideoConfig, OverrideReplacesSourceDeviceAndFile) {
    VideoConfig c;
    c.width = 800;
    std::string error;
    ASSERT_TRUE(applySourceOverride("camera:/dev/video3", "test", c, &error)) << error;
    EXPECT_EQ(c.source, VideoConfig::Source::Camera);
    EXPECT_EQ(c.device, "/dev/video3");
    ASSERT_TRUE(applySourceOverride("file:dir/with:colon.avi", "test", c, &error)) << error;
    EXPECT_EQ(c.source, VideoConfig::Source::File);
    EXPECT_EQ(c.file, "dir/with:colon.avi");
    ASSERT_TRUE(applySourceOverride("virtual", "test", c, &error));
    EXPECT_EQ(c.source, VideoConfig::Source::Virtual);
    ASSERT_TRUE(applySourceOverride("camera", "test", c, &error));
    EXPECT_EQ(c.device, "/dev/video3");  // plain "camera" keeps the configured device
    ASSERT_TRUE(applySourceOverride("auto", "test", c, &error));
    EXPECT_EQ(c.source, VideoConfig::Source::Auto);
    EXPECT_EQ(c.width, 800);  // size is not the override's business

    for (const char* bad : {"webcam", "file:", "camera:", "virtual:x", ""}) {
        EXPECT_FALSE(applySourceOverride(bad, "PAVONIX_VIDEO", c, &error)) << bad;
        EXPECT_NE(error.find("PAVONIX_VIDEO"), std::string::npos) << error;
    }
}
