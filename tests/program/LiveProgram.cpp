#include "LiveProgram.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <thread>

#include "model/ModelData.h"
#include "render/ModelDraw.h"
#include "character/LoadModelFile.h"
#include "scene/MarkerScene.h"

namespace {

const std::string kSource = PAVONIX_SOURCE_DIR;
const std::string kExeDir = std::string(PAVONIX_BINARY_DIR) + "/app";

// Seen from the front and above, 400 marker units away: the model stands in the middle
// of the picture with room for its mirror image below and the twin beside it.
void testPose(double pose[3][4]) {
    const double e = 35.0 * M_PI / 180.0, s = std::sin(e), c = std::cos(e);
    const double rows[3][4] = {{1, 0, 0, 0}, {0, -s, -c, 40}, {0, c, -s, 420}};
    std::memcpy(pose, rows, sizeof rows);
}

}  // namespace

std::set<std::string> listFiles(const std::string& dir, const std::string& prefix, const std::string& ext) {
    std::set<std::string> out;
    DIR* d = opendir(dir.c_str());
    if (!d) return out;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.rfind(prefix, 0) == 0 && name.size() > ext.size() &&
            name.compare(name.size() - ext.size(), ext.size(), ext) == 0)
            out.insert(dir + "/" + name);
    }
    closedir(d);
    return out;
}

LiveProgram::LiveProgram(const std::vector<std::string>& extraArgs, const double* roomLight) {
    dir_ = makeTempDir("pavonix-live");
    CameraParam loaded{};
    if (!loadCameraParam((kSource + "/Data/camera_para.dat").c_str(), 1, &loaded)) return;
    resizeCameraParam(&loaded, 640, 480, &camera_);
    testPose(pose_);
    MarkerImage marker;
    if (!loadMarkerImage((kSource + "/Data/marker.png").c_str(), marker, nullptr)) return;
    SceneOptions options;
    options.supersample = 1;
    cv::Mat frame(480, 640, CV_8UC4);
    renderMarkerScene(camera_, pose_, kVirtualMarkerWidth, marker, options, frame.data);
    if (roomLight) {
        // Bytes are B, G, R, A: the room's R scales channel 2.
        cv::multiply(frame, cv::Scalar(roomLight[2], roomLight[1], roomLight[0], 1.0), frame);
    }
    cv::Mat bgr;
    cv::cvtColor(frame, bgr, cv::COLOR_BGRA2BGR);
    for (int i = 0; i < 4; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/frame%04d.png", i);
        cv::imwrite(dir_ + name, bgr);
    }
    // Each dialog takes the oldest queued choice, so keys sent ahead of the program's
    // event handling still open the files in order; an empty queue cancels. One file
    // per choice: the test adds while the program takes, and neither may lose a line.
    std::ofstream(dir_ + "/choose.sh") << "f=$(ls '" << dir_ << "'/choice.* 2>/dev/null | sort -t. -k2 -n | head -n 1)\n"
                                       << "test -n \"$f\" || exit 1\n"
                                       << "cat \"$f\" && rm -f \"$f\"\n";
    filesAtStart_ = listFiles(kExeDir, "img", ".png");
    for (const auto& f : listFiles(kExeDir, "cap", ".avi")) filesAtStart_.insert(f);
    const std::vector<std::pair<std::string, std::string>> env = {
        {"PAVONIX_VIDEO", "file:" + dir_ + "/frame%04d.png"},
        {"PAVONIX_NO_DIALOGS", "1"},
        {"PAVONIX_FILE_DIALOG", "sh " + dir_ + "/choose.sh"}};
    if (!run_.start(pavonixExecutable(), extraArgs, kSource, env)) return;
    window_ = findWindowByName("Pavonix", 30.0);
}

LiveProgram::~LiveProgram() {
    if (run_.running() && window_) {
        closeWindow(window_);
        run_.wait(10.0, nullptr);
    }
    run_.kill();
    for (const auto& f : newOutputFiles("img", ".png")) std::remove(f.c_str());
    for (const auto& f : newOutputFiles("cap", ".avi")) std::remove(f.c_str());
    std::system(("rm -rf " + dir_).c_str());
}

void LiveProgram::chooseFile(const std::string& path) {
    const std::string name = dir_ + "/choice." + std::to_string(++choices_);
    std::ofstream(name + "~") << path << "\n";
    std::rename((name + "~").c_str(), name.c_str());
}

bool LiveProgram::menu(int id) {
    // freeglut's menu opens at the pointer; its entries are 24 pixels apart below a
    // 2-pixel border.
    return clickMenu(window_, 100, 60, 14 + 24 * (id - 1));
}

std::set<std::string> LiveProgram::newOutputFiles(const std::string& prefix, const std::string& ext) const {
    std::set<std::string> out;
    for (const auto& f : listFiles(kExeDir, prefix, ext))
        if (!filesAtStart_.count(f)) out.insert(f);
    return out;
}

