// The solve: OpenCV's calibration with a pinhole and one radial term gives the start;
// then every parameter of the file's own lens model and every view's pose are refined
// together by Levenberg-Marquardt on the corners (where they are) and the edge points
// (how far they lie off the image of their straight edge).

#include "calibrate/Solve.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "calibrate/ViewShape.h"

namespace {

constexpr int kIntrinsics = 7;  // fx, fy, px, py, dx, dy, radial
constexpr int kPoseParams = 6;
// The distortion centre is held, weakly, to the principal point: a lens with little
// distortion cannot show its centre, and then it should not wander.
constexpr double kCentreTie = 0.001;

std::string format(const char* pattern, double a, double b = 0.0) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, a, b);
    return text;
}

void unpackModel(const double* p, CameraModel* model) {
    model->fx = p[0];
    model->fy = p[1];
    model->px = p[2];
    model->py = p[3];
    model->dx = p[4];
    model->dy = p[5];
    model->radial = p[6];
}

void packModel(const CameraModel& model, double* p) {
    p[0] = model.fx;
    p[1] = model.fy;
    p[2] = model.px;
    p[3] = model.py;
    p[4] = model.dx;
    p[5] = model.dy;
    p[6] = model.radial;
}

int residualCount(const MarkerView& view) {
    return 2 * static_cast<int>(view.corners.size()) + static_cast<int>(view.edgePoints.size());
}

// How much each kind of point counts in the fit, by how precisely it is placed: the
// outer edges (black on the white margin) best; the inner edges far less well, as the
// picture inside comes close to them and, seen small, bleeds into them; the corners not at all, being made from the same edge
// points (reached by extending the edge curves), so they would only count those twice.
constexpr double kOuterEdgeWeight = 1.0;
constexpr double kInnerEdgeWeight = 0.1;
constexpr double kCornerWeight = 0.0;

bool onOuterEdge(const ViewEdgePoint& e) {
    return std::max(std::fabs(e.from[0]), std::fabs(e.from[1])) > 0.375;
}

// One view's residuals: corner x, y offsets, then each edge point's distance from its
// edge, measured with the lens removed (where the edge is straight); weighted for the
// fit, or as plain pixels. A point that cannot be projected gets a large residual so the
// step that caused it is rejected.
void viewResiduals(const CameraModel& model, const double* pose, const MarkerView& view, double* out,
                   bool weighted = true) {
    double r[3][3];
    rotationMatrix(pose, r);
    const double* t = pose + 3;
    constexpr double kFar = 1e4;
    for (const ViewCorner& c : view.corners) {
        double u, v;
        if (projectPoint(model, r, t, c.marker[0], c.marker[1], &u, &v)) {
            const double w = weighted ? kCornerWeight : 1.0;
            *out++ = w * (u - c.image[0]);
            *out++ = w * (v - c.image[1]);
        } else {
            *out++ = kFar;
            *out++ = kFar;
        }
    }
    const double distortion[4] = {model.dx, model.dy, model.radial, 1.0};
    CameraModel pinhole = model;
    pinhole.radial = 0.0;
    for (const ViewEdgePoint& e : view.edgePoints) {
        double ax, ay, bx, by, ix, iy;
        if (!projectPoint(pinhole, r, t, e.from[0], e.from[1], &ax, &ay) ||
            !projectPoint(pinhole, r, t, e.to[0], e.to[1], &bx, &by)) {
            *out++ = kFar;
            continue;
        }
        observedToIdeal(distortion, e.image[0], e.image[1], &ix, &iy);
        const double length = std::hypot(bx - ax, by - ay);
        if (!(length > 1e-9)) {
            *out++ = kFar;
            continue;
        }
        const double w = !weighted ? 1.0 : onOuterEdge(e) ? kOuterEdgeWeight : kInnerEdgeWeight;
        *out++ = w * ((ix - ax) * (ay - by) + (iy - ay) * (bx - ax)) / length;
    }
}

// Levenberg-Marquardt over the camera (unless fixed) and the poses. The normal matrix
// is small (7 + 6 per view), so it is formed whole.
struct Problem {
    const std::vector<const MarkerView*>& views;
    bool fixCamera;
    int width, height;
};

double totalCost(const Problem& problem, const std::vector<double>& params, std::vector<double>* residuals) {
    CameraModel model;
    model.width = problem.width;
    model.height = problem.height;
    unpackModel(params.data(), &model);
    residuals->clear();
    std::vector<double> block;
    for (size_t v = 0; v < problem.views.size(); ++v) {
        block.resize(residualCount(*problem.views[v]));
        viewResiduals(model, &params[kIntrinsics + kPoseParams * v], *problem.views[v], block.data());
        residuals->insert(residuals->end(), block.begin(), block.end());
    }
    if (!problem.fixCamera) {
        residuals->push_back(kCentreTie * (model.dx - model.px));
        residuals->push_back(kCentreTie * (model.dy - model.py));
    }
    double cost = 0.0;
    for (double r : *residuals) cost += r * r;
    return cost;
}

