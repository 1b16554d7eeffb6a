#include "tracking/Matrix.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr int kMaxInverseSize = 50;        // size of the row-exchange table
constexpr double kPivotLimit = 1e-10;      // a pivot this small means "singular"
constexpr double kEigenTolerance = 1e-6;   // off-diagonal negligible relative to the diagonal
constexpr double kTinyValue = 1e-16;
constexpr int kMaxSweeps = 100;

double& at(Matrix* a, int r, int c) { return a->m[r * a->columns + c]; }
double at(const Matrix* a, int r, int c) { return a->m[r * a->columns + c]; }

}  // namespace

Matrix* newMatrix(int rows, int columns) {
    if (rows <= 0 || columns <= 0) return nullptr;
    Matrix* matrix = new (std::nothrow) Matrix;
    if (!matrix) return nullptr;
    matrix->m = static_cast<double*>(std::malloc(sizeof(double) * rows * columns));
    if (!matrix->m) {
        delete matrix;
        return nullptr;
    }
    matrix->rows = rows;
    matrix->columns = columns;
    return matrix;
}

int deleteMatrix(Matrix* matrix) {
    if (matrix) {
        std::free(matrix->m);
        delete matrix;
    }
    return 0;
}

Vector* newVector(int length) {
    if (length <= 0) return nullptr;
    Vector* vector = new (std::nothrow) Vector;
    if (!vector) return nullptr;
    vector->v = static_cast<double*>(std::malloc(sizeof(double) * length));
    if (!vector->v) {
        delete vector;
        return nullptr;
    }
    vector->length = length;
    return vector;
}

int deleteVector(Vector* vector) {
    if (vector) {
        std::free(vector->v);
        delete vector;
    }
    return 0;
}

int copyMatrixInto(Matrix* destination, const Matrix* source) {
    if (!destination || !source) return -1;
    if (destination->rows != source->rows || destination->columns != source->columns) return -1;
    std::memcpy(destination->m, source->m, sizeof(double) * source->rows * source->columns);
    return 0;
}

Matrix* cloneMatrix(const Matrix* source) {
    if (!source) return nullptr;
    Matrix* copy = newMatrix(source->rows, source->columns);
    if (copy) copyMatrixInto(copy, source);
    return copy;
}

int multiplyInto(Matrix* destination, const Matrix* a, const Matrix* b) {
    if (!destination || !a || !b) return -1;
    if (a->columns != b->rows || destination->rows != a->rows || destination->columns != b->columns)
        return -1;
    if (destination == a || destination == b) return -1;
    for (int i = 0; i < a->rows; ++i) {
        for (int j = 0; j < b->columns; ++j) {
            double sum = 0.0;
            for (int k = 0; k < a->columns; ++k) sum += at(a, i, k) * at(b, k, j);
            at(destination, i, j) = sum;
        }
    }
    return 0;
}

Matrix* multiplyNew(const Matrix* a, const Matrix* b) {
    if (!a || !b) return nullptr;
    Matrix* product = newMatrix(a->rows, b->columns);
    if (!product) return nullptr;
    if (multiplyInto(product, a, b) < 0) {
        deleteMatrix(product);
        return nullptr;
    }
    return product;
}

double* invertRawInPlace(double* data, int n, int rowStride) {
    if (!data || n <= 0 || n > kMaxInverseSize || rowStride < n) return nullptr;
    // A 1x1 zero has no inverse either; the same pivot limit applies as for larger sizes.
    if (n == 1) {
        if (std::fabs(data[0]) <= kPivotLimit) return nullptr;
        data[0] = 1.0 / data[0];
        return data;
    }
    int exchanged[kMaxInverseSize];
    for (int p = 0; p < n; ++p) {
        int best = p;
        double bestValue = std::fabs(data[p * rowStride + p]);
        for (int r = p + 1; r < n; ++r) {
            const double value = std::fabs(data[r * rowStride + p]);
            if (value > bestValue) {
                bestValue = value;
                best = r;
            }
        }
        if (bestValue <= kPivotLimit) return nullptr;
        exchanged[p] = best;
        double* pivotRow = data + p * rowStride;
        if (best != p) {
            double* other = data + best * rowStride;
            for (int c = 0; c < n; ++c) std::swap(pivotRow[c], other[c]);
        }
        // Compact Gauss-Jordan: the pivot column is overwritten by the matching column of
        // the inverse, so no second matrix is needed.
        const double pivot = pivotRow[p];
        pivotRow[p] = 1.0;
        for (int c = 0; c < n; ++c) pivotRow[c] /= pivot;
        for (int r = 0; r < n; ++r) {
            if (r == p) continue;
            double* row = data + r * rowStride;
            const double factor = row[p];
            row[p] = 0.0;
            for (int c = 0; c < n; ++c) row[c] -= factor * pivotRow[c];
        }
    }
    // Row exchanges of the input become column exchanges of the inverse, undone last first.
    for (int p = n - 1; p >= 0; --p) {
        if (exchanged[p] == p) continue;
        for (int r = 0; r < n; ++r) std::swap(data[r * rowStride + p], data[r * rowStride + exchanged[p]]);
    }
    return data;
}

