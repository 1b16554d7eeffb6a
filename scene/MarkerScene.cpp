#include "scene/MarkerScene.h"

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

constexpr double kPi = 3.14159265358979323846;

// Grey level below which a picture pixel counts as part of the black square.
constexpr int kDarkLevel = 100;
// The dark bounding box may be this much out of square (pixels, or 2% of the side)
// before the picture is refused: print rasterisation leaves a pixel or so.
constexpr double kSquareTolerance = 2.0;
// More samples per pixel than this add nothing visible and only cost time and memory
// (the undistortion table holds every sample position).
constexpr int kMaxSupersampleGrid = 4;

// Colour seen where no table is: a grey wall beyond the horizon, or the table itself
// when it is switched off.
constexpr float kBackground[3] = {96.f, 96.f, 96.f};

// std::floor is a library call on baseline x86-64; this is on the per-sample path.
inline int floorToInt(double v) {
    const int i = int(v);
    return v < i ? i - 1 : i;
}

// log2 good to about 0.09, plenty for choosing how blurred a picture level to read, and
// far cheaper per pixel than the library call.
inline double approxLog2(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const int exponent = int((bits >> 52) & 0x7ff) - 1023;
    bits = (bits & 0x000fffffffffffffull) | 0x3ff0000000000000ull;  // mantissa in [1, 2)
    double mantissa;
    std::memcpy(&mantissa, &bits, sizeof mantissa);
    return exponent + (mantissa - 1.0);
}

// ---------------------------------------------------------------------------------------
// Box-filtered mip chain of a B,G,R picture, sampled trilinearly. Coordinates are in
// level-0 pixel-edge units (texel u covers [u, u+1)); texel u of level L covers level-0
// [u * 2^L, (u + 1) * 2^L), odd sizes being padded by repeating the last row or column,
// so every level lines up exactly with the base picture.
struct MipChain {
    struct Level {
        int width = 0, height = 0;
        std::vector<float> bgr;
    };
    std::vector<Level> levels;
    bool wrap = false;  // tile the picture (table) instead of clamping to its edge (paper)

    // wrapEdges needs power-of-two sides.
    void build(int width, int height, const uint8_t* bgr, bool wrapEdges) {
        wrap = wrapEdges;
        levels.clear();
        Level base;
        base.width = width;
        base.height = height;
        base.bgr.assign(bgr, bgr + size_t(width) * height * 3);
        levels.push_back(std::move(base));
        while ((levels.back().width > 1 || levels.back().height > 1) && levels.size() < 16) {
            const Level& src = levels.back();
            Level next;
            next.width = (src.width + 1) / 2;
            next.height = (src.height + 1) / 2;
            next.bgr.resize(size_t(next.width) * next.height * 3);
            for (int y = 0; y < next.height; ++y) {
                const float* row0 = &src.bgr[size_t(2 * y) * src.width * 3];
                const float* row1 = &src.bgr[size_t(std::min(2 * y + 1, src.height - 1)) * src.width * 3];
                for (int x = 0; x < next.width; ++x) {
                    const int xa = 2 * x * 3, xb = std::min(2 * x + 1, src.width - 1) * 3;
                    for (int c = 0; c < 3; ++c)
                        next.bgr[(size_t(y) * next.width + x) * 3 + c] =
                            0.25f * (row0[xa + c] + row0[xb + c] + row1[xa + c] + row1[xb + c]);
                }
            }
            levels.push_back(std::move(next));
        }
    }

    // Level of detail for a footprint of the given number of level-0 texels: its log2,
    // clamped to the chain.
    double lodFor(double footprint) const {
        if (!(footprint > 1.0)) return 0.0;
        return std::min(approxLog2(footprint), double(levels.size() - 1));
    }

    void sample(double u, double v, double lod, float out[3]) const {
        const int level = int(lod);
        const float blend = float(lod - level);
        bilinear(u, v, level, out);
        if (blend > 1e-3f && level + 1 < int(levels.size())) {
            float coarse[3];
            bilinear(u, v, level + 1, coarse);
            for (int c = 0; c < 3; ++c) out[c] += (coarse[c] - out[c]) * blend;
        }
    }

