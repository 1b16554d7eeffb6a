// Small dense linear algebra for the tracker: heap-allocated row-major matrices and
// vectors of doubles, Gauss-Jordan inversion, symmetric eigen decomposition and principal
// components, plus the inverse of a 3x4 rigid transform.
//
// Every operation returns 0 on success and -1 on failure (or a pointer, null on failure)
// and prints nothing; shapes that do not fit are refused, never adjusted.
#pragma once

struct Matrix {
    double* m;    // rows x columns elements, element (r, c) at r * columns + c
    int rows;
    int columns;
};

// A vector owns its block when it comes from newVector; a view built by hand over part of
// a Matrix row (Vector{pointer, length}) must not be passed to deleteVector.
struct Vector {
    double* v;
    int length;
};

// Contents are not initialised. Null on a non-positive size or when memory runs out.
Matrix* newMatrix(int rows, int columns);
int deleteMatrix(Matrix* matrix);  // accepts null
Vector* newVector(int length);
int deleteVector(Vector* vector);  // accepts null

// -1 when the shapes differ (destination untouched).
int copyMatrixInto(Matrix* destination, const Matrix* source);
Matrix* cloneMatrix(const Matrix* source);

// destination = a x b. -1 (destination untouched) unless a.columns == b.rows and the
// destination is a.rows x b.columns; the destination must not be a or b.
int multiplyInto(Matrix* destination, const Matrix* a, const Matrix* b);
Matrix* multiplyNew(const Matrix* a, const Matrix* b);

// Gauss-Jordan with partial pivoting; a pivot of absolute value 1e-10 or less counts as
// singular. n is at most 50. Contents after a failure are unspecified.
int invertInPlace(Matrix* square);
double* invertRawInPlace(double* data, int n, int rowStride);

// Sum of products. Vectors of different lengths are a programming error: the result is
// 0.0 and *sameLength (when given) says false; otherwise it says true.
double dotProduct(const Vector* a, const Vector* b, bool* sameLength = nullptr);

// Turns v into a Householder vector in place; returns -|v| with the sign of v(0) flipped
// (0 for the zero vector, which is left as it is).
double makeReflector(Vector* v);

// Householder reduction of a symmetric n x n matrix: on return the matrix holds the
// orthogonal transform (rows), diagonal has n entries, offDiagonal n - 1 (element k is
// the coupling of k and k + 1).
int reduceToTridiagonal(Matrix* symmetric, Vector* diagonal, Vector* offDiagonal);

// Eigen decomposition of a symmetric n x n matrix (n >= 2): the matrix is replaced by the
// eigenvectors as rows, eigenvalues sorted from largest to smallest.
int symmetricEigen(Matrix* symmetric, Vector* eigenvalues);

// Principal components of the m rows of input (m >= 2, n >= 2): components is
// min(m, n) x n (rows = components, strongest first), eigenvalues min(m, n) normalised to
// sum 1, mean n. Input is not changed.
int principalComponents(const Matrix* input, Matrix* components, Vector* eigenvalues, Vector* mean);

// Inverse of a 3x4 [R | T] transform. -1 (output untouched) when the transform is singular.
int invertRigidTransform(const double transform[3][4], double inverse[3][4]);
