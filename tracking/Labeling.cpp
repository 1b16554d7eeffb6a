#include "tracking/Labeling.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "tracking/Marker.h"

// The thresholded copy of the last frame labelled while the binarized view is on.
struct BinarizedCopy {
    int enabled = 0;
    uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
};
BinarizedCopy g_binarized;

int& debugImageMode = g_binarized.enabled;
uint8_t*& binarizedImage = g_binarized.pixels;

namespace {

constexpr int kTileShift = 3;  // 8 x 8 pixel tiles
constexpr int kTileSize = 1 << kTileShift;
constexpr int kNoEdgeNearby = 1 << 30;

// The labeller of labelImage, for the tools and tests that label frames by themselves;
// marker detectors own their own.
Labeller g_detectionLabeller;

bool prepareBinarizedImage(int width, int height) {
    BinarizedCopy& b = g_binarized;
    if (b.pixels && b.width == width && b.height == height) return true;
    std::free(b.pixels);
    b.pixels = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(width) * height, 4));
    b.width = b.pixels ? width : 0;
    b.height = b.pixels ? height : 0;
    return b.pixels != nullptr;
}

// out[0..count) = value; whole dark areas (a table, a wall) make long runs.
void fillLabels(uint16_t* out, int count, uint16_t value) {
    int i = 0;
#if defined(__SSE2__)
    const __m128i v = _mm_set1_epi16(static_cast<short>(value));
    for (; i + 8 <= count; i += 8) _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
#endif
    for (; i < count; ++i) out[i] = value;
}

// The first column from x on (before end) whose dark flag is `dark`, or end. Light
// stretches are long, so they are skipped 16 columns at a time.
int nextWith(const uint8_t* flags, int x, int end, bool dark) {
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; x + 16 <= end; x += 16) {
        const int light = _mm_movemask_epi8(
            _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(flags + x)), zero));
        const int wanted = dark ? ~light & 0xFFFF : light;
        if (wanted) return x + __builtin_ctz(static_cast<unsigned>(wanted));
    }
#endif
    while (x < end && (flags[x] != 0) != dark) ++x;
    return x;
}

// Grey level of a pixel: (sum of the three bytes) / 3, within one level, without a
// division; the vector form below computes exactly the same.
inline uint8_t greyOf(const uint8_t* p) { return static_cast<uint8_t>(((p[0] + p[1] + p[2]) * 21846) >> 16); }

#if defined(__SSE2__)
// Sums of bytes 0..2 of the 8 pixels at p, as 8 unsigned 16-bit values (at most 765).
inline __m128i pixelSums(const uint8_t* p) {
    const __m128i low = _mm_set1_epi32(0xFF);
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i sa = _mm_add_epi32(_mm_add_epi32(_mm_and_si128(a, low), _mm_and_si128(_mm_srli_epi32(a, 8), low)),
                                     _mm_and_si128(_mm_srli_epi32(a, 16), low));
    const __m128i sb = _mm_add_epi32(_mm_add_epi32(_mm_and_si128(b, low), _mm_and_si128(_mm_srli_epi32(b, 8), low)),
                                     _mm_and_si128(_mm_srli_epi32(b, 16), low));
    return _mm_packs_epi32(sa, sb);
}
#endif

}  // namespace

Labeller::Labeller() = default;

bool Labeller::resize(int width, int height) {
    if (width == width_ && height == height_) return true;
    try {
        const size_t pixels = static_cast<size_t>(width) * height;
        const int tilesX = (width + kTileSize - 1) >> kTileShift;
        const int tilesY = (height + kTileSize - 1) >> kTileShift;
        const size_t tiles = static_cast<size_t>(tilesX) * tilesY;
        grey_.resize(pixels);
        dark_.assign(pixels, 0);
        labels_.resize(pixels);
        tileMin_.resize(tiles);
        tileMax_.resize(tiles);
        areaMin_.resize(tiles);
        areaMax_.resize(tiles);
        tileLevel_.resize(tiles);
        tileDistance_.resize(tiles);
        tileDark_.resize(tiles);
        runs_.resize(2 * (static_cast<size_t>(width) / 2 + 2));
        rowScratch_.resize(2 * static_cast<size_t>(width));
        if (equivalence_.empty()) {
            equivalence_.resize(kMaxProvisionalLabels);
            stats_.resize(static_cast<size_t>(kMaxProvisionalLabels) * kStatFields);
            sums_.resize(2 * static_cast<size_t>(kMaxProvisionalLabels));
            finalSums_.resize(2 * static_cast<size_t>(kMaxProvisionalLabels));
            area_.resize(kMaxProvisionalLabels);
            centroid_.resize(2 * static_cast<size_t>(kMaxProvisionalLabels));
            box_.resize(4 * static_cast<size_t>(kMaxProvisionalLabels));
        }
        width_ = width;
        height_ = height;
        tilesX_ = tilesX;
        tilesY_ = tilesY;
    } catch (const std::bad_alloc&) {
        width_ = height_ = 0;  // the next call starts over
        return false;
    }
    return true;
}

