#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>

#include "tracking/Matrix.h"

namespace {

struct MatrixDeleter {
    void operator()(Matrix* m) const { deleteMatrix(m); }
};
struct VectorDeleter {
    void operator()(Vector* v) const { deleteVector(v); }
};
using MatrixPtr = std::unique_ptr<Matrix, MatrixDeleter>;
using VectorPtr = std::unique_ptr<Vector, VectorDeleter>;

MatrixPtr makeMatrix(int rows, int columns, std::initializer_list<double> values) {
    MatrixPtr m(newMatrix(rows, columns));
    int i = 0;
    for (double v : values) m->m[i++] = v;
    return m;
}

MatrixPtr randomSymmetric(std::mt19937& rng, int n) {
    std::uniform_real_distribution<double> value(-5.0, 5.0);
    MatrixPtr m(newMatrix(n, n));
    for (int r = 0; r < n; ++r)
        for (int c = r; c < n; ++c) m->m[r * n + c] = m->m[c * n + r] = value(rng);
    return m;
}

}  // namespace

TEST(MatrixTest, MultiplicationChecksShapesAndLeavesTheDestinationAloneOnMismatch) {
    auto a = makeMatrix(2, 3, {1, 2, 3, 4, 5, 6});
    auto b = makeMatrix(3, 2, {7, 8, 9, 10, 11, 12});
    MatrixPtr product(multiplyNew(a.get(), b.get()));
    ASSERT_TRUE(product);
    const double expected[4] = {58, 64, 139, 154};
    for (int i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(product->m[i], expected[i]);

    auto wrong = makeMatrix(2, 3, {1, 1, 1, 1, 1, 1});
    auto destination = makeMatrix(2, 3, {-1, -2, -3, -4, -5, -6});
    EXPECT_EQ(multiplyInto(destination.get(), a.get(), wrong.get()), -1);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(destination->m[i], -(i + 1));
    EXPECT_EQ(multiplyNew(a.get(), wrong.get()), nullptr);
    // The destination may not alias an operand: the product would read its own output.
    auto square = makeMatrix(2, 2, {1, 2, 3, 4});
    EXPECT_EQ(multiplyInto(square.get(), square.get(), square.get()), -1);
    EXPECT_EQ(copyMatrixInto(destination.get(), square.get()), -1);
}

TEST(MatrixTest, InverseTimesOriginalIsIdentityForRandomMatricesUpToTheTableSize) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    for (int n : {1, 2, 3, 4, 8, 50}) {
        MatrixPtr m(newMatrix(n, n));
        for (int i = 0; i < n * n; ++i) m->m[i] = value(rng);
        MatrixPtr inverse(cloneMatrix(m.get()));
        ASSERT_EQ(invertInPlace(inverse.get()), 0) << n;
        MatrixPtr product(multiplyNew(inverse.get(), m.get()));
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c) EXPECT_NEAR(product->m[r * n + c], r == c ? 1.0 : 0.0, 1e-9) << n;
    }
    // Row exchanges must be undone: a permutation matrix inverts to its transpose.
    auto permutation = makeMatrix(3, 3, {0, 0, 1, 1, 0, 0, 0, 1, 0});
    ASSERT_EQ(invertInPlace(permutation.get()), 0);
    const double transpose[9] = {0, 1, 0, 0, 0, 1, 1, 0, 0};
    for (int i = 0; i < 9; ++i) EXPECT_DOUBLE_EQ(permutation->m[i], transpose[i]);

    MatrixPtr tooLarge(newMatrix(51, 51));
    for (int i = 0; i < 51 * 51; ++i) tooLarge->m[i] = i % 52 == 0 ? 1.0 : 0.0;
    EXPECT_EQ(invertInPlace(tooLarge.get()), -1);
    MatrixPtr notSquare(newMatrix(2, 3));
    EXPECT_EQ(invertInPlace(notSquare.get()), -1);
}

