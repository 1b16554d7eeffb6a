// Offline rendering of a clip: one output frame per input frame, and the same file from
// the same input every time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <sstream>
#include <string>

#include "common/MarkerClip.h"
#include "common/ProgramRun.h"

namespace {

const std::string kSource = PAVONIX_SOURCE_DIR;

bool haveDisplay() { return std::getenv("DISPLAY") != nullptr; }

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<cv::Mat> decode(const std::string& path) {
    std::vector<cv::Mat> frames;
    cv::VideoCapture video(path, cv::CAP_FFMPEG);
    cv::Mat frame;
    while (video.read(frame)) frames.push_back(frame.clone());
    return frames;
}

}  // namespace

TEST(OfflineRender, EveryInputFrameOnceAndTheSameFileEveryTime) {
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    const std::string dir = makeTempDir("pavonix-render");
    const std::string clip = dir + "/clip.avi";
    ASSERT_TRUE(writeMarkerClip(clip, 300));

    const std::vector<std::pair<std::string, std::string>> env = {{"PAVONIX_NO_DIALOGS", "1"}};
    std::string outputs[2];
    for (int run = 0; run < 2; ++run) {
        outputs[run] = dir + "/out" + std::to_string(run) + ".avi";
        std::string log;
        const int status = runToEnd(pavonixExecutable(),
                                    {"--video", "file:" + clip, "--render", outputs[run], "--model",
                                     kSource + "/Data/demo/pavo.pmd", "--motion", kSource + "/Data/demo/dance.vmd"},
                                    kSource, env, 120.0, &log);
        ASSERT_EQ(status, 0) << log;
        EXPECT_NE(log.find("rendering: done, 300 frames"), std::string::npos) << log;
        // The frame rate reached, for the record.
        const size_t rate = log.rfind("frames per second");
        if (rate != std::string::npos) {
            const size_t from = log.rfind(", ", rate);
            std::printf("offline rendering: %s\n", log.substr(from + 2, rate - from - 2).c_str());
        }
    }
    const std::vector<cv::Mat> a = decode(outputs[0]), b = decode(outputs[1]);
    ASSERT_EQ(a.size(), 300u);
    ASSERT_EQ(b.size(), 300u);
    if (fileBytes(outputs[0]) != fileBytes(outputs[1])) {
        for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(cv::norm(a[i], b[i], cv::NORM_INF), 0.0) << "frame " << i;
    }
    // The clip is not a still: the model moves between the first and the last frame.
    EXPECT_GT(cv::norm(a.front(), a.back(), cv::NORM_L1), 0.0);
    std::system(("rm -rf " + dir).c_str());
}
