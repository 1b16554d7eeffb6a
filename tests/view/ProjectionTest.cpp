// The OpenGL projection and marker model-view must put a marker point on the window
// pixel where the calibrated camera sees it.
#include <gtest/gtest.h>

#include <GL/gl.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/GLContext.h"
#include "tracking/CameraParam.h"
#include "tracking/view/ImageDraw.h"

namespace {

struct Pose {
    double rx, ry, rz;  // radians, applied as Rz Ry Rx
    double tx, ty, tz;
};

void makeTransform(const Pose& pose, double t[3][4])
{
    const double cx = std::cos(pose.rx), sx = std::sin(pose.rx);
    const double cy = std::cos(pose.ry), sy = std::sin(pose.ry);
    const double cz = std::cos(pose.rz), sz = std::sin(pose.rz);
    const double r[3][3] = {{cz * cy, cz * sy * sx - sz * cx, cz * sy * cx + sz * sx},
                            {sz * cy, sz * sy * sx + cz * cx, sz * sy * cx - cz * sx},
                            {-sy, cy * sx, cy * cx}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) t[i][j] = r[i][j];
    t[0][3] = pose.tx;
    t[1][3] = pose.ty;
    t[2][3] = pose.tz;
}

// Marker seen from above and at angles, near and far, off centre; the marker faces the
// camera (its z axis points back towards it) as it does when tracked.
const Pose kPoses[] = {
    {M_PI, 0.0, 0.0, 0.0, 0.0, 300.0},
    {M_PI + 0.5, 0.2, 0.3, 40.0, -25.0, 250.0},
    {M_PI - 0.7, -0.4, 1.2, -60.0, 30.0, 420.0},
    {M_PI + 0.9, 0.6, -2.0, 10.0, 55.0, 180.0},
    {M_PI - 0.2, -0.8, 2.9, -35.0, -40.0, 600.0},
};

const double kMarkerPoints[][2] = {{0, 0}, {20, 20}, {-20, 20}, {-20, -20}, {20, -20}, {7.5, -13.0}, {40, 0}};

CameraParam syntheticParam()
{
    CameraParam param{};
    param.width = 640;
    param.height = 480;
    const double p[3][4] = {{702.0, 1.5, 318.2, 0.0}, {0.0, 698.0, 242.7, 0.0}, {0.0, 0.0, 1.0, 0.0}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) param.projection[r][c] = p[r][c];
    param.distortion[0] = 318.0;
    param.distortion[1] = 242.0;
    param.distortion[2] = 30.0;
    param.distortion[3] = 1.0;
    return param;
}

std::vector<CameraParam> calibrations()
{
    std::vector<CameraParam> list{syntheticParam()};
    CameraParam file{}, sized{};
    const std::string path = std::string(PAVONIX_SOURCE_DIR) + "/Data/camera_para.dat";
    if (loadCameraParam(path.c_str(), 1, &file).ok()) {
        resizeCameraParam(&file, 640, 480, &sized);
        list.push_back(sized);
    }
    return list;
}

// Window coordinates (x right, y up from the bottom edge) of a marker point through
// column-major projection and model-view matrices and a full-window viewport.
bool windowPosition(const double projection[16], const double modelView[16], const double point[3], int width,
                    int height, double* wx, double* wy)
{
    double eye[4], clip[4];
    for (int r = 0; r < 4; ++r)
        eye[r] = modelView[r] * point[0] + modelView[4 + r] * point[1] + modelView[8 + r] * point[2] + modelView[12 + r];
    for (int r = 0; r < 4; ++r)
        clip[r] = projection[r] * eye[0] + projection[4 + r] * eye[1] + projection[8 + r] * eye[2] +
                  projection[12 + r] * eye[3];
    if (clip[3] <= 0.0) return false;
    *wx = (clip[0] / clip[3] + 1.0) * 0.5 * width;
    *wy = (clip[1] / clip[3] + 1.0) * 0.5 * height;
    return std::fabs(clip[2] / clip[3]) < 1.0;
}

// Where the calibration puts a marker point: image coordinates whose integers are pixel
// centres, y down.
void calibratedImagePosition(const CameraParam& param, const double t[3][4], const double point[3], double* u,
                             double* v)
{
    double c[3];
    for (int r = 0; r < 3; ++r) c[r] = t[r][0] * point[0] + t[r][1] * point[1] + t[r][2] * point[2] + t[r][3];
    double h[3];
    for (int r = 0; r < 3; ++r)
        h[r] = param.projection[r][0] * c[0] + param.projection[r][1] * c[1] + param.projection[r][2] * c[2] +
               param.projection[r][3];
    *u = h[0] / h[2];
    *v = h[1] / h[2];
}

TEST(Projection, MarkerPointsLandOnTheCalibratedPixels)
{
    int checked = 0;
    for (const CameraParam& param : calibrations()) {
        double projection[16];
        arglCameraFrustum(&param, 0.1, 400.0 * 10, projection);
        for (const Pose& pose : kPoses) {
            double t[3][4], modelView[16];
            makeTransform(pose, t);
            markerViewMatrix(t, modelView, 0.0);
            for (const auto& xy : kMarkerPoints) {
                const double point[3] = {xy[0], xy[1], 0.0};
                double u = 0, v = 0, wx = 0, wy = 0;
                calibratedImagePosition(param, t, point, &u, &v);
                // Only what the window shows: outside it the half-pixel difference
                // between the two conventions grows with the distance.
                if (u < -0.5 || v < -0.5 || u > param.width - 0.5 || v > param.height - 0.5) continue;
                ++checked;
                ASSERT_TRUE(windowPosition(projection, modelView, point, param.width, param.height, &wx, &wy));
                // Pixel u covers window x in [u, u + 1) and image row v is window row
                // height - 1 - v.
                EXPECT_NEAR(wx, u + 0.5, 0.5 + 1e-9) << "pose tz " << pose.tz << " point " << xy[0] << "," << xy[1];
                EXPECT_NEAR(wy, param.height - (v + 0.5), 0.5 + 1e-9);
            }
        }
    }
    EXPECT_GE(checked, 50);
}

TEST(Projection, ModelScaleShrinksTranslationSoScaledModelsLandOnTheSamePixels)
{
    const CameraParam param = syntheticParam();
    double projection[16];
    arglCameraFrustum(&param, 0.1, 4000.0, projection);
    double t[3][4], raw[16], zero[16], scaled[16];
    makeTransform(kPoses[1], t);
    markerViewMatrix(t, raw, 1.0);
    markerViewMatrix(t, zero, 0.0);
    markerViewMatrix(t, scaled, 0.16);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(zero[i], raw[i]) << "scale 0 must keep the raw translation";

    for (const auto& xy : kMarkerPoints) {
        // A model 0.16 times the marker's size in model units is drawn at marker size.
        const double point[3] = {xy[0], xy[1], 0.0};
        const double modelPoint[3] = {xy[0] * 0.16, xy[1] * 0.16, 0.0};
        double x0, y0, x1, y1;
        windowPosition(projection, raw, point, 640, 480, &x0, &y0);
        windowPosition(projection, scaled, modelPoint, 640, 480, &x1, &y1);
        EXPECT_NEAR(x1, x0, 1e-6);
        EXPECT_NEAR(y1, y0, 1e-6);
    }
}

// The same check through the real pipeline: matrices loaded into OpenGL, one point drawn,
// its pixel found in the back buffer.
TEST(Projection, OpenGLDrawsMarkerPointsOnTheCalibratedPixels)
{
    if (!ensureGLContext(640, 480)) GTEST_SKIP() << "no X display for a GL context";
    const CameraParam param = syntheticParam();
    double projection[16];
    arglCameraFrustum(&param, 0.1, 4000.0, projection);
    glDisable(GL_LIGHTING);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_TEXTURE_2D);
    glPointSize(1.0f);
    for (const Pose& pose : kPoses) {
        double t[3][4], modelView[16];
        makeTransform(pose, t);
        markerViewMatrix(t, modelView, 0.0);
        const double point[3] = {12.0, -7.0, 0.0};
        double u = 0, v = 0;
        calibratedImagePosition(param, t, point, &u, &v);

        glClearColor(0, 0, 0, 1);
        glClear(GL_COLOR_BUFFER_BIT);
        glMatrixMode(GL_PROJECTION);
        glLoadMatrixd(projection);
        glMatrixMode(GL_MODELVIEW);
        glLoadMatrixd(modelView);
        glColor3f(1, 1, 1);
        glBegin(GL_POINTS);
        glVertex3dv(point);
        glEnd();
        const std::vector<uint8_t> back = readBackBuffer(0, 0, 640, 480);
        int found = 0, px = -1, py = -1;
        for (int y = 0; y < 480; ++y)
            for (int x = 0; x < 640; ++x)
                if (back[(static_cast<size_t>(y) * 640 + x) * 4] > 128) {
                    ++found;
                    px = x;
                    py = 479 - y;  // image row, top first
                }
        ASSERT_EQ(found, 1);
        EXPECT_LE(std::fabs(px - u), 1.0);
        EXPECT_LE(std::fabs(py - v), 1.0);
    }
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
}

}  // namespace
