#include "tracking/Labeling.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tracking/Marker.h"

int debugImageMode = 0;
uint8_t* binarizedImage = nullptr;

namespace {

// Per provisional label: pixel count, x min, x max, y min, y max; the coordinate sums are
// kept in 64 bits apart, since one label of a large frame overflows an int.
enum { kCount, kMinX, kMaxX, kMinY, kMaxY, kStatFields };

struct Labeller {
    // Sized from the frame and kept between frames, so a steady frame size never allocates.
    std::vector<uint16_t> labels;
    int equivalence[kMaxProvisionalLabels];
    int stats[kMaxProvisionalLabels][kStatFields];
    long long sums[kMaxProvisionalLabels][2];
    long long finalSums[kMaxProvisionalLabels][2];
    int area[kMaxProvisionalLabels];
    double centroid[kMaxProvisionalLabels][2];
    int box[kMaxProvisionalLabels][4];
};

Labeller& labeller() {
    static Labeller* instance = new Labeller();  // large: keep it off the stack and out of static-init order
    return *instance;
}

int binarizedWidth = 0;
int binarizedHeight = 0;

bool prepareBinarizedImage(int width, int height) {
    if (binarizedImage && binarizedWidth == width && binarizedHeight == height) return true;
    std::free(binarizedImage);
    binarizedImage = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(width) * height, 4));
    binarizedWidth = binarizedImage ? width : 0;
    binarizedHeight = binarizedImage ? height : 0;
    return binarizedImage != nullptr;
}

template <bool kDebug>
const uint16_t* label(const uint8_t* frame, int width, int height, int threshold, LabelTables* tables) {
    *tables = LabelTables{};
    if (!frame || width < 3 || height < 3) return nullptr;
    Labeller& L = labeller();
    const size_t pixels = static_cast<size_t>(width) * height;
    if (L.labels.size() < pixels) {
        try {
            L.labels.resize(pixels);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    }
    if (kDebug && !prepareBinarizedImage(width, height)) return nullptr;

    uint16_t* image = L.labels.data();
    std::fill(image, image + width, 0);
    std::fill(image + (height - 1) * static_cast<size_t>(width), image + pixels, 0);
    for (int y = 1; y < height - 1; ++y) {
        image[static_cast<size_t>(y) * width] = 0;
        image[static_cast<size_t>(y) * width + width - 1] = 0;
    }

    int* table = L.equivalence;
    const int darkLimit = 3 * threshold;
    int provisional = 0;
    // Classes are trees whose root is the class's smallest label (a merge hangs the
    // larger root under the smaller; lookups halve their path). Rewriting every entry of
    // the larger class at each merge gives the same labels, but a noisy frame with tens of
    // thousands of labels then costs seconds.
    auto root = [&](int p) {
        while (table[p - 1] != p) {
            table[p - 1] = table[table[p - 1] - 1];
            p = table[p - 1];
        }
        return p;
    };
    auto merge = [&](int p, int q) {
        const int P = root(p);
        const int Q = root(q);
        const int low = std::min(P, Q);
        table[std::max(P, Q) - 1] = low;
        return low;
    };

    for (int y = 1; y < height - 1; ++y) {
        const size_t rowStart = static_cast<size_t>(y) * width;
        const uint8_t* pixel = frame + (rowStart + 1) * 4;
        uint16_t* out = image + rowStart + 1;
        uint8_t* bin = kDebug ? binarizedImage + (rowStart + 1) * 4 : nullptr;
        for (int x = 1; x < width - 1; ++x, pixel += 4, ++out) {
            const bool dark = pixel[0] + pixel[1] + pixel[2] <= darkLimit;
            if (kDebug) {
                const uint8_t value = dark ? 255 : 0;
                bin[0] = bin[1] = bin[2] = value;
                bin += 4;
            }
            if (!dark) {
                *out = 0;
                continue;
            }
            const int above = out[-width];
            const int aboveRight = out[-width + 1];
            const int aboveLeft = out[-width - 1];
            const int left = out[-1];
            int k;
            if (above > 0) {
                k = above;
                L.stats[k - 1][kMaxY] = y;
            } else if (aboveRight > 0 && aboveLeft > 0) {
                k = merge(aboveRight, aboveLeft);
                L.stats[k - 1][kMaxY] = y;
            } else if (aboveRight > 0 && left > 0) {
                k = merge(aboveRight, left);
            } else if (aboveRight > 0) {
                k = aboveRight;
                int* s = L.stats[k - 1];
                s[kMinX] = std::min(s[kMinX], x);
                s[kMaxY] = y;
            } else if (aboveLeft > 0) {
                k = aboveLeft;
                int* s = L.stats[k - 1];
                s[kMaxX] = std::max(s[kMaxX], x);
                s[kMaxY] = y;
            } else if (left > 0) {
                k = left;
                int* s = L.stats[k - 1];
                s[kMaxX] = std::max(s[kMaxX], x);
            } else {
                if (provisional >= kMaxProvisionalLabels) return nullptr;
                k = ++provisional;
                table[k - 1] = k;
                int* s = L.stats[k - 1];
                s[kCount] = 0;
                L.sums[k - 1][0] = L.sums[k - 1][1] = 0;
                s[kMinX] = s[kMaxX] = x;
                s[kMinY] = s[kMaxY] = y;
            }
            ++L.stats[k - 1][kCount];
            L.sums[k - 1][0] += x;
            L.sums[k - 1][1] += y;
            *out = static_cast<uint16_t>(k);
        }
    }

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
    tables->provisionalCount = provisional;
    tables->equivalence = table;
    tables->area = L.area;
    tables->centroid = &L.centroid[0][0];
    tables->box = &L.box[0][0];
    tables->count = finalCount;
    if (finalCount == 0) return image;

    for (int j = 0; j < finalCount; ++j) {
        L.area[j] = 0;
        L.finalSums[j][0] = L.finalSums[j][1] = 0;
        L.box[j][0] = width;
        L.box[j][1] = 0;
        L.box[j][2] = height;
        L.box[j][3] = 0;
    }
    for (int k = 0; k < provisional; ++k) {
        const int j = table[k] - 1;
        const int* s = L.stats[k];
        L.area[j] += s[kCount];
        L.finalSums[j][0] += L.sums[k][0];
        L.finalSums[j][1] += L.sums[k][1];
        L.box[j][0] = std::min(L.box[j][0], s[kMinX]);
        L.box[j][1] = std::max(L.box[j][1], s[kMaxX]);
        L.box[j][2] = std::min(L.box[j][2], s[kMinY]);
        L.box[j][3] = std::max(L.box[j][3], s[kMaxY]);
    }
    for (int j = 0; j < finalCount; ++j) {
        L.centroid[j][0] = static_cast<double>(L.finalSums[j][0]) / L.area[j];
        L.centroid[j][1] = static_cast<double>(L.finalSums[j][1]) / L.area[j];
    }
    return image;
}

}  // namespace

const uint16_t* labelImage(const uint8_t* frame, int width, int height, int threshold, LabelTables* tables) {
    return label<false>(frame, width, height, threshold, tables);
}

const uint16_t* labelImageDebug(const uint8_t* frame, int width, int height, int threshold,
                                LabelTables* tables) {
    return label<true>(frame, width, height, threshold, tables);
}
