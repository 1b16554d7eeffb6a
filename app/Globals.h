// The application's long-lived state. Everything here is touched only from the GLUT
// thread, so nothing needs a lock.
#pragma once

#include <memory>

#include "animation/Motion.h"
#include "app/SceneLight.h"
#include "app/CalibrationMode.h"
#include "app/sound/Music.h"
#include "character/Model.h"
#include "tracking/view/Tracker.h"

// Where the twin starts, beside the first model.
constexpr float kTwinOffsetX = 15.0f;

extern char g_exeDir[260];        // folder of the executable, no trailing '/'
extern const char g_windowTitle[16];

class PhysicsWorld;

extern cModel g_model1, g_model2;     // slot 2 is the twin
// The rigid-body world both slots share: made in main before any model is loaded, freed
// at exit after the models are released.
extern std::unique_ptr<PhysicsWorld> g_physicsWorld;
extern MotionData g_motion1, g_motion2;  // each slot keeps its own copy of the motion
extern Music g_music;  // the song, when one is open: the clock both motions follow

extern bool g_model1Loaded;  // slot 1 is updated and drawn
extern float g_twinOffset[3];        // subtracted from slot 2's position, model units

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
    bool roomLight = false;   // the character is lit like the marker's paper, not by the fixed light
};

// The matrices a frame is drawn with, column-major.
struct ViewMatrices {
    float shadow[16] = {};         // planar projection onto y = 0
    double modelView[16] = {};     // the marker's model-view matrix
    double projection[16] = {};    // the calibrated projection
};

// The view: what is switched on and the matrices of the frame. The g_ names below are
// references to its parts.
struct ViewState {
    DisplaySwitches display;
    ViewMatrices matrices;
    int lastIdleTime = 0;  // GLUT ms of the previous idle step; 0 = none yet
    PaperLight paperLight;  // the room's light read off the marker, held while it is lost
    SceneLight light = sceneLightFor(nullptr);  // what the latest frame was lit with
    CalibrationMode calibration;  // collecting views of the marker, when started from the menu
};
ViewState& viewState();

extern bool& g_displayTwin;
extern bool& g_pauseMotion;
extern bool& g_displayShadow;
extern bool& g_displayAxis;
extern bool& g_displayFps;
extern bool& g_displayMatrix;
extern bool& g_wireFrame;
extern bool& g_smoothPose;

extern float (&g_shadowMatrix)[16];
extern double (&g_modelViewMatrix)[16];
extern double (&g_projectionMatrix)[16];
extern int& g_lastIdleTime;
extern clTracker g_clTracker;

