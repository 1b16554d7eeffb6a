#include "app/Globals.h"

#include "character/Model.h"
#include "physics/PhysicsWorld.h"
#include "render/ModelDraw.h"

char g_exeDir[260] = {};
const char g_windowTitle[16] = "Pavonix";

std::unique_ptr<PhysicsWorld> g_physicsWorld;
cModel g_model1, g_model2;

namespace {
// The model records are plain data; this tears both slots down at exit, after the
// motions and before the records themselves, as their owner would.
struct ModelSlotsTeardown {
    ~ModelSlotsTeardown() {
        destroyModel(g_model2);
        destroyModel(g_model1);
    }
} g_modelSlotsTeardown;
}  // namespace

MotionData g_motion1, g_motion2;
Music g_music;

bool g_model1Loaded = false;
float g_twinOffset[3] = {kTwinOffsetX, 0.0f, 0.0f};

namespace {
ViewState g_viewState;
}  // namespace

ViewState& viewState() { return g_viewState; }

bool& g_displayTwin = g_viewState.display.twin;
bool& g_pauseMotion = g_viewState.display.pauseMotion;
bool& g_displayShadow = g_viewState.display.shadow;
bool& g_displayAxis = g_viewState.display.axis;
bool& g_displayFps = g_viewState.display.fps;
bool& g_displayMatrix = g_viewState.display.matrix;
bool& g_wireFrame = g_viewState.display.wireFrame;
bool& g_smoothPose = g_viewState.display.smoothPose;

float (&g_shadowMatrix)[16] = g_viewState.matrices.shadow;
double (&g_modelViewMatrix)[16] = g_viewState.matrices.modelView;
double (&g_projectionMatrix)[16] = g_viewState.matrices.projection;
int& g_lastIdleTime = g_viewState.lastIdleTime;

clTracker g_clTracker;
