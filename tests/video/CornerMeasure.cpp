#include "video/CornerMeasure.h"

#include <algorithm>
#include <cmath>

#include <opencv2/core.hpp>

#include "scene/MarkerScene.h"

double greyAt(const std::vector<uint8_t>& bgra, int width, int height, double x, double y) {
    // Bilinear, in the pixel-centre convention: pixel i is centred at x = i.
    int x0 = int(std::floor(x)), y0 = int(std::floor(y));
    double fx = x - x0, fy = y - y0;
    auto g = [&](int xi, int yi) {
        xi = std::max(0, std::min(width - 1, xi));
        yi = std::max(0, std::min(height - 1, yi));
        const uint8_t* p = &bgra[(size_t(yi) * width + xi) * 4];
        return (p[0] + p[1] + p[2]) / 3.0;
    };
    return (g(x0, y0) * (1 - fx) + g(x0 + 1, y0) * fx) * (1 - fy) + (g(x0, y0 + 1) * (1 - fx) + g(x0 + 1, y0 + 1) * fx) * fy;
}

// Measures the four outer corners of the black square in a rendered frame: points on each
// edge are found as the half-way crossing of the grey profile across the edge, taken
// back to ideal coordinates, fitted with a line; the lines are intersected and the
// corners distorted again. Only the rendered pixels are measured; the pose serves only to
// know roughly where to look.
bool measureCorners(const std::vector<uint8_t>& bgra, const CameraParam& cam, const double T[3][4], double half,
                    double corners[4][2]) {
    const double cx[4] = {-half, half, half, -half}, cy[4] = {half, half, -half, -half};
    double lines[4][3];  // a x + b y = c in ideal coordinates
    for (int e = 0; e < 4; ++e) {
        const int n = (e + 1) % 4;
        std::vector<cv::Point2d> pts;
        for (int k = 3; k <= 27; ++k) {
            double s = k / 30.0;
            double mx = cx[e] + (cx[n] - cx[e]) * s, my = cy[e] + (cy[n] - cy[e]) * s;
            // Outward normal in marker coordinates.
            double nx = (cx[e] + cx[n]) / 2 / half * 0.5, ny = (cy[e] + cy[n]) / 2 / half * 0.5;
            double ax, ay, bx, by;
            if (!projectMarkerPoint(cam, T, mx - nx * 4, my - ny * 4, &ax, &ay)) return false;
            if (!projectMarkerPoint(cam, T, mx + nx * 4, my + ny * 4, &bx, &by)) return false;
            double dx = bx - ax, dy = by - ay, len = std::hypot(dx, dy);
            if (len < 2) return false;
            dx /= len;
            dy /= len;
            double ox, oy;
            projectMarkerPoint(cam, T, mx, my, &ox, &oy);
            if (ox < 8 || oy < 8 || ox > cam.width - 9 || oy > cam.height - 9) continue;
            // Profile from inside (dark) to outside (white margin).
            std::vector<double> prof;
            const double reach = std::min(6.0, len * 0.45);
            for (double t = -reach; t <= reach + 1e-9; t += 0.1)
                prof.push_back(greyAt(bgra, cam.width, cam.height, ox + dx * t, oy + dy * t));
            double lo = *std::min_element(prof.begin(), prof.end());
            double hi = *std::max_element(prof.begin(), prof.end());
            if (hi - lo < 60) continue;
            double mid = 0.5 * (lo + hi);
            for (size_t q = 1; q < prof.size(); ++q) {
                if (prof[q - 1] < mid && prof[q] >= mid) {
                    double t = -reach + 0.1 * (q - 1 + (mid - prof[q - 1]) / (prof[q] - prof[q - 1]));
                    double ix, iy;
                    observedToIdeal(cam.distortion, ox + dx * t, oy + dy * t, &ix, &iy);
                    pts.emplace_back(ix, iy);
                    break;
                }
            }
        }
        if (pts.size() < 8) return false;
        // Total least squares line.
        double mxs = 0, mys = 0;
        for (auto& p : pts) mxs += p.x, mys += p.y;
        mxs /= pts.size();
        mys /= pts.size();
        double sxx = 0, sxy = 0, syy = 0;
        for (auto& p : pts) {
            sxx += (p.x - mxs) * (p.x - mxs);
            sxy += (p.x - mxs) * (p.y - mys);
            syy += (p.y - mys) * (p.y - mys);
        }
        double angle = 0.5 * std::atan2(2 * sxy, sxx - syy);  // direction of the line
        double a = -std::sin(angle), b = std::cos(angle);
        lines[e][0] = a;
        lines[e][1] = b;
        lines[e][2] = a * mxs + b * mys;
    }
    for (int k = 0; k < 4; ++k) {
        const double* l1 = lines[(k + 3) % 4];
        const double* l2 = lines[k];
        double det = l1[0] * l2[1] - l1[1] * l2[0];
        if (std::fabs(det) < 1e-12) return false;
        double ix = (l1[2] * l2[1] - l1[1] * l2[2]) / det, iy = (l1[0] * l2[2] - l1[2] * l2[0]) / det;
        idealToObserved(cam.distortion, ix, iy, &corners[k][0], &corners[k][1]);
    }
    return true;
}

bool allCornersInside(const CameraParam& cam, const double T[3][4], double margin) {
    const double c[4][2] = {{-20, 20}, {20, 20}, {20, -20}, {-20, -20}};
    for (auto& p : c) {
        double ox, oy;
        if (!projectMarkerPoint(cam, T, p[0], p[1], &ox, &oy)) return false;
        if (ox < margin || oy < margin || ox > cam.width - 1 - margin || oy > cam.height - 1 - margin) return false;
    }
    return true;
}