int invertInPlace(Matrix* square) {
    if (!square || square->rows != square->columns) return -1;
    return invertRawInPlace(square->m, square->rows, square->columns) ? 0 : -1;
}

double dotProduct(const Vector* a, const Vector* b, bool* sameLength) {
    if (sameLength) *sameLength = a->length == b->length;
    if (a->length != b->length) return 0.0;
    double sum = 0.0;
    for (int i = 0; i < a->length; ++i) sum += a->v[i] * b->v[i];
    return sum;
}

double makeReflector(Vector* v) {
    double a = std::sqrt(dotProduct(v, v));
    if (a == 0.0) return 0.0;
    if (v->v[0] < 0.0) a = -a;
    v->v[0] += a;
    const double scale = 1.0 / std::sqrt(a * v->v[0]);
    for (int i = 0; i < v->length; ++i) v->v[i] *= scale;
    return -a;
}

int reduceToTridiagonal(Matrix* symmetric, Vector* diagonal, Vector* offDiagonal) {
    if (!symmetric || !diagonal || !offDiagonal) return -1;
    const int n = symmetric->rows;
    if (symmetric->columns != n || diagonal->length != n || offDiagonal->length != n - 1) return -1;

    Matrix* work = cloneMatrix(symmetric);
    Vector* scratch = n > 2 ? newVector(2 * n) : nullptr;
    if (!work || (n > 2 && !scratch)) {
        deleteMatrix(work);
        deleteVector(scratch);
        return -1;
    }
    // The matrix becomes the accumulated transform Q with Q A Q^T tridiagonal.
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) at(symmetric, r, c) = r == c ? 1.0 : 0.0;

    for (int k = 0; k + 2 < n; ++k) {
        const int first = k + 1;
        const int count = n - first;
        Vector u{scratch->v, count};
        double* p = scratch->v + count;
        for (int i = 0; i < count; ++i) u.v[i] = at(work, first + i, k);
        const double alpha = makeReflector(&u);
        if (alpha == 0.0) continue;  // column already zero below the diagonal

        // A' = P A P with P = I - u u^T acting on indices first..n-1, using the
        // symmetric rank-two update A' = A - u q^T - q u^T, q = A u - (u^T A u / 2) u.
        for (int i = 0; i < count; ++i) {
            double sum = 0.0;
            for (int j = 0; j < count; ++j) sum += at(work, first + i, first + j) * u.v[j];
            p[i] = sum;
        }
        double half = 0.0;
        for (int i = 0; i < count; ++i) half += u.v[i] * p[i];
        half *= 0.5;
        for (int i = 0; i < count; ++i) p[i] -= half * u.v[i];
        for (int i = 0; i < count; ++i)
            for (int j = 0; j < count; ++j)
                at(work, first + i, first + j) -= u.v[i] * p[j] + p[i] * u.v[j];
        for (int i = 0; i < count; ++i) {
            const double value = i == 0 ? alpha : 0.0;
            at(work, first + i, k) = value;
            at(work, k, first + i) = value;
        }
        // Q' = P Q on rows first..n-1.
        for (int c = 0; c < n; ++c) {
            double sum = 0.0;
            for (int i = 0; i < count; ++i) sum += u.v[i] * at(symmetric, first + i, c);
            for (int i = 0; i < count; ++i) at(symmetric, first + i, c) -= u.v[i] * sum;
        }
    }
    for (int i = 0; i < n; ++i) diagonal->v[i] = at(work, i, i);
    for (int i = 0; i + 1 < n; ++i) offDiagonal->v[i] = at(work, i + 1, i);
    deleteMatrix(work);
    deleteVector(scratch);
    return 0;
}

