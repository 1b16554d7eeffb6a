// The marker pattern table: reading pattern files into zero-mean templates, and the
// writer side that turns a picture into a pattern file.

#include "tracking/Pattern.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int kValuesPerDirection = 3 * kPatternSize * kPatternSize;  // 768
// A template without any contrast would divide by zero in the correlation.
constexpr double kMinimumPower = 1e-7;

// A pattern file is about 12 KB; reading stops well beyond that so that a wrong file
// (a video, a device) cannot exhaust memory or hang the start-up.
constexpr std::size_t kMaxPatternFileBytes = 4u << 20;

// Reads the file, at most kMaxPatternFileBytes of it; false on a read error.
bool readAll(std::FILE* file, std::string& text) {
    char buffer[4096];
    std::size_t n;
    while (text.size() < kMaxPatternFileBytes && (n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    return std::ferror(file) == 0;
}

// Pulls the next whitespace-separated decimal integer from a NUL-terminated text.
// False at the end of the text, on something that is not a number, or on a value
// that does not fit an int. Digits followed by junk ("12abc") count as the number,
// as a scanf reader would see them; the junk then fails as the next value.
bool nextInt(const char*& cursor, const char* end, int& value) {
    while (cursor < end && std::isspace(static_cast<unsigned char>(*cursor))) ++cursor;
    if (cursor >= end) return false;
    char* stop = nullptr;
    errno = 0;
    const long parsed = std::strtol(cursor, &stop, 10);
    if (stop == cursor || errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) return false;
    cursor = stop;
    value = static_cast<int>(parsed);
    return true;
}

double powerOf(long long sumOfSquares) {
    const double power = std::sqrt(static_cast<double>(sumOfSquares));
    return power == 0.0 ? kMinimumPower : power;
}

}  // namespace

int loadPatternFile(PatternTable& table, const char* fileName) {
    if (table.count == -1) {
        std::fill(std::begin(table.state), std::end(table.state), 0);
        table.count = 0;
    }

    int slot = -1;
    for (int i = 0; i < kPatternSlots; ++i) {
        if (table.state[i] == 0) {
            slot = i;
            break;
        }
    }
    if (slot < 0) return -1;

    std::FILE* file = fileName != nullptr ? std::fopen(fileName, "r") : nullptr;
    if (file == nullptr) {
        std::printf("\"%s\" not found!!\n", fileName != nullptr ? fileName : "(null)");
        return -1;
    }
    std::string text;
    const bool readOk = readAll(file, text);
    std::fclose(file);
    if (!readOk) {
        std::printf("Pattern Data read error!!\n");
        return -1;
    }

    const char* cursor = text.data();
    const char* end = cursor + text.size();
    for (int dir = 0; dir < 4; ++dir) {
        long long sum = 0;
        for (int plane = 0; plane < 3; ++plane) {
            for (int row = 0; row < kPatternSize; ++row) {
                for (int col = 0; col < kPatternSize; ++col) {
                    int v;
                    if (!nextInt(cursor, end, v)) {
                        std::printf("Pattern Data read error!!\n");
                        return -1;  // the slot's state is still 0, so the next load reuses it
                    }
                    const int w = 255 - v;  // templates count darkness, not brightness
                    table.colour[slot][dir][row][col][plane] = w;
                    int& grey = table.bw[slot][dir][row][col];
                    if (plane == 0) {
                        grey = w;
                    } else {
                        grey += w;
                        if (plane == 2) grey /= 3;
                    }
                    sum += w;
                }
            }
        }

        // The grey template is centred on the colour mean on purpose: both are compared
        // with patches centred the same way.
        const int mean = static_cast<int>(sum / kValuesPerDirection);
        table.darkMean[slot][dir] = mean;
        long long colourSquares = 0;
        for (int row = 0; row < kPatternSize; ++row)
            for (int col = 0; col < kPatternSize; ++col)
                for (int plane = 0; plane < 3; ++plane) {
                    int& c = table.colour[slot][dir][row][col][plane];
                    c -= mean;
                    colourSquares += static_cast<long long>(c) * c;
                }
        table.colourPower[slot][dir] = powerOf(colourSquares);

        long long greySquares = 0;
        for (int row = 0; row < kPatternSize; ++row)
            for (int col = 0; col < kPatternSize; ++col) {
                int& g = table.bw[slot][dir][row][col];
                g -= mean;
                greySquares += static_cast<long long>(g) * g;
            }
        table.bwPower[slot][dir] = powerOf(greySquares);
    }

    table.state[slot] = 1;
    ++table.count;
    return slot;
}

namespace {

// A slot that was never loaded (or lies outside the table) is treated as free.
bool isLoaded(const PatternTable& table, int slot) {
    return table.count >= 0 && slot >= 0 && slot < kPatternSlots && table.state[slot] != 0;
}

}  // namespace

int freePatternSlot(PatternTable& table, int slot) {
    if (!isLoaded(table, slot)) return -1;
    table.state[slot] = 0;
    --table.count;
    return 1;
}

int activatePatternSlot(PatternTable& table, int slot) {
    if (!isLoaded(table, slot)) return -1;
    table.state[slot] = 1;
    return 1;
}

int deactivatePatternSlot(PatternTable& table, int slot) {
    if (!isLoaded(table, slot)) return -1;
    table.state[slot] = 2;
    return 1;
}

// --- Writer side ---

namespace {

// Overlap of pixel [i, i + 1) with the cell [start, end) along one axis.
double overlap(int i, double start, double end) {
    return std::max(0.0, std::min<double>(i + 1, end) - std::max<double>(i, start));
}

}  // namespace

void makePatternImage(const uint8_t* bgra, int width, int height, int stride, PatternImage& pattern) {
    // Area averaging: every picture pixel contributes to a cell in proportion to how
    // much of it the cell covers, so thin strokes are neither lost nor exaggerated.
    uint8_t upright[3][kPatternSize][kPatternSize];
    const double cellW = static_cast<double>(width) / kPatternSize;
    const double cellH = static_cast<double>(height) / kPatternSize;
    for (int row = 0; row < kPatternSize; ++row) {
        const double y0 = row * cellH, y1 = (row + 1) * cellH;
        const int yFirst = static_cast<int>(std::floor(y0));
        const int yLast = std::min(height - 1, static_cast<int>(std::ceil(y1)) - 1);
        for (int col = 0; col < kPatternSize; ++col) {
            const double x0 = col * cellW, x1 = (col + 1) * cellW;
            const int xFirst = static_cast<int>(std::floor(x0));
            const int xLast = std::min(width - 1, static_cast<int>(std::ceil(x1)) - 1);
            double sum[3] = {0, 0, 0};
            double weight = 0;
            for (int y = yFirst; y <= yLast; ++y) {
                const double wy = overlap(y, y0, y1);
                const uint8_t* line = bgra + static_cast<std::size_t>(y) * stride;
                for (int x = xFirst; x <= xLast; ++x) {
                    const double w = wy * overlap(x, x0, x1);
                    for (int p = 0; p < 3; ++p) sum[p] += w * line[4 * x + p];
                    weight += w;
                }
            }
            for (int p = 0; p < 3; ++p)
                upright[p][row][col] = static_cast<uint8_t>(std::lround(weight > 0 ? sum[p] / weight : 255.0));
        }
    }

    // Direction d: d counterclockwise quarter turns. One turn maps new[r][c] = old[c][N-1-r].
    constexpr int last = kPatternSize - 1;
    for (int p = 0; p < 3; ++p)
        for (int r = 0; r < kPatternSize; ++r)
            for (int c = 0; c < kPatternSize; ++c) pattern.value[0][p][r][c] = upright[p][r][c];
    for (int d = 1; d < 4; ++d)
        for (int p = 0; p < 3; ++p)
            for (int r = 0; r < kPatternSize; ++r)
                for (int c = 0; c < kPatternSize; ++c)
                    pattern.value[d][p][r][c] = pattern.value[d - 1][p][c][last - r];
}

std::string formatPatternText(const PatternImage& pattern) {
    std::string text;
    text.reserve(4 * (3 * kPatternSize * (kPatternSize * 4 + 1) + 1));
    char number[16];
    for (int d = 0; d < 4; ++d) {
        for (int p = 0; p < 3; ++p)
            for (int r = 0; r < kPatternSize; ++r) {
                for (int c = 0; c < kPatternSize; ++c) {
                    std::snprintf(number, sizeof number, "%4d", pattern.value[d][p][r][c]);
                    text += number;
                }
                text += '\n';
            }
        text += '\n';
    }
    return text;
}

int savePatternFile(const char* fileName, const PatternImage& pattern) {
    const std::string text = formatPatternText(pattern);
    std::FILE* file = std::fopen(fileName, "w");
    if (file == nullptr) return -1;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const bool closed = std::fclose(file) == 0;
    return written && closed ? 0 : -1;
}
