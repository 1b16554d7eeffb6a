// The application's long-lived state. Everything here is touched only from the GLUT
// thread, so nothing needs a lock.
#pragma once

#include "animation/Motion.h"
#include "app/sound/Music.h"
#include "model/ModelData.h"
#include "tracking/view/Tracker.h"

extern char g_exeDir[260];        // folder of the executable, no trailing '/'
extern const char g_windowTitle[16];

extern cModel g_model1, g_model2;     // slot 2 is the twin
extern MotionData g_motion1, g_motion2;  // each slot keeps its own copy of the motion
extern Music g_music;  // the song, when one is open: the clock both motions follow

extern bool g_model1Loaded;  // slot 1 is updated and drawn
extern bool g_displayTwin;   // slot 2 is updated and drawn
extern bool g_pauseMotion;
extern bool g_displayShadow;  // off: the mirror image is drawn instead
extern bool g_displayAxis;
extern bool g_displayFps;
extern bool g_displayMatrix;
extern bool g_wireFrame;
extern bool g_smoothPose;    // the drawn pose goes through a temporal filter

extern float g_twinOffset[3];        // subtracted from slot 2's position, model units
extern float g_shadowMatrix[16];     // column-major planar projection onto y = 0
extern double g_modelViewMatrix[16];   // the marker's model-view matrix, column-major
extern double g_projectionMatrix[16];  // the calibrated projection, column-major
extern int g_lastIdleTime;           // GLUT ms of the previous idle step; 0 = none yet
extern clTracker g_clTracker;

// Where the twin starts, beside the first model.
constexpr float kTwinOffsetX = 15.0f;
