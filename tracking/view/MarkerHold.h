// What the display does when the marker is missed: a character that blinks out whenever
// one frame misses the marker (a finger, a glint, a fast move) looks broken, so it stays
// where it last stood for a short hold and then fades out; a marker found again shows it
// at once. Times are the video's own (frame times of the source), so an offline render
// makes the same decisions as live playback.
#pragma once

class MarkerHold {
public:
    // Seconds the character stays in full after the marker was last seen, then the
    // seconds of its fade.
    static constexpr double kHoldSeconds = 0.4;
    static constexpr double kFadeSeconds = 0.3;

    // One new frame at video time seconds: whether the marker was found in it.
    void update(bool found, double seconds);
    // Forgets the marker (a new video source, say): nothing is shown until it is found.
    void reset();

    // 1 while the marker is found or held, falling linearly to 0 over the fade.
    double opacity() const { return opacity_; }
    bool shown() const { return opacity_ > 0.0; }

private:
    bool seen_ = false;    // the marker was found at some frame since the last reset
    double lastSeen_ = 0.0;
    double opacity_ = 0.0;
};
