// Calibration records on disk, resizing, the lens model and the projection
// decomposition, checked against the committed calibration where it matters.

#include "tracking/CameraParam.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string kCommittedCalibration = std::string(PAVONIX_SOURCE_DIR) + "/Data/camera_para.dat";

std::string tempPath(const char* name) {
    return std::string("/tmp/pavonix_calib_") + std::to_string(getpid()) + "_" + name;
}

std::vector<unsigned char> readBytes(const std::string& path) {
    std::vector<unsigned char> bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return bytes;
    int c;
    while ((c = std::fgetc(f)) != EOF) bytes.push_back(static_cast<unsigned char>(c));
    std::fclose(f);
    return bytes;
}

void writeBytes(const std::string& path, const void* data, std::size_t n) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(data, 1, n, f), n);
    std::fclose(f);
}

CameraParam sampleParam(double seed) {
    CameraParam p;
    p.width = 640;
    p.height = 480;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) p.projection[r][c] = seed * (r * 4 + c + 1) - 3.25;
    p.distortion[0] = 318.5 + seed;
    p.distortion[1] = 241.25;
    p.distortion[2] = -7.5;
    p.distortion[3] = 0.98;
    return p;
}

TEST(CalibrationFile, WrittenAndReadBackUnchanged) {
    const std::string path = tempPath("roundtrip.dat");
    CameraParam records[3] = {sampleParam(1.0), sampleParam(-2.5), sampleParam(1e-9)};
    records[2].width = 1920;
    records[2].height = 1080;
    CameraParam before[3];
    std::memcpy(before, records, sizeof records);

    ASSERT_EQ(saveCameraParam(path.c_str(), 3, records), 0);
    EXPECT_EQ(std::memcmp(before, records, sizeof records), 0) << "the caller's records must be left as they were";

    const std::vector<unsigned char> bytes = readBytes(path);
    ASSERT_EQ(bytes.size(), 3 * 136u);
    // Big-endian: width 640 = 0x00000280, and the first double of the projection.
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 4),
              (std::vector<unsigned char>{0x00, 0x00, 0x02, 0x80}));
    const double first = records[0].projection[0][0];  // -2.25 = 0xC002000000000000
    ASSERT_EQ(first, -2.25);
    EXPECT_EQ(bytes[8], 0xC0);
    EXPECT_EQ(bytes[9], 0x02);
    EXPECT_EQ(bytes[15], 0x00);

    CameraParam loaded[3];
    std::memset(loaded, 0, sizeof loaded);
    ASSERT_TRUE(loadCameraParam(path.c_str(), 3, &loaded[0], &loaded[1]));
    EXPECT_EQ(std::memcmp(loaded, records, sizeof records), 0);

    // Reading only the first record of a longer file is fine.
    CameraParam one;
    ASSERT_TRUE(loadCameraParam(path.c_str(), 1, &one));
    EXPECT_EQ(std::memcmp(&one, &records[0], sizeof one), 0);
    std::remove(path.c_str());
}