    void bilinear(double u, double v, int level, float out[3]) const {
        const Level& l = levels[size_t(level)];
        const double scale = 1.0 / double(1 << level);
        const double x = u * scale - 0.5, y = v * scale - 0.5;
        int x0 = floorToInt(x), y0 = floorToInt(y);
        const float fx = float(x - x0), fy = float(y - y0);
        int x1 = x0 + 1, y1 = y0 + 1;
        if (wrap) {
            // Tiled pictures have power-of-two sides at every level.
            x0 &= l.width - 1;
            x1 &= l.width - 1;
            y0 &= l.height - 1;
            y1 &= l.height - 1;
        } else {
            x0 = std::clamp(x0, 0, l.width - 1);
            x1 = std::clamp(x1, 0, l.width - 1);
            y0 = std::clamp(y0, 0, l.height - 1);
            y1 = std::clamp(y1, 0, l.height - 1);
        }
        const float* p00 = &l.bgr[(size_t(y0) * l.width + x0) * 3];
        const float* p10 = &l.bgr[(size_t(y0) * l.width + x1) * 3];
        const float* p01 = &l.bgr[(size_t(y1) * l.width + x0) * 3];
        const float* p11 = &l.bgr[(size_t(y1) * l.width + x1) * 3];
        for (int c = 0; c < 3; ++c) {
            const float top = p00[c] + (p10[c] - p00[c]) * fx;
            const float bottom = p01[c] + (p11[c] - p01[c]) * fx;
            out[c] = top + (bottom - top) * fy;
        }
    }
};

// ---------------------------------------------------------------------------------------
// The tabletop: a light wood with soft, wavy grain and faint fibres. Its contrast stays
// within a few tens of grey levels so no part of it can pass for the black frame of a
// marker. Every frequency is a whole number of periods per tile, so it tiles seamlessly.
constexpr int kTableTile = 256;           // texels per tile side
constexpr double kTableUnitsPerTile = 320.0;  // marker units covered by one tile

// Periodic value noise on a cellsX x cellsY lattice over the tile, smoothly interpolated.
double tileNoise(double x, double y, int cellsX, int cellsY, uint32_t salt) {
    const double cx = x * cellsX / kTableTile, cy = y * cellsY / kTableTile;
    const int x0 = int(cx), y0 = int(cy);
    const double fx = cx - x0, fy = cy - y0;
    auto lattice = [&](int i, int j) {
        uint32_t h = uint32_t(i % cellsX) * 73856093u ^ uint32_t(j % cellsY) * 19349663u ^ salt * 83492791u;
        h ^= h >> 13;
        h *= 0x5bd1e995u;
        h ^= h >> 15;
        return double(h & 0xffff) / 65535.0 - 0.5;
    };
    const double sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
    const double top = lattice(x0, y0) + (lattice(x0 + 1, y0) - lattice(x0, y0)) * sx;
    const double bottom = lattice(x0, y0 + 1) + (lattice(x0 + 1, y0 + 1) - lattice(x0, y0 + 1)) * sx;
    return top + (bottom - top) * sy;
}

std::shared_ptr<const MipChain> tableTexture() {
    // A cache: the table's texture never changes, and making it costs more than a frame.
    static std::shared_ptr<const MipChain> table = [] {
        std::vector<uint8_t> bgr(size_t(kTableTile) * kTableTile * 3);
        const double w = 2.0 * kPi / kTableTile;
        for (int y = 0; y < kTableTile; ++y) {
            for (int x = 0; x < kTableTile; ++x) {
                // Growth rings run along x; a slow warp bends them as in flat-sawn boards.
                const double warp = 1.7 * std::sin(w * x + 0.4) + 0.9 * std::sin(w * (x + y) + 1.1) +
                                    1.2 * tileNoise(x, y, 4, 4, 1);
                const double ring = 0.5 + 0.5 * std::sin(w * 9 * y + 1.4 * warp);
                const double latewood = ring * ring * ring * ring;  // thin darker lines
                // Fibres: noise stretched along the grain.
                const double fibre = tileNoise(x, y, 8, 128, 2) + 0.5 * tileNoise(x, y, 16, 256, 3);
                const double tone = tileNoise(x, y, 2, 2, 4);  // broad colour drift
                const double shade = -14.0 * latewood + 7.0 * fibre + 10.0 * tone;
                const double b = 96 + 0.55 * shade, g = 138 + 0.8 * shade, r = 180 + shade;
                uint8_t* p = &bgr[(size_t(y) * kTableTile + x) * 3];
                p[0] = uint8_t(std::clamp(b, 0.0, 255.0));
                p[1] = uint8_t(std::clamp(g, 0.0, 255.0));
                p[2] = uint8_t(std::clamp(r, 0.0, 255.0));
            }
        }
        auto chain = std::make_shared<MipChain>();
        chain->build(kTableTile, kTableTile, bgr.data(), true);
        return chain;
    }();
    return table;
}

