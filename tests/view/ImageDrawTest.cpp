// The camera background as it reaches the window: read back from the back buffer after
// drawing, before any swap.
#include <gtest/gtest.h>

#include <GL/gl.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "common/GLContext.h"
#include "tracking/CameraParam.h"
#include "tracking/Marker.h"
#include "tracking/view/ImageDraw.h"

namespace {

// Every pixel names its own position: R = x low byte, G = y low byte, B = the high
// nibbles of x and y. A pixel read back from the window then tells where in the source
// image it was sampled from.
std::vector<uint8_t> coordinateImage(int width, int height)
{
    std::vector<uint8_t> bgra(static_cast<size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &bgra[(static_cast<size_t>(y) * width + x) * 4];
            p[0] = static_cast<uint8_t>(((x >> 8) & 0x0F) | (((y >> 8) & 0x0F) << 4));
            p[1] = static_cast<uint8_t>(y & 0xFF);
            p[2] = static_cast<uint8_t>(x & 0xFF);
            p[3] = 255;
        }
    return bgra;
}

void decode(const uint8_t* rgba, int* x, int* y)
{
    *x = rgba[0] | ((rgba[2] & 0x0F) << 8);
    *y = rgba[1] | ((rgba[2] >> 4) << 8);
}

CameraParam undistortedParam(int width, int height)
{
    CameraParam param{};
    param.width = width;
    param.height = height;
    const double k[3][4] = {{width * 1.1, 0, width / 2.0, 0}, {0, width * 1.1, height / 2.0, 0}, {0, 0, 1, 0}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) param.projection[r][c] = k[r][c];
    // Any centre: with no radial factor and unit scale the model is the identity.
    param.distortion[0] = width * 0.43;
    param.distortion[1] = height * 0.58;
    param.distortion[2] = 0.0;
    param.distortion[3] = 1.0;
    return param;
}

// A webcam-like lens: noticeable barrel distortion towards the corners.
CameraParam distortedParam(int width, int height)
{
    CameraParam param = undistortedParam(width, height);
    param.distortion[0] = width / 2.0 + 7.5;
    param.distortion[1] = height / 2.0 - 4.0;
    param.distortion[2] = 40.0;  // radial factor, in units of 1e-8 per squared pixel
    param.distortion[3] = 1.02;
    return param;
}

class ImageDrawTest : public ::testing::Test {
protected:
    void open(int width, int height)
    {
        if (!ensureGLContext(width, height)) GTEST_SKIP() << "no X display for a GL context";
        release();
        context = arglSetupForCurrentContext();
        ASSERT_NE(context, nullptr);
        glClearColor(0.0f, 0.0f, 1.0f, 1.0f);
        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    }
    void release()
    {
        releaseImageDrawContext(context);
        context = nullptr;
    }
    void TearDown() override { release(); }

    // Window pixel (x, y from the top) read back from the back buffer.
    const uint8_t* windowPixel(const std::vector<uint8_t>& back, int width, int height, int x, int yTop)
    {
        return &back[(static_cast<size_t>(height - 1 - yTop) * width + x) * 4];
    }

    // Draws with an undistorted calibration and demands the exact source pixel
    // everywhere, first row at the top.
    void expectExactCopy(int width, int height)
    {
        const CameraParam param = undistortedParam(width, height);
        const std::vector<uint8_t> image = coordinateImage(width, height);
        drawCameraImage(image.data(), &param, 1.0, context);
        ASSERT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));
        const std::vector<uint8_t> back = readBackBuffer(0, 0, width, height);
        int wrong = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                int sx = 0, sy = 0;
                decode(windowPixel(back, width, height, x, y), &sx, &sy);
                if ((sx != x || sy != y) && wrong++ < 5)
                    ADD_FAILURE() << "window (" << x << ", " << y << ") shows source (" << sx << ", " << sy << ")";
            }
        EXPECT_EQ(wrong, 0);
    }

    ImageDrawContext* context = nullptr;
};

