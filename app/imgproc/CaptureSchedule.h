// The wall-clock side of a timed recording: the file holds one frame per 1/fps s since
// the start, however fast or slowly the window is drawn, so it plays at real speed.
// Frame k covers periods [k, k+1) and is due as soon as its period begins.
#pragma once

class CaptureSchedule {
public:
    void start(double fps, double nowMs);
    // Frames the file should hold by nowMs (at least 1: the first is due at once).
    long framesDue(double nowMs) const;
    // Frames of a recording that ends at nowMs: its length in whole frames, at least 1.
    long framesAtEnd(double nowMs) const;
    // Milliseconds from nowMs until the next period begins.
    int delayToNextTick(double nowMs) const;

private:
    double periodsAt(double nowMs) const;
    double fps_ = 30.0;
    double startMs_ = 0.0;
};
