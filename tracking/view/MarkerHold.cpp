#include "tracking/view/MarkerHold.h"

void MarkerHold::update(bool found, double seconds) {
    if (found) {
        seen_ = true;
        lastSeen_ = seconds;
        opacity_ = 1.0;
        return;
    }
    if (!seen_) {
        opacity_ = 0.0;
        return;
    }
    // A clock that starts again (a reopened source) starts the hold again.
    if (seconds < lastSeen_) lastSeen_ = seconds;
    const double since = seconds - lastSeen_;
    if (since <= kHoldSeconds) {
        opacity_ = 1.0;
    } else if (since < kHoldSeconds + kFadeSeconds) {
        opacity_ = 1.0 - (since - kHoldSeconds) / kFadeSeconds;
    } else {
        opacity_ = 0.0;
        seen_ = false;
    }
}

void MarkerHold::reset() {
    seen_ = false;
    opacity_ = 0.0;
}