TEST(GLVersionStrings, ParsesLeadingDigitsIntoNibbles)
{
    EXPECT_EQ(parseGLVersion("1.2.1"), 0x121);
    EXPECT_EQ(parseGLVersion("2.1"), 0x210);
    EXPECT_EQ(parseGLVersion("1.1 Microsoft"), 0x110);
    EXPECT_EQ(parseGLVersion("4.5 (Compatibility Profile) Mesa 22.3.6"), 0x450);
    EXPECT_EQ(parseGLVersion("3.3.0.7"), 0x330);  // digits after the third are not counted
    EXPECT_EQ(parseGLVersion("OpenGL ES 2.0"), 0);  // no leading digits
    EXPECT_EQ(parseGLVersion(""), 0);
    EXPECT_EQ(parseGLVersion(nullptr), 0);
}

TEST(GLVersionStrings, ExtensionsMatchOnlyWholeWords)
{
    const char* list = "GL_ARB_multitexture GL_EXT_bgra GL_SGIS_texture_edge_clamp";
    EXPECT_TRUE(hasExtensionWord(list, "GL_ARB_multitexture"));  // first
    EXPECT_TRUE(hasExtensionWord(list, "GL_EXT_bgra"));          // middle
    EXPECT_TRUE(hasExtensionWord(list, "GL_SGIS_texture_edge_clamp"));  // last
    EXPECT_TRUE(hasExtensionWord("GL_EXT_bgra", "GL_EXT_bgra"));

    // A longer name that starts with the same letters, or ends with them, is another
    // extension.
    EXPECT_FALSE(hasExtensionWord("GL_ARB_x GL_EXT_bgra_extended", "GL_EXT_bgra"));
    EXPECT_FALSE(hasExtensionWord("XGL_EXT_bgra GL_ARB_x", "GL_EXT_bgra"));
    EXPECT_FALSE(hasExtensionWord(list, "GL_EXT"));
    // The search goes on after a partial occurrence.
    EXPECT_TRUE(hasExtensionWord("GL_EXT_bgra_extended GL_EXT_bgra", "GL_EXT_bgra"));

    EXPECT_FALSE(hasExtensionWord(list, ""));
    EXPECT_FALSE(hasExtensionWord(list, "GL_ARB_multitexture GL_EXT_bgra"));  // contains a space
    EXPECT_FALSE(hasExtensionWord(nullptr, "GL_EXT_bgra"));
    EXPECT_FALSE(hasExtensionWord(list, nullptr));
}

TEST(ImageDrawSettings, NullRecordsAndOutOfRangeValuesAreIgnored)
{
    EXPECT_FALSE(setDrawMode(nullptr, 1));
    EXPECT_FALSE(setTexmapMode(nullptr, 0));
    EXPECT_FALSE(setPreferRectangle(nullptr, 0));
    EXPECT_EQ(getDrawMode(nullptr), -1);
    EXPECT_EQ(getTexmapMode(nullptr), -1);
    EXPECT_EQ(getPreferRectangle(nullptr), -1);

    ImageDrawContext record{};
    record.drawMode = 1;
    EXPECT_FALSE(setDrawMode(&record, 2));
    EXPECT_FALSE(setTexmapMode(&record, -1));
    EXPECT_EQ(getDrawMode(&record), 1);
    EXPECT_EQ(getTexmapMode(&record), 0);
    EXPECT_TRUE(setPreferRectangle(&record, 0));
    EXPECT_EQ(getPreferRectangle(&record), 0);

    releaseImageDrawContext(nullptr);  // must not crash
}

TEST_F(ImageDrawTest, SetupDefaultsAreTheFourByteBGRAFormatOnRectangles)
{
    open(64, 48);
    EXPECT_EQ(context->pixelFormat, static_cast<GLenum>(GL_BGRA));
    EXPECT_EQ(context->pixelType, static_cast<GLenum>(GL_UNSIGNED_BYTE));
    EXPECT_EQ(context->pixelSize, 4);
    EXPECT_EQ(getDrawMode(context), 1);
    EXPECT_EQ(getTexmapMode(context), 0);
    EXPECT_EQ(getPreferRectangle(context), 1);
    EXPECT_TRUE(hasGLVersionOrExtension(0x120, nullptr));  // Mesa is far beyond 1.2
    EXPECT_FALSE(hasGLVersionOrExtension(0, "GL_EXT_bgra_no_such_extension"));
}

