#include "tracking/view/ImageDraw.h"

#include <GL/glext.h>
#include <GL/glu.h>
#include <GL/glx.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tracking/Marker.h"

namespace {

// The grid that carries the undistortion: fine enough that the distortion is
// smooth between vertices, coarse enough to evaluate once into a display list.
constexpr int kGridCells = 20;

// GL 1.2 brought GL_BGRA and GL_CLAMP_TO_EDGE into the core.
constexpr int kGL12 = 0x120;

bool contextIsCurrent() { return glXGetCurrentContext() != nullptr; }

// Texture-map scale factor of the record; only the full image (factor 1) is used.
int scaleFactorOf(const ImageDrawContext* context) { return context->texmapMode + 1; }

void releaseRectangle(ImageDrawContext* context)
{
    if (!context->rectReady) return;
    if (contextIsCurrent()) {
        glDeleteTextures(1, &context->rectTexture);
        glDeleteLists(context->rectList, 1);
    }
    context->rectTexture = 0;
    context->rectList = 0;
    context->rectProbed = 0;
    context->rectReady = 0;
}

void releasePow2(ImageDrawContext* context)
{
    if (!context->pow2Ready) return;
    if (contextIsCurrent()) {
        glDeleteTextures(1, &context->pow2Texture);
        glDeleteLists(context->pow2List, 1);
    }
    context->pow2Texture = 0;
    context->pow2List = 0;
    context->pow2Probed = 0;
    context->pow2Ready = 0;
}

// The observed image position (x, y) (pixels, y down) as a window-space vertex of the
// ideal camera: undistorted, zoomed, and flipped so the image's first row is at the top.
void emitIdealVertex(const CameraParam* param, float zoom, float x, float y)
{
    double ix = 0.0, iy = 0.0;
    observedToIdeal(param->distortion, x, y, &ix, &iy);
    glVertex2f(zoom * static_cast<float>(ix), zoom * (static_cast<float>(param->height) - static_cast<float>(iy)));
}

float gridCoordinate(int size, int index)
{
    return static_cast<float>(size) * static_cast<float>(index) / static_cast<float>(kGridCells);
}

// Rectangle textures are addressed in pixels, so one grid row is one quad strip whose
// texture coordinates are the observed positions themselves.
void compileRectangleGrid(const CameraParam* param, float zoom)
{
    const int width = param->width, height = param->height;
    for (int i = 1; i <= kGridCells; ++i) {
        const float y0 = gridCoordinate(height, i - 1);
        const float y1 = gridCoordinate(height, i);
        glBegin(GL_QUAD_STRIP);
        for (int j = 0; j <= kGridCells; ++j) {
            const float x = gridCoordinate(width, j);
            glTexCoord2f(x, y0);
            emitIdealVertex(param, zoom, x, y0);
            glTexCoord2f(x, y1);
            emitIdealVertex(param, zoom, x, y1);
        }
        glEnd();
    }
}

// The image occupies the top-left part of a larger power-of-two texture, so texture
// coordinates are the observed positions divided by the texture's size.
void compilePow2Grid(const CameraParam* param, float zoom, int texWidth, int texHeight)
{
    const int width = param->width, height = param->height;
    const float sx = 1.0f / static_cast<float>(texWidth);
    const float sy = 1.0f / static_cast<float>(texHeight);
    glBegin(GL_QUADS);
    for (int i = 1; i <= kGridCells; ++i) {
        const float y0 = gridCoordinate(height, i - 1);
        const float y1 = gridCoordinate(height, i);
        for (int j = 1; j <= kGridCells; ++j) {
            const float x0 = gridCoordinate(width, j - 1);
            const float x1 = gridCoordinate(width, j);
            const float corners[4][2] = {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}};
            for (const auto& c : corners) {
                glTexCoord2f(c[0] * sx, c[1] * sy);
                emitIdealVertex(param, zoom, c[0], c[1]);
            }
        }
    }
    glEnd();
}

// Beginning of a list: texture coordinates go through unchanged.
void beginGridList(GLenum target)
{
    glEnable(target);
    glMatrixMode(GL_TEXTURE);
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
}