// ---------------------------------------------------------------------------------------
// Caches. The undistortion of every sample position depends only on the calibration's
// distortion, the frame size and the sample grid, and the mip chain only on the marker
// picture; both are far more work than a frame, so they are kept between frames.

struct IdealMap {
    double distortion[4] = {0, 0, 0, 0};
    int width = 0, height = 0, grid = 0;
    std::vector<float> ideal;  // per pixel, per sample: ideal x, ideal y
};

std::shared_ptr<const IdealMap> idealMapFor(const CameraParam& camera, int grid) {
    // A cache (the maps cost far more than a frame and depend only on their key): two
    // entries, so callers that alternate between two cameras or grids do not rebuild.
    static std::mutex mutex;
    static std::shared_ptr<const IdealMap> cached[2];
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& entry : cached)
        if (entry && entry->width == camera.width && entry->height == camera.height && entry->grid == grid &&
            std::memcmp(entry->distortion, camera.distortion, sizeof entry->distortion) == 0)
            return entry;
    auto map = std::make_shared<IdealMap>();
    std::memcpy(map->distortion, camera.distortion, sizeof map->distortion);
    map->width = camera.width;
    map->height = camera.height;
    map->grid = grid;
    map->ideal.resize(size_t(camera.width) * camera.height * grid * grid * 2);
    float* out = map->ideal.data();
    for (int j = 0; j < camera.height; ++j) {
        for (int i = 0; i < camera.width; ++i) {
            for (int b = 0; b < grid; ++b) {
                for (int a = 0; a < grid; ++a) {
                    // Pixel i is centred on x = i, so its samples spread over [i - 0.5, i + 0.5).
                    double ox = i - 0.5 + (a + 0.5) / grid;
                    double oy = j - 0.5 + (b + 0.5) / grid;
                    double ix, iy;
                    observedToIdeal(camera.distortion, ox, oy, &ix, &iy);
                    *out++ = float(ix);
                    *out++ = float(iy);
                }
            }
        }
    }
    cached[1] = cached[0];
    cached[0] = map;
    return map;
}

uint64_t hashBytes(const uint8_t* data, size_t size) {
    uint64_t h = 0x9e3779b97f4a7c15ull ^ size;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t v;
        std::memcpy(&v, data + i, 8);
        h = (h ^ v) * 0xff51afd7ed558ccdull;
        h ^= h >> 32;
    }
    for (; i < size; ++i) h = (h ^ data[i]) * 0xc4ceb9fe1a85ec53ull;
    return h;
}

struct MarkerMips {
    int width = 0, height = 0;
    uint64_t hash = 0;
    MipChain chain;
};

std::shared_ptr<const MarkerMips> markerMipsFor(const MarkerImage& marker) {
    // A cache: the mip chain depends only on the picture and costs more than a frame.
    static std::mutex mutex;
    static std::shared_ptr<const MarkerMips> cached[2];
    const uint64_t hash = hashBytes(marker.bgr.data(), marker.bgr.size());
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& entry : cached)
        if (entry && entry->width == marker.width && entry->height == marker.height && entry->hash == hash)
            return entry;
    auto mips = std::make_shared<MarkerMips>();
    mips->width = marker.width;
    mips->height = marker.height;
    mips->hash = hash;
    mips->chain.build(marker.width, marker.height, marker.bgr.data(), false);
    cached[1] = cached[0];
    cached[0] = mips;
    return mips;
}

// Deterministic per-pixel noise: a 64-bit mix of seed and pixel index.
inline uint64_t mix64(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    x ^= x >> 31;
    return x;
}

