// Telling views apart, before the camera is known.

#include "calibrate/ViewShape.h"

#include <opencv2/calib3d.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {
// What counts as new: a tilt changed by about 10 degrees, the marker moved by 15 % of
// the frame, or its size changed by a quarter.
constexpr double kTiltStep = 0.17;
constexpr double kPlaceStep = 0.15;
constexpr double kSizeStep = 0.25;
}  // namespace

bool describeView(const MarkerView& view, ViewShape* shape) {
    if (view.corners.size() < 4 || view.width <= 0 || view.height <= 0) return false;
    const double f = 0.5 * view.width / std::tan(30.0 * M_PI / 180.0);
    const cv::Matx33d k(f, 0, 0.5 * (view.width - 1), 0, f, 0.5 * (view.height - 1), 0, 0, 1);
    std::vector<cv::Point3d> object;
    std::vector<cv::Point2d> image;
    double cx = 0, cy = 0;
    for (int i = 0; i < 4; ++i) {
        const ViewCorner& c = view.corners[i];
        object.emplace_back(c.marker[0], c.marker[1], 0.0);
        image.emplace_back(c.image[0], c.image[1]);
        cx += c.image[0] / 4;
        cy += c.image[1] / 4;
    }
    cv::Vec3d rvec, tvec;
    bool solved = false;
    try {
        solved = cv::solvePnP(object, image, k, cv::noArray(), rvec, tvec, false, cv::SOLVEPNP_IPPE_SQUARE);
    } catch (const cv::Exception&) {
        solved = false;
    }
    if (!solved) return false;
    cv::Matx33d r;
    cv::Rodrigues(rvec, r);
    // The marker's normal in camera coordinates; facing the camera it is (0, 0, -1).
    const double n[3] = {r(0, 2), r(1, 2), r(2, 2)};
    shape->tiltDegrees = std::acos(std::clamp(-n[2], -1.0, 1.0)) * 180.0 / M_PI;
    shape->tilt[0] = n[0];
    shape->tilt[1] = n[1];
    shape->centre[0] = cx / view.width;
    shape->centre[1] = cy / view.height;
    shape->size = view.sidePixels / view.width;
    return std::isfinite(shape->tiltDegrees);
}

double viewDifference(const ViewShape& a, const ViewShape& b) {
    const double tilt = std::hypot(a.tilt[0] - b.tilt[0], a.tilt[1] - b.tilt[1]) / kTiltStep;
    const double place = std::hypot(a.centre[0] - b.centre[0], a.centre[1] - b.centre[1]) / kPlaceStep;
    const double size = (a.size > 0 && b.size > 0) ? std::fabs(std::log(a.size / b.size)) / kSizeStep : 0.0;
    return std::max({tilt, place, size});
}
