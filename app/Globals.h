// The application's long-lived state. It lives in one object, the viewer state, with a
// part per concern; the g_ names are references to those parts, so the code that reads
// a switch or a slot reads it by its old name. Everything here is touched only from the
// GLUT thread, so nothing needs a lock.
#pragma once

#include "animation/Motion.h"
#include "app/sound/Music.h"
#include "model/ModelData.h"
#include "tracking/view/Tracker.h"

// Where the twin starts, beside the first model.
constexpr float kTwinOffsetX = 15.0f;

// The two character slots and the motion each keeps its own copy of. The model records
// are plain data: the slots tear them down at exit, after the motions are gone and
// before the records themselves, as their owner would.
struct ModelSlots {
    struct Records {
        cModel model1, model2;  // slot 2 is the twin
        Records() = default;
        Records(const Records&) = delete;
        Records& operator=(const Records&) = delete;
        ~Records();
    } models;
    MotionData motion1, motion2;
    bool model1Loaded = false;  // slot 1 is updated and drawn
    float twinOffset[3] = {kTwinOffsetX, 0.0f, 0.0f};  // subtracted from slot 2's position, model units
};

// What the keys switch on and off.
struct DisplaySwitches {
    bool twin = false;      // slot 2 is updated and drawn
    bool pauseMotion = false;
    bool shadow = true;     // off: the mirror image is drawn instead
    bool axis = false;
    bool fps = false;
    bool matrix = false;
    bool wireFrame = false;
    bool smoothPose = false;  // the drawn pose goes through a temporal filter
};

// The matrices a frame is drawn with, column-major.
struct ViewMatrices {
    float shadow[16] = {};         // planar projection onto y = 0
    double modelView[16] = {};     // the marker's model-view matrix
    double projection[16] = {};    // the calibrated projection
};

struct ViewerState {
    char exeDir[260] = {};  // folder of the executable, no trailing '/'
    ModelSlots slots;
    Music music;  // the song, when one is open: the clock both motions follow
    DisplaySwitches display;
    ViewMatrices matrices;
    int lastIdleTime = 0;  // GLUT ms of the previous idle step; 0 = none yet
    // Declared last, so it closes the camera and releases its drawing context before
    // the slots and the song go.
    clTracker tracker;
};

// The program's one viewer state.
ViewerState& viewerState();

extern char (&g_exeDir)[260];
extern const char g_windowTitle[16];

extern cModel& g_model1;
extern cModel& g_model2;
extern MotionData& g_motion1;
extern MotionData& g_motion2;
extern Music& g_music;

extern bool& g_model1Loaded;
extern bool& g_displayTwin;
extern bool& g_pauseMotion;
extern bool& g_displayShadow;
extern bool& g_displayAxis;
extern bool& g_displayFps;
extern bool& g_displayMatrix;
extern bool& g_wireFrame;
extern bool& g_smoothPose;

extern float (&g_twinOffset)[3];
extern float (&g_shadowMatrix)[16];
extern double (&g_modelViewMatrix)[16];
extern double (&g_projectionMatrix)[16];
extern int& g_lastIdleTime;
extern clTracker& g_clTracker;
