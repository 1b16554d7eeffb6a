// The display filter steadies a still marker, follows a moving one, and never lets a
// broken pose reach the screen.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>

#include "tracking/PoseFilter.h"

namespace {

constexpr double kDt = 1.0 / 30.0;

// Rotation about z by angle (radians), translation t.
void makePose(double angle, const double t[3], double m[3][4]) {
    const double c = std::cos(angle), s = std::sin(angle);
    const double r[3][3] = {{c, -s, 0}, {s, c, 0}, {0, 0, 1}};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) m[i][j] = r[i][j];
        m[i][3] = t[i];
    }
}

double angleOf(const double m[3][4]) { return std::atan2(m[1][0], m[0][0]); }

bool isFinite(const double m[3][4]) {
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 4; ++j)
            if (!std::isfinite(m[i][j])) return false;
    return true;
}

double orthonormalityError(const double m[3][4]) {
    double worst = 0.0;
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) {
            double d = 0.0;
            for (int k = 0; k < 3; ++k) d += m[k][a] * m[k][b];
            worst = std::fmax(worst, std::fabs(d - (a == b ? 1.0 : 0.0)));
        }
    return worst;
}

struct Spread {
    double x = 0.0, angle = 0.0;
};

// Standard deviation of the x translation and of the angle over a run of frames.
struct Stats {
    double n = 0, sx = 0, sxx = 0, sa = 0, saa = 0;
    void add(double x, double a) {
        ++n;
        sx += x;
        sxx += x * x;
        sa += a;
        saa += a * a;
    }
    Spread spread() const {
        return {std::sqrt(sxx / n - (sx / n) * (sx / n)), std::sqrt(saa / n - (sa / n) * (sa / n))};
    }
};

}  // namespace

TEST(PoseFilter, StillNoisyMarkerIsSteadiedAndStaysARotation) {
    PoseFilter filter;
    std::mt19937 rng(7);
    std::normal_distribution<double> noiseT(0.0, 0.5), noiseA(0.0, 0.002);
    const double base[3] = {10.0, -20.0, 400.0};
    Stats raw, smooth;
    double out[3][4];
    for (int f = 0; f < 300; ++f) {
        const double t[3] = {base[0] + noiseT(rng), base[1] + noiseT(rng), base[2] + noiseT(rng)};
        double in[3][4];
        makePose(0.3 + noiseA(rng), t, in);
        ASSERT_TRUE(filter.apply(in, f * kDt, out));
        ASSERT_LT(orthonormalityError(out), 1e-9);
        if (f < 30) continue;  // let the filter settle
        raw.add(in[0][3], angleOf(in));
        smooth.add(out[0][3], angleOf(out));
        EXPECT_NEAR(out[2][3], 400.0, 1.0);
    }
    const Spread r = raw.spread(), s = smooth.spread();
    std::printf("translation spread raw %.4f filtered %.4f; angle spread raw %.5f filtered %.5f rad\n", r.x, s.x,
                r.angle, s.angle);
    EXPECT_LT(s.x, 0.4 * r.x);
    EXPECT_LT(s.angle, 0.4 * r.angle);
    EXPECT_NEAR(out[0][3], 10.0, 0.5);
    EXPECT_NEAR(angleOf(out), 0.3, 0.005);
}

