// The steps of marker pose estimation, exposed for testing and for callers that fit
// other point sets: the rotation search, the translation solve, and the rotation built
// from the marker's edge lines.
#pragma once

#include "tracking/CameraParam.h"
#include "tracking/Marker.h"

// The rotation by |w| radians about the axis w (Rodrigues); w = 0 gives the identity.
void rotationFromVector(const double w[3], double out[3][3]);

// Most points fitPose and solvePose accept.
constexpr int kMaxPosePoints = 500;

// Fits [R | T] so that the model points (x, y, z) project onto the image points (ideal
// coordinates) through the calibration's projection. rotation is the start value and
// receives the refined rotation. Returns the mean squared reprojection error in pixels
// squared, or -1 for a bad point count or a degenerate translation system or a fit that
// is not finite.
double fitPose(const CameraParam& param, double rotation[3][3], const double (*imagePoints)[2],
               const double (*modelPoints)[3], int n, double transform[3][4]);

// fitPose on model points already centred: the ideal image points are fitted through the
// pinhole camera matrix, first by the rotation search, then by a joint least-squares
// refinement of rotation and translation. -1 also when the fit is not finite.
double solvePose(double rotation[3][3], const double (*imagePoints)[2], const double (*modelPoints)[3], int n,
                 double transform[3][4], const double camera[3][4]);

// Searches the rotation angles in shrinking steps for the smallest reprojection error
// with the translation held fixed. Returns the mean squared error.
double refineRotation(double rotation[3][3], const double translation[3], const double camera[3][4],
                      const double (*modelPoints)[3], const double (*targets)[2], int n);

// R(a, b, c) = Rz(a) Ry(b) Rz(c - a).
int rotationToAngles(double rotation[3][3], double* a, double* b, double* c);
int anglesToRotation(double a, double b, double c, double rotation[3][3]);

// out = K x [R(a, b, c) | t] with K = camera x transform when a transform is given
// (camera's fourth column not added), else K = camera.
int composeProjection(double a, double b, double c, const double translation[3], const double (*transform)[4],
                      const double camera[3][4], double out[3][4]);

// Rotation from the vanishing directions of the two pairs of opposite edges. 0 or -1.
int initialRotation(const DetectedMarker* marker, const double camera[3][4], double rotation[3][3]);

// Flips direction d when it runs against the image direction from corner start to end.
// 0, or -1 when the camera matrix cannot project the test points.
int checkAxisDirection(double d[3], const double start[2], const double end[2], const double camera[3][4]);

// Turns two unit vectors into the nearest orthogonal pair in their plane, symmetric
// about their bisector. 0 or -1.
int orthogonalizeAxes(double u[3], double v[3]);