TEST(CalibrationFile, BadFilesAndCountsAreRefused) {
    const std::string path = tempPath("short.dat");
    CameraParam param = sampleParam(2.0);
    ASSERT_EQ(saveCameraParam(path.c_str(), 1, &param), 0);
    const std::vector<unsigned char> bytes = readBytes(path);

    CameraParam target = sampleParam(5.0);
    const CameraParam untouched = target;
    EXPECT_FALSE(loadCameraParam(path.c_str(), 0, &target));
    EXPECT_FALSE(loadCameraParam(path.c_str(), -1, &target));
    const LoadResult missing = loadCameraParam("/nonexistent/camera_para.dat", 1, &target);
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.problem().text(),
              "/nonexistent/camera_para.dat: cannot open the calibration file: No such file or directory");
    CameraParam extra[1];
    // Only one record there: the second is where the file ends.
    const LoadResult second = loadCameraParam(path.c_str(), 2, &target, extra);
    EXPECT_FALSE(second);
    EXPECT_EQ(second.problem().section, "calibration record 2");
    EXPECT_EQ(second.problem().offset, 136u);
    EXPECT_FALSE(loadCameraParam(path.c_str(), 2, &target, nullptr));         // nowhere to put the second
    EXPECT_FALSE(loadCameraParam(path.c_str(), 2000000000, &target, extra));  // an absurd count
    for (std::size_t length : {0u, 4u, 135u}) {
        writeBytes(path, bytes.data(), length);
        const LoadResult cut = loadCameraParam(path.c_str(), 1, &target);
        EXPECT_FALSE(cut) << length << " bytes";
        // The field the file ends in: the width, the height, or the last double.
        EXPECT_EQ(cut.problem().section, "calibration record 1") << length << " bytes";
        EXPECT_EQ(cut.problem().offset, length == 0 ? 0u : length == 4 ? 4u : 128u) << length << " bytes";
        EXPECT_EQ(cut.problem().file, path);
    }
    writeBytes(path, bytes.data(), 135);
    EXPECT_EQ(loadCameraParam(path.c_str(), 1, &target).problem().text(),
              path + ": calibration record 1 at byte 128: the file ends early (8 more bytes wanted, 7 left)");
    EXPECT_EQ(std::memcmp(&target, &untouched, sizeof target), 0);

    EXPECT_EQ(saveCameraParam("/nonexistent/out.dat", 1, &param), -1);
    EXPECT_EQ(saveCameraParam(path.c_str(), 0, &param), -1);
    // A full device shows up only when the data is flushed; that is still a failure.
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(saveCameraParam("/dev/full", 1, &param), -1);
    }
    std::remove(path.c_str());
}

TEST(CalibrationFile, LittleEndianFileLoadsAsNonsense) {
    // Only the big-endian form is valid: a record dumped from memory reads back with
    // byte-swapped sizes, which is what lets a caller notice the wrong file.
    const std::string path = tempPath("little.dat");
    CameraParam native = sampleParam(1.0);
    writeBytes(path, &native, sizeof native);
    CameraParam loaded;
    ASSERT_TRUE(loadCameraParam(path.c_str(), 1, &loaded));
    EXPECT_EQ(static_cast<unsigned>(loaded.width), 0x80020000u);
    EXPECT_EQ(static_cast<unsigned>(loaded.height), 0xE0010000u);
    EXPECT_NE(loaded.projection[2][2], native.projection[2][2]);
    std::remove(path.c_str());
}

TEST(CalibrationResize, SameShapeScalesByTheRatio) {
    const CameraParam source = sampleParam(1.5);
    CameraParam half;
    ASSERT_EQ(resizeCameraParam(&source, 320, 240, &half), 0);
    EXPECT_EQ(half.width, 320);
    EXPECT_EQ(half.height, 240);
    for (int c = 0; c < 4; ++c) {
        EXPECT_DOUBLE_EQ(half.projection[0][c], source.projection[0][c] / 2);
        EXPECT_DOUBLE_EQ(half.projection[1][c], source.projection[1][c] / 2);
        EXPECT_EQ(half.projection[2][c], source.projection[2][c]);
    }
    EXPECT_DOUBLE_EQ(half.distortion[0], source.distortion[0] / 2);
    EXPECT_DOUBLE_EQ(half.distortion[1], source.distortion[1] / 2);
    EXPECT_DOUBLE_EQ(half.distortion[2], source.distortion[2] * 4);
    EXPECT_EQ(half.distortion[3], source.distortion[3]);
    // In place works too.
    CameraParam same = source;
    resizeCameraParam(&same, 1280, 960, &same);
    EXPECT_DOUBLE_EQ(same.projection[0][0], source.projection[0][0] * 2);
    EXPECT_DOUBLE_EQ(same.distortion[2], source.distortion[2] / 4);
}

// Where the camera-frame point (x, y, z) lands in the image of a calibration.
void project(const CameraParam& p, const double point[3], double* u, double* v) {
    double h[3];
    for (int r = 0; r < 3; ++r) h[r] = p.projection[r][0] * point[0] + p.projection[r][1] * point[1] + p.projection[r][2] * point[2] + p.projection[r][3];
    *u = h[0] / h[2];
    *v = h[1] / h[2];
}