void refine(const Problem& problem, std::vector<double>* params, int iterations) {
    const int nViews = static_cast<int>(problem.views.size());
    const int free0 = problem.fixCamera ? kIntrinsics : 0;
    const int n = kIntrinsics + kPoseParams * nViews;
    const int m = n - free0;
    std::vector<double> residuals, trial, shifted;
    double cost = totalCost(problem, *params, &residuals);
    if (!std::isfinite(cost)) return;
    double lambda = 1e-3;
    std::vector<int> start(nViews + 1, 0);
    for (int v = 0; v < nViews; ++v) start[v + 1] = start[v] + residualCount(*problem.views[v]);

    for (int it = 0; it < iterations; ++it) {
        // The Jacobian by forward differences: the camera's columns touch every residual,
        // a pose's columns only its own view's.
        cv::Mat jtj = cv::Mat::zeros(m, m, CV_64F);
        cv::Mat jtr = cv::Mat::zeros(m, 1, CV_64F);
        std::vector<std::vector<double>> columns(n);
        CameraModel model;
        model.width = problem.width;
        model.height = problem.height;
        for (int j = free0; j < n; ++j) {
            double step;
            if (j < kIntrinsics)
                step = j == 6 ? 1e-4 : 1e-4;
            else
                step = ((j - kIntrinsics) % kPoseParams) < 3 ? 1e-7 : 1e-7 * std::max(1.0, std::fabs((*params)[j]));
            std::vector<double> p = *params;
            p[j] += step;
            if (j < kIntrinsics) {
                totalCost(problem, p, &shifted);
                columns[j].resize(shifted.size());
                for (size_t i = 0; i < shifted.size(); ++i) columns[j][i] = (shifted[i] - residuals[i]) / step;
            } else {
                const int v = (j - kIntrinsics) / kPoseParams;
                unpackModel(p.data(), &model);
                std::vector<double> block(residualCount(*problem.views[v]));
                viewResiduals(model, &p[kIntrinsics + kPoseParams * v], *problem.views[v], block.data());
                columns[j].assign(residuals.size(), 0.0);
                for (size_t i = 0; i < block.size(); ++i)
                    columns[j][start[v] + i] = (block[i] - residuals[start[v] + i]) / step;
            }
        }
        // Pose columns of different views never overlap; only their own view's rows count.
        auto rowsOf = [&](int j, int* from, int* to) {
            if (j < kIntrinsics) {
                *from = 0;
                *to = static_cast<int>(residuals.size());
            } else {
                const int v = (j - kIntrinsics) / kPoseParams;
                *from = start[v];
                *to = start[v + 1];
            }
        };
        for (int a = free0; a < n; ++a) {
            int a0, a1;
            rowsOf(a, &a0, &a1);
            double g = 0.0;
            for (int i = a0; i < a1; ++i) g += columns[a][i] * residuals[i];
            jtr.at<double>(a - free0) = g;
            for (int b = a; b < n; ++b) {
                int b0, b1;
                rowsOf(b, &b0, &b1);
                const int lo = std::max(a0, b0), hi = std::min(a1, b1);
                double s = 0.0;
                for (int i = lo; i < hi; ++i) s += columns[a][i] * columns[b][i];
                jtj.at<double>(a - free0, b - free0) = s;
                jtj.at<double>(b - free0, a - free0) = s;
            }
        }
        bool improved = false;
        for (int attempt = 0; attempt < 12 && !improved; ++attempt) {
            cv::Mat damped = jtj.clone();
            for (int k = 0; k < m; ++k) damped.at<double>(k, k) += lambda * (jtj.at<double>(k, k) + 1e-9);
            cv::Mat delta;
            if (!cv::solve(damped, -jtr, delta, cv::DECOMP_CHOLESKY)) {
                lambda *= 10.0;
                continue;
            }
            std::vector<double> p = *params;
            for (int k = 0; k < m; ++k) p[free0 + k] += delta.at<double>(k);
            const double c = totalCost(problem, p, &trial);
            if (std::isfinite(c) && c < cost) {
                const double gain = cost - c;
                *params = p;
                residuals.swap(trial);
                cost = c;
                lambda = std::max(lambda / 3.0, 1e-9);
                improved = true;
                if (gain < 1e-12 * cost) return;
            } else {
                lambda *= 4.0;
            }
        }
        if (!improved) return;
    }
}

