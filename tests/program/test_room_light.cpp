// The character lit like the room: the real program on camera pictures of the marker under
// a dim warm light and a bright neutral one, with a white ball standing on the marker.
// With the room light on, the side of the ball facing the light shows the paper's colour
// and its shadow's grey follows the paper; off, ball and shadow look the same in both.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "LiveProgram.h"
#include "model/ModelWriter.h"

namespace {

bool haveDisplay() { return std::getenv("DISPLAY") != nullptr; }

// The ball, in model units: on the marker's centre, clear of the ground.
constexpr double kBallRadius = 2.5;
constexpr double kBallHeight = 3.5;

// A ball of one plain white material: diffuse white, no ambient, no highlight, no
// texture, no toon ramp, no outline.
bool writeWhiteBall(const std::string& path) {
    modelwriter::ModelDesc d;
    d.name = "ball";
    constexpr int kRings = 24, kSegments = 32;
    for (int r = 0; r <= kRings; ++r) {
        const double theta = M_PI * r / kRings;
        for (int s = 0; s <= kSegments; ++s) {
            const double phi = 2.0 * M_PI * s / kSegments;
            const float n[3] = {float(std::sin(theta) * std::cos(phi)), float(std::cos(theta)),
                                float(std::sin(theta) * std::sin(phi))};
            modelwriter::VertexDesc v;
            for (int k = 0; k < 3; ++k) {
                v.normal[k] = n[k];
                v.position[k] = float(kBallRadius) * n[k];
            }
            v.position[1] += float(kBallHeight);
            d.vertices.push_back(v);
        }
    }
    for (int r = 0; r < kRings; ++r)
        for (int s = 0; s < kSegments; ++s) {
            const uint32_t a = r * (kSegments + 1) + s, b = a + kSegments + 1;
            // Both windings: whichever side the program culls, the near half of the ball
            // is drawn, with its outward normals.
            d.indices.insert(d.indices.end(), {a, b, a + 1, a + 1, b, b + 1, a, a + 1, b, a + 1, b + 1, b});
        }
    modelwriter::MaterialDesc white;
    white.ambient[0] = white.ambient[1] = white.ambient[2] = 0.0f;
    white.shininess = 0.0f;
    white.indexCount = static_cast<uint32_t>(d.indices.size());
    d.materials = {white};
    modelwriter::BoneDesc root;
    root.name = "センター";
    d.bones = {root};
    return modelwriter::saveFile(path, modelwriter::writePMD(d));
}

struct Room {
    const char* name;
    double rgb[3];
};
const Room kRooms[] = {{"dim-warm", {0.62, 0.47, 0.30}}, {"bright-neutral", {0.97, 0.97, 0.97}}};

cv::Vec3d rgbOf(const cv::Vec4b& p) { return {double(p[2]), double(p[1]), double(p[0])}; }
double lumaOf(const cv::Vec3d& rgb) { return 0.299 * rgb[0] + 0.587 * rgb[1] + 0.114 * rgb[2]; }

// Median colour of the paper around the black square in a picture without the model.
cv::Vec3d paperColour(LiveProgram& app, const cv::Mat& background) {
    std::vector<double> channel[3];
    const double scale = LiveProgram::kModelScale;
    for (double along = -18; along <= 18; along += 3)
        for (double depth : {23.0, 25.0}) {
            const double marker[4][2] = {{along, depth}, {along, -depth}, {depth, along}, {-depth, along}};
            for (const auto& m : marker) {
                const cv::Point2d p = app.project(m[0] * scale, 0, m[1] * scale);
                const cv::Vec3d c = rgbOf(background.at<cv::Vec4b>(int(std::lround(p.y)), int(std::lround(p.x))));
                for (int k = 0; k < 3; ++k) channel[k].push_back(c[k]);
            }
        }
    cv::Vec3d median;
    for (int k = 0; k < 3; ++k) {
        std::nth_element(channel[k].begin(), channel[k].begin() + channel[k].size() / 2, channel[k].end());
        median[k] = channel[k][channel[k].size() / 2];
    }
    return median;
}

struct BallLook {
    cv::Vec3d lit;       // mean colour of the tenth of the ball brightest lit: where it faces the light
    int pixels = 0;      // of the ball looked at
    // The grey the shadow quad blended in, per channel, read back from every darkened
    // pixel (shot = half the background + half the grey): the median of 2 shot - background.
    cv::Vec3d shadowGrey{0, 0, 0};
    int shadowPixels = 0;
};

BallLook lookAt(LiveProgram& app, const cv::Mat& shot, const cv::Mat& background, const cv::Vec3d& paper) {
    BallLook look;
    const cv::Point2d centre = app.project(0, kBallHeight, 0);
    const cv::Point2d rim = app.project(kBallRadius, kBallHeight, 0);
    const double radius = std::hypot(rim.x - centre.x, rim.y - centre.y);
    std::vector<cv::Vec3d> ball;
    std::vector<double> grey[3];
    for (int y = 0; y < shot.rows; ++y)
        for (int x = 0; x < shot.cols; ++x) {
            const double d = std::hypot(x - centre.x, y - centre.y);
            const cv::Vec3d s = rgbOf(shot.at<cv::Vec4b>(y, x)), b = rgbOf(background.at<cv::Vec4b>(y, x));
            if (d < 0.8 * radius) {
                ball.push_back(s);
            } else if (d > 1.3 * radius && lumaOf(b) > 0.25 * lumaOf(paper) && lumaOf(s) < 0.9 * lumaOf(b) - 3.0) {
                // Darkened, and not by the axes drawn over it (pure red, green or blue).
                const double top = std::max({s[0], s[1], s[2]}), bottom = std::min({s[0], s[1], s[2]});
                if (top > 200 && bottom < 40) continue;
                for (int k = 0; k < 3; ++k) grey[k].push_back(2.0 * s[k] - b[k]);
            }
        }
    look.pixels = static_cast<int>(ball.size());
    if (ball.empty()) return look;
    std::sort(ball.begin(), ball.end(), [](const cv::Vec3d& a, const cv::Vec3d& b) { return lumaOf(a) > lumaOf(b); });
    const size_t top = std::max<size_t>(1, ball.size() / 10);
    for (size_t i = 0; i < top; ++i) look.lit += ball[i] / double(top);
    look.shadowPixels = static_cast<int>(grey[0].size());
    for (int k = 0; k < 3 && !grey[k].empty(); ++k) {
        std::nth_element(grey[k].begin(), grey[k].begin() + grey[k].size() / 2, grey[k].end());
        look.shadowGrey[k] = grey[k][grey[k].size() / 2];
    }
    return look;
}

// The latest frame drawn after a switch: the screenshot of the second frame on.
cv::Mat settledShot(LiveProgram& app) {
    cv::Mat shot = app.sceneShot();
    if (shot.empty()) return shot;
    return app.sceneShot();
}

// Kept for a look when a folder is named: the whole window and the marker's surroundings
// enlarged four times.
void keepShot(LiveProgram& app, const cv::Mat& shot, const std::string& name) {
    const char* dir = std::getenv("PAVONIX_LIGHT_SHOTS");
    if (!dir) return;
    cv::imwrite(std::string(dir) + "/" + name + ".png", shot);
    const cv::Point2d c = app.project(0, kBallHeight / 2, 0);
    const cv::Rect around = cv::Rect(int(c.x) - 60, int(c.y) - 45, 120, 90) & cv::Rect(0, 0, shot.cols, shot.rows);
    cv::Mat zoom;
    cv::resize(shot(around), zoom, cv::Size(), 4.0, 4.0, cv::INTER_NEAREST);
    cv::imwrite(std::string(dir) + "/" + name + "-zoom.png", zoom);
}

}  // namespace

