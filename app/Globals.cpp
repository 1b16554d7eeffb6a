#include "app/Globals.h"

#include "render/ModelDraw.h"

ModelSlots::Records::~Records() {
    destroyModel(model2);
    destroyModel(model1);
}

namespace {
ViewerState g_viewerState;
}  // namespace

ViewerState& viewerState() { return g_viewerState; }

const char g_windowTitle[16] = "Pavonix";

char (&g_exeDir)[260] = g_viewerState.exeDir;

cModel& g_model1 = g_viewerState.slots.models.model1;
cModel& g_model2 = g_viewerState.slots.models.model2;
MotionData& g_motion1 = g_viewerState.slots.motion1;
MotionData& g_motion2 = g_viewerState.slots.motion2;
Music& g_music = g_viewerState.music;

bool& g_model1Loaded = g_viewerState.slots.model1Loaded;
bool& g_displayTwin = g_viewerState.display.twin;
bool& g_pauseMotion = g_viewerState.display.pauseMotion;
bool& g_displayShadow = g_viewerState.display.shadow;
bool& g_displayAxis = g_viewerState.display.axis;
bool& g_displayFps = g_viewerState.display.fps;
bool& g_displayMatrix = g_viewerState.display.matrix;
bool& g_wireFrame = g_viewerState.display.wireFrame;
bool& g_smoothPose = g_viewerState.display.smoothPose;

float (&g_twinOffset)[3] = g_viewerState.slots.twinOffset;
float (&g_shadowMatrix)[16] = g_viewerState.matrices.shadow;
double (&g_modelViewMatrix)[16] = g_viewerState.matrices.modelView;
double (&g_projectionMatrix)[16] = g_viewerState.matrices.projection;
int& g_lastIdleTime = g_viewerState.lastIdleTime;
clTracker& g_clTracker = g_viewerState.tracker;