bool probeRectangle(const ImageDrawContext* context, int width, int height)
{
    if (!hasGLVersionOrExtension(0, "GL_NV_texture_rectangle") &&
        !hasGLVersionOrExtension(0, "GL_EXT_texture_rectangle"))
        return false;
    GLint maxSize = 0;
    glGetIntegerv(GL_MAX_RECTANGLE_TEXTURE_SIZE, &maxSize);
    if (maxSize < width || maxSize < height) return false;
    glTexImage2D(GL_PROXY_TEXTURE_RECTANGLE, 0, context->internalFormat, width, height, 0, context->pixelFormat,
                 context->pixelType, nullptr);
    GLint format = 0;
    glGetTexLevelParameteriv(GL_PROXY_TEXTURE_RECTANGLE, 0, GL_TEXTURE_INTERNAL_FORMAT, &format);
    return format != 0;
}

// Finds the power-of-two texture size and wrap mode; false when the image does not fit.
bool probePow2(ImageDrawContext* context, int width, int height)
{
    GLint maxSize = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
    if (maxSize < width || maxSize < height) return false;
    int texWidth = 1, texHeight = 1;
    while (texWidth < width) {
        texWidth *= 2;
        if (texWidth > maxSize) return false;
    }
    while (texHeight < height) {
        texHeight *= 2;
        if (texHeight > maxSize) return false;
    }
    glTexImage2D(GL_PROXY_TEXTURE_2D, 0, context->internalFormat, texWidth, texHeight, 0, context->pixelFormat,
                 context->pixelType, nullptr);
    GLint format = 0;
    glGetTexLevelParameteriv(GL_PROXY_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &format);
    if (format == 0) return false;
    context->pow2Width = texWidth;
    context->pow2Height = texHeight;
    context->pow2WrapMode =
        hasGLVersionOrExtension(kGL12, "GL_SGIS_texture_edge_clamp") ? GL_CLAMP_TO_EDGE : GL_REPEAT;
    return true;
}

void recordBuiltState(ImageDrawContext* context, const CameraParam* param, float zoom)
{
    context->builtHeight = param->height;
    context->builtWidth = param->width;
    context->builtZoom = zoom;
    context->builtScaleFactor = scaleFactorOf(context);
}

void drawPow2(const uint8_t* image, const CameraParam* param, float zoom, ImageDrawContext* context)
{
    const int width = param->width, height = param->height;
    if (!context->pow2Ready || context->rebuildRequested) {
        context->rebuildRequested = 0;
        releasePow2(context);
        // A failed probe is final: the implementation will not grow new capabilities.
        if (context->pow2Probed) return;
        context->pow2Probed = 1;
        if (!probePow2(context, width, height)) {
            std::printf("argl error: Your OpenGL implementation and/or hardware's texturing capabilities are "
                        "insufficient.\n");
            return;
        }
        glGenTextures(1, &context->pow2Texture);
        glBindTexture(GL_TEXTURE_2D, context->pow2Texture);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, context->pow2WrapMode);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, context->pow2WrapMode);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glTexImage2D(GL_TEXTURE_2D, 0, context->internalFormat, context->pow2Width, context->pow2Height, 0,
                     context->pixelFormat, context->pixelType, nullptr);

        context->pow2List = glGenLists(1);
        glNewList(context->pow2List, GL_COMPILE);
        beginGridList(GL_TEXTURE_2D);
        compilePow2Grid(param, zoom, context->pow2Width, context->pow2Height);
        glDisable(GL_TEXTURE_2D);
        glEndList();

        recordBuiltState(context, param, zoom);
        context->pow2Ready = 1;
    }
    glBindTexture(GL_TEXTURE_2D, context->pow2Texture);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, context->pixelFormat, context->pixelType, image);
    glCallList(context->pow2List);
    glBindTexture(GL_TEXTURE_2D, 0);
}