TEST_F(ImageDrawTest, RectanglePathCopiesTheFrameExactlyWithoutDistortion)
{
    open(640, 480);
    expectExactCopy(640, 480);
    EXPECT_TRUE(context->rectReady);
    EXPECT_FALSE(context->pow2Ready);
    // The second frame goes through the kept texture and list.
    expectExactCopy(640, 480);
}

TEST_F(ImageDrawTest, PowerOfTwoPathCopiesTheFrameExactlyInsideALargerTexture)
{
    open(640, 480);
    setPreferRectangle(context, 0);
    expectExactCopy(640, 480);
    ASSERT_TRUE(context->pow2Ready);
    EXPECT_FALSE(context->rectReady);
    // The image fills 640/1024 = 0.625 and 480/512 = 0.9375 of the texture; the exact
    // copy above shows the grid's texture coordinates reach exactly that far.
    EXPECT_EQ(context->pow2Width, 1024);
    EXPECT_EQ(context->pow2Height, 512);

    GLint boundWidth = 0, boundHeight = 0;
    glBindTexture(GL_TEXTURE_2D, context->pow2Texture);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &boundWidth);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &boundHeight);
    glBindTexture(GL_TEXTURE_2D, 0);
    EXPECT_EQ(boundWidth, 1024);
    EXPECT_EQ(boundHeight, 512);
}

TEST_F(ImageDrawTest, ANewImageSizeRebuildsTextureAndGrid)
{
    for (int prefer = 1; prefer >= 0; --prefer) {
        SCOPED_TRACE(prefer ? "rectangle" : "power of two");
        open(640, 480);
        setPreferRectangle(context, prefer);
        expectExactCopy(640, 480);
        // The same record (the window changes, the GL context stays) with a smaller and
        // then the original frame size: a stale texture or grid shows up as wrong pixels.
        ASSERT_TRUE(ensureGLContext(400, 300));
        expectExactCopy(400, 300);
        EXPECT_EQ(context->builtWidth, 400);
        EXPECT_EQ(context->builtHeight, 300);
        ASSERT_TRUE(ensureGLContext(640, 480));
        expectExactCopy(640, 480);
    }
}

TEST_F(ImageDrawTest, DistortedCalibrationWarpsTheFrameByTheLensModel)
{
    for (int prefer = 1; prefer >= 0; --prefer) {
        SCOPED_TRACE(prefer ? "rectangle" : "power of two");
        const int width = 640, height = 480;
        open(width, height);
        setPreferRectangle(context, prefer);
        const CameraParam param = distortedParam(width, height);
        const std::vector<uint8_t> image = coordinateImage(width, height);
        drawCameraImage(image.data(), &param, 1.0, context);
        const std::vector<uint8_t> back = readBackBuffer(0, 0, width, height);

        // Window pixel centres are ideal image positions; the background there must come
        // from the observed position the lens model gives (the grid interpolates the
        // model linearly between its vertices, hence the tolerance).
        double worst = 0.0;
        int covered = 0, examined = 0;
        for (int y = 0; y < height; y += 7)
            for (int x = 0; x < width; x += 7) {
                double ox = 0.0, oy = 0.0;
                idealToObserved(param.distortion, x + 0.5, y + 0.5, &ox, &oy);
                if (ox < 1 || oy < 1 || ox > width - 1 || oy > height - 1) continue;  // outside the frame
                const uint8_t* p = windowPixel(back, width, height, x, y);
                ++examined;
                if (p[0] == 0 && p[1] == 0 && p[2] == 255) continue;  // clear colour: not covered
                ++covered;
                int sx = 0, sy = 0;
                decode(p, &sx, &sy);
                worst = std::max(worst, std::hypot(sx + 0.5 - ox, sy + 0.5 - oy));
            }
        EXPECT_GT(covered, examined * 95 / 100);
        EXPECT_LT(worst, 1.2) << "background departs from the lens model";

        // The distortion really moved pixels: the corners are visibly displaced.
        int sx = 0, sy = 0;
        decode(windowPixel(back, width, height, 20, 20), &sx, &sy);
        EXPECT_GT(std::hypot(sx - 20.0, sy - 20.0), 3.0);
    }
}