TEST(CalibrationResize, AnotherShapeIsACentredCropOfTheCoveringScale) {
    CameraParam source;
    ASSERT_TRUE(loadCameraParam(kCommittedCalibration.c_str(), 1, &source));
    ASSERT_EQ(source.width, 640);
    ASSERT_EQ(source.height, 480);
    const double centreX = source.projection[0][2] / source.projection[2][2];
    const double centreY = source.projection[1][2] / source.projection[2][2];
    // 16:9 frames: scaled by 2 and 3 to cover the width, 120 and 180 rows cut from the
    // top (and bottom). Every point moves the same way, the lens centre included.
    const struct {
        int width, height;
        double scale, cropY;
    } modes[] = {{1280, 720, 2.0, 120.0}, {1920, 1080, 3.0, 180.0}, {640, 360, 1.0, 60.0}};
    const double points[3][3] = {{0, 0, 100}, {-30, 25, 200}, {55, -40, 90}};
    for (const auto& mode : modes) {
        CameraParam wide;
        ASSERT_EQ(resizeCameraParam(&source, mode.width, mode.height, &wide), 0);
        EXPECT_EQ(wide.width, mode.width);
        EXPECT_EQ(wide.height, mode.height);
        const double cx = wide.projection[0][2] / wide.projection[2][2];
        const double cy = wide.projection[1][2] / wide.projection[2][2];
        EXPECT_NEAR(cx, centreX * mode.scale, 1e-9) << mode.width;
        EXPECT_NEAR(cy, centreY * mode.scale - mode.cropY, 1e-9) << mode.width;
        EXPECT_NEAR(cx, mode.width / 2.0, 0.05 * mode.width) << mode.width;
        EXPECT_NEAR(cy, mode.height / 2.0, 0.05 * mode.height) << mode.width;
        EXPECT_NEAR(wide.distortion[0], source.distortion[0] * mode.scale, 1e-9);
        EXPECT_NEAR(wide.distortion[1], source.distortion[1] * mode.scale - mode.cropY, 1e-9);
        EXPECT_NEAR(wide.distortion[2], source.distortion[2] / (mode.scale * mode.scale), 1e-12);
        for (const auto& point : points) {
            double u0, v0, u, v;
            project(source, point, &u0, &v0);
            project(wide, point, &u, &v);
            EXPECT_NEAR(u, u0 * mode.scale, 1e-6);
            EXPECT_NEAR(v, v0 * mode.scale - mode.cropY, 1e-6);
        }
    }
    // A frame taller than the calibration crops columns instead: 480x480 keeps the
    // scale 1 and cuts 80 columns from each side.
    CameraParam square;
    ASSERT_EQ(resizeCameraParam(&source, 480, 480, &square), 0);
    EXPECT_NEAR(square.projection[0][2] / square.projection[2][2], centreX - 80.0, 1e-9);
    EXPECT_NEAR(square.projection[1][2] / square.projection[2][2], centreY, 1e-9);
    EXPECT_NEAR(square.projection[0][0], source.projection[0][0], 1e-9);
}

TEST(CalibrationInstall, WorkingParameterIsACopy) {
    CameraParam param = sampleParam(3.0);
    ASSERT_EQ(setTrackerCameraParam(&param), 0);
    param.width = 1;  // later changes to the caller's record do not leak in
    EXPECT_EQ(trackerCameraParam().width, 640);
    EXPECT_EQ(trackerCameraParam().projection[1][2], sampleParam(3.0).projection[1][2]);
}

