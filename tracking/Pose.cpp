#include "tracking/Pose.h"

#include <cmath>
#include <cstring>
#include <utility>

#include "tracking/CameraParam.h"
#include "tracking/Matrix.h"
#include "tracking/PoseMath.h"

namespace {

constexpr int kMaxPasses = 5;
constexpr double kGoodFit = 1.0;               // pixels squared: stop refining below this
constexpr int kSearchIterations = 10;
constexpr double kInitialStep = 0.17453292519943295;  // 10 degrees
constexpr int kLeastSquaresIterations = 20;

void cross(const double a[3], const double b[3], double out[3]) {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}

double dot(const double a[3], const double b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

bool normalise(double v[3]) {
    const double length = std::sqrt(dot(v, v));
    if (length == 0.0 || !std::isfinite(length)) return false;
    v[0] /= length;
    v[1] /= length;
    v[2] /= length;
    return true;
}

// The sine and cosine of one angle, forced back onto the unit circle when rounding
// pushed one of them just past +-1.
void clampAngle(double* cosine, double* sine) {
    if (*cosine > 1.0) {
        *cosine = 1.0;
        *sine = 0.0;
    }
    if (*cosine < -1.0) {
        *cosine = -1.0;
        *sine = 0.0;
    }
    if (*sine > 1.0) {
        *sine = 1.0;
        *cosine = 0.0;
    }
    if (*sine < -1.0) {
        *sine = -1.0;
        *cosine = 0.0;
    }
}

double angleOf(double cosine, double sine) {
    clampAngle(&cosine, &sine);
    const double angle = std::acos(cosine);
    return sine < 0.0 ? -angle : angle;
}

// Least-squares translation for a fixed rotation, from the linearised projection
// equations of every point. Relies on the calibration form of the camera matrix
// (row 2 = (0, 0, 1, 0), C10 = 0).
bool solveTranslation(const double rotation[3][3], const double (*model)[3], const double (*targets)[2], int n,
                      const double camera[3][4], double translation[3]) {
    double normal[3][3] = {};
    double right[3] = {};
    for (int i = 0; i < n; ++i) {
        double w[3];
        for (int r = 0; r < 3; ++r)
            w[r] = rotation[r][0] * model[i][0] + rotation[r][1] * model[i][1] + rotation[r][2] * model[i][2];
        const double x = targets[i][0];
        const double y = targets[i][1];
        const double rows[2][3] = {{camera[0][0], camera[0][1], camera[0][2] - x},
                                   {0.0, camera[1][1], camera[1][2] - y}};
        const double values[2] = {w[2] * x - camera[0][0] * w[0] - camera[0][1] * w[1] - camera[0][2] * w[2],
                                  w[2] * y - camera[1][1] * w[1] - camera[1][2] * w[2]};
        for (int k = 0; k < 2; ++k) {
            for (int r = 0; r < 3; ++r) {
                for (int c = 0; c < 3; ++c) normal[r][c] += rows[k][r] * rows[k][c];
                right[r] += rows[k][r] * values[k];
            }
        }
    }
    if (!invertRawInPlace(&normal[0][0], 3, 3)) return false;
    for (int r = 0; r < 3; ++r)
        translation[r] = normal[r][0] * right[0] + normal[r][1] * right[1] + normal[r][2] * right[2];
    return true;
}

double searchError(const double projection[3][4], const double (*model)[3], const double (*targets)[2], int n) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        const double* p = model[i];
        const double h = projection[2][0] * p[0] + projection[2][1] * p[1] + projection[2][2] * p[2] + projection[2][3];
        const double x = (projection[0][0] * p[0] + projection[0][1] * p[1] + projection[0][2] * p[2] +
                          projection[0][3]) / h;
        const double y = (projection[1][0] * p[0] + projection[1][1] * p[1] + projection[1][2] * p[2] +
                          projection[1][3]) / h;
        const double dx = targets[i][0] - x;
        const double dy = targets[i][1] - y;
        sum += dx * dx + dy * dy;
    }
    return sum;
}

bool validOrientation(const DetectedMarker* marker) {
    return marker && marker->orientation >= 0 && marker->orientation <= 3;
}