TEST(MatrixTest, PivotOfExactlyTheLimitIsSingularAndJustAboveIsNot) {
    auto atLimit = makeMatrix(2, 2, {1e-10, 0, 0, 1});
    EXPECT_EQ(invertInPlace(atLimit.get()), -1);
    auto above = makeMatrix(2, 2, {2e-10, 0, 0, 1});
    ASSERT_EQ(invertInPlace(above.get()), 0);
    EXPECT_DOUBLE_EQ(above->m[0], 5e9);
    // Rank 2 of 3: the last pivot vanishes after elimination.
    auto rankDeficient = makeMatrix(3, 3, {1, 2, 3, 2, 4, 6, 1, 0, 1});
    EXPECT_EQ(invertInPlace(rankDeficient.get()), -1);
    // A 1x1 zero has no inverse either (it would otherwise come back as infinity).
    auto zero = makeMatrix(1, 1, {0.0});
    EXPECT_EQ(invertInPlace(zero.get()), -1);
}

TEST(MatrixTest, EigenDecompositionOfKnownAndRandomSymmetricMatrices) {
    // Known spectrum: [[2, 1], [1, 2]] has 3 along (1, 1) and 1 along (1, -1).
    auto known = makeMatrix(2, 2, {2, 1, 1, 2});
    VectorPtr values(newVector(2));
    ASSERT_EQ(symmetricEigen(known.get(), values.get()), 0);
    EXPECT_NEAR(values->v[0], 3.0, 1e-9);
    EXPECT_NEAR(values->v[1], 1.0, 1e-9);
    EXPECT_NEAR(std::fabs(known->m[0]), std::sqrt(0.5), 1e-9);
    EXPECT_NEAR(known->m[0], known->m[1], 1e-9);
    EXPECT_NEAR(known->m[2], -known->m[3], 1e-9);

    // Already diagonal but unsorted: sorting must carry the vectors along.
    auto diagonal = makeMatrix(3, 3, {1, 0, 0, 0, 5, 0, 0, 0, 3});
    VectorPtr three(newVector(3));
    ASSERT_EQ(symmetricEigen(diagonal.get(), three.get()), 0);
    EXPECT_DOUBLE_EQ(three->v[0], 5);
    EXPECT_DOUBLE_EQ(three->v[1], 3);
    EXPECT_DOUBLE_EQ(three->v[2], 1);
    EXPECT_DOUBLE_EQ(std::fabs(diagonal->m[1]), 1.0);
    EXPECT_DOUBLE_EQ(std::fabs(diagonal->m[5]), 1.0);
    EXPECT_DOUBLE_EQ(std::fabs(diagonal->m[6]), 1.0);

    std::mt19937 rng(11);
    for (int n = 2; n <= 8; ++n) {
        auto original = randomSymmetric(rng, n);
        MatrixPtr vectors(cloneMatrix(original.get()));
        VectorPtr eigen(newVector(n));
        ASSERT_EQ(symmetricEigen(vectors.get(), eigen.get()), 0);
        double scale = 0.0;
        for (int i = 0; i < n; ++i) scale = std::fmax(scale, std::fabs(eigen->v[i]));
        for (int k = 0; k < n; ++k) {
            if (k > 0) {
                EXPECT_GE(eigen->v[k - 1], eigen->v[k]);
            }
            const double* v = vectors->m + k * n;
            double norm = 0.0;
            for (int i = 0; i < n; ++i) {
                double av = 0.0;
                for (int j = 0; j < n; ++j) av += original->m[i * n + j] * v[j];
                // The stopping rule is relative (1e-6), so the residual is too.
                EXPECT_NEAR(av, eigen->v[k] * v[i], 1e-5 * scale) << "n=" << n << " k=" << k;
                norm += v[i] * v[i];
            }
            EXPECT_NEAR(norm, 1.0, 1e-9);
        }
    }
}

TEST(MatrixTest, EigenAndTridiagonalRefuseWrongShapes) {
    auto one = makeMatrix(1, 1, {4});
    VectorPtr v1(newVector(1));
    EXPECT_EQ(symmetricEigen(one.get(), v1.get()), -1);
    auto two = makeMatrix(2, 2, {1, 0, 0, 1});
    VectorPtr v3(newVector(3));
    EXPECT_EQ(symmetricEigen(two.get(), v3.get()), -1);
    VectorPtr d(newVector(2));
    VectorPtr e(newVector(2));
    EXPECT_EQ(reduceToTridiagonal(two.get(), d.get(), e.get()), -1);
}