// The outermost rows and columns of dark_ stay 0 (from the allocation, and rewritten
// to 0 after each row).
void Labeller::thresholdFixed(const uint8_t* frame, int threshold) {
    const int limit = 3 * std::clamp(threshold, -1, 255);
    for (int y = 1; y < height_ - 1; ++y) {
        const size_t row = static_cast<size_t>(y) * width_;
        const uint8_t* p = frame + row * 4;
        uint8_t* out = dark_.data() + row;
        int x = 0;
#if defined(__SSE2__)
        const __m128i bound = _mm_set1_epi16(static_cast<short>(limit));
        const __m128i one = _mm_set1_epi8(1);
        for (; x + 16 <= width_; x += 16) {
            const __m128i above = _mm_packs_epi16(_mm_cmpgt_epi16(pixelSums(p + 4 * x), bound),
                                                  _mm_cmpgt_epi16(pixelSums(p + 4 * x + 32), bound));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_andnot_si128(above, one));
        }
#endif
        for (; x < width_; ++x) out[x] = p[4 * x] + p[4 * x + 1] + p[4 * x + 2] <= limit;
        out[0] = out[width_ - 1] = 0;
    }
}

void Labeller::greyRow(const uint8_t* p, uint8_t* g) const {
    int x = 0;
#if defined(__SSE2__)
    const __m128i third = _mm_set1_epi16(21846);
    for (; x + 16 <= width_; x += 16) {
        const __m128i a = _mm_mulhi_epu16(pixelSums(p + 4 * x), third);
        const __m128i b = _mm_mulhi_epu16(pixelSums(p + 4 * x + 32), third);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(g + x), _mm_packus_epi16(a, b));
    }
#endif
    for (; x < width_; ++x) g[x] = greyOf(p + 4 * x);
}

void Labeller::thresholdLocal(const uint8_t* frame) {
    // Grey levels, and the darkest and brightest of each tile: first down the tile's
    // rows pixel by pixel, then across its columns.
    uint8_t* columnMin = rowScratch_.data();
    uint8_t* columnMax = rowScratch_.data() + width_;
    for (int y = 0; y < height_; ++y) {
        const size_t row = static_cast<size_t>(y) * width_;
        uint8_t* g = grey_.data() + row;
        greyRow(frame + row * 4, g);
        if ((y & (kTileSize - 1)) == 0) {
            std::memcpy(columnMin, g, width_);
            std::memcpy(columnMax, g, width_);
        } else {
            int x = 0;
#if defined(__SSE2__)
            for (; x + 16 <= width_; x += 16) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g + x));
                __m128i* lo = reinterpret_cast<__m128i*>(columnMin + x);
                __m128i* hi = reinterpret_cast<__m128i*>(columnMax + x);
                _mm_storeu_si128(lo, _mm_min_epu8(_mm_loadu_si128(lo), v));
                _mm_storeu_si128(hi, _mm_max_epu8(_mm_loadu_si128(hi), v));
            }
