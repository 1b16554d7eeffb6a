// The viewer's camera calibration: started from the menu, it collects views of the
// marker from the live frames, shows what it has and what it still wants over the
// picture, and when enough views are in (or the user ends it early) solves, installs
// the new calibration and saves it for the next start, or says why it cannot.
#pragma once

#include <memory>
#include <string>

#include "calibrate/ViewCollector.h"

class clTracker;

class CalibrationMode {
public:
    static constexpr int kTargetViews = 20;

    bool active() const { return collector_ != nullptr; }
    // Starts collecting; while collecting, ends it and solves with the views so far.
    void toggle(clTracker& tracker);
    // A new camera frame (B, G, R, A at the tracker's frame size); the mode ends by
    // itself once it has the views it wants.
    void offerFrame(clTracker& tracker, const unsigned char* frame);

    // What to show over the picture while collecting (empty when not).
    const std::string& progressLine() const { return progress_; }
    const std::string& placesLine() const { return places_; }  // the coverage: places and tilts
    const std::string& adviceLine() const { return advice_; }
    // The message the last solve gave (what was saved, or why nothing was).
    const std::string& outcome() const { return outcome_; }
    // Where the calibration is saved; empty: the user's configuration folder.
    void setSavePath(const std::string& path) { savePath_ = path; }

private:
    void finish(clTracker& tracker);
    void describe(const ViewOffer& offer);

    std::unique_ptr<ViewCollector> collector_;  // made on start: its detector is large
    std::string progress_, places_, advice_, outcome_, savePath_;
};
