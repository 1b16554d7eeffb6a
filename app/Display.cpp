#include "app/Display.h"

#include <GL/freeglut.h>
#include <GL/gl.h>

#include <cstdio>
#include <cstring>

#include "app/Globals.h"
#include "app/Scene.h"
#include "app/imgproc/cvImgProc.h"
#include "character/Model.h"
#include "render/ModelDraw.h"
#include "render/ToonShader.h"
#include "platform/video/Video.h"
#include "tracking/Labeling.h"
#include "tracking/view/ImageDraw.h"
#include "tracking/view/Tracker.h"

namespace {

// The projection's clipping planes, in model units after scaling.
constexpr double kNearPlane = 0.1;
constexpr double kFarPlane = 400.0;
constexpr float kAxisLength = 10.0f;

// What the display keeps from one frame to the next.
struct DisplayState {
    // The frame rate shown: frames counted over windows of at least a second.
    int fpsWindowStart = 0;  // GLUT ms
    int fpsFrameCount = 0;
    float fps = 0.0f;
    FrameComposedHook frameComposedHook = nullptr;
    FrameComposedHook frameShownHook = nullptr;
} g_display;

void drawAxes() {
    glEnable(GL_DEPTH_TEST);
    glDisable(GL_LIGHTING);
    glDisable(GL_TEXTURE_2D);
    glBegin(GL_LINES);
    glColor4f(1.0f, 0.0f, 0.0f, 1.0f);
    glVertex3f(0.0f, 0.0f, 0.0f);
    glVertex3f(kAxisLength, 0.0f, 0.0f);
    glColor4f(0.0f, 1.0f, 0.0f, 1.0f);
    glVertex3f(0.0f, 0.0f, 0.0f);
    glVertex3f(0.0f, kAxisLength, 0.0f);
    glColor4f(0.0f, 0.0f, 1.0f, 1.0f);
    glVertex3f(0.0f, 0.0f, 0.0f);
    glVertex3f(0.0f, 0.0f, kAxisLength);
    glEnd();
    glEnable(GL_LIGHTING);
}

// Slot 1 at the origin, slot 2 at minus the twin offset; either through drawModel or,
// for the shadow, positions only.
void drawSlots(void (*draw)(const cModel&)) {
    if (modelSlots().model1Loaded) draw(modelSlots().model1);
    if (g_displayTwin) {
        glTranslatef(-modelSlots().twinOffset[0], -modelSlots().twinOffset[1], -modelSlots().twinOffset[2]);
        draw(modelSlots().model2);
        glTranslatef(modelSlots().twinOffset[0], modelSlots().twinOffset[1], modelSlots().twinOffset[2]);
    }
}

void drawModelFull(const cModel& model) { drawModel(model); }
// Outlines belong to the character seen directly; in the reflection they would only
// thicken its silhouette.
void drawModelReflected(const cModel& model) { drawModel(model, false); }
void drawModelShadow(const cModel& model) { drawModelGeometry(model); }

// Window pixel coordinates for 2D drawing (origin bottom left), both matrices saved.
void beginWindowPixels(int w, int h) {
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glOrtho(0.0, w, 0.0, h, -1.0, 1.0);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
}

void endWindowPixels() {
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
}

void shadowPass() {
    glDisable(GL_CULL_FACE);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_LIGHTING);
    glEnable(GL_STENCIL_TEST);
    glStencilFunc(GL_ALWAYS, 1, ~0u);
    glStencilOp(GL_REPLACE, GL_KEEP, GL_REPLACE);
    glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE);
    glDepthMask(GL_FALSE);

    // The flattened models mark every pixel where their shadow is visible.
    glMultMatrixf(g_shadowMatrix);
    drawSlots(drawModelShadow);

    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    const int w = glutGet(GLUT_WINDOW_WIDTH);
    const int h = glutGet(GLUT_WINDOW_HEIGHT);
    glStencilFunc(GL_EQUAL, 1, ~0u);
    glStencilOp(GL_KEEP, GL_KEEP, GL_KEEP);
    glDisable(GL_DEPTH_TEST);

    // One full-window quad darkens every marked pixel once, however many shadows overlap.
    beginWindowPixels(w, h);
    glColor4fv(viewState().light.shadow);
    glBegin(GL_TRIANGLE_FAN);
    glVertex2i(0, h);
    glVertex2i(w, h);
    glVertex2i(w, 0);
    glVertex2i(0, 0);
    glEnd();
    endWindowPixels();

    glDepthMask(GL_TRUE);
    glEnable(GL_LIGHTING);
    glEnable(GL_DEPTH_TEST);
    glDisable(GL_STENCIL_TEST);
}

