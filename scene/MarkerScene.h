// Renders a printed marker lying on a tabletop as a calibrated, distorted camera sees it.
// The virtual camera draws its frames with it, and the tracker's accuracy tests render
// frames the same way so they know the true pose of every picture.
//
// Coordinate conventions (the same as the tracker's marker transform):
// - Marker frame: origin at the centre of the black square, x towards the right edge of
//   the printed picture, y towards its top edge, z out of the printed side (up from the
//   table, towards a camera that sees the marker). Lengths in the unit of markerWidth,
//   the side of the black square.
// - Camera frame: x right, y down, z forward (into the scene).
// - transform: 3x4 row-major [R | T], marker -> camera.
// - Image coordinates: pixel (i, j) of a frame covers [i, i+1) x [j, j+1) in memory, and
//   the calibrated projection maps a point to the pixel whose CENTRE is at integer
//   coordinates: projection x = i is the centre of pixel column i, so that column covers
//   projection x in [i - 0.5, i + 0.5). projectMarkerPoint returns coordinates in this
//   convention (observed, i.e. with the lens distortion applied).
// - Marker picture coordinates (MarkerImage::square*): pixel edges, so picture pixel
//   (u, v) covers [u, u+1) x [v, v+1) and the black square covers
//   [squareX0, squareX0 + squareSide) horizontally.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tracking/CameraParam.h"

// A marker picture in memory: B, G, R bytes, rows top first, plus where its black
// square is (found as the bounding box of the picture's dark pixels).
struct MarkerImage {
    int width = 0, height = 0;
    std::vector<uint8_t> bgr;  // width x height x 3
    double squareX0 = 0.0, squareY0 = 0.0, squareSide = 0.0;  // black square, picture pixels
};

// Reads a picture (PNG, or anything else the image library reads; transparency is laid
// over white paper) and locates its black square. False with a message naming the file
// and the problem in *error (when error is not null).
bool loadMarkerImage(const char* pngPath, MarkerImage& out, std::string* error);

// Locates the black square of a picture already in memory (out.width, out.height, out.bgr
// filled). Used by loadMarkerImage and by tests that draw their own pictures.
bool findMarkerSquare(MarkerImage& image, std::string* error);

struct SceneOptions {
    bool tabletop = true;       // wood-like table around the paper; false: plain grey
    double noiseSigma = 0.0;    // standard deviation of per-channel sensor noise, in grey levels
    double brightness = 1.0;    // overall light level multiplying every colour
    // Samples per pixel, on the nearest square grid (1, 4, 9, 16...), taken where the
    // paper's edge or the horizon crosses a pixel. Elsewhere one sample from box-filtered,
    // trilinearly blended picture levels sized to the pixel gives the same smoothing.
    int supersample = 4;
    uint32_t seed = 1;          // noise seed: the same seed gives the same noise
    // Pixels drawn: columns [regionX0, regionX1) of rows [regionY0, regionY1), clipped to
    // the frame; the others keep what bgra held. An empty region (the default) is the
    // whole frame.
    int regionX0 = 0, regionY0 = 0, regionX1 = 0, regionY1 = 0;
    // Draws the marker's paper alone over what bgra holds, as a sheet held in front of
    // another picture: pixels that see no paper are left as they were, and a pixel on the
    // paper's edge is blended with the old one by the share of its samples on the paper.
    bool paperOnly = false;
};

// Draws the scene into bgra (camera.width x camera.height x 4 bytes, B, G, R, A, rows top
// first, A = 255). Each output sample is taken back through the lens distortion and the
// projection onto the marker plane z = 0, so the picture is exact for the calibration,
// distortion included. camera must already be sized to the wanted frame.
void renderMarkerScene(const CameraParam& camera, const double transform[3][4], double markerWidth,
                       const MarkerImage& marker, const SceneOptions& options, uint8_t* bgra);

// Observed (distorted) image position of the marker-plane point (x, y, 0), in the pixel
// convention above. False when the point is not in front of the camera.
bool projectMarkerPoint(const CameraParam& camera, const double transform[3][4], double x, double y,
                        double* ox, double* oy);

// The virtual camera's pose at time t seconds (the one it renders): a smooth, repeating
// drift over distances of about 150 to 450 marker units (marker width 40), tilts up to
// about 50 degrees and a slow turn, keeping the marker in view most of the time and
// now and then letting it slip partly or fully out of the picture.
void virtualCameraPose(double t, double transform[3][4]);

// The marker width the virtual camera's poses are expressed in.
constexpr double kVirtualMarkerWidth = 40.0;
