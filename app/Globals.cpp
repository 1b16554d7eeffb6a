#include "app/Globals.h"

#include <cstdlib>

#include "character/Model.h"
#include "physics/PhysicsWorld.h"
#include "render/ModelDraw.h"

char g_exeDir[260] = {};
const char g_windowTitle[16] = "Pavonix";

std::unique_ptr<PhysicsWorld> g_physicsWorld;

ModelSlots::~ModelSlots() {
    // The model records are plain data; their owner tears them down.
    destroyModel(model2);
    destroyModel(model1);
}

namespace {
std::unique_ptr<Viewer> g_viewer;

void releaseViewer() { g_viewer.reset(); }
}  // namespace

void makeViewer() {
    if (g_viewer) return;
    g_viewer = std::make_unique<Viewer>();
    // Registered after the libraries the viewer brought up (the video library's state),
    // so the viewer goes before them; the scene's own clean-up, registered later, runs
    // before this.
    std::atexit(releaseViewer);
}

Viewer& viewer() { return *g_viewer; }

Music g_music;

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