// RMS distances: corners (as points) and edge points (across their edge).
void errorFigures(const CameraModel& model, const std::vector<const MarkerView*>& views,
                  const std::vector<double>& params, double* cornerError, double* edgeError) {
    double cornerSq = 0.0, edgeSq = 0.0;
    int corners = 0, edges = 0;
    std::vector<double> block;
    for (size_t v = 0; v < views.size(); ++v) {
        block.resize(residualCount(*views[v]));
        viewResiduals(model, &params[kIntrinsics + kPoseParams * v], *views[v], block.data(), false);
        const size_t nc = views[v]->corners.size();
        for (size_t i = 0; i < 2 * nc; ++i) cornerSq += block[i] * block[i];
        for (size_t i = 2 * nc; i < block.size(); ++i) edgeSq += block[i] * block[i];
        corners += static_cast<int>(nc);
        edges += static_cast<int>(block.size() - 2 * nc);
    }
    *cornerError = corners ? std::sqrt(cornerSq / corners) : 0.0;
    *edgeError = edges ? std::sqrt(edgeSq / edges) : 0.0;
}

// Refuses a camera that cannot be real: focal lengths that are not positive or much
// unlike each other, a principal point outside the picture, a lens that folds the
// picture's corners back inwards.
bool plausible(const CameraModel& m, std::string* why) {
    const double values[] = {m.fx, m.fy, m.px, m.py, m.dx, m.dy, m.radial};
    for (double v : values)
        if (!std::isfinite(v)) {
            *why = "the solution did not converge; take views that show the marker tilted in several directions";
            return false;
        }
    if (m.fx <= 0 || m.fy <= 0 || m.fx / m.fy > 1.2 || m.fy / m.fx > 1.2) {
        *why = format("the solution makes no sense (focal lengths %.1f and %.1f pixels); take the views again", m.fx,
                      m.fy);
        return false;
    }
    if (m.px < 0 || m.px > m.width || m.py < 0 || m.py > m.height) {
        *why = format("the solution makes no sense (image centre at %.1f, %.1f, outside the picture); take the views "
                      "again",
                      m.px, m.py);
        return false;
    }
    const double p = m.radial / 1e8;
    const double cornerX = std::max(m.dx, m.width - m.dx), cornerY = std::max(m.dy, m.height - m.dy);
    if (1.0 - 3.0 * p * (cornerX * cornerX + cornerY * cornerY) <= 0.0) {
        *why = "the solution makes no sense (the lens model folds the picture's corners back); take views with the "
               "marker near the corners of the picture";
        return false;
    }
    return true;
}

bool poseStart(const CameraModel& model, const MarkerView& view, ViewPose* pose) {
    const double distortion[4] = {model.dx, model.dy, model.radial, 1.0};
    std::vector<cv::Point3d> object;
    std::vector<cv::Point2d> image;
    for (const ViewCorner& c : view.corners) {
        double ix, iy;
        observedToIdeal(distortion, c.image[0], c.image[1], &ix, &iy);
        object.emplace_back(c.marker[0], c.marker[1], 0.0);
        image.emplace_back(ix, iy);
    }
    const cv::Matx33d k(model.fx, 0, model.px, 0, model.fy, model.py, 0, 0, 1);
    cv::Vec3d rvec, tvec;
    try {
        if (!cv::solvePnP(object, image, k, cv::noArray(), rvec, tvec, false, cv::SOLVEPNP_IPPE)) return false;
    } catch (const cv::Exception&) {
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        pose->rotation[i] = rvec[i];
        pose->translation[i] = tvec[i];
    }
    return std::isfinite(tvec[2]) && tvec[2] > 0;
}

}  // namespace

