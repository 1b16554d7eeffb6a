// The viewer's calibration mode.

#include "app/CalibrationMode.h"

#include <cmath>
#include <cstdio>

#include "tracking/CalibrationStore.h"
#include "calibrate/Solve.h"
#include "platform/HostUI.h"
#include "tracking/view/Tracker.h"

namespace {
const char kCaption[] = "Calibrate Camera";
}

void CalibrationMode::toggle(clTracker& tracker) {
    if (active()) {
        finish(tracker);
        return;
    }
    collector_ = std::make_unique<ViewCollector>(tracker.tables(), kTargetViews);
    outcome_.clear();
    describe(ViewOffer{ViewVerdict::NoMarker, "show the marker to the camera"});
}

void CalibrationMode::offerFrame(clTracker& tracker, const unsigned char* frame) {
    if (!active() || frame == nullptr) return;
    const ViewOffer offer = collector_->offerFrame(frame, tracker.width, tracker.height);
    describe(offer);
    if (collector_->coverage().wanted == 0) finish(tracker);
}

void CalibrationMode::describe(const ViewOffer& offer) {
    const ViewCoverage coverage = collector_->coverage();
    progress_ = "Calibrating [V ends]: " + std::to_string(coverage.accepted) + " of " +
                std::to_string(collector_->targetViews()) + " views, " + std::to_string(coverage.wanted) +
                " still wanted";
    // A line of its own: the window may be only 640 pixels wide.
    places_ = "places " + std::to_string(coverage.cells) + "/9, tilts " + std::to_string(coverage.tiltDirections) + "/4";
    if (offer.verdict == ViewVerdict::Accepted)
        advice_ = "view taken; " + (coverage.hint.empty() ? std::string("hold on") : coverage.hint);
    else if (offer.verdict == ViewVerdict::TooSimilar && !coverage.hint.empty())
        advice_ = coverage.hint;
    else
        advice_ = offer.reason;
}

void CalibrationMode::finish(clTracker& tracker) {
    const CalibrationResult result = solveCalibration(collector_->views());
    collector_.reset();
    progress_.clear();
    places_.clear();
    advice_.clear();
    if (!result.ok) {
        outcome_ = "The camera was not calibrated: " + result.refusal + ".";
        showMessage(kCaption, outcome_.c_str());
        return;
    }
    CameraParam param = result.param;
    tracker.cameraParam = param;
    tracker.tables().workingParam = param;
    tracker.firstPose = true;

    const std::string path = savePath_.empty() ? userCalibrationPath() : savePath_;
    std::string error;
    char figures[200];
    std::snprintf(figures, sizeof figures,
                  "focal length %.1f pixels (a %.1f-degree horizontal field of view), reprojection error %.2f pixels",
                  result.model.fx, 2.0 * std::atan(0.5 * result.model.width / result.model.fx) * 180.0 / M_PI,
                  result.errorPixels);
    if (saveCalibrationForSize(path, param, &error)) {
        tracker.calibrationSource = path;
        outcome_ = std::string("The camera is calibrated: ") + figures + ". It is in use now and saved to " + path +
                   " for the next start.";
    } else {
        outcome_ = std::string("The camera is calibrated: ") + figures +
                   ". It is in use now, but was not saved: " + error + ".";
    }
    showMessage(kCaption, outcome_.c_str());
}