int symmetricEigen(Matrix* symmetric, Vector* eigenvalues) {
    if (!symmetric || !eigenvalues) return -1;
    const int n = symmetric->rows;
    if (n <= 1 || symmetric->columns != n || eigenvalues->length != n) return -1;

    // e(k) couples k - 1 and k; e(0) is unused and kept 0.
    Vector* e = newVector(n);
    if (!e) return -1;
    Vector off{e->v + 1, n - 1};
    if (reduceToTridiagonal(symmetric, eigenvalues, &off) < 0) {
        deleteVector(e);
        return -1;
    }
    e->v[0] = 0.0;
    double* d = eigenvalues->v;
    double* ev = e->v;

    auto negligible = [&](int l) {
        return std::fabs(ev[l]) <= kEigenTolerance * (std::fabs(d[l - 1]) + std::fabs(d[l]));
    };
    for (int h = n - 1; h > 0; --h) {
        for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
            int l = h;
            while (l > 0 && !negligible(l)) --l;
            if (l == h) break;

            // Implicit QR step with the Wilkinson shift on the block l..h.
            const double t = (d[h - 1] - d[h]) * 0.5;
            double r = std::sqrt(t * t + ev[h] * ev[h]);
            if (t < 0.0) r = -r;
            double x = d[l] - d[h] + ev[h] * ev[h] / (t + r);
            double y = ev[l + 1];
            for (int k = l; k < h; ++k) {
                double c;
                double s;
                if (std::fabs(x) >= std::fabs(y)) {
                    if (std::fabs(x) > kTinyValue) {
                        const double q = -y / x;
                        c = 1.0 / std::sqrt(1.0 + q * q);
                        s = q * c;
                    } else {
                        c = 1.0;
                        s = 0.0;
                    }
                } else {
                    const double q = -x / y;
                    s = 1.0 / std::sqrt(1.0 + q * q);
                    c = q * s;
                }
                if (k > l) ev[k] = c * x - s * y;  // the bulge is chased out
                const double a = d[k];
                const double b = d[k + 1];
                const double f = ev[k + 1];
                d[k] = c * c * a - 2.0 * c * s * f + s * s * b;
                d[k + 1] = s * s * a + 2.0 * c * s * f + c * c * b;
                ev[k + 1] = c * s * (a - b) + (c * c - s * s) * f;
                for (int col = 0; col < n; ++col) {
                    const double u = at(symmetric, k, col);
                    const double v = at(symmetric, k + 1, col);
                    at(symmetric, k, col) = c * u - s * v;
                    at(symmetric, k + 1, col) = s * u + c * v;
                }
                if (k + 1 < h) {
                    x = ev[k + 1];
                    y = -s * ev[k + 2];
                    ev[k + 2] *= c;
                }
            }
        }
    }

    for (int i = 0; i < n - 1; ++i) {
        int best = i;
        for (int j = i + 1; j < n; ++j)
            if (d[j] > d[best]) best = j;
        if (best == i) continue;
        std::swap(d[i], d[best]);
        for (int col = 0; col < n; ++col) std::swap(at(symmetric, i, col), at(symmetric, best, col));
    }
    deleteVector(e);
    return 0;
}

int principalComponents(const Matrix* input, Matrix* components, Vector* eigenvalues, Vector* mean) {
    if (!input || !components || !eigenvalues || !mean) return -1;
    const int m = input->rows;
    const int n = input->columns;
    if (m <= 1 || n <= 1) return -1;
    const int k = m < n ? m : n;
    if (components->rows != k || components->columns != n || eigenvalues->length != k || mean->length != n)
        return -1;

    Matrix* x = cloneMatrix(input);
    Matrix* s = newMatrix(k, k);
    if (!x || !s) {
        deleteMatrix(x);
        deleteMatrix(s);
        return -1;
    }
    for (int j = 0; j < n; ++j) {
        double sum = 0.0;
        for (int r = 0; r < m; ++r) sum += at(x, r, j);
        mean->v[j] = sum / m;
    }
    const double scale = 1.0 / std::sqrt(static_cast<double>(m));
    for (int r = 0; r < m; ++r)
        for (int j = 0; j < n; ++j) at(x, r, j) = (at(x, r, j) - mean->v[j]) * scale;

    // Few points in many dimensions: the small m x m Gram matrix has the same non-zero
    // spectrum and is cheaper to decompose.
    for (int i = 0; i < k; ++i) {
        for (int j = i; j < k; ++j) {
            double sum = 0.0;
            if (m < n) {
                for (int c = 0; c < n; ++c) sum += at(x, i, c) * at(x, j, c);
            } else {
                for (int r = 0; r < m; ++r) sum += at(x, r, i) * at(x, r, j);
            }
            at(s, i, j) = sum;
            at(s, j, i) = sum;
        }
    }
    const int result = symmetricEigen(s, eigenvalues);
    if (result == 0) {
        int valid = k;
        for (int i = 0; i < k; ++i) {
            if (eigenvalues->v[i] < kTinyValue) {
                valid = i;
                break;
            }
        }
        for (int i = 0; i < k; ++i) {
            if (i >= valid) {
                eigenvalues->v[i] = 0.0;
                for (int j = 0; j < n; ++j) at(components, i, j) = 0.0;
            } else if (m < n) {
                const double norm = 1.0 / std::sqrt(std::fabs(eigenvalues->v[i]));
                for (int j = 0; j < n; ++j) {
                    double sum = 0.0;
                    for (int r = 0; r < m; ++r) sum += at(s, i, r) * at(x, r, j);
                    at(components, i, j) = sum * norm;
                }
            } else {
                for (int j = 0; j < n; ++j) at(components, i, j) = at(s, i, j);
            }
        }
        double total = 0.0;
        for (int i = 0; i < k; ++i) total += eigenvalues->v[i];
        // Identical points have no spread at all; keep the zeros rather than dividing by 0.
        if (total > 0.0)
            for (int i = 0; i < k; ++i) eigenvalues->v[i] /= total;
    }
    deleteMatrix(x);
    deleteMatrix(s);
    return result;
}

int invertRigidTransform(const double transform[3][4], double inverse[3][4]) {
    double full[16];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) full[r * 4 + c] = transform[r][c];
    full[12] = full[13] = full[14] = 0.0;
    full[15] = 1.0;
    if (!invertRawInPlace(full, 4, 4)) return -1;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) inverse[r][c] = full[r * 4 + c];
    return 0;
}