void markerPoints(const DetectedMarker* marker, const double center[2], double width, double image[4][2],
                  double model[4][3]) {
    const int o = marker->orientation;
    for (int k = 0; k < 4; ++k) {
        image[k][0] = marker->corners[(4 - o + k) % 4][0];
        image[k][1] = marker->corners[(4 - o + k) % 4][1];
    }
    const double half = width / 2.0;
    const double corners[4][2] = {{-half, half}, {half, half}, {half, -half}, {-half, -half}};
    for (int k = 0; k < 4; ++k) {
        model[k][0] = center[0] + corners[k][0];
        model[k][1] = center[1] + corners[k][1];
        model[k][2] = 0.0;
    }
}

// Repeated fits from a start rotation until the fit is good or the passes run out.
double fitPasses(const CameraParam& param, double rotation[3][3], const double image[4][2],
                 const double model[4][3], double transform[3][4]) {
    double error = -1.0;
    for (int pass = 0; pass < kMaxPasses; ++pass) {
        error = fitPose(param, rotation, image, model, 4, transform);
        if (error < 0.0 || error < kGoodFit) break;
    }
    return error;
}

// Solutions p of p . n = 0, p . u = t, |p| = 1 (two of them, or false).
bool unitSolutions(const double u[3], const double n[3], double t, double first[3], double second[3]) {
    double uu[3] = {u[0], u[1], u[2]};
    double nn[3] = {n[0], n[1], n[2]};
    int swapA = -1;
    int swapB = -1;
    double det = nn[1] * uu[0] - uu[1] * nn[0];
    if (det == 0.0) {
        if (nn[2] * uu[0] - uu[2] * nn[0] != 0.0) {
            swapA = 1;
            swapB = 2;
        } else {
            swapA = 0;
            swapB = 2;
        }
        std::swap(uu[swapA], uu[swapB]);
        std::swap(nn[swapA], nn[swapB]);
        det = nn[1] * uu[0] - uu[1] * nn[0];
        if (det == 0.0) return false;
    }
    // From nn.p = 0 and uu.p = t: p0 = a0 r + b0, p1 = a1 r + b1 with r = p2.
    const double a0 = (nn[2] * uu[1] - uu[2] * nn[1]) / det;
    const double b0 = nn[1] * t / det;
    const double a1 = (uu[2] * nn[0] - nn[2] * uu[0]) / det;
    const double b1 = -nn[0] * t / det;
    const double alpha = a0 * a0 + a1 * a1 + 1.0;
    const double beta = a0 * b0 + a1 * b1;
    const double gamma = b0 * b0 + b1 * b1 - 1.0;
    double disc = beta * beta - alpha * gamma;
    // Axes that are already orthogonal make this a double root (t = 1, p = u), where
    // rounding alone can push the discriminant just below zero.
    if (disc < 0.0 && disc > -1e-12 * (beta * beta + std::fabs(alpha * gamma))) disc = 0.0;
    if (disc < 0.0) return false;
    const double root = std::sqrt(disc);
    double* outs[2] = {first, second};
    const double rs[2] = {(-beta + root) / alpha, (-beta - root) / alpha};
    for (int s = 0; s < 2; ++s) {
        double* p = outs[s];
        p[0] = a0 * rs[s] + b0;
        p[1] = a1 * rs[s] + b1;
        p[2] = rs[s];
        if (swapA >= 0) std::swap(p[swapA], p[swapB]);
    }
    return true;
}

}  // namespace

bool poseIsFinite(const double transform[3][4]) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            if (!std::isfinite(transform[r][c])) return false;
    return true;
}

int rotationToAngles(double rotation[3][3], double* a, double* b, double* c) {
    if (rotation[2][2] > 1.0) rotation[2][2] = 1.0;
    if (rotation[2][2] < -1.0) rotation[2][2] = -1.0;
    const double beta = std::acos(rotation[2][2]);
    if (beta >= 1e-6) {
        const double sinB = std::sin(beta);
        const double alpha = angleOf(rotation[0][2] / sinB, rotation[1][2] / sinB);
        const double t = rotation[0][2] * rotation[0][2] + rotation[1][2] * rotation[1][2];
        const double sinC = (rotation[2][1] * rotation[0][2] - rotation[2][0] * rotation[1][2]) / t;
        const double cosC = -(rotation[0][2] * rotation[2][0] + rotation[1][2] * rotation[2][1]) / t;
        *a = alpha;
        *b = beta;
        *c = angleOf(cosC, sinC);
    } else {
        *a = 0.0;
        *b = 0.0;
        *c = angleOf(rotation[0][0], rotation[1][0]);
    }
    return 0;
}

