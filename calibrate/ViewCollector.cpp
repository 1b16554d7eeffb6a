// Which views calibration keeps, and what it still wants to see.

#include "calibrate/ViewCollector.h"

#include <algorithm>
#include <cmath>

#include "tracking/CameraParam.h"
#include "tracking/Labeling.h"

namespace {

constexpr double kTiltedDegrees = 15.0;

// 0 right, 1 down, 2 left, 3 up: the way the marker's normal leans in the picture.
int tiltDirection(const ViewShape& shape) {
    const double angle = std::atan2(shape.tilt[1], shape.tilt[0]);
    const int quadrant = static_cast<int>(std::lround(angle / (M_PI / 2)));
    return ((quadrant % 4) + 4) % 4;
}

int cellOf(const ViewShape& shape) {
    const int col = std::clamp(static_cast<int>(shape.centre[0] * 3.0), 0, 2);
    const int row = std::clamp(static_cast<int>(shape.centre[1] * 3.0), 0, 2);
    return row * 3 + col;
}

}  // namespace

ViewCollector::ViewCollector(const TrackerTables& tables, int targetViews)
    : tables_(tables), detector_(tables), target_(std::max(1, targetViews)) {}

void ViewCollector::clear() {
    views_.clear();
    shapes_.clear();
    detector_.resetHistory();
}

ViewOffer ViewCollector::offerFrame(const uint8_t* bgra, int width, int height) {
    const CameraParam& installed = tables_.workingParam;
    if (installed.width != width || installed.height != height) {
        return {ViewVerdict::WrongSize, "the frame is " + std::to_string(width) + "x" + std::to_string(height) +
                                            " but the tracker is set up for " + std::to_string(installed.width) +
                                            "x" + std::to_string(installed.height)};
    }
    DetectedMarker* markers = nullptr;
    int count = 0;
    if (detector_.detect(bgra, kLocalThreshold, &markers, &count) < 0) count = 0;
    // The best identified marker found afresh in this frame: one followed from an
    // earlier frame has corners carried over, not measured.
    const DetectedMarker* best = nullptr;
    for (int i = 0; i < count; ++i) {
        const DetectedMarker& m = markers[i];
        if (m.pattern < 0 || m.tracked || !m.refined) continue;
        if (best == nullptr || m.confidence > best->confidence) best = &m;
    }
    if (best == nullptr) return {ViewVerdict::NoMarker, "no marker in the picture"};
    const int first = best->orientation >= 0 && best->orientation <= 3 ? (4 - best->orientation) % 4 : 0;
    double corners[4][2];
    for (int k = 0; k < 4; ++k) {
        const double* c = best->corners[(first + k) % 4];
        idealToObserved(installed.distortion, c[0], c[1], &corners[k][0], &corners[k][1]);
    }
    return offerCorners(bgra, width, height, corners);
}

ViewOffer ViewCollector::offerCorners(const uint8_t* bgra, int width, int height, const double cornersIn[4][2]) {
    if (!views_.empty() && (views_.front().width != width || views_.front().height != height)) {
        return {ViewVerdict::WrongSize, "the frame is " + std::to_string(width) + "x" + std::to_string(height) +
                                            " but the views so far are " + std::to_string(views_.front().width) +
                                            "x" + std::to_string(views_.front().height)};
    }
    // The marker's corners run clockwise in the picture; a list running the other way
    // is turned round so the marker is never taken as its mirror image.
    double corners[4][2];
    double area = 0.0;
    for (int k = 0; k < 4; ++k) {
        const double* a = cornersIn[k];
        const double* b = cornersIn[(k + 1) % 4];
        area += a[0] * b[1] - a[1] * b[0];
    }
    for (int k = 0; k < 4; ++k) {
        const int from = area >= 0 ? k : (4 - k) % 4;
        corners[k][0] = cornersIn[from][0];
        corners[k][1] = cornersIn[from][1];
    }
    grey_.fromBGRA(bgra, width, height);
    std::string why;
    if (!locateMarkerView(grey_, corners, &scratch_, &why)) return {ViewVerdict::Unusable, why};
    ViewShape shape;
    if (!describeView(scratch_, &shape)) return {ViewVerdict::Unusable, "the marker's corners admit no pose"};
    for (const ViewShape& taken : shapes_)
        if (viewDifference(shape, taken) < 1.0)
            return {ViewVerdict::TooSimilar, "this view is too like one already taken; tilt or move the marker"};
    views_.push_back(scratch_);
    shapes_.push_back(shape);
    return {ViewVerdict::Accepted, {}};
}

ViewCoverage ViewCollector::coverage() const {
    ViewCoverage c;
    c.accepted = static_cast<int>(views_.size());
    c.wanted = std::max(0, target_ - c.accepted);
    bool cells[9] = {};
    bool tilts[4] = {};
    for (const ViewShape& s : shapes_) {
        cells[cellOf(s)] = true;
        if (s.tiltDegrees >= kTiltedDegrees) tilts[tiltDirection(s)] = true;
    }
    c.cells = static_cast<int>(std::count(cells, cells + 9, true));
    c.tiltDirections = static_cast<int>(std::count(tilts, tilts + 4, true));
    static const char* const kTiltHint[4] = {"tilt the marker's right edge away from the camera",
                                             "tilt the marker's bottom edge away from the camera",
                                             "tilt the marker's left edge away from the camera",
                                             "tilt the marker's top edge away from the camera"};
    static const char* const kCellName[9] = {"top left",    "top",    "top right",    "left", "middle",
                                             "right",       "bottom left", "bottom", "bottom right"};
    for (int d = 0; d < 4 && c.hint.empty(); ++d)
        if (!tilts[d]) c.hint = kTiltHint[d];
    for (int k = 0; k < 9 && c.hint.empty(); ++k)
        if (!cells[k]) c.hint = std::string("show the marker at the ") + kCellName[k] + " of the picture";
    if (c.hint.empty() && c.wanted > 0) c.hint = "vary the distance and the tilt";
    return c;
}

std::string coverageLine(const ViewCoverage& c) {
    std::string line = std::to_string(c.accepted) + (c.accepted == 1 ? " view, " : " views, ") +
                       std::to_string(c.wanted) + " still wanted; places " + std::to_string(c.cells) +
                       "/9, tilts " + std::to_string(c.tiltDirections) + "/4";
    if (!c.hint.empty()) line += "; " + c.hint;
    return line;
}
