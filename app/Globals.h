// The application's long-lived state. Everything here is touched only from the GLUT
// thread, so nothing needs a lock.
#pragma once

#include <memory>

#include "animation/Motion.h"
#include "app/SceneLight.h"
#include "app/CalibrationMode.h"
#include "app/imgproc/cvImgProc.h"
#include "app/sound/Music.h"
#include "character/Model.h"
#include "tracking/view/Tracker.h"

// Where the twin starts, beside the first model.
constexpr float kTwinOffsetX = 15.0f;

extern char g_exeDir[260];        // folder of the executable, no trailing '/'
extern const char g_windowTitle[16];

class PhysicsWorld;

// The two model slots, each with its own copy of the motion.
struct ModelSlots {
    cModel model1, model2;        // slot 2 is the twin
    MotionData motion1, motion2;
    bool model1Loaded = false;    // slot 1 is updated and drawn
    // Subtracted from slot 2's position, model units.
    float twinOffset[3] = {kTwinOffsetX, 0.0f, 0.0f};

    ModelSlots() = default;
    ~ModelSlots();  // tears both models down, slot 2 first
    ModelSlots(const ModelSlots&) = delete;
    ModelSlots& operator=(const ModelSlots&) = delete;
};

// The objects the viewer runs on: the capture (the tracker copies each frame into its
// image), the tracker with its tables, and the two slots. Made once by makeViewer (main
// does it first thing; a test that drives the viewer's functions does it too) and torn
// down at exit, before the libraries made after it (the video library) go.
struct Viewer {
    cvImgProc capture;  // outlives the tracker that copies frames into it
    clTracker tracker{g_trackerTables};
    ModelSlots slots;
};
void makeViewer();
Viewer& viewer();  // the one makeViewer made
inline clTracker& viewerTracker() { return viewer().tracker; }
inline cvImgProc& viewerCapture() { return viewer().capture; }
inline ModelSlots& modelSlots() { return viewer().slots; }

// The rigid-body world both slots share: made in main before any model is loaded, freed
// at exit after the models are released.
extern std::unique_ptr<PhysicsWorld> g_physicsWorld;
extern Music g_music;  // the song, when one is open: the clock both motions follow

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