int anglesToRotation(double a, double b, double c, double rotation[3][3]) {
    const double sa = std::sin(a), ca = std::cos(a);
    const double sb = std::sin(b), cb = std::cos(b);
    const double sc = std::sin(c - a), cc = std::cos(c - a);
    // Rz(a) Ry(b), then times Rz(c - a).
    const double m[3][3] = {{ca * cb, -sa, ca * sb}, {sa * cb, ca, sa * sb}, {-sb, 0.0, cb}};
    for (int r = 0; r < 3; ++r) {
        rotation[r][0] = m[r][0] * cc + m[r][1] * sc;
        rotation[r][1] = -m[r][0] * sc + m[r][1] * cc;
        rotation[r][2] = m[r][2];
    }
    return 0;
}

int composeProjection(double a, double b, double c, const double translation[3], const double (*transform)[4],
                      const double camera[3][4], double out[3][4]) {
    double k[3][4];
    if (transform) {
        for (int r = 0; r < 3; ++r)
            for (int col = 0; col < 4; ++col)
                k[r][col] = camera[r][0] * transform[0][col] + camera[r][1] * transform[1][col] +
                            camera[r][2] * transform[2][col];
    } else {
        std::memcpy(k, camera, sizeof k);
    }
    double rotation[3][3];
    anglesToRotation(a, b, c, rotation);
    for (int r = 0; r < 3; ++r) {
        for (int col = 0; col < 3; ++col)
            out[r][col] = k[r][0] * rotation[0][col] + k[r][1] * rotation[1][col] + k[r][2] * rotation[2][col];
        out[r][3] = k[r][0] * translation[0] + k[r][1] * translation[1] + k[r][2] * translation[2] + k[r][3];
    }
    return 0;
}

double refineRotation(double rotation[3][3], const double translation[3], const double camera[3][4],
                      const double (*modelPoints)[3], const double (*targets)[2], int n) {
    double a, b, c;
    rotationToAngles(rotation, &a, &b, &c);
    double step = kInitialStep;
    double best = 1e9;
    for (int iteration = 0; iteration < kSearchIterations; ++iteration) {
        best = 1e9;
        int bestA = 0, bestB = 0, bestC = 0;
        for (int da = -1; da <= 1; ++da) {
            for (int db = -1; db <= 1; ++db) {
                for (int dc = -1; dc <= 1; ++dc) {
                    double projection[3][4];
                    composeProjection(a + da * step, b + db * step, c + dc * step, translation, nullptr, camera,
                                      projection);
                    const double error = searchError(projection, modelPoints, targets, n);
                    if (error < best) {
                        best = error;
                        bestA = da;
                        bestB = db;
                        bestC = dc;
                    }
                }
            }
        }
        a += bestA * step;
        b += bestB * step;
        c += bestC * step;
        if (bestA == 0 && bestB == 0 && bestC == 0) step *= 0.5;
    }
    anglesToRotation(a, b, c, rotation);
    return best / n;
}

