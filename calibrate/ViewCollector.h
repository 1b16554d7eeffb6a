// Collecting views of the marker for calibration, one frame at a time: the marker found
// by the tracker core, its points placed, and the view kept only when it adds a tilt, a
// place in the frame or a distance the views so far lack. Coverage and the number of
// views still wanted are there to show the user.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "calibrate/MarkerView.h"
#include "calibrate/ViewShape.h"
#include "tracking/Marker.h"
#include "tracking/TrackerTables.h"

enum class ViewVerdict {
    Accepted,
    NoMarker,    // no identified marker in the frame
    Unusable,    // a marker, but its points could not be placed (reason says why)
    TooSimilar,  // nothing new over the views already taken
    WrongSize,   // the frame is not the size the views so far (or the tracker) have
};

struct ViewOffer {
    ViewVerdict verdict = ViewVerdict::NoMarker;
    std::string reason;  // for everything but Accepted
};

struct ViewCoverage {
    int accepted = 0;
    int wanted = 0;          // views still wanted to reach the target
    int cells = 0;           // of the frame's 3 x 3 cells, those a view's centre fell in
    int tiltDirections = 0;  // of left, right, up, down: those a view was tilted towards
    std::string hint;        // what to show next, empty when nothing is missing
};

class ViewCollector {
public:
    // The detector works with the tables given (their working calibration, patterns and
    // edge switch), which must outlive the collector.
    explicit ViewCollector(const TrackerTables& tables, int targetViews = 20);

    // Finds the marker in a B, G, R, A frame with this collector's own detector, which
    // works in the tables' calibration (its frame size must match); its corners are
    // taken back through the installed lens model to where they are in the picture.
    ViewOffer offerFrame(const uint8_t* bgra, int width, int height);
    // The same for a marker whose outer corners are already known (observed image
    // coordinates, in the order of MarkerView.h).
    ViewOffer offerCorners(const uint8_t* bgra, int width, int height, const double corners[4][2]);

    const std::vector<MarkerView>& views() const { return views_; }
    ViewCoverage coverage() const;
    int targetViews() const { return target_; }
    void clear();

private:
    const TrackerTables& tables_;
    MarkerDetector detector_;
    GreyFrame grey_;
    MarkerView scratch_;
    std::vector<MarkerView> views_;
    std::vector<ViewShape> shapes_;
    int target_;
};

// One line for a progress display: "12 views, 8 still wanted; places 6/9, tilts 3/4".
std::string coverageLine(const ViewCoverage& coverage);