#endif
            for (; x < width_; ++x) {
                columnMin[x] = std::min(columnMin[x], g[x]);
                columnMax[x] = std::max(columnMax[x], g[x]);
            }
        }
        if ((y & (kTileSize - 1)) != kTileSize - 1 && y != height_ - 1) continue;
        uint8_t* tileMin = tileMin_.data() + static_cast<size_t>(y >> kTileShift) * tilesX_;
        uint8_t* tileMax = tileMax_.data() + static_cast<size_t>(y >> kTileShift) * tilesX_;
        for (int tx = 0; tx < tilesX_; ++tx) {
            const int x0 = tx << kTileShift;
            const int x1 = std::min(x0 + kTileSize, width_);
            uint8_t lo = 255, hi = 0;
            for (int x = x0; x < x1; ++x) {
                lo = std::min(lo, columnMin[x]);
                hi = std::max(hi, columnMax[x]);
            }
            tileMin[tx] = lo;
            tileMax[tx] = hi;
        }
    }
    tileThresholds();

    // Each tile's level spread over its pixels: a pixel is dark when grey <= level and
    // the level is not -1.
    uint8_t* level = rowScratch_.data();
    uint8_t* enabled = rowScratch_.data() + width_;
    for (int y = 1; y < height_ - 1; ++y) {
        if (y == 1 || (y & (kTileSize - 1)) == 0) {
            const int16_t* tileLevel = tileLevel_.data() + static_cast<size_t>(y >> kTileShift) * tilesX_;
            for (int x = 0; x < width_; ++x) {
                const int t = tileLevel[x >> kTileShift];
                level[x] = static_cast<uint8_t>(std::max(t, 0));
                enabled[x] = t >= 0;
            }
        }
        const size_t row = static_cast<size_t>(y) * width_;
        const uint8_t* g = grey_.data() + row;
        uint8_t* out = dark_.data() + row;
        int x = 0;
#if defined(__SSE2__)
        for (; x + 16 <= width_; x += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g + x));
            const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(level + x));
            const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(enabled + x));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_and_si128(_mm_cmpeq_epi8(_mm_min_epu8(v, t), v), e));
        }
#endif
        for (; x < width_; ++x) out[x] = g[x] <= level[x] && enabled[x];
        out[0] = out[width_ - 1] = 0;
    }
}

void Labeller::tileThresholds() {
    const int tx = tilesX_, ty = tilesY_;
    // The darkest and brightest level over each tile's 3 x 3 neighbourhood, rows first.
    for (int y = 0; y < ty; ++y) {
        const size_t row = static_cast<size_t>(y) * tx;
        for (int x = 0; x < tx; ++x) {
            const int a = std::max(x - 1, 0), b = std::min(x + 1, tx - 1);
            uint8_t lo = tileMin_[row + a], hi = tileMax_[row + a];
            for (int k = a + 1; k <= b; ++k) {
                lo = std::min(lo, tileMin_[row + k]);
                hi = std::max(hi, tileMax_[row + k]);
            }
            areaMin_[row + x] = lo;
            areaMax_[row + x] = hi;
        }
    }
    // Columns next, in place through the tile arrays (their own values are no longer needed).
    for (int x = 0; x < tx; ++x) {
        uint8_t prevLo = 255, prevHi = 0;  // row y - 1 before this pass changed it
        for (int y = 0; y < ty; ++y) {
            const size_t i = static_cast<size_t>(y) * tx + x;
            uint8_t lo = std::min(prevLo, areaMin_[i]), hi = std::max(prevHi, areaMax_[i]);
            if (y + 1 < ty) {
                lo = std::min(lo, areaMin_[i + tx]);
                hi = std::max(hi, areaMax_[i + tx]);
            }
            prevLo = areaMin_[i];
            prevHi = areaMax_[i];
            tileMin_[i] = lo;
            tileMax_[i] = hi;
        }
    }

    // Tiles near an edge threshold half-way. A flat tile beside such a tile is dark when
    // its level is at or below that tile's threshold; flat tiles further off take the
    // class of the flat tile next to them that is nearer an edge, so a flat area keeps
    // one class even where the light drifts across it. One sweep down and one up, each
    // step to one of the 8 neighbours.
    const size_t tiles = static_cast<size_t>(tx) * ty;
    for (size_t i = 0; i < tiles; ++i) {
        const bool edge = tileMax_[i] - tileMin_[i] >= local.minContrast;
        tileLevel_[i] = static_cast<int16_t>((tileMin_[i] + tileMax_[i]) / 2);
        tileDistance_[i] = edge ? 0 : kNoEdgeNearby;
        tileDark_[i] = 0;
    }
    auto take = [&](size_t i, int x, int y) {
        if (x < 0 || x >= tx || y < 0 || y >= ty) return;
        const size_t j = static_cast<size_t>(y) * tx + x;
        if (tileDistance_[j] + 1 >= tileDistance_[i]) return;
        tileDark_[i] = tileDistance_[j] == 0 ? tileLevel_[i] <= tileLevel_[j] : tileDark_[j];
        tileDistance_[i] = tileDistance_[j] + 1;
    };
    for (int y = 0; y < ty; ++y)
        for (int x = 0; x < tx; ++x) {
            const size_t i = static_cast<size_t>(y) * tx + x;
            if (tileDistance_[i] == 0) continue;
            take(i, x - 1, y);
            take(i, x - 1, y - 1);
            take(i, x, y - 1);
            take(i, x + 1, y - 1);
        }
    for (int y = ty - 1; y >= 0; --y)
        for (int x = tx - 1; x >= 0; --x) {
            const size_t i = static_cast<size_t>(y) * tx + x;
            if (tileDistance_[i] == 0) continue;
            take(i, x + 1, y);
            take(i, x + 1, y + 1);
            take(i, x, y + 1);
            take(i, x - 1, y + 1);
        }
    // A flat tile is all dark or all light; with no edge anywhere, all light.
    for (size_t i = 0; i < tiles; ++i)
        if (tileDistance_[i] != 0) tileLevel_[i] = tileDark_[i] ? 255 : -1;
}