TEST(RoomLight, TheWhiteBallFacingTheLightShowsThePapersColourOnlyWhenSwitchedOn) {
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    BallLook off[2], on[2], classicOn[2];
    cv::Vec3d paper[2];
    for (int room = 0; room < 2; ++room) {
        const Room& r = kRooms[room];
        LiveProgram app({}, r.rgb);
        ASSERT_TRUE(app.ok()) << app.run().output();
        const std::string ball = app.dir() + "/ball.pmd";
        ASSERT_TRUE(writeWhiteBall(ball));

        const cv::Mat background = app.cameraPicture();
        ASSERT_FALSE(background.empty()) << app.run().output();
        paper[room] = paperColour(app, background);
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(paper[room][k], 255.0 * r.rgb[k], 0.04 * 255.0 * r.rgb[k] + 2) << r.name << " paper " << k;

        ASSERT_TRUE(app.key("x"));  // the axes tell a frame with the marker found
        app.chooseFile(ball);
        ASSERT_TRUE(app.key("o"));
        const cv::Mat offShot = settledShot(app);
        ASSERT_FALSE(offShot.empty()) << app.run().output();
        off[room] = lookAt(app, offShot, background, paper[room]);
        keepShot(app, offShot, std::string(r.name) + "-off");

        ASSERT_TRUE(app.key("i"));
        const cv::Mat onShot = settledShot(app);
        ASSERT_FALSE(onShot.empty()) << app.run().output();
        on[room] = lookAt(app, onShot, background, paper[room]);
        keepShot(app, onShot, std::string(r.name) + "-on");

        // The plain-lighting look shades by how the surface turns to the light: the part
        // facing it is the brightest and must match too.
        ASSERT_TRUE(app.key("k"));
        const cv::Mat classicShot = settledShot(app);
        ASSERT_FALSE(classicShot.empty());
        classicOn[room] = lookAt(app, classicShot, background, paper[room]);
        keepShot(app, classicShot, std::string(r.name) + "-on-classic");
    }

    for (int room = 0; room < 2; ++room) {
        const char* name = kRooms[room].name;
        // For the record: R, G, B bytes.
        std::printf("room light, %s: paper %.0f %.0f %.0f; ball on %.0f %.0f %.0f (plain %.0f %.0f %.0f), off %.0f %.0f "
                    "%.0f; shadow grey on %.0f %.0f %.0f, off %.0f %.0f %.0f\n",
                    name, paper[room][0], paper[room][1], paper[room][2], on[room].lit[0], on[room].lit[1],
                    on[room].lit[2], classicOn[room].lit[0], classicOn[room].lit[1], classicOn[room].lit[2],
                    off[room].lit[0], off[room].lit[1], off[room].lit[2], on[room].shadowGrey[0],
                    on[room].shadowGrey[1], on[room].shadowGrey[2], off[room].shadowGrey[0], off[room].shadowGrey[1],
                    off[room].shadowGrey[2]);
        ASSERT_GT(on[room].pixels, 300) << name;
        for (int k = 0; k < 3; ++k) {
            EXPECT_NEAR(on[room].lit[k], paper[room][k], 0.10 * paper[room][k])
                << name << ", channel " << k << ": ball " << on[room].lit << ", paper " << paper[room];
            EXPECT_NEAR(classicOn[room].lit[k], paper[room][k], 0.10 * paper[room][k])
                << name << " (plain lighting), channel " << k << ": ball " << classicOn[room].lit << ", paper "
                << paper[room];
        }
        // The shadow's grey follows the paper: 0.2 of it where the fixed light's is 0.2 of
        // 0.9 grey, so the shadow darkens the paper by the same share in any room.
        ASSERT_GT(on[room].shadowPixels, 40) << name;
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(on[room].shadowGrey[k], paper[room][k] * 0.2 / 0.9, 4.0)
                << name << ", channel " << k << ": " << on[room].shadowGrey;
    }
    // Off: the fixed light, the same ball in both rooms, and white (0.9 grey) however the
    // paper looks.
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(off[0].lit[k], off[1].lit[k], 2.0) << "channel " << k << ": " << off[0].lit << " " << off[1].lit;
        EXPECT_NEAR(off[0].lit[k], 0.9 * 255.0, 3.0) << "channel " << k;
    }
    // ... and the shadow's grey is the fixed 0.2 in both.
    for (int room = 0; room < 2; ++room)
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(off[room].shadowGrey[k], 0.2 * 255.0, 4.0) << kRooms[room].name << ", channel " << k;
}