TEST(MatrixTest, TridiagonalReductionIsASimilarityTransform) {
    std::mt19937 rng(5);
    const int n = 5;
    auto original = randomSymmetric(rng, n);
    MatrixPtr q(cloneMatrix(original.get()));
    VectorPtr d(newVector(n));
    VectorPtr e(newVector(n - 1));
    ASSERT_EQ(reduceToTridiagonal(q.get(), d.get(), e.get()), 0);
    // Q A Q^T must be the tridiagonal matrix of d and e.
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            double sum = 0.0;
            for (int k = 0; k < n; ++k)
                for (int l = 0; l < n; ++l) sum += q->m[i * n + k] * original->m[k * n + l] * q->m[j * n + l];
            double expected = 0.0;
            if (i == j) expected = d->v[i];
            if (j == i + 1) expected = e->v[i];
            if (i == j + 1) expected = e->v[j];
            EXPECT_NEAR(sum, expected, 1e-9) << i << "," << j;
        }
    }
}

TEST(MatrixTest, ReflectorMapsTheVectorOntoTheFirstAxis) {
    VectorPtr v(newVector(3));
    v->v[0] = -3;
    v->v[1] = 4;
    v->v[2] = 0;
    const double x[3] = {-3, 4, 0};
    const double alpha = makeReflector(v.get());
    EXPECT_DOUBLE_EQ(alpha, 5.0);  // -a with a = -5 for a negative first element
    // (I - u u^T) x = alpha e0
    const double ux = v->v[0] * x[0] + v->v[1] * x[1] + v->v[2] * x[2];
    EXPECT_NEAR(x[0] - v->v[0] * ux, alpha, 1e-12);
    EXPECT_NEAR(x[1] - v->v[1] * ux, 0.0, 1e-12);
    VectorPtr zero(newVector(2));
    zero->v[0] = zero->v[1] = 0.0;
    EXPECT_EQ(makeReflector(zero.get()), 0.0);
    EXPECT_EQ(zero->v[0], 0.0);
}

TEST(MatrixTest, DotProductOfDifferentLengthsIsRefusedWithoutEndingTheProgram) {
    VectorPtr a(newVector(2));
    VectorPtr b(newVector(3));
    a->v[0] = a->v[1] = 1;
    b->v[0] = b->v[1] = b->v[2] = 1;
    EXPECT_EQ(dotProduct(a.get(), b.get()), 0.0);
    EXPECT_EQ(dotProduct(b.get(), b.get()), 3.0);
    // The refusal is a value the caller can see.
    bool sameLength = true;
    EXPECT_EQ(dotProduct(a.get(), b.get(), &sameLength), 0.0);
    EXPECT_FALSE(sameLength);
    EXPECT_EQ(dotProduct(b.get(), b.get(), &sameLength), 3.0);
    EXPECT_TRUE(sameLength);
}