namespace {

// Gauss-Newton with Levenberg damping on the reprojection error, rotation and translation
// together: the coordinate search ends on a grid of halved 10-degree steps, not at the
// least-squares optimum, and its translation is solved for a rotation it then changes.
// A step is taken only when it lowers the error, so the result is never worse than the
// start. Returns the summed squared error.
double refineLeastSquares(double rotation[3][3], double translation[3], const double camera[3][4],
                          const double (*model)[3], const double (*targets)[2], int n) {
    auto sumError = [&](const double r[3][3], const double t[3]) {
        double projection[3][4];
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j)
                projection[i][j] = camera[i][0] * r[0][j] + camera[i][1] * r[1][j] + camera[i][2] * r[2][j];
            projection[i][3] = camera[i][0] * t[0] + camera[i][1] * t[1] + camera[i][2] * t[2] + camera[i][3];
        }
        return searchError(projection, model, targets, n);
    };
    double current = sumError(rotation, translation);
    double damping = 1e-3;
    for (int iteration = 0; iteration < kLeastSquaresIterations && std::isfinite(current); ++iteration) {
        double normal[6][6] = {};
        double gradient[6] = {};
        for (int i = 0; i < n; ++i) {
            double q[3], p[3];
            for (int r = 0; r < 3; ++r) {
                q[r] = rotation[r][0] * model[i][0] + rotation[r][1] * model[i][1] + rotation[r][2] * model[i][2];
                p[r] = q[r] + translation[r];
            }
            const double h = camera[2][0] * p[0] + camera[2][1] * p[1] + camera[2][2] * p[2] + camera[2][3];
            if (h <= 0.0) return current;  // behind the camera: no derivative worth following
            const double u = (camera[0][0] * p[0] + camera[0][1] * p[1] + camera[0][2] * p[2] + camera[0][3]) / h;
            const double v = (camera[1][0] * p[0] + camera[1][1] * p[1] + camera[1][2] * p[2] + camera[1][3]) / h;
            const double residual[2] = {u - targets[i][0], v - targets[i][1]};
            double dp[2][3];  // d(u, v) / dp
            for (int c = 0; c < 3; ++c) {
                dp[0][c] = (camera[0][c] - u * camera[2][c]) / h;
                dp[1][c] = (camera[1][c] - v * camera[2][c]) / h;
            }
            for (int k = 0; k < 2; ++k) {
                // p changes by w x q for a small rotation w applied on the left, and by dt.
                const double row[6] = {dp[k][2] * q[1] - dp[k][1] * q[2], dp[k][0] * q[2] - dp[k][2] * q[0],
                                       dp[k][1] * q[0] - dp[k][0] * q[1], dp[k][0], dp[k][1], dp[k][2]};
                for (int a = 0; a < 6; ++a) {
                    gradient[a] += row[a] * residual[k];
                    for (int b = 0; b < 6; ++b) normal[a][b] += row[a] * row[b];
                }
            }
        }
        bool improved = false;
        while (!improved && damping < 1e6) {
            double system[6][6];
            std::memcpy(system, normal, sizeof system);
            for (int a = 0; a < 6; ++a) system[a][a] += damping * (normal[a][a] + 1e-9);
            if (!invertRawInPlace(&system[0][0], 6, 6)) {
                damping *= 10.0;
                continue;
            }
            double step[6];
            for (int a = 0; a < 6; ++a) {
                step[a] = 0.0;
                for (int b = 0; b < 6; ++b) step[a] -= system[a][b] * gradient[b];
            }
            double turn[3][3], r[3][3], t[3];
            rotationFromVector(step, turn);
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j)
                    r[i][j] = turn[i][0] * rotation[0][j] + turn[i][1] * rotation[1][j] + turn[i][2] * rotation[2][j];
                t[i] = translation[i] + step[3 + i];
            }
            const double error = sumError(r, t);
            if (std::isfinite(error) && error < current) {
                const bool converged = current - error < 1e-10 * (current + 1e-12);
                std::memcpy(rotation, r, sizeof r);
                std::memcpy(translation, t, sizeof t);
                current = error;
                damping = std::fmax(damping * 0.1, 1e-7);
                improved = true;
                if (converged) return current;
            } else {
                damping *= 10.0;
            }
        }
        if (!improved) break;
    }
    return current;
}

}  // namespace

double solvePose(double rotation[3][3], const double (*imagePoints)[2], const double (*modelPoints)[3], int n,
                 double transform[3][4], const double camera[3][4]) {
    if (n < 1 || n > kMaxPosePoints) return -1.0;
    // The camera matrix is a pinhole model, so it is fitted to ideal points as given; the
    // lens distortion was already taken out of them.
    const double(*targets)[2] = imagePoints;
    double translation[3];
    double error = 0.0;
    for (int round = 0; round < 2; ++round) {
        if (!solveTranslation(rotation, modelPoints, targets, n, camera, translation)) return -1.0;
        error = refineRotation(rotation, translation, camera, modelPoints, targets, n);
    }
    if (n >= 3) error = refineLeastSquares(rotation, translation, camera, modelPoints, targets, n) / n;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) transform[r][c] = rotation[r][c];
        transform[r][3] = translation[r];
    }
    // A degenerate start (no rotation at all, say) ends in NaN; that is no fit.
    if (!std::isfinite(error) || !poseIsFinite(transform)) return -1.0;
    return error;
}