bool invert3(const double m[3][3], double inv[3][3]) {
    double c00 = m[1][1] * m[2][2] - m[1][2] * m[2][1];
    double c01 = m[1][2] * m[2][0] - m[1][0] * m[2][2];
    double c02 = m[1][0] * m[2][1] - m[1][1] * m[2][0];
    double det = m[0][0] * c00 + m[0][1] * c01 + m[0][2] * c02;
    if (!(std::fabs(det) > 1e-300)) return false;
    double k = 1.0 / det;
    inv[0][0] = c00 * k;
    inv[1][0] = c01 * k;
    inv[2][0] = c02 * k;
    inv[0][1] = (m[0][2] * m[2][1] - m[0][1] * m[2][2]) * k;
    inv[1][1] = (m[0][0] * m[2][2] - m[0][2] * m[2][0]) * k;
    inv[2][1] = (m[0][1] * m[2][0] - m[0][0] * m[2][1]) * k;
    inv[0][2] = (m[0][1] * m[1][2] - m[0][2] * m[1][1]) * k;
    inv[1][2] = (m[0][2] * m[1][0] - m[0][0] * m[1][2]) * k;
    inv[2][2] = (m[0][0] * m[1][1] - m[0][1] * m[1][0]) * k;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------

bool findMarkerSquare(MarkerImage& image, std::string* error) {
    if (image.width <= 0 || image.height <= 0 || image.bgr.size() != size_t(image.width) * image.height * 3) {
        if (error) *error = "the picture is empty or its pixel buffer does not match its size";
        return false;
    }
    int minX = image.width, minY = image.height, maxX = -1, maxY = -1;
    for (int y = 0; y < image.height; ++y) {
        const uint8_t* p = &image.bgr[size_t(y) * image.width * 3];
        for (int x = 0; x < image.width; ++x, p += 3) {
            int grey = (29 * p[0] + 150 * p[1] + 77 * p[2]) >> 8;
            if (grey < kDarkLevel) {
                minX = std::min(minX, x);
                maxX = std::max(maxX, x);
                minY = std::min(minY, y);
                maxY = std::max(maxY, y);
            }
        }
    }
    if (maxX < 0) {
        if (error) *error = "no dark pixels: the picture has no black square";
        return false;
    }
    const int w = maxX - minX + 1, h = maxY - minY + 1;
    if (std::abs(w - h) > std::max(kSquareTolerance, 0.02 * std::max(w, h)) || std::min(w, h) < 8) {
        if (error)
            *error = "the dark pixels span " + std::to_string(w) + " x " + std::to_string(h) +
                     " pixels, which is not a black square";
        return false;
    }
    image.squareX0 = minX;
    image.squareY0 = minY;
    image.squareSide = 0.5 * (w + h);
    return true;
}

bool loadMarkerImage(const char* pngPath, MarkerImage& out, std::string* error) {
    const std::string path = pngPath ? pngPath : "";
    auto fail = [&](const std::string& why) {
        if (error) *error = "marker picture \"" + path + "\": " + why;
        return false;
    };
    cv::Mat raw;
    try {
        raw = cv::imread(path, cv::IMREAD_UNCHANGED);
    } catch (const cv::Exception& e) {
        return fail(std::string("cannot be decoded (") + e.what() + ")");
    }
    if (raw.empty()) {
        FILE* f = std::fopen(path.c_str(), "rb");
        if (!f) return fail(std::string("cannot be opened (") + std::strerror(errno) + ")");
        std::fclose(f);
        return fail("is not a picture this program can read");
    }
    if (raw.depth() == CV_16U) raw.convertTo(raw, CV_8U, 1.0 / 257.0);
    else if (raw.depth() != CV_8U) raw.convertTo(raw, CV_8U);
    cv::Mat bgr;
    if (raw.channels() == 1) {
        cv::cvtColor(raw, bgr, cv::COLOR_GRAY2BGR);
    } else if (raw.channels() == 3) {
        bgr = raw;
    } else if (raw.channels() == 4) {
        // Transparent parts are bare paper.
        bgr.create(raw.rows, raw.cols, CV_8UC3);
        for (int y = 0; y < raw.rows; ++y) {
            const uint8_t* s = raw.ptr<uint8_t>(y);
            uint8_t* d = bgr.ptr<uint8_t>(y);
            for (int x = 0; x < raw.cols; ++x, s += 4, d += 3)
                for (int c = 0; c < 3; ++c) d[c] = uint8_t((s[c] * s[3] + 255 * (255 - s[3]) + 127) / 255);
        }
    } else {
        return fail("has " + std::to_string(raw.channels()) + " channels, which is not a colour picture");
    }
    MarkerImage image;
    image.width = bgr.cols;
    image.height = bgr.rows;
    image.bgr.resize(size_t(image.width) * image.height * 3);
    for (int y = 0; y < bgr.rows; ++y)
        std::memcpy(&image.bgr[size_t(y) * image.width * 3], bgr.ptr<uint8_t>(y), size_t(image.width) * 3);
    std::string why;
    if (!findMarkerSquare(image, &why)) return fail(why);
    out = std::move(image);
    return true;
}

bool projectMarkerPoint(const CameraParam& camera, const double transform[3][4], double x, double y, double* ox,
                        double* oy) {
    double p[3];
    for (int r = 0; r < 3; ++r) p[r] = transform[r][0] * x + transform[r][1] * y + transform[r][3];
    if (!(p[2] > 0.0)) return false;
    double h[3];
    for (int r = 0; r < 3; ++r)
        h[r] = camera.projection[r][0] * p[0] + camera.projection[r][1] * p[1] + camera.projection[r][2] * p[2] +
               camera.projection[r][3];
    if (!(h[2] > 0.0)) return false;
    idealToObserved(camera.distortion, h[0] / h[2], h[1] / h[2], ox, oy);
    return true;
}

namespace {

// Where a sample of a pixel lands: the wall, the paper or the table.
enum Surface : uint8_t { kWall, kPaper, kTable };

constexpr int kMaxSamples = kMaxSupersampleGrid * kMaxSupersampleGrid;

// What drawing one frame reads, worked out once before its pixels.
struct SceneSetup {
    const double (*transform)[4] = nullptr;
    const MarkerImage* marker = nullptr;
    const SceneOptions* options = nullptr;
    int width = 0, grid = 1, samples = 1;
    std::shared_ptr<const IdealMap> idealMap;
    std::shared_ptr<const MipChain> table;
    std::shared_ptr<const MarkerMips> markerMips;
    bool haveMarker = false;
    double markerTexelsPerUnit = 0.0, markerCx = 0.0, markerCy = 0.0, tableTexelsPerUnit = 0.0;
    double H[3][3] = {};   // marker plane to ideal image
    double Hi[3][3] = {};  // and back
    bool planeVisible = false;
    float brightness = 1.f, noiseScale = 0.f;
    uint64_t seedBase = 0;
};

// One pixel's samples: where each lands on the marker plane and on which surface.
struct PixelSamples {
    double x[kMaxSamples], y[kMaxSamples];
    Surface surface[kMaxSamples];
    double unitsPerSample = 0.0;  // marker units covered by one sample spacing
    bool sameSurface = true;
};

// The marker plane is a homography of the ideal image: ideal ~ H (X, Y, 1) with
// H = P[:, 0..2] [r1 r2 t] + P[:, 3] e3.
void markerPlaneHomography(const CameraParam& camera, const double transform[3][4], double H[3][3]) {
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            const int col = c == 2 ? 3 : c;
            H[r][c] = camera.projection[r][0] * transform[0][col] + camera.projection[r][1] * transform[1][col] +
                      camera.projection[r][2] * transform[2][col];
        }
        H[r][2] += camera.projection[r][3];
    }
}