// Runs of dark pixels row by row; a run touching a run of the row above (8-connected)
// joins its class. Classes are trees whose root is the class's smallest label (a merge
// hangs the larger root under the smaller; lookups halve their path).
void Labeller::labelRuns(LabelTables* tables) {
    int* table = equivalence_.data();
    auto root = [&](int p) {
        while (table[p - 1] != p) {
            table[p - 1] = table[table[p - 1] - 1];
            p = table[p - 1];
        }
        return p;
    };
    auto merge = [&](int p, int q) {
        const int P = root(p), Q = root(q);
        table[std::max(P, Q) - 1] = std::min(P, Q);
        return std::min(P, Q);
    };

    const int width = width_;
    uint16_t* image = labels_.data();
    std::fill(image, image + width, 0);
    std::fill(image + static_cast<size_t>(height_ - 1) * width, image + static_cast<size_t>(height_) * width, 0);
    Run* previous = runs_.data();
    Run* current = runs_.data() + runs_.size() / 2;
    int previousCount = 0;
    int provisional = 0;
    int skipped = 0;
    for (int y = 1; y < height_ - 1; ++y) {
        const size_t row = static_cast<size_t>(y) * width;
        const uint8_t* d = dark_.data() + row;
        uint16_t* out = image + row;
        std::fill(out, out + width, 0);
        int count = 0;
        int p = 0;  // first run of the row above that may still touch
        int x = 1;
        const int end = width - 1;  // the last column is never dark
        while (x < end) {
            x = nextWith(d, x, end, true);
            if (x >= end) break;
            const int start = x;
            x = nextWith(d, x, end, false);

            // Runs above touch when they overlap [start - 1, x]; later runs of this row
            // start further right, so runs ending before start - 1 are done with.
            while (p < previousCount && previous[p].end < start) ++p;
            int k = 0;
            for (int q = p; q < previousCount && previous[q].start <= x; ++q) {
                if (previous[q].label == 0) continue;
                k = k ? merge(k, previous[q].label) : root(previous[q].label);
            }
            if (k == 0) {
                if (provisional == kMaxProvisionalLabels) {
                    ++skipped;
                    current[count++] = Run{start, x, 0};
                    continue;
                }
                k = ++provisional;
                table[k - 1] = k;
                int* s = &stats_[static_cast<size_t>(k - 1) * kStatFields];
                s[kCount] = 0;
                s[kMinX] = start;
                s[kMaxX] = x - 1;
                s[kMinY] = s[kMaxY] = y;
                sums_[2 * (k - 1)] = sums_[2 * (k - 1) + 1] = 0;
            }
            const int length = x - start;
            int* s = &stats_[static_cast<size_t>(k - 1) * kStatFields];
            s[kCount] += length;
            s[kMinX] = std::min(s[kMinX], start);
            s[kMaxX] = std::max(s[kMaxX], x - 1);
            s[kMaxY] = y;
            sums_[2 * (k - 1)] += static_cast<long long>(start + x - 1) * length / 2;
            sums_[2 * (k - 1) + 1] += static_cast<long long>(y) * length;
            fillLabels(out + start, x - start, static_cast<uint16_t>(k));
            current[count++] = Run{start, x, k};
        }
        std::swap(previous, current);
        previousCount = count;
    }
    tables->provisionalCount = provisional;
    tables->skipped = skipped;
}