double fitPose(const CameraParam& param, double rotation[3][3], const double (*imagePoints)[2],
               const double (*modelPoints)[3], int n, double transform[3][4]) {
    if (n < 1 || n > kMaxPosePoints) return -1.0;
    double minX = 1e10, maxX = -1e10, minY = 1e10, maxY = -1e10;
    for (int i = 0; i < n; ++i) {
        minX = std::fmin(minX, modelPoints[i][0]);
        maxX = std::fmax(maxX, modelPoints[i][0]);
        minY = std::fmin(minY, modelPoints[i][1]);
        maxY = std::fmax(maxY, modelPoints[i][1]);
    }
    // Centring the model keeps the translation solve well conditioned.
    const double offset[3] = {-(maxX + minX) / 2.0, -(maxY + minY) / 2.0, 0.0};
    double centred[kMaxPosePoints][3];  // 12 KB: on the stack, so fitting is reentrant
    for (int i = 0; i < n; ++i) {
        centred[i][0] = modelPoints[i][0] + offset[0];
        centred[i][1] = modelPoints[i][1] + offset[1];
        centred[i][2] = modelPoints[i][2];
    }
    const double error = solvePose(rotation, imagePoints, centred, n, transform, param.projection);
    if (error < 0.0) return error;
    for (int r = 0; r < 3; ++r)
        transform[r][3] += rotation[r][0] * offset[0] + rotation[r][1] * offset[1] + rotation[r][2] * offset[2];
    return error;
}

int checkAxisDirection(double d[3], const double start[2], const double end[2], const double camera[3][4]) {
    double inverse[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) inverse[r][c] = camera[r][c];
    if (!invertRawInPlace(&inverse[0][0], 3, 3)) return -1;
    const double s[3] = {10.0 * start[0], 10.0 * start[1], 10.0};
    double p0[3], p1[3];
    for (int r = 0; r < 3; ++r) {
        p0[r] = inverse[r][0] * s[0] + inverse[r][1] * s[1] + inverse[r][2] * s[2];
        p1[r] = p0[r] + d[r];
    }
    double projected[2][2];
    const double* points[2] = {p0, p1};
    for (int k = 0; k < 2; ++k) {
        const double* p = points[k];
        const double h = camera[2][0] * p[0] + camera[2][1] * p[1] + camera[2][2] * p[2];
        if (h == 0.0) return -1;
        projected[k][0] = (camera[0][0] * p[0] + camera[0][1] * p[1] + camera[0][2] * p[2]) / h;
        projected[k][1] = (camera[1][0] * p[0] + camera[1][1] * p[1] + camera[1][2] * p[2]) / h;
    }
    const double along = (end[0] - start[0]) * (projected[1][0] - projected[0][0]) +
                         (end[1] - start[1]) * (projected[1][1] - projected[0][1]);
    if (along < 0.0) {
        d[0] = -d[0];
        d[1] = -d[1];
        d[2] = -d[2];
    }
    return 0;
}

int orthogonalizeAxes(double u[3], double v[3]) {
    double n[3];
    cross(u, v, n);
    if (!normalise(n)) return -1;
    const double g = std::fabs(dot(u, v));
    const double t = (std::sqrt(1.0 + g) + std::sqrt(1.0 - g)) / 2.0;
    double s[4][3];
    if (!unitSolutions(u, n, t, s[0], s[1])) return -1;
    if (!unitSolutions(v, n, t, s[2], s[3])) return -1;
    const int pairs[4][2] = {{0, 2}, {0, 3}, {1, 2}, {1, 3}};
    int best = 0;
    double bestValue = 0.0;
    for (int k = 0; k < 4; ++k) {
        const double value = std::fabs(dot(s[pairs[k][0]], s[pairs[k][1]]));
        if (k == 0 || value <= bestValue) {
            bestValue = value;
            best = k;
        }
    }
    std::memcpy(u, s[pairs[best][0]], sizeof(double) * 3);
    std::memcpy(v, s[pairs[best][1]], sizeof(double) * 3);
    return 0;
}

