// The room's light read off the printed marker: the white paper around the black square
// is a piece of the room's light the tracker already finds every frame, and the black
// frame is the dark reference next to it. Sampled robustly (a finger or a glint over part
// of the paper does not move the estimate), smoothed over the video's own time, and held
// while the marker is lost. No OpenGL; no allocation per frame.
#pragma once

#include <array>
#include <cstdint>

#include "tracking/CameraParam.h"

// What the camera sees of the paper and of the black frame: R, G, B in [0, 1] of the
// camera's own byte values (not linearised; what the frame shows is what is matched).
struct RoomLight {
    float paper[3] = {0.0f, 0.0f, 0.0f};
    float black[3] = {0.0f, 0.0f, 0.0f};
};

// Where and how the marker is sampled. Distances are fractions of the black square's
// side, measured from its outer edge. The printed marker has a white margin a quarter of
// the side wide and a black frame a quarter of the side thick; the margin samples stay
// in the inner half of that margin so that a sheet trimmed closer still shows paper there.
struct PaperLightSettings {
    float marginDepths[2] = {0.06f, 0.11f};  // outward from the edge, into the paper
    float frameDepths[2] = {0.07f, 0.16f};   // inward from the edge, into the black frame
    // The paper estimate averages the samples ranked in [paperLow, paperHigh) by
    // brightness: darker samples (a finger, a shadow over the paper) and brighter ones (a
    // glint) up to these shares fall outside the window.
    float paperLow = 0.40f, paperHigh = 0.80f;
    // The black frame is read from its darker half: a finger over it is lighter.
    float frameLow = 0.10f, frameHigh = 0.50f;
    // A measurement needs this share of each ring inside the picture ...
    float minInsideShare = 0.5f;
    // ... a square at least this many pixels on its shortest side (smaller, the rings blur
    // into the edge) ...
    float minSidePixels = 24.0f;
    // ... and paper brighter than the frame by this much (luma, 0..1): less, and what was
    // sampled is not a lit sheet of paper (a marker in deep shadow, a misplaced pose).
    float minContrast = 0.08f;
    // Exponential smoothing over the video's time: the estimate moves 63 % of the way to
    // a new light in this many seconds, whatever the frame rate.
    double timeConstantSeconds = 0.5;
    // A frame whose time did not advance (a still picture, a clock that stands) counts as
    // this long, so the estimate still converges.
    double stalledFrameSeconds = 1.0 / 30.0;
};

class PaperLight {
public:
    static constexpr int kSamplesAlongEdge = 12;
    static constexpr int kRingSamples = 4 * kSamplesAlongEdge * 2;  // 4 edges, 2 depths

    PaperLight() = default;
    explicit PaperLight(const PaperLightSettings& settings) : settings_(settings) {}

    // Samples one frame (width x height, B, G, R, A bytes, rows top first) around the
    // marker whose marker-to-camera transform (row-major [R | T]) is given; the black
    // square is markerWidth wide around center in its plane, and camera maps the marker
    // plane into the frame, lens distortion included. True with *out filled when the
    // frame shows enough paper, clearly lighter than the frame; false leaves *out alone.
    bool measure(const uint8_t* bgra, int width, int height, const CameraParam& camera,
                 const double transform[3][4], double markerWidth, const double center[2], RoomLight* out);

    // One frame at the video's time seconds: with the marker found, a measurement moves
    // the estimate towards what it read; lost (found false) or unreadable, the estimate
    // is held as it was. The first reading is taken as it stands.
    void update(const uint8_t* bgra, int width, int height, const CameraParam& camera, bool found,
                const double transform[3][4], double markerWidth, const double center[2], double seconds);
    // The smoothing step alone, for a measurement made elsewhere.
    void blend(const RoomLight& measured, double seconds);

    bool hasEstimate() const { return hasEstimate_; }
    const RoomLight& estimate() const { return estimate_; }  // meaningful once hasEstimate
    // Forgets the estimate (a new camera, a new room).
    void reset() { hasEstimate_ = false; }

    const PaperLightSettings& settings() const { return settings_; }

private:
    struct Sample {
        float luma;
        float rgb[3];
    };
    // Fills samples_ with the pixels at the given depths outside (+) or inside (-) the
    // square's edge; returns how many fell inside the picture.
    int sampleRing(const uint8_t* bgra, int width, int height, const CameraParam& camera,
                   const double transform[3][4], double markerWidth, const double center[2], const float depths[2],
                   float sign);
    // Mean colour of the samples ranked in [low, high) by brightness, into rgb.
    void rankedMean(int count, float low, float high, float rgb[3]);

    PaperLightSettings settings_;
    std::array<Sample, kRingSamples> samples_{};
    RoomLight estimate_;
    bool hasEstimate_ = false;
    double lastSeconds_ = 0.0;
};

// Luma of an R, G, B triple (Rec. 601 weights), the brightness samples are ranked by.
float paperLuma(const float rgb[3]);