void drawRectangle(const uint8_t* image, const CameraParam* param, float zoom, ImageDrawContext* context)
{
    const int width = param->width, height = param->height;
    if (!context->rectReady || context->rebuildRequested) {
        context->rebuildRequested = 0;
        releaseRectangle(context);
        if (context->rectProbed) return;
        context->rectProbed = 1;
        if (!probeRectangle(context, width, height)) {
            std::printf("argl error: Your OpenGL implementation and/or hardware's texturing capabilities are "
                        "insufficient to support rectangle textures.\n");
            // Rectangle textures stay unusable for this context; the power-of-two path
            // takes over for this frame and all later ones.
            context->preferRectangle = 0;
            drawPow2(image, param, zoom, context);
            return;
        }
        glGenTextures(1, &context->rectTexture);
        glBindTexture(GL_TEXTURE_RECTANGLE, context->rectTexture);
        glTexParameteri(GL_TEXTURE_RECTANGLE, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_RECTANGLE, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_RECTANGLE, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_RECTANGLE, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
        glTexImage2D(GL_TEXTURE_RECTANGLE, 0, context->internalFormat, width, height, 0, context->pixelFormat,
                     context->pixelType, image);

        context->rectList = glGenLists(1);
        glNewList(context->rectList, GL_COMPILE);
        beginGridList(GL_TEXTURE_RECTANGLE);
        compileRectangleGrid(param, zoom);
        glDisable(GL_TEXTURE_RECTANGLE);
        glEndList();

        recordBuiltState(context, param, zoom);
        context->rectReady = 1;
    }
    glBindTexture(GL_TEXTURE_RECTANGLE, context->rectTexture);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexSubImage2D(GL_TEXTURE_RECTANGLE, 0, 0, 0, width, height, context->pixelFormat, context->pixelType, image);
    glCallList(context->rectList);
    glBindTexture(GL_TEXTURE_RECTANGLE, 0);
}

}  // namespace

ImageDrawContext* arglSetupForCurrentContext()
{
    auto* context = static_cast<ImageDrawContext*>(std::calloc(1, sizeof(ImageDrawContext)));
    if (!context) return nullptr;
    // Camera frames are B,G,R,A; uploading them as GL_BGRA avoids a swizzle per frame.
    if (!hasGLVersionOrExtension(kGL12, "GL_EXT_bgra")) {
        std::printf("Unknown default pixel format defined in config.\n");
        std::free(context);
        return nullptr;
    }
    context->internalFormat = GL_RGBA;
    context->pixelFormat = GL_BGRA;
    context->pixelType = GL_UNSIGNED_BYTE;
    context->pixelSize = 4;
    context->rebuildRequested = 1;
    context->drawMode = 1;
    context->texmapMode = 0;
    context->preferRectangle = 1;
    return context;
}

void releaseImageDrawContext(ImageDrawContext* context)
{
    if (!context) return;
    releaseRectangle(context);
    releasePow2(context);
    std::free(context);
}

bool setDrawMode(ImageDrawContext* context, int mode)
{
    if (!context || (mode != 0 && mode != 1)) return false;
    context->drawMode = mode;
    return true;
}

int getDrawMode(const ImageDrawContext* context) { return context ? context->drawMode : -1; }

bool setTexmapMode(ImageDrawContext* context, int mode)
{
    if (!context || (mode != 0 && mode != 1)) return false;
    context->texmapMode = mode;
    return true;
}

int getTexmapMode(const ImageDrawContext* context) { return context ? context->texmapMode : -1; }

bool setPreferRectangle(ImageDrawContext* context, int prefer)
{
    if (!context) return false;
    context->preferRectangle = prefer;
    return true;
}

int getPreferRectangle(const ImageDrawContext* context) { return context ? context->preferRectangle : -1; }

int parseGLVersion(const char* versionString)
{
    if (!versionString) return 0;
    int value = 0;
    int digits = 0;
    for (const char* p = versionString; (*p >= '0' && *p <= '9') || *p == '.'; ++p) {
        if (*p == '.') continue;
        if (digits < 3) value |= (*p - '0') << (4 * (2 - digits));
        ++digits;
    }
    return value;
}

bool hasExtensionWord(const char* extensions, const char* name)
{
    if (!extensions || !name || !*name || std::strchr(name, ' ')) return false;
    const size_t length = std::strlen(name);
    const char* start = extensions;
    while (const char* found = std::strstr(start, name)) {
        const char* end = found + length;
        if ((found == extensions || found[-1] == ' ') && (*end == ' ' || *end == '\0')) return true;
        start = end;
    }
    return false;
}

bool hasGLVersionOrExtension(int version, const char* name)
{
    const int available = parseGLVersion(reinterpret_cast<const char*>(glGetString(GL_VERSION)));
    if (version != 0 && available >= version) return true;
    if (!name) return false;
    return hasExtensionWord(reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS)), name);
}

