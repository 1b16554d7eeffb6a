// Rendered sets of marker frames under the conditions of real rooms: clean, a dim room lit
// by one lamp, a finger on the black frame, a shaky hand (motion blur), a camera out of
// focus, a tiny marker, a marker near an HD camera, a webcam's JPEG stream and a bright
// reflection; plus one sequence in which a finger slides over the frame of a marker first
// seen whole. Shared by the accuracy tests and bench/tracking.cpp, so both measure on the
// same frames.
//
// A set holds only the draws (poses, disturbances, noise seeds); the picture of the marker
// is chosen when a frame is rendered. So Pavonix's marker, an AprilTag and an ArUco
// marker can be printed at the same size (the side of the black square, markerWidth) and
// seen under exactly the same poses, light, fingers and blur.
//
// Every frame is the paper rendered noise-free by renderMarkerScene with the set's
// calibration (lens distortion included) over the set's table, then, in the order light
// reaches the sensor: the finger and its
// shadow on the paper, the lamp's falloff, the reflection, motion or defocus blur, sensor
// noise (sigma 3 grey levels per channel), and JPEG compression last, as a webcam sends it.
// Needs no test framework: bench/ compiles this file too.
#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "scene/MarkerScene.h"
#include "tracking/CameraParam.h"

enum class TrackingCondition {
    Clean,           // sensor noise only
    DimLight,        // one lamp: light falling from 1.0 to 0.25 across the frame, low contrast
    FingerSide,      // a finger over part of one side of the black frame
    FingerCorner,    // a finger over one corner of the black frame
    MotionBlur,      // a linear smear of 4-14 px in any direction
    Defocus,         // a disc blur of 1.5-3.5 px radius
    Tiny,            // the black square 15-44 px wide
    Near720,         // 1280x720, the square 20-70 % of the frame height
    Near1080,        // 1920x1080, the same
    Jpeg,            // JPEG quality 75-85, as a webcam's MJPEG stream
    Glare,           // a bright reflection washing out part of the marker
    FingerSequence,  // 150 successive frames: a finger slides over the frame, then stays
};

constexpr TrackingCondition kStillConditions[] = {
    TrackingCondition::Clean,      TrackingCondition::DimLight, TrackingCondition::FingerSide,
    TrackingCondition::FingerCorner, TrackingCondition::MotionBlur, TrackingCondition::Defocus,
    TrackingCondition::Tiny,       TrackingCondition::Near720,  TrackingCondition::Near1080,
    TrackingCondition::Jpeg,       TrackingCondition::Glare};

const char* conditionName(TrackingCondition condition);         // short, e.g. "dim-light"
const char* conditionDescription(TrackingCondition condition);  // one line for a table
void conditionFrameSize(TrackingCondition condition, int* width, int* height);  // 640x480 or HD

// A finger lying on the paper, in the marker plane in units of the marker width (the
// square spans [-0.5, 0.5]): a capsule whose rounded tip is centred at tip, running from
// there away along -direction out of the picture.
struct Finger {
    bool present = false;
    double tip[2] = {0, 0};        // centre of the tip's half disc
    double direction[2] = {1, 0};  // unit, pointing from the hand towards the tip
    double radius = 0.12;          // half the finger's width at its tip
};

// A specular reflection, in image pixels: an elliptical Gaussian spot that pulls the
// picture towards white, saturated in its core.
struct Glare {
    bool present = false;
    double centre[2] = {0, 0};
    double sigma[2] = {10, 10};  // along the ellipse's axes
    double angle = 0.0;          // of the first axis, radians
    double strength = 1.0;       // 0..1, how far the core is pulled to white
};

struct ConditionFrame {
    double truth[3][4];    // marker -> camera, row-major [R | T]
    double corners[4][2];  // true observed corners of the black square, the pattern's order
    double widthPixels;    // mean side of the black square in the picture
    uint32_t seed;         // sensor noise
    Finger finger;
    Glare glare;
    double lightAngle = -1.0;    // radians, the way the light falls off; < 0: even light
    double blurLength = 0.0;     // motion blur, pixels
    double blurAngle = 0.0;      // radians
    double defocusRadius = 0.0;  // pixels
    int jpegQuality = 0;         // 0: not compressed
};

struct ConditionSet {
    TrackingCondition condition = TrackingCondition::Clean;
    CameraParam camera{};      // the calibration sized to the frames
    double markerWidth = 40.0;  // side of the black square, in the poses' units
    std::vector<ConditionFrame> frames;
    // What lies behind the paper in every frame (B, G, R, A): a table seen once, so that
    // only the paper is drawn per frame, as a sheet held above the table would be.
    std::vector<uint8_t> background;
};

// A straight motion-blur kernel: length pixels along angle (radians), centred on the
// kernel's middle and splatted bilinearly, so it blurs without shifting; sums to 1.
cv::Mat motionKernel(double length, double angle);

// The rotation of a marker facing the camera (marker x to the image's right, y up the
// image, z towards the camera), then tilted by tilt about the in-plane axis at angle
// tiltAxis, then spun about its normal.
void markerRotation(double tiltAxis, double tilt, double spin, double out[3][3]);

// Worst distance from each expected corner to the nearest of the found ones, in pixels.
double worstCornerError(const double corners[4][2], const double expected[4][2]);

// Draws a set: the same condition, calibration, size and seed always give the same draws.
// calibration is resized to width x height (resizeCameraParam); frames is the set's
// length (the sequence keeps its own course over however many frames it is given).
ConditionSet makeConditionSet(TrackingCondition condition, const CameraParam& calibration, int width, int height,
                              uint32_t seed, int frames = 150, double markerWidth = 40.0);

// Renders frame index of set with the marker picture into bgra (resized to width x
// height x 4: B, G, R, A, rows top first).
void renderConditionFrame(const ConditionSet& set, size_t index, const MarkerImage& picture,
                          std::vector<uint8_t>* bgra);

// Pose error measures shared by the tests and the bench.
double poseRotationErrorDegrees(const double truth[3][4], const double estimate[3][4]);
double poseTranslationErrorPercent(const double truth[3][4], const double estimate[3][4]);