// The setup of a frame: sample grid, caches, the marker's placement on its picture, the
// plane's homography and the noise. False when there is nothing to draw into.
bool setUpScene(const CameraParam& camera, const double transform[3][4], double markerWidth,
                const MarkerImage& marker, const SceneOptions& options, SceneSetup& S) {
    if (camera.width <= 0 || camera.height <= 0) return false;
    S.transform = transform;
    S.marker = &marker;
    S.options = &options;
    S.width = camera.width;
    S.grid = std::clamp(int(std::lround(std::sqrt(double(std::max(1, options.supersample))))), 1,
                        kMaxSupersampleGrid);
    S.samples = S.grid * S.grid;
    S.idealMap = idealMapFor(camera, S.grid);
    S.table = tableTexture();

    S.haveMarker = marker.width > 0 && marker.height > 0 && marker.squareSide > 0 &&
                   marker.bgr.size() == size_t(marker.width) * marker.height * 3 && markerWidth > 0;
    if (S.haveMarker) S.markerMips = markerMipsFor(marker);
    S.markerTexelsPerUnit = S.haveMarker ? marker.squareSide / markerWidth : 0.0;
    S.markerCx = marker.squareX0 + 0.5 * marker.squareSide;
    S.markerCy = marker.squareY0 + 0.5 * marker.squareSide;
    S.tableTexelsPerUnit = kTableTile / kTableUnitsPerTile;

    markerPlaneHomography(camera, transform, S.H);
    S.planeVisible = invert3(S.H, S.Hi);

    S.brightness = float(options.brightness);
    // Two uniforms per channel (triangular) have variance 1/6; scale to the wanted sigma.
    S.noiseScale = float(options.noiseSigma * std::sqrt(6.0) / 65535.0);
    S.seedBase = mix64(uint64_t(options.seed) * 0x9e3779b97f4a7c15ull + 0x1234567ull);
    return true;
}