TEST(MatrixTest, PrincipalComponentsOfLinesAndClouds) {
    // Collinear points along (3, 4) / 5.
    MatrixPtr line(newMatrix(5, 2));
    for (int i = 0; i < 5; ++i) {
        line->m[2 * i] = 10 + 3 * i;
        line->m[2 * i + 1] = -2 + 4 * i;
    }
    MatrixPtr axes(newMatrix(2, 2));
    VectorPtr values(newVector(2));
    VectorPtr mean(newVector(2));
    MatrixPtr before(cloneMatrix(line.get()));
    ASSERT_EQ(principalComponents(line.get(), axes.get(), values.get(), mean.get()), 0);
    EXPECT_DOUBLE_EQ(values->v[0], 1.0);
    EXPECT_DOUBLE_EQ(values->v[1], 0.0);
    EXPECT_EQ(axes->m[2], 0.0);
    EXPECT_EQ(axes->m[3], 0.0);
    EXPECT_NEAR(std::fabs(axes->m[0]), 0.6, 1e-12);
    EXPECT_NEAR(std::fabs(axes->m[1]), 0.8, 1e-12);
    EXPECT_NEAR(mean->v[0], 16.0, 1e-12);
    EXPECT_NEAR(mean->v[1], 6.0, 1e-12);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(line->m[i], before->m[i]);  // input untouched

    // An elongated cloud: the first axis follows the long direction, values sum to 1.
    MatrixPtr cloud(newMatrix(4, 2));
    const double points[8] = {-2, 0, 2, 0, 0, -1, 0, 1};
    for (int i = 0; i < 8; ++i) cloud->m[i] = points[i];
    ASSERT_EQ(principalComponents(cloud.get(), axes.get(), values.get(), mean.get()), 0);
    EXPECT_NEAR(values->v[0], 0.8, 1e-12);
    EXPECT_NEAR(values->v[1], 0.2, 1e-12);
    EXPECT_NEAR(std::fabs(axes->m[0]), 1.0, 1e-12);

    // Fewer points than dimensions go through the small Gram matrix.
    MatrixPtr wide(newMatrix(2, 3));
    const double two[6] = {1, 2, 3, 3, 2, 1};
    for (int i = 0; i < 6; ++i) wide->m[i] = two[i];
    MatrixPtr wideAxes(newMatrix(2, 3));
    VectorPtr wideValues(newVector(2));
    VectorPtr wideMean(newVector(3));
    ASSERT_EQ(principalComponents(wide.get(), wideAxes.get(), wideValues.get(), wideMean.get()), 0);
    EXPECT_DOUBLE_EQ(wideValues->v[0], 1.0);
    EXPECT_NEAR(std::fabs(wideAxes->m[0]), std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(wideAxes->m[1], 0.0, 1e-12);
    EXPECT_NEAR(wideAxes->m[0], -wideAxes->m[2], 1e-12);

    MatrixPtr single(newMatrix(1, 2));
    MatrixPtr singleAxes(newMatrix(1, 2));
    VectorPtr singleValues(newVector(1));
    single->m[0] = single->m[1] = 1.0;
    EXPECT_EQ(principalComponents(single.get(), singleAxes.get(), singleValues.get(), mean.get()), -1);
    MatrixPtr wrongAxes(newMatrix(2, 3));
    EXPECT_EQ(principalComponents(cloud.get(), wrongAxes.get(), values.get(), mean.get()), -1);

    // Identical points have no direction; the values stay 0 instead of 0 / 0.
    MatrixPtr same(newMatrix(3, 2));
    for (int i = 0; i < 6; ++i) same->m[i] = 7.0;
    ASSERT_EQ(principalComponents(same.get(), axes.get(), values.get(), mean.get()), 0);
    EXPECT_EQ(values->v[0], 0.0);
    EXPECT_EQ(values->v[1], 0.0);
}

TEST(MatrixTest, RigidTransformInverseUndoesTheTransform) {
    const double c = std::cos(0.7), s = std::sin(0.7);
    const double transform[3][4] = {{c, -s, 0, 10}, {s, c, 0, -20}, {0, 0, 1, 300}};
    double inverse[3][4];
    ASSERT_EQ(invertRigidTransform(transform, inverse), 0);
    const double point[3] = {3, -4, 5};
    double moved[3], back[3];
    for (int r = 0; r < 3; ++r)
        moved[r] = transform[r][0] * point[0] + transform[r][1] * point[1] + transform[r][2] * point[2] + transform[r][3];
    for (int r = 0; r < 3; ++r)
        back[r] = inverse[r][0] * moved[0] + inverse[r][1] * moved[1] + inverse[r][2] * moved[2] + inverse[r][3];
    for (int r = 0; r < 3; ++r) EXPECT_NEAR(back[r], point[r], 1e-9);

    // A collapsed transform has no inverse: refused, output untouched.
    const double flat[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 0, 5}};
    double untouched[3][4] = {{42}};
    EXPECT_EQ(invertRigidTransform(flat, untouched), -1);
    EXPECT_EQ(untouched[0][0], 42);
}