TEST_F(ImageDrawTest, CommittedCalibrationStaysCloseToTheLensModel)
{
    CameraParam file{};
    const std::string path = std::string(PAVONIX_SOURCE_DIR) + "/Data/camera_para.dat";
    if (!loadCameraParam(path.c_str(), 1, &file)) GTEST_SKIP() << "no calibration at " << path;
    const int width = 640, height = 480;
    open(width, height);
    CameraParam param{};
    resizeCameraParam(&file, width, height, &param);
    const std::vector<uint8_t> image = coordinateImage(width, height);
    drawCameraImage(image.data(), &param, 1.0, context);
    const std::vector<uint8_t> back = readBackBuffer(0, 0, width, height);
    double worst = 0.0;
    for (int y = 4; y < height - 4; y += 11)
        for (int x = 4; x < width - 4; x += 11) {
            double ox = 0.0, oy = 0.0;
            idealToObserved(param.distortion, x + 0.5, y + 0.5, &ox, &oy);
            if (ox < 1 || oy < 1 || ox > width - 1 || oy > height - 1) continue;
            const uint8_t* p = windowPixel(back, width, height, x, y);
            if (p[0] == 0 && p[1] == 0 && p[2] == 255) continue;
            int sx = 0, sy = 0;
            decode(p, &sx, &sy);
            worst = std::max(worst, std::hypot(sx + 0.5 - ox, sy + 0.5 - oy));
        }
    EXPECT_LT(worst, 1.2);
}

TEST_F(ImageDrawTest, DebugImageReplacesTheFrameAndIsSkippedWhenMissing)
{
    const int width = 64, height = 48;
    open(width, height);
    const CameraParam param = undistortedParam(width, height);
    const std::vector<uint8_t> image = coordinateImage(width, height);
    std::vector<uint8_t> binarized(static_cast<size_t>(width) * height * 4, 0);
    for (size_t i = 0; i < binarized.size(); i += 4) binarized[i + 1] = 255;  // all green

    const int savedMode = debugImageMode;
    uint8_t* const savedImage = binarizedImage;
    debugImageMode = 1;
    binarizedImage = nullptr;
    drawCameraImage(image.data(), &param, 1.0, context);
    const Pixel untouched = readBackPixel(10, 10);
    binarizedImage = binarized.data();
    drawCameraImage(image.data(), &param, 1.0, context);
    const Pixel debug = readBackPixel(10, 10);
    debugImageMode = savedMode;
    binarizedImage = savedImage;

    EXPECT_EQ(untouched.b, 255);  // clear colour: nothing drawn without a binarized image
    EXPECT_EQ(untouched.r, 0);
    EXPECT_EQ(debug.g, 255);
    EXPECT_EQ(debug.b, 0);

    drawCameraImage(nullptr, &param, 1.0, context);  // a null frame draws nothing, no crash
    EXPECT_EQ(readBackPixel(10, 10).g, 255);
}

TEST_F(ImageDrawTest, LeavesTheSceneStateAsItFoundIt)
{
    open(64, 48);
    const CameraParam param = undistortedParam(64, 48);
    const std::vector<uint8_t> image = coordinateImage(64, 48);
    glEnable(GL_LIGHTING);
    glEnable(GL_DEPTH_TEST);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glTranslated(1.0, 2.0, 3.0);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glScaled(2.0, 2.0, 2.0);

    drawCameraImage(image.data(), &param, 1.0, context);

    EXPECT_TRUE(glIsEnabled(GL_LIGHTING));
    EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
    GLint env = 0, mode = 0;
    glGetTexEnviv(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, &env);
    glGetIntegerv(GL_MATRIX_MODE, &mode);
    EXPECT_EQ(env, GL_MODULATE);
    EXPECT_EQ(mode, GL_MODELVIEW);
    GLdouble projection[16], modelView[16];
    glGetDoublev(GL_PROJECTION_MATRIX, projection);
    glGetDoublev(GL_MODELVIEW_MATRIX, modelView);
    EXPECT_DOUBLE_EQ(projection[13], 2.0);
    EXPECT_DOUBLE_EQ(modelView[0], 2.0);
    EXPECT_EQ(glGetError(), static_cast<GLenum>(GL_NO_ERROR));

    glDisable(GL_LIGHTING);
    glDisable(GL_DEPTH_TEST);
    glLoadIdentity();
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
}

}  // namespace
