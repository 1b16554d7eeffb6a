#include "app/Scene.h"

#include <GL/freeglut.h>
#include <GL/gl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "animation/Morph.h"
#include "animation/MotionPlayer.h"
#include "animation/Skeleton.h"
#include "character/ModelFrame.h"
#include "app/Commands.h"
#include "app/Globals.h"
#include "app/imgproc/Capture.h"
#include "app/imgproc/cvImgProc.h"
#include "character/Model.h"
#include "render/ModelDraw.h"
#include "physics/PhysicsWorld.h"
#include "platform/GLProcs.h"
#include "platform/HostUI.h"
#include "platform/video/Video.h"
#include "tracking/PoseFilter.h"
#include "tracking/view/Tracker.h"

namespace {

// Light 0 is directional and fixed relative to the camera.
const GLfloat kLightPosition[4] = {0.45f, 0.55f, 1.0f, 0.0f};
// The shadow's light point and the ground plane, in model-vertex coordinates.
const float kShadowLight[3] = {10.0f, 70.0f, -20.0f};
const float kGroundPlane[4] = {0.0f, 1.0f, 0.0f, 0.0f};

// Longest stall the motion and physics follow: 10 frames, a third of a second.
constexpr float kMaxElapsedFrames = 10.0f;

// Test knob PAVONIX_AUDIO_TRACE=1: one line per posed frame on standard error,
//   audio-trace: t T motion M song S played P rate R paused B gen G
// T: seconds on the monotonic clock; M: the motion frame the pose was evaluated at
// (slot 1, else slot 2); S: the song frame the pose belongs to; P: device frames
// played (-1 without a device); R: the song's rate; G: the cursor's generation. S, R
// and G are -1 without a song.
struct AudioTrace {
    bool on = false;
    AudioTrace() {
        const char* v = std::getenv("PAVONIX_AUDIO_TRACE");
        on = v && *v && std::strcmp(v, "0") != 0;
    }
};

// What the idle step keeps from one step to the next.
struct IdleState {
    float fixedFrameStep = 0.0f;     // batch and offline modes: motion frames per step
    bool newFrameThisStep = false;   // the latest step took a new camera frame
    AudioTrace audioTrace;
    PoseFilter poseFilter;           // the display's temporal filter of the marker pose
    double smoothedTransform[3][4]{};
    bool smoothedValid = false;      // smoothedTransform holds the filter's latest output
} g_idle;

// Puts both slots' motion clocks at the song's frame, held at the motion's end.
void placeMotionsAt(double frame) {
    for (cModel* model : {&modelSlots().model1, &modelSlots().model2}) {
        MotionPlayer& player = model->motion;
        if (!player.motionData) continue;
        const double last = player.motionData->lastFrame;
        player.currentFrame = static_cast<float>(std::clamp(frame, 0.0, last));
    }
}

void traceAudio() {
    ModelSlots& slots = modelSlots();
    const cModel* shown = slots.model1Loaded ? &slots.model1 : g_displayTwin ? &slots.model2 : nullptr;
    if (!shown) return;
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    const SongCursor cursor = g_music.cursor();
    const Song* song = g_music.song();
    std::fprintf(stderr, "audio-trace: t %.4f motion %.3f song %lld played %lld rate %d paused %d gen %lld\n", t,
                 static_cast<double>(shown->motion.currentFrame), song ? static_cast<long long>(cursor.frame) : -1LL,
                 g_music.audible() ? static_cast<long long>(g_music.devicePlayedAtStep()) : -1LL,
                 song ? song->sampleRate : -1, g_pauseMotion ? 1 : 0, song ? static_cast<long long>(cursor.generation) : -1LL);
}

}  // namespace

void setFixedFrameStep(float frames) { g_idle.fixedFrameStep = frames; }

bool idleStepHadNewFrame() { return g_idle.newFrameThisStep; }


void updateDisplayedPose(double seconds) {
    // Off, lost or just found: the history would only pull the next pose toward a
    // marker that is no longer there.
    if (!g_smoothPose || !viewerTracker().markerFound) {
        g_idle.poseFilter.reset();
        g_idle.smoothedValid = false;
        return;
    }
    g_idle.smoothedValid =
        g_idle.poseFilter.apply(viewerTracker().markerTransform, seconds, g_idle.smoothedTransform);
}

const double (*displayedMarkerTransform())[4] {
    return g_smoothPose && g_idle.smoothedValid ? g_idle.smoothedTransform : viewerTracker().markerTransform;
}