// The colour of the surface at marker-plane point (X, Y).
void shadeSurface(const SceneSetup& S, Surface where, double X, double Y, double markerLod, double tableLod,
                  float colour[3]) {
    if (where == kPaper) {
        S.markerMips->chain.sample(S.markerCx + X * S.markerTexelsPerUnit,
                                   S.markerCy - Y * S.markerTexelsPerUnit, markerLod,
                                   colour);  // picture rows run down, marker y up
    } else if (where == kTable) {
        S.table->sample(X * S.tableTexelsPerUnit, -Y * S.tableTexelsPerUnit, tableLod, colour);
    } else {
        colour[0] = kBackground[0];
        colour[1] = kBackground[1];
        colour[2] = kBackground[2];
    }
}

// Places a pixel's samples (ideal coordinates, two per sample) on the marker plane.
void placeSamples(const SceneSetup& S, const float* ideal, PixelSamples& P) {
    const SceneOptions& options = *S.options;
    const MarkerImage& marker = *S.marker;
    const double (*H)[3] = S.H;
    const double (*Hi)[3] = S.Hi;
    P.unitsPerSample = 0.0;
    P.sameSurface = true;
    for (int s = 0; s < S.samples; ++s) {
        const double ix = ideal[2 * s], iy = ideal[2 * s + 1];
        P.surface[s] = kWall;
        if (S.planeVisible) {
            const double hx = Hi[0][0] * ix + Hi[0][1] * iy + Hi[0][2];
            const double hy = Hi[1][0] * ix + Hi[1][1] * iy + Hi[1][2];
            const double hw = Hi[2][0] * ix + Hi[2][1] * iy + Hi[2][2];
            const double X = hx / hw, Y = hy / hw;
            // Rays that meet the plane behind the camera see the wall, not the table.
            const double depth = S.transform[2][0] * X + S.transform[2][1] * Y + S.transform[2][3];
            if (std::isfinite(X) && std::isfinite(Y) && depth > 0.0) {
                P.x[s] = X;
                P.y[s] = Y;
                if (P.unitsPerSample == 0.0) {
                    // Marker units covered by one sample spacing, from the local
                    // scale of the homography (distortion is mild enough to ignore).
                    const double w = H[2][0] * X + H[2][1] * Y + H[2][2];
                    const double a = (H[0][0] - ix * H[2][0]) / w, b = (H[0][1] - ix * H[2][1]) / w;
                    const double c = (H[1][0] - iy * H[2][0]) / w, d = (H[1][1] - iy * H[2][1]) / w;
                    const double pixelsPerUnit2 = std::fabs(a * d - b * c);
                    P.unitsPerSample = pixelsPerUnit2 > 0 ? 1.0 / (std::sqrt(pixelsPerUnit2) * S.grid) : 1e9;
                }
                const double u = S.markerCx + X * S.markerTexelsPerUnit;
                const double v = S.markerCy - Y * S.markerTexelsPerUnit;
                if (S.haveMarker && u >= 0.0 && v >= 0.0 && u < marker.width && v < marker.height)
                    P.surface[s] = kPaper;
                else if (options.tabletop)
                    P.surface[s] = kTable;
            }
        }
        P.sameSurface = P.sameSurface && P.surface[s] == P.surface[0];
    }
}

