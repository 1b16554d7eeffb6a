// Adaptive low-pass filter on a marker pose, for the display only.
#pragma once

// One-Euro filter: a still marker gets a low cutoff (no visible jitter), a moving one
// a cutoff raised with its speed, so a fast move is not dragged behind.
class PoseFilter {
public:
    // Cutoffs in Hz; the betas scale speed (transform units/s, quaternion units/s) into Hz.
    double minCutoff = 1.0;
    double translationBeta = 0.02;
    double rotationBeta = 2.0;
    double derivativeCutoff = 1.0;

    // Forgets the history: the next pose is passed through as it is.
    void reset() { primed_ = false; }
    bool primed() const { return primed_; }

    // Filters a marker-to-camera [R | T] seen at time seconds. Returns false (out left
    // as it was, history forgotten) for a pose that is not finite; otherwise out is
    // finite: the raw pose whenever filtering could not give a finite one.
    bool apply(const double in[3][4], double seconds, double out[3][4]);

private:
    struct Channel {
        double value = 0.0, slope = 0.0;
    };
    bool primed_ = false;
    double lastTime_ = 0.0;
    Channel translation_[3];
    Channel rotation_[4];  // quaternion w, x, y, z
};