void makeShadowMatrix(const float light[3], const float plane[4], float out[16]) {
    const float l[4] = {light[0], light[1], light[2], 1.0f};
    const float dot = plane[0] * l[0] + plane[1] * l[1] + plane[2] * l[2] + plane[3];
    for (int j = 0; j < 4; ++j) {
        for (int i = 0; i < 4; ++i) {
            out[4 * j + i] = (i == j ? dot : 0.0f) - l[i] * plane[j];
        }
    }
}

void loadGLExtensions() {
    p_glActiveTextureARB =
        reinterpret_cast<PFNGLACTIVETEXTUREARBPROC>(lookupGLProc("glActiveTextureARB", "GL_ARB_multitexture", 0x13));
    if (!p_glActiveTextureARB) showMessage("Pavonix", "Not support glActiveTextureARB");
    p_glClientActiveTextureARB = reinterpret_cast<PFNGLCLIENTACTIVETEXTUREARBPROC>(
        lookupGLProc("glClientActiveTextureARB", "GL_ARB_multitexture", 0x13));
    if (!p_glClientActiveTextureARB) showMessage("Pavonix", "Not support glClientActiveTextureARB");
    p_glCompressedTexImage2DARB = reinterpret_cast<PFNGLCOMPRESSEDTEXIMAGE2DARBPROC>(
        lookupGLProc("glCompressedTexImage2DARB", "GL_ARB_texture_compression", 0x13));
    if (!p_glCompressedTexImage2DARB) showMessage("Pavonix", "Not support glCompressedTexImage2DARB");
}

void initScene() {
    glClearColor(0.0f, 0.0f, 1.0f, 1.0f);
    glClearStencil(0);

    glEnable(GL_DEPTH_TEST);
    glEnable(GL_NORMALIZE);
    glEnable(GL_TEXTURE_2D);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);

    // The model frame is mirrored in z when drawn, which turns the winding around.
    glEnable(GL_CULL_FACE);
    glCullFace(GL_FRONT);

    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glEnable(GL_ALPHA_TEST);
    glAlphaFunc(GL_GREATER, 0.05f);

    // Set while the model-view matrix is the identity, so the light stays fixed
    // relative to the camera.
    glLightfv(GL_LIGHT0, GL_POSITION, kLightPosition);
    applySceneLight();
    glEnable(GL_LIGHT0);
    glEnable(GL_LIGHTING);

    makeShadowMatrix(kShadowLight, kGroundPlane, g_shadowMatrix);

    modelSlots().twinOffset[0] = kTwinOffsetX;
    modelSlots().twinOffset[1] = 0.0f;
    modelSlots().twinOffset[2] = 0.0f;
    g_pauseMotion = false;
    g_displayFps = false;
    g_displayAxis = false;
    g_displayMatrix = false;
    g_wireFrame = false;
    modelSlots().model1Loaded = false;
    g_displayTwin = false;
    g_displayShadow = true;

    // default_face.txt is looked up in the folder the program was started from.
    for (MotionData* motion : {&modelSlots().motion1, &modelSlots().motion2}) {
        std::string problem;
        if (!loadDefaultFaces(*motion, kDefaultFaceFile, &problem) && !problem.empty())
            std::fprintf(stderr, "%s\n", problem.c_str());
    }
}

void measureRoomLight() {
    const cv::Mat& frame = viewerCapture().sourceImage;
    if (frame.empty() || frame.cols != viewerTracker().width || frame.rows != viewerTracker().height) return;
    viewState().paperLight.update(frame.data, frame.cols, frame.rows, viewerTracker().cameraParam,
                                  viewerTracker().markerFound, viewerTracker().markerTransform, viewerTracker().markerWidth,
                                  viewerTracker().markerCenter, viewerTracker().frameSeconds);
}

void applySceneLight() {
    ViewState& view = viewState();
    const bool fromPaper = view.display.roomLight && view.paperLight.hasEstimate();
    view.light = sceneLightFor(fromPaper ? &view.paperLight.estimate() : nullptr);
    glLightfv(GL_LIGHT0, GL_DIFFUSE, view.light.diffuse);
    glLightfv(GL_LIGHT0, GL_AMBIENT, view.light.ambient);
    glLightfv(GL_LIGHT0, GL_SPECULAR, view.light.specular);
    glLightModelfv(GL_LIGHT_MODEL_AMBIENT, view.light.modelAmbient);
}