void mirrorPass() {
    glScalef(1.0f, -1.0f, 1.0f);
    // The reflection reverses the winding once more.
    glCullFace(GL_BACK);
    glPolygonMode(GL_FRONT_AND_BACK, g_wireFrame ? GL_LINE : GL_FILL);
    drawSlots(drawModelReflected);
    glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
    glCullFace(GL_FRONT);
}

// The character fading out: the camera picture laid over it again, as opaque as the
// character is meant to be transparent, so character, shadow and reflection fade alike.
void fadeTowardsCameraImage(double opacity) {
    glDisable(GL_ALPHA_TEST);
    glEnable(GL_BLEND);
    glBlendColor(0.0f, 0.0f, 0.0f, static_cast<GLfloat>(1.0 - opacity));
    glBlendFunc(GL_CONSTANT_ALPHA, GL_ONE_MINUS_CONSTANT_ALPHA);
    drawCameraImage(viewerCapture().sourceImage.empty() ? nullptr : viewerCapture().sourceImage.data,
                    &viewerTracker().cameraParam, 1.0, viewerTracker().arglContext);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glEnable(GL_ALPHA_TEST);
}

}  // namespace

void setFrameComposedHook(FrameComposedHook hook) { g_display.frameComposedHook = hook; }
void setFrameShownHook(FrameComposedHook hook) { g_display.frameShownHook = hook; }

void computeModelView() {
    double v[16];
    markerViewMatrix(displayedMarkerTransform(), v, viewerTracker().modelScale);
    const float* a = viewerTracker().modelAxis;
    for (int k = 0; k < 4; ++k) {
        for (int r = 0; r < 4; ++r) {
            double sum = 0.0;
            for (int i = 0; i < 4; ++i) sum += v[4 * i + r] * static_cast<double>(a[4 * k + i]);
            g_modelViewMatrix[4 * k + r] = sum;
        }
    }
}

void displayFrame() {
    glClear(GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);

    // The background covers the whole viewport, so the colour buffer is not cleared.
    glDisable(GL_CULL_FACE);
    glDisable(GL_ALPHA_TEST);
    glDisable(GL_BLEND);
    drawCameraImage(viewerCapture().sourceImage.empty() ? nullptr : viewerCapture().sourceImage.data,
                    &viewerTracker().cameraParam, 1.0, viewerTracker().arglContext);
    glEnable(GL_CULL_FACE);
    glEnable(GL_ALPHA_TEST);
    glEnable(GL_BLEND);

    // Drawn while the marker is found and for a short hold after it was lost.
    if (viewerTracker().hold.shown()) {
        glMatrixMode(GL_PROJECTION);
        arglCameraFrustum(&viewerTracker().cameraParam, kNearPlane, kFarPlane, g_projectionMatrix);
        glLoadMatrixd(g_projectionMatrix);

        glMatrixMode(GL_MODELVIEW);
        glPushMatrix();
        computeModelView();
        glLoadMatrixd(g_modelViewMatrix);

        if (g_displayAxis) drawAxes();
        applySceneLight();

        glScalef(1.0f, 1.0f, -1.0f);
        glCullFace(GL_FRONT);
        glPolygonMode(GL_FRONT_AND_BACK, g_wireFrame ? GL_LINE : GL_FILL);
        drawSlots(drawModelFull);
        glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
        // The first draw builds the toon programs; a driver that refuses them is named.
        if (const std::string report = takeToonShaderReport(); !report.empty())
            std::fputs(report.c_str(), stderr);

        if (g_displayShadow) {
            shadowPass();
        } else {
            mirrorPass();
        }

        glMatrixMode(GL_MODELVIEW);
        glPopMatrix();

        if (viewerTracker().hold.opacity() < 1.0) fadeTowardsCameraImage(viewerTracker().hold.opacity());
    }

    drawFpsOverlay();
    drawMatrixOverlay();
    drawVideoStatusOverlay();
    drawCalibrationOverlay();

    if (g_display.frameComposedHook) g_display.frameComposedHook();
    viewerCapture().frameComposed();
    glutSwapBuffers();
    if (g_display.frameShownHook) g_display.frameShownHook();
}