TEST(LensModel, CommittedCalibrationIsAPlausibleWebcam) {
    CameraParam param;
    ASSERT_TRUE(loadCameraParam(kCommittedCalibration.c_str(), 1, &param));
    EXPECT_EQ(param.width, 640);
    EXPECT_EQ(param.height, 480);
    const double hfov = 2 * std::atan(320.0 / param.projection[0][0]) * 180 / M_PI;
    EXPECT_NEAR(hfov, 60.0, 2.0);
    EXPECT_NEAR(param.projection[0][2], 320, 10);
    EXPECT_NEAR(param.projection[1][2], 240, 10);
    EXPECT_NEAR(param.distortion[3], 1.0, 0.01);
    // Mild barrel distortion: the frame corners are pulled inward by 1 to 3 pixels.
    const double corners[4][2] = {{0, 0}, {639, 0}, {639, 479}, {0, 479}};
    for (const auto& c : corners) {
        double ox, oy;
        idealToObserved(param.distortion, c[0], c[1], &ox, &oy);
        const double rIdeal = std::hypot(c[0] - param.distortion[0], c[1] - param.distortion[1]);
        const double rObserved = std::hypot(ox - param.distortion[0], oy - param.distortion[1]);
        EXPECT_GT(rIdeal - rObserved, 1.0);
        EXPECT_LT(rIdeal - rObserved, 3.0);
    }
}

TEST(LensModel, ObservedToIdealInvertsIdealToObservedOverTheWholeFrame) {
    CameraParam param;
    ASSERT_TRUE(loadCameraParam(kCommittedCalibration.c_str(), 1, &param));
    double worst = 0;
    for (int y = -20; y <= 500; y += 4)
        for (int x = -20; x <= 660; x += 4) {
            double ox, oy, ix, iy;
            idealToObserved(param.distortion, x, y, &ox, &oy);
            observedToIdeal(param.distortion, ox, oy, &ix, &iy);
            worst = std::max(worst, std::hypot(ix - x, iy - y));
        }
    EXPECT_LT(worst, 0.01);
}

TEST(LensModel, CentreAndZeroFactor) {
    const double d[4] = {300.5, 200.25, 40.0, 0.9};
    double x, y;
    observedToIdeal(d, 300.5, 200.25, &x, &y);
    EXPECT_EQ(x, 300.5);
    EXPECT_EQ(y, 200.25);
    idealToObserved(d, 300.5, 200.25, &x, &y);
    EXPECT_EQ(x, 300.5);
    EXPECT_EQ(y, 200.25);

    // Without a radial factor only the scale acts: observed = centre + s * offset.
    const double flat[4] = {300.5, 200.25, 0.0, 0.8};
    observedToIdeal(flat, 100.0, 50.0, &x, &y);
    EXPECT_DOUBLE_EQ(x, 300.5 + (100.0 - 300.5) / 0.8);
    EXPECT_DOUBLE_EQ(y, 200.25 + (50.0 - 200.25) / 0.8);
    idealToObserved(flat, 100.0, 50.0, &x, &y);
    EXPECT_DOUBLE_EQ(x, 300.5 + (100.0 - 300.5) * 0.8);
    EXPECT_DOUBLE_EQ(y, 200.25 + (50.0 - 200.25) * 0.8);
}

// source = scale x K x [R | t] for a known camera and pose.
void makeProjection(double scale, double source[3][4], double k[3][3], double rt[3][4]) {
    const double a = 0.3, b = -0.7, c = 1.1;  // rotation from three angles
    const double rz1[3][3] = {{std::cos(a), -std::sin(a), 0}, {std::sin(a), std::cos(a), 0}, {0, 0, 1}};
    const double ry[3][3] = {{std::cos(b), 0, std::sin(b)}, {0, 1, 0}, {-std::sin(b), 0, std::cos(b)}};
    const double rx[3][3] = {{1, 0, 0}, {0, std::cos(c), -std::sin(c)}, {0, std::sin(c), std::cos(c)}};
    double tmp[3][3] = {}, r[3][3] = {};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int m = 0; m < 3; ++m) tmp[i][j] += rz1[i][m] * ry[m][j];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int m = 0; m < 3; ++m) r[i][j] += tmp[i][m] * rx[m][j];
    const double t[3] = {12.0, -7.5, 310.0};
    const double kk[3][3] = {{554.3, 1.5, 321.4}, {0, 553.6, 238.9}, {0, 0, 1}};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            k[i][j] = kk[i][j];
            rt[i][j] = r[i][j];
        }
        rt[i][3] = t[i];
    }
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 4; ++j) {
            source[i][j] = 0;
            for (int m = 0; m < 3; ++m) source[i][j] += scale * kk[i][m] * rt[m][j];
        }
}

