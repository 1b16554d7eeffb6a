#include "tracking/PaperLight.h"

#include <algorithm>
#include <cmath>

namespace {

// The four edges of the unit square around the marker's centre, each as its outward
// normal in marker-plane units: a point at depth d along an edge sits at 0.5 + d along
// the normal (d < 0: inside the square).
constexpr float kEdgeNormals[4][2] = {{1.0f, 0.0f}, {-1.0f, 0.0f}, {0.0f, 1.0f}, {0.0f, -1.0f}};

// Observed pixel position of the marker-plane point (x, y, 0); false behind the camera.
bool projectToFrame(const CameraParam& camera, const double transform[3][4], double x, double y, double* px,
                    double* py) {
    double c[3];
    for (int r = 0; r < 3; ++r) c[r] = transform[r][0] * x + transform[r][1] * y + transform[r][3];
    double h[3];
    for (int r = 0; r < 3; ++r)
        h[r] = camera.projection[r][0] * c[0] + camera.projection[r][1] * c[1] + camera.projection[r][2] * c[2] +
               camera.projection[r][3];
    if (!(c[2] > 0.0) || !(h[2] > 0.0)) return false;
    idealToObserved(camera.distortion, h[0] / h[2], h[1] / h[2], px, py);
    return std::isfinite(*px) && std::isfinite(*py);
}

}  // namespace

float paperLuma(const float rgb[3]) { return 0.299f * rgb[0] + 0.587f * rgb[1] + 0.114f * rgb[2]; }

int PaperLight::sampleRing(const uint8_t* bgra, int width, int height, const CameraParam& camera,
                           const double transform[3][4], double markerWidth, const double center[2],
                           const float depths[2], float sign) {
    int count = 0;
    for (int edge = 0; edge < 4; ++edge) {
        const float nx = kEdgeNormals[edge][0], ny = kEdgeNormals[edge][1];
        for (int d = 0; d < 2; ++d) {
            const double across = 0.5 + sign * depths[d];
            for (int k = 0; k < kSamplesAlongEdge; ++k) {
                const double along = -0.5 + (k + 0.5) / kSamplesAlongEdge;
                // The normal's direction takes the "across" share, the edge's the "along".
                const double u = nx * across + ny * along;
                const double v = ny * across + nx * along;
                double px, py;
                if (!projectToFrame(camera, transform, center[0] + u * markerWidth, center[1] + v * markerWidth, &px,
                                    &py))
                    continue;
                // Pixel centres sit at integer positions.
                const double ix = std::floor(px + 0.5), iy = std::floor(py + 0.5);
                if (ix < 0.0 || iy < 0.0 || ix >= width || iy >= height) continue;
                const uint8_t* p =
                    bgra + (static_cast<size_t>(iy) * static_cast<size_t>(width) + static_cast<size_t>(ix)) * 4;
                Sample& s = samples_[static_cast<size_t>(count++)];
                s.rgb[0] = p[2] / 255.0f;
                s.rgb[1] = p[1] / 255.0f;
                s.rgb[2] = p[0] / 255.0f;
                s.luma = paperLuma(s.rgb);
            }
        }
    }
    return count;
}

void PaperLight::rankedMean(int count, float low, float high, float rgb[3]) {
    auto* first = samples_.data();
    std::sort(first, first + count, [](const Sample& a, const Sample& b) { return a.luma < b.luma; });
    int from = static_cast<int>(std::floor(low * static_cast<float>(count)));
    int to = static_cast<int>(std::ceil(high * static_cast<float>(count)));
    from = std::clamp(from, 0, count - 1);
    to = std::clamp(to, from + 1, count);
    double sum[3] = {0.0, 0.0, 0.0};
    for (int i = from; i < to; ++i)
        for (int c = 0; c < 3; ++c) sum[c] += samples_[static_cast<size_t>(i)].rgb[c];
    for (int c = 0; c < 3; ++c) rgb[c] = static_cast<float>(sum[c] / (to - from));
}

bool PaperLight::measure(const uint8_t* bgra, int width, int height, const CameraParam& camera,
                         const double transform[3][4], double markerWidth, const double center[2], RoomLight* out) {
    if (!bgra || width <= 0 || height <= 0 || !(markerWidth > 0.0) || !out) return false;

    // A square too small in the picture has no margin to speak of between its edge blur
    // and the table.
    const double half = 0.5 * markerWidth;
    const double corners[4][2] = {{-half, -half}, {half, -half}, {half, half}, {-half, half}};
    double pixel[4][2];
    for (int k = 0; k < 4; ++k)
        if (!projectToFrame(camera, transform, center[0] + corners[k][0], center[1] + corners[k][1], &pixel[k][0],
                            &pixel[k][1]))
            return false;
    for (int k = 0; k < 4; ++k) {
        const double dx = pixel[(k + 1) % 4][0] - pixel[k][0], dy = pixel[(k + 1) % 4][1] - pixel[k][1];
        if (!(std::hypot(dx, dy) >= settings_.minSidePixels)) return false;
    }

    const int needed = static_cast<int>(std::ceil(settings_.minInsideShare * kRingSamples));
    RoomLight read;
    int count = sampleRing(bgra, width, height, camera, transform, markerWidth, center, settings_.frameDepths, -1.0f);
    if (count < std::max(needed, 1)) return false;
    rankedMean(count, settings_.frameLow, settings_.frameHigh, read.black);
    count = sampleRing(bgra, width, height, camera, transform, markerWidth, center, settings_.marginDepths, 1.0f);
    if (count < std::max(needed, 1)) return false;
    rankedMean(count, settings_.paperLow, settings_.paperHigh, read.paper);

    if (!(paperLuma(read.paper) - paperLuma(read.black) >= settings_.minContrast)) return false;
    *out = read;
    return true;
}

void PaperLight::blend(const RoomLight& measured, double seconds) {
    if (!hasEstimate_ || !std::isfinite(seconds) || !std::isfinite(lastSeconds_) || seconds < lastSeconds_) {
        // The first reading, or the video's clock ran back (a file starting over): what
        // came before says nothing about this light.
        estimate_ = measured;
    } else {
        double dt = seconds - lastSeconds_;
        if (dt <= 0.0) dt = settings_.stalledFrameSeconds;
        const double tau = settings_.timeConstantSeconds > 0.0 ? settings_.timeConstantSeconds : 1e-9;
        const float a = static_cast<float>(1.0 - std::exp(-dt / tau));
        for (int c = 0; c < 3; ++c) {
            estimate_.paper[c] += a * (measured.paper[c] - estimate_.paper[c]);
            estimate_.black[c] += a * (measured.black[c] - estimate_.black[c]);
        }
    }
    hasEstimate_ = true;
    lastSeconds_ = seconds;
}

void PaperLight::update(const uint8_t* bgra, int width, int height, const CameraParam& camera, bool found,
                        const double transform[3][4], double markerWidth, const double center[2], double seconds) {
    if (!found) return;
    RoomLight measured;
    if (measure(bgra, width, height, camera, transform, markerWidth, center, &measured)) blend(measured, seconds);
}
