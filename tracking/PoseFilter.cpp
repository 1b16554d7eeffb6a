#include "tracking/PoseFilter.h"

#include <cmath>
#include <cstring>

namespace {

constexpr double kPi = 3.14159265358979323846;
// A clock that stands still or jumps (two frames in one millisecond, a stall) must
// neither divide by zero nor freeze the filter on an ancient value.
constexpr double kMinStep = 1e-3;
constexpr double kMaxStep = 0.5;

double smoothing(double cutoff, double dt) {
    const double tau = 1.0 / (2.0 * kPi * cutoff);
    return 1.0 / (1.0 + tau / dt);
}

bool finitePose(const double m[3][4]) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            if (!std::isfinite(m[r][c])) return false;
    return true;
}

// Shepperd's method: picks the largest of w, x, y, z to divide by, so no branch loses precision.
void toQuaternion(const double m[3][4], double q[4]) {
    const double tr = m[0][0] + m[1][1] + m[2][2];
    if (tr > 0.0) {
        const double s = std::sqrt(tr + 1.0) * 2.0;
        q[0] = 0.25 * s;
        q[1] = (m[2][1] - m[1][2]) / s;
        q[2] = (m[0][2] - m[2][0]) / s;
        q[3] = (m[1][0] - m[0][1]) / s;
    } else if (m[0][0] > m[1][1] && m[0][0] > m[2][2]) {
        const double s = std::sqrt(1.0 + m[0][0] - m[1][1] - m[2][2]) * 2.0;
        q[0] = (m[2][1] - m[1][2]) / s;
        q[1] = 0.25 * s;
        q[2] = (m[0][1] + m[1][0]) / s;
        q[3] = (m[0][2] + m[2][0]) / s;
    } else if (m[1][1] > m[2][2]) {
        const double s = std::sqrt(1.0 + m[1][1] - m[0][0] - m[2][2]) * 2.0;
        q[0] = (m[0][2] - m[2][0]) / s;
        q[1] = (m[0][1] + m[1][0]) / s;
        q[2] = 0.25 * s;
        q[3] = (m[1][2] + m[2][1]) / s;
    } else {
        const double s = std::sqrt(1.0 + m[2][2] - m[0][0] - m[1][1]) * 2.0;
        q[0] = (m[1][0] - m[0][1]) / s;
        q[1] = (m[0][2] + m[2][0]) / s;
        q[2] = (m[1][2] + m[2][1]) / s;
        q[3] = 0.25 * s;
    }
}

void toRotation(const double q[4], double m[3][4]) {
    const double w = q[0], x = q[1], y = q[2], z = q[3];
    m[0][0] = 1 - 2 * (y * y + z * z);
    m[0][1] = 2 * (x * y - w * z);
    m[0][2] = 2 * (x * z + w * y);
    m[1][0] = 2 * (x * y + w * z);
    m[1][1] = 1 - 2 * (x * x + z * z);
    m[1][2] = 2 * (y * z - w * x);
    m[2][0] = 2 * (x * z - w * y);
    m[2][1] = 2 * (y * z + w * x);
    m[2][2] = 1 - 2 * (x * x + y * y);
}

}  // namespace

bool PoseFilter::apply(const double in[3][4], double seconds, double out[3][4]) {
    if (!finitePose(in)) {
        primed_ = false;
        return false;
    }
    double q[4];
    toQuaternion(in, q);
    const double dt = seconds - lastTime_;
    if (!primed_ || !std::isfinite(dt) || !std::isfinite(seconds) || dt > kMaxStep || dt < 0.0) {
        for (int i = 0; i < 3; ++i) translation_[i] = {in[i][3], 0.0};
        for (int i = 0; i < 4; ++i) rotation_[i] = {q[i], 0.0};
        lastTime_ = seconds;
        primed_ = std::isfinite(seconds);
        std::memcpy(out, in, sizeof(double) * 12);
        return true;
    }
    const double step = dt < kMinStep ? kMinStep : dt;
    lastTime_ = seconds;

    const double slopeAlpha = smoothing(derivativeCutoff, step);
    for (int i = 0; i < 3; ++i) {
        Channel& ch = translation_[i];
        const double x = in[i][3];
        ch.slope += slopeAlpha * ((x - ch.value) / step - ch.slope);
        const double alpha = smoothing(minCutoff + translationBeta * std::fabs(ch.slope), step);
        ch.value += alpha * (x - ch.value);
    }

    // q and -q are one rotation: take the one nearer the history, or a half-turn
    // blend would appear out of nowhere.
    double dot = 0.0;
    for (int i = 0; i < 4; ++i) dot += q[i] * rotation_[i].value;
    if (dot < 0.0)
        for (double& v : q) v = -v;
    // One cutoff for all four components, from the speed of the whole quaternion, so
    // the axis does not drift while the angle is still catching up.
    double speed2 = 0.0;
    for (int i = 0; i < 4; ++i) {
        Channel& ch = rotation_[i];
        ch.slope += slopeAlpha * ((q[i] - ch.value) / step - ch.slope);
        speed2 += ch.slope * ch.slope;
    }
    const double alpha = smoothing(minCutoff + rotationBeta * std::sqrt(speed2), step);
    double norm2 = 0.0;
    for (int i = 0; i < 4; ++i) {
        rotation_[i].value += alpha * (q[i] - rotation_[i].value);
        norm2 += rotation_[i].value * rotation_[i].value;
    }
    const double norm = std::sqrt(norm2);
    double result[3][4];
    bool ok = std::isfinite(norm) && norm > 1e-9;
    if (ok) {
        for (Channel& ch : rotation_) ch.value /= norm;
        const double unit[4] = {rotation_[0].value, rotation_[1].value, rotation_[2].value, rotation_[3].value};
        toRotation(unit, result);
        for (int i = 0; i < 3; ++i) result[i][3] = translation_[i].value;
        ok = finitePose(result);
    }
    if (!ok) {
        // Start over from this pose rather than show a broken one.
        primed_ = false;
        return apply(in, seconds, out);
    }
    std::memcpy(out, result, sizeof result);
    return true;
}