TEST(Decomposition, RecoversCameraAndPoseAndReproducesTheProjection) {
    for (double scale : {1.0, 2.5, -0.75}) {
        SCOPED_TRACE(scale);
        double source[3][4], k[3][3], rt[3][4];
        makeProjection(scale, source, k, rt);
        double intrinsic[3][4], extrinsic[3][4];
        ASSERT_EQ(arParamDecompMat(source, intrinsic, extrinsic), 0);
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) EXPECT_NEAR(intrinsic[i][j], k[i][j], 1e-9 * (1 + std::fabs(k[i][j])));
            EXPECT_EQ(intrinsic[i][3], 0.0);
            for (int j = 0; j < 4; ++j) EXPECT_NEAR(extrinsic[i][j], rt[i][j], 1e-9 * (1 + std::fabs(rt[i][j])));
        }
        // intrinsic x extrinsic equals the source up to its scale (negative included).
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 4; ++j) {
                double v = 0;
                for (int m = 0; m < 3; ++m) v += intrinsic[i][m] * extrinsic[m][j];
                EXPECT_NEAR(v * scale, source[i][j], 1e-9 * (1 + std::fabs(source[i][j])));
            }
    }
}

TEST(Decomposition, NegativeTranslationDepthMatchesTheNegatedMatrix) {
    double source[3][4], k[3][3], rt[3][4];
    makeProjection(1.0, source, k, rt);
    double negated[3][4];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 4; ++j) negated[i][j] = -source[i][j];
    ASSERT_LT(negated[2][3], 0);
    double in1[3][4], ex1[3][4], in2[3][4], ex2[3][4];
    arParamDecompMat(source, in1, ex1);
    arParamDecompMat(negated, in2, ex2);
    EXPECT_EQ(std::memcmp(in1, in2, sizeof in1), 0);
    EXPECT_EQ(std::memcmp(ex1, ex2, sizeof ex1), 0);
}

}  // namespace

namespace {

TEST(CalibrationTool, FieldOfViewAndDefaultsMakeAPinholeRecord) {
    const std::string tool = std::string(PAVONIX_BINARY_DIR) + "/tools/pavonix-make-calibration";
    if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "pavonix-make-calibration not built";
    const std::string path = tempPath("tool.dat");
    ASSERT_EQ(std::system(("'" + tool + "' --width 320 --height 240 --hfov 90 '" + path + "' > /dev/null").c_str()), 0);
    CameraParam p;
    ASSERT_TRUE(loadCameraParam(path.c_str(), 1, &p));
    EXPECT_EQ(p.width, 320);
    EXPECT_EQ(p.height, 240);
    EXPECT_NEAR(p.projection[0][0], 160.0, 1e-9);  // tan 45 = 1: half the width
    EXPECT_EQ(p.projection[0][0], p.projection[1][1]);
    EXPECT_EQ(p.projection[0][2], 160.0);
    EXPECT_EQ(p.projection[1][2], 120.0);
    EXPECT_EQ(p.projection[2][2], 1.0);
    EXPECT_EQ(p.projection[0][3], 0.0);
    const double expectedDistortion[4] = {160.0, 120.0, 0.0, 1.0};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(p.distortion[i], expectedDistortion[i]);

    // Contradictory or missing values are refused and write nothing.
    std::remove(path.c_str());
    for (const char* args : {"--width 320 --height 240 --hfov 90 --fx 100 --fy 100", "--width 320 --height 240",
                             "--width 0 --height 240 --hfov 60", "--width 320 --height 240 --hfov 200",
                             "--width 320 --height 240 --fx 1e999 --fy 3", "--width 320 --height 240 --hfov 60 --bogus"}) {
        const int status = std::system(("'" + tool + "' " + args + " '" + path + "' > /dev/null 2>&1").c_str());
        EXPECT_NE(status, 0) << args;
        EXPECT_NE(access(path.c_str(), F_OK), 0) << args;
    }
}

}  // namespace