int initialRotation(const DetectedMarker* marker, const double camera[3][4], double rotation[3][3]) {
    if (!validOrientation(marker)) return -1;
    const int o = marker->orientation;
    const double(*C)[4] = camera;
    double axis[2][3];
    for (int i = 0; i < 2; ++i) {
        const double* l1 = marker->edgeLines[(4 - o + i) % 4];
        const double* l2 = marker->edgeLines[(6 - o + i) % 4];
        // Meeting point of the two opposite edges (a vanishing point, homogeneous).
        const double g1 = l1[0] * l2[1] - l2[0] * l1[1];
        const double g2 = l1[1] * l2[2] - l2[1] * l1[2];
        const double g3 = l1[2] * l2[0] - l2[2] * l1[0];
        axis[i][0] = g1 * (C[0][1] * C[1][2] - C[0][2] * C[1][1]) + g2 * C[1][1] - g3 * C[0][1];
        axis[i][1] = -g1 * C[0][0] * C[1][2] + g3 * C[0][0];
        axis[i][2] = g1 * C[0][0] * C[1][1];
        if (!normalise(axis[i])) return -1;
    }
    const auto& corners = marker->corners;
    if (checkAxisDirection(axis[0], corners[(4 - o) % 4], corners[(5 - o) % 4], camera) < 0) return -1;
    if (checkAxisDirection(axis[1], corners[(7 - o) % 4], corners[(4 - o) % 4], camera) < 0) return -1;
    if (orthogonalizeAxes(axis[0], axis[1]) < 0) return -1;
    double third[3];
    cross(axis[0], axis[1], third);
    if (!normalise(third)) return -1;
    for (int r = 0; r < 3; ++r) {
        rotation[r][0] = axis[0][r];
        rotation[r][1] = axis[1][r];
        rotation[r][2] = third[r];
    }
    return 0;
}

double estimatePose(const CameraParam& param, const DetectedMarker* marker, const double center[2],
                    double width, double transform[3][4]) {
    if (!validOrientation(marker)) return -1.0;
    double rotation[3][3];
    if (initialRotation(marker, param.projection, rotation) < 0) return -1.0;
    double image[4][2];
    double model[4][3];
    markerPoints(marker, center, width, image, model);
    double result[3][4];
    const double error = fitPasses(param, rotation, image, model, result);
    if (error < 0.0) return -1.0;
    std::memcpy(transform, result, sizeof result);
    return error;
}

double estimatePoseContinuous(const CameraParam& param, const DetectedMarker* marker,
                              const double previous[3][4], const double center[2], double width,
                              double transform[3][4]) {
    if (!validOrientation(marker)) return -1.0;
    double rotation[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) rotation[r][c] = previous[r][c];
    double image[4][2];
    double model[4][3];
    markerPoints(marker, center, width, image, model);
    double own[3][4];
    double error = fitPasses(param, rotation, image, model, own);
    // A start rotation turned half round can fit the point reflection of the true pose,
    // the marker behind the camera, with the same image; that is no pose at all.
    if (error >= 0.0 && own[2][3] <= 0.0) error = -1.0;
    if (error >= 0.0 && error <= kGoodFit) {
        std::memcpy(transform, own, sizeof own);
        return error;
    }
    // The previous rotation led astray (fast motion, or a flip): start afresh and keep
    // whichever fits better.
    double fresh[3][4];
    const double freshError = estimatePose(param, marker, center, width, fresh);
    if (freshError >= 0.0 && (error < 0.0 || error > freshError)) {
        std::memcpy(transform, fresh, sizeof fresh);
        return freshError;
    }
    if (error < 0.0) return -1.0;
    std::memcpy(transform, own, sizeof own);
    return error;
}

// Rodrigues: the rotation by |w| radians about w.
void rotationFromVector(const double w[3], double out[3][3]) {
    const double angle = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
    const double k[3] = {angle > 0 ? w[0] / angle : 0, angle > 0 ? w[1] / angle : 0, angle > 0 ? w[2] / angle : 0};
    const double c = std::cos(angle), s = std::sin(angle), v = 1.0 - c;
    out[0][0] = c + k[0] * k[0] * v;
    out[0][1] = k[0] * k[1] * v - k[2] * s;
    out[0][2] = k[0] * k[2] * v + k[1] * s;
    out[1][0] = k[1] * k[0] * v + k[2] * s;
    out[1][1] = c + k[1] * k[1] * v;
    out[1][2] = k[1] * k[2] * v - k[0] * s;
    out[2][0] = k[2] * k[0] * v - k[1] * s;
    out[2][1] = k[2] * k[1] * v + k[0] * s;
    out[2][2] = c + k[2] * k[2] * v;
}