void drawCameraImage(const uint8_t* image, const CameraParam* param, double zoom, ImageDrawContext* context)
{
    if (!image || !param || !context) return;
    if (param->width <= 0 || param->height <= 0) return;

    GLint envMode = GL_REPLACE;
    glGetTexEnviv(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, &envMode);
    if (envMode != GL_REPLACE) glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    const GLboolean lighting = glIsEnabled(GL_LIGHTING);
    const GLboolean depthTest = glIsEnabled(GL_DEPTH_TEST);
    if (lighting) glDisable(GL_LIGHTING);
    if (depthTest) glDisable(GL_DEPTH_TEST);
    GLint matrixMode = GL_MODELVIEW;
    glGetIntegerv(GL_MATRIX_MODE, &matrixMode);

    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    gluOrtho2D(0.0, param->width, 0.0, param->height);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();

    const uint8_t* source = debugImageMode ? binarizedImage : image;
    if (source) {
        const float z = static_cast<float>(zoom);
        if (scaleFactorOf(context) != context->builtScaleFactor || z != context->builtZoom ||
            param->width != context->builtWidth || param->height != context->builtHeight)
            context->rebuildRequested = 1;
        if (context->preferRectangle)
            drawRectangle(source, param, z, context);
        else
            drawPow2(source, param, z, context);
    }

    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
    glMatrixMode(matrixMode);
    if (depthTest) glEnable(GL_DEPTH_TEST);
    if (lighting) glEnable(GL_LIGHTING);
    if (envMode != GL_REPLACE) glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, envMode);
}

void arglCameraFrustum(const CameraParam* param, double nearPlane, double farPlane, double projection[16])
{
    double intrinsic[3][4], extrinsic[3][4];
    if (arParamDecompMat(param->projection, intrinsic, extrinsic) < 0) {
        std::printf("arglCameraFrustum: the calibration's projection matrix cannot be decomposed.\n");
        return;
    }
    const double width = param->width, height = param->height;
    // OpenGL's window y grows upwards; the calibration's image y grows downwards.
    for (int c = 0; c < 4; ++c) intrinsic[1][c] = (height - 1) * intrinsic[2][c] - intrinsic[1][c];

    double p[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) p[r][c] = intrinsic[r][c] / intrinsic[2][2];

    double q[4][4] = {};
    q[0][0] = 2.0 * p[0][0] / (width - 1);
    // The eye's y is the camera's y negated (markerViewMatrix), so the skew term that
    // multiplies it changes sign too; otherwise a skewed calibration shifts every point
    // sideways by skew * y / z pixels.
    q[0][1] = -2.0 * p[0][1] / (width - 1);
    q[0][2] = -(2.0 * p[0][2] / (width - 1) - 1.0);
    q[1][1] = -(2.0 * p[1][1] / (height - 1));
    q[1][2] = -(2.0 * p[1][2] / (height - 1) - 1.0);
    q[2][2] = (farPlane + nearPlane) / (nearPlane - farPlane);
    q[2][3] = 2.0 * farPlane * nearPlane / (nearPlane - farPlane);
    q[3][2] = -1.0;

    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 3; ++c)
            projection[4 * c + r] = q[r][0] * extrinsic[0][c] + q[r][1] * extrinsic[1][c] + q[r][2] * extrinsic[2][c];
        projection[12 + r] =
            q[r][0] * extrinsic[0][3] + q[r][1] * extrinsic[1][3] + q[r][2] * extrinsic[2][3] + q[r][3];
    }
}

void markerViewMatrix(const double transform[3][4], double modelView[16], double scale)
{
    // The tracker's camera looks down +z with y down; OpenGL's eye looks down -z with
    // y up: a half turn about x, i.e. rows 1 and 2 negated.
    static const double kSign[3] = {1.0, -1.0, -1.0};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) modelView[4 * c + r] = kSign[r] * transform[r][c];
    modelView[3] = modelView[7] = modelView[11] = 0.0;
    modelView[15] = 1.0;
    if (scale != 0.0)
        for (int r = 0; r < 3; ++r) modelView[12 + r] *= scale;
}