TEST(PoseFilter, StepChangeIsFollowedWithinAFewFrames) {
    PoseFilter filter;
    double out[3][4];
    const double a[3] = {0.0, 0.0, 400.0}, b[3] = {60.0, 0.0, 400.0};
    double in[3][4];
    int f = 0;
    makePose(0.0, a, in);
    for (; f < 30; ++f) filter.apply(in, f * kDt, out);
    // A jump in position and a half-turn-free rotation of 40 degrees at once.
    makePose(40.0 * M_PI / 180.0, b, in);
    int translationFrames = -1, rotationFrames = -1;
    for (int k = 1; k <= 30; ++k, ++f) {
        ASSERT_TRUE(filter.apply(in, f * kDt, out));
        if (translationFrames < 0 && std::fabs(out[0][3] - 60.0) < 3.0) translationFrames = k;
        if (rotationFrames < 0 && std::fabs(angleOf(out) - angleOf(in)) < 2.0 * M_PI / 180.0) rotationFrames = k;
    }
    std::printf("step followed to 5%% in %d frames, rotation to 2 degrees in %d frames\n", translationFrames,
                rotationFrames);
    EXPECT_GT(translationFrames, 0);
    EXPECT_LE(translationFrames, 6);
    EXPECT_GT(rotationFrames, 0);
    EXPECT_LE(rotationFrames, 6);
}

TEST(PoseFilter, ResetAndGapsPassTheNextPoseThrough) {
    PoseFilter filter;
    double out[3][4], in[3][4];
    const double a[3] = {0.0, 0.0, 400.0}, b[3] = {100.0, 50.0, 300.0};
    makePose(0.0, a, in);
    for (int f = 0; f < 10; ++f) filter.apply(in, f * kDt, out);
    EXPECT_TRUE(filter.primed());
    // Lost, then found elsewhere: no slide from the old place.
    filter.reset();
    EXPECT_FALSE(filter.primed());
    makePose(1.0, b, in);
    ASSERT_TRUE(filter.apply(in, 11 * kDt, out));
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 4; ++j) EXPECT_DOUBLE_EQ(out[i][j], in[i][j]);
    // A long stall or a clock going back counts as a fresh start too.
    makePose(0.0, a, in);
    ASSERT_TRUE(filter.apply(in, 20.0, out));
    EXPECT_DOUBLE_EQ(out[0][3], 0.0);
    makePose(1.0, b, in);
    ASSERT_TRUE(filter.apply(in, 19.0, out));
    EXPECT_DOUBLE_EQ(out[0][3], 100.0);
    // Two frames in the same instant move it, but stay finite.
    ASSERT_TRUE(filter.apply(in, 19.0, out));
    EXPECT_TRUE(isFinite(out));
}

TEST(PoseFilter, NonFiniteInputNeverGivesNonFiniteOutput) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    PoseFilter filter;
    double out[3][4], good[3][4];
    const double t[3] = {5.0, 5.0, 300.0};
    makePose(0.2, t, good);
    for (int f = 0; f < 5; ++f) ASSERT_TRUE(filter.apply(good, f * kDt, out));
    for (double bad : {nan, inf, -inf}) {
        double in[3][4];
        makePose(0.2, t, in);
        in[1][1] = bad;
        double kept[3][4];
        std::memcpy(kept, out, sizeof kept);
        EXPECT_FALSE(filter.apply(in, 6 * kDt, out));
        EXPECT_EQ(std::memcmp(kept, out, sizeof kept), 0);
        EXPECT_FALSE(filter.primed());
        ASSERT_TRUE(filter.apply(good, 7 * kDt, out));
        EXPECT_TRUE(isFinite(out));
    }
    // A broken clock gives the raw pose, not a broken one.
    for (double when : {nan, inf}) {
        ASSERT_TRUE(filter.apply(good, when, out));
        EXPECT_TRUE(isFinite(out));
        EXPECT_DOUBLE_EQ(out[0][3], 5.0);
        ASSERT_TRUE(filter.apply(good, 1.0, out));
        EXPECT_TRUE(isFinite(out));
    }
    // Poses far beyond any real camera must not overflow into infinities.
    double huge[3][4];
    for (int k = 0; k < 4; ++k) {
        const double sign = k % 2 ? -1.0 : 1.0;
        const double far[3] = {sign * 1e307, -sign * 1e307, sign * 1e307};
        makePose(0.1, far, huge);
        ASSERT_TRUE(filter.apply(huge, 1.0 + (k + 1) * kDt, out));
        EXPECT_TRUE(isFinite(out)) << k;
    }
}