cv::Mat LiveProgram::screenshot() {
    const std::set<std::string> before = newOutputFiles("img", ".png");
    if (!key("s")) return {};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        for (const auto& f : newOutputFiles("img", ".png")) {
            if (before.count(f)) continue;
            // The file is complete once it decodes.
            cv::Mat image = cv::imread(f, cv::IMREAD_UNCHANGED);
            if (image.empty()) continue;
            // Kept for a look when a check fails and the folder is asked for.
            if (const char* keep = std::getenv("PAVONIX_TEST_KEEP_SHOTS")) {
                static int serial = 0;
                cv::imwrite(std::string(keep) + "/shot" + std::to_string(serial++) + ".png", image);
            }
            lastShot_ = f.substr(f.rfind('/') + 1);
            std::remove(f.c_str());
            return image;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    return {};
}

cv::Mat LiveProgram::sceneShot() {
    // Now and then the tracker misses the marker in one frame of the still picture; the
    // red x axis shows whether the scene was drawn on it.
    const cv::Point2d axis = project(8, 0, 0);
    for (int attempt = 0; attempt < 8; ++attempt) {
        cv::Mat shot = screenshot();
        if (shot.empty()) return shot;
        int red = 0;
        for (int dy = -2; dy <= 2; ++dy)
            for (int dx = -2; dx <= 2; ++dx) {
                const cv::Vec4b p = shot.at<cv::Vec4b>(int(axis.y) + dy, int(axis.x) + dx);
                if (p[2] > p[1] + 60 && p[2] > p[0] + 60) ++red;
            }
        if (red > 0) return shot;
        ++missedFrames_;
    }
    return {};
}

cv::Mat LiveProgram::cameraPicture() {
    // Until the first camera frame is drawn the window holds nothing.
    for (int attempt = 0; attempt < 50; ++attempt) {
        cv::Mat shot = screenshot();
        if (shot.empty()) return shot;
        const cv::Scalar mean = cv::mean(shot);
        if (mean[0] + mean[1] + mean[2] > 30.0) return shot;
    }
    return {};
}

bool LiveProgram::waitForSize(int width, int height, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int w = 0, h = 0;
    do {
        if (windowSize(window_, &w, &h) && w == width && h == height) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

cv::Point2d LiveProgram::project(double x, double y, double z) const {
    // Drawn with z mirrored and turned +90 degrees about x onto the marker, the vertex
    // (x, y, z) lies at (x, z, y) / scale in marker units.
    const double m[3] = {x / kModelScale, z / kModelScale, y / kModelScale};
    double cam[3];
    for (int r = 0; r < 3; ++r) cam[r] = pose_[r][0] * m[0] + pose_[r][1] * m[1] + pose_[r][2] * m[2] + pose_[r][3];
    double img[3];
    for (int r = 0; r < 3; ++r)
        img[r] = camera_.projection[r][0] * cam[0] + camera_.projection[r][1] * cam[1] +
                 camera_.projection[r][2] * cam[2] + camera_.projection[r][3];
    double ox = 0, oy = 0;
    idealToObserved(camera_.distortion, img[0] / img[2], img[1] / img[2], &ox, &oy);
    return {ox, oy};
}

double changedShare(const cv::Mat& a, const cv::Mat& b, cv::Point2d c, int r, int threshold) {
    int changed = 0, total = 0;
    for (int y = int(c.y) - r; y <= int(c.y) + r; ++y) {
        for (int x = int(c.x) - r; x <= int(c.x) + r; ++x) {
            if (x < 0 || y < 0 || x >= a.cols || y >= a.rows) continue;
            const cv::Vec4b p = a.at<cv::Vec4b>(y, x), q = b.at<cv::Vec4b>(y, x);
            int d = 0;
            for (int k = 0; k < 3; ++k) d = std::max(d, std::abs(int(p[k]) - int(q[k])));
            ++total;
            if (d > threshold) ++changed;
        }
    }
    return total ? double(changed) / total : 0.0;
}

bool isShadowOf(const cv::Vec4b& shot, const cv::Vec4b& background) {
    int shift = 0;
    for (int k = 0; k < 3; ++k) {
        const double expected = background[k] * 0.5 + 0.2 * 255.0 * 0.5;
        if (std::abs(shot[k] - expected) > 3.0) return false;
        shift = std::max(shift, std::abs(int(shot[k]) - int(background[k])));
    }
    // Dark background barely changes: only count pixels the darkening visibly moved.
    return shift > 20;
}

double headHeight(const std::string& modelPath) {
    cModel model;
    if (!loadModelFile(model, modelPath.c_str(), nullptr)) return 0.0;
    double height = 0.0;
    for (int i = 0; i < int(model.boneCount()); ++i) {
        if (std::strcmp(model.bones[i].name, "\x93\xaa") == 0) height = model.bones[i].restPosition[1];
    }
    destroyModel(model);
    return height;
}