// The sum of the colours shaded for a pixel, their number and the share of the pixel
// they cover. False for a pixel left as it is (only the paper drawn, and none here).
bool shadePixel(const SceneSetup& S, PixelSamples& P, float sum[3], int* shadedCount, float* paperShareOut) {
    const SceneOptions& options = *S.options;
    const int samples = S.samples;
    int shaded = samples;
    float paperShare = 1.f;  // of the pixel, when only the paper is drawn
    bool sameSurface = P.sameSurface;
    if (options.paperOnly) {
        int onPaper = 0;
        for (int s = 0; s < samples; ++s) onPaper += P.surface[s] == kPaper;
        if (onPaper == 0) return false;
        paperShare = float(onPaper) / samples;
        if (onPaper < samples) {
            const double markerLod = S.markerMips->chain.lodFor(P.unitsPerSample * S.markerTexelsPerUnit);
            for (int s = 0; s < samples; ++s) {
                if (P.surface[s] != kPaper) continue;
                float colour[3];
                shadeSurface(S, kPaper, P.x[s], P.y[s], markerLod, 0.0, colour);
                for (int c = 0; c < 3; ++c) sum[c] += colour[c];
            }
            shaded = onPaper;
            sameSurface = false;
        }
    }
    if (sameSurface) {
        // Inside one surface the mip levels already filter the picture, so one
        // sample at the pixel's centre, read from the level as coarse as the whole
        // pixel, looks the same as the separate samples; the sample grid is
        // needed only where the paper's edge or the horizon crosses the pixel.
        double X = 0.0, Y = 0.0;
        if (P.surface[0] != kWall) {
            for (int s = 0; s < samples; ++s) {
                X += P.x[s];
                Y += P.y[s];
            }
            X /= samples;
            Y /= samples;
        }
        const double unitsPerPixel = P.unitsPerSample * S.grid;
        const double markerLod =
            S.haveMarker ? S.markerMips->chain.lodFor(unitsPerPixel * S.markerTexelsPerUnit) : 0.0;
        const double tableLod = S.table->lodFor(unitsPerPixel * S.tableTexelsPerUnit);
        shadeSurface(S, P.surface[0], X, Y, markerLod, tableLod, sum);
        shaded = 1;
    } else if (!options.paperOnly) {
        const double markerLod =
            S.haveMarker ? S.markerMips->chain.lodFor(P.unitsPerSample * S.markerTexelsPerUnit) : 0.0;
        const double tableLod = S.table->lodFor(P.unitsPerSample * S.tableTexelsPerUnit);
        for (int s = 0; s < samples; ++s) {
            float colour[3];
            shadeSurface(S, P.surface[s], P.x[s], P.y[s], markerLod, tableLod, colour);
            sum[0] += colour[0];
            sum[1] += colour[1];
            sum[2] += colour[2];
        }
    }
    *shadedCount = shaded;
    *paperShareOut = paperShare;
    return true;
}

// Writes pixel (i, j): the shaded mean under the brightness, with the sensor's noise,
// blended over what is there by the paper's share.
void writePixel(const SceneSetup& S, int i, int j, const float sum[3], int shaded, float paperShare,
                uint8_t* px) {
    const float scale = S.brightness / shaded;
    float noise[3] = {0.f, 0.f, 0.f};
    if (S.noiseScale > 0.f) {
        uint64_t r0 = mix64(S.seedBase ^ (uint64_t(j) * uint64_t(S.width) + uint64_t(i)));
        uint64_t r1 = mix64(r0 + 0x632be59bd9b4e019ull);
        noise[0] = (float(r0 & 0xffff) + float((r0 >> 16) & 0xffff) - 65535.f) * S.noiseScale;
        noise[1] = (float((r0 >> 32) & 0xffff) + float(r0 >> 48) - 65535.f) * S.noiseScale;
        noise[2] = (float(r1 & 0xffff) + float((r1 >> 16) & 0xffff) - 65535.f) * S.noiseScale;
    }
    for (int c = 0; c < 3; ++c) {
        float v = sum[c] * scale + noise[c] + 0.5f;
        if (paperShare < 1.f) v = px[c] + (v - 0.5f - px[c]) * paperShare + 0.5f;
        px[c] = uint8_t(v <= 0.f ? 0.f : (v >= 255.f ? 255.f : v));
    }
    px[3] = 255;
}

}  // namespace

