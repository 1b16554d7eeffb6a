#include "app/Globals.h"

#include "render/ModelDraw.h"

char g_exeDir[260] = {};
const char g_windowTitle[16] = "Pavonix";

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
bool g_displayTwin = false;
bool g_pauseMotion = false;
bool g_displayShadow = true;
bool g_displayAxis = false;
bool g_displayFps = false;
bool g_displayMatrix = false;
bool g_wireFrame = false;
bool g_smoothPose = false;

float g_twinOffset[3] = {kTwinOffsetX, 0.0f, 0.0f};
float g_shadowMatrix[16] = {};
double g_modelViewMatrix[16] = {};
double g_projectionMatrix[16] = {};
int g_lastIdleTime = 0;
clTracker g_clTracker;