CalibrationResult solveCalibration(const std::vector<MarkerView>& views, const CalibrationLimits& limits) {
    CalibrationResult result;
    const int count = static_cast<int>(views.size());
    if (count < limits.minViews) {
        result.refusal = "too few views: " + std::to_string(count) + " of at least " +
                         std::to_string(limits.minViews) + " accepted";
        return result;
    }
    const int width = views.front().width, height = views.front().height;
    for (const MarkerView& v : views) {
        if (v.width != width || v.height != height) {
            result.refusal = "the views come from frames of different sizes (" + std::to_string(width) + "x" +
                             std::to_string(height) + " and " + std::to_string(v.width) + "x" +
                             std::to_string(v.height) + "); calibrate one frame size at a time";
            return result;
        }
    }
    // Without tilt the focal length and the distance trade against each other and the
    // solve has nothing to go on.
    int tilted = 0;
    double largest = 0.0;
    for (const MarkerView& v : views) {
        ViewShape shape;
        if (!describeView(v, &shape)) continue;
        largest = std::max(largest, shape.tiltDegrees);
        if (shape.tiltDegrees >= limits.minTiltDegrees) ++tilted;
    }
    if (tilted < limits.minTiltedViews) {
        result.refusal = "too little tilt: " + std::to_string(tilted) + " of " + std::to_string(count) +
                         " views show the marker tilted by " + format("%.0f", limits.minTiltDegrees) +
                         " degrees or more (at least " + std::to_string(limits.minTiltedViews) +
                         " are needed; the most is " + format("%.0f", largest) +
                         " degrees); turn the marker away from facing the camera, in several directions";
        return result;
    }

    // The start: a pinhole with one radial term, from the corners alone.
    std::vector<std::vector<cv::Point3f>> objects;
    std::vector<std::vector<cv::Point2f>> images;
    for (const MarkerView& v : views) {
        objects.emplace_back();
        images.emplace_back();
        for (const ViewCorner& c : v.corners) {
            objects.back().emplace_back(static_cast<float>(c.marker[0]), static_cast<float>(c.marker[1]), 0.0f);
            images.back().emplace_back(static_cast<float>(c.image[0]), static_cast<float>(c.image[1]));
        }
    }
    cv::Mat k, distortion;
    std::vector<cv::Mat> rvecs, tvecs;
    try {
        cv::calibrateCamera(objects, images, cv::Size(width, height), k, distortion, rvecs, tvecs,
                            cv::CALIB_ZERO_TANGENT_DIST | cv::CALIB_FIX_K2 | cv::CALIB_FIX_K3);
    } catch (const cv::Exception& e) {
        result.refusal = "the views do not fit any camera (" + std::string(e.err) + "); take them again";
        return result;
    }
    CameraModel model;
    model.width = width;
    model.height = height;
    model.fx = k.at<double>(0, 0);
    model.fy = k.at<double>(1, 1);
    model.px = k.at<double>(0, 2);
    model.py = k.at<double>(1, 2);
    model.dx = model.px;
    model.dy = model.py;
    // OpenCV: offset (1 + k1 r^2) with r in focal lengths; ours: (1 - p r^2) in pixels.
    model.radial = -distortion.at<double>(0) / (model.fx * model.fy) * 1e8;

    std::vector<const MarkerView*> used;
    for (const MarkerView& v : views) used.push_back(&v);
    std::vector<double> params(kIntrinsics + kPoseParams * count);
    packModel(model, params.data());
    for (int v = 0; v < count; ++v)
        for (int i = 0; i < 3; ++i) {
            params[kIntrinsics + kPoseParams * v + i] = rvecs[v].at<double>(i);
            params[kIntrinsics + kPoseParams * v + 3 + i] = tvecs[v].at<double>(i);
        }
    const Problem problem{used, false, width, height};
    refine(problem, &params, 100);
    unpackModel(params.data(), &model);

    result.model = model;
    result.views = count;
    errorFigures(model, used, params, &result.errorPixels, &result.edgeErrorPixels);
    for (int v = 0; v < count; ++v) {
        ViewPose pose;
        for (int i = 0; i < 3; ++i) {
            pose.rotation[i] = params[kIntrinsics + kPoseParams * v + i];
            pose.translation[i] = params[kIntrinsics + kPoseParams * v + 3 + i];
        }
        result.poses.push_back(pose);
    }
    if (!plausible(model, &result.refusal)) return result;
    if (!(result.errorPixels <= limits.maxErrorPixels)) {
        result.refusal = format("reprojection error too large: %.2f pixels (at most %.2f); hold the marker still and "
                                "flat, in good light, and take the views again",
                                result.errorPixels, limits.maxErrorPixels);
        return result;
    }
    result.param = cameraParamFromModel(model);
    result.ok = true;
    return result;
}

double fitViewPose(const CameraModel& model, const MarkerView& view, ViewPose* pose) {
    if (view.corners.size() < 4) return -1.0;
    ViewPose start;
    if (!poseStart(model, view, &start)) return -1.0;
    std::vector<const MarkerView*> one{&view};
    std::vector<double> params(kIntrinsics + kPoseParams);
    packModel(model, params.data());
    for (int i = 0; i < 3; ++i) {
        params[kIntrinsics + i] = start.rotation[i];
        params[kIntrinsics + 3 + i] = start.translation[i];
    }
    const Problem problem{one, true, model.width, model.height};
    refine(problem, &params, 50);
    for (int i = 0; i < 3; ++i) {
        pose->rotation[i] = params[kIntrinsics + i];
        pose->translation[i] = params[kIntrinsics + 3 + i];
    }
    double cornerError, edgeError;
    errorFigures(model, one, params, &cornerError, &edgeError);
    return std::isfinite(cornerError) ? cornerError : -1.0;
}