void formatFpsLine(char* out, int size, float fps, int threshold, int audioOffsetMs) {
    // Local thresholding has no one level to show: the line names the mode instead.
    char level[16];
    if (threshold == kLocalThreshold)
        std::snprintf(level, sizeof(level), "auto");
    else
        std::snprintf(level, sizeof(level), "%d", threshold);
    if (audioOffsetMs == 0) {
        std::snprintf(out, static_cast<size_t>(size), "FPS = %6.2f, Th = %s", static_cast<double>(fps), level);
    } else {
        std::snprintf(out, static_cast<size_t>(size), "FPS = %6.2f, Th = %s, Audio offset = %+d ms",
                      static_cast<double>(fps), level, audioOffsetMs);
    }
}

void formatMatrixLine(char* out, int size, const double m[16], int row) {
    std::snprintf(out, static_cast<size_t>(size), "%6.2f %6.2f %6.2f %6.2f", m[row], m[4 + row], m[8 + row],
                  m[12 + row]);
}

void countFpsFrame(int now, char* line, int size) {
    if (now - g_display.fpsWindowStart >= 1000) {
        g_display.fps = static_cast<float>(g_display.fpsFrameCount) * 1000.0f / static_cast<float>(now - g_display.fpsWindowStart);
        g_display.fpsWindowStart = now;
        g_display.fpsFrameCount = 0;
    }
    ++g_display.fpsFrameCount;
    formatFpsLine(line, size, g_display.fps, viewerTracker().threshold, g_music.offsetMs());
}

void drawFpsOverlay() {
    char line[96];
    countFpsFrame(glutGet(GLUT_ELAPSED_TIME), line, sizeof(line));
    if (g_displayFps) drawOverlayText(line, 8);
}

void drawMatrixOverlay() {
    if (!g_displayMatrix) return;
    char line[260];
    for (int k = 0; k < 4; ++k) {
        formatMatrixLine(line, sizeof(line), g_modelViewMatrix, k);
        drawOverlayText(line, 20 + 12 * k);
    }
}

void drawVideoStatusOverlay() {
    // A camera that is missing or unplugged is named on screen, below the other lines.
    const char* status = arVideoStatus();
    char line[128];
    for (int offset = 72; *status; offset += 16) {
        const char* end = std::strchr(status, '\n');
        const size_t length = end ? static_cast<size_t>(end - status) : std::strlen(status);
        const size_t kept = length < sizeof line - 1 ? length : sizeof line - 1;
        std::memcpy(line, status, kept);
        line[kept] = '\0';
        drawOverlayText(line, offset);
        status += length + (end ? 1 : 0);
    }
}

void drawCalibrationOverlay() {
    const CalibrationMode& mode = viewState().calibration;
    if (!mode.active()) return;
    drawOverlayText(mode.progressLine().c_str(), 104);
    drawOverlayText(mode.placesLine().c_str(), 120);
    drawOverlayText(mode.adviceLine().c_str(), 136);
}

void drawOverlayText(const char* text, int lineOffset) {
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_LIGHTING);
    glDisable(GL_TEXTURE_2D);

    const int w = glutGet(GLUT_WINDOW_WIDTH);
    const int h = glutGet(GLUT_WINDOW_HEIGHT);
    beginWindowPixels(w, h);

    glColor4f(0.0f, 0.0f, 0.0f, 1.0f);
    glRasterPos2i(8, h - lineOffset - 15);
    for (const char* p = text; *p; ++p) glutBitmapCharacter(GLUT_BITMAP_9_BY_15, static_cast<unsigned char>(*p));

    endWindowPixels();
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_LIGHTING);
}