void visibilityChanged(int state) { glutIdleFunc(state == GLUT_VISIBLE ? idleStep : nullptr); }

float elapsedMotionFrames(int now, int previous, bool paused) {
    const int prev = previous == 0 ? now : previous;
    float frames = static_cast<float>(now - prev) * 0.03f;
    if (frames > kMaxElapsedFrames) frames = kMaxElapsedFrames;
    if (paused) frames = 0.0f;
    return frames;
}

void idleStep() {
    g_idle.newFrameThisStep = viewerTracker().updateFrame();
    if (const FrameProblem problem = viewerTracker().takeFrameProblem(); problem != FrameProblem::None)
        std::fputs(viewerTracker().frameProblemText(problem).c_str(), stderr);
    if (g_idle.newFrameThisStep) {
        updateDisplayedPose(viewerTracker().frameSeconds);
        measureRoomLight();
    }
    if (g_idle.newFrameThisStep && viewState().calibration.active() && !viewerCapture().sourceImage.empty())
        viewState().calibration.offerFrame(viewerTracker(), viewerCapture().sourceImage.data);

    float viewpoint[3];
    viewerTracker().cameraPositionInModel(viewpoint);

    const int now = glutGet(GLUT_ELAPSED_TIME);
    float frameCount = elapsedMotionFrames(now, g_lastIdleTime, g_pauseMotion);
    g_lastIdleTime = now;
    if (g_idle.fixedFrameStep > 0.0f && !g_pauseMotion) frameCount = g_idle.fixedFrameStep;

    // With a song the song is the clock: the pose drawn is the motion at the song's
    // position sampled now, and physics follows the motion time that passed.
    if (g_music.hasSong()) {
        g_music.setPaused(g_pauseMotion);
        const MusicStep step = g_music.step(frameCount);
        reportMusicDeviceProblem();  // a device lost between the song's open and its start
        placeMotionsAt(step.motionFrame);
        frameCount = step.elapsed;
    }
    if (g_idle.audioTrace.on) traceAudio();

    if (modelSlots().model1Loaded) {
        updateModelPose(modelSlots().model1, frameCount);
        lookAtViewpoint(viewpoint, modelSlots().model1);
    }
    if (g_displayTwin) {
        updateModelPose(modelSlots().model2, frameCount);
        lookAtViewpoint(viewpoint, modelSlots().model2);
    }

    if (g_physicsWorld) g_physicsWorld->step(frameCount);

    cModel* shown[2];
    uint32_t count = 0;
    if (modelSlots().model1Loaded) shown[count++] = &modelSlots().model1;
    if (g_displayTwin) shown[count++] = &modelSlots().model2;
    if (!skinModelsSideBySide(shown, count)) std::fprintf(stderr, "%s\n", kSkinningMemoryMessage);

    glutPostRedisplay();
}

void reshapeSize(int width, int height, int cameraWidth, int cameraHeight, int* outWidth, int* outHeight) {
    const float cw = static_cast<float>(cameraWidth);
    const float ch = static_cast<float>(cameraHeight);
    const int fitWidth = static_cast<int>(static_cast<float>(height) * cw / ch);
    if (fitWidth < width) {
        *outWidth = fitWidth;
        *outHeight = height;
    } else {
        *outWidth = width;
        *outHeight = static_cast<int>(static_cast<float>(width) * ch / cw);
    }
}

void reshapeWindow(int width, int height) {
    // A recording keeps the size it started with: every frame of the file has one size.
    if (viewerCapture().capturing) {
        glutReshapeWindow(viewerCapture().windowWidth, viewerCapture().windowHeight);
        return;
    }
    int w, h;
    reshapeSize(width, height, viewerTracker().width, viewerTracker().height, &w, &h);
    glutReshapeWindow(w, h);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
    glViewport(0, 0, w, h);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    viewerCapture().windowWidth = w;
    viewerCapture().windowHeight = h;
}

void cleanupAtExit() {
    // The video library's capture thread would go on rendering or decoding while the
    // static objects it draws with are destroyed; the tracker closes the camera last,
    // but nothing may still be producing frames by then.
    arVideoCapStop();
    g_music.close();  // the sound stops with the window, not after the teardown
    releaseModel(modelSlots().model1);
    releaseModel(modelSlots().model2);
    g_physicsWorld.reset();
}