void renderMarkerScene(const CameraParam& camera, const double transform[3][4], double markerWidth,
                       const MarkerImage& marker, const SceneOptions& options, uint8_t* bgra) {
    SceneSetup S;
    if (!bgra || !setUpScene(camera, transform, markerWidth, marker, options, S)) return;
    const int width = camera.width, height = camera.height;
    const bool wholeFrame = options.regionX1 <= options.regionX0 || options.regionY1 <= options.regionY0;
    const int x0 = wholeFrame ? 0 : std::clamp(options.regionX0, 0, width);
    const int x1 = wholeFrame ? width : std::clamp(options.regionX1, 0, width);
    const int y0 = wholeFrame ? 0 : std::clamp(options.regionY0, 0, height);
    const int y1 = wholeFrame ? height : std::clamp(options.regionY1, 0, height);
    PixelSamples pixel;
    for (int j = y0; j < y1; ++j) {
        uint8_t* row = bgra + size_t(j) * width * 4;
        const float* ideal = S.idealMap->ideal.data() + (size_t(j) * width + x0) * S.samples * 2;
        for (int i = x0; i < x1; ++i, ideal += S.samples * 2) {
            placeSamples(S, ideal, pixel);
            float sum[3] = {0.f, 0.f, 0.f};
            int shaded = 0;
            float paperShare = 1.f;
            if (!shadePixel(S, pixel, sum, &shaded, &paperShare)) continue;
            writePixel(S, i, j, sum, shaded, paperShare, row + size_t(i) * 4);
        }
    }
}

void virtualCameraPose(double t, double transform[3][4]) {
    const double tau = 2.0 * kPi;
    const double deg = kPi / 180.0;
    // Incommensurate periods, so the motion never visibly repeats within a session.
    const double distance = 300.0 + 145.0 * std::sin(tau * t / 23.0 - 0.35);
    const double tilt = (25.0 + 25.0 * std::sin(tau * t / 17.0 - 0.3)) * deg;
    const double azimuth = -0.5 * kPi + tau * t / 60.0 + 0.6 * std::sin(tau * t / 37.0);
    const double roll = 25.0 * deg * std::sin(tau * t / 29.0);
    // The aim point wanders near the marker and, now and then, far enough away for the
    // marker to slip partly or fully out of the picture.
    const double excursion = std::max(0.0, std::sin(tau * t / 41.0 - 1.0));
    const double reach = 15.0 + 220.0 * std::pow(excursion, 12);
    const double heading = tau * t / 13.0;
    const double target[3] = {reach * std::cos(heading), reach * std::sin(heading), 0.0};

    // Camera position in marker coordinates, above the table (marker z points up).
    const double C[3] = {target[0] + distance * std::sin(tilt) * std::cos(azimuth),
                         target[1] + distance * std::sin(tilt) * std::sin(azimuth),
                         distance * std::cos(tilt)};
    double z[3] = {target[0] - C[0], target[1] - C[1], target[2] - C[2]};
    double n = std::sqrt(z[0] * z[0] + z[1] * z[1] + z[2] * z[2]);
    for (double& v : z) v /= n;
    // Image "up" points away from the viewer across the table, which stays well defined
    // when looking straight down; the camera's y axis points the other way (down).
    const double away[3] = {-std::cos(azimuth), -std::sin(azimuth), 0.0};
    double dot = away[0] * z[0] + away[1] * z[1] + away[2] * z[2];
    double y[3] = {-(away[0] - dot * z[0]), -(away[1] - dot * z[1]), -(away[2] - dot * z[2])};
    n = std::sqrt(y[0] * y[0] + y[1] * y[1] + y[2] * y[2]);
    for (double& v : y) v /= n;
    double x[3] = {y[1] * z[2] - y[2] * z[1], y[2] * z[0] - y[0] * z[2], y[0] * z[1] - y[1] * z[0]};
    // Roll about the viewing axis.
    const double cr = std::cos(roll), sr = std::sin(roll);
    double xr[3], yr[3];
    for (int k = 0; k < 3; ++k) {
        xr[k] = cr * x[k] + sr * y[k];
        yr[k] = -sr * x[k] + cr * y[k];
    }
    const double* rows[3] = {xr, yr, z};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) transform[r][c] = rows[r][c];
        transform[r][3] = -(rows[r][0] * C[0] + rows[r][1] * C[1] + rows[r][2] * C[2]);
    }
}