void Labeller::resolve(LabelTables* tables) {
    int* table = equivalence_.data();
    const int provisional = tables->provisionalCount;
    // Every entry points at a smaller label of its class or is the class's root, so one
    // pass in increasing order numbers the roots and hands each other label the number
    // its parent already holds.
    int finalCount = 0;
    for (int k = 1; k <= provisional; ++k) {
        if (table[k - 1] == k)
            table[k - 1] = ++finalCount;
        else
            table[k - 1] = table[table[k - 1] - 1];
    }
    tables->equivalence = table;
    tables->area = area_.data();
    tables->centroid = centroid_.data();
    tables->box = box_.data();
    tables->count = finalCount;

    for (int j = 0; j < finalCount; ++j) {
        area_[j] = 0;
        finalSums_[2 * j] = finalSums_[2 * j + 1] = 0;
        box_[4 * j] = width_;
        box_[4 * j + 1] = 0;
        box_[4 * j + 2] = height_;
        box_[4 * j + 3] = 0;
    }
    for (int k = 0; k < provisional; ++k) {
        const int j = table[k] - 1;
        const int* s = &stats_[static_cast<size_t>(k) * kStatFields];
        area_[j] += s[kCount];
        finalSums_[2 * j] += sums_[2 * k];
        finalSums_[2 * j + 1] += sums_[2 * k + 1];
        box_[4 * j] = std::min(box_[4 * j], s[kMinX]);
        box_[4 * j + 1] = std::max(box_[4 * j + 1], s[kMaxX]);
        box_[4 * j + 2] = std::min(box_[4 * j + 2], s[kMinY]);
        box_[4 * j + 3] = std::max(box_[4 * j + 3], s[kMaxY]);
    }
    for (int j = 0; j < finalCount; ++j) {
        centroid_[2 * j] = static_cast<double>(finalSums_[2 * j]) / area_[j];
        centroid_[2 * j + 1] = static_cast<double>(finalSums_[2 * j + 1]) / area_[j];
    }
}

const uint16_t* Labeller::label(const uint8_t* frame, int width, int height, int threshold, LabelTables* tables,
                                uint8_t* binarized) {
    *tables = LabelTables{};
    if (!frame || width < 3 || height < 3 || !resize(width, height)) return nullptr;
    if (threshold == kLocalThreshold)
        thresholdLocal(frame);
    else
        thresholdFixed(frame, threshold);

    if (binarized) {
        for (int y = 1; y < height - 1; ++y) {
            const size_t row = static_cast<size_t>(y) * width;
            const uint8_t* d = dark_.data() + row;
            uint8_t* b = binarized + row * 4;
            for (int x = 1; x < width - 1; ++x) b[4 * x] = b[4 * x + 1] = b[4 * x + 2] = d[x] ? 255 : 0;
        }
    }
    labelRuns(tables);
    resolve(tables);
    if (tables->skipped > 0 && !overflowSeen_) {
        overflowSeen_ = true;
        overflowPending_ = true;
        overflowWidth_ = width;
        overflowHeight_ = height;
    }
    return labels_.data();
}

bool Labeller::takeOverflow(int* width, int* height) {
    if (!overflowPending_) return false;
    overflowPending_ = false;
    *width = overflowWidth_;
    *height = overflowHeight_;
    return true;
}

const uint16_t* labelImage(const uint8_t* frame, int width, int height, int threshold, LabelTables* tables) {
    return g_detectionLabeller.label(frame, width, height, threshold, tables);
}

const uint16_t* labelImageDebug(const uint8_t* frame, int width, int height, int threshold,
                                LabelTables* tables) {
    return labelImageDebug(g_detectionLabeller, frame, width, height, threshold, tables);
}

const uint16_t* labelImageDebug(Labeller& labeller, const uint8_t* frame, int width, int height, int threshold,
                                LabelTables* tables) {
    *tables = LabelTables{};
    if (!frame || width < 3 || height < 3 || !prepareBinarizedImage(width, height)) return nullptr;
    return labeller.label(frame, width, height, threshold, tables, binarizedImage);
}
